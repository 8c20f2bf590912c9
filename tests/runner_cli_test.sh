#!/usr/bin/env bash
set -euo pipefail
exit 0
