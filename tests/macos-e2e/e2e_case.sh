#!/usr/bin/env bash
# One end-to-end case of Tindro under GNUstep and Xvfb: runs
# scripts/e2e-macos.sh as a user's session and checks what the user saw
# (alert and sheet texts, exactly), what the window showed, when, and what
# the controller kept.
# Usage: e2e_case.sh BUILD-DIR CASE
set -uo pipefail

build=${1:?usage: e2e_case.sh BUILD-DIR CASE}
case_name=${2:?usage: e2e_case.sh BUILD-DIR CASE}
root="$(cd "$(dirname "$0")/../.." && pwd)"
export KORVID_GNUSTEP_BUILD=$build

work=$(mktemp -d /tmp/kvt-XXXXXX)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL ($case_name): $*"
  failures=$((failures + 1))
}

# The texts the user must see, exactly.
sheet_110=$'Note\tThe File Firmware Version:  v1.10'
success=$'Firmware upgraded successful!\t'
failure=$'Firmware update failure!\t'
boot_mode=$'Firmware update failure, please poweroff Tindro and make it work in BOOT mode\t'
factory=$'The firmware is factory Version, please update to lastest version!\t'
help_lines=(
  "NOTE: Ensure your controller disconnect from PC and power off before the following steps."
  ""
  "Brio, Calder, Dunmore, Elgin"
  "1. Hold down L+R+START about 3 seconds until two LED lights flashing."
  "2. Connect it to Mac via USB cable."
  "3. Select firmware file and update."
  ""
  "Brio Pro, Calder Pro"
  "1. Hold down RETURN+POWER about 3 seconds until two LED lights flashing."
  "2. Connect it to Mac via USB cable."
  "3. Select firmware file and update."
  ""
  "ARCADE JOYSTICK"
  "1. Hold down L1+R1+HOME about 3 seconds until two LED lights flashing."
  "2. Connect it to Mac via USB cable."
  "3. Select firmware file and update."
  ""
  "Fenwick"
  "1. Hold down L+R+START about 3 seconds until one LED light flashing yellow."
  "2. Connect it to Mac via USB cable."
  "3. Select firmware file and update."
)
help_line="Update Firmware From MacOS X"$'\t'$(printf '%s\\n' "${help_lines[@]}")

# run ARGS...: one session; keeps stdout, status, the messages and the record.
run() {
  "$root/scripts/e2e-macos.sh" --messages-out "$work/messages" --events-out "$work/events" \
    --image-out "$work/image" --stats-out "$work/stats" "$@" >"$work/out" 2>"$work/err"
  status=$?
  outcome=$(grep -m1 '^outcome: ' "$work/out" | cut -d' ' -f2-)
  [[ -f $work/messages ]] || : >"$work/messages"
  [[ -f $work/events ]] || : >"$work/events"
}

