#!/bin/bash
# The routing tables that homes, offices and hosted machines really have,
# each built in this sandbox's own network namespace with the real kernel and
# ip: a set-user-id root copy of pathwarden, run by the user nobody, starts
# and stops the tunnel over them. While the tunnel is up outside traffic of a
# family that had a default goes into the tunnel (of one that had none,
# nowhere), whatever more specific routes the network puts in main, the
# server keeps its way out through main and DNS goes to the tunnel alone, no home link's DNS setting touched; the main table is never
# touched, and after stop everything routing decides by reads
# exactly as before, field by field (expiry times and the kernel's own link
# routes aside).
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"

pw_private_names
pw_local_sbin
pw_setuid_copy
if [ -n "${QUON_SANITIZE:-}" ]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
fi

# A resolvectl that logs what it is told.
cat >/usr/local/sbin/resolvectl <<'SH'
#!/bin/sh
echo "$*" >>/tmp/pw/resolvectl.log
SH
chmod 755 /usr/local/sbin/resolvectl

# A second uplink beside veth0 from lib.sh.
second_link() {
  pp ip link add veth2 type veth peer name veth3
  pp ip link set veth3 up
  pp ip link set veth2 up
  pp ip addr add 10.1.0.1/24 dev veth2
}

# build_NAME: the table of one row below.
build_dhcp() {
  pp ip -4 route add default via 10.0.0.2 dev veth0 proto dhcp src 10.0.0.1 metric 100
  pp ip -6 route add default via fe80::2 dev veth0 proto ra metric 600 expires 1800
}
build_two_metrics() {
  second_link
  pp ip -4 route add default via 10.0.0.2 dev veth0 metric 100
  pp ip -4 route add default via 10.1.0.2 dev veth2 proto dhcp metric 600
}
build_multipath() {
  second_link
  pp ip -4 route add default proto static metric 50 \
    nexthop via 10.0.0.2 dev veth0 weight 1 nexthop via 10.1.0.2 dev veth2 weight 2
  pp ip -6 route add default via fe80::2 dev veth0 metric 1024
}
build_nhid() {
  pp ip nexthop add id 5 via 10.0.0.2 dev veth0
  pp ip -4 route add default nhid 5 proto static metric 20
}
build_onlink() {
  pp ip -4 route add default via 10.5.5.5 dev veth0 onlink
}
build_v6_unreachable() {
  pp ip -4 route add default via 10.0.0.2 dev veth0
  pp ip -6 route add unreachable default dev lo metric 4096
}
build_v6_blackhole_beside() {
  pp ip -6 route add default via fe80::2 dev veth0 metric 1024
  pp ip -6 route add blackhole default dev lo metric 5000
  pp ip -6 route add prohibit default dev lo metric 6000
}
build_v4_only() {
  pp ip -4 route add default via 10.0.0.2 dev veth0
}
# A network that works against its user: DHCP option 121 splits the address
# space in two halves through the router (and so does a route information
# option for IPv6), a public /24 goes through the router, a public range is
# handed out as the LAN (on-link), a public IPv6 /64 comes as a route
# information option. None of it may carry outside traffic while up.
build_hostile() {
  pp ip -4 route add default via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -4 route add 0.0.0.0/1 via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -4 route add 128.0.0.0/1 via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -4 route add 198.51.100.0/24 via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -4 addr add 203.0.113.100/24 dev veth0
  pp ip -6 route add default via fe80::2 dev veth0 proto ra metric 600
  pp ip -6 route add ::/1 via fe80::2 dev veth0 proto ra metric 600
  pp ip -6 route add 8000::/1 via fe80::2 dev veth0 proto ra metric 600
  pp ip -6 route add 2001:db8:ffff::/64 via fe80::2 dev veth0 proto ra metric 600
}
# While up: more of the same comes with a renewal, of every prefix length,
# and the LAN's own private addresses still go by the home link.
hostile_while_up() {
  local a
  pp ip -4 route add 8.8.8.0/24 via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -4 route add 1.1.1.1/32 via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -6 route add 2606:4700::/32 via fe80::2 dev veth0 proto ra metric 600
  for a in 1.2.3.4 200.0.0.1 203.0.113.80 8.8.8.8 1.1.1.1 198.51.100.77; do
    expect_dev -4 "$a" quon_vpn0 "hostile: $a while up"
  done
  for a in 2606:4700::1111 2001:db8:ffff::1 2a00::1 ::ffff:1; do
    expect_dev -6 "$a" quon_vpn0 "hostile: $a while up"
  done
  expect_dev -4 10.0.0.7 veth0 "hostile: LAN host"
  expect_dev -6 fd00::7 veth0 "hostile: LAN host IPv6"
  expect_dev -6 fe80::7 veth0 "hostile: link-local"
  expect_dev -4 224.0.0.251 veth0 "hostile: multicast"
  pp ip -4 route del 8.8.8.0/24 via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -4 route del 1.1.1.1/32 via 10.0.0.2 dev veth0 proto dhcp metric 100
  pp ip -6 route del 2606:4700::/32 via fe80::2 dev veth0 proto ra metric 600
}
build_v6_only() {
  pp ip -6 route add default via fe80::2 dev veth0 proto ra metric 600
}

