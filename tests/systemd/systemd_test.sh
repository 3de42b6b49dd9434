#!/usr/bin/env bash
# The real program under the real systemd: a container with systemd as its PID 1
# (container.sh), the program's folder bound into it read-only, and a gateway namespace of the
# lab plugged into the container's network namespace by one virtual cable. The program is
# installed, started, stopped, restarted and removed with its own switches, as an administrator
# would, or (scenario package) with its Debian package; everything is removed at the end, also
# on failure.
#   systemd_test.sh SCENARIO ANTIARP ATTACKER_TOOL [DEB]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lab/lab.sh
source "$here/../lab/lab.sh"
# shellcheck source=tests/lab/checks.sh
source "$here/../lab/checks.sh"
# shellcheck source=tests/systemd/container.sh
source "$here/container.sh"

scenario=$1
built=$2
attacker=$3
deb=${4:-}

# The build folder is bound read-only at a path of its own; the program is installed from there
# as an administrator would (root's, in a folder only root writes: the service runs nothing
# others could replace, and the build folder may be anybody's), at a path that the unit's
# private /tmp and read-only paths do not hide from the service.
build_dir=/opt/tarnwick-antiarp-build
program_dir=/opt/tarnwick-antiarp-test
antiarp=$program_dir/$(basename "$built")
unit=tarnwick-antiarp
unit_file=/etc/systemd/system/$unit.service
state_dir=/var/lib/$unit
LAB_HOST_IP=10.81.0.2
LAB_GW_IP=10.81.0.1

inside() { container_run "$container" "$@"; }

# The container and its gateway: the container's eth0 (LAB_HOST_IP, default route via gw_ip) is
# cabled to the lab host "gw", whose kernel answers ARP. Arguments: more options of
# container_start.
systemd_lab() {
    lab_init
    container="${LAB_ID}-systemd"
    trap 'container_stop "$container" || true; lab_cleanup' EXIT
    container_start "$container" --bind "$(dirname "$built")":"$build_dir" "$@"
    inside install -D -m 0755 "$build_dir/$(basename "$built")" "$antiarp"
    expect_bounded "the container's init" "/proc/$(container_pid "$container")/status"
    expect_bounded "a command run inside" <(inside cat /proc/self/status)
    lab_host gw
    ip -n "$(lab_ns gw)" link add eth0 type veth peer name eth0 netns "$(container_pid "$container")"
    lab_ip gw addr add "$LAB_GW_IP/24" dev eth0
    lab_ip gw link set eth0 up
    inside sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
    inside ip addr add "$LAB_HOST_IP/24" dev eth0
    inside ip link set eth0 up
    inside ip route add default via "$LAB_GW_IP"
    gw_mac=$(lab_mac gw eth0)
}

# The program's neighbour entries in the container, as ip(8) shows them.
entries() { inside ip neigh show nud "$1" | sed 's/ *$//'; }
pinned() { printf '%s dev eth0 lladdr %s PERMANENT' "$LAB_GW_IP" "$gw_mac"; }

unit_state() { inside systemctl is-active "$unit" || true; }
unit_is() { [ "$(unit_state)" = "$1" ]; }
unit_is_not() { [ "$(unit_state)" != "$1" ]; }

# Runs one of the program's switches inside (the program: $antiarp, or $3); its standard output
# must be exactly $2, its exit status $4 (0 when not given). What systemctl says on standard
# error is kept for a failure's diagnosis.
expect_switch() {
    local output status=0
    output=$(inside "${3:-$antiarp}" "$1" 2>>"$LAB_DIR/systemctl") || status=$?
    expect_equal "output of $1" "$output" "$2"
    expect_equal "exit status of $1" "$status" "${4:-0}"
}

install_service() {
    expect_switch /install "Service Register successed."
    # The rapid restarts below would meet systemd's start limit (5 starts in 10 s).
    inside mkdir -p "$unit_file.d"
    printf '[Unit]\nStartLimitIntervalSec=0\n' | inside tee "$unit_file.d/test.conf" >/dev/null
    inside systemctl daemon-reload
}

