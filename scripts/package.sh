#!/usr/bin/env bash
# Builds the packages into build/packages/, from a clean tree as from a built one:
#   tarnwick-antiarp_<version>_amd64.deb   the Debian package (debhelper)
#   TarnwickAntiARP-<version>.msi          the Windows installer (wixl)
#   TarnwickAntiARP-<version>-win32.zip    antiarp.exe, README.md and LICENSE
# The version is the CMake project version. Installs what it needs (scripts/setup.sh) and
# builds the packaged targets of the deb and windows presets.
#   package.sh [--linux-build DIR]
# With --linux-build, the Debian package's program and texts are those of DIR, a build configured
# with the same hardening flags (scripts/test.sh's linux build), instead of the deb preset's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup.sh
# The Debian package's program, with the distribution's hardening flags.
source scripts/deb-flags.sh
if [ "${1:-}" = --linux-build ]; then
  linux_build=$(realpath "$2")
  # A build of other flags would ship a program that the package's checks were not meant for.
  for flag in "${deb_flags[@]}"; do
    name=${flag%%=*}
    name=${name#-D}
    if ! grep -qxF "$name:STRING=${flag#*=}" "$linux_build/CMakeCache.txt"; then
      echo "package.sh: $linux_build is not configured with the hardening flags ($name)" >&2
      exit 1
    fi
  done
else
  linux_build=$root/build/deb
  cmake --preset deb "${deb_flags[@]}" >/dev/null
fi
cmake --build "$linux_build" -j"$jobs" --target antiarp package_texts
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target antiarp install_actions

version=$("$linux_build/packaging/package_texts" version)
out=$root/build/packages
rm -rf "$out"
mkdir -p "$out" build/package-stage
# The service's texts for the installer, here and for the upgrade test's second installer.
"$linux_build/packaging/package_texts" wixl-defines >build/package-stage/wixl-defines

bash packaging/debian/make-deb.sh "$version" "$out" "$linux_build"
bash packaging/msi/make-msi.sh "$version" "$out/TarnwickAntiARP-$version.msi"

# The zip: one folder, for those who install with the program's own /install.
folder=TarnwickAntiARP-$version
stage=$root/build/package-stage/zip
rm -rf "$stage"
mkdir -p "$stage/$folder"
i686-w64-mingw32-strip -o "$stage/$folder/antiarp.exe" build/windows/antiarp.exe
cp README.md LICENSE "$stage/$folder/"
(cd "$stage" && zip -q -X -r "$out/$folder-win32.zip" "$folder")

ls -l "$out"
