#!/bin/bash
# The network manager keeps changing the uplink while the tunnel is up: a
# DHCP renewal or router advertisement re-adds defaults, the core dies and
# quon_vpn0 goes, the link bounces, the router renumbers the subnet. The
# manager is simulated with plain ip on the real kernel; pathwarden is a
# set-user-id copy run by nobody. While the tunnel is wanted no outside
# address may leave through the home link (ip route get must say quon_vpn0
# or fail), the server must always leave through the home link's current
# way (never into the tunnel), stop must leave the manager's routes as they
# are then, and a start afterwards must work.
#
#   veth0 10.0.0.1/24 fd00::1/64 (the home link; renumbered to 10.7.0.1/24)
#   manager's defaults via 10.0.0.2 / fe80::2, later .3 / fe80::3, .254 /
#   fe80::9; quon_vpn0 from tun_hold. Nothing leaves the namespace.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"

pw_private_names
pw_local_sbin
pw_hide_resolvectl
pw_setuid_copy
if [ -n "${QUON_SANITIZE:-}" ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
fi
SESSION=00112233445566778899aabbccddeeff

manager_defaults() {  # GW4 GW6 METRIC
  pp ip -4 route replace default via "$1" dev veth0 proto dhcp metric "$3"
  pp ip -6 route replace default via "$2" dev veth0 proto ra metric "$3"
}
expect_no_leak() {
  expect_dev -4 198.51.100.1 "quon_vpn0 -" "$1: outside IPv4"
  expect_dev -6 2001:db8:ffff::1 "quon_vpn0 -" "$1: outside IPv6"
}
expect_tunnel_carries() {
  expect_dev -4 198.51.100.1 quon_vpn0 "$1: outside IPv4"
  expect_dev -6 2001:db8:ffff::1 quon_vpn0 "$1: outside IPv6"
}
# expect_server GW4 GW6 WHAT: the server leaves through the home link's
# current gateways; "-" for none: then it goes nowhere, never into the tunnel.
expect_server() {
  local f got want
  for f in -4 -6; do
    want=$1
    [ $f = -6 ] && want=$2
    got=$(ip $f route get "$([ $f = -4 ] && echo 192.0.2.10 || echo 2001:db8::10)" 2>&1 || true)
    if [ "$want" = - ]; then
      assert_not_contains "$got" " dev " "$3: server $f goes nowhere"
    else
      assert_contains "$got" "via $want dev veth0" "$3: server $f"
    fi
  done
}
start_ok() {
  run_pw "${NOBODY[@]}" -- start vpn.quon.test $SESSION
  expect_rc 0 "$1: start"
  expect_tunnel_carries "$1"
}
# stop_ok WHAT: stop succeeds, removes what start added and leaves the
# manager's main table exactly as it is now.
stop_ok() {
  local main
  main=$(pw_main)
  run_pw "${NOBODY[@]}" -- stop vpn.quon.test $SESSION
  expect_rc 0 "$1: stop"
  assert_eq "$main" "$(pw_main)" "$1: the manager's routes after stop"
  expect_no_tunnel "$1"
  [ ! -e "$STATE" ] || fail "$1: state file left"
}

pw_net none
manager_defaults 10.0.0.2 fe80::2 100
pw_tun_up

# --- Renewal and router advertisement: the manager's defaults come back -------
start_ok "renewal"
manager_defaults 10.0.0.3 fe80::3 50
expect_tunnel_carries "renewal"
expect_server 10.0.0.3 fe80::3 "renewal"
# The runner starts again without a stop (a new core): one rule of each kind.
start_ok "second start while up"
expect_tunnel_rules "second start while up" 192.0.2.10 2001:db8::10
stop_ok "renewal"

# --- The core dies: quon_vpn0 goes; then a renewal and an RA ---------------------
start_ok "core death"
pw_tun_down
expect_no_leak "core death"
manager_defaults 10.0.0.2 fe80::2 20
expect_no_leak "core death, defaults re-added"
expect_server 10.0.0.2 fe80::2 "core death"
# A new core and a start without a stop carry traffic again.
pw_tun_up
start_ok "start after core death, no stop"
pw_tun_down
expect_no_leak "core death again"
# The runner's recovery stops; a new core and start work as before.
stop_ok "core death"
expect_dev -4 198.51.100.1 veth0 "after stop: home network back"
pw_tun_up
start_ok "start after core death"

# --- The link bounces: addresses and routes go, the manager puts them back -----
pp ip link set veth0 down
expect_no_leak "link down"
expect_server - - "link down"
pp ip link set veth0 up
pp ip addr replace 10.0.0.1/24 dev veth0
pp ip -6 addr replace fd00::1/64 dev veth0 nodad
manager_defaults 10.0.0.2 fe80::2 100
expect_tunnel_carries "link up"
expect_server 10.0.0.2 fe80::2 "link up"

# --- A new network: renumbered subnet, new gateways -------------------------------
pp ip -4 addr del 10.0.0.1/24 dev veth0
pp ip -4 addr add 10.7.0.1/24 dev veth0
pp ip -6 route del default via fe80::2 dev veth0
pp ip -4 route replace default via 10.7.0.254 dev veth0 proto dhcp metric 100
pp ip -6 route replace default via fe80::9 dev veth0 proto ra metric 100
expect_tunnel_carries "new network"
expect_server 10.7.0.254 fe80::9 "new network"
stop_ok "new network"
expect_dev -4 198.51.100.1 veth0 "new network: home network back after stop"
start_ok "start on the new network"
expect_server 10.7.0.254 fe80::9 "start on the new network"
stop_ok "stop on the new network"

echo "manager: all passed"
