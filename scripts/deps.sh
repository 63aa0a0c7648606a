#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ libgtest-dev libgmock-dev python3 python3-aiosmtpd gcab cabextract)
# The package test: the maintainer scripts make a system user; systemd-analyze verifies the units.
pkgs+=(adduser systemd)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
# The Windows stage's packages (MinGW-w64, widl, Wine), unless that stage is skipped.
if [ "${VORN_SKIP_WINDOWS:-0}" != "1" ]; then
  bash "$(dirname "$0")/deps-windows.sh"
fi
