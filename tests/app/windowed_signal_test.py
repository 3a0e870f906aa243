#!/usr/bin/env python3
"""The windowed program ended by a signal leaves cleanly: under a private X
server (Xvfb on a display number it picks itself), alice and carol run the
windowed program from folders without a saved configuration (the shipped
default is used, no dialog); bob, a display-less client, watches. alice gets
SIGTERM, carol SIGINT: each ends with exit code 0 and is gone from bob's
scene within 1 s (the keep-alive alone would take about a minute). Nothing
but console lines reaches their terminals (no sound-system chatter).

Usage: windowed_signal_test.py SEAFOLD SEAFOLD_HEADLESS"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import HeadlessProcess, free_port  # noqa: E402
from window_process import report, start_xvfb, stop_all  # noqa: E402

WINDOWED, HEADLESS = sys.argv[1], sys.argv[2]
failures = []
# Removal from the others' scenes "at once": a disconnect packet and one relay.
LEAVE_LIMIT_MS = 1000


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def wait(what, predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.05)
    failures.append(f"timed out waiting for {what}")
    return False


def read(path):
    with open(path) as f:
        return f.read()


def model_gone_at(bob, user):
    for e in bob.events():
        if e.get("model") == user and e.get("entity") is None:
            return e["t"]
    return None


with tempfile.TemporaryDirectory() as work:
    xvfb, display = start_xvfb(work)
    address = f"127.0.0.1:{free_port()}"
    server = HeadlessProcess(HEADLESS, "server", ["server", address], failures)
    time.sleep(0.2)
    bob = HeadlessProcess(HEADLESS, "bob", ["-client", address, "bob"], failures)
    windows = {}
    for name in ("alice", "carol"):
        folder = os.path.join(work, name)
        os.mkdir(folder)
        windows[name] = subprocess.Popen([WINDOWED, "-client", address, name], cwd=folder,
                                         env=dict(os.environ, DISPLAY=display, XDG_CONFIG_HOME=os.path.join(folder, "config"),
                                                  XDG_CACHE_HOME=os.path.join(folder, "cache")),
                                         stdout=open(os.path.join(folder, "out.txt"), "w"),
                                         stderr=open(os.path.join(folder, "err.txt"), "w"))
    try:
        # Packets are read in the main loop: "Connected" means the window is up.
        for name in windows:
            out = os.path.join(work, name, "out.txt")
            wait(f"{name}'s window and connection", lambda out=out: "Connected to the server" in read(out), 120)
        bob.wait_for("alice and carol", lambda: {"alice", "carol"} <= {
            e["args"][0] for e in bob.events() if e.get("rpc") == "s2cIntroduceNewClient"}, 20)

        for name, sig in (("alice", signal.SIGTERM), ("carol", signal.SIGINT)):
            sent = time.time() * 1000
            windows[name].send_signal(sig)
            bob.wait_for(f"{name} gone", lambda name=name: model_gone_at(bob, name) is not None, 10)
            gone = model_gone_at(bob, name)
            if gone is not None:
                print(f"{name} ({signal.Signals(sig).name}): gone from bob's scene {gone - sent:.0f} ms after the signal")
                check(gone - sent < LEAVE_LIMIT_MS, f"{name} left bob's scene {gone - sent:.0f} ms after the signal")
            try:
                code = windows[name].wait(timeout=30)
            except subprocess.TimeoutExpired:
                code = "still running"
            check(code == 0, f"{name}: exit code {code} after {signal.Signals(sig).name}")
            folder = os.path.join(work, name)
            err = read(os.path.join(folder, "err.txt"))
            if not check(err == "", f"{name}: standard error {err!r}"):
                # What the renderer said of it, for the one who reads the failure.
                log = os.path.join(folder, "cache", "seafold", "Ogre.log")
                if os.path.exists(log):
                    failures.append(f"{name}: the end of Ogre.log:\n" + "".join(open(log).readlines()[-15:]))
            check(not os.path.exists(os.path.join(folder, "ogre.cfg")), f"{name}: a configuration was saved")
            check(f"Connecting to {address} as {name} ..." in read(os.path.join(folder, "out.txt")),
                  f"{name}: console {read(os.path.join(folder, 'out.txt'))!r}")
    finally:
        for p in windows.values():
            if p.poll() is None:
                p.kill()
                p.wait()
        stop_all(xvfb, bob, server)

report(failures, "windowed program: SIGTERM and SIGINT end it cleanly, peers told at once")
