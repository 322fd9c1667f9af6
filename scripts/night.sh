#!/usr/bin/env bash
# A backup night against the simulator in both modes (one bridge shared by the workers, then one bridge
# each), checked against the simulator's journal; writes OUT/night.md with plots when gnuplot is there.
#   night.sh [--duration SECONDS] [--seed N] [--out DIR] [--parallel] [-- VCB-NIGHT OPTIONS]
#     --duration   each mode's length (default 600)
#     --parallel   run both modes at once instead of one after the other
#     OUT          default bench/results (the committed report); CI passes a directory in build/
# Exit status 1 when either mode found a wrong answer, an unexplained failure, a hang, a session left open
# or more logins than ended sessions, or did not finish (a crash).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
duration=600 seed=1 out=$root/bench/results parallel=0
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --duration) duration=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --parallel) parallel=1; shift ;;
    --) shift; extra=("$@"); break ;;
    *) echo "night.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
night=$build/bin/vcb-night
[ -x "$night" ] || { echo "night.sh: $night is not built (cmake --build build --target vcb-night)" >&2; exit 2; }
mkdir -p "$out"
data=$out/night-data
mkdir -p "$data"

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
declare -A status
run() {  # mode
  local rc=0
  "$night" --duration "$duration" --seed "$seed" --mode "$1" --report "$data/$1.md" --data "$data" "${extra[@]}" \
    2> >(tee "$data/$1.log" >&2) || rc=$?
  echo "$rc" > "$data/$1.rc"
}
if [ "$parallel" = 1 ]; then
  run shared & p1=$!
  run per-thread & p2=$!
  wait "$p1" "$p2" || true
else
  run shared
  run per-thread
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

failed=0
for mode in shared per-thread; do
  rc=$(cat "$data/$mode.rc" 2>/dev/null || echo 99)
  status[$mode]=$rc
  [ "$rc" = 0 ] || failed=1
  # A run that ended by a signal, or without its report, crashed.
  [ -s "$data/$mode.md" ] || { echo "## Night, $mode mode: **crashed** (exit $rc), no report" > "$data/$mode.md"; failed=1; }
done

plots=()
if command -v gnuplot >/dev/null; then
  for mode in shared per-thread; do
    [ -s "$data/$mode-samples.tsv" ] || continue
    gnuplot <<EOF || true
set terminal pngcairo size 1000,900 noenhanced
set output '$out/night-$mode.png'
set multiplot layout 3,1 title 'Night, $mode mode (seed $seed, $duration s)'
set xlabel 'seconds'
set ylabel 'operations / s'
set key top left
plot '$data/$mode-rate.tsv' using 1:2 with steps title 'operations per second', \
     '$data/$mode-faults.tsv' using 1:(0):(\$2-\$1):(0) with vectors nohead lw 6 lc rgb '#cc3333' title 'fault windows'
set ylabel 'memory (MB)'
set y2label 'fds, threads'
set y2tics
set ytics nomirror
plot '$data/$mode-samples.tsv' using 1:2 with lines title 'resident memory (MB)', \
     '' using 1:7 with lines title 'runtime heap in use (MB)', \
     '' using 1:8 with lines title 'malloc in use (MB)', \
     '' using 1:3 axes x1y2 with lines title 'file descriptors', \
     '' using 1:4 axes x1y2 with lines title 'threads'
unset y2label
unset y2tics
set ytics mirror
set ylabel 'states'
plot '$data/$mode-samples.tsv' using 1:9 with lines title 'journal states the checker holds'
unset multiplot
EOF
    [ -s "$out/night-$mode.png" ] && plots+=("night-$mode.png")
  done
fi

{
  echo "# A backup night under fire"
  echo
  echo "\`bash scripts/night.sh --duration $duration --seed $seed$([ "$parallel" = 1 ] && echo ' --parallel')\`, started $started"
  echo "on $(nproc) cores; load average (1, 5, 15 min) $load_before at the start and $load_after at the end"
  echo "(the machine is shared with other builds). Exit status: shared ${status[shared]}, per-thread ${status[per-thread]}."
  echo
  cat "$data/shared.md"
  echo
  cat "$data/per-thread.md"
  for p in "${plots[@]}"; do
    echo
    echo "![${p%.png}]($p)"
  done
} > "$out/night.md"
echo "night.sh: report in $out/night.md" >&2
exit "$failed"
