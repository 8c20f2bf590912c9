#!/usr/bin/env bash
# Makes the guest's initramfs, an uncompressed newc archive: busybox, the
# kernel's HID and USB gadget modules with their dependencies in load order,
# udevadm (started as systemd-udevd) with the project's rule and systemd's
# seat rules, the project's programs with their libraries, the firmware files
# of the cases and the guest's init.
#   make_initramfs.sh CACHE BUILD OUT
#   CACHE  the unpacked packages (fetch_packages.sh)
#   BUILD  the build folder holding korvid-update, korvid-gadget-bridge, korvid-hidraw-probe
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
cache=${1:?usage: make_initramfs.sh CACHE BUILD OUT}
build=${2:?usage: make_initramfs.sh CACHE BUILD OUT}
out=${3:?usage: make_initramfs.sh CACHE BUILD OUT}
pkg=$cache/root
release=$(cat "$cache/release")
moddir=$pkg/lib/modules/$release

stage=$out.d
rm -rf "$stage"
mkdir -p "$stage"/{bin,dev,proc,sys,tmp,run,etc,data,lib/udev/rules.d,lib/modules,lib/systemd}

# ---------------------------------------------------------------- programs
install -m 0755 "$pkg/bin/busybox" "$stage/bin/busybox"
install -m 0755 "$pkg/bin/udevadm" "$stage/bin/udevadm"
# udevadm is the daemon when started by that name.
ln -s ../../bin/udevadm "$stage/lib/systemd/systemd-udevd"
programs=("$build/cli/korvid-update" "$build/sim/gadget/korvid-gadget-bridge")
[[ -x $build/tools/hidraw-probe/korvid-hidraw-probe ]] && programs+=("$build/tools/hidraw-probe/korvid-hidraw-probe")
for program in "${programs[@]}"; do install -m 0755 "$program" "$stage/bin/"; done

# Their libraries as ldd resolves them, the packages' own (libkmod) first.
libpath=$pkg/lib/x86_64-linux-gnu:$pkg/usr/lib/x86_64-linux-gnu
for binary in "$stage/bin/udevadm" "${programs[@]}"; do
  LD_LIBRARY_PATH=$libpath ldd "$binary" | awk '/=> \// { print $3 } /^\t\/lib64/ { print $1 }'
done | sort -u | while read -r library; do
  # The loader searches its multiarch folder without a cache; it itself
  # lives where the programs name it.
  if [[ $library == /lib64/* ]]; then
    mkdir -p "$stage/lib64"
    cp -L "$library" "$stage/lib64/"
  else
    mkdir -p "$stage/lib/x86_64-linux-gnu"
    cp -L "$library" "$stage/lib/x86_64-linux-gnu/"
  fi
done

# ---------------------------------------------------------------- modules
# Each wanted module after what modules.dep says it needs, each once.
declare -A loaded=()
order=()
load() {
  local module=$1 deps dep
  [[ -n ${loaded[$module]:-} ]] && return
  loaded[$module]=1
  deps=$(sed -n "s|^\\($module\\): *||p" "$moddir/modules.dep")
  local reversed=()
  for dep in $deps; do reversed=("$dep" "${reversed[@]}"); done
  for dep in "${reversed[@]}"; do load "$dep"; done
  order+=("$module")
}
for name in configfs uhid dummy_hcd libcomposite usb_f_hid usbhid hid-generic; do
  path=$(grep -E "(^|/)${name//-/[-_]}\\.ko:" "$moddir/modules.dep" | cut -d: -f1 | head -n 1)
  [[ -n $path ]] || { echo "make_initramfs: no module $name in $release" >&2; exit 2; }
  load "$path"
done
for module in "${order[@]}"; do
  install -m 0644 "$moddir/$module" "$stage/lib/modules/"
  basename "$module" >>"$stage/lib/modules/order"
done

# ---------------------------------------------------------------- udev
for rule in 50-udev-default.rules 70-uaccess.rules 71-seat.rules 73-seat-late.rules; do
  install -m 0644 "$pkg/lib/udev/rules.d/$rule" "$stage/lib/udev/rules.d/"
done
install -m 0644 "$repo/packaging/linux/70-korvid-controllers.rules" "$stage/lib/udev/rules.d/"

# ---------------------------------------------------------------- the rest
printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/sh\n' >"$stage/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' >"$stage/etc/group"
# An odd payload with bytes after it in the file, which are not sent.
bash "$repo/tests/linux/make_firmware.sh" "$stage/data/odd.dat" 110 4110 4097
tail -c +29 "$stage/data/odd.dat" | head -c 4097 >"$stage/data/odd.payload"
bash "$repo/tests/linux/make_firmware.sh" "$stage/data/fw.dat" 110 8192
tail -c +29 "$stage/data/fw.dat" >"$stage/data/fw.payload"
install -m 0755 "$here/guest_init.sh" "$stage/init"
install -m 0644 "$here/guest_cases.sh" "$stage/cases.sh"

(cd "$stage" && find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H newc --owner 0:0) >"$out.tmp"
mv "$out.tmp" "$out"
rm -rf "$stage"
echo "initramfs: $out ($(($(stat -c %s "$out") / 1024 / 1024)) MiB, kernel $release, ${#order[@]} modules)"
