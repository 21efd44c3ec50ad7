# shellcheck shell=bash
# A real systemd-resolved, unpacked (never installed) by scripts/deps/helper.sh,
# run inside the sandbox on a private system bus. Source it after
# tests/lib/common.sh, inside the sandbox.
#
#   resolved_start WORKDIR LOG [SPAWN]
#                        the user systemd-resolve (private passwd/group copies
#                        in WORKDIR, bound over /etc), a system bus with its
#                        configuration in WORKDIR, then the daemon with its
#                        output in LOG, waited for until resolvectl answers.
#                        SPAWN LOG COMMAND... starts the daemon in the
#                        background (default: resolved_spawn). On failure it
#                        returns 1 with the reason in RESOLVED_FAILURE, for
#                        the caller to report.
#   resolved_ctl ARGS    the unpacked resolvectl, for the test's own look
#   resolved_write_resolvectl PATH
#                        a resolvectl program at PATH that runs the unpacked
#                        one (for a program whose fixed PATH finds only that)
#   resolved_hide_resolvectl
#                        masks every resolvectl the machine itself has, for
#                        this mount namespace alone; returns 1 when it cannot

# The RESOLVED_* variables are for the callers.
# shellcheck disable=SC2034
RESOLVED_ROOT=${QUON_RESOLVED_CACHE:-/var/cache/quon_vpn-tests}/resolved
# The daemon's own private library, when it differs from the machine's; set
# by resolved_start.
RESOLVED_LIBDIR=
RESOLVED_FAILURE=

resolved_ctl() {
  LD_LIBRARY_PATH=$RESOLVED_LIBDIR "$RESOLVED_ROOT/usr/bin/resolvectl" "$@"
}

# resolved_spawn LOG COMMAND...: COMMAND in the background; the sandbox's
# PID namespace ends it with the test.
resolved_spawn() {
  local out=$1
  shift
  "$@" >"$out" 2>&1 &
}

resolved_write_resolvectl() {
  cat >"$1" <<EOF || return 1
#!/bin/sh
${RESOLVED_LIBDIR:+LD_LIBRARY_PATH=$RESOLVED_LIBDIR export LD_LIBRARY_PATH}
exec "$RESOLVED_ROOT/usr/bin/resolvectl" "\$@"
EOF
  chmod 755 "$1"
}

resolved_hide_resolvectl() {
  local p
  sandbox_check nonet
  for p in /usr/sbin/resolvectl /usr/bin/resolvectl /sbin/resolvectl /bin/resolvectl; do
    if [ -e "$p" ]; then
      : >/run/not-a-program &&
        mount --bind /run/not-a-program "$(readlink -f "$p")" || return 1
    fi
  done
}

# The daemon drops to the user systemd-resolve, which these machines lack:
# the sandbox gets one of its own, with a free id.
_resolved_user() {
  local dir=$1 uid
  cp /etc/passwd /etc/group "$dir/" || return 1
  if ! getent passwd systemd-resolve >/dev/null; then
    uid=990
    while getent passwd "$uid" >/dev/null || getent group "$uid" >/dev/null; do
      uid=$((uid - 1))
    done
    if [ "${QUON_SANDBOX_OVERLAY_ROOT:-}" = 1 ]; then
      # The sandbox's root is its own overlay: the user is added as an
      # administrator adds one, and groupadd and the like still work after.
      useradd --system --user-group --no-create-home --home-dir /run/systemd/resolve \
        --shell /usr/sbin/nologin systemd-resolve || return 1
    else
      echo "systemd-resolve:x:$uid:$uid::/run/systemd/resolve:/usr/sbin/nologin" >>"$dir/passwd" &&
        echo "systemd-resolve:x:$uid:" >>"$dir/group" &&
        mount --bind "$dir/passwd" /etc/passwd &&
        mount --bind "$dir/group" /etc/group || return 1
    fi
  fi
  chown systemd-resolve:systemd-resolve /run/systemd/resolve
}

# A sandbox has no one to keep out: everyone may own names and send and
# receive everything.
_resolved_bus_conf() {
  cat >"$1" <<'EOF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=/run/dbus/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_type="method_return"/>
    <allow send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="signal"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
  </policy>
</busconfig>
EOF
}

# Every step is checked here: a caller's "resolved_start ... || fail" turns
# set -e off inside.
resolved_start() {
  local dir=$1 log=$2 spawn=${3:-resolved_spawn} d
  sandbox_check net
  require_cmd dbus-daemon getent
  [ -x "$RESOLVED_ROOT/lib/systemd/systemd-resolved" ] && [ -x "$RESOLVED_ROOT/usr/bin/resolvectl" ] ||
    skip "systemd-resolved not unpacked in $RESOLVED_ROOT (scripts/deps/helper.sh)"
  RESOLVED_LIBDIR=
  for d in "$RESOLVED_ROOT/usr/lib/x86_64-linux-gnu/systemd" "$RESOLVED_ROOT/usr/lib/systemd"; do
    if [ -z "$RESOLVED_LIBDIR" ] && ls "$d"/libsystemd-shared-*.so >/dev/null 2>&1; then
      RESOLVED_LIBDIR=$d
    fi
  done
  mkdir -p "$dir" /run/dbus /run/systemd/resolve && _resolved_user "$dir" ||
    { RESOLVED_FAILURE="the user systemd-resolve could not be made"; return 1; }
  # --fork: the bus daemon belongs to the sandbox's PID namespace and ends
  # with it.
  _resolved_bus_conf "$dir/bus.conf" &&
    dbus-daemon --config-file="$dir/bus.conf" --fork --nopidfile ||
    { RESOLVED_FAILURE="the private system bus did not start"; return 1; }
  "$spawn" "$log" env LD_LIBRARY_PATH="$RESOLVED_LIBDIR" "$RESOLVED_ROOT/lib/systemd/systemd-resolved"
  wait_until 10 resolved_ctl status ||
    { RESOLVED_FAILURE="systemd-resolved did not answer: $(cat "$log")"; return 1; }
}
