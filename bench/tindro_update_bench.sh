#!/usr/bin/env bash
# Whole updates of a 256 KiB payload through Tindro (GNUstep, Xvfb) against
# the emulated controller's hidraw node, timed by the controller from the
# header to the completion command, beside two updaters that cost nothing
# (prepared reports, no engine) through the same emulated node: on the bare
# node (korvid_hidraw_null_updater) and through Tindro's stack, the IOKit
# calls on GNUstep's run loop (korvid_iokit_null_updater):
#   (a) unpaced: what one chunk costs the whole stack (umockdev's preload,
#       the device layer, engine, traces, progress redraws, the test driver
#       looking on);
#   (b) paced like a full-speed USB link (one report taken and answered per
#       1 ms frame, at frame boundaries): frames used against the frames the
#       transfer needs (one per report); the goal is at most 1.01 times.
# Each variant runs --runs times (default 3); the median is printed with the
# spread. Variants show what costs: the window on screen (bar redraws) or in
# the dock, and the NSLog traces written to a file or dropped. In (b) Tindro
# and the updaters that cost nothing take turns, run by run.
# Usage: bench/tindro_update_bench.sh [--runs N] [--payload-size N]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

runs=3
payload=262144
while (($# > 0)); do
  case $1 in
    --runs) runs=${2:?}; shift 2 ;;
    --payload-size) payload=${2:?}; shift 2 ;;
    -h | --help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
[[ $runs =~ ^[1-9][0-9]*$ && $payload =~ ^[1-9][0-9]*$ ]] || { echo "--runs and --payload-size take whole numbers" >&2; exit 2; }

if [[ -z ${KORVID_GNUSTEP_BUILD:-} ]]; then
  export KORVID_GNUSTEP_BUILD=$root/build-gnustep-e2e
  (cd "$root" && cmake --preset gnustep -B "$KORVID_GNUSTEP_BUILD" >/dev/null &&
    cmake --build "$KORVID_GNUSTEP_BUILD" -j "$(nproc)" --target Tindro korvid_gnustep_driver korvid-emulated-controller \
      korvid_iokit_null_updater >/dev/null) ||
    { echo "the build failed" >&2; exit 2; }
fi
# The floor's updater is a benchmark tool of the Linux build.
linux_build=${KORVID_LINUX_BUILD:-$root/build}
if [[ -z ${KORVID_LINUX_BUILD:-} ]]; then
  (cd "$root" && cmake --preset default >/dev/null &&
    cmake --build --preset default -j "$(nproc)" --target korvid_hidraw_null_updater >/dev/null) ||
    { echo "the build failed" >&2; exit 2; }
fi
null=$linux_build/bench/korvid_hidraw_null_updater
stack_null=$KORVID_GNUSTEP_BUILD/bench/gnustep/korvid_iokit_null_updater
emulator=$KORVID_GNUSTEP_BUILD/sim/emulated/korvid-emulated-controller

work=$(mktemp -d /tmp/kvb-XXXXXX)
emulator_pid=""
source "$root/scripts/lib/emulated_controller.sh"
trap 'stop_emulated_controllers "$work"; rm -rf "$work"' EXIT

# null_run ARGS...: the same figures as one_run, of the updater that costs
# nothing on the bare node (emulator options ARGS); stack_run, of the one
# through Tindro's stack.
null_run() { cheap_run "$null" /dev/hidraw0 -- "$@"; }
stack_run() { cheap_run "$stack_null" -- "$@"; }

# cheap_run UPDATER ARGS... -- EMULATOR-OPTIONS...
cheap_run() {
  local updater=() status
  while [[ $1 != -- ]]; do updater+=("$1"); shift; done
  shift
  start_emulated_controllers "$work" --return-delay-ms 300 "$@" ||
    { echo "the emulator did not start: $(head -1 "$work/emulator.err")" >&2; return 1; }
  bash "$root/tests/linux/make_firmware.sh" "$work/fw.dat" 110 "$payload"
  HOME=$work UMOCKDEV_DIR=$(cat "$work/root") LD_PRELOAD=libumockdev-preload.so.0 timeout 120 "${updater[0]}" "$work/fw.dat" \
    "${updater[@]:1}" >"$work/out" 2>&1
  status=$?
  "$emulator" --send "$work/control" stats >"$work/stats"
  stop_emulated_controllers "$work"
  ((status == 0)) || { echo "run failed ($status): $(tail -1 "$work/out")" >&2; return 1; }
  figures
}

# figures: "<header-to-completion µs> <reports header..completion> <data commands>" of $work/stats
figures() {
  awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
       END { printf "%d %d %d\n", v["completion_us"] - v["header_us"], v["reports_at_completion"] - v["reports_at_header"] + 1, v["data"] }' "$work/stats"
}

# one_run ARGS...: prints "<header-to-completion µs> <reports header..completion> <data commands>"
one_run() {
  "$root/scripts/e2e-macos.sh" --payload-size "$payload" --look-ms 50 --timeout 180 \
    --stats-out "$work/stats" "$@" >"$work/out" 2>&1
  local status=$?
  if ((status != 0)); then
    echo "run failed ($status): $(grep '^outcome:' "$work/out")" >&2
    return 1
  fi
  figures
}

