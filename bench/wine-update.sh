#!/usr/bin/env bash
# A whole update of a 256 KiB payload through update.exe under Wine against
# the emulated controller, through Wine's own HID stack, and the figures
# beside it:
#   1. the bare round trip through the same stack (a 65-byte report written,
#      its answer read), measured the way update.exe reads, unpaced and back
#      to back against the paced controller (the floor of the paced figure
#      under Wine: an updater that costs nothing);
#   2. the update unpaced: cost per acknowledged step of the whole stack
#      (controller, umockdev, Wine's HID stack, update.exe's worker, the engine);
#   3. the update paced like a full-speed USB link (one report taken and
#      answered per 1 ms frame): frames used against frames needed.
# Usage: bench/wine-update.sh [--payload-size N] [--round-trips N]
# Build: $KORVID_WINDOWS_BUILD, else build-windows/ built as needed; the
# emulated controller from $KORVID_LINUX_BUILD, else build-linux-e2e-default/.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
payload_size=262144
round_trips=""
while (($# > 0)); do
  case $1 in
    --payload-size) payload_size=$2; shift ;;
    --round-trips) round_trips=$2; shift ;;
    -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "wine-update: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
chunks=$(((payload_size + 31) / 32))
[[ -n $round_trips ]] || round_trips=$chunks

build=${KORVID_WINDOWS_BUILD:-}
if [[ -z $build ]]; then
  build=$repo/build-windows
  [[ -f $build/CMakeCache.txt ]] || (cd "$repo" && cmake --preset windows >/dev/null)
  cmake --build "$build" -j "$(nproc)" --target update korvid-user-driver korvid-round-trip >/dev/null
fi
export KORVID_WINDOWS_BUILD=$build
source "$repo/tools/wine/wine-prefix.sh"
source "$repo/scripts/lib/wine_hid_session.sh"
korvid_wine_tools
korvid_wine_environment
korvid_wine_template "$build"
emulated_controller_build "$repo" || exit 2

echo "machine: $(nproc) cores, $("$wine" --version), payload $payload_size bytes = $chunks chunks of 32"

# ---- 1. the bare round trip, unpaced and paced -------------------------------------
run=$(mktemp -d "${TMPDIR:-/tmp}/korvid-bench.XXXXXX")
emulator_pid=""
stop() {
  set +e
  WINEPREFIX=$run/prefix timeout 10 "$wineserver" -k 2>/dev/null
  stop_emulated_controllers "$run"
  rm -rf "$run"
}
trap stop EXIT
korvid_wine_prefix_copy "$build/wine-template" "$run/prefix"
export WINEPREFIX=$run/prefix

# round_trip [controller options]: the client against an emulated controller
# of its own, in a Wine session of its own.
round_trip() {
  start_emulated_controllers "$run" --attach-after-start "$@" || { echo "wine-update: no emulated controller" >&2; exit 1; }
  start_wine_hid_session "$run" || { echo "wine-update: the Wine session did not start" >&2; exit 1; }
  "$emulator" --send "$run/control" attach >/dev/null
  "$wine" "$build/tools/wine/korvid-round-trip.exe" --hid "$round_trips"
  timeout 10 "$wineserver" -k 2>/dev/null
  stop_emulated_controllers "$run"
  rm -f "$run/root"
}
unpaced_round_trip=$(round_trip)
paced_round_trip=$(round_trip --paced)
echo
echo "1. bare round trip through Wine's HID stack (write 65 bytes, read the answer):"
echo "   $unpaced_round_trip"
paced_elapsed_us=$(sed -n 's/.*elapsed_us=\([0-9]*\).*/\1/p' <<<"$paced_round_trip")
echo "   back to back against the paced controller (an updater that costs nothing):"
echo "   frames needed $round_trips, frames used $(((paced_elapsed_us + 999) / 1000)), ratio $(awk -v u="$paced_elapsed_us" -v n="$round_trips" 'BEGIN { printf "%.3f", u / 1000 / n }')"

field() { sed -n "s/.*\b$1=\([0-9-]*\).*/\1/p" "$2"; }

whole_update() {
  local label=$1 stats=$run/stats-$1
  shift
  if ! bash "$repo/scripts/e2e-windows.sh" --payload-size "$payload_size" --stats-out "$stats" --timeout 300 "$@" \
    >"$run/e2e-$label.log" 2>&1; then
    echo "wine-update: the $label update did not succeed:" >&2
    tail -n 5 "$run/e2e-$label.log" >&2
    exit 1
  fi
  header_us=$(field header_us "$stats")
  completion_us=$(field completion_us "$stats")
  data=$(field data "$stats")
  taken=$(($(field reports_at_completion "$stats") - $(field reports_at_header "$stats")))
  steps=$((data + 1))  # every chunk and the completion, each after an acknowledgement
  elapsed_us=$((completion_us - header_us))
}

# ---- 2. unpaced -------------------------------------------------------------------
whole_update unpaced
echo
echo "2. whole update, unpaced: $data data commands, header to completion $((elapsed_us / 1000)) ms"
echo "   per acknowledged step: $((elapsed_us / steps)) us (the whole stack); reports beyond the transfer's: $((taken - steps))"

# ---- 3. paced -----------------------------------------------------------------------
whole_update paced --paced
frames_used=$(((elapsed_us + 999) / 1000))
echo
echo "3. whole update, paced at one report per 1 ms frame: $data data commands"
echo "   frames needed $steps, frames used $frames_used, ratio $(awk -v u="$frames_used" -v n="$steps" 'BEGIN { printf "%.3f", u / n }') (goal at most 1.010)"
echo "   reports beyond the transfer's: $((taken - steps))"
