# shellcheck shell=bash
# The lab network, for bash tests that run inside tests/lib/sandbox.sh --net.
# Source tests/lib/common.sh first, then this file.
#
#   "desktop": the sandbox's own namespace, where the runner, the helper and
#   the client core run unchanged.
#
#   desktop (sandbox netns)          router (netns)              vpn server (netns)
#   ld<id> 10.0.2.2/24   ------ lr<id> 10.0.2.1/24
#          2001:db8:1::2/64             2001:db8:1::1/64
#   default via 10.0.2.1        rv<id> 198.51.100.1/24 ------ vr<id> 198.51.100.10/24
#   default via 2001:db8:1::1           2001:db8:2::1/64              2001:db8:2::10/64
#   quon_vpn0 (client core)                                    lt<id> 198.18.0.1/30 (server core's TUN)
#     198.18.0.2/30                                                   2001:db8:ff::1/64
#     2001:db8:ff::2/64                                         vi<id> 203.0.113.1/24
#                                                                      2001:db8:3::1/64
#                                                                  |
#                                                   internet (netns)
#                                                   iv<id> 203.0.113.2/24, 2001:db8:3::2/64
#                                                   1.1.1.1/32         HTTPS :443 /cdn-cgi/trace
#                                                                      DNS :53 (UDP)
#                                                   203.0.113.80/32    HTTP :80 /generate_204
#                                                   2001:db8:3::80/128 HTTP :80 /generate_204
#                                                   default via the vpn server
#
# What the home looks like is chosen before lab_topology_up:
#   LAB_HOME_FAMILIES=both|v4|v6  which families the home link has (both);
#   LAB_HOME_DHCP=1               default routes as a DHCP client and router
#                                 advertisements leave them ("proto dhcp
#                                 metric 100", "proto ra metric 600")
#                                 instead of plain static ones;
#   LAB_HOME=dhcp|networkmanager|hostile
#                                 the desktop's link comes up with no address
#                                 and no route: a client gives them
#                                 (lab/lab_home.sh);
#   LAB_ROUTER_REACHES_INTERNET=1 the router routes to the internet through
#                                 the vpn server's host, so a packet that
#                                 leaves the home link outside the tunnel is
#                                 answered and the internet host records the
#                                 home address (a leak is seen, not just lost).
#
# Otherwise the router forwards between the desktop and the vpn server only:
# it has no route to the internet namespace, so the desktop reaches 1.1.1.1
# and cp.cloudflare.com only through the tunnel. The vpn server forwards between
# its TUN and the internet; the internet's default route leads back to it.
#
# Names resolve from private files bind-mounted over /etc/hosts,
# /etc/nsswitch.conf and /etc/resolv.conf in the sandbox's mount namespace:
# cp.cloudflare.com -> 203.0.113.80 and 2001:db8:3::80, vpn.lab.test -> the
# vpn server, vpn-multi.lab.test -> its addresses and a second IPv4 and IPv6
# address (198.51.100.11, 2001:db8:2::11) that nothing holds, as a stale
# record would (the core uses the first address it can reach, the route
# helper pins all of them); the resolver is a loopback address where nothing listens, so
# any other name fails at once and no query leaves the sandbox.
#
# Every name carries a per-run id; lab_topology_down (trapped on EXIT by
# lab_topology_up) ends what the lab started and removes its namespaces.

# The LAB_* variables are for the tests that source this file.
# shellcheck disable=SC2034
LAB_XRAY=${LAB_XRAY:-${QUON_BUNDLE_DIR:-}/xray}
LAB_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

LAB_DESKTOP_V4=10.0.2.2
LAB_DESKTOP_GW_V4=10.0.2.1
LAB_DESKTOP_V6=2001:db8:1::2
LAB_DESKTOP_GW_V6=2001:db8:1::1
LAB_ROUTER_VPN_V4=198.51.100.1
LAB_ROUTER_VPN_V6=2001:db8:2::1
LAB_VPN_V4=198.51.100.10
LAB_VPN_V6=2001:db8:2::10
LAB_VPN_V4_2=198.51.100.11
LAB_VPN_V6_2=2001:db8:2::11
LAB_VPN_HOST=vpn.lab.test
LAB_VPN_MULTI_HOST=vpn-multi.lab.test
LAB_VPN_PORT=7000
LAB_VPN_INET_V4=203.0.113.1
LAB_VPN_INET_V6=2001:db8:3::1
LAB_INET_V4=203.0.113.2
LAB_INET_V6=2001:db8:3::2
LAB_PROBE_TRACE_V4=1.1.1.1
LAB_PROBE_HTTP_V4=203.0.113.80
LAB_PROBE_HTTP_V6=2001:db8:3::80
LAB_PROBE_HTTP_HOST=cp.cloudflare.com
LAB_TUN_SERVER_V4=198.18.0.1/30
LAB_TUN_CLIENT_V4=198.18.0.2/30
LAB_TUN_SERVER_V6=2001:db8:ff::1/64
LAB_TUN_CLIENT_V6=2001:db8:ff::2/64
LAB_TUN_NAME=quon_vpn0
LAB_HOME_FAMILIES=${LAB_HOME_FAMILIES:-both}
LAB_HOME_DHCP=${LAB_HOME_DHCP:-0}
LAB_ROUTER_REACHES_INTERNET=${LAB_ROUTER_REACHES_INTERNET:-0}