# The unit's lines in the journal, up to the moment of the call; program_lines: only what the
# program wrote (its identifier's entries, not systemd's lines about the unit).
journal() {
    inside journalctl --sync
    inside journalctl --no-pager -o cat -u "$unit" "$@"
}
program_lines() { journal SYSLOG_IDENTIFIER=antiarp "$@"; }

# Install, start, stop, twenty restarts and uninstall through the program's switches.
scenario_lifecycle() {
    systemd_lab
    install_service
    inside test -f "$unit_file" || fail "no unit file at $unit_file"
    expect_equal "enabled" "$(inside systemctl is-enabled "$unit")" enabled
    # Its manual page comes with the package only.
    expect_equal "systemd-analyze verify" \
        "$(inside systemd-analyze verify --man=no "$unit_file" 2>&1)" ""

    # A slow gateway: the unit is "activating" until the program has pinned it and said READY=1.
    slow_gateway 800
    expect_switch /start "Service Start successed."
    lab_wait_until 10 unit_is_not inactive || fail "the unit did not start"
    expect_equal "state during the first pass" "$(unit_state)" activating
    expect_equal "entries during the first pass" "$(entries permanent)" ""
    lab_wait_until 10 unit_is active || fail "the unit did not become active: $(unit_state)"
    expect_equal "entry once active" "$(entries permanent)" "$(pinned)"
    expect_equal "program's lines" "$(program_lines)" "$(bound_line 0 "$LAB_GW_IP" "$gw_mac")"
    kill "$LAB_LAST_PID"
    lab_ip gw link set eth0 arp on

    expect_switch /stop "Service Stop successed."
    expect_equal "state after /stop" "$(unit_state)" inactive
    expect_equal "entries after /stop" "$(entries all)" ""

    local i
    for i in $(seq 20); do
        expect_equal "output of /restart number $i" \
            "$(inside "$antiarp" /restart 2>>"$LAB_DIR/systemctl")" "Service Restart successed."
    done
    lab_wait_until 10 unit_is active || fail "not active after the restarts: $(unit_state)"
    expect_equal "entry after the restarts" "$(entries permanent)" "$(pinned)"

    expect_switch /uninstall "[ERROR][ServiceDispatcher]服务没有被停止，无法注销服务" "" 1
    expect_switch /stop "Service Stop successed."
    expect_switch /uninstall "Service Unregister successed."
    inside test ! -e "$unit_file" || fail "the unit file is still there"
    expect_equal "unit after /uninstall" "$(inside systemctl show -P LoadState "$unit")" not-found
}

# The sandbox as the running program has it; a fault signal's crash files in the state
# directory, and the service back after the crash: started again, flushed and pinned again.
scenario_sandbox() {
    systemd_lab
    install_service
    expect_switch /start "Service Start successed."
    lab_wait_until 10 unit_is active || fail "the unit did not become active: $(unit_state)"
    local pid
    pid=$(inside systemctl show -P MainPID "$unit")
    # CAP_NET_ADMIN (12) and CAP_NET_RAW (13), nothing else, in every set that grants.
    expect_equal "capabilities" "$(inside grep -E '^Cap(Prm|Eff|Bnd)' "/proc/$pid/status")" \
        $'CapPrm:\t0000000000003000\nCapEff:\t0000000000003000\nCapBnd:\t0000000000003000'

    # Writes as root into the program's own mount namespace: only its state and runtime
    # directories take them.
    local path result=
    for path in / /etc /usr /var/lib /var/log /var/tmp /run /run/lock /tmp /dev/shm /root \
        "$program_dir" "$state_dir" "/run/$unit"; do
        if inside nsenter -t "$pid" -m sh -c "touch '$path/tw-probe' 2>/dev/null"; then
            result+="$path writable;"
        fi
    done
    expect_equal "writable places" "$result" "$state_dir writable;/run/$unit writable;"
    # The gateway remembered there once its pin's conflict window has closed.
    lab_wait_until 10 lab_remembered "/proc/$(container_pid "$container")/root$state_dir/gateways" \
        "$LAB_GW_IP" "$gw_mac" || fail "the gateway was not remembered in the state directory"

    # A crashed run flushes nothing: an entry of someone else's stays until the next start's
    # flush.
    inside ip neigh replace 10.81.0.77 lladdr 02:00:00:00:00:77 dev eth0 nud permanent
    inside kill -SEGV "$pid"
    back() { [ "$(inside systemctl show -P NRestarts "$unit")" = 1 ] && unit_is active; }
    lab_wait_until 10 back || fail "the unit did not come back after SIGSEGV: $(unit_state)"
    expect_equal "main process" "$(journal | grep -c 'Main process exited, code=exited, status=100/')" 1
    [ "$(inside systemctl show -P MainPID "$unit")" != "$pid" ] || fail "the same process runs"
    expect_equal "entries after the restart" "$(entries permanent)" "$(pinned)"
    expect_equal "program's lines" "$(program_lines)" \
        "$(bound_line 0 "$LAB_GW_IP" "$gw_mac")"$'\n'"$(bound_line 0 "$LAB_GW_IP" "$gw_mac")"
    expect_equal "state directory" "$(inside ls "$state_dir")" \
        $'CRASH.DMP\nCRASHLOG.DAT\nCRASHLOG.TXT\ngateways\ntw-probe'
    expect_equal "dump's first line" "$(inside head -n 1 "$state_dir/CRASH.DMP")" \
        "TARNWICK CRASH DUMP 1"
}

