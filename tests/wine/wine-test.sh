#!/usr/bin/env bash
# The cross-built update.exe under wine: what it prints, byte for byte, and what it leaves behind.
#
#   wine-test.sh WINDOWS_BUILD WINDOWS_X86_64_BUILD STATE_DIR prefix   make the wine prefix the cases share
#   wine-test.sh WINDOWS_BUILD WINDOWS_X86_64_BUILD STATE_DIR stop     end the prefix's wineserver
#   wine-test.sh WINDOWS_BUILD WINDOWS_X86_64_BUILD STATE_DIR CASE     run one case of cases/
#
# Exit status: 0 passed, 1 failed, 77 skipped (no wine that runs here, or no update.exe to run).
#
# The shipped update.exe is 32-bit. Where this machine cannot run 32-bit code (a kernel without it, or
# no wine32), the same sources built for 64-bit Windows (WINDOWS_X86_64_BUILD) are run instead.
#
# Cases without a scenario run with wine's own winmm, which has no MIDI ports here. The others run
# with the emulated winmm.dll (emulated/winmm/), which the prefix holds in its system folder, and
# the case's scenario for the target; at exit it writes a report of what was left open and what the
# target received.
set -u

[ $# -eq 4 ] || { echo "usage: $0 WINDOWS_BUILD WINDOWS_X86_64_BUILD STATE_DIR prefix|stop|CASE" >&2; exit 2; }
build=$1
build64=$2
state=$3
action=$4
source "$(dirname "$0")/lib.sh"

choose_runtime
case $action in
    prefix) make_prefix ;;
    stop) stop_server ;;
    *) run_case ;;
esac
