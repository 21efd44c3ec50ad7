#!/bin/bash
# One tunnel, one owner, in the lab of engine_e2e.sh (drawn in full in
# lab/topology.sh):
#
#   desktop (sandbox netns) --- router --- vpn server --- internet
#   runner A (engine_driver)                 server core     probe endpoints
#   runner B, another user's runner
#   quon_vpn_watch beside A's core
#
# as the desktop user, with the real set-user-id helper and the lab core:
# - a second runner of the same user (B) that stops, starts or just exits
#   never touches A's live tunnel, and says why; nor does another user's;
# - a late stop with the token of an earlier tunnel does not undo A's newer
#   one;
# - the watcher killed, then the runner killed: a new watcher had taken its
#   place, so the core does not outlive the runner and the network comes
#   back by itself;
# - a runner killed together with its watcher leaves a record without a live
#   owner: the next runner restores the network at start-up and says so.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/engine/lab_setup.sh"
engine_lab_as_user
config=$ENGINE_LAB_CONFIG
user_dir=/tmp/quon_vpn-65534
before=$(routes)
network_back() { [ "$(routes)" = "$before" ]; }
through_tunnel() { [ "$(route_dev 1.1.1.1)" = quon_vpn0 ]; }

# runner_b USER_RUNS INPUT: a second runner that reads INPUT and exits; its
# answers in $b_out.
runner_b() {
  local how=$1 input=$2
  b_out=$(printf '%b' "$input" | $how env -i PATH=/usr/bin:/bin HOME=/ "$DRIVER" 2>&1) ||
    fail "runner B failed: $b_out"
  echo "runner B: $b_out"
}
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

# A connects.
driver_start
engine start "$config"
assert_contains "$answer" "start ok " "A's start"
through_tunnel || fail "A's traffic is not on the tunnel"

# B of the same user: stop, then exit.
runner_b as_nobody 'stop\n'
assert_contains "$b_out" "stop fail " "B's stop"
assert_contains "$b_out" "the tunnel belongs to another running quon_vpn" "B's stop says why"
through_tunnel || fail "B's stop took A's tunnel down"
# B starts: its clean-up does not fight over A's tunnel; no core is started.
runner_b as_nobody "start $config\n"
assert_contains "$b_out" \
  "Linux VPN could not start: the tunnel belongs to another running quon_vpn" \
  "B's start"
through_tunnel || fail "B's start took A's tunnel down"
# A core would have had its 800 ms to stay up.
b_ms=$(echo "$b_out" | awk '$1 == "start" { print $3 }')
[ "$b_ms" -lt 800 ] || fail "B's start took $b_ms ms: did it start a core?"
# B only opened and closed its window.
runner_b as_nobody ''
through_tunnel || fail "B's exit took A's tunnel down"
# Another user's runner.
runner_b as_other 'stop\n'
assert_contains "$b_out" "the tunnel belongs to another user" "the other user's stop"
through_tunnel || fail "another user took A's tunnel down"
engine running
assert_contains "$answer" "running ok" "A still running"
engine check
assert_contains "$answer" "check ok " "A's check"

# A late stop with the token of A's earlier tunnel leaves the newer one.
engine session
old=${answer#session ok 0 }
[ ${#old} -eq 32 ] || fail "no session: $answer"
engine stop
assert_contains "$answer" "stop ok " "A's stop"
engine start "$config"
assert_contains "$answer" "start ok " "A's new start"
engine session
assert_not_contains "$answer" "$old" "a new tunnel, a new session"
status=0
as_user "$HELPER" stop "$LAB_VPN_HOST" "$old" >/dev/null 2>&1 || status=$?
assert_eq 22 "$status" "a late stop's status"
through_tunnel || fail "a late stop undid the newer tunnel"

# The watcher killed, then the runner: a new watcher took the first one's
# place at once, and it gives the network back.
watcher=$(pid_of "$WATCHER") || fail "no watcher"
pp kill -KILL "$watcher"
replaced() { local w; w=$(pid_of "$WATCHER") && [ "$w" != "$watcher" ]; }
wait_until 1 replaced || fail "the killed watcher was not replaced"
assert_contains "$(cat $user_dir/quon_vpn_runner_native_linux.log)" \
  "ended unasked; watcher pid=" "the replacement is logged"
core=$(pid_of "$CORE") || fail "no core"
t0=$(date +%s%N)
pp kill -KILL "$driver_pid"
wait "$driver_pid" 2>/dev/null || true
wait_until 2 network_back || fail "the network is not back 2 s after the runner was killed"
echo "network back $((($(date +%s%N) - t0) / 1000000)) ms after the runner was killed"
wait_until 2 no_process "$CORE" || fail "an orphan core outlived its runner"
wait_until 2 no_process "$WATCHER" || fail "the watcher outlived its work"
[ ! -e /run/quon_vpn_route_state_linux.txt ] || fail "route state left"

# The runner and its watcher killed together (the watcher held still so
# that it cannot act): the record stays without a live owner. The core is
# ended by hand, as nothing else is left to do it here.
driver_start
engine start "$config"
assert_contains "$answer" "start ok " "start before both are killed"
watcher=$(pid_of "$WATCHER") || fail "no watcher"
core=$(pid_of "$CORE") || fail "no core"
pp kill -STOP "$watcher"
pp kill -KILL "$driver_pid"
wait "$driver_pid" 2>/dev/null || true
pp kill -KILL "$watcher"
pp kill -KILL "$core"
wait_until 3 no_process "$CORE" || fail "the core is still there"
[ -e /run/quon_vpn_route_state_linux.txt ] || fail "no record left to recover"
network_back && fail "the network came back with nobody left to do it"
# The next runner restores it at start-up and says so.
driver_start
engine recover
assert_contains "$answer" \
  "recover ok " "the recovery"
assert_contains "$answer" \
  "the network left by an earlier run of quon_vpn was restored" "what the user is told"
network_back || fail "the network is not back after the recovery: $(routes)"
[ ! -e /run/quon_vpn_route_state_linux.txt ] || fail "route state left"
engine start "$config"
assert_contains "$answer" "start ok " "start after the recovery"
engine stop
assert_contains "$answer" "stop ok " "stop after the recovery"
driver_end
network_back || fail "routes after all"
no_process "$CORE" || fail "a core is still running"
no_process "$WATCHER" || fail "a watcher is still running"
echo "PASS: a second runner and another user leave a live tunnel alone; a late stop cannot undo a newer tunnel; a killed watcher is replaced; an abandoned tunnel is restored at start-up"
