#!/usr/bin/env bash
# Runs one Windows program of the build under Wine; the emulator that CMake and ctest use
# for the Windows build. Usage: scripts/wine-run.sh WINEPREFIX PROGRAM.exe [ARGS...]
# The prefix is prepared on first use (scripts/wine-env.sh). The program's exit status
# is passed through.
set -euo pipefail

WINE_BIN_DIR=${WINE_BIN_DIR:-/usr/lib/wine}
export PATH="$WINE_BIN_DIR:$PATH"

if [[ $# -lt 2 ]]; then
  echo "usage: $0 WINEPREFIX PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
prefix=$1
shift
if [[ ! -f "$prefix/.velmora-ready" ]]; then
  "$(dirname "$0")/wine-env.sh" "$(dirname "$prefix")"
fi
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Without a wineserver of the prefix running, start one that stays a minute after the
# last program, with Wine's services detached from this program's output (they would keep
# a caller's pipe open); with one running (scripts/wine-env.sh) this costs nothing.
if wineserver -p60 2>/dev/null; then
  wine64 wineboot </dev/null >/dev/null 2>&1 || true
fi
exec wine64 "$@"
