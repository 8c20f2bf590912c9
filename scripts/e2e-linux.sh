#!/usr/bin/env bash
# One end-to-end firmware update on Linux against kernel hidraw devices
# emulated with umockdev: korvid-update (one controller, or several at once)
# or Tindro under Xvfb, each controller a simulated controller behind an
# emulated hidraw node. Everything it starts is stopped by process id, also
# when it fails; no /tmp/umockdev.* folder is left behind. See --help.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"

usage() {
  cat <<'EOF'
usage: scripts/e2e-linux.sh [options]
  --front-end cli|tindro    korvid-update (default) or Tindro under Xvfb
  --controllers N           controllers in BOOT mode, all updated at once (default 1; cli only)
  --fault-on K              the controller faults below apply to controller K only (default all)
The firmware file:
  --firmware FILE           the *.dat file to send (default: a generated sample)
  --payload-size N          payload bytes of the generated sample (default 4096)
The controller:
  --device-version N        firmware version it reports, in hundredths (default 100)
  --device-beta N           beta number it reports (default 0)
  --factory                 runs factory firmware
  --firmware-type N         firmware type in its identity (default 1)
  --fail-at-chunk N         answers data command N with a failure event
  --fail-code 21|24         that failure event (default 21)
  --silent-at-chunk N       goes silent after data command N
  --unplug-at-chunk N       is unplugged after data command N
  --attach-after-start      is plugged in once the front-end waits for it
  --return-delay-ms N       comes back in application mode N ms after the completion command (default 300)
  --return-port N           comes back in application mode on USB port N, not its own
  --stop-reading-after-chunk N
                            acknowledges data command N, then takes no report more (a write waits)
  --paced                   full-speed USB pace: one report per 1 ms frame
  --no-permission K         controller K's node may not be opened (the front-end runs as nobody)
The user:
  --cancel-confirm          answers no to the confirmation
  --interrupt-at-chunk N    presses Ctrl-C once data command N went out (cli only)
Output:
  --image-out FILE          the bytes the controller kept (several: FILE.1 ... FILE.N)
  --messages-out FILE       every message and confirmation the user saw, in order, one per line:
                            message, a tab, informative text (CR and LF as \r and \n)
  --output-out FILE         everything the front-end printed (cli)
  --stats-out FILE          the controllers' figures (header and completion times, reports)
  --screenshots DIR         screenshots of the window and the alerts (tindro)
  --timeout S               bound on the whole run (default 60)
  --keep                    keep the run's folder (printed)
Builds: the default preset (cli) into build-linux-e2e-default, or the gnustep preset (tindro)
into build-linux-e2e-gnustep (each compiler set-up in a folder of its own), unless
KORVID_LINUX_BUILD names a build folder holding korvid-update and korvid-emulated-controller
(and, for tindro, Tindro and the driver bundle).
Exit status: 0 when the user saw success and every controller's image equals the file's
payload; 1 when an update ended any other way (one "outcome:" line says how); 2 for bad
usage or a set-up that failed.
EOF
}

die_usage() {
  echo "e2e-linux: $*" >&2
  echo "try: scripts/e2e-linux.sh --help" >&2
  exit 2
}

number() { [[ $2 =~ ^[0-9]+$ ]] || die_usage "$1 takes a whole number, not '$2'"; }

# ---------------------------------------------------------------- options
front_end=cli
controllers=1
firmware=""
payload_size=4096
emulator_args=()
macos_args=()
attach_after_start=0
cancel_confirm=0
interrupt_at=""
no_permission=""
image_out=""
messages_out=""
output_out=""
stats_out=""
timeout_s=60
keep=0
while (($# > 0)); do
  option=$1
  shift
  case $option in
    -h | --help) usage; exit 0 ;;
    --factory | --paced) emulator_args+=("$option"); macos_args+=("$option") ;;
    --attach-after-start) attach_after_start=1; emulator_args+=("$option"); macos_args+=("$option") ;;
    --cancel-confirm) cancel_confirm=1; macos_args+=("$option") ;;
    --keep) keep=1; macos_args+=("$option") ;;
    --front-end | --controllers | --fault-on | --firmware | --payload-size | --device-version | --device-beta | \
      --firmware-type | --return-delay-ms | --return-port | --stop-reading-after-chunk | --fail-at-chunk | --fail-code | --silent-at-chunk | --unplug-at-chunk | --no-permission | \
      --interrupt-at-chunk | --image-out | --messages-out | --output-out | --stats-out | --timeout | --screenshots)
      (($# > 0)) || die_usage "$option takes a value"
      value=$1
      shift
      case $option in
        --front-end) [[ $value == cli || $value == tindro ]] || die_usage "--front-end is cli or tindro"; front_end=$value ;;
        --controllers) number "$option" "$value"; ((value >= 1 && value <= 8)) || die_usage "--controllers takes 1 to 8"; controllers=$value ;;
        --fault-on) number "$option" "$value"; emulator_args+=("$option" "$value") ;;
        --firmware) firmware=$value; macos_args+=("$option" "$value") ;;
        --payload-size) number "$option" "$value"; payload_size=$value; macos_args+=("$option" "$value") ;;
        --no-permission) number "$option" "$value"; no_permission=$value; emulator_args+=("$option" "$value") ;;
        --interrupt-at-chunk) number "$option" "$value"; interrupt_at=$value ;;
        --image-out) image_out=$value; macos_args+=("$option" "$value") ;;
        --messages-out) messages_out=$value; macos_args+=("$option" "$value") ;;
        --output-out) output_out=$value ;;
        --screenshots) [[ $front_end == tindro ]] || die_usage "--screenshots is for Tindro (give --front-end first)"; macos_args+=("$option" "$value") ;;
        --stats-out) stats_out=$value; macos_args+=("$option" "$value") ;;
        --timeout) number "$option" "$value"; timeout_s=$value; macos_args+=("$option" "$value") ;;
        *) emulator_args+=("$option" "$value"); macos_args+=("$option" "$value") ;;  # checked by the emulator
      esac
      ;;
    *) die_usage "unknown option: $option" ;;
  esac
