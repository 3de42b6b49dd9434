#!/usr/bin/env bash
# The whole test run: set-up, format check, the linux-asan, linux and windows presets configured
# and built, clang-tidy, the system-DLL check of the Windows executables, the packages, every
# test tier (unit under ASan/UBSan and under Wine; lab; systemd; fuzz; wine; package) and the
# main job (the demo in its lab). Fails on any failure.
#
# The builds and the packages run one after the other in the foreground; the test tiers run in
# lanes beside them as soon as what they need is built: most of a tier's time is waiting (for a
# lab's timers, for Wine, for a fuzzer's seconds), which the builds fill. clang-tidy runs in a
# lane of its own from the start, at a lower priority, on what the builds leave of the
# processors. Each lane writes its own log, printed whole when the lane ends. Every step and
# lane says how long it took, and the run its total.
#
# The unit, lab and fuzz tiers run in the sanitizer build (clang), which builds the libFuzzer
# harnesses beside the tests. The linux build, configured with the Debian package's hardening
# flags, makes only what the tiers that need the release program use (systemd, package, the
# demo), the packaged program and the benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
logs=$root/build/logs

run_start=$SECONDS
step_name=
step_start=$SECONDS
end_step() {
    if [ -n "$step_name" ]; then
        printf -- '---- %s: %d s\n' "$step_name" $((SECONDS - step_start))
    fi
    step_name=
}
step() {
    end_step
    collect_lanes
    step_name=$*
    step_start=$SECONDS
    printf '\n==== %s\n' "$*"
}

# Lanes: background parts with a log each. Their PIDs, names and logs, by index.
lane_pids=()
lane_names=()
lane_logs=()
lane_done=()
lane_failures=0
summary_dir=$(mktemp -d)
# A lane still running when the run stops early (a failed build, Ctrl+C) is ended with
# everything it started, parents first so that none starts another child; each lab's own
# clean-up runs on its TERM.
tree_of() {
    local child
    echo "$1"
    for child in $(ps -o pid= --ppid "$1" 2>/dev/null); do
        tree_of "$child"
    done
}
kill_tree() {
    local pids
    pids=$(tree_of "$1")
    # shellcheck disable=SC2086 # a list of PIDs
    kill -- $pids 2>/dev/null || true
}
cleanup() {
    local i
    for i in "${!lane_pids[@]}"; do
        [ -n "${lane_done[i]}" ] || kill_tree "${lane_pids[i]}"
    done
    if [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    rm -rf "$summary_dir"
}
trap cleanup EXIT

# lane NAME COMMAND...: runs the command in the background, its output in build/logs/NAME.log.
lane() {
    local name=$1 index=${#lane_pids[@]}
    shift
    local log=$logs/$name.log
    printf -- '---- lane started: %s (log: %s)\n' "$name" "${log#"$root"/}"
    (
        start=$SECONDS
        status=0
        "$@" || status=$?
        printf -- '---- %s: %d s, %s\n' "$name" $((SECONDS - start)) \
            "$([ "$status" -eq 0 ] && echo passed || echo "FAILED (status $status)")"
        exit "$status"
    ) >"$log" 2>&1 </dev/null &
    lane_pids[index]=$!
    lane_names[index]=$name
    lane_logs[index]=$log
    lane_done[index]=
}

# Prints the log of every lane that has ended and counts its failure; with "all", goes on until
# every lane has ended, printing each as it ends.
collect_lanes() {
    local i status running
    while :; do
        running=0
        for i in "${!lane_pids[@]}"; do
            [ -z "${lane_done[i]}" ] || continue
            if kill -0 "${lane_pids[i]}" 2>/dev/null; then
                running=1
                continue
            fi
            status=0
            wait "${lane_pids[i]}" || status=$?
            lane_done[i]=1
            printf '\n==== lane: %s\n' "${lane_names[i]}"
            cat "${lane_logs[i]}"
            [ "$status" -eq 0 ] || lane_failures=$((lane_failures + 1))
        done
        [ "${1:-}" = all ] && [ "$running" -eq 1 ] || return 0
        sleep 1
    done
}

# Runs one CTest preset and keeps its count line for the closing summary.
run_tier() {
    local name=$1 log status=0
    shift
    log=$(mktemp)
    ctest "$@" 2>&1 | tee "$log" || status=1
    grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" >"$summary_dir/$name" || status=1
    rm -f "$log"
    return $status
}

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1" -j"$jobs"
}

# The linux build's tiers: systemd, then (once the packages are made) the package tier, then the
# main job.
linux_lane() {
    local status=0
    run_tier linux --preset linux -j"$jobs" -L '^systemd$' || status=1
    printf '\n==== the package tier\n'
    until [ -e "$logs/packages.made" ]; do
        sleep 1
    done
    run_tier linux-package --preset linux -j"$jobs" -L '^package$' || status=1
    printf '\n==== the main job: scripts/demo.sh\n'
    bash scripts/demo.sh || status=1
    return $status
}

wine_lane() {
    # A cold wineserver's helpers inherit the test's stderr and stall every test: start the
    # server and the prefix once, silently (stopped at exit).
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1 </dev/null || true # already running is fine
    # Plain wineboot: "wineboot -i" leaves a second services.exe that takes new services away.
    wineboot >/dev/null 2>&1 </dev/null
    run_tier windows --preset windows -j"$jobs"
}

step "set-up"
bash scripts/setup.sh
rm -rf "$logs"
mkdir -p "$logs"

step "format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

step "configure: linux-asan (for clang-tidy's harnesses)"
cmake --preset linux-asan >/dev/null
lane "clang-tidy" nice -n 10 bash scripts/tidy.sh

step "build: linux-asan (the tests and the fuzz harnesses)"
cmake --build --preset linux-asan -j"$jobs"
lane "tests-linux-asan-unit-and-lab" run_tier linux-asan --preset linux-asan -j"$jobs" -LE '^fuzz$'

step "configure and build: linux, with the package's flags (the program, the lab's attacker, the package texts, the benchmarks)"
source scripts/deb-flags.sh
cmake --preset linux "${deb_flags[@]}" >/dev/null
cmake --build --preset linux -j"$jobs" --target antiarp tw_arp_attacker benchmarks package_texts
lane "tests-linux-and-demo" linux_lane

step "configure and build: windows"
build windows

step "system DLLs only"
bash scripts/check-windows-dlls.sh build/windows

# The package tiers' tests check what this makes.
step "packages"
bash scripts/package.sh --linux-build build/linux
touch "$logs/packages.made"
export WINEPREFIX="$root/build/windows/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
lane "tests-windows-under-wine" wine_lane
lane "tests-fuzz" run_tier fuzz --preset linux-asan -j"$jobs" -L '^fuzz$'

step "waiting for the test lanes"
collect_lanes all
end_step

printf '\n==== summary\n'
cat "$summary_dir"/* 2>/dev/null |
  grep -oE '[0-9]+ tests? failed out of [0-9]+' |
  awk '{ failed += $1; total += $NF } END { printf "%d passed, %d failed\n", total - failed, failed }'
printf 'total: %d s\n' $((SECONDS - run_start))
if [ "$lane_failures" -ne 0 ]; then
  echo "$lane_failures test lane(s) failed" >&2
  exit 1
fi
