# The cases the guest runs against the real kernel's hidraw, sourced by its
# init (busybox sh). Each case prints one KORVID-CASE line; what it saw goes
# to KORVID-LOG lines of its own, for the host's test of that case to show.
# Every wait is for an event, bounded by a time-out far above what it takes.

success='Firmware upgraded successful!'
failure='Firmware update failure!'
bridge_socket=/run/bridge.control
bridge_pid=
udevd_pid=
case_failed=

now_cs() {
  read -r up rest </proc/uptime
  echo $((${up%.*} * 100 + 1${up#*.} - 100))
}

log() { echo "KORVID-LOG $case_name | $*"; }
fail() {
  log "FAILED: $*"
  case_failed=1
}
show() { sed "s/^/KORVID-LOG $case_name | /" ${1:+"$1"}; }

# Waits until COMMAND succeeds, at most TENTHS tenths of a second.
wait_for() {
  tenths=$1
  shift
  while ! "$@"; do
    tenths=$((tenths - 1))
    [ $tenths -gt 0 ] || return 1
    sleep 0.1
  done
}

# The hidraw nodes whose HID device has HID_ID ID (bus:vendor:product), one per line.
nodes_with_id() {
  for node in /sys/class/hidraw/hidraw*; do
    [ -e "$node" ] || continue
    grep -qx "HID_ID=$1" "$node/device/uevent" 2>/dev/null && echo "/dev/${node##*/}"
  done
}
boot_id=0003:00002DC8:00005750
app_id=0003:00002DC8:00005751
count_is() { [ "$(nodes_with_id "$1" | wc -l)" = "$2" ] && for n in $(nodes_with_id "$1"); do [ -c "$n" ] || return 1; done; }
# The USB port (1-1, 2-1...) a hidraw node's device hangs off.
port_of() { readlink -f "/sys/class/hidraw/${1##*/}/device" | sed -n 's|.*/usb[0-9]*/\([0-9-]*\)/[0-9-]*:[0-9.]*/.*|\1|p'; }
# A hidraw node's HID_UNIQ (the USB serial number).
serial_of() { sed -n 's/^HID_UNIQ=//p' "/sys/class/hidraw/${1##*/}/device/uevent"; }

start_udevd() {
  /lib/systemd/systemd-udevd >/tmp/udevd.log 2>&1 &
  udevd_pid=$!
  wait_for 100 test -S /run/udev/control || echo "KORVID-BOOT udevd did not start"
}
stop_udevd() {
  [ -n "$udevd_pid" ] || return 0
  kill "$udevd_pid" 2>/dev/null
  wait_for 100 sh -c "! kill -0 $udevd_pid 2>/dev/null" || kill -9 "$udevd_pid" 2>/dev/null
  wait "$udevd_pid" 2>/dev/null
  udevd_pid=
}
settle() { [ -z "$udevd_pid" ] || udevadm settle -t 20; }

# Starts the bridge with ARGS and waits for COUNT BOOT-mode nodes.
start_bridge() {
  count=$1
  shift
  rm -f "$bridge_socket"
  korvid-gadget-bridge --control "$bridge_socket" "$@" >/tmp/bridge.log 2>&1 &
  bridge_pid=$!
  if ! wait_for 150 test -S "$bridge_socket"; then
    show /tmp/bridge.log
    fail "the gadget bridge did not start"
    return 1
  fi
  # USB enumeration ends after udev settles: wait for the nodes themselves.
  if ! wait_for 300 count_is $boot_id "$count"; then
    fail "not $count BOOT-mode hidraw nodes: $(nodes_with_id $boot_id | tr '\n' ' ')"
    return 1
  fi
  settle
}
bridge() { korvid-gadget-bridge --send "$bridge_socket" "$@"; }
stop_bridge() {
  [ -n "$bridge_pid" ] || return 0
  bridge quit >/dev/null 2>&1 || kill "$bridge_pid" 2>/dev/null
  wait_for 150 sh -c "! kill -0 $bridge_pid 2>/dev/null" || kill -9 "$bridge_pid" 2>/dev/null
  wait "$bridge_pid" 2>/dev/null
  bridge_pid=
  # The next case starts from a bus without our devices.
  wait_for 150 count_is $boot_id 0 && wait_for 150 count_is $app_id 0 || log "nodes left behind"
  settle
}

# korvid-update ARGS, bounded: its output in /tmp/out, its status in $status,
# its duration and its end in centiseconds in $took and $ended.
run_cli() {
  started=$(now_cs)
  timeout 90 korvid-update "$@" </dev/null >/tmp/out 2>&1
  status=$?
  ended=$(now_cs)
  took=$((ended - started))
  grep -v '%.*bytes' /tmp/out | show
  log "exit status $status after $took cs"
}
said() { grep -qF -- "$1" /tmp/out || fail "korvid-update did not say: $1"; }
not_said() { ! grep -qF -- "$1" /tmp/out || fail "korvid-update said: $1"; }
expect_status() { [ "$status" = "$1" ] || fail "exit status $status, expected $1"; }
# The image controller K kept equals FILE.
image_is() {
  bridge image "$1" /tmp/image >/dev/null || fail "no image from controller $1"
  cmp -s /tmp/image "$2" || fail "controller $1's image ($(wc -c </tmp/image) bytes) differs from $2"
}

# ---------------------------------------------------------------- listing
# name | bridge arguments | BOOT-mode nodes | entries listed
listing_table='
listing_one||1|1
listing_two|--controllers 2|2|2
listing_two_interfaces|--two-interfaces|2|1'

listing_case() {
  args=$1 nodes=$2 listed=$3
  start_bridge "$nodes" $args || return
  run_cli list --json
  expect_status 0
  [ "$(grep -c '"path"' /tmp/out)" = "$listed" ] || fail "$listed controllers expected in the listing"
  for node in $(nodes_with_id $boot_id); do
    # Listed exactly when its descriptor is the controller's vendor collection.
    vendor=0
    [ "$(xxd -p -l 3 "/sys/class/hidraw/${node##*/}/device/report_descriptor")" = 0600ff ] && vendor=1
    listed_node=0
    grep -q "\"path\": \"$node\".*\"mode\": \"boot\"" /tmp/out && listed_node=1
    [ $vendor = $listed_node ] || fail "$node: vendor collection $vendor, listed $listed_node"
    # The USB port, as sysfs names the gadget's device on dummy_hcd's bus.
    if [ $listed_node = 1 ]; then
      port=$(port_of "$node")
      grep -q "\"path\": \"$node\".*\"port\": \"$port\"" /tmp/out || fail "$node: port $port not listed"
    fi
  done
  grep -q '"name": "Korvid Controller (BOOT)"' /tmp/out || fail "the listing does not name the controller"
  stop_bridge
}

# ---------------------------------------------------------------- whole update
update_odd_payload() {
  start_bridge 1 || return
  node=$(nodes_with_id $boot_id)
  port=$(port_of "$node")
  serial=$(serial_of "$node")
  log "BOOT mode: $node on port $port, serial $serial"
  run_cli flash /data/odd.dat --yes
  expect_status 0
  said "$success"
  said "The controller restarted in its application mode."
  image_is 1 /data/odd.payload
  if wait_for 100 count_is $app_id 1; then
    back=$(nodes_with_id $app_id)
    log "application mode: $back on port $(port_of "$back"), serial $(serial_of "$back")"
    [ "$(port_of "$back")" = "$port" ] || fail "back on port $(port_of "$back"), not $port"
    [ "$(serial_of "$back")" = "$serial" ] || fail "back with serial $(serial_of "$back"), not $serial"
  else
    fail "no application-mode node after the update"
  fi
  stop_bridge
}

# ---------------------------------------------------------------- faults
# name | bridge arguments | the reason said | centiseconds from the fault
# (the controller's moment, on the bridge's clock) to korvid-update's exit,
# at least | at most
fault_table='
failure_event_21|--fail-at-chunk 3 --fail-code 21|the controller reported a failure (event 21)|0|300
failure_event_24|--fail-at-chunk 3 --fail-code 24|the controller reported a failure (event 24)|0|300
silence|--silent-at-chunk 3|the controller stopped answering (10 seconds without a reply)|950|1500
unplug|--unplug-at-chunk 5|the controller was unplugged or went away|0|200
stop_reading|--stop-reading-at-chunk 3|the controller stopped answering (10 seconds without a reply)|950|1500'

fault_case() {
  args=$1 reason=$2 bounds=$3
  least=${bounds%|*} most=${bounds#*|}
  start_bridge 1 $args || return
  run_cli flash /data/odd.dat --yes
  expect_status 1
  said "$failure"
  said "The update failed: $reason."
  case $reason in *"stopped answering"*) ;; *) not_said "stopped answering" ;; esac
  # The bridge's clock is CLOCK_MONOTONIC, /proc/uptime's the boot time:
  # the same in a guest that never sleeps.
  fault_us=$(bridge stats 1 | sed -n 's/.* fault_us=\([0-9]*\).*/\1/p')
  if [ -n "$fault_us" ]; then
    since=$((ended - fault_us / 10000))
    log "exit $since cs after the fault"
    [ "$since" -ge "$least" ] && [ "$since" -le "$most" ] || fail "exit $since cs after the fault, not $least to $most"
  else
    fail "the fault never struck"
  fi
  log "bridge: $(bridge status 1)"
  stop_bridge
}

# ---------------------------------------------------------------- several at once
three_at_once() {
  start_bridge 3 --controllers 3 --fault-on 2 --fail-at-chunk 20 --fail-code 24 || return
  for node in $(nodes_with_id $boot_id); do
    log "$node serial $(serial_of "$node")"
    eval "serial_$(serial_of "$node")=$node"
  done
  run_cli flash /data/fw.dat --all --yes
  expect_status 1
  image_is 1 /data/fw.payload
  image_is 3 /data/fw.payload
  bridge image 2 /tmp/image2 >/dev/null
  [ "$(wc -c </tmp/image2)" -lt 8192 ] || fail "controller 2 got the whole payload"
  for k in 1 2 3; do
    eval "node=\$serial_KV00000$k"
    if [ $k = 2 ]; then
      grep -qE "^  $node +[0-9.]+ s  not updated: .*failure \\(event 24\\)" /tmp/out || fail "no summary line: $node failed with event 24"
    else
      grep -qE "^  $node +[0-9.]+ s  updated$" /tmp/out || fail "no summary line: $node updated"
    fi
  done
  stop_bridge
}

# ---------------------------------------------------------------- a bench
# Two controllers with two HID interfaces each (four nodes of our ids), the
# second failing: the station takes each controller once, by its port, and
# ends after two runs; the log names each by the port sysfs gives.
station() {
  start_bridge 4 --controllers 2 --two-interfaces --fault-on 2 --fail-at-chunk 3 || return
  run_cli flash /data/fw.dat --station --count 2 --yes --log /tmp/station.log
  expect_status 1
  show /tmp/station.log
  [ "$(wc -l </tmp/station.log)" = 2 ] || fail "not two log lines"
  # The guest was given no host name: the kernel's "(none)" is none.
  [ "$(grep -c '"host": null' /tmp/station.log)" = 2 ] || fail "the host of a guest with no name is not null"
  image_is 1 /data/fw.payload
  for node in $(nodes_with_id $boot_id) $(nodes_with_id $app_id); do
    eval "port_$(serial_of "$node")=$(port_of "$node")"
  done
  for k in 1 2; do
    eval "port=\$port_KV00000$k"
    [ -n "$port" ] || { fail "controller $k has no node left"; continue; }
    if [ $k = 1 ]; then result='"result": "updated", "reason_code": null'; else result='"result": "failed", "reason_code": "controller_failed"'; fi
    grep -qF "\"port\": \"$port\", \"serial\": \"KV00000$k\"" /tmp/station.log || fail "no log line for KV00000$k on port $port"
    grep -F "\"serial\": \"KV00000$k\"" /tmp/station.log | grep -qF "$result" || fail "KV00000$k's line lacks $result"
  done
  said "updated; it restarted in its application mode"
  said "not updated: the controller reported a failure (event 21); plug it in again in BOOT mode"
  said "1 updated, 1 failed, 0 interrupted."
  stop_bridge
}

# ---------------------------------------------------------------- without udevd
# name | how udevd is absent: stopped (killed by its process id, leaving in
# /run/udev what it leaves) or never run (no /run/udev at all)
no_udevd_table='
no_udevd_stopped|stopped
no_udevd_never_run|never'

no_udevd() {
  stop_udevd
  [ "$1" = never ] && rm -rf /run/udev
  log "/run/udev/control $([ -e /run/udev/control ] && echo present || echo absent)"
  if start_bridge 1; then
    run_cli flash /data/odd.dat --yes
    expect_status 0
    said "$success"
    image_is 1 /data/odd.payload
    said "The controller restarted in its application mode."
    stop_bridge
  fi
  start_udevd
}

# ---------------------------------------------------------------- permission
no_permission() {
  start_bridge 1 || return
  node=$(nodes_with_id $boot_id)
  # The project's rule tags the node for the seat; with no logged-in
  # session nobody gets an ACL, so the node stays root's.
  udevadm info --query=property "$node" | grep -q '^TAGS=.*:uaccess:' || fail "$node is not tagged uaccess"
  log "$node: $(ls -l "$node")"
  started=$(now_cs)
  timeout 60 su -s /bin/sh nobody -c 'korvid-update flash /data/odd.dat --yes' </dev/null >/tmp/out 2>&1
  status=$?
  show /tmp/out
  expect_status 2
  said "cannot open $node"
  said "permission denied"
  said "70-korvid-controllers.rules"
  said "udevadm control --reload"
  [ "$(bridge status 1 | sed -n 's/.* header=\([0-9]*\).*/\1/p')" = 0 ] || fail "a header went out"
  stop_bridge
}

# ---------------------------------------------------------------- probe
# The probe's transcript goes to KORVID-PROBE lines, for the host to compare
# with the emulator's.
probe_case() {
  start_bridge 1 || return
  node=$(nodes_with_id $boot_id)
  timeout 120 korvid-hidraw-probe basic --node "$node" --control "$bridge_socket" --peer gadget >/tmp/probe 2>&1 ||
    fail "the basic probe exited with $?"
  grep -q '^unplug-ioctl: ' /tmp/probe || fail "the basic probe did not get to the end"
  sed 's/^/KORVID-PROBE /' /tmp/probe
  stop_bridge
  start_bridge 1 --stop-reading-at-chunk 1 || return
  node=$(nodes_with_id $boot_id)
  timeout 60 korvid-hidraw-probe stall --node "$node" --control "$bridge_socket" >/tmp/probe 2>&1 ||
    fail "the stall probe exited with $?"
  grep -q '^stall-write: ' /tmp/probe || fail "the stall probe saw no write wait"
  sed 's/^/KORVID-PROBE /' /tmp/probe
  stop_bridge
}

run_case() {
  case_name=$1
  shift
  case_failed=
  log "started at $(now_cs) cs"
  "$@"
  stop_bridge
  if [ -n "$case_failed" ]; then echo "KORVID-CASE $case_name FAIL"; else echo "KORVID-CASE $case_name PASS"; fi
}

run_table() {
  function=$1 table=$2
  echo "$table" | while IFS='|' read -r name a b c; do
    [ -n "$name" ] || continue
    run_case "$name" "$function" "$a" "$b" "$c"
  done
}

run_all_cases() {
  start_udevd
  run_table listing_case "$listing_table"
  run_case update_odd_payload update_odd_payload
  run_table fault_case "$fault_table"
  run_case three_at_once three_at_once
  run_case station station
  run_case no_permission no_permission
  [ -x /bin/korvid-hidraw-probe ] && run_case probe probe_case
  run_table no_udevd "$no_udevd_table"
  stop_udevd
}
