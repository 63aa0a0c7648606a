#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when they are missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ libgtest-dev libgmock-dev python3 python3-aiosmtpd gcab cabextract)
# The management API: HTTP server and client library, JSON library (pkg-config finds httplib).
pkgs+=(pkg-config libcpp-httplib-dev nlohmann-json3-dev)
# The web console's browser test: Debian's Chromium, and node with npm (for playwright-core).
# A node that came with its own npm (the nodesource build) conflicts with Debian's npm
# package, so node and npm are installed only when the commands are missing.
pkgs+=(chromium)
command -v node >/dev/null || pkgs+=(nodejs)
command -v npm >/dev/null || pkgs+=(npm)
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