# A program that others than root could replace is neither installed nor run as the service:
# /install refuses it, naming the folder, and a unit that runs it anyway ends at once, with exit
# code 1, before its first pass (no flush, no pin) and without a restart.
scenario_unsafe_place() {
    systemd_lab
    local drop
    for drop in /var/tmp/drop /srv/drop; do
        inside install -d -m 0777 "$drop"
        inside install -m 0755 "$antiarp" "$drop/antiarp"
    done
    expect_switch /install "[ERROR][ServiceDispatcher]The service is not registered: /var/tmp/drop \
can be written by others than its owner (mode 0777), so others could replace the program it \
would run as root. Install the program into a folder only root can change, for example with \
\"install -m 0755 antiarp /usr/local/sbin/antiarp\", or install the package." \
        /var/tmp/drop/antiarp 1
    inside test ! -e "$unit_file" || fail "a unit was written"

    # The unit's private /tmp and /var/tmp would hide /var/tmp/drop from the service: /srv/drop.
    install_service
    inside sed -i 's|^ExecStart=.*|ExecStart="/srv/drop/antiarp"|' "$unit_file"
    inside systemctl daemon-reload
    inside ip neigh replace 10.81.0.77 lladdr 02:00:00:00:00:77 dev eth0 nud permanent
    expect_switch /start "Service Start successed."
    lab_wait_until 10 unit_is failed || fail "the unit did not fail: $(unit_state)"
    expect_equal "exit status" "$(inside systemctl show -P ExecMainStatus "$unit")" 1
    expect_equal "restarts" "$(inside systemctl show -P NRestarts "$unit")" 0
    expect_equal "program's lines" "$(program_lines)" "[ERROR][ServiceDispatcher]The service does \
not run /srv/drop/antiarp: /srv/drop can be written by others than its owner (mode 0777), so \
others could replace the program. Install it into a folder only root can change."
    expect_equal "entries" "$(entries permanent)" \
        "10.81.0.77 dev eth0 lladdr 02:00:00:00:00:77 PERMANENT"
}

