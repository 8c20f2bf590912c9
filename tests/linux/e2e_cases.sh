#!/usr/bin/env bash
# End-to-end cases of korvid-update against emulated hidraw devices, one per
# CTest test: bash e2e_cases.sh CASE. Most run scripts/e2e-linux.sh and check
# what the user saw (every engine message, exactly), the exit status, the
# reason given and the controllers' images; the listing cases run the
# program under the emulator themselves.
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
case_name=${1:?usage: e2e_cases.sh CASE}
build=${KORVID_LINUX_BUILD:?KORVID_LINUX_BUILD names the build folder}
emulator=$build/sim/emulated/korvid-emulated-controller
cli=$build/cli/korvid-update

work=$(mktemp -d "${TMPDIR:-/tmp}/korvid-linux-case.XXXXXX")
trap 'rm -rf "$work"' EXIT

success='Firmware upgraded successful!'
failure='Firmware update failure!'
factory='The firmware is factory Version, please update to lastest version!'
note='The File Firmware Version:  v1.10'

failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

run_e2e() {
  set +e
  bash "$repo/scripts/e2e-linux.sh" --messages-out "$work/messages" --output-out "$work/output" \
    --image-out "$work/image" --stats-out "$work/stats" "$@" >"$work/out" 2>&1
  status=$?
  set -e
  cat "$work/out"
  echo "---- korvid-update printed:"
  cat "$work/output" 2>/dev/null | grep -v '%.*bytes' || true
  echo "----"
}

expect_status() { [[ $status == "$1" ]] || fail "e2e exit status $status, expected $1"; }
expect_cli_status() { grep -qx "korvid-update exit status: $1" "$work/out" || fail "korvid-update did not exit with $1"; }
expect_said() { grep -qF -- "$1" "$work/output" || fail "korvid-update did not say: $1"; }
expect_not_said() { ! grep -qF -- "$1" "$work/output" || fail "korvid-update said: $1"; }

# Every engine message and the confirmation, exactly and in order:
# "message<TAB>informative" per argument.
expect_messages() {
  printf '%s\n' "$@" >"$work/expected"
  diff -u "$work/expected" "$work/messages" >"$work/diff" || {
    fail "the messages differ from the expected ones:"
    cat "$work/diff"
  }
}

# A field of a controller's figures (stats K), as the emulator gives them
# ("-" for a time that never came).
stat_of() { sed -n "s/^controller $1: .*\\b$2=\\([-0-9]*\\).*/\\1/p" "$work/stats"; }

# Runs korvid-update ARGS under an emulator of its own (EMULATOR_ARGS).
under_emulator() {
  set +e
  umockdev-wrapper "$emulator" "${emulator_args[@]}" -- "$cli" "$@" >"$work/output" 2>&1
  status=$?
  set -e
  cat "$work/output"
  echo "----"
}

# The emulator on its own (EMULATOR_ARGS), for programs run in its testbed;
# told to quit at the end. control COMMAND... drives it.
start_testbed() {
  umockdev-wrapper "$emulator" "$@" --control "$work/control" --root-file "$work/root" 2>"$work/emulator.err" &
  emulator_pid=$!
  # An emulator that did not end well tells why.
  trap '[[ -z ${station:-} ]] || kill "$station" 2>/dev/null || true
    "$emulator" --send "$work/control" quit >/dev/null 2>&1 || true
    wait "$emulator_pid" || { echo "the emulator ended with status $?:"; cat "$work/emulator.err"; }
    rm -rf "$work"' EXIT
  for _ in $(seq 600); do [[ -s $work/root ]] && return 0; kill -0 "$emulator_pid" || break; sleep 0.05; done
  echo "FAILED: the emulator did not come up"
  exit 1
}
control() { "$emulator" --send "$work/control" "$@"; }
in_testbed() { env UMOCKDEV_DIR="$(cat "$work/root")" LD_PRELOAD=libumockdev-preload.so.0 "$@"; }
under_testbed() {
  set +e
  in_testbed "$cli" "$@" >"$work/output" 2>&1
  status=$?
  set -e
  cat "$work/output"
  echo "----"
}

