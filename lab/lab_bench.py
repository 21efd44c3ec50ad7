#!/usr/bin/python3
"""The lab's benchmark: "start", "checkTunnel" and "stop" through the runner's
control socket, as the user interface calls them, RUNS times each, with

  - the latency of each call (request sent to answer read);
  - the route helper's own run time during start and stop (the lifetime of
    each pathwarden process, seen in /proc every millisecond);
  - the runner's longest main-loop stall during each call: another client
    asks "setAppRules" (answered on the main thread, without the engine)
    every 2 ms, and the longest round trip seen while the call runs, less the
    idle round trip, is the longest time the main loop did not answer.
    On two shared cores much of such a gap is the scheduler's, not the
    runner's: the children that start and stop run at those moments. So each
    round trip is also given less the time the runner's main thread and the
    meter's own thread spent waiting for a processor meanwhile (the run delay
    of /proc/PID/task/TID/schedstat): the stall that is the main loop's own.

  lab_bench.py SOCKET START_ARGS_JSON_FILE HELPER_PATH RUNS OUT.json

Runs inside the lab's sandbox as root (root may use the user's socket).
Writes one JSON report; prints a short table.
"""

import json
import os
import statistics
import sys
import threading
import time

from control_socket import call

# The fixed waits of the engine that no implementation can go below, and the
# poll intervals that round its answers up.
FLOORS = {
    "start": {"floor_ms": 800, "poll_ms": {"tun_check": 250, "helper": 100},
              "note": "800 ms before the early-exit check; the TUN check "
                      "polls every 250 ms when quon_vpn0 is not there at the "
                      "first look; the helper is polled every 100 ms"},
    "checkTunnel": {"floor_ms": 700, "poll_ms": {"curl": 100},
                    "note": "700 ms before the first probe; curl is polled "
                            "every 100 ms"},
    "stop": {"floor_ms": 0, "poll_ms": {"helper": 100, "sigterm": 200},
             "note": "no fixed wait; the helper is polled every 100 ms and "
                     "the core every 200 ms after SIGTERM"},
    "helper_start": {"floor_ms": 0, "poll_ms": {},
                     "note": "no fixed wait when quon_vpn0 is up at the first look"},
    "helper_stop": {"floor_ms": 0, "poll_ms": {}, "note": "no fixed wait"},
}


def now_ms():
    return time.monotonic() * 1000.0


def run_delay_ms(pid, tid):
    """Time the thread has waited on a run queue so far (schedstat field 2)."""
    try:
        with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
            return int(f.read().split()[1]) / 1e6
    except (OSError, ValueError, IndexError):
        return 0.0


def runner_pid():
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/comm") as f:
                    if f.read().strip() == "quon_vpn":
                        return int(name)
            except OSError:
                continue
    sys.exit("bench: no quon_vpn process")


class StallMeter(threading.Thread):
    def __init__(self, path, runner):
        super().__init__(daemon=True)
        self.path = path
        self.runner = runner
        # (sent_ms, round_trip_ms, round_trip_less_run_delays_ms)
        self.samples = []
        self.stop = threading.Event()
        self.error = None

    def waited(self, tid):
        return run_delay_ms(self.runner, self.runner) + run_delay_ms(os.getpid(), tid)

    def run(self):
        tid = threading.get_native_id()
        while not self.stop.is_set():
            waited = self.waited(tid)
            sent = now_ms()
            try:
                call(self.path, "setAppRules", None, timeout=30.0)
            except OSError as e:
                self.error = str(e)
                return
            rtt = now_ms() - sent
            self.samples.append((sent, rtt, max(0.0, rtt - (self.waited(tid) - waited))))
            time.sleep(0.002)

    def longest(self, begin, end, field=1):
        """Longest round trip of a request that was in flight during [begin, end]."""
        rtts = [s[field] for s in self.samples if s[0] <= end and s[0] + s[1] >= begin]
        return max(rtts) if rtts else 0.0


