#!/usr/bin/env bash
# Installs what the project needs on a Debian machine; does nothing when it
# is all there already.
set -euo pipefail

packages=(cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev googletest
  g++-mingw-w64-x86-64 wine64)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if ((${#missing[@]} > 0)); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