# A station run in the testbed, in the background: its events in `events`,
# what a person reads in `people`, its process id in `station`.
start_station() {
  # Not through a function: $! is then korvid-update itself, which the Ctrl-C cases signal.
  env UMOCKDEV_DIR="$(cat "$work/root")" LD_PRELOAD=libumockdev-preload.so.0 \
    "$cli" flash "$work/fw.dat" --station --yes --json "$@" >"$work/events" 2>"$work/people" &
  station=$!
}
# Waits for COUNT (default 1) lines of FILE (default: the events) matching
# the extended regular expression; fails the case when the station ended or
# 60 s went by.
wait_line() {
  local deadline=$((SECONDS + 60))
  until (($(grep -cE -- "$1" "${2:-$work/events}" 2>/dev/null) >= ${3:-1})); do
    kill -0 "$station" 2>/dev/null && ((SECONDS < deadline)) || { fail "no line like $1"; return 1; }
    sleep 0.05
  done
}
# The controller on port PORT is past 5 % of its transfer.
under_way() { wait_line "\"progress\", \"node\": [^,]*, \"port\": \"$1\",.*\"percent\": ([5-9]|[1-9][0-9])\}"; }
# The station's exit status once it ended by itself (60 s at most).
station_status() {
  for ((i = 0; i < 600; i++)); do kill -0 "$station" 2>/dev/null || break; sleep 0.1; done
  kill "$station" 2>/dev/null && fail "the station did not end"
  wait "$station" && status=0 || status=$?
  grep -v '%.*bytes' "$work/people" || true
}

case $case_name in
  listing)
    # BOOT-mode controllers of both vendors with their versions, a controller
    # in application mode as such; another vendor's device and a Bluetooth
    # device with our ids are none of ours.
    emulator_args=(--controllers 2 --vendors 0x0483,0x2DC8 --device-version 123 --device-beta 4
      --extra other-vendor --extra bluetooth --extra application)
    under_emulator list --json
    [[ $status == 0 ]] || fail "list exited with $status"
    cat >"$work/expected" <<'EOF'
[
  {"path": "/dev/hidraw0", "vendor": "0x0483", "product": "0x5750", "name": "Korvid Controller (BOOT)", "mode": "boot", "port": "1-1", "serial": "KV0000000001", "version": "v1.23 bate:4"},
  {"path": "/dev/hidraw1", "vendor": "0x2dc8", "product": "0x5750", "name": "Korvid Controller (BOOT)", "mode": "boot", "port": "1-2", "serial": "KV0000000002", "version": "v1.23 bate:4"},
  {"path": "/dev/hidraw4", "vendor": "0x2dc8", "product": "0x5751", "name": "Korvid Controller", "mode": "application", "port": "1-5", "serial": "KVA0000000001"}
]
EOF
    diff -u "$work/expected" "$work/output" || fail "the listing differs"

    # Two controllers and no choice made: nothing is sent, both are named.
    emulator_args=(--controllers 2 --control "$work/control")
    bash "$repo/tests/linux/make_firmware.sh" "$work/fw.dat" 110 100
    under_emulator flash "$work/fw.dat" --yes
    [[ $status == 2 ]] || fail "flash with two controllers exited with $status, expected 2"
    grep -q '^  /dev/hidraw0 ' "$work/output" && grep -q '^  /dev/hidraw1 ' "$work/output" ||
      fail "the refusal does not list both controllers"
    grep -q -- '--device PATH or --port PORT' "$work/output" || fail "the refusal does not say what to do"
    grep -q '^  /dev/hidraw1 .*  port 1-2$' "$work/output" || fail "the refusal does not name the ports"
    ;;

  port_selection)
    # Two controllers: --port names the second, which alone is updated and
    # is seen to return on its port; the listing gives each port and serial.
    start_testbed --controllers 2 --return-delay-ms 200
    under_testbed list --json
    python3 -c 'import json, sys
