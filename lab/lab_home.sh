# shellcheck shell=bash
# The lab's home network as a desktop has it: who gives the desktop its
# addresses and routes. Sourced by scripts/lab.sh after lab/topology.sh,
# inside the sandbox; LAB_HOME is chosen before lab_topology_up:
#
#   static          the lab sets the desktop's addresses and default routes
#                   itself, as lab/topology.sh draws them (DHCP-style
#                   "proto dhcp metric 100" / "proto ra metric 600", or plain
#                   ones with LAB_STATIC_HOME=1); nothing else touches them
#   dhcp            the home router runs dnsmasq (DHCPv4 with its shortest
#                   lease, router advertisements, DHCPv6); the desktop runs
#                   dhcpcd, whose hook logs every event for the lab to wait on
#   networkmanager  the same router; the desktop runs NetworkManager (unpacked
#                   by scripts/deps/networkmanager.sh, never installed) with
#                   internal DHCP, on the private system bus of
#                   tests/lib/resolved.sh, with /sys read-only (without udev
#                   it would otherwise leave every link unmanaged)
#   hostile         a home that works against its user: the router's dnsmasq
#                   also answers DNS (every query in its log), pushes a
#                   public suffix as the search domain and whatever options
#                   the case writes into its options file (classless routes,
#                   at connect time or at a renewal: SIGHUP re-reads the
#                   file); the LAN is private (192.168.50.0/24, fd00:50::/64)
#                   unless the case hands out a public range with proxy ARP.
#                   The desktop's client is NetworkManager (giving resolved
#                   the link's DNS servers and domains) or dhcpcd, as the
#                   case chooses (LAB_CLIENT)
#
#   lab_home_client_up       the desktop's client, waited for until both
#                            families have an address and a default route
#   lab_home_renew           a renewal: forced (dhcpcd -n) or the next one
#                            at the lease's 10 s T1 (NetworkManager), waited
#                            for on the client's events
#   lab_home_reconnect       the client lets go of the link and takes it again
#   lab_home_router_set V4NET GW4 V6NET GW6
#                            the router's addresses and what dnsmasq offers
#   lab_home_mark            remembers where the client's event log ends;
#   lab_home_wait_event SECONDS REGEX
#                            waits for an event line after the mark
#   lab_home_configured      both families have an address of the current
#                            network and the client's default routes
#   lab_home_has_default -4|-6 [GW]
#                            the client's default route (via GW) is in main
#   lab_home_set_options TEXT
#                            the hostile router's DHCP options file, re-read
#                            by dnsmasq at once (SIGHUP)
#
# Managed homes keep their state under /run/lab-home (the sandbox's /run)
# and a private copy-on-write /var/lib (an overlay: the machine's stays as
# it is).

# The LAB_* variables are for scripts/lab.sh and the fault cases.
# shellcheck disable=SC2034
LAB_HOME=${LAB_HOME:-static}
LAB_HOME_RUN=/run/lab-home
LAB_NM_ROOT=${QUON_NM_CACHE:-/var/cache/quon_vpn-tests}/networkmanager
LAB_NM_LIBDIR=$LAB_NM_ROOT/usr/lib/x86_64-linux-gnu
LAB_DNSMASQ_PID=
LAB_CLIENT_PID=
# The desktop's client: none, dhcp (dhcpcd) or networkmanager. The hostile
# home's cases choose theirs (NetworkManager unless they say otherwise).
case "$LAB_HOME" in
  dhcp | networkmanager) LAB_CLIENT=$LAB_HOME ;;
  hostile) LAB_CLIENT=networkmanager ;;
  *) LAB_CLIENT=none ;;
