#!/usr/bin/env bash
# Throwaway Apache mod_dav WebDAV server on loopback for the web-store tests (Debian's apache2).
#   webdav_server.sh start DIR [http|https]
#     Serves DIR/data with basic auth (davuser/davpass) on a free 127.0.0.1 port (picked again
#     when another process takes it first), under three paths of the same tree:
#       /dav/     plain: a folder URL without "/" is served as it is
#       /dav301/  a folder URL without "/" is answered with a redirect to the one with "/"
#       /davoc/   every PUT answer carries "X-OC-MTime: accepted" (the time is not kept)
#     Faults: a PUT of a name holding "refuse-500" is answered 500 everywhere; /busy/ answers
#     every request 503, /limited/ 429.
#     https: a certificate for 127.0.0.1 and localhost from a test CA made once per DIR.
#   prints "port=P pid=N root=DIR/data ca=DIR/ca.pem"
#   webdav_server.sh stop DIR   stops it
# As root Apache's workers run as www-data: DIR/data belongs to that user (files a test puts
# there itself need a chown before the server may change them).
set -euo pipefail
cmd=${1:?start|stop}
dir=${2:?DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

if [[ $cmd == stop ]]; then
  if [[ -s $dir/httpd.pid ]]; then
    pid=$(cat "$dir/httpd.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  fi
  exit 0
fi

scheme=${3:-http}
command -v apache2 >/dev/null || [[ -x /usr/sbin/apache2 ]] || {
  echo "apache2 is missing (scripts/setup.sh installs it)" >&2
  exit 1
}
export PATH=$PATH:/usr/sbin
M=/usr/lib/apache2/modules
user=davuser
pass=davpass
mkdir -p "$dir/data" "$dir/lock"
printf '%s:%s\n' "$user" "$(openssl passwd -apr1 "$pass")" >"$dir/htpasswd"
if [[ $(id -u) -eq 0 ]]; then
  run_user=www-data
  chown -R www-data: "$dir/data" "$dir/lock"
  # The workers must reach DIR from /.
  p=$dir
  while [[ $p != / ]]; do chmod o+x "$p"; p=$(dirname "$p"); done
else
  run_user=$(id -un)
fi

tls=""
if [[ $scheme == https ]]; then
  if [[ ! -f $dir/ca.pem ]]; then
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 \
      -subj "/CN=pellimoravin test CA" -keyout "$dir/ca.key" -out "$dir/ca.pem" 2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
      -keyout "$dir/server.key" -out "$dir/server.csr" 2>/dev/null
    printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
      >"$dir/server.ext"
    openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
      -CAcreateserial -days 30 -extfile "$dir/server.ext" -out "$dir/server.pem" 2>/dev/null
  fi
  tls="LoadModule ssl_module $M/mod_ssl.so
LoadModule socache_shmcb_module $M/mod_socache_shmcb.so
SSLEngine on
SSLCertificateFile $dir/server.pem
SSLCertificateKeyFile $dir/server.key"
fi

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

for attempt in 1 2 3 4 5; do
  port=$(free_port)
  rm -f "$dir/httpd.pid"
  cat >"$dir/httpd.conf" <<CONF
ServerName 127.0.0.1
Listen 127.0.0.1:$port
PidFile $dir/httpd.pid
ErrorLog $dir/error.log
LogLevel warn
LogFormat "%h %u \"%r\" %>s %b" common
CustomLog $dir/access.log common
DefaultRuntimeDir $dir
User $run_user
Group $(id -gn "$run_user")
LoadModule mpm_event_module $M/mod_mpm_event.so
LoadModule authn_core_module $M/mod_authn_core.so
LoadModule authn_file_module $M/mod_authn_file.so
LoadModule authz_core_module $M/mod_authz_core.so
LoadModule authz_user_module $M/mod_authz_user.so
LoadModule auth_basic_module $M/mod_auth_basic.so
LoadModule dav_module $M/mod_dav.so
LoadModule dav_fs_module $M/mod_dav_fs.so
LoadModule headers_module $M/mod_headers.so
LoadModule alias_module $M/mod_alias.so
LoadModule dir_module $M/mod_dir.so
LoadModule rewrite_module $M/mod_rewrite.so
$tls
KeepAlive On
MaxKeepAliveRequests 0
DavLockDB $dir/lock/davlock
Alias /dav301 $dir/data
Alias /davoc $dir/data
Alias /dav $dir/data
Alias /busy $dir/data
Alias /limited $dir/data
DirectorySlash Off
<Location /dav301>
  DirectorySlash On
</Location>
<Location /davoc>
  Header always set X-OC-MTime "accepted" "expr=%{REQUEST_METHOD} == 'PUT'"
</Location>
RewriteEngine On
RewriteCond %{REQUEST_METHOD} =PUT
RewriteRule refuse-500 - [R=500]
RewriteRule ^/busy(/|$) - [R=503]
RewriteRule ^/limited(/|$) - [R=429]
<Directory $dir/data>
  Dav On
  AuthType Basic
  AuthName "test"
  AuthUserFile $dir/htpasswd
  Require valid-user
  Options None
  AllowOverride None
</Directory>
<Location />
  LimitRequestBody 0
</Location>
CONF
  : >"$dir/error.log"
  if apache2 -f "$dir/httpd.conf" -k start 2>>"$dir/error.log"; then
    for _ in $(seq 100); do [[ -s $dir/httpd.pid ]] && break; sleep 0.05; done
    if [[ -s $dir/httpd.pid ]]; then
      echo "port=$port pid=$(cat "$dir/httpd.pid") root=$dir/data ca=$dir/ca.pem"
      exit 0
    fi
  fi
  grep -qi 'address already in use' "$dir/error.log" || break
done
cat "$dir/error.log" >&2
exit 1
