#!/usr/bin/env bash
# Makes the throwaway account that the SFTP tests log in to with a password (run as root, once
# per test run: parallel useradd calls race over /etc/passwd). Idempotent.
#   sftp_test_user.sh   -> prints "user=kvotest password=sftppass"
set -euo pipefail
user=kvotest
password=sftppass
if [[ $(id -u) -ne 0 ]]; then
  echo "sftp_test_user.sh: password login needs a local account; run the tests as root" >&2
  exit 1
fi
exec 9>/run/pelli-sftp-test-user.lock
flock 9
id "$user" >/dev/null 2>&1 || useradd -M -d /nonexistent -s /bin/sh "$user"
echo "$user:$password" | chpasswd
echo "user=$user password=$password"
