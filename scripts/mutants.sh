#!/usr/bin/env bash
# Applies the one-line faults of scripts/mutants.list one at a time, rebuilds what changed, runs the tests
# and restores the file, then says which faults the suite caught (killed) and which it did not (MISSED).
# Each fault first meets the tests its entry names, stopping at the first failure; only when those pass does
# the whole suite run, so that "MISSED" always means missed by the whole suite.
#
#   bash scripts/mutants.sh [--list FILE] [--build DIR] [--only REGEX] [--quick] [--names]
#     --list FILE   the fault list (default: scripts/mutants.list)
#     --build DIR   the build tree to use (default: build; configured and built first when needed)
#     --only REGEX  only the entries whose name matches REGEX (grep -E), e.g. --only 'walk|retried'
#     --quick       only the entries' own tests: a fault they miss is reported as "missed by its tests"
#     --names       print the entries' names and stop
#   JOBS=N          parallel jobs for the build and the whole-suite run (default 2)
#
# Not part of CI: a full run takes tens of minutes. Exit status 0 when every fault was killed, 1 when a
# fault was missed, an entry is stale or a faulty build broke, 2 on a usage error.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
list=$root/scripts/mutants.list
build=$root/build
only=""
quick=0
names=0
jobs=${JOBS:-2}

while [ $# -gt 0 ]; do
  case "$1" in
    --list) list=$(realpath "$2"); shift 2 ;;
    --build) build=$(realpath -m "$2"); shift 2 ;;
    --only) only=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    --names) names=1; shift ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "mutants.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
[ -f "$list" ] || { echo "mutants.sh: no fault list at $list" >&2; exit 2; }

trim() { local s=$1; s=${s#"${s%%[![:space:]]*}"}; s=${s%"${s##*[![:space:]]}"}; printf '%s' "$s"; }

# ---- the list: parallel arrays, one element per entry ----
e_name=() e_tests=() e_file=() e_from=() e_to=()
add_entry() {
  [ -n "$n" ] || return 0
  if [ -z "$f" ] || [ -z "$fr" ] || [ -z "$t" ]; then
    echo "mutants.sh: entry '$n' needs file, from and to" >&2; exit 2
  fi
  e_name+=("$n"); e_tests+=("$ts"); e_file+=("$f"); e_from+=("$fr"); e_to+=("$t")
}
n="" ts="" f="" fr="" t=""
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in \#*) continue ;; esac
  key=${line%%[[:space:]]*}
  value=$(trim "${line#"$key"}")
  case "$key" in
    "") continue ;;
    name) add_entry; n=$value ts="" f="" fr="" t="" ;;
    tests) ts=$value ;;
    file) f=$value ;;
    from) fr=$value ;;
    to) t=$value ;;
    *) echo "mutants.sh: $list: unknown key '$key' in entry '$n'" >&2; exit 2 ;;
  esac
done <"$list"
add_entry

selected=()
for i in "${!e_name[@]}"; do
  if [ -z "$only" ] || printf '%s\n' "${e_name[$i]}" | grep -Eq -- "$only"; then selected+=("$i"); fi
done
if [ "$names" = 1 ]; then
  for i in "${selected[@]}"; do printf '%-45s %s\n' "${e_name[$i]}" "${e_file[$i]}"; done
  exit 0
