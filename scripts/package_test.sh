#!/usr/bin/env bash
# Builds the Debian package, installs it, checks what it installed and made, verifies the
# systemd units, runs both installed servers as the vorn user on loopback ports (without
# systemd), signs a client on, and purges the package. Needs root.
#
# It never touches an operator's installation: when the package vorn is installed, or
# /var/lib/vorn exists, and neither was left by an earlier run of this test (which leaves its
# mark, /var/lib/vorn-package-test.mark, until it has purged what it installed), it refuses
# and changes nothing. Exit codes: 0 passed, 1 failed,
# 77 skipped (not root, or refused).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "package test: skipped (needs root for dpkg -i)"
  exit 77
fi

# One run at a time on a machine: the package and the vorn user are machine-wide.
exec 9>/run/lock/vorn-package-test.lock
flock -w 900 9 || { echo "package test: another run holds /run/lock/vorn-package-test.lock" >&2; exit 1; }

marker=/var/lib/vorn-package-test.mark
status=$(dpkg-query -W -f='${db:Status-Status}' vorn 2>/dev/null || true)
if { [ -n "$status" ] && [ "$status" != not-installed ]; } || [ -e /var/lib/vorn ]; then
  if [ ! -e "$marker" ]; then
    cat >&2 <<EOF2
package test: refused. The package vorn is installed here (state: ${status:-none}) or
/var/lib/vorn exists, and this test did not make it. The test installs, removes and purges
the package, which would delete the users and messages in /var/lib/vorn. Run it on a machine
(or container) without vorn. Nothing was changed.
EOF2
    exit 77
  fi
  # Left by an earlier run of this test that stopped half-way: ours to remove.
  dpkg --purge vorn >/dev/null 2>&1 || true
  rm -rf /var/lib/vorn
fi

build=${VORN_PACKAGE_BUILD:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$(nproc)" --target package
deb=$(ls -t "$build"/vorn_*.deb | head -n 1)

pids=()
work=$(mktemp -d)
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  # Only what this run installed is purged: the mark was made before the first installation.
  if [ -e "$marker" ]; then dpkg --purge vorn >/dev/null 2>&1 || true; rm -f "$marker"; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "package test: $*" >&2
  for f in /var/lib/vorn/*.log; do [ -f "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }; done
  exit 1
}

# The maintainer scripts' service handling, seen through a systemd stand-in: in a private
# mount namespace /run/systemd/system exists and systemctl and deb-systemd-invoke only write
# down how they were called.
mkdir -p "$work/bin"
# Calls on the installed files (--root=/: enable, preset) are passed on to the real systemctl.
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>%s/calls\n' "$tool" "$work" >"$work/bin/$tool"
  chmod +x "$work/bin/$tool"
done
printf 'case "$*" in *--root=*) exec %s "$@" ;; esac\n' "$(command -v systemctl)" >>"$work/bin/systemctl"
with_systemd() {
  : >"$work/calls"
  unshare -m sh -c 'mount -t tmpfs vorn-test /run && mkdir -p /run/systemd/system && exec "$@"' sh \
    env PATH="$work/bin:$PATH" "$@"
}
calls() { grep -E ' (start|stop|restart|try-restart|reload-or-restart) ' "$work/calls" || true; }

# First installation (starts nothing), then an upgrade over it (restarts what runs).
touch "$marker"
with_systemd dpkg -i "$deb"
[ -z "$(calls)" ] || fail "a first installation touched the services: $(calls)"
with_systemd dpkg -i "$deb"
[ "$(calls)" = "deb-systemd-invoke try-restart vornauth.service vornbos.service" ] ||
  fail "an upgrade does not restart the running services: $(calls)"

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
  exposure=$(systemd-analyze security --offline=true "$f" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
  echo "$u.service: exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "$f scores ${exposure:-?} (more than 2.0)"
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
    </dev/null >"$work/$server.out" 2>&1 &
  pids+=($!)
done
for port in "$auth_port" "$bos_port"; do
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
done
for i in 0 1; do
  kill -0 "${pids[$i]}" 2>/dev/null || fail "an installed server ended at start: $(cat "$work"/*.out)"
done
for p in "${pids[@]}"; do
  [ "$(ps -o user= -p "$p")" = vorn ] || fail "$(ps -o comm= -p "$p") (pid $p) does not run as vorn"
done

python3 scripts/package_signon.py 127.0.0.1 "$auth_port" "$bos_port" 1000 s3cret 3 & signon=$!
# The client holds its session for 3 s once signed on; on a busy machine its start takes a while.
online=""
for _ in $(seq 100); do
  online=$(vornadmin --json online)
  echo "$online" | grep -Eq '"uin": ?1000\b' && break
  kill -0 "$signon" 2>/dev/null || break
  sleep 0.2
done
echo "online: $online"
echo "$online" | grep -Eq '"uin": ?1000\b' || fail "vornadmin online does not show the client"
wait "$signon" || fail "the client could not sign on"
[ -s /var/lib/vorn/Cookie/1000 ] || fail "no login cookie written"
ls /var/lib/vorn/*.log >/dev/null 2>&1 || fail "the servers wrote no log in /var/lib/vorn"

for p in "${pids[@]}"; do kill "$p"; done
for p in "${pids[@]}"; do wait "$p" || true; done
pids=()

with_systemd dpkg -r vorn
[ "$(calls)" = "deb-systemd-invoke stop vornbos.service vornauth.service" ] ||
  fail "removing the package does not stop the services: $(calls)"
[ -f /var/lib/vorn/Db/1000.ini ] || fail "removing the package lost the data"
[ -e /usr/sbin/VornBOS ] && fail "removing the package left the programs"
dpkg --purge vorn
[ -e /var/lib/vorn ] && fail "purging the package left /var/lib/vorn"
rm -f "$marker"
echo "package test: passed"
