#!/usr/bin/env bash
# Builds the packages into build/packages/, from a clean tree as from a built one:
#   tarnwick-antiarp_<version>_amd64.deb   the Debian package (debhelper)
#   TarnwickAntiARP-<version>.msi          the Windows installer (wixl)
#   TarnwickAntiARP-<version>-win32.zip    antiarp.exe, README.md and LICENSE
# The version is the CMake project version. Installs what it needs (scripts/setup.sh) and
# builds the packaged targets of the linux and windows presets.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j"$jobs" --target antiarp package_texts
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target antiarp install_actions

version=$(build/linux/packaging/package_texts version)
out=$root/build/packages
rm -rf "$out"
mkdir -p "$out"

bash packaging/debian/make-deb.sh "$version" "$out"
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
