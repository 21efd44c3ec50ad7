#!/bin/bash
# How the stand-in core fails, as the runner sees it: start-up failures exit
# non-zero with their text on standard output well within the 800 ms the
# runner waits, and leave no interface; the misbehaviour keys do what they
# say. Topology: the sandbox's network namespace alone, loopback up; the
# server address is 127.0.0.1 (nothing listens), and names resolve from the
# lab's private hosts file (lab/topology.sh, lab_dns_up).
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
require_root
sandbox_check net
require_cmd ip ps
. "$QUON_SOURCE_DIR/lab/topology.sh"
trap lab_topology_down EXIT
lab_dns_up

TUN=$LAB_TUN_NAME
EARLY_EXIT_MS=800

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# config NAME ADDRESS [EXTRA_LAB_MEMBERS]: writes $LAB_WORK/NAME.json.
config() {
  lab_write_client_config "$LAB_WORK/$1.json" "$2" "${3:-}"
  sed -i "s/\"port\": $LAB_VPN_PORT/\"port\": 9/" "$LAB_WORK/$1.json"
}

pid=
start() {
  lab_spawn "$LAB_WORK/$1.log" "$LAB_XRAY" run -config "$2"
  pid=$LAB_LAST_PID
}

# expect_early_exit NAME CONFIG_PATH EXPECTED_TEXT: exits non-zero before
# the runner's early-exit check, says why, leaves no interface.
expect_early_exit() {
  local name=$1 path=$2 want=$3 t0 rc=0 out
  t0=$(now_ms)
  start "$name" "$path"
  wait_until 5 _lab_gone "$pid" || fail "$name: still running"
  local took=$(($(now_ms) - t0))
  wait "$pid" || rc=$?
  [ "$rc" -ne 0 ] || fail "$name: exit status 0"
  [ "$took" -lt "$EARLY_EXIT_MS" ] || fail "$name: took $took ms to exit"
  out=$(cat "$LAB_WORK/$name.log")
  assert_contains "$out" "$want" "$name: output"
  lab_link_absent "$TUN" || fail "$name: $TUN left behind"
  echo "ok $name (exit $rc after $took ms)"
}

# The rejection text is the whole output, so the runner's error shows it
# alone; the rest of the configuration does not matter.
printf '{"labStandIn": {"rejectConfig": "lab: refused on purpose"}}' >"$LAB_WORK/reject.json"
expect_early_exit reject "$LAB_WORK/reject.json" "lab: refused on purpose"
assert_eq "lab: refused on purpose" "$(cat "$LAB_WORK/reject.log")" "reject: whole output"

expect_early_exit missing "$LAB_WORK/no-such-file.json" \
  "error: cannot read configuration $LAB_WORK/no-such-file.json: No such file or directory"

printf '{"inbounds": [' >"$LAB_WORK/truncated.json"
expect_early_exit truncated "$LAB_WORK/truncated.json" \
  "error: invalid configuration $LAB_WORK/truncated.json: not valid JSON"

config misspelt 127.0.0.1 '"noTUN": true'
expect_early_exit misspelt "$LAB_WORK/misspelt.json" 'unknown key "labStandIn"."noTUN"'

# Unknown names fail at once: the private resolver is a loopback address
# where nothing listens.
config unresolvable nowhere.invalid
expect_early_exit unresolvable "$LAB_WORK/unresolvable.json" \
  "error: cannot resolve server nowhere.invalid"

# An interface of that name made by someone else (persistent) is not taken
# over: it would outlive the core. It stays as it was.
pp ip tuntap add dev "$TUN" mode tun
config taken 127.0.0.1
start taken "$LAB_WORK/taken.json"
wait_until 5 _lab_gone "$pid" || fail "taken: still running"
rc=0
wait "$pid" || rc=$?
[ "$rc" -ne 0 ] || fail "taken: exit status 0"
assert_contains "$(cat "$LAB_WORK/taken.log")" \
  "cannot create TUN interface $TUN: an interface of that name already exists" "taken: output"
[ -e "/sys/class/net/$TUN" ] || fail "taken: the other interface was removed"
pp ip tuntap del dev "$TUN" mode tun
echo "ok taken"

# noTun: keeps running past the runner's early-exit check, never makes the
# interface, still ends on SIGTERM.
config notun 127.0.0.1 '"noTun": true'
start notun "$LAB_WORK/notun.json"
wait_until 5 grep -q "not creating interface $TUN" "$LAB_WORK/notun.log" ||
  fail "notun: $(cat "$LAB_WORK/notun.log")"
sleep 0.9 # past the runner's 800 ms check, which is what this key is for
kill -0 "$pid" || fail "notun: exited early"
lab_link_absent "$TUN" || fail "notun: $TUN exists"
kill -TERM "$pid"
wait_until 5 _lab_gone "$pid" || fail "notun: SIGTERM did not end it"
rc=0
wait "$pid" || rc=$?
assert_eq 0 "$rc" "notun: exit status after SIGTERM"
echo "ok notun"

# ignoreSigterm: SIGTERM changes nothing; SIGKILL ends it and the kernel
# removes the interface.
config stubborn 127.0.0.1 '"ignoreSigterm": true'
start stubborn "$LAB_WORK/stubborn.json"
wait_until 5 lab_link_up "$TUN" || fail "stubborn: $(cat "$LAB_WORK/stubborn.log")"
kill -TERM "$pid"
kill -TERM "$pid"
sleep 0.5 # time for a SIGTERM to take effect if it were not ignored
kill -0 "$pid" || fail "stubborn: SIGTERM ended it"
lab_link_up "$TUN" || fail "stubborn: $TUN went away on SIGTERM"
assert_not_contains "$(cat "$LAB_WORK/stubborn.log")" "received SIGTERM" "stubborn: log"
kill -KILL "$pid"
rc=0
wait "$pid" || rc=$?
assert_eq $((128 + 9)) "$rc" "stubborn: status after SIGKILL"
wait_until 5 lab_link_absent "$TUN" || fail "stubborn: $TUN outlived the core"
echo "ok stubborn"

# exitAfterMs with exitCode: up with its interface, then gone by itself at
# the given time, with the given status, interface removed.
config timed 127.0.0.1 '"exitAfterMs": 1500, "exitCode": 3'
t0=$(now_ms)
start timed "$LAB_WORK/timed.json"
wait_until 5 lab_link_up "$TUN" || fail "timed: $(cat "$LAB_WORK/timed.log")"
wait_until 10 _lab_gone "$pid" || fail "timed: did not exit by itself"
took=$(($(now_ms) - t0))
rc=0
wait "$pid" || rc=$?
assert_eq 3 "$rc" "timed: exit status"
[ "$took" -ge 1500 ] || fail "timed: exited after $took ms, before 1500"
[ "$took" -lt 4000 ] || fail "timed: exited after $took ms"
wait_until 5 lab_link_absent "$TUN" || fail "timed: $TUN outlived the core"
assert_contains "$(cat "$LAB_WORK/timed.log")" "exiting on my own after 1500 ms with status 3" "timed: log"
echo "ok timed (exit after $took ms)"

echo "PASS"
