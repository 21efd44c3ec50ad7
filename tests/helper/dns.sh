#!/bin/bash
# pathwarden start/stop against a real systemd-resolved, unpacked (never
# installed) by scripts/deps/helper.sh and run inside this sandbox on a
# private system bus. Topology in lib.sh; quon_vpn0 and veth0 are the links
# whose DNS settings change. The resolvers 1.1.1.1 and 8.8.8.8 are only
# configured: nothing in this namespace leads to them.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"
trap 'pw_tun_down' EXIT
require_cmd dbus-daemon

R=${QUON_RESOLVED_CACHE:-/var/cache/quon_vpn-tests}/resolved
[ -x "$R/lib/systemd/systemd-resolved" ] && [ -x "$R/usr/bin/resolvectl" ] ||
  skip "systemd-resolved not unpacked in $R (scripts/deps/helper.sh)"
# The daemon's own private library, when it differs from the machine's.
libdir=
for d in "$R/usr/lib/x86_64-linux-gnu/systemd" "$R/usr/lib/systemd"; do
  [ -n "$libdir" ] || { ls "$d"/libsystemd-shared-*.so >/dev/null 2>&1 && libdir=$d; }
done

# The daemon drops to the user systemd-resolve: give the sandbox one.
mkdir -p /run/pwetc /run/dbus /run/systemd/resolve
cp /etc/passwd /etc/group /run/pwetc/
if ! getent passwd systemd-resolve >/dev/null; then
  uid=990
  while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do
    uid=$((uid - 1))
  done
  echo "systemd-resolve:x:$uid:$uid::/run/systemd/resolve:/usr/sbin/nologin" >>/run/pwetc/passwd
  echo "systemd-resolve:x:$uid:" >>/run/pwetc/group
  mount --bind /run/pwetc/passwd /etc/passwd
  mount --bind /run/pwetc/group /etc/group
fi
chown systemd-resolve:systemd-resolve /run/systemd/resolve

cat >/run/pwetc/bus.conf <<'EOF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
EOF
dbus-daemon --config-file=/run/pwetc/bus.conf --fork --nopidfile

pw_private_names
pw_local_sbin
# resolvectl where the helper's fixed PATH finds it, for this sandbox alone.
cat >/usr/local/sbin/resolvectl <<EOF
#!/bin/sh
${libdir:+LD_LIBRARY_PATH=$libdir export LD_LIBRARY_PATH}
exec "$R/usr/bin/resolvectl" "\$@"
EOF
chmod 755 /usr/local/sbin/resolvectl
RCTL=/usr/local/sbin/resolvectl

pw_net gw
pw_tun_up
pp ip link set quon_vpn0 up

LD_LIBRARY_PATH=$libdir "$R/lib/systemd/systemd-resolved" >/tmp/resolved.log 2>&1 &
wait_until 10 "$RCTL" status || { cat /tmp/resolved.log >&2; fail "systemd-resolved did not answer"; }

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
