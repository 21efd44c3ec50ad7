# shellcheck shell=bash
# The lab's run inside the sandbox: numbered steps, proofs, the desktop's set-
# up, and the judgements the main path and the fault cases share. Sourced by
# scripts/lab.sh (--inner) after tests/lib/common.sh, lab/topology.sh,
# lab/lab_desktop.sh and lab/lab_home.sh; LAB_LOG names the run's log.

PROOFS_PASSED=0
PROOFS_FAILED=0
STEP_NO=0
STEP_T0=
STEP_NAME=
PROOF_WHY=
RUN_FINISHED=0
RUN_NAME=
SNAP_DIFF=

say() { printf '%s\n' "$*" >&3; }
ms_since() { echo $(((${EPOCHREALTIME/./} - ${1/./}) / 1000)); }
elapsed_at_least() { [ "$(ms_since "$1")" -ge "$2" ]; }

# step NAME: starts a numbered step; step_end closes it with its time.
step() {
  STEP_NO=$((STEP_NO + 1))
  STEP_NAME=$1
  STEP_T0=$EPOCHREALTIME
  echo "=== step $STEP_NO: $1"
}
step_end() {
  local ms
  ms=$(ms_since "$STEP_T0")
  printf '[%2d] %-58s %6d ms  %s\n' "$STEP_NO" "$STEP_NAME" "$ms" "${1:-done}" >&3
}

# proof NAME COMMAND...: one claim, PASS or FAIL, with the reason on failure.
proof() {
  local name=$1
  shift
  PROOF_WHY=
  if "$@"; then
    PROOFS_PASSED=$((PROOFS_PASSED + 1))
    printf '       PASS  %s\n' "$name" >&3
    echo "PASS $name"
  else
    PROOFS_FAILED=$((PROOFS_FAILED + 1))
    printf '       FAIL  %s%s\n' "$name" "${PROOF_WHY:+: $PROOF_WHY}" >&3
    echo "FAIL $name: $PROOF_WHY"
    CASE_FAILED="${CASE_FAILED:+$CASE_FAILED; }$name${PROOF_WHY:+: $PROOF_WHY}"
  fi
}
why() {
  PROOF_WHY=$*
  return 1
}

# ctl METHOD [JSON]: one call as the user interface makes it, with a
# progress line on a terminal while the answer is awaited.
ctl() {
  local t0=$EPOCHREALTIME out=$LAB_WORK/ctl.out
  (
    lab_ctl "$@"
    printf '%s\n%s' "$LAB_CTL_RC" "$LAB_ANSWER" >"$out"
  ) &
  local pid=$!
  if [ -t 3 ]; then
    while kill -0 "$pid" 2>/dev/null; do
      printf '\r       ... waiting for "%s" %d ms ' "$1" "$(ms_since "$t0")" >&3
      sleep 0.1
    done
    printf '\r%60s\r' "" >&3
  fi
  wait "$pid"
  LAB_CTL_RC=$(head -n 1 "$out")
  LAB_ANSWER=$(tail -n +2 "$out")
  CTL_MS=$(ms_since "$t0")
  printf '       quonctl %-22s %6d ms  exit %s  %s\n' "$1" "$CTL_MS" "$LAB_CTL_RC" \
    "$(printf '%s' "$LAB_ANSWER" | tr '\n' ' ' | cut -c1-90)" >&3
}

