#!/usr/bin/env bash
# Starts a Windows server (VornBOS.exe, VornAuth.exe) as a service under Wine for the
# end-to-end tests, which set VORN_SERVER_LAUNCHER to this script: the test harness runs
#   service-launcher.sh BIN/VornBOS
# with VORN_PATH naming the data folder, exactly as it runs the Linux program, and signals
# this script as it would signal the server. The signals become service controls through
# service_host.exe: TERM and INT stop, USR1 pauses, USR2 continues, HUP is the parameter
# change (the reload). The script ends with the service's exit code.
set -u
exe=$1
[[ -f $exe ]] || exe=$exe.exe
name=$(basename "$exe" .exe)
: "${VORN_PATH:?}"
winpath() { local p="Z:$1"; echo "${p//\//\\}"; }
data=$(winpath "$VORN_PATH")
[[ $data == *\\ ]] || data+='\'
run=${VORN_WINE_RUN:-$(dirname "$0")/../../scripts/wine-run.sh}

coproc HOST { "$run" "$(dirname "$exe")/service_host.exe" "$name" "$(winpath "$(realpath "$exe")")" "$data" >/dev/null; }
host_in=${HOST[1]}
host_pid=$HOST_PID
send() { echo "$1" >&"$host_in" 2>/dev/null; }
# A signal that comes while the host is ending finds its input closed: the write then fails
# quietly instead of killing this script with SIGPIPE (which would hide the service's exit code).
trap '' PIPE
trap 'send stop' TERM INT
trap 'send pause' USR1
trap 'send continue' USR2
trap 'send reload' HUP

# A trapped signal ends wait early (status above 128); wait again until the host has ended.
while :; do
  wait "$host_pid"
  rc=$?
  kill -0 "$host_pid" 2>/dev/null || break
done
# It may have ended just after a signal cut the wait short.
if ((rc > 128)); then wait "$host_pid"; rc=$?; fi
exit "$rc"
