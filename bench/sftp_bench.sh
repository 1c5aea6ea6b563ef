#!/usr/bin/env bash
# sftp_bench.sh [BUILD_DIR] [MB] [ROUNDS]: the service's SFTP upload and download of one file of
# MB MiB (1024) and of a tree of 2,000 small files against OpenSSH's sftp client (and rclone when
# installed) through a throwaway loopback sshd (tests/support/sftp_server.sh, as root), best of
# ROUNDS (3), with the speed ratios, the service's peak memory and the rate kept under a limit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
program="$build/bin/bench_sftp_bench"
[[ -x $program ]] || { echo "sftp_bench: $program missing (build with -DPELLI_BENCH=ON)" >&2; exit 1; }
command -v sftp >/dev/null || { echo "sftp_bench: the sftp client is missing (scripts/setup.sh)" >&2; exit 1; }
scratch=$(mktemp -d)
trap '"$root/tests/support/sftp_server.sh" stop "$scratch/server"; rm -rf "$scratch"' EXIT
"$root/tests/support/sftp_test_user.sh" >/dev/null
started=$("$root/tests/support/sftp_server.sh" start "$scratch/server")
port=${started#port=}
port=${port%% *}
mkdir -p "$scratch/home" "$scratch/data"
HOME="$scratch/home" "$program" "$port" "$scratch/server/client_ed25519" "$scratch/data" "${2:-1024}" "${3:-3}"
