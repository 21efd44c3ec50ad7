#!/usr/bin/python3
"""The lab's stand-ins for the two connectivity probes that the runner's
tunnel check asks for:

  GET /cdn-cgi/trace  -> 200, a short key=value text naming the client address
  GET /generate_204   -> 204, empty

served over plain HTTP and, with --cert/--key, over HTTPS, on every address
given. One line per request on standard output, with the client's address, so
a test can tell which way the traffic came.

  probe_server.py [--http ADDR:PORT]... [--https ADDR:PORT]... [--cert F --key F]

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


def main():
    parser = argparse.ArgumentParser(description="lab probe endpoints")
    parser.add_argument("--http", action="append", default=[])
    parser.add_argument("--https", action="append", default=[])
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
    threads = [threading.Thread(target=s.serve_forever, daemon=True) for s in servers]
    for t in threads:
        t.start()
    for a in args.http:
        print(f"probe: serving http on {a}", flush=True)
    for a in args.https:
        print(f"probe: serving https on {a}", flush=True)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait()
    for s in servers:
        s.shutdown()
        s.server_close()


if __name__ == "__main__":
    main()
