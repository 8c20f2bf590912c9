#!/usr/bin/env bash
# The controller server as scripts use it: the socket files it makes and
# removes, the control commands through --send and their exit statuses, the
# derived and the named control channel, quit and SIGTERM, usage errors.
# Usage: sim_server_cli_test.sh PATH-TO-korvid-sim-controller
set -uo pipefail

server=${1:?usage: sim_server_cli_test.sh PATH-TO-korvid-sim-controller}
[[ -x $server ]] || { echo "FAIL: server binary not executable: $server"; exit 1; }

work=$(mktemp -d /tmp/kvcli-XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# wait_for TEST...: polls the test for at most 5 s.
wait_for() {
  local i
  for ((i = 0; i < 100; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

send() {  # DIR NAME COMMAND: prints the reply, keeps the status in $status
  reply=$("$server" --device-dir "$1" --name "$2" --send "$3" 2>"$work/send.err")
  status=$?
}

# A server in BOOT mode: both files appear, the device as a socket.
dev=$work/d
"$server" --device-dir "$dev" --name pad --device-version 123 2>"$work/server.err" &
pid=$!
pids+=("$pid")
wait_for test -S "$dev/pad.control" || fail "the control socket did not appear"
[[ -S $dev/pad.hid ]] || fail "the device socket is not there once the control channel is"

send "$dev" pad status
[[ $status -eq 0 && $reply == "attached=1 boot=1 vid=0x2DC8 pid=0x5750 "* ]] || fail "status: $status '$reply'"

send "$dev" pad unplug
[[ $status -eq 0 && $reply == "ok unplugged" ]] || fail "unplug: $status '$reply'"
[[ ! -e $dev/pad.hid ]] || fail "the device file stays after unplug"
send "$dev" pad attach
[[ $reply == "ok attached" && -S $dev/pad.hid ]] || fail "attach: '$reply'"

send "$dev" pad image
[[ $status -eq 1 && $reply == "error image takes a file name" ]] || fail "error reply: $status '$reply'"
send "$dev" pad "image $work/image.bin"
[[ $status -eq 0 && $reply == "ok 0" && -f $work/image.bin ]] || fail "image: $status '$reply'"

# A second server for the same device is refused and leaves the first alone.
"$server" --device-dir "$dev" --name pad >/dev/null 2>"$work/rival.err"
rival=$?
[[ $rival -eq 2 ]] || fail "a second server on the same name: status $rival"
grep -q "another server" "$work/rival.err" || fail "no reason for refusing the second server: $(cat "$work/rival.err")"
send "$dev" pad status
[[ $reply == "attached=1 "* ]] || fail "the first server suffered from the second: '$reply'"

# SIGTERM: a clean exit, both files removed.
kill -TERM "$pid"
wait "$pid"
status=$?
[[ $status -eq 0 ]] || fail "SIGTERM: exit status $status"
[[ ! -e $dev/pad.hid && ! -e $dev/pad.control ]] || fail "socket files left after SIGTERM: $(ls "$dev")"

# Attached later, an application-mode device, a named control channel, quit.
"$server" --device-dir "$dev" --name app --control "$work/ctl" --attach-after-start --application-mode \
  2>"$work/server2.err" &
pid=$!
pids+=("$pid")
wait_for test -S "$work/ctl" || fail "the named control socket did not appear"
[[ ! -e $dev/app.hid ]] || fail "a device to be attached later is there at start"
reply=$("$server" --control "$work/ctl" --send attach)
[[ $reply == "ok attached" && -S $dev/app.hid ]] || fail "attach after start: '$reply'"
reply=$("$server" --control "$work/ctl" --send status)
[[ $reply == "attached=1 boot=0 vid=0x2DC8 pid=0x5751 "* ]] || fail "application mode: '$reply'"
reply=$("$server" --control "$work/ctl" --send quit)
[[ $reply == "ok" ]] || fail "quit: '$reply'"
wait_for bash -c "! kill -0 $pid 2>/dev/null" || fail "the server did not end on quit"
wait "$pid"
status=$?
[[ $status -eq 0 ]] || fail "quit: exit status $status"
[[ ! -e $dev/app.hid && ! -e $work/ctl ]] || fail "socket files left after quit"

# SIGINT ends it as cleanly as SIGTERM.
"$server" --device-dir "$dev" --name int 2>"$work/server3.err" &
pid=$!
pids+=("$pid")
wait_for test -S "$dev/int.control" || fail "the third server did not start"
kill -INT "$pid"
wait "$pid"
status=$?
[[ $status -eq 0 ]] || fail "SIGINT: exit status $status"
[[ ! -e $dev/int.hid && ! -e $dev/int.control ]] || fail "socket files left after SIGINT"

# Nobody there, and bad usage.
"$server" --control "$work/nobody" --send status >/dev/null 2>"$work/none.err"
status=$?
[[ $status -eq 2 ]] || fail "--send with no server: status $status"
"$server" --fail-code 25 >/dev/null 2>&1
status=$?
[[ $status -eq 2 ]] || fail "bad option value: status $status"
"$server" --help | grep -q -- "--application-mode" || fail "--help does not list --application-mode"
"$server" --device-dir "$work/$(printf 'd%.0s' {1..120})" >/dev/null 2>"$work/long.err"
status=$?
[[ $status -eq 2 ]] && grep -q "107 bytes" "$work/long.err" || fail "too long a socket path: status $status"

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all server command-line checks passed"
