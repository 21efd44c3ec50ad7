#!/bin/bash
# A start whose tunnel never appears: the helper waits its full 80 x 250 ms,
# then exits 6 with the state saved and no route changed; stop then finds the
# saved routes and puts nothing out of place. (The one test that sits through
# the wait; topology in lib.sh, without quon_vpn0.)
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"
pw_local_sbin
pw_hide_resolvectl
pw_net gw

started=$SECONDS
run_pw -- start 10.9.9.9
elapsed=$((SECONDS - started))
expect_rc 6 "tunnel never created"
assert_eq "[helper] TUN interface quon_vpn0 was not created in time" "$(last_line "$ERR")" "status 6 message"
[ "$elapsed" -ge 19 ] || fail "gave up after ${elapsed}s, expected about 20s"
assert_contains "$(state_text)" "ipv4_gateway=10.0.0.2" "state saved before the wait"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "IPv4 default untouched"
assert_eq "" "$(routes4 10.9.9.9/32)" "no host route"

run_pw -- stop 10.9.9.9
expect_rc 0 "stop after status 6"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "IPv4 default after stop"
assert_eq "default via fe80::2 dev veth0 metric 1024 pref medium" "$(routes6 default)" "IPv6 default after stop"
[ ! -e "$STATE" ] || fail "state file left"
echo "tun_timeout: passed"
