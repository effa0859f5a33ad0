#!/usr/bin/env bash
# Installs the station into a scratch directory and checks what an operator gets: the
# programs answer --version, the test bench is left out by default, the man pages and
# sample INI files are there, and the service unit passes `systemd-analyze verify` (when
# systemd-analyze is installed) with its program paths pointed into the scratch directory.
set -euo pipefail
cd "$(dirname "$0")/.."
dest=$(mktemp -d /tmp/velmora-install-XXXXXX)
trap 'rm -rf "$dest"' EXIT
DESTDIR="$dest" cmake --install build --prefix /usr/local >/dev/null
prefix="$dest/usr/local"
for prog in velmora velmoractl; do "$prefix/bin/$prog" --version; done
for prog in velmora-mgrpc harwent-sim sibling-stub modem-sim; do
  if [ -e "$prefix/bin/$prog" ]; then echo "$prog installed by default" >&2; exit 1; fi
done
test -f "$prefix/share/man/man8/velmora.8" && test -f "$prefix/share/man/man8/velmoractl.8"
test -f "$prefix/share/doc/velmora/examples/ConfigInfoSetup.ini"
unit="$prefix/lib/systemd/system/velmora.service"
test -f "$unit"
if command -v systemd-analyze >/dev/null; then
  sed -i "s|/usr/local/bin/|$prefix/bin/|g" "$unit"
  systemd-analyze verify --man=no "$unit"
  echo "velmora.service verified"
else
  echo "systemd-analyze not installed: unit not verified"
fi
