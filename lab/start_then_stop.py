#!/usr/bin/python3
"""A start and, GAP_MS later on a connection of its own, a stop, through the
runner's control socket, as a user interface sends them when the user clicks
connect and at once disconnect. Prints each call's status and result:

  start_then_stop.py SOCKET START_ARGS_JSON GAP_MS
  start: ["success", true]
  stop: ["success", true]
"""

import json
import socket
import sys
import threading
import time


def call(path, method, args, answers):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC) as s:
        s.settimeout(60.0)
        s.connect(path)
        s.sendall((json.dumps({"method": method, "args": args}) + "\n").encode())
        data = b""
        while not data.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    answer = json.loads(data.decode() or "{}")
    answers[method] = json.dumps([answer.get("status"), answer.get("result")])


def main():
    path, args, gap_ms = sys.argv[1], json.loads(sys.argv[2]), float(sys.argv[3])
    answers = {}
    start = threading.Thread(target=call, args=(path, "start", args, answers))
    start.start()
    time.sleep(gap_ms / 1000.0)
    call(path, "stop", None, answers)
    start.join()
    print("start:", answers.get("start"))
    print("stop:", answers.get("stop"))


if __name__ == "__main__":
    main()
