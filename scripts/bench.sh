#!/usr/bin/env bash
# Builds the station and its benchmarks (Release with debug info, in build/ or $BUILD_DIR)
# and runs them all, each printing its figures and, where there is one, the ratio to its
# floor measured in the same run:
#   frame_bench          CRC-32, frame cutting, the send queue and one acknowledgement's
#                        work inside the station (Google Benchmark)
#   vol_transfer_bench   one 894,000-byte violation file end to end, against velmora-mgrpc
#                        and against the benchmark's own minimal Manager PC, on all cores
#                        and then with the station, the peer and the floor's ping-pong
#                        pinned to one core; BENCH_FIFO=1 runs it in the real-time class
#                        (root), for a machine that others load
#   command_bench        command 59 in, short status report out
#   idle_bench           CPU time, context switches and memory of an idle, connected station
#   drain_bench          a backlog of violation files of 50-300 kB drained with and without
#                        SEND_NEXT_AT_ONCE (1,000 files and 20 at the tick's pace; --quick:
#                        100 and 3)
#
#   scripts/bench.sh            about 4 minutes (the file transfers wait for the 10 s tick)
#   scripts/bench.sh --quick    about 40 s: one run per peer at time scale 10, idle for 10 s
set -euo pipefail
cd "$(dirname "$0")/.."
# Nothing run from here may move this machine's clock (tests run as root).
export VELMORA_CLOCK_OFFSET=1
quick=0
[ "${1:-}" = "--quick" ] && quick=1
build="${BUILD_DIR:-build}"
scripts/deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORA_BENCH=ON >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target velmora velmora-mgrpc harwent-sim \
  frame_bench vol_transfer_bench command_bench idle_bench drain_bench
bin="$(cd "$build/bin" && pwd)"

if [ "$quick" = 1 ]; then
  runs=1 scale=10 count=300 idle=10 mintime=0.1 files=100 tickfiles=3
else
  runs=3 scale=1 count=1000 idle="${IDLE_SECONDS:-60}" mintime=0.5 files=1000 tickfiles=20
fi
echo "== $(nproc) cores, $(uname -sr), load average $(cut -d' ' -f1-3 /proc/loadavg)"

# The station benchmarks of frame_bench use a station root: a fresh empty one.
root="$(mktemp -d /tmp/velmora-bench-root-XXXXXX)"
trap 'rm -rf "$root"' EXIT
echo "== frame_bench"
(cd "$root" && VELMORA_ROOT="$root" "$bin/frame_bench" --benchmark_min_time="$mintime")
echo "== vol_transfer_bench"
fifo=()
[ "${BENCH_FIFO:-0}" = 1 ] && fifo=(--fifo)
"$bin/vol_transfer_bench" --runs "$runs" --time-scale "$scale" "${fifo[@]}"
echo "== command_bench"
"$bin/command_bench" --count "$count" --time-scale "$scale"
echo "== idle_bench"
"$bin/idle_bench" --seconds "$idle"
echo "== drain_bench"
"$bin/drain_bench" --files "$files" --tick-files "$tickfiles"
