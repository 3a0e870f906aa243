#!/usr/bin/env python3
"""A room on a 1 Mbit/s link (tools/measure/slowlink.py): the server's host
behind a token bucket each way, eight seafold-headless users moving and two
speaking. Between Seafold peers the rate adapts, so the room must still
work there: every mover's moves reach a watcher, every speaker is heard by
every other user, nobody is dropped, and the server's congestion windows
back off from their maximum instead of filling the link's queue. How long
the queue stands is the tool's figure, not asserted here.

    slowlink_e2e.py SEAFOLD_HEADLESS

Exits 77 (skipped) with the reason when namespaces cannot be made."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "measure"))
import measurelib as ml  # noqa: E402
import slowlink  # noqa: E402
from lan import SKIP_CODE, Lan, Skip  # noqa: E402

# The window's largest size in packets (the connection's in-flight bound);
# a median at half of it or more would mean the rate never backed off.
MAX_WINDOW = 30
# Moves made during the window and never shown: a few at its edges at most.
MISSING_ALLOWED = 5


def check(r):
    failures = []
    if r["disconnections"]:
        failures.append(f"disconnections: {r['disconnections']}")
    for mover, seen in r["movers_seen"].items():
        if seen < 10:
            failures.append(f"the watcher saw {mover} move {seen} times")
    if r["relay"]["n"] == 0 or r["relay"]["missing"] > MISSING_ALLOWED:
        failures.append(f"movement relayed: {r['relay']}")
    for speaker, played in r["voice_played"].items():
        deaf = [who for who, frames in played.items() if frames == 0]
        if deaf:
            failures.append(f"{speaker} was not heard by {deaf}")
    if r["server_modes"] != ["adaptive"]:
        failures.append(f"server connections' modes: {r['server_modes']}")
    window = r["server_window"]
    if window["n"] == 0 or window["p50"] >= MAX_WINDOW / 2:
        failures.append(f"the server's windows did not back off: {window}")
    return failures


def main():
    o = slowlink.options([os.path.dirname(os.path.abspath(sys.argv[1])), "--seconds", "8", "--settle", "4"])
    work = ml.new_workdir("seafold-slowlink-test-")
    try:
        with Lan(3) as lan:
            try:
                result = slowlink.measure(lan, o, work)
            finally:
                ml.Proc.stop_all()
    except Skip as why:
        print(f"skipped: {why}")
        ml.finish(work, False)
        return SKIP_CODE
    failures = check(result)
    for key in ("standing_queue_ms", "relay", "server_window", "server_bytes_per_s"):
        print(f"{key}: {result.get(key)}")
    if failures:
        print("\n".join(failures))
        print(f"logs in {work}")
        return 1
    ml.finish(work, False)
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