# The running lock cannot be held by anyone but root: a debug run leaves a lock file that others
# cannot open, and a lock file that is not root's alone (as earlier versions left it, 0644 and
# here even 0666 in a folder anyone may write), locked by another user, is replaced, so that the
# service starts all the same.
scenario_running_lock() {
    systemd_lab
    local lock="/run/$unit/$unit.lock"
    inside timeout -s INT 2 "$antiarp" -debug >/dev/null || true
    expect_equal "lock file after a debug run" "$(inside stat -c '%a %U' "/run/$unit" "$lock")" \
        $'755 root\n600 root'
    inside systemd-run --quiet --wait --collect -p User=nobody flock -n "$lock" true 2>/dev/null &&
        fail "another user could take the lock"

    inside chmod 0777 "/run/$unit"
    inside chmod 0666 "$lock"
    inside chown nobody "/run/$unit" "$lock"
    inside systemd-run --quiet --unit=tw-squatter -p User=nobody flock "$lock" sleep 600
    squatting() { ! inside flock -n "$lock" true; }
    lab_wait_until 10 squatting || fail "the squatter does not hold the lock"

    install_service
    expect_switch /start "Service Start successed."
    lab_wait_until 10 unit_is active || fail "the unit did not become active: $(unit_state)"
    expect_equal "entry" "$(entries permanent)" "$(pinned)"
    expect_equal "lock file of the service" "$(inside stat -c '%a %U' "/run/$unit" "$lock")" \
        $'755 root\n600 root'
    expect_equal "program's lines" "$(program_lines)" "$(bound_line 0 "$LAB_GW_IP" "$gw_mac")"
}

# Each line's priority in the journal: the pass's error line is an error, the pins and the
# route change are information, so `journalctl -p warning` shows exactly the problem; each kind
# of line has its MESSAGE_ID and the link, gateway and MAC it is about (an attack too).
scenario_journal_priorities() {
    systemd_lab
    install_service
    lab_ip gw link set eth0 arp off
    expect_switch /start "Service Start successed."
    lab_wait_until 15 unit_is active || fail "the unit did not become active: $(unit_state)"
    lab_ip gw link set eth0 arp on
    inside ip route replace default via "$LAB_GW_IP" dev eth0 metric 5
    pinned_now() { [ "$(entries permanent)" = "$(pinned)" ]; }
    lab_wait_until 10 pinned_now || fail "no pin after the route change"

    local error_line="[0]ARP Error [113] No route to host"
    expect_equal "problems" "$(journal -p warning)" "$error_line"
    expect_equal "every line" "$(program_lines)" "$error_line
$changed_line
$(bound_line 0 "$LAB_GW_IP" "$gw_mac")"
    expect_equal "priorities" "$(program_lines -o json --output-fields=PRIORITY |
        sed -E 's/.*"PRIORITY":"([0-9])".*/\1/' | tr -d '\n')" 366

    # Each kind of line has its MESSAGE_ID, and the link, gateway and MAC it is about.
    local pinned_id=f254522e7c3641bb801cdce57b9f6013 error_id=fb55b015300a4b7399c81237c6577793
    by_id() {
        inside journalctl --no-pager -o json "MESSAGE_ID=$1" |
            jq -r '[.MESSAGE, .PRIORITY, .TARNWICK_LINK, .TARNWICK_GATEWAY, .TARNWICK_MAC,
                    .SYSLOG_IDENTIFIER, ._SYSTEMD_UNIT // .OBJECT_SYSTEMD_UNIT] | join("|")'
    }
    expect_equal "the pin by its MESSAGE_ID" "$(by_id "$pinned_id")" \
        "$(bound_line 0 "$LAB_GW_IP" "$gw_mac")|6|eth0|$LAB_GW_IP|$gw_mac|antiarp|$unit.service"
    expect_equal "the error by its MESSAGE_ID" "$(by_id "$error_id")" \
        "$error_line|3|eth0|$LAB_GW_IP||antiarp|$unit.service"
    # A forged claim of the pinned gateway (settled: remembered) is an attack, with the forged
    # MAC as its field.
    lab_wait_until 10 lab_remembered "/proc/$(container_pid "$container")/root$state_dir/gateways" \
        "$LAB_GW_IP" "$gw_mac" || fail "the gateway was not remembered"
    lab_exec gw "$attacker" eth0 gratuitous "$LAB_GW_IP" 10 02:00:00:00:00:66 >/dev/null
    local attack_id=d92009a612af4d6d934d3114f26dca34
    attacked() { inside journalctl --sync && [ -n "$(by_id "$attack_id")" ]; }
    lab_wait_until 10 attacked || fail "no attack in the journal"
    expect_equal "the attack by its MESSAGE_ID" "$(by_id "$attack_id")" \
        "[WARN][SocketARP]Gateway $LAB_GW_IP on eth0 is pinned to $(hex "$gw_mac"), and an ARP frame claims it is at 020000000066: forged, and dropped by the pin|4|eth0|$LAB_GW_IP|02:00:00:00:00:66|antiarp|$unit.service"
    expect_equal "entries with no MESSAGE_ID" \
        "$(program_lines -o json | jq -r 'select(.MESSAGE_ID == null) | .MESSAGE')" \
        "$changed_line"
}

