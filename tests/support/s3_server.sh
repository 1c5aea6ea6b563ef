#!/usr/bin/env bash
# Throwaway S3 server (moto, strict Signature V4) on a free loopback port for the cloud tests.
#   s3_server.sh start DIR  -> prints "endpoint=URL access_key=K secret_key=S region=R pid=N"
#   s3_server.sh stop DIR
# moto comes with the machine's own Python (the first python3 on PATH, or S3_TEST_PYTHON); it
# cannot be installed from a package registry here. State lives in memory only.
set -euo pipefail
cmd=${1:?start|stop}
dir=${2:?DIR}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/await_start.sh
source "$here/await_start.sh"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if [[ $cmd == stop ]]; then
  if [[ -s $dir/s3.pid ]]; then kill "$(cat "$dir/s3.pid")" 2>/dev/null || true; fi
  rm -f "$dir/s3.pid" "$dir/credentials"
  exit 0
fi
py=${S3_TEST_PYTHON:-python3}
"$py" -c 'import moto, boto3, werkzeug' 2>/dev/null || {
  echo "s3_server.sh: $(command -v "$py" || echo "$py") lacks moto or boto3 (scripts/setup.sh says more)" >&2
  exit 1
}
# A server that an interrupted run left behind in the same folder goes first.
if [[ -s $dir/s3.pid ]]; then kill "$(cat "$dir/s3.pid")" 2>/dev/null || true; fi
rm -f "$dir/credentials"
"$py" "$here/s3_test_server.py" "$dir" >"$dir/s3.log" 2>&1 &
pid=$!
echo "$pid" >"$dir/s3.pid"
await_start "$pid" 600 test -s "$dir/credentials" || {
  echo "s3_server.sh: the server did not start; its log:" >&2
  tail -20 "$dir/s3.log" >&2
  exit 1
}
echo "$(cat "$dir/credentials") pid=$pid"
