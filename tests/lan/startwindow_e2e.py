#!/usr/bin/env python3
"""The windowed program started without a mode, on a namespace LAN (see
lan.py) under a private X server, driven with xdotool:

  list_and_join      a server on another host appears in the start window's
                     list; a typed name and Join enter the scene, and the
                     name and server are kept in the user's config file;
  refused_then_retry a join the server refuses (no password) shows the
                     reason in the window, which stays; the password typed
                     in, Join enters;
  host               "Host a session" starts a server that a display-less
                     client on another host finds (auto) and joins.

Prints the time from the start to the start window and from Join to the
scene. Every wait is bounded.

    startwindow_e2e.py SEAFOLD SEAFOLD_HEADLESS

Exits 77 (skipped) with the reason when namespaces cannot be made."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))
from headless_process import HeadlessProcess  # noqa: E402
from lan import run_scenarios  # noqa: E402
from window_process import WindowedProcess, start_xvfb, wait_until  # noqa: E402

WINDOWED = os.path.abspath(sys.argv[1])
HEADLESS = os.path.abspath(sys.argv[2])
PORT = 28000
failures = []
figures = {}


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


class Window(WindowedProcess):
    """The windowed program with no mode on one host of the LAN."""

    def __init__(self, lan, host, work, name, display, args=()):
        self.started = time.time()
        super().__init__(WINDOWED, work, name, list(args), display, prefix=lan.prefix(host))
        lan.adopt(self.p)
        self.display = display

    def last(self, key):
        found = [e for e in self.events() if key in e]
        return found[-1] if found else None

    def widget(self, name):
        shown = [e for e in self.events() if e.get("start") == "shown"]
        return shown[-1]["widgets"][name] if shown else None

    def click(self, x, y):
        env = dict(os.environ, DISPLAY=self.display)
        # The pointer first, then the button: the GUI takes the click where
        # it last saw the pointer, and sees it only when it moves.
        for dx in (-2, 0):
            subprocess.run(["xdotool", "mousemove", str(int(x) + dx), str(int(y))], env=env, check=True)
            time.sleep(0.2)
        subprocess.run(["xdotool", "click", "1"], env=env, check=True)
        time.sleep(0.3)

    def press(self, name, dy=None):
        x, y, w, h = self.widget(name)
        self.click(x + w / 2, y + (dy if dy is not None else h / 2))

    def type(self, text):
        subprocess.run(["xdotool", "type", "--delay", "40", text], env=dict(os.environ, DISPLAY=self.display),
                       check=True)
        time.sleep(0.3)

    def shown_at(self):
        # Shown, and served by the main loop (which says what to do).
        return wait_until(lambda: self.widget("join") is not None and self.status()[0], 60)

    def status(self):
        line = self.last("start_status")
        return (line["start_status"], line["problem"]) if line else ("", False)

    def in_scene(self):
        line = self.last("start")
        return line is not None and line["start"] == "hidden"


class Server(HeadlessProcess):
    def __init__(self, lan, host, name, args, env=None):
        super().__init__("ip", name, ["netns", "exec", lan.hosts[host], HEADLESS] + args, failures, env=env)
        lan.adopt(self.p)

    def joined(self, user):
        return any(args and args[0] == user for args in self.rpcs("c2sAddNewClient"))


def event_time(window, predicate):
    for e in window.events():
        if predicate(e):
            return e["t"] / 1000.0
    return None


def list_and_join(lan, work, display):
    server = Server(lan, 0, "harbour", ["server", f"0.0.0.0:{PORT}", "--server-name", "Harbour", "--no-console"])
    window = Window(lan, 1, work, "alice", display)
    address = f"{lan.address(0)}:{PORT}"
    try:
        if not check(window.shown_at(), "alice: no start window"):
            return
        shown = event_time(window, lambda e: e.get("start") == "shown")
        figures["start to start window (ms)"] = round((shown - window.started) * 1000)
        listed = wait_until(lambda: any(r["name"] == "Harbour" and r["address"] == address
                                        for r in (window.last("start_servers") or {}).get("start_servers", [])), 20)
        if not check(listed, f"Harbour at {address} never listed: {window.last('start_servers')}"):
            return
        window.press("name")
        window.type("alice")
        # The first line of the list: picking it fills the address in.
        window.press("servers", dy=16)
        window.press("join")
        if not check(wait_until(window.in_scene, 20), f"alice never entered the scene: {window.status()}"):
            return
        # From the click on Join, as the window took it, to the scene.
        hidden = event_time(window, lambda e: e.get("start") == "hidden")
        clicks = [e["t"] / 1000.0 for e in window.events() if e.get("button") == 0 and e.get("down")]
        figures["Join to scene (ms)"] = round((hidden - clicks[-1]) * 1000)
        check(wait_until(lambda: server.joined("alice"), 10), "the server never had alice")
        title = f"Seafold \u2014 alice @ {address}"
        check(wait_until(lambda: (window.last("title") or {}).get("title") == title, 10),
              f"title {window.last('title')}")
        kept = open(os.path.join(window.config, "seafold", "seafold.conf")).read()
        check('name = "alice"' in kept and f'last-server = "{address}"' in kept, f"config file:\n{kept}")
    finally:
        window.stop()
        server.stop()


def refused_then_retry(lan, work, display):
    env = dict(os.environ, SEAFOLD_PASSWORD="tide")
    server = Server(lan, 0, "locked", ["server", f"0.0.0.0:{PORT}", "--no-discovery", "--no-console"], env=env)
    window = Window(lan, 1, work, "bob", display, ["--name", "bob", "--last-server", f"{lan.address(0)}:{PORT}"])
    try:
        if not check(window.shown_at(), "bob: no start window"):
            return
        window.press("join")
        refused = wait_until(lambda: window.status()[1] and "password" in window.status()[0], 20)
        if not check(refused, f"no refusal shown: {window.status()}"):
            return
        check(not window.in_scene(), "bob entered the scene of a server that refused him")
        check(window.p.poll() is None, "the refusal ended the program")
        window.press("password")
        window.type("tide")
        window.press("join")
        check(wait_until(window.in_scene, 20), f"bob never entered after the password: {window.status()}")
        check(wait_until(lambda: server.joined("bob"), 10), "the server never had bob")
    finally:
        window.stop()
        server.stop()


def host(lan, work, display):
    window = Window(lan, 2, work, "carol", display, ["--name", "carol"])
    dave = None
    try:
        if not check(window.shown_at(), "carol: no start window"):
            return
        window.press("host")
        if not check(wait_until(window.in_scene, 20), f"hosting did not start: {window.status()}"):
            return
        dave = Server(lan, 0, "dave", ["-client", "auto", "dave", "--quit-after", "4"])
        check(wait_until(lambda: any(e.get("state") == "connected" for e in dave.events()), 15),
              f"dave never joined carol's session: {dave.stderr_text()}")
        joined = wait_until(lambda: any(e.get("rpc") == "c2sAddNewClient" and e.get("args") == ["dave"]
                                        for e in window.events()), 10)
        check(joined, "carol's session never had dave")
    finally:
        if dave:
            dave.stop()
        window.stop()


def main():
    work = tempfile.mkdtemp(prefix="seafold-start-")

    def display(lan):
        xvfb, name = start_xvfb(work)
        lan.adopt(xvfb)
        return work, name

    code = run_scenarios([list_and_join, refused_then_retry, host], failures, prepare=display)
    for name, value in figures.items():
        print(f"{name}: {value}")
    if code == 1:
        print(f"the programs' folders are in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
