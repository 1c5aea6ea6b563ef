#!/usr/bin/env bash
# tree_bench.sh [BUILD_DIR] [FILES] [--log=LEVEL] [--compare=size,time]: one pass of a tree item
# over FILES small files (default 100000) in folders of 100 (initial copy, no change, 1% changed,
# a folder renamed) against rsync -a --delete (one-way) and unison -batch (two-way) on the same
# trees in the same run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program="$build/bin/bench_tree_bench"
[[ -x $program ]] || { echo "tree_bench: $program missing (build with -DPELLI_BENCH=ON)" >&2; exit 1; }
for peer in rsync unison diff; do
  command -v "$peer" >/dev/null || { echo "tree_bench: $peer is missing (scripts/setup.sh)" >&2; exit 1; }
done
"$program" "${2:-100000}" "${@:3}"
