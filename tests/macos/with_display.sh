#!/usr/bin/env bash
# Runs one command on a display and in a HOME of its own: a private Xvfb
# (-displayfd picks a free display, so parallel runs never collide; a start
# that lost a race for one is retried) and a temporary HOME, both gone when
# the command ends, fails or is interrupted.
# Every wait is bounded.
#   with_display.sh COMMAND [ARG...]
set -euo pipefail

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

source "$(dirname "$0")/../../scripts/lib/virtual_display.sh"
if ! start_virtual_display "$work"; then
  echo "with_display.sh: Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi

mkdir -p "$work/home"
HOME="$work/home" DISPLAY="$display" KORVID_HID_DIR="$work/hid" TMPDIR="$work" \
  timeout --kill-after=5 "$RUN_TIMEOUT_S" "$@"
