#!/usr/bin/env bash
# s3_bench.sh [BUILD_DIR] [SMALL_FILES] [LARGE_MB] [ROUNDS]: the S3 store's uploads and downloads
# against `aws s3 cp` (and rclone when installed) on the tests' loopback S3 server, started here
# for the run and stopped after it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program="$build/bin/bench_s3_bench"
[[ -x $program ]] || { echo "s3_bench: $program missing (build with -DPELLI_BENCH=ON)" >&2; exit 1; }
command -v aws >/dev/null || { echo "s3_bench: the aws command is missing" >&2; exit 1; }
dir=$(mktemp -d)
trap '"$root/tests/support/s3_server.sh" stop "$dir"; rm -rf "$dir"' EXIT
declare -A cred
for word in $("$root/tests/support/s3_server.sh" start "$dir"); do cred[${word%%=*}]=${word#*=}; done
"$program" "${cred[endpoint]}" "${cred[access_key]}" "${cred[secret_key]}" "${cred[region]}" \
  "${2:-200}" "${3:-64}" "${4:-3}"
