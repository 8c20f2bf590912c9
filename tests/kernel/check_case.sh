#!/usr/bin/env bash
# One case's verdict from the guest's serial log, with what the guest saw
# in that case: check_case.sh LOG CASE.
set -euo pipefail
log=${1:?usage: check_case.sh LOG CASE}
case_name=${2:?usage: check_case.sh LOG CASE}
[[ -f $log ]] || { echo "no serial log at $log: the guest was not booted (kernel_guest_boot)"; exit 1; }
# The console ends its lines with CR LF.
lines=$(tr -d '\r' <"$log")
grep "^KORVID-LOG $case_name | " <<<"$lines" | sed 's/^KORVID-LOG [^|]*| //' || true
verdict=$(sed -n "s/^KORVID-CASE $case_name \\([A-Z]*\\)\$/\\1/p" <<<"$lines")
case $verdict in
  PASS) echo "case $case_name passed on the kernel" ;;
  FAIL) echo "case $case_name failed on the kernel"; exit 1 ;;
  *) echo "the guest has no verdict for $case_name (it stopped before, or the case hung)"; exit 1 ;;
esac
