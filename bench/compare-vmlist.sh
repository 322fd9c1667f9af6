#!/usr/bin/env bash
# Compares the managed read path of two builds of the wrapper side by side in one run: the whole VM list of
# one simulated cloud through bench/profile/ListDriver.cs, runs alternating between the two assemblies, and
# the medians of each one's CPU time (user + system of the whole process's list call) and their ratio,
# with the machine's load average before and after. Builds nothing but the driver.
#
#   bench/compare-vmlist.sh BEFORE.dll AFTER.dll [BUILD_DIR]
#   RUNS=5 GENERATE=10,10,100,10 OPTIONS="allowHttp=true;queryConcurrency=4"
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
[ $# -ge 2 ] || { sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
before="$(realpath "$1")"
after="$(realpath "$2")"
build="$(cd "${3:-$here/../build}" && pwd)"
runs="${RUNS:-5}"
options="${OPTIONS:-allowHttp=true;queryConcurrency=4}"
work="$(mktemp -d)"
sim_pid=""
cleanup() { if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true; fi; rm -rf "$work"; }
trap cleanup EXIT

for side in before after; do
  mkdir -p "$work/$side"
  cp "${!side}" "$work/$side/vCloudSDKWrapper.dll"
  mcs -nologo -out:"$work/$side/ListDriver.exe" -r:"$work/$side/vCloudSDKWrapper.dll" "$here/profile/ListDriver.cs"
done
"$build/bin/vcloud-bridge" --quiet sim -- --generate "${GENERATE:-10,10,100,10}" > "$work/sim.out" 2>/dev/null </dev/null &
sim_pid=$!
for _ in $(seq 600); do grep -q '^http://' "$work/sim.out" && break; sleep 0.1; done
url="$(sed -n 's|^\(http://[0-9.:]*\)/$|\1|p' "$work/sim.out")"
[ -n "$url" ] || { echo "the simulator did not start" >&2; exit 1; }
# One list per process; Mono 6.8 may abort while stopping its threads at exit, after the figures are out.
list() { (cd "$work/$1" && mono ListDriver.exe "$url" administrator@System 'vmware1!' "$options" 1 2>/dev/null || true) | sed -n 's/.* wall, \([0-9]*\) ms CPU/\1/p'; }
list before > /dev/null   # the simulator's first answer builds its sorted result
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for i in $(seq "$runs"); do
  echo "before $(list before)" >> "$work/cpu"
  echo "after $(list after)" >> "$work/cpu"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$work/cpu" <<'EOF'
import statistics, sys
cpu = {"before": [], "after": []}
for line in open(sys.argv[1]):
    side, _, ms = line.partition(" ")
    if ms.strip(): cpu[side].append(int(ms))
b, a = statistics.median(cpu["before"]), statistics.median(cpu["after"])
print("CPU of the list, ms: before %s, after %s" % (cpu["before"], cpu["after"]))
print("medians: before %d ms, after %d ms, after / before %.2f" % (b, a, a / b))
EOF
