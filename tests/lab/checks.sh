# Checks and readings the lab test scripts share. Source it after lab.sh; the sourcing script
# sets $scenario.

fail() {
    echo "FAIL ($scenario): $*" >&2
    exit 1
}

expect_equal() {
    local what=$1 got=$2 expected=$3
    [ "$got" = "$expected" ] || fail "$what: got '$got', expected '$expected'"
}

# The capabilities that reach beyond namespaces (sys_module 16, sys_rawio 17, sys_time 25,
# mac_override 32, mac_admin 33, syslog 34, wake_alarm 35, block_suspend 36) are outside the
# bounding set of the process whose status file is $2.
expect_bounded() {
    local what=$1 bounding
    bounding=$(sed -n 's/^CapBnd:\t//p' "$2")
    [ -n "$bounding" ] || fail "$what: no bounding set read"
    expect_equal "$what: machine-wide capabilities in the bounding set" \
        "$(printf '%x' $((0x$bounding & 0x1f02030000)))" 0
}

hex() { printf '%s' "${1//:/}"; }

# The binding pass's line for a position, a gateway and its MAC, without its line end.
bound_line() { printf '[%d]ARP set static entry: IP: %s <=> MAC address %s' "$1" "$2" "$(hex "$3")"; }

# An IPv6 router's line: its address with the zone for a link-local one ("fe80::1%eth0").
nd_bound_line() { printf '[%d]ND set static entry: IP: %s <=> MAC address %s' "$1" "$2" "$(hex "$3")"; }
nd_removed_line() { printf '[%d]ND removed static entry: IP: %s' "$1" "$2"; }

changed_line='Routing table changed..'

# Neighbour entries as ip(8) shows them, without its trailing blanks.
neighbours() { lab_ip "$1" neigh show "${@:2}" | sed 's/ *$//'; }
neighbour() { neighbours "$1" "$2" dev "$3"; }
neighbours6() { lab_ip "$1" -6 neigh show "${@:2}" | sed 's/ *$//'; }
neighbour6() { neighbours6 "$1" "$2" dev "$3"; }

# Sends COUNT UDP datagrams from the host to an IPv6 address (a port nobody listens on).
send_udp6() {
    lab_exec "$1" python3 -c 'import socket, sys
s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
for _ in range(int(sys.argv[2])):
    s.sendto(b"x", (sys.argv[1], 9))' "$2" "$3"
}

rx_packets() { lab_exec "$1" cat "/sys/class/net/$2/statistics/rx_packets"; }

# A gateway "gw" whose kernel does not answer ARP and a stand-in (the attacker tool, $attacker)
# that answers for it with its own MAC, each answer `delay` ms late.
slow_gateway() {
    local delay=$1
    lab_ip gw link set eth0 arp off
    lab_spawn_ready gw "$attacker" eth0 answer-after "$delay" "$LAB_GW_IP" 0
}
