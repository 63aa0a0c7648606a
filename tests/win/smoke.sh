#!/usr/bin/env bash
# The Windows smoke suite under Wine, one step per CTest test:
#   prefix    a fresh Wine prefix with the null graphics driver and a persistent wineserver
#   platform  the Windows platform layer (profile, files, registry, event loop)
#   services  VornBOS.exe and VornAuth.exe as services: setup, net start, a password and
#             cookie login with a message between two clients, pause/continue through
#             ControlService, the COM object from VBScript, regsvr32 /u, net stop, delete
#   unpack    unpack.dll extracts the cabinet corpus exactly as libunpack.so does
#   unpack_tool  unpack.exe extracts and tests cabinets to the corpus's recorded hashes and
#             refuses a damaged one and a file that holds none
#   admin     vornadmin.exe adds users (password on standard input with CR LF), the services
#             sign them on, passwd changes a password, check passes, the API commands refuse
#   pernot    Pernot.dll's timer ticks through a host's message loop
#   cleanup   ends the wineserver and everything it runs
# Every Wine call that may leave a process behind has its standard streams detached, or it
# would hold CTest's pipes open.
set -uo pipefail
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
: "${VORN_WIN_BIN:?}" "${VORN_LINUX_BUILD:?}" "${VORN_WINE_RUN:?}" "${WINEPREFIX:?}" "${VORN_SMOKE_WORK:?}"
W=$VORN_SMOKE_WORK
HERE=$(cd "$(dirname "$0")" && pwd)
LOG=$W/wine.log

