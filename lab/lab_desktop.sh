# shellcheck shell=bash
# The lab's desktop: the product installed as a user installs it, a real
# systemd-resolved on a private system bus, a private X display, and the
# runner run as an ordinary user and driven through its control socket.
# Sourced by scripts/lab.sh after tests/lib/common.sh and lab/topology.sh,
# inside the sandbox (every function checks that first), once
# lab_topology_up has run.
#
#   lab_install_product      cmake --install into private /opt, /usr/local and
#                            /usr/share/applications, then the two below
#   lab_install_standin      the stand-in embedding and quonctl into the bundle
#   lab_install_core         the stand-in core with cap_net_admin;
#                            /dev/net/tun usable by the user
#   lab_resolved_up [no-resolvectl]
#                            dbus-daemon + systemd-resolved; resolvectl where
#                            the helper's safe PATH finds it (or nowhere)
#   lab_display_up           a private Xvfb; its display in LAB_DISPLAY
#   lab_runner_up            the installed runner as nobody, with the control
#                            socket; its pid in LAB_RUNNER_PID (the program:
#                            LAB_RUNNER_PROGRAM, else the bundle's quon_vpn)
#   lab_ctl METHOD [JSON]    quonctl as nobody; answer in LAB_ANSWER, status
#                            in LAB_CTL_RC
#   lab_snapshot FILE        routing tables and resolved's per-link settings,
#                            one "kind name field=value" line each
#   second_launch, a_still_connected, network_back, ...
#                            a second desktop of the same or another user, and
#                            the judgements of the cases with more than one
#                            runner (at the end of this file)

# The LAB_* variables are for scripts/lab.sh, which sources this file.
# shellcheck disable=SC2034
# shellcheck source=../tests/lib/resolved.sh
. "$QUON_SOURCE_DIR/tests/lib/resolved.sh"
LAB_RESOLVED_ROOT=$RESOLVED_ROOT
LAB_USER_UID=65534
LAB_USER_RUN=/run/lab-user
LAB_USER_HOME=/tmp/lab-user-home
LAB_SOCKET=$LAB_USER_RUN/quon_vpn-control.sock
LAB_PREFIX_BUNDLE=/opt/quon_vpn
LAB_INSTALLED_HELPER=/usr/local/libexec/quon_vpn/pathwarden
LAB_INSTALLED_CORE=$LAB_PREFIX_BUNDLE/xray
LAB_STATE_FILE=/run/quon_vpn_route_state_linux.txt
LAB_DISPLAY=
LAB_XVFB_PID=
LAB_RUNNER_PID=
LAB_RUNNER_COUNT=0
LAB_ANSWER=
LAB_CTL_RC=
_LAB_RESOLVED_LIBDIR=

# The ordinary user: no groups, no privilege, an environment made from nothing
# but what a desktop session gives a program. The words go in front of a
# command (each program execs the next, so a background pid is the command's).
lab_user_argv() {
  # LAB_USER_GROUPS: supplementary groups (numbers, comma-separated) the
  # user is a member of; none by default.
  local groups=--clear-groups
  [ -z "${LAB_USER_GROUPS:-}" ] || groups=--groups=$LAB_USER_GROUPS
  LAB_USER_ARGV=(setpriv --reuid="$LAB_USER_UID" --regid="$LAB_USER_UID" "$groups"
    env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$LAB_USER_HOME"
    XDG_RUNTIME_DIR="$LAB_USER_RUN" DISPLAY="$LAB_DISPLAY"
    NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory)
  # A session bus, for the cases that give the desktop one.
  [ -z "${LAB_SESSION_BUS:-}" ] || LAB_USER_ARGV+=("DBUS_SESSION_BUS_ADDRESS=$LAB_SESSION_BUS")
}
lab_as_user() {
  lab_user_argv
  "${LAB_USER_ARGV[@]}" "$@"
}

