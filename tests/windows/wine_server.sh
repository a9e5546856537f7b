#!/bin/sh
# Starts or stops the one Wine server a Windows test run shares (see
# CMakeLists.txt beside this file).
#
#   wine_server.sh start|stop PREFIX
set -u
[ $# -eq 2 ] || { echo "usage: wine_server.sh start|stop PREFIX" >&2; exit 2; }
export WINEPREFIX="$2" WINEDEBUG=-all
server=/usr/lib/wine/wineserver
case "$1" in
  start)
    # A server that an interrupted run left behind is stopped first.
    "$server" -k 2>/dev/null
    "$server" -w
    # Kept alive until stopped; its output and that of Wine's system
    # programs go nowhere, so that no test's output is held open by them.
    "$server" -p >/dev/null 2>&1 || exit 1
    exec /usr/bin/wine wineboot >/dev/null 2>&1
    ;;
  stop)
    "$server" -k 2>/dev/null
    "$server" -w
    ;;
  *)
    echo "usage: wine_server.sh start|stop PREFIX" >&2
    exit 2
    ;;
esac