# The logs of the run, kept beside the report for a look afterwards.
keep_logs() {
  local dir=$LAB_OUT/$RUN_NAME-files f
  rm -rf "$dir"
  mkdir -p "$dir"
  [ -n "$LAB_WORK" ] || return 0
  for f in /tmp/quon_vpn_*.log "$LAB_USER_RUN"/quon_vpn/*.log "$LAB_WORK"/*.log \
    "$LAB_WORK"/*.snap "$LAB_WORK"/*.txt "$LAB_HOME_RUN"/*.log "$LAB_HOME_RUN"/*.out; do
    [ -f "$f" ] && cp "$f" "$dir/"
  done
  return 0
}

on_exit() {
  local rc=$?
  keep_logs
  # Failed proofs have said why already; anything else shows the log's end.
  if [ "$rc" -ne 0 ] && [ "$RUN_FINISHED" != 1 ]; then
    {
      echo "------ last lines of $LAB_LOG"
      tail -n 25 "$LAB_LOG"
      echo "------"
    } >&3
  fi
  lab_topology_down
  exit "$rc"
}

# One of the user's files, wherever this runner keeps them (its private
# runtime directory, or /tmp as older runners did).
user_file() {
  local f
  for f in "$LAB_USER_RUN/quon_vpn/$1" "/tmp/$1"; do
    [ -e "$f" ] && { echo "$f"; return 0; }
  done
  echo "/tmp/$1"
}

# The sandbox's network and hosts, the home's client, the installed product,
# resolved, the display and the runner.
setup() {
  local resolvectl=${1:-with-resolvectl}
  step "sandbox network: desktop, home router, vpn server, internet"
  # Read by lab/topology.sh.
  # shellcheck disable=SC2034
  if [ "${LAB_STATIC_HOME:-}" = 1 ]; then LAB_HOME_DHCP=0; else LAB_HOME_DHCP=1; fi
  lab_topology_up
  # lab_topology_up traps its own cleanup; on_exit keeps the logs, then calls it.
  trap on_exit EXIT
  lab_start_vpn_server
  lab_start_probes
  step_end "home $LAB_HOME_FAMILIES, id $LAB_ID"
  # LAB_INSTALL_STEPS: how the product gets there (lab/lab_package.sh
  # installs the Debian package instead).
  "${LAB_INSTALL_STEPS:-install_steps_cmake}"
  step "systemd-resolved on a private system bus"
  lab_resolved_up "$resolvectl"
  step_end "$([ "$resolvectl" = no-resolvectl ] && echo "no resolvectl for the helper" || echo "resolvectl in /usr/local/sbin")"
  if lab_home_managed; then
    step "the home's router (dnsmasq) and the desktop's client ($LAB_CLIENT)"
    lab_home_client_up
    step_end "$(ip -br addr show dev "$LAB_DESKTOP_IF" | awk '{$1=$2=""; print}' | sed 's/^ *//')"
  fi
  step "Xvfb and the installed runner as user nobody"
  lab_display_up
  lab_write_user_config "$LAB_WORK/client.json" "${LAB_SERVER_HOST:-$LAB_VPN_HOST}"
  lab_start_args "$LAB_WORK/client.json" >"$LAB_WORK/start-args.json"
  lab_runner_up
  step_end "display $LAB_DISPLAY, runner pid $LAB_RUNNER_PID uid $(awk '/^Uid:/{print $2}' "/proc/$LAB_RUNNER_PID/status")"
  lab_snapshot "$LAB_WORK/before.snap"
  echo "--- snapshot before start"
  cat "$LAB_WORK/before.snap"
}

install_steps_cmake() {
  step "cmake --install as root into private /opt and /usr/local"
  lab_install_product
  step_end "helper $(stat -c '%U %a' "$LAB_INSTALLED_HELPER"), core $(getcap "$LAB_INSTALLED_CORE" | awk '{print $2}')"
}

start_tunnel() { ctl start "$(cat "$LAB_WORK/start-args.json")"; }

# ------------------------------------------------------------ the proofs ---
route_via_home() {
  local fam=$1 addr=$2 gw=$3 got
  got=$(ip "$fam" route get "$addr" 2>&1)
  [[ "$got" == *"via $gw"*" dev $LAB_DESKTOP_IF "* ]] || why "ip $fam route get $addr: $got"
}