esac
# What dnsmasq offers now: the home's IPv4 network (the first three octets of
# a /24), its gateway and the last octets of its range, and the IPv6 /64
# prefix (without "::") with its gateway. The fault cases move these.
LAB_HOME_NET_V4=10.0.2
LAB_HOME_NET_V6=2001:db8:1
LAB_HOME_GW_V4=$LAB_DESKTOP_GW_V4
LAB_HOME_GW_V6=$LAB_DESKTOP_GW_V6
LAB_HOME_RANGE_V4=100,150
# The hostile home: a private LAN; its router answers DNS itself (names
# under the suffix it pushes get LAB_HOSTILE_HOME_ANSWER) and logs every
# query. lab_home_public_lan (before setup) hands out part of 203.0.113.0/24,
# the internet host's own network, with proxy ARP instead.
LAB_HOSTILE_SUFFIX=com
LAB_HOSTILE_HOME_ANSWER=192.168.50.53
LAB_HOSTILE_PUBLIC_LAN=0
if [ "$LAB_HOME" = hostile ]; then
  LAB_HOME_NET_V4=192.168.50
  LAB_HOME_GW_V4=192.168.50.1
  LAB_HOME_NET_V6=fd00:50
  LAB_HOME_GW_V6=fd00:50::1
fi
_LAB_HOME_MARK=0

lab_home_public_lan() {
  LAB_HOSTILE_PUBLIC_LAN=1 LAB_HOME_NET_V4=203.0.113 LAB_HOME_GW_V4=203.0.113.1 LAB_HOME_RANGE_V4=200,250
}

lab_home_managed() { [ "$LAB_CLIENT" != none ]; }

lab_nmcli() {
  LD_LIBRARY_PATH=$LAB_NM_LIBDIR "$LAB_NM_ROOT/usr/bin/nmcli" "$@"
}

