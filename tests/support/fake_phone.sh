#!/usr/bin/env bash
# A scripted phone for the device-link tests: its own client certificate and one exchange per call.
#   fake_phone.sh cert DIR NAME     makes DIR/NAME.key and DIR/NAME.crt (self-signed, EC P-256)
#                                   once; prints "fingerprint=F" (lower-case SHA-256 of the DER)
#   fake_phone.sh tls|raw|discover ARGS...   runs fake_phone.py with those arguments
set -euo pipefail
cmd=${1:?cert|tls|raw|discover}
here=$(cd "$(dirname "$0")" && pwd)

if [[ $cmd == cert ]]; then
  dir=${2:?DIR}
  name=${3:?NAME}
  mkdir -p "$dir"
  if [[ ! -f $dir/$name.crt ]]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
      -subj "/CN=$name" -keyout "$dir/$name.key" -out "$dir/$name.crt" 2>/dev/null
  fi
  fp=$(openssl x509 -in "$dir/$name.crt" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g' |
    tr 'A-F' 'a-f')
  echo "fingerprint=$fp"
  exit 0
fi
exec /usr/bin/python3 "$here/fake_phone.py" "$@"
