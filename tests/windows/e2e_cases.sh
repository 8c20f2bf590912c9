#!/usr/bin/env bash
# End-to-end cases through the unmodified update.exe under Wine, one per
# CTest test: bash e2e_cases.sh CASE. Each runs scripts/e2e-windows.sh and
# checks what the user saw (every message box exactly, in both languages),
# the dialog's states, the program's end and the controller's image.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
case_name=${1:?usage: e2e_cases.sh CASE}

work=$(mktemp -d "${TMPDIR:-/tmp}/korvid-e2e-case.XXXXXX")
trap 'rm -rf "$work"' EXIT

caption='Korvid Tools v1.04'
title_plain=$caption
instructions_en='1. Hold START+L+R for 3 seconds. Yellow LED         will blink.\r\n\r\n2. Connect to PC via USB cable.\r\n\r\n3. Click USB Update button and select firmware      file.'
success_en='\n Firmware upgraded! \n'
success_zh='\n 升级成功. \n'
failure_en='Firmware update failure\n'
failure_zh='固件更新失败\n'

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# A firmware file: version, payload size; the payload is random.
make_firmware() {
  local file=$1 version=$2 size=$3
  le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
  mkdir -p "$(dirname "$file")"
  {
    printf "$(le16 "$version")$(le16 0)\\x01\\x00\\x56\\x4b$(le16 $((size & 65535)))$(le16 $((size >> 16)))"
    head -c 16 /dev/zero
    head -c "$size" /dev/urandom
  } >"$file"
  tail -c +29 "$file" >"$file.payload"
}

# The run's lines go out as they come, so that even a run stopped by the
# test's time-out shows how far it got.
run_e2e() {
  set +e
  bash "$repo/scripts/e2e-windows.sh" --messages-out "$work/messages" --log-out "$work/log" \
    --image-out "$work/image" --stats-out "$work/stats" "$@" 2>&1 | tee "$work/out"
  status=${PIPESTATUS[0]}
  set -e
  echo "----"
}

expect_status() {
  [[ $status == "$1" ]] || fail "exit status $status, expected $1"
  if [[ $1 == 1 ]]; then
    grep -q '^outcome: ' "$work/out" || fail "no outcome: line"
  fi
}

# Every message box the user saw, exactly and in order: "caption<TAB>text" per argument.
expect_messages() {
  local expected=$work/expected-messages
  : >"$expected"
  local line
  for line in "$@"; do printf '%s\t%s\n' "$caption" "$line" >>"$expected"; done
  diff -u "$expected" "$work/messages" >"$work/diff" || {
    fail "the message boxes differ from the expected ones:"
    cat "$work/diff"
  }
}

# The dialog as the driver saw it at LABEL: the fields given must match.
expect_state() {
  local label=$1 fields=$2 line
  line=$(grep -m1 "^state $label: " "$work/log" || true)
  [[ -n $line ]] || {
    fail "no state $label"
    return
  }
  [[ "${line#state $label: } " == *"$fields "* ]] || fail "state $label is \"${line#state $label: }\", expected \"$fields\""
}

expect_log() { grep -qxF -- "$1" "$work/log" || fail "the user did not see: $1"; }
expect_no_log() { ! grep -q -- "$1" "$work/log" || fail "unexpected: $(grep -m1 -- "$1" "$work/log")"; }
expect_controller() { grep -q "^  controller: .*$1" "$work/out" || fail "the controller's status lacks $1"; }