# The router's side: dnsmasq in the router's namespace, DHCP and RA only
# (port=0: no DNS), leases of two minutes (the shortest it gives), an
# advertisement every 10 s. The hostile home's also answers DNS, pushes its
# suffix and reads an options file.
_lab_dnsmasq_conf() {
  local dev=lr$LAB_ID
  if [ "$LAB_HOME" = hostile ]; then
    cat <<EOF
# DNS of its own: every query logged, names under the pushed suffix answered
# by the router itself, nothing forwarded (the sandbox's resolv.conf names
# the desktop's own stub).
no-resolv
log-queries
address=/$LAB_HOSTILE_SUFFIX/$LAB_HOSTILE_HOME_ANSWER
address=/$LAB_HOSTILE_SUFFIX/$LAB_HOME_NET_V6::53
dhcp-option-force=option:domain-search,$LAB_HOSTILE_SUFFIX
dhcp-option=option6:domain-search,$LAB_HOSTILE_SUFFIX
# What the case pushes, re-read on SIGHUP (a restart would lose a renewal).
dhcp-optsfile=$LAB_HOME_RUN/dhcp-opts
EOF
  else
    echo port=0
  fi
  cat <<EOF
interface=$dev
bind-interfaces
user=root
dhcp-authoritative
no-ping
dhcp-range=$LAB_HOME_NET_V4.${LAB_HOME_RANGE_V4%,*},$LAB_HOME_NET_V4.${LAB_HOME_RANGE_V4#*,},255.255.255.0,2m
dhcp-option=option:router,$LAB_HOME_GW_V4
# Renew after 10 s (rebind after 15) instead of half the lease: the clients
# renew on their own, often, as they would over hours at home.
dhcp-option=option:T1,10
dhcp-option=option:T2,15
dhcp-range=$LAB_HOME_NET_V6::100,$LAB_HOME_NET_V6::1ff,64,2m
enable-ra
ra-param=$dev,10,180
dhcp-leasefile=$LAB_HOME_RUN/dnsmasq.leases
log-dhcp
EOF
}

_lab_dnsmasq_up() {
  _lab_dnsmasq_conf >"$LAB_HOME_RUN/dnsmasq.conf"
  [ -e "$LAB_HOME_RUN/dhcp-opts" ] || : >"$LAB_HOME_RUN/dhcp-opts"
  lab_spawn "$LAB_HOME_RUN/dnsmasq.log" lab_in "$LAB_NS_ROUTER" dnsmasq \
    --keep-in-foreground --log-facility=- --conf-file="$LAB_HOME_RUN/dnsmasq.conf"
  LAB_DNSMASQ_PID=$LAB_LAST_PID
  wait_until 10 _lab_dnsmasq_bound ||
    fail "lab: dnsmasq did not start: $(tail -n 5 "$LAB_HOME_RUN/dnsmasq.log")"
}
# Its DHCP socket is bound (":67", on the router's link).
_lab_dnsmasq_bound() {
  lab_in "$LAB_NS_ROUTER" ss -Hlnu | awk '{print $4}' | grep -c ':67$' >/dev/null
}

# lab_home_router_set V4NET GW4 V6NET GW6: the router takes the new gateway
# addresses (the old ones stay until the case removes them) and dnsmasq,
# restarted, offers the new network from now on.
lab_home_router_set() {
  LAB_HOME_NET_V4=$1 LAB_HOME_GW_V4=$2 LAB_HOME_NET_V6=$3 LAB_HOME_GW_V6=$4
  local dev=lr$LAB_ID
  lab_in "$LAB_NS_ROUTER" ip -4 addr show dev "$dev" | grep -c " $LAB_HOME_GW_V4/" >/dev/null ||
    _lab_must lab_in "$LAB_NS_ROUTER" ip addr add "$LAB_HOME_GW_V4/24" dev "$dev"
  lab_in "$LAB_NS_ROUTER" ip -6 addr show dev "$dev" | grep -c " $LAB_HOME_GW_V6/" >/dev/null ||
    _lab_must lab_in "$LAB_NS_ROUTER" ip addr add "$LAB_HOME_GW_V6/64" dev "$dev" nodad
  # The vpn server and the internet find the home's new network.
  # (A public LAN overlaps the vpn server's own link: _lab_hostile_router
  # routes the desktop's part of it.)
  [ "$LAB_HOSTILE_PUBLIC_LAN" = 1 ] ||
    _lab_must lab_in "$LAB_NS_VPN" ip route replace "$LAB_HOME_NET_V4.0/24" via "$LAB_ROUTER_VPN_V4"
  _lab_must lab_in "$LAB_NS_VPN" ip -6 route replace "$LAB_HOME_NET_V6::/64" via "$LAB_ROUTER_VPN_V6"
  if [ -n "$LAB_DNSMASQ_PID" ]; then
    lab_stop_pid "$LAB_DNSMASQ_PID"
    _lab_dnsmasq_up
  fi
}

# The hostile router's LAN: its addresses, the vpn server's way back to it,
# and the options file as the case wants it at connect time
# (LAB_HOSTILE_OPTIONS). With LAB_HOSTILE_PUBLIC_LAN=1 the LAN is
# 203.0.113.0/24, the internet host's own network: the router answers ARP
# for the internet's addresses (proxy ARP, host routes through the vpn
# server's host), and the vpn server and the internet host reach the
# desktop's part of it (.192/26) through the router.
_lab_hostile_router() {
  local dev=lr$LAB_ID
  if [ "$LAB_HOSTILE_PUBLIC_LAN" = 1 ]; then
    pp lab_in "$LAB_NS_ROUTER" ip route del 203.0.113.0/24 via "$LAB_VPN_V4" || true
    _lab_must lab_in "$LAB_NS_ROUTER" ip route replace "$LAB_PROBE_HTTP_V4/32" via "$LAB_VPN_V4"
    _lab_must lab_in "$LAB_NS_ROUTER" ip route replace "$LAB_INET_V4/32" via "$LAB_VPN_V4"
    _lab_must lab_in "$LAB_NS_ROUTER" sysctl -qw "net.ipv4.conf.$dev.proxy_arp=1"
    _lab_must lab_in "$LAB_NS_VPN" ip route replace 203.0.113.192/26 via "$LAB_ROUTER_VPN_V4"
    _lab_must lab_in "$LAB_NS_INET" ip route replace 203.0.113.192/26 via "$LAB_VPN_INET_V4"
  fi
  lab_home_router_set "$LAB_HOME_NET_V4" "$LAB_HOME_GW_V4" "$LAB_HOME_NET_V6" "$LAB_HOME_GW_V6"
  printf '%s\n' "${LAB_HOSTILE_OPTIONS:-}" | grep . >"$LAB_HOME_RUN/dhcp-opts" || true
}

# lab_home_set_options TEXT: the hostile router's options file (one
# dhcp-option a line, without "dhcp-option="), taken in at once: dnsmasq
# re-reads it on SIGHUP and answers the next renewal with it.
lab_home_set_options() {
  printf '%s\n' "$1" | grep . >"$LAB_HOME_RUN/dhcp-opts" || : >"$LAB_HOME_RUN/dhcp-opts"
  echo "--- options file: $(tr '\n' ' ' <"$LAB_HOME_RUN/dhcp-opts")"
  local pid
  pid=$(_lab_dnsmasq_pid)
  [ -n "$pid" ] || fail "lab: no dnsmasq to re-read its options"
  pp kill -HUP "$pid"
}
# The router's dnsmasq (the sandbox's PID namespace holds only the lab's).
_lab_dnsmasq_pid() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = dnsmasq ] && echo "${p#/proc/}" && return 0
  done
  return 0
}