# The address the internet host saw for the last request_from call.
SEEN=
# request_from FAMILY: a plain request to the internet's probe, bound to no
# interface, as the user; SEEN is the source address the probe recorded, or
# empty when nothing reached it. Fails when no answer came back.
request_from() {
  local fam=$1 url nonce rc=0
  url=http://$LAB_PROBE_HTTP_V4/generate_204
  [ "$fam" = -6 ] && url=http://[$LAB_PROBE_HTTP_V6]/generate_204
  nonce=$RANDOM$RANDOM
  lab_as_user curl "$fam" -s -o /dev/null --max-time "${REQUEST_MAX_TIME:-3}" "$url?lab=$nonce" || rc=$?
  [ "$rc" = 0 ] && wait_until 3 grep -q "lab=$nonce" "$LAB_WORK/probe.log"
  SEEN=$(grep "lab=$nonce" "$LAB_WORK/probe.log" | awk '{print $3}' | head -n 1)
  return "$rc"
}

# client_seen_from FAMILY WANT: a plain request is answered and the internet
# host saw it come from WANT.
client_seen_from() {
  local fam=$1 want=$2
  request_from "$fam" || { why "curl $fam failed${SEEN:+ (the host saw $SEEN)}"; return 1; }
  [ "$SEEN" = "$want" ] || why "the internet host saw ${SEEN:-nothing}, expected $want"
}

tunnel_address() {
  if [ "$1" = -6 ]; then echo "${LAB_TUN_CLIENT_V6%/*}"; else echo "${LAB_TUN_CLIENT_V4%/*}"; fi
}

# through_tunnel FAMILY: within a few seconds, a plain request reaches the
# internet from the tunnel's address (the vpn server's pin follows the
# uplink and the tunnel carries traffic).
_through_tunnel_once() {
  REQUEST_MAX_TIME=2 request_from "$1" && [ "$SEEN" = "$(tunnel_address "$1")" ]
}
through_tunnel() {
  wait_until "${2:-5}" _through_tunnel_once "$1" ||
    why "no answer through the tunnel; last request seen from ${SEEN:-nobody}"
}

# nothing_answers FAMILY: a plain request gets no answer from outside and
# no packet of it reaches the internet from the home link.
nothing_answers() {
  if REQUEST_MAX_TIME=2 request_from "$1"; then
    why "answered; the internet host saw ${SEEN:-nothing}"
  elif [ -n "$SEEN" ]; then
    why "the internet host saw the request from $SEEN"
  fi
}

# from_home FAMILY: a plain request is answered from one of the home link's
# current addresses (the network works without the tunnel).
_from_home_once() {
  REQUEST_MAX_TIME=2 request_from "$1" &&
    ip "$1" addr show dev "$LAB_DESKTOP_IF" | grep -c "inet6\? $SEEN/" >/dev/null
}
from_home() {
  wait_until "${2:-5}" _from_home_once "$1" ||
    why "no answer from the home address; last request seen from ${SEEN:-nobody}"
}

# server_answers FAMILY: the vpn server answers a ping from the desktop.
server_answers() {
  local addr=$LAB_VPN_V4
  [ "$1" = -6 ] && addr=$LAB_VPN_V6
  wait_until "${2:-5}" ping "$1" -c 1 -W 1 "$addr" || why "ping $addr: no answer"
}

dns_through_tunnel() {
  local status name out seen
  status=$(lab_resolvectl status "$LAB_TUN_NAME" 2>&1)
  [[ "$status" == *"DNS Domain: ~."* ]] || {
    why "quon_vpn0 has no ~. routing domain: $status"
    return 1
  }
  [[ "$status" == *"+DefaultRoute"* ]] || {
    why "quon_vpn0 is not a default DNS route: $status"
    return 1
  }
  name=lab-$RANDOM$RANDOM.example
  out=$(timeout 10 env LD_LIBRARY_PATH="$_LAB_RESOLVED_LIBDIR" \
    "$LAB_RESOLVED_ROOT/usr/bin/resolvectl" query -t A "$name" 2>&1) || {
    why "resolvectl query $name: $out"
    return 1
  }
  [[ "$out" == *"link: $LAB_TUN_NAME"* ]] || {
    why "answered on another link: $out"
    return 1
  }
  seen=$(grep " $name " "$LAB_WORK/probe.log" | awk '{print $3}' | head -n 1)
  [ "$seen" = "${LAB_TUN_CLIENT_V4%/*}" ] ||
    why "the internet's name server saw the query from ${seen:-nobody}"
}

