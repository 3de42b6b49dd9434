#!/usr/bin/env bash
# The whole program in the lab's usual scene (the protected host, a gateway whose kernel answers
# ARP): how soon `antiarp -debug` has pinned the gateway after its start, against the bare ARP
# round trip to that gateway measured in the same run; its CPU time over an idle debug run; its
# resident memory. The program runs with an empty /run of its own, so nothing is left behind.
# With ROUTES, the host's main table holds that many more routes, and the memory is read again
# after a change of the default gateway.
# With PREVIOUS=<antiarp of the previous release> in the environment, the start is measured for
# that program too, in the same lab; with REMEMBERED=1 both start with the gateway remembered
# (a state directory of the bench's own, in the first format, which both releases read).
# With IPV6=1 the LAN has IPv6 too, its router advertised by radvd (as in bench/nd_bench.sh):
# the idle run then keeps the IPv6 router pinned as well.
#   sudo bash bench/program_bench.sh [BUILD_DIR] [IDLE_SECONDS] [ROUTES]   (build/linux, 30, 0)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
idle_seconds=${2:-30}
routes=${3:-0}
bench="$build/bench/Program_bench"
antiarp="$build/antiarp"
for file in "$bench" "$antiarp"; do
    [ -x "$file" ] || { echo "no $file: build the linux preset first" >&2; exit 1; }
done
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init
if [ "${IPV6:-0}" = 1 ]; then
    lab_standard6
else
    lab_standard
fi
if [ "$routes" -gt 0 ]; then
    lab_routes host "$routes" "$LAB_GW_IP"
    echo "routes in the host's main table: $(lab_ip host route show | wc -l)"
fi

state_env=()
if [ "${REMEMBERED:-0}" = 1 ]; then
    state="$LAB_DIR/state"
    mkdir -m 0700 "$state"
    state_env=(env STATE_DIRECTORY="$state")
fi
# The remembered gateway, written again before each program's measurement.
seed_state() {
    [ -n "${state:-}" ] || return 0
    printf 'tarnwick-antiarp gateways 1\neth0 %s %s\n' "$LAB_GW_IP" "$(lab_mac gw eth0 | tr -d :)" \
        >"$state/gateways"
    chmod 0600 "$state/gateways"
}

echo "== start to pinned, against the bare ARP round trip${state:+, the gateway remembered}"
seed_state
lab_exec host "${LAB_PRIVATE_RUN[@]}" "${state_env[@]}" "$bench" "$antiarp" "$LAB_GW_IP" --benchmark_color=false
if [ -n "${PREVIOUS:-}" ]; then
    echo
    echo "== the same for the previous release: $PREVIOUS"
    seed_state
    lab_exec host "${LAB_PRIVATE_RUN[@]}" "${state_env[@]}" "$bench" "$PREVIOUS" "$LAB_GW_IP" --benchmark_color=false
fi

# The idle cost of one program, with the gateway pinned.
idle_run() {
    local program=$1
    echo
    echo "== an idle debug run of $idle_seconds s: $program"
    lab_spawn host "${LAB_PRIVATE_RUN[@]}" "$program" -debug
    pid=$LAB_LAST_PID
    pinned() { lab_ip host neigh show "$LAB_GW_IP" dev eth0 nud permanent | grep -q .; }
    lab_wait_until 10 pinned || { echo "the gateway was not pinned" >&2; exit 1; }
    sleep 1 # past the start

    # utime + stime of every thread, in clock ticks (fields 14 and 15 of /proc/PID/stat, counted
    # after the command name in parentheses).
    cpu_ticks() { sed 's/^.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }'; }
    # The same in nanoseconds, from the scheduler's own account of each thread.
    cpu_ns() { cat /proc/"$pid"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d\n", sum }'; }
    field() { awk -v key="$1:" '$1 == key { print $2 }' "$2"; }

    ticks0=$(cpu_ticks)
    ns0=$(cpu_ns)
    t0=$EPOCHREALTIME
    sleep "$idle_seconds"
    ticks1=$(cpu_ticks)
    ns1=$(cpu_ns)
    t1=$EPOCHREALTIME
    hz=$(getconf CLK_TCK)
    awk -v t0="$t0" -v t1="$t1" -v d="$((ticks1 - ticks0))" -v hz="$hz" -v ns="$((ns1 - ns0))" '
        BEGIN {
            wall = t1 - t0
            printf "cpu: %d ticks of 1/%d s in %.1f s = %.4f%% of one core (scheduler account: %.3f ms = %.4f%%); target < 0.1%%: %s\n",
                d, hz, wall, 100 * d / hz / wall, ns / 1e6, 100 * ns / 1e9 / wall,
                (100 * d / hz / wall < 0.1 && 100 * ns / 1e9 / wall < 0.1) ? "within target" : "OVER TARGET"
        }'
    memory() {
        local rss hwm anon file pss threads
        threads=$(field Threads "/proc/$pid/status")
        rss=$(field VmRSS "/proc/$pid/status")
        hwm=$(field VmHWM "/proc/$pid/status")
        anon=$(field RssAnon "/proc/$pid/status")
        file=$(field RssFile "/proc/$pid/status")
        pss=$(field Pss "/proc/$pid/smaps_rollup")
        awk -v what="$1" -v rss="$rss" -v hwm="$hwm" -v anon="$anon" -v file="$file" -v pss="$pss" -v threads="$threads" '
            BEGIN {
                printf "memory %s: VmRSS %d KiB (%.2f MiB), VmHWM %d KiB (%.2f MiB); of the RSS %d KiB anonymous, %d KiB mapped files; PSS %d KiB; %d threads; target RSS < 4 MiB: %s\n",
                    what, rss, rss / 1024, hwm, hwm / 1024, anon, file, pss, threads,
                    (rss < 4096 && hwm < 4096) ? "within target" : "OVER TARGET"
            }'
    }
    memory "idle"
    if [ "$routes" -gt 0 ] && [ "$program" = "$antiarp" ]; then
        lab_ip host route replace default via "$LAB_GW2_IP"
        repinned() { lab_ip host neigh show "$LAB_GW2_IP" dev eth0 nud permanent | grep -q .; }
        lab_wait_until 10 repinned || { echo "the new gateway was not pinned" >&2; exit 1; }
        memory "after a route change among $routes routes"
    fi

    kill -INT "$pid"
    status=0
    wait "$pid" || status=$?
    echo "exit status after SIGINT: $status"
}
idle_run "$antiarp"
if [ -n "${PREVIOUS:-}" ]; then
    idle_run "$PREVIOUS"
fi
