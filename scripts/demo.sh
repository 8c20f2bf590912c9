#!/usr/bin/env bash
# The main job without hardware: build, then one whole firmware update of a
# generated sample firmware against the simulated controller. Extra arguments
# go to the runner (see `--help`).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target korvid-sim-update >/dev/null
exec build/tools/runner/korvid-sim-update "$@"
