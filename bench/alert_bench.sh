#!/usr/bin/env bash
# The cost of the alerts while pinned: `antiarp -debug` in the lab's usual scene, its CPU time
# over SECONDS of idle and then over SECONDS of forged ARP replies at RATE a second (each
# claiming the pinned gateway's address for the attacker's MAC), in one run: both as
# percentages of one core, their ratio, the lines the flood cost and the resident memory after
# it. The program runs with an empty /run and /var/lib of its own, so nothing is left behind.
#   sudo bash bench/alert_bench.sh [BUILD_DIR] [RATE] [SECONDS]     (build/linux, 10000, 10)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
rate=${2:-10000}
seconds=${3:-10}
antiarp="$build/antiarp"
attacker="$build/tests/lab/tw_arp_attacker"
for file in "$antiarp" "$attacker"; do
    [ -x "$file" ] || { echo "no $file: build the linux preset first" >&2; exit 1; }
done
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init
lab_standard
hostmac=$(lab_mac host eth0)
gwmac=$(lab_mac gw eth0)

lab_spawn host "${LAB_PRIVATE_RUN[@]}" "$antiarp" -debug
pid=$LAB_LAST_PID
log=$LAB_LAST_OUT
# Settled: the gateway remembered once its conflict window has closed.
lab_wait_until 10 lab_remembered "/proc/$pid/root/var/lib/tarnwick-antiarp/gateways" \
    "$LAB_GW_IP" "$gwmac" || { echo "the gateway was not remembered" >&2; exit 1; }
sleep 1 # past the start

# utime + stime of every thread in clock ticks (fields 14 and 15 of /proc/PID/stat, counted
# after the command name), and the scheduler's own account of each thread in nanoseconds.
cpu_ticks() { sed 's/^.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }'; }
cpu_ns() { cat /proc/"$pid"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d\n", sum }'; }
field() { awk -v key="$1:" '$1 == key { print $2 }' "/proc/$pid/status"; }

# Runs "$@" (its output discarded) and prints: ticks, nanoseconds, wall seconds.
measure() {
    local ticks0 ns0 t0
    ticks0=$(cpu_ticks)
    ns0=$(cpu_ns)
    t0=$EPOCHREALTIME
    "$@" >/dev/null
    printf '%d %d %s\n' "$(($(cpu_ticks) - ticks0))" "$(($(cpu_ns) - ns0))" \
        "$(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN { print b - a }')"
}
lines_before=$(wc -l <"$log")
read -r idle_ticks idle_ns idle_wall < <(measure sleep "$seconds")
read -r flood_ticks flood_ns flood_wall < <(measure lab_exec attacker "$attacker" eth0 flood \
    "$LAB_GW_IP" "$LAB_HOST_IP" "$hostmac" "$rate" "$seconds")
lines=$(($(wc -l <"$log") - lines_before))
rss=$(field VmRSS)
hwm=$(field VmHWM)

echo "== $seconds s idle, then $seconds s of $rate forged replies a second (debug mode, pinned)"
awk -v it="$idle_ticks" -v ins="$idle_ns" -v iw="$idle_wall" -v ft="$flood_ticks" \
    -v fns="$flood_ns" -v fw="$flood_wall" -v hz="$(getconf CLK_TCK)" -v lines="$lines" \
    -v rss="$rss" -v hwm="$hwm" '
    BEGIN {
        ip = 100 * ins / 1e9 / iw; fp = 100 * fns / 1e9 / fw
        printf "idle:  %d ticks of 1/%d s, scheduler %.3f ms in %.1f s = %.4f%% of one core\n", it, hz, ins / 1e6, iw, ip
        printf "flood: %d ticks of 1/%d s, scheduler %.3f ms in %.1f s = %.4f%% of one core\n", ft, hz, fns / 1e6, fw, fp
        printf "ratio flood / idle (scheduler account): %.2f\n", (ip > 0 ? fp / ip : 0)
        printf "lines written during the flood: %d\n", lines
        printf "memory after the flood: VmRSS %d KiB, VmHWM %d KiB\n", rss, hwm
        printf "target: flood under 1%% of one core: %s; resident memory under 4 MiB: %s\n",
            (fp < 1 ? "within target" : "OVER TARGET"), ((rss < 4096 && hwm < 4096) ? "within target" : "OVER TARGET")
    }'
kill -INT "$pid"
status=0
wait "$pid" || status=$?
echo "the program's last line: $(tail -n 1 "$log")"
echo "exit status after SIGINT: $status"
