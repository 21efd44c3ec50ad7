# shellcheck shell=bash
# Shared by the route helper's shell tests. Source it after entering the
# sandbox; it refuses to go on outside one.
#
# Topology that pw_net builds inside the test's own network namespace (the
# namespace is new for every run, so the fixed names below are unique):
#
#   veth0 10.0.0.1/24 fd00::1/64  <-- veth pair -->  veth1 (no address)
#   old default routes point at veth0 (through 10.0.0.2 / fe80::2, or the
#   device alone); quon_vpn0 is a TUN device held open by tun_hold.
#
# Nothing leaves the namespace: it has no link to the machine's network.

# shellcheck source=../lib/common.sh
. "$QUON_SOURCE_DIR/tests/lib/common.sh"
# shellcheck source=../lib/resolved.sh
. "$QUON_SOURCE_DIR/tests/lib/resolved.sh"
require_root
sandbox_check net
require_cmd nft

PW=$QUON_BUNDLE_DIR/pathwarden
TOOLS=$QUON_BUILD_DIR/tests/helper
STATE=/run/quon_vpn_route_state_linux.txt
[ -x "$PW" ] || fail "pathwarden not built: $PW"
[ -x "$TOOLS/tun_hold" ] && [ -x "$TOOLS/pw_exec" ] || fail "test tools not built"

# Host names answer from a private /etc/hosts alone; an unknown name fails at
# once (the only name server is a loopback address nothing listens on).
pw_private_names() {
  mkdir -p /tmp/pwetc
  cat >/tmp/pwetc/hosts <<'EOF'
127.0.0.1 localhost
::1 localhost
192.0.2.10 vpn.quon.test
2001:db8::10 vpn.quon.test
192.0.2.10 vpn.quon.test
192.0.2.11 v4only.quon.test
2001:db8::12 v6only.quon.test
EOF
  echo "hosts: files dns" >/tmp/pwetc/nsswitch.conf
  printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >/tmp/pwetc/resolv.conf
  local f
  for f in hosts nsswitch.conf resolv.conf; do
    mount --bind "/tmp/pwetc/$f" "/etc/$f"
  done
}

# The helper's fixed PATH includes /usr/local/sbin, empty on these machines:
# a private tmpfs there lets a test add programs (resolvectl) for the sandbox
# alone. A resolvectl the machine itself has is masked for the tests that
# need it absent.
pw_local_sbin() {
  mountpoint -q /usr/local/sbin || mount -t tmpfs -o mode=755 tmpfs /usr/local/sbin
}
pw_hide_resolvectl() {
  resolved_hide_resolvectl || fail "the machine's resolvectl could not be masked"
}

# pw_user_sandbox: the usual start of a test of the set-user-id copy run by
# nobody: private names and /usr/local/sbin, no resolvectl, the copy, and
# leak reports from a sanitized build.
pw_user_sandbox() {
  pw_private_names
  pw_local_sbin
  pw_hide_resolvectl
  pw_setuid_copy
  if [ -n "${QUON_SANITIZE:-}" ]; then
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
  fi
}

# pw_setuid_copy: a set-user-id root copy of the helper in /tmp/pw, which PW
# names from then on; NOBODY holds the words that run a command as the user
# nobody, with no groups, the way an ordinary caller starts it.
pw_setuid_copy() {
  require_cmd setpriv
  mkdir -m 755 /tmp/pw
  cp "$PW" /tmp/pw/pathwarden
  chown root:root /tmp/pw/pathwarden
  chmod 4755 /tmp/pw/pathwarden
  PW=/tmp/pw/pathwarden
  # shellcheck disable=SC2034 # for the tests that source this file
  NOBODY=("$(command -v setpriv)" --reuid=65534 --regid=65534 --clear-groups)
}

