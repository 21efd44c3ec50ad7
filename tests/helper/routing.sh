#!/bin/bash
# pathwarden start/stop against the real kernel and ip, run as root, in a
# network namespace of its own (topology in lib.sh): routing tables after each
# step, and the exit statuses with their last lines.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"

pw_private_names
pw_local_sbin
pw_hide_resolvectl

# --- Through gateways, both families, a name with A and AAAA records --------
pw_net gw
pw_tun_up
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
assert_eq "192.0.2.10 via 10.0.0.2 dev veth0" "$(routes4 192.0.2.10/32)" "IPv4 host route"
assert_contains "$(routes6 2001:db8::10/128)" "2001:db8::10 via fe80::2 dev veth0" "IPv6 host route"
assert_eq "default dev quon_vpn0 scope link" "$(routes4 default)" "IPv4 default on the tunnel"
assert_contains "$(routes6 default | head -n 1)" "default dev quon_vpn0 metric 1 pref medium" "IPv6 default on the tunnel"
assert_eq "unknown" "$(cat /sys/class/net/quon_vpn0/operstate)" "tunnel set up"

# A second start while the defaults point at the tunnel keeps the routes from
# before the tunnel on record.
before=$(state_text)
run_pw -- start 192.0.2.99
expect_rc 0 "start left open"
assert_contains "$ERR" "[helper] default route already points at quon_vpn0, keeping the saved route state" "left open"
assert_contains "$OUT" "[helper] IPv4 default iface: veth0 gateway: 10.0.0.2" "left open: old route reported"
assert_eq "$(printf '%s\n' "$before" | sed 's/^server_ipv4=.*/server_ipv4=192.0.2.99,192.0.2.10/')" \
  "$(state_text)" "left open: earlier routes kept, server addresses merged"
assert_eq "192.0.2.99 via 10.0.0.2 dev veth0" "$(routes4 192.0.2.99/32)" "left open: host route via the old gateway"

# Without the earlier record the tunnel is still never recorded as the old
# route: both families count as having none.
cp "$STATE" /tmp/state.keep
rm "$STATE"
run_pw -- start vpn.quon.test
expect_rc 3 "left open without saved state"
assert_contains "$ERR" "[helper] default route already points at quon_vpn0 and no route state was saved" "left open, no state"
[ ! -e "$STATE" ] || fail "tunnel recorded as the old route"
cp /tmp/state.keep "$STATE"

run_pw -- stop vpn.quon.test
expect_rc 0 "stop"
assert_eq "[helper] IPv4/IPv6 routing restored successfully" "$OUT" "stop output"
assert_contains "$ERR" "[helper] restoring DNS after VPN
[helper] resolvectl not found, DNS restore skipped" "stop without resolvectl"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "IPv4 default restored"
assert_eq "default via fe80::2 dev veth0 metric 1024 pref medium" "$(routes6 default)" "IPv6 default restored"
assert_eq "" "$(routes4 192.0.2.10/32)$(routes4 192.0.2.99/32)$(routes6 2001:db8::10/128)" "host routes gone"
[ ! -e "$STATE" ] || fail "state file left after stop"

run_pw -- stop vpn.quon.test
expect_rc 0 "second stop"
assert_contains "$ERR" "[helper] no saved state, trying best-effort cleanup" "second stop"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "second stop leaves routes"

# Left open for IPv4 alone, with an earlier record that knew no IPv6 default:
# the IPv6 default there is now is recorded and moved onto the tunnel too.
printf '%s\n' ipv4_valid=1 ipv4_iface=veth0 ipv4_gateway=10.0.0.2 ipv6_valid=0 \
  ipv6_iface= ipv6_gateway= server_ipv4=192.0.2.10 server_ipv6= >"$STATE"
chmod 644 "$STATE"
pp ip -4 route replace default dev quon_vpn0
run_pw -- start 10.9.9.9
expect_rc 0 "start left open for IPv4 alone"
# The IPv6 record comes from the route there is now.
expect_state_complete "left open for IPv4" 10.9.9.9,192.0.2.10
assert_contains "$(routes6 default | head -n 1)" "default dev quon_vpn0 metric 1" "left open for IPv4: IPv6 default moved"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop after a start left open for IPv4"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "left open for IPv4: IPv4 restored"
assert_eq "default via fe80::2 dev veth0 metric 1024 pref medium" "$(routes6 default)" "left open for IPv4: IPv6 restored"

# The tunnel gone with its core before any stop: its defaults went with it,
# and a DHCP client has since put a default of its own. The next start keeps
# the record of the first one, so stop still gives back the original default
# (and the newcomer).
run_pw -- start 10.9.9.9
expect_rc 0 "start before the tunnel goes"
pw_tun_down
assert_eq "" "$(routes4 default)" "tunnel defaults gone with the tunnel"
pp ip -4 route add default via 10.0.0.2 dev veth0 proto dhcp metric 100
pw_tun_up
run_pw -- start 10.9.9.9
expect_rc 0 "start after the tunnel went"
assert_contains "$ERR" "[helper] keeping the route state of a start that was never stopped" "earlier record kept"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop after the tunnel went"
assert_eq "default via 10.0.0.2 dev veth0
default via 10.0.0.2 dev veth0 proto dhcp metric 100" "$(routes4 default)" "original default back beside the newcomer"
assert_eq "default via fe80::2 dev veth0 metric 1024 pref medium" "$(routes6 default)" "IPv6 default back after the tunnel went"
pw_net_reset

