# The lab: network-namespace scenarios for the ARP protection. Source this file, call
# lab_init, then build hosts, segments and links. Everything the lab makes (namespaces with
# their links, background processes) is removed when the shell exits, also on failure or
# interruption. Names carry the shell's PID, so concurrent labs never meet, and every link is
# created directly inside its namespaces: the machine's own interfaces are never touched. Every
# command run inside a host runs under the bounding set of bounded.sh (no clock, kernel modules
# or other machine-wide rights).
#
#   lab_init                          checks root, arms the clean-up
#   lab_host NAME                     a namespace with loopback up; lab_ns NAME prints its name
#   lab_segment NAME                  an Ethernet segment (a bridge in the lab's switch namespace)
#   lab_attach HOST LINK ADDR/LEN SEG the host's link LINK, plugged into segment SEG
#   lab_wire HOST1 LINK1 ADDR1/LEN HOST2 LINK2 ADDR2/LEN   a direct cable between two hosts
#   lab_ip HOST ARGS...               ip(8) inside the host
#   lab_exec HOST CMD...              a command inside the host
#   lab_spawn HOST CMD...             a background command inside the host, stopped at clean-up;
#                                     its PID is in LAB_LAST_PID, its output in LAB_LAST_OUT
#   lab_spawn_ready HOST CMD...       the same, and waits until the command prints "ready";
#                                     its further output is read with lab_read_line
#   lab_mac HOST LINK                 the link's MAC address, aa:bb:cc:dd:ee:ff
#   lab_wait_until SECONDS CMD...     re-runs CMD until it succeeds; fails after SECONDS
#   "${LAB_PRIVATE_RUN[@]}" CMD...    put before a command given to lab_exec or lab_spawn: it
#                                     runs with an empty /run and an empty /var/lib of its own
#                                     (tmpfs in the mount namespace of `ip netns exec`, gone with
#                                     the command), so what it writes there (a running lock, the
#                                     remembered gateways) stays in the lab
#   lab_routes HOST COUNT GATEWAY     adds COUNT host routes (172.16.0.0/12 upwards) through
#                                     GATEWAY to the host's main table, in one batch
#   lab_remembered FILE GATEWAY MAC   true once the program's file of remembered gateways FILE
#                                     holds the gateway at that MAC (aa:bb:cc:dd:ee:ff): its
#                                     conflict window has
#                                     closed (for a program run with LAB_PRIVATE_RUN and no
#                                     STATE_DIRECTORY, FILE is
#                                     /proc/PID/root/var/lib/tarnwick-antiarp/gateways)
#   env "${LAB_FAST_ARP[@]}" CMD...   put before a program given to lab_exec or lab_spawn: it asks
#                                     a silent gateway its three times 100 ms apart instead of
#                                     the 1 s of the program's own pace, for scenarios that wait
#                                     for a gateway to be given up but do not check the pace
#   lab_standard                      the usual scene on one segment "lan" (10.80.0.0/24): the
#                                     protected host "host" (.2, default route via gw), a gateway
#                                     "gw" (.1) and a second one "gw2" (.3) whose kernels answer
#                                     ARP, and an "attacker" (.66); every link is named eth0
#   lab_ipv6 HOST LINK                IPv6 on the host's link (the lab keeps it off), without
#                                     duplicate address detection; lab_link_local HOST LINK
#                                     prints the link's link-local address
#   lab_radvd HOST LINK PREFIX        a router advertisement daemon (radvd: $TW_RADVD, else the one
#                                     on the PATH or in /usr/sbin) in the host, advertising it as a
#                                     default router of LINK with PREFIX; its configuration and pid
#                                     file in the lab's folder; stopped at clean-up
#   lab_standard6                     the usual scene with IPv6 on the LAN: host, gw and gw2 with
#                                     IPv6, gw advertising itself as the router of 2001:db8:1::/64
#                                     (its link-local address in LAB_GW_LL, gw2's in LAB_GW2_LL),
#                                     the host's default route learnt from it; the segment floods
#                                     multicast to every port, so the attacker hears solicitations
#
# Run directly, it builds the usual scene, runs a command in the protected host and removes
# everything when the command ends (Ctrl+C included):
#   sudo bash tests/lab/lab.sh run COMMAND [ARGS...]

# shellcheck source=tests/lab/bounded.sh
source "$(dirname "${BASH_SOURCE[0]}")/bounded.sh"