# pw_net MODE: veth pair plus the old default routes.
#   gw: IPv4 and IPv6 through a gateway; dev: both device-only;
#   v4: IPv4 through a gateway only; v6: IPv6 through a gateway only;
#   none: no default route at all.
pw_net() {
  pp ip link add veth0 type veth peer name veth1
  pp ip link set veth1 up
  pp ip link set veth0 up
  pp ip addr add 10.0.0.1/24 dev veth0
  pp ip -6 addr add fd00::1/64 dev veth0 nodad
  case "$1" in
    gw) pp ip -4 route add default via 10.0.0.2 dev veth0
        pp ip -6 route add default via fe80::2 dev veth0 ;;
    dev) pp ip -4 route add default dev veth0
         pp ip -6 route add default dev veth0 ;;
    v4) pp ip -4 route add default via 10.0.0.2 dev veth0 ;;
    v6) pp ip -6 route add default via fe80::2 dev veth0 ;;
    none) ;;
    *) fail "pw_net: unknown mode $1" ;;
  esac
}

# Deleting the links takes every route through them along.
pw_net_reset() {
  pw_tun_down
  pp ip link del veth0 2>/dev/null || true
  rm -f "$STATE"
}

TUN_PID=
# pw_tun_up [LOG]: with LOG, a line for every packet sent into the tunnel.
# shellcheck disable=SC2120 # LOG is optional
pw_tun_up() {
  rm -f /tmp/tun_hold.out
  "$TOOLS/tun_hold" quon_vpn0 ${1:+"$1"} >/tmp/tun_hold.out &
  TUN_PID=$!
  wait_until 5 grep -q ready /tmp/tun_hold.out || fail "TUN device not created"
}
pw_tun_down() {
  if [ -n "$TUN_PID" ]; then
    kill "$TUN_PID" 2>/dev/null || true
    wait "$TUN_PID" 2>/dev/null || true
    TUN_PID=
  fi
}
# The TUN holder ends with the test, however the test ends. A test that needs
# an EXIT trap of its own calls pw_tun_down from it.
trap 'pw_tun_down' EXIT

# pw_ip_standin FILE <SCRIPT: writes the script to FILE and binds it over ip,
# inside this mount namespace alone; the script runs the real ip as
# /tmp/ip.real. pw_real_ip takes the stand-in away again.
pw_ip_standin() {
  local real
  real=$(readlink -f "$(command -v ip)")
  [ -e /tmp/ip.real ] || cp "$real" /tmp/ip.real
  cat >"$1"
  chmod 755 "$1"
  mount --bind "$1" "$real"
}

# pw_fail_ip ARGS...: a stand-in over ip that refuses exactly that command
# line and runs every other.
pw_fail_ip() {
  pw_ip_standin /tmp/ip.failing <<EOF
#!/bin/sh
if [ "\$*" = "$*" ]; then echo "Error: refused by the test." >&2; exit 2; fi
exec /tmp/ip.real "\$@"
EOF
}
pw_real_ip() {
  umount "$(readlink -f "$(command -v ip)")"
}

# run_pw [launcher words...] -- ARGS: runs the helper, sets RC, OUT and ERR.
run_pw() {
  local pre=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    pre+=("$1")
    shift
  done
  shift
  set +e
  "${pre[@]}" "$PW" "$@" >/tmp/pw.out 2>/tmp/pw.err
  RC=$?
  set -e
  OUT=$(cat /tmp/pw.out)
  ERR=$(cat /tmp/pw.err)
}

# expect_rc N WHAT: checks the last run's status and shows its output when it
# differs.
expect_rc() {
  if [ "$RC" != "$1" ]; then
    echo "--- stdout" >&2
    echo "$OUT" >&2
    echo "--- stderr" >&2
    echo "$ERR" >&2
    fail "$2: exit status $RC, expected $1"
  fi
}

last_line() {
  printf '%s\n' "$1" | tail -n 1
}

routes4() { ip -4 route show "$@" | sed "s/ *$//"; }
routes6() { ip -6 route show "$@" | sed "s/ *$//"; }

state_text() { cat "$STATE"; }

