#!/usr/bin/env bash
# webdav_bench.sh [BUILD_DIR [SIZE [ROUNDS]]]: starts the tests' loopback Apache WebDAV server
# and runs the WebDAV benchmark against it: the same file up and down with this program's store,
# curl and (when installed) rclone. Default: a 1 GiB file, 3 rounds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program="$build/bin/bench_webdav_bench"
[[ -x $program ]] || { echo "webdav_bench: $program missing (build with -DPELLI_BENCH=ON)" >&2; exit 1; }
command -v curl >/dev/null || { echo "webdav_bench: curl is missing" >&2; exit 1; }
dir=$(mktemp -d)
server=$dir/server
trap '"$root/tests/support/webdav_server.sh" stop "$server"; rm -rf "$dir"' EXIT
started=$("$root/tests/support/webdav_server.sh" start "$server")
port=$(sed -n 's/^port=\([0-9]*\).*/\1/p' <<<"$started")
"$program" "http://127.0.0.1:$port/dav/" davuser davpass "${2:-1G}" "${3:-3}" "$dir"
