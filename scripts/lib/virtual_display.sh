# Sourced by the scripts and tests that need a display of their own.
# start_virtual_display FOLDER [GEOMETRY]: a private Xvfb on a free display
# (-displayfd: parallel runs never share one), its log in FOLDER/xvfb.log.
# Sets xvfb_pid and display (":N"); false when none came up within about
# five seconds a try. Two servers starting at once may pick the same display:
# the loser ends, and is tried again.
start_virtual_display() {
  local folder=$1 geometry=${2:-1024x768x24} attempt i
  for attempt in 1 2 3 4 5; do
    : >"$folder/display"
    Xvfb -displayfd 9 -screen 0 "$geometry" -nolisten tcp -noreset 9>"$folder/display" >>"$folder/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for ((i = 0; i < 100; i++)); do
      [[ -s $folder/display ]] && break
      kill -0 "$xvfb_pid" 2>/dev/null || break
      sleep 0.05
    done
    if [[ -s $folder/display ]]; then
      display=:$(head -n1 "$folder/display")
      return 0
    fi
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
    sleep "0.$((RANDOM % 5 + 1))"
  done
  return 1
}
