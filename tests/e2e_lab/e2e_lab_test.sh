#!/usr/bin/env bash
# End-to-end lab tests of the real program: antiarp runs in the protected host of the lab's
# usual scene (namespaces of its own, removed at exit, also on failure), with an empty /run of
# its own, so that its running lock stays in the lab.
#   e2e_lab_test.sh SCENARIO ANTIARP ATTACKER_TOOL
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lab/lab.sh
source "$here/../lab/lab.sh"
# shellcheck source=tests/lab/checks.sh
source "$here/../lab/checks.sh"

scenario=$1
antiarp=$2
attacker=$3

simulation_line='[NORMAL][ServiceDispatcher]服务运行在模拟状态'
lock_file=/run/tarnwick-antiarp/tarnwick-antiarp.lock

# The program (its arguments, after an optional `env VAR=VALUE`) in the protected host: its
# standard output is read line by line from PROGRAM_OUT, its standard error goes to a file.
start_program() {
    coproc PROGRAM { exec ip netns exec "$(lab_ns host)" "${LAB_BOUNDED[@]}" "${LAB_PRIVATE_RUN[@]}" "$@" 2>"$LAB_DIR/stderr"; }
    LAB_PIDS+=("$PROGRAM_PID")
    program_pid=$PROGRAM_PID
    # A copy of the read end: bash drops the coprocess's own once the process has ended.
    exec {PROGRAM_OUT}<&"${PROGRAM[0]}"
}

# The file of remembered gateways of the program started last, in its private /var/lib.
private_gateways() { printf '/proc/%s/root/var/lib/tarnwick-antiarp/gateways' "$program_pid"; }

# The program's next line, within 10 seconds, must be exactly $1. Every line the program writes
# ends with a newline, so a line cut short fails here.
expect_line() {
    local line=
    IFS= read -r -t 10 -u "$PROGRAM_OUT" line || fail "no further line from the program (expected '$1')"
    [ "$line" = "$1" ] || fail "expected '$1', got '$line'"
}

# Sends the signal and waits for the program's end: nothing more on standard output, nothing at
# all on standard error, and the given exit status.
end_program() {
    local signal=$1 expected_status=$2 rest status=0
    kill -s "$signal" "$program_pid"
    rest=$(timeout 10 cat <&"$PROGRAM_OUT") || fail "the program did not end on SIG$signal"
    wait "$program_pid" || status=$?
    expect_equal "output after SIG$signal" "$rest" ""
    expect_equal "standard error" "$(cat "$LAB_DIR/stderr")" ""
    expect_equal "exit status after SIG$signal" "$status" "$expected_status"
}

# The program's running lock, seen through its own root: held by a run in progress.
expect_lock_held() {
    local lock="/proc/$program_pid/root$lock_file"
    [ -f "$lock" ] || fail "no running lock at $lock_file"
    ! flock -n -s "$lock" true || fail "the running lock is not held"
}

# Debug mode: the gateway is pinned with its real MAC, the entry holds under a flood of forged
# replies and gratuitous ARPs, a new default gateway is pinned in its place, and SIGINT ends the
# run with every entry flushed and exit status 0.
scenario_debug_run() {
    lab_standard
    local gwmac gw2mac hostmac before
    gwmac=$(lab_mac gw eth0)
    gw2mac=$(lab_mac gw2 eth0)
    hostmac=$(lab_mac host eth0)

    start_program "$antiarp" -debug
    expect_line "$simulation_line"
    expect_bounded "the program in the lab" "/proc/$program_pid/status"
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    expect_equal "pinned entry" "$(neighbours host nud all)" \
        "$LAB_GW_IP dev eth0 lladdr $gwmac PERMANENT"
    expect_lock_held
    # Forged answers within the pin's conflict window would rightly take it back.
    lab_wait_until 5 lab_remembered "$(private_gateways)" "$LAB_GW_IP" "$gwmac" ||
        fail "the gateway was not remembered"

    before=$(rx_packets host eth0)
    lab_exec attacker "$attacker" eth0 reply "$LAB_GW_IP" "$LAB_HOST_IP" "$hostmac" 5000 >/dev/null
    lab_exec attacker "$attacker" eth0 gratuitous "$LAB_GW_IP" 5000 >/dev/null
    arrived() { [ $(($(rx_packets host eth0) - before)) -ge 10000 ]; }
    lab_wait_until 10 arrived || fail "the forged ARPs did not all reach the host"
    expect_equal "entry after the flood" "$(neighbour host "$LAB_GW_IP" eth0)" \
        "$LAB_GW_IP lladdr $gwmac PERMANENT"

    lab_ip host route replace default via "$LAB_GW2_IP"
    expect_line "$changed_line"
    expect_line "$(bound_line 0 "$LAB_GW2_IP" "$gw2mac")"
    expect_equal "entry after the change" "$(neighbours host nud permanent)" \
        "$LAB_GW2_IP dev eth0 lladdr $gw2mac PERMANENT"

    end_program INT 0
    expect_equal "entries after the run" "$(neighbours host nud all)" ""
}