done
if [[ $front_end == tindro ]]; then
  ((controllers == 1)) || die_usage "--controllers is for the command line; Tindro updates one controller"
  [[ -z $interrupt_at ]] || die_usage "--interrupt-at-chunk is for the command line"
  [[ -z $no_permission ]] || die_usage "--no-permission is for the command line"
fi
((payload_size >= 1 && payload_size <= 16777216)) || die_usage "--payload-size takes 1 to 16777216"
if [[ -n $firmware ]]; then
  [[ -f $firmware && -r $firmware ]] || die_usage "cannot read the firmware file: $firmware"
  firmware="$(cd "$(dirname "$firmware")" && pwd)/$(basename "$firmware")"
fi
command -v umockdev-wrapper >/dev/null || { echo "e2e-linux: umockdev is missing (scripts/setup.sh installs it)" >&2; exit 2; }

# ---------------------------------------------------------------- build
preset=default
[[ $front_end == tindro ]] && preset=gnustep
if [[ -n ${KORVID_LINUX_BUILD:-} ]]; then
  build=$KORVID_LINUX_BUILD
else
  build=$root/build-linux-e2e-$preset
  targets=(korvid-update korvid-emulated-controller)
  [[ $front_end == tindro ]] && targets+=(Tindro korvid_gnustep_driver)
  if ! (cd "$root" && cmake --preset "$preset" -B "$build" >/dev/null &&
    cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null); then
    echo "e2e-linux: the build failed (cmake --preset $preset -B $build)" >&2
    exit 2
  fi
fi
emulator=$build/sim/emulated/korvid-emulated-controller
cli=$build/cli/korvid-update
[[ -x $emulator ]] || { echo "e2e-linux: missing from the build: $emulator" >&2; exit 2; }

# Tindro: the macOS application's own end-to-end run, which meets the
# emulated controller's hidraw nodes too.
if [[ $front_end == tindro ]]; then
  export KORVID_GNUSTEP_BUILD=$build
  exec "$root/scripts/e2e-macos.sh" "${macos_args[@]}"
fi
[[ -x $cli ]] || { echo "e2e-linux: missing from the build: $cli" >&2; exit 2; }

# ---------------------------------------------------------------- clean-up
work=$(mktemp -d /tmp/kvl-XXXXXX) || exit 2
chmod 755 "$work"  # the front-end may run as nobody
emulator_pid=""
cli_pid=""
source "$root/scripts/lib/stop_process.sh"
cleanup() {
  stop "$cli_pid"
  if [[ -n $emulator_pid ]]; then
    # quit lets the emulator remove its testbed folder; a signal in the
    # middle of that would leave the folder behind.
    "$emulator" --send "$work/control" quit >/dev/null 2>&1
    for ((i = 0; i < 100; i++)); do
      kill -0 "$emulator_pid" 2>/dev/null || break
      sleep 0.05
    done
    stop "$emulator_pid"
  fi
  if ((keep)); then echo "kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM
setup_failed() {
  echo "e2e-linux: $*" >&2
  exit 2
}
control() { "$emulator" --send "$work/control" "$@" 2>>"$work/control.err"; }

# ---------------------------------------------------------------- firmware
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $((($1 >> 16) & 65535)); }
if [[ -z $firmware ]]; then
  firmware=$work/sample.dat
  { le16 110; le16 0; le32 $((0x4B560001)); le32 "$payload_size"; head -c 16 /dev/zero
    head -c "$payload_size" /dev/urandom; } >"$firmware" || setup_failed "cannot write the sample firmware"
  chmod 644 "$firmware"
fi
announced=$(od -An -tu4 -j8 -N4 "$firmware" | tr -d ' ')
[[ -n $announced ]] || setup_failed "the firmware file has no header: $firmware"
tail -c +29 "$firmware" | head -c "$announced" >"$work/payload.bin"

