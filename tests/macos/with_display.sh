#!/usr/bin/env bash
# Runs one command on a display and in a HOME of its own, under an emulated
# controller of its own: a private Xvfb (-displayfd picks a free display, so
# parallel runs never collide; a start that lost a race for one is retried),
# a temporary HOME, and korvid-emulated-controller with no controller plugged
# in (the test plugs its own in through $KORVID_EMULATOR_CONTROL), all gone
# when the command ends, fails or is interrupted. Every wait is bounded.
#   with_display.sh EMULATOR COMMAND [ARG...]
set -euo pipefail

readonly RUN_TIMEOUT_S=${TINDRO_TEST_TIMEOUT_S:-240}
emulator=${1:?usage: with_display.sh EMULATOR COMMAND [ARG...]}
shift

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
# The emulator runs the command as its program and ends with it; the time
# limit's signal reaches both. A controller a test updated comes back as its
# application only when the test plugs it in again.
HOME="$work/home" DISPLAY="$display" TMPDIR="$work" \
  timeout --kill-after=5 "$RUN_TIMEOUT_S" \
  umockdev-wrapper "$emulator" --controllers 0 --return-delay-ms 600000 --control "$work/control" -- "$@"