expect_status() {
  [[ $status -eq $1 ]] || fail "exit status $status, expected $1; outcome: '$outcome'"
}
expect_outcome() {
  [[ $outcome == "$1" ]] || fail "outcome '$outcome', expected '$1'"
}
# expect_messages LINE...: exactly these alerts and sheets, in this order.
expect_messages() {
  local expected
  expected=$(printf '%s\n' "$@")
  [[ $# -eq 0 ]] && expected=""
  [[ $(cat "$work/messages") == "$expected" ]] ||
    fail "the user saw:"$'\n'"$(cat "$work/messages")"$'\n'"expected:"$'\n'"$expected"
}
# The record's events of a kind, one per line, without their times.
events_of() { sed -n "s/^[0-9]* $1: //p" "$work/events"; }
line_of() { grep -n -m1 -- " $1" "$work/events" | cut -d: -f1; }
result_ms() { sed -n 's/^result after: \([0-9]*\) ms.*/\1/p' "$work/out"; }
stat_of() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" "$work/stats"; }

# The Update button was enabled only once a version was shown, and before it was pressed.
expect_ready_before_press() {
  local enabled pressed
  enabled=$(line_of "update: enabled")
  pressed=$(line_of "press: Update")
  [[ -n $enabled && -n $pressed && $enabled -lt $pressed ]] || fail "Update was pressed without being enabled first"
}

case $case_name in
  update_attached_at_launch)
    run --screenshots "$work/shots" --payload-size 65536
    expect_status 0
    expect_outcome "updated (65536 bytes, image equals the payload)"
    expect_messages "$sheet_110" "$success"
    expect_ready_before_press
    [[ $(events_of version | grep -v '^$' | head -1) == "v1.00" ]] || fail "version shown: $(events_of version)"
    grep -q '^returned as: product 0x5751$' "$work/out" ||
      fail "the controller did not come back as its application: $(cat "$work/out")"
    # The open panel starts beside the application.
    panel=$(events_of panel)
    [[ $panel == *"directory=$build/macos"* ]] || fail "open panel: $panel"
    # After success the button stays as the run left it and nothing else shows.
    [[ $(events_of progress | tail -1) == 100 ]] || fail "the bar did not reach 100: $(events_of progress | tail -1)"
    for shot in window sheet transfer success; do
      [[ -s $work/shots/$shot.png ]] || fail "no screenshot $shot"
    done
    # The striped bar is on screen mid-transfer: plenty of its greens in the picture.
    if [[ -s $work/shots/transfer.png ]]; then
      greens=$(convert "$work/shots/transfer.png" -format %c histogram:info:- |
        awk -F'[(,)]' '{ r = $2 + 0; g = $3 + 0; b = $4 + 0 } g > r + 25 && g > b + 60 { n += $1 + 0 } END { print n + 0 }')
      ((greens > 500)) || fail "hardly any green bar on screen mid-transfer ($greens pixels)"
    fi
    ;;

  update_attached_after_start)
    run --attach-after-start --device-version 123 --device-beta 4
    expect_status 0
    expect_messages "$sheet_110" "$success"
    # Before the controller came, the window showed no version and a disabled button.
    [[ $(sed -n 1p <(events_of update)) == disabled ]] || fail "Update was not disabled at first: $(events_of update)"
    [[ $(events_of version | grep -v '^$' | head -1) == "v1.23 bate:4" ]] ||
      fail "version shown: $(events_of version | tr '\n' '|')"
    expect_ready_before_press
    ;;

  update_on_a_paced_link)
    # One report per 1 ms frame: the whole update still goes through, with
    # no report lost or repeated, and the controller comes back.
    run --paced --payload-size 4096
    expect_status 0
    expect_messages "$sheet_110" "$success"
    reports=$(($(stat_of reports_at_completion) - $(stat_of reports_at_header) + 1))
    ((reports == 130)) || fail "header to completion took $reports reports, expected 130 (header, 128 chunks, completion)"
    grep -q '^returned as: product 0x5751$' "$work/out" || fail "the controller did not come back as its application"
    ;;

  second_controller_mid_transfer)
    # A second controller arrives at 30%: the run and its window stay the
    # first's, one success for it, then the second is offered (its factory
    # firmware told only now).
    run --second-controller-at-progress 30 --payload-size 65536
    expect_status 0
    expect_outcome "updated (65536 bytes, image equals the payload)"
    expect_messages "$sheet_110" "$success" "$factory"
    grep -q '^second controller: arrived while the first was held at [3-9][0-9]%$' "$work/out" ||
      fail "the second controller did not arrive mid-transfer: $(grep '^second controller' "$work/out")"
    # From pressing Update to the success alert: no Update, no other version.
    during=$(awk '$2 == "press:" && $3 == "Update" { on = 1; next } on && $2 == "alert:" { exit }
                  on && ($2 == "update:" || $2 == "version:") { print }' "$work/events")
    [[ $during == *"update: disabled"* && $during != *"update: enabled"* && $during != *"version:"* ]] ||
      fail "the window changed during the run: $during"
    grep -q "^offered afterwards: version 'Factory Version', Update enabled$" "$work/out" ||
      fail "the second controller was not offered afterwards: $(grep '^offered' "$work/out")"
    grep -q '^second controller: .* header=0 data=0 completions=0 .* reports=1\( \|$\)' "$work/out" ||
      fail "the second controller was asked more than its version: $(grep '^second controller: attached' "$work/out")"
    ;;

  help_held_open_mid_transfer)
    # Help stays open 11 s mid-transfer (longer than the controller's silence
    # limit): held back with the application, the transfer goes on after it.
    run --help-at-progress 30 --hold-help 11 --payload-size 65536
    expect_status 0
    expect_outcome "updated (65536 bytes, image equals the payload)"
    expect_messages "$sheet_110" "$help_line" "$success"
    held=$(events_of held | sed 's/ ms$//')
    [[ -n $held ]] && ((held >= 11000)) || fail "the help alert was open ${held:-no} ms, not 11 s"
    [[ $(awk '$2 == "progress:" { p = $3 } $2 == "hold:" { print p; exit }' "$work/events") -lt 100 ]] ||
      fail "Help was not opened mid-transfer"
    ;;

  failure_event_mid_transfer)
    run --fail-at-chunk 40 --fail-code 24
    expect_status 1
    expect_outcome "failed: the failure alert"
    expect_messages "$sheet_110" "$failure"
    [[ $(events_of update | tail -1) == enabled ]] || fail "Update not enabled after the failure"
    [[ $(stat_of data) == 40 ]] || fail "the controller took $(stat_of data) data commands, expected 40"
    ;;

  unplug_mid_transfer)
    run --unplug-at-chunk 40
    expect_status 1
    expect_outcome "failed: the failure alert"
    expect_messages "$sheet_110" "$failure"
    ms=$(result_ms)
    [[ -n $ms ]] && ((ms < 2500)) || fail "the failure alert came ${ms:-never} ms after Update, not at once"
    # The window let go of the controller: no version shown.
    [[ $(events_of version | tail -1) == "" ]] || fail "version still shown after unplug: $(events_of version | tail -1)"
    ;;

  silence_mid_transfer)
    run --silent-at-chunk 40
    expect_status 1
    expect_outcome "failed: the failure alert"
    expect_messages "$sheet_110" "$failure"
    ms=$(result_ms)
    [[ -n $ms ]] && ((ms >= 9500 && ms <= 13000)) || fail "the failure alert came ${ms:-never} ms after Update, not after ~10 s"
    [[ $(events_of update | tail -1) == enabled ]] || fail "Update not enabled after the failure"
    ;;

  cancel_in_open_panel)
    run --cancel-file
    expect_status 1
    expect_outcome "cancelled in the open panel"
    expect_messages
    [[ $(stat_of header_us) == - ]] || fail "a header was sent after the file choice was cancelled"
    ;;

  cancel_on_sheet)
    run --cancel-confirm --file-version 205 --file-beta 3
    expect_status 1
    expect_outcome "cancelled on the confirmation sheet"
    expect_messages $'Note\tThe File Firmware Version:  v2.05 beta:3'
    [[ $(stat_of header_us) == - ]] || fail "a header was sent after Cancel"
    ;;

  firmware_type_200)
    run --firmware-type 200
    expect_status 0
    expect_messages "$sheet_110" "$success"
    ;;

  firmware_type_0)
    run --firmware-type 0
    expect_status 1
    expect_outcome "refused: the BOOT-mode failure alert"
    expect_messages "$boot_mode"
    [[ -z $(events_of panel) ]] || fail "the open panel showed for a refused firmware type"
    ;;

  factory_firmware)
    run --factory
    expect_status 0
    expect_messages "$factory" "$sheet_110" "$success"
    [[ $(events_of version | grep -v '^$' | head -1) == "Factory Version" ]] ||
      fail "version shown: $(events_of version | tr '\n' '|')"
    ;;

  help_without_controller)
    run --no-controller --ask-help
    expect_status 1
    expect_outcome "help: the help alert"
    expect_messages "$help_line"
    [[ $(events_of update | tail -1) == disabled ]] || fail "Update enabled without a controller"
    ;;

  application_mode_device_shows_nothing)
    run --application-mode --watch-only --watch-seconds 1.5
    expect_status 1
    expect_outcome "watched: no alert"
    expect_messages
    [[ $(events_of update | sort -u) == disabled ]] || fail "Update enabled for a device in application mode"
    ;;

  script_usage_errors)
    # Refused before anything starts: exit 2 and a reason.
    for args in "--bogus" "--payload-size" "--payload-size 0" "--fail-code 7" "--firmware $work/none.dat" \
      "--firmware $root/README.md"; do
      # shellcheck disable=SC2086
      run $args
      [[ $status -eq 2 ]] || fail "'$args': exit status $status, expected 2"
      [[ -s $work/err ]] || fail "'$args': no reason given"
    done
    ;;

  *)
    echo "unknown case: $case_name"
    exit 2
    ;;
esac

if ((failures > 0)); then
  echo "--- e2e-macos.sh said ---"
  cat "$work/out" "$work/err"
  exit 1
fi
echo "passed: $case_name"
