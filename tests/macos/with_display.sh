#!/usr/bin/env bash
# Runs one command on a display and in a HOME of its own: a private Xvfb
# (-displayfd picks a free display, so parallel runs never collide; a start
# that lost a race for one is retried) and a temporary HOME, both gone when
# the command ends, fails or is interrupted.
# Every wait is bounded.
#   with_display.sh COMMAND [ARG...]
set -euo pipefail

readonly START_TIMEOUT_S=10
readonly RUN_TIMEOUT_S=${TINDRO_TEST_TIMEOUT_S:-240}

work=$(mktemp -d "${TMPDIR:-/tmp}/tindro-test.XXXXXX")
xvfb_pid=
cleanup() {
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Starts Xvfb and reads the display it chose; false when it did not come up.
start_xvfb() {
  local display_fd
  exec {display_fd}<> <(:)
  Xvfb -displayfd "$display_fd" -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
  xvfb_pid=$!
  display=
  for ((i = 0; i < START_TIMEOUT_S * 10; i++)); do
    if read -r -t 0.1 -u "$display_fd" display && [[ -n $display ]]; then break; fi
    kill -0 "$xvfb_pid" 2>/dev/null || break
  done
  exec {display_fd}<&-
  [[ -n $display ]] && return 0
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
  xvfb_pid=
  return 1
}

# Two servers starting at once may pick the same display; the loser stops.
for attempt in 1 2 3 4 5; do
  start_xvfb && break
  sleep "0.$((RANDOM % 5 + 1))"
done
if [[ -z $display ]]; then
  echo "with_display.sh: Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi

mkdir -p "$work/home"
HOME="$work/home" DISPLAY=":$display" KORVID_HID_DIR="$work/hid" TMPDIR="$work" \
  timeout --kill-after=5 "$RUN_TIMEOUT_S" "$@"
