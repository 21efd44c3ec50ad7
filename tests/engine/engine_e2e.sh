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
# "start" brings quon_vpn0 up and the helper moves the default routes onto
# it, keeping a host route to the vpn server through the old gateway;
# "check" reaches the probe endpoints through the tunnel; "stop" gives the
# old routes back and quon_vpn0 goes away. The engine runs here as root (the
# driver is started by the test); the helper is still run from its
# set-user-id install, as the runner runs it.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
require_root
sandbox_check net
require_cmd curl ip ss openssl
. "$QUON_SOURCE_DIR/lab/topology.sh"

. "$QUON_SOURCE_DIR/tests/engine/lab_setup.sh"
config=$ENGINE_LAB_CONFIG

routes() {
  { ip -4 route show; ip -6 route show; } | sort
}
before=$(routes)
assert_contains "$before" "default via $LAB_DESKTOP_GW_V4" "IPv4 default route before start"

coproc DRIVER_PROC { "$DRIVER" 2>&1; }
driver_pid=$DRIVER_PROC_PID
lab_on_exit "kill $driver_pid 2>/dev/null; wait $driver_pid 2>/dev/null"

# engine OP [ARG]: one operation; its answer line is left in $answer.
engine() {
  echo "$*" >&"${DRIVER_PROC[1]}"
  IFS= read -r -t 60 answer <&"${DRIVER_PROC[0]}" || fail "no answer to $*"
  echo "engine: $answer"
}

engine start "$config"
assert_contains "$answer" "start ok " "start"
assert_contains "$answer" "xray started on Linux" "start answer"
lab_link_up quon_vpn0 || fail "quon_vpn0 is not up after start"
now=$(routes)
assert_contains "$now" "default dev quon_vpn0" "IPv4 default route on the tunnel"
assert_contains "$(ip -6 route show default)" "dev quon_vpn0" "IPv6 default route on the tunnel"
assert_contains "$now" "$LAB_VPN_V4 via $LAB_DESKTOP_GW_V4" "host route to the vpn server"
assert_not_contains "$(ip -4 route show default)" "via $LAB_DESKTOP_GW_V4" "old IPv4 default route"
[ -s /run/quon_vpn_route_state_linux.txt ] || fail "the helper saved no route state"
assert_eq "$(cat /tmp/quon_vpn_xray_config_runtime.json)" "$(cat "$config")" "runtime configuration"

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
lab_in "$LAB_NS_VPN" ip route add prohibit "$LAB_PROBE_TRACE_V4/32"
engine check
lab_in "$LAB_NS_VPN" ip route del prohibit "$LAB_PROBE_TRACE_V4/32"
assert_contains "$answer" "check ok " "checkTunnel by the second probe"
assert_contains "$answer" "Linux tunnel validation succeeded via cloudflare-http" "second probe used"
assert_contains "$(cat /tmp/quon_vpn_runner_native_linux.log)" \
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

# End of input destroys the engine: nothing of it stays behind.
eval "exec ${DRIVER_PROC[1]}>&-"
wait "$driver_pid" || fail "engine_driver failed"
for p in /proc/[0-9]*; do
  comm=$(cat "$p/comm" 2>/dev/null || true)
  [ "$comm" != pathwarden ] || fail "a route helper is still running"
done
log=$(cat /tmp/quon_vpn_runner_native_linux.log)
assert_contains "$log" "[LINUX V2RAY] route helper action=start server=$LAB_VPN_HOST helper=/usr/local/libexec/quon_vpn/pathwarden" "native log"
echo "PASS: start, check and stop through the real route helper and the lab core"
