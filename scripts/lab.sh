#!/bin/bash
# The lab: the whole product installed and used as a desktop user uses it,
# inside a sandbox of mount, PID and network namespaces made for the run and
# gone after it. Nothing reaches the machine's own network, /tmp, /run, /opt
# or /usr/local.
#
#   sudo bash scripts/lab.sh            build, install, start/check/stop, proofs
#   sudo bash scripts/lab.sh --faults   the fault matrix, each case in a clean sandbox
#   sudo bash scripts/lab.sh --bench    latency and main-loop stall report (JSON)
#
# Options: --case NAME (one case of the matrix alone), --no-deps (skip
# scripts/install-deps.sh), --no-build (use the built tree as it is),
# --static-home (plain static default routes at home instead of DHCP-style
# ones, to tell their effect from the rest). Results go to
# build/default/lab/: the screenshot lab-window.png, faults.txt, bench.json,
# and the full log of each run.
#
# Inside the sandbox (lab/topology.sh draws the network):
#   desktop   the installed runner as user nobody under a private Xvfb, the
#             installed set-user-id helper, systemd-resolved on a private bus
#   router    the home router: IPv4 and IPv6, DHCP-style default routes
#   vpn       the stand-in core's far end
#   internet  the probe endpoints and a name server; records every client
set -euo pipefail

usage() {
  sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}

mode=main
case_name=
deps=1
build=1
inner=0
while [ $# -gt 0 ]; do
  case "$1" in
    --faults) mode=faults ;;
    --bench) mode=bench ;;
    --no-deps) deps=0 ;;
    --no-build) build=0 ;;
    --static-home) export LAB_STATIC_HOME=1 ;;
    --inner) inner=1 ;;
    --case) mode=case; case_name=${2:?--case needs a name}; shift ;;
    -h | --help) usage ;;
    *) echo "lab.sh: unknown argument $1" >&2; usage ;;
  esac
  shift
done

root=$(cd "$(dirname "$0")/.." && pwd)
# Every case of the fault matrix; "must" cases have to give the network back
# exactly, "info" cases only record what happens.
FAULT_CASES=(
  runner-sigkill:must runner-sigterm:must runner-display-lost:must
  window-closed:must core-killed:must helper-killed:must
  start-twice:must stop-twice:must server-many-addresses:must
  home-ipv4-only:must home-ipv6-only:must no-resolvectl:must
  uplink-moved:info
)

