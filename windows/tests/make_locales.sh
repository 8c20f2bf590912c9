#!/usr/bin/env bash
# Compiles the locales the text-table tests run in into DIR (no system change):
#   make_locales.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"
for locale in en_US zh_CN zh_TW; do
  [ -d "$dir/$locale.UTF-8" ] || localedef -i "$locale" -f UTF-8 "$dir/$locale.UTF-8"
done
