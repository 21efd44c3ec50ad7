#!/bin/bash
# Who may change a recorded tunnel: a real set-user-id root copy of
# pathwarden, run by two ordinary users (nobody and uid 4242) and by root.
# Topology in lib.sh. The helper's parent is the "runner": this shell, or a
# short-lived bash in between (a runner that is gone, or another one that is
# still running).
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"

pw_private_names
pw_local_sbin
pw_hide_resolvectl
pw_setuid_copy
if [ -n "${QUON_SANITIZE:-}" ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
fi
OTHER=("$(command -v setpriv)" --reuid=4242 --regid=4242 --clear-groups)
SESSION_A=0123456789abcdef0123456789abcdef
SESSION_B=fedcba9876543210fedcba9876543210
# Runs the rest with a bash of its own as the helper's parent: a runner other
# than this shell, alive while the helper runs, gone right after.
OTHER_RUNNER=(bash -c '"$@"; exit $?' runner)

pw_net gw
pw_tun_up

expect_untouched() {
  assert_eq "$1" "$(state_text)" "$2: state file"
  assert_eq "" "$(routes4 203.0.113.80/32)" "$2: no hole punched"
}

# --- The owner is recorded; another user can neither punch holes nor stop ----
run_pw "${NOBODY[@]}" -- start 10.9.9.9 "$SESSION_A"
expect_rc 0 "start by nobody"
record=$(state_text)
read -r -a stat < <(sed 's/.*) //' /proc/$$/stat)
assert_contains "$record" "owner_uid=65534
owner_pid=$$
owner_start_time=${stat[19]}
session=$SESSION_A" "owner lines"
assert_eq 8 "$(grep -c . <<<"$(head -n 8 "$STATE")")" "the eight leading lines stay"

for action in start stop; do
  run_pw "${OTHER[@]}" -- "$action" 203.0.113.80
  expect_rc 19 "$action by another user"
  assert_eq "[helper] the tunnel belongs to another user; only that user or root can change it" "$(last_line "$ERR")" "status 19 message"
  expect_untouched "$record" "$action by another user"
  # Knowing the session does not make it theirs.
  run_pw "${OTHER[@]}" -- "$action" 203.0.113.80 "$SESSION_A"
  expect_rc 19 "$action by another user with the owner's session"
done
assert_contains "$(ip -4 route show table all)" "quon_vpn0" "tunnel still up after other users"

# --- Another quon_vpn of the same user that is still running -------------------
for session in "" "$SESSION_B"; do
  run_pw "${NOBODY[@]}" "${OTHER_RUNNER[@]}" -- stop 203.0.113.80 $session
  expect_rc 22 "stop by another running quon_vpn [$session]"
  assert_eq "[helper] the tunnel belongs to another running quon_vpn; nothing was changed" "$(last_line "$ERR")" "status 22 message"
  expect_untouched "$record" "another running quon_vpn"
  run_pw "${NOBODY[@]}" "${OTHER_RUNNER[@]}" -- start 203.0.113.80 $session
  expect_rc 22 "start by another running quon_vpn [$session]"
  expect_untouched "$record" "another running quon_vpn"
done
# A pid that was reused by another process is not the owner any more.
sed -i "s/^owner_start_time=.*/owner_start_time=1/" "$STATE"
run_pw "${NOBODY[@]}" "${OTHER_RUNNER[@]}" -- start 10.9.9.9 "$SESSION_B"
expect_rc 0 "start over an owner whose pid was reused"
assert_contains "$(state_text)" "session=$SESSION_B" "new session recorded"
# The same session from another process is the owner's.
run_pw "${NOBODY[@]}" -- stop 10.9.9.9 "$SESSION_B"
expect_rc 0 "stop with the owner's session"
[ ! -e "$STATE" ] || fail "state file left after the owner's stop"

# --- The runner itself without a session; one that has gone ---------------------
run_pw "${NOBODY[@]}" -- start 10.9.9.9
expect_rc 0 "start without a session"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 0 "stop by the same runner without a session"
run_pw "${NOBODY[@]}" "${OTHER_RUNNER[@]}" -- start 10.9.9.9 "$SESSION_A"
expect_rc 0 "start by a runner that then ends"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 0 "stop of a tunnel whose runner has gone"
[ ! -e "$STATE" ] || fail "stale record left"

# --- Root always may; a record of an older helper names nobody -----------------
run_pw "${NOBODY[@]}" -- start 10.9.9.9 "$SESSION_A"
expect_rc 0 "start by nobody before root's stop"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop by root"
printf '%s\n' ipv4_valid=1 ipv4_iface=veth0 ipv4_gateway=10.0.0.2 ipv6_valid=0 \
  ipv6_iface= ipv6_gateway= server_ipv4= server_ipv6= >"$STATE"
chmod 644 "$STATE"
run_pw "${OTHER[@]}" -- stop 10.9.9.9
expect_rc 0 "stop of an older helper's record by any user"
[ ! -e "$STATE" ] || fail "older record left"

echo "owner: all passed"
