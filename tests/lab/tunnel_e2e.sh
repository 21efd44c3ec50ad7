#!/bin/bash
# Real traffic through the stand-in core, in the lab network of
# lab/topology.sh (drawn in full there):
#
#   desktop (sandbox netns) --- router --- vpn server --- internet
#   quon_vpn0 = client core      (no route    server core     1.1.1.1 HTTPS
#   198.18.0.2/30                 onwards)    198.18.0.1/30   cp.cloudflare.com HTTP
#
# Without the tunnel the internet is out of reach; with the client core up
# and the desktop's default routes on quon_vpn0 (host routes to the vpn
# server via the old gateway), both probes answer, first with the server as
# an address literal, then as a host name. On SIGTERM the core exits and
# quon_vpn0 goes with it.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
require_root
sandbox_check net
require_cmd curl ip ss openssl
. "$QUON_SOURCE_DIR/lab/topology.sh"

lab_topology_up
lab_start_probes
lab_start_vpn_server

# No address may still be tentative: neighbour discovery would hold the
# first packets of a connection back for a second or more, close to the
# runner's 3 s connect limit.
for ns in "" "$LAB_NS_ROUTER" "$LAB_NS_VPN" "$LAB_NS_INET"; do
  if [ -n "$ns" ]; then
    tentative=$(lab_in "$ns" ip -6 addr show tentative)
  else
    tentative=$(ip -6 addr show tentative)
  fi
  assert_eq "" "$tentative" "tentative IPv6 addresses in namespace ${ns:-desktop}"
done

CURL=(curl --silent --show-error --connect-timeout 3 --max-time 5)

http_code() {
  "${CURL[@]}" --output /dev/null --write-out '%{http_code}' "$@" || true
}

# The router knows no way to the internet: the probes fail at once.
code=$(http_code -4 "http://$LAB_PROBE_HTTP_HOST/generate_204")
assert_eq 000 "$code" "HTTP probe without the tunnel"
code=$(http_code -4 --insecure "https://$LAB_PROBE_TRACE_V4/cdn-cgi/trace")
assert_eq 000 "$code" "HTTPS probe without the tunnel"
code=$(http_code -6 "http://$LAB_PROBE_HTTP_HOST/generate_204")
assert_eq 000 "$code" "IPv6 probe without the tunnel"

client_pid=
stop_client() {
  [ -n "$client_pid" ] && lab_stop_pid "$client_pid"
  client_pid=
}
lab_on_exit stop_client

# start_client SERVER_HOST: the client core with quon_vpn0 up.
start_client() {
  lab_write_client_config "$LAB_WORK/client.json" "$1"
  lab_spawn "$LAB_WORK/client.log" "$LAB_XRAY" run -config "$LAB_WORK/client.json"
  client_pid=$LAB_LAST_PID
  wait_until 10 lab_link_up "$LAB_TUN_NAME" ||
    fail "quon_vpn0 did not come up: $(cat "$LAB_WORK/client.log")"
}

# What the route helper does, by hand: the server stays on the old path,
# everything else goes into the tunnel.
routes_into_tunnel() {
  pp ip route replace "$LAB_VPN_V4/32" via "$LAB_DESKTOP_GW_V4"
  pp ip -6 route replace "$LAB_VPN_V6/128" via "$LAB_DESKTOP_GW_V6"
  pp ip route replace default dev "$LAB_TUN_NAME"
  pp ip -6 route replace default dev "$LAB_TUN_NAME"
}

routes_back() {
  pp ip route replace default via "$LAB_DESKTOP_GW_V4" dev "$LAB_DESKTOP_IF"
  pp ip -6 route replace default via "$LAB_DESKTOP_GW_V6" dev "$LAB_DESKTOP_IF"
  pp ip route del "$LAB_VPN_V4/32" || true
  pp ip -6 route del "$LAB_VPN_V6/128" || true
}

# The two probes of the runner's tunnel check, and IPv6 for good measure.
probes_through_tunnel() {
  local round=$1 code body
  code=$(http_code -4 --interface "$LAB_TUN_NAME" "http://$LAB_PROBE_HTTP_HOST/generate_204")
  assert_eq 204 "$code" "$round: HTTP probe through the tunnel"
  body=$("${CURL[@]}" -4 --interface "$LAB_TUN_NAME" --insecure \
    "https://$LAB_PROBE_TRACE_V4/cdn-cgi/trace") ||
    fail "$round: HTTPS probe through the tunnel failed"
  # The far end saw the tunnel's address: the packets came through it.
  assert_contains "$body" "ip=${LAB_TUN_CLIENT_V4%/*}" "$round: trace body"
  assert_contains "$body" "visit_scheme=https" "$round: trace body"
  code=$(http_code -6 --interface "$LAB_TUN_NAME" "http://$LAB_PROBE_HTTP_HOST/generate_204")
  assert_eq 204 "$code" "$round: IPv6 probe through the tunnel"
}

# stop_client_checked ROUND: SIGTERM, a clean exit, no interface left.
stop_client_checked() {
  local round=$1 rc=0
  kill -TERM "$client_pid"
  wait_until 5 _lab_gone "$client_pid" || fail "$round: core still running 5 s after SIGTERM"
  wait "$client_pid" || rc=$?
  client_pid=
  assert_eq 0 "$rc" "$round: exit status after SIGTERM"
  wait_until 5 lab_link_absent "$LAB_TUN_NAME" || fail "$round: quon_vpn0 outlived the core"
  assert_contains "$(cat "$LAB_WORK/client.log")" "received SIGTERM" "$round: client log"
}

for round in literal name; do
  host=$LAB_VPN_V4
  [ "$round" = name ] && host=$LAB_VPN_HOST
  start_client "$host"
  state=$(cat "/sys/class/net/$LAB_TUN_NAME/operstate")
  case "$state" in up | unknown) ;; *) fail "$round: operstate $state" ;; esac
  log=$(cat "$LAB_WORK/client.log")
  assert_contains "$log" "configuration read from $LAB_WORK/client.json" "$round: client log"
  assert_contains "$log" "peer $host port $LAB_VPN_PORT at " "$round: client log"
  assert_contains "$log" "interface $LAB_TUN_NAME created" "$round: client log"

  routes_into_tunnel
  probes_through_tunnel "$round"
  stop_client_checked "$round"
  routes_back
done

assert_contains "$(cat "$LAB_WORK/server.log")" "client " "server log"
assert_contains "$(cat "$LAB_WORK/probe.log")" "GET /generate_204" "probe log"
echo "PASS"