# expect_state_complete WHAT V4LIST [V6LIST]: the eight lines an older helper
# and the runner read, for the gateway topology (both families through
# veth0), with these server lists.
expect_state_complete() {
  assert_eq "ipv4_valid=1
ipv4_iface=veth0
ipv4_gateway=10.0.0.2
ipv6_valid=1
ipv6_iface=veth0
ipv6_gateway=fe80::2
server_ipv4=$2
server_ipv6=${3:-}" "$(head -n 8 "$STATE")" "$1: state file"
}

# The tunnel's own table and rule priorities (fixed in the helper).
TUN_TABLE=52410

# pw_rules FAMILY: the tunnel's rules of -4 or -6, as ip lists them.
pw_rules() { ip "$1" rule show | grep -E '^1040[0-3]:' | sed 's/ *$//' || true; }

# pw_seal: the helper's packet filter, as nft lists it (empty: none).
pw_seal() { nft list table inet quon_vpn 2>/dev/null || true; }

# pw_tables: everything routing decides by, as compared before and after:
# the main tables (expiry times and the kernel's link routes left out), the
# rules and the tunnel's table, both families.
pw_tables() {
  local f
  { for f in -4 -6; do
    echo "--- main $f"
    ip "$f" route show table main
    echo "--- rules $f"
    ip "$f" rule show
    echo "--- tunnel $f"
    ip "$f" route show table $TUN_TABLE 2>/dev/null
  done
  echo "--- DNS filter"
  pw_seal
  } | sed -E 's/ expires [0-9]+sec//; s/ +$//' | grep -v '^[0-9a-f].* proto kernel ' || true
}
# pw_main: the main tables alone, compared the same way.
pw_main() { pw_tables | sed -n '/^--- main -4/,/^--- rules -4/p; /^--- main -6/,/^--- rules -6/p'; }

# expect_tunnel_rules WHAT SERVER4 SERVER6: the four rules of each family,
# with the server rules for these addresses (empty: none).
expect_tunnel_rules() {
  local f server want
  for f in -4 -6; do
    server=$2
    [ "$f" = -6 ] && server=$3
    want=""
    [ -z "$server" ] || want="10400:	from all to $server lookup main
10401:	from all to $server unreachable
"
    if [ "$f" = -4 ]; then
      want="${want}10402:	from all to 10.0.0.0/8 lookup main
10402:	from all to 172.16.0.0/12 lookup main
10402:	from all to 192.168.0.0/16 lookup main
10402:	from all to 169.254.0.0/16 lookup main
10402:	from all to 224.0.0.0/4 lookup main
10402:	from all ipproto udp dport 67 lookup main
"
    else
      want="${want}10402:	from all to fe80::/10 lookup main
10402:	from all to fc00::/7 lookup main
10402:	from all to ff00::/8 lookup main
"
    fi
    want="${want}10403:	from all lookup $TUN_TABLE"
    assert_eq "$want" "$(pw_rules "$f")" "$1: rules $f"
  done
}
expect_no_tunnel() {
  assert_eq "" "$(pw_rules -4)$(pw_rules -6)" "$1: tunnel rules left"
  assert_eq "" "$(pw_seal)" "$1: DNS filter left"
  assert_eq "" "$(ip -4 route show table $TUN_TABLE 2>/dev/null)$(ip -6 route show table $TUN_TABLE 2>/dev/null)" "$1: tunnel table left"
}

# route_dev FAMILY ADDRESS: the device "ip route get" chooses, or "-" when
# the address is unreachable.
route_dev() {
  ip "$1" route get "$2" 2>/dev/null | sed -n 's/.* dev \([^ ]*\).*/\1/p' | head -n 1 | grep . || echo -
}
# expect_dev FAMILY ADDRESS "DEV..." WHAT: one of these devices (or "-").
expect_dev() {
  local family=$1 address=$2 want=$3 what=$4 got
  got=$(route_dev "$family" "$address")
  case " $want " in
    *" $got "*) ;;
    *) fail "$what: $address leaves through [$got], expected [$want]" ;;
  esac
}
