# shellcheck shell=bash
# The variables a prepare_ function sets are read by lab/lab_run.sh.
# shellcheck disable=SC2034
# Fault cases: homes and servers of other shapes, and a home that moves under
# a static set-up. Sourced by lab/lab_cases.sh; run inside the sandbox by
# lab/lab_run.sh.

lab_case server-many-addresses static must \
  "the server is a name with two A and two AAAA records"
lab_case home-ipv4-only static must "a home with IPv4 alone"
lab_case home-ipv6-only static must "a home with IPv6 alone"
lab_case no-resolvectl static must "no resolvectl anywhere the helper looks"
lab_case uplink-moved static must \
  "the home's router moves to new addresses (both families) and the home's new default routes replace the old while the tunnel is up"

check_and_stop() {
  ctl checkTunnel
  proof "checkTunnel answers true" answer_is 0 true
  ctl stop
  proof "stop answers true" answer_is 0 true
}

prepare_server_many_addresses() { LAB_SERVER_HOST=$LAB_VPN_MULTI_HOST; }
case_server_many_addresses() { check_and_stop; }
prepare_home_ipv4_only() { LAB_HOME_FAMILIES=v4; }
case_home_ipv4_only() { check_and_stop; }
prepare_home_ipv6_only() { LAB_HOME_FAMILIES=v6; }
case_home_ipv6_only() { check_and_stop; }
prepare_no_resolvectl() { LAB_CASE_RESOLVECTL=no-resolvectl; }
case_no_resolvectl() { check_and_stop; }

# The home's router moves to other addresses while the tunnel is up, and the
# desktop's default routes follow it, as a DHCP client and router
# advertisements would set them; the old gateways answer no more.
case_uplink_moved() {
  local gw=10.0.2.254 gw6=2001:db8:1::254 fam
  _lab_must lab_in "$LAB_NS_ROUTER" ip addr add "$gw/24" dev "lr$LAB_ID"
  _lab_must lab_in "$LAB_NS_ROUTER" ip addr add "$gw6/64" dev "lr$LAB_ID" nodad
  _lab_must lab_in "$LAB_NS_ROUTER" sysctl -qw "net.ipv4.conf.lr$LAB_ID.promote_secondaries=1"
  _lab_must lab_in "$LAB_NS_ROUTER" ip addr del "$LAB_DESKTOP_GW_V4/24" dev "lr$LAB_ID"
  _lab_must lab_in "$LAB_NS_ROUTER" ip addr del "$LAB_DESKTOP_GW_V6/64" dev "lr$LAB_ID"
  pp ip route del default via "$LAB_DESKTOP_GW_V4" dev "$LAB_DESKTOP_IF" || true
  pp ip -6 route del default via "$LAB_DESKTOP_GW_V6" dev "$LAB_DESKTOP_IF" || true
  lab_home_default_routes "$gw" "$gw6"
  pp ip neigh flush dev "$LAB_DESKTOP_IF"
  for fam in -4 -6; do
    proof "after the move, IPv${fam#-} traffic still goes through the tunnel" through_tunnel "$fam"
  done
  ctl stop
  proof "stop answers true" answer_is 0 true
  # What the home now gives: the snapshot before, with the new gateways.
  sed -i "s/default via $LAB_DESKTOP_GW_V4 /default via $gw /; s/default via $LAB_DESKTOP_GW_V6 /default via $gw6 /" \
    "$LAB_WORK/before.snap"
}