LAB_ID=
LAB_WORK=
LAB_NS_ROUTER=
LAB_NS_VPN=
LAB_NS_INET=
LAB_DESKTOP_IF=
LAB_SERVER_TUN=
LAB_SERVER_PID=
LAB_PROBE_PID=
_LAB_PIDS=()
_LAB_NAMESPACES=()
_LAB_MOUNTS=()
_LAB_EXIT_HOOKS=()

# Runs "$@" in network namespace NS (its own /sys, as ip netns exec gives);
# with NS empty, here in the desktop's.
lab_in() {
  local ns=$1
  shift
  if [ -z "$ns" ]; then
    "$@"
  else
    ip netns exec "$ns" "$@"
  fi
}

# Every command that changes the network goes through here: printed, then
# run, so that a failure in a log shows the step it happened at.
_lab_must() {
  pp "$@" || fail "lab: command failed: $*"
}

# lab_on_exit COMMAND...: runs at exit, before the lab is taken down (so a
# test's own processes end before the namespaces they use).
lab_on_exit() {
  _LAB_EXIT_HOOKS+=("$*")
}

# Starts "$@" in the background with output to FILE and records its pid for
# the cleanup; the pid is in LAB_LAST_PID.
lab_spawn() {
  local out=$1
  shift
  "$@" >"$out" 2>&1 &
  LAB_LAST_PID=$!
  _LAB_PIDS+=("$LAB_LAST_PID")
}

# Ends one process the lab started: SIGTERM, up to 5 s, then SIGKILL.
lab_stop_pid() {
  local pid=$1
  # Its exit status (a signal's, as often as not) is of no interest here,
  # also to a caller running with errexit.
  kill -0 "$pid" 2>/dev/null || {
    wait "$pid" 2>/dev/null || true
    return 0
  }
  kill -TERM "$pid" 2>/dev/null
  if ! wait_until 5 _lab_gone "$pid"; then
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null || true
  return 0
}
# Gone or a zombie waiting for our wait.
_lab_gone() {
  local stat
  stat=$(ps -o stat= -p "$1" 2>/dev/null)
  [ -z "$stat" ] || [ "${stat#Z}" != "$stat" ]
}

