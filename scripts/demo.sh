#!/usr/bin/env bash
# The program at work, in a lab of network namespaces on this machine: installs what the Linux
# build needs, builds the linux preset, and runs `antiarp -debug` in a protected host beside a
# gateway, a second gateway and an attacker that forges ARP replies. Shows the gateway's entry
# taken over without protection, pinned and holding under attack with it (the attack reported:
# its first frame at once, the rest counted in a summary), re-pinned after a change of the
# default gateway, and flushed when Ctrl+C (SIGINT) ends the run. The lab lives
# in namespaces of its own and is removed at the end, also on failure or interruption; the
# machine's own interfaces, ARP table and /run are never touched.
#   sudo bash scripts/demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "$(id -u)" -ne 0 ]; then
    echo "demo: run it as root (network namespaces): sudo bash scripts/demo.sh" >&2
    exit 1
fi

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
[ -t 1 ] || say() { printf '\n== %s\n' "$*"; }
show() { sed 's/^/   /'; }

say "Installing what the Linux build needs"
bash scripts/setup.sh linux

say "Building (preset linux)"
cmake --preset linux >/dev/null
cmake --build --preset linux -j"$(nproc)" --target antiarp tw_arp_attacker | tail -n 1
antiarp=$root/build/linux/antiarp
attacker=$root/build/linux/tests/lab/tw_arp_attacker

# shellcheck source=tests/lab/lab.sh
source tests/lab/lab.sh
lab_init
trap 'lab_cleanup; echo; echo "== The lab is removed"' EXIT

say "The lab: four hosts on one Ethernet segment, each a network namespace"
lab_standard
gwmac=$(lab_mac gw eth0)
gw2mac=$(lab_mac gw2 eth0)
hostmac=$(lab_mac host eth0)
attackermac=$(lab_mac attacker eth0)
{
    echo "protected host  $LAB_HOST_IP  $hostmac  (default route via $LAB_GW_IP)"
    echo "gateway         $LAB_GW_IP  $gwmac"
    echo "second gateway  $LAB_GW2_IP  $gw2mac"
    echo "attacker        $LAB_ATTACKER_IP $attackermac"
} | show
# The kernel takes a new address for an entry at once (default: after a second), so that the
# unprotected case needs no waiting.
lab_exec host sysctl -qw net.ipv4.neigh.eth0.locktime=0

arp_table() { lab_ip host neigh show | sed 's/ *$//' | show; }
rx_packets() { lab_exec host cat /sys/class/net/eth0/statistics/rx_packets; }
# 2 x COUNT forged ARPs from the attacker: replies to the host and gratuitous ARPs, all saying
# that the gateway's address is at the attacker's MAC; returns when they have all arrived.
forge() {
    local count=$1 before
    before=$(rx_packets)
    lab_exec attacker "$attacker" eth0 reply "$LAB_GW_IP" "$LAB_HOST_IP" "$hostmac" "$count" >/dev/null
    lab_exec attacker "$attacker" eth0 gratuitous "$LAB_GW_IP" "$count" >/dev/null
    arrived() { [ $(($(rx_packets) - before)) -ge $((2 * count)) ]; }
    lab_wait_until 10 arrived
}

say "Without protection: the host talks to its gateway, then the attacker forges 200 ARPs"
lab_exec host bash -c "echo >/dev/udp/$LAB_GW_IP/9"
lab_wait_until 5 bash -c "ip -n $(lab_ns host) neigh show $LAB_GW_IP | grep -q $gwmac"
echo "ARP table before the attack:"
arp_table
forge 100
echo "ARP table after the attack (the gateway's address now leads to the attacker):"
arp_table

say "Starting the protection in the host: antiarp -debug"
lab_spawn host "${LAB_PRIVATE_RUN[@]}" "$antiarp" -debug
pid=$LAB_LAST_PID
log=$LAB_LAST_OUT
shown=0
# The program's lines written since the last call, and waits for a given count first.
program_lines() {
    local total=$1
    lab_wait_until 10 bash -c "[ \$(wc -l <'$log') -ge $total ]" ||
        { echo "demo: the program did not write line $total" >&2; cat "$log" >&2; exit 1; }
    tail -n +"$((shown + 1))" "$log" | head -n "$((total - shown))" | sed 's/^/   antiarp| /'
    shown=$total
}
program_lines 2
# Answers of another MAC within a pin's first moments (its conflict window) would take it back.
lab_wait_until 5 lab_remembered "/proc/$pid/root/var/lib/tarnwick-antiarp/gateways" "$LAB_GW_IP" "$gwmac"
echo "ARP table (the gateway's real MAC, PERMANENT: forged replies cannot change it):"
arp_table

say "Under attack: 20,000 forged ARPs for the gateway's address"
forge 10000
echo "The attack is reported: its first frame at once, the rest counted for a summary (at most"
echo "one a minute, or when the gateway goes)"
program_lines 3
echo "ARP table after the attack:"
arp_table

say "The default gateway changes to $LAB_GW2_IP"
lab_ip host route replace default via "$LAB_GW2_IP"
program_lines 6
echo "ARP table (the new gateway is pinned in place of the old one):"
arp_table

say "Ctrl+C (SIGINT) ends the run"
kill -INT "$pid"
status=0
wait "$pid" || status=$?
program_lines "$(wc -l <"$log")"
echo "exit code: $status"
echo "ARP table (flushed, the static entries are gone):"
arp_table
[ -n "$(lab_ip host neigh show)" ] || echo "   (empty)"
[ "$status" -eq 0 ]
