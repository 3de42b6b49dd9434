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
# is still bound.
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

    run_pass host bind
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
    lab_exec host "$pass" resolve 10.80.0.77 >"$LAB_DIR/out"
    expect_output "$LAB_DIR/out" "$(hex "$attackermac")"$'\n'
    lab_read_line line || fail "the attacker did not report"
    expect_equal "attacker's report" "$line" "answered 1"
}

lab_init
"scenario_$scenario"
echo "PASS ($scenario)"
