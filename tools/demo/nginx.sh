#!/usr/bin/env bash
# Starts or stops the demo's HTTPS server: nginx from the system, as the current user, serving
# one folder on 127.0.0.1 with a certificate for localhost.
#   nginx.sh start <dir> <www> <cert-chain> <key>    prints the port; the access log is <dir>/access.log
#   nginx.sh stop <dir>
set -euo pipefail
cmd=$1; dir=$(mkdir -p "$2" && cd "$2" && pwd)
nginx=$(command -v nginx || echo /usr/sbin/nginx)
if [ "$cmd" = stop ]; then
  [ -f "$dir/nginx.pid" ] && kill "$(cat "$dir/nginx.pid")" 2>/dev/null || true
  rm -f "$dir/nginx.pid"
  exit 0
fi
www=$(cd "$3" && pwd); cert=$4; key=$5
# A free port on loopback, chosen by the kernel.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
mkdir -p "$dir/tmp"
cat >"$dir/nginx.conf" <<CONF
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  log_format demo '\$request_method \$uri \$status range="\$http_range" bytes=\$body_bytes_sent';
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  types { application/octet-stream bin dll exe; text/plain txt; }
  server {
    listen 127.0.0.1:$port ssl;
    server_name localhost;
    ssl_certificate $cert;
    ssl_certificate_key $key;
    ssl_protocols TLSv1.2 TLSv1.3;
    access_log $dir/access.log demo;
    root $www;
    # The payload comes at 1 MB/s, so that the main window shows the download in progress.
    location = /payload.bin { limit_rate 1m; }
  }
}
CONF
: >"$dir/access.log"
"$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" 2>>"$dir/error.log"
echo "$port"
