#!/usr/bin/env bash
# Whole updates of a 256 KiB payload through korvid-update against emulated
# hidraw nodes (umockdev), timed by the simulated controller from the header
# to the completion command, beside an updater that costs nothing
# (korvid_hidraw_null_updater: prepared reports, no engine) through the same
# emulated node:
#   (a) unpaced: what one chunk costs, the floor being the emulation's round trip;
#   (b) paced like a full-speed USB link (one report taken and answered per
#       1 ms frame): frames used against the frames the transfer needs; the
#       goal is at most 1.01 times;
#   (c) four controllers at once, paced (korvid-update --all): the span from
#       the first header to the last completion against one controller's
#       transfer. Beside it, four updaters that cost nothing at once: the
#       emulation's own floor, whose goal is at most 1.05 times; --all's is
#       at most 1.02 times that floor.
# Each variant runs --runs times (default 3); the median is printed with the
# spread. In (b) and (c) the two updaters take turns, and each run of
# korvid-update is set against the floor's run just before it.
# Usage: bench/linux_update_bench.sh [--runs N] [--payload-size N]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

runs=3
payload=262144
while (($# > 0)); do
  case $1 in
    --runs) runs=${2:?}; shift 2 ;;
    --payload-size) payload=${2:?}; shift 2 ;;
    -h | --help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ && $payload =~ ^[1-9][0-9]*$ ]] || { echo "--runs and --payload-size take whole numbers" >&2; exit 2; }

build=${KORVID_LINUX_BUILD:-$root/build}
if [[ -z ${KORVID_LINUX_BUILD:-} ]]; then
  (cd "$root" && cmake --preset default >/dev/null &&
    cmake --build --preset default -j "$(nproc)" --target korvid-update korvid-emulated-controller korvid_hidraw_null_updater >/dev/null) ||
    { echo "the build failed" >&2; exit 2; }
fi
emulator=$build/sim/emulated/korvid-emulated-controller
cli=$build/cli/korvid-update
null=$build/bench/korvid_hidraw_null_updater

