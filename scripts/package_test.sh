#!/usr/bin/env bash
# Builds the Debian package, installs it, checks what it installed and made, verifies the
# systemd units, runs both installed servers as the vorn user on loopback ports (without
# systemd), signs a client on, and purges the package. Safe to run again after a run that
# left the package installed. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: skipped (needs root for dpkg -i)"
  exit 0
fi

build=${VORN_PACKAGE_BUILD:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$(nproc)" --target package
deb=$(ls -t "$build"/vorn_*.deb | head -n 1)

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  dpkg --purge vorn >/dev/null 2>&1 || true
}
trap cleanup EXIT

fail() { echo "package test: $*" >&2; exit 1; }

# A run that stopped half-way may have left the package installed: start from scratch, then
# install twice (the second time is an upgrade over an installed package).
dpkg --purge vorn >/dev/null 2>&1 || true
dpkg -i "$deb"
dpkg -i "$deb"

for f in /usr/sbin/VornBOS /usr/sbin/VornAuth /usr/bin/VornCmd /usr/bin/vornadmin /usr/bin/unpack \
         /usr/lib/libVornAX.so /usr/lib/libunpack.so /usr/share/vorn/vorn.ini \
         /usr/lib/systemd/system/vornbos.service /usr/lib/systemd/system/vornauth.service \
         /usr/share/man/man8/vornadmin.8 /usr/share/man/man8/VornBOS.8 /usr/share/man/man8/VornAuth.8 \
         /usr/share/man/man1/VornCmd.1 /usr/share/man/man1/unpack.1; do
  [ -e "$f" ] || fail "$f is missing"
done
for p in /usr/sbin/VornBOS /usr/sbin/VornAuth /usr/bin/VornCmd /usr/bin/vornadmin /usr/bin/unpack; do
  ldd "$p" | grep -q "not found" && fail "$p misses a library"
done

getent passwd vorn >/dev/null || fail "no vorn user"
uid=$(id -u vorn)
[ "$uid" -lt 1000 ] || fail "vorn is not a system user (uid $uid)"
case "$(getent passwd vorn | cut -d: -f7)" in */nologin|*/false) ;; *) fail "vorn has a login shell" ;; esac
for d in /var/lib/vorn /var/lib/vorn/Db /var/lib/vorn/Cookie /var/lib/vorn/olm; do
  [ "$(stat -c %U:%a "$d")" = "vorn:750" ] || fail "$d is $(stat -c %U:%a "$d"), not vorn:750"
done
[ "$(stat -c %U "/var/lib/vorn/vorn.ini")" = vorn ] || fail "vorn.ini does not belong to vorn"
cmp -s /usr/share/vorn/vorn.ini /var/lib/vorn/vorn.ini || fail "vorn.ini is not the default"
for u in vornbos vornauth; do
  [ -L /etc/systemd/system/multi-user.target.wants/$u.service ] || fail "$u.service is not enabled"
  if [ -d /run/systemd/system ]; then
    systemctl is-active --quiet $u.service && fail "$u.service was started by the installation"
  fi
done

command -v systemd-analyze >/dev/null || fail "systemd-analyze missing (scripts/deps.sh installs systemd)"
systemd-analyze verify /usr/lib/systemd/system/vornbos.service /usr/lib/systemd/system/vornauth.service
for u in vornbos vornauth; do
  f=/usr/lib/systemd/system/$u.service
  for line in User=vorn LimitNOFILE=100000 NoNewPrivileges=yes ProtectSystem=strict \
              ReadWritePaths=/var/lib/vorn PrivateTmp=yes; do
    grep -qx "$line" "$f" || fail "$f lacks $line"
  done
done

as_vorn() { setpriv --reuid=vorn --regid=vorn --init-groups env VORN_PATH=/var/lib/vorn/ "$@"; }

as_vorn vornadmin check || fail "vornadmin check finds problems in the fresh data folder"

# The packaged configuration, with two free loopback ports instead of 5190/5191 (which a
# server of this machine may hold).
read -r auth_port bos_port api_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(3)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
as_vorn sed -i -e "s/^Auth_Port=.*/Auth_Port=$auth_port/" -e "s/^BOS_Port=.*/BOS_Port=$bos_port/" \
  -e "s/^Listen=.*/Listen=127.0.0.1:$api_port/" /var/lib/vorn/vorn.ini
[ "$(stat -c %U:%a /var/lib/vorn/admin.token)" = "vorn:600" ] || fail "admin.token is not vorn:600"

as_vorn vornadmin user add 1000 --password s3cret --nick first
[ "$(stat -c %U:%a /var/lib/vorn/Db/1000.ini)" = "vorn:600" ] || fail "the user file is not vorn:600"

# setpriv and env replace themselves with the server, so $! is the server's own process.
for server in VornAuth VornBOS; do
  setpriv --reuid=vorn --regid=vorn --init-groups env VORN_PATH=/var/lib/vorn/ "/usr/sbin/$server" \
    </dev/null >/dev/null 2>&1 &
  pids+=($!)
done
for port in "$auth_port" "$bos_port"; do
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
done
for p in "${pids[@]}"; do
  [ "$(ps -o user= -p "$p")" = vorn ] || fail "$(ps -o comm= -p "$p") (pid $p) does not run as vorn"
done

python3 scripts/package_signon.py 127.0.0.1 "$auth_port" "$bos_port" 1000 s3cret 3 & signon=$!
sleep 1.5
online=$(vornadmin --json online)
echo "online: $online"
echo "$online" | grep -q '"uin":1000' || fail "vornadmin online does not show the client"
wait "$signon" || fail "the client could not sign on"
[ -s /var/lib/vorn/Cookie/1000 ] || fail "no login cookie written"
ls /var/lib/vorn/*.log >/dev/null 2>&1 || fail "the servers wrote no log in /var/lib/vorn"

for p in "${pids[@]}"; do kill "$p"; done
for p in "${pids[@]}"; do wait "$p" || true; done
pids=()

dpkg -r vorn
[ -f /var/lib/vorn/Db/1000.ini ] || fail "removing the package lost the data"
[ -e /usr/sbin/VornBOS ] && fail "removing the package left the programs"
dpkg --purge vorn
[ -e /var/lib/vorn ] && fail "purging the package left /var/lib/vorn"
echo "package test: passed"