lab_topology_down() {
  # Cleanup goes on past failures; errexit comes back for a caller that
  # takes the lab down before its own end.
  local errexit=0 i ns
  case $- in *e*) errexit=1 ;; esac
  set +e
  for ((i = ${#_LAB_EXIT_HOOKS[@]} - 1; i >= 0; i--)); do
    eval "${_LAB_EXIT_HOOKS[i]}"
  done
  _LAB_EXIT_HOOKS=()
  for ((i = ${#_LAB_PIDS[@]} - 1; i >= 0; i--)); do
    lab_stop_pid "${_LAB_PIDS[i]}"
  done
  _LAB_PIDS=()
  for ns in "${_LAB_NAMESPACES[@]}"; do
    pp ip netns del "$ns"
  done
  _LAB_NAMESPACES=()
  for ((i = ${#_LAB_MOUNTS[@]} - 1; i >= 0; i--)); do
    umount "${_LAB_MOUNTS[i]}" 2>/dev/null
  done
  _LAB_MOUNTS=()
  [ -n "$LAB_WORK" ] && rm -rf "$LAB_WORK"
  LAB_WORK=
  [ "$errexit" = 1 ] && set -e
  return 0
}

# operstate of DEV (in namespace NS when given) is "up" or "unknown" (a TUN
# held open by its process reads "unknown").
lab_link_up() {
  local dev=$1 ns=${2:-} state
  state=$(lab_in "$ns" cat "/sys/class/net/$dev/operstate" 2>/dev/null)
  [ "$state" = up ] || [ "$state" = unknown ]
}

lab_link_absent() {
  local dev=$1 ns=${2:-}
  ! lab_in "$ns" test -e "/sys/class/net/$dev"
}

# lab_listening NS tcp|udp ADDR:PORT (as ss prints it: [v6]:port, *:port).
lab_listening() {
  local ns=$1 proto=$2 want=$3 flag=-t
  [ "$proto" = udp ] && flag=-u
  lab_in "$ns" ss -Hln "$flag" | awk '{print $4}' | grep -qxF -- "$want"
}

_lab_ns() {
  local ns=$1
  _lab_must ip netns add "$ns"
  _LAB_NAMESPACES+=("$ns")
  _lab_must lab_in "$ns" ip link set lo up
  # Loose defaults whatever the machine's are: forwarding on, no reverse
  # path filter (asymmetric paths are normal in a lab).
  _lab_must lab_in "$ns" sysctl -qw net.ipv4.ip_forward=1 \
    net.ipv6.conf.all.forwarding=1 net.ipv4.conf.all.rp_filter=0 \
    net.ipv4.conf.default.rp_filter=0
}

# lab_veth A NS_A B NS_B: a veth pair A (in NS_A, "" = the desktop) and B.
_lab_veth() {
  local a=$1 ns_a=$2 b=$3 ns_b=$4
  _lab_must ip link add "$a" type veth peer name "$b"
  [ -n "$ns_a" ] && _lab_must ip link set "$a" netns "$ns_a"
  _lab_must ip link set "$b" netns "$ns_b"
}

# _lab_addr NS DEV ADDR...: IPv6 addresses without duplicate detection, so
# they work at once; then the link goes up.
_lab_addr() {
  local ns=$1 dev=$2 a
  shift 2
  for a in "$@"; do
    local opt=()
    case "$a" in *:*) opt=(nodad) ;; esac
    _lab_must lab_in "$ns" ip addr add "$a" dev "$dev" "${opt[@]}"
  done
  # No duplicate detection for the link-local address either: while it is
  # tentative, neighbour discovery holds back the first packets for a
  # second or two, which a first connection through the lab would feel.
  _lab_must lab_in "$ns" sysctl -qw "net.ipv6.conf.$dev.accept_dad=0"
  _lab_must lab_in "$ns" ip link set "$dev" up
}

# Private name resolution for this sandbox (see the top of this file).
lab_dns_up() {
  sandbox_check net
  [ -n "$LAB_WORK" ] || LAB_WORK=$(mktemp -d /tmp/lab.XXXXXX)
  local f
  cat >"$LAB_WORK/hosts" <<EOF
127.0.0.1 localhost
::1 localhost
$LAB_PROBE_HTTP_V4 $LAB_PROBE_HTTP_HOST
$LAB_PROBE_HTTP_V6 $LAB_PROBE_HTTP_HOST
$LAB_VPN_V4 $LAB_VPN_HOST
$LAB_VPN_V6 $LAB_VPN_HOST
$LAB_VPN_V4 $LAB_VPN_MULTI_HOST
$LAB_VPN_V4_2 $LAB_VPN_MULTI_HOST
$LAB_VPN_V6 $LAB_VPN_MULTI_HOST
$LAB_VPN_V6_2 $LAB_VPN_MULTI_HOST
EOF
  printf 'hosts: files dns\n' >"$LAB_WORK/nsswitch.conf"
  printf 'nameserver 127.0.0.53\noptions timeout:1 attempts:1\n' >"$LAB_WORK/resolv.conf"
  local target
  for f in hosts nsswitch.conf resolv.conf; do
    # A bind mount follows a symbolic link (resolv.conf often points into
    # /run); a target in the sandbox's empty /run or /tmp is made first.
    target=$(readlink -m "/etc/$f")
    case "$target" in
      /run/* | /tmp/*) mkdir -p "${target%/*}" && touch "$target" ;;
    esac
    _lab_must mount --bind "$LAB_WORK/$f" "$target"
    _LAB_MOUNTS+=("$target")
  done
}

# Builds the namespaces, links, addresses and routes drawn above, and the
# private name resolution. Needs root and the sandbox's network namespace.
lab_topology_up() {
  sandbox_check net
  require_cmd ip ss sysctl mktemp
  [ -x "$LAB_XRAY" ] || fail "lab: no stand-in core at $LAB_XRAY"
  trap lab_topology_down EXIT
  LAB_ID=$(printf '%04x' $((RANDOM ^ $$ & 0xffff)))
  LAB_WORK=$(mktemp -d /tmp/lab.XXXXXX)
  LAB_NS_ROUTER=lab-$LAB_ID-router
  LAB_NS_VPN=lab-$LAB_ID-vpn
  LAB_NS_INET=lab-$LAB_ID-inet
  LAB_DESKTOP_IF=ld$LAB_ID
  LAB_SERVER_TUN=lt$LAB_ID
  local id=$LAB_ID
  _lab_ns "$LAB_NS_ROUTER"
  _lab_ns "$LAB_NS_VPN"
  _lab_ns "$LAB_NS_INET"

  # desktop <-> router, with the families and default routes of the home
  local home=()
  case "${LAB_HOME:-static}:$LAB_HOME_FAMILIES" in
    dhcp:* | networkmanager:* | hostile:*) ;;
    *:both) home=("$LAB_DESKTOP_V4/24" "$LAB_DESKTOP_V6/64") ;;
    *:v4) home=("$LAB_DESKTOP_V4/24") ;;
    *:v6) home=("$LAB_DESKTOP_V6/64") ;;
    *) fail "lab: LAB_HOME_FAMILIES must be both, v4 or v6, not $LAB_HOME_FAMILIES" ;;
  esac
  _lab_veth "ld$id" "" "lr$id" "$LAB_NS_ROUTER"
  _lab_addr "" "ld$id" "${home[@]}"
  _lab_addr "$LAB_NS_ROUTER" "lr$id" "$LAB_DESKTOP_GW_V4/24" "$LAB_DESKTOP_GW_V6/64"
  if [ ${#home[@]} -gt 0 ]; then
    lab_home_default_routes "$LAB_DESKTOP_GW_V4" "$LAB_DESKTOP_GW_V6"
  fi

  # router <-> vpn server
  _lab_veth "rv$id" "$LAB_NS_ROUTER" "vr$id" "$LAB_NS_VPN"
  _lab_addr "$LAB_NS_ROUTER" "rv$id" "$LAB_ROUTER_VPN_V4/24" "$LAB_ROUTER_VPN_V6/64"
  _lab_addr "$LAB_NS_VPN" "vr$id" "$LAB_VPN_V4/24" "$LAB_VPN_V6/64"
  _lab_must lab_in "$LAB_NS_VPN" ip route add 10.0.2.0/24 via "$LAB_ROUTER_VPN_V4"
  _lab_must lab_in "$LAB_NS_VPN" ip -6 route add 2001:db8:1::/64 via "$LAB_ROUTER_VPN_V6"

  # vpn server <-> internet
  _lab_veth "vi$id" "$LAB_NS_VPN" "iv$id" "$LAB_NS_INET"
  _lab_addr "$LAB_NS_VPN" "vi$id" "$LAB_VPN_INET_V4/24" "$LAB_VPN_INET_V6/64"
  _lab_addr "$LAB_NS_INET" "iv$id" "$LAB_INET_V4/24" "$LAB_INET_V6/64" \
    "$LAB_PROBE_TRACE_V4/32" "$LAB_PROBE_HTTP_V4/32" "$LAB_PROBE_HTTP_V6/128"
  _lab_must lab_in "$LAB_NS_VPN" ip route add default via "$LAB_INET_V4"
  _lab_must lab_in "$LAB_NS_VPN" ip -6 route add default via "$LAB_INET_V6"
  _lab_must lab_in "$LAB_NS_INET" ip route add default via "$LAB_VPN_INET_V4"
  _lab_must lab_in "$LAB_NS_INET" ip -6 route add default via "$LAB_VPN_INET_V6"
  if [ "$LAB_ROUTER_REACHES_INTERNET" = 1 ]; then
    _lab_must lab_in "$LAB_NS_ROUTER" ip route add 203.0.113.0/24 via "$LAB_VPN_V4"
    _lab_must lab_in "$LAB_NS_ROUTER" ip route add "$LAB_PROBE_TRACE_V4/32" via "$LAB_VPN_V4"
    _lab_must lab_in "$LAB_NS_ROUTER" ip -6 route add 2001:db8:3::/64 via "$LAB_VPN_V6"
  fi

  lab_dns_up
}

# lab_home_default_routes GW4 GW6: the desktop's default routes through the
# home router, as the home gives them (LAB_HOME_FAMILIES, LAB_HOME_DHCP).
lab_home_default_routes() {
  local gw4=$1 gw6=$2 extra4=() extra6=()
  if [ "$LAB_HOME_DHCP" = 1 ]; then
    extra4=(proto dhcp metric 100)
    extra6=(proto ra metric 600)
  fi
  if [ "$LAB_HOME_FAMILIES" != v6 ]; then
    _lab_must ip route replace default via "$gw4" dev "$LAB_DESKTOP_IF" "${extra4[@]}"
  fi
  if [ "$LAB_HOME_FAMILIES" != v4 ]; then
    _lab_must ip -6 route replace default via "$gw6" dev "$LAB_DESKTOP_IF" "${extra6[@]}"
  fi
}

# Starts the core in server mode in the vpn server namespace, listening on
# every address at LAB_VPN_PORT, and waits until its TUN is up. Its output
# goes to $LAB_WORK/server.log.
lab_start_vpn_server() {
  lab_spawn "$LAB_WORK/server.log" ip netns exec "$LAB_NS_VPN" "$LAB_XRAY" \
    server -listen "[::]:$LAB_VPN_PORT" -tun "$LAB_SERVER_TUN" \
    -address "$LAB_TUN_SERVER_V4" -address "$LAB_TUN_SERVER_V6"
  LAB_SERVER_PID=$LAB_LAST_PID
  wait_until 10 lab_link_up "$LAB_SERVER_TUN" "$LAB_NS_VPN" ||
    fail "lab: the server core's $LAB_SERVER_TUN did not come up: $(cat "$LAB_WORK/server.log")"
}

# Starts the probe endpoints in the internet namespace with a throwaway
# self-signed certificate, and a name server on the first probe's address
# that answers every A query; waits until all four listen. Output goes to
# $LAB_WORK/probe.log.
lab_start_probes() {
  require_cmd openssl
  [ -x /usr/bin/python3 ] || skip "needs /usr/bin/python3"
  _lab_must openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 \
    -nodes -days 1 -subj "/CN=$LAB_PROBE_TRACE_V4" \
    -keyout "$LAB_WORK/probe.key" -out "$LAB_WORK/probe.crt" 2>/dev/null
  lab_spawn "$LAB_WORK/probe.log" ip netns exec "$LAB_NS_INET" /usr/bin/python3 \
    "$LAB_SOURCE_DIR/probe_server.py" \
    --https "$LAB_PROBE_TRACE_V4:443" \
    --http "$LAB_PROBE_HTTP_V4:80" --http "[$LAB_PROBE_HTTP_V6]:80" \
    --dns "$LAB_PROBE_TRACE_V4:53" \
    --cert "$LAB_WORK/probe.crt" --key "$LAB_WORK/probe.key"
  LAB_PROBE_PID=$LAB_LAST_PID
  wait_until 15 _lab_probes_listening ||
    fail "lab: the probe endpoints did not start: $(cat "$LAB_WORK/probe.log")"
}
_lab_probes_listening() {
  lab_listening "$LAB_NS_INET" tcp "$LAB_PROBE_TRACE_V4:443" &&
    lab_listening "$LAB_NS_INET" tcp "$LAB_PROBE_HTTP_V4:80" &&
    lab_listening "$LAB_NS_INET" tcp "[$LAB_PROBE_HTTP_V6]:80" &&
    lab_listening "$LAB_NS_INET" udp "$LAB_PROBE_TRACE_V4:53"
}

# lab_write_client_config PATH [SERVER_HOST] [EXTRA_LAB_MEMBERS]
# An Xray configuration for the client core: a TUN inbound quon_vpn0, the
# vpn server (default: its IPv4 address) as the first outbound's vnext, and
# "labStandIn" with the tunnel addresses plus EXTRA_LAB_MEMBERS, JSON members
# such as '"noTun": true, "exitAfterMs": 1500'.
lab_write_client_config() {
  local path=$1 host=${2:-$LAB_VPN_V4} extra=${3:-}
  [ -n "$extra" ] && extra=", $extra"
  cat >"$path" <<EOF
{
  "log": {"loglevel": "warning"},
  "inbounds": [
    {"tag": "tun-in", "protocol": "tun",
     "settings": {"name": "$LAB_TUN_NAME", "MTU": 1500}},
    {"tag": "socks-in", "protocol": "socks", "listen": "127.0.0.1", "port": 10808}
  ],
  "outbounds": [
    {"tag": "proxy", "protocol": "vless",
     "settings": {"vnext": [{"address": "$host", "port": $LAB_VPN_PORT,
                             "users": [{"id": "00000000-0000-4000-8000-000000000000",
                                        "encryption": "none"}]}]}},
    {"tag": "direct", "protocol": "freedom"}
  ],
  "labStandIn": {"tunAddresses": ["$LAB_TUN_CLIENT_V4", "$LAB_TUN_CLIENT_V6"]$extra}
}
EOF
}
