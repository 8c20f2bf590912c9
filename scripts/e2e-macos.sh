#!/usr/bin/env bash
# One end-to-end firmware update through the macOS application Tindro, built
# here against GNUstep: its own Xvfb and HOME, the emulated controller (a
# hidraw node in a umockdev testbed, which Tindro finds through udev and
# opens as it would a real controller), and Tindro with the driver bundle that
# plays the user (presses Update, chooses the file, answers the sheet and the
# alerts, reads their texts). Everything it starts is stopped by process id,
# also when it fails. See --help.
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"

usage() {
  cat <<'EOF'
usage: scripts/e2e-macos.sh [options]
The user:
  --cancel-file             cancels the open panel
  --cancel-confirm          answers Cancel on the confirmation sheet
  --ask-help                asks for the help text from the menu instead of updating
  --watch-only              only looks, answering any alert (with --application-mode, --no-controller)
  --help-at-progress N      opens Help from the menu once the bar shows N% (mid-transfer); the
                            controller is held still from 0.3 s before to 0.3 s after it
  --hold-help S             leaves that help alert open S seconds before answering it (default 0)
The firmware file:
  --firmware FILE           the *.dat file to choose (default: a generated sample)
  --payload-size N          payload bytes of the generated sample (default 4096)
  --file-version N          version of the generated sample in hundredths (default 110)
  --file-beta N             beta number of the generated sample (default 0)
The controller:
  --device-version N        firmware version it reports, in hundredths (default 100)
  --device-beta N           beta number it reports (default 0)
  --factory                 runs factory firmware
  --firmware-type N         firmware type in its identity (default 1)
  --fail-at-chunk N         answers data command N with a failure event
  --fail-code 21|24         that failure event (default 21)
  --silent-at-chunk N       goes silent after data command N
  --unplug-at-chunk N       is unplugged after data command N
  --attach-after-start      is plugged in once Tindro's window is on screen
  --application-mode        runs its application (product 0x5751) instead of BOOT mode
  --no-controller           no controller at all
  --paced                   full-speed USB pace: one report per 1 ms frame
  --second-controller-at-progress N
                            a second controller (BOOT mode, factory firmware) is plugged in once
                            the bar shows N%; the first is held still until Tindro has seen the
                            second arrive. After the success the run waits until Update is
                            offered again and says for what ("offered afterwards:")
The driver:
  --look-ms N               the user looks at the screen every N ms (default 5)
  --miniaturize             puts the window in the dock once the transfer runs (no bar redraws)
Output:
  --image-out FILE          the bytes the controller kept as its image
  --messages-out FILE       every alert and sheet the user saw, in order, one per line:
                            message text, a tab, informative text (CR and LF as \r and \n)
  --events-out FILE         the driver's record: what the user saw and did, with times in ms
  --stats-out FILE          the controller's figures (header and completion times, reports)
  --tindro-log FILE         where Tindro's standard error (its NSLog traces) goes (default: the
                            run's folder; shown when a run goes wrong)
  --screenshots DIR         window.png (version shown), sheet.png, transfer.png (striped bar
                            mid-transfer), alert-N.png (each alert in turn), success.png
  --watch-seconds S         keep looking this long after the end, for alerts that follow (default 1)
  --timeout S               bound on the whole run (default 40)
  --keep                    keep the run's folder (printed) for a look afterwards
Builds: the gnustep preset into build-gnustep-e2e, unless KORVID_GNUSTEP_BUILD names a build
folder that holds Tindro, the driver bundle and korvid-emulated-controller.
Exit status: 0 when the user saw the success alert and the controller's image equals the file's
payload; 1 when the update ended any other way (one "outcome:" line says how); 2 for bad usage
or a set-up that failed.
EOF
}

die_usage() {
  echo "e2e-macos: $*" >&2
  echo "try: scripts/e2e-macos.sh --help" >&2
  exit 2
}