# A private, copy-on-write /var/lib for the clients' leases and state.
_lab_private_var_lib() {
  mkdir -p "$LAB_HOME_RUN/varlib.upper" "$LAB_HOME_RUN/varlib.work"
  _lab_must mount -t overlay overlay \
    -o "lowerdir=/var/lib,upperdir=$LAB_HOME_RUN/varlib.upper,workdir=$LAB_HOME_RUN/varlib.work" /var/lib
  _LAB_MOUNTS+=(/var/lib)
}

# The desktop's side, dhcpcd: its own configuration (Debian's options
# without hostname), a hook that appends one line per event.
_lab_dhcpcd_files() {
  cat >"$LAB_HOME_RUN/dhcpcd-hook.sh" <<EOF
#!/bin/sh
echo "\$(date +%s.%N) \$reason \$interface ip=\${new_ip_address:-} routers=\${new_routers:-}" >>$LAB_HOME_RUN/events.log
EOF
  chmod 755 "$LAB_HOME_RUN/dhcpcd-hook.sh"
  cat >"$LAB_HOME_RUN/dhcpcd.conf" <<EOF
option domain_name_servers, domain_name, domain_search
option classless_static_routes
option interface_mtu
option rapid_commit
# No ARP probe of the offered address: 4 s per lease, and the lab has no
# one else on the link.
noarp
require dhcp_server_identifier
slaac private
allowinterfaces $LAB_DESKTOP_IF
script $LAB_HOME_RUN/dhcpcd-hook.sh
logfile $LAB_HOME_RUN/dhcpcd.log
EOF
}

_lab_dhcpcd_up() {
  lab_spawn "$LAB_HOME_RUN/dhcpcd.out" dhcpcd --nobackground -f "$LAB_HOME_RUN/dhcpcd.conf" "$LAB_DESKTOP_IF"
  LAB_CLIENT_PID=$LAB_LAST_PID
}

# NetworkManager: keyfile connection "home" on the desktop's link, internal
# DHCP, no DNS handling (the lab gives resolved the home's server itself).
_lab_nm_files() {
  # The hostile home's NetworkManager gives resolved the link's servers and
  # domains, as a desktop's does.
  local nm_dns=none
  [ "$LAB_HOME" = hostile ] && nm_dns=systemd-resolved
  mkdir -p "$LAB_HOME_RUN/nm/conf.d" "$LAB_HOME_RUN/nm/system-connections"
  cat >"$LAB_HOME_RUN/nm/NetworkManager.conf" <<EOF
[main]
plugins=keyfile
dhcp=internal
dns=$nm_dns
rc-manager=unmanaged
hostname-mode=none
auth-polkit=false
no-auto-default=*
[keyfile]
path=$LAB_HOME_RUN/nm/system-connections
[logging]
level=INFO
EOF
  cat >"$LAB_HOME_RUN/nm/system-connections/home.nmconnection" <<EOF
[connection]
id=home
type=ethernet
interface-name=$LAB_DESKTOP_IF
autoconnect=true
[ipv4]
method=auto
[ipv6]
method=auto
addr-gen-mode=eui64
EOF
  chmod 600 "$LAB_HOME_RUN/nm/system-connections/home.nmconnection"
}

