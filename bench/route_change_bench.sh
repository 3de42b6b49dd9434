#!/usr/bin/env bash
# The monitor's reaction to changes of the default gateway, against the bare ARP round trip to
# the new gateway, in a lab of its own: the protected host and two gateways whose kernels
# answer ARP, on one segment. 60 changes, alternating between the gateways.
#   sudo bash bench/route_change_bench.sh [BUILD_DIR]     (default build/linux)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
bench="$build/bench/RouteChange_bench"
[ -x "$bench" ] || { echo "no $bench: build the linux preset first" >&2; exit 1; }
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init
lab_standard
lab_exec host "$bench" "$LAB_GW_IP" "$LAB_GW2_IP" --benchmark_color=false