rows = json.load(open(sys.argv[1]))
assert [(r["port"], r["serial"]) for r in rows] == [("1-1", "KV0000000001"), ("1-2", "KV0000000002")], rows' \
      "$work/output" || fail "the JSON listing does not give each controller's port and serial"
    bash "$repo/tests/linux/make_firmware.sh" "$work/fw.dat" 110 1000
    under_testbed flash "$work/fw.dat" --port 1-2 --yes
    [[ $status == 0 ]] || fail "flash --port 1-2 exited with $status"
    grep -q '^Controller: /dev/hidraw1 ' "$work/output" || fail "not the controller on port 1-2"
    grep -q 'restarted in its application mode' "$work/output" || fail "its return on port 1-2 was not seen"
    "$emulator" --send "$work/control" image 1 "$work/image.1" >/dev/null
    "$emulator" --send "$work/control" image 2 "$work/image.2" >/dev/null
    [[ $(wc -c <"$work/image.1") == 0 && $(wc -c <"$work/image.2") == 1000 ]] ||
      fail "images: $(wc -c <"$work/image.1") and $(wc -c <"$work/image.2") bytes, expected 0 and 1000"
    under_testbed version --port 1-9
    [[ $status == 2 ]] && grep -q 'no controller in BOOT mode at port 1-9' "$work/output" ||
      fail "an empty port: status $status"
    for bad in "--port 1-1 --device /dev/hidraw0" "--port 1-1 --all" "--port 1-2;x" "--port usb1"; do
      under_testbed flash "$work/fw.dat" $bad --yes
      [[ $status == 2 ]] && grep -q '^Usage: ' "$work/output" || fail "flash $bad: status $status"
    done
    ;;

  json_stream)
    # --json: standard output holds JSON lines alone, each read by a JSON
    # parser; the events of a whole update, of a failed one, and of version.
    bash "$repo/tests/linux/make_firmware.sh" "$work/fw.dat" 110 1000
    json_run() {  # EMULATOR-ARGS... -- KORVID-UPDATE-ARGS...
      local emulator_options=()
      while [[ $1 != -- ]]; do emulator_options+=("$1"); shift; done
      shift
      set +e
      umockdev-wrapper "$emulator" --return-delay-ms 100 "${emulator_options[@]}" -- "$cli" "$@" \
        >"$work/events" 2>"$work/people"
      status=$?
      set -e
      cat "$work/people"
    }
    check_events() {  # PYTHON-CHECKS on `events`, the parsed lines
      python3 -c 'import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
kinds = [e["event"] for e in events]
'"$1" "$work/events" || fail "the events: $(grep -v progress "$work/events")"
    }
    json_run -- flash "$work/fw.dat" --yes --json
    [[ $status == 0 ]] || fail "flash --json exited with $status"
    check_events '
assert kinds[:3] == ["controller", "version", "confirmation"], kinds
assert kinds[-2:] == ["result", "returned"], kinds
assert set(kinds[3:-2]) == {"progress"}, kinds
c = events[0]
assert (c["node"], c["port"], c["serial"], c["vendor"], c["product"]) == \
    ("/dev/hidraw0", "1-1", "KV0000000001", "0x2dc8", "0x5750"), c
assert events[1]["version"] == "v1.00" and events[2] == \
    {"event": "confirmation", "file_version": "v1.10", "controller_version": "v1.00"}, events[1:3]
percents = [e["percent"] for e in events if e["event"] == "progress"]
assert percents == sorted(set(percents)) and percents[-1] == 100, percents
assert events[-3]["bytes"] == events[-3]["total"] == 1000, events[-3]
assert events[-2]["result"] == "updated" and events[-2]["messages"] == ["Firmware upgraded successful!"], events[-2]
assert events[-1]["returned"] is True, events[-1]'
    grep -q '^Firmware upgraded successful!$' "$work/people" || fail "the person was not told on standard error"

    json_run --fail-at-chunk 5 -- flash "$work/fw.dat" --yes --json
    [[ $status == 1 ]] || fail "a failed flash --json exited with $status"
    check_events '