_lab_nm_up() {
  [ -x "$LAB_NM_ROOT/usr/sbin/NetworkManager" ] ||
    skip "NetworkManager not unpacked in $LAB_NM_ROOT (scripts/deps/networkmanager.sh)"
  [ -S /run/dbus/system_bus_socket ] || fail "lab: NetworkManager needs the private system bus first"
  # Without udev, NetworkManager takes a writable /sys as a sign to wait for
  # it and leaves every link unmanaged.
  _lab_must mount -o remount,ro /sys
  lab_spawn "$LAB_HOME_RUN/nm.log" env LD_LIBRARY_PATH="$LAB_NM_LIBDIR" \
    "$LAB_NM_ROOT/usr/sbin/NetworkManager" --no-daemon --debug \
    --config "$LAB_HOME_RUN/nm/NetworkManager.conf" --config-dir "$LAB_HOME_RUN/nm/conf.d" \
    --state-file "$LAB_HOME_RUN/nm/NetworkManager.state" \
    --intern-config "$LAB_HOME_RUN/nm/NetworkManager-intern.conf" \
    --pid-file "$LAB_HOME_RUN/nm/NetworkManager.pid"
  LAB_CLIENT_PID=$LAB_LAST_PID
}

_lab_nm_connected() {
  [ "$(lab_nmcli -g GENERAL.STATE dev show "$LAB_DESKTOP_IF" 2>/dev/null)" = "100 (connected)" ]
}

# lab_home_has_default -4|-6 [GW]: the client's default route on the home
# link (via GW when given) is in the main table.
lab_home_has_default() {
  local fam=$1 gw=${2:-}
  ip "$fam" route show default dev "$LAB_DESKTOP_IF" 2>/dev/null | grep -c "^default via ${gw}" >/dev/null
}

# Both families configured: an address of the current network and the
# client's default routes (IPv6 via the router's link-local address).
lab_home_configured() {
  ip -4 addr show dev "$LAB_DESKTOP_IF" | grep -c "inet $LAB_HOME_NET_V4\." >/dev/null &&
    ip -6 addr show dev "$LAB_DESKTOP_IF" scope global | grep -c "inet6 $LAB_HOME_NET_V6:" >/dev/null &&
    lab_home_has_default -4 "$LAB_HOME_GW_V4 " && lab_home_has_default -6
}

lab_home_client_up() {
  lab_home_managed || return 0
  sandbox_check net
  require_cmd dnsmasq
  mkdir -p "$LAB_HOME_RUN"
  : >"$LAB_HOME_RUN/events.log"
  _lab_private_var_lib
  # A router keeps its configured addresses while its port has no link (the
  # kernel's default drops IPv6 addresses on link down).
  _lab_must lab_in "$LAB_NS_ROUTER" sysctl -qw "net.ipv6.conf.lr$LAB_ID.keep_addr_on_down=1"
  [ "$LAB_HOME" != hostile ] || _lab_hostile_router
  _lab_dnsmasq_up
  case "$LAB_CLIENT" in
    dhcp)
      require_cmd dhcpcd
      _lab_dhcpcd_files
      _lab_dhcpcd_up
      ;;
    networkmanager)
      _lab_nm_files
      _lab_nm_up
      wait_until 30 _lab_nm_connected ||
        fail "lab: NetworkManager did not connect $LAB_DESKTOP_IF: $(tail -n 20 "$LAB_HOME_RUN/nm.log")"
      ;;
  esac
  wait_until 30 lab_home_configured ||
    fail "lab: the $LAB_CLIENT client did not configure $LAB_DESKTOP_IF: $(ip addr show "$LAB_DESKTOP_IF"; ip route; ip -6 route)"
  lab_home_settle
}

