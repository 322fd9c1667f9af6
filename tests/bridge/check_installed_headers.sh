#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks that every class an installed header declares is
# either a header-only template or defined by an installed library: a consumer that uses a declared class
# must be able to link.
set -u
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "install failed"; exit 1; }
headers=$(find "$prefix" -path '*/include/*' -name '*.h')
[ -n "$headers" ] || { echo "no installed headers"; exit 1; }
symbols=$(find "$prefix" -name '*.so*' -type f -exec nm -DC --defined-only {} + 2>/dev/null)
fail=0
for header in $headers; do
  # "class [EXPORT] Name {" or "class [EXPORT] Name :" not preceded by a template line.
  names=$(awk '/^template/ { skip = 1; next }
               /^class / { if (!skip && match($0, /[A-Za-z_][A-Za-z0-9_]* *[:{]/)) {
                             n = substr($0, RSTART, RLENGTH); sub(/ *[:{]$/, "", n); print n } }
               { skip = 0 }' "$header")
  for name in $names; do
    grep -qF -- "$name::" <<<"$symbols" || { echo "$(basename "$header"): class $name is defined by no installed library"; fail=1; }
  done
done
[ $fail -eq 0 ] && echo "installed headers: every class is defined by an installed library"
exit $fail