# ---------------------------------------------------------------- options
firmware=""
payload_size=4096
file_version=110
file_beta=0
controller_args=()
driver_mode=update
look_ms=5
miniaturize=0
help_at=""
hold_help=0
second_at=""
cancel_file=0
cancel_confirm=0
attach_after_start=0
no_controller=0
image_out=""
messages_out=""
events_out=""
stats_out=""
tindro_log=""
shots_dir=""
watch_seconds=1
timeout_s=40
keep=0

number() {  # NAME VALUE: a whole number, or usage error
  [[ $2 =~ ^[0-9]+$ ]] || die_usage "$1 takes a whole number, not '$2'"
}

while (($# > 0)); do
  option=$1
  shift
  case $option in
    -h | --help) usage; exit 0 ;;
    --cancel-file) cancel_file=1 ;;
    --cancel-confirm) cancel_confirm=1 ;;
    --ask-help) driver_mode=help ;;
    --watch-only) driver_mode=watch ;;
    --factory | --paced | --application-mode) controller_args+=("$option") ;;
    --attach-after-start) attach_after_start=1; controller_args+=("$option") ;;
    --no-controller) no_controller=1 ;;
    --miniaturize) miniaturize=1 ;;
    --keep) keep=1 ;;
    --firmware | --payload-size | --file-version | --file-beta | --device-version | --device-beta | \
      --firmware-type | --fail-at-chunk | --fail-code | --silent-at-chunk | --unplug-at-chunk | --image-out | \
      --messages-out | --events-out | --stats-out | --screenshots | --watch-seconds | --timeout | --look-ms | \
      --tindro-log | --help-at-progress | --hold-help | --second-controller-at-progress)
      (($# > 0)) || die_usage "$option takes a value"
      value=$1
      shift
      case $option in
        --firmware) firmware=$value ;;
        --payload-size) number "$option" "$value"; payload_size=$value ;;
        --file-version) number "$option" "$value"; file_version=$value ;;
        --file-beta) number "$option" "$value"; file_beta=$value ;;
        --image-out) image_out=$value ;;
        --messages-out) messages_out=$value ;;
        --events-out) events_out=$value ;;
        --stats-out) stats_out=$value ;;
        --tindro-log) tindro_log=$value ;;
        --screenshots) shots_dir=$value ;;
        --watch-seconds) [[ $value =~ ^[0-9]+(\.[0-9]+)?$ ]] || die_usage "--watch-seconds takes seconds"; watch_seconds=$value ;;
        --timeout) number "$option" "$value"; timeout_s=$value ;;
        --look-ms) number "$option" "$value"; ((value > 0)) || die_usage "--look-ms takes 1 or more"; look_ms=$value ;;
        --help-at-progress) number "$option" "$value"; ((value < 100)) || die_usage "$option takes 0 to 99"; help_at=$value ;;
        --hold-help) number "$option" "$value"; hold_help=$value ;;
        --second-controller-at-progress)
          number "$option" "$value"
          ((value < 100)) || die_usage "$option takes 0 to 99"
          second_at=$value
          ;;
        *) controller_args+=("$option" "$value") ;;  # the controller's options, checked by the emulator
      esac
      ;;
    *) die_usage "unknown option: $option" ;;
  esac
done
((file_version <= 65535 && file_beta <= 65535)) || die_usage "--file-version and --file-beta take 0 to 65535"
((payload_size >= 1 && payload_size <= 16777216)) || die_usage "--payload-size takes 1 to 16777216"
if [[ -n $firmware ]]; then
  [[ -f $firmware && -r $firmware ]] || die_usage "cannot read the firmware file: $firmware"
  [[ $firmware == *.dat ]] || die_usage "the open panel takes only *.dat files: $firmware"
  firmware="$(cd "$(dirname "$firmware")" && pwd)/$(basename "$firmware")"
fi

