# shellcheck shell=bash disable=SC2153  # LAB_* of lab/lab_desktop.sh
# Fault cases: one tunnel, one owner. A second window of the same user,
# another user's runner, a runner or its watcher killed with nobody to
# relaunch, quit signals in a row, a leak made by root, many start/stop
# cycles and calls made in quick succession. Sourced by lab/lab_cases.sh; run
# inside the sandbox by lab/lab_run.sh. "A" is the runner setup starts, as
# user nobody, and the tunnel it starts.

lab_case second-window-closed static must \
  "the same user launches the app again in the same session while A is connected; the second ends (or is closed)"
lab_case second-window-bus static must \
  "as second-window-closed, on a desktop with a session bus: the second launch hands over to A"
lab_case second-window-start static must \
  "a second runner of the same user, from a session without XDG_RUNTIME_DIR, presses start while A is connected, then ends"
lab_case second-window-stop static must \
  "a second runner of the same user, from a session without XDG_RUNTIME_DIR, presses stop while A is connected, then ends"
lab_case other-user-runner static must \
  "another user's runner presses start and stop while A is connected; after A stops, it starts and stops"
lab_case runner-killed-alone static must \
  "the runner gets SIGKILL with the tunnel up and nobody relaunches it"
lab_case watcher-then-runner static must \
  "the user kills the core's watcher, then the runner, with the tunnel up"
lab_case quit-signals-twice static must \
  "SIGTERM to the runner, SIGINT 50 ms later; then a new runner's start and stop"
lab_case plain-leak static must \
  "root sends plain traffic to the probe addresses past the tunnel while it is up; checkTunnel"
lab_case start-stop-cycles static must \
  "start and stop ${LAB_CYCLES:-300} times with logs near their bound; the user's files afterwards"
lab_case_long start-stop-cycles
lab_case quick-start-stop static must \
  "start, and stop sent on a connection of its own the moment the runner has taken the start in, ${LAB_QUICK_ROUNDS:-20} times"

LAB_USER_B_UID=65533

# ------------------------------------------------------------ the cases ---

# The app launched again in A's session: the second launch must end at
# once and touch nothing. A runner that instead opens a window of its own is
# ended, nothing pressed in it, as second_ends ends it.
case_second_window_closed() {
  second_launch "$LAB_USER_UID" "$LAB_USER_RUN" "$LAB_USER_HOME"
  wait_until 20 second_gone_or_open || true
  proof "the second launch ends by itself" wait_until 5 _lab_gone "$SECOND_PID"
  proof "it says that quon_vpn is already running" grep -q "already running" "$SECOND_LOG"
  second_ends
  a_still_connected "after the second window"
  a_stops
}

# The same on a desktop with a session bus: A is started again on it, and the
# second launch finds A there by the application's id.
case_second_window_bus() {
  a_stops
  lab_stop_pid "$LAB_RUNNER_PID"
  private_dir "$LAB_USER_UID" /run/lab-bus
  lab_spawn "$LAB_WORK/session-bus.log" setpriv --reuid="$LAB_USER_UID" \
    --regid="$LAB_USER_UID" --clear-groups \
    dbus-daemon --session --nofork --address=unix:path=/run/lab-bus/bus
  wait_until 10 test -S /run/lab-bus/bus ||
    fail "lab: no session bus: $(cat "$LAB_WORK/session-bus.log")"
  # shellcheck disable=SC2034  # read by lab_user_argv
  LAB_SESSION_BUS=unix:path=/run/lab-bus/bus
  lab_runner_up
  start_tunnel
  proof "A's start, on the session bus, answers true" answer_is 0 true
  second_launch "$LAB_USER_UID" "$LAB_USER_RUN" "$LAB_USER_HOME"
  wait_until 20 second_gone_or_open || true
  proof "the second launch ends by itself" wait_until 5 _lab_gone "$SECOND_PID"
  proof "it says that A's window was brought to the front" \
    grep -q "its window was brought to the front" "$SECOND_LOG"
  proof "A's runner brought its window to the front" \
    grep -q "brought this window to the front" "$LAB_WORK/runner.$LAB_RUNNER_COUNT.log"
  second_ends
  a_still_connected "after the second launch"
  a_stops
}

case_second_window_start() {
  second_launch "$LAB_USER_UID" "" "$LAB_USER_HOME"
  proof "the runner of the other session opens" second_up
  second_ctl start "$(cat "$LAB_WORK/start-args.json")"
  proof "its start is refused, saying the tunnel belongs to another running quon_vpn" \
    answer_is 1 "the tunnel belongs to another running quon_vpn"
  a_still_connected "after the second runner's start"
  second_ends
  a_still_connected "after the second runner ended"
  a_stops
}

case_second_window_stop() {
  second_launch "$LAB_USER_UID" "" "$LAB_USER_HOME"
  proof "the runner of the other session opens" second_up
  second_ctl stop
  note "the second runner's stop: exit $LAB_CTL_RC $(printf '%s' "$LAB_ANSWER" | tr -s '\n ' ' ' | head -c 140)"
  a_still_connected "after the second runner's stop"
  second_ends
  a_still_connected "after the second runner ended"
  a_stops
}

