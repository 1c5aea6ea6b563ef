#!/usr/bin/env bash
# link_flood_bench.sh [BUILD_DIR] [SECONDS] [FILES]: runs the real service with a paired phone and
# a local tree item, times the item's passes while the device link is left alone and while
# clients on loopback flood it with bad connections and datagrams, and reports the slowdown and
# the memory the flood left behind. Takes about three minutes with the defaults (60 s, 20,000
# files). It uses the link's fixed port when free: run it while no service of the user runs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program="$build/bin/bench_link_flood_bench"
[[ -x $program ]] || { echo "link_flood_bench: $program missing (build with -DPELLI_BENCH=ON)" >&2; exit 1; }
[[ -x $build/bin/tessvald ]] || { echo "link_flood_bench: $build/bin/tessvald missing" >&2; exit 1; }
"$program" --seconds "${2:-60}" --files "${3:-20000}"