# ---------------------------------------------------------------- build
if [[ -n ${KORVID_GNUSTEP_BUILD:-} ]]; then
  build=$KORVID_GNUSTEP_BUILD
else
  build=$root/build-gnustep-e2e
  targets=(Tindro korvid_gnustep_driver korvid-emulated-controller)
  if ! (cd "$root" && cmake --preset gnustep -B "$build" >/dev/null &&
    cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null); then
    echo "e2e-macos: the build failed (cmake --preset gnustep -B $build)" >&2
    exit 2
  fi
fi
tindro=$build/macos/Tindro.app/Tindro
bundle=$build/tools/gnustep-driver/Driver.bundle
emulator=$build/sim/emulated/korvid-emulated-controller
for needed in "$tindro" "$emulator" "$bundle/Driver"; do
  [[ -x $needed ]] || { echo "e2e-macos: missing from the build: $needed" >&2; exit 2; }
done

# ---------------------------------------------------------------- clean-up
# Short paths: a socket path has at most 107 bytes.
work=$(mktemp -d /tmp/kve-XXXXXX) || exit 2
xvfb_pid=""
emulator_pid=""
tindro_pid=""
tindro_err=${tindro_log:-$work/tindro.err}

source "$root/scripts/lib/stop_process.sh"
source "$root/scripts/lib/virtual_display.sh"
source "$root/scripts/lib/emulated_controller.sh"

cleanup() {
  stop "$tindro_pid"
  stop_emulated_controllers "$work"
  stop "$xvfb_pid"
  if ((keep)); then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 2' INT TERM

setup_failed() {
  echo "e2e-macos: $*" >&2
  exit 2
}

# ---------------------------------------------------------------- firmware
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $((($1 >> 16) & 65535)); }

if [[ -z $firmware ]]; then
  firmware=$work/sample.dat
  {
    le16 "$file_version"
    le16 "$file_beta"
    le32 $((0x4B560001))
    le32 "$payload_size"
    head -c 16 /dev/zero
    head -c "$payload_size" /dev/urandom
  } >"$firmware" || setup_failed "cannot write the sample firmware"
fi
# The payload: the bytes after the 28-byte header, as many as it announces.
announced=$(od -An -tu4 -j8 -N4 "$firmware" | tr -d ' ')
[[ -n $announced ]] || setup_failed "the firmware file has no header: $firmware"
tail -c +29 "$firmware" | head -c "$announced" >"$work/payload.bin"

# ---------------------------------------------------------------- Xvfb
start_virtual_display "$work" || setup_failed "Xvfb did not start: $(tail -3 "$work/xvfb.log")"

# ---------------------------------------------------------------- controller
# The controller as the kernel shows it: Tindro's device layer finds the node
# through udev and opens it, here in umockdev's emulated /dev and /sys. With
# no controller the testbed stays empty, so that nothing of this machine's
# own shows. A second controller is controller 2 of the same emulator, the
# faults kept to the first.
mkdir -p "$work/home" "$work/out"
control() {  # COMMAND: the emulator's reply on stdout
  "$emulator" --send "$work/control" $1 2>>"$work/control.err"
}
emulator_args=(--return-delay-ms 300)
((no_controller)) && emulator_args+=(--attach-after-start)
[[ -n $second_at ]] && emulator_args+=(--controllers 2 --factory-on 2 --fault-on 1 --attach-after-start)
# Its own usage errors (a bad controller option) are this script's usage errors.
start_emulated_controllers "$work" "${emulator_args[@]}" "${controller_args[@]}" ||
  setup_failed "the emulated controller did not start: $(head -1 "$work/emulator.err")"
if [[ -n $second_at ]] && ((!attach_after_start)); then
  [[ $(control "attach 1") == ok* ]] || setup_failed "the first controller could not be plugged in"
fi
device_env=(UMOCKDEV_DIR="$(cat "$work/root")" LD_PRELOAD="libumockdev-preload.so.0")

