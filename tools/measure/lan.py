#!/usr/bin/env python3
"""Measurements on a namespace LAN (tests/lan/lan.py; needs root):

- join time of a seafold-headless client across the bridge against the same
  client on the server's own host over loopback, runs interleaved, and of a
  client of -client auto across the bridge (its search included);
- time from the first discovery query of seafold-headless --find to the first
  answer of a running seafold-headless server (its LogDiscovery line), across
  the bridge and on the server's own host, and the whole --find 0.3 run;
- how long a client of another host takes to give up on a server bound to
  127.0.0.1.

    tools/measure/lan.py [BIN_DIR] [RUNS]

Join time is given twice: from starting the process, and from its first
event line (sound set up), which leaves out the program's own start-up."""

import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "lan"))
from lan import SKIP_CODE, Lan, Skip  # noqa: E402

bin_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bin")
runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
HEADLESS = os.path.join(bin_dir, "seafold-headless")
PORT = 28000
FIRST_ANSWER = re.compile(r"^LogDiscovery: .* answered from .* after (\d+) ms$")


def wall_ms():
    return time.time() * 1000.0


def events_until(path, predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        with open(path) as f:
            lines = [json.loads(line) for line in f if line.strip().startswith("{")]
        if any(predicate(e) for e in lines):
            return lines
        time.sleep(0.002)
    return None


def join_once(lan, host, target, tmp, tag):
    out = os.path.join(tmp, f"{tag}.log")
    with open(out, "w") as f:
        start = wall_ms()
        p = lan.popen(host, [HEADLESS, "-client", target, tag, "--events"], stdout=f, stderr=subprocess.DEVNULL)
    lines = events_until(out, lambda e: e.get("state") == "connected", 30)
    p.terminate()
    p.wait(timeout=10)
    if not lines:
        return None
    connected = next(e["t"] for e in lines if e.get("state") == "connected")
    return connected - start, connected - lines[0]["t"]


def summary(values):
    values = sorted(values)
    return f"median {statistics.median(values):7.1f}  min {values[0]:7.1f}  max {values[-1]:7.1f}  (n={len(values)})"


def main():
    try:
        with Lan(3) as lan, tempfile.TemporaryDirectory() as tmp:
            server = lan.popen(0, [HEADLESS, "server", f"0.0.0.0:{PORT}", "--server-name", "measure"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)

            joins = {"loopback": [], "bridge": [], "auto": []}
            for i in range(runs):
                for kind, host, target in (("loopback", 0, f"127.0.0.1:{PORT}"),
                                           ("bridge", 1, f"{lan.address(0)}:{PORT}"), ("auto", 2, "auto")):
                    result = join_once(lan, host, target, tmp, f"{kind}{i}")
                    if result is None:
                        print(f"{kind} run {i}: no connection within 30 s")
                    else:
                        joins[kind].append(result)

            finds = {"own host": [], "bridge": []}
            find_runs = {"own host": [], "bridge": []}
            env = dict(os.environ, SEAFOLD_LOG="LogDiscovery")
            for i in range(runs):
                for kind, host in (("own host", 0), ("bridge", 1)):
                    start = wall_ms()
                    r = lan.run(host, [HEADLESS, "--find", "0.3"], capture_output=True, text=True, env=env)
                    find_runs[kind].append(wall_ms() - start)
                    first = [int(m.group(1)) for m in map(FIRST_ANSWER.match, r.stderr.splitlines()) if m]
                    if r.returncode == 0 and first:
                        finds[kind].append(first[0])
                    # Stay inside the server's per-source limit (4 a second).
                    time.sleep(0.3)

            # A client of another host and a server bound to 127.0.0.1 there.
            server.terminate()
            server.wait(timeout=10)
            lo_server = lan.popen(0, [HEADLESS, "server", f"127.0.0.1:{PORT}"], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
            time.sleep(0.3)
            out = os.path.join(tmp, "unreachable.log")
            with open(out, "w") as f:
                start = wall_ms()
                p = lan.popen(1, [HEADLESS, "-client", f"{lan.address(0)}:{PORT}", "far", "--events"], stdout=f,
                              stderr=subprocess.DEVNULL)
            # The first report after "connecting": the attempt's end.
            lines = events_until(out, lambda e: e.get("state") not in (None, "connecting"), 60)
            p.terminate()
            p.wait(timeout=10)
            lo_server.terminate()

            print(f"join time, ms, from process start ({runs} interleaved runs each; auto: -client auto from a "
                  "third host, its 1 s search included)")
            for kind, values in joins.items():
                if values:
                    print(f"  {kind:9s} {summary([v[0] for v in values])}")
            print("join time, ms, from the first event line (program start-up left out)")
            for kind, values in joins.items():
                if values:
                    print(f"  {kind:9s} {summary([v[1] for v in values])}")
            if joins["loopback"] and joins["bridge"]:
                ratio = statistics.median(v[1] for v in joins["bridge"]) / max(
                    0.001, statistics.median(v[1] for v in joins["loopback"]))
                print(f"  bridge / loopback (medians, from first event): {ratio:.2f}")
            print("discovery, ms from the first query of --find to the first answer of the server (1 ms polling)")
            for kind, values in finds.items():
                if values:
                    print(f"  {kind:9s} {summary(values)}")
            print("seafold-headless --find 0.3, ms from process start to its end")
            for kind, values in find_runs.items():
                print(f"  {kind:9s} {summary(values)}")
            if lines:
                state = next(e for e in lines if e.get("state") not in (None, "connecting"))
                print(f"unreachable server (bound to 127.0.0.1 on another host): '{state['state']}' "
                      f"reason '{state.get('reason')}' after {state['t'] - start:.0f} ms")
            else:
                print("unreachable server: no state line within 60 s")
    except Skip as why:
        print(f"skipped: {why}")
        return SKIP_CODE
    return 0


if __name__ == "__main__":
    sys.exit(main())
