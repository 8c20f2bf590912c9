#!/usr/bin/env bash
# korvid-emulated-controller as scripts use it: usage errors and the
# wrapper it needs, PROGRAM's environment and exit status passed on, the
# serving mode without PROGRAM (root file, --send, quit, SIGTERM), signals,
# and the testbed folder removed whichever way the emulator ends.
# Usage: emulated_controller_cli_test.sh PATH-TO-korvid-emulated-controller
set -uo pipefail

emulator=${1:?usage: emulated_controller_cli_test.sh PATH-TO-korvid-emulated-controller}
[[ -x $emulator ]] || { echo "FAIL: emulator not executable: $emulator"; exit 1; }

work=$(mktemp -d /tmp/kvemu-XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# wait_for TEST...: until the test holds, at most 5 s.
wait_for() {
  local i
  for ((i = 0; i < 100; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  return 1
}

# In the foreground only: "$!" of a function run in the background would be
# the subshell's process, not the emulator's.
emulate() { umockdev-wrapper "$emulator" "$@"; }

# The testbed folder named in FILE is gone.
folder_removed() { [[ -s $1 && ! -e $(cat "$1") ]]; }

# Usage errors: status 2 and the usage on stderr; --help on stdout.
while read -r line; do
  read -ra args <<<"$line"
  emulate "${args[@]}" >"$work/out" 2>"$work/err"
  status=$?
  [[ $status -eq 2 ]] && grep -q "^usage:" "$work/err" || fail "'$line': status $status, $(head -1 "$work/err")"
done <<'CASES'
--controllers 17
--controllers 2 --fault-on 3
--no-permission 2
--extra usb
--return-port 1
--controllers 2 --return-port 9
--extra bluetooth --return-port 2
--short-report-at-chunk 0
--vendors 0x2DC8,
--fail-code 25
--forward-signals
--program-pid-file pid
--
--send
CASES
emulate --help >"$work/help"
for option in "--no-permission K" "--two-interfaces" "--return-port N" "--short-report-at-chunk N" "input [K] N" \
  "short [K]"; do
  grep -qF -- "$option" "$work/help" || fail "--help does not list $option"
done

"$emulator" -- true >/dev/null 2>"$work/err"
status=$?
[[ $status -eq 2 ]] && grep -q "umockdev-wrapper" "$work/err" || fail "outside the wrapper: status $status"
TMPDIR=$work/missing emulate -- true >/dev/null 2>"$work/err"
status=$?
[[ $status -eq 2 ]] && grep -q "cannot make the testbed folder" "$work/err" || fail "no testbed: $status $(cat "$work/err")"

# PROGRAM: its status passed on, its environment, the folder removed.
emulate --root-file "$work/root1" -- sh -c 'exit 3' 2>"$work/err"
status=$?
[[ $status -eq 3 ]] || fail "PROGRAM's exit status 3 came back as $status"
folder_removed "$work/root1" || fail "the testbed folder stays after PROGRAM ended"

check_environment='test -d "$UMOCKDEV_DIR" || exit 11
case "$LD_PRELOAD" in *libumockdev-preload*) ;; *) exit 12 ;; esac
test -S "$KORVID_EMULATOR_CONTROL" || exit 13
test -e /sys/class/hidraw/hidraw1 && test -e /dev/hidraw1 || exit 14'
emulate --controllers 2 --control "$work/ctl" -- sh -c "$check_environment" 2>"$work/err"
status=$?
[[ $status -eq 0 ]] || fail "PROGRAM's environment: check $status failed"

# SIGINT to the program itself: 128 + 2, and nothing left behind.
umockdev-wrapper "$emulator" --root-file "$work/root2" --program-pid-file "$work/pid2" -- sleep 30 2>"$work/err" &
pid=$!
pids+=("$pid")
wait_for test -s "$work/pid2" || fail "no program pid file"
kill -INT "$(cat "$work/pid2")"
wait "$pid"
status=$?
[[ $status -eq 130 ]] || fail "a program ended by SIGINT: status $status"
folder_removed "$work/root2" || fail "the testbed folder stays after the program was interrupted"

# --forward-signals: SIGTERM to the emulator reaches the program's group.
umockdev-wrapper "$emulator" --forward-signals --root-file "$work/root3" --program-pid-file "$work/pid3" -- sleep 30 2>"$work/err" &
pid=$!
pids+=("$pid")
wait_for test -s "$work/pid3" || fail "no program pid file with --forward-signals"
kill -TERM "$pid"
wait "$pid"
status=$?
[[ $status -eq 143 ]] || fail "forwarded SIGTERM: status $status"
folder_removed "$work/root3" || fail "the testbed folder stays after a forwarded SIGTERM"

# Without PROGRAM: the root file, a program run under it here, the control
# channel, then quit (and in a second run SIGTERM).
for ending in quit SIGTERM; do
  rm -f "$work/root" "$work/ctl"
  umockdev-wrapper "$emulator" --control "$work/ctl" --root-file "$work/root" 2>"$work/err" &
  pid=$!
  pids+=("$pid")
  wait_for test -s "$work/root" || fail "$ending: the root file did not appear"
  [[ -S $work/ctl ]] || fail "$ending: the control channel is not open once the root file is there"
  UMOCKDEV_DIR=$(cat "$work/root") umockdev-wrapper test -e /sys/class/hidraw/hidraw0 ||
    fail "$ending: a program run under the root folder sees no hidraw0"
  reply=$("$emulator" --send "$work/ctl" status)
  [[ $reply == "attached=1 boot=1 vid=0x2DC8 pid=0x5750 "*" node=/dev/hidraw0 open=0 queued=0 wire_violations=0 short_dropped=0" ]] ||
    fail "$ending: status '$reply'"
  for command in "input 2" "input 1 3" "short"; do
    reply=$("$emulator" --send "$work/ctl" $command)
    [[ $reply == "ok sent "* ]] || fail "$ending: $command: '$reply'"
  done
  reply=$("$emulator" --send "$work/ctl" status)
  [[ $reply == *" short_dropped=1" ]] || fail "$ending: the short report was not dropped: '$reply'"
  for command in "input 0" "input 2 1" "input" "short 2"; do
    reply=$("$emulator" --send "$work/ctl" $command)
    [[ $reply == "error "* ]] || fail "$ending: $command: '$reply'"
  done
  reply=$("$emulator" --send "$work/ctl" status 2)
  status=$?
  [[ $status -eq 1 && $reply == "error no controller 2 (there are 1)" ]] || fail "status 2: $status '$reply'"
  if [[ $ending == quit ]]; then
    reply=$("$emulator" --send "$work/ctl" quit)
    [[ $reply == ok ]] || fail "quit: '$reply'"
  else
    kill -TERM "$pid"
  fi
  wait "$pid"
  status=$?
  [[ $status -eq 0 ]] || fail "$ending: exit status $status"
  folder_removed "$work/root" || fail "$ending: the testbed folder stays"
  [[ ! -e $work/ctl ]] || fail "$ending: the control socket stays"
done

# --controllers 0 and plug: controllers of their own configuration, each on
# a port and a node of its own; what plug refuses.
rm -f "$work/root" "$work/ctl"
umockdev-wrapper "$emulator" --controllers 0 --control "$work/ctl" --root-file "$work/root" 2>"$work/err" &
pid=$!
pids+=("$pid")
wait_for test -s "$work/root" || fail "plug: the root file did not appear"
UMOCKDEV_DIR=$(cat "$work/root") umockdev-wrapper test -e /sys/class/hidraw/hidraw0 && fail "--controllers 0 plugged one in"
[[ $("$emulator" --send "$work/ctl" plug --vendor 0x0483 --device-version 105) == "ok controller 1" ]] || fail "plug 1"
[[ $("$emulator" --send "$work/ctl" plug --application-mode) == "ok controller 2" ]] || fail "plug 2"
[[ $("$emulator" --send "$work/ctl" status 1) == "attached=1 boot=1 vid=0x0483 pid=0x5750 "*" node=/dev/hidraw0 "* ]] ||
  fail "plug: controller 1's status"
[[ $("$emulator" --send "$work/ctl" status 2) == "attached=1 boot=0 vid=0x2DC8 pid=0x5751 "*" node=/dev/hidraw1 "* ]] ||
  fail "plug: controller 2's status"
for command in "plug --vendor 0x10000" "plug --device-version" "plug --two-interfaces" "send 1 0B0" "send 1 XY" \
  "send 1 $(printf '00%.0s' $(seq 65))" "written 3"; do
  reply=$("$emulator" --send "$work/ctl" $command)
  [[ $reply == "error "* ]] || fail "$command: '$reply'"
done
[[ $("$emulator" --send "$work/ctl" send 2 0B0016) == "ok sent" ]] || fail "send"
[[ $("$emulator" --send "$work/ctl" written 1) == "ok 0" ]] || fail "written before any write"
"$emulator" --send "$work/ctl" quit >/dev/null
wait "$pid"

"$emulator" --send "$work/nobody" status >/dev/null 2>&1
status=$?
[[ $status -eq 2 ]] || fail "--send with nobody listening: status $status"

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all emulator command-line checks passed"