# ---------------------------------------------------------------- Tindro
driver_env=(KORVID_DRIVER_OUT="$work/out" KORVID_DRIVER_MODE="$driver_mode" KORVID_DRIVER_FIRMWARE="$firmware"
  KORVID_DRIVER_LOOK_MS="$look_ms")
((miniaturize)) && driver_env+=(KORVID_DRIVER_MINIATURIZE=1)
[[ -n $help_at ]] && driver_env+=(KORVID_DRIVER_HELP_AT="$help_at" KORVID_DRIVER_HOLD_HELP_S="$hold_help")
[[ -n $second_at ]] && driver_env+=(KORVID_DRIVER_SECOND_AT="$second_at")
((cancel_file)) && driver_env+=(KORVID_DRIVER_FILE=cancel)
((cancel_confirm)) && driver_env+=(KORVID_DRIVER_CONFIRM=cancel)
if [[ -n $shots_dir ]]; then
  mkdir -p "$shots_dir" || setup_failed "cannot make $shots_dir"
  driver_env+=(KORVID_DRIVER_SHOTS=1)
fi
env HOME="$work/home" DISPLAY="$display" "${device_env[@]}" "${driver_env[@]}" \
  "$tindro" -GSAppKitUserBundles "(\"$bundle\")" >"$work/tindro.out" 2>"$tindro_err" &
tindro_pid=$!

# ---------------------------------------------------------------- the run
# The loop reads the driver's record as it grows, with shell built-ins only:
# it must not take the processor from the application it measures.
events=$work/out/events.log
messages=$work/out/messages.txt
touch "$events" "$messages"
mkfifo "$work/tick" && exec 5<>"$work/tick" || setup_failed "cannot make a fifo in $work"
exec 4<"$events"
pause() { read -r -t "$1" -u 5 _; }  # sleeps without a process
now_ms() {
  local t=${EPOCHREALTIME/./}
  now=$((t / 1000))
}

take_screenshots() {
  local request base name
  for request in "$work"/out/shot-*.request; do
    [[ -e $request ]] || continue
    read -r name <"$request"
    base=${request%.request}
    DISPLAY=$display import -window root "$shots_dir/$name.png" 2>>"$work/import.err" ||
      echo "e2e-macos: screenshot $name failed" >&2
    mv "$request" "$base.taken"
    : >"$base.done"
  done
}

# What the driver asks for while the application waits: a second controller,
# plugged in while the first is held still (it takes reports and handles
# none) until Tindro has traced the newcomer's arrival, then the first goes
# on; or the controller held still and let go again.
arrivals_traced() { grep -cE '0x[0-9a-f]{4},0x5750$' "$tindro_err" 2>/dev/null; }
handle_asks() {
  local request base what traced_before i
  for request in "$work"/out/ask-*.request; do
    [[ -e $request ]] || continue
    read -r what <"$request"
    base=${request%.request}
    mv "$request" "$base.taken"
    case $what in
      second-controller)
        traced_before=$(arrivals_traced)
        control "hold 1" >/dev/null
        echo "second controller: $(control "attach 2")"
        : >"$base.done"
        for ((i = 0; i < 500; i++)); do
          (($(arrivals_traced) > traced_before)) && break
          pause 0.02
        done
        if (($(arrivals_traced) > traced_before)); then
          echo "second controller: arrived while the first was held at ${progress_seen}%"
        else
          outcome="the second controller's arrival was never traced"
        fi
        control "release 1" >/dev/null
        ;;
      hold-controller)
        control "hold 1" >/dev/null
        : >"$base.done"
        ;;
      release-controller)
        control "release 1" >/dev/null
        : >"$base.done"
        ;;
      *) : >"$base.done" ;;
    esac
  done
}

success_text="Firmware upgraded successful!"
failure_text="Firmware update failure!"
boot_mode_text="Firmware update failure, please poweroff Tindro and make it work in BOOT mode"
help_title="Update Firmware From MacOS X"

