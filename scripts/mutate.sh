#!/usr/bin/env bash
# Mutation testing of the station core (tools/mutate.py): seeded mutants of every core
# source file (app, commands, config, housekeeping, link, modem, status, transfer), each
# built in a private copy of this checkout under /tmp/mut-* and run against the unit
# tests, then, when they leave it alive, against the end-to-end suites of its folder.
#
#   scripts/mutate.sh             the whole sample: 2 mutants of every core file, seed 1
#                                 (about an hour on a shared 2-core machine)
#   scripts/mutate.sh --ci        a small fixed sample: 1 mutant of each of 4 files drawn by
#                                 seed $MUTATE_SEED (1 unless set); fails below a score of 95 %
#   scripts/mutate.sh [--ci] OPTIONS   any option of the tool, after the defaults, e.g.
#                                 --seed 7 --per-file 5 --files transfer link/send_queue.cc
#                                 --list (show the sample, run nothing)
#
# Survivors are written as patches into build/mutants/ (or --out DIR); mutants judged
# equivalent are listed in tests/equivalent-mutants.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
# Nothing run from here may move this machine's clock (tests run as root).
export VELMORA_CLOCK_OFFSET=1
scripts/deps.sh
command -v python3 >/dev/null || { echo "mutate.sh: python3 is needed" >&2; exit 1; }

if [ "${1:-}" = "--ci" ]; then
  shift
  # The e2e suites are not run without a mutant first (CI runs them anyway), and the run
  # stops as soon as the score can no longer reach the target.
  # After the test command (as in CI) the mutants are built in its build directory
  # instead of a fresh copy.
  inplace=()
  [ -x build/bin/unit_tests ] && [ -x build/bin/e2e_tests ] && inplace=(--in-place build)
  exec python3 tools/mutate.py --seed "${MUTATE_SEED:-1}" --pick-files 4 --per-file 1 \
    --min-score 95 --no-e2e-baseline --stop-below "${inplace[@]}" "$@"
fi
exec python3 tools/mutate.py --seed 1 --per-file 2 "$@"
