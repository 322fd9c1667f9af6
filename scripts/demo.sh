#!/usr/bin/env bash
# Main job: installs the Debian packages that are missing, builds into build/ (or $BUILD_DIR), and runs the
# command-line tool's demo against the built-in simulated cloud. Extra arguments go to the demo
# (e.g. --step to pause after each step, --ascii for terminals without box-drawing characters).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export BUILD_DIR=${BUILD_DIR:-$root/build}
bash "$root/scripts/build.sh"
exec "$BUILD_DIR/bin/vcloud-bridge" demo "$@"
