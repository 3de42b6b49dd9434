#!/usr/bin/env bash
# The IPv6 routers' pins, against the bare Neighbor Solicitation round trip to the router, in a
# lab of its own: the protected host with IPv6 on the LAN, its router "gw" advertising itself
# with radvd, and a second router "gw2" whose advertisements the benchmark sends itself. How
# soon `antiarp -debug` has pinned the router after its start (20 starts), and how soon a router
# that advertises itself is pinned (20 advertisements, each withdrawn again afterwards). The
# program runs with an empty /run and /var/lib of its own.
#   sudo bash bench/nd_bench.sh [BUILD_DIR]      (build/linux)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
bench="$build/bench/Nd_bench"
antiarp="$build/antiarp"
for file in "$bench" "$antiarp"; do
    [ -x "$file" ] || { echo "no $file: build the linux preset first" >&2; exit 1; }
done
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init
lab_standard6
# A router: its answers carry the Router flag.
lab_exec gw2 sysctl -qw net.ipv6.conf.all.forwarding=1
# The second router's namespace, open before the benchmark's own /run hides /run/netns.
exec {second}<"/run/netns/$(lab_ns gw2)"
lab_exec host "${LAB_PRIVATE_RUN[@]}" "$bench" "$antiarp" "$LAB_GW_LL" "$LAB_GW2_LL" \
    "$(lab_mac gw2 eth0)" "/proc/self/fd/$second" --benchmark_color=false