# The protection does not lapse: a gateway silent at the start (asked at the lab's pace) is
# pinned once it answers, by a retry of its own; a pin deleted by hand, and one the kernel
# dropped when the host's MAC changed, are pinned again.
scenario_lost_pins_are_restored() {
    lab_standard
    local gwmac
    gwmac=$(lab_mac gw eth0)
    lab_ip gw link set eth0 arp off
    start_program env "${LAB_FAST_ARP[@]}" "$antiarp" -debug
    expect_line "$simulation_line"
    expect_line "[0]ARP Error [113] No route to host"
    lab_ip gw link set eth0 arp on
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")" # the retry's
    lab_wait_until 5 lab_remembered "$(private_gateways)" "$LAB_GW_IP" "$gwmac" ||
        fail "the gateway was not remembered"

    lab_ip host neigh del "$LAB_GW_IP" dev eth0
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    expect_equal "entry after the deletion" "$(neighbour host "$LAB_GW_IP" eth0)" \
        "$LAB_GW_IP lladdr $gwmac PERMANENT"

    lab_ip host link set eth0 address 02:00:00:00:00:42
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    expect_equal "entry after the MAC change" "$(neighbour host "$LAB_GW_IP" eth0)" \
        "$LAB_GW_IP lladdr $gwmac PERMANENT"

    end_program INT 0
    expect_equal "entries after the run" "$(neighbours host nud all)" ""
}

# A stop while the first binding pass still waits for a slow gateway: the pass completes, then
# the run ends with the flush and exit status 0 (the signal must not kill the process).
scenario_stop_during_first_pass() {
    lab_standard
    local status=0 rest
    slow_gateway 600
    start_program "$antiarp" -debug
    expect_line "$simulation_line"
    kill -s INT "$program_pid"
    rest=$(timeout 10 cat <&"$PROGRAM_OUT") || fail "the program did not end on SIGINT"
    wait "$program_pid" || status=$?
    expect_equal "exit status after SIGINT" "$status" 0
    case "$rest" in
    "[0]ARP set static entry: IP: $LAB_GW_IP <=> MAC address "*) ;;
    *) fail "the first pass did not complete: '$rest'" ;;
    esac
    expect_equal "entries after the run" "$(neighbours host nud permanent)" ""
}

# Standard output closed by its reader ("antiarp -debug | head -n 1"): the writes after it fail
# quietly, the run re-pins after a route change (writing its line on the way) and SIGINT ends
# it with the flush and exit status 0. SIGPIPE would end it at that write, the entry left.
scenario_closed_output() {
    lab_standard
    local gwmac gw2mac head_pid status=0
    gwmac=$(lab_mac gw eth0)
    gw2mac=$(lab_mac gw2 eth0)
    mkfifo "$LAB_DIR/out.fifo"
    head -n 1 <"$LAB_DIR/out.fifo" >"$LAB_DIR/out" &
    head_pid=$!
    LAB_PIDS+=("$head_pid")
    ip netns exec "$(lab_ns host)" "${LAB_BOUNDED[@]}" "${LAB_PRIVATE_RUN[@]}" "$antiarp" -debug \
        >"$LAB_DIR/out.fifo" 2>"$LAB_DIR/stderr" &
    program_pid=$!
    LAB_PIDS+=("$program_pid")
    wait "$head_pid"
    expect_equal "the line read" "$(cat "$LAB_DIR/out")" "$simulation_line"
    pinned() { [ "$(neighbours host nud permanent)" = "$1 dev eth0 lladdr $2 PERMANENT" ]; }
    lab_wait_until 10 pinned "$LAB_GW_IP" "$gwmac" || fail "the gateway was not pinned"

    lab_ip host route replace default via "$LAB_GW2_IP"
    lab_wait_until 10 pinned "$LAB_GW2_IP" "$gw2mac" || fail "the new gateway was not pinned"
    kill -s INT "$program_pid"
    wait "$program_pid" || status=$?
    expect_equal "exit status after SIGINT" "$status" 0
    expect_equal "standard error" "$(cat "$LAB_DIR/stderr")" ""
    expect_equal "entries after the run" "$(neighbours host nud all)" ""
}

