#!/usr/bin/env bash
# A tinyproxy of our own on a free loopback port, with its configuration, log and pid file in DIR; never
# the system's tinyproxy service.
#   tinyproxy.sh start DIR [--refuse-connect | --basic-auth FILE]
#                                               starts it and prints its URL (http://127.0.0.1:PORT)
#                                               --refuse-connect: CONNECT only to port 443, so a tunnel to
#                                               any other port is refused
#                                               --basic-auth FILE: asks for the user:password on FILE's
#                                               first line (the config file holds it, mode 600)
#   tinyproxy.sh stop DIR                       stops the one started in DIR
# Its log is DIR/tinyproxy.log (LogLevel Info: one line per request, CONNECT included).
set -euo pipefail
. "$(dirname "$0")/local-service.sh"
cmd=${1:?usage: tinyproxy.sh start|stop DIR [--refuse-connect]}
dir=${2:?usage: tinyproxy.sh start|stop DIR [--refuse-connect]}
case "$cmd" in
stop)
  stop_service "$dir"
  exit 0
  ;;
start) ;;
*) echo "tinyproxy.sh: unknown command $cmd" >&2; exit 2 ;;
esac
command -v tinyproxy >/dev/null || { echo "tinyproxy.sh: tinyproxy is not installed (bash scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$dir"
for attempt in $(seq 1 10); do
  port=$(free_port)
  {
    echo "Port $port"
    echo "Listen 127.0.0.1"
    echo "Timeout 30"
    echo "MaxClients 50"
    echo "Allow 127.0.0.1"
    echo "LogFile \"$dir/tinyproxy.log\""
    echo "LogLevel Info"
    echo "DisableViaHeader Yes"
    [ "${3:-}" = "--refuse-connect" ] && echo "ConnectPort 443"
    if [ "${3:-}" = "--basic-auth" ]; then
      IFS=: read -r user pass <"${4:?--basic-auth needs a FILE}"
      echo "BasicAuth $user $pass"
    fi
  } >"$dir/tinyproxy.conf"
  chmod 600 "$dir/tinyproxy.conf"
  : >"$dir/tinyproxy.log"
  # -d: in the foreground, so that the pid we hold is tinyproxy's own.
  tinyproxy -d -c "$dir/tinyproxy.conf" >"$dir/stderr" 2>&1 &
  pid=$!
  echo "$pid" >"$dir/pid"
  if await_listening "$dir" "$pid" "$port"; then
    echo "http://127.0.0.1:$port"
    exit 0
  fi
done
echo "tinyproxy.sh: tinyproxy did not start:" >&2
cat "$dir/stderr" "$dir/tinyproxy.log" >&2 || true
exit 1
