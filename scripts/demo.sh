#!/usr/bin/env bash
# The main job without hardware: set up, build, and update an emulated
# controller (a simulated controller behind a hidraw node emulated with
# umockdev) with a generated sample firmware, as a user sees it:
# korvid-update's own confirmation, progress line and messages in this
# terminal. Or several controllers at once, or Tindro under a virtual
# display, or update.exe under Wine. See --help.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

usage() {
  cat <<'EOF'
usage: bash scripts/demo.sh [--controllers N] [--front-end cli|tindro|update.exe] [--payload-size N]
                            [controller options]
  --controllers N        controllers in BOOT mode, updated at once with `flash --all` (default 1; cli)
  --front-end F          cli: korvid-update in this terminal (default); tindro: Tindro under a
                         virtual display, its screenshots kept; update.exe: the Windows program
                         under Wine, its screenshots kept
  --payload-size N       payload bytes of the generated sample firmware (default 65536)
Controller options go to the emulated controller, e.g. --device-version 105, --factory,
--fail-at-chunk N, --fail-code 21|24, --silent-at-chunk N, --unplug-at-chunk N.
The controllers run at full-speed USB pace (one report per 1 ms frame). When this terminal
can answer, korvid-update asks before it writes; otherwise the demo answers yes for you.
Exit status: korvid-update's (0 updated, 1 not updated, 2 usage, 130 interrupted).
EOF
}

front_end=cli
controllers=1
payload_size=65536
controller_options=()
while (($# > 0)); do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --front-end | --controllers | --payload-size)
      (($# > 1)) || { echo "demo: $1 takes a value" >&2; exit 2; }
      case $1 in
        --front-end) front_end=$2 ;;
        --controllers) controllers=$2 ;;
        --payload-size) payload_size=$2 ;;
      esac
      shift 2
      ;;
    *) controller_options+=("$1"); shift ;;
  esac
done
[[ $front_end == cli || $front_end == tindro || $front_end == update.exe ]] ||
  { echo "demo: --front-end is cli, tindro or update.exe" >&2; exit 2; }
[[ $controllers =~ ^[1-8]$ ]] || { echo "demo: --controllers takes 1 to 8" >&2; exit 2; }
[[ $payload_size =~ ^[0-9]+$ ]] && ((payload_size >= 1 && payload_size <= 16777216)) ||
  { echo "demo: --payload-size takes 1 to 16777216" >&2; exit 2; }
((controllers == 1)) || [[ $front_end == cli ]] ||
  { echo "demo: several controllers at once is korvid-update's (--front-end cli)" >&2; exit 2; }

"$root/scripts/setup.sh" || exit 2

if [[ $front_end != cli ]]; then
  shots=$root/out/demo-$front_end
  rm -rf "$shots" && mkdir -p "$shots"
  if [[ $front_end == tindro ]]; then
    echo "Tindro under a virtual display, against an emulated controller; a driver plays the user."
    bash "$root/scripts/e2e-linux.sh" --front-end tindro --payload-size "$payload_size" --paced \
      --screenshots "$shots" "${controller_options[@]}"
  else
    echo "update.exe under Wine, through Wine's own HID stack, against an emulated controller; a driver plays the user."
    bash "$root/scripts/e2e-windows.sh" --payload-size "$payload_size" --paced --screenshots "$shots" \
      "${controller_options[@]}"
  fi
  status=$?
  echo "Screenshots of what the user saw: $shots"
  exit "$status"
fi

(
  cd "$root" &&
    cmake --preset default >/dev/null &&
    cmake --build --preset default -j "$(nproc)" --target korvid-update korvid-emulated-controller >/dev/null
) || { echo "demo: the build failed (cmake --build --preset default)" >&2; exit 2; }
build=$root/build
work=$(mktemp -d "${TMPDIR:-/tmp}/korvid-demo.XXXXXX") || exit 2
trap 'rm -rf "$work"' EXIT

firmware=$work/sample.dat
bash "$root/tests/linux/make_firmware.sh" "$firmware" 110 "$payload_size" || exit 2

args=(flash "$firmware")
((controllers > 1)) && args+=(--all)
[[ -t 0 ]] || args+=(--yes)
echo "$controllers emulated controller(s) in BOOT mode; sample firmware v1.10, $payload_size bytes of payload."
echo "\$ korvid-update ${args[*]/#$work\//}"
# The emulator serves the controllers for as long as korvid-update runs and
# ends with its exit status.
umockdev-wrapper "$build/sim/emulated/korvid-emulated-controller" --controllers "$controllers" --paced \
  --return-delay-ms 300 "${controller_options[@]}" -- "$build/cli/korvid-update" "${args[@]}"
