#!/usr/bin/env python3
"""The Settings window under a private X server and a private sound server:
a windowed server's user opens Escape's menu and picks Settings; the window
lists the sound server's devices (its null sink and that sink's monitor), a
sink loaded while it is open shows up within a few refreshes and plays once
picked (and is kept), the push-to-talk key is rebound to F and kept in the user's config file, and a
key another action has is refused in the window. Escape closes it, and F
then talks.

Usage: settings_window_test.py SEAFOLD"""

import os
import re
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import free_port  # noqa: E402
from pulseserver import PulseServer, available  # noqa: E402
from window_process import (WindowedProcess, click, report, start_xvfb, stop_all,  # noqa: E402
                            waiter, xdotool)

WINDOWED = sys.argv[1]
failures = []


wait = waiter(failures)



def last(window, key, value=None):
    found = [e for e in window.events() if key in e and (value is None or e[key] == value)]
    return found[-1] if found else None


if not available():
    print("no PulseAudio here (scripts/install-deps.sh --test installs it)")
    sys.exit(1)

with tempfile.TemporaryDirectory() as work, PulseServer() as pulse:
    if not pulse.start():
        sys.exit("the private sound server did not start")
    xvfb, display = start_xvfb(work)
    sam = WindowedProcess(WINDOWED, work, "sam",
                          ["server", f"127.0.0.1:{free_port()}", "--no-discovery", "--name", "sam"], display,
                          env=pulse.env())
    try:
        wait("the window", lambda: last(sam, "window"), 120)
        time.sleep(1.0)
        xdotool(display, "mousemove", "400", "300")
        xdotool(display, "key", "Escape")
        if wait("Escape's menu", lambda: last(sam, "menu", "shown"), 20):
            click(display, last(sam, "menu", "shown")["widgets"]["MenuSettings"])
        wait("the Settings window", lambda: last(sam, "settings", "shown"), 20)
        wait("the device lists", lambda: last(sam, "settings", "devices"), 20)
        devices = last(sam, "settings", "devices") or {}
        if "Null Output" not in devices.get("outputs", []):
            failures.append(f"the null sink is not among the outputs: {devices}")
        if "Monitor of Null Output" not in devices.get("inputs", []):
            failures.append(f"the null sink's monitor is not among the microphones: {devices}")

        # A headset plugged in while the window is open.
        pulse.add_sink("headset", "Headset")
        wait("the new sink offered", lambda: "Headset" in (last(sam, "settings", "devices") or {}).get("outputs", []),
             15)

        # Picked, the headset plays at once and is kept.
        shown = last(sam, "settings", "devices") or {}
        if "Headset" in shown.get("outputs", []):
            x, y, w, row = shown["output_rows"]
            click(display, (x, y + row * (1 + shown["outputs"].index("Headset")), w, row))
            wait("the headset playing", lambda: (last(sam, "settings", "note") or {}).get("text") ==
                 'Playing on "Headset"', 15)
            config = os.path.join(sam.config, "seafold", "seafold.conf")
            kept = open(config).read() if os.path.exists(config) else ""
            if not re.search(r'^output-device = "?Headset"?$', kept, re.M):
                failures.append(f"the output picked is not kept in the config file: {kept!r}")

        # Push-to-talk onto F, kept; then chat onto F, refused.
        widgets = last(sam, "settings", "shown")["widgets"]
        click(display, widgets["SettingsKey-ptt-key"])
        xdotool(display, "key", "f")
        wait("push-to-talk on F", lambda: (last(sam, "settings", "note") or {}).get("text") == "Push-to-talk is now F",
             10)
        config = os.path.join(sam.config, "seafold", "seafold.conf")
        kept = open(config).read() if os.path.exists(config) else ""
        if not re.search(r'^ptt-key = "?F"?$', kept, re.M):
            failures.append(f"push-to-talk's key is not kept in the config file: {kept!r}")
        click(display, widgets["SettingsKey-chat-key"])
        xdotool(display, "key", "f")
        wait("F refused for the chat line", lambda: (last(sam, "settings", "note") or {}).get("problem"), 10)
        note = (last(sam, "settings", "note") or {}).get("text", "")
        if "F is already Push-to-talk" not in note:
            failures.append(f"the refusal does not say which action has F: {note!r}")
        xdotool(display, "key", "Escape")  # stops waiting for a key
        xdotool(display, "key", "Escape")  # closes the window
        wait("the Settings window closed", lambda: last(sam, "settings", "hidden"), 10)
        # The new key talks, and the panel says so.
        wait("the panel telling F", lambda: (last(sam, "talk") or {}).get("talk") == "Hold F to talk", 10)
        xdotool(display, "keydown", "f")
        wait("F talking", lambda: (last(sam, "talk") or {}).get("talk") == "Talking", 10)
        xdotool(display, "keyup", "f")
        if sam.p.poll() is not None:
            failures.append(f"the program ended (exit code {sam.p.returncode})")
    finally:
        stop_all(xvfb, sam)

report(failures, "Settings opens from the menu, lists the sound server's devices and a new one, and rebinds keys")
