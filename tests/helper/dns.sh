#!/bin/bash
# pathwarden start/stop against a real systemd-resolved, unpacked (never
# installed) by scripts/deps/helper.sh and run inside this sandbox on a
# private system bus, with real name servers (dnsmasq) that answer every
# name with an address of their own, so that a query shows which one it
# reached:
#
#   lo: 1.1.1.1, 8.8.8.8 (the tunnel's resolvers: answer 10.77.0.1 / .2)
#   veth0 10.0.0.1/24 (home link, topology in lib.sh); its peer veth1 in
#   the namespace "home" with 10.0.0.53, the home link's server as DHCP
#   gives it (answers 10.66.0.1); quon_vpn0 with 172.19.0.1/30, as the
#   core gives it
#
# The home link is never switched off: its DNS default-route flag stays
# resolved's automatic value, and still no query reaches its server while
# the tunnel is up, also for names under the domains the network pushes
# (a public suffix among them), which the tunnel's resolvers answer. The
# helper's refresh, run by the core's watcher when resolved's link settings
# change, keeps the tunnel's copy of those domains up to date. An older
# helper's explicit "no" goes back to automatic.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"
require_cmd dnsmasq

pw_private_names
pw_local_sbin
pw_setuid_copy
pw_net gw
pp ip link set lo up
pw_tun_up
pp ip link set quon_vpn0 up
pp ip addr add 172.19.0.1/30 dev quon_vpn0

resolved_start /run/pwetc /tmp/resolved.log || fail "$RESOLVED_FAILURE"
# resolvectl where the helper's fixed PATH finds it, for this sandbox alone.
RCTL=/usr/local/sbin/resolvectl
resolved_write_resolvectl "$RCTL" || fail "resolvectl not written to $RCTL"

mkdir -p /run/netns
pp ip netns add home
pp ip link set veth1 netns home
pp ip netns exec home ip link set veth1 up
pp ip netns exec home ip addr add 10.0.0.53/24 dev veth1
name_server() {  # ADDRESS ANSWER [NAMESPACE]
  if [ -n "${3:-}" ]; then
    set -- "$1" "$2" ip netns exec "$3"
  else
    pp ip addr add "$1/32" dev lo
    set -- "$1" "$2"
  fi
  "${@:3}" dnsmasq --keep-in-foreground --listen-address="$1" --bind-interfaces --no-resolv \
    --no-hosts --address="/#/$2" --log-queries --log-facility="/tmp/dns.$1.log" \
    --pid-file="/tmp/dns.$1.pid" --user=root &
  wait_until 5 test -s "/tmp/dns.$1.pid" || fail "name server $1 did not start"
}
name_server 1.1.1.1 10.77.0.1
name_server 8.8.8.8 10.77.0.2
name_server 10.0.0.53 10.66.0.1 home

status_of() { "$RCTL" status "$1" 2>&1; }
# answer NAME: the address resolved gives for NAME (nothing cached).
answer() { "$RCTL" query --cache=no -4 "$1" 2>&1 | sed -n "s/^$1: \([^ ]*\).*/\1/p"; }
home_queries() { grep -c "query.* $1 " /tmp/dns.10.0.0.53.log || true; }

"$RCTL" dns veth0 10.0.0.53
# The network pushes a search domain of its own and a public suffix.
"$RCTL" domain veth0 corp.test com
assert_contains "$(status_of veth0)" "+DefaultRoute" "veth0 before start"
assert_eq 10.66.0.1 "$(answer before.test)" "before start: the home server answers"
assert_eq 10.66.0.1 "$(answer before.com)" "before start: the pushed suffix goes home"

