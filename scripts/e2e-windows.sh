#!/usr/bin/env bash
# One firmware update through the real update.exe under Wine, against the
# emulated controller, played by a user-driver program. update.exe meets the
# controller through Wine's own HID stack (hid.dll, setupapi.dll, hidclass,
# winebus and its hidraw backend) over the emulated hidraw node: its own
# virtual display, its own Wine prefix and wineserver session, everything it
# starts stopped again by process id, also when it fails. --help lists the
# options.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/e2e-windows.sh [options]
Runs update.exe under Wine on its own Xvfb display against the emulated
controller, served through Wine's own HID stack, and plays the user: update
button, firmware file, confirmation, every message box, then closes the
program.

  --firmware FILE          firmware file to choose (default: a generated sample v1.10)
  --payload-size N         payload bytes of the generated sample (default 1000)
  --language en|zh         the user's interface language (default en)
  --device-version N       controller firmware version in hundredths (default 100)
  --device-beta N          controller beta number (default 0)
  --factory                controller runs factory firmware
  --firmware-type N        firmware type in the controller's identity (default 1)
  --version-unanswered N   controller leaves its first N version requests unanswered
  --fail-at-chunk N        controller answers data command N with a failure event
  --fail-code 21|24        that failure event (default 21)
  --silent-at-chunk N      controller goes silent after data command N
  --silent-at STEP         controller goes silent at version|identity|header|completion
  --unplug-at-chunk N      controller is unplugged after data command N
  --stop-reading-at-chunk N
                           from data command N on the controller answers nothing and
                           takes no more output reports (each write fails after 5 s)
  --cancel-file            the user cancels the open-file dialog
  --cancel-confirm         the user answers Cancel to the confirmation
  --attach-after-start     the controller is plugged in once the dialog is up
  --close-during-transfer  the user closes the dialog while the transfer runs
  --device-change-during-transfer
                           while the transfer runs another HID device arrives,
                           then the user presses the update button again
  --updates N              the user runs N updates one after the other
  --reattach-at-first-result
                           the controller is plugged out and in again while the
                           first update's last message box is open
  --device-notices-while-idle
                           no update: the driver plugs two controllers in and out
                           one at a time, each change told by Wine's own notice,
                           and sends DBT_DEVNODES_CHANGED alone between them
  --paced                  the controller keeps full-speed USB pace (1 ms frames)
  --two-interfaces         the controller's USB device has a second HID interface
                           with the same ids (a keyboard's 8-byte reports)
  --return-delay-ms N      after the completion command, back as the application
                           after N ms (default 500)
  --image-out FILE         write the bytes the controller kept as its image
  --messages-out FILE      every message box the user saw, in order: caption, tab,
                           text (carriage return and line feed written as \r, \n)
  --log-out FILE           everything the user saw, as the driver wrote it
  --screenshots DIR        PNGs: rest, file-dialog, confirmation, transfer, result
  --stats-out FILE         the controller's stats line at the end (benchmarks)
  --trace FILE             update.exe's debug output (OutputDebugStringW) to FILE
  --timeout SECONDS        bound on the whole run (default 120)
  --keep                   keep the run folder (prefix, logs) and print its path
  --prepare                only build what is missing and make the template prefix
  -h, --help               this text

Build: the directory in $KORVID_WINDOWS_BUILD (nothing is built then), else
build-windows/ of the windows preset, built as needed; the emulated
controller from $KORVID_LINUX_BUILD, else build-linux-e2e-default/ of the
default preset, built as needed.
Exit status: 0 the user saw the success message and the controller's image
equals the file's payload; 1 the update ended any other way (one outcome:
line says how); 2 bad usage or a failed set-up.
EOF
}

die_usage() {
  echo "e2e-windows: $*" >&2
  echo "try: scripts/e2e-windows.sh --help" >&2
  exit 2
}

