# shellcheck shell=bash
# Fault cases: the home network changes under the tunnel, as a DHCP client or
# NetworkManager changes it on a desktop. Each is judged from outside: the
# address the internet host sees for a plain request, whether the vpn server
# answers, the answers of start and stop, and (lab/lab_run.sh) the rules and
# routes after stop against what the client gives the network then. Every
# wait is on a condition: the client's events, its state, the routes.
# Sourced by lab/lab_cases.sh; run inside the sandbox by lab/lab_run.sh.

lab_case renewal "dhcp networkmanager" must \
  "the client renews its lease while the tunnel is up"
lab_case carrier-loss "dhcp networkmanager" must \
  "the home link loses its carrier and gets it back (the client drops and takes its addresses again)"
lab_case link-bounce "dhcp networkmanager" must \
  "the home link goes down and up, as a Wi-Fi reconnect"
lab_case new-subnet "dhcp networkmanager" must \
  "the home's IPv4 network is renumbered (a new subnet and gateway; the client gets a new lease), then stop, and a new start and stop"
lab_case gateway-moved "dhcp networkmanager" must \
  "the home's IPv4 gateway moves inside its subnet (.1 to .254); the old one answers no more"
lab_case core-death-ra-renewal "dhcp networkmanager" must \
  "the core dies and the runner does nothing yet; a router advertisement and a renewal follow; nothing may answer from outside until stop"

# The tunnel carries both families and the vpn server answers through the
# home link (its pin follows the current uplink).
# The table's notes say how long after the client's change each family got
# through the tunnel again.
tunnel_works_again() {
  local what=$1 fam t0=$EPOCHREALTIME took=
  for fam in -4 -6; do
    proof "after $what, the vpn server answers over IPv${fam#-}" server_answers "$fam" 5
    proof "after $what, IPv${fam#-} requests reach the internet from the tunnel address" \
      through_tunnel "$fam" 5
    took="${took:+$took, }IPv${fam#-} $(ms_since "$t0") ms"
  done
  note "through the tunnel again after $took"
}

user_stops() {
  ctl stop
  proof "stop answers true" answer_is 0 true
}

# The client has let go of the link (addresses gone, or NetworkManager's
# device no longer connected).
_client_let_go() {
  case "$LAB_CLIENT" in
    dhcp) _lab_home_event_since_mark ' (NOCARRIER|STOPPED|DEPARTED|EXPIRE|NOCARRIER_ROAMING) ' ;;
    networkmanager) ! _lab_nm_connected ;;
  esac
}

# The client has the link again: its event (dhcpcd) or state
# (NetworkManager), and both families configured on the current network.
_client_back() {
  case "$LAB_CLIENT" in
    dhcp) _lab_home_event_since_mark ' (BOUND|REBOOT|RENEW|REBIND) ' ;;
    networkmanager) _lab_nm_connected ;;
  esac && lab_home_configured
}

case_renewal() {
  proof "the client renews" lab_home_renew
  tunnel_works_again "the renewal"
  user_stops
}

case_carrier_loss() {
  lab_home_mark
  _lab_must lab_in "$LAB_NS_ROUTER" ip link set "lr$LAB_ID" down
  proof "the client notices the carrier loss" wait_until 15 _client_let_go
  lab_home_mark
  _lab_must lab_in "$LAB_NS_ROUTER" ip link set "lr$LAB_ID" up
  proof "the client takes the link again" wait_until 30 _client_back
  tunnel_works_again "the carrier came back"
  user_stops
}

case_link_bounce() {
  lab_home_mark
  _lab_must ip link set "$LAB_DESKTOP_IF" down
  proof "the client notices the link going down" wait_until 15 _client_let_go
  lab_home_mark
  _lab_must ip link set "$LAB_DESKTOP_IF" up
  proof "the client takes the link again" wait_until 30 _client_back
  tunnel_works_again "the link came back"
  user_stops
}

# The client asks for its lease again: dhcpcd is told to now; NetworkManager
# does at the lease's next T1 (10 s at most), as nmcli has no "renew" (and a
# "reapply" would be another fault: it rewrites every route on the link).
client_asks_again() {
  lab_home_mark
  case "$LAB_CLIENT" in
    dhcp) pp dhcpcd -f "$LAB_HOME_RUN/dhcpcd.conf" -n "$LAB_DESKTOP_IF" ;;
  esac
}

# IPv4 is renumbered; the IPv6 default stays valid through it (it points at
# the router's link-local address), so the prefix stays as it is.
case_new_subnet() {
  local dev=lr$LAB_ID
  lab_home_router_set 192.168.50 192.168.50.1 "$LAB_HOME_NET_V6" "$LAB_HOME_GW_V6"
  _lab_must lab_in "$LAB_NS_ROUTER" ip addr del "$LAB_DESKTOP_GW_V4/24" dev "$dev"
  client_asks_again
  # NetworkManager gives up its old lease only when a rebind is refused:
  # about 40 s here.
  proof "the client takes the new network" wait_until 75 lab_home_configured
  tunnel_works_again "the renumbering"
  user_stops
  proof "the route helper's record is gone after stop" test ! -e "$LAB_STATE_FILE"
  # A network change may never leave a record that blocks the next start.
  start_tunnel
  proof "a new start on the new network answers true" answer_is 0 true
  proof "and its IPv4 requests reach the internet from the tunnel address" through_tunnel -4 5
  user_stops
}

case_gateway_moved() {
  local dev=lr$LAB_ID
  _lab_must lab_in "$LAB_NS_ROUTER" sysctl -qw "net.ipv4.conf.$dev.promote_secondaries=1"
  lab_home_router_set 10.0.2 10.0.2.254 "$LAB_HOME_NET_V6" "$LAB_HOME_GW_V6"
  _lab_must lab_in "$LAB_NS_ROUTER" ip addr del "$LAB_DESKTOP_GW_V4/24" dev "$dev"
  # The old gateway's neighbour entry goes too: it is dead from now on.
  pp ip neigh flush dev "$LAB_DESKTOP_IF"
  client_asks_again
  proof "the client's default route moves to the new gateway" \
    wait_until 40 lab_home_has_default -4 "10.0.2.254 "
  tunnel_works_again "the gateway moved"
  user_stops
}

case_core_death_ra_renewal() {
  local core fam
  # The runner is held still, so that nothing of it runs the helper's stop:
  # from here until the user's stop, only the helper keeps the home closed.
  kill -STOP "$LAB_RUNNER_PID"
  core=$(lab_pids_of "$LAB_INSTALLED_CORE")
  # shellcheck disable=SC2086
  [ -n "$core" ] && kill -KILL $core
  proof "quon_vpn0 goes with the core" wait_until 10 lab_link_absent "$LAB_TUN_NAME"
  # The client puts its IPv6 default back at the next router advertisement
  # (one every 10 s) and its IPv4 default at the renewal.
  proof "a router advertisement gives the client its IPv6 default again" \
    wait_until 15 lab_home_has_default -6
  proof "the client renews" lab_home_renew
  proof "the client's IPv4 default is in the main table again" \
    wait_until 15 lab_home_has_default -4
  for fam in -4 -6; do
    proof "until stop, nothing answers IPv${fam#-} requests from outside" nothing_answers "$fam"
  done
  kill -CONT "$LAB_RUNNER_PID"
  user_stops
}
