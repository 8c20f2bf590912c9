#!/usr/bin/env bash
# make_firmware.sh FILE VERSION PAYLOAD [ANNOUNCED]: a firmware file whose
# header gives VERSION (hundredths) and ANNOUNCED payload bytes (default
# PAYLOAD), followed by PAYLOAD random bytes.
set -euo pipefail
file=$1 version=$2 payload=$3 announced=${4:-$3}
le16() { printf '\\x%02x\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)); }
{
  printf "$(le16 "$version")$(le16 0)\\x01\\x00\\x56\\x4b$(le16 $((announced & 65535)))$(le16 $((announced >> 16)))"
  head -c 16 /dev/zero
  head -c "$payload" /dev/urandom
} >"$file"
