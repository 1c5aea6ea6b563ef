#!/usr/bin/env bash
# Throwaway SMTP server on loopback for the mail tests (Debian's python3-aiosmtpd).
#   smtp_server.sh start DIR MODE [HOST] [PORT] [CERT]
#     MODE  starttls  STARTTLS offered, AUTH LOGIN only after it (port 587 style)
#           implicit  TLS from the first byte (port 465 style)
#           nostarttls  STARTTLS answered "502", AUTH LOGIN in clear text
#           inject    scripted: STARTTLS answered "220" plus a plain-text line, then TLS
#           endless   scripted: EHLO answered by continuation lines without end
#           terse     scripted: a three-line greeting, then bare three-digit replies, 502 to STARTTLS
#     HOST  address to listen on (default 127.0.0.1); PORT 0 (default) picks a free one
#     CERT  localhost (SAN DNS:localhost, IP:127.0.0.1 and IP:HOST) or other (DNS:other.invalid)
#   prints "port=P pid=N ca=DIR/ca.pem"; login mailuser/mailpass; mails land in DIR/mail/*.eml
#   smtp_server.sh stop DIR PID   stops the instance with that pid
# The test CA is made once per DIR; trust it with SSL_CERT_FILE=DIR/ca.pem.
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
  rm -f "$dir/smtp-$pid.pid"
  exit 0
fi

mode=${3:?MODE}
host=${4:-127.0.0.1}
port=${5:-0}
cert=${6:-localhost}

/usr/bin/python3 -c 'import aiosmtpd' 2>/dev/null || {
  echo "python3-aiosmtpd is missing (scripts/setup.sh installs it)" >&2
  exit 1
}

if [[ ! -f $dir/ca.pem ]]; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
    -subj "/CN=pellimoravin test CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
fi
if [[ $cert == other ]]; then
  san="DNS:other.invalid"
else
  san="DNS:localhost,IP:127.0.0.1"
  [[ $host != 127.0.0.1 ]] && san="$san,IP:$host"
fi
name="server-$cert-$host"
if [[ ! -f $dir/$name.pem ]]; then
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=$cert" \
    -keyout "$dir/$name.key" -out "$dir/$name.csr" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' "$san" \
    >"$dir/$name.ext"
  openssl x509 -req -in "$dir/$name.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -days 30 -extfile "$dir/$name.ext" -out "$dir/$name.pem" 2>/dev/null
fi

log=$(mktemp "$dir/smtp-start-XXXXXX")
/usr/bin/python3 "$here/smtp_test_server.py" --dir "$dir" --mode "$mode" --host "$host" \
  --port "$port" --cert "$dir/$name.pem" --key "$dir/$name.key" >"$log" 2>&1 &
pid=$!
echo "$pid" >"$dir/smtp-$pid.pid"
await_start "$pid" 300 grep -q '^listening ' "$log" || {
  cat "$log" >&2
  exit 1
}
bound=$(sed -n 's/^listening .* port=\([0-9]*\).*/\1/p' "$log")
echo "port=$bound pid=$pid ca=$dir/ca.pem"
