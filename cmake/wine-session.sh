#!/bin/sh
# The wine session the Windows tests run in.
#
#   wine-session.sh start PREFIX WINE64
#     creates the prefix when missing, starts a persistent wineserver and
#     blanks the crash debugger (a crashing test then fails at once instead of
#     writing a crash dump into its output). That registry edit is also the
#     warm-up run: wine starts its background services with the first
#     program, and they keep whatever output that program had open; here it is
#     /dev/null, not a test's pipe that CTest would wait on.
#   wine-session.sh stop PREFIX
#     stops the server, which is when the prefix's registry reaches the disk.
set -u
export WINEPREFIX="$2" WINEDEBUG=-all
case "$1" in
  start)
    mkdir -p "$WINEPREFIX"
    wineserver -p >/dev/null 2>&1 </dev/null
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      wineboot --init >/dev/null 2>&1 </dev/null
    fi
    "$3" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /t REG_SZ /d '' /f >/dev/null 2>&1 </dev/null
    ;;
  stop)
    wineserver -k >/dev/null 2>&1 </dev/null
    ;;
esac
exit 0
