#!/usr/bin/env bash
# Builds Tindro against GNUstep and starts it here against the emulated
# controller (a hidraw node in a umockdev testbed), for a developer to click
# through: on this machine's display ($DISPLAY) or, without one, on a virtual
# one (Xvfb). A sample firmware file lies beside Tindro.app, where the open
# panel starts. Everything started here stops when Tindro ends or on Ctrl-C.
# Arguments go to the emulated controller (for example --device-version 105,
# --attach-after-start, --fail-at-chunk 20, --paced, --controllers 2); see its --help.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
  echo "usage: scripts/tindro.sh [controller options]"
  exit 0
fi

"$root/scripts/setup.sh" || exit 2
build=${KORVID_GNUSTEP_BUILD:-$root/build-gnustep}
(
  cd "$root" &&
    cmake --preset gnustep -B "$build" >/dev/null &&
    cmake --build "$build" -j "$(nproc)" --target Tindro korvid-emulated-controller >/dev/null
) || {
  echo "tindro.sh: the build failed" >&2
  exit 2
}
tindro=$build/macos/Tindro.app/Tindro
emulator=$build/sim/emulated/korvid-emulated-controller

work=$(mktemp -d /tmp/tindro-XXXXXX) || exit 2
xvfb_pid=""
emulator_pid=""
tindro_pid=""
source "$root/scripts/lib/stop_process.sh"
source "$root/scripts/lib/virtual_display.sh"
source "$root/scripts/lib/emulated_controller.sh"
cleanup() {
  stop "$tindro_pid"
  stop_emulated_controllers "$work"
  stop "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A sample firmware file: version 1.10, 64 KiB of payload.
sample=$(dirname "$(dirname "$tindro")")/sample.dat
{
  printf '\x6e\x00\x00\x00\x01\x00\x56\x4b\x00\x00\x01\x00'
  head -c 16 /dev/zero
  head -c 65536 /dev/urandom
} >"$sample"

display=${DISPLAY:-}
if [[ -z $display ]]; then
  start_virtual_display "$work" || {
    echo "tindro.sh: Xvfb did not start" >&2
    exit 2
  }
  echo "No display here: Tindro runs on the virtual display $display."
  echo "  look:  DISPLAY=$display import -window root shot.png"
  echo "  click: DISPLAY=$display xdotool search --name Tindro   (then mousemove/mousedown/mouseup)"
fi

start_emulated_controllers "$work" "$@" || {
  echo "tindro.sh: the emulated controller did not start: $(cat "$work/emulator.err")" >&2
  exit 2
}
echo "Emulated controller: $emulator --send $work/control status|unplug|attach|reattach|hold|release"
echo "Sample firmware: $sample"

log=$(dirname "$(dirname "$tindro")")/tindro.log
DISPLAY=$display UMOCKDEV_DIR="$(cat "$work/root")" LD_PRELOAD=libumockdev-preload.so.0 "$tindro" 2>"$log" &
tindro_pid=$!
echo "Tindro runs (pid $tindro_pid), its traces in $log; quit it or press Ctrl-C to stop everything."
wait "$tindro_pid"
tindro_pid=""
