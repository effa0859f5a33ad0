#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UBSan) and runs each one
# for the given number of seconds (default 60) on its committed seed corpus.
# Longer runs: scripts/fuzz.sh 3600
set -euo pipefail
cd "$(dirname "$0")/.."
secs="${1:-60}"
ls fuzz/*_fuzz.cc >/dev/null 2>&1 || exit 0
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF \
  -DVELMORA_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j"$(nproc)"
# The targets keep their station root for the whole run and leave it when they exit: the
# roots go into a directory of this run's own, removed at the end.
roots=$(mktemp -d /tmp/velmora-fuzz-XXXXXX)
trap 'rm -rf "$roots"' EXIT
export TMPDIR="$roots"
for src in fuzz/*_fuzz.cc; do
  name=$(basename "$src" .cc)
  corpus="fuzz/corpus/${name%_fuzz}"
  work="build-fuzz/corpus-${name}"
  mkdir -p "$work"
  echo "== $name (${secs}s)"
  if ! "build-fuzz/bin/$name" -max_total_time="$secs" -print_final_stats=1 "$work" "$corpus" \
      >"$work.log" 2>&1; then
    tail -n 60 "$work.log"
    echo "fuzz target $name found a fault" >&2
    exit 1
  fi
  grep -E 'stat::number_of_executed_units|stat::average_exec_per_sec' "$work.log" || true
done
