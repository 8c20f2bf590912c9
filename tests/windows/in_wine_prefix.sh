#!/usr/bin/env bash
# Runs one Windows program under Wine in a prefix of its own, copied from
# the build's template prefix, with the stand-in DLLs preferred, and stops
# every process of that prefix afterwards.
#   in_wine_prefix.sh BUILD_DIR PROGRAM [ARGS...]
set -euo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
shift
source "$repo/tools/wine/wine-prefix.sh"
korvid_wine_tools
korvid_wine_environment
korvid_wine_template "$build"

run=$(mktemp -d "${TMPDIR:-/tmp}/korvid-wine.XXXXXX")
export WINEPREFIX=$run/prefix
stop() {
  local status=$?
  timeout 10 "$wineserver" -k 2>/dev/null || true
  rm -rf "$run"
  exit "$status"
}
trap stop EXIT
korvid_wine_prefix_copy "$build/wine-template" "$WINEPREFIX"
"$wine" "$@"
