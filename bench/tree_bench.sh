#!/usr/bin/env bash
# tree_bench.sh [BUILD_DIR] [FILES] [--log=LEVEL] [--compare=size,time]: passes of a tree item over
# FILES small files (default 10000) in folders of 100 (initial copy, no change, no change again,
# 1% changed, a folder renamed) against rsync -a --delete (one-way) and unison -batch (two-way) on
# the same trees in the same run. Without options it runs twice: at the service's defaults (log
# Info, content comparison), then at log Warning with size and time compared. 100,000 files take
# several minutes a setting: pass 100000 to measure them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program="$build/bin/bench_tree_bench"
[[ -x $program ]] || { echo "tree_bench: $program missing (build with -DPELLI_BENCH=ON)" >&2; exit 1; }
for peer in rsync unison diff; do
  command -v "$peer" >/dev/null || { echo "tree_bench: $peer is missing (scripts/setup.sh)" >&2; exit 1; }
done
files=${2:-10000}
if (($# > 2)); then
  "$program" "$files" "${@:3}"
else
  "$program" "$files"
  "$program" "$files" --log=Warning --compare=size,time
fi
