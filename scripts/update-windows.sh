#!/usr/bin/env bash
# Starts update.exe under Wine against the emulated controller, served
# through Wine's own HID stack, to click
# through by hand: on this machine's display ($DISPLAY), or on a virtual
# one when there is none (or with --xvfb). Type control commands for the
# controller while it runs; everything started is stopped on exit.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/update-windows.sh [--language en|zh] [--xvfb] [controller options]
  --language en|zh     the program's interface language (default en)
  --xvfb               use a virtual display even when $DISPLAY is set
  --payload-size N     payload bytes of the sample firmware offered (default 100000)
Controller options (as korvid-emulated-controller takes them), e.g. --device-version 105,
--factory, --fail-at-chunk N, --silent-at-chunk N, --attach-after-start, --paced.
While it runs, type a control command and Enter: attach, unplug, reattach,
status, violations, stats. Closing the program's dialog (or Ctrl-C) ends it all.
Build: $KORVID_WINDOWS_BUILD, else build-windows/ built as needed; the emulated
controller from $KORVID_LINUX_BUILD, else build-linux-e2e-default/.
EOF
}

repo=$(cd "$(dirname "$0")/.." && pwd)
language=en force_xvfb=0 payload_size=100000 server_options=()
while (($# > 0)); do
  case $1 in
    --language) [[ ${2:-} == en || ${2:-} == zh ]] || { usage >&2; exit 2; }; language=$2; shift ;;
    --xvfb) force_xvfb=1 ;;
    --payload-size) [[ ${2:-} =~ ^[0-9]+$ && $2 -gt 0 ]] || { usage >&2; exit 2; }; payload_size=$2; shift ;;
    -h | --help) usage; exit 0 ;;
    *) server_options+=("$1") ;;
  esac
  shift
done

"$repo/scripts/setup.sh" || exit 2
source "$repo/tools/wine/wine-prefix.sh"
korvid_wine_tools || exit 2
build=${KORVID_WINDOWS_BUILD:-}
if [[ -z $build ]]; then
  build=$repo/build-windows
  [[ -f $build/CMakeCache.txt ]] || (cd "$repo" && cmake --preset windows >/dev/null)
  echo "building update.exe and the emulated controller ..."
  cmake --build "$build" -j "$(nproc)" --target update >/dev/null
fi
# The template prefix and the Chinese locale, as the end-to-end runs make them.
KORVID_WINDOWS_BUILD=$build bash "$repo/scripts/e2e-windows.sh" --prepare
source "$repo/scripts/lib/wine_hid_session.sh"
emulated_controller_build "$repo" || exit 2
korvid_wine_environment
attach_at_start=1
for option in "${server_options[@]}"; do [[ $option == --attach-after-start ]] && attach_at_start=0; done

session=$(mktemp -d "${TMPDIR:-/tmp}/korvid-update.XXXXXX")
export WINEPREFIX=$session/prefix
xvfb_pid="" emulator_pid="" program_pid=""
stop_all() {
  set +e
  trap - EXIT INT TERM
  [[ -z $program_pid ]] || kill "$program_pid" 2>/dev/null
  timeout 10 "$wineserver" -k 2>/dev/null
  [[ -z $program_pid ]] || wait "$program_pid" 2>/dev/null
  stop_emulated_controllers "$session"
  if [[ -n $xvfb_pid ]]; then
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$session"
  echo "stopped; session folder removed"
}
trap stop_all EXIT
trap 'exit 130' INT TERM

korvid_wine_prefix_copy "$build/wine-template" "$WINEPREFIX"
if [[ -n ${DISPLAY:-} ]] && ((force_xvfb == 0)); then
  # A real desktop has a window manager: let it frame Wine's windows.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d Y /f >/dev/null 2>&1
  where="on your display $DISPLAY"
else
  source "$repo/scripts/lib/virtual_display.sh"
  start_virtual_display "$session" || { echo "Xvfb did not start" >&2; exit 2; }
  export DISPLAY=$display
  where="on the virtual display $DISPLAY: look with
    DISPLAY=$DISPLAY import -window root shot.png
  and click with xdotool (mousemove X Y, then mousedown 1 and mouseup 1)"
fi

mkdir -p "$session/app" "$session/firmware"
cp "$build/windows/update.exe" "$session/app/"
firmware=$session/firmware/sample-v1.10.dat
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
{
  printf "$(le16 110)$(le16 0)\\x01\\x00\\x56\\x4b$(le16 $((payload_size & 65535)))$(le16 $((payload_size >> 16)))"
  head -c 16 /dev/zero
  head -c "$payload_size" /dev/urandom
} >"$firmware"

# Plugged in once Wine's device service is up, as a user would.
server_options=(--attach-after-start "${server_options[@]}")
start_emulated_controllers "$session" "${server_options[@]}" ||
  { echo "the emulated controller did not start:" >&2; cat "$session/emulator.err" >&2; exit 2; }
start_wine_hid_session "$session" || { echo "the Wine session did not start" >&2; exit 2; }
((attach_at_start == 0)) || "$emulator" --send "$session/control" attach >/dev/null

user_locale=(LC_ALL=C.UTF-8 LANG=C.UTF-8)
[[ $language == zh ]] && user_locale=(LOCPATH="$build/locales" LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8)
(cd "$session/app" && exec env "${user_locale[@]}" "$wine" update.exe) >"$session/program.log" 2>&1 &
program_pid=$!

cat <<EOF
update.exe runs $where
The emulated controller is $( ((attach_at_start)) && echo "attached in BOOT mode" || echo "not attached yet (type attach)").
A sample firmware file to choose in the open-file dialog (type it into "File name"):
    Z:${firmware//\//\\}
Type a control command and Enter (attach, unplug, reattach, status, violations, stats);
close the dialog or press Ctrl-C to end.
EOF
input_open=1
while kill -0 "$program_pid" 2>/dev/null; do
  if ((input_open)); then
    status=0
    read -r -t 1 command || status=$?
    if ((status == 0)); then
      # shellcheck disable=SC2086  # a command is its words
      [[ -z $command ]] || "$emulator" --send "$session/control" $command 2>&1 | sed 's/^/controller: /'
    elif ((status <= 128)); then
      input_open=0  # end of input: only wait for the program
    fi
  else
    sleep 1
  fi
done
echo "update.exe ended"