class HelperWatch(threading.Thread):
    def __init__(self, helper):
        super().__init__(daemon=True)
        self.helper = helper
        self.seen = {}  # pid -> [action, first_ms, last_ms]
        self.stop = threading.Event()
        self.other = set()

    def run(self):
        while not self.stop.is_set():
            t = now_ms()
            for name in os.listdir("/proc"):
                if not name.isdigit():
                    continue
                pid = int(name)
                if pid in self.other:
                    continue
                try:
                    exe = os.readlink(f"/proc/{pid}/exe")
                except OSError:
                    continue
                if exe != self.helper:
                    # A process that is not the helper yet may exec it later
                    # (the runner's child between fork and exec).
                    if not exe.endswith("/quon_vpn"):
                        self.other.add(pid)
                    continue
                entry = self.seen.get(pid)
                if entry is None:
                    try:
                        with open(f"/proc/{pid}/cmdline", "rb") as f:
                            argv = f.read().split(b"\0")
                        with open(f"/proc/{pid}/stat") as f:
                            ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                    except (OSError, ValueError, IndexError):
                        continue
                    if ppid in self.seen:
                        # The helper's own child before its exec of ip or
                        # resolvectl: part of the helper's run.
                        self.other.add(pid)
                        continue
                    action = argv[1].decode() if len(argv) > 1 else "?"
                    self.seen[pid] = [action, t, t]
                else:
                    entry[2] = t
            time.sleep(0.001)

    def runs(self, action, begin, end):
        return [last - first for act, first, last in self.seen.values()
                if act == action and begin <= first <= end]


def summary(values):
    values = sorted(values)
    return {
        "runs": len(values),
        "median_ms": round(statistics.median(values), 1) if values else None,
        "max_ms": round(max(values), 1) if values else None,
        "all_ms": [round(v, 1) for v in values],
    }


def wait_gone(name, limit_s=10.0):
    deadline = time.monotonic() + limit_s
    while os.path.exists(f"/sys/class/net/{name}"):
        if time.monotonic() > deadline:
            raise SystemExit(f"bench: {name} still there after stop")
        time.sleep(0.02)


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__)
    path, args_file, helper, runs, out = sys.argv[1:]
    runs = int(runs)
    with open(args_file) as f:
        start_args = json.load(f)

    meter = StallMeter(path, runner_pid())
    watch = HelperWatch(helper)
    meter.start()
    watch.start()
    time.sleep(1.0)
    idle = [rtt for _, rtt, _ in meter.samples]
    idle_rtt = statistics.median(idle) if idle else 0.0

    latency = {"start": [], "checkTunnel": [], "stop": []}
    stall = {"start": [], "checkTunnel": [], "stop": []}
    own_stall = {"start": [], "checkTunnel": [], "stop": []}
    helper_runs = {"helper_start": [], "helper_stop": []}
    for i in range(runs):
        for method, args in (("start", start_args), ("checkTunnel", None), ("stop", None)):
            begin = now_ms()
            answer = call(path, method, args)
            end = now_ms()
            if answer.get("status") != "success":
                sys.exit(f"bench: run {i + 1}: {method} answered {answer}")
            latency[method].append(end - begin)
            # Let the meter's request in flight at the end come back.
            time.sleep(0.01)
            stall[method].append(max(0.0, meter.longest(begin, end) - idle_rtt))
            own_stall[method].append(max(0.0, meter.longest(begin, end, 2) - idle_rtt))
            if method in ("start", "stop"):
                helper_runs["helper_" + method] += watch.runs(method, begin, end)
        wait_gone("quon_vpn0")
        print(f"bench: run {i + 1}/{runs} done", flush=True)
    meter.stop.set()
    watch.stop.set()
    if meter.error:
        sys.exit(f"bench: the stall meter lost the socket: {meter.error}")

    report = {"runs": runs, "idle_main_loop_round_trip_ms": round(idle_rtt, 2),
              "operations": {}}
    for op in ("start", "checkTunnel", "stop"):
        entry = {"latency": summary(latency[op]), "longest_stall": summary(stall[op]),
                 "longest_stall_not_preempted": summary(own_stall[op])}
        entry.update(FLOORS[op])
        entry["median_over_floor_ms"] = round(entry["latency"]["median_ms"] - FLOORS[op]["floor_ms"], 1)
        report["operations"][op] = entry
    for op in ("helper_start", "helper_stop"):
        entry = {"latency": summary(helper_runs[op])}
        entry.update(FLOORS[op])
        report["operations"][op] = entry
    with open(out, "w") as f:
        json.dump(report, f, indent=2)
        f.write("\n")

    print(f"{'operation':<14}{'median ms':>10}{'max ms':>9}{'floor ms':>10}"
          f"{'stall med':>11}{'stall max':>11}{'own med':>9}{'own max':>9}")
    for op, entry in report["operations"].items():
        lat = entry["latency"]
        st = entry.get("longest_stall", {})
        own = entry.get("longest_stall_not_preempted", {})
        print(f"{op:<14}{lat['median_ms']!s:>10}{lat['max_ms']!s:>9}{entry['floor_ms']:>10}"
              f"{st.get('median_ms', '-')!s:>11}{st.get('max_ms', '-')!s:>11}"
              f"{own.get('median_ms', '-')!s:>9}{own.get('max_ms', '-')!s:>9}")


if __name__ == "__main__":
    main()
