# shellcheck shell=bash
# The variables a prepare_ function sets are read by lab/lab_run.sh.
# shellcheck disable=SC2034
# Fault cases: the core, the helper and the user's own calls. Sourced by
# lab/lab_cases.sh; run inside the sandbox by lab/lab_run.sh.

lab_case core-killed "static dhcp networkmanager" must \
  "the core gets SIGKILL with the tunnel up; the user presses stop"
lab_case helper-killed static must \
  "root kills the helper half-way through its start (its state saved, the routing begun); the user presses stop"
lab_case start-twice static must "a second start while the tunnel is up"
lab_case stop-twice static must "a second stop after the first"

case_core_killed() {
  local core
  core=$(lab_pids_of "$LAB_INSTALLED_CORE")
  [ -n "$core" ] || note "no core running"
  # shellcheck disable=SC2086
  [ -n "$core" ] && kill -KILL $core
  wait_until 10 lab_link_absent "$LAB_TUN_NAME" || note "quon_vpn0 still there after the core died"
  ctl isRunning
  note "isRunning after the core died: $LAB_ANSWER"
  ctl stop
  proof "stop answers true" answer_is 0 true
}

prepare_helper_killed() { LAB_CASE_NO_START=1; }
case_helper_killed() {
  python3 "$QUON_SOURCE_DIR/lab/helper_kill.py" "$LAB_INSTALLED_HELPER" "$LAB_STATE_FILE" \
    >"$LAB_WORK/helper-kill.out" 2>&1 &
  local killer=$!
  start_tunnel
  wait "$killer" || true
  note "$(cat "$LAB_WORK/helper-kill.out"); start: exit $LAB_CTL_RC"
  # The user, seeing the failure, presses stop.
  ctl stop
  proof "stop answers true" answer_is 0 true
}

case_start_twice() {
  start_tunnel
  note "second start: exit $LAB_CTL_RC $(printf '%s' "$LAB_ANSWER" | tr -s '\n ' ' ' | head -c 120)"
  ctl stop
  proof "stop answers true" answer_is 0 true
}

case_stop_twice() {
  ctl stop
  proof "stop answers true" answer_is 0 true
  ctl stop
  proof "the second stop answers true" answer_is 0 true
}
