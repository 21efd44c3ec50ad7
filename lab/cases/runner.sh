# shellcheck shell=bash
# Fault cases: the runner ends while the tunnel is up. Sourced by
# lab/lab_cases.sh; run inside the sandbox by lab/lab_run.sh.

lab_case runner-sigkill "static dhcp networkmanager" must \
  "the runner gets SIGKILL with the tunnel up; a new runner's start and stop"
lab_case runner-sigterm static must \
  "the runner gets SIGTERM with the tunnel up; a new runner's start and stop"
lab_case runner-display-lost static must \
  "Xvfb is killed with the tunnel up; a new display, a new runner's start and stop"
lab_case window-closed static must \
  "the window is closed as a window manager closes it (WM_DELETE_WINDOW)"

# What the runner's end left behind: the core must end with it, taking
# quon_vpn0 with it; the routes it had taken over come back only with the next
# runner's start or stop.
note_after_runner_end() {
  local what=$1
  if wait_until 10 lab_link_absent "$LAB_TUN_NAME"; then
    note "core ended with the runner ($what)"
  else
    note "tunnel left up after $what"
  fi
  ip -4 route show default | grep -c . >/dev/null || note "no IPv4 default in the main table until the next start or stop"
}

# A new runner, and the user's start and stop with it.
new_runner_start_stop() {
  lab_runner_up
  start_tunnel
  proof "a new runner's start answers true" answer_is 0 true
  ctl stop
  proof "its stop answers true" answer_is 0 true
}

runner_killed() {
  local sig=$1
  kill "-$sig" "$LAB_RUNNER_PID"
  wait_until 10 gone "$LAB_RUNNER_PID" || note "runner still alive after SIG$sig"
  note_after_runner_end "SIG$sig"
  new_runner_start_stop
}

case_runner_sigkill() { runner_killed KILL; }
case_runner_sigterm() { runner_killed TERM; }

case_runner_display_lost() {
  lab_stop_pid "$LAB_XVFB_PID"
  wait_until 15 gone "$LAB_RUNNER_PID" || note "runner still alive without its display"
  note_after_runner_end "the display went"
  lab_display_up
  new_runner_start_stop
}

case_window_closed() {
  DISPLAY=$LAB_DISPLAY "$QUON_BUILD_DIR/lab/lab_close_window" quon_vpn
  proof "the runner ends when its window is closed" wait_until 40 gone "$LAB_RUNNER_PID"
}