r = events[-1]
assert r["event"] == "result" and r["result"] == "failed" and r["reason_code"] == "controller_failed", r
assert "event 21" in r["reason"] and r["messages"] == ["Firmware update failure!"], r'

    # --all: each event names its controller, and a summary ends the stream.
    json_run --controllers 2 --fault-on 2 --fail-at-chunk 5 -- flash "$work/fw.dat" --all --yes --json
    [[ $status == 1 ]] || fail "flash --all --json with one failing exited with $status"
    check_events '
by_port = {}
for e in events[:-1]:
    by_port.setdefault(e["port"], []).append(e["event"])
for port, expected in (("1-1", "updated"), ("1-2", "failed")):
    got = [k for k in by_port[port] if k != "progress"]
    assert got[:3] == ["controller", "version", "confirmation"] and "result" in got, (port, got)
    assert [e["result"] for e in events if e["event"] == "result" and e["port"] == port] == [expected], port
s = events[-1]
assert s["event"] == "summary" and (s["updated"], s["failed"], s["interrupted"]) == (1, 1, 0), s
assert sorted((c["port"], c["result"], c["reason_code"]) for c in s["controllers"]) == \
    [("1-1", "updated", None), ("1-2", "failed", "controller_failed")], s'

    json_run -- version --json
    [[ $status == 0 ]] || fail "version --json exited with $status"
    check_events 'assert kinds == ["controller", "version"] and events[1]["version"] == "v1.00", events'
    ;;

  log_every_controller)
    # --log with --all: three controllers at once, the second failing, each
    # child appending its own line; a later run appends a fourth. Every line
    # parses, and carries the file's SHA-256, which the output shows too.
    bash "$repo/tests/linux/make_firmware.sh" "$work/fw.dat" 110 1000
    digest=$(sha256sum "$work/fw.dat" | cut -d' ' -f1)
    emulator_args=(--controllers 3 --fault-on 2 --fail-at-chunk 3 --return-delay-ms 100)
    under_emulator flash "$work/fw.dat" --all --yes --log "$work/controllers.log"
    [[ $status == 1 ]] || fail "flash --all with one failing exited with $status"
    grep -qF "SHA-256 $digest" "$work/output" || fail "the file's SHA-256 was not shown"
    emulator_args=(--return-delay-ms 100)
    under_emulator flash "$work/fw.dat" --yes --log "$work/controllers.log"
    [[ $status == 0 ]] || fail "flash exited with $status"
    grep -qF "File: fw.dat, 1028 bytes, SHA-256 $digest" "$work/output" || fail "the confirmation does not show the file"
    python3 -c 'import json, sys, socket
lines = [json.loads(line) for line in open(sys.argv[1])]
assert len(lines) == 4, lines
first = sorted(lines[:3], key=lambda l: l["port"])
assert [(l["port"], l["serial"], l["result"]) for l in first] == [
    ("1-1", "KV0000000001", "updated"), ("1-2", "KV0000000002", "failed"), ("1-3", "KV0000000003", "updated")], first
