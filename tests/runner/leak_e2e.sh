#!/bin/bash
# "connected" on the machine's own routing, in the lab of the engine's
# end-to-end test (lab/topology.sh draws it: desktop --- home router --- vpn
# server --- internet with 1.1.1.1): the desktop user's engine, the real
# set-user-id route helper, the lab core and real curl. While the tunnel is
# up, root sends plain traffic for 1.1.1.1 around it through the home
# router, first with a more specific route, then with a rule. The probes,
# bound to quon_vpn0, would still reach the internet; checkTunnel must
# answer false and say that traffic is not going through the tunnel, and
# true again once the leak is gone.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/engine/lab_setup.sh"
engine_lab_as_user
before=$(routes)

driver_start
engine start "$ENGINE_LAB_CONFIG"
assert_contains "$answer" "start ok " "start"
engine check
assert_contains "$answer" "check ok " "checkTunnel with the tunnel up"
home_dev=$(ip -o -4 route get "$LAB_DESKTOP_GW_V4" | sed -n 's/.* dev \([^ ]*\).*/\1/p')
[ -n "$home_dev" ] || fail "no link to the home router"
leak="check fail [0-9]* Linux tunnel validation failed: traffic is not going through the tunnel: the system sends packets for 1.1.1.1 out of $home_dev, not quon_vpn0"

pp ip route add 1.1.1.1/32 via "$LAB_DESKTOP_GW_V4"
engine check
[[ "$answer" =~ $leak ]] || fail "a more specific route: $answer"
pp ip route del 1.1.1.1/32 via "$LAB_DESKTOP_GW_V4"
engine check
assert_contains "$answer" "check ok " "checkTunnel once the route is gone"

pp ip route add default via "$LAB_DESKTOP_GW_V4" table 100
pp ip rule add to 1.1.1.1 lookup 100 pref 100
engine check
[[ "$answer" =~ $leak ]] || fail "a rule: $answer"
pp ip rule del pref 100
pp ip route flush table 100
engine check
assert_contains "$answer" "check ok " "checkTunnel once the rule is gone"

engine stop
assert_contains "$answer" "stop ok " "stop"
driver_end
assert_eq "$before" "$(routes)" "routes after stop"
echo "PASS: a plain-traffic leak beside the tunnel makes checkTunnel false"