fi
[ ${#selected[@]} -gt 0 ] || { echo "mutants.sh: no entry matches '$only'" >&2; exit 2; }

# ---- applying and restoring one fault ----
backup=$(mktemp)
applied=""     # the file that holds a fault right now
restore() {
  if [ -n "$applied" ]; then
    cp "$backup" "$root/$applied"
    applied=""
  fi
}
on_signal() {
  restore
  echo
  echo "mutants.sh: interrupted; the file is restored. $build may hold a faulty build: run scripts/build.sh before using it." >&2
  rm -f "$backup"
  exit 130
}
trap on_signal INT TERM
trap 'restore; rm -f "$backup"' EXIT

# Replaces the one line of $1 that reads $2 (blanks at both ends ignored) with $3, keeping its indentation.
# Sets fault_at to the line number, or to why not ("missing", "ambiguous") when the line is not there exactly
# once. Runs in this shell (never in $(...)), so that the trap knows which file to restore.
fault_at=""
apply_fault() {
  local file=$root/$1 from=$2 to=$3 k at=-1 hits=0
  fault_at="missing"
  [ -f "$file" ] || return 1
  local -a lines
  mapfile -t lines <"$file"
  for k in "${!lines[@]}"; do
    if [ "$(trim "${lines[$k]}")" = "$from" ]; then hits=$((hits + 1)); at=$k; fi
  done
  [ "$hits" -eq 1 ] || { [ "$hits" -gt 1 ] && fault_at="ambiguous ($hits lines)"; return 1; }
  cp "$file" "$backup"
  applied=$1
  local indent=${lines[$at]%%[![:space:]]*}
  lines[$at]="$indent$to"
  printf '%s\n' "${lines[@]}" >"$file"
  fault_at=$((at + 1))
}

build_tree() { cmake --build "$build" -j"$jobs" >"$1" 2>&1; }

# The first test that failed, from ctest's summary.
# CTest's summary line of a failed test ("  100 - night.checker (Failed)"), not a test's own output that
# happens to start with a number and a dash.
first_failed() { grep -E '^[[:space:]]*[0-9]+ - [^ ]+ \(' "$1" | head -1 | sed -E 's/^[[:space:]]*[0-9]+ - ([^ ]+).*/\1/'; }

# ---- the run ----
logs=$build/mutants
if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "configuring and building $build first"
  BUILD_DIR=$build bash "$root/scripts/build.sh" >/dev/null || { echo "mutants.sh: the build fails without any fault" >&2; exit 1; }
fi
mkdir -p "$logs"
echo "building the tree without faults"
build_tree "$logs/clean-build.log" || { echo "mutants.sh: the build fails without any fault (see $logs/clean-build.log)" >&2; exit 1; }

started=$(date +%s)
total=${#selected[@]}
killed=0 missed=0 stale=0 broken=0 count=0
missed_names=() stale_names=() broken_names=()
for i in "${selected[@]}"; do
  count=$((count + 1))
  name=${e_name[$i]}
  log=$logs/$name.log
  t0=$(date +%s)
  printf '[%2d/%d] %-45s ' "$count" "$total" "$name"
  if ! apply_fault "${e_file[$i]}" "${e_from[$i]}" "${e_to[$i]}"; then
    echo "stale: the original line is $fault_at in ${e_file[$i]}"
    stale=$((stale + 1)); stale_names+=("$name")
    continue
  fi
  {
    echo "fault $name: ${e_file[$i]}:$fault_at"
    echo "- ${e_from[$i]}"
    echo "+ ${e_to[$i]}"
  } >"$log"
  if ! build_tree "$log.build"; then
    restore
    echo "broken: the faulty code does not build (see $log.build)"
    broken=$((broken + 1)); broken_names+=("$name")
    continue
  fi
  verdict=""
  if [ -n "${e_tests[$i]}" ] && [ "$(cd "$build" && ctest -N -R "${e_tests[$i]}" | grep -c '^ *Test *#')" = 0 ]; then
    echo "note: the entry's tests '${e_tests[$i]}' match no test; the whole suite decides" >>"$log"
  elif [ -n "${e_tests[$i]}" ]; then
    (cd "$build" && ctest -R "${e_tests[$i]}" --stop-on-failure --timeout 300 --output-on-failure) >>"$log" 2>&1
    if [ $? -ne 0 ]; then verdict="killed by $(first_failed "$log")"; fi
  fi
  if [ -z "$verdict" ] && [ "$quick" = 0 ]; then
    exclude=()
    [ -n "${e_tests[$i]}" ] && exclude=(-E "${e_tests[$i]}")
    (cd "$build" && ctest "${exclude[@]}" -j"$jobs" --stop-on-failure --timeout 300 --output-on-failure) >>"$log" 2>&1
    if [ $? -ne 0 ]; then verdict="killed by $(first_failed "$log") (whole suite)"; fi
  fi
  restore
  secs=$(($(date +%s) - t0))
  if [ -n "$verdict" ]; then
    echo "$verdict (${secs} s)"
    killed=$((killed + 1))
  else
    if [ "$quick" = 1 ]; then echo "MISSED by its tests (${secs} s)"; else echo "MISSED by the whole suite (${secs} s)"; fi
    missed=$((missed + 1)); missed_names+=("$name")
  fi
done

echo "rebuilding the tree without faults"
build_tree "$logs/clean-build.log" || echo "mutants.sh: rebuilding without faults failed (see $logs/clean-build.log)" >&2
elapsed=$(($(date +%s) - started))
echo
printf '%d faults: %d killed, %d MISSED, %d stale, %d broken; %d min %d s (logs in %s)\n' \
  "$total" "$killed" "$missed" "$stale" "$broken" $((elapsed / 60)) $((elapsed % 60)) "$logs"
[ $missed -gt 0 ] && echo "MISSED: ${missed_names[*]}"
[ $stale -gt 0 ] && echo "stale (update the list): ${stale_names[*]}"
[ $broken -gt 0 ] && echo "broken (the faulty line does not compile): ${broken_names[*]}"
[ $((missed + stale + broken)) -eq 0 ]
