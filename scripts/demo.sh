#!/usr/bin/env bash
# Installs what is missing, builds, and runs both servers in the foreground on a copy of the
# bundled demo data (build/demo-data). Ctrl-C stops them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)" --target VornAuth VornBOS vornadmin

data="$PWD/build/demo-data/"
if [ ! -f "$data/vorn.ini" ]; then
  mkdir -p "$data"
  cp -r demo/. "$data"
fi
mkdir -p "$data/Db" "$data/Cookie" "$data/olm"
grep -q '^\[Admin\]' "$data/vorn.ini" || printf '\n[Admin]\nListen=127.0.0.1:5192\n' >>"$data/vorn.ini"
# The token of the web console and the management API.
[ -s "$data/admin.token" ] || VORN_PATH="$data" build/bin/vornadmin token new >/dev/null
if [ -n "${VORN_BOS_IP:-}" ]; then
  sed -i "s/^BOS_IP=.*/BOS_IP=$VORN_BOS_IP/" "$data/vorn.ini"
fi

export VORN_PATH="$data"
build/bin/VornAuth &
auth=$!
build/bin/VornBOS &
bos=$!
trap 'kill -TERM $auth $bos 2>/dev/null; wait $auth $bos 2>/dev/null; echo; echo "Vorn stopped."' INT TERM
echo "Vorn is running: log in with an ICQ client at 127.0.0.1:5190 (user 1000, password alice)."
echo "Console: http://127.0.0.1:5192/ with the token $(cat "${data}admin.token")"
echo "Logs: ${data}VornAuth.*.log and ${data}VornBOS.*.log. Press Ctrl-C to stop."
wait $auth $bos || true
