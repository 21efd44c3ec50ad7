# shellcheck shell=bash
# The variables a prepare_ function sets are read by lab/lab_home.sh and
# lab/lab_run.sh.
# shellcheck disable=SC2034
# Fault cases: a home network that works against its user, pulling traffic
# or names out of the tunnel with what DHCP, router advertisements and a
# pushed search domain can do. Each runs on the hostile home (lab/lab_home.sh)
# with the client it names, and is judged from outside, from just before the
# start to just after the stop:
#   - a leak monitor (lab/leak_monitor.py) sends echoes to internet
#     addresses: a reply addressed to the tunnel's address went through
#     quon_vpn0, one addressed to a home address left through the home link;
#   - it also asks the stub resolver for a fresh name under the pushed suffix
#     every 50 ms: a name in the home router's query log reached the home's
#     DNS (one that arrives only after the stop, the resolver retrying a name
#     asked while up, is counted apart), a name at the internet's name server
#     from the tunnel's address went into quon_vpn0, and names must still
#     resolve, answered by the tunnel's resolver;
#   - the LAN's private router answers while up; the start and stop answers;
#     and the judgement after stop (lab/lab_run.sh).
# Sourced by lab/lab_cases.sh; run inside the sandbox by lab/lab_run.sh.

lab_case hostile-split-default hostile must \
  "dhcpcd gets option 121 with 0.0.0.0/1 and 128.0.0.0/1 via the router (and the default) at connect time"
lab_case hostile-renewal-route hostile must \
  "NetworkManager gets a public /24 via the router by option 121 at a renewal while the tunnel is up"
lab_case hostile-public-lan hostile must \
  "dhcpcd gets a public range (the internet host's own /24) as the LAN; the router answers ARP for it"
lab_case hostile-route-info hostile must \
  "NetworkManager gets a router advertisement with a route information option for a public IPv6 /64"
lab_case hostile-search-domain hostile must \
  "NetworkManager gives resolved the pushed public suffix; renewal, reapply, re-activation and carrier bounce while up"

# What the router pushes for the cases, as dnsmasq's option lines.
HOSTILE_SPLIT_ROUTES="option:classless-static-route,0.0.0.0/1,192.168.50.1,128.0.0.0/1,192.168.50.1,0.0.0.0/0,192.168.50.1"
HOSTILE_PUBLIC_ROUTE="option:classless-static-route,203.0.113.0/24,192.168.50.1,0.0.0.0/0,192.168.50.1"
HOSTILE_PUBLIC_PREFIX6=2001:db8:3::/64

# The times of the user's start and stop (EPOCHREALTIME), and where the
# router's query log stood at the stop.
T_START=
T_UP=
T_STOP=
T_DOWN=
DNS_LOG_AT_STOP=0
MONITOR_PID=
MONITOR_OUT=
# Times while up when the home link was changing: from the change until the
# client has the link again, and SETTLE_GRACE seconds more (a product that
# follows the link's DNS settings does so a moment after they change; during
# a carrier loss the tunnel cannot reach its server at all). Names asked
# then need not resolve; leaks count everywhere. "START END" pairs.
UNSETTLED=()
SETTLE_GRACE=1.5
CHANGE_T0=

# ---------------------------------------------------------- the monitor ---

# hostile_start ECHO_TARGET...: the monitor, then the user's start.
hostile_start() {
  MONITOR_OUT=$LAB_WORK/leak-monitor.txt
  lab_spawn "$LAB_WORK/leak-monitor.log" /usr/bin/python3 "$QUON_SOURCE_DIR/lab/leak_monitor.py" \
    --out "$MONITOR_OUT" --dns-suffix "$LAB_HOSTILE_SUFFIX" "${@/#/--echo=}"
  MONITOR_PID=$LAB_LAST_PID
  wait_until 5 grep -q started "$LAB_WORK/leak-monitor.log" ||
    fail "the leak monitor did not start: $(cat "$LAB_WORK/leak-monitor.log")"
  T_START=$EPOCHREALTIME
  start_tunnel
  T_UP=$EPOCHREALTIME
  proof "start answers true" answer_is 0 true
}

