#!/usr/bin/env bash
# Boots Debian's own kernel under QEMU once with the cases' initramfs and
# writes the guest's serial console to LOG; the cases' tests read their
# verdicts from it. QEMU is started here and stopped by its process id, also
# when this script fails or is stopped.
#   boot_guest.sh BUILD LOG
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: boot_guest.sh BUILD LOG}" && pwd)
log=${2:?usage: boot_guest.sh BUILD LOG}
# The whole run takes a few minutes under TCG; far more means it hangs.
bound_s=${KORVID_GUEST_TIMEOUT:-420}

cache=$build/kernel-packages
work=$build/kernel-guest
mkdir -p "$work"
started=$(date +%s)
bash "$here/fetch_packages.sh" "$cache"
bash "$here/make_initramfs.sh" "$cache" "$build" "$work/initrd.cpio"
release=$(cat "$cache/release")

qemu_pid=
stop_qemu() {
  if [[ -n $qemu_pid ]] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$qemu_pid" 2>/dev/null || true
  fi
}
trap stop_qemu EXIT
trap 'exit 143' TERM INT

rm -f "$log"
# /dev/kvm here is a paravirtual one QEMU cannot use: plain TCG.
qemu-system-x86_64 -accel tcg -m 512M -smp 1 -nodefaults -no-user-config -display none \
  -serial "file:$log" -no-reboot -kernel "$cache/root/boot/vmlinuz-$release" -initrd "$work/initrd.cpio" \
  -append "console=ttyS0 rdinit=/init panic=-1 mitigations=off loglevel=4" &
qemu_pid=$!

# Done when QEMU ends (the guest powers off) or the bound passes.
deadline=$((SECONDS + bound_s))
while kill -0 "$qemu_pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.5; done
if kill -0 "$qemu_pid" 2>/dev/null; then
  echo "boot_guest: the guest did not power off within ${bound_s} s; stopped it. Last lines:"
  tail -n 20 "$log" || true
  exit 1
fi
wait "$qemu_pid" || true
qemu_pid=
echo "boot_guest: $(grep -c '^KORVID-CASE ' "$log" || true) cases in $(($(date +%s) - started)) s (kernel $release)"
grep -q '^KORVID-DONE' "$log" || { echo "boot_guest: the guest's init did not finish"; tail -n 30 "$log"; exit 1; }
