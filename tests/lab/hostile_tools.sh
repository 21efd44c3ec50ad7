#!/bin/bash
# The hostile home's two tools against the kernel, in the lab network of
# lab/topology.sh (drawn in full there), the router reaching the internet:
#
#   desktop (sandbox netns) --- router --- vpn server --- internet
#   10.0.2.2, 2001:db8:1::2    ra_sender     (forwards)   203.0.113.80, 2001:db8:3::80
#   leak_monitor.py             on lr<id>                  1.1.1.1 DNS :53
#
# lab/ra_sender.py: the desktop's kernel, told to take route information
# options, installs the advertised /64 via the router's link-local address,
# and a default route from the advertisement (its router lifetime is not 0).
# lab/leak_monitor.py: its echoes to both internet addresses come back
# addressed to the desktop's home addresses, and its queries for fresh names
# get the internet name server's answer, which saw each name.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
require_root
sandbox_check net
require_cmd ip ss openssl
[ -x /usr/bin/python3 ] || skip "needs /usr/bin/python3"
LAB_ROUTER_REACHES_INTERNET=1
. "$QUON_SOURCE_DIR/lab/topology.sh"

lab_topology_up
lab_start_probes

# --- the router advertisement
prefix=2001:db8:77::/64
dev=$LAB_DESKTOP_IF
sysctl -qw "net.ipv6.conf.$dev.accept_ra=1" "net.ipv6.conf.$dev.accept_ra_rt_info_max_plen=64"
lab_spawn "$LAB_WORK/ra.log" ip netns exec "$LAB_NS_ROUTER" /usr/bin/python3 \
  "$QUON_SOURCE_DIR/lab/ra_sender.py" "lr$LAB_ID" "$prefix" --interval 1
route_from_ra() { ip -6 route show "$@" | grep -q "via fe80::.* dev $dev proto ra"; }
wait_until 10 route_from_ra "$prefix" ||
  fail "no route for $prefix from the advertisement: $(ip -6 route; cat "$LAB_WORK/ra.log")"
wait_until 5 route_from_ra default ||
  fail "no default route from the advertisement (router lifetime 0?): $(ip -6 route)"
echo "PASS: the advertisement's route information and default router were taken"

# --- the leak monitor
out=$LAB_WORK/monitor.txt
lab_spawn "$LAB_WORK/monitor.log" /usr/bin/python3 "$QUON_SOURCE_DIR/lab/leak_monitor.py" \
  --out "$out" --echo "$LAB_PROBE_HTTP_V4" --echo "$LAB_PROBE_HTTP_V6" \
  --dns-suffix example --dns-server "$LAB_PROBE_TRACE_V4" --drain 1
monitor=$LAB_LAST_PID
wait_until 5 grep -q started "$LAB_WORK/monitor.log" || fail "the monitor did not start"
# A second of probes: five echoes to each address, twenty names.
queries_seen() { [ "$(grep -c '^probe: dns ' "$LAB_WORK/probe.log")" -ge "$1" ]; }
wait_until 10 queries_seen 20 ||
  fail "the name server got fewer than 20 queries: $(cat "$LAB_WORK/monitor.log")"
lab_stop_pid "$monitor"
[ -s "$out" ] || fail "the monitor wrote nothing: $(cat "$LAB_WORK/monitor.log")"

for want in "$LAB_PROBE_HTTP_V4 $LAB_DESKTOP_V4" "$LAB_PROBE_HTTP_V6 $LAB_DESKTOP_V6"; do
  sent=$(awk -v t="${want% *}" '$1 == "echo" && $4 == t' "$out" | grep -c . || true)
  at_home=$(awk -v t="${want% *}" -v d="${want#* }" '$1 == "echo" && $4 == t && $5 == d' "$out" |
    grep -c . || true)
  [ "$sent" -ge 3 ] || fail "only $sent echoes to ${want% *}: $(cat "$out")"
  # The last may have been sent as the monitor stopped; all others answered.
  [ "$at_home" -ge $((sent - 1)) ] || fail "$at_home of $sent echoes to ${want% *} answered at ${want#* }: $(cat "$out")"
done
names=$(awk '$1 == "dns"' "$out" | grep -c . || true)
answered=$(awk -v a="$LAB_PROBE_HTTP_V4" '$1 == "dns" && $4 == a' "$out" | grep -c . || true)
[ "$names" -ge 20 ] && [ "$answered" -ge $((names - 2)) ] ||
  fail "$answered of $names names got the name server's answer: $(cat "$out")"
while read -r name; do
  grep -qF " $name " "$LAB_WORK/probe.log" || fail "the name server never saw $name"
done < <(awk -v a="$LAB_PROBE_HTTP_V4" '$1 == "dns" && $4 == a {print $2}' "$out")
# Each name fresh: no two alike.
[ "$(awk '$1 == "dns" {print $2}' "$out" | sort | uniq -d | wc -l)" = 0 ] || fail "a name was asked twice"
echo "PASS: the monitor's echoes came back to the home addresses; $answered of $names names answered"
