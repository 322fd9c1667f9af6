#!/usr/bin/env bash
# Installs a build tree into a temporary prefix and checks what an agent's developer gets: the layout of
# the home directory, the installed tool (with its simulator), and the example consumer built outside the
# source tree, once through find_package and once through pkg-config. With --deb, builds the Debian
# package instead and checks its dependencies and contents.
# usage: check-install.sh BUILD_DIR [--deb]
set -euo pipefail
build=$(cd "$1" && pwd)
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

if [ "${2:-}" = "--deb" ]; then
  (cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
  deb=$(ls "$work"/*.deb)
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "Depends: $depends"
  for dep in mono-runtime libmonosgen-2.0-1 libc6 libstdc++6; do
    grep -q "$dep" <<<"$depends" || fail "the package does not depend on $dep"
  done
  dpkg-deb -c "$deb" | awk '{print $6}' >"$work/contents"
  # The library directory depends on how the tree was configured (lib or lib/<triplet>).
  for f in ./usr/bin/vcloud-bridge ./usr/include/vCloudSDKCppBridge/vCloudSDKCppBridge.h ./usr/include/vCloudSDKCppBridge/VMInfoStructs.h \
           /vCloudSDKCppBridge/libvCloudSDKCppBridge.so /vCloudSDKCppBridge/libXqLib.so \
           /vCloudSDKCppBridge/libWzUtils.so /vCloudSDKCppBridge/libXqMonoLib.so \
           /vCloudSDKCppBridge/vCloudSDKWrapper.dll /vCloudSDKCppBridge/vCloudSDKWrapper.config \
           /vCloudSDKCppBridge/sim/vcdsim.exe /cmake/vCloudSDKCppBridge/vCloudSDKCppBridgeConfig.cmake \
           /pkgconfig/vCloudSDKCppBridge.pc; do
    grep -q -- "^\./usr/.*$f\$\|^$f\$" "$work/contents" || fail "the package lacks $f"
  done
  echo "deb: $(basename "$deb"), $(stat -c %s "$deb") bytes, $(grep -vc '/$' "$work/contents") files: ok"
  exit 0
fi

# A sanitizer build installs instrumented libraries; the consumer then needs the same instrumentation.
flags=""
if grep -q '^VCB_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  flags="-fsanitize=address,undefined -fno-omit-frame-pointer"
fi

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }
home="$prefix/lib/vCloudSDKCppBridge"
[ -d "$home" ] || home=$(dirname "$(find "$prefix" -name vCloudSDKWrapper.dll | head -1)")
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
pc=$(find "$prefix" -name vCloudSDKCppBridge.pc | head -1)
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
