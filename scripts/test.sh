#!/usr/bin/env bash
# The whole test suite: unit and whole-run tests, korvid-update on Debian's
# own kernel under QEMU, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, each fuzz target for a bounded time, the tests
# built for Windows and run under Wine, and Tindro built against GNUstep with
# its end-to-end runs under Xvfb. Stops at the first failing stage.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

scripts/setup.sh

stage() { printf '\n=== %s ===\n' "$*"; }

stage "build and test"
cmake --preset default
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"

stage "korvid-update on Debian's own kernel under QEMU: real hidraw nodes of USB gadgets on dummy_hcd"
cmake --preset kernel
cmake --build --preset kernel -j "$jobs"
ctest --preset kernel

stage "build and test under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitize
cmake --build --preset sanitize -j "$jobs"
ctest --preset sanitize -j "$jobs"

stage "fuzz (bounded)"
cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
ctest --preset fuzz

stage "Windows build (mingw-w64), tests under Wine, update.exe end to end"
cmake --preset windows
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j "$jobs"

stage "Tindro against GNUstep: build, unit tests and end-to-end runs under Xvfb"
cmake --preset gnustep
cmake --build --preset gnustep -j "$jobs"
ctest --preset gnustep -j "$jobs"

stage "Linux packages: korvid-update and tindro built from the install, their contents, lintian"
cmake --preset package
cmake --build --preset package -j "$jobs"
ctest --preset package

stage "all stages passed"
