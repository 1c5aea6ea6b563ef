#!/usr/bin/env bash
# service_bench.sh [BUILD_DIR] [IDLE_SECONDS] [FILES]: runs the real service with HOME in a
# temporary folder and reports the latency from a change to the synchronised target, the CPU of
# an idle service, and one pass over a large tree beside rsync -a --delete and unison -batch on
# the same trees in the same run. Takes about ten minutes with the defaults (60 s, 10,000 files).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program="$build/bin/bench_service_bench"
[[ -x $program ]] || { echo "service_bench: $program missing (build with -DPELLI_BENCH=ON)" >&2; exit 1; }
[[ -x $build/bin/tessvald ]] || { echo "service_bench: $build/bin/tessvald missing" >&2; exit 1; }
for peer in rsync unison; do
  command -v $peer >/dev/null || { echo "service_bench: $peer is missing (scripts/setup.sh)" >&2; exit 1; }
done
"$program" --idle-seconds "${2:-60}" --files "${3:-10000}"
