#!/usr/bin/env bash
# What a busy LAN costs the whole program: the CPU time of `antiarp -debug` in the lab's usual
# scene over an idle span, then over a span of the same length in which a crowd of hosts asks
# for the protected host's address (every request makes its kernel write the asker's neighbour
# entry anew and tell of it), and the ratio of the two. Neighbour notifications of entries the
# program does not keep are filtered out in the kernel, so the ratio stays near 1.
# The crowd is at most 400 hosts: the kernel's neighbour table is shared by every namespace, and
# beyond its threshold (512 entries by default) it would evict other namespaces' entries, the
# machine's own among them. Their MACs change from one request to the next instead, so that
# every frame makes a notification all the same.
#   sudo bash bench/busy_lan_bench.sh [BUILD_DIR] [SECONDS] [FRAMES_PER_SECOND] [HOSTS]
#       (build/linux, 10, 5000, 400)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
seconds=${2:-10}
rate=${3:-5000}
hosts=${4:-400}
antiarp="$build/antiarp"
attacker="$build/tests/lab/tw_arp_attacker"
for file in "$antiarp" "$attacker"; do
    [ -x "$file" ] || { echo "no $file: build the linux preset first" >&2; exit 1; }
done
if [ "$hosts" -gt 400 ]; then
    echo "at most 400 hosts (the kernel's shared neighbour table)" >&2
    exit 2
fi
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init
lab_standard

lab_spawn host "${LAB_PRIVATE_RUN[@]}" "$antiarp" -debug
pid=$LAB_LAST_PID
pinned() { lab_ip host neigh show "$LAB_GW_IP" dev eth0 nud permanent | grep -q .; }
lab_wait_until 10 pinned || { echo "the gateway was not pinned" >&2; exit 1; }
sleep 1 # past the start

# The scheduler's account of every thread of the program, in nanoseconds.
cpu_ns() { cat /proc/"$pid"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d\n", sum }'; }

idle0=$(cpu_ns)
sleep "$seconds"
idle=$(($(cpu_ns) - idle0))

# The host's neighbour notifications over the busy span, counted by a watcher of its own.
lab_spawn host ip monitor neigh
monitor_out=$LAB_LAST_OUT
busy0=$(cpu_ns)
lab_exec attacker "$attacker" eth0 crowd "$LAB_HOST_IP" 10.80.1.1 "$hosts" "$rate" "$seconds"
busy=$(($(cpu_ns) - busy0))
notifications=$(wc -l <"$monitor_out")

awk -v idle="$idle" -v busy="$busy" -v s="$seconds" -v n="$notifications" -v rate="$rate" \
    -v hosts="$hosts" 'BEGIN {
        ratio = busy / (idle > 0 ? idle : 1)
        printf "idle: %.2f ms of CPU in %d s\n", idle / 1e6, s
        printf "busy LAN (%d hosts, %d ARP requests/s, %d neighbour notifications in the host): %.2f ms of CPU in %d s\n",
            hosts, rate, n, busy / 1e6, s
        printf "ratio busy / idle = %.2f; target <= 2: %s\n", ratio,
            ratio <= 2 ? "within target" : "OVER TARGET"
    }'
pinned || { echo "the gateway's pin did not survive" >&2; exit 1; }

kill -INT "$pid"
status=0
wait "$pid" || status=$?
echo "exit status after SIGINT: $status"
