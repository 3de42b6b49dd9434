#!/usr/bin/env bash
# Lab tests of the route-change monitor and the module's Start and Stop on the real kernel,
# each in namespaces of its own (removed at exit, also on failure).
#   monitor_lab_test.sh SCENARIO MONITOR_TOOL ATTACKER_TOOL
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lab/lab.sh
source "$here/../lab/lab.sh"
# shellcheck source=tests/lab/checks.sh
source "$here/../lab/checks.sh"

scenario=$1
monitor=$2
attacker=$3

# The monitor tool in the protected host, driven through a pair of pipes.
start_tool() {
    coproc TOOL { exec ip netns exec "$(lab_ns host)" "${LAB_BOUNDED[@]}" "$monitor"; }
    LAB_PIDS+=("$TOOL_PID")
    expect_line ready
}

send() { printf '%s\n' "$1" >&"${TOOL[1]}"; }

# The tool's next line, within 10 seconds, in $line.
next_line() {
    line=
    IFS= read -r -t 10 -u "${TOOL[0]}" line || fail "no further line from the monitor tool${1:+ (expected '$1')}"
}

expect_line() {
    next_line "$1"
    [ "$line" = "$1" ] || fail "expected '$1', got '$line'"
}

# Stops the module: nothing more may be printed before the reply, and only the main thread
# is left.
expect_quiet_stop() {
    send stop
    expect_line "== stopped threads=1"
}

quit_tool() {
    send quit
    wait "$TOOL_PID" || fail "the monitor tool failed"
}

milliseconds() { local t=${EPOCHREALTIME/./}; printf '%d' $((t / 1000)); }

# A change of the default gateway is printed and the new gateway is pinned with its real MAC;
# the old one's entry goes with the pass's flush.
scenario_gateway_change() {
    lab_standard
    local gwmac gw2mac
    gwmac=$(lab_mac gw eth0)
    gw2mac=$(lab_mac gw2 eth0)
    start_tool
    send start
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    expect_line "== started"

    lab_ip host route replace default via "$LAB_GW2_IP"
    expect_line "$changed_line"
    expect_line "$(bound_line 0 "$LAB_GW2_IP" "$gw2mac")"
    send "settle 200"
    next_line "== settled ..."
    case "$line" in "== settled "*) ;; *) fail "after the change: '$line'" ;; esac

    expect_equal "new gateway" "$(neighbour host "$LAB_GW2_IP" eth0)" \
        "$LAB_GW2_IP lladdr $gw2mac PERMANENT"
    case "$(neighbour host "$LAB_GW_IP" eth0)" in
    *PERMANENT*) fail "the old gateway is still pinned" ;;
    esac
    expect_quiet_stop
    quit_tool
}

# Stop while the monitor waits: no message, the monitor thread has ended when Stop returns,
# and every link's table is empty.
scenario_stop_while_waiting() {
    lab_host host
    lab_host gw
    lab_host gw2
    lab_wire host eth0 10.65.1.2/24 gw eth0 10.65.1.1/24
    lab_wire host eth1 10.65.2.2/24 gw2 eth0 10.65.2.1/24
    lab_ip host route add default via 10.65.1.1 dev eth0 metric 10
    lab_ip host route add default via 10.65.2.1 dev eth1 metric 20
    local gwmac gw2mac
    gwmac=$(lab_mac gw eth0)
    gw2mac=$(lab_mac gw2 eth0)
    start_tool
    send start
    expect_line "$(bound_line 0 10.65.1.1 "$gwmac")"
    expect_line "$(bound_line 1 10.65.2.1 "$gw2mac")"
    expect_line "== started"
    lab_ip host neigh add 10.65.1.9 lladdr 02:00:00:00:01:09 dev eth0 nud permanent
    lab_ip host neigh add 10.65.2.9 lladdr 02:00:00:00:02:09 dev eth1 nud stale
    expect_equal "entries before the stop" "$(neighbours host nud all | wc -l)" 4

    expect_quiet_stop
    expect_equal "entries after the stop" "$(neighbours host nud all)" ""
    quit_tool
}

