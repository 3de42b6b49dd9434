#!/usr/bin/env bash
# Builds the Debian package with debhelper:
#   make-deb.sh VERSION OUTPUT_DIR BUILD_DIR
# from the antiarp and package_texts of BUILD_DIR (built before with the distribution's
# hardening flags, by scripts/package.sh). The unit is the one that "/usr/sbin/antiarp /install"
# writes, as package_texts makes it; the copyright file carries LICENSE; the changelog names the
# version, and it and the manual page are dated by the last commit; the README goes to
# /usr/share/doc/tarnwick-antiarp/.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$1
out=$2
build=$3

stage=$root/build/package-stage/deb
source=$stage/tarnwick-antiarp-$version
rm -rf "$stage"
mkdir -p "$source" "$out"
cp -r "$root/packaging/debian" "$source/debian"
rm "$source/debian/make-deb.sh"
cp "$build/antiarp" "$source/antiarp"
cp "$root/README.md" "$source/README.md"
"$build/packaging/package_texts" unit /usr/sbin/antiarp \
  >"$source/debian/tarnwick-antiarp.service"

{
  printf '%s\n' \
    'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    'Upstream-Name: Tarnwick AntiARP' \
    '' \
    'Files: *' \
    "Copyright: $(sed -n 's/^Copyright (c) //p' "$root/LICENSE")" \
    'License: Expat'
  sed -n '/^Permission is hereby granted/,$p' "$root/LICENSE" | sed 's/^$/./; s/^/ /'
} >"$source/debian/copyright"

epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null || date +%s)
sed -i "s/@VERSION@/$version/; s/@DATE@/$(date -u -d "@$epoch" +%Y-%m-%d)/" \
  "$source/debian/antiarp.8"
maintainer=$(sed -n 's/^Maintainer: //p' "$root/packaging/debian/control")
cat >"$source/debian/changelog" <<CHANGES
tarnwick-antiarp ($version) unstable; urgency=medium

  * Tarnwick AntiARP $version.

 -- $maintainer  $(LC_ALL=C date -u -R -d "@$epoch")
CHANGES

(cd "$source" && SOURCE_DATE_EPOCH=$epoch debian/rules binary >"$stage/dh.log" 2>&1) || {
  cat "$stage/dh.log" >&2
  exit 1
}
mv "$stage"/tarnwick-antiarp_"$version"_*.deb "$out/"
