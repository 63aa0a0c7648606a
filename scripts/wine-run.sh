#!/usr/bin/env bash
# Runs a Windows program under Wine without a display: the prefix comes from WINEPREFIX
# (scripts/wine-prefix.sh makes one), debug chatter is off, and the program's exit code is
# passed through.
set -u
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec wine "$@"