SESSION=0123456789abcdef0123456789abcdef
run_pw "${NOBODY[@]}" -- start 10.9.9.9 $SESSION
expect_rc 0 "start with systemd-resolved"
assert_not_contains "$ERR" "command failed" "start DNS commands"
assert_not_contains "$ERR" "has no address of its own" "tunnel with an address"
tun=$(status_of quon_vpn0)
assert_contains "$tun" "DNS Servers: 1.1.1.1 8.8.8.8" "tunnel DNS servers"
assert_contains "$tun" "DNS Domain: ~. ~corp.test ~com" "tunnel routing domains"
assert_contains "$tun" "+DefaultRoute" "tunnel default DNS route"
home=$(status_of veth0)
assert_contains "$home" "+DefaultRoute" "home link left automatic"
assert_contains "$home" "DNS Servers: 10.0.0.53" "home link keeps its server"
for name in up1.test up2.test up3.test; do
  case $(answer $name) in
    10.77.0.1 | 10.77.0.2) ;;
    *) fail "while up: $name answered by [$(answer $name)], not the tunnel's resolvers" ;;
  esac
  assert_eq 0 "$(home_queries $name)" "while up: $name reached the home server"
done
# Names under the pushed domains: asked of both links, the home link's query
# rejected by the filter, the tunnel's answered.
for name in www.example.com up4.corp.test; do
  case $(answer $name) in
    10.77.0.1 | 10.77.0.2) ;;
    *) fail "while up: $name answered by [$(answer $name)], not the tunnel's resolvers" ;;
  esac
  assert_eq 0 "$(home_queries $name)" "while up: $name reached the home server"
done
# DHCP gives the home link another server meanwhile: still no query there.
"$RCTL" dns veth0 10.0.0.53 10.0.0.54
answer renewed.test >/dev/null
assert_eq 0 "$(home_queries renewed.test)" "after a renewal"

# The network pushes another domain: refresh copies it, and changes nothing
# once the copy is up to date.
"$RCTL" domain veth0 corp.test com org
run_pw "${NOBODY[@]}" -- refresh 10.9.9.9 $SESSION
expect_rc 0 "refresh"
assert_contains "$OUT" "[helper] the tunnel's DNS domains are now: ~. ~corp.test ~com ~org" "refresh"
assert_contains "$(status_of quon_vpn0)" "DNS Domain: ~. ~corp.test ~com ~org" "refreshed domains"
assert_contains "$(status_of quon_vpn0)" "DNS Servers: 1.1.1.1 8.8.8.8" "refresh keeps the servers"
run_pw "${NOBODY[@]}" -- refresh 10.9.9.9 $SESSION
expect_rc 0 "second refresh"
assert_contains "$OUT" "[helper] the tunnel's DNS domains are up to date" "second refresh"
# Another user may not.
run_pw setpriv --reuid=12345 --regid=12345 --clear-groups -- refresh 10.9.9.9
expect_rc 19 "refresh by another user"

# The core's watcher runs refresh on its own when resolved's link settings
# change, once or twice for a burst of four pushes (NetworkManager's way).
cat >/tmp/watch.py <<'PY'
import os, socket, subprocess, sys, time
watch, out, release = sys.argv[1], sys.argv[2], sys.argv[3]
core = subprocess.Popen(["sleep", "600"])
pidfd = os.dup2(os.pidfd_open(core.pid), 100)
mine, theirs = socket.socketpair()
os.dup2(theirs.fileno(), 101)
def fds():
    os.dup2(100, 3)
    os.dup2(101, 4)
w = subprocess.Popen([watch] + sys.argv[4:], close_fds=False, preexec_fn=fds,
                     stdin=subprocess.DEVNULL, stdout=open(out, "ab"), stderr=subprocess.STDOUT)
theirs.close()
while not os.path.exists(release):
    time.sleep(0.05)
mine.send(b"r")
w.wait()
core.kill()
PY
: >/tmp/watch.log
chmod 666 /tmp/watch.log
"${NOBODY[@]}" /usr/bin/python3 /tmp/watch.py "$QUON_BUNDLE_DIR/quon_vpn_watch" /tmp/watch.log \
  /tmp/watch.release "$PW" 10.9.9.9 $SESSION &
