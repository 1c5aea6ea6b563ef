# shellcheck shell=bash
# Sourced by the server scripts that start a server in the background and wait for it.
# await_start PID TRIES CHECK...  runs CHECK every 0.05 s, at most TRIES times, while PID lives;
# fails, with PID stopped, when CHECK never held.
await_start() {
  local pid=$1 tries=$2
  shift 2
  for _ in $(seq "$tries"); do
    "$@" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  "$@" && return 0
  kill "$pid" 2>/dev/null || true
  return 1
}
