# Sourced by the scripts that run update.exe against the emulated controller
# through Wine's own HID stack (after tools/wine/wine-prefix.sh).
source "$(dirname "${BASH_SOURCE[0]}")/emulated_controller.sh"

# relay_program_lines FD PID: the program's output lines read on FD, each
# whole line handed to take_line (the caller's), until PID has ended. A
# process the program started may hold the pipe on, so the end of the file
# alone would not come then; a line cut by a read's time-out is joined up.
relay_program_lines() {
  local fd=$1 pid=$2 line partial=""
  while :; do
    if IFS= read -r -t 1 -u "$fd" line; then
      take_line "$partial$line"
      partial=""
    elif (($? > 128)); then
      partial+=$line
      kill -0 "$pid" 2>/dev/null || break
    else
      break
    fi
  done
  [[ -z $partial ]] || take_line "$partial"
}

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
