#!/usr/bin/env bash
# The whole test run: set-up, format check, every preset configured and built, clang-tidy,
# every test tier (unit natively, under ASan/UBSan and under Wine; lab; wine), the
# system-DLL check of the Windows executables. Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

step "set-up"
bash scripts/setup.sh

step "format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in linux linux-asan windows; do
  step "configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
done

step "clang-tidy"
python3 - "$root/build/linux/compile_commands.json" "$root" >"$root/build/tidy-files.txt" <<'PY'
import json, sys
root = sys.argv[2]
for entry in json.load(open(sys.argv[1])):
    f = entry["file"]
    if f.startswith(root) and "/build/" not in f:
        print(f)
PY
xargs -a "$root/build/tidy-files.txt" -P "$jobs" -n 4 \
  clang-tidy -p "$root/build/linux" --quiet --warnings-as-errors='*' 2>/dev/null

step "system DLLs only"
bash scripts/check-windows-dlls.sh build/windows

step "tests: linux"
ctest --preset linux -j"$jobs"

step "tests: linux-asan"
ctest --preset linux-asan -j"$jobs"

step "tests: windows under wine"
export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A cold wineserver's helpers inherit the test's stderr and stall every test: start the
# server and the prefix once, silently, and stop it afterwards whatever happens.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineboot -i >/dev/null 2>&1 </dev/null
# Exits with 2 when the server that wineboot started is still up: that one serves as well.
wineserver -p >/dev/null 2>&1 </dev/null || true
ctest --preset windows

step "all tiers passed"
