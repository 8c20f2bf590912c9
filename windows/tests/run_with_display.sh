#!/usr/bin/env bash
# Runs one Windows test program under Wine on a display of its own (Xvfb),
# in a Wine prefix of its own, and stops both afterwards, also on failure.
#   run_with_display.sh WINE PROGRAM.exe [ARGUMENTS...]
set -euo pipefail
wine=$1
shift

wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

work=$(mktemp -d /tmp/korvid-gui-test.XXXXXX)
xvfb_pid=""
cleanup() {
  WINEPREFIX="$work/prefix" timeout 20 "$wineserver" -k 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

source "$(dirname "$0")/../../scripts/lib/virtual_display.sh"
start_virtual_display "$work" || { echo "Xvfb did not start" >&2; exit 2; }

export DISPLAY=$display
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
timeout 240 "$wine" "$@"