lab_init() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "lab: needs root (network namespaces)" >&2
        return 1
    fi
    LAB_ID="tw$$"
    LAB_HOSTS=()
    LAB_PIDS=()
    LAB_DIR=$(mktemp -d "/tmp/${LAB_ID}-lab.XXXXXX")
    LAB_PORTS=0
    LAB_SWITCH=
    trap lab_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

lab_cleanup() {
    local pid host
    for pid in "${LAB_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${LAB_PIDS[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    # Deleting a namespace deletes its links, and with them their veth peers.
    for host in "${LAB_HOSTS[@]}"; do
        ip netns del "$host" 2>/dev/null || true
    done
    [ -n "${LAB_DIR:-}" ] && rm -rf "$LAB_DIR"
    LAB_PIDS=()
    LAB_HOSTS=()
}

lab_ns() { printf '%s-%s' "$LAB_ID" "$1"; }

lab_host() {
    local ns
    ns=$(lab_ns "$1")
    ip netns add "$ns" || return 1
    LAB_HOSTS+=("$ns")
    ip -n "$ns" link set lo up
    # No IPv6 chatter (router solicitations, DAD) on the lab's links.
    ip netns exec "$ns" "${LAB_BOUNDED[@]}" sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
}

lab_ip() {
    local host=$1
    shift
    ip -n "$(lab_ns "$host")" "$@"
}

lab_exec() {
    local host=$1
    shift
    ip netns exec "$(lab_ns "$host")" "${LAB_BOUNDED[@]}" "$@"
}

lab_segment() {
    if [ -z "$LAB_SWITCH" ]; then
        lab_host switch || return 1
        LAB_SWITCH=$(lab_ns switch)
    fi
    ip -n "$LAB_SWITCH" link add "$1" type bridge || return 1
    ip -n "$LAB_SWITCH" link set "$1" up
}

lab_attach() {
    local host=$1 link=$2 address=$3 segment=$4 port
    LAB_PORTS=$((LAB_PORTS + 1))
    port="port$LAB_PORTS"
    ip -n "$(lab_ns switch)" link add "$port" type veth peer name "$link" netns "$(lab_ns "$host")" || return 1
    ip -n "$(lab_ns switch)" link set "$port" master "$segment" up
    lab_ip "$host" addr add "$address" dev "$link"
    lab_ip "$host" link set "$link" up
}

lab_wire() {
    local host1=$1 link1=$2 address1=$3 host2=$4 link2=$5 address2=$6
    ip -n "$(lab_ns "$host1")" link add "$link1" type veth peer name "$link2" netns "$(lab_ns "$host2")" || return 1
    lab_ip "$host1" addr add "$address1" dev "$link1"
    lab_ip "$host2" addr add "$address2" dev "$link2"
    lab_ip "$host1" link set "$link1" up
    lab_ip "$host2" link set "$link2" up
}

lab_spawn() {
    local host=$1
    shift
    # Unique also in subshells, which start from the parent's list of processes.
    LAB_LAST_OUT=$(mktemp "$LAB_DIR/out.XXXXXX")
    ip netns exec "$(lab_ns "$host")" "${LAB_BOUNDED[@]}" "$@" >"$LAB_LAST_OUT" 2>&1 &
    LAB_LAST_PID=$!
    LAB_PIDS+=("$LAB_LAST_PID")
}

lab_spawn_ready() {
    local host=$1 fifo line fd
    shift
    fifo=$(mktemp -u "$LAB_DIR/ready.XXXXXX")
    mkfifo "$fifo"
    # Opened for reading and writing, so neither side blocks on open and later output waits in
    # the pipe instead of breaking it.
    exec {fd}<>"$fifo"
    ip netns exec "$(lab_ns "$host")" "${LAB_BOUNDED[@]}" "$@" >"$fifo" &
    LAB_LAST_PID=$!
    LAB_LAST_FD=$fd
    LAB_PIDS+=("$LAB_LAST_PID")
    if ! IFS= read -r -t 10 -u "$fd" line || [ "$line" != ready ]; then
        echo "lab: '$*' did not get ready (read: '${line:-}')" >&2
        return 1
    fi
}

# The next output line of the last command started by lab_spawn_ready, within 10 seconds.
lab_read_line() { IFS= read -r -t 10 -u "$LAB_LAST_FD" "$1"; }

lab_mac() { lab_ip "$1" -br link show dev "$2" | awk '{print $3}'; }

lab_wait_until() {
    local seconds=$1 deadline
    shift
    deadline=$((SECONDS + seconds))
    until "$@"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            return 1
        fi
        sleep 0.05
    done
}

