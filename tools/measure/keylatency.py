#!/usr/bin/env python3
"""Splits each key press of the interactive latency case into its stages,
from the kept logs of tests/scene/interactive_test.sh latency:
press (xdotool starts) -> alice's program sees the key -> the server runs
the movement -> bob's scene shows it. Also the median frame step of alice's
own model while the key is held (how often her program takes a frame).

usage: tools/measure/keylatency.py LATENCY_WORK_DIR"""

import json
import os
import statistics
import sys


def events(path):
    out = []
    with open(path) as f:
        for line in f:
            if line.startswith("{"):
                try:
                    out.append(json.loads(line))
                except json.JSONDecodeError:
                    pass
    return out


def first_at_or_after(times, t):
    later = [x for x in times if x >= t]
    return min(later) if later else None


def main():
    work = sys.argv[1]
    presses = [int(x) for x in open(os.path.join(work, "presses.txt")) if x.strip()]
    alice = events(os.path.join(work, "alice", "events.log"))
    bob = events(os.path.join(work, "bob", "events.log"))
    server = events(os.path.join(work, "server", "events.log"))
    keys = [e["t"] for e in alice if e.get("key") == "w" and e.get("down")]
    arrivals = [e["t"] for e in server if e.get("rpc") == "c2smakeMovement"]
    seen = [e for e in bob if e.get("model") == "alice"]
    stages = []
    for p in presses:
        key = first_at_or_after(keys, p)
        arrived = first_at_or_after(arrivals, key) if key else None
        shown, before = None, None
        for e in seen:
            if e["t"] >= p and before is not None and e["pos"] != before:
                shown = e["t"]
                break
            before = e["pos"]
        if None not in (key, arrived, shown):
            stages.append((key - p, arrived - key, shown - arrived, shown - p))
    own = [e["t"] for e in alice if "own" in e]
    steps = [b - a for a, b in zip(own, own[1:]) if b - a < 500]
    names = ["press to alice's key", "key to the server", "server to bob's scene", "total"]
    for i, name in enumerate(names):
        values = [s[i] for s in stages]
        if values:
            print(f"{name}: median {statistics.median(values):g} ms ({' '.join(str(v) for v in values)})")
    if steps:
        print(f"alice's frame step while moving: median {statistics.median(steps):g} ms")


main()
