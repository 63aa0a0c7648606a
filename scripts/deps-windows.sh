#!/usr/bin/env bash
# Installs what the Windows stage needs, when it is missing: the MinGW-w64 cross compiler,
# widl (mingw-w64-tools), Wine to run the smoke suite, and libwine-dev for oaidl.idl.
set -euo pipefail
pkgs=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine wine64 libwine-dev)
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
