#!/usr/bin/env bash
# A persistent attacker and nothing remembered: the attacker answers every request for the
# gateway at once, the gateway 1 ms later, for MINUTES minutes of an `antiarp -debug` run. Prints
# the program's lines a minute, how many "set static entry" lines it printed, and how often the
# gateway was asked (the retry schedule), for this release and, given, the previous one.
#   sudo bash bench/persistent_attacker_bench.sh [BUILD_DIR] [PREVIOUS_ANTIARP] [MINUTES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
previous=${2:-}
minutes=${3:-3}
antiarp="$build/antiarp"
attacker="$build/tests/lab/tw_arp_attacker"
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init
lab_standard

measure() {
    local name=$1 program=$2 state out answers
    state=$(mktemp -d "$LAB_DIR/state.XXXXXX")
    lab_ip gw link set eth0 arp off
    lab_spawn_ready gw "$attacker" eth0 answer-after 1 "$LAB_GW_IP" 0
    local stand_in=$LAB_LAST_PID
    lab_spawn_ready attacker env TW_PRINT_ANSWERS=1 "$attacker" eth0 answer "$LAB_GW_IP" 0
    local answerer=$LAB_LAST_PID
    answers=$LAB_LAST_FD
    lab_spawn host "${LAB_PRIVATE_RUN[@]}" env STATE_DIRECTORY="$state" "$program" -debug
    local pid=$LAB_LAST_PID
    out=$LAB_LAST_OUT
    sleep "$((minutes * 60))"
    kill -INT "$pid"
    wait "$pid" || true
    kill -TERM "$answerer" "$stand_in"
    local asked=0 line
    while IFS= read -r -t 2 -u "$answers" line; do
        case "$line" in "answer at "*) asked=$((asked + 1)) ;; esac
    done
    lab_ip gw link set eth0 arp on
    awk -v name="$name" -v minutes="$minutes" -v asked="$asked" '
        /set static entry/ { pins++ }
        { lines++ }
        END {
            printf "%-18s %d lines in %d min (%.1f a minute), %d of them \"set static entry\"; the gateway asked %d times\n",
                name, lines, minutes, lines / minutes, pins, asked
        }' "$out"
}

measure "this release" "$antiarp"
[ -z "$previous" ] || measure "previous release" "$previous"
