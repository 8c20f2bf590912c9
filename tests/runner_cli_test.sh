#!/usr/bin/env bash
# The headless runner as a user runs it: exit codes, the transcript of a
# 100-byte update, failures, refusals that send nothing, usage errors.
# Usage: runner_cli_test.sh PATH-TO-korvid-sim-update
set -uo pipefail

runner=${1:?usage: runner_cli_test.sh PATH-TO-korvid-sim-update}
[[ -x $runner ]] || { echo "FAIL: runner binary not executable: $runner"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The runner writes its generated sample under the temporary directory.
export TMPDIR=$work

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# run NAME ARGS...: runs the runner, keeps stdout, stderr and status.
run() {
  local name=$1
  shift
  "$runner" "$@" >"$work/$name.out" 2>"$work/$name.err"
  status=$?
}

expect_status() {  # NAME EXPECTED
  [[ $status -eq $2 ]] || fail "$1: exit status $status, expected $2 (stdout: $(tr '\n' '|' <"$work/$1.out"))"
}

# A firmware file: version 1.10, announced payload size, then that many bytes
# actually written (may differ from the announced size).
make_firmware() {  # FILE ANNOUNCED WRITTEN
  local size=$2
  printf '\x6e\x00\x00\x00\x01\x00\x56\x4b' >"$1"
  printf "\\x$(printf %02x $((size & 255)))\\x$(printf %02x $(((size >> 8) & 255)))\\x00\\x00" >>"$1"
  head -c 16 /dev/zero >>"$1"
  head -c "$3" /dev/urandom >>"$1"
}

# The tokens of a transcript that matter for the transfer, in order:
# H header report, Dxx data command with count byte xx, Pn progress n,
# C completion command.
transfer_tokens() {
  awk '
    /^> 23 00 16 1F 00 01 1C 00/ { printf "H "; next }
    /^> [0-9A-F][0-9A-F] 00 16 [0-9A-F][0-9A-F] [0-9A-F][0-9A-F] 00( |$)/ { printf "D%s ", $2; next }
    /^> 05 00 16 01 00 02$/ { printf "C "; next }
    /^# progress / { printf "P%s ", $3 }
  ' "$1"
}

# Nothing but the version request and the update request was written.
expect_nothing_sent() {  # NAME TRANSCRIPT
  [[ -s $2 ]] || { fail "$1: no transcript written"; return; }
  if grep -q '^> 23 00 16 1F' "$2"; then fail "$1: header report sent"; fi
  if grep -Eq '^> [0-9A-F]{2} 00 16 [0-9A-F]{2} [0-9A-F]{2} 00( |$)' "$2"; then fail "$1: data command sent"; fi
  local written
  written=$(grep '^> ' "$2" | tr '\n' '|')
  [[ $written == '> 05 00 16 01 00 04|> 05 00 1A 01 00 00|' ]] || fail "$1: unexpected reports written: $written"
}

# ---- A default run updates.
run default
expect_status default 0
grep -q '^outcome: updated' "$work/default.out" || fail "default: no 'outcome: updated' line"

# ---- The 100-byte transcript.
run t100 --payload-size 100 --transcript "$work/t100.txt"
expect_status t100 0
if [[ -s $work/t100.txt ]]; then
  header='> 23 00 16 1F 00 01 1C 00 6E 00 00 00 01 00 56 4B 64 00 00 00'
  header+=$(printf ' 00%.0s' {1..16})
  grep -qxF "$header" "$work/t100.txt" || fail "t100: header report '$header' missing"
  tokens=$(transfer_tokens "$work/t100.txt")
  expected='H D27 D27 P64 D27 P96 D0B P100 C P0 '
  [[ $tokens == "$expected" ]] || fail "t100: transfer '$tokens', expected '$expected'"
  grep -qxF '> 05 00 16 01 00 02' "$work/t100.txt" || fail "t100: completion report missing"
else
  fail "t100: transcript not written"
fi

# ---- The same on the macOS behaviour (no progress reset after success).
run mac --platform macos --payload-size 100 --transcript "$work/mac.txt"
expect_status mac 0
tokens=$(transfer_tokens "$work/mac.txt")
[[ $tokens == 'H D27 D27 P64 D27 P96 D0B P100 C ' ]] || fail "mac: transfer '$tokens'"

# ---- A controller that goes silent: failure, exit 1, at once.
start=$(date +%s%N)
run silent --silent-at-chunk 3 --transcript "$work/silent.txt"
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
expect_status silent 1
grep -q 'Firmware update failure' "$work/silent.out" || fail "silent: failure message not shown"
((elapsed_ms < 3000)) || fail "silent: took ${elapsed_ms} ms of wall time"
[[ $(grep -cE '^> [0-9A-F]{2} 00 16 [0-9A-F]{2} [0-9A-F]{2} 00( |$)' "$work/silent.txt") -eq 3 ]] ||
  fail "silent: expected 3 data commands before the silence"

# ---- A controller that never reports its version: nothing more is sent.
run silentversion --silent-at version --transcript "$work/silentversion.txt"
expect_status silentversion 1
grep -q '^outcome: the controller did not report its version' "$work/silentversion.out" ||
  fail "silentversion: outcome '$(grep outcome "$work/silentversion.out")'"
[[ $(grep -c '^> ' "$work/silentversion.txt") -eq 1 ]] || fail "silentversion: more than the version request was written"
run badstep --silent-at chunk
expect_status badstep 2

# ---- Failure event 24 at the second chunk.
run fail24 --fail-at-chunk 2 --fail-code 24 --transcript "$work/fail24.txt"
expect_status fail24 1
grep -qx '< 05 00 16 01 00 18' "$work/fail24.txt" || fail "fail24: controller's event 24 not in the transcript"
grep -q '^outcome: failed' "$work/fail24.out" || fail "fail24: outcome is not a failure"
if grep -qxF '> 05 00 16 01 00 02' "$work/fail24.txt"; then fail "fail24: completion sent after a failure"; fi

# ---- Files refused with nothing sent.
head -c 27 /dev/zero >"$work/short27.dat"
run short27 --firmware "$work/short27.dat" --transcript "$work/short27.txt"
expect_status short27 1
expect_nothing_sent short27 "$work/short27.txt"

make_firmware "$work/shortpayload.dat" 100 50
run shortpayload --firmware "$work/shortpayload.dat" --transcript "$work/shortpayload.txt"
expect_status shortpayload 1
expect_nothing_sent shortpayload "$work/shortpayload.txt"

# The user cancels: the outcome line says which step, and nothing is sent.
run cancelfile --cancel-file --transcript "$work/cancelfile.txt"
expect_status cancelfile 1
grep -q '^outcome: cancelled: no firmware file was chosen' "$work/cancelfile.out" ||
  fail "cancelfile: outcome does not say the file choice was cancelled: $(tail -1 "$work/cancelfile.out")"
expect_nothing_sent cancelfile "$work/cancelfile.txt"

run cancelconfirm --cancel-confirm --platform macos --transcript "$work/cancelconfirm.txt"
expect_status cancelconfirm 1
grep -q '^outcome: cancelled: the firmware file was not confirmed' "$work/cancelconfirm.out" ||
  fail "cancelconfirm: outcome does not say the confirmation was declined: $(tail -1 "$work/cancelconfirm.out")"
expect_nothing_sent cancelconfirm "$work/cancelconfirm.txt"

# The same builder with the whole payload updates: the refusal is the length.
make_firmware "$work/whole.dat" 100 100
run whole --firmware "$work/whole.dat"
expect_status whole 0

# ---- Usage errors and unreadable files: exit 2, nothing run.
run missing --firmware "$work/no-such-file.dat" --transcript "$work/missing.txt"
expect_status missing 2
[[ -s $work/missing.err ]] || fail "missing: no message on standard error"
[[ ! -e $work/missing.txt ]] || fail "missing: a transcript was written"

run badoption --no-such-option
expect_status badoption 2
grep -q 'no-such-option' "$work/badoption.err" || fail "badoption: the message does not name the option"

run badplatform --platform linux
expect_status badplatform 2

# ---- --quiet prints the outcome line only.
run quiet --quiet --payload-size 100
expect_status quiet 0
lines=$(wc -l <"$work/quiet.out")
[[ $lines -eq 1 ]] && grep -q '^outcome: ' "$work/quiet.out" ||
  fail "quiet: expected only the outcome line, got: $(tr '\n' '|' <"$work/quiet.out")"
run noisy --payload-size 100
grep -q '^# progress 100' "$work/noisy.out" || fail "noisy: progress not printed without --quiet"

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "runner_cli: all checks passed"
