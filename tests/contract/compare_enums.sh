#!/usr/bin/env bash
# Compares the enumeration numbers and the templates bit of the native records header with the managed
# wrapper's. usage: compare_enums.sh <native program> <managed program.exe> <VMInfoStructs.h>
set -euo pipefail
native=$("$1" | sort)
managed=$(mono "$2" | sort)
header=$3
passed=0 failed=0
check() { if [ "$1" = ok ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $2"; fi; }

[ -n "$native" ] && check ok || check no "the native program printed no entries"
[ -n "$managed" ] && check ok || check no "the managed program printed no entries"
if [ "$native" = "$managed" ]; then check ok; else
  check no "native and managed definitions differ (< native, > managed):"
  diff <(echo "$native") <(echo "$managed") || true
fi
# Every enumerator the header declares must be among the native program's entries, so a member added to
# the header alone is caught as well.
for type in EInventoryType EFilterType; do
  declared=$(awk -v t="$type" '$0 ~ "^enum " t " " {on=1; next} on && /^};/ {on=0} on && /^ *e[A-Za-z]+ *=/ {n++} END {print n+0}' "$header")
  listed=$(grep -c "^$type\." <<<"$native" || true)
  if [ "$declared" -gt 0 ] && [ "$declared" = "$listed" ]; then check ok; else
    check no "$type: the header declares $declared enumerators, the comparison lists $listed"
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