watch_pid=$!
sleep 0.3  # the watcher's own start; nothing to wait on from outside
for domains in "corp.test" "corp.test com" "corp.test com net" "corp.test com net"; do
  # shellcheck disable=SC2086
  "$RCTL" domain veth0 $domains
done
wait_until 10 sh -c "'$RCTL' status quon_vpn0 | grep -q 'DNS Domain: ~. ~corp.test ~com ~net\$'" ||
  fail "the watcher did not refresh: $(cat /tmp/watch.log)"
sleep 1.5  # a second run, if any, comes within the coalescing delay
runs=$(grep -c "the tunnel's DNS domains are" /tmp/watch.log || true)
if [ "$runs" -lt 1 ] || [ "$runs" -gt 2 ]; then
  fail "four pushes gave $runs refresh runs: $(cat /tmp/watch.log)"
fi
echo "four pushes, $runs refresh run(s)"
touch /tmp/watch.release
wait "$watch_pid"
assert_eq 0 "$(home_queries com)" "nothing reached the home server"

run_pw "${NOBODY[@]}" -- stop 10.9.9.9 $SESSION
expect_rc 0 "stop with systemd-resolved"
assert_not_contains "$ERR" "command failed" "stop DNS commands"
tun=$(status_of quon_vpn0)
assert_not_contains "$tun" "1.1.1.1" "tunnel DNS servers reverted"
assert_not_contains "$tun" "~." "tunnel routing domain reverted"
assert_contains "$(status_of veth0)" "DNS Servers: 10.0.0.53 10.0.0.54" "the manager's servers kept"
assert_contains "$(status_of veth0)" "DNS Domain: corp.test com net" "the manager's domains kept"
assert_eq 10.66.0.1 "$(answer after.com)" "after stop: the pushed suffix goes home again"
"$RCTL" domain veth0 
assert_eq 10.66.0.1 "$(answer after.test)" "after stop: the home server answers"
"$RCTL" dns veth0 10.0.0.53

# Stop once the tunnel is gone: no revert, the rest still runs.
run_pw "${NOBODY[@]}" -- start 10.9.9.9
expect_rc 0 "second start"
pw_tun_down
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 0 "stop without the tunnel"
assert_contains "$ERR" "[helper] DNS revert skipped: quon_vpn0 does not exist" "revert skipped"

# --- An older helper's record: home links it switched off --------------------
# veth0 has a server (set by its manager) and showed "yes": it gets "yes"
# back and keeps its server. veth2 had nothing, its "yes" was automatic: it
# is reverted, so that automatic is back: a route-only domain given to it
# later then turns its flag off, as resolved does for an automatic link.
pp ip link add veth2 type veth peer name veth3
pp ip link set veth3 up
pp ip link set veth2 up
pp ip addr add 10.1.0.1/24 dev veth2
"$RCTL" default-route veth0 no
"$RCTL" default-route veth2 no
"$RCTL" default-route veth3 no
printf '%s\n' ipv4_valid=1 ipv4_iface=veth0 ipv4_gateway=10.0.0.2 ipv6_valid=0 \
  ipv6_iface= ipv6_gateway= server_ipv4= server_ipv6= version=2 \
  "dns_default_route=veth0 yes" "dns_default_route=veth2 yes" \
  "dns_default_route=veth3 no" >"$STATE"
chmod 644 "$STATE"
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 0 "stop of an older record"
assert_contains "$(status_of veth0)" "+DefaultRoute" "older record: veth0 flag back"
assert_contains "$(status_of veth0)" "DNS Servers: 10.0.0.53" "older record: veth0 keeps its server"
assert_contains "$(status_of veth3)" "-DefaultRoute" "older record: a flag that was off stays off"
"$RCTL" dns veth2 10.0.0.53
assert_contains "$(status_of veth2)" "+DefaultRoute" "older record: veth2 a default route once it has a server"
"$RCTL" domain veth2 "~corp.test"
assert_contains "$(status_of veth2)" "-DefaultRoute" "older record: veth2 automatic again"
echo "dns: all passed"