assert first[1]["reason_code"] == "controller_failed" and first[1]["version_after"] is None, first[1]
assert lines[3]["result"] == "updated" and lines[3]["node"] == "/dev/hidraw0", lines[3]
for l in lines:
    assert (l["file"], l["file_size"], l["file_sha256"]) == ("fw.dat", 1028, sys.argv[2]), l
    assert l["version_before"] == "v1.00" and l["host"] == socket.gethostname(), l
    assert l["time"].endswith("Z") and len(l["time"]) == 20 and l["duration_ms"] >= 0, l
    if l["result"] == "updated":
        assert l["version_after"] == "v1.10", l' "$work/controllers.log" "$digest" ||
      fail "the log: $(cat "$work/controllers.log")"
    ;;

  station)
    # A bench: five controllers plugged in one after another, each while the
    # one before is mid-transfer; the third fails, the fourth is unplugged
    # mid-transfer and plugged in again. Six runs end the station (--count):
    # six log lines, the JSON stream with its summary, the exit status.
    bash "$repo/tests/linux/make_firmware.sh" "$work/fw.dat" 110 65536
    # Each with a second HID interface of the same ids, as some controllers
    # have: still one run per plug.
    start_testbed --controllers 0 --two-interfaces --paced --return-delay-ms 100
    start_station --count 6 --log "$work/controllers.log"
    control plug && under_way 1-1
    control plug && under_way 1-2
    control plug --fail-at-chunk 50 && wait_line '"result", "node": [^,]*, "port": "1-3", .*"failed"'
    # Held at chunk 200, so that the unplug comes mid-transfer however slow the machine.
    control plug --hold-after-chunk 200
    for ((i = 0; i < 1200; i++)); do control status 4 | grep -q ' data=200 ' && break; sleep 0.05; done
    control unplug 4 && wait_line '"result", "node": [^,]*, "port": "1-4", .*"failed"'
    control release 4 && control reattach 4
    # A plug sends 8 uevents here (two nodes): the next waits for the station
    # to have taken this one's, as umockdev ends the emulator when a reader's
    # queue holds 10 (unless setup raised the limit). It has seen the
    # controller after the first node's; a
    # few reports of the new transfer show it back in its loop, where it
    # reads the rest.
    wait_line '"controller", "node": [^,]*, "port": "1-4"' "" 2
    reports_taken() { control status 4 | sed -n 's/.* reports=\([0-9]*\).*/\1/p'; }
    taken=$(reports_taken)
    for ((i = 0; i < 1200; i++)); do (($(reports_taken) >= taken + 4)) && break; sleep 0.05; done
    control plug
    station_status
    [[ $status == 1 ]] || fail "the station with two failed runs exited with $status"
    for k in 1 2 4 5; do
      control image "$k" "$work/image.$k" >/dev/null
      [[ $(wc -c <"$work/image.$k") == 65536 ]] || fail "controller $k did not keep the whole payload"
    done
    python3 -c 'import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
log = [json.loads(line) for line in open(sys.argv[2])]
runs = sorted((l["port"], l["result"], l["reason_code"]) for l in log)
assert runs == [("1-1", "updated", None), ("1-2", "updated", None), ("1-3", "failed", "controller_failed"),
    ("1-4", "failed", "controller_removed"), ("1-4", "updated", None), ("1-5", "updated", None)], runs
