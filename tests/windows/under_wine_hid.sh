#!/usr/bin/env bash
# Runs one Windows test program under Wine's own HID stack over an emulated
# controller of its own: a prefix copied from the build's template, the
# emulator with no controller plugged in, a wineserver session whose device
# service reads the emulator's hidraw nodes, and the program, whose
# "control: COMMAND" lines are answered on its input with the emulator's
# reply; its other output is passed on. Everything is stopped afterwards,
# also when the run fails or is interrupted.
#   under_wine_hid.sh BUILD_DIR PROGRAM [ARGS...]
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: under_wine_hid.sh BUILD_DIR PROGRAM [ARGS...]}
shift
readonly RUN_TIMEOUT_S=${KORVID_WINE_TEST_TIMEOUT_S:-100}
source "$repo/tools/wine/wine-prefix.sh"
source "$repo/scripts/lib/wine_hid_session.sh"
korvid_wine_tools || exit 2
korvid_wine_environment
korvid_wine_template "$build" || exit 2
emulated_controller_build "$repo" || exit 2

# Short: the emulator's control socket lives here.
run=$(mktemp -d /tmp/korvid-wine-XXXXXX)
export WINEPREFIX=$run/prefix
emulator_pid=""
program_pid=""
cleanup() {
  local status=$?
  [[ -n $program_pid ]] && kill "$program_pid" 2>/dev/null
  timeout 10 "$wineserver" -k 2>/dev/null
  stop_emulated_controllers "$run"
  rm -rf "$run"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

korvid_wine_prefix_copy "$build/wine-template" "$WINEPREFIX" || exit 2
# A controller a test updated comes back as its application only when the
# test plugs it in again.
start_emulated_controllers "$run" --controllers 0 --return-delay-ms 600000 ||
  { echo "under_wine_hid.sh: the emulator did not start: $(head -3 "$run/emulator.err")" >&2; exit 2; }
start_wine_hid_session "$run" ||
  { echo "under_wine_hid.sh: the Wine session did not start: $(tail -n 3 "$run/session.err")" >&2; exit 2; }

mkfifo "$run/in" "$run/out" || exit 2
exec 7<>"$run/in"
timeout -k 5 "$RUN_TIMEOUT_S" "$wine" "$@" <"$run/in" >"$run/out" &
program_pid=$!
exec 9<"$run/out"
take_line() {
  local line=${1%$'\r'}
  case $line in
    "control: "*)
      reply=$("$emulator" --send "$run/control" ${line#control: } 2>/dev/null) || reply="error no answer"
      printf '%s\n' "$reply" >&7
      ;;
    *) printf '%s\n' "$line" ;;
  esac
}
relay_program_lines 9 "$program_pid"
status=0
wait "$program_pid" || status=$?
program_pid=""
# What the emulator saw fails with the program: a node the device service
# never opened, a uevent it dropped.
((status == 0)) || [[ ! -s $run/emulator.err ]] || { echo "the emulator said:"; tail -n 20 "$run/emulator.err"; }
exit "$status"
