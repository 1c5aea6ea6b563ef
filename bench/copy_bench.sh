#!/usr/bin/env bash
# copy_bench.sh [BUILD_DIR] [SMALL_FILES] [LARGE_MB] [ROUNDS]: the engine's verified local
# transfer against cp -a and rsync -a on the same trees in the same run, best of ROUNDS (3). The
# engine also reads both files again to verify every copy, which the peers do not.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program="$build/bin/bench_copy_bench"
[[ -x $program ]] || { echo "copy_bench: $program missing (build with -DPELLI_BENCH=ON)" >&2; exit 1; }
command -v rsync >/dev/null || { echo "copy_bench: rsync is missing (scripts/setup.sh)" >&2; exit 1; }
"$program" "${2:-5000}" "${3:-512}" "${4:-3}"
