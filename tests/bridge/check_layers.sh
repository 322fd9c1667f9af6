#!/usr/bin/env bash
# Checks that the library's layers include only downward: records/ includes none of our folders,
# runtime/ none above it, convert/ nothing from bridge/.
set -u
src=$1
fail=0
headers_of() { (cd "$src/$1" && ls ./*.h 2>/dev/null | sed 's|^\./||'); }
check() {  # folder, then the folders it must not include from
  local dir=$1; shift
  for above in "$@"; do
    for h in $(headers_of "$above"); do
      hits=$(grep -lE "#include \"$h\"" "$src/$dir"/*.h "$src/$dir"/*.cpp 2>/dev/null)
      [ -z "$hits" ] || { echo "$dir/ includes $above/$h:" $hits; fail=1; }
    done
  done
}
check records runtime convert bridge
check runtime convert bridge
check convert bridge
[ $fail -eq 0 ] && echo "layers: ok"
exit $fail
