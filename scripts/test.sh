#!/usr/bin/env bash
# The whole test suite: unit and whole-run tests, the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, then each fuzz target for a
# bounded time. Stops at the first failing stage.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/setup.sh

stage() { printf '\n=== %s ===\n' "$*"; }

stage "build and test"
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

stage "build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"

stage "fuzz (bounded)"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz

stage "all stages passed"
