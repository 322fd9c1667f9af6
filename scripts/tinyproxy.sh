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
cmd=${1:?usage: tinyproxy.sh start|stop DIR [--refuse-connect]}
dir=${2:?usage: tinyproxy.sh start|stop DIR [--refuse-connect]}
case "$cmd" in
stop)
  if [ -s "$dir/pid" ]; then
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/pid"
  fi
  exit 0
  ;;
start) ;;
*) echo "tinyproxy.sh: unknown command $cmd" >&2; exit 2 ;;
esac
command -v tinyproxy >/dev/null || { echo "tinyproxy.sh: tinyproxy is not installed (bash scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$dir"
for attempt in $(seq 1 10); do
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
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
  for _ in $(seq 1 50); do
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      echo "http://127.0.0.1:$port"
      exit 0
    fi
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  rm -f "$dir/pid"
done
echo "tinyproxy.sh: tinyproxy did not start:" >&2
cat "$dir/stderr" "$dir/tinyproxy.log" >&2 || true
exit 1
