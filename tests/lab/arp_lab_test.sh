#!/usr/bin/env bash
# Lab tests of the binding and flush passes on the real kernel, each in namespaces of its own.
#   arp_lab_test.sh SCENARIO PASS_TOOL ATTACKER_TOOL
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/lab/lab.sh
source "$here/lab.sh"
# shellcheck source=tests/lab/checks.sh
source "$here/checks.sh"

scenario=$1
pass=$2
attacker=$3
nd_attacker="$(dirname "$attacker")/tw_nd_attacker"

# The file must hold exactly the expected bytes.
expect_output() {
    local file=$1 expected=$2
    if ! cmp -s "$file" <(printf '%s' "$expected"); then
        echo "expected:" >&2
        printf '%s' "$expected" | od -c >&2
        echo "got:" >&2
        od -c "$file" >&2
        fail "output differs"
    fi
}

run_pass() {
    local host=$1 command=$2
    lab_exec "$host" "$pass" "$command" >"$LAB_DIR/out"
}

# One link, a gateway whose kernel answers: the entry is pinned with the gateway's MAC.
scenario_one_link() {
    lab_host host
    lab_host gw
    lab_wire host eth0 10.61.1.2/24 gw eth0 10.61.1.1/24
    lab_ip host route add default via 10.61.1.1
    local gwmac
    gwmac=$(lab_mac gw eth0)

    run_pass host bind
    expect_output "$LAB_DIR/out" "$(bound_line 0 10.61.1.1 "$gwmac")"$'\n'
    expect_equal "entry" "$(neighbour host 10.61.1.1 eth0)" "10.61.1.1 lladdr $gwmac PERMANENT"

    # A second pass flushes and pins again.
    run_pass host bind
    expect_output "$LAB_DIR/out" "$(bound_line 0 10.61.1.1 "$gwmac")"$'\n'
    expect_equal "entry after the second pass" "$(neighbour host 10.61.1.1 eth0)" \
        "10.61.1.1 lladdr $gwmac PERMANENT"
}

# Two links whose first gateway never answers: one error line for position 0, and position 1
# is still bound. The silent gateway is asked at the lab's pace (see lab_fast_arp).
scenario_two_links_first_silent() {
    lab_host host
    lab_host gw
    lab_host gw2
    lab_wire host eth0 10.62.1.2/24 gw eth0 10.62.1.1/24
    lab_wire host eth1 10.62.2.2/24 gw2 eth0 10.62.2.1/24
    lab_ip gw link set eth0 arp off
    lab_ip host route add default via 10.62.1.1 dev eth0 metric 10
    lab_ip host route add default via 10.62.2.1 dev eth1 metric 20
    local gw2mac
    gw2mac=$(lab_mac gw2 eth0)

    lab_exec host env "${LAB_FAST_ARP[@]}" "$pass" bind >"$LAB_DIR/out"
    expect_output "$LAB_DIR/out" "[0]ARP Error [113] No route to host"$'\n'"$(bound_line 1 10.62.2.1 "$gw2mac")"$'\n'
    expect_equal "second entry" "$(neighbour host 10.62.2.1 eth1)" "10.62.2.1 lladdr $gw2mac PERMANENT"
    case "$(neighbour host 10.62.1.1 eth0)" in
    *PERMANENT*) fail "the silent gateway got an entry" ;;
    esac
}

# A link without a default route prints nothing, and its table is still flushed.
scenario_no_default_route() {
    lab_host host
    lab_host gw
    lab_host gw2
    lab_wire host eth0 10.63.1.2/24 gw eth0 10.63.1.1/24
    lab_wire host eth1 10.63.2.2/24 gw2 eth0 10.63.2.1/24
    lab_ip host route add default via 10.63.1.1 dev eth0
    lab_ip host neigh add 10.63.1.9 lladdr 02:00:00:00:01:09 dev eth0 nud permanent
    lab_ip host neigh add 10.63.2.9 lladdr 02:00:00:00:02:09 dev eth1 nud permanent
    lab_ip host neigh add 10.63.2.10 lladdr 02:00:00:00:02:0a dev eth1 nud stale
    local gwmac
    gwmac=$(lab_mac gw eth0)

    run_pass host bind
    expect_output "$LAB_DIR/out" "$(bound_line 0 10.63.1.1 "$gwmac")"$'\n'
    expect_equal "entries of the link without a route" "$(neighbours host nud all dev eth1)" ""
    expect_equal "entries of the routed link" "$(neighbours host nud all dev eth0)" \
        "10.63.1.1 lladdr $gwmac PERMANENT"
}

