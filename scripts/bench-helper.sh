#!/bin/bash
# Wall time of "pathwarden start" and "pathwarden stop" against a plain shell
# script that runs the same commands, as the median of several runs. Runs in
# a network sandbox of its own (the topology of tests/helper/lib.sh) as root.
#
#   scripts/bench-helper.sh [BUILD_DIR] [RUNS]   (default build/default, 9)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build/default}" && pwd)
runs=${2:-9}

if [ "${QUON_IN_SANDBOX:-}" != 1 ]; then
  export QUON_SOURCE_DIR=$here QUON_BUILD_DIR=$build QUON_BUNDLE_DIR=$build/bundle
  exec "$here/tests/lib/sandbox.sh" --net -- bash "$here/scripts/bench-helper.sh" "$build" "$runs"
fi

. "$here/tests/helper/lib.sh"
trap 'pw_tun_down' EXIT
pw_private_names
pw_local_sbin
# A resolvectl that answers at once, so that both sides run the DNS commands
# without a daemon behind them.
printf '#!/bin/sh\nexit 0\n' >/usr/local/sbin/resolvectl
chmod 755 /usr/local/sbin/resolvectl
pw_net gw
pw_tun_up

cat >/tmp/plain-start.sh <<'EOF'
#!/bin/sh
# The helper's start, as a plain script with the same commands.
set -u
l4=$(ip -4 route show default | sed 's/ *$//')
l6=$(ip -6 route show default | sed 's/ expires [0-9]*sec//; s/ *$//')
gw4=$(echo "$l4" | sed -n 's/.*default via \([0-9.]*\) dev \([^ ]*\).*/\1/p')
if4=$(echo "$l4" | sed -n 's/.*default via \([0-9.]*\) dev \([^ ]*\).*/\2/p')
gw6=$(echo "$l6" | sed -n 's/.*default via \([0-9a-fA-F:.]*\) dev \([^ ]*\).*/\1/p')
if6=$(echo "$l6" | sed -n 's/.*default via \([0-9a-fA-F:.]*\) dev \([^ ]*\).*/\2/p')
printf 'ipv4_valid=1\nipv4_iface=%s\nipv4_gateway=%s\nipv6_valid=1\nipv6_iface=%s\nipv6_gateway=%s\nserver_ipv4=10.9.9.9\nserver_ipv6=\nversion=3\nowner_uid=0\nowner_pid=%s\nowner_start_time=0\nsession=\n' \
  "$if4" "$gw4" "$if6" "$gw6" "$PPID" >/run/plain_state.tmp
mv /run/plain_state.tmp /run/plain_state.txt
ip link show quon_vpn0 >/dev/null
ip link set dev quon_vpn0 up
[ "$(cat /sys/class/net/quon_vpn0/operstate)" = unknown ] || exit 6
command -v nft >/dev/null || exit 23
nft add table inet quon_vpn \; delete table inet quon_vpn \; add table inet quon_vpn \; \
  add chain inet quon_vpn output { type filter hook output priority 0 \; policy accept \; } \; \
  add rule inet quon_vpn output oifname lo accept \; \
  add rule inet quon_vpn output oifname quon_vpn0 accept \; \
  add rule inet quon_vpn output udp dport 53 reject \; \
  add rule inet quon_vpn output tcp dport { 53, 853 } reject with tcp reset || exit 23
ip -4 rule show >/dev/null
ip -6 rule show >/dev/null
ip -4 rule add pref 10400 to 10.9.9.9 lookup main || exit 7
ip -4 rule add pref 10401 to 10.9.9.9 unreachable || exit 7
ip -4 route replace default dev quon_vpn0 table 52410 || exit 9
ip -4 route replace unreachable default table 52410 metric 4096 || exit 9
ip -6 route replace default dev quon_vpn0 table 52410
ip -6 route replace unreachable default table 52410 metric 4096 || exit 9
for r in 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16 169.254.0.0/16 224.0.0.0/4; do
  ip -4 rule add pref 10402 to $r lookup main || exit 9
done
ip -4 rule add pref 10403 lookup 52410 || exit 9
for r in fe80::/10 fc00::/7 ff00::/8; do
  ip -6 rule add pref 10402 to $r lookup main || exit 9
done
ip -6 rule add pref 10403 lookup 52410 || exit 9
command -v resolvectl >/dev/null || exit 0
[ -n "$(ip -o addr show dev quon_vpn0 scope global)" ] || echo "no address" >&2
resolvectl domain >/dev/null
resolvectl dns quon_vpn0 1.1.1.1 8.8.8.8
resolvectl domain quon_vpn0 "~."
resolvectl default-route quon_vpn0 yes
resolvectl flush-caches
EOF
cat >/tmp/plain-stop.sh <<'EOF'
#!/bin/sh
# The helper's stop, as a plain script with the same commands: every rule of
# the tunnel's priorities (counted with shell builtins, as the helper counts
# them in its own memory), the tunnel's table, then DNS, then the filter.
set -u
[ -e /run/plain_state.txt ] && read -r _ </run/plain_state.txt
for f in -4 -6; do
  rules=$(ip $f rule show)
  for p in 10403 10402 10401 10400; do
    printf '%s\n' "$rules" | while read -r pref _; do
      if [ "$pref" = "$p:" ]; then ip $f rule del pref $p; fi
    done
  done
  ip $f route flush table 52410 2>/dev/null
done
if command -v resolvectl >/dev/null; then
  [ -e /sys/class/net/quon_vpn0 ] && resolvectl revert quon_vpn0
  resolvectl flush-caches
fi
command -v nft >/dev/null && nft add table inet quon_vpn \; delete table inet quon_vpn
rm -f /run/plain_state.txt
EOF

now_us() { echo $(($(date +%s%N) / 1000)); }
# time_us COMMAND...: prints the wall time of one run in microseconds.
time_us() {
  local t0 t1
  t0=$(now_us)
  "$@" >/dev/null 2>&1 || fail "benchmark step failed: $*"
  t1=$(now_us)
  echo $((t1 - t0))
}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

: >/tmp/b.pw.start
: >/tmp/b.pw.stop
: >/tmp/b.sh.start
: >/tmp/b.sh.stop
for _ in $(seq "$runs"); do
  time_us "$PW" start 10.9.9.9 >>/tmp/b.pw.start
  time_us "$PW" stop 10.9.9.9 >>/tmp/b.pw.stop
  time_us sh /tmp/plain-start.sh >>/tmp/b.sh.start
  time_us sh /tmp/plain-stop.sh >>/tmp/b.sh.stop
done
assert_eq "default via 10.0.0.2 dev veth0" "$(routes4 default)" "routes after the benchmark"
assert_eq "default via fe80::2 dev veth0 metric 1024 pref medium" "$(routes6 default)" "IPv6 routes after the benchmark"
expect_no_tunnel "after the benchmark"

report() {
  local what=$1 pw sh
  pw=$(median <"/tmp/b.pw.$what")
  sh=$(median <"/tmp/b.sh.$what")
  awk -v w="$what" -v p="$pw" -v s="$sh" -v n="$runs" 'BEGIN {
    printf "%-5s pathwarden %7.2f ms   shell script %7.2f ms   ratio %.2f   (median of %d)\n",
      w, p / 1000, s / 1000, p / s, n }'
}
report start
report stop