repo=$(cd "$(dirname "$0")/.." && pwd)
firmware="" payload_size=1000 language=en
server_options=() driver_options=()
image_out="" messages_out="" log_out="" screenshots="" stats_out="" trace_out=""
run_timeout=120 keep=0 prepare_only=0 notices_while_idle=0

number() { [[ ${2:-} =~ ^(0x[0-9A-Fa-f]+|[0-9]+)$ ]] || die_usage "$1 takes a number"; }
while (($# > 0)); do
  case $1 in
    --firmware) [[ $# -ge 2 ]] || die_usage "--firmware takes a file"; firmware=$2; shift ;;
    --payload-size) number "$1" "${2:-}"; payload_size=$(($2)); ((payload_size > 0)) || die_usage "--payload-size takes 1 or more"; shift ;;
    --language) [[ ${2:-} == en || ${2:-} == zh ]] || die_usage "--language takes en or zh"; language=$2; shift ;;
    --device-version | --device-beta | --firmware-type | --fail-at-chunk | --fail-code | --silent-at-chunk | --unplug-at-chunk | \
      --stop-reading-at-chunk | --version-unanswered | --return-delay-ms)
      number "$1" "${2:-}"; server_options+=("$1" "$2"); shift ;;
    --updates) number "$1" "${2:-}"; driver_options+=("$1" "$2"); shift ;;
    --reattach-at-first-result) driver_options+=("$1") ;;
    --device-notices-while-idle) notices_while_idle=1 ;;
    --silent-at) [[ ${2:-} =~ ^(version|identity|header|completion)$ ]] || die_usage "$1 takes version, identity, header or completion"
      server_options+=("$1" "$2"); shift ;;
    --factory | --paced | --two-interfaces) server_options+=("$1") ;;
    --attach-after-start) driver_options+=("$1") ;;
    --cancel-file | --cancel-confirm | --close-during-transfer | --device-change-during-transfer) driver_options+=("$1") ;;
    --image-out) [[ $# -ge 2 ]] || die_usage "$1 takes a file"; image_out=$2; shift ;;
    --messages-out) [[ $# -ge 2 ]] || die_usage "$1 takes a file"; messages_out=$2; shift ;;
    --log-out) [[ $# -ge 2 ]] || die_usage "$1 takes a file"; log_out=$2; shift ;;
    --stats-out) [[ $# -ge 2 ]] || die_usage "$1 takes a file"; stats_out=$2; shift ;;
    --trace) [[ $# -ge 2 ]] || die_usage "$1 takes a file"; trace_out=$2; shift ;;
    --screenshots) [[ $# -ge 2 ]] || die_usage "$1 takes a folder"; screenshots=$2; shift ;;
    --timeout) number "$1" "${2:-}"; run_timeout=$(($2)); shift ;;
    --keep) keep=1 ;;
    --prepare) prepare_only=1 ;;
    -h | --help) usage; exit 0 ;;
    *) die_usage "unknown or incomplete option: $1" ;;
  esac
  shift
done

absolute() { [[ $1 == /* ]] && echo "$1" || echo "$PWD/$1"; }
[[ -z $firmware ]] || { [[ -f $firmware ]] || die_usage "no firmware file $firmware"; firmware=$(absolute "$firmware"); }
for out in image_out messages_out log_out stats_out trace_out; do
  [[ -z ${!out} ]] || printf -v "$out" '%s' "$(absolute "${!out}")"
done
if [[ -n $screenshots ]]; then
  mkdir -p "$screenshots" || die_usage "cannot make $screenshots"
  screenshots=$(cd "$screenshots" && pwd)
  # The driver goes on once NAME.png exists: none may be left from before.
  rm -f "$screenshots"/{rest,file-dialog,confirmation,transfer,result}.png
fi

# ---- build ------------------------------------------------------------------
source "$repo/tools/wine/wine-prefix.sh"
korvid_wine_tools || exit 2
for tool in Xvfb import localedef flock timeout; do
  command -v "$tool" >/dev/null || { echo "e2e-windows: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

build=${KORVID_WINDOWS_BUILD:-}
targets=(update korvid-user-driver)
if [[ -z $build ]]; then
  build=$repo/build-windows
  [[ -f $build/CMakeCache.txt ]] || (cd "$repo" && cmake --preset windows >/dev/null) ||
    { echo "e2e-windows: cannot configure the windows preset" >&2; exit 2; }
  cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null ||
    { echo "e2e-windows: the build failed (cmake --build $build --target ${targets[*]})" >&2; exit 2; }
fi
program=$build/windows/update.exe
driver=$build/tools/wine/korvid-user-driver.exe
for file in "$program" "$driver"; do
  [[ -f $file ]] || { echo "e2e-windows: $file is missing in $build" >&2; exit 2; }
done
# The emulated controller is a Linux program: it comes from a build of its own.
source "$repo/scripts/lib/wine_hid_session.sh"
emulated_controller_build "$repo" || exit 2

# ---- the template prefix and the locale, once per build -----------------------
korvid_wine_environment
template=$build/wine-template
locales=$build/locales

prepare() {
  korvid_wine_template "$build" || { echo "e2e-windows: no template Wine prefix" >&2; exit 2; }
  [[ -d $locales/zh_CN.UTF-8 ]] && return 0
  mkdir -p "$locales"
  (
    flock -w 120 8 || exit 1
    [[ -d $locales/zh_CN.UTF-8 ]] && exit 0
    rm -rf "$locales/zh_CN.UTF-8.new"
    # localedef warns about the locale's sources and still writes it.
    localedef -i zh_CN -f UTF-8 "$locales/zh_CN.UTF-8.new" >/dev/null 2>&1 || true
    [[ -f $locales/zh_CN.UTF-8.new/LC_CTYPE ]] || exit 1
    mv "$locales/zh_CN.UTF-8.new" "$locales/zh_CN.UTF-8"
  ) 8>"$build/locales.lock" || { echo "e2e-windows: localedef zh_CN failed" >&2; exit 2; }
}
prepare
((prepare_only == 0)) || exit 0

# ---- the run: its own folder, display, prefix, processes ---------------------------
run=$(mktemp -d "${TMPDIR:-/tmp}/korvid-e2e.XXXXXX")
xvfb_pid="" emulator_pid="" driver_pid="" session_up=0
export WINEPREFIX=$run/prefix

control() { timeout -k 5 10 "$emulator" --send "$run/control" "$@" 2>>"$run/control.err"; }
stop_all() {
  local status=$?
  set +e
  [[ -z $driver_pid ]] || kill "$driver_pid" 2>/dev/null
  # Every Windows process of this run's session, whatever started it.
  ((session_up == 0)) || timeout -k 5 10 "$wineserver" -k 2>/dev/null
  [[ -z $driver_pid ]] || wait "$driver_pid" 2>/dev/null
  stop_emulated_controllers "$run"
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  if ((keep)); then
    echo "e2e-windows: run folder kept: $run" >&2
  else
    rm -rf "$run"
  fi
  exit "$status"
}
trap stop_all EXIT
trap 'exit 2' INT TERM

winpath() { printf 'Z:%s' "${1//\//\\}"; }
setup_failed() {
  echo "e2e-windows: $*" >&2
  exit 2
}

korvid_wine_prefix_copy "$template" "$WINEPREFIX" || setup_failed "cannot copy the template prefix"

mkdir -p "$run/app"
cp "$program" "$run/app/"

if [[ -z $firmware ]]; then
  firmware=$run/firmware/sample-v1.10.dat
  mkdir -p "$run/firmware"
  le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
  le32() { printf '%s%s' "$(le16 $(($1 & 65535)))" "$(le16 $(($1 >> 16 & 65535)))"; }
  {
    printf "$(le16 110)$(le16 0)$(le32 0x4B560001)$(le32 "$payload_size")"
    printf '\xac\xad\xae\xaf\xb0\xb1\xb2\xb3\xb4\xb5\xb6\xb7\xb8\xb9\xba\xbb'
    head -c "$payload_size" /dev/urandom
  } >"$firmware"
fi
announced=$(od -An -tu4 -j8 -N4 "$firmware" | tr -d ' ')
[[ -n $announced ]] || setup_failed "$firmware is shorter than a firmware header"
tail -c +29 "$firmware" | head -c "$announced" >"$run/payload.bin"

# The program's language follows its Unix locale (zh_CN: 0x0804); the
# script itself keeps its own.
export LC_ALL=C.UTF-8 LANG=C.UTF-8
if [[ $language == zh ]]; then
  user_locale=(LOCPATH="$locales" LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8)
  success_text='\n 升级成功. \n'
else
  user_locale=(LC_ALL=C.UTF-8 LANG=C.UTF-8)
  success_text='\n Firmware upgraded! \n'
fi
caption='Korvid Tools v1.04'

source "$repo/scripts/lib/virtual_display.sh"
start_virtual_display "$run" 800x600x24 || setup_failed "Xvfb did not start: $(cat "$run/xvfb.log")"
export DISPLAY=$display

# The controllers, unplugged until Wine's HID stack is up: a device that is
# there before Wine's device service gets no arrival notice.
controllers=1
((notices_while_idle == 0)) || controllers=2
start_emulated_controllers "$run" --controllers "$controllers" --attach-after-start "${server_options[@]}" ||
  setup_failed "the emulated controller did not start: $(head -3 "$run/emulator.err")"
session_up=1
start_wine_hid_session "$run" || setup_failed "the Wine session did not start: $(tail -n 3 "$run/session.err")"

driver_args=(--program "$(winpath "$run/app/update.exe")" --firmware "$(winpath "$firmware")" --control 1)
if ((notices_while_idle)); then
  driver_args+=(--device-notices --second-control 2)
elif [[ " ${driver_options[*]} " != *" --attach-after-start "* ]]; then
  # winebus opens a node as soon as it hears of it. One plugged in before its
  # monitor listened (a loaded machine starts the session slowly) is never
  # heard of: plugged in again then.
  opened=0
  for attempt in 1 2 3; do
    control unplug >/dev/null || true
    control attach >/dev/null || setup_failed "the emulated controller was not plugged in: $(tail -n 1 "$run/control.err")"
    for _ in $(seq 100); do
      [[ $(control status) == *" open=1 "* ]] && { opened=1; break; }
      sleep 0.05
    done
    ((opened)) && break
  done
  ((opened)) || setup_failed "Wine's HID stack never opened the emulated controller"
  driver_args+=(--controllers-present 1)
fi
[[ -z $screenshots ]] || driver_args+=(--screenshot-dir "$(winpath "$screenshots")")
driver_args+=("${driver_options[@]}")
[[ -z $trace_out ]] || driver_args+=(--debug-output "$(winpath "$trace_out")")
# The driver asks for control commands on its output and reads each reply
# on its input.
mkfifo "$run/driver.fifo" "$run/driver.in"
exec 7<>"$run/driver.in"
timeout -k 5 "$run_timeout" env "${user_locale[@]}" "$wine" "$driver" "${driver_args[@]}" \
  <"$run/driver.in" >"$run/driver.fifo" 2>"$run/driver.err" &
driver_pid=$!
: >"$run/messages"
: >"$run/log"
take_line() {
  printf '%s\n' "$1" >>"$run/log"
  printf '  %s\n' "$1"
  case $1 in
    "message: "*) printf '%s\n' "${1#message: }" >>"$run/messages" ;;
    "screenshot "*)
      name=${1#screenshot }
      import -display "$DISPLAY" -window root "$screenshots/.$name.png" && mv "$screenshots/.$name.png" "$screenshots/$name.png" ;;
    "control: "*)
      reply=$(control ${1#control: }) || reply="error no answer"
      printf '%s\n' "$reply" >&7 ;;
  esac
}
# The driver's lines until it has ended (the program it started holds the
# FIFO too, and outlives a driver stopped by its time-out).
exec 9<"$run/driver.fifo"
relay_program_lines 9 "$driver_pid"
exec 9<&- 7>&-
driver_status=0
wait "$driver_pid" || driver_status=$?
driver_pid=""

[[ -z $messages_out ]] || cp "$run/messages" "$messages_out"
[[ -z $log_out ]] || cp "$run/log" "$log_out"

# A controller that does not answer its status is asked nothing more.
violations=""
if status_line=$(control status); then
  echo "  controller: $status_line"
  violations=$(control violations || true)
  [[ -z $violations ]] || echo "  wire faults: $violations"
  # The controller's moments on the driver's clock: Wine's performance
  # counter counts CLOCK_MONOTONIC_RAW, the emulator CLOCK_MONOTONIC.
  if [[ -n $stats_out ]] && stats=$(control stats) && clocks=$(control clocks); then
    [[ $clocks =~ monotonic_us=([0-9]+)\ monotonic_raw_us=([0-9]+) ]] || clocks=""
    offset=$((${BASH_REMATCH[2]:-0} - ${BASH_REMATCH[1]:-0}))
    words=()
    for word in $stats; do
      [[ $word =~ ^([a-z_]+_us)=([0-9]+)$ ]] && word="${BASH_REMATCH[1]}=$((BASH_REMATCH[2] + offset))"
      words+=("$word")
    done
    echo "${words[*]}" >"$stats_out"
  fi
  control image "$run/image.bin" >/dev/null || true
else
  echo "  controller: no answer"
fi
[[ -z $image_out ]] || cp "$run/image.bin" "$image_out" 2>/dev/null || : >"$image_out"

# What the controller and Wine said, for a run that did not succeed.
diagnostics() {
  local file who
  for file in emulator.err driver.err; do
    who=${file%.err}
    { grep -v -e ':fixme:' -e 'Read access denied for device' -e '^$' "$run/$file" 2>/dev/null || true; } | tail -n 5 | sed "s/^/  $who said: /"
  done
  return 0
}

if ((driver_status == 2)); then
  diagnostics
  echo "outcome: set-up failed: the user driver could not start the program: $(tail -n 3 "$run/driver.err")"
  exit 2
fi
stuck=$(grep -m1 '^driver: stuck' "$run/log" || true)
ended=$(grep -m1 '^ended: ' "$run/log" | sed 's/^ended: //' || true)
last_message=$(tail -n 1 "$run/messages" | cut -f2-)
saw_success=0
grep -qxF "$caption"$'\t'"$success_text" "$run/messages" && saw_success=1
image_equal=0
cmp -s "$run/image.bin" "$run/payload.bin" && image_equal=1

((driver_status == 0 && saw_success && image_equal)) && [[ -z $violations ]] || diagnostics
if ((driver_status == 124 || driver_status == 137)); then
  echo "outcome: the run took longer than $run_timeout s and was stopped"
  exit 1
elif [[ -n $stuck ]]; then
  echo "outcome: ${stuck#driver: }"
  exit 1
elif ((saw_success && image_equal)) && [[ -z $violations ]]; then
  echo "outcome: updated: the user saw the success message and the controller's image equals the payload"
  exit 0
elif ((saw_success)); then
  echo "outcome: the user saw the success message, but $( ((image_equal)) && echo "the controller saw wire faults" || echo "the controller's image differs from the payload")"
  exit 1
else
  echo "outcome: not updated: ${ended:-no end seen}${last_message:+; last message: $last_message}"
  exit 1
fi