case_other_user_runner() {
  second_launch "$LAB_USER_B_UID" /run/lab-user-b /tmp/lab-user-b-home
  proof "B's runner opens" second_up
  second_ctl start "$(cat "$LAB_WORK/start-args.json")"
  proof "B's start is refused, saying the tunnel belongs to another user" \
    answer_is 1 "the tunnel belongs to another user"
  second_ctl stop
  note "B's stop: exit $LAB_CTL_RC $(printf '%s' "$LAB_ANSWER" | tr -s '\n ' ' ' | head -c 100)"
  a_still_connected "after B's start and stop"
  a_stops
  second_ctl start "$(cat "$LAB_WORK/start-args.json")"
  proof "after A stopped, B's start answers true" answer_is 0 true
  proof "B's plain IPv4 traffic arrives from the tunnel address" through_tunnel -4
  second_ctl stop
  proof "B's stop answers true" answer_is 0 true
  second_ends
}

# With nobody to relaunch the app, whatever outlives the runner gives the
# network back.
case_runner_killed_alone() {
  local t0=$EPOCHREALTIME
  kill -KILL "$LAB_RUNNER_PID"
  proof "the network is back within 2 s of the runner's SIGKILL" back_within 2000 "$t0"
  wait "$LAB_RUNNER_PID" 2>/dev/null || true
  proof "no core, watcher or helper is left" wait_until 2 nothing_left
}

# The watcher is killed first: the runner must notice and replace it (or
# take the tunnel down), so that its own death still ends the core.
case_watcher_then_runner() {
  local watcher t0
  watcher=$(watcher_pids)
  if [ -z "$watcher" ]; then
    note "no watcher found"
  else
    # shellcheck disable=SC2086
    kill -KILL $watcher
    if wait_until 3 watcher_replaced_or_tunnel_down "$watcher"; then
      note "after the watcher's death: $(lab_link_absent "$LAB_TUN_NAME" && echo "tunnel taken down" || echo "a new watcher, pid $(watcher_pids | tr '\n' ' ')")"
    else
      note "no new watcher 3 s after the first was killed"
    fi
  fi
  t0=$EPOCHREALTIME
  kill -KILL "$LAB_RUNNER_PID"
  proof "the network is back within 2 s of the runner's SIGKILL" back_within 2000 "$t0"
  wait "$LAB_RUNNER_PID" 2>/dev/null || true
  proof "no core, watcher or helper is left" wait_until 2 nothing_left
}

# A second quit signal during the teardown takes the same teardown; then a
# new runner starts and stops as usual.
case_quit_signals_twice() {
  local t0=$EPOCHREALTIME rc=0
  kill -TERM "$LAB_RUNNER_PID"
  sleep 0.05
  kill -INT "$LAB_RUNNER_PID" 2>/dev/null || note "the runner had ended within 50 ms of SIGTERM"
  proof "the runner ends within 20 s" wait_until 20 gone "$LAB_RUNNER_PID"
  wait "$LAB_RUNNER_PID" || rc=$?
  note "the runner ended after $(ms_since "$t0") ms with status $rc"
  proof "the runner's exit status is 0" test "$rc" = 0
  proof "the network is back" wait_until 5 network_back
  proof "no core, watcher or helper is left" wait_until 2 nothing_left
  new_runner_start_stop
}

# Root's own route sends plain traffic to the probe addresses out of the home
# link, past the tunnel: "connected" may no longer be said.
case_plain_leak() {
  local addr
  for addr in "$LAB_PROBE_TRACE_V4" "$LAB_PROBE_HTTP_V4"; do
    pp ip -4 route add "$addr/32" via "$LAB_DESKTOP_GW_V4" dev "$LAB_DESKTOP_IF" table 4242
  done
  pp ip -4 rule add to "$LAB_PROBE_TRACE_V4/32" lookup 4242 pref 50
  pp ip -4 rule add to "$LAB_PROBE_HTTP_V4/32" lookup 4242 pref 50
  proof "the leak is real: plain traffic reaches the internet from the home address" \
    client_seen_from -4 "$LAB_DESKTOP_V4"
  ctl checkTunnel
  proof "checkTunnel answers false" answer_is 0 false
  ctl getXrayLastError
  proof "the error says traffic is not going through the tunnel" \
    answer_is 0 "traffic is not going through the tunnel"
  pp ip -4 rule del to "$LAB_PROBE_TRACE_V4/32" lookup 4242 pref 50
  pp ip -4 rule del to "$LAB_PROBE_HTTP_V4/32" lookup 4242 pref 50
  pp ip -4 route flush table 4242
  ctl checkTunnel
  proof "without the leak, checkTunnel answers true again" answer_is 0 true
  a_stops
}

