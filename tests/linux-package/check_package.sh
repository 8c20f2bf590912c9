#!/usr/bin/env bash
# The Debian packages made from the install, korvid-update and tindro: each
# holds what a Linux user needs of it and nothing of the build, tindro needs
# korvid-update, the programs run from them, a controller already plugged in
# gets the rule at installation, and lintian finds neither error nor warning
# in either.
#   check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
cli_deb=$(ls "$work"/out/korvid-update_*.deb)
tindro_deb=$(ls "$work"/out/tindro_*.deb)
echo "packages: ${cli_deb##*/} ${tindro_deb##*/}"

fail=0
# check_contents DEB PATH...: exactly these files.
check_contents() {
  local deb=$1 path
  shift
  local contents
  contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#')
  for path in "$@"; do
    grep -qx "$path" <<<"$contents" || { echo "missing from ${deb##*/}: $path"; fail=1; }
  done
  while read -r path; do
    [[ -z $path || $path == */ ]] && continue
    printf '%s\n' "$@" | grep -qx "$path" || { echo "unexpected in ${deb##*/}: $path"; fail=1; }
  done <<<"$contents"
}
check_contents "$cli_deb" \
  /usr/bin/korvid-update \
  /usr/lib/udev/rules.d/70-korvid-controllers.rules \
  /usr/share/korvid-update/71-korvid-controllers-plugdev.rules \
  /usr/share/man/man1/korvid-update.1.gz \
  /usr/share/doc/korvid-update/copyright \
  /usr/share/doc/korvid-update/changelog.gz
check_contents "$tindro_deb" \
  /usr/bin/tindro \
  /usr/lib/GNUstep/Applications/Tindro.app/Tindro \
  /usr/lib/GNUstep/Applications/Tindro.app/Resources/Info-gnustep.plist \
  /usr/lib/GNUstep/Applications/Tindro.app/Resources/MainMenu.xib \
  /usr/share/applications/tindro.desktop \
  /usr/share/icons/hicolor/scalable/apps/tindro.svg \
  /usr/share/man/man1/tindro.1.gz \
  /usr/share/doc/tindro/copyright \
  /usr/share/doc/tindro/changelog.gz

# The command line needs no GNUstep; Tindro needs the command line's package
# (its udev rule).
cli_depends=$(dpkg-deb -f "$cli_deb" Depends)
tindro_depends=$(dpkg-deb -f "$tindro_deb" Depends)
[[ $cli_depends == *libudev1* ]] || { echo "korvid-update does not depend on libudev1"; fail=1; }
[[ $cli_depends != *gnustep* ]] || { echo "korvid-update depends on GNUstep: $cli_depends"; fail=1; }
[[ $tindro_depends == *"korvid-update (= "* ]] || { echo "tindro does not depend on korvid-update: $tindro_depends"; fail=1; }
[[ $tindro_depends == *gnustep* ]] || { echo "tindro does not depend on GNUstep: $tindro_depends"; fail=1; }

# The rule opens BOOT-mode controllers to the seat's user, and nothing else.
dpkg-deb -x "$cli_deb" "$work/root"
dpkg-deb -x "$tindro_deb" "$work/root"
rule=$work/root/usr/lib/udev/rules.d/70-korvid-controllers.rules
[[ $(grep -c 'TAG+="uaccess"' "$rule") -eq 2 ]] || { echo "the rule should tag exactly the two BOOT-mode ids"; fail=1; }
while read -r line; do
  [[ -z $line || $line == \#* ]] && continue
  [[ $line == *'SUBSYSTEM=="hidraw"'* &&
     ($line == *'KERNELS=="0003:0483:5750.*"'* || $line == *'KERNELS=="0003:2DC8:5750.*"'*) ]] ||
    { echo "a rule line matches more than a BOOT-mode controller on USB: $line"; fail=1; }
done <"$rule"
# The bench rule, not applied by the package, gives the same controllers to
# plugdev and nothing more; the advice names where it lies.
bench_rule=$work/root/usr/share/korvid-update/71-korvid-controllers-plugdev.rules
diff <(grep -v '^#' "$rule" | sed 's/TAG+="uaccess"/GROUP="plugdev", MODE="0660"/') <(grep -v '^#' "$bench_rule") ||
  { echo "the bench rule does not match exactly the seat rule's controllers"; fail=1; }
grep -q '^/usr/lib/GNUstep/Applications/Tindro.app' <<<"$(grep -o '/usr/lib/[^"]*' "$work/root/usr/bin/tindro")" ||
  { echo "the tindro launcher does not start the installed wrapper"; fail=1; }

# At installation the rule reaches controllers already plugged in, where
# udev runs (its control socket), and nothing is asked of udev where not.
dpkg-deb -e "$cli_deb" "$work/control"
postinst=$work/control/postinst
mkdir -p "$work/fakebin"
printf '#!/bin/sh\necho "udevadm $*" >>"%s/udevadm.calls"\n' "$work" >"$work/fakebin/udevadm"
chmod +x "$work/fakebin/udevadm"
PATH=$work/fakebin:$PATH sh "$postinst" configure
if [[ -S /run/udev/control ]]; then
  grep -qx 'udevadm trigger --action=change --subsystem-match=hidraw' "$work/udevadm.calls" ||
    { echo "postinst does not trigger the hidraw nodes"; fail=1; }
else
  [[ ! -e $work/udevadm.calls ]] || { echo "postinst called udevadm with no udev running"; fail=1; }
fi

# The programs run from the packages' tree.
"$work/root/usr/bin/korvid-update" --help >"$work/help.txt" || { echo "korvid-update --help failed"; fail=1; }
grep -q '^  flash FILE' "$work/help.txt" || { echo "korvid-update --help says nothing of flash"; fail=1; }
grep -q '^  /usr/lib/udev/rules.d/70-korvid-controllers.rules$' "$work/help.txt" ||
  { echo "korvid-update does not name the installed rule"; fail=1; }
grep -qF '/usr/share/korvid-update/71-korvid-controllers-plugdev.rules' "$work/help.txt" ||
  { echo "korvid-update does not name the installed bench rule"; fail=1; }

for deb in "$cli_deb" "$tindro_deb"; do
  lintian --tag-display-limit 0 "$deb" >"$work/lintian.txt" 2>&1 || true
  echo "lintian ${deb##*/}:"
  cat "$work/lintian.txt"
  if grep -qE '^(E|W):' "$work/lintian.txt"; then
    echo "lintian reports errors or warnings in ${deb##*/}"
    fail=1
  fi
done
((fail == 0)) && echo "packages checked: contents, dependencies, postinst, programs and lintian"
exit "$fail"