# hostile_stop: the user's stop, then the monitor's end and its judgement.
hostile_stop() {
  DNS_LOG_AT_STOP=$(_dns_log | wc -l)
  T_STOP=$EPOCHREALTIME
  ctl stop
  T_DOWN=$EPOCHREALTIME
  proof "stop answers true" answer_is 0 true
  proof "every run of the route helper succeeded (its log and the runner's name no failure)" \
    _helper_never_failed
  lab_stop_pid "$MONITOR_PID"
  [ -s "$MONITOR_OUT" ] || fail "the leak monitor wrote nothing: $(cat "$LAB_WORK/leak-monitor.log")"
  hostile_judge
}

# The route helper's statuses, as the runner and the core's watcher log
# them: the start's and stop's, and those of any run in between.
_helper_never_failed() {
  local bad
  bad=$(grep -hE 'route helper failed|\[watcher\]' "$(user_file quon_vpn_helper_runtime.log)" \
    "$(user_file quon_vpn_runner_native_linux.log)" 2>/dev/null | head -n 3 | tr '\n' ' ')
  [ -z "$bad" ] || why "$bad"
}

# observe SECONDS: the monitor goes on watching while nothing else happens
# (a window of observation, not a wait for a state).
observe() { sleep "$1"; }

# The router's log of the DNS queries it got.
_dns_log() { grep -F 'query[' "$LAB_HOME_RUN/dnsmasq.log" 2>/dev/null || true; }

# The monitor's lines of KIND (echo, dns) sent while the tunnel was up:
# after start answered, before stop was pressed.
_while_up() {
  awk -v k="$1" -v a="${T_UP}" -v b="${T_STOP}" '$1 == k && $3 >= a && $3 < b' "$MONITOR_OUT"
}
# The same, less those sent while the home link was changing.
_while_settled() {
  _while_up "$1" | awk -v o="${UNSETTLED[*]}" '
    BEGIN { n = split(o, t, " ") }
    { for (i = 1; i < n; i += 2) if ($3 >= t[i] && $3 < t[i + 1]) next; print }'
}
# change_begins [SECONDS_AGO] / change_settled: the bounds of a change of
# the home link.
change_begins() {
  CHANGE_T0=$(awk -v t="$EPOCHREALTIME" -v a="${1:-0}" 'BEGIN { printf "%.6f", t - a }')
}
change_settled() {
  UNSETTLED+=("$CHANGE_T0" "$(awk -v t="$EPOCHREALTIME" -v g="$SETTLE_GRACE" 'BEGIN { printf "%.6f", t + g }')")
}

