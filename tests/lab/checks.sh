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

changed_line='Routing table changed..'

# Neighbour entries as ip(8) shows them, without its trailing blanks.
neighbours() { lab_ip "$1" neigh show "${@:2}" | sed 's/ *$//'; }
neighbour() { neighbours "$1" "$2" dev "$3"; }

rx_packets() { lab_exec "$1" cat "/sys/class/net/$2/statistics/rx_packets"; }

# A gateway "gw" whose kernel does not answer ARP and a stand-in (the attacker tool, $attacker)
# that answers for it with its own MAC, each answer `delay` ms late.
slow_gateway() {
    local delay=$1
    lab_ip gw link set eth0 arp off
    lab_spawn_ready gw "$attacker" eth0 answer-after "$delay" "$LAB_GW_IP" 0
}
