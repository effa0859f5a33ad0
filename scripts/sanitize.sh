#!/usr/bin/env bash
# Builds the station with clang under AddressSanitizer + UBSan and under ThreadSanitizer
# and runs the whole test suite in each (the programs the end-to-end tests start are the
# sanitized ones and stop at their first report; leaks are checked when each program ends,
# in tests and in the programs, which end through their own shutdown on SIGTERM).
set -euo pipefail
cd "$(dirname "$0")/.."
# Nothing run from here may move this machine's clock (tests run as root).
export VELMORA_CLOCK_OFFSET=1
for preset in asan tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
  echo "== $preset: built (${SECONDS}s)"
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --preset "$preset" -j"$(nproc)" --timeout 600
done