# A fresh name under the hostile home's pushed suffix: the tunnel's resolver
# (the internet's name server, from the tunnel's address) answers it, and
# the home router's query log never sees it.
suffix_name_through_tunnel() {
  local name out seen
  name=lab-$RANDOM$RANDOM.$LAB_HOSTILE_SUFFIX
  out=$(timeout 10 env LD_LIBRARY_PATH="$_LAB_RESOLVED_LIBDIR" \
    "$LAB_RESOLVED_ROOT/usr/bin/resolvectl" query -t A "$name" 2>&1 | tr -s '\n ' ' ')
  echo "resolvectl query $name: $out"
  if grep -qF "$name" "$LAB_HOME_RUN/dnsmasq.log"; then
    why "the home router was asked for $name: $out"
    return 1
  fi
  [[ "$out" == *"$LAB_PROBE_HTTP_V4"* ]] || {
    why "resolvectl query $name: $out"
    return 1
  }
  seen=$(grep " $name " "$LAB_WORK/probe.log" | awk '{print $3}' | head -n 1)
  [ "$seen" = "${LAB_TUN_CLIENT_V4%/*}" ] ||
    why "the internet's name server saw the query from ${seen:-nobody}"
}

# The home link's DNS settings (servers, domains, default-route flag, ...)
# are as before start: the tunnel's "~." already draws every query, and the
# home link's settings stay its manager's.
home_link_dns_untouched() {
  local diff
  lab_snapshot "$LAB_WORK/up.snap"
  diff=$(lab_snapshot_diff "$LAB_WORK/before.snap" "$LAB_WORK/up.snap" "resolved $LAB_DESKTOP_IF")
  [ -z "$diff" ] || why "$diff"
}

answer_is() {
  [ "$LAB_CTL_RC" = "$1" ] && [[ "$LAB_ANSWER" == *"$2"* ]] ||
    why "quonctl exit $LAB_CTL_RC, answer $(printf '%s' "$LAB_ANSWER" | tr -s '\n ' ' ')"
}

tunnel_gone() {
  wait_until 10 lab_link_absent "$LAB_TUN_NAME" || {
    why "quon_vpn0 still exists"
    return 1
  }
  [ ! -e "$LAB_STATE_FILE" ] || why "the route state file is still there"
}

# snapshot_equal [KINDS]: the snapshot now equals the one before start, in
# the lines of KINDS (a regex of line kinds; all by default).
snapshot_equal() {
  local kinds=${1:-.*}
  lab_snapshot "$LAB_WORK/after.snap"
  SNAP_DIFF=$(lab_snapshot_diff "$LAB_WORK/before.snap" "$LAB_WORK/after.snap" "$kinds")
  echo "--- snapshot difference: ${SNAP_DIFF:-none}"
  [ -z "$SNAP_DIFF" ] || why "$SNAP_DIFF"
}

# routes_as_the_client_gives: the routes after stop equal those the home's
# client gives the same network afresh (it lets go of the link and takes it
# again): nothing of the tunnel is left, and nothing of the client's is
# missing, stale or rewritten.
routes_as_the_client_gives() {
  lab_snapshot "$LAB_WORK/after.snap"
  lab_home_reconnect || {
    why "the $LAB_CLIENT client did not configure the link again"
    return 1
  }
  lab_snapshot "$LAB_WORK/client-afresh.snap"
  SNAP_DIFF=$(lab_snapshot_diff "$LAB_WORK/after.snap" "$LAB_WORK/client-afresh.snap" 'route4|route6')
  echo "--- routes after stop against the client's afresh: ${SNAP_DIFF:-none}"
  [ -z "$SNAP_DIFF" ] || why "after stop -> afresh: $SNAP_DIFF"
}

