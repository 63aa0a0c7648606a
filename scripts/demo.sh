#!/usr/bin/env bash
# Installs what the build needs (compiler, CMake, Ninja) when it is missing, builds the servers
# and the tools, and runs both servers in the foreground on a copy of the bundled demo data
# (build/demo-data). Ctrl-C stops them.
#   VORN_AUTH_PORT, VORN_BOS_PORT  listening ports (default 5190, 5191)
#   VORN_BOS_IP                    address handed to clients for VornBOS (default 127.0.0.1)
set -euo pipefail
cd "$(dirname "$0")/.."

auth_port=${VORN_AUTH_PORT:-5190}
bos_port=${VORN_BOS_PORT:-5191}
bos_ip=${VORN_BOS_IP:-127.0.0.1}
for p in "$auth_port" "$bos_port"; do
  [[ $p =~ ^[0-9]+$ ]] && [ "$p" -ge 1 ] && [ "$p" -le 65535 ] || { echo "demo: not a port: $p" >&2; exit 2; }
done
[ "$auth_port" != "$bos_port" ] || { echo "demo: VORN_AUTH_PORT and VORN_BOS_PORT are the same" >&2; exit 2; }

pkgs=(g++ cmake ninja-build)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "demo: missing packages: ${missing[*]}; install them (as root: apt-get install ${missing[*]})" >&2
    exit 1
  fi
  bash scripts/install-missing.sh "${pkgs[@]}"
fi

# A fresh build folder is configured without the test suite (which needs more packages);
# one that exists keeps its settings.
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_TESTS=OFF
fi
cmake --build build -j "$(nproc)" --target VornAuth VornBOS VornCmd vornadmin unpack_tool VornAX

data="$PWD/build/demo-data/"
if [ ! -f "$data/vorn.ini" ]; then
  mkdir -p "$data"
  cp -r demo/. "$data"
fi
mkdir -p "$data/Db" "$data/Cookie" "$data/olm"
# The user files hold passwords in clear: readable by their owner only, as the servers make them.
chmod 700 "$data"
chmod 600 "$data"/Db/*.ini
# Sets [Main] KEY=VALUE in the demo vorn.ini (the demo file has a [Main] section first).
set_main() {
  if grep -q "^$1=" "$data/vorn.ini"; then
    sed -i "s|^$1=.*|$1=$2|" "$data/vorn.ini"
  else
    sed -i "/^\[Main\]/a $1=$2" "$data/vorn.ini"
  fi
}
set_main Auth_Port "$auth_port"
set_main BOS_Port "$bos_port"
set_main BOS_IP "$bos_ip"

export VORN_PATH="$data"
build/bin/VornAuth &
auth=$!
build/bin/VornBOS &
bos=$!
stop() {
  kill -TERM "$auth" "$bos" 2>/dev/null || true
  wait "$auth" "$bos" 2>/dev/null || true
}
trap 'stop; echo; echo "Vorn stopped."; exit 0' INT TERM

# Sets dead to "NAME (exit code N)" when a server has ended, else empties it.
check_ended() {
  dead=""
  local name pid code
  for name in VornAuth VornBOS; do
    pid=$auth
    [ "$name" = VornBOS ] && pid=$bos
    if ! kill -0 "$pid" 2>/dev/null; then
      code=0
      wait "$pid" 2>/dev/null || code=$?
      dead="$name (exit code $code)"
      return
    fi
  done
}
fail() {
  echo "demo: $1 ended: see its message above and the log in $data" >&2
  stop
  exit 1
}

# "running" only once both ports answer.
up=0
for _ in $(seq 100); do
  check_ended
  [ -z "$dead" ] || fail "$dead"
  if (exec 3<>"/dev/tcp/127.0.0.1/$auth_port") 2>/dev/null && (exec 3<>"/dev/tcp/127.0.0.1/$bos_port") 2>/dev/null; then
    up=1
    break
  fi
  sleep 0.1
done
[ "$up" = 1 ] || { echo "demo: the servers do not answer on ports $auth_port and $bos_port after 10 s" >&2; stop; exit 1; }

echo "Vorn is running: log in with an ICQ client at 127.0.0.1:$auth_port (user 1000, password alice)."
echo "Session server: $bos_ip:$bos_port. Data and logs: $data. Press Ctrl-C to stop."
code=0
wait -n -p which "$auth" "$bos" || code=$?
name=VornAuth
[ "${which:-}" = "$bos" ] && name=VornBOS
fail "$name (exit code $code)"
