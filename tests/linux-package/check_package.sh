#!/usr/bin/env bash
# The Debian package made from the install: it holds what a Linux user needs
# and nothing of the build, its programs run from it, and lintian finds no
# error in it.
#   check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/korvid-updater_*.deb)
echo "package: ${deb##*/}"

fail=0
contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#')
expected=(
  /usr/bin/korvid-update
  /usr/bin/tindro
  /usr/lib/GNUstep/Applications/Tindro.app/Tindro
  /usr/lib/GNUstep/Applications/Tindro.app/Resources/Info-gnustep.plist
  /usr/lib/GNUstep/Applications/Tindro.app/Resources/MainMenu.xib
  /usr/lib/udev/rules.d/70-korvid-controllers.rules
  /usr/share/applications/tindro.desktop
  /usr/share/icons/hicolor/scalable/apps/tindro.svg
  /usr/share/man/man1/korvid-update.1.gz
  /usr/share/man/man1/tindro.1.gz
  /usr/share/doc/korvid-updater/copyright
  /usr/share/doc/korvid-updater/changelog.gz
)
for path in "${expected[@]}"; do
  grep -qx "$path" <<<"$contents" || { echo "missing from the package: $path"; fail=1; }
done
# Only the installed tree: nothing of the build, the tests or the simulator.
while read -r path; do
  [[ -z $path || $path == */ ]] && continue
  printf '%s\n' "${expected[@]}" | grep -qx "$path" || { echo "unexpected in the package: $path"; fail=1; }
done <<<"$contents"

# The rule opens BOOT-mode controllers to the seat's user, and nothing else.
dpkg-deb -x "$deb" "$work/root"
rule=$work/root/usr/lib/udev/rules.d/70-korvid-controllers.rules
[[ $(grep -c 'TAG+="uaccess"' "$rule") -eq 2 ]] || { echo "the rule should tag exactly the two BOOT-mode ids"; fail=1; }
while read -r line; do
  [[ -z $line || $line == \#* ]] && continue
  [[ $line == *'SUBSYSTEM=="hidraw"'* &&
     ($line == *'KERNELS=="0003:0483:5750.*"'* || $line == *'KERNELS=="0003:2DC8:5750.*"'*) ]] ||
    { echo "a rule line matches more than a BOOT-mode controller on USB: $line"; fail=1; }
done <"$rule"
grep -q '^/usr/lib/GNUstep/Applications/Tindro.app' <<<"$(grep -o '/usr/lib/[^"]*' "$work/root/usr/bin/tindro")" ||
  { echo "the tindro launcher does not start the installed wrapper"; fail=1; }

# The programs run from the package's tree.
"$work/root/usr/bin/korvid-update" --help >"$work/help.txt" || { echo "korvid-update --help failed"; fail=1; }
grep -q '^  flash FILE' "$work/help.txt" || { echo "korvid-update --help says nothing of flash"; fail=1; }
grep -q '^  /usr/lib/udev/rules.d/70-korvid-controllers.rules$' "$work/help.txt" ||
  { echo "korvid-update does not name the installed rule"; fail=1; }
[[ $(dpkg-deb -f "$deb" Depends) == *libudev1* ]] || { echo "the package does not depend on libudev1"; fail=1; }

lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || true
cat "$work/lintian.txt"
if grep -q '^E:' "$work/lintian.txt"; then
  echo "lintian reports errors"
  fail=1
fi
((fail == 0)) && echo "package checked: contents, programs and lintian"
exit "$fail"