# ---------------------------------------------------------------- the controllers
now_ms() { local t=${EPOCHREALTIME/./}; now=$((t / 1000)); }
now_ms
deadline=$((now + timeout_s * 1000))
umockdev-wrapper "$emulator" --controllers "$controllers" --control "$work/control" --root-file "$work/root" \
  --return-delay-ms 300 "${emulator_args[@]}" >"$work/emulator.out" 2>"$work/emulator.err" &
emulator_pid=$!
until [[ -s $work/root ]]; do
  kill -0 "$emulator_pid" 2>/dev/null || setup_failed "the emulated controllers did not start: $(head -3 "$work/emulator.err")"
  now_ms
  ((now < deadline)) || setup_failed "the emulated controllers did not start within ${timeout_s} s"
  sleep 0.02
done
testbed=$(cat "$work/root")

# ---------------------------------------------------------------- korvid-update
args=(flash "$firmware" --progress=plain)
((controllers > 1)) && args+=(--all)
((attach_after_start)) && args+=(--wait="$timeout_s")
as_user=()
[[ -n $no_permission ]] && as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
answer=y
((cancel_confirm)) && answer=n
mkfifo "$work/answer" || setup_failed "cannot make a fifo in $work"
env UMOCKDEV_DIR="$testbed" LD_PRELOAD="libumockdev-preload.so.0${LD_PRELOAD:+:$LD_PRELOAD}" \
  "${as_user[@]}" "$cli" "${args[@]}" <"$work/answer" >"$work/output.txt" 2>&1 &
cli_pid=$!
exec 6>"$work/answer"  # the user's keyboard, open until the question comes

answered=0
attached=0
interrupted=0
cli_status=""
while :; do
  if ! kill -0 "$cli_pid" 2>/dev/null; then
    wait "$cli_pid"
    cli_status=$?
    cli_pid=""
    break
  fi
  if ((!answered)) && grep -q '\[y/N\]' "$work/output.txt"; then
    echo "$answer" >&6
    exec 6>&-
    answered=1
  fi
  if ((attach_after_start && !attached)) && grep -q '^Waiting for a controller' "$work/output.txt"; then
    for ((k = 1; k <= controllers; k++)); do control attach "$k" >/dev/null; done
    attached=1
  fi
  if [[ -n $interrupt_at ]] && ((!interrupted)); then
    data=$(control status | sed -n 's/.* data=\([0-9]*\).*/\1/p')
    if [[ -n $data ]] && ((data >= interrupt_at)); then
      kill -INT "$cli_pid"
      interrupted=1
    fi
  fi
  now_ms
  if ((now >= deadline)); then
    echo "outcome: no result within ${timeout_s} s"
    tail -n 20 "$work/output.txt"
    exit 1
  fi
  sleep 0.01
done

# ---------------------------------------------------------------- what came of it
[[ -n $output_out ]] && cp "$work/output.txt" "$output_out"
# The engine's messages as the command line printed them (several
# controllers: after the controller's path).
engine_texts=("Firmware upgraded successful!" "Firmware update failure!"
  "The firmware is factory Version, please update to lastest version!"
  "Firmware update failure, please poweroff Tindro and make it work in BOOT mode")
: >"$work/messages.txt"
while IFS= read -r line; do
  text=$line
  [[ $line =~ ^/dev/hidraw[0-9]+:\ (.*)$ ]] && text=${BASH_REMATCH[1]}
  if [[ $text == "Note: "* ]]; then
    printf 'Note\t%s\n' "${text#Note: }" >>"$work/messages.txt"
  else
    for known in "${engine_texts[@]}"; do
      [[ $text == "$known" ]] && printf '%s\t\n' "$text" >>"$work/messages.txt"
    done
  fi
done <"$work/output.txt"
[[ -n $messages_out ]] && cp "$work/messages.txt" "$messages_out"

matching=0
for ((k = 1; k <= controllers; k++)); do
  reply=$(control image "$k" "$work/image.$k")
  [[ $reply == ok* ]] || echo "e2e-linux: could not read controller $k's image: $reply" >&2
  cmp -s "$work/image.$k" "$work/payload.bin" && matching=$((matching + 1))
  if [[ -n $image_out ]]; then
    if ((controllers == 1)); then cp "$work/image.$k" "$image_out"; else cp "$work/image.$k" "$image_out.$k"; fi
  fi
  violations=$(control violations "$k")
  [[ -n $violations ]] && echo "controller $k broke wire rules: $violations"
  [[ -n $stats_out ]] && { printf 'controller %d: ' "$k"; control stats "$k"; } >>"$stats_out"
done
successes=$(grep -c '^Firmware upgraded successful!' "$work/messages.txt")

echo "korvid-update exit status: $cli_status"
if ((cli_status == 0 && matching == controllers && successes == controllers)); then
  echo "outcome: updated ($controllers controller(s), $(wc -c <"$work/payload.bin") bytes, every image equals the payload)"
  exit 0
fi
reason=$(grep -m1 -E '^(/dev/hidraw[0-9]+: )?(The update failed|korvid-update:)' "$work/output.txt" | cut -c1-200)
echo "outcome: not updated (exit status $cli_status, $matching of $controllers images equal the payload${reason:+; $reason})"
exit 1