fail() { echo "FAILED: $*"; exit 1; }
# Runs a Windows program with its output in a file; prints the file.
wine_run() {
  local out=$W/out.$$.txt
  "$VORN_WINE_RUN" "$@" </dev/null >"$out" 2>>"$LOG"
  local rc=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $rc
}
wine_quiet() { "$VORN_WINE_RUN" "$@" </dev/null >>"$LOG" 2>&1; }
winpath() { local p="Z:$1"; echo "${p//\//\\}"; }
wait_port() {
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
log_of() { cat "$W/data/$1".*.log 2>/dev/null | tr -d '\r'; }
expect_log() { log_of "$1" | grep -qF -- "$2" || fail "$1 log lacks: $2"; }

step_prefix() {
  wineserver -k </dev/null >/dev/null 2>&1
  rm -rf "$WINEPREFIX" "$W"
  mkdir -p "$W"
  wineboot -i </dev/null >>"$LOG" 2>&1 || fail "wineboot"
  # Without a display CreateWindow fails until the null graphics driver is chosen.
  wine_quiet reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f || fail "graphics driver"
  wineserver -k </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1
  # Services die a few seconds after the last Wine process unless the server stays up.
  wineserver -p </dev/null >/dev/null 2>&1
  wine_quiet cmd /c exit 0 || fail "wine does not start"
  echo "prefix ready"
}

step_cleanup() {
  wineserver -k </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1
  echo "wineserver ended"
}

start_service() {
  local name=$1 port=$2
  wine_run "$VORN_WIN_BIN/$name.exe" delete >/dev/null  # left over from a failed run
  local out
  out=$(wine_run "$VORN_WIN_BIN/$name.exe" setup) || fail "$name setup: $out"
  echo "$out"
  [[ $out == "Successfully registered \"$(winpath "$VORN_WIN_BIN/$name.exe")\""* ]] || fail "$name setup said: $out"
  wine_run net start "$name" || fail "net start $name"
  wait_port "$port" || fail "$name does not listen on $port"
  expect_log "$name" "$name start"
}

pause_continue() {
  local name=$1 port=$2 out
  out=$(wine_run "$VORN_WIN_BIN/service_control.exe" "$name" pause) || fail "pause $name: $out"
  [[ $out == "state 7" ]] || fail "pause $name reported $out"
  sleep 0.5
  expect_log "$name" "$name - pause"
  out=$("$VORN_LINUX_BUILD/tests/vorn_wine_client" refused "$port") || fail "$name while paused: $out"
  echo "$name paused: $out"
  sleep 0.3
  expect_log "$name" "$name - paused. Connect ignored"
  out=$(wine_run "$VORN_WIN_BIN/service_control.exe" "$name" continue) || fail "continue $name: $out"
  [[ $out == "state 4" ]] || fail "continue $name reported $out"
  out=$(wine_run "$VORN_WIN_BIN/service_control.exe" "$name" interrogate) || fail "interrogate $name: $out"
  sleep 0.5
  expect_log "$name" "$name - continue"
}

stop_service() {
  local name=$1
  wine_run net stop "$name" || fail "net stop $name"
  for _ in $(seq 1 50); do log_of "$name" | grep -qF "$name finish" && break; sleep 0.1; done
  expect_log "$name" "$name finish"
  local out
  out=$(wine_run "$VORN_WIN_BIN/$name.exe" delete) || fail "$name delete: $out"
  [[ $out == "Service deleted" ]] || fail "$name delete said: $out"
  echo "$name stopped and deleted"
}

step_services() {
  # Below the Linux ephemeral range (32768 and up), where Wine's bind would meet the
  # TIME_WAIT ends of other programs' connections.
  local bos=$((20000 + RANDOM % 12000)) auth
  auth=$((bos + 1))
  rm -rf "$W/data" && mkdir -p "$W/data/Db" "$W/data/Cookie" "$W/data/olm"
  cp "$HERE/../../demo/Db/1000.ini" "$HERE/../../demo/Db/1001.ini" "$W/data/Db/"
  printf '[Main]\r\nBOS_Port=%d\r\nAuth_Port=%d\r\nBOS_IP=127.0.0.1\r\nLogLevel=0\r\n' "$bos" "$auth" >"$W/data/vorn.ini"
  # The data folder comes from the registry value, which ends in a backslash.
  wine_quiet reg add 'HKLM\SOFTWARE\Tarn\Vorn' /v path /d "$(winpath "$W/data/")" /f || fail "registry value"
  wine_quiet regsvr32 /s /u "$VORN_WIN_BIN/VornAX.dll"

  start_service VornBOS "$bos"
  start_service VornAuth "$auth"
  expect_log VornBOS "$(winpath "$W/data/Db/")"
  local out
  out=$("$VORN_LINUX_BUILD/tests/vorn_wine_client" exchange "$auth" "$bos") || fail "login and message: $out"
  echo "$out"
  pause_continue VornBOS "$bos"
  pause_continue VornAuth "$auth"
  # Still serving after the pause.
  out=$("$VORN_LINUX_BUILD/tests/vorn_wine_client" exchange "$auth" "$bos") || fail "after continue: $out"

  # The COM object from a script: a message to a signed-on client, then its status.
  wine_run regsvr32 "$VORN_WIN_BIN/VornAX.dll" || fail "regsvr32"
  local text="from a script $RANDOM"
  "$VORN_LINUX_BUILD/tests/vorn_wine_client" receive "$auth" "$bos" 1001 bob "$text" 30 >"$W/receiver.txt" 2>&1 &
  local receiver=$!
  for _ in $(seq 1 100); do grep -q ready "$W/receiver.txt" && break; sleep 0.1; done
  grep -q ready "$W/receiver.txt" || fail "receiver did not sign on: $(cat "$W/receiver.txt")"
  # cscript exits 0 even after a script error: the script's own success line decides.
  out=$(wine_run cscript //nologo "$(winpath "$HERE/scripts/vornax_smoke.vbs")" "$bos" 1001 "$text")
  echo "$out"
  [[ $out == *"VORNAX SMOKE OK"* ]] || { kill "$receiver" 2>/dev/null; fail "VBScript"; }
  wait "$receiver" || fail "receiver: $(cat "$W/receiver.txt")"
  grep -q received "$W/receiver.txt" || fail "message from the script not received"
  wine_run regsvr32 /u "$VORN_WIN_BIN/VornAX.dll" || fail "regsvr32 /u"
  wine_quiet reg query 'HKCR\VornAX.Cmd' && fail "VornAX.Cmd still registered"
  wine_quiet reg query 'HKCR\CLSID\{7D3A6C10-4E2B-4B8F-9A61-2C5E8F0B1A03}' && fail "class still registered"
  echo "COM object registered, used and unregistered"

  stop_service VornBOS
  stop_service VornAuth
  wine_quiet reg delete 'HKLM\SOFTWARE\Tarn\Vorn' /f
  echo "SERVICES SMOKE OK"
}

step_unpack() {
  local corpus=${VORN_CAB_CORPUS:-}
  [[ -d $corpus ]] || { echo "cabinet corpus not present: skipped"; exit 77; }
  local cabs
  cabs=$(tail -n +2 "$corpus/MANIFEST.tsv" | cut -f1)
  rm -rf "$W/unpack-linux" "$W/unpack-win" && mkdir -p "$W/unpack-linux" "$W/unpack-win"
  # shellcheck disable=SC2086
  "$VORN_LINUX_BUILD/tests/vorn_unpack_list" "$corpus" "$W/unpack-linux" $cabs >"$W/unpack-linux.txt" ||
    fail "Linux listing"
  # shellcheck disable=SC2086
  (cd "$VORN_WIN_BIN" && wine_run ./unpack_list.exe "$(winpath "$corpus")" "$(winpath "$W/unpack-win")" $cabs) \
    >"$W/unpack-win.txt" || fail "Windows listing"
  diff -u "$W/unpack-linux.txt" "$W/unpack-win.txt" || fail "unpack.dll differs from libunpack.so"
  echo "$(grep -c '^cabinet' "$W/unpack-win.txt") cabinets, $(grep -c '^file' "$W/unpack-win.txt") files: same results"
  chmod -R u+w "$W/unpack-linux" "$W/unpack-win"
}

# unpack.exe against EXPECTED.tsv of the corpus (the hashes of the reference extractor).
step_unpack_tool() {
  local corpus=${VORN_CAB_CORPUS:-}
  [[ -d $corpus ]] || { echo "cabinet corpus not present: skipped"; exit 77; }
  local cab out dest=$W/unpack-tool
  for cab in libmspack/mszip_lzx_qtm.cab libarchive/test_read_format_cab_2.cab; do
    rm -rf "$dest"
    out=$(cd "$VORN_WIN_BIN" && wine_run ./unpack.exe x "$(winpath "$corpus/$cab")" "$(winpath "$dest")") ||
      fail "unpack.exe x $cab: $out"
    local n=0 name sha
    while IFS=$'\t' read -r name sha; do
      [[ $(sha256sum <"$dest/${name//\\//}" | cut -d' ' -f1) == "$sha" ]] || fail "$cab: $name differs"
      n=$((n + 1))
    done < <(awk -F'\t' -v c="$cab" '$1 == c {print $3 "\t" $6}' "$corpus/EXPECTED.tsv")
    [[ $n -gt 0 && $(find "$dest" -type f | wc -l) -eq $n && $out == *"$n file(s)" ]] ||
      fail "$cab: $n files expected, unpack.exe said: $out"
    echo "$cab: $n files as expected"
  done
  out=$(cd "$VORN_WIN_BIN" && wine_run ./unpack.exe t "$(winpath "$corpus/libmspack/mszip_lzx_qtm.cab")") ||
    fail "unpack.exe t: $out"
  [[ $out == *"OK  lzx.txt"*"3 file(s)" ]] || fail "unpack.exe t said: $out"
  # Refusals: exit 1 and the reason on standard error.
  local bad why
  for bad in "generated/truncated-mid-data-mszip.cab:damaged or incomplete cabinet" \
             "libmspack/bad_signature.cab:not a cabinet"; do
    cab=${bad%%:*} why=${bad#*:}
    rm -rf "$dest"
    (cd "$VORN_WIN_BIN" && "$VORN_WINE_RUN" ./unpack.exe x "$(winpath "$corpus/$cab")" "$(winpath "$dest")" \
      </dev/null >"$W/unpack-tool.out" 2>"$W/unpack-tool.err")
    local rc=$?
    [[ $rc -eq 1 ]] || fail "unpack.exe x $cab exited $rc"
    grep -qF "unpack.exe: $why" "$W/unpack-tool.err" || fail "unpack.exe x $cab said: $(cat "$W/unpack-tool.err")"
    echo "$cab: refused ($why)"
  done
  echo "UNPACK TOOL OK"
}

# vornadmin.exe with its standard input from the caller.
admin() { "$VORN_WINE_RUN" "$VORN_WIN_BIN/vornadmin.exe" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

step_admin() {
  local bos=$((20000 + RANDOM % 12000)) auth out client=$VORN_LINUX_BUILD/tests/vorn_wine_client
  auth=$((bos + 1))
  local data
  data=$(winpath "$W/data/")
  rm -rf "$W/data" && mkdir -p "$W/data/Db" "$W/data/Cookie" "$W/data/olm"
  printf '[Main]\r\nBOS_Port=%d\r\nAuth_Port=%d\r\nBOS_IP=127.0.0.1\r\nLogLevel=0\r\n' "$bos" "$auth" >"$W/data/vorn.ini"
  # A password piped with a Windows line end: the CR is not part of it.
  out=$(printf 'first-pw\r\n' | admin --data "$data" user add 2000 --password-stdin --nick carol) ||
    fail "user add 2000: $out"
  [[ $out == "user 2000 added" ]] || fail "user add 2000 said: $out"
  out=$(admin --data "$data" user add 2001 --password other-pw </dev/null) || fail "user add 2001: $out"
  out=$(admin --data "$data" user add 2001 --password again </dev/null) && fail "a second user 2001 was added"
  [[ $out == "vornadmin: user 2001 already exists" ]] || fail "second add said: $out"
  tr -d '\r' <"$W/data/Db/2000.ini" | grep -qx 'Pass=first-pw' || fail "Db/2000.ini: $(cat "$W/data/Db/2000.ini")"

  wine_quiet reg add 'HKLM\SOFTWARE\Tarn\Vorn' /v path /d "$data" /f || fail "registry value"
  start_service VornBOS "$bos"
  start_service VornAuth "$auth"
  out=$("$client" exchange "$auth" "$bos" 2000 first-pw 2001 other-pw) || fail "users of vornadmin: $out"
  echo "users added by vornadmin.exe: $out"

  out=$(printf 'second-pw\r\n' | admin --data "$data" user passwd 2000 --password-stdin) || fail "passwd: $out"
  [[ $out == "password of 2000 changed" ]] || fail "passwd said: $out"
  out=$("$client" badpass "$auth" 2000 first-pw) || fail "old password after passwd: $out"
  out=$("$client" exchange "$auth" "$bos" 2000 second-pw 2001 other-pw) || fail "new password: $out"
  echo "after user passwd: old password refused, new one signs on"

  # Without --data the folder is the services' registry value.
  out=$(admin check </dev/null) || fail "check: $out"
  [[ $out == *"$data: no problems found"*"file rights are not checked on Windows"* ]] || fail "check said: $out"
  echo "check: exit 0"
  out=$(admin --data "$data" online </dev/null) && fail "online succeeded"
  [[ $out == "vornadmin: 'online' is not available in the Windows build"* ]] || fail "online said: $out"

  stop_service VornBOS
  stop_service VornAuth
  wine_quiet reg delete 'HKLM\SOFTWARE\Tarn\Vorn' /f
  echo "ADMIN SMOKE OK"
}

step_platform() {
  local out
  out=$(cd "$VORN_WIN_BIN" && wine_run ./platform_check.exe)
  echo "$out"
  [[ $out == *"PLATFORM CHECK OK"* ]] || fail "platform layer"
}

step_pernot() {
  local out
  out=$(cd "$VORN_WIN_BIN" && wine_run ./pernot_host.exe)
  echo "$out"
  [[ $out == *"PERNOT SMOKE OK"* ]] || fail "Pernot"
}

case "${1:-}" in
  prefix) step_prefix ;;
  platform) step_platform ;;
  services) step_services ;;
  unpack) step_unpack ;;
  unpack_tool) step_unpack_tool ;;
  admin) step_admin ;;
  pernot) step_pernot ;;
  cleanup) step_cleanup ;;
  *) echo "usage: smoke.sh prefix|platform|services|unpack|unpack_tool|admin|pernot|cleanup" >&2; exit 2 ;;
esac
