#!/usr/bin/env bash
# The Wine set-up for running the Windows build on Linux. Usage:
#   scripts/wine-env.sh BUILD_DIR [COMMAND ARGS...]
# Prepares the Wine prefix BUILD_DIR/wineprefix once (no graphics driver: there is no X
# server; no debug channels), keeps one wineserver alive while COMMAND runs (so that every
# program started under Wine shares it instead of starting its own), runs COMMAND with
# WINEPREFIX and WINEDEBUG exported, then stops that wineserver. Without COMMAND it only
# prepares the prefix. Exits with COMMAND's status.
set -euo pipefail

WINE_BIN_DIR=${WINE_BIN_DIR:-/usr/lib/wine}
export PATH="$WINE_BIN_DIR:$PATH"

if [[ $# -lt 1 ]]; then
  echo "usage: $0 BUILD_DIR [COMMAND ARGS...]" >&2
  exit 2
fi
BUILD_DIR=$(cd "$1" && pwd)
shift
export WINEPREFIX="$BUILD_DIR/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"  # no Mono / Gecko prompts

# Creates the prefix under a lock, so that programs started at the same time by a
# parallel build wait for one set-up instead of each making its own.
prepare_prefix() {
  mkdir -p "$WINEPREFIX"
  exec 9>"$BUILD_DIR/.wineprefix.lock"
  flock 9
  if [[ ! -f "$WINEPREFIX/.velmora-ready" ]]; then
    wine64 wineboot --init >/dev/null 2>&1 || true
    wine64 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.velmora-ready"
  fi
  flock -u 9
  exec 9>&-
}

prepare_prefix
[[ $# -eq 0 ]] && exit 0

wineserver -p 2>/dev/null || true  # (one may be running already)
# Wine's own services start with the first program and inherit its output; started here
# with none, they cannot hold a pipe of a caller (ctest, $(...)) open after its program ended.
wine64 wineboot </dev/null >/dev/null 2>&1 || true
status=0
"$@" || status=$?
wineserver -k || true
exit "$status"