# shows TEXT MESSAGE INFORMATIVE: the alert showed TEXT as one of its two texts.
shows() { [[ $2 == "$1" || $3 == "$1" ]]; }

# judge LINE: one line of the record; sets $outcome once the run has ended.
window_shown=0
cancel_pressed=0
alerts_seen=0
success_alert=0
progress_seen=0
judge() {
  local line=$1 kind text message informative
  line=${line#* }  # the time
  kind=${line%%: *}
  text=${line#*: }
  [[ $line == "$kind: " ]] && text=""
  case $kind in
    stuck) outcome="the user was stuck: $text" ;;
    window) window_shown=1 ;;
    press) [[ $text == Cancel ]] && cancel_pressed=1 ;;
    progress) progress_seen=$text ;;
    update)
      if [[ $text == enabled ]] && ((cancel_pressed)); then
        ((cancel_file)) && outcome="cancelled in the open panel"
        ((cancel_confirm)) && outcome="cancelled on the confirmation sheet"
      fi
      ;;
    alert)
      alerts_seen=$((alerts_seen + 1))
      message=${text%%\\t*}
      informative=${text#*\\t}
      if shows "$success_text" "$message" "$informative"; then
        outcome=updated
        success_alert=$alerts_seen
      elif shows "$boot_mode_text" "$message" "$informative"; then
        outcome="refused: the BOOT-mode failure alert"
      elif shows "$failure_text" "$message" "$informative"; then
        outcome="failed: the failure alert"
      elif [[ $driver_mode == help ]] && shows "$help_title" "$message" "$informative"; then
        outcome="help: the help alert"
      fi
      ;;
  esac
}

# read_record: judges the lines the driver has written since the last call;
# a line still being written waits for its end.
partial=""
read_record() {
  local line
  while [[ -z $outcome ]]; do
    if IFS= read -r line <&4; then
      judge "$partial$line"
      partial=""
    else
      partial+=$line
      return
    fi
  done
}

outcome=""
attached_later=0
watch_from=""
now_ms
deadline=$((now + timeout_s * 1000))
watch_ms=$(awk -v w="$watch_seconds" 'BEGIN { printf "%d", w * 1000 }')
while [[ -z $outcome ]]; do
  take_screenshots
  read_record
  handle_asks
  [[ -n $outcome ]] && break
  if ! kill -0 "$tindro_pid" 2>/dev/null; then
    wait "$tindro_pid"
    outcome="Tindro ended by itself (status $?)"
    tindro_pid=""
    break
  fi
  now_ms
  if ((window_shown)); then
    [[ -z $watch_from ]] && watch_from=$now
    if ((attach_after_start && !attached_later)); then
      attached_later=1
      echo "attached after start: $(control "attach 1")"
    fi
    if [[ $driver_mode == watch ]] && ((now - watch_from >= watch_ms)); then
      if ((alerts_seen > 0)); then outcome="watched: an alert showed"; else outcome="watched: no alert"; fi
      break
    fi
  fi
  if ((now >= deadline)); then
    outcome="no result within ${timeout_s} s"
    break
  fi
  pause 0.02
done

