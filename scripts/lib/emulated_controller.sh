# Sourced by the scripts that run a front-end against korvid-emulated-controller:
# its build, and one emulator started and stopped by process id.

# emulated_controller_build REPO: sets `emulator` to korvid-emulated-controller
# of $KORVID_LINUX_BUILD, else of build-linux-e2e-default/ (the default
# preset), built as needed; safe when several runs ask at once.
emulated_controller_build() {
  local repo=$1 linux_build=${KORVID_LINUX_BUILD:-}
  if [[ -z $linux_build ]]; then
    linux_build=$repo/build-linux-e2e-default
    mkdir -p "$linux_build"
    (
      flock -w 600 8 || exit 1
      cd "$repo" && { [[ -f $linux_build/CMakeCache.txt ]] || cmake --preset default -B "$linux_build" >/dev/null; } &&
        cmake --build "$linux_build" -j "$(nproc)" --target korvid-emulated-controller >/dev/null
    ) 8>"$linux_build/.emulator-build.lock" ||
      { echo "the emulated controller's build failed (cmake --preset default -B $linux_build)" >&2; return 1; }
  fi
  emulator=$linux_build/sim/emulated/korvid-emulated-controller
  [[ -x $emulator ]] || { echo "$emulator is missing" >&2; return 1; }
  command -v umockdev-wrapper >/dev/null || { echo "umockdev is missing (scripts/setup.sh installs it)" >&2; return 1; }
}

# start_emulated_controllers FOLDER OPTIONS...: the emulator in a testbed of
# its own, its control socket FOLDER/control, its testbed's root in
# FOLDER/root. Sets emulator_pid; false when it did not come up in 30 s.
start_emulated_controllers() {
  local folder=$1
  shift
  rm -f "$folder/root"  # a root file left by an earlier emulator is not this one's
  umockdev-wrapper "$emulator" --control "$folder/control" --root-file "$folder/root" "$@" \
    >"$folder/emulator.out" 2>"$folder/emulator.err" &
  emulator_pid=$!
  for _ in $(seq 600); do
    [[ -s $folder/root ]] && return 0
    kill -0 "$emulator_pid" 2>/dev/null || return 1
    sleep 0.05
  done
  return 1
}

# stop_emulated_controllers FOLDER: quit lets the emulator remove its testbed
# folder; a signal after 5 s.
stop_emulated_controllers() {
  local folder=$1
  [[ -n ${emulator_pid:-} ]] || return 0
  timeout -k 2 5 "$emulator" --send "$folder/control" quit >/dev/null 2>&1
  for _ in $(seq 100); do kill -0 "$emulator_pid" 2>/dev/null || break; sleep 0.05; done
  kill "$emulator_pid" 2>/dev/null
  wait "$emulator_pid" 2>/dev/null
  emulator_pid=""
}
