#!/bin/bash
# Time limits of the helper, on the real kernel and ip, through a set-user-id
# copy run by nobody. The runner abandons a start after 15 s and runs stop at
# once, so a start must end by its own 12 s deadline and, when it ran out of
# time after changing the network, put everything back before it exits; a
# stop must not let one hung command hold the lock. Hangs are made with a
# stand-in resolvectl in the sandbox's own /usr/local/sbin, and a stand-in
# bound over ip inside this mount namespace, each of which starts a child
# that sleeps (so that only killing the whole command ends it).
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"
require_cmd timeout

pw_private_names
pw_local_sbin
pw_setuid_copy
# A helper without the limits would sit in a hang for a minute; the test
# gives up on it well before that (root may kill a set-user-id process).
NOBODY=(timeout -s KILL 40 "${NOBODY[@]}")

# A ThreadSanitizer runtime sleeps 1 s at exit for threads still running
# (here the name lookup left behind at the deadline); the helper itself is
# done by then.
case "${QUON_SANITIZE:-}" in
  *thread*) export TSAN_OPTIONS="atexit_sleep_ms=0${TSAN_OPTIONS:+ $TSAN_OPTIONS}" ;;
esac

DEADLINE_MS=12000
STOP_COMMAND_MS=2000

# resolvectl as /tmp/pw/rctl.mode says: "ok" answers at once (a query with
# yes), "hang" never answers, "hang-writes" answers a query and hangs on
# every other command. Each call is logged.
cat >/usr/local/sbin/resolvectl <<'SH'
#!/bin/sh
echo "$*" >>/tmp/pw/rctl.log
mode=$(cat /tmp/pw/rctl.mode)
query=no
[ "$1" = default-route ] && [ $# -eq 2 ] && query=yes
[ "$1" = domain ] && [ $# -eq 1 ] && query=yes
if [ "$mode" = hang ] || { [ "$mode" = hang-writes ] && [ $query = no ]; }; then
  sleep 60 &
  echo $! >>/tmp/pw/sleepers
  wait
fi
[ "$1" = default-route ] && [ $query = yes ] && echo "Link 2 ($2): yes"
exit 0
SH
chmod 755 /usr/local/sbin/resolvectl
echo ok >/tmp/pw/rctl.mode
: >/tmp/pw/sleepers

# ip that hangs on exactly the command line in /tmp/pw/ip.hang, and runs
# every other.
: >/tmp/pw/ip.hang
pw_ip_standin /tmp/pw/ip.stand-in <<'SH'
#!/bin/sh
if [ -s /tmp/pw/ip.hang ] && [ "$*" = "$(cat /tmp/pw/ip.hang)" ]; then
  sleep 60 &
  echo $! >>/tmp/pw/sleepers
  wait
fi
exec /tmp/ip.real "$@"
SH

# timed_pw ARGS: runs the helper as nobody; sets RC, OUT, ERR and MS.
timed_pw() {
  local t0 t1
  : >/tmp/pw/rctl.log
  t0=$(date +%s%N)
  run_pw "${NOBODY[@]}" -- "$@"
  t1=$(date +%s%N)
  MS=$(((t1 - t0) / 1000000))
}

# expect_within LOW_MS HIGH_MS WHAT
expect_within() {
  if [ "$MS" -lt "$1" ] || [ "$MS" -gt "$2" ]; then
    fail "$3: took $MS ms, expected $1..$2 ms (stderr: $ERR)"
  fi
  echo "$3: $MS ms"
}

# Every command the helper killed went with all it had started.
expect_no_sleepers() {
  local pid
  while read -r pid; do
    ! kill -0 "$pid" 2>/dev/null || fail "$1: a killed command's child $pid is still running"
  done </tmp/pw/sleepers
  : >/tmp/pw/sleepers
}

pw_net gw
before=$(pw_tables)

# --- No quon_vpn0: the wait for it ends at the deadline ----------------------------
timed_pw start 10.9.9.9
expect_rc 6 "start without a tunnel"
assert_eq "[helper] TUN interface quon_vpn0 was not created in time" "$(last_line "$ERR")" "status 6 message"
expect_within $((DEADLINE_MS - 500)) $((DEADLINE_MS + 500)) "start without a tunnel"
assert_eq "$before" "$(pw_tables)" "tables after a start without a tunnel"
assert_contains "$(state_text)" "ipv4_gateway=10.0.0.2" "state saved before the wait"
timed_pw stop 10.9.9.9
expect_rc 0 "stop after status 6"
assert_eq "$before" "$(pw_tables)" "tables after stop"
[ ! -e "$STATE" ] || fail "state file left after stop"

pw_tun_up
before=$(pw_tables)

# --- The server's name does not resolve in time: nothing changes -------------------
# A name server that takes every query and never answers; the lookup would
# wait 30 s.
pp ip link set lo up
pp ip addr add 127.0.0.2/8 dev lo
/usr/bin/python3 -c 'import socket, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.2", 53))
time.sleep(120)' &
# The lookup must meet a bound socket: one that is not there yet answers at
# once with "port unreachable", and the lookup fails instead of hanging.
wait_until 10 sh -c 'ss -Hnlu src 127.0.0.2:53 | grep -q .' || fail "the silent name server did not start"
printf 'nameserver 127.0.0.2\noptions timeout:30 attempts:1\n' >/tmp/pwetc/resolv.conf
timed_pw start slow.quon.test
printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >/tmp/pwetc/resolv.conf
expect_rc 17 "start, the server's name does not resolve"
assert_eq "[helper] start ran out of time; nothing was changed" "$(last_line "$ERR")" "status 17 message, nothing changed"
expect_within $((DEADLINE_MS - 500)) $((DEADLINE_MS + 500)) "start, the server's name does not resolve"
assert_eq "$before" "$(pw_tables)" "tables after a start that changed nothing"
[ ! -e "$STATE" ] || fail "state saved by a start that ran out of time before saving"

# --- resolvectl hangs once the routes moved: start puts them back --------------------
echo hang-writes >/tmp/pw/rctl.mode
timed_pw start 10.9.9.9
expect_rc 17 "start, resolvectl hangs after the routes moved"
assert_eq "[helper] start ran out of time; the network could not all be put back, the route state is kept for stop" \
  "$(last_line "$ERR")" "status 17 message, DNS not given back"
assert_contains "$ERR" "[helper] command ran out of time: resolvectl dns quon_vpn0 1.1.1.1 8.8.8.8" "the hung command is named"
expect_within $((DEADLINE_MS - 500)) $((DEADLINE_MS + 1000)) "start, resolvectl hangs after the routes moved"
assert_eq "$before" "$(pw_tables)" "tables after start put them back"
# resolved was asked once and not again: the way back skipped DNS.
assert_eq "domain
dns quon_vpn0 1.1.1.1 8.8.8.8" "$(cat /tmp/pw/rctl.log)" "resolvectl calls of the start"
expect_no_sleepers "start, resolvectl hangs after the routes moved"
# With resolved answering again, the runner's stop gives DNS back.
echo ok >/tmp/pw/rctl.mode
timed_pw stop 10.9.9.9
expect_rc 0 "stop after start ran out of time"
assert_contains "$(cat /tmp/pw/rctl.log)" "revert quon_vpn0" "DNS given back by stop"
assert_eq "$before" "$(pw_tables)" "tables after the following stop"
[ ! -e "$STATE" ] || fail "state file left after stop"

# --- ip hangs half-way through the tunnel's table: start puts everything back ---------------
echo "-6 route replace default dev quon_vpn0 table $TUN_TABLE" >/tmp/pw/ip.hang
timed_pw start 10.9.9.9
: >/tmp/pw/ip.hang
expect_rc 17 "start, ip hangs after the IPv4 table filled"
assert_eq "[helper] start ran out of time; the network was put back" "$(last_line "$ERR")" "status 17 message, all put back"
expect_within $((DEADLINE_MS - 500)) $((DEADLINE_MS + 1000)) "start, ip hangs after the IPv4 table filled"
assert_eq "$before" "$(pw_tables)" "tables after start put them back"
assert_contains "$(cat /tmp/pw/rctl.log)" "revert quon_vpn0" "DNS given back by start"
[ ! -e "$STATE" ] || fail "state file kept although everything was put back"
expect_no_sleepers "start, ip hangs after the IPv4 table filled"
timed_pw stop 10.9.9.9
expect_rc 0 "stop after start put everything back"
assert_eq "$before" "$(pw_tables)" "tables after the following stop"

# --- A stop whose resolvectl hangs still gives the routes back, in its bound -------------
timed_pw start 10.9.9.9
expect_rc 0 "start before the hanging stop"
[ "$(pw_tables)" != "$before" ] || fail "start changed nothing"
echo hang >/tmp/pw/rctl.mode
timed_pw stop 10.9.9.9
expect_rc 18 "stop, resolvectl hangs"
assert_eq "[helper] routes restored, but resolvectl did not answer in time: DNS settings may not all be back; the route state is kept for another stop" \
  "$(last_line "$ERR")" "status 18 message"
expect_within 0 $((STOP_COMMAND_MS + 1000)) "stop, resolvectl hangs"
assert_eq "$before" "$(pw_tables)" "tables after the hanging stop"
assert_eq "revert quon_vpn0" "$(cat /tmp/pw/rctl.log)" "resolved asked once"
[ -e "$STATE" ] || fail "state file dropped although DNS was not given back"
expect_no_sleepers "stop, resolvectl hangs"
echo ok >/tmp/pw/rctl.mode
timed_pw stop 10.9.9.9
expect_rc 0 "stop once resolved answers"
assert_contains "$(cat /tmp/pw/rctl.log)" "revert quon_vpn0" "DNS given back"
assert_eq "$before" "$(pw_tables)" "tables after the second stop"
[ ! -e "$STATE" ] || fail "state file left after stop"

echo "deadline: all passed"
