#!/usr/bin/env bash
# Runs the end-to-end suite, the command-line demo and the commands that name an organisation and a VDC
# (as System and as a tenant) against the simulator playing a server of each API version line the wrapper
# supports: the simulator offers the versions up to that line and nothing newer, and the wrapper must
# negotiate exactly that line. Uses an existing build (default build/; give another as the first argument).
# Lines: $VERSION_LINES (default "32.0 33.0 35.0 36.0 37.2 38.0 39.0 39.1"). A 39.x line plays a cloud of
# 10.6 that offers only 39.x; the wrapper's newest line is 39.0, which it negotiates there.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD_DIR:-$root/build}}
tool=$build/bin/vcloud-bridge
e2e=$build/bin/e2e_test
simexe=$build/sim/vcdsim.exe
for f in "$tool" "$e2e" "$simexe"; do
  [ -e "$f" ] || { echo "version-matrix: $f is missing; build first (bash scripts/build.sh)"; exit 2; }
done
lines=${VERSION_LINES:-"32.0 33.0 35.0 36.0 37.2 38.0 39.0 39.1"}
# Every version a server of the newest line would offer; older ones are marked deprecated, as servers do.
all="29.0 30.0 31.0 32.0 33.0 34.0 35.0 36.0 36.3 37.0 37.1 37.2 38.0 39.0 39.1"
wrapper_newest=39.0
work=$(mktemp -d)
simpid=""
# The tool's simulator ends its simulated cloud when it is told to stop.
stop_sim() {
  [ -n "$simpid" ] && { kill "$simpid"; wait "$simpid"; } 2>/dev/null
  simpid=""
}
cleanup() {
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT
failed=0

fail() {
  failed=$((failed + 1))
  echo "FAIL [$line]: $1"
  [ -n "${2:-}" ] && sed 's/^/    /' "$2" | head -15
}

# versions_up_to LINE: the simulator's --api-versions for a server whose newest line is LINE.
versions_up_to() {
  local out="" v
  # A 39.x cloud offers 39.x only, none of them deprecated: --api-versions 39.0,39.1.
  case "$1" in
  39.0) echo "39.0"; return ;;
  39.1) echo "39.0,39.1"; return ;;
  esac
  for v in $all; do
    if awk -v a="$v" -v b="$1" 'BEGIN { exit !(a + 0 < b + 0) }'; then out="$out${v}D,"
    elif [ "$v" = "$1" ]; then out="$out$v"
    fi
  done
  echo "$out"
}

# cli WHO ARGS...: runs the tool against the simulator as WHO (admin or tenant); output in $work/out.
cli() {
  local who=$1; shift
  local cred=(--user administrator@System --password-file "$work/admin.pw")
  [ "$who" = tenant ] && cred=(--user alice@Acme --password-file "$work/alice.pw")
  "$tool" --server "$url" --allow-http "${cred[@]}" --option taskPollInterval=50ms "$@" >"$work/out" 2>&1 </dev/null
}

expect() {  # expect TEXT DESCRIPTION: the last command succeeded and printed TEXT
  local rc=$?
  if [ $rc -ne 0 ]; then fail "$2: exit status $rc" "$work/out"
  elif ! grep -qF -- "$1" "$work/out"; then fail "$2: output lacks '$1'" "$work/out"
  fi
}

printf 'vmware1!\n' >"$work/admin.pw"
printf 'alice1!\n' >"$work/alice.pw"
chmod 600 "$work"/*.pw
start=$SECONDS
for line in $lines; do
  t0=$SECONDS
  versions=$(versions_up_to "$line")
  expected=$line
  awk -v a="$line" -v b="$wrapper_newest" 'BEGIN { exit !(a + 0 > b + 0) }' && expected=$wrapper_newest
  export VCDSIM_API_VERSIONS=$versions

  # The end-to-end suite: every operation through the bridge (it starts simulators of its own).
  if ! XQ_HOME=$build/home "$e2e" --gtest_brief=1 >"$work/e2e.out" 2>&1; then
    grep -E "FAILED|Failure" "$work/e2e.out" >"$work/e2e.fail"
    fail "end-to-end suite" "$work/e2e.fail"
  fi
  # The demo against the built-in simulated cloud.
  if ! "$tool" demo >"$work/demo.out" 2>&1 </dev/null; then fail "demo" "$work/demo.out"
  elif ! grep -qF "Done: 9 steps" "$work/demo.out"; then fail "demo did not finish its steps" "$work/demo.out"
  fi

  # One simulator for the commands below.
  "$tool" --quiet sim -- --task-ms 20 >"$work/sim.out" 2>&1 </dev/null &
  simpid=$!
  url=""
  for _ in $(seq 1 600); do
    url=$(grep -m1 '^http://' "$work/sim.out")
    [ -n "$url" ] && break
    sleep 0.1
  done
  if [ -z "$url" ]; then fail "the simulator did not start" "$work/sim.out"; stop_sim; continue; fi

  cli admin --log "$work/wrapper.log" --debug-level 1 login
  expect "Logged in" "login"
  grep -qF "(API $expected," "$work/wrapper.log" || fail "the wrapper did not negotiate $expected" "$work/wrapper.log"
  for who in admin tenant; do
    cli "$who" vdcs Acme; expect "Acme-Silver" "$who: vdcs Acme"
    cli "$who" vapps Acme Acme-Gold; expect "web-tier" "$who: vapps Acme Acme-Gold"
    cli "$who" vm-info Acme Acme-Gold web-01; expect "Power:" "$who: vm-info"
    cli "$who" storage-profiles Acme Acme-Silver; expect "Gold" "$who: storage-profiles"
    cli "$who" find-vm Acme Acme-Gold web-01; expect "Found VM 'web-01'" "$who: find-vm"
    cli "$who" vm-users Acme Acme-Gold web-01; expect "alice" "$who: vm-users"
    cli "$who" users Acme; expect "carol" "$who: users Acme"
    cli "$who" tree --from org Acme; expect "Acme-Silver (vdc)" "$who: tree --from org Acme"
    cli "$who" networks Acme Acme-Gold web-tier; expect "acme-web" "$who: networks"
    cli "$who" vms vdc Acme-Silver; expect "dev-01" "$who: vms vdc Acme-Silver"
    cli "$who" power-on Acme Acme-Gold web-03; expect "powered on" "$who: power-on"
  done
  cli admin restore Acme Acme-Gold web-tier "matrix-$line" --vcenter vc-east --moref vm-880001
  expect "matrix-$line" "admin: restore"
  cli admin delete-vm Acme Acme-Gold web-tier "matrix-$line" --yes; expect "matrix-$line" "admin: delete-vm"
  stop_sim
  echo "API $line ($versions): $((SECONDS - t0)) s"
done
echo "version matrix: ${failed} failures, $((SECONDS - start)) s"
[ "$failed" -eq 0 ]
