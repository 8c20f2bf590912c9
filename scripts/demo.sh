#!/usr/bin/env bash
# The main job without hardware: build, then one whole firmware update of a
# generated sample firmware against the simulated controller. Extra arguments
# go to the runner (see `--help`); relative paths in them are taken from the
# folder you run this in.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

"$root/scripts/setup.sh"
(
  cd "$root"
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)" --target korvid-sim-update >/dev/null
)
exec "$root/build/tools/runner/korvid-sim-update" "$@"
