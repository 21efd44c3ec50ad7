#!/bin/bash
# An upgrade while an older helper's tunnel is up: that helper took the main
# table's defaults away, put "default dev quon_vpn0" there and pinned the
# server with host routes, and left a record of version 2 (or, the first
# helper, eight lines alone). The new stop, a set-user-id copy run by
# nobody, gives back what can still go back, never over a route the network
# manager has made since, and never fails on a network that has changed; a
# start over such a record works too. Topology in lib.sh (veth0 10.0.0.1/24,
# defaults via 10.0.0.2 / fe80::2).
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"

pw_private_names
pw_local_sbin
pw_hide_resolvectl
pw_setuid_copy
if [ -n "${QUON_SANITIZE:-}" ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
fi

# older_start [v1]: what the older helper's start did, with its record.
older_start() {
  pp ip -4 route replace 192.0.2.10/32 via 10.0.0.2 dev veth0
  pp ip -6 route replace 2001:db8::10/128 via fe80::2 dev veth0
  pp ip -4 route del default via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -6 route del default via fe80::2 dev veth0
  pp ip -4 route replace default dev quon_vpn0
  pp ip -6 route replace default dev quon_vpn0 metric 1
  {
    printf '%s\n' ipv4_valid=1 ipv4_iface=veth0 ipv4_gateway=10.0.0.2 \
      ipv6_valid=1 ipv6_iface=veth0 ipv6_gateway=fe80::2 \
      server_ipv4=192.0.2.10 server_ipv6=2001:db8::10
    if [ "${1:-}" != v1 ]; then
      printf '%s\n' version=2 \
        "ipv4_route=default proto dhcp metric 100 via 10.0.0.2 dev veth0" \
        "ipv6_route=default metric 1024 pref medium via fe80::2 dev veth0" \
        "dns_default_route=veth0 yes"
    fi
  } >"$STATE"
  chmod 644 "$STATE"
}
home() {
  pw_net none
  pp ip -4 route add default via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -6 route add default via fe80::2 dev veth0
  pw_tun_up
  pp ip link set quon_vpn0 up
}
stop_as_nobody() {
  run_pw "${NOBODY[@]}" -- stop vpn.quon.test
  expect_rc 0 "$1: stop"
  [ ! -e "$STATE" ] || fail "$1: state file left"
  assert_not_contains "$(ip -4 route show default; ip -6 route show default)" "quon_vpn0" "$1: older tunnel defaults"
  assert_eq "" "$(routes4 192.0.2.10/32)$(routes6 2001:db8::10/128)" "$1: host routes"
}
GONE="cannot be put back (its gateway or device is gone)"

# --- Nothing changed since: everything goes back as it was --------------------
home
before=$(pw_main)
older_start
stop_as_nobody "unchanged network"
assert_contains "$ERR" "[helper] the route state was written by an older helper; giving back its routes in the main table" "older record named"
assert_eq "$before" "$(pw_main)" "unchanged network: main table"

# --- The router renumbered the subnet: the IPv4 gateway is gone ----------------
older_start
pp ip -4 addr del 10.0.0.1/24 dev veth0
pp ip -4 addr add 10.7.0.1/24 dev veth0
stop_as_nobody "renumbered subnet"
assert_contains "$ERR" "[helper] the saved IPv4 default route $GONE: default proto dhcp metric 100 via 10.0.0.2 dev veth0; the system's routes are left as they are" "renumbered: said so"
assert_eq "" "$(routes4 default)" "renumbered: no dead IPv4 default"
assert_eq "default via fe80::2 dev veth0 metric 1024 pref medium" "$(routes6 default)" "renumbered: IPv6 default back"
# A start afterwards works, the manager's new default in place.
pp ip -4 route add default via 10.7.0.254 dev veth0 proto dhcp metric 100
run_pw "${NOBODY[@]}" -- start vpn.quon.test
expect_rc 0 "start after the renumbering"
run_pw "${NOBODY[@]}" -- stop vpn.quon.test
expect_rc 0 "stop after the renumbering"
pw_net_reset

# --- The gateway moved and the manager has its own default back -----------------
home
older_start
pp ip -4 route add default via 10.0.0.254 dev veth0 proto dhcp metric 100
stop_as_nobody "moved gateway"
assert_contains "$ERR" "[helper] the system has its own IPv4 default route again; the saved one is not put back" "moved gateway: said so"
assert_eq "default via 10.0.0.254 dev veth0 proto dhcp metric 100" "$(routes4 default)" "moved gateway: the manager's route kept"
pw_net_reset

# --- The first helper's record, and the link itself gone (a new network) ---------
home
older_start v1
pw_tun_down
pp ip link del veth0
stop_as_nobody "link gone"
assert_contains "$ERR" "[helper] the saved IPv4 default route $GONE" "link gone: IPv4 said so"
assert_contains "$ERR" "[helper] the saved IPv6 default route $GONE" "link gone: IPv6 said so"
pw_net gw
pw_tun_up
run_pw "${NOBODY[@]}" -- start vpn.quon.test
expect_rc 0 "start on the new link"
run_pw "${NOBODY[@]}" -- stop vpn.quon.test
expect_rc 0 "stop on the new link"
pw_net_reset

# --- A start over the older record gives it back first ---------------------------
home
before=$(pw_main)
older_start
run_pw "${NOBODY[@]}" -- start vpn.quon.test
expect_rc 0 "start over an older record"
assert_eq "$before" "$(pw_main)" "start over an older record: main table given back"
expect_tunnel_rules "start over an older record" 192.0.2.10 2001:db8::10
expect_dev -4 198.51.100.1 quon_vpn0 "start over an older record: outside"
run_pw "${NOBODY[@]}" -- stop vpn.quon.test
expect_rc 0 "stop after a start over an older record"
assert_eq "$before" "$(pw_main)" "stop after a start over an older record"

# --- ip refuses a route that could go back: 12, the record stays, start works -----
older_start
pw_fail_ip -4 route add default proto dhcp metric 100 via 10.0.0.2 dev veth0
run_pw "${NOBODY[@]}" -- stop vpn.quon.test
pw_real_ip
expect_rc 12 "IPv4 restore refused"
assert_contains "$ERR" "[helper] command failed: ip -4 route add default proto dhcp metric 100 via 10.0.0.2 dev veth0" "status 12 report"
[ -e "$STATE" ] || fail "record dropped after 12"
run_pw "${NOBODY[@]}" -- start vpn.quon.test
expect_rc 0 "start after 12"
run_pw "${NOBODY[@]}" -- stop vpn.quon.test
expect_rc 0 "stop after 12"
assert_eq "$before" "$(pw_main)" "main after 12, start and stop"

echo "upgrade: all passed"
