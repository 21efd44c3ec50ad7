#!/bin/bash
# "connected" on the machine's own routing, in the lab of the engine's
# end-to-end test (lab/topology.sh draws it: desktop --- home router --- vpn
# server --- internet with 1.1.1.1): the desktop user's engine, the real
# set-user-id route helper, the lab core and real curl. While the tunnel is
# up, a more specific route for 1.1.1.1 through the home router in main (as
# a network pushes one) changes nothing: the tunnel's rules never let main
# decide for a public address. Root then sends plain traffic for 1.1.1.1
# around the tunnel with a rule of its own. The probes, bound to quon_vpn0,
# would still reach the internet; checkTunnel must answer false and say
# that traffic is not going through the tunnel, and true again once the
# leak is gone.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/engine/lab_setup.sh"
engine_lab_as_user
before=$(routes)

driver_start
engine start "$ENGINE_LAB_CONFIG"
assert_contains "$answer" "start ok " "start"
engine check
assert_contains "$answer" "check ok " "checkTunnel with the tunnel up"
# The home router's own address is a public one in this lab, which goes
# into the tunnel like every public address: main's default names the link.
home_dev=$(ip -o -4 route show table main default | sed -n 's/.* dev \([^ ]*\).*/\1/p' | head -n 1)
[ -n "$home_dev" ] || fail "no link to the home router"
leak="check fail [0-9]* Linux tunnel validation failed: traffic is not going through the tunnel: the system sends packets for 1.1.1.1 out of $home_dev, not quon_vpn0"

pp ip route add 1.1.1.1/32 via "$LAB_DESKTOP_GW_V4"
engine check
assert_contains "$answer" "check ok " "checkTunnel beside a more specific route in main"
assert_contains "$(ip -o -4 route get 1.1.1.1)" " dev quon_vpn0 " "a more specific route in main"
pp ip route del 1.1.1.1/32 via "$LAB_DESKTOP_GW_V4"

# onlink: the gateway is a public address, which the tunnel's rules would
# otherwise resolve into the tunnel itself.
pp ip route add default via "$LAB_DESKTOP_GW_V4" dev "$home_dev" onlink table 100
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
echo "PASS: a plain-traffic leak beside the tunnel makes checkTunnel false; a route in main makes none"
