#!/usr/bin/env bash
# The binding-pass benchmark over 1 and over 16 links, each in a lab of its own: a protected
# host whose every link has a default route to a gateway whose kernel answers ARP.
#   sudo bash bench/arp_binding_bench.sh [BUILD_DIR]     (default build/linux)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
bench="$build/bench/ArpBinding_bench"
[ -x "$bench" ] || { echo "no $bench: build the linux preset first" >&2; exit 1; }
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init

for links in 1 16; do
    host="host$links"
    gateway="gateway$links"
    lab_host "$host"
    lab_host "$gateway"
    for ((k = 1; k <= links; k++)); do
        lab_wire "$host" "eth$k" "10.70.$k.2/24" "$gateway" "eth$k" "10.70.$k.1/24"
        lab_ip "$host" route add default via "10.70.$k.1" dev "eth$k" metric "$k"
    done
    echo "==== $links link(s)"
    lab_exec "$host" "$bench" --benchmark_min_time=1 --benchmark_color=false
done
