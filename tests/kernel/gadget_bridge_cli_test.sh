#!/usr/bin/env bash
# korvid-gadget-bridge's command line on the host, where there is no UDC:
# usage errors exit 2 with the reason, --help exits 0, and a bridge that
# cannot have its controllers says why before touching configfs.
#   gadget_bridge_cli_test.sh BRIDGE
set -uo pipefail
bridge=${1:?usage: gadget_bridge_cli_test.sh BRIDGE}
failures=0
work=$(mktemp -d "${TMPDIR:-/tmp}/korvid-bridge-cli.XXXXXX")
trap 'rm -rf "$work"' EXIT

# One more controller than the machine has UDCs (a build machine has none).
udcs=$(find /sys/class/udc -mindepth 1 -maxdepth 1 2>/dev/null | wc -l)
more=$((udcs + 1))

# arguments | exit status | what it prints (a fixed string)
while IFS='|' read -r args status expected; do
  [[ -n $args ]] || continue
  read -ra words <<<"$args"
  timeout 10 "$bridge" "${words[@]}" >"$work/out" 2>&1
  got=$?
  if [[ $got != "$status" ]] || ! grep -qF -- "$expected" "$work/out"; then
    echo "FAILED: $args: exit $got (expected $status), printed:"
    cat "$work/out"
    echo "(expected to contain: $expected)"
    failures=$((failures + 1))
  fi
done <<EOF_TABLE
--help|0|--two-interfaces
--help|0|--fail-at-chunk N
--controllers 2|2|--control is required
--control $work/c --controllers 0|2|--controllers takes 1 to 8
--control $work/c --controllers 9|2|--controllers takes 1 to 8
--control $work/c --controllers 2 --fault-on 3|2|--fault-on names a controller beyond --controllers
--control $work/c --stop-reading-at-chunk 0|2|--stop-reading-at-chunk takes a chunk number from 1
--control $work/c --fail-code 22 --fail-at-chunk 1|2|fail-code
--control $work/c --no-such-option|2|unknown or incomplete option: --no-such-option
--control $work/c --controllers $more|2|$more controllers need as many UDCs; there are $udcs
--send $work/none status|2|korvid-gadget-bridge
EOF_TABLE
[[ ! -e $work/c ]] || { echo "FAILED: a bridge that could not start left its control socket"; failures=$((failures + 1)); }
((failures == 0)) || exit 1
echo "gadget bridge command line: all cases passed"
