#!/usr/bin/env bash
# What an attacker on the LAN gets of the host's traffic to its gateway: for each scene, each
# program and each trial, the host sends 300 datagrams to the gateway (2 ms apart) once the program
# has started and its pin's window has closed, and the attacker counts those that reach it.
# Scenes: "flood" (the attacker floods 3,000 forged replies a second at the host, the gateway's
# kernel answers), "late1" and "late10" (the attacker answers every request at once, the gateway
# 1 or 10 ms late). Programs: none (the kernel's own ARP), the previous release (given), this
# one, and this one with the gateway remembered. Prints, per scene and program, the trials that
# leaked and the frames leaked.
#   sudo bash bench/trust_race_bench.sh [BUILD_DIR] [PREVIOUS_ANTIARP] [TRIALS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
previous=${2:-}
trials=${3:-20}
antiarp="$build/antiarp"
attacker="$build/tests/lab/tw_arp_attacker"
for file in "$antiarp" "$attacker" ${previous:+"$previous"}; do
    [ -x "$file" ] || { echo "no $file: build the linux preset first" >&2; exit 1; }
done
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init
lab_standard
gwmac=$(lab_mac gw eth0)
hostmac=$(lab_mac host eth0)
state="$LAB_DIR/state"
mkdir -m 0700 "$state"

permanent() { lab_ip host neigh show "$LAB_GW_IP" dev eth0 nud permanent | grep -q .; }

# One trial: prints the frames that reached the attacker.
trial() {
    local scene=$1 program=$2 remembered=$3 pids=() counter counted program_pid=
    case "$scene" in
    flood)
        lab_spawn_ready attacker "$attacker" eth0 flood "$LAB_GW_IP" "$LAB_HOST_IP" "$hostmac" 3000
        pids+=("$LAB_LAST_PID")
        ;;
    late*)
        lab_ip gw link set eth0 arp off
        lab_spawn_ready gw "$attacker" eth0 answer-after "${scene#late}" "$LAB_GW_IP" 0
        pids+=("$LAB_LAST_PID")
        lab_spawn_ready attacker "$attacker" eth0 answer "$LAB_GW_IP" 0
        pids+=("$LAB_LAST_PID")
        ;;
    esac
    lab_ip host neigh flush dev eth0
    rm -f "$state/gateways"
    if [ "$remembered" = yes ]; then
        printf 'tarnwick-antiarp gateways 2\neth0 ipv4 %s %s 2026-01-01T00:00:00Z\n' \
            "$LAB_GW_IP" "$gwmac" >"$state/gateways"
        chmod 0600 "$state/gateways"
    fi
    if [ "$program" != none ]; then
        lab_spawn host "${LAB_PRIVATE_RUN[@]}" env STATE_DIRECTORY="$state" "$program" -debug
        program_pid=$LAB_LAST_PID
        lab_wait_until 10 permanent || true
        sleep 0.2 # past the pin's conflict window
    fi
    lab_spawn_ready attacker "$attacker" eth0 count-ip "$LAB_GW_IP"
    counter=$LAB_LAST_FD
    pids+=("$LAB_LAST_PID")
    lab_exec host python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for _ in range(300):
    try:
        s.sendto(b"x", (sys.argv[1], 9))
    except OSError:
        pass
    time.sleep(0.002)
' "$LAB_GW_IP" >/dev/null 2>&1 || true
    kill -TERM "$LAB_LAST_PID"
    IFS= read -r -t 10 -u "$counter" counted || counted="counted ?"
    [ -z "$program_pid" ] || { kill -INT "$program_pid"; wait "$program_pid" || true; }
    kill -TERM "${pids[@]}" 2>/dev/null || true
    wait "${pids[@]}" 2>/dev/null || true
    lab_ip gw link set eth0 arp on
    echo "${counted#counted }"
}

printf '%-8s %-22s %s\n' scene program "trials that leaked / frames leaked of 300 a trial"
for scene in flood late1 late10; do
    programs=("none:none:no")
    [ -z "$previous" ] || programs+=("previous release:$previous:no")
    programs+=("this release:$antiarp:no" "this, remembered:$antiarp:yes")
    for entry in "${programs[@]}"; do
        IFS=: read -r name program remembered <<<"$entry"
        leaked_trials=0
        leaked_frames=0
        for _ in $(seq "$trials"); do
            n=$(trial "$scene" "$program" "$remembered")
            [ "$n" = "?" ] && n=0
            [ "$n" -eq 0 ] || leaked_trials=$((leaked_trials + 1))
            leaked_frames=$((leaked_frames + n))
        done
        printf '%-8s %-22s %d of %d trials leaked, %d frames in all\n' "$scene" "$name" \
            "$leaked_trials" "$trials" "$leaked_frames"
    done
done
