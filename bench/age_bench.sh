#!/usr/bin/env bash
# age_bench.sh [BUILD_DIR]: runs the age benchmark on a small and on a large file (1 GiB), so the
# ratios against the age tool and the peak memory of both sizes can be read side by side: the
# memory must not grow with the file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program="$build/bin/bench_age_bench"
[[ -x $program ]] || { echo "age_bench: $program missing (build with -DPELLI_BENCH=ON)" >&2; exit 1; }
command -v age >/dev/null || { echo "age_bench: the age tool is missing (scripts/setup.sh)" >&2; exit 1; }
"$program" 64M 3
"$program" 1G 3