# Installs as root into the sandbox's own /opt, /usr/local and
# /usr/share/applications (private tmpfs over the machine's), then checks
# that every installed file landed there.
lab_install_product() {
  sandbox_check net
  require_cmd cmake
  local d f
  for d in /opt /usr/local /usr/share/applications; do
    mount -t tmpfs -o mode=755 tmpfs "$d" || fail "lab: cannot mount a private $d"
  done
  rm -f "$QUON_BUILD_DIR/install_manifest.txt"
  cmake --install "$QUON_BUILD_DIR" >"$LAB_WORK/install.log" 2>&1 ||
    fail "lab: cmake --install failed: $(cat "$LAB_WORK/install.log")"
  lab_install_standin
  while read -r f; do
    case "$f" in
      /opt/* | /usr/local/* | /usr/share/applications/*) ;;
      *) fail "lab: cmake --install wrote $f outside the sandbox's private directories" ;;
    esac
  done < <(cat "$QUON_BUILD_DIR/install_manifest.txt" \
    "$QUON_BUILD_DIR/install_manifest_standin.txt"; echo)
  [ "$(stat -c '%U %a' "$LAB_INSTALLED_HELPER")" = "root 4755" ] ||
    fail "lab: the installed helper is not set-user-id root: $(stat -c '%U %a' "$LAB_INSTALLED_HELPER")"
  lab_install_core
}

# The stand-in embedding and quonctl (what QUON_INSTALL_STANDIN adds) into
# the installed bundle; the files are listed in install_manifest_standin.txt.
lab_install_standin() {
  sandbox_check net
  rm -f "$QUON_BUILD_DIR/install_manifest_standin.txt"
  cmake --install "$QUON_BUILD_DIR" --component standin >>"$LAB_WORK/install.log" 2>&1 ||
    fail "lab: cmake --install --component standin failed: $(cat "$LAB_WORK/install.log")"
}

# What the application's setup and a desktop add to the installed product:
# the core, able to create the TUN as the user; a TUN device the user may
# open; the user's home and runtime directory.
lab_install_core() {
  sandbox_check net
  require_cmd setcap getcap mknod
  install -m 755 "$QUON_BUNDLE_DIR/xray" "$LAB_INSTALLED_CORE"
  setcap cap_net_admin+ep "$LAB_INSTALLED_CORE" || fail "lab: setcap failed"
  # A desktop's /dev/net/tun is 0666; this machine's may not be.
  mkdir -p /run/lab-dev
  mknod -m 666 /run/lab-dev/tun c 10 200
  mount --bind /run/lab-dev/tun /dev/net/tun
  mkdir -p "$LAB_USER_HOME" "$LAB_USER_RUN"
  chown "$LAB_USER_UID:$LAB_USER_UID" "$LAB_USER_HOME" "$LAB_USER_RUN"
  chmod 700 "$LAB_USER_RUN"
}

# resolvectl of the unpacked systemd-resolved, for the lab's own look at it.
lab_resolvectl() {
  resolved_ctl "$@"
}

# lab_resolved_up [no-resolvectl]: the daemon on a private system bus; the
# home link gets the router as its DNS server, as DHCP would give it.
# With no-resolvectl, no resolvectl is anywhere the helper looks.
lab_resolved_up() {
  sandbox_check net
  resolved_start /run/lab-etc "$LAB_WORK/resolved.log" lab_spawn ||
    fail "lab: $RESOLVED_FAILURE"
  _LAB_RESOLVED_LIBDIR=$RESOLVED_LIBDIR
  if [ "${1:-}" = no-resolvectl ]; then
    resolved_hide_resolvectl || fail "lab: the machine's resolvectl could not be masked"
  else
    # /usr/local/sbin is on the helper's fixed PATH and private here.
    mkdir -p /usr/local/sbin
    resolved_write_resolvectl /usr/local/sbin/resolvectl ||
      fail "lab: resolvectl not written to /usr/local/sbin"
  fi
  local servers=()
  [ "$LAB_HOME_FAMILIES" != v6 ] && servers+=("${LAB_HOME_GW_V4:-$LAB_DESKTOP_GW_V4}")
  [ "$LAB_HOME_FAMILIES" != v4 ] && servers+=("${LAB_HOME_GW_V6:-$LAB_DESKTOP_GW_V6}")
  pp lab_resolvectl dns "$LAB_DESKTOP_IF" "${servers[@]}" ||
    fail "lab: resolvectl dns $LAB_DESKTOP_IF failed"
}

# A private X server; -ac lets the user's client connect.
lab_display_up() {
  sandbox_check net
  require_cmd Xvfb
  rm -f "$LAB_WORK/display"
  lab_spawn "$LAB_WORK/xvfb.log" bash -c \
    'exec Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp -ac 3>"$0"' \
    "$LAB_WORK/display"
  LAB_XVFB_PID=$LAB_LAST_PID
  wait_until 15 test -s "$LAB_WORK/display" ||
    fail "lab: Xvfb did not start: $(cat "$LAB_WORK/xvfb.log")"
  LAB_DISPLAY=:$(head -n 1 "$LAB_WORK/display")
}

# The installed runner as the ordinary user, listening on the control socket,
# with the lab's configuration in the panel's box.
lab_runner_up() {
  sandbox_check net
  LAB_RUNNER_COUNT=$((LAB_RUNNER_COUNT + 1))
  rm -f "$LAB_SOCKET"
  install -o "$LAB_USER_UID" -m 600 "$LAB_WORK/client.json" "$LAB_USER_HOME/config.json"
  lab_user_argv
  # LAB_RUNNER_EXTRA_ARGS: more arguments for the runner (the benchmark's
  # ballast for the stand-in embedding), split into words on purpose.
  # shellcheck disable=SC2086
  lab_spawn "$LAB_WORK/runner.$LAB_RUNNER_COUNT.log" "${LAB_USER_ARGV[@]}" \
    "${LAB_RUNNER_PROGRAM:-$LAB_PREFIX_BUNDLE/quon_vpn}" --control-socket="$LAB_SOCKET" \
    --config-file="$LAB_USER_HOME/config.json" ${LAB_RUNNER_EXTRA_ARGS:-}
  LAB_RUNNER_PID=$LAB_LAST_PID
  wait_until 20 test -S "$LAB_SOCKET" ||
    fail "lab: the runner opened no control socket: $(cat "$LAB_WORK/runner.$LAB_RUNNER_COUNT.log")"
}

# lab_ctl METHOD [JSON-ARGS]: one call through quonctl, as the user.
lab_ctl() {
  set +e
  LAB_ANSWER=$(lab_as_user "$LAB_PREFIX_BUNDLE/quonctl" --socket "$LAB_SOCKET" "$@" 2>&1)
  LAB_CTL_RC=$?
  set -e
  printf '%s %s -> %s %s\n' "quonctl" "$1" "$LAB_CTL_RC" "$LAB_ANSWER" >>"$LAB_WORK/ctl.log"
  return 0
}

# lab_start_args CONFIG: the "start" arguments the user interface sends.
lab_start_args() {
  /usr/bin/python3 -c 'import json, sys
print(json.dumps({"config_data": open(sys.argv[1]).read(),
                  "apps_filter_mode": "exclude", "selected_apps": []}))' "$1"
}

# Process ids whose executable is PATH (a pid namespace of our own: only the
# sandbox's processes are there).
lab_pids_of() {
  local want=$1 p
  for p in /proc/[0-9]*; do
    [ "$(readlink "$p/exe" 2>/dev/null)" = "$want" ] && echo "${p#/proc/}"
  done
  return 0
}

# lab_routes_and_rules: the routes of both families from every table and the
# policy rules of both families, one "route4 ...", "route6 ...", "rule4 ..."
# or "rule6 ..." line each. The countdown of a route learnt from a router
# advertisement ("expires 171sec") is left out.
lab_routes_and_rules() {
  ip -4 route show table all | sed 's/ *$//; s/^/route4 /'
  ip -6 route show table all | sed -E 's/ expires [0-9]+sec//; s/ *$//; s/^/route6 /'
  ip -4 rule | sed 's/ *$//; s/^/rule4 /'
  ip -6 rule | sed 's/ *$//; s/^/rule6 /'
}

# lab_snapshot FILE: what must come back exactly after a stop. Routes of both
# families from every table (main, local and any other), the policy rules of
# both families, the packet filter's rules, and for every link resolved
# knows: its DNS servers, routing domains, default-route flag and protocol
# settings (lab_routes_and_rules and lab_resolvectl), sorted.
lab_snapshot() {
  local out=$1 link field
  {
    lab_routes_and_rules
    # Packet filter rules, where nft is installed (none of the lab's own).
    if command -v nft >/dev/null; then nft list ruleset | sed 's/ *$//; s/^/nft /'; fi
    for link in $(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//'); do
      for field in dns domain default-route llmnr mdns dnssec dnsovertls; do
        printf 'resolved %s %s=%s\n' "$link" "$field" \
          "$(lab_resolvectl "$field" "$link" 2>&1 | sed 's/^Link [0-9]* ([^)]*): *//' | tr -s ' \n' ' ' | sed 's/ $//')"
      done
    done
  } | sort >"$out"
}

