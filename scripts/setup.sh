#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent and
# non-interactive: apt-get update runs once, and only when something is missing.
#   setup.sh          everything
#   setup.sh linux    only what the linux preset and the lab need (no Windows build, no Wine)
set -euo pipefail

packages=(
  build-essential cmake ninja-build git python3
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  iproute2 systemd procps util-linux
  radvd
)
if [ "${1:-}" != linux ]; then
  packages+=(
    clang-format clang-tidy clang libclang-rt-14-dev
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    wine wine32:i386
    debhelper lintian msitools wixl zip
  )
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

if [ "${1:-}" != linux ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
  :
fi

missing=()
for pkg in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [ "$status" != "install ok installed" ]; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
