#!/usr/bin/env bash
# Installs what the project needs on a Debian machine; does nothing when it
# is all there already.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev googletest
  # the Windows program: cross-compiler, Wine to run it, a locale and a font for its Chinese texts
  g++-mingw-w64-x86-64 wine64 locales fonts-wqy-microhei
  # the macOS application here: GNUstep's AppKit with its cairo back end
  gnustep-devel gobjc++ gnustep-back0.29-cairo
  # both GUIs under a virtual display, driven and photographed
  xvfb xauth xdotool x11-utils imagemagick
  # Linux: hidraw devices through udev; the Debian package and its checks
  libudev-dev pkg-config dpkg-dev file lintian
  # Linux hidraw devices emulated for the device layer's tests
  umockdev libumockdev-dev
  # the real kernel's hidraw under QEMU: the emulator and the guest's initramfs archive
  qemu-system-x86 cpio)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if ((${#missing[@]} > 0)); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# umockdev brings uevents to a program's udev monitor as datagrams on a Unix
# socket, which holds net.unix.max_dgram_qlen of them (10 by default); when
# one is full the emulator waits for room, and a kernel's monitor holds
# thousands. Room for a station's bursts of plugs and returns, so that no
# send waits (not kept after a reboot).
qlen=/proc/sys/net/unix/max_dgram_qlen
if (($(cat "$qlen" 2>/dev/null || echo 512) < 512)); then
  # Without asking for a password: the tests run without it too.
  ask=()
  [[ $(id -u) -eq 0 ]] || ask=(sudo -n)
  echo 512 | "${ask[@]}" tee "$qlen" >/dev/null 2>&1 ||
    echo "setup: net.unix.max_dgram_qlen stays at $(cat "$qlen"): emulated tests may lose the emulator to a burst of uevents" >&2
fi