# Stop while the monitor's pass waits for a slow gateway: the pass completes, then the thread
# ends, then the tables are flushed.
scenario_stop_during_slow_pass() {
    lab_standard
    local gwmac gw2mac before after
    gwmac=$(lab_mac gw eth0)
    gw2mac=$(lab_mac gw2 eth0)
    slow_gateway 400
    lab_ip host route replace default via "$LAB_GW2_IP"
    start_tool
    send start
    expect_line "$(bound_line 0 "$LAB_GW2_IP" "$gw2mac")"
    expect_line "== started"

    lab_ip host route replace default via "$LAB_GW_IP"
    expect_line "$changed_line"
    before=$(milliseconds)
    send stop
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    after=$(milliseconds)
    expect_line "== stopped threads=1"
    # The stop went in while the gateway was still to answer.
    [ $((after - before)) -ge 200 ] || fail "the pass was not slow ($((after - before)) ms)"
    expect_equal "entries after the stop" "$(neighbours host nud permanent)" ""
    quit_tool
}

# A change while a pass runs leads to one more pass, and the final gateway is the one pinned.
scenario_change_during_pass() {
    lab_standard
    local gwmac gw2mac
    gwmac=$(lab_mac gw eth0)
    gw2mac=$(lab_mac gw2 eth0)
    slow_gateway 800
    lab_ip host route replace default via "$LAB_GW2_IP"
    start_tool
    send start
    expect_line "$(bound_line 0 "$LAB_GW2_IP" "$gw2mac")"
    expect_line "== started"

    lab_ip host route replace default via "$LAB_GW_IP"
    expect_line "$changed_line"
    # The pass now waits for the slow gateway.
    lab_ip host route replace default via "$LAB_GW2_IP"
    if read -r -t 0 -u "${TOOL[0]}"; then
        fail "the pass had ended before the second change"
    fi
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    expect_line "$changed_line"
    expect_line "$(bound_line 0 "$LAB_GW2_IP" "$gw2mac")"
    send "settle 200"
    next_line "== settled ..."
    case "$line" in "== settled "*) ;; *) fail "after the second pass: '$line'" ;; esac

    expect_equal "final entry" "$(neighbours host nud permanent)" \
        "$LAB_GW2_IP dev eth0 lladdr $gw2mac PERMANENT"
    expect_quiet_stop
    quit_tool
}

# 1,000 changes of the default route in one burst: the monitor survives, the last gateway is
# pinned, and the process holds as many descriptors as before.
scenario_storm_of_changes() {
    lab_standard
    local gwmac gw2mac batch fds passes=0 i
    gwmac=$(lab_mac gw eth0)
    gw2mac=$(lab_mac gw2 eth0)
    start_tool
    send start
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    expect_line "== started"
    # Counted once the monitor waits, with its subscription open, as after the storm.
    send "settle 200"
    next_line "== settled ..."
    case "$line" in "== settled "*) ;; *) fail "after the start: '$line'" ;; esac
    send fds
    next_line "== fds N"
    fds=$line

    batch="$LAB_DIR/storm"
    for ((i = 1; i <= 1000; i++)); do
        if ((i % 2)); then
            echo "route replace default via $LAB_GW_IP"
        else
            echo "route replace default via $LAB_GW2_IP"
        fi
    done >"$batch"
    lab_ip host -batch "$batch"

    send "settle 300"
    for (( ; ; )); do
        next_line "== settled ..."
        case "$line" in
        "$changed_line") passes=$((passes + 1)) ;;
        "$(bound_line 0 "$LAB_GW_IP" "$gwmac")" | "$(bound_line 0 "$LAB_GW2_IP" "$gw2mac")") ;;
        "== settled "*) break ;;
        *) fail "during the storm: '$line'" ;;
        esac
    done
    [ "$passes" -ge 1 ] && [ "$passes" -le 1000 ] || fail "$passes passes for the storm"
    echo "storm: $passes passes for 1000 changes"

    expect_equal "final entry" "$(neighbours host nud permanent)" \
        "$LAB_GW2_IP dev eth0 lladdr $gw2mac PERMANENT"
    send fds
    expect_line "$fds"
    # Still watching: one more change is seen.
    lab_ip host route replace default via "$LAB_GW_IP"
    expect_line "$changed_line"
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    expect_quiet_stop
    quit_tool
}

lab_init
"scenario_$scenario"
echo "PASS ($scenario)"
