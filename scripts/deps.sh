#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ libgtest-dev libgmock-dev python3 python3-aiosmtpd gcab cabextract)
# The package test: the maintainer scripts make a system user; systemd-analyze verifies the units.
pkgs+=(adduser systemd)
# The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
pkgs+=(clang libclang-rt-dev)
# The power-loss test: an XFS image on a loop device, shut down with xfs_io.
pkgs+=(xfsprogs)
# The libpurple replay decodes its session with tshark's AIM dissector.
pkgs+=(tshark)
bash "$(dirname "$0")/install-missing.sh" "${pkgs[@]}"
# The Windows stage's packages (MinGW-w64, widl, Wine), unless that stage is skipped.
if [ "${VORN_SKIP_WINDOWS:-0}" != "1" ]; then
  bash "$(dirname "$0")/deps-windows.sh"
fi
