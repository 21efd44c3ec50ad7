#!/usr/bin/python3
"""The hostile home's leak monitor, run as root on the lab's desktop from just
before the user's start to just after the stop:

  --echo ADDR    an ICMP echo to ADDR (IPv4 or IPv6) every --echo-interval
                 seconds; for each, the address its reply was sent to: the
                 tunnel's address when the echo went into quon_vpn0, a home
                 address when it left through the home link, "-" when no
                 reply came
  --dns-suffix S a query for a fresh name qN-RANDOM.S to the stub resolver
                 (--dns-server, 127.0.0.53) every --dns-interval seconds, as
                 a program on the desktop asks; for each, the first A record
                 of the answer, "rcode=N" for an answer without one, "-" for
                 none

On SIGTERM it stops sending, waits --drain seconds for late replies and
writes one line per probe to --out:

  echo SEQ SENT_EPOCH TARGET REPLY_DESTINATION
  dns NAME SENT_EPOCH ANSWER

The lab reads the times against those of the user's start and stop, and the
names against the home router's query log and the internet's name server.
"""

import argparse
import os
import secrets
import select
import signal
import socket
import struct
import threading
import time

IPV6_RECVPKTINFO = 49
IPV6_PKTINFO = 50


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    total = (total >> 16) + (total & 0xFFFF)
    total += total >> 16
    return ~total & 0xFFFF


class Echoes:
    """Echo requests to one address, their replies matched by id and sequence."""

    def __init__(self, target, ident):
        self.target = target
        self.v6 = ":" in target
        self.ident = ident
        self.sent = {}
        self.reply_to = {}
        if self.v6:
            self.sock = socket.socket(socket.AF_INET6, socket.SOCK_RAW, socket.IPPROTO_ICMPV6)
            self.sock.setsockopt(socket.IPPROTO_IPV6, IPV6_RECVPKTINFO, 1)
        else:
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)

    def send(self, seq):
        payload = b"lab-leak-monitor"
        if self.v6:
            # The kernel fills in an ICMPv6 checksum itself.
            packet = struct.pack("!BBHHH", 128, 0, 0, self.ident, seq) + payload
            dest = (self.target, 0, 0, 0)
        else:
            header = struct.pack("!BBHHH", 8, 0, 0, self.ident, seq)
            packet = struct.pack("!BBHHH", 8, 0, checksum(header + payload), self.ident, seq)
            packet += payload
            dest = (self.target, 0)
        self.sent[seq] = time.time()
        try:
            self.sock.sendto(packet, dest)
        except OSError:
            # No route, unreachable: the echo goes unanswered, as recorded.
            pass

    def receive(self):
        if self.v6:
            data, ancillary, _, _ = self.sock.recvmsg(2048, socket.CMSG_SPACE(20))
            if len(data) < 8 or data[0] != 129:
                return
            ident, seq = struct.unpack("!HH", data[4:8])
            dest = "?"
            for level, kind, value in ancillary:
                if level == socket.IPPROTO_IPV6 and kind == IPV6_PKTINFO:
                    dest = socket.inet_ntop(socket.AF_INET6, value[:16])
        else:
            data = self.sock.recv(2048)
            ihl = (data[0] & 0x0F) * 4
            if len(data) < ihl + 8 or data[ihl] != 0:
                return
            ident, seq = struct.unpack("!HH", data[ihl + 4 : ihl + 8])
            dest = socket.inet_ntop(socket.AF_INET, data[16:20])
        if ident == self.ident and seq in self.sent and seq not in self.reply_to:
            self.reply_to[seq] = dest

    def lines(self):
        for seq in sorted(self.sent):
            yield "echo %d %.6f %s %s" % (
                seq, self.sent[seq], self.target, self.reply_to.get(seq, "-"))


def dns_query(ident, name):
    question = b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    return struct.pack("!HHHHHH", ident, 0x0100, 1, 0, 0, 0) + question + struct.pack("!HH", 1, 1)