# /status, while the service runs and while it is stopped: its exit code is 0 only while the
# gateway is pinned to the MAC the program remembers; unpinned, or pinned to another MAC (an
# impostor's entry, written while the service is stopped, which nothing then repairs), it is 1.
# The JSON form says the same; as another user than root the remembered gateways cannot be read,
# which it says, and nothing can be judged. It changes nothing.
scenario_status() {
    systemd_lab
    install_service
    expect_switch /start "Service Start successed."
    lab_wait_until 10 unit_is active || fail "the unit did not become active: $(unit_state)"
    lab_wait_until 10 lab_remembered "/proc/$(container_pid "$container")/root$state_dir/gateways" \
        "$LAB_GW_IP" "$gw_mac" || fail "the gateway was not remembered"

    # One case a line: what is done first, the exit code, the service's and the verdict's words.
    local status output json
    status_of() {
        status=0
        output=$(inside "$antiarp" /status 2>&1) || status=$?
        json=$(inside "$antiarp" -STATUS --Json 2>&1) || true
    }
    status_of
    expect_equal "exit code while running" "$status" 0
    grep -qx 'Service "Tarnwick AntiARP": installed, running' <<<"$output" || fail "service: $output"
    grep -q "gateway $LAB_GW_IP: pinned to its remembered MAC" <<<"$output" || fail "verdict: $output"
    expect_equal "JSON while running" \
        "$(jq -c '[.service.state, .ok, .adapters[0].pins[0].verdict, .adapters[0].pins[0].pinned]' <<<"$json")" \
        "[\"running\",true,\"pinned-remembered\",\"$gw_mac\"]"

    expect_switch /stop "Service Stop successed."
    status_of
    expect_equal "exit code after the stop's flush" "$status" 1
    grep -qx 'Service "Tarnwick AntiARP": installed, stopped' <<<"$output" || fail "service: $output"
    expect_equal "JSON after the flush" "$(jq -c '[.ok, .adapters[0].pins[0].verdict]' <<<"$json")" \
        '[false,"not-pinned"]'

    inside ip neigh replace "$LAB_GW_IP" lladdr "$gw_mac" dev eth0 nud permanent
    status_of
    expect_equal "exit code pinned by hand to the remembered MAC" "$status" 0

    inside ip neigh replace "$LAB_GW_IP" lladdr 02:00:00:00:00:66 dev eth0 nud permanent
    status_of
    expect_equal "exit code pinned to an impostor" "$status" 1
    expect_equal "JSON of the impostor's pin" \
        "$(jq -c '[.ok, .adapters[0].pins[0].verdict, .adapters[0].pins[0].pinned]' <<<"$json")" \
        '[false,"pinned-other","02:00:00:00:00:66"]'

    status=0
    output=$(inside setpriv --reuid=65534 --regid=65534 --clear-groups "$antiarp" /status 2>&1) ||
        status=$?
    expect_equal "exit code as another user" "$status" 1
    grep -q "Reading them needs root" <<<"$output" || fail "as another user: $output"

    expect_equal "bad usage" "$(inside "$antiarp" /status --yaml >/dev/null 2>&1; echo $?)" 2
    expect_equal "entry after the reports" "$(entries permanent)" \
        "$LAB_GW_IP dev eth0 lladdr 02:00:00:00:00:66 PERMANENT"
    expect_equal "state directory after the reports" "$(inside ls "$state_dir")" gateways
}