# The flush pass removes the dynamic and the permanent entries of every link.
scenario_flush_removes_every_entry() {
    lab_host host
    lab_host gw
    lab_host gw2
    lab_wire host eth0 10.64.1.2/24 gw eth0 10.64.1.1/24
    lab_wire host eth1 10.64.2.2/24 gw2 eth0 10.64.2.1/24
    lab_ip host route add default via 10.64.1.1 dev eth0 metric 10
    lab_ip host route add default via 10.64.2.1 dev eth1 metric 20
    run_pass host bind
    expect_equal "bound lines" "$(wc -l <"$LAB_DIR/out")" 2
    lab_ip host neigh add 10.64.1.9 lladdr 02:00:00:00:01:09 dev eth0 nud permanent
    lab_ip host neigh add 10.64.1.10 lladdr 02:00:00:00:01:0a dev eth0 nud reachable
    lab_ip host neigh add 10.64.2.9 lladdr 02:00:00:00:02:09 dev eth1 nud stale
    lab_ip host neigh add 10.64.2.10 lladdr 02:00:00:00:02:0a dev eth1 nud noarp
    expect_equal "entries before the flush" "$(neighbours host nud all | wc -l)" 6

    run_pass host flush
    expect_output "$LAB_DIR/out" ""
    expect_equal "entries after the flush" "$(neighbours host nud all)" ""
}

# After binding, 10,000 forged replies and 10,000 gratuitous ARPs leave the pinned entry as
# it was; the same kind of traffic does take over an entry that is not pinned.
scenario_forged_arps_leave_entry() {
    lab_standard
    # An entry that is not pinned takes every new address at once.
    lab_exec host sysctl -qw net.ipv4.neigh.eth0.locktime=0
    local gwmac gw2mac hostmac attackermac before
    gwmac=$(lab_mac gw eth0)
    gw2mac=$(lab_mac gw2 eth0)
    hostmac=$(lab_mac host eth0)
    attackermac=$(lab_mac attacker eth0)

    run_pass host bind
    expect_output "$LAB_DIR/out" "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"$'\n'
    lab_ip host neigh replace "$LAB_GW2_IP" lladdr "$gw2mac" dev eth0 nud stale

    before=$(rx_packets host eth0)
    lab_exec attacker "$attacker" eth0 reply "$LAB_GW_IP" "$LAB_HOST_IP" "$hostmac" 10000 >/dev/null
    lab_exec attacker "$attacker" eth0 gratuitous "$LAB_GW_IP" 10000 >/dev/null
    lab_exec attacker "$attacker" eth0 gratuitous "$LAB_GW2_IP" 100 >/dev/null
    arrived() { [ $(($(rx_packets host eth0) - before)) -ge 20100 ]; }
    lab_wait_until 10 arrived || fail "the forged ARPs did not all reach the host"

    expect_equal "pinned entry" "$(neighbour host "$LAB_GW_IP" eth0)" \
        "$LAB_GW_IP lladdr $gwmac PERMANENT"
    case "$(neighbour host "$LAB_GW2_IP" eth0)" in
    "$LAB_GW2_IP lladdr $attackermac "*) ;;
    *) fail "control: the unpinned entry was not taken over: $(neighbour host "$LAB_GW2_IP" eth0)" ;;
    esac
}