hostile_judge() {
  local tun4 tun6 echoes total into out lost names asked home after_stop into_tun outside resolved
  local settled
  tun4=$(tunnel_address -4)
  tun6=$(tunnel_address -6)
  echoes=$(_while_up echo)
  total=$(grep -c . <<<"$echoes" || true)
  into=$(awk -v a="$tun4" -v b="$tun6" '$5 == a || $5 == b' <<<"$echoes" | grep -c . || true)
  lost=$(awk '$5 == "-"' <<<"$echoes" | grep -c . || true)
  out=$((total - into - lost))
  note "echoes while up: $total sent, $into through quon_vpn0, $out answered from outside the tunnel, $lost unanswered"
  proof "no echo sent while up is answered from outside the tunnel" \
    _none "$out" "$out of $total echoes were answered at a home address"
  proof "echoes sent while up go through quon_vpn0" _some "$into" "none of $total echoes came back through the tunnel"

  names=$LAB_WORK/names-up.txt
  _while_up dns | awk '{print $2}' >"$names"
  asked=$(grep -c . "$names" || true)
  # Names of the monitor that reached the home's DNS: before the stop was
  # pressed, and after (retries of names asked while up).
  home=$(_dns_log | head -n "$DNS_LOG_AT_STOP" | grep -oF -f "$names" | sort -u | grep -c . || true)
  after_stop=$(_dns_log | tail -n +"$((DNS_LOG_AT_STOP + 1))" | grep -oF -f "$names" | sort -u |
    grep -c . || true)
  into_tun=$(grep -F " dns $tun4 " "$LAB_WORK/probe.log" | grep -oF -f "$names" | sort -u | grep -c . || true)
  outside=$(grep ' dns ' "$LAB_WORK/probe.log" | grep -vF " dns $tun4 " | grep -oF -f "$names" |
    sort -u | grep -c . || true)
  # The tunnel's resolver (the internet's name server) answers every A
  # query with the probe's address.
  settled=$(_while_settled dns | grep -c . || true)
  resolved=$(_while_settled dns | awk -v a="$LAB_PROBE_HTTP_V4" '$4 == a' | grep -c . || true)
  note "names under .$LAB_HOSTILE_SUFFIX asked while up: $asked; at the home's DNS before stop $home, only after stop $after_stop; into quon_vpn0 $into_tun; at the internet's server from outside the tunnel $outside; answered by the tunnel's resolver $resolved of $settled asked while the home link was settled ($(_while_up dns | awk -v a="$LAB_PROBE_HTTP_V4" '$4 == a' | grep -c . || true) of $asked in all)"
  proof "no name asked while up reaches the home's DNS before stop" \
    _none "$home" "$home of $asked names were asked of the home router"
  proof "no name asked while up reaches a name server outside the tunnel" \
    _none "$outside" "$outside of $asked names reached the internet's server from a home address"
  # Names asked while the home link was settled must nearly all resolve,
  # through the tunnel.
  proof "names under the pushed suffix resolve while up, answered through the tunnel" \
    _most "$resolved" "$settled" "only $resolved of $settled names asked while the link was settled got the tunnel's answer"
}
_none() { [ "$1" = 0 ] || why "$2"; }
_some() { [ "$1" -gt 0 ] || why "$2"; }
_most() { [ "$2" -gt 0 ] && [ $(($1 * 10)) -ge $(($2 * 9)) ] || why "$3"; }

# The LAN's own router, on its private addresses, answers while up.
lan_answers() {
  local fam=$1 addr=$LAB_HOME_GW_V4
  [ "$fam" = -6 ] && addr=$LAB_HOME_GW_V6
  ping "$fam" -c 1 -W 2 "$addr" >/dev/null 2>&1 || why "ping $addr: no answer"
}
hostile_lan_proofs() {
  local fam
  for fam in "$@"; do
    proof "while up, the LAN's router answers on its private IPv${fam#-} address" lan_answers "$fam"
  done
}

# route_in_main FAMILY PREFIX WORDS: the main table has PREFIX, its line
# holding WORDS (the router as its gateway, the home link).
route_in_main() {
  ip "$1" route show table main "$2" | grep -qF -- "$3"
}

# -------------------------------------------------------------- cases ---

prepare_hostile_split_default() {
  LAB_CASE_NO_START=1 LAB_CLIENT=dhcp LAB_HOSTILE_OPTIONS=$HOSTILE_SPLIT_ROUTES
}
case_hostile_split_default() {
  proof "dhcpcd installed 128.0.0.0/1 via the router" \
    route_in_main -4 128.0.0.0/1 "via $LAB_HOME_GW_V4 dev $LAB_DESKTOP_IF"
  proof "dhcpcd installed 0.0.0.0/1 via the router" \
    route_in_main -4 0.0.0.0/1 "via $LAB_HOME_GW_V4 dev $LAB_DESKTOP_IF"
  hostile_start "$LAB_PROBE_TRACE_V4" "$LAB_PROBE_HTTP_V4"
  hostile_lan_proofs -4 -6
  observe 4
  hostile_stop
}

prepare_hostile_renewal_route() { LAB_CASE_NO_START=1 LAB_CLIENT=networkmanager; }
case_hostile_renewal_route() {
  hostile_start "$LAB_PROBE_HTTP_V4"
  observe 1
  # The router pushes the route from the next renewal on (T1 is 10 s).
  change_begins
  lab_home_set_options "$HOSTILE_PUBLIC_ROUTE"
  proof "NetworkManager installs 203.0.113.0/24 via the router at its renewal" \
    wait_until 25 route_in_main -4 203.0.113.0/24 "via $LAB_HOME_GW_V4 dev $LAB_DESKTOP_IF"
  change_settled
  note "the route came $(ms_since "$T_UP") ms after start answered"
  hostile_lan_proofs -4 -6
  observe 3
  hostile_stop
}

