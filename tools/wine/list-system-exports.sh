#!/usr/bin/env bash
# Rewrites setupapi.exports and hid.exports from Wine's own DLLs: the names
# the stand-ins forward to the system's DLL. Run it when Wine changes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-/usr/lib/x86_64-linux-gnu/wine/x86_64-windows}
for dll in setupapi hid; do
  x86_64-w64-mingw32-objdump -p "$dir/$dll.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' >"$here/$dll.exports"
  echo "$dll: $(wc -l <"$here/$dll.exports") exports"
done