# The Debian package as an administrator installs it on a machine with this one's packages
# (their database copied in, /usr an overlay): its scripts enable and start the service, which
# pins the gateway; the program's switches control the package's unit; a reinstallation keeps
# the service stopped or running as it was; removed, it is stopped (the ARP table flushed) and
# gone, its state directory kept; purged, nothing of it is left.
scenario_package() {
    [ -f "$deb" ] || fail "$deb is missing: run scripts/package.sh first"
    systemd_lab --writable-usr --copy /var/lib/dpkg --bind "$(dirname "$deb")":/packages
    # A machine image may forbid starting services from packages; an administrator's does not.
    inside rm -f /usr/sbin/policy-rc.d
    inside dpkg -i "/packages/$(basename "$deb")" >"$LAB_DIR/dpkg" 2>&1 ||
        fail "dpkg -i: $(cat "$LAB_DIR/dpkg")"
    expect_equal "state after installing" "$(unit_state)" active
    expect_equal "enabled" "$(inside systemctl is-enabled "$unit")" enabled
    expect_equal "entry once installed" "$(entries permanent)" "$(pinned)"
    expect_equal "program's lines" "$(program_lines)" "$(bound_line 0 "$LAB_GW_IP" "$gw_mac")"
    # The unit's manual page is there.
    local packaged
    packaged=$(inside systemctl show -P FragmentPath "$unit")
    expect_equal "systemd-analyze verify" "$(inside systemd-analyze verify "$packaged" 2>&1)" ""

    # The program's own switches work on the package's unit where systemd has it, but neither
    # install another unit over it nor remove it.
    local sbin=/usr/sbin/antiarp
    expect_switch /install "[ERROR][ServiceDispatcher][ error_code = 17 ] [17] File exists: \
$unit.service is installed already, as $packaged (by a package): use that one, or remove the \
package first" $sbin 1
    expect_switch /stop "Service Stop successed." $sbin
    expect_equal "state after /stop" "$(unit_state)" inactive
    expect_equal "entries after /stop" "$(entries all)" ""
    # A reinstallation leaves a service the administrator stopped stopped.
    inside dpkg -i "/packages/$(basename "$deb")" >>"$LAB_DIR/dpkg" 2>&1 ||
        fail "dpkg -i again: $(cat "$LAB_DIR/dpkg")"
    expect_equal "state after reinstalling" "$(unit_state)" inactive
    expect_switch /start "Service Start successed." $sbin
    lab_wait_until 10 unit_is active || fail "the unit did not become active: $(unit_state)"
    expect_equal "entry after /start" "$(entries permanent)" "$(pinned)"
    expect_switch /uninstall "[ERROR][ServiceDispatcher][ error_code = 1 ] [1] Operation not \
permitted: $unit.service was not installed by /install but as $packaged (by a package): remove \
it with the package manager, for example apt remove $unit" $sbin 1
    # A reinstallation restarts a service that runs.
    local pid
    pid=$(inside systemctl show -P MainPID "$unit")
    inside dpkg -i "/packages/$(basename "$deb")" >>"$LAB_DIR/dpkg" 2>&1 ||
        fail "dpkg -i again: $(cat "$LAB_DIR/dpkg")"
    lab_wait_until 10 unit_is active || fail "not active after reinstalling: $(unit_state)"
    [ "$(inside systemctl show -P MainPID "$unit")" != "$pid" ] || fail "not restarted"

    inside dpkg -r tarnwick-antiarp >>"$LAB_DIR/dpkg" 2>&1 || fail "dpkg -r: $(cat "$LAB_DIR/dpkg")"
    expect_equal "state after removing" "$(unit_state)" inactive
    expect_equal "entries after removing" "$(entries all)" ""
    inside test ! -e /usr/sbin/antiarp || fail "the program is still there"
    expect_equal "unit after removing" "$(inside systemctl show -P LoadState "$unit")" not-found
    inside test -d "$state_dir" || fail "the state directory went with the removal"

    inside dpkg -P tarnwick-antiarp >>"$LAB_DIR/dpkg" 2>&1 || fail "dpkg -P: $(cat "$LAB_DIR/dpkg")"
    inside test ! -e "$state_dir" || fail "the state directory outlived the purge"
    inside test ! -e "/etc/systemd/system/multi-user.target.wants/$unit.service" ||
        fail "the unit's enablement outlived the purge"
}

"scenario_$scenario"
echo "PASS ($scenario)"
