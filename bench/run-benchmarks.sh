#!/usr/bin/env bash
# Runs the built benchmark programs and writes bench/results/: each program's JSON, report.md and the
# plot of every figure's ratio against its baseline. Builds nothing: build first (cmake --build BUILD).
# What it needs beyond the build (the Python walker's requests and lxml, perf, Mono's log profiler,
# gnuplot) it installs first through scripts/install-deps.sh --bench; without them (no root, no network)
# it runs on and leaves out what they measure. It took 13 minutes at a load average of 30 to 40 on 2 cores,
# and 3.5 minutes on a quiet machine.
#
#   bench/run-benchmarks.sh [BUILD_DIR]      BUILD_DIR defaults to ./build of the repository
#   RUNS=15 REPS=5 VMS=100000 RESULTS=bench/results   override the sample counts, list size, output folder
#   E2E_RUNS=3 GENERATE=10,10,100,10 LATENCY=0,50,100 K=4   the end-to-end VM list against the simulator:
#   runs per latency, the simulated cloud, the added latencies in ms, concurrent page fetches (E2E=0 skips it)
#   PROFILE=1   also profile the managed read path of the same list (bench/profile-vmlist.sh; needs mcs and
#               perf, skipped without them; the allocation profile also needs mprof-report)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="$(cd "${1:-$here/../build}" && pwd)"
results="${RESULTS:-$here/results}"
runs="${RUNS:-15}"
reps="${REPS:-5}"
vms="${VMS:-100000}"
e2e="${E2E:-1}"
bash "$here/../scripts/install-deps.sh" --bench || echo "could not install the benchmarks' packages: running without them" >&2

for program in bench_startup bench_calls bench_vmlist; do
  if [ ! -x "$build/bin/$program" ]; then
    echo "missing $build/bin/$program: build the project with VCB_BUILD_BENCHMARKS=ON first" >&2
    exit 1
  fi
done
if [ ! -f "$build/testhome/vCloudSDKWrapper.dll" ]; then
  echo "missing $build/testhome/vCloudSDKWrapper.dll: build the test double (target vcb_test_double)" >&2
  exit 1
fi
export XQ_HOME="$build/testhome"
build_type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)"
mkdir -p "$results"

json() { echo "--benchmark_out=$results/$1.json" --benchmark_out_format=json; }
"$build/bin/bench_startup" --runs="$runs" $(json startup)
"$build/bin/bench_calls" --benchmark_repetitions="$reps" --benchmark_display_aggregates_only=true $(json calls)
"$build/bin/bench_vmlist" --vms="$vms" --benchmark_repetitions=3 --benchmark_display_aggregates_only=true \
  $(json vmlist)
if [ "$e2e" != 0 ]; then
  if [ ! -x "$build/bin/bench_e2e" ] || [ ! -f "$build/home/vCloudSDKWrapper.dll" ]; then
    echo "missing $build/bin/bench_e2e or the wrapper in $build/home: build the whole project first" >&2
    exit 1
  fi
  XQ_HOME="$build/home" "$build/bin/bench_e2e" --runs="${E2E_RUNS:-3}" --generate="${GENERATE:-10,10,100,10}" \
    --latency="${LATENCY:-0,50,100}" --concurrency="${K:-4}" --walker="$here/walker.py" --out="$results/e2e.json" >/dev/null
else
  rm -f "$results/e2e.json"
fi

if [ "${PROFILE:-1}" != 0 ]; then
  if command -v mcs >/dev/null && command -v perf >/dev/null; then
    OUT="$results" GENERATE="${GENERATE:-10,10,100,10}" OPTIONS="allowHttp=true;queryConcurrency=${K:-4}" \
      bash "$here/profile-vmlist.sh" "$build"
  else
    echo "profile skipped: mcs or perf missing" >&2
  fi
fi

python3 "$here/report.py" "$results" "${build_type:-unknown}"
