#!/bin/bash
# The packet filter that keeps DNS inside the tunnel, on the real kernel and
# nft. Topology (lib.sh's, with the home router in a namespace of its own):
#
#   this namespace: veth0 10.0.0.1/24 fd00::1/64, defaults via 10.0.0.2 and
#     fe80::2; quon_vpn0 172.19.0.1/30, every packet into it logged;
#     a name server on 127.0.0.53 (the stub resolver's address)
#   "home" namespace: veth1 10.0.0.53 fe80::53 (one address each, so that
#     answers come from the address asked), a name
#     server (UDP and TCP 53) and listeners on UDP 5353 and 5355 that answer
#     and log every datagram
#
# While the tunnel is up no query to port 53 reaches the home network, by
# address or link-local, bound to veth0 or not: each is rejected at once;
# loopback and the tunnel carry theirs, mDNS and LLMNR ports still reach the
# LAN. The filter stays while the core is gone; stop removes it, and a start
# without nft fails with its own status and changes nothing.
set -euo pipefail
. "$QUON_SOURCE_DIR/tests/helper/lib.sh"
require_cmd python3

pw_private_names
pw_local_sbin
pw_hide_resolvectl
pw_setuid_copy
pw_net gw
pp ip link set lo up
pw_tun_up /tmp/tun.log
pp ip link set quon_vpn0 up
pp ip addr add 172.19.0.1/30 dev quon_vpn0
mkdir -p /run/netns
pp ip netns add home
cleanup() {
  pw_tun_down
  ip netns pids home 2>/dev/null | xargs -r kill 2>/dev/null || true
}
trap cleanup EXIT
pp ip link set veth1 netns home
home() { ip netns exec home "$@"; }
pp home ip link set lo up
pp home ip link set veth1 up
pp home ip addr add 10.0.0.53/24 dev veth1
pp home ip -6 addr add fe80::53/64 dev veth1 nodad
pp ip -6 addr add fe80::1/64 dev veth0 nodad

# listen.py LOG [ADDRESS]: answers every datagram on UDP 53, 5353 and 5355
# and accepts TCP 53, one line "PORT" per arrival in LOG.
cat >/tmp/listen.py <<'PY'
import select, socket, sys
log = open(sys.argv[1], "a", buffering=1)
bind = sys.argv[2] if len(sys.argv) > 2 else "::"
socks = {}
for port in (53, 5353, 5355):
    s = socket.socket(socket.AF_INET6 if ":" in bind else socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((bind, port))
    socks[s] = ("udp", port)
t = socket.socket(socket.AF_INET6 if ":" in bind else socket.AF_INET, socket.SOCK_STREAM)
t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
t.bind((bind, 53)); t.listen(8)
socks[t] = ("tcp", 53)
print("ready", file=log)
while True:
    for s in select.select(list(socks), [], [])[0]:
        kind, port = socks[s]
        if kind == "tcp":
            c, _ = s.accept(); c.close()
        else:
            data, peer = s.recvfrom(512); s.sendto(data, peer)
        print(kind, port, file=log)
PY
# ask.py udp|tcp ADDRESS PORT [DEVICE]: "answered", "refused" (within
# 0.3 s: "refused late" after that), or "unanswered" (sent, nothing came
# back within 1 s).
cat >/tmp/ask.py <<'PY'
import socket, sys, time
kind, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])
info = socket.getaddrinfo(host, port, 0, socket.SOCK_DGRAM if kind == "udp" else socket.SOCK_STREAM)[0]
s = socket.socket(info[0], info[1])
if len(sys.argv) > 4:
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, sys.argv[4].encode())
s.settimeout(1)
t0 = time.monotonic()
try:
    s.connect(info[4])
    if kind == "udp":
        s.send(b"q"); s.recv(512)
    print("answered")
except (ConnectionRefusedError, PermissionError):
    # The filter's verdict fails the send itself (EPERM), its reset or
    # port-unreachable the connection (ECONNREFUSED): either at once.
    print("refused" if time.monotonic() - t0 < 0.3 else "refused late")
except (socket.timeout, TimeoutError):
    print("unanswered")
except OSError as e:
    print("error %s" % e.errno)
PY
home python3 /tmp/listen.py /tmp/home.log &
python3 /tmp/listen.py /tmp/lo.log 127.0.0.53 &
wait_until 5 grep -q ready /tmp/home.log || fail "home listener did not start"
wait_until 5 grep -q ready /tmp/lo.log || fail "loopback listener did not start"
ask() { python3 /tmp/ask.py "$@"; }
arrivals() { grep -c -v ready "$1" || true; }

# expect_ask WANT ARGS...: the answer of ask ARGS.
expect_ask() {
  local want=$1
  shift
  assert_eq "$want" "$(ask "$@")" "ask $*"
}

# Before start everything reaches the home network.
expect_ask answered udp 10.0.0.53 53
expect_ask answered udp fe80::53%veth0 53
expect_ask answered tcp 10.0.0.53 53
home_before=$(arrivals /tmp/home.log)
before=$(pw_tables)

run_pw "${NOBODY[@]}" -- start 10.9.9.9
expect_rc 0 "start"
assert_contains "$(pw_seal)" 'oifname "quon_vpn0" accept' "filter in place"
expect_ask refused udp 10.0.0.53 53
expect_ask refused udp fe80::53%veth0 53
expect_ask refused udp 10.0.0.53 53 veth0
expect_ask refused udp 1.1.1.1 53 veth0
expect_ask refused tcp 10.0.0.53 53
expect_ask refused tcp 10.0.0.53 853
assert_eq "$home_before" "$(arrivals /tmp/home.log)" "no query reached the home network"
expect_ask answered udp 127.0.0.53 53
expect_ask answered tcp 127.0.0.53 53
# mDNS and LLMNR keep reaching the LAN.
expect_ask answered udp 10.0.0.53 5353
expect_ask answered udp fe80::53%veth0 5355
: >/tmp/tun.log
expect_ask unanswered udp 1.1.1.1 53
expect_ask unanswered tcp 1.1.1.1 853
wait_until 5 grep -q "tcp 853" /tmp/tun.log || fail "DNS over TLS did not go into the tunnel"
assert_contains "$(cat /tmp/tun.log)" "udp 53" "a query into the tunnel"

# The core dies: the filter stays until stop.
pw_tun_down
expect_ask refused udp 10.0.0.53 53
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 0 "stop"
assert_eq "" "$(pw_seal)" "filter removed"
expect_ask answered udp 10.0.0.53 53
expect_ask answered udp fe80::53%veth0 53
expect_ask answered tcp 10.0.0.53 53

# Without nft start fails with its own status and leaves nothing behind.
pw_tun_up
before=$(pw_tables)
: >/run/no-nft && mount --bind /run/no-nft "$(readlink -f "$(command -v nft)")"
run_pw "${NOBODY[@]}" -- start 10.9.9.9
expect_rc 23 "start without nft"
assert_contains "$ERR" "[helper] nft not found: DNS cannot be kept inside the tunnel (install nftables)" "start without nft"
assert_eq "$before" "$(pw_tables)" "start without nft: nothing changed"
[ ! -e "$STATE" ] || fail "start without nft left its record"
# Stop without nft (nothing of ours can be there) still works.
run_pw "${NOBODY[@]}" -- stop 10.9.9.9
expect_rc 0 "stop without nft"
echo "seal: all passed"
