#!/usr/bin/env bash
# Loopback stand-ins for the web stores that cannot be reached from a test (Python's standard
# library only).
#   fake_store.sh start DIR STORE   STORE is onedrive or dropbox; prints "port=P pid=N"
#   fake_store.sh stop DIR PID      stops the instance with that pid
# DIR holds the store's files, its request log, scripted faults and settings
# (fake_store_common.py).
set -euo pipefail
cmd=${1:?start|stop}
dir=${2:?DIR}
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/support/await_start.sh
source "$here/await_start.sh"
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

if [[ $cmd == stop ]]; then
  pid=${3:?PID}
  kill "$pid" 2>/dev/null || true
  exit 0
fi

store=${3:?onedrive|dropbox}
log=$(mktemp "$dir/start-XXXXXX")
/usr/bin/python3 "$here/fake_$store.py" --dir "$dir" >"$log" 2>&1 &
pid=$!
await_start "$pid" 300 grep -q '^listening ' "$log" || {
  cat "$log" >&2
  exit 1
}
bound=$(sed -n 's/^listening .* port=\([0-9]*\).*/\1/p' "$log")
echo "port=$bound pid=$pid"
