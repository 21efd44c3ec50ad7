#!/usr/bin/python3
"""The lab's stand-ins for the two connectivity probes that the runner's
tunnel check asks for:

  GET /cdn-cgi/trace  -> 200, a short key=value text naming the client address
  GET /generate_204   -> 204, empty

served over plain HTTP and, with --cert/--key, over HTTPS, on every address
given; and with --dns a name server over UDP that answers every A query with
203.0.113.80 and every AAAA query with 2001:db8:3::80 (other types: no
data). One line per request on standard output, with the client's address,
so a test can tell which way the traffic came.

  probe_server.py [--http ADDR:PORT]... [--https ADDR:PORT]... [--cert F --key F]
                  [--dns ADDR:PORT]...

ADDR is an IPv4 literal or an IPv6 literal in brackets. Runs until SIGTERM.
"""

import argparse
import http.server
import signal
import socket
import ssl
import sys
import threading


class ProbeHandler(http.server.BaseHTTPRequestHandler):
    server_version = "lab-probe/1"
    protocol_version = "HTTP/1.1"
    # Headers and body go out as separate writes; with Nagle's algorithm the
    # body would wait for the client's delayed acknowledgement (40 ms).
    disable_nagle_algorithm = True

    def do_GET(self):  # noqa: N802 (the name http.server dispatches on)
        path = self.path.split("?", 1)[0]
        if path == "/generate_204":
            self.send_response(204)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if path == "/cdn-cgi/trace":
            scheme = "https" if self.server.tls else "http"
            body = (
                "fl=lab\n"
                f"h={self.headers.get('Host', '')}\n"
                f"ip={self.client_address[0]}\n"
                f"visit_scheme={scheme}\n"
                "uag=lab\n"
                "loc=ZZ\n"
                "warp=off\n"
            ).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        self.send_error(404)

    def log_message(self, fmt, *args):
        sys.stdout.write(
            "probe: %s %s %s\n"
            % ("https" if self.server.tls else "http", self.client_address[0], fmt % args)
        )
        sys.stdout.flush()


def parse_address(text):
    if text.startswith("["):
        host, _, port = text[1:].partition("]:")
        return socket.AF_INET6, host, int(port)
    host, _, port = text.rpartition(":")
    return socket.AF_INET, host, int(port)


def make_server(text, tls_context):
    family, host, port = parse_address(text)

    class Server(http.server.ThreadingHTTPServer):
        address_family = family
        daemon_threads = True

    server = Server((host, port), ProbeHandler)
    server.tls = tls_context is not None
    if tls_context is not None:
        # The handshake runs in the request thread, not in the accept loop.
        server.socket = tls_context.wrap_socket(
            server.socket, server_side=True, do_handshake_on_connect=False
        )
    return server


DNS_ANSWERS = {
    1: socket.inet_pton(socket.AF_INET, "203.0.113.80"),
    28: socket.inet_pton(socket.AF_INET6, "2001:db8:3::80"),
}


def dns_answer(query):
    """The reply to one DNS query, and its name and type, or None when the
    datagram is no query this server can read."""
    if len(query) < 12 or query[2] & 0x80:
        return None
    if int.from_bytes(query[4:6], "big") != 1:
        return None
    labels, pos = [], 12
    while pos < len(query) and query[pos] != 0:
        length = query[pos]
        if length > 63 or pos + 1 + length >= len(query):
            return None
        labels.append(query[pos + 1 : pos + 1 + length].decode("ascii", "replace"))
        pos += 1 + length
    if pos + 5 > len(query):
        return None
    qtype = int.from_bytes(query[pos + 1 : pos + 3], "big")
    question = query[12 : pos + 5]
    data = DNS_ANSWERS.get(qtype)
    # Answer: same id, QR and RD copied, RA, no error; one question.
    header = query[0:2] + bytes([0x80 | (query[2] & 0x01), 0x80])
    header += (1).to_bytes(2, "big") + (1 if data else 0).to_bytes(2, "big")
    header += bytes(4)
    reply = header + question
    if data:
        reply += b"\xc0\x0c" + qtype.to_bytes(2, "big") + b"\x00\x01"
        reply += (60).to_bytes(4, "big") + len(data).to_bytes(2, "big") + data
    return reply, ".".join(labels), qtype


def serve_dns(sock, stop):
    while not stop.is_set():
        try:
            query, peer = sock.recvfrom(4096)
        except socket.timeout:
            continue
        except OSError:
            return
        answer = dns_answer(query)
        if answer is None:
            continue
        reply, name, qtype = answer
        sys.stdout.write("probe: dns %s %s type %d\n" % (peer[0], name, qtype))
        sys.stdout.flush()
        sock.sendto(reply, peer)


def make_dns_socket(text):
    family, host, port = parse_address(text)
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.bind((host, port))
    sock.settimeout(0.5)
    return sock


def main():
    parser = argparse.ArgumentParser(description="lab probe endpoints")
    parser.add_argument("--http", action="append", default=[])
    parser.add_argument("--https", action="append", default=[])
    parser.add_argument("--dns", action="append", default=[])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    if args.https and not (args.cert and args.key):
        parser.error("--https needs --cert and --key")

    context = None
    if args.https:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)

    servers = [make_server(a, None) for a in args.http]
    servers += [make_server(a, context) for a in args.https]
    stop = threading.Event()
    dns_sockets = [make_dns_socket(a) for a in args.dns]
    threads = [threading.Thread(target=s.serve_forever, daemon=True) for s in servers]
    threads += [
        threading.Thread(target=serve_dns, args=(d, stop), daemon=True) for d in dns_sockets
    ]
    for t in threads:
        t.start()
    for a in args.http:
        print(f"probe: serving http on {a}", flush=True)
    for a in args.https:
        print(f"probe: serving https on {a}", flush=True)
    for a in args.dns:
        print(f"probe: serving dns on {a}", flush=True)

    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait()
    for s in servers:
        s.shutdown()
        s.server_close()


if __name__ == "__main__":
    main()