# name | server | outside IPv4 | outside IPv6 | server IPv4 | server IPv6.
# A device column names the device that "ip route get" must choose, "-"
# that the address is unreachable.
rows="
dhcp|vpn.quon.test|quon_vpn0|quon_vpn0|veth0|veth0
two_metrics|vpn.quon.test|quon_vpn0|-|veth0|-
multipath|vpn.quon.test|quon_vpn0|quon_vpn0|veth0 veth2|veth0
nhid|vpn.quon.test|quon_vpn0|-|veth0|-
onlink|vpn.quon.test|quon_vpn0|-|veth0|-
v6_unreachable|vpn.quon.test|quon_vpn0|-|veth0|-
v6_blackhole_beside|vpn.quon.test|-|quon_vpn0|-|veth0
v4_only|vpn.quon.test|quon_vpn0|-|veth0|-
v6_only|vpn.quon.test|-|quon_vpn0|-|veth0
hostile|vpn.quon.test|quon_vpn0|quon_vpn0|veth0|veth0
"

while IFS='|' read -r name server out4 out6 srv4 srv6; do
  [ -n "$name" ] || continue
  echo "=== $name"
  rm -f /tmp/pw/resolvectl.log
  pw_net none
  pp ip link set lo up
  "build_$name"
  pw_tun_up
  before=$(pw_tables)
  main_before=$(pw_main)

  run_pw "${NOBODY[@]}" -- start "$server"
  expect_rc 0 "$name: start"
  expect_dev -4 198.51.100.1 "$out4" "$name: outside IPv4"
  expect_dev -6 2001:db8:ffff::1 "$out6" "$name: outside IPv6"
  expect_dev -4 192.0.2.10 "$srv4" "$name: server IPv4"
  expect_dev -6 2001:db8::10 "$srv6" "$name: server IPv6"
  assert_eq "$main_before" "$(pw_main)" "$name: main table while up"
  [ "$name" != hostile ] || hostile_while_up
  assert_eq "domain
dns quon_vpn0 1.1.1.1 8.8.8.8
domain quon_vpn0 ~.
default-route quon_vpn0 yes
flush-caches" "$(cat /tmp/pw/resolvectl.log)" "$name: DNS to the tunnel alone"
  # This quon_vpn0 has no address: resolved would not use it for DNS.
  assert_contains "$ERR" "[helper] quon_vpn0 has no address of its own yet; systemd-resolved sends DNS through it only once it has one" "$name: tunnel without an address"

  run_pw "${NOBODY[@]}" -- stop "$server"
  expect_rc 0 "$name: stop"
  assert_eq "$before" "$(pw_tables)" "$name: tables after stop"
  assert_not_contains "$(cat /tmp/pw/resolvectl.log)" "veth" "$name: home links' DNS after stop"
  [ ! -e "$STATE" ] || fail "$name: state file left"
  pp ip nexthop flush >/dev/null 2>&1 || true
  pp ip link del veth2 2>/dev/null || true
  pw_net_reset
done <<<"$rows"

echo "tables: all passed"
