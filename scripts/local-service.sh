# Shared by the scripts that run a real server of our own on a loopback port (tinyproxy.sh, nginx.sh):
# sourced, not run.

# A loopback port that nothing listens on right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Stops the server whose pid DIR/pid holds: TERM, up to 5 s for it to end, then KILL.
stop_service() {
  local dir=$1 pid
  [ -s "$dir/pid" ] || return 0
  pid=$(cat "$dir/pid")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$dir/pid"
}

# Waits up to 5 s for the server started as PID (already in DIR/pid) to accept connections on PORT.
# Success: 0. When it ends or never listens, it is stopped and DIR/pid removed: 1 (the caller may try
# another port).
await_listening() {
  local dir=$1 pid=$2 port=$3
  for _ in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || break
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  rm -f "$dir/pid"
  return 1
}
