#!/usr/bin/env bash
# Builds everything and runs the whole test suite (unit and end-to-end tests), then
# replays and briefly runs the fuzz targets under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
# Nothing run from here may move this machine's clock (tests run as root).
export VELMORA_CLOCK_OFFSET=1
scripts/build.sh
ctest --test-dir build -j"$(nproc)" --output-on-failure --timeout 300
scripts/verify-install.sh
scripts/fuzz.sh 10
