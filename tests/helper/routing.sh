#!/bin/bash
# pathwarden start/stop against the real kernel and ip, run as root, in a
# network namespace of its own (topology in lib.sh): the tunnel's rules and
# table after each step, the main table never touched, and the exit
# statuses with their last lines.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"

pw_private_names
pw_local_sbin
pw_hide_resolvectl

# --- Through gateways, both families, a name with A and AAAA records --------
pw_net gw
pw_tun_up
main_before=$(pw_main)
run_pw -- start vpn.quon.test
expect_rc 0 "start through gateways"
assert_eq "[helper] server host: vpn.quon.test
[helper] IPv4 default iface: veth0 gateway: 10.0.0.2
[helper] IPv6 default iface: veth0 gateway: fe80::2
[helper] resolved IPv4 count: 1
[helper] resolved IPv6 count: 1
[helper] IPv4/IPv6 routing and DNS applied successfully" "$OUT" "start progress"
assert_contains "$ERR" "[helper] configuring DNS for VPN
[helper] resolvectl not found, DNS configuration skipped" "start without resolvectl"
expect_state_complete "start through gateways" 192.0.2.10 2001:db8::10
assert_eq "version=3" "$(sed -n 9p "$STATE")" "record version"
expect_tunnel_rules "start" 192.0.2.10 2001:db8::10
assert_eq "default dev quon_vpn0 scope link
unreachable default metric 4096" "$(routes4 table $TUN_TABLE)" "IPv4 tunnel table"
assert_eq "default dev quon_vpn0 metric 1024 pref medium
unreachable default dev lo metric 4096 pref medium" "$(routes6 table $TUN_TABLE)" "IPv6 tunnel table"
assert_eq "$main_before" "$(pw_main)" "main table while up"
expect_dev -4 198.51.100.1 quon_vpn0 "outside IPv4"
expect_dev -6 2001:db8:ffff::1 quon_vpn0 "outside IPv6"
expect_dev -4 192.0.2.10 veth0 "server IPv4"
expect_dev -6 2001:db8::10 veth0 "server IPv6"
expect_dev -4 10.0.0.7 veth0 "LAN IPv4"
expect_dev -6 fd00::7 veth0 "LAN IPv6"
assert_eq "unknown" "$(cat /sys/class/net/quon_vpn0/operstate)" "tunnel set up"

# A second start while up (another server) keeps one rule of each kind and
# moves the server rules to the new address.
run_pw -- start 192.0.2.99
expect_rc 0 "second start"
assert_contains "$ERR" "[helper] taking over the routing of a start that was never stopped" "second start"
expect_tunnel_rules "second start" 192.0.2.99 ""
assert_contains "$(state_text)" "server_ipv4=192.0.2.99" "second start: server recorded"
expect_dev -4 192.0.2.99 veth0 "second start: new server"
expect_dev -4 192.0.2.10 quon_vpn0 "second start: old server in the tunnel"

run_pw -- stop vpn.quon.test
expect_rc 0 "stop"
assert_eq "[helper] IPv4/IPv6 routing restored successfully" "$OUT" "stop output"
assert_contains "$ERR" "[helper] restoring DNS after VPN
[helper] resolvectl not found, DNS restore skipped" "stop without resolvectl"
expect_no_tunnel "stop"
assert_eq "$main_before" "$(pw_main)" "main table after stop"
[ ! -e "$STATE" ] || fail "state file left after stop"

run_pw -- stop vpn.quon.test
expect_rc 0 "second stop"
assert_contains "$ERR" "[helper] no saved state, trying best-effort cleanup" "second stop"
assert_eq "$main_before" "$(pw_main)" "second stop leaves routes"

# Without a record, rules someone left are still the helper's and go.
run_pw -- start 10.9.9.9
expect_rc 0 "start before the record is lost"
rm "$STATE"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop without a record"
expect_no_tunnel "stop without a record"