# shellcheck disable=SC2034 # used by the scripts that source this file
LAB_FAST_ARP=(TARNWICK_ARP_INTERVAL_MS=100)

# The mount is made in the command's own mount namespace, which ip(8) makes a slave of the
# machine's: it never shows outside.
# shellcheck disable=SC2034 # used by the scripts that source this file
LAB_PRIVATE_RUN=(sh -c 'mount -t tmpfs -o size=1m,mode=0755 lab-run /run &&
    mount -t tmpfs -o size=1m,mode=0755 lab-state /var/lib && exec "$@"' lab-run)

lab_routes() {
    local host=$1 count=$2 gateway=$3
    awk -v n="$count" -v gw="$gateway" 'BEGIN {
        for (i = 0; i < n; i++)
            printf "route add 172.%d.%d.%d/32 via %s\n", 16 + int(i / 65536), int(i / 256) % 256, i % 256, gw
    }' >"$LAB_DIR/routes"
    lab_ip "$host" -batch "$LAB_DIR/routes"
}

lab_remembered() {
    grep -q "^[^ ]* ipv[46] $2 $3 " "$1" 2>/dev/null
}

lab_ipv6() {
    lab_exec "$1" sysctl -qw "net.ipv6.conf.$2.accept_dad=0" "net.ipv6.conf.$2.disable_ipv6=0"
}

lab_link_local() {
    lab_ip "$1" -6 -br addr show dev "$2" scope link | awk '{ sub("/.*", "", $3); print $3 }'
}

lab_radvd() {
    local host=$1 link=$2 prefix=$3 radvd=${TW_RADVD:-}
    if [ -z "$radvd" ]; then
        radvd=$(PATH="$PATH:/usr/sbin" command -v radvd) ||
            { echo "lab: radvd is missing (scripts/setup.sh installs it)" >&2; return 1; }
    fi
    # A router forwards; radvd will not advertise a host that does not.
    lab_exec "$host" sysctl -qw net.ipv6.conf.all.forwarding=1 || return 1
    printf 'interface %s {\n    AdvSendAdvert on;\n    MinRtrAdvInterval 3;\n    MaxRtrAdvInterval 4;\n    prefix %s { };\n};\n' \
        "$link" "$prefix" >"$LAB_DIR/radvd-$host.conf"
    lab_spawn "$host" "$radvd" --nodaemon --logmethod stderr --config "$LAB_DIR/radvd-$host.conf" \
        --pidfile "$LAB_DIR/radvd-$host.pid"
}

lab_standard6() {
    lab_standard || return 1
    ip -n "$LAB_SWITCH" link set lan type bridge mcast_snooping 0
    local host
    for host in host gw gw2; do
        lab_ipv6 "$host" eth0 || return 1
    done
    LAB_GW_LL=$(lab_link_local gw eth0)
    LAB_GW2_LL=$(lab_link_local gw2 eth0)
    lab_radvd gw eth0 2001:db8:1::/64 || return 1
    has_route() { lab_ip host -6 route show default | grep -q "via $LAB_GW_LL "; }
    lab_wait_until 10 has_route || { echo "lab: no route from gw's advertisements" >&2; return 1; }
}

lab_standard() {
    LAB_HOST_IP=10.80.0.2
    LAB_GW_IP=10.80.0.1
    LAB_GW2_IP=10.80.0.3
    LAB_ATTACKER_IP=10.80.0.66
    lab_segment lan || return 1
    lab_host host && lab_attach host eth0 "$LAB_HOST_IP/24" lan || return 1
    lab_host gw && lab_attach gw eth0 "$LAB_GW_IP/24" lan || return 1
    lab_host gw2 && lab_attach gw2 eth0 "$LAB_GW2_IP/24" lan || return 1
    lab_host attacker && lab_attach attacker eth0 "$LAB_ATTACKER_IP/24" lan || return 1
    lab_ip host route add default via "$LAB_GW_IP"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    if [ "${1:-}" != run ] || [ $# -lt 2 ]; then
        echo "usage: sudo bash $0 run COMMAND [ARGS...]" >&2
        exit 2
    fi
    shift
    lab_init
    lab_standard
    echo "lab: host $LAB_HOST_IP, gateway $LAB_GW_IP ($(lab_mac gw eth0)), second gateway" \
        "$LAB_GW2_IP ($(lab_mac gw2 eth0)), attacker $LAB_ATTACKER_IP ($(lab_mac attacker eth0));" \
        "namespaces $(lab_ns '*')" >&2
    status=0
    lab_exec host "$@" || status=$?
    exit "$status"
fi
