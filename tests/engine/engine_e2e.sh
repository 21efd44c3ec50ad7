#!/bin/bash
# The whole tunnel through the engine: the real route helper (installed
# set-user-id root at its fixed path in a private mount namespace), the lab's
# stand-in core as /opt/quon_vpn/xray, and the lab network of
# lab/topology.sh (drawn in full there):
#
#   desktop (sandbox netns) --- router --- vpn server --- internet
#   engine_driver, pathwarden     (no route    server core     1.1.1.1 HTTPS
#   quon_vpn0 = client core       onwards)     198.18.0.1/30   cp.cloudflare.com HTTP
#
# "start" brings quon_vpn0 up and the helper sends the machine's traffic
# into it, keeping the vpn server on the old gateway;
# "check" reaches the probe endpoints through the tunnel; "stop" gives the
# old routes back and quon_vpn0 goes away. The engine runs as an ordinary
# user, as the desktop runner does: the helper gets root from its set-user-id
# install, the core creates quon_vpn0 through its file capability.
#
# Then the ways a tunnel loses its core or its runner: the core killed while
# the tunnel is up (the next "isRunning" gives the network back), and the
# runner killed (its watcher ends the core and gives the network back).
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/engine/lab_setup.sh"
engine_lab_as_user
config=$ENGINE_LAB_CONFIG

before=$(routes)
assert_contains "$before" "default via $LAB_DESKTOP_GW_V4" "IPv4 default route before start"

driver_start

engine start "$config"
assert_contains "$answer" "start ok " "start"
assert_contains "$answer" "xray started on Linux" "start answer"
lab_link_up quon_vpn0 || fail "quon_vpn0 is not up after start"
assert_eq quon_vpn0 "$(route_dev 1.1.1.1)" "IPv4 traffic on the tunnel"
assert_eq quon_vpn0 "$(route_dev 2606:4700:4700::1111)" "IPv6 traffic on the tunnel"
assert_contains "$(ip route get "$LAB_VPN_V4")" "via $LAB_DESKTOP_GW_V4" "the vpn server through the old gateway"
[ -s /run/quon_vpn_route_state_linux.txt ] || fail "the helper saved no route state"
assert_eq "$(cat /tmp/quon_vpn-65534/quon_vpn_xray_config_runtime.json)" "$(cat "$config")" "runtime configuration"

engine running
assert_contains "$answer" "running ok" "isRunning after start"

engine check
assert_contains "$answer" "check ok " "checkTunnel"
assert_contains "$answer" "Linux tunnel validation succeeded via cloudflare-ip" "probe used"
# The first probe came through the tunnel: the endpoint saw the client's
# tunnel address.
assert_contains "$(cat "$LAB_WORK/probe.log")" "${LAB_TUN_CLIENT_V4%/*}" "probe endpoint log"

# With the first probe's address refused at the far end of the tunnel (the
# desktop's own routes do not apply to a socket bound to quon_vpn0), the
# second probe (by host name, plain HTTP, 204) proves the tunnel on its own.
pp lab_in "$LAB_NS_VPN" ip route add prohibit "$LAB_PROBE_TRACE_V4/32"
engine check
pp lab_in "$LAB_NS_VPN" ip route del prohibit "$LAB_PROBE_TRACE_V4/32"
assert_contains "$answer" "check ok " "checkTunnel by the second probe"
assert_contains "$answer" "Linux tunnel validation succeeded via cloudflare-http" "second probe used"
assert_contains "$(cat /tmp/quon_vpn-65534/quon_vpn_runner_native_linux.log)" \
  "tunnel probe failed name=cloudflare-ip exit=7" "first probe refused"

engine stop
assert_contains "$answer" "stop ok " "stop"
assert_contains "$answer" "xray stopped on Linux" "stop answer"
wait_until 5 lab_link_absent quon_vpn0 || fail "quon_vpn0 still there after stop"
assert_eq "$before" "$(routes)" "routes after stop"
[ ! -e /run/quon_vpn_route_state_linux.txt ] || fail "route state left after stop"

