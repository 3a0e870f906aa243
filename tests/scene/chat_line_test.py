#!/usr/bin/env python3
"""The windowed chat line under a private X server: a windowed bob and a
display-less alice on one headless server. W held in bob's window moves his
camera (so the log would show it); then Enter opens the chat line, a line
with W, A, S and D in it is typed and Enter sends it: alice gets it under
bob's name and bob's camera has not moved. T opens the line again and
Escape cancels it without ending the program; alice's line reaches bob.

Usage: chat_line_test.py SEAFOLD SEAFOLD_HEADLESS"""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import HeadlessProcess, free_port  # noqa: E402
from window_process import (WindowedProcess, report, start_xvfb, stop_all, waiter,  # noqa: E402
                            xdotool)

WINDOWED, HEADLESS = sys.argv[1], sys.argv[2]
failures = []
TYPED = "wasd was sad"


wait = waiter(failures)


def camera_moves(window):
    return [e["camera"] for e in window.events() if e.get("camera", {}).get("after") == "keys"]


def chat_states(window):
    return [e["chatline"] for e in window.events() if "chatline" in e]


with tempfile.TemporaryDirectory() as work:
    xvfb, display = start_xvfb(work)
    address = f"127.0.0.1:{free_port()}"
    server = HeadlessProcess(HEADLESS, "server", ["server", address], failures, events=False)
    bob = WindowedProcess(WINDOWED, work, "bob", ["-client", address, "bob"], display)
    alice = None
    try:
        wait("bob's connection", lambda: any(e.get("state") == "connected" for e in bob.events()), 120)
        alice = HeadlessProcess(HEADLESS, "alice", ["-client", address, "alice"], failures)
        wait("alice in bob's session", lambda: ["alice"] in [e["args"] for e in bob.events()
                                                              if e.get("rpc") == "s2cIntroduceNewClient"], 20)
        window = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Seafold "], capture_output=True,
                                text=True, env=dict(os.environ, DISPLAY=display), timeout=20).stdout.split()
        if window:
            xdotool(display, "mousemove", "--window", window[0], "400", "300")
        # The control: outside the chat line W moves the camera.
        xdotool(display, "keydown", "w")
        time.sleep(0.4)
        xdotool(display, "keyup", "w")
        wait("W moving bob's camera", lambda: camera_moves(bob), 20)
        moved = len(camera_moves(bob))

        xdotool(display, "key", "Return")
        wait("the chat line open", lambda: chat_states(bob)[-1:] == ["open"], 20)
        xdotool(display, "type", "--delay", "30", TYPED)
        xdotool(display, "key", "Return")
        wait("the chat line sent", lambda: chat_states(bob)[-1:] == ["sent"], 20)
        wait("alice given bob's line", lambda: {"chat": TYPED, "from": "bob"} in
             [{"chat": e.get("chat"), "from": e.get("from")} for e in alice.events() if "chat" in e], 20)
        if len(camera_moves(bob)) != moved:
            failures.append(f"typing in the chat line moved the camera: {camera_moves(bob)[moved:]}")

        xdotool(display, "key", "t")
        wait("the chat line open with T", lambda: chat_states(bob)[-1:] == ["open"], 20)
        xdotool(display, "type", "--delay", "30", "never sent")
        xdotool(display, "key", "Escape")
        wait("the chat line cancelled", lambda: chat_states(bob)[-1:] == ["cancelled"], 20)
        time.sleep(0.5)
        if bob.p.poll() is not None:
            failures.append("Escape in the chat line ended the program")
        if any(e.get("chat") == "never sent" for e in alice.events()):
            failures.append("a cancelled line was sent")
        if len(camera_moves(bob)) != moved:
            failures.append(f"typing in the chat line moved the camera: {camera_moves(bob)[moved:]}")
    finally:
        stop_all(xvfb, alice, bob, server)

report(failures, "the chat line sends on Enter, cancels on Escape, and typing in it moves nothing")