# The program ended cleanly when closed: exit code 0, within MS (default a few seconds).
expect_clean_end() {
  local line ms limit=${1:-5000}
  line=$(grep -m1 '^program: exited' "$work/log" || true)
  [[ $line == "program: exited code=0x00000000 "* ]] || fail "the program did not end cleanly: ${line:-no end seen}"
  ms=${line##*after-close-ms=}
  [[ -n $ms && $ms -lt $limit ]] || fail "the program took $ms ms to end after its dialog was closed (limit $limit)"
}

# Moments on the clock the driver and the controller share, in microseconds:
# when the driver saw message N or took state LABEL, and the controller's
# figure NAME (fault_us: when its planned fault struck).
message_at() { sed -n "s/^timing: message $1 .* at-us=\([0-9]*\)$/\1/p" "$work/log"; }
state_at() { sed -n "s/^state $1: .* at-us=\([0-9]*\)$/\1/p" "$work/log" | head -n1; }
controller_figure() { tr ' ' '\n' <"$work/stats" | sed -n "s/^$1=\([0-9]*\)$/\1/p"; }

# The milliseconds from moment FROM to moment TO lie in [LOW, HIGH); WHAT names them.
expect_ms_between() {
  local from=$1 to=$2 low=$3 high=$4 what=$5 ms
  [[ -n $from && -n $to ]] || {
    fail "$what: a moment is missing (from '${from}' to '${to}')"
    return
  }
  ms=$(((to - from) / 1000))
  ((ms >= low && ms < high)) || fail "$what took $ms ms, expected $low to $high"
}

whole_update_checks() {
  local success=$1
  expect_status 0
  expect_state end "title=$title_plain button=disabled progress=0 done=shown"
  expect_clean_end
  expect_controller 'boot=0 vid=0x2DC8 pid=0x5751'
  cmp -s "$work/image" "$firmware.payload" || fail "the controller's image differs from the file's payload"
  [[ $(tail -n1 "$work/messages") == "$caption"$'\t'"$success" ]] || fail "the last message is not the success message"
}

case $case_name in
  whole_update_en)
    # Paced like full-speed USB, the transfer lasts about a second: long
    # enough to be seen, and photographed, half done.
    firmware=$work/fw/v1.10.dat
    make_firmware "$firmware" 110 30000
    run_e2e --firmware "$firmware" --paced --screenshots "$work/shots"
    expect_log "help: $instructions_en"
    expect_log 'button: USB Update'
    expect_log 'done-text: Firmware upgraded!'
    expect_state start "title=$title_plain button=enabled progress=0 done=hidden"
    expect_log 'file-dialog: title=Open type=File type(*.dat)'
    expect_messages 'New firmware 1.10 and current is 1.00\n' "$success_en"
    whole_update_checks "$success_en"
    grep -qE '^state transfer: .* progress=([1-9]|[1-9][0-9]) ' "$work/log" || fail "the transfer was not seen half done"
    for shot in rest file-dialog confirmation transfer result; do
      colours=$(identify -format '%k' "$work/shots/$shot.png" 2>/dev/null || echo 0)
      ((colours > 8)) || fail "screenshot $shot is missing or blank ($colours colours)"
    done
    ;;
  whole_update_zh)
    firmware=$work/fw/v1.10.dat
    make_firmware "$firmware" 110 3000
    run_e2e --language zh --firmware "$firmware" --device-version 105
    expect_log 'help: 1.按住START+L+R 开机（大约3S）, 黄灯闪烁。\r\n\r\n2.插入USB线。\r\n\r\n3.点击USB 升级按钮然后选择升级文件升级。'
    expect_log 'file-dialog: title=打开 type=文件类型中显示的内容(*.dat)'
    expect_log 'button: USB 升级'
    expect_log 'done-text: 升级成功.'
    expect_messages '升级新固件 1.10 当前版本为 1.05\n' "$success_zh"
    whole_update_checks "$success_zh"
    ;;
  attached_after_start)
    firmware=$work/fw/v1.10.dat
    make_firmware "$firmware" 110 700
    run_e2e --firmware "$firmware" --attach-after-start
    expect_state start "title=$title_plain button=disabled"
    expect_state attached "title=Korvid Tools v1.04(Tindro V1.00) button=enabled"
    expect_messages 'New firmware 1.10 and current is 1.00\n' "$success_en"
    whole_update_checks "$success_en"
    ;;
  second_interface)
    # The controller's USB device has a second HID interface with the same
    # ids (a keyboard's 8-byte reports): the program takes the interface
    # whose reports are the controller's, whichever the system lists first.
    firmware=$work/fw/v1.10.dat
    make_firmware "$firmware" 110 700
    run_e2e --firmware "$firmware" --two-interfaces --attach-after-start
    expect_state attached "title=Korvid Tools v1.04(Tindro V1.00) button=enabled"
    expect_messages 'New firmware 1.10 and current is 1.00\n' "$success_en"
    whole_update_checks "$success_en"
    expect_controller 'wire_violations=0'
    ;;
  chinese_folder)
    firmware="$work/固件 文件夹/新固件.dat"
    make_firmware "$firmware" 105 2000
    run_e2e --firmware "$firmware"
    expect_messages 'New firmware 1.05 and current is 1.00\n' "$success_en"
    whole_update_checks "$success_en"
    ;;
  failure_event)
    run_e2e --fail-at-chunk 5 --fail-code 24
    expect_status 1
    expect_messages 'New firmware 1.10 and current is 1.00\n' "$failure_en"
    expect_state end "title=$title_plain button=enabled"
    expect_controller 'data=5 completions=0'
    expect_clean_end
    ;;
  failure_event_zh)
    run_e2e --language zh --fail-at-chunk 3
    expect_status 1
    expect_messages '升级新固件 1.10 当前版本为 1.00\n' "$failure_zh"
    expect_state end "title=$title_plain button=enabled"
    expect_clean_end
    ;;
  unplug_mid_transfer)
    run_e2e --unplug-at-chunk 5
    expect_status 1
    expect_messages 'New firmware 1.10 and current is 1.00\n' "$failure_en"
    # From the controller's own unplug: there may be no progress change to
    # time from. Wine's HID stack mostly tells of the removal only once the
    # program has let go of the device (its reads simply time out
    # meanwhile): the run then ends at the 10 s bound on the controller's
    # silence, never as success.
    expect_ms_between "$(controller_figure fault_us)" "$(message_at 2)" 0 14000 "the failure message after the unplug"
    expect_state end "title=$title_plain button=disabled"
    expect_clean_end
    ;;
  silence)
    run_e2e --silent-at-chunk 5
    expect_status 1
    expect_messages 'New firmware 1.10 and current is 1.00\n' "$failure_en"
    # The watchdog counts from the controller's last word at the earliest.
    expect_ms_between "$(controller_figure fault_us)" "$(message_at 2)" 10000 14000 "the failure message after the silence"
    # Each empty read of the transfer (10 ms) is told: hundreds in 10 s,
    # where reads of 200 ms would tell at most 50.
    notices=$(sed -n 's/^  controller: .* read_failed=\([0-9]*\).*/\1/p' "$work/out")
    ((${notices:-0} >= 200)) || fail "the controller was told of ${notices:-no} empty reads in 10 s of silence"
    expect_state end "title=$title_plain button=enabled"
    expect_clean_end
    ;;
  stalled_output)
    # A controller that stops taking output reports: the run ends with the
    # failure message, and the dialog answers and closes as ever. Through
    # Wine's HID stack WriteFile itself returns only once the write has
    # ended, so the program's own one-second bound cannot act: the bound is
    # the device's, the kernel failing the write after 5 s.
    run_e2e --stop-reading-at-chunk 5
    expect_status 1
    expect_messages 'New firmware 1.10 and current is 1.00\n' "$failure_en"
    expect_ms_between "$(controller_figure fault_us)" "$(message_at 2)" 5000 7000 "the failure message after the stall"
    expect_state end "title=$title_plain button=enabled progress=16 done=hidden"
    expect_controller 'data=5 completions=0'
    expect_clean_end 2000
    ;;
  cancel_file)
    run_e2e --cancel-file
    expect_status 1
    expect_messages
    expect_log 'ended: file choice cancelled'
    expect_state end "title=$title_plain button=enabled progress=0"
    expect_controller 'header=0 data=0'
    expect_clean_end
    ;;
  cancel_confirmation)
    run_e2e --cancel-confirm
    expect_status 1
    expect_messages 'New firmware 1.10 and current is 1.00\n'
    expect_log 'ended: confirmation cancelled'
    expect_state end "title=$title_plain button=enabled progress=0"
    expect_controller 'header=0 data=0'
    expect_clean_end
    ;;
  firmware_type_refused)
    run_e2e --firmware-type 200
    expect_status 1
    expect_messages 'Firmware update failure, please handle work in BOOT mode\n'
    expect_no_log '^file-dialog'
    expect_state end "title=$title_plain button=enabled"
    expect_controller 'header=0 data=0'
    ;;
  firmware_type_refused_zh)
    run_e2e --language zh --firmware-type 0
    expect_status 1
    expect_messages '固件更新失败,请将手柄工作在BOOT模式\n'
    expect_controller 'header=0 data=0'
    ;;
  factory_firmware)
    firmware=$work/fw/v1.10.dat
    make_firmware "$firmware" 110 500
    run_e2e --firmware "$firmware" --factory
    # The warning comes during start-up, before the dialog shows.
    expect_messages "$instructions_en" 'New firmware 1.10 and current is 42949672.95\n' "$success_en"
    [[ $(grep -m1 -E '^(message|state start)' "$work/log") == message:* ]] ||
      fail "the factory-firmware warning did not come before the dialog"
    expect_state start "title=$title_plain button=enabled"
    whole_update_checks "$success_en"
    ;;
  close_during_transfer)
    # 100 chunks: every acknowledgement moves the bar, so the worker is
    # mostly waiting on the dialog's thread when the dialog closes.
    run_e2e --close-during-transfer --payload-size 3200 --paced
    expect_status 1
    expect_log 'ended: closed during the transfer'
    expect_messages 'New firmware 1.10 and current is 1.00\n'
    expect_clean_end 1500
    expect_controller 'completions=0'
    ;;
  device_change_during_transfer)
    # While the worker owns the controller, a device arrival neither queries
    # nor opens it nor offers the button, and a press starts no second run.
    firmware=$work/fw/v1.10.dat
    make_firmware "$firmware" 110 30000
    run_e2e --firmware "$firmware" --paced --device-change-during-transfer
    expect_state device-change "title=$title_plain button=disabled"
    expect_state pressed-again "title=$title_plain button=disabled"
    expect_messages 'New firmware 1.10 and current is 1.00\n' "$success_en"
    whole_update_checks "$success_en"
    ;;
  version_never_reported)
    # The start-up version query gives up after 2 s: the dialog comes up with
    # the plain title and a usable button; an update asks once more (2 s),
    # then fails by the watchdog instead of waiting for ever.
    run_e2e --silent-at version
    expect_status 1
    expect_state start "title=$title_plain button=enabled progress=0 done=hidden"
    # Each read of the query waits 200 ms and is then told to the controller:
    # a query bounded at 2 s tells it 10 times, 11 at most.
    notices=$(sed -n 's/^controller-at-start: .* read_failed=\([0-9]*\).*/\1/p' "$work/log")
    ((${notices:-99} <= 11)) || fail "the start-up query read ${notices:-?} times before it gave up, not for 2 s"
    expect_ms_between "$(controller_figure fault_us)" "$(state_at start)" 1500 10000 "the dialog after the version request"
    expect_messages "$failure_en"
    press=$(sed -n 's/^timing: message 1 press+\([0-9]*\) .*/\1/p' "$work/log")
    ((${press:-0} >= 12000 && ${press:-0} < 17000)) || fail "the failure came ${press:-?} ms after the press, not 2 + 10 s"
    expect_no_log '^file-dialog'
    expect_controller 'header=0 data=0'
    expect_clean_end
    ;;
  version_unknown)
    # The controller leaves two version requests unanswered: at start-up and
    # the worker's before the first update, whose confirmation then names
    # the file's version alone. The second update's worker asks again and
    # is answered; its press put the bar, left at the failure, back to 0.
    firmware=$work/fw/v1.10.dat
    make_firmware "$firmware" 110 1000
    run_e2e --firmware "$firmware" --version-unanswered 2 --fail-at-chunk 5 --updates 2
    expect_messages 'New firmware 1.10\n' "$failure_en" 'New firmware 1.10 and current is 1.00\n' "$success_en"
    expect_state after-1 "title=$title_plain button=enabled progress=16 done=hidden"
    expect_state file-dialog-2 "title=Korvid Tools v1.04(Tindro V1.00) button=disabled progress=0 done=hidden"
    whole_update_checks "$success_en"
    ;;
  second_update)
    # The controller comes back while the first update's success message is
    # open; once it is closed the controller is queried as an arrival is.
    # The second update starts from a hidden done text, and no ended
    # worker's handle stays behind.
    firmware=$work/fw/v1.10.dat
    make_firmware "$firmware" 110 1000
    run_e2e --firmware "$firmware" --updates 2 --reattach-at-first-result
    expect_messages 'New firmware 1.10 and current is 1.00\n' "$success_en" \
      'New firmware 1.10 and current is 1.00\n' "$success_en"
    expect_log 'reattached: while the last message box was open'
    expect_state after-1 "title=Korvid Tools v1.04(Tindro V1.00) button=enabled progress=0 done=shown"
    expect_state file-dialog-2 "title=Korvid Tools v1.04(Tindro V1.00) button=disabled progress=0 done=hidden"
    [[ $(grep -c '^held-thread-handles: 0$' "$work/log") == 2 ]] ||
      fail "the program keeps handles of ended threads: $(grep '^held-thread-handles' "$work/log" | tr '\n' ' ')"
    whole_update_checks "$success_en"
    ;;
  device_notices_while_idle)
    # Controllers plugged in and out with no update running, each change told
    # by the system's own notice; DBT_DEVNODES_CHANGED alone between them.
    # An arrival is queried, the last removal disables the button, and a
    # second controller comes and goes without taking the first one's place.
    run_e2e --device-notices-while-idle
    expect_status 1
    expect_messages
    versioned="title=Korvid Tools v1.04(Tindro V1.00) button=enabled"
    plain_disabled="title=$title_plain button=disabled"
    expect_state start "$plain_disabled"
    expect_state arrival "$versioned"
    expect_state nodes-changed-present "$versioned"
    expect_state removed "$plain_disabled"
    expect_state nodes-changed-none-left "$plain_disabled"
    expect_state arrival-again "$versioned"
    expect_state second-arrival "$versioned"
    expect_state one-of-two-removed "$versioned"
    expect_state last-removed "$plain_disabled"
    expect_clean_end
    ;;
  *)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac

expect_no_log '^driver: stuck'
if ((failures > 0)); then
  echo "$case_name: $failures check(s) failed"
  exit 1
fi
echo "$case_name: passed"
