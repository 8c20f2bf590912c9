# Wine prefixes for runs under Wine, sourced by the scripts that need them:
# one template prefix per build (the first wineboot costs seconds), copied
# for every run so that runs side by side never share a wineserver, a
# registry or a device.

korvid_wine_tools() {
  wine=$(command -v wine64 || true)
  [[ -n $wine ]] || wine=/usr/lib/wine/wine64
  wineserver=$(command -v wineserver || true)
  [[ -n $wineserver ]] || wineserver=/usr/lib/wine/wineserver
  [[ -x $wine && -x $wineserver ]] || { echo "Wine is missing (scripts/setup.sh installs it)" >&2; return 1; }
}

# Wine's own DLLs (its hid.dll and setupapi.dll over its own HID stack); no
# Mono or Gecko installers; a crash ends the process instead of waiting in
# the debugger.
korvid_wine_environment() {
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="winedbg.exe=d;mscoree,mshtml="
}

# korvid_wine_template BUILD_DIR: makes BUILD_DIR/wine-template unless it is
# current; safe when several runs ask at once.
korvid_wine_template() {
  local build=$1 template=$1/wine-template stamp version
  version="$("$wine" --version) template 3"
  stamp=$template/.korvid-template
  [[ -f $stamp && $(cat "$stamp") == "$version" ]] && return 0
  (
    flock -w 300 8 || { echo "the template prefix stays locked" >&2; exit 1; }
    [[ -f $stamp && $(cat "$stamp") == "$version" ]] && exit 0
    echo "making the template Wine prefix (once per build, ~20 s)" >&2
    rm -rf "$template" "$template.new"
    mkdir -p "$template.new"
    export WINEPREFIX=$template.new
    "$wine" wineboot -i >/dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
    # No window manager on a virtual display: Wine draws the frames and
    # title bars itself, and hiding a window waits for no one.
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    # The dialog's font "宋体", and CJK text in English dialogs (a Chinese
    # folder name in the open-file dialog), take the CJK font installed here.
    for face in 宋体 SimSun 新宋体 NSimSun; do
      "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
    done
    for face in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif"; do
      "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "$face" \
        /t REG_MULTI_SZ /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f >/dev/null 2>&1
    done
    # winebus's SDL backend claims to start without libSDL2 and then keeps
    # its hidraw backend from starting: Wine's HID stack then sees no
    # hidraw node.
    "$wine" reg add 'HKLM\System\CurrentControlSet\Services\WineBus' /v "Enable SDL" /t REG_DWORD /d 0 /f \
      >/dev/null 2>&1
    timeout 60 "$wineserver" -w  # the registry is written when the server ends
    echo "$version" >"$template.new/.korvid-template"
    mv "$template.new" "$template"
  ) 8>"$build/wine-template.lock"
}

# korvid_wine_prefix_copy TEMPLATE DEST: hard links for the prefix's 700 MB
# of system files, real copies of what Wine writes (the registry).
korvid_wine_prefix_copy() {
  local template=$1 dest=$2 file
  cp -al "$template" "$dest" || return 1
  for file in "$dest"/*.reg "$dest"/.update-timestamp; do
    [[ -f $file ]] && cp --remove-destination "$template/${file##*/}" "$file"
  done
  return 0
}