# frame_ratio FIGURES: "<frames used / reports> <frames> <reports>" of one paced run's figures.
# Reports are taken at frame boundaries: header at frame 0, completion at frame us/1000.
frame_ratio() {
  read -r us reports _ <<<"$1"
  awk -v us="$us" -v r="$reports" 'BEGIN { printf "%.4f %d %d\n", (us / 1000 + 1) / r, us / 1000 + 1, r }'
}

# summarize NAME MODE FILE: the median and spread of the figures in FILE.
summarize() {
  [[ -s $3 ]] || { printf '%-58s no successful run\n' "$1"; return; }
  sort -n "$3" | awk -v name="$1" -v mode="$2" '
    { v[NR] = $1; f[NR] = $2; r[NR] = $3 }
    END {
      m = int((NR + 1) / 2)
      if (mode == "unpaced")
        printf "%-58s %7.1f us per chunk   (runs: %d, %.1f to %.1f)\n", name, v[m], NR, v[1], v[NR]
      else if (mode == "excess")
        printf "%-58s %+7.4f              (runs: %d, %+.4f to %+.4f)\n", name, v[m], NR, v[1], v[NR]
      else
        printf "%-58s %7.4f x frames      (%d frames for %d reports; runs: %d, %.4f to %.4f)\n", name, v[m], f[m], r[m], NR, v[1], v[NR]
    }'
}

# variant NAME MODE ARGS...: MODE unpaced prints µs per chunk, paced the frame
# ratio; with RUNNER=null_run the updater that costs nothing.
variant() {
  local name=$1 mode=$2 i line
  shift 2
  : >"$work/figures"
  for ((i = 0; i < runs; i++)); do
    line=$("${RUNNER:-one_run}" "$@") || continue
    if [[ $mode == unpaced ]]; then
      read -r us _ chunks <<<"$line"
      awk -v us="$us" -v n="$chunks" 'BEGIN { printf "%.1f\n", us / n }' >>"$work/figures"
    else
      frame_ratio "$line" >>"$work/figures"
    fi
  done
  summarize "$name" "$mode" "$work/figures"
}

# paced_in_turns: the two updaters that cost nothing and Tindro (window
# shown, traces to a file) take turns, and each of Tindro's runs is set
# against the floors' runs just before it: the machine's speed drifts over
# minutes.
paced_in_turns() {
  local i floor stack program
  : >"$work/floor"; : >"$work/stack"; : >"$work/program"; : >"$work/excess"; : >"$work/stack-excess"
  for ((i = 0; i < runs; i++)); do
    floor=$(null_run --paced) || continue
    stack=$(stack_run --paced) || continue
    program=$(one_run --paced) || continue
    floor=$(frame_ratio "$floor")
    stack=$(frame_ratio "$stack")
    program=$(frame_ratio "$program")
    echo "$floor" >>"$work/floor"
    echo "$stack" >>"$work/stack"
    echo "$program" >>"$work/program"
    awk -v p="${program%% *}" -v f="${floor%% *}" 'BEGIN { printf "%.4f\n", p - f }' >>"$work/excess"
    awk -v p="${program%% *}" -v f="${stack%% *}" 'BEGIN { printf "%.4f\n", p - f }' >>"$work/stack-excess"
  done
  summarize "(b) paced 1 ms frames, the updater that costs nothing" paced "$work/floor"
  summarize "(b) paced 1 ms frames, the same through Tindro's stack" paced "$work/stack"
  summarize "(b) paced 1 ms frames, window shown, traces to a file" paced "$work/program"
  summarize "(b) Tindro minus the bare node's floor, run by run" excess "$work/excess"
  summarize "(b) Tindro minus its stack's floor, run by run" excess "$work/stack-excess"
}

echo "Tindro whole update through an emulated hidraw node, $payload-byte payload ($((payload / 32)) chunks)"
echo "machine: $(nproc) cores, $(sed -n 's/^model name\s*: //p' /proc/cpuinfo | head -1); load average: $(cut -d' ' -f1-3 /proc/loadavg)"
RUNNER=null_run variant "(a) unpaced, the updater that costs nothing" unpaced
RUNNER=stack_run variant "(a) unpaced, the same through Tindro's stack" unpaced
variant "(a) unpaced, window shown, traces to a file" unpaced
variant "(a) unpaced, window shown, traces dropped" unpaced --tindro-log /dev/null
variant "(a) unpaced, window in the dock (no bar redraws)" unpaced --miniaturize
paced_in_turns
variant "(b) paced 1 ms frames, window shown, traces dropped" paced --paced --tindro-log /dev/null
variant "(b) paced 1 ms frames, window in the dock (no bar redraws)" paced --paced --miniaturize
echo "goal for (b): at most 1.01 x the frames the transfer needs, or the floor plus 0.005 where the floor is above that"
