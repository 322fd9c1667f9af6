#!/usr/bin/env bash
# Builds and runs the full test suite. With --sanitize, builds into build-asan/ with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the suite there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--sanitize" ]; then
  export BUILD_DIR=${BUILD_DIR:-$root/build-asan}
  bash "$root/scripts/build.sh" -DVCB_SANITIZE=ON -DVCB_BUILD_BENCHMARKS=OFF
  # Mono's own allocations at exit are not ours to report; our code's leaks are (see the suppressions).
  export ASAN_OPTIONS=${ASAN_OPTIONS:-"detect_leaks=1:handle_segv=0:handle_sigbus=0:allow_user_segv_handler=1:use_sigaltstack=0:detect_stack_use_after_return=0"}
  export LSAN_OPTIONS=${LSAN_OPTIONS:-"suppressions=$root/scripts/lsan.supp:print_suppressions=0"}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-"print_stacktrace=1:halt_on_error=1"}
else
  export BUILD_DIR=${BUILD_DIR:-$root/build}
  bash "$root/scripts/build.sh"
fi
cd "$BUILD_DIR"
ctest --output-on-failure -j"${JOBS:-2}" --timeout 300