prepare_hostile_public_lan() {
  LAB_CASE_NO_START=1 LAB_CLIENT=dhcp
  lab_home_public_lan
}
case_hostile_public_lan() {
  proof "the internet host's address is on the LAN (on-link, no gateway)" \
    _on_link "$LAB_PROBE_HTTP_V4"
  proof "the router answers for it (proxy ARP): it answers a ping" \
    ping -c 1 -W 2 "$LAB_PROBE_HTTP_V4"
  hostile_start "$LAB_PROBE_HTTP_V4"
  # The LAN's IPv4 range is public here; its IPv6 one stays private.
  hostile_lan_proofs -6
  observe 4
  hostile_stop
}
_on_link() {
  local got
  got=$(ip route get "$1")
  [[ "$got" == *" dev $LAB_DESKTOP_IF "* && "$got" != *" via "* ]] || why "ip route get $1: $got"
}

prepare_hostile_route_info() { LAB_CASE_NO_START=1 LAB_CLIENT=networkmanager; }
case_hostile_route_info() {
  lab_spawn "$LAB_WORK/ra-sender.log" ip netns exec "$LAB_NS_ROUTER" /usr/bin/python3 \
    "$QUON_SOURCE_DIR/lab/ra_sender.py" "lr$LAB_ID" "$HOSTILE_PUBLIC_PREFIX6"
  proof "NetworkManager installs $HOSTILE_PUBLIC_PREFIX6 via the router" \
    wait_until 15 route_in_main -6 "$HOSTILE_PUBLIC_PREFIX6" "dev $LAB_DESKTOP_IF"
  # The client taken afresh after stop gets the route again at the next
  # advertisement.
  LAB_HOME_AFRESH_WAIT="route_in_main -6 $HOSTILE_PUBLIC_PREFIX6 $LAB_DESKTOP_IF"
  hostile_start "$LAB_PROBE_HTTP_V6"
  hostile_lan_proofs -4 -6
  observe 4
  hostile_stop
}

prepare_hostile_search_domain() { LAB_CASE_NO_START=1 LAB_CLIENT=networkmanager; }
case_hostile_search_domain() {
  local dev=lr$LAB_ID
  proof "resolved has the pushed suffix on the home link" _home_has_suffix
  hostile_start "$LAB_PROBE_TRACE_V4" "$LAB_PROBE_HTTP_V6"
  hostile_lan_proofs -4 -6
  observe 3
  # The renewal comes at the lease's T1, some seconds from now; the change
  # begins with it (seen in the log within a poll).
  lab_home_mark
  proof "the client renews" lab_home_wait_event 20 'dhcp4 \(.*state changed'
  change_begins 0.5
  _client_settles "the renewal"
  change_begins
  pp lab_nmcli device reapply "$LAB_DESKTOP_IF" || note "nmcli device reapply failed"
  _client_settles "the reapply"
  change_begins
  pp lab_nmcli connection up home || note "nmcli connection up failed"
  _client_settles "the re-activation"
  lab_home_mark
  change_begins
  _lab_must lab_in "$LAB_NS_ROUTER" ip link set "$dev" down
  wait_until 15 _client_let_go || note "NetworkManager did not notice the carrier loss"
  _lab_must lab_in "$LAB_NS_ROUTER" ip link set "$dev" up
  _client_settles "the carrier bounce"
  hostile_stop
}
_home_has_suffix() {
  local got
  got=$(lab_resolvectl domain "$LAB_DESKTOP_IF" 2>&1)
  [[ " $got " == *" $LAB_HOSTILE_SUFFIX "* ]] || why "resolvectl domain: $got"
}
# After a change of the link: NetworkManager has it again with the pushed
# suffix back in resolved, then a while of observation.
_client_settles() {
  proof "after $1, NetworkManager has the link again with the suffix" \
    wait_until 30 _nm_link_back
  change_settled
  observe 3
}
_nm_link_back() { _lab_nm_connected && lab_home_configured && _home_has_suffix; }