results = sorted((e["port"], e["result"]) for e in events if e["event"] == "result")
assert results == [r[:2] for r in runs], results
summary = events[-1]
assert summary["event"] == "summary" and (summary["updated"], summary["failed"], summary["interrupted"]) == (4, 2, 0), summary
assert sorted((c["port"], c["result"]) for c in summary["controllers"]) == results, summary
returned = sorted(e["port"] for e in events if e["event"] == "returned" and e["returned"])
assert returned == ["1-1", "1-2", "1-4", "1-5"], returned' "$work/events" "$work/controllers.log" ||
      fail "the events or the log: $(grep -v progress "$work/events"; cat "$work/controllers.log")"
    grep -q '^1-4 (KV0000000004): not updated: .*; plug it in again in BOOT mode$' "$work/people" ||
      fail "the unplugged controller was not told to be plugged in again"
    grep -q '^4 updated, 2 failed, 0 interrupted.$' "$work/people" || fail "no counts in the summary"
    ;;

  station_interrupt)
    # Ctrl-C ends the station once the transfer under way has ended; twice,
    # it stops that transfer, which is told and counted as interrupted.
    bash "$repo/tests/linux/make_firmware.sh" "$work/fw.dat" 110 65536
    start_testbed --controllers 1 --paced --return-delay-ms 100
    start_station
    under_way 1-1 && kill -INT "$station"
    station_status
    [[ $status == 0 ]] || fail "the station ended by Ctrl-C after one update exited with $status"
    grep -q '^Ending: the 1 updates under way are finished first; Ctrl-C again stops them.$' "$work/people" ||
      fail "the end was not announced"
    grep -q '^1 updated, 0 failed, 0 interrupted.$' "$work/people" || fail "the update under way was not finished"
    control image 1 "$work/image.1" >/dev/null
    [[ $(wc -c <"$work/image.1") == 65536 ]] || fail "controller 1 did not keep the whole payload"

    control plug >/dev/null
    start_station
    under_way 1-2 && kill -INT "$station" && wait_line '^Ending:' "$work/people" && kill -INT "$station"
    station_status
    [[ $status == 130 ]] || fail "the station stopped mid-transfer exited with $status"
    grep -q '^1-2 (KV0000000002): interrupted; plug it in again in BOOT mode$' "$work/people" ||
      fail "the stopped controller was not told"
    grep -q '"event": "summary", "updated": 0, "failed": 0, "interrupted": 1' "$work/events" ||
      fail "the summary does not count the interrupted run"
    ;;

  hostile_name)
    # A controller that names itself with quotes, backslashes and escape
    # sequences: the table shows them escaped, the JSON reads back as sent.
    name=$'Pad \\ "quoted" \e[2J\e]0;owned\a'
    emulator_args=(--product-name "$name")
    under_emulator list
    [[ $status == 0 ]] || fail "list exited with $status"
    ! grep -q $'\e' "$work/output" || fail "an escape character reached the terminal"
    grep -qF 'Korvid Pad \\ "quoted" \x1b[2J\x1b]0;owned\x07' "$work/output" || fail "the name is not shown escaped"
    under_emulator list --json
    python3 -c 'import json, sys
