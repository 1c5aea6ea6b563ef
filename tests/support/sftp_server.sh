#!/usr/bin/env bash
# Throwaway OpenSSH SFTP server on loopback for the remote tests.
#   sftp_server.sh start DIR   -> prints "port=P pid=N"
#   sftp_server.sh stop DIR
# DIR holds the configuration, the host keys (ed25519 and RSA), the client keys and the log.
# Port P serves read-write, P+1 read-only (every write answers permission denied), P+2 goes
# through sftp_shim.py (the mode is read from DIR/shim_mode at each login). root logs in with the
# key DIR/client_ed25519; the account of sftp_test_user.sh with its password.
set -euo pipefail
cmd=${1:?start|stop}
dir=${2:?DIR}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
if [[ $cmd == stop ]]; then
  if [[ -s $dir/sshd.pid ]]; then kill "$(cat "$dir/sshd.pid")" 2>/dev/null || true; fi
  rm -f "$dir/sshd.pid"
  exit 0
fi
sshd=/usr/sbin/sshd # sshd re-executes itself: it needs its absolute path
[[ -x $sshd ]] || {
  echo "openssh-server is missing (scripts/setup.sh installs it)" >&2
  exit 1
}
[[ $(id -u) -eq 0 ]] || {
  echo "sftp_server.sh: the test server needs root" >&2
  exit 1
}
mkdir -p /run/sshd && chmod 755 /run/sshd
id kvotest >/dev/null 2>&1 || {
  echo "the password account is missing: run tests/support/sftp_test_user.sh first" >&2
  exit 1
}
[[ -f $dir/host_ed25519 ]] || ssh-keygen -q -t ed25519 -N '' -C testhost -f "$dir/host_ed25519"
[[ -f $dir/host_rsa ]] || ssh-keygen -q -t rsa -b 2048 -N '' -C testhost -f "$dir/host_rsa"
[[ -f $dir/client_ed25519 ]] || ssh-keygen -q -t ed25519 -N '' -C testclient -f "$dir/client_ed25519"
[[ -f $dir/client_locked ]] || ssh-keygen -q -t ed25519 -N 'keypass' -C locked -f "$dir/client_locked"
cat "$dir/client_ed25519.pub" "$dir/client_locked.pub" >"$dir/authorized_keys"
chmod 644 "$dir/authorized_keys" # read as the logged-in user
chmod 755 "$dir"
[[ -f $dir/shim_mode ]] || echo pass >"$dir/shim_mode"

for attempt in $(seq 20); do
  port=$(/usr/bin/python3 - <<'PY'
import random, socket
while True:
    p = random.randrange(20000, 60000, 4)
    try:
        for q in (p, p + 1, p + 2):
            s = socket.socket(); s.bind(("127.0.0.1", q)); s.close()
        print(p); break
    except OSError:
        pass
PY
)
  cat >"$dir/sshd_config" <<CONF
Port $port
Port $((port + 1))
Port $((port + 2))
ListenAddress 127.0.0.1
HostKey $dir/host_ed25519
HostKey $dir/host_rsa
PidFile $dir/sshd.pid
AuthorizedKeysFile $dir/authorized_keys
StrictModes no
UsePAM no
PubkeyAuthentication yes
PasswordAuthentication yes
KbdInteractiveAuthentication no
PermitRootLogin prohibit-password
AllowUsers kvotest root
Subsystem sftp internal-sftp
LogLevel VERBOSE
MaxStartups 100:30:200
MaxSessions 50
Match LocalPort $((port + 1))
  ForceCommand internal-sftp -R
Match LocalPort $((port + 2))
  # The shim starts through the login shell: a top-level bash would first run root's ~/.bashrc,
  # which on some machines takes a second or more and, under load, outlasts the client's wait.
  SetEnv SHLVL=1
  ForceCommand /usr/bin/python3 $here/sftp_shim.py $dir/shim_mode
CONF
  rm -f "$dir/sshd.pid"
  : >"$dir/sshd.log"
  "$sshd" -t -f "$dir/sshd_config"
  "$sshd" -f "$dir/sshd_config" -E "$dir/sshd.log"
  for _ in $(seq 100); do
    [[ -s $dir/sshd.pid ]] && [[ $(grep -c 'Server listening' "$dir/sshd.log") -ge 3 ]] && break
    sleep 0.05
  done
  if [[ -s $dir/sshd.pid ]] && [[ $(grep -c 'Server listening' "$dir/sshd.log") -ge 3 ]]; then
    echo "port=$port pid=$(cat "$dir/sshd.pid")"
    exit 0
  fi
  # another test took one of the ports meanwhile
  if [[ -s $dir/sshd.pid ]]; then kill "$(cat "$dir/sshd.pid")" 2>/dev/null || true; fi
done
cat "$dir/sshd.log" >&2
exit 1
