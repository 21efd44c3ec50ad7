"""The lab's one client of the runner's control socket (the stand-in
embedding's, which quonctl speaks too): one request a connection, a JSON line
each way.

  call(path, "start", args) -> {"status": ..., "result": ...}
"""

import json
import socket


def call(path, method, args, timeout=60.0):
    """One request on its own connection; the answer as a dict (empty when
    the runner closed the connection without one)."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC) as s:
        s.settimeout(timeout)
        s.connect(path)
        s.sendall((json.dumps({"method": method, "args": args}) + "\n").encode())
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    return json.loads(data.decode() or "{}")
