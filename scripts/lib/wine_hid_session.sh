# Sourced by the scripts that run update.exe against the emulated controller
# through Wine's own HID stack (after tools/wine/wine-prefix.sh).
source "$(dirname "${BASH_SOURCE[0]}")/emulated_controller.sh"

# start_wine_hid_session FOLDER: a wineserver session of $WINEPREFIX's own,
# lasting until `wineserver -k`, whose first process hands the testbed of
# FOLDER/root to Wine's device service (winebus reads hidraw nodes through
# umockdev's preload). Controllers are best plugged in after this: one there
# before the device service is up gets no arrival notice.
start_wine_hid_session() {
  local folder=$1
  "$wineserver" -p || return 1
  env UMOCKDEV_DIR="$(cat "$folder/root")" LD_PRELOAD="libumockdev-preload.so.0${LD_PRELOAD:+:$LD_PRELOAD}" \
    timeout -k 5 60 "$wine" cmd /c exit >/dev/null 2>"$folder/session.err"
}
