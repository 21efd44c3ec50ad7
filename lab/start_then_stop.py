#!/usr/bin/python3
"""A start and, right after it, a stop, each on a connection of its own to
the runner's control socket, as a user interface sends them when the user
clicks connect and at once disconnect.

  start_then_stop.py SOCKET RUNNER_PID START_ARGS_JSON

The stop is sent the moment the runner has taken the start in: when a new
"v2ray-worker" thread (the runner makes one for each engine call on its main
thread) shows up in /proc/RUNNER_PID/task. Before that the control socket's
server may still hand the two over in either order, and the round proves
nothing about the runner ("taken in: no"). Prints each call's status and
result:

  taken in: yes
  start: ["success", true]
  stop: ["success", true]
"""

import json
import os
import sys
import threading
import time

import control_socket


def call_into(path, method, args, answers):
    answer = control_socket.call(path, method, args)
    answers[method] = json.dumps([answer.get("status"), answer.get("result")])


def workers(pid):
    found = set()
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                if f.read().strip() == "v2ray-worker":
                    found.add(tid)
        except OSError:
            pass
    return found


def main():
    path, pid, args = sys.argv[1], int(sys.argv[2]), json.loads(sys.argv[3])
    answers = {}
    before = workers(pid)
    start = threading.Thread(target=call_into, args=(path, "start", args, answers))
    start.start()
    taken_in = False
    deadline = time.monotonic() + 2.0
    while time.monotonic() < deadline:
        if workers(pid) - before:
            taken_in = True
            break
    call_into(path, "stop", None, answers)
    start.join()
    print("taken in:", "yes" if taken_in else "no")
    print("start:", answers.get("start"))
    print("stop:", answers.get("stop"))


if __name__ == "__main__":
    main()
