#!/usr/bin/env bash
# Builds the packages into build/packages/, from a clean tree as from a built one:
#   tarnwick-antiarp_<version>_amd64.deb   the Debian package (debhelper)
#   TarnwickAntiARP-<version>.msi          the Windows installer (wixl)
#   TarnwickAntiARP-<version>-win32.zip    antiarp.exe, README.md and LICENSE
# The version is the CMake project version. Installs what it needs (scripts/setup.sh) and
# builds the packaged targets of the deb and windows presets.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

bash scripts/setup.sh
# The Debian package's program, with the distribution's hardening flags: fortified functions,
# stack protector, read-only relocations, immediate binding.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake --preset deb -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build --preset deb -j"$jobs" --target antiarp package_texts
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs" --target antiarp install_actions

version=$(build/deb/packaging/package_texts version)
out=$root/build/packages
rm -rf "$out"
mkdir -p "$out"

bash packaging/debian/make-deb.sh "$version" "$out" "$root/build/deb"
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