# lab_snapshot_diff BEFORE AFTER [KINDS]: nothing when equal (in the lines
# of KINDS, a regex of line kinds such as 'rule4|rule6'; all by default),
# else the lines that went ("-") and came ("+"), on one line; a tunnel link
# that is still there counts once, not once per route and DNS setting that
# comes with it.
lab_snapshot_diff() {
  local lines kinds=${3:-.*}
  lines=$(diff <(grep -E "^($kinds) " "$1") <(grep -E "^($kinds) " "$2") |
    sed -n 's/^< /-/p; s/^> /+/p')
  if grep -q "^+.*$LAB_TUN_NAME" <<<"$lines"; then
    lines=$(grep -v "$LAB_TUN_NAME" <<<"$lines"
      echo "+$LAB_TUN_NAME still there with its routes and DNS settings")
  fi
  grep . <<<"$lines" | tr '\n' ';' | sed 's/;$//; s/;/; /g'
  return 0
}

# lab_write_user_config PATH [SERVER_HOST]: the configuration a user interface
# builds: a VLESS outbound with vnext and stream settings, direct and block
# outbounds, DNS, routing rules, and the tun inbound; plus the lab's own key
# with the tunnel addresses (the stand-in core ignores what it does not need).
lab_write_user_config() {
  local path=$1 host=${2:-$LAB_VPN_HOST}
  cat >"$path" <<EOF
{
  "log": {"loglevel": "warning", "access": "none"},
  "dns": {"servers": ["1.1.1.1", "8.8.8.8"], "queryStrategy": "UseIP"},
  "inbounds": [
    {"tag": "tun-in", "protocol": "tun",
     "settings": {"name": "$LAB_TUN_NAME", "MTU": 1500, "userLevel": 0},
     "sniffing": {"enabled": true, "destOverride": ["http", "tls", "quic"]}},
    {"tag": "socks-in", "protocol": "socks", "listen": "127.0.0.1", "port": 10808,
     "settings": {"auth": "noauth", "udp": true}}
  ],
  "outbounds": [
    {"tag": "proxy", "protocol": "vless",
     "settings": {"vnext": [{"address": "$host", "port": $LAB_VPN_PORT,
                             "users": [{"id": "6a1b1f7e-3c52-4d4e-9b0e-2f1d8f3c9a11",
                                        "encryption": "none",
                                        "flow": "xtls-rprx-vision", "level": 0}]}]},
     "streamSettings": {"network": "tcp", "security": "reality",
                        "realitySettings": {"serverName": "www.example.com",
                                            "fingerprint": "chrome",
                                            "publicKey": "Zm9yLXRoZS1sYWItb25seS1ub3QtYS1yZWFsLWtleQ",
                                            "shortId": "0123abcd", "spiderX": "/"}},
     "mux": {"enabled": false}},
    {"tag": "direct", "protocol": "freedom", "settings": {"domainStrategy": "UseIP"}},
    {"tag": "block", "protocol": "blackhole", "settings": {}}
  ],
  "routing": {
    "domainStrategy": "IPIfNonMatch",
    "rules": [
      {"type": "field", "ip": ["geoip:private"], "outboundTag": "direct"},
      {"type": "field", "domain": ["geosite:category-ads-all"], "outboundTag": "block"},
      {"type": "field", "network": "tcp,udp", "outboundTag": "proxy"}
    ]
  },
  "labStandIn": {"tunAddresses": ["$LAB_TUN_CLIENT_V4", "$LAB_TUN_CLIENT_V6"]}
}
EOF
}

