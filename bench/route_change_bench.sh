#!/usr/bin/env bash
# The monitor's reaction to changes of the default gateway, against the bare ARP round trip to
# the new gateway, in a lab of its own: the protected host and two gateways whose kernels
# answer ARP, on one segment. 60 changes, alternating between the gateways; then 60 deletions of
# the pinned entry. With ROUTES, the host's main table holds that many more routes (host routes
# through the gateway), so that a pass's cost is seen not to grow with the table.
#   sudo bash bench/route_change_bench.sh [BUILD_DIR [ROUTES]]     (default build/linux, 0)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
routes=${2:-0}
bench="$build/bench/RouteChange_bench"
[ -x "$bench" ] || { echo "no $bench: build the linux preset first" >&2; exit 1; }
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init
lab_standard
if [ "$routes" -gt 0 ]; then
    lab_routes host "$routes" "$LAB_GW_IP"
    echo "routes in the host's main table: $(lab_ip host route show | wc -l)"
fi
lab_exec host "$bench" "$LAB_GW_IP" "$LAB_GW2_IP" --benchmark_color=false
