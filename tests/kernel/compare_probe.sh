#!/usr/bin/env bash
# The hidraw probe's transcript on the real kernel (from the guest's serial
# log) against the same probe on the host against the emulated controller:
# fails naming every difference.
#   compare_probe.sh BUILD LOG
set -euo pipefail
build=${1:?usage: compare_probe.sh BUILD LOG}
log=${2:?usage: compare_probe.sh BUILD LOG}
probe=$build/tools/hidraw-probe/korvid-hidraw-probe
emulator=$build/sim/emulated/korvid-emulated-controller
[[ -f $log ]] || { echo "no serial log at $log: the guest was not booted (kernel_guest_boot)"; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/korvid-probe.XXXXXX")
trap 'rm -rf "$work"' EXIT
tr -d '\r' <"$log" | sed -n 's/^KORVID-PROBE //p' >"$work/kernel"
[[ -s $work/kernel ]] || { echo "the guest's log holds no probe transcript"; exit 1; }

# The emulator ends with the probe, which it starts; the probe bounds its
# own waits, timeout the whole run.
run_emulated() {
  local mode=$1
  shift
  timeout 90 umockdev-wrapper "$emulator" "$@" --control "$work/control.$mode" -- \
    "$probe" "$mode" --node /dev/hidraw0 --control "$work/control.$mode" --peer emulator >>"$work/emulated" 2>&1 ||
    echo "the $mode probe under the emulator ended with $?"
}
run_emulated basic
run_emulated stall --stop-reading-at-chunk 1

echo "---- kernel:"
cat "$work/kernel"
echo "---- emulator:"
cat "$work/emulated"
echo "----"
# An unplugged emulated node is a hung-up pty, which always polls readable;
# the kernel's is readable only while reports are queued. A reader learns
# the same either way: the read fails and the node has gone.
"$probe" --compare "$work/kernel" "$work/emulated" --known unplug-poll-drained
