#!/bin/bash
# Two helpers never change routes at the same time: each holds an exclusive
# lock on a root-owned file under /run for its whole run. A second one waits
# for the first, or gives up with its own status before the runner would
# abandon it, and never acts once given up. Both are set-user-id copies run
# by nobody; a stand-in bound over ip (inside this mount namespace) logs
# every command and holds the first helper inside its run for as long as a
# test asks.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"

pw_private_names
pw_local_sbin
pw_hide_resolvectl
pw_setuid_copy
LOCK=/run/quon_vpn_pathwarden.lock

pw_ip_standin /tmp/pw/ip.slow <<'SH'
#!/bin/sh
echo "$*" >>/tmp/pw/ip.log
if [ "$*" = "-4 route replace default dev quon_vpn0 table 52410" ] && [ -e /tmp/pw/hold ]; then
  sleep "$(cat /tmp/pw/hold)"
fi
exec /tmp/ip.real "$@"
SH

pw_net gw
pw_tun_up

# start_held SECONDS: a start in the background that holds the lock for that
# long inside its run (after the server rules, before the tunnel's table).
start_held() {
  echo "$1" >/tmp/pw/hold
  : >/tmp/pw/ip.log
  "${NOBODY[@]}" "$PW" start 10.9.9.9 >/tmp/pw/a.out 2>&1 &
  A=$!
  wait_until 10 grep -qx -- "-4 route replace default dev quon_vpn0 table $TUN_TABLE" /tmp/pw/ip.log ||
    fail "first helper never reached its default route"
}
wait_first() {
  set +e
  wait "$A"
  RC=$?
  set -e
  OUT=$(cat /tmp/pw/a.out) ERR=""
  rm -f /tmp/pw/hold
}

# --- A second helper waits, then runs after the first -----------------------------
start_held 1
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
B_RC=$RC B_ERR=$ERR
wait_first
expect_rc 0 "first helper (start)"
RC=$B_RC ERR=$B_ERR
expect_rc 0 "second helper (stop) after waiting"
assert_contains "$ERR" "[helper] waiting for another route helper to finish" "second helper waited"
# Every command of the start comes before every command of the stop.
last_start=$(grep -n -- "-6 rule add pref 10403 lookup $TUN_TABLE" /tmp/pw/ip.log | cut -d: -f1)
first_stop=$(grep -n -- "-4 rule del pref 10403" /tmp/pw/ip.log | head -n 1 | cut -d: -f1)
[ -n "$last_start" ] && [ -n "$first_stop" ] || fail "commands missing from the log"
[ "$last_start" -lt "$first_stop" ] || fail "start and stop interleaved: $(cat /tmp/pw/ip.log)"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "stop after start: IPv4"
assert_eq "default via fe80::2 dev veth0 metric 1024 pref medium" "$(routes6 default)" "stop after start: IPv6"
expect_no_tunnel "stop after start"
[ ! -e "$STATE" ] || fail "state left after the queued stop"

# --- A second helper gives up within 2 s and changes nothing ------------------------
start_held 4
before=$(wc -l </tmp/pw/ip.log)
t0=$(date +%s%N)
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
t1=$(date +%s%N)
expect_rc 15 "second helper while the first holds the lock"
assert_eq "[helper] another route helper is still running; gave up after 2000 ms" "$(last_line "$ERR")" "status 15 message"
waited_ms=$(((t1 - t0) / 1000000))
[ "$waited_ms" -ge 1900 ] && [ "$waited_ms" -lt 2900 ] || fail "gave up after $waited_ms ms"
assert_eq "$before" "$(wc -l </tmp/pw/ip.log)" "the helper that gave up ran commands"
wait_first
expect_rc 0 "first helper after the second gave up"
expect_tunnel_rules "first helper finished its start" 10.9.9.9 ""
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 0 "stop once the lock is free"
expect_no_tunnel "restored after the lock test"

# --- The lock file itself cannot be turned against the helper --------------------------
assert_eq "0:0 600 regular empty file" "$(stat -c '%u:%g %a %F' "$LOCK")" "lock file owner, mode and type"
rm -f "$LOCK"
ln -s /tmp/pw/elsewhere "$LOCK"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 15 "linked lock file"
assert_contains "$ERR" "[helper] could not open lock file $LOCK: " "link not followed"
[ ! -e /tmp/pw/elsewhere ] || fail "lock file created through a link"
rm -f "$LOCK"
: >"$LOCK"
chown 65534 "$LOCK"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 15 "foreign lock file"
assert_eq "[helper] refusing lock file $LOCK: not a regular file owned and writable by root alone" "$(last_line "$ERR")" "foreign lock refused"
rm -f "$LOCK"
mkfifo -m 600 "$LOCK"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 15 "FIFO as lock file"
rm -f "$LOCK"

echo "lock: all passed"
