#!/usr/bin/env python3
"""Other users' models glide and turn in the window: under a private X
server, a windowed bob with the frame trace on watches a display-less alice
who moves one unit every 16 ms and turns with every step. While she moves,
bob's frames draw her model somewhere new in most frames (drawn as packets
land, it would stand still for several frames and then jump), and her model
turns in them.

Usage: remote_motion_test.py SEAFOLD SEAFOLD_HEADLESS"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import HeadlessProcess, free_port  # noqa: E402
from window_process import (WindowedProcess, frames_of, motion_figures, received_of, report, start_xvfb,  # noqa: E402
                            stop_all, waiter)

WINDOWED, HEADLESS = sys.argv[1], sys.argv[2]
failures = []
# Far enough along for a second and more of steady motion at any frame rate.
WATCHED_UNITS = 120
# The first half second (the playout finding the spacing) is not judged.
SETTLE_MS = 500


wait = waiter(failures)


with tempfile.TemporaryDirectory() as work:
    xvfb, display = start_xvfb(work)
    address = f"127.0.0.1:{free_port()}"
    server = HeadlessProcess(HEADLESS, "server", ["server", address], failures, events=False)
    bob = WindowedProcess(WINDOWED, work, "bob", ["-client", address, "bob"], display, trace_frames=True)
    alice = None
    try:
        wait("bob's connection", lambda: any(e.get("state") == "connected" for e in bob.events()), 120)
        alice = HeadlessProcess(HEADLESS, "alice", ["-client", address, "alice", "--model", "boat.mesh", "--move",
                                                    "1,0,0", "--move-every", "16", "--turn", "3"], failures,
                                events=False)
        wait(f"alice {WATCHED_UNITS} units along in bob's scene",
             lambda: any(pos[0] >= WATCHED_UNITS for _, pos in received_of(bob.events(), "alice")), 60)
        events = bob.events()
        received = received_of(events, "alice")
        frames = frames_of(events, "alice")
        if received and frames:
            figures = motion_figures(frames, received, received[0][0] + SETTLE_MS, received[-1][0])
            print(f"bob's frames while alice moves: {figures}")
            if figures["frames"] < 5:
                failures.append(f"too few frames to judge: {figures}")
            elif figures["moved_share"] <= 0.5:
                failures.append(f"alice's model stood still in most frames: {figures}")
            yaws = {round(yaw, 6) for _, _, yaw in frames}
            if len(yaws) < 3:
                failures.append(f"alice's model did not turn in bob's frames: headings {sorted(yaws)}")
        else:
            failures.append(f"no frames of alice traced ({len(frames)} frames, {len(received)} states)")
        if not any(e.get("rpc") == "s2cOrientation" for e in events):
            failures.append("bob was never told of alice's turns")
    finally:
        stop_all(xvfb, alice, bob, server)

report(failures, "bob's window draws alice's model gliding and turning")