rows = json.load(open(sys.argv[1]))
assert rows[0]["name"] == "Korvid " + sys.argv[2], rows[0]["name"]' "$work/output" "$name" ||
      fail "the JSON listing does not read back the name as the device gave it"
    ;;

  bad_file)
    # Refused before anything is sent, with the reason, exit status 2.
    emulator_args=(--control "$work/control")
    head -c 27 /dev/zero >"$work/short.dat"
    bash "$repo/tests/linux/make_firmware.sh" "$work/announces-more.dat" 110 100 500
    for file in short.dat announces-more.dat missing.dat; do
      under_emulator flash "$work/$file" --yes
      [[ $status == 2 ]] || fail "$file: exit status $status, expected 2"
      grep -q "Nothing was sent" "$work/output" || fail "$file: not told that nothing was sent"
      ! grep -q '^Controller:' "$work/output" || fail "$file: a controller was asked"
    done
    ;;

  update)
    run_e2e --payload-size 4096
    expect_status 0
    expect_messages "Note	$note" "$success	"
    expect_said "The controller restarted in its application mode."
    ;;

  update_trailing_bytes)
    # A payload that ends mid-chunk in a file that goes on after it: the
    # controller keeps just the payload, and the count shown stops at it.
    bash "$repo/tests/linux/make_firmware.sh" "$work/fw.dat" 110 3004 3001
    run_e2e --firmware "$work/fw.dat"
    expect_status 0
    grep -qE '^100% +3001 / 3001 bytes' "$work/output" || fail "the last progress line is not 3001 / 3001 bytes"
    most=$(sed -n 's|^ *[0-9]*% *\([0-9]*\) / 3001 bytes.*|\1|p' "$work/output" | sort -n | tail -1)
    [[ $most == 3001 ]] || fail "the progress counted up to ${most:-nothing} of 3001 bytes"
    ;;

  return_elsewhere)
    # Updated, but what comes back in application mode is on another USB
    # port: not the controller updated, whose return is then not seen.
    run_e2e --return-port 5
    expect_status 0
    expect_said "did not come back in its application mode within 10 seconds"
    expect_not_said "restarted in its application mode"
    ;;

  update_paced_factory)
    run_e2e --payload-size 2000 --paced --factory
    expect_status 0
    expect_messages "$factory	" "Note	$note" "$success	"
    expect_said "firmware Factory Version"
    ;;

  update_three_at_once)
    # Three at once; the second fails mid-way and disturbs neither other.
    run_e2e --controllers 3 --fault-on 2 --fail-at-chunk 20 --fail-code 24 --payload-size 8192
    expect_status 1
    expect_cli_status 1
    for k in 1 3; do cmp -s "$work/image.$k" "$work/image.1" || fail "controller $k's image differs"; done
    [[ $(wc -c <"$work/image.1") == 8192 ]] || fail "controller 1 did not get the whole payload"
    [[ $(wc -c <"$work/image.2") -lt 8192 ]] || fail "controller 2 got the whole payload"
    grep -qE '^  /dev/hidraw0 +[0-9.]+ s  updated$' "$work/output" || fail "no summary line: hidraw0 updated"
    grep -qE '^  /dev/hidraw2 +[0-9.]+ s  updated$' "$work/output" || fail "no summary line: hidraw2 updated"
    grep -qE '^  /dev/hidraw1 +[0-9.]+ s  not updated: .*failure \(event 24\)' "$work/output" ||
      fail "no summary line: hidraw1 failed with event 24"
    # Each updated controller's return is seen (not waited out for 10 s).
    for node in hidraw0 hidraw2; do
      expect_said "/dev/$node: The controller restarted in its application mode."
    done
    ;;

  failure_event_21 | failure_event_24)
    code=${case_name##*_}
    run_e2e --fail-at-chunk 3 --fail-code "$code"
    expect_status 1
    expect_cli_status 1
    expect_messages "Note	$note" "$failure	"
    expect_said "The update failed: the controller reported a failure (event $code)."
    ;;

  silence)
    run_e2e --silent-at-chunk 3
    expect_status 1
    expect_cli_status 1
    expect_messages "Note	$note" "$failure	"
    expect_said "The update failed: the controller stopped answering (10 seconds without a reply)."
    ;;

  unplug)
    # Unplugged mid-transfer: the removal ends the run at once, not the
    # watchdog ten seconds later (the reason tells which path ended it).
    run_e2e --unplug-at-chunk 5
    expect_status 1
    expect_cli_status 1
    expect_messages "Note	$note" "$failure	"
    expect_said "The update failed: the controller was unplugged or went away."
    expect_not_said "stopped answering"
    ;;

  write_stuck | write_stuck_all | write_stuck_interrupt)
    # The controller acknowledges a chunk, then takes no report more: the
    # next write waits in the kernel until it times out. The user is told
    # at the writer's bound, the program ends once the kernel lets go.
    args=(--stop-reading-after-chunk 3)
    # The others come back only once the stuck write has timed out (5 s):
    # umockdev's preload holds the stuck program's reads behind its write,
    # so its uevent socket fills meanwhile (10 datagrams), and umockdev
    # aborts when a return's uevents find it full.
    [[ $case_name == write_stuck_all ]] &&
      args=(--controllers 3 --fault-on 2 --stop-reading-after-chunk 3 --payload-size 8192 --return-delay-ms 6500)
    [[ $case_name == write_stuck_interrupt ]] && args+=(--paced --interrupt-at-chunk 3)
    started=${EPOCHREALTIME/./}
    run_e2e "${args[@]}"
    took_ms=$(((${EPOCHREALTIME/./} - started) / 1000))
    expect_status 1
    ((took_ms < 15000)) || fail "the run took $took_ms ms with a write stuck"
    case $case_name in
      write_stuck)
        expect_cli_status 1
        expect_said "The update failed: a report could not be written to the controller."
        ;;
      write_stuck_all)
        expect_cli_status 1
        for k in 1 3; do cmp -s "$work/image.$k" "$work/image.1" || fail "controller $k's image differs"; done
        [[ $(wc -c <"$work/image.1") == 8192 ]] || fail "controller 1 did not get the whole payload"
        grep -qE '^  /dev/hidraw0 +[0-9.]+ s  updated$' "$work/output" || fail "no summary line: hidraw0 updated"
        grep -qE '^  /dev/hidraw2 +[0-9.]+ s  updated$' "$work/output" || fail "no summary line: hidraw2 updated"
        grep -qE '^  /dev/hidraw1 +[0-9.]+ s  not updated: .*could not be written' "$work/output" ||
          fail "no summary line: hidraw1 not updated, its report not written"
        ;;
      write_stuck_interrupt)
        expect_cli_status 130
        expect_said "The controller stays in BOOT mode. Run the same command again to finish the update."
        ;;
    esac
    ;;

  wait_for_hotplug)
    run_e2e --attach-after-start
    expect_status 0
    expect_said "Waiting for a controller in BOOT mode"
    expect_said "hold down L+R+START"
    expect_messages "Note	$note" "$success	"
    ;;

  cancel)
    run_e2e --cancel-confirm
    expect_status 1
    expect_cli_status 1
    expect_messages "Note	$note"
    expect_said "Not updated"
    [[ $(stat_of 1 header_us) == "-" ]] || fail "a header went out after the user said no"
    ;;

  no_permission)
    # Run as an unprivileged user (CI runs as root, who may open anything).
    [[ $(id -u) == 0 ]] || { echo "SKIPPED: only root can run the program as nobody"; exit 77; }
    run_e2e --no-permission 1
    expect_status 1
    expect_cli_status 2
    expect_said "cannot open /dev/hidraw0"
    expect_said "permission denied"
    expect_said "70-korvid-controllers.rules"
    expect_said "udevadm control --reload"
    # Where the seat rule cannot help (no local session), the group rule.
    expect_said "needs an active local session"
    expect_said "71-korvid-controllers-plugdev.rules /etc/udev/rules.d/"
    expect_said "udevadm trigger"
    expect_said "usermod -aG plugdev"
    ;;

  interrupt_all)
    # Ctrl-C during --all: each controller stops and is told how to finish,
    # and the run ends as interrupted.
    run_e2e --controllers 2 --paced --payload-size 65536 --interrupt-at-chunk 40
    expect_status 1
    expect_cli_status 130
    for node in hidraw0 hidraw1; do
      expect_said "/dev/$node: The controller stays in BOOT mode. Run the same command again to finish the update."
      grep -qE "^  /dev/$node +[0-9.]+ s  interrupted$" "$work/output" || fail "no summary line: $node interrupted"
    done
    ;;

  wait_gives_up)
    # --wait=1 with no controller plugged in gives up after that second.
    emulator_args=(--attach-after-start --control "$work/control")
    bash "$repo/tests/linux/make_firmware.sh" "$work/fw.dat" 110 100
    started=${EPOCHREALTIME/./}
    timeout 60 umockdev-wrapper "$emulator" "${emulator_args[@]}" -- "$cli" flash "$work/fw.dat" --yes --wait=1 \
      >"$work/output" 2>&1 && status=0 || status=$?
    waited_ms=$(((${EPOCHREALTIME/./} - started) / 1000))
    cat "$work/output"
    [[ $status == 2 ]] || fail "exit status $status, expected 2"
    expect_said "no controller in BOOT mode came within 1 second."
    ((waited_ms >= 1000)) || fail "gave up after $waited_ms ms, before the second was over"
    ((waited_ms < 10000)) || fail "gave up only after $waited_ms ms"
    ;;

  interrupt)
    # Ctrl-C mid-transfer: nothing more is sent, the user is told how to finish.
    run_e2e --paced --payload-size 65536 --interrupt-at-chunk 40
    expect_status 1
    expect_cli_status 130
    expect_said "The controller stays in BOOT mode. Run the same command again to finish the update."
    size=$(wc -c <"$work/image")
    ((size >= 40 * 32 && size < 65536)) || fail "the image holds $size bytes after an interrupt at chunk 40"
    ;;

  *)
    echo "unknown case: $case_name" >&2
    exit 2
    ;;
esac

((failures == 0)) || exit 1
echo "case $case_name passed"
