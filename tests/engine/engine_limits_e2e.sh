#!/bin/bash
# The engine's time limits as the desktop user runs it, in the lab of
# engine_e2e.sh: a route helper installed set-user-id root that has made
# itself root cannot be killed by the user, yet every wait on it ends at its
# limit and the engine answers the next call at once; a core that ignores
# SIGTERM after the TUN wait failed is gone 8 s later.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/engine/lab_setup.sh"
engine_lab_as_user
hanging=$QUON_BUILD_DIR/tests/engine/hanging_helper
[ -x "$hanging" ] || fail "not built: $hanging"
helper=/usr/local/libexec/quon_vpn/pathwarden
cp "$helper" "$LAB_WORK/pathwarden.real"
install -o root -g root -m 4755 "$hanging" "$helper"
log=/tmp/quon_vpn-65534/quon_vpn_runner_native_linux.log

driver_start
# A limit of 1 s against a helper that sleeps 6 s as root.
engine helper stop "$LAB_VPN_V4" 1
assert_contains "$answer" "helper fail " "helper past its limit"
assert_contains "$answer" "route helper timed out" "time-out message"
[ "$answer_ms" -ge 1000 ] && [ "$answer_ms" -le 1500 ] ||
  fail "a 1 s limit took $answer_ms ms"
hung=$(pid_of "$HELPER") || fail "the hanging helper is not running"
assert_eq 0 "$(awk '/^Uid:/ { print $3 }' "/proc/$hung/status")" "helper is root"
assert_eq 1 "$(grep -c 'could not be ended; it is reaped when it exits' "$log")" \
  "one line for the helper that could not be ended"
# The engine is free at once.
engine running
[ "$answer_ms" -lt 200 ] || fail "the next call waited $answer_ms ms"
# A helper started while the abandoned one still holds the routing lock waits
# its 2 s for the lock, then gives up with a status the engine names.
install -o root -g root -m 4755 "$LAB_WORK/pathwarden.real" "$helper"
engine helper stop "$LAB_VPN_V4" 5
assert_contains "$answer" \
  "helper fail " "a helper that finds the lock taken"
assert_contains "$answer" \
  "route helper failed: another route helper is still running (status 15)" \
  "the busy helper's message"
[ "$answer_ms" -ge 2000 ] && [ "$answer_ms" -lt 4000 ] ||
  fail "the busy helper answered after $answer_ms ms"
install -o root -g root -m 4755 "$hanging" "$helper"
# Reaped when it ends: no zombie stays behind. Ending and being reaped are
# two events (the reaper polls), so the test waits for the second one too.
wait_until 8 no_process "$HELPER" || fail "the helper still runs"
wait_until 3 no_children_of "$driver_pid" ||
  fail "children left: $(ps -o pid=,stat=,comm= --ppid "$driver_pid")"

# Start's clean-up of an earlier run has 3 s.
engine start "$ENGINE_LAB_CONFIG"
assert_contains "$answer" "start ok " "start with a hanging clean-up"
[ "$answer_ms" -lt 5500 ] || fail "start took $answer_ms ms"
install -o root -g root -m 4755 "$LAB_WORK/pathwarden.real" "$helper"
# The abandoned clean-up holds the routing lock until it ends.
wait_until 8 no_process "$HELPER" || fail "the clean-up helper still runs"
engine stop
assert_contains "$answer" "stop ok " "stop"

# The TUN never appears and the core ignores SIGTERM: Start answers at once
# after its wait, and the core is killed after the same 8 s grace as Stop's.
lab_write_client_config "$LAB_WORK/notun.json" "$LAB_VPN_V4" \
  '"noTun": true, "ignoreSigterm": true'
chmod 644 "$LAB_WORK/notun.json"
engine start "$LAB_WORK/notun.json"
assert_contains "$answer" "quon_vpn0 was not created in time" "TUN time-out"
t0=$SECONDS
pid_of "$CORE" >/dev/null || fail "the core is already gone"
sleep 7.5
pid_of "$CORE" >/dev/null || fail "the core was killed before its grace was over"
wait_until 2 no_process "$CORE" || fail "the core still runs $((SECONDS - t0)) s later"
driver_end

# The runner exits while a helper past its limit still runs as root: the exit
# waits at most 2 s more for it, then leaves it to end on its own, and the
# process that adopts the runner's orphans reaps it: no zombie stays behind.
install -o root -g root -m 4755 "$hanging" "$helper"
driver_start
engine helper stop "$LAB_VPN_V4" 1
assert_contains "$answer" "route helper timed out" "time-out before exit"
t0=$(date +%s%N)
driver_end
exit_ms=$((($(date +%s%N) - t0) / 1000000))
echo "the runner's exit took $exit_ms ms"
[ "$exit_ms" -lt 3000 ] || fail "the exit took $exit_ms ms"
pid_of "$HELPER" >/dev/null || fail "the helper should still run after the exit"
wait_until 8 no_process "$HELPER" || fail "the orphaned helper still runs"
no_zombie_helper() { ! ps -eo stat=,comm= | grep -q '^Z.*pathwarden'; }
wait_until 3 no_zombie_helper || fail "the orphaned helper was not reaped"
echo "PASS: helper limits hold against a root helper, a busy helper is named, an abandoned core is killed after its grace, and an exit hands a running helper on"