# The attacker tool answers ARP requests for an address it claims.
scenario_attacker_answers_requests() {
    lab_standard
    local attackermac line
    attackermac=$(lab_mac attacker eth0)

    lab_spawn_ready attacker "$attacker" eth0 answer 10.80.0.77 1
    lab_exec host "$pass" resolve eth0 10.80.0.77 >"$LAB_DIR/out"
    expect_output "$LAB_DIR/out" "$(hex "$attackermac")"$'\n'
    lab_read_line line || fail "the attacker did not report"
    expect_equal "attacker's report" "$line" "answered 1"
}

# Whether the output file holds the conflict report for the gateway on eth0 between the two
# MACs, in either order of arrival, ending in the given outcome.
reports_conflict() {
    local file=$1 gateway=$2 first=$3 second=$4 outcome=$5 line
    for line in "$(hex "$first") and $(hex "$second")" "$(hex "$second") and $(hex "$first")"; do
        grep -qxF "[WARN][SocketARP]Gateway $gateway on eth0 answered with two MAC addresses, $line: $outcome" "$file" && return 0
    done
    return 1
}

# Answers that are wrong in one way each, sent at once by an attacker while the gateway's kernel
# answers normally: every one is ignored, the gateway alone is pinned and nothing conflicts.
scenario_hostile_answers_ignored() {
    lab_standard
    local gwmac variant line
    gwmac=$(lab_mac gw eth0)
    for variant in target-ip target-mac broadcast vlan other-host ethernet-source; do
        lab_spawn_ready attacker "$attacker" eth0 respond "$variant" "$LAB_GW_IP" 1
        run_pass host bind
        lab_read_line line || fail "$variant: the attacker did not report"
        expect_equal "$variant: attacker's report" "$line" "answered 1"
        expect_output "$LAB_DIR/out" "$(bound_line 0 "$LAB_GW_IP" "$gwmac")"$'\n'
        expect_equal "$variant: entry" "$(neighbour host "$LAB_GW_IP" eth0)" \
            "$LAB_GW_IP lladdr $gwmac PERMANENT"
    done
}

# An attacker that answers every request at once, the gateway 1 ms later: 20 passes without a
# remembered gateway each report the conflict, keep one answer pinned (removing it would leave
# the kernel's own entry to the flood) and remember neither; 20 passes that remember the gateway
# pin it each time, and the attacker's address is never written, not even for a moment.
scenario_instant_attacker_never_pinned() {
    lab_standard
    local gwmac attackermac run state="$LAB_DIR/state"
    gwmac=$(lab_mac gw eth0)
    attackermac=$(lab_mac attacker eth0)
    slow_gateway 1
    lab_spawn_ready attacker "$attacker" eth0 answer "$LAB_GW_IP" 0
    mkdir "$state"
    for run in $(seq 20); do
        lab_exec host env STATE_DIRECTORY="$state" "$pass" bind >"$LAB_DIR/out"
        grep -qF "[WARN][SocketARP]Gateway $LAB_GW_IP on eth0 answered with two MAC addresses, " "$LAB_DIR/out" ||
            fail "run $run: no conflict reported: $(cat "$LAB_DIR/out")"
        grep -q "pinned.*, not remembered; asking again in 1 s$" "$LAB_DIR/out" ||
            fail "run $run: $(cat "$LAB_DIR/out")"
        case "$(neighbours host nud permanent)" in
        "$LAB_GW_IP dev eth0 lladdr $attackermac PERMANENT" | "$LAB_GW_IP dev eth0 lladdr $gwmac PERMANENT") ;;
        *) fail "run $run: entries: $(neighbours host nud permanent)" ;;
        esac
        [ ! -e "$state/gateways" ] || fail "run $run: remembered: $(cat "$state/gateways")"
    done

    printf 'tarnwick-antiarp gateways 2\neth0 ipv4 %s %s 2026-01-01T00:00:00Z\n' "$LAB_GW_IP" "$gwmac" >"$state/gateways"
    lab_spawn host ip monitor neigh
    local monitor=$LAB_LAST_OUT
    for run in $(seq 20); do
        lab_exec host env STATE_DIRECTORY="$state" "$pass" bind >"$LAB_DIR/out"
        reports_conflict "$LAB_DIR/out" "$LAB_GW_IP" "$attackermac" "$gwmac" \
            "kept the remembered $(hex "$gwmac")" ||
            fail "run $run: no conflict reported: $(cat "$LAB_DIR/out")"
        expect_equal "run $run: entry" "$(neighbour host "$LAB_GW_IP" eth0)" \
            "$LAB_GW_IP lladdr $gwmac PERMANENT"
    done
    grep -qi "$gwmac PERMANENT" "$monitor" || fail "control: the monitor saw no pin"
    ! grep -i "$attackermac PERMANENT" "$monitor" || fail "the attacker was pinned"
}

