#!/usr/bin/env bash
# Fetches what the guest is made of, Debian's own packages, into CACHE and
# unpacks them there: the kernel of the linux-image-amd64 metapackage,
# busybox, udev (udevadm is also systemd-udevd) with the library it needs
# that a build machine lacks, and systemd for its seat rules. Nothing is
# installed; a cache that is complete is used as it is.
#   fetch_packages.sh CACHE
set -euo pipefail
cache=${1:?usage: fetch_packages.sh CACHE}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

if [[ -f $cache/complete ]]; then
  echo "packages: cached in $cache"
  exit 0
fi

kernel=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9.]*-[0-9]*-amd64\)$/\1/p' | head -n 1)
[[ -n $kernel ]] || { echo "fetch_packages: linux-image-amd64 names no kernel package (apt-get update?)" >&2; exit 2; }
packages=("$kernel" busybox-static udev libkmod2 systemd)

rm -rf "$cache/debs" "$cache/root"
mkdir -p "$cache/debs" "$cache/root"
# apt's own sandbox user may not write into a build folder; the download is
# then done as the caller, which apt says in a warning that means nothing here.
(cd "$cache/debs" && apt-get download -q "${packages[@]}" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
for package in "${packages[@]}"; do
  ls "$cache/debs/${package}_"*.deb >/dev/null 2>&1 || { echo "fetch_packages: $package was not downloaded" >&2; exit 2; }
done
for deb in "$cache/debs"/*.deb; do dpkg-deb -x "$deb" "$cache/root"; done

vmlinuz=$(ls "$cache/root/boot/vmlinuz-"* | head -n 1)
release=${vmlinuz##*/vmlinuz-}
# The package leaves modules.dep to its postinst: busybox's depmod makes it.
"$cache/root/bin/busybox" depmod -b "$cache/root" "$release"
printf '%s\n' "$release" >"$cache/release"
touch "$cache/complete"
echo "packages: ${packages[*]} in $cache (kernel $release)"
