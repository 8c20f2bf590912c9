#!/usr/bin/env bash
# Starts update.exe under Wine against the simulated controller, to click
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
Controller options (as korvid-sim-controller takes them), e.g. --device-version 105,
--factory, --fail-at-chunk N, --silent-at-chunk N, --attach-after-start, --paced.
While it runs, type a control command and Enter: attach, unplug, reattach,
status, violations, stats. Closing the program's dialog (or Ctrl-C) ends it all.
Build: $KORVID_WINDOWS_BUILD, else build-windows/ built as needed.
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
  echo "building update.exe, the simulated controller and the stand-in DLLs ..."
  cmake --build "$build" -j "$(nproc)" --target update korvid-sim-controller hid_standin setupapi_standin >/dev/null
fi
# The template prefix and the Chinese locale, as the end-to-end runs make them.
KORVID_WINDOWS_BUILD=$build bash "$repo/scripts/e2e-windows.sh" --prepare
korvid_wine_environment

session=$(mktemp -d "${TMPDIR:-/tmp}/korvid-update.XXXXXX")
export WINEPREFIX=$session/prefix
xvfb_pid="" server_pid="" program_pid=""
server=$build/sim/server/korvid-sim-controller.exe
stop_all() {
  set +e
  trap - EXIT INT TERM
  [[ -z $server_pid ]] || "$wine" "$server" --name dev --send quit >/dev/null 2>&1
  [[ -z $program_pid ]] || kill "$program_pid" 2>/dev/null
  timeout 10 "$wineserver" -k 2>/dev/null
  for pid in $program_pid $server_pid; do wait "$pid" 2>/dev/null; done
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
cp "$build/windows/update.exe" "$build/tools/wine/hid.dll" "$build/tools/wine/setupapi.dll" "$session/app/"
firmware=$session/firmware/sample-v1.10.dat
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
{
  printf "$(le16 110)$(le16 0)\\x01\\x00\\x56\\x4b$(le16 $((payload_size & 65535)))$(le16 $((payload_size >> 16)))"
  head -c 16 /dev/zero
  head -c "$payload_size" /dev/urandom
} >"$firmware"

"$wine" "$server" --name dev "${server_options[@]}" >"$session/server.out" 2>&1 &
server_pid=$!
for _ in $(seq 600); do grep -q '^ready' "$session/server.out" 2>/dev/null && break; sleep 0.05; done
grep -q '^ready' "$session/server.out" || { echo "the simulated controller did not start:" >&2; cat "$session/server.out" >&2; exit 2; }

user_locale=(LC_ALL=C.UTF-8 LANG=C.UTF-8)
[[ $language == zh ]] && user_locale=(LOCPATH="$build/locales" LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8)
(cd "$session/app" && exec env "${user_locale[@]}" "$wine" update.exe) >"$session/program.log" 2>&1 &
program_pid=$!

cat <<EOF
update.exe runs $where
The simulated controller is $( [[ " ${server_options[*]} " == *" --attach-after-start "* ]] && echo "not attached yet (type attach)" || echo "attached in BOOT mode").
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
      [[ -z $command ]] || "$wine" "$server" --name dev --send "$command" 2>&1 | sed 's/^/controller: /'
    elif ((status <= 128)); then
      input_open=0  # end of input: only wait for the program
    fi
  else
    sleep 1
  fi
done
echo "update.exe ended"