# A gateway whose remembered address is another one, answering alone: the remembered address
# stays pinned while it is asked directly; silent, the new one is pinned provisionally, with
# warnings that name both addresses and the file, and memory is unchanged.
scenario_replaced_gateway_pinned_provisionally() {
    lab_standard
    local gwmac state="$LAB_DIR/state"
    gwmac=$(lab_mac gw eth0)
    mkdir "$state"
    printf 'tarnwick-antiarp gateways 2\neth0 ipv4 %s 02:00:00:00:00:aa 2026-01-01T00:00:00Z\n' "$LAB_GW_IP" >"$state/gateways"
    lab_exec host env STATE_DIRECTORY="$state" TARNWICK_ARP_INTERVAL_MS=100 "$pass" bind >"$LAB_DIR/out"
    expect_output "$LAB_DIR/out" "$(bound_line 0 "$LAB_GW_IP" 02:00:00:00:00:aa)
[WARN][SocketARP]Gateway $LAB_GW_IP on eth0 answered with $(hex "$gwmac") alone, not with the remembered 0200000000aa ($state/gateways): asking 0200000000aa directly
[WARN][SocketARP]Gateway $LAB_GW_IP on eth0 has a new MAC address $(hex "$gwmac") (was 0200000000aa), and 0200000000aa does not answer when asked directly: $(hex "$gwmac") pinned provisionally, not remembered; 0200000000aa stays remembered in $state/gateways and is asked every 5 s. $(hex "$gwmac") is remembered once it has answered alone for 6 h; to accept it at once, delete the gateway's line there and restart the service
$(bound_line 0 "$LAB_GW_IP" "$gwmac")
"
    expect_equal "entry" "$(neighbour host "$LAB_GW_IP" eth0)" "$LAB_GW_IP lladdr $gwmac PERMANENT"
    lab_remembered "$state/gateways" "$LAB_GW_IP" 02:00:00:00:00:aa || fail "memory changed: $(cat "$state/gateways")"
}

# Two LANs whose routers share an address: each link gets its own router. A link without an
# address of its own, whose default route is onlink, asks with an ARP probe on that link, even
# where the other link's router would answer for the address (proxy ARP).
scenario_each_link_asks_its_own_router() {
    lab_host host
    lab_host a
    lab_host b
    lab_host c
    lab_host d
    lab_wire host eth0 192.168.1.2/24 a eth0 192.168.1.1/24
    lab_wire host eth1 192.168.1.3/24 b eth0 192.168.1.1/24
    lab_ip host route add default via 192.168.1.1 dev eth0 metric 100
    lab_ip host route add default via 192.168.1.1 dev eth1 metric 200
    run_pass host bind
    expect_output "$LAB_DIR/out" "$(bound_line 0 192.168.1.1 "$(lab_mac a eth0)")"$'\n'"$(bound_line 1 192.168.1.1 "$(lab_mac b eth0)")"$'\n'
    expect_equal "entry of the first LAN" "$(neighbour host 192.168.1.1 eth0)" \
        "192.168.1.1 lladdr $(lab_mac a eth0) PERMANENT"
    expect_equal "entry of the second LAN" "$(neighbour host 192.168.1.1 eth1)" \
        "192.168.1.1 lladdr $(lab_mac b eth0) PERMANENT"

    lab_wire host eth2 10.66.1.2/24 c eth0 10.66.1.1/24
    lab_ip c link add eth1 type veth peer name eth9 netns "$(lab_ns d)"
    lab_ip c link set eth1 up
    lab_ip d link set eth9 up
    lab_ip c route add 10.9.9.0/24 dev eth1
    lab_exec c sysctl -qw net.ipv4.ip_forward=1 net.ipv4.conf.eth0.proxy_arp=1 \
        net.ipv4.neigh.eth0.proxy_delay=0
    lab_host e
    lab_ip host link add eth3 type veth peer name eth0 netns "$(lab_ns e)"
    lab_ip host link set eth3 up
    lab_ip e addr add 10.9.9.1/24 dev eth0
    lab_ip e link set eth0 up
    lab_ip host route del default via 192.168.1.1 dev eth0
    lab_ip host route del default via 192.168.1.1 dev eth1
    lab_ip host route add default via 10.66.1.1 dev eth2 metric 100
    lab_ip host route add default via 10.9.9.1 dev eth3 onlink metric 200
    lab_exec host "$pass" resolve eth2 10.9.9.1 >"$LAB_DIR/proxy" || fail "no proxy ARP on eth2"
    expect_equal "proxy ARP answer on the other link" "$(cat "$LAB_DIR/proxy")" "$(hex "$(lab_mac c eth0)")"
    run_pass host bind
    grep -qxF "$(bound_line 3 10.9.9.1 "$(lab_mac e eth0)")" "$LAB_DIR/out" ||
        fail "the probe's answer was not pinned: $(cat "$LAB_DIR/out")"
    expect_equal "entry of the link without an address" "$(neighbour host 10.9.9.1 eth3)" \
        "10.9.9.1 lladdr $(lab_mac e eth0) PERMANENT"
}