# ------------------------------------------------ a second desktop, A's ---
# What the fault cases with more than one runner share: another session of
# the same user or another user's (as_desktop, second_launch and its
# helpers), whether A, the runner the case starts, is still connected, and
# whether the network is given back once nobody is left to do it.

# The runner of another session of the same user, or of another user: its
# pid, its control socket and its log.
SECOND_PID=
SECOND_SOCKET=
SECOND_LOG=

# as_desktop UID RUNTIME_DIR HOME SOCKET COMMAND...: COMMAND with the lab's
# user functions (lab_as_user, lab_ctl, ctl, lab_runner_up) pointed at
# another session or user; A's runner pid is left as it is.
as_desktop() {
  local LAB_USER_UID=$1 LAB_USER_RUN=$2 LAB_USER_HOME=$3 LAB_SOCKET=$4
  local LAB_RUNNER_PID=$LAB_RUNNER_PID
  shift 4
  "$@"
}

# A directory of a user's own, closed to others, as a session gives one.
private_dir() {
  mkdir -p "$2"
  chown "$1:$1" "$2"
  chmod 700 "$2"
}

# second_launch UID RUNTIME_DIR HOME: the installed app launched once more
# as UID, with its own control socket (in /run/lab-second, the lab's own
# way in; the app's files go where RUNTIME_DIR leads it). An empty
# RUNTIME_DIR is a session without XDG_RUNTIME_DIR (su, ssh, cron).
second_launch() {
  private_dir "$1" /run/lab-second
  [ -z "$2" ] || private_dir "$1" "$2"
  private_dir "$1" "$3"
  SECOND_SOCKET=/run/lab-second/quon_vpn-control.sock
  SECOND_LOG=$LAB_WORK/runner.second.log
  rm -f "$SECOND_SOCKET"
  install -o "$1" -m 600 "$LAB_WORK/client.json" "$3/config.json"
  as_desktop "$1" "$2" "$3" "$SECOND_SOCKET" lab_user_argv
  lab_spawn "$SECOND_LOG" "${LAB_USER_ARGV[@]}" "$LAB_PREFIX_BUNDLE/quon_vpn" \
    --control-socket="$SECOND_SOCKET" --config-file="$3/config.json"
  SECOND_PID=$LAB_LAST_PID
  SECOND_ARGS=("$1" "$2" "$3" "$SECOND_SOCKET")
}
SECOND_ARGS=()

