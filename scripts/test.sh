#!/usr/bin/env bash
# The whole test run: set-up, format check, every preset configured and built, clang-tidy,
# the system-DLL check of the Windows executables, the packages, every test tier (unit
# natively, under ASan/UBSan and under Wine; lab; systemd; fuzz; wine; package) and the main
# job (the demo in its lab). Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)

step() { printf '\n==== %s\n' "$*"; }

summary=$(mktemp)
trap 'rm -f "$summary"' EXIT
# Runs one CTest preset and keeps its count line for the closing summary.
run_tier() {
  local log
  log=$(mktemp)
  local status=0
  ctest "$@" 2>&1 | tee "$log" || status=1
  grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" >>"$summary" || status=1
  rm -f "$log"
  return $status
}

step "set-up"
bash scripts/setup.sh

step "format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

for preset in linux linux-asan fuzz windows; do
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
# The fuzz harnesses are built by the fuzz preset alone.
git ls-files 'fuzz/*.cpp' | xargs -P "$jobs" -n 2 \
  clang-tidy -p "$root/build/fuzz" --quiet --warnings-as-errors='*' 2>/dev/null

step "system DLLs only"
bash scripts/check-windows-dlls.sh build/windows

# The package tier's tests check what this makes.
step "packages"
bash scripts/package.sh

tier_failures=0
step "tests: linux"
run_tier --preset linux -j"$jobs" || tier_failures=$((tier_failures + 1))

step "the main job: scripts/demo.sh"
bash scripts/demo.sh || tier_failures=$((tier_failures + 1))

step "tests: linux-asan"
run_tier --preset linux-asan -j"$jobs" || tier_failures=$((tier_failures + 1))

step "tests: fuzz (each harness's seeds, then 10 s of fuzzing each)"
run_tier --preset fuzz -j"$jobs" || tier_failures=$((tier_failures + 1))

step "tests: windows under wine"
export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A cold wineserver's helpers inherit the test's stderr and stall every test: start the
# server and the prefix once, silently, and stop it afterwards whatever happens.
trap 'wineserver -k >/dev/null 2>&1 || true; rm -f "$summary"' EXIT
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null || true # already running is fine
# Plain wineboot: "wineboot -i" leaves a second services.exe that takes new services away.
wineboot >/dev/null 2>&1 </dev/null
run_tier --preset windows -j"$jobs" || tier_failures=$((tier_failures + 1))

step "summary"
grep -oE '[0-9]+ tests? failed out of [0-9]+' "$summary" |
  awk '{ failed += $1; total += $NF } END { printf "%d passed, %d failed\n", total - failed, failed }'
if [ "$tier_failures" -ne 0 ]; then
  echo "$tier_failures test tier(s) failed" >&2
  exit 1
fi