# A default route only in a table that `ip rule` chooses is still the link's gateway.
scenario_policy_routed_gateway_pinned() {
    lab_standard
    lab_ip host route del default
    lab_ip host route add default via "$LAB_GW_IP" dev eth0 table 100
    lab_ip host rule add from all lookup 100 pref 100
    run_pass host bind
    expect_output "$LAB_DIR/out" "$(bound_line 0 "$LAB_GW_IP" "$(lab_mac gw eth0)")"$'\n'
}

# Links that come and go during passes never end one with different interface and adapter
# counts.
scenario_link_churn_never_mismatches() {
    lab_standard
    lab_spawn host bash -c 'while :; do ip link add churn0 type veth peer name churn1; ip link del churn0; done'
    local run
    for run in $(seq 40); do
        run_pass host bind
        ! grep -q 'size()' "$LAB_DIR/out" || fail "run $run: $(cat "$LAB_DIR/out")"
    done
}

# 16 links, 4 of them with silent gateways: the 12 others are pinned long before the silent
# ones give up, and the lines still come in adapter order.
scenario_silent_gateways_delay_no_other_link() {
    lab_host host
    local i pid
    for i in $(seq 16); do
        lab_host "g$i"
        lab_wire host "eth$i" "10.70.$i.2/24" "g$i" eth0 "10.70.$i.1/24"
        lab_ip host route add default via "10.70.$i.1" dev "eth$i" metric "$i"
        [ "$i" -gt 4 ] || lab_ip "g$i" link set eth0 arp off
    done
    lab_spawn host "$pass" bind
    pid=$LAB_LAST_PID
    pinned() { [ "$(neighbours host nud permanent | wc -l)" -eq 12 ]; }
    lab_wait_until 10 pinned || fail "the answering gateways were not pinned"
    kill -0 "$pid" || fail "the pass ended before the 12 were pinned"
    wait "$pid"
    expect_equal "positions of the lines" "$(grep -o '^\[[0-9]*\]' "$LAB_LAST_OUT" | tr -d '\n')" \
        "$(printf '[%d]' $(seq 0 15))"
}