# Service mode under a service manager: the gateway is pinned before READY=1; SIGTERM is the
# stop control, STOPPING=1 follows, the entries are flushed and the exit status is 0.
scenario_service_with_notify_socket() {
    lab_standard
    local gwmac message
    gwmac=$(lab_mac gw eth0)
    # The service manager's side: a datagram socket that prints each message as a line.
    lab_spawn_ready host python3 -u -c '
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
print("ready")
while True:
    print(s.recv(4096).decode())
' "$LAB_DIR/notify"

    start_program env NOTIFY_SOCKET="$LAB_DIR/notify" "$antiarp"
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    lab_read_line message || fail "no READY=1"
    expect_equal "first notification" "$message" "READY=1"
    expect_equal "pinned entry" "$(neighbours host nud permanent)" \
        "$LAB_GW_IP dev eth0 lladdr $gwmac PERMANENT"
    expect_lock_held

    end_program TERM 0
    lab_read_line message || fail "no STOPPING=1"
    expect_equal "second notification" "$message" "STOPPING=1"
    expect_equal "entries after the run" "$(neighbours host nud all)" ""
}

# Started without a switch and without a service manager, the program binds, fails at once to
# connect, flushes at teardown and exits with status 0.
scenario_service_without_notify_socket() {
    lab_standard
    local gwmac status=0
    gwmac=$(lab_mac gw eth0)
    lab_exec host env -u NOTIFY_SOCKET "${LAB_PRIVATE_RUN[@]}" timeout 10 "$antiarp" \
        >"$LAB_DIR/out" 2>"$LAB_DIR/stderr" || status=$?
    expect_equal "exit status" "$status" 0
    expect_equal "output" "$(cat "$LAB_DIR/out")" "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    expect_equal "standard error" "$(cat "$LAB_DIR/stderr")" ""
    expect_equal "entries after the run" "$(neighbours host nud all)" ""
}

# A fault signal sent to the running program: the crash files go to the first directory of
# $STATE_DIRECTORY, where the remembered gateways are too, none beside the executable, and the
# exit status is 100.
scenario_fault_signal_leaves_report() {
    lab_standard
    local gwmac state="$LAB_DIR/state" file first
    gwmac=$(lab_mac gw eth0)
    mkdir "$state" "$LAB_DIR/second"
    touch "$LAB_DIR/started"
    start_program env STATE_DIRECTORY="$state:$LAB_DIR/second" "$antiarp" -debug
    expect_line "$simulation_line"
    expect_line "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"
    lab_wait_until 5 lab_remembered "$state/gateways" "$LAB_GW_IP" "$gwmac" ||
        fail "the gateway was not remembered in the state directory"

    end_program SEGV 100
    for file in CRASHLOG.TXT CRASH.DMP CRASHLOG.DAT; do
        [ -f "$state/$file" ] || fail "no $file in the state directory"
    done
    expect_equal "other files" "$(cd "$state" && echo *) / $(cd "$LAB_DIR/second" && echo *)" \
        "CRASH.DMP CRASHLOG.DAT CRASHLOG.TXT gateways / *"
    first=$(head -n 1 "$state/CRASHLOG.TXT")
    expect_equal "report's first line" "$first" \
        "$(basename "$antiarp") caused an Access Violation (0xc0000005) "$'\r'
    expect_equal "dump's first line" "$(head -n 1 "$state/CRASH.DMP")" "TARNWICK CRASH DUMP 1"
    expect_equal "dump's last line" "$(tail -n 1 "$state/CRASH.DMP")" "[end]"
    expect_equal "crash files beside the executable" \
        "$(find "$(dirname "$antiarp")" -maxdepth 1 -name 'CRASH*' -newer "$LAB_DIR/started")" ""
}

lab_init
"scenario_$scenario"
echo "PASS ($scenario)"
