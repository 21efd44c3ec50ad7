#!/bin/bash
# pathwarden start/stop against a real systemd-resolved, unpacked (never
# installed) by scripts/deps/helper.sh and run inside this sandbox on a
# private system bus. Topology in lib.sh; quon_vpn0 and veth0 are the links
# whose DNS settings change. The resolvers 1.1.1.1 and 8.8.8.8 are only
# configured: nothing in this namespace leads to them.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"

pw_private_names
pw_local_sbin
pw_net gw
pw_tun_up
pp ip link set quon_vpn0 up

resolved_start /run/pwetc /tmp/resolved.log || fail "$RESOLVED_FAILURE"
# resolvectl where the helper's fixed PATH finds it, for this sandbox alone.
RCTL=/usr/local/sbin/resolvectl
resolved_write_resolvectl "$RCTL" || fail "resolvectl not written to $RCTL"

status_of() { "$RCTL" status "$1" 2>&1; }
# The old link has a name server of its own (the DHCP one on a desktop):
# resolved then shows it as a default DNS route.
"$RCTL" dns veth0 10.0.0.2
assert_contains "$(status_of veth0)" "+DefaultRoute" "veth0 before start"

run_pw -- start 10.9.9.9
expect_rc 0 "start with systemd-resolved"
assert_not_contains "$ERR" "command failed" "start DNS commands"
tun=$(status_of quon_vpn0)
assert_contains "$tun" "DNS Servers: 1.1.1.1 8.8.8.8" "tunnel DNS servers"
assert_contains "$tun" "DNS Domain: ~." "tunnel routing domain"
assert_contains "$tun" "+DefaultRoute" "tunnel default DNS route"
assert_contains "$(status_of veth0)" "-DefaultRoute" "old interface default DNS route"

run_pw -- stop 10.9.9.9
expect_rc 0 "stop with systemd-resolved"
assert_not_contains "$ERR" "command failed" "stop DNS commands"
tun=$(status_of quon_vpn0)
assert_not_contains "$tun" "1.1.1.1" "tunnel DNS servers reverted"
assert_not_contains "$tun" "~." "tunnel routing domain reverted"
assert_contains "$tun" "-DefaultRoute" "tunnel default DNS route reverted"
assert_contains "$(status_of veth0)" "+DefaultRoute" "old interface default DNS route back"
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "routes back"

# Stop once the tunnel is gone: no revert, the rest still runs.
run_pw -- start 10.9.9.9
expect_rc 0 "second start"
pw_tun_down
run_pw -- stop 10.9.9.9
expect_rc 0 "stop without the tunnel"
assert_contains "$ERR" "[helper] DNS revert skipped: quon_vpn0 does not exist" "revert skipped"
assert_contains "$(status_of veth0)" "+DefaultRoute" "old interface flag back without the tunnel"
pw_tun_up
pp ip link set quon_vpn0 up

# A link whose flag was already off keeps it off after stop.
"$RCTL" default-route veth0 no
run_pw -- start 10.9.9.9
expect_rc 0 "start with the flag already off"
run_pw -- stop 10.9.9.9
expect_rc 0 "stop with the flag already off"
assert_contains "$(status_of veth0)" "-DefaultRoute" "flag left as it was"
"$RCTL" default-route veth0 yes

# An IPv6-only home: the link of the IPv6 default loses its flag too, so no
# lookup leaves outside the tunnel, and gets it back at stop.
pp ip -4 route del default via 10.0.0.2 dev veth0
run_pw -- start fd00:99::1
expect_rc 0 "start, IPv6 only"
assert_contains "$(status_of veth0)" "-DefaultRoute" "IPv6-only link flag off"
run_pw -- stop fd00:99::1
expect_rc 0 "stop, IPv6 only"
assert_contains "$(status_of veth0)" "+DefaultRoute" "IPv6-only link flag back"
assert_eq "default via fe80::2 dev veth0 metric 1024 pref medium" "$(routes6 default)" "IPv6-only routes back"
echo "dns: all passed"