# The tunnel of the previous helper, whose one rule at 10402 let main decide
# for everything more specific than a default: a start replaces it with the
# local ranges, and a stop gives back such a tunnel as it finds it too.
previous_tunnel() {
  local f
  for f in -4 -6; do
    pp ip "$f" rule add pref 10402 lookup main suppress_prefixlength 0
    pp ip "$f" rule add pref 10403 lookup $TUN_TABLE
    pp ip "$f" route add unreachable default metric 4096 table $TUN_TABLE
  done
  pp ip -4 route add default dev quon_vpn0 table $TUN_TABLE
  pp ip -4 rule add pref 10400 to 10.9.9.9 lookup main
  pp ip -4 rule add pref 10401 to 10.9.9.9 unreachable
}
previous_tunnel
run_pw -- start 10.9.9.9
expect_rc 0 "start over the previous helper's tunnel"
expect_tunnel_rules "start over the previous helper's tunnel" 10.9.9.9 ""
run_pw -- stop 10.9.9.9
expect_rc 0 "stop after the previous helper's tunnel"
expect_no_tunnel "stop after the previous helper's tunnel"
previous_tunnel
printf '%s\n' ipv4_valid=1 ipv4_iface=veth0 ipv4_gateway=10.0.0.2 ipv6_valid=0 \
  ipv6_iface= ipv6_gateway= server_ipv4=10.9.9.9 server_ipv6= version=3 >"$STATE"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop of the previous helper's tunnel"
expect_no_tunnel "stop of the previous helper's tunnel"
assert_eq "$main_before" "$(pw_main)" "main after the previous helper's tunnel"

# Refresh changes nothing without a tunnel record.
run_pw -- refresh 10.9.9.9
expect_rc 0 "refresh without a record"
assert_eq "[helper] no tunnel recorded; nothing to refresh" "$OUT" "refresh without a record"
expect_no_tunnel "refresh without a record"

# A main table whose only default is a tunnel's (an older helper's, its
# record lost) has no default that carries traffic out.
pp ip -4 route del default via 10.0.0.2 dev veth0
pp ip -6 route del default via fe80::2 dev veth0
pp ip -4 route add default dev quon_vpn0
run_pw -- start vpn.quon.test
expect_rc 3 "tunnel default alone, no record"
assert_contains "$ERR" "[helper] default route already points at quon_vpn0 and no route state was saved" "tunnel default alone"
[ ! -e "$STATE" ] || fail "tunnel recorded as the old route"
pw_net_reset

# --- Device-only defaults, literals with blanks and brackets ----------------
pw_net dev
pw_tun_up
main_before=$(pw_main)
run_pw -- start "  10.9.9.9 "
expect_rc 0 "start, device-only, IPv4 literal"
assert_contains "$OUT" "[helper] server host:   10.9.9.9 " "server shown as given"
expect_tunnel_rules "device-only" 10.9.9.9 ""
expect_dev -4 10.9.9.9 veth0 "device-only server"
run_pw -- stop "  10.9.9.9 "
expect_rc 0 "stop, device-only"
assert_eq "$main_before" "$(pw_main)" "device-only main after stop"
run_pw -- start "[fd00:99::1]"
expect_rc 0 "start, IPv6 literal in brackets"
assert_contains "$(state_text)" "server_ipv6=fd00:99::1" "bracket-less IPv6 saved"
expect_tunnel_rules "IPv6 literal" "" fd00:99::1
# A stop given another server still removes every rule of the tunnel.
run_pw -- stop 192.0.2.1
expect_rc 0 "stop with another server"
expect_no_tunnel "stop with another server"
pw_net_reset

# --- One family only: the other goes nowhere while up -------------------------
pw_net v4
pw_tun_up
run_pw -- start v6only.quon.test
expect_rc 0 "IPv4 route, IPv6-only server"
expect_tunnel_rules "IPv4 only" "" 2001:db8::12
assert_eq "unreachable default dev lo metric 4096 pref medium" "$(routes6 table $TUN_TABLE)" "IPv6 table without a tunnel default"
expect_dev -4 198.51.100.1 quon_vpn0 "IPv4 only: outside IPv4"
expect_dev -6 2001:db8:ffff::1 - "IPv4 only: outside IPv6"
expect_dev -6 2001:db8::12 - "IPv4 only: server without a way out"
# An IPv6 default that appears later (a router advertisement) is not used.
pp ip -6 route add default via fe80::2 dev veth0 proto ra metric 600
expect_dev -6 2001:db8:ffff::1 - "IPv4 only: outside IPv6 after an RA"
expect_dev -6 2001:db8::12 veth0 "IPv4 only: server after an RA"
run_pw -- stop v6only.quon.test
expect_rc 0 "stop, IPv4 only"
expect_no_tunnel "stop, IPv4 only"
pw_net_reset

