#!/usr/bin/env bash
# Starts the vCloud Director API simulator with the demo cloud (or any vcdsim options given).
# Looks for vcdsim.exe beside this script (installed layout), then in a build tree given by VCB_BUILD_DIR
# or the usual build folders of the source tree.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
exe=""
for cand in "$here/vcdsim.exe" "${VCB_BUILD_DIR:-/nonexistent}/sim/vcdsim.exe" "$here"/../build*/sim/vcdsim.exe; do
  if [ -f "$cand" ]; then exe="$cand"; break; fi
done
if [ -z "$exe" ]; then
  echo "run-sim.sh: vcdsim.exe not found; build the project (cmake --build <dir> --target vcdsim) or set VCB_BUILD_DIR" >&2
  exit 1
fi
exec mono "$exe" "$@"