# --- Device-only defaults, literals with blanks and brackets ----------------
pw_net dev
pw_tun_up
run_pw -- start "  10.9.9.9 "
expect_rc 0 "start, device-only, IPv4 literal"
assert_contains "$OUT" "[helper] server host:   10.9.9.9 " "server shown as given"
assert_eq "10.9.9.9 dev veth0 scope link" "$(routes4 10.9.9.9/32)" "device-only IPv4 host route"
run_pw -- stop "  10.9.9.9 "
expect_rc 0 "stop, device-only"
assert_eq "default dev veth0 scope link" "$(routes4 default)" "device-only IPv4 default restored"
assert_eq "default dev veth0 metric 1024 pref medium" "$(routes6 default)" "device-only IPv6 default restored"

run_pw -- start "[fd00:99::1]"
expect_rc 0 "start, IPv6 literal in brackets"
assert_contains "$(state_text)" "server_ipv6=fd00:99::1" "bracket-less IPv6 saved"
assert_contains "$(routes6 fd00:99::1/128)" "fd00:99::1 dev veth0 metric 1024" "device-only IPv6 host route"
# A stop given another server still removes the saved host routes.
run_pw -- stop 192.0.2.1
expect_rc 0 "stop with another server"
assert_eq "" "$(routes6 fd00:99::1/128)" "saved IPv6 host route removed"
pw_net_reset

# --- One family only ---------------------------------------------------------
pw_net v4
pw_tun_up
run_pw -- start v6only.quon.test
expect_rc 0 "IPv4 route, IPv6-only server"
assert_eq "" "$(routes6 2001:db8::12/128)" "no host route for a family without default"
assert_eq "default dev quon_vpn0 scope link" "$(routes4 default)" "IPv4 default moved"
assert_eq "" "$(routes6 default)" "no IPv6 default added"
run_pw -- stop v6only.quon.test
expect_rc 0 "stop, IPv4 only"
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
  $PW stop <server_host_or_ip> [<session>]" "$(printf '%s\n' "$ERR" | tail -n 3)" "usage text"
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

# A host route that ip refuses: status 7, no default route changed. A
# restore that ip refuses gives 12 and keeps the state file for another try;
# the other routes are still put back.
pw_net gw
pw_tun_up
pw_fail_ip -4 route replace 10.9.9.9/32 via 10.0.0.2 dev veth0
run_pw -- start 10.9.9.9
pw_real_ip
expect_rc 7 "IPv4 host route refused"
assert_eq "[helper] command failed: ip -4 route replace 10.9.9.9/32 via 10.0.0.2 dev veth0
Error: refused by the test." "$(printf '%s\n' "$ERR" | tail -n 2)" "status 7 report"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "default unchanged after 7"
pw_fail_ip -4 route replace default via 10.0.0.2 dev veth0
run_pw -- stop 10.9.9.9
pw_real_ip
expect_rc 12 "IPv4 restore refused"
assert_contains "$ERR" "[helper] command failed: ip -4 route replace default via 10.0.0.2 dev veth0" "status 12 report"
[ -e "$STATE" ] || fail "state file removed after 12"
run_pw -- stop 10.9.9.9
expect_rc 0 "second stop retries"
[ ! -e "$STATE" ] || fail "state file left after the retry"
pw_net_reset

pw_net gw
pw_tun_up
pw_fail_ip -6 route replace fd00:99::1/128 via fe80::2 dev veth0
run_pw -- start fd00:99::1
pw_real_ip
expect_rc 8 "IPv6 host route refused"
assert_contains "$ERR" "[helper] command failed: ip -6 route replace fd00:99::1/128 via fe80::2 dev veth0" "status 8 report"
pw_fail_ip -6 route replace default metric 1024 pref medium via fe80::2 dev veth0
run_pw -- stop fd00:99::1
pw_real_ip
expect_rc 13 "IPv6 restore refused"
assert_contains "$ERR" "[helper] command failed: ip -6 route replace default metric 1024 pref medium via fe80::2 dev veth0" "status 13 report"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "IPv4 restored beside a failed IPv6 restore"
rm -f "$STATE"
pw_net_reset

# The tunnel vanishing between the wait and the default route (the core
# crashed): the kernel refuses the route, status 9. A stand-in bound over ip
# inside this mount namespace deletes the device just before that command.
pw_net gw
pw_tun_up
pw_ip_standin /tmp/ip.standin <<'EOF'
#!/bin/sh
if [ "$*" = "-4 route replace default dev quon_vpn0" ]; then
  /tmp/ip.real link del quon_vpn0
fi
exec /tmp/ip.real "$@"
EOF
run_pw -- start 10.9.9.9
pw_real_ip
expect_rc 9 "IPv4 default refused"
assert_contains "$ERR" "[helper] command failed: ip -4 route replace default dev quon_vpn0" "status 9 report"
assert_eq "10.9.9.9 via 10.0.0.2 dev veth0" "$(routes4 10.9.9.9/32)" "host routes stay after 9"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop after 9"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "restored after 9"
assert_eq "" "$(routes4 10.9.9.9/32)" "host route removed after 9"

echo "routing: all passed"