# ---------------------------------------------------------------- outside ---
if [ "$inner" = 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "lab.sh: run as root (it installs packages and creates namespaces): sudo bash $0" >&2
    exit 1
  fi
  cd "$root"
  if [ "$deps" = 1 ]; then
    echo "== installing the dependencies (scripts/install-deps.sh)"
    bash scripts/install-deps.sh >/tmp/quon_vpn-lab-deps.log 2>&1 || {
      tail -n 30 /tmp/quon_vpn-lab-deps.log >&2
      echo "lab.sh: installing the dependencies failed" >&2
      exit 1
    }
  fi
  if [ "$build" = 1 ]; then
    echo "== building the default preset"
    bash scripts/build.sh default
  fi
  export QUON_SOURCE_DIR=$root QUON_BUILD_DIR=$root/build/default
  export QUON_BUNDLE_DIR=$QUON_BUILD_DIR/bundle
  export LAB_OUT=$QUON_BUILD_DIR/lab
  mkdir -p "$LAB_OUT/faults"
  echo "== ready after $SECONDS s; the sandbox comes next"
  sandbox() {
    "$root/tests/lib/sandbox.sh" --net -- bash "$root/scripts/lab.sh" --inner "$@"
  }
  case "$mode" in
    main) sandbox ;;
    bench) sandbox --bench ;;
    case) sandbox --case "$case_name" ;;
    faults)
      rm -f "$LAB_OUT"/faults/*.result
      status=0
      for entry in "${FAULT_CASES[@]}"; do
        name=${entry%%:*}
        echo "== fault case $name"
        sandbox --case "$name" || true
      done
      {
        printf '%-22s | %-24s | %s\n' "case" "network restored exactly" "how it differs"
        printf '%-22s-+-%-24s-+-%s\n' "----------------------" "------------------------" "---------------"
        for entry in "${FAULT_CASES[@]}"; do
          name=${entry%%:*}
          kind=${entry#*:}
          f=$LAB_OUT/faults/$name.result
          if [ -s "$f" ]; then
            IFS=$'\x1f' read -r restored differs note <"$f"
          else
            restored=no differs="the case did not finish (see $LAB_OUT/lab-$name.log)" note=
          fi
          label=$restored
          [ "$kind" = info ] && label="$restored (informational)"
          printf '%-22s | %-24s | %s\n' "$name" "$label" "${differs:--}${note:+ [$note]}"
          if [ "$kind" = must ] && [ "$restored" != yes ]; then status=1; fi
        done
      } >"$LAB_OUT/faults.txt"
      cat "$LAB_OUT/faults.txt"
      echo "fault matrix table: $LAB_OUT/faults.txt"
      exit $status
      ;;
  esac
  exit
fi

# ----------------------------------------------------------------- inside ---
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
sandbox_check net
require_root
require_cmd ip ss curl setpriv import python3
. "$QUON_SOURCE_DIR/lab/topology.sh"
. "$QUON_SOURCE_DIR/lab/lab_desktop.sh"

LAB_LOG=$LAB_OUT/lab-${case_name:-$mode}.log
: >"$LAB_LOG"
exec 3>&1 >>"$LAB_LOG" 2>&1
PROOFS_PASSED=0
PROOFS_FAILED=0
STEP_NO=0
STEP_T0=
STEP_NAME=

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
PROOF_WHY=
RUN_FINISHED=0
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
  fi
}
why() { PROOF_WHY=$*; return 1; }

# ctl METHOD [JSON]: one call as the user interface makes it, with a
# progress line on a terminal while the answer is awaited.
ctl() {
  local t0=$EPOCHREALTIME out=$LAB_WORK/ctl.out
  ( lab_ctl "$@"; printf '%s\n%s' "$LAB_CTL_RC" "$LAB_ANSWER" >"$out" ) &
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
  local dir=$LAB_OUT/${case_name:-$mode}-files f
  rm -rf "$dir"
  mkdir -p "$dir"
  [ -n "$LAB_WORK" ] || return 0
  for f in "$LAB_USER_RUN"/quon_vpn/quon_vpn_*.log "$LAB_WORK"/*.log "$LAB_WORK"/*.snap; do
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
trap on_exit EXIT

# The sandbox's network and hosts, the installed product, resolved, the
# display and the runner; the case's home is set by the LAB_HOME_* values.
setup() {
  local resolvectl=${1:-with-resolvectl}
  step "sandbox network: desktop, home router, vpn server, internet"
  LAB_HOME_DHCP=1
  [ "${LAB_STATIC_HOME:-}" = 1 ] && LAB_HOME_DHCP=0
  lab_topology_up
  # lab_topology_up traps its own cleanup; on_exit keeps the logs, then calls it.
  trap on_exit EXIT
  lab_start_vpn_server
  lab_start_probes
  step_end "home $LAB_HOME_FAMILIES, id $LAB_ID"
  step "cmake --install as root into private /opt and /usr/local"
  lab_install_product
  step_end "helper $(stat -c '%U %a' "$LAB_INSTALLED_HELPER"), core $(getcap "$LAB_INSTALLED_CORE" | awk '{print $2}')"
  step "systemd-resolved on a private system bus"
  lab_resolved_up "$resolvectl"
  step_end "$([ "$resolvectl" = no-resolvectl ] && echo "no resolvectl for the helper" || echo "resolvectl in /usr/local/sbin")"
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

start_tunnel() { ctl start "$(cat "$LAB_WORK/start-args.json")"; }

# ------------------------------------------------------------ the proofs ---
route_via_home() {
  local fam=$1 addr=$2 gw=$3 got
  got=$(ip "$fam" route get "$addr" 2>&1)
  [[ "$got" == *"via $gw dev $LAB_DESKTOP_IF"* ]] || why "ip $fam route get $addr: $got"
}

# client_seen_from FAMILY URL WANT: a plain request bound to no interface,
# as the user; the internet host's record names its source address.
client_seen_from() {
  local fam=$1 url=$2 want=$3 nonce seen
  nonce=$RANDOM$RANDOM
  lab_as_user curl "$fam" -s -o /dev/null --max-time 5 "$url?lab=$nonce" ||
    { why "curl $fam $url failed"; return 1; }
  wait_until 3 grep -q "lab=$nonce" "$LAB_WORK/probe.log"
  seen=$(grep "lab=$nonce" "$LAB_WORK/probe.log" | awk '{print $3}' | head -n 1)
  [ "$seen" = "$want" ] || why "the internet host saw ${seen:-nothing}, expected $want"
}

dns_through_tunnel() {
  local status name out seen
  status=$(lab_resolvectl status "$LAB_TUN_NAME" 2>&1)
  [[ "$status" == *"DNS Domain: ~."* ]] || { why "quon_vpn0 has no ~. routing domain: $status"; return 1; }
  [[ "$status" == *"+DefaultRoute"* ]] || { why "quon_vpn0 is not a default DNS route: $status"; return 1; }
  name=lab-$RANDOM$RANDOM.example
  out=$(timeout 10 env LD_LIBRARY_PATH="$_LAB_RESOLVED_LIBDIR" \
    "$LAB_RESOLVED_ROOT/usr/bin/resolvectl" query -t A "$name" 2>&1) || { why "resolvectl query $name: $out"; return 1; }
  [[ "$out" == *"link: $LAB_TUN_NAME"* ]] || { why "answered on another link: $out"; return 1; }
  seen=$(grep " $name " "$LAB_WORK/probe.log" | awk '{print $3}' | head -n 1)
  [ "$seen" = "${LAB_TUN_CLIENT_V4%/*}" ] ||
    why "the internet's name server saw the query from ${seen:-nobody}"
}

old_link_dns_off() {
  local got
  got=$(lab_resolvectl default-route "$LAB_DESKTOP_IF" 2>&1)
  [[ "$got" == *": no" ]] || why "$got"
}

answer_is() {
  [ "$LAB_CTL_RC" = "$1" ] && [[ "$LAB_ANSWER" == *"$2"* ]] ||
    why "quonctl exit $LAB_CTL_RC, answer $LAB_ANSWER"
}

snapshot_equal() {
  lab_snapshot "$LAB_WORK/after.snap"
  SNAP_DIFF=$(lab_snapshot_diff "$LAB_WORK/before.snap" "$LAB_WORK/after.snap")
  echo "--- snapshot difference: ${SNAP_DIFF:-none}"
  [ -z "$SNAP_DIFF" ] || why "$SNAP_DIFF"
}

tunnel_gone() {
  wait_until 10 lab_link_absent "$LAB_TUN_NAME" || { why "quon_vpn0 still exists"; return 1; }
  [ ! -e "$LAB_STATE_FILE" ] || why "the route state file is still there"
}

# -------------------------------------------------------------- main run ---
run_main() {
  say "quon_vpn lab: the installed product, used by an ordinary user, in a sandbox"
  setup
  step "start through the channel (quonctl start)"
  start_tunnel
  local started=$EPOCHREALTIME
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
  proof "host route to the vpn server (IPv4) via the home router" \
    route_via_home -4 "$LAB_VPN_V4" "$LAB_DESKTOP_GW_V4"
  proof "host route to the vpn server (IPv6) via the home router" \
    route_via_home -6 "$LAB_VPN_V6" "$LAB_DESKTOP_GW_V6"
  { ip -4 route; ip -6 route; ip -s link show "$LAB_TUN_NAME"; } >"$LAB_WORK/routes-up.log" 2>&1
  proof "IPv4 traffic bound to no interface reaches the internet from the tunnel address" \
    client_seen_from -4 "http://$LAB_PROBE_HTTP_V4/generate_204" "${LAB_TUN_CLIENT_V4%/*}"
  proof "IPv6 traffic bound to no interface reaches the internet from the tunnel address" \
    client_seen_from -6 "http://[$LAB_PROBE_HTTP_V6]/generate_204" "${LAB_TUN_CLIENT_V6%/*}"
  proof "resolved sends every domain through quon_vpn0 (a query reaches the internet's name server from the tunnel)" \
    dns_through_tunnel
  proof "the home link's DNS default-route is off" old_link_dns_off
  proof "the helper ran set-user-id for user nobody" \
    grep -q "real uid=$LAB_USER_UID effective uid=0" "$LAB_USER_RUN/quon_vpn/quon_vpn_helper_runtime.log"
  step_end
  # For a look from outside (nsenter) while the tunnel is up: the run waits
  # as long as this file exists.
  while [ -e "$LAB_OUT/hold" ]; do sleep 1; done
  step "screenshot of the window while the tunnel is up"
  # The panel asks for the tunnel state every 3 s; one period after the
  # start answer it shows "Tunnel: connected".
  wait_until 5 elapsed_at_least "$started" 3200
  local shot=$LAB_OUT/lab-window.png
  DISPLAY=$LAB_DISPLAY import -window root "$shot"
  step_end "$shot"
  step "stop through the channel (quonctl stop)"
  ctl stop
  proof "stop answers true" answer_is 0 true
  step_end
  step "proofs after stop"
  proof "quon_vpn0 and the route state file are gone" tunnel_gone
  proof "routing tables and resolved's per-link settings equal the snapshot before start" \
    snapshot_equal
  ctl isRunning
  proof "isRunning is false" answer_is 0 false
  step_end
  say ""
  say "proofs: $PROOFS_PASSED passed, $PROOFS_FAILED failed"
  say "screenshot: $LAB_OUT/lab-window.png"
  say "full log: $LAB_LOG"
  RUN_FINISHED=1
  [ "$PROOFS_FAILED" = 0 ]
}

# ------------------------------------------------------------ fault cases ---
CASE_NOTE=
note() { CASE_NOTE="${CASE_NOTE:+$CASE_NOTE; }$*"; echo "note: $*"; }

gone() { ! kill -0 "$1" 2>/dev/null || _lab_gone "$1"; }

# What the runner's end left behind: the core must end with it, taking
# quon_vpn0 with it; the routes it had taken over come back only with the next
# runner's start or stop.
note_after_runner_end() {
  local what=$1
  if wait_until 10 lab_link_absent "$LAB_TUN_NAME"; then
    note "core ended with the runner ($what)"
  else
    note "tunnel left up after $what"
  fi
  ip -4 route show default | grep -q . || note "no IPv4 default until the next start or stop"
}

# A new runner, and the user's start and stop with it.
new_runner_start_stop() {
  lab_runner_up
  start_tunnel
  note "new runner start: exit $LAB_CTL_RC"
  ctl stop
  note "stop: exit $LAB_CTL_RC"
}

case_runner_killed() {
  local sig=$1
  kill "-$sig" "$LAB_RUNNER_PID"
  wait_until 10 gone "$LAB_RUNNER_PID" || note "runner still alive after SIG$sig"
  note_after_runner_end "SIG$sig"
  new_runner_start_stop
}

run_case() {
  local name=$1 resolvectl=with-resolvectl
  say "fault case: $name"
  case "$name" in
    home-ipv4-only) LAB_HOME_FAMILIES=v4 ;;
    home-ipv6-only) LAB_HOME_FAMILIES=v6 ;;
    no-resolvectl) resolvectl=no-resolvectl ;;
    server-many-addresses) LAB_SERVER_HOST=$LAB_VPN_MULTI_HOST ;;
  esac
  setup "$resolvectl"
  # The helper case begins with no tunnel: its fault is in the first start.
  if [ "$name" != helper-killed ]; then
    step "start"
    start_tunnel
    [ "$LAB_CTL_RC" = 0 ] || note "start failed: $(printf '%s' "$LAB_ANSWER" | tr -s '\n ' ' ' | head -c 120)"
    step_end
  fi
  step "the fault: $name"
  case "$name" in
    server-many-addresses | home-ipv4-only | home-ipv6-only | no-resolvectl)
      ctl checkTunnel
      note "checkTunnel: $LAB_ANSWER"
      ctl stop
      note "stop: exit $LAB_CTL_RC"
      ;;
    runner-sigkill) case_runner_killed KILL ;;
    runner-sigterm) case_runner_killed TERM ;;
    runner-display-lost)
      lab_stop_pid "$LAB_XVFB_PID"
      wait_until 15 gone "$LAB_RUNNER_PID" || note "runner still alive without its display"
      note_after_runner_end "the display went"
      lab_display_up
      new_runner_start_stop
      ;;
    window-closed)
      DISPLAY=$LAB_DISPLAY "$QUON_BUILD_DIR/lab/lab_close_window" quon_vpn
      wait_until 40 gone "$LAB_RUNNER_PID" || note "runner still running after its window closed"
      ;;
    core-killed)
      local core
      core=$(lab_pids_of "$LAB_INSTALLED_CORE")
      [ -n "$core" ] || note "no core running"
      [ -n "$core" ] && kill -KILL $core
      wait_until 10 lab_link_absent "$LAB_TUN_NAME" || note "quon_vpn0 still there after the core died"
      ctl isRunning
      note "isRunning after the core died: $LAB_ANSWER"
      ctl stop
      note "stop: exit $LAB_CTL_RC"
      ;;
    helper-killed)
      # A start whose helper is killed by root half-way: its state saved,
      # a host route to the server pinned, the default routes not yet moved.
      python3 - "$LAB_INSTALLED_HELPER" "$LAB_STATE_FILE" >"$LAB_WORK/helper-kill.out" 2>&1 <<'EOF' &
import os, signal, sys, time
helper, state = sys.argv[1], sys.argv[2]
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    for p in os.listdir("/proc"):
        if not p.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{p}/exe") != helper:
                continue
            argv = open(f"/proc/{p}/cmdline", "rb").read().split(b"\0")
        except OSError:
            continue
        if len(argv) > 1 and argv[1] == b"start":
            # Half-way: the state is saved and the first host route to the
            # server pinned (a /32 in the main table), the default routes
            # not yet moved.
            def pinned():
                with open("/proc/net/route") as f:
                    return any(line.split()[7] == "FFFFFFFF" for line in f.readlines()[1:])
            while not (os.path.exists(state) and pinned()) and time.monotonic() < deadline:
                time.sleep(0.0002)
            try:
                os.kill(int(p), signal.SIGKILL)
            except ProcessLookupError:
                print(f"helper {p} finished before it could be killed")
                sys.exit(1)
            print(f"killed helper {p} after it saved its state and pinned a host route")
            sys.exit(0)
    time.sleep(0.0005)
print("no helper start seen")
sys.exit(1)
EOF
      local killer=$!
      start_tunnel
      wait "$killer" || true
      note "$(cat "$LAB_WORK/helper-kill.out"); start: exit $LAB_CTL_RC"
      # The user, seeing the failure, presses stop.
      ctl stop
      note "stop: exit $LAB_CTL_RC"
      ;;
    start-twice)
      start_tunnel
      note "second start: exit $LAB_CTL_RC $(printf '%s' "$LAB_ANSWER" | tr -s '\n ' ' ' | head -c 120)"
      ctl stop
      ;;
    stop-twice)
      ctl stop
      ctl stop
      note "second stop: exit $LAB_CTL_RC"
      ;;
    uplink-moved)
      # The home's router moves to other addresses while the tunnel is up
      # (both families), and DHCP and router advertisements give the
      # desktop its new gateways; the old ones answer no more.
      local gw=192.0.2.254 gw6=2001:db8:1::254
      pp lab_in "$LAB_NS_ROUTER" ip addr add "$gw/24" dev "lr$LAB_ID"
      pp lab_in "$LAB_NS_ROUTER" ip addr add "$gw6/64" dev "lr$LAB_ID" nodad
      pp lab_in "$LAB_NS_ROUTER" ip addr del "$LAB_DESKTOP_GW_V4/24" dev "lr$LAB_ID"
      pp lab_in "$LAB_NS_ROUTER" ip addr del "$LAB_DESKTOP_GW_V6/64" dev "lr$LAB_ID"
      pp ip route del default via "$LAB_DESKTOP_GW_V4" dev "$LAB_DESKTOP_IF" proto dhcp metric 100 || true
      pp ip -6 route del default via "$LAB_DESKTOP_GW_V6" dev "$LAB_DESKTOP_IF" proto ra metric 600 || true
      lab_home_default_routes "$gw" "$gw6"
      pp ip neigh flush dev "$LAB_DESKTOP_IF"
      if lab_as_user curl -4 -s -o /dev/null --max-time 3 "http://$LAB_PROBE_HTTP_V4/generate_204"; then
        note "traffic still flows through the tunnel after the move"
      else
        note "traffic through the tunnel stops: the host route to the vpn server still points at the old gateway"
      fi
      ctl stop
      note "stop: exit $LAB_CTL_RC"
      # What the home now gives: the snapshot before, with the new gateway.
      sed -i "s/default via $LAB_DESKTOP_GW_V4 /default via $gw /; s/default via $LAB_DESKTOP_GW_V6 /default via $gw6 /" \
        "$LAB_WORK/before.snap"
      ;;
    *) fail "unknown fault case $name" ;;
  esac
  step_end
  step "comparison with the snapshot before start"
  wait_until 10 lab_link_absent "$LAB_TUN_NAME" || true
  local restored=yes
  snapshot_equal || restored=no
  [ -e "/sys/class/net/$LAB_TUN_NAME" ] && note "quon_vpn0 still exists"
  [ -e "$LAB_STATE_FILE" ] && note "route state file left in /run"
  step_end "restored exactly: $restored"
  # Fields apart by the unit separator: empty ones stay in place.
  printf '%s\x1f%s\x1f%s\n' "$restored" "${SNAP_DIFF:-}" "$CASE_NOTE" >"$LAB_OUT/faults/$name.result"
  say "  restored exactly: $restored${SNAP_DIFF:+ ($SNAP_DIFF)}${CASE_NOTE:+ [$CASE_NOTE]}"
  RUN_FINISHED=1
}

# -------------------------------------------------------------- benchmark ---
run_bench() {
  local runs=${LAB_BENCH_RUNS:-7}
  say "quon_vpn lab benchmark: $runs runs of start, checkTunnel and stop"
  setup
  step "benchmark ($runs runs)"
  python3 "$QUON_SOURCE_DIR/lab/lab_bench.py" "$LAB_SOCKET" "$LAB_WORK/start-args.json" \
    "$LAB_INSTALLED_HELPER" "$runs" "$LAB_OUT/bench.json" >"$LAB_WORK/bench.out" 2>&1 ||
    fail "benchmark failed: $(cat "$LAB_WORK/bench.out")"
  step_end
  cat "$LAB_WORK/bench.out" >&3
  say "report: $LAB_OUT/bench.json"
}

case "$mode" in
  main) run_main ;;
  case) run_case "$case_name" ;;
  bench) run_bench ;;
esac
