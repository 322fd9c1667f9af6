#!/usr/bin/env bash
# An nginx of our own that terminates TLS on a loopback port and passes every request on to a plain http
# server (the simulator), as a cloud's load balancer does; its configuration, pid, logs and temporary files
# are in DIR; never the system's nginx service.
#   nginx.sh start DIR --upstream URL --cert FILE --key FILE [--port N] [--protocols "TLSv1.2 TLSv1.3"]
#                       starts it and prints its URL (https://127.0.0.1:PORT)
#                       --cert FILE: the server certificate, then any intermediates, as nginx sends them
#                       --port N: this port (e.g. one a simulator's --public-url already names); default a free one
#                       --protocols: nginx's ssl_protocols (default "TLSv1.2 TLSv1.3")
#                       --gzip: compress every answer (nginx then sends it in chunks)
#                       --keepalive-requests N: close each connection after its Nth request (nginx's keepalive_requests)
#   nginx.sh stop DIR   stops the one started in DIR
# Its logs are DIR/access.log (one line per request, with the TLS version) and DIR/error.log.
set -euo pipefail
. "$(dirname "$0")/local-service.sh"
usage="usage: nginx.sh start DIR --upstream URL --cert FILE --key FILE [--port N] [--protocols LIST] [--gzip] [--keepalive-requests N] | nginx.sh stop DIR"
cmd=${1:?$usage}
dir=${2:?$usage}
case "$cmd" in
stop)
  stop_service "$dir"
  exit 0
  ;;
start) ;;
*) echo "nginx.sh: unknown command $cmd" >&2; exit 2 ;;
esac
shift 2
upstream="" cert="" key="" port="" protocols="TLSv1.2 TLSv1.3" gzip=off keepalive=1000
while [ $# -gt 0 ]; do
  case "$1" in
    --upstream) upstream=$2; shift 2 ;;
    --cert) cert=$(realpath "$2"); shift 2 ;;
    --key) key=$(realpath "$2"); shift 2 ;;
    --port) port=$2; shift 2 ;;
    --protocols) protocols=$2; shift 2 ;;
    --gzip) gzip=on; shift ;;
    --keepalive-requests) keepalive=$2; shift 2 ;;
    *) echo "nginx.sh: unknown option $1" >&2; echo "$usage" >&2; exit 2 ;;
  esac
done
[ -n "$upstream" ] && [ -n "$cert" ] && [ -n "$key" ] || { echo "$usage" >&2; exit 2; }
command -v nginx >/dev/null || { echo "nginx.sh: nginx is not installed (bash scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$dir/tmp"
dir=$(realpath "$dir")
tries=10
[ -n "$port" ] && tries=1
for attempt in $(seq 1 "$tries"); do
  [ "$tries" = 1 ] || port=$(free_port)
  # One process (no master, no workers that change user), in the foreground, so that the pid we hold is
  # nginx's own and it can write its files in DIR.
  cat >"$dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log info;
events { worker_connections 256; }
http {
  log_format tls '\$remote_addr "\$request" \$status \$ssl_protocol gzip=\$gzip_ratio';
  gzip $gzip;
  gzip_types *;
  keepalive_requests $keepalive;
  access_log $dir/access.log tls;
  client_body_temp_path $dir/tmp/body;
  proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi;
  uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  server {
    listen 127.0.0.1:$port ssl;
    ssl_certificate $cert;
    ssl_certificate_key $key;
    ssl_protocols $protocols;
    location / {
      proxy_pass $upstream;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_read_timeout 120s;
    }
  }
}
CONF
  : >"$dir/access.log"
  nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" >"$dir/stderr" 2>&1 &
  pid=$!
  echo "$pid" >"$dir/pid"
  if await_listening "$dir" "$pid" "$port"; then
    echo "https://127.0.0.1:$port"
    exit 0
  fi
done
echo "nginx.sh: nginx did not start:" >&2
cat "$dir/stderr" "$dir/error.log" >&2 || true
exit 1
