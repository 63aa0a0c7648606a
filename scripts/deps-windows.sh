#!/usr/bin/env bash
# Installs what the Windows stage needs, when it is missing: the MinGW-w64 cross compiler,
# widl (mingw-w64-tools), Wine to run the smoke suite, and libwine-dev for oaidl.idl.
set -euo pipefail
pkgs=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 libwine-dev)
bash "$(dirname "$0")/install-missing.sh" "${pkgs[@]}"
