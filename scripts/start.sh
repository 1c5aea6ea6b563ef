#!/usr/bin/env bash
# Sets up the machine, builds the service and starts it in the background for the calling user.
# Its process id goes to $XDG_RUNTIME_DIR (or /tmp)/tessvald-$UID.pid; stop it with
#   kill "$(cat that file)".
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${PELLI_BUILD_ROOT:-$root/build}

"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$out/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELLI_TESTS=OFF -DPELLI_BENCH=OFF

pidfile=${XDG_RUNTIME_DIR:-/tmp}/tessvald-$(id -u).pid
if [[ -f $pidfile ]] && kill -0 "$(cat "$pidfile")" 2>/dev/null; then
  echo "tessvald is already running (pid $(cat "$pidfile"))"
  exit 0
fi
cd "${HOME:-/}"
setsid "$out/release/bin/tessvald" </dev/null >/dev/null 2>&1 &
echo $! > "$pidfile"
echo "tessvald started (pid $!)"
