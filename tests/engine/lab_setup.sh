# Sourced by the engine's end-to-end tests and benchmark, inside the sandbox:
# checks that it is inside before anything changes, brings up the lab network
# with its probes and VPN server, installs the real helper (set-user-id root)
# and the lab core at their installed paths for this mount namespace alone,
# and writes the client configuration to $ENGINE_LAB_CONFIG.
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
require_root
sandbox_check net
require_cmd curl ip ss openssl
. "$QUON_SOURCE_DIR/lab/topology.sh"

DRIVER=$QUON_BUILD_DIR/tests/engine/engine_driver
for f in "$DRIVER" "$QUON_BUNDLE_DIR/pathwarden" "$QUON_BUNDLE_DIR/xray" \
  "$QUON_BUNDLE_DIR/quon_vpn_watch"; do
  [ -x "$f" ] || fail "not built: $f"
done

lab_topology_up
lab_start_probes
lab_start_vpn_server

mount -t tmpfs -o mode=755 tmpfs /usr/local
mount -t tmpfs -o mode=755 tmpfs /opt
lab_on_exit umount -l /opt
lab_on_exit umount -l /usr/local
mkdir -p /usr/local/libexec/quon_vpn /opt/quon_vpn
install -o root -g root -m 4755 "$QUON_BUNDLE_DIR/pathwarden" \
  /usr/local/libexec/quon_vpn/pathwarden
install -m 755 "$QUON_BUNDLE_DIR/xray" /opt/quon_vpn/xray
install -m 755 "$QUON_BUNDLE_DIR/quon_vpn_watch" /opt/quon_vpn/quon_vpn_watch

ENGINE_LAB_CONFIG=$LAB_WORK/client.json
lab_write_client_config "$ENGINE_LAB_CONFIG" "$LAB_VPN_HOST"

# engine_lab_as_user: what an installed desktop gives the user that the lab
# lacks, for this sandbox alone: the core may create the TUN device as an
# ordinary user (cap_net_admin on its file, /dev/net/tun open to all), and the
# lab's files are readable by that user. Then "as_user CMD..." runs CMD as
# nobody with a clean environment.
engine_lab_as_user() {
  require_cmd setpriv setcap
  pp setcap cap_net_admin+ep /opt/quon_vpn/xray
  mkdir -p /run/engine_dev
  pp mknod -m 666 /run/engine_dev/tun c 10 200
  pp mount --bind /run/engine_dev/tun /dev/net/tun
  lab_on_exit umount -l /dev/net/tun
  chmod 755 "$LAB_WORK"
  chmod 644 "$ENGINE_LAB_CONFIG"
}

as_user() {
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/ "$@"
}

# Another user of the machine, for files planted in /tmp.
as_other() {
  setpriv --reuid=12345 --regid=12345 --clear-groups "$@"
}

# A driver as the user (or as UID), answering on DRIVER_PROC:
# driver_start [UID]; engine OP...
driver_start() {
  local uid=${1:-65534}
  # exec: the coprocess is the driver itself, so its pid can be killed.
  coproc DRIVER_PROC {
    exec setpriv --reuid="$uid" --regid="$uid" --clear-groups \
      env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/ \
      "$DRIVER" 2>&1
  }
  driver_pid=$DRIVER_PROC_PID
  lab_on_exit "kill $driver_pid 2>/dev/null; wait $driver_pid 2>/dev/null"
}

# engine OP [ARG...]: one operation; its answer line is left in $answer and
# its time in milliseconds in $answer_ms. Lines that are not answers (a
# child writing to the driver's own output) are passed over.
engine() {
  local op=$1 line
  echo "$*" >&"${DRIVER_PROC[1]}"
  answer=
  while IFS= read -r -t 60 line <&"${DRIVER_PROC[0]}"; do
    case "$line" in
      "$op ok "* | "$op fail "*)
        answer=$line
        break
        ;;
      *) echo "driver output: $line" ;;
    esac
  done
  [ -n "$answer" ] || fail "no answer to $*"
  answer_ms=$(echo "$answer" | awk '{ print $3 }')
  echo "engine: $answer"
}

# Ends the driver: end of input destroys its engine.
driver_end() {
  eval "exec ${DRIVER_PROC[1]}>&-"
  wait "$driver_pid" || fail "engine_driver failed"
}

# The whole routing: the main table, the policy rules and the tunnel's own
# table, which the helper uses instead of changing the main table.
routes() {
  {
    ip -4 route show
    ip -6 route show
    ip -4 rule show
    ip -6 rule show
    ip -4 route show table all type unicast | grep -v ' table \(main\|local\)' || true
    ip -6 route show table all type unicast | grep -v ' table \(main\|local\)' || true
  } | sort
}

# The link the kernel sends a plain packet to ADDRESS out of.
route_dev() {
  ip route get "$1" 2>/dev/null | sed -n 's/.* dev \([^ ]*\).*/\1/p' | head -n1
}

# pid of a live process whose argument 0 is PROGRAM in this sandbox, or
# nothing. By path: the lab's vpn server runs the same core elsewhere.
pid_of() {
  local p argv0
  for p in /proc/[0-9]*; do
    argv0=$(tr '\0' '\n' <"$p/cmdline" 2>/dev/null | head -n1) || continue
    if [ "$argv0" = "$1" ] && ! grep -q '^State:.*Z' "$p/status" 2>/dev/null; then
      echo "${p#/proc/}"
      return 0
    fi
  done
  return 1
}
no_process() { ! pid_of "$1" >/dev/null; }
# True when process PID has no child at all, zombies included.
no_children_of() { [ -z "$(ps -o pid= --ppid "$1")" ]; }
CORE=/opt/quon_vpn/xray
HELPER=/usr/local/libexec/quon_vpn/pathwarden
WATCHER=/opt/quon_vpn/quon_vpn_watch