# The lab's own view of the client's events: dhcpcd's hook lines, or
# NetworkManager's log lines about DHCP and the device's state.
_lab_home_events() {
  case "$LAB_CLIENT" in
    dhcp) cat "$LAB_HOME_RUN/events.log" ;;
    networkmanager) grep -E 'dhcp[46]? \(|device \(|policy:' "$LAB_HOME_RUN/nm.log" ;;
  esac
}
lab_home_mark() {
  _LAB_HOME_MARK=$(_lab_home_events | wc -l)
}
_lab_home_event_since_mark() {
  _lab_home_events | tail -n +$((_LAB_HOME_MARK + 1)) | grep -Ec "$1" >/dev/null
}
# lab_home_wait_event SECONDS REGEX: an event line after the mark matches.
lab_home_wait_event() {
  wait_until "$1" _lab_home_event_since_mark "$2"
}

# Waits until the client's IPv6 configuration is whole: a DHCPv6 address as
# well as SLAAC (dhcpcd reports BOUND6; NetworkManager has the DHCPv6
# address and the on-link route of dnsmasq's own advertisement).
lab_home_settle() {
  case "$LAB_CLIENT" in
    dhcp) wait_until 15 grep -qE ' (BOUND6|REBOOT6|RENEW6|REBIND6) ' "$LAB_HOME_RUN/events.log" || true ;;
    networkmanager) wait_until 15 _lab_nm_settled || true ;;
  esac
}
# Another router's advertisement (hostile-route-info sends one every 3 s)
# also gives NetworkManager a default route and starts its DHCPv6; when it
# comes first, NetworkManager sends no solicitation, and the prefix arrives
# with dnsmasq's next unsolicited advertisement, up to 10 s later.
_lab_nm_settled() {
  ip -6 addr show dev "$LAB_DESKTOP_IF" scope global | grep -c "inet6 $LAB_HOME_NET_V6::1[0-9a-f][0-9a-f]/128" >/dev/null &&
    ip -6 route show "$LAB_HOME_NET_V6::/64" dev "$LAB_DESKTOP_IF" proto ra | grep -c . >/dev/null
}

# A renewal now: dhcpcd is told to renew (-n); NetworkManager re-applies the
# connection, which restarts its DHCP clients on the same link.
lab_home_renew() {
  lab_home_mark
  case "$LAB_CLIENT" in
    dhcp)
      pp dhcpcd -f "$LAB_HOME_RUN/dhcpcd.conf" -n "$LAB_DESKTOP_IF"
      lab_home_wait_event 20 ' (RENEW|REBIND|BOUND|REBOOT) '
      ;;
    networkmanager)
      # nmcli has no "renew"; the lease's 10 s T1 brings one soon.
      lab_home_wait_event 20 'dhcp4 \(.*state changed'
      ;;
    *) return 1 ;;
  esac
}

# The client lets go of the link and takes it again, as after a reconnect;
# used for the reference of what the client gives on the current network.
lab_home_reconnect() {
  case "$LAB_CLIENT" in
    dhcp)
      pp dhcpcd -f "$LAB_HOME_RUN/dhcpcd.conf" -x "$LAB_DESKTOP_IF" || true
      wait_until 10 _lab_gone "$LAB_CLIENT_PID" || lab_stop_pid "$LAB_CLIENT_PID"
      wait "$LAB_CLIENT_PID" 2>/dev/null || true
      : >"$LAB_HOME_RUN/events.log"
      _lab_dhcpcd_up
      ;;
    networkmanager)
      pp lab_nmcli device disconnect "$LAB_DESKTOP_IF" || true
      pp lab_nmcli device connect "$LAB_DESKTOP_IF" || true
      wait_until 30 _lab_nm_connected || return 1
      ;;
  esac
  wait_until 30 lab_home_configured && lab_home_settle || return 1
  # LAB_HOME_AFRESH_WAIT: a condition of the case's own on what the client
  # gives afresh (a route the next advertisement brings), split into words.
  # shellcheck disable=SC2086
  [ -z "${LAB_HOME_AFRESH_WAIT:-}" ] || wait_until 15 $LAB_HOME_AFRESH_WAIT
}
