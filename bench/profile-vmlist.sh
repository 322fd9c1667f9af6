#!/usr/bin/env bash
# Profiles the managed read path of a whole VM list (HTTP, XML reading, record building) without the native
# bridge: bench/profile/ListDriver.cs lists every VM of a simulated cloud through the wrapper alone, once
# under Mono's log profiler (allocations) and once under perf (CPU, with the JIT's symbol map). Builds
# nothing but the driver: build the project first. Needs mcs, mprof-report (mono-utils, libmono-profiler)
# and perf.
#
#   bench/profile-vmlist.sh [BUILD_DIR]     GENERATE=10,10,100,10 OPTIONS="allowHttp=true" OUT=bench/results
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
out="$(mkdir -p "${OUT:-$here/results}" && cd "${OUT:-$here/results}" && pwd)"
options="${OPTIONS:-allowHttp=true}"
work="$(mktemp -d)"
sim_pid=""
# The simulator ends on the signal: its status then says so, and is no failure of this script.
cleanup() { if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true; fi; rm -rf "$work"; }
trap cleanup EXIT

cp "$build/home/vCloudSDKWrapper.dll" "$work/"
mcs -nologo -out:"$work/ListDriver.exe" -r:"$work/vCloudSDKWrapper.dll" "$here/profile/ListDriver.cs"
"$build/bin/vcloud-bridge" --quiet sim -- --generate "${GENERATE:-10,10,100,10}" > "$work/sim.out" 2>/dev/null </dev/null &
sim_pid=$!
for _ in $(seq 600); do grep -q '^http://' "$work/sim.out" && break; sleep 0.1; done
url="$(sed -n 's|^\(http://[0-9.:]*\)/$|\1|p' "$work/sim.out")"
[ -n "$url" ] || { echo "the simulator did not start" >&2; exit 1; }
run=(ListDriver.exe "$url" administrator@System 'vmware1!' "$options" 1)
cd "$work"
mono "${run[@]}" > /dev/null 2>&1 || true   # the simulator's first answer builds its sorted result
if command -v mprof-report >/dev/null; then
{
  echo "# Allocations of one whole VM list (Mono log profiler)"
  # Mono 6.8 may abort while stopping its runtime threads at exit, after the list is done; the figures
  # stand, and the run goes on.
  mono --profile=log:alloc,nocalls,output="$work/alloc.mlpd" "${run[@]}" > "$work/driver.out" 2>&1 \
    || echo "(the profiled process ended with status $?: $(grep -m1 Assertion "$work/driver.out"))"
  head -1 "$work/driver.out"
  mprof-report --reports=alloc --maxframes=0 "$work/alloc.mlpd" | head -30 || true
} > "$out/profile-alloc.txt" 2>&1
else
  echo "allocation profile skipped: mprof-report (mono-utils) missing" >&2
fi
{
  echo "# CPU of one whole VM list (perf, by thread and object, then by symbol)"
  perf record -q -F 999 -g -o "$work/perf.data" mono --jitmap "${run[@]}" > "$work/driver.out" 2>&1 \
    || echo "(the profiled process ended with status $?: $(grep -m1 Assertion "$work/driver.out"))"
  head -1 "$work/driver.out"
  perf report -i "$work/perf.data" --no-children --sort comm,dso -g none 2>/dev/null | grep -v '^#' | grep -v '^$' | head -15 || true
  perf report -i "$work/perf.data" --no-children --sort sym -g none 2>/dev/null | grep -v '^#' | grep -v '^$' | head -40 || true
} > "$out/profile-cpu.txt" 2>&1
# The whole client process through the bridge (bench_e2e --run-list: Initialize, Connect, the list, its
# conversion into native records, Disconnect), where the records' fresh memory shows beside the read path.
if [ -x "$build/bin/bench_e2e" ]; then
{
  echo "# CPU of a whole client process listing every VM through the bridge (perf, by thread and object, then by symbol)"
  /usr/bin/time -f "%U s user, %S s system, %M KiB peak resident" -o "$work/time.txt" \
    env XQ_HOME="$build/home" perf record -q -F 999 -g -o "$work/process.data" "$build/bin/bench_e2e" --run-list "$url" "$options" > "$work/process.out" 2>&1 \
    || echo "(the profiled process ended with status $?)"
  echo "$(head -1 "$work/process.out") VMs; $(tail -1 "$work/time.txt") (perf running beside it)"
  perf report -i "$work/process.data" --no-children --sort comm,dso -g none 2>/dev/null | grep -v '^#' | grep -v '^$' | head -12 || true
  perf report -i "$work/process.data" --no-children --sort sym -g none 2>/dev/null | grep -v '^#' | grep -v '^$' | head -30 || true
} > "$out/profile-process.txt" 2>&1
fi
echo "wrote $out/profile-alloc.txt, $out/profile-cpu.txt and $out/profile-process.txt"
