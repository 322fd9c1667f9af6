#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or $BUILD_DIR). Extra arguments go to
# the CMake configure step.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"${JOBS:-2}"
