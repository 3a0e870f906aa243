#!/usr/bin/env python3
"""How other users' models look in a window, from its frame trace (the
windowed program with SEAFOLD_TRACE_FRAMES=1), under a private X server on
loopback. A windowed bob watches a display-less alice who moves one unit
every 16 ms for --seconds, then stops (her process is paused: she stays in
the session but sends nothing). From bob's frames while she moves:
  - the share of frames in which her model stood somewhere new,
  - the coefficient of variation of the per-frame step,
  - the median time from a state's arrival in bob's session to the first
    frame drawing the model that far (the delay the playout adds), in ms and
    in send intervals,
  - 1 s after she stopped: the position drawn against the sum received.
Then frames per second of a windowed viewer of three display-less movers,
with the frame trace on and off, interleaved (--fps-runs runs of 600 frames
each way).

usage: tools/measure/motion.py [BIN_DIR] [--rate INTERVAL_MS,BYTES_PER_S] [--seconds S] [--fps-runs N] [--keep]"""

import argparse
import math
import os
import re
import signal
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests"))
from measurelib import Proc, finish, free_port, loadavg, new_workdir  # noqa: E402
from window_process import (WindowedProcess, frames_of, motion_figures, received_of, start_xvfb,  # noqa: E402
                            wait_until)

DEFAULT_SEND_INTERVAL_MS = 96
SETTLE_MS = 500  # the start of the motion (the playout finding the spacing) is not judged
STOPPED_LOOK_MS = 1000  # how long after alice stops the drawn place is compared


def wait(what, predicate, seconds):
    if not wait_until(predicate, seconds):
        sys.exit(f"motion.py: timed out waiting for {what}")


def smoothness(args, work, display, rate):
    port = free_port()
    address = f"127.0.0.1:{port}"
    server = Proc([args.headless, "server", address] + rate, "server", work, timeout=600)
    time.sleep(0.5)
    bob = WindowedProcess(args.seafold, work, "bob", ["-client", address, "bob"] + rate, display, trace_frames=True)
    try:
        wait("bob's connection", lambda: any(e.get("state") == "connected" for e in bob.events()), 120)
        alice = Proc([args.headless, "-client", address, "alice", "--model", "boat.mesh", "--move", "1,0,0",
                      "--move-every", "16"] + rate, "alice", work, timeout=600)
        wait("alice's model in bob's scene", lambda: received_of(bob.events(), "alice"), 60)
        time.sleep(args.seconds)
        os.kill(alice.real_pid(), signal.SIGSTOP)
        stopped = time.time() * 1000
        time.sleep((STOPPED_LOOK_MS + 500) / 1000)
        events = bob.events()
        os.kill(alice.real_pid(), signal.SIGCONT)
        alice.p.terminate()
        alice.p.wait()
    finally:
        bob.stop()
        server.p.terminate()
        server.p.wait()
    received = received_of(events, "alice")
    frames = frames_of(events, "alice")
    moving = [r for r in received if r[0] <= stopped]
    figures = motion_figures(frames, received, moving[0][0] + SETTLE_MS, moving[-1][0])
    interval = float(rate[1].split(",")[0]) if rate else DEFAULT_SEND_INTERVAL_MS
    last_sum = received[-1][1]
    later = [f for f in frames if f[0] >= stopped + STOPPED_LOOK_MS]
    drawn = later[0][1] if later else None
    fps = (len(frames) - 1) / ((frames[-1][0] - frames[0][0]) / 1000) if len(frames) > 1 else 0
    return {
        "frames judged": figures["frames"],
        "frames per second": round(fps, 1),
        "moved share": round(figures["moved_share"], 3),
        "step CV": None if figures["step_cv"] is None else round(figures["step_cv"], 3),
        "frame interval CV": None if figures["frame_interval_cv"] is None else round(figures["frame_interval_cv"], 3),
        "playout delay median ms": figures["delay_median_ms"],
        "in send intervals": None if figures["delay_median_ms"] is None else
        round(figures["delay_median_ms"] / interval, 2),
        "drawn 1 s after stop": drawn,
        "received sum": last_sum,
        "equal": drawn is not None and math.dist(drawn, last_sum) == 0,
    }


def viewer_fps(args, work, display, rate, address, trace):
    env = dict(os.environ, SEAFOLD_FRAME_REPORT="1", SEAFOLD_SCREENSHOT_AFTER_FRAMES="600",
               SEAFOLD_SCREENSHOT_PATH=os.path.join(work, "viewer.png"))
    viewer = WindowedProcess(args.seafold, work, "viewer", ["-client", address, "viewer"] + rate, display,
                             trace_frames=trace, env=env)
    viewer.p.wait(timeout=300)
    err = open(os.path.join(viewer.folder, "err.txt")).read()
    found = re.search(r"([0-9.]+) frames per second", err)
    return float(found.group(1)) if found else None


def frame_rates(args, work, display, rate):
    address = f"127.0.0.1:{free_port()}"
    procs = [Proc([args.headless, "server", address] + rate, "fps-server", work, timeout=1800)]
    time.sleep(0.5)
    for user in (1, 2, 3):
        procs.append(Proc([args.headless, "-client", address, f"mover{user}", "--model", "boat.mesh", "--move",
                           "0,0,-1", "--move", "0,0,1", "--move-every", "50"] + rate, f"mover{user}", work,
                          timeout=1800))
    time.sleep(2)
    on, off = [], []
    try:
        for _ in range(args.fps_runs):
            off.append(viewer_fps(args, work, display, rate, address, False))
            on.append(viewer_fps(args, work, display, rate, address, True))
    finally:
        for p in procs:
            p.p.terminate()
            p.p.wait()
    return on, off


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("bin", nargs="?", default="build/bin")
    parser.add_argument("--rate", default="")
    parser.add_argument("--seconds", type=float, default=4)
    parser.add_argument("--fps-runs", type=int, default=3)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    args.seafold = os.path.join(args.bin, "seafold")
    args.headless = os.path.join(args.bin, "seafold-headless")
    rate = ["--rate", args.rate] if args.rate else []
    work = new_workdir("seafold-motion-")
    print(f"# load before: {loadavg()}; rate {args.rate or 'default'}")
    xvfb, display = start_xvfb(work)
    try:
        for key, value in smoothness(args, work, display, rate).items():
            print(f"{key}: {value}")
        if args.fps_runs:
            on, off = frame_rates(args, work, display, rate)
            print(f"frames per second, trace off: {off}")
            print(f"frames per second, trace on:  {on}")
            valid = [(a, b) for a, b in zip(on, off) if a and b]
            if valid:
                mean_on = statistics.mean(a for a, _ in valid)
                mean_off = statistics.mean(b for _, b in valid)
                print(f"trace on vs off: {mean_on:.1f} vs {mean_off:.1f} ({(mean_on - mean_off) / mean_off * 100:+.1f}%)")
    finally:
        xvfb.terminate()
        xvfb.wait()
        print(f"# load after: {loadavg()}")
        finish(work, args.keep)


main()