# --- Failures ------------------------------------------------------------------
pw_net none
pw_tun_up
# An earlier state file is not touched by a start that fails before saving.
printf 'ipv4_valid=0\n' >"$STATE"
run_pw -- start 10.9.9.9
expect_rc 3 "no default route"
assert_eq "[helper] could not detect IPv4 or IPv6 default route" "$(last_line "$ERR")" "status 3 message"
assert_eq "ipv4_valid=0" "$(state_text)" "state untouched by status 3"
rm -f "$STATE"
pw_net_reset

pw_net gw
pw_tun_up
run_pw -- start nohost.invalid
expect_rc 4 "unknown host"
assert_contains "$ERR" "[helper] getaddrinfo failed for host: nohost.invalid error: " "lookup failure"
assert_eq "[helper] could not resolve VPN server host: nohost.invalid" "$(last_line "$ERR")" "status 4 message"
run_pw -- start " [] "
expect_rc 4 "empty brackets"
assert_eq "[helper] could not resolve VPN server host:  [] " "$(last_line "$ERR")" "argument as given"
[ ! -e "$STATE" ] || fail "state written by a failed resolution"

for args in "" "start" "START 10.9.9.9" "restart 10.9.9.9"; do
  # shellcheck disable=SC2086
  run_pw -- $args
  expect_rc 1 "usage for [$args]"
  assert_eq "Usage:
  $PW start <server_host_or_ip> [<session>]
  $PW stop <server_host_or_ip> [<session>]
  $PW refresh <server_host_or_ip> [<session>]" "$(printf '%s\n' "$ERR" | tail -n 4)" "usage text"
done
# A third argument is the runner's session token: 32 lowercase hex digits,
# anything else is a usage error; a fourth is ignored.
for bad in extra 0123456789ABCDEF0123456789abcdef 0123456789abcdef0123456789abcde ""; do
  run_pw -- start 10.9.9.9 "$bad"
  expect_rc 1 "malformed session [$bad]"
done
[ ! -e "$STATE" ] || fail "a malformed session started something"
run_pw -- start 10.9.9.9 0123456789abcdef0123456789abcdef extra
expect_rc 0 "session and a fourth argument"
assert_contains "$(state_text)" "session=0123456789abcdef0123456789abcdef" "session recorded"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop after a session"
pw_net_reset

# A server rule that ip refuses: status 7 (IPv4) or 8 (IPv6), nothing sent
# into the tunnel yet; stop cleans up.
pw_net gw
pw_tun_up
main_before=$(pw_main)
for case in "7 10.9.9.9 -4" "8 fd00:99::1 -6"; do
  read -r status server family <<<"$case"
  pw_fail_ip "$family" rule add pref 10401 to "$server" unreachable
  run_pw -- start "$server"
  pw_real_ip
  expect_rc "$status" "server rule refused ($family)"
  assert_eq "[helper] command failed: ip $family rule add pref 10401 to $server unreachable
Error: refused by the test." "$(printf '%s\n' "$ERR" | tail -n 2)" "status $status report"
  assert_eq "" "$(ip "$family" rule show | grep -E '^1040[23]:' || true)" "status $status: nothing sent into the tunnel"
  run_pw -- stop "$server"
  expect_rc 0 "stop after $status"
  expect_no_tunnel "stop after $status"
  assert_eq "$main_before" "$(pw_main)" "main after $status"
done

# The tunnel vanishing between the wait and its default (the core crashed):
# the kernel refuses the route, status 9. A stand-in bound over ip inside
# this mount namespace deletes the device just before that command.
pw_ip_standin /tmp/ip.standin <<EOF2
#!/bin/sh
if [ "\$*" = "-4 route replace default dev quon_vpn0 table $TUN_TABLE" ]; then
  /tmp/ip.real link del quon_vpn0
fi
exec /tmp/ip.real "\$@"
EOF2
run_pw -- start 10.9.9.9
pw_real_ip
expect_rc 9 "IPv4 default refused"
assert_contains "$ERR" "[helper] command failed: ip -4 route replace default dev quon_vpn0 table $TUN_TABLE" "status 9 report"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop after 9"
expect_no_tunnel "stop after 9"
assert_eq "$main_before" "$(pw_main)" "main after 9"

echo "routing: all passed"