# Answers to the pass's Neighbor Solicitation that are wrong in one way each, sent at once by an
# attacker while the router's kernel answers normally: every one is ignored, the router alone is
# pinned (after the link's gateway) and nothing conflicts.
scenario_forged_router_answers_ignored() {
    lab_standard6
    local gwmac variant line
    gwmac=$(lab_mac gw eth0)
    for variant in hop-limit unsolicited no-option option-mismatch other-target; do
        lab_ip host -6 neigh del "$LAB_GW_LL" dev eth0 2>/dev/null || true
        lab_spawn_ready attacker "$nd_attacker" eth0 respond "$variant" "$LAB_GW_LL" 1
        run_pass host bind
        lab_read_line line || fail "$variant: the attacker did not report"
        expect_equal "$variant: attacker's report" "$line" "answered 1"
        expect_output "$LAB_DIR/out" "$(bound_line 0 "$LAB_GW_IP" "$gwmac")
$(nd_bound_line 0 "$LAB_GW_LL%eth0" "$gwmac")
"
        expect_equal "$variant: entry" "$(neighbour6 host "$LAB_GW_LL" eth0)" \
            "$LAB_GW_LL lladdr $gwmac PERMANENT"
    done
}

# An attacker that answers every solicitation for the router's address at once, the router 20 ms
# later (1 ms let the scheduler of a loaded machine put the router first): the conflict is
# reported with both addresses, one answer stays pinned and neither is remembered.
scenario_instant_router_impostor_conflicts() {
    lab_standard
    ip -n "$LAB_SWITCH" link set lan type bridge mcast_snooping 0
    lab_ipv6 host eth0
    lab_ip host -6 route add default via fe80::1 dev eth0
    local gwmac attackermac state="$LAB_DIR/state" line
    gwmac=$(lab_mac gw eth0)
    attackermac=$(lab_mac attacker eth0)
    lab_spawn_ready gw "$nd_attacker" eth0 answer-after 20 fe80::1 0
    lab_spawn_ready attacker "$nd_attacker" eth0 answer fe80::1 0
    mkdir "$state"
    lab_exec host env STATE_DIRECTORY="$state" "$pass" bind >"$LAB_DIR/out"
    line=$(grep -F "[WARN][SocketARP]Router fe80::1 on eth0 answered with two MAC addresses, " "$LAB_DIR/out") ||
        fail "no conflict reported: $(cat "$LAB_DIR/out")"
    case "$line" in
    *"$(hex "$attackermac") and $(hex "$gwmac"): kept "*", not remembered; asking again in 1 s") ;;
    *) fail "conflict: $line" ;;
    esac
    case "$(neighbour6 host fe80::1 eth0)" in
    "fe80::1 lladdr $attackermac PERMANENT" | "fe80::1 lladdr $gwmac PERMANENT") ;;
    *) fail "entry: $(neighbour6 host fe80::1 eth0)" ;;
    esac
    ! grep -q " ipv6 " "$state/gateways" 2>/dev/null || fail "remembered: $(cat "$state/gateways")"
}

# A static IPv6 default route through a group of nexthop objects, with the kernel giving the
# route's nexthop object alone (no compatibility mode): each router of the group is pinned.
scenario_routers_of_a_nexthop_group_pinned() {
    lab_standard
    local host
    for host in host gw gw2; do
        lab_ipv6 "$host" eth0
    done
    # Routers: their answers carry the Router flag.
    lab_exec gw sysctl -qw net.ipv6.conf.all.forwarding=1
    lab_exec gw2 sysctl -qw net.ipv6.conf.all.forwarding=1
    local gwll gw2ll
    gwll=$(lab_link_local gw eth0)
    gw2ll=$(lab_link_local gw2 eth0)
    lab_exec host sysctl -qw net.ipv4.nexthop_compat_mode=0
    lab_ip host nexthop add id 1 via "$gwll" dev eth0
    lab_ip host nexthop add id 2 via "$gw2ll" dev eth0
    lab_ip host nexthop add id 10 group 1/2
    lab_ip host -6 route add default nhid 10
    run_pass host bind
    expect_output "$LAB_DIR/out" "$(bound_line 0 "$LAB_GW_IP" "$(lab_mac gw eth0)")
$(nd_bound_line 0 "$gwll%eth0" "$(lab_mac gw eth0)")
$(nd_bound_line 0 "$gw2ll%eth0" "$(lab_mac gw2 eth0)")
"
}

lab_init
"scenario_$scenario"
echo "PASS ($scenario)"