# second_ctl METHOD [JSON]: a call to the second runner, as its user.
second_ctl() { as_desktop "${SECOND_ARGS[@]}" ctl "$@"; }

second_up() {
  wait_until 20 test -S "$SECOND_SOCKET" ||
    why "the second runner opened no control socket: $(tail -n 5 "$SECOND_LOG")"
}

second_gone_or_open() { _lab_gone "$SECOND_PID" || test -S "$SECOND_SOCKET"; }

# The second runner ends as a desktop session ends it (SIGTERM: the same
# teardown as closing its window).
second_ends() {
  kill -TERM "$SECOND_PID" 2>/dev/null || true
  wait_until 20 gone "$SECOND_PID" || note "the second runner still alive 20 s after SIGTERM"
  wait "$SECOND_PID" 2>/dev/null || true
}

# ----------------------------------------------------- A, still connected ---

# A's tunnel is whole: its plain traffic of both families reaches the
# internet from the tunnel's address, and A answers as a connected runner.
a_still_connected() {
  local when=$1 fam
  for fam in -4 -6; do
    proof "$when: A's plain IPv${fam#-} traffic still arrives from the tunnel address" \
      through_tunnel "$fam"
  done
  ctl isRunning
  proof "$when: A's isRunning is true" answer_is 0 true
  ctl checkTunnel
  proof "$when: A's checkTunnel is true" answer_is 0 true
}

a_stops() {
  ctl stop
  proof "A's stop answers true" answer_is 0 true
}

# --------------------------------------------- the network given back ---

# Nothing of the tunnel is left: no quon_vpn0, no record, the routes and
# rules those before start.
network_back() {
  lab_link_absent "$LAB_TUN_NAME" && [ ! -e "$LAB_STATE_FILE" ] &&
    [ "$(lab_routes_and_rules | sort)" = "$(grep -E '^(route|rule)[46] ' "$LAB_WORK/before.snap")" ]
}

# back_within MS T0: the network is back at most MS milliseconds after T0
# (an EPOCHREALTIME); BACK_MS is when it was seen back.
BACK_MS=
back_within() {
  local limit=$1 t0=$2
  until network_back; do
    if [ "$(ms_since "$t0")" -gt "$limit" ]; then
      why "after $(ms_since "$t0") ms: $(lab_link_absent "$LAB_TUN_NAME" || echo "quon_vpn0 still there; ")$([ ! -e "$LAB_STATE_FILE" ] || echo "the route record still there; ")$(lab_snapshot_diff "$LAB_WORK/before.snap" <(lab_routes_and_rules | sort) 'route4|route6|rule4|rule6')"
      return 1
    fi
    sleep 0.05
  done
  BACK_MS=$(ms_since "$t0")
  note "network back ${BACK_MS} ms after the kill"
}

watcher_pids() {
  local p
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = quon_vpn_watch ] && echo "${p#/proc/}"
  done
  return 0
}

# watcher_replaced_or_tunnel_down PIDS: another watcher than PIDS runs, or
# the tunnel is down.
watcher_replaced_or_tunnel_down() {
  local others
  others=$(watcher_pids | grep -vxF "$1")
  [ -n "$others" ] || lab_link_absent "$LAB_TUN_NAME"
}

# No core, watcher or helper of the dead runner runs on.
nothing_left() {
  local left
  left="$(lab_pids_of "$LAB_INSTALLED_CORE") $(watcher_pids) $(lab_pids_of "$LAB_INSTALLED_HELPER")"
  [ -z "${left// /}" ] || why "still running: pids$left"
}
