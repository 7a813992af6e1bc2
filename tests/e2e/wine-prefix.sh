#!/usr/bin/env bash
# The Wine prefix that the end-to-end tests run morvik.exe in.
#   start: create the prefix if it is not there yet, start its wineserver and boot it
#   stop:  stop the prefix's wineserver (and every Wine process in it)
# Reads WINEPREFIX (required) and MORVIK_WINE (default /usr/lib/wine/wine64); wineserver is taken
# from beside the wine binary.
#
# Wine's background services (wineserver, services.exe, explorer, ...) inherit the standard streams
# of the process that first starts them. Were that a test reading morvik.exe's standard output, the
# services would keep the pipe open and the reader would never see its end. So everything here
# runs with no pipe attached: standard input from /dev/null, output into a log file.
set -euo pipefail

: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
wine=${MORVIK_WINE:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver
export WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
# Keeps wineboot from looking for Mono and Gecko, which are not installed and not needed.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
log="${WINEPREFIX%/}.log"

fail() {
  echo "wine-prefix: $*" >&2
  [[ -f $log ]] && tail -n 40 "$log" >&2
  exit 1
}

case "${1:-}" in
  start)
    # In CI a missing Wine is a failure, never a reason to skip.
    [[ -x $wine ]] || fail "no wine at $wine (scripts/bootstrap installs it)"
    [[ -x $wineserver ]] || fail "no wineserver at $wineserver"
    mkdir -p "$WINEPREFIX"
    : >"$log"
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
      "$wine" wineboot -i </dev/null >>"$log" 2>&1 || fail "wineboot -i failed"
      "$wineserver" -w </dev/null >>"$log" 2>&1 || true
      [[ -f $WINEPREFIX/system.reg ]] || fail "wineboot -i made no prefix in $WINEPREFIX"
    fi
    # A persistent server, so each morvik.exe run attaches to it instead of starting (and
    # inheriting streams into) a new one; then boot the prefix's services under it. A server left
    # over from an earlier run (a benchmark, an interrupted test) would refuse -p: stop it first.
    "$wineserver" -k </dev/null >>"$log" 2>&1 || true
    "$wineserver" -p </dev/null >>"$log" 2>&1 || fail "wineserver -p failed"
    "$wine" wineboot </dev/null >>"$log" 2>&1 || fail "wineboot failed"
    ;;
  stop)
    if [[ -x $wineserver ]]; then
      "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    fi
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