work=$(mktemp -d /tmp/kvlb-XXXXXX)
emulator_pid=""
cleanup() {
  if [[ -n $emulator_pid ]]; then
    "$emulator" --send "$work/control" quit >/dev/null 2>&1
    wait "$emulator_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

bash "$root/tests/linux/make_firmware.sh" "$work/fw.dat" 110 "$payload"

# one_run UPDATER CONTROLLERS [EMULATOR ARGS...]: prints, per controller,
# "<header_us> <completion_us> <reports header..completion> <data commands>".
one_run() {
  local updater=$1 controllers=$2 k
  shift 2
  rm -f "$work/root"
  umockdev-wrapper "$emulator" --controllers "$controllers" --control "$work/control" --root-file "$work/root" "$@" \
    >/dev/null 2>"$work/emulator.err" &
  emulator_pid=$!
  until [[ -s $work/root ]]; do
    kill -0 "$emulator_pid" 2>/dev/null || { echo "the emulator did not start: $(head -1 "$work/emulator.err")" >&2; return 1; }
    sleep 0.02
  done
  local status=0 pids=()
  export UMOCKDEV_DIR=$(cat "$work/root") LD_PRELOAD=libumockdev-preload.so.0
  if [[ $updater == cli ]]; then
    local program=("$cli" flash "$work/fw.dat" --yes --progress=plain)
    ((controllers > 1)) && program+=(--all)
    "${program[@]}" >"$work/out" 2>&1 || status=$?
  else  # one updater that costs nothing per controller, all at once
    for ((k = 0; k < controllers; k++)); do
      "$null" "$work/fw.dat" "/dev/hidraw$k" >"$work/out" 2>&1 &
      pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=$?; done
  fi
  unset UMOCKDEV_DIR LD_PRELOAD
  for ((k = 1; k <= controllers; k++)); do
    "$emulator" --send "$work/control" stats "$k" |
      awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
           END { printf "%.0f %.0f %d %d\n", v["header_us"], v["completion_us"], v["reports_at_completion"] - v["reports_at_header"] + 1, v["data"] }'
  done
  "$emulator" --send "$work/control" quit >/dev/null 2>&1
  wait "$emulator_pid"
  emulator_pid=""
  ((status == 0)) || { echo "run failed ($status): $(tail -1 "$work/out")" >&2; return 1; }
}

# summarize FILE NAME FORMAT: the median and spread of the figures in FILE.
summarize() {
  [[ -s $1 ]] || { printf '%-52s no successful run\n' "$2"; return; }
  sort -n "$1" | awk -v name="$2" -v format="$3" '
    { v[NR] = $1; extra[NR] = $2 }
    END { m = int((NR + 1) / 2); printf "%-52s " format "   (runs: %d, %.4f to %.4f)\n", name, v[m], extra[m], NR, v[1], v[NR] }'
}

unpaced() {  # NAME UPDATER
  local i
  : >"$work/figures"
  for ((i = 0; i < runs; i++)); do
    one_run "$2" 1 >"$work/run" || continue
    read -r header completion reports chunks <"$work/run"
    awk -v us=$((completion - header)) -v n="$chunks" 'BEGIN { printf "%.1f %d\n", us / n, n }' >>"$work/figures"
  done
  summarize "$work/figures" "$1" "%7.1f us per chunk (%d chunks)"
}

# The machine's speed drifts over minutes, so the updater and its floor run
# in turns, and each run of the updater is set against the floor's run just
# before it.

paced_ratio() {  # UPDATER: frames used / frames needed of one paced run
  one_run "$1" 1 --paced >"$work/run" || return 1
  read -r header completion reports _ <"$work/run"
  # Reports are taken at frame boundaries: header at frame 0, completion at frame us/1000.
  awk -v us=$((completion - header)) -v r="$reports" 'BEGIN { printf "%.4f %d\n", (us / 1000 + 1) / r, r }'
}

paced() {
  local i floor program
  : >"$work/floor"; : >"$work/program"; : >"$work/excess"
  for ((i = 0; i < runs; i++)); do
    floor=$(paced_ratio null) || continue
    program=$(paced_ratio cli) || continue
    echo "$floor" >>"$work/floor"
    echo "$program" >>"$work/program"
    awk -v p="${program% *}" -v f="${floor% *}" 'BEGIN { printf "%.4f 0\n", p - f }' >>"$work/excess"
  done
  summarize "$work/floor" "(b) paced 1 ms frames, the updater that costs nothing" "%7.4f x frames (%d reports)"
  summarize "$work/program" "(b) paced 1 ms frames, korvid-update" "%7.4f x frames (%d reports)"
  summarize "$work/excess" "(b) korvid-update minus the floor, run by run" "%+7.4f%.0s"
}

four_ratio() {  # UPDATER: span of four at once / one controller's time
  local header completion single
  one_run "$1" 1 --paced >"$work/run" || return 1
  read -r header completion _ _ <"$work/run"
  single=$((completion - header))
  one_run "$1" 4 --paced >"$work/run" || return 1
  awk -v single="$single" 'NR == 1 || $1 < first { first = $1 } NR == 1 || $2 > last { last = $2 }
    END { printf "%.4f %d\n", (last - first) / single, (last - first) / 1000 }' "$work/run"
}

four_at_once() {
  local i floor program
  : >"$work/floor"; : >"$work/program"; : >"$work/excess"
  for ((i = 0; i < runs; i++)); do
    floor=$(four_ratio null) || continue
    program=$(four_ratio cli) || continue
    echo "$floor" >>"$work/floor"
    echo "$program" >>"$work/program"
    awk -v p="${program% *}" -v f="${floor% *}" 'BEGIN { printf "%.4f 0\n", p / f }' >>"$work/excess"
  done
  summarize "$work/floor" "(c) four at once, paced, the updater that costs nothing" "%7.4f x one controller (%d ms for all four)"
  summarize "$work/program" "(c) four controllers at once, paced, korvid-update --all" "%7.4f x one controller (%d ms for all four)"
  summarize "$work/excess" "(c) --all / the floor, run by run" "%7.4f%.0s"
}

echo "korvid-update whole update through emulated hidraw nodes, $payload-byte payload ($(((payload + 31) / 32)) chunks)"
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/korvid_emulated_round_trip" >/dev/null 2>&1 || true
unpaced "(a) unpaced, the updater that costs nothing" null
unpaced "(a) unpaced, korvid-update" cli
paced
four_at_once
echo "goals: (b) at most 1.01 x the frames the transfer needs; (c) the floor at most 1.05 x one controller's time, --all at most 1.02 x the floor"
