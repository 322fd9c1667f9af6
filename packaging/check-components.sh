#!/usr/bin/env bash
# Checks the install components that the Debian packages are made of: each holds exactly its kind of
# files, together they hold everything that a plain install holds, every component has a package in
# debian/rules, and the Debian changelog carries the project's version.
# usage: check-components.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

files() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort); }

DESTDIR="$work/all" cmake --install "$build" --prefix /usr >/dev/null
files "$work/all" >"$work/all.list"

# The components that the install rules name, as CMake wrote them down.
components=$(grep -ho 'CMAKE_INSTALL_COMPONENT STREQUAL "[^"]*"' $(find "$build" -name cmake_install.cmake) |
  sed 's/.*"\(.*\)"/\1/' | sort -u)
[ "$components" = $'dev\nruntime\nsim\ntool' ] || fail "install components: $(echo $components)"

# What each component may hold (paths below /usr).
declare -A allowed=(
  [runtime]='^lib/([^/]+/)?vCloudSDKCppBridge/(lib[A-Za-z]+\.so|(vCloudSDKWrapper\.(dll|dll\.so|config)|vcbrecord\.exe)|framework-aot/mono/(4\.5|gac|aot-cache/amd64/[A-Za-z.]+\.dll\.so))$'
  [dev]='^(include/vCloudSDKCppBridge/[A-Za-z]+\.h|lib/([^/]+/)?(cmake/vCloudSDKCppBridge/[A-Za-z-]+\.cmake|pkgconfig/vCloudSDKCppBridge\.pc))$'
  [tool]='^(bin/vcloud-bridge|share/man/man1/vcloud-bridge\.1|share/bash-completion/completions/vcloud-bridge)$'
  [sim]='^lib/([^/]+/)?vCloudSDKCppBridge/sim/[^/]+$'
)
: >"$work/union.list"
for c in $components; do
  DESTDIR="$work/$c" cmake --install "$build" --prefix /usr --component "$c" >/dev/null
  files "$work/$c" | sed 's|^usr/||' >"$work/$c.list"
  [ -s "$work/$c.list" ] || fail "component $c installs nothing"
  stray=$(grep -Ev "${allowed[$c]}" "$work/$c.list" || true)
  [ -z "$stray" ] || fail "component $c holds files of another kind: $stray"
  sed 's|^|usr/|' "$work/$c.list" >>"$work/union.list"
done
sort -o "$work/union.list" "$work/union.list"
missing=$(comm -23 "$work/all.list" "$work/union.list")
[ -z "$missing" ] || fail "installed, but in no component: $missing"
dups=$(uniq -d "$work/union.list")
[ -z "$dups" ] || fail "in more than one component: $dups"

# The packages: one per component, named in debian/rules.
mapped=$(sed -n 's/^COMPONENTS = //p' "$src/packaging/debian/rules" | tr ' ' '\n' | sed 's/:.*//' | sort)
[ "$mapped" = "$components" ] || fail "debian/rules packages the components $(echo $mapped), CMake has $(echo $components)"
for pair in $(sed -n 's/^COMPONENTS = //p' "$src/packaging/debian/rules"); do
  grep -q "^Package: ${pair#*:}\$" "$src/packaging/debian/control" || fail "debian/control has no package ${pair#*:}"
done

# The changelog's version is the project's version.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
debian=$(sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p' "$src/packaging/debian/changelog")
[ "$debian" = "$version" ] || fail "debian/changelog is at $debian, the project at $version"

# The manual page, when built, is help2man's reading of the tool's help: with a synopsis.
if grep -q '^usr/share/man/man1/vcloud-bridge.1$' "$work/all.list"; then
  grep -q '^\.SH SYNOPSIS' "$work/all/usr/share/man/man1/vcloud-bridge.1" ||
    fail "the manual page has no synopsis (help2man reads it from the 'Usage:' line of --help)"
fi
for c in $components; do echo "$c: $(wc -l <"$work/$c.list") files"; done
echo "components: ok"
