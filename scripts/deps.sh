#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, when run as root and
# something is missing. Without root it only reports what is missing.
set -euo pipefail
PKGS=(cmake g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libncurses-dev
      clang lld libclang-rt-14-dev)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "missing Debian packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
