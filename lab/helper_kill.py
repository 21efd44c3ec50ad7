#!/usr/bin/python3
"""Kills the installed route helper half-way through its start, as root would.

    helper_kill.py HELPER STATE_FILE

Waits (up to 20 s) for a "HELPER start ..." process, then for the moment its
state file exists and it has begun to change the routing (a host route in the
main table, or a new policy rule), and sends it SIGKILL. Prints what it did;
exits 1 when no helper start was seen or it ended before it could be killed.
"""
import os
import signal
import subprocess
import sys
import time


def helper_starts(helper):
    for p in os.listdir("/proc"):
        if not p.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{p}/exe") != helper:
                continue
            argv = open(f"/proc/{p}/cmdline", "rb").read().split(b"\0")
        except OSError:
            continue
        if len(argv) > 1 and argv[1] == b"start":
            return int(p)
    return None


def host_route_pinned():
    with open("/proc/net/route") as f:
        return any(line.split()[7] == "FFFFFFFF" for line in f.readlines()[1:])


def rules():
    out = subprocess.run(["ip", "-4", "rule"], capture_output=True, text=True).stdout
    return out


def main():
    helper, state = sys.argv[1], sys.argv[2]
    rules_before = rules()
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        pid = helper_starts(helper)
        if pid is None:
            time.sleep(0.0005)
            continue
        # Half-way: the state is saved and the routing begun, the tunnel's
        # routes not yet all in place.
        while time.monotonic() < deadline:
            if os.path.exists(state) and (host_route_pinned() or rules() != rules_before):
                break
            time.sleep(0.0002)
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            print(f"helper {pid} finished before it could be killed")
            return 1
        print(f"killed helper {pid} after it saved its state and began to route")
        return 0
    print("no helper start seen")
    return 1


if __name__ == "__main__":
    sys.exit(main())