# ---------------------------------------------------------------- after the end
# Keep looking a little: the driver answers and records alerts that follow
# (none should), and an updated controller comes back as its application.
returned=""
if [[ -n $tindro_pid ]]; then
  if [[ $outcome == updated && $no_controller -eq 0 ]]; then
    for ((i = 0; i < 60; i++)); do
      status_line=$(control status)
      if [[ $status_line == *"attached=1 boot=0"* ]]; then
        returned=$(sed -n 's/.* pid=\(0x[0-9A-F]*\).*/\1/p' <<<"$status_line")
        break
      fi
      pause 0.05
    done
  fi
  # A controller held back during the run is offered once it is over.
  if [[ -n $second_at && $outcome == updated ]]; then
    offered_version=""
    offered_update=""
    now_ms
    while ((now < deadline)); do
      while IFS= read -r line <&4; do
        line="$partial$line"
        partial=""
        line=${line#* }
        case ${line%%: *} in
          version) offered_version=${line#version: } ;;
          update) offered_update=${line#update: } ;;
        esac
      done
      partial+=$line
      [[ -n $offered_version && $offered_update == enabled ]] && break
      pause 0.02
      now_ms
    done
  fi
  if [[ $driver_mode != watch ]]; then
    for ((i = 0; i < watch_ms / 50; i++)); do
      take_screenshots
      pause 0.05
    done
  fi
  take_screenshots
fi

image_matches=0
if ((!no_controller)); then
  reply=$(control "image $work/image.bin")
  [[ $reply == ok* ]] || echo "e2e-macos: could not read the controller's image: $reply" >&2
  cmp -s "$work/image.bin" "$work/payload.bin" && image_matches=1
  [[ -n $image_out ]] && cp "$work/image.bin" "$image_out"
  [[ -n $stats_out ]] && control stats >"$stats_out"
  violations=$(control violations)
  [[ -n $violations ]] && echo "wire-rule violations: $violations"
fi
[[ -n $second_at ]] && echo "second controller: $(control "status 2")"
[[ -n $messages_out ]] && cp "$messages" "$messages_out"
if [[ -n $shots_dir ]] && ((success_alert > 0)) && [[ -f $shots_dir/alert-$success_alert.png ]]; then
  cp "$shots_dir/alert-$success_alert.png" "$shots_dir/success.png"
fi
[[ -n $events_out ]] && cp "$events" "$events_out"

# ---------------------------------------------------------------- report
version=$(grep ' version: ' "$events" | grep -v ' version: $' | tail -1 | cut -d' ' -f3-)
[[ -n $version ]] && echo "version shown: $version"
press_ms=$(grep -m1 -- "^[0-9]* press: Update" "$events" | cut -d' ' -f1)
if [[ -n $press_ms ]]; then
  # The first alert after Update was pressed is the result.
  result_ms=$(awk -v p="$press_ms" '$1 >= p && $2 == "alert:" { print $1; exit }' "$events")
  [[ -n $result_ms ]] && echo "result after: $((result_ms - press_ms)) ms from pressing Update"
fi
[[ -n $returned ]] && echo "returned as: product $returned"
if [[ -n $second_at && -n $press_ms ]]; then
  # What the window showed last, after the run's result.
  success_ms=$(awk '$2 == "alert:" && /Firmware upgraded successful!/ { print $1; exit }' "$events")
  if [[ -n $success_ms ]]; then
    last_version=$(awk -v t="$success_ms" '$1 >= t && $2 == "version:" { v = substr($0, index($0, ": ") + 2) } END { print v }' "$events")
    last_update=$(awk -v t="$success_ms" '$1 >= t && $2 == "update:" { u = $3 } END { print u }' "$events")
    echo "offered afterwards: version '${last_version}', Update ${last_update:-unchanged}"
  fi
fi

if [[ $outcome == updated ]]; then
  if ((image_matches)); then
    echo "outcome: updated ($(wc -c <"$work/payload.bin") bytes, image equals the payload)"
    exit 0
  fi
  outcome="the success alert showed but the image ($(wc -c <"$work/image.bin" 2>/dev/null || echo 0) bytes) differs from the payload"
fi
echo "outcome: $outcome"
if [[ $outcome != cancelled* && $outcome != refused* && $outcome != failed* && $outcome != help* &&
  $outcome != watched* ]]; then
  # Something went wrong: what the user saw, and where it stopped.
  echo "--- what the user saw (driver record) ---"
  tail -n 40 "$events"
  echo "--- Tindro's last lines on stderr ---"
  grep -v "Failed to determine offsets" "${tindro_log:-$work/tindro.err}" 2>/dev/null | tail -n 15
fi
exit 1