# The judgement after the user's stop that every fault case ends with: the
# tunnel and its record gone; the policy rules and resolved's per-link
# settings as before start; the routes as the home gives them now (on a
# static home: the snapshot before start, as the case has edited it; on a
# managed home: what its client gives afresh); and the home network works.
judge_after_stop() {
  local fam
  wait_until 10 lab_link_absent "$LAB_TUN_NAME" || true
  proof "quon_vpn0 and the route state file are gone" tunnel_gone
  for fam in $(home_families); do
    proof "after stop, IPv${fam#-} requests are answered from the home address" from_home "$fam"
  done
  if lab_home_managed; then
    proof "policy rules, packet filter rules and resolved's per-link settings equal the snapshot before start" \
      snapshot_equal 'rule4|rule6|nft|resolved'
    # Last: the client takes the link afresh for the comparison.
    proof "the routes are those the $LAB_CLIENT client gives the network now" \
      routes_as_the_client_gives
  else
    proof "routes, policy rules and resolved's per-link settings equal the snapshot before start" \
      snapshot_equal
  fi
}

home_families() {
  case "$LAB_HOME_FAMILIES" in
    v4) echo -4 ;;
    v6) echo -6 ;;
    *) echo -4 -6 ;;
  esac
}

# -------------------------------------------------------------- main run ---
run_main() {
  say "quon_vpn lab: the installed product, used by an ordinary user, in a sandbox (home: $LAB_HOME)"
  setup
  step "start through the channel (quonctl start)"
  start_tunnel
  local started=$EPOCHREALTIME gw4=$LAB_HOME_GW_V4 gw6=$LAB_DESKTOP_GW_V6
  proof "start answers true" answer_is 0 true
  step_end
  step "isRunning, checkTunnel, getLastNativeResponse"
  ctl isRunning
  proof "isRunning is true" answer_is 0 true
  ctl checkTunnel
  proof "checkTunnel is true" answer_is 0 true
  ctl getLastNativeResponse
  proof "last native response names the probe" answer_is 0 "Linux tunnel validation succeeded via"
  step_end
  step "proofs while the tunnel is up"
  # A managed home's IPv6 gateway is the router's link-local address.
  lab_home_managed && gw6=fe80::
  proof "the vpn server (IPv4) is reached through the home router" \
    route_via_home -4 "$LAB_VPN_V4" "$gw4"
  proof "the vpn server (IPv6) is reached through the home router" \
    route_via_home -6 "$LAB_VPN_V6" "$gw6"
  {
    ip -4 rule
    ip -6 rule
    ip -4 route show table all
    ip -6 route show table all
    ip -s link show "$LAB_TUN_NAME"
  } >"$LAB_WORK/routes-up.log" 2>&1
  proof "IPv4 traffic bound to no interface reaches the internet from the tunnel address" \
    client_seen_from -4 "$(tunnel_address -4)"
  proof "IPv6 traffic bound to no interface reaches the internet from the tunnel address" \
    client_seen_from -6 "$(tunnel_address -6)"
  proof "resolved sends every domain through quon_vpn0 (a query reaches the internet's name server from the tunnel)" \
    dns_through_tunnel
  proof "the home link's DNS settings are left as they were" home_link_dns_untouched
  if [ "$LAB_HOME" = hostile ]; then
    proof "a name under the suffix the home pushes is answered through the tunnel, not by the home" \
      suffix_name_through_tunnel
    proof "the LAN's router answers on its private IPv4 address" ping -c 1 -W 2 "$LAB_HOME_GW_V4"
    proof "the LAN's router answers on its private IPv6 address" ping -6 -c 1 -W 2 "$LAB_HOME_GW_V6"
  fi
  proof "the helper ran set-user-id for user nobody" \
    grep -q "real uid=$LAB_USER_UID effective uid=0" "$(user_file quon_vpn_helper_runtime.log)"
  step_end
  # For a look from outside (nsenter) while the tunnel is up: the run waits
  # as long as this file exists.
  while [ -e "$LAB_OUT/hold" ]; do sleep 1; done
  step "screenshot of the window while the tunnel is up"
  # The panel asks for the tunnel state every 3 s; one period after the
  # start answer it shows "Tunnel: connected".
  wait_until 5 elapsed_at_least "$started" 3200
  local shot=$LAB_OUT/lab-window.png
  [ "$LAB_HOME" = static ] || shot=$LAB_OUT/lab-window-$LAB_HOME.png
  DISPLAY=$LAB_DISPLAY import -window root "$shot"
  step_end "$shot"
  step "stop through the channel (quonctl stop)"
  ctl stop
  proof "stop answers true" answer_is 0 true
  step_end
  step "proofs after stop"
  judge_after_stop
  ctl isRunning
  proof "isRunning is false" answer_is 0 false
  step_end
  say ""
  say "proofs: $PROOFS_PASSED passed, $PROOFS_FAILED failed"
  say "screenshot: $shot"
  say "full log: $LAB_LOG"
  RUN_FINISHED=1
  [ "$PROOFS_FAILED" = 0 ]
}