engine running
assert_contains "$answer" "running fail" "isRunning after stop"
engine check
assert_contains "$answer" "check fail " "checkTunnel after stop"
assert_contains "$answer" "Linux Xray process is not running" "checkTunnel after stop"

log=$(cat /tmp/quon_vpn-65534/quon_vpn_runner_native_linux.log)
assert_contains "$log" "[LINUX V2RAY] route helper action=start server=$LAB_VPN_HOST helper=/usr/local/libexec/quon_vpn/pathwarden" "native log"
assert_eq 65534 "$(stat -c %u /tmp/quon_vpn-65534/quon_vpn_runner_native_linux.log)" "native log owner"

# The core dies while the tunnel is up: quon_vpn0 and the default routes
# through it vanish. The next "isRunning" gives the old routing back.
engine start "$config"
assert_contains "$answer" "start ok " "start before the core is killed"
core=$(pid_of "$CORE") || fail "no core running"
pp kill -KILL "$core"
wait_until 5 lab_link_absent quon_vpn0 || fail "quon_vpn0 outlived its core"
engine running
assert_contains "$answer" "running fail" "isRunning after the core died"
[ "$answer_ms" -lt 2000 ] || fail "restoring took $answer_ms ms"
assert_eq "$before" "$(routes)" "routes right after isRunning"
[ ! -e /run/quon_vpn_route_state_linux.txt ] || fail "route state left"
engine error
assert_contains "$answer" "xray exited while the tunnel was up: " "error after the core died"
engine check
assert_contains "$answer" "Linux Xray process is not running" "checkTunnel after the core died"

# End of input destroys the engine: nothing of it stays behind.
driver_end
no_process "$HELPER" || fail "a route helper is still running"
no_process "$CORE" || fail "a core is still running"

# The runner is killed while the tunnel is up and nobody starts it again:
# its watcher ends the core and has the helper give the network back within
# 2 s, and nothing of the tunnel is left.
driver_start
engine start "$config"
assert_contains "$answer" "start ok " "start before the runner is killed"
core=$(pid_of "$CORE") || fail "no core running"
t0=$(date +%s%N)
pp kill -KILL "$driver_pid"
wait "$driver_pid" 2>/dev/null || true
network_back() { [ "$(routes)" = "$before" ]; }
wait_until 2 network_back || fail "the network is not back 2 s after the runner was killed: $(routes)"
echo "network back $((($(date +%s%N) - t0) / 1000000)) ms after the runner was killed"
wait_until 2 no_process "$CORE" || fail "the core outlived its runner"
wait_until 2 no_process "$WATCHER" || fail "the watcher outlived its work"
lab_link_absent quon_vpn0 || fail "quon_vpn0 outlived its core"
[ ! -e /run/quon_vpn_route_state_linux.txt ] || fail "route state left"
assert_contains "$(cat /tmp/quon_vpn-65534/quon_vpn_helper_runtime.log)" "[watcher] quon_vpn is gone" "the watcher's line"
# A new runner finds nothing to do and brings a tunnel up and down again.
driver_start
engine recover
assert_contains "$answer" "recover fail " "nothing to recover"
engine start "$config"
assert_contains "$answer" "start ok " "a new runner's start"
engine stop
assert_contains "$answer" "stop ok " "a new runner's stop after start"
assert_eq "$before" "$(routes)" "routes after the new runner's tunnel"
driver_end
no_process "$CORE" || fail "a core is still running"
# A stop on a clean machine looks at the state file and runs no helper.
driver_start
: >/tmp/quon_vpn-65534/quon_vpn_runner_native_linux.log
engine stop
assert_contains "$answer" "stop ok " "stop on a clean machine"
assert_not_contains "$(cat /tmp/quon_vpn-65534/quon_vpn_runner_native_linux.log)" "route helper" "helper on a clean machine"
driver_end
echo "PASS: start, check and stop as the desktop user; a dead core and a killed runner give the network back"
