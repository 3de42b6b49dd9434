#!/usr/bin/env bash
# The binding-pass benchmark over 1 and over 16 links, each in a lab of its own: a protected
# host whose every link has a default route to a gateway whose kernel answers ARP; then 64
# links of which 8 have gateways that do not answer.
#   sudo bash bench/arp_binding_bench.sh [BUILD_DIR]     (default build/linux)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/linux}" && pwd)
bench="$build/bench/ArpBinding_bench"
[ -x "$bench" ] || { echo "no $bench: build the linux preset first" >&2; exit 1; }
# shellcheck source=tests/lab/lab.sh
source "$root/tests/lab/lab.sh"
lab_init

# A host with LINKS links, each to its own gateway; the first SILENT gateways do not answer.
scene() {
    local links=$1 silent=$2 host="host$1" gateway="gateway$1" k
    lab_host "$host"
    lab_host "$gateway"
    for ((k = 1; k <= links; k++)); do
        lab_wire "$host" "eth$k" "10.70.$k.2/24" "$gateway" "eth$k" "10.70.$k.1/24"
        lab_ip "$host" route add default via "10.70.$k.1" dev "eth$k" metric "$k"
        [ "$k" -gt "$silent" ] || lab_ip "$gateway" link set "eth$k" arp off
    done
}

for links in 1 16; do
    scene "$links" 0
    echo "==== $links link(s)"
    lab_exec "host$links" "$bench" --benchmark_min_time=1 --benchmark_color=false
done
scene 64 8
echo "==== 64 links, 8 of them with silent gateways"
lab_exec host64 "$bench" silent
