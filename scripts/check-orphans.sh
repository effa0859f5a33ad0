#!/usr/bin/env bash
# Lists the processes that an end-to-end run left behind and exits 1 when there is any.
# A process belongs to a test root (default /tmp/velmora-e2e-, the harness's mkdtemp
# prefix; another prefix as the first argument) when its command line names a path under
# one (as Linux writes it, or as Wine writes it: Z:/tmp/... or Z:\tmp\...), it runs in one,
# or it inherited a root's VELMORA_ROOT, as every program does that a station starts (the
# dialer, the update receiver, also under Wine). Run it after the suites: other runs going
# on at the same time have their programs listed too. It only looks; it never kills.
set -uo pipefail
prefix="${1:-/tmp/velmora-e2e-}"
win="Z:${prefix//\//\\}"
found=0
for dir in /proc/[0-9]*; do
  pid=${dir#/proc/}
  cmd=$({ tr '\0' ' ' <"$dir/cmdline"; } 2>/dev/null) || continue
  [[ -z $cmd ]] && continue  # kernel threads and zombies
  cwd=$(readlink "$dir/cwd" 2>/dev/null)
  env=$({ tr '\0' '\n' <"$dir/environ"; } 2>/dev/null)
  if [[ $cmd == *"$prefix"* || $cmd == *"Z:$prefix"* || $cmd == *"$win"* ||
        $cwd == "$prefix"* || $env == *"VELMORA_ROOT=$prefix"* ||
        $env == *"VELMORA_ROOT=Z:$prefix"* ]]; then
    # This script and its subshells name the prefix themselves.
    ppid=$({ while read -r key value; do [[ $key == PPid: ]] && echo "$value"; done <"$dir/status"; } 2>/dev/null)
    [[ $pid == "$$" || $ppid == "$$" ]] && continue
    echo "left behind: pid $pid cwd ${cwd:-?}: $cmd"
    found=1
  fi
done
exit "$found"
