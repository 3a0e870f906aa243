#!/usr/bin/env python3
"""Everyone moves at once, with real processes: six seafold-headless clients
move every 16 ms for 20 s at the default rate while another client watches.
The deltas the watcher receives add up to those the server received, and the
server's send queues stay bounded all along (its --stats lines). Every wait
is bounded."""

import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import HeadlessProcess, free_port  # noqa: E402

BINARY = sys.argv[1]
MOVERS = 6
MOVE_SECONDS = 20
# Each user has at most one movement waiting per receiver, plus what little
# else is queued: far below what unsummed movements reach (thousands).
QUEUE_BOUND = 64
failures = []


def total(events, rpc):
    sums = [0.0, 0.0, 0.0]
    for e in events:
        if e.get("rpc") == rpc:
            for k in range(3):
                sums[k] += e["args"][k]
    return sums


def main():
    port = free_port()
    address = f"127.0.0.1:{port}"
    server = HeadlessProcess(BINARY, "server", ["server", address, "--stats", "500"], failures)
    time.sleep(0.3)
    watcher = HeadlessProcess(BINARY, "watcher", ["-client", address, "watcher"], failures)
    watcher.wait_for("the watcher's join", lambda: any(e.get("state") == "connected" for e in watcher.events()), 10)
    movers = []
    for i in range(MOVERS):
        # Eighths add up exactly whatever the grouping.
        step = f"{(i + 1) / 8},{-(i % 3) / 8},0.125"
        movers.append(HeadlessProcess(BINARY, f"mover{i}", ["-client", address, f"mover{i}", "--model", "boat.mesh",
                                                             "--move", step, "--move-every", "16",
                                                             "--quit-after", str(MOVE_SECONDS)], failures))
    for m in movers:
        if m.p.wait(timeout=MOVE_SECONDS + 20) != 0:
            failures.append(f"{m.name} ended with {m.p.returncode}")

    def caught_up():
        return total(watcher.events(), "s2cmakeMovement") == total(server.events(), "c2smakeMovement")
    watcher.wait_for("the watcher to catch up with the server", caught_up, 10)
    sent = total(server.events(), "c2smakeMovement")
    seen = total(watcher.events(), "s2cmakeMovement")
    if sent != seen:
        failures.append(f"the server received {sent}, the watcher {seen}")
    if sent[2] < 0.125 * MOVERS * MOVE_SECONDS * 10:
        failures.append(f"too little movement arrived: {sent}")

    stats = [e["stats"] for e in server.events() if "stats" in e and e["stats"]]
    depths = [max(c["queued"] for c in s) for s in stats]
    deepest = max(depths, default=0)
    if not depths:
        failures.append("the server printed no statistics")
    elif deepest > QUEUE_BOUND:
        failures.append(f"a server queue reached {deepest} events")
    print(f"server received {sent}, watcher {seen}; deepest server queue {deepest}")

    for p in [watcher, server]:
        if p.stop() != 0:
            failures.append(f"{p.name} did not end cleanly")


main()
for f in failures:
    print("FAIL:", f)
print(f"{0 if failures else 1} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
