#!/usr/bin/python3
"""A router advertisement with a route information option, as a hostile home
router sends one: from the router's link-local address on DEV to ff02::1,
hop limit 255, every --interval seconds until SIGTERM.

  ra_sender.py DEV PREFIX/LEN [--interval S] [--lifetime S]

The advertisement keeps the router a default router for 180 s (the lifetime
dnsmasq's own advertisements give; 0 would withdraw the desktop's IPv6
default route) with the same "managed" and "other" flags as dnsmasq's, and
carries one option 24 (RFC 4191, length 3: the whole prefix) naming PREFIX
with --lifetime seconds. dnsmasq sends no such option.
"""

import argparse
import ipaddress
import signal
import socket
import struct
import sys
import threading


def advertisement(prefix, lifetime):
    # Type 134, code 0, checksum (the kernel's), current hop limit 64, flags
    # M and O, router lifetime 180 s, reachable time and retransmit timer 0.
    message = struct.pack("!BBHBBHII", 134, 0, 0, 64, 0xC0, 180, 0, 0)
    # Route information: type 24, length 3 (x 8 octets), prefix length,
    # preference medium, route lifetime, the prefix in 16 octets.
    message += struct.pack("!BBBBI", 24, 3, prefix.prefixlen, 0, lifetime)
    message += prefix.network_address.packed
    return message


def link_local(dev):
    with open("/proc/net/if_inet6") as table:
        for line in table:
            fields = line.split()
            if fields[5] == dev and fields[0].startswith("fe80"):
                return str(ipaddress.IPv6Address(bytes.fromhex(fields[0])))
    return None


def main():
    parser = argparse.ArgumentParser(description="router advertisement with a route information option")
    parser.add_argument("dev")
    parser.add_argument("prefix")
    parser.add_argument("--interval", type=float, default=3.0)
    parser.add_argument("--lifetime", type=int, default=600)
    args = parser.parse_args()
    prefix = ipaddress.IPv6Network(args.prefix)
    source = link_local(args.dev)
    if source is None:
        sys.exit("ra_sender: %s has no link-local address" % args.dev)
    index = socket.if_nametoindex(args.dev)
    sock = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
    sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_HOPS, 255)
    sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_UNICAST_HOPS, 255)
    sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, index)
    sock.bind((source, 0, 0, index))
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    message = advertisement(prefix, args.lifetime)
    sent = 0
    while not stop.is_set():
        sock.sendto(message, ("ff02::1", 0, 0, index))
        sent += 1
        if sent == 1:
            print("ra_sender: %s from %s on %s" % (prefix, source, args.dev), flush=True)
        stop.wait(args.interval)
    print("ra_sender: %d advertisements sent" % sent, flush=True)


if __name__ == "__main__":
    main()
