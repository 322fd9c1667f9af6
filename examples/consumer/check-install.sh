#!/usr/bin/env bash
# Checks what an agent's developer gets from an installed tree: the layout of the home directory, the
# installed tool (with its simulator), and the example consumer built outside the source tree, once
# through find_package and once through pkg-config, run against the installed simulator.
# usage: check-install.sh BUILD_DIR      install the build tree into a scratch prefix and check that
#        check-install.sh --prefix DIR   check what is installed under DIR already (/usr from the packages)
set -euo pipefail
prefix=""
if [ "${1:-}" = "--prefix" ]; then
  prefix=$2
else
  build=$(cd "$1" && pwd)
fi
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
toolpid=""
cleanup() {
  local status=$?
  if [ -n "$toolpid" ]; then
    kill -TERM "$toolpid" 2>/dev/null || true
    wait "$toolpid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A sanitizer build installs instrumented libraries; the consumer then needs the same instrumentation.
flags=""
if [ -z "$prefix" ]; then
  if grep -q '^VCB_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
    flags="-fsanitize=address,undefined -fno-omit-frame-pointer"
  fi
  prefix="$work/prefix"
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
fi
# The home directory is lib/vCloudSDKCppBridge or lib/<triplet>/vCloudSDKCppBridge.
home=$(dirname "$(find "$prefix/lib" -maxdepth 3 -name vCloudSDKWrapper.dll | head -1)")
for f in libvCloudSDKCppBridge.so libXqLib.so libWzUtils.so libXqMonoLib.so vCloudSDKWrapper.dll \
         vCloudSDKWrapper.config sim/vcdsim.exe; do
  [ -f "$home/$f" ] || fail "the home directory $home lacks $f"
done
[ -x "$prefix/bin/vcloud-bridge" ] || fail "no bin/vcloud-bridge"

# The installed tool finds its home directory and simulator from its own location, from anywhere.
out=$(cd / && env -u XQ_HOME "$prefix/bin/vcloud-bridge" --quiet vdcs Acme) || fail "installed vcloud-bridge vdcs Acme"
[ "$out" = $'Acme-Gold\nAcme-Silver' ] || fail "installed vcloud-bridge printed: $out"

# The consumer, built outside the source tree in both ways.
cmake -S "$here" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "configuring the consumer with find_package"; }
cmake --build "$work/cmake-build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "building the consumer"; }
pc=$(find "$prefix/lib" -maxdepth 3 -name vCloudSDKCppBridge.pc | head -1)
export PKG_CONFIG_PATH=$(dirname "$pc")
# shellcheck disable=SC2046,SC2086
c++ -std=c++17 -Wall -Wextra -Werror $flags -o "$work/consumer-pc" "$here/consumer.cpp" $(pkg-config --cflags --libs vCloudSDKCppBridge) ||
  fail "building the consumer with pkg-config"

# Both consumers against the installed simulator, started by the installed tool.
"$prefix/bin/vcloud-bridge" --quiet sim >"$work/url" 2>"$work/sim.err" </dev/null &
toolpid=$!
for _ in $(seq 1 600); do [ -s "$work/url" ] && break; sleep 0.1; done
url=$(head -1 "$work/url")
[ -n "$url" ] || { cat "$work/sim.err"; fail "the installed simulator did not start"; }
printf 'vmware1!\n' >"$work/pw"
for consumer in "$work/cmake-build/consumer" "$work/consumer-pc"; do
  out=$(env -u XQ_HOME "$consumer" "$url" administrator@System "$work/pw" allowHttp=true) || fail "$consumer: $out"
  grep -q "^version 10.5.1 build 23400185$" <<<"$out" || fail "$consumer printed: $out"
  grep -q "^organisation Acme$" <<<"$out" || fail "$consumer printed: $out"
done
echo "install: layout, installed tool and simulator, consumer via find_package and via pkg-config: ok"