# ------------------------------------------------------------ fault cases ---
CASE_NOTE=
CASE_FAILED=
LAB_CASE_NO_START=0
note() {
  CASE_NOTE="${CASE_NOTE:+$CASE_NOTE; }$*"
  echo "note: $*"
}

gone() { ! kill -0 "$1" 2>/dev/null || _lab_gone "$1"; }

# One case of the matrix on this sandbox's home; its result line (passed,
# what failed, notes; fields apart by the unit separator) goes to
# $LAB_OUT/faults/NAME@HOME.result.
run_case() {
  local name=$1 fn
  fn=${name//-/_}
  lab_case_known "$name" || fail "unknown fault case $name"
  say "fault case: $name (home: $LAB_HOME)"
  if declare -F "prepare_$fn" >/dev/null; then "prepare_$fn"; fi
  setup "${LAB_CASE_RESOLVECTL:-with-resolvectl}"
  if [ "$LAB_CASE_NO_START" != 1 ]; then
    step "start"
    start_tunnel
    proof "start answers true" answer_is 0 true
    step_end
  fi
  step "the fault: $name"
  "case_$fn"
  step_end
  step "after stop"
  judge_after_stop
  step_end
  local passed=yes
  [ "$PROOFS_FAILED" = 0 ] || passed=no
  printf '%s\x1f%s\x1f%s\n' "$passed" "$(printf '%s' "$CASE_FAILED" | tr '\n' ' ')" \
    "$(printf '%s' "$CASE_NOTE" | tr '\n' ' ')" \
    >"$LAB_OUT/faults/$name@$LAB_HOME.result"
  say "  passed: $passed${CASE_FAILED:+ ($CASE_FAILED)}${CASE_NOTE:+ [$CASE_NOTE]}"
  RUN_FINISHED=1
}

# -------------------------------------------------------------- benchmark ---
run_bench() {
  local runs=${LAB_BENCH_RUNS:-7}
  say "quon_vpn lab benchmark: $runs runs of start, checkTunnel and stop"
  setup
  local rss
  rss="runner resident: $(awk '/^VmRSS:/{print $2, $3}' "/proc/$LAB_RUNNER_PID/status")${LAB_RUNNER_EXTRA_ARGS:+ ($LAB_RUNNER_EXTRA_ARGS)}"
  say "$rss"
  echo "$rss"
  step "benchmark ($runs runs)"
  python3 "$QUON_SOURCE_DIR/lab/lab_bench.py" "$LAB_SOCKET" "$LAB_WORK/start-args.json" \
    "$LAB_INSTALLED_HELPER" "$runs" "$LAB_OUT/bench.json" >"$LAB_WORK/bench.out" 2>&1 ||
    fail "benchmark failed: $(cat "$LAB_WORK/bench.out")"
  step_end
  cat "$LAB_WORK/bench.out" >&3
  say "report: $LAB_OUT/bench.json"
}
