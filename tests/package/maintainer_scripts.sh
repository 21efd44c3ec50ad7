#!/bin/bash
# packaging/deb/prerm and postrm as dpkg runs them, in a sandbox of mount and
# PID namespaces with a private tmpfs on /opt (no network: nothing here
# touches one). At the package's paths stand programs of the test's own:
#
#   /opt/quon_vpn/pathwarden       records how it was called; its stop
#                                  removes the record (exits STOP_STATUS)
#   /opt/quon_vpn/xray             a copy of sleep: the core
#   /opt/quon_vpn/quon_vpn_watch   a copy of sleep started with SIGTERM
#                                  ignored, as the real watcher ignores it
#   /run/quon_vpn_route_state_linux.txt   the helper's record of a tunnel
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
require_root
sandbox_check nonet

deb=$QUON_SOURCE_DIR/packaging/deb
home=/opt/quon_vpn
state=/run/quon_vpn_route_state_linux.txt
calls=/run/helper-calls
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  umount /opt 2>/dev/null || true
}
trap cleanup EXIT
mount -t tmpfs -o mode=755 tmpfs /opt
mkdir -p "$home"

install_helper() {
  cat >"$home/pathwarden" <<EOS
#!/bin/sh
echo "\$*" >>$calls
rm -f $state
exit \${STOP_STATUS:-0}
EOS
  chmod 755 "$home/pathwarden"
}
install_helper
cp "$(command -v sleep)" "$home/xray"
cp "$(command -v sleep)" "$home/quon_vpn_watch"

# start_core [ignore-term] / start_watcher: pid in LAST.
LAST=
start_core() {
  if [ "${1:-}" = ignore-term ]; then
    (trap '' TERM; exec "$home/xray" 300) &
  else
    "$home/xray" 300 &
  fi
  LAST=$!
  pids+=("$LAST")
}
start_watcher() {
  (trap '' TERM; exec "$home/quon_vpn_watch" 300) &
  LAST=$!
  pids+=("$LAST")
}
# Running, not a zombie waiting for this shell.
running() { kill -0 "$1" 2>/dev/null && [ "$(ps -o stat= -p "$1" | cut -c1)" != Z ]; }
gone() { ! running "$1"; }
record() {
  printf 'ipv4_valid=1\nipv4_iface=eth0\nipv4_gateway=192.0.2.1\nserver_ipv4=%s\nserver_ipv6=%s\nversion=3\n' \
    "$1" "$2" >"$state"
}

# An upgrade leaves a connected tunnel alone: no helper, core and watcher on.
record 203.0.113.80 ""
start_core
core=$LAST
start_watcher
watcher=$LAST
rm -f "$calls"
sh "$deb/prerm" upgrade 1.0.0+1 || fail "prerm upgrade failed"
[ ! -e "$calls" ] || fail "prerm upgrade ran the helper: $(cat "$calls")"
[ -e "$state" ] || fail "prerm upgrade removed the record"
if gone "$core" || gone "$watcher"; then fail "prerm upgrade ended the core or the watcher"; fi
sh "$deb/postrm" upgrade 1.0.0+1 || fail "postrm upgrade failed"
if gone "$core" || gone "$watcher"; then fail "postrm upgrade ended the core or the watcher"; fi

# Removal: the helper's stop as root with the first recorded server address,
# then the core ends; the watcher waits for postrm.
record 203.0.113.80,203.0.113.81 2001:db8::80
out=$(sh "$deb/prerm" remove 2>&1) || fail "prerm remove failed: $out"
assert_eq "stop 203.0.113.80" "$(cat "$calls")" "the helper's call"
assert_contains "$out" "giving the network back" "prerm's words"
wait_until 2 gone "$core" || fail "prerm remove left the core running"
running "$watcher" || fail "prerm ended the watcher while its program can still be started again"

# The address of the other family when IPv4 has none; no address at all
# still needs no name lookup.
for case in ",2001:db8::80 2001:db8::80" ", 0.0.0.0"; do
  read -r servers want <<<"$case"
  record "${servers%%,*}" "${servers#*,}"
  rm -f "$calls"
  sh "$deb/prerm" remove >/dev/null 2>&1 || fail "prerm remove failed"
  assert_eq "stop $want" "$(cat "$calls")" "the helper's call for servers [$servers]"
done

# No record: nothing to give back, the helper is not run.
rm -f "$calls"
sh "$deb/prerm" remove >/dev/null || fail "prerm remove without a record failed"
[ ! -e "$calls" ] || fail "the helper ran without a record"

# A stop that fails does not stop the removal, and says so.
record 203.0.113.80 ""
out=$(STOP_STATUS=18 sh "$deb/prerm" remove 2>&1) || fail "prerm remove failed with the helper's failure"
assert_contains "$out" "stop failed (status 18)" "prerm's words on the failed stop"

# A core that ignores SIGTERM gets SIGKILL after its grace.
start_core ignore-term
core=$LAST
t0=$SECONDS
sh "$deb/prerm" remove >/dev/null || fail "prerm remove failed"
wait_until 3 gone "$core" || fail "a core that ignores SIGTERM outlived prerm"
[ $((SECONDS - t0)) -le 10 ] || fail "prerm took $((SECONDS - t0)) s for a stuck core"

# dpkg removes the files, then postrm: the watcher (SIGTERM ignored, its
# program deleted) ends, and so does a core started meanwhile; the lock goes.
rm -f "$home/quon_vpn_watch" "$home/pathwarden"
start_core
core=$LAST
: >/run/quon_vpn_pathwarden.lock
sh "$deb/postrm" remove || fail "postrm remove failed"
wait_until 2 gone "$watcher" || fail "postrm remove left the watcher"
wait_until 2 gone "$core" || fail "postrm remove left a core"
[ ! -e /run/quon_vpn_pathwarden.lock ] || fail "postrm remove left the helper's lock"
[ -e "$home/xray" ] || fail "postrm remove took the core's program, which only purge removes"

# Purge: the core the setup placed and the home itself.
record 203.0.113.80 ""
sh "$deb/postrm" purge || fail "postrm purge failed"
[ ! -e "$home" ] || fail "postrm purge left $home: $(ls -la "$home")"
[ ! -e "$state" ] || fail "postrm purge left the record"

# Unknown arguments are refused, as dpkg expects.
! sh "$deb/prerm" frobnicate 2>/dev/null || fail "prerm took an unknown argument"
! sh "$deb/postrm" frobnicate 2>/dev/null || fail "postrm took an unknown argument"
echo "PASS"