def skip_name(data, pos):
    while pos < len(data):
        length = data[pos]
        if length == 0:
            return pos + 1
        if length & 0xC0 == 0xC0:
            return pos + 2
        pos += 1 + length
    raise ValueError("name runs past the message")


def dns_answer(data):
    """The id of an answer and its first A record (or rcode=N)."""
    ident, flags, qdcount, ancount = struct.unpack("!HHHH", data[:8])
    pos = 12
    for _ in range(qdcount):
        pos = skip_name(data, pos) + 4
    for _ in range(ancount):
        pos = skip_name(data, pos)
        rtype, _, _, length = struct.unpack("!HHIH", data[pos : pos + 10])
        pos += 10
        if rtype == 1 and length == 4:
            return ident, socket.inet_ntop(socket.AF_INET, data[pos : pos + 4])
        pos += length
    return ident, "rcode=%d" % (flags & 0x0F)


class Names:
    """Fresh names under one suffix asked of the stub resolver."""

    def __init__(self, suffix, server):
        self.suffix = suffix
        self.server = (server, 53)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sent = {}
        self.names = {}
        self.answers = {}

    def send(self, seq):
        ident = seq & 0xFFFF
        name = "q%d-%s.%s" % (seq, secrets.token_hex(4), self.suffix)
        self.names[ident] = name
        self.sent[name] = time.time()
        try:
            self.sock.sendto(dns_query(ident, name), self.server)
        except OSError:
            pass

    def receive(self):
        data = self.sock.recv(4096)
        try:
            ident, answer = dns_answer(data)
        except (ValueError, struct.error):
            return
        name = self.names.get(ident)
        if name is not None and name not in self.answers:
            self.answers[name] = answer

    def lines(self):
        for name, sent in sorted(self.sent.items(), key=lambda item: item[1]):
            yield "dns %s %.6f %s" % (name, sent, self.answers.get(name, "-"))


def main():
    parser = argparse.ArgumentParser(description="lab leak monitor")
    parser.add_argument("--out", required=True)
    parser.add_argument("--echo", action="append", default=[])
    parser.add_argument("--echo-interval", type=float, default=0.2)
    parser.add_argument("--dns-suffix")
    parser.add_argument("--dns-server", default="127.0.0.53")
    parser.add_argument("--dns-interval", type=float, default=0.05)
    parser.add_argument("--drain", type=float, default=2.0)
    args = parser.parse_args()

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    probes = [Echoes(t, (os.getpid() + i) & 0xFFFF) for i, t in enumerate(args.echo)]
    senders = [(p, args.echo_interval) for p in probes]
    if args.dns_suffix:
        names = Names(args.dns_suffix, args.dns_server)
        probes.append(names)
        senders.append((names, args.dns_interval))

    done = threading.Event()

    def receive_all():
        by_fd = {p.sock.fileno(): p for p in probes}
        while not done.is_set():
            ready, _, _ = select.select(list(by_fd), [], [], 0.1)
            for fd in ready:
                try:
                    by_fd[fd].receive()
                except OSError:
                    pass

    receiver = threading.Thread(target=receive_all, daemon=True)
    receiver.start()
    print("leak monitor: started", flush=True)
    seqs = [0] * len(senders)
    due = [time.monotonic()] * len(senders)
    while not stop.is_set():
        now = time.monotonic()
        for i, (probe, interval) in enumerate(senders):
            if now >= due[i]:
                seqs[i] += 1
                probe.send(seqs[i])
                due[i] += interval
        stop.wait(max(0.0, min(due) - time.monotonic()))
    time.sleep(args.drain)
    done.set()
    receiver.join()
    with open(args.out + ".tmp", "w") as out:
        for probe in probes:
            for line in probe.lines():
                out.write(line + "\n")
    os.rename(args.out + ".tmp", args.out)
    print("leak monitor: stopped", flush=True)


if __name__ == "__main__":
    main()