# The user's files after many cycles, with each log started close to its
# bound as a long-used one would be: each stays under it, and no other user
# can read any of them.
LAB_LOG_BOUND=$((1024 * 1024))
USER_FILES=(quon_vpn_runner_native_linux.log quon_vpn_xray_runtime_error.log
  quon_vpn_helper_runtime.log quon_vpn_xray_config_runtime.json)
unreadable_by_others() {
  ! setpriv --reuid="$LAB_USER_B_UID" --regid="$LAB_USER_B_UID" --clear-groups \
    head -c 1 "$1" >/dev/null 2>&1 || why "user $LAB_USER_B_UID read $1"
}
case_start_stop_cycles() {
  local cycles=${LAB_CYCLES:-300} i f path size failed=0 t0=$EPOCHREALTIME
  for f in "${USER_FILES[@]}"; do
    case "$f" in
      *.log)
        path=$(user_file "$f")
        # A little under the bound: the cycles' own lines take it past.
        # shellcheck disable=SC2016
        lab_as_user sh -c 'head -c $(($2 - 32768 - $(stat -c %s "$1" 2>/dev/null || echo 0))) /dev/zero | tr "\0" "." >>"$1"; echo >>"$1"' \
          sh "$path" "$LAB_LOG_BOUND" || note "could not lengthen $path"
        ;;
    esac
  done
  a_stops
  for ((i = 1; i <= cycles; i++)); do
    lab_ctl start "$(cat "$LAB_WORK/start-args.json")"
    [[ "$LAB_CTL_RC" = 0 && "$LAB_ANSWER" == *true* ]] || {
      failed=$((failed + 1))
      echo "cycle $i start: $LAB_CTL_RC $LAB_ANSWER"
    }
    lab_ctl stop
    [[ "$LAB_CTL_RC" = 0 && "$LAB_ANSWER" == *true* ]] || {
      failed=$((failed + 1))
      echo "cycle $i stop: $LAB_CTL_RC $LAB_ANSWER"
    }
    [ $((i % 50)) != 0 ] || say "       $i cycles, $(ms_since "$t0") ms"
  done
  note "$cycles cycles in $(($(ms_since "$t0") / 1000)) s"
  proof "every start and stop of $cycles cycles answers true" test "$failed" = 0
  for f in "${USER_FILES[@]}"; do
    path=$(user_file "$f")
    size=$(stat -c %s "$path" 2>/dev/null || echo missing)
    echo "$path: $size bytes, mode $(stat -c %a "$path" 2>/dev/null)"
    # Trimmed before each open, a log passes the bound by one run's lines
    # at most.
    proof "$f stays under 1 MiB and one run's lines (${size} bytes)" \
      test "$size" != missing -a "$size" -le $((LAB_LOG_BOUND + 8192))
    proof "$f cannot be read by another user" \
      unreadable_by_others "$path"
  done
}

# The engine's own log: its last Start() began before its last Stop().
stop_after_start() {
  local order
  order=$(grep -o 'St[a-z]*() called' "$(user_file quon_vpn_runner_native_linux.log)" | tail -n 2 | tr '\n' ' ')
  [ "$order" = "Start() called Stop() called " ] || why "the engine's log ends with: $order"
}

# Start and, the moment the runner has taken it in, stop, on a connection of
# its own, in several rounds: each time the stop must be taken second, so the
# tunnel ends down. (Run on worker threads as they come, the two race; a stop
# taken first leaves the tunnel up.)
# shellcheck disable=SC2034
prepare_quick_start_stop() { LAB_CASE_NO_START=1; }
case_quick_start_stop() {
  local rounds=${LAB_QUICK_ROUNDS:-20} r bad=0 counted=0 out
  for ((r = 1; r <= rounds; r++)); do
    out=$LAB_WORK/quick.$r.out
    lab_as_user python3 "$QUON_SOURCE_DIR/lab/start_then_stop.py" "$LAB_SOCKET" \
      "$LAB_RUNNER_PID" "$(cat "$LAB_WORK/start-args.json")" >"$out" 2>&1 || true
    cat "$out"
    PROOF_WHY=
    grep -q '^taken in: yes' "$out" && counted=$((counted + 1))
    if ! grep -q '^stop: \["success", true\]' "$out" || ! stop_after_start ||
      ! wait_until 2 network_back; then
      # Only a round whose start the runner had taken in first is its fault.
      grep -q '^taken in: yes' "$out" && bad=$((bad + 1))
      note "round $r: $(tr '\n' ' ' <"$out" | head -c 140)${PROOF_WHY:+ $PROOF_WHY}"
      ctl stop
    fi
  done
  note "$counted of $rounds rounds had the start taken in before the stop was sent"
  proof "most rounds had the start taken in first" test "$counted" -ge $((rounds / 2))
  proof "in each of $rounds rounds the stop ran second, answered true and left the tunnel down" \
    test "$bad" = 0
  ctl isRunning
  proof "isRunning is false" answer_is 0 false
}
