#!/usr/bin/env python3
"""The windowed program started without a mode, on a namespace LAN (see
lan.py) under a private X server, driven with xdotool:

  list_and_join      a server on another host appears in the start window's
                     list; a typed name and Join enter the scene, and the
                     name and server are kept in the user's config file;
  refused_then_retry a join the server refuses (no password) shows the
                     reason in the window, which stays; the password typed
                     in, Join enters; once the server comes back with
                     another key, Join is refused with why and a second
                     Join accepts the new key;
  host               "Host a session" and "Start hosting" start a server
                     that a display-less client on another host finds
                     (auto) and joins;
  same_panels        a join from the start window and one with -client
                     show the same panels and rows (the talk row too);
  host_and_moderate  a session hosted from the window with a password is
                     listed locked by another window, which joins with the
                     password; the host kicks it from the People panel (it
                     is back at its start window), it joins again, leaves
                     through Escape's menu and joins once more; the host
                     bans it for the panel's minutes and it cannot join;
  steady_list        three servers keep one order in the list (by name,
                     then address) through several rounds and a Refresh.

Prints the time from the start to the start window and from Join to the
scene. Every wait is bounded.

    startwindow_e2e.py SEAFOLD SEAFOLD_HEADLESS

Exits 77 (skipped) with the reason when namespaces cannot be made."""

import calendar
import os
import re
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

    def __init__(self, lan, host, work, name, display, args=(), at=(0, 0)):
        self.started = time.time()
        # Two windows stand side by side on the wide display: each takes
        # its own clicks.
        self.at = at
        env = dict(os.environ, SEAFOLD_WINDOW_AT=f"{at[0]},{at[1]}")
        super().__init__(WINDOWED, work, name, list(args), display, prefix=lan.prefix(host), env=env)
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
        # The GUI's cursor follows the pointer's moves, not where it is:
        # over the far corner and back to the near one first puts both at
        # the window's top left, whatever the pointer did before.
        left, top = self.at
        x, y = x + left, y + top
        subprocess.run(["xdotool", "mousemove", str(left + 1023), str(top + 767)], env=env, check=True)
        time.sleep(0.1)
        subprocess.run(["xdotool", "mousemove", str(left), str(top)], env=env, check=True)
        time.sleep(0.1)
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
        # Shown, and served by the main loop (which says what to do). A
        # first click into the name field (harmless) makes sure the window
        # takes the pointer before a click that counts: on a busy machine
        # the very first one could go astray.
        shown = wait_until(lambda: self.widget("join") is not None and self.status()[0], 60)
        if shown:
            self.press("name")
        return shown

    def status(self):
        line = self.last("start_status")
        return (line["start_status"], line["problem"]) if line else ("", False)

    def in_scene(self):
        line = self.last("start")
        return line is not None and line["start"] == "hidden"

    def at_start(self):
        line = self.last("start")
        return line is not None and line["start"] == "shown"

    def panels(self):
        line = self.last("panels")
        return line["panels"] if line else None

    def rows(self):
        return (self.last("start_servers") or {}).get("start_servers", [])

    def key(self, name):
        subprocess.run(["xdotool", "key", name], env=dict(os.environ, DISPLAY=self.display), check=True)
        time.sleep(0.3)

    def stdout_text(self):
        with open(os.path.join(self.folder, "out.txt")) as f:
            return f.read()


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
        # Settings opens over the start window; Escape closes it, back there.
        window.press("settings")
        check(wait_until(lambda: (window.last("settings") or {}).get("settings") in ("shown", "devices"), 10),
              "the start window's Settings button opened nothing")
        window.key("Escape")
        check(wait_until(lambda: (window.last("settings") or {}).get("settings") == "hidden", 10) and
              window.p.poll() is None and window.at_start(), "Escape did not close Settings back to the start window")
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
        if not check(wait_until(window.in_scene, 20), f"bob never entered after the password: {window.status()}"):
            return
        check(wait_until(lambda: server.joined("bob"), 10), "the server never had bob")

        # Back to the start window; the server comes back with another key.
        # Join is refused with why, and a second Join accepts the new key.
        window.click(300, 200)
        window.key("Escape")
        window.key("l")
        if not check(wait_until(window.at_start, 20), f"Leave session did not bring bob back: {window.status()}"):
            return
        server.stop()
        server = Server(lan, 0, "rekeyed", ["server", f"0.0.0.0:{PORT}", "--no-discovery", "--no-console",
                                            "--new-key-each-start"], env=env)
        wait_until(lambda: "listening" in server.stderr_text(), 10)
        window.press("join")
        refused = wait_until(lambda: window.status()[1] and "press Join again" in window.status()[0], 20)
        if not check(refused, f"no word of the changed key in the window: {window.status()}"):
            return
        check(not window.in_scene() and not server.joined("bob"), "bob joined a server whose key changed")
        window.press("join")
        check(wait_until(window.in_scene, 20) and wait_until(lambda: server.joined("bob"), 10),
              f"a second Join did not accept the new key: {window.status()}")
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
        window.press("start_hosting")
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


def same_panels(lan, work, display):
    server = Server(lan, 0, "quay", ["server", f"0.0.0.0:{PORT}", "--server-name", "Quay", "--no-console"])
    address = f"{lan.address(0)}:{PORT}"
    # One from the start window (name and server kept from an earlier run:
    # one click), one from the command line.
    erin = Window(lan, 1, work, "erin", display, ["--name", "erin", "--last-server", address])
    fred = Window(lan, 2, work, "fred", display, ["-client", address, "fred"], at=(1024, 0))
    try:
        if not check(erin.shown_at(), "erin: no start window"):
            return
        erin.press("join")
        check(wait_until(erin.in_scene, 20), f"erin never entered the scene: {erin.status()}")
        # The click into the name field that shown_at makes is no action of
        # the user's.
        clicks = [e for e in erin.events() if e.get("button") == 0 and e.get("down")]
        figures["start window to session, a known server (actions)"] = len(clicks) - 1
        joined = wait_until(lambda: server.joined("erin") and server.joined("fred"), 30)
        if not check(joined, "erin or fred never joined"):
            return
        # The panels settle (the talk row shows once the session runs).
        settled = wait_until(lambda: erin.panels() and erin.panels() == fred.panels(), 15)
        check(settled, f"the panels differ:\nstart window only: {sorted(set(erin.panels() or []) - set(fred.panels() or []))}"
                       f"\n-client only: {sorted(set(fred.panels() or []) - set(erin.panels() or []))}")
        for name in ("PeoplePanel", "TalkStatus", "TalkLabel", "HoldToTalkRBtn", "SpeakToTalkRBtn"):
            check(name in (erin.panels() or []), f"the start window's session has no {name}")
    finally:
        erin.stop()
        fred.stop()
        server.stop()


def people_row(window, person):
    """(x, y) of the first line of `person` in the People panel, or None."""
    widgets = window.last("widgets_of")
    people = window.last("people")
    if not widgets or not people:
        return None
    for index, text in enumerate(people["people"]):
        if person in text:
            x, y = widgets["widgets"]["ListText"]
            return x + 30, y + widgets["widgets"]["row"] * (index + 0.5)
    return None


def moderate(window, person, button):
    """Picks `person`'s row in the People panel and clicks `button` under
    it; False when the row never shows."""
    if not wait_until(lambda: people_row(window, person) is not None, 10):
        return False
    window.click(*people_row(window, person))
    x, y, w, h = window.last("widgets_of")["widgets"][button]
    window.click(x + w / 2, y + h / 2)
    return True


def host_and_moderate(lan, work, display):
    carol = Window(lan, 2, work, "carol2", display, ["--name", "carol"])
    dave = Window(lan, 0, work, "dave", display, ["--name", "dave"], at=(1024, 0))
    address = f"{lan.address(2)}:{PORT}"
    try:
        if not check(carol.shown_at() and dave.shown_at(), "no start windows"):
            return
        carol.press("host")
        carol.press("host_password")
        carol.type("tide")
        started = time.time()
        carol.press("start_hosting")
        if not check(wait_until(carol.in_scene, 20), f"hosting did not start: {carol.status()}"):
            return
        # A click on where to join puts it on the desktop's clipboard (while
        # nobody has joined, the lines are in view without scrolling).
        if check(wait_until(lambda: people_row(carol, "others join at") is not None, 10),
                 f"carol's panel does not say where to join: {carol.last('people')}"):
            carol.click(*people_row(carol, "others join at"))
            copied = wait_until(lambda: carol.last("copied"), 5) and carol.last("copied")
            check(copied and copied["taken"] and address in copied["copied"], f"carol's join details: {copied}")
        locked = wait_until(lambda: any(r["address"] == address and r["locked"] and r["name"] == "carol's session"
                                        for r in dave.rows()), 20)
        if not check(locked, f"dave never listed carol's session locked: {dave.rows()}"):
            return
        check(not any(r["address"] == address and r["known"] for r in dave.rows()),
              f"a server dave never joined shows as known: {dave.rows()}")
        dave.press("password")
        dave.type("tide")
        dave.press("servers", dy=16)
        dave.press("join")
        if not check(wait_until(dave.in_scene, 20), f"dave never joined carol's session: {dave.status()}"):
            return
        figures["host from the window to a second host in the session (s)"] = round(time.time() - started, 1)
        told = wait_until(lambda: any("others join at" in t for t in (carol.last("people") or {}).get("people", []))
                          and any("key " in t for t in carol.last("people")["people"]), 10)
        check(told, f"carol's panel does not say where to join: {carol.last('people')}")

        # Kick from the People panel: dave is back at his start window.
        if not check(moderate(carol, "dave", "ModKickBtn"), f"no row of dave in carol's panel: {carol.last('people')}"):
            return
        back = wait_until(lambda: dave.at_start() and "Kicked" in dave.status()[0], 20)
        check(back, f"the kick did not bring dave back to his start window: {dave.status()}")
        check(wait_until(lambda: "Kicked dave." in carol.stdout_text(), 5), "no console line of the kick")
        # Once joined, the server's key is remembered and its row says so.
        known = wait_until(lambda: any(r["address"] == address and r["known"] for r in dave.rows()), 15)
        check(known, f"carol's session is not a known server after dave joined it: {dave.rows()}")

        # Join again, then leave through Escape's menu, then join once more.
        dave.press("join")
        if not check(wait_until(dave.in_scene, 20), f"dave could not join again: {dave.status()}"):
            return
        dave.click(300, 200)
        dave.key("Escape")
        check(wait_until(lambda: (dave.last("menu") or {}).get("menu") == "shown", 10), "Escape opened no menu")
        dave.key("l")
        check(wait_until(dave.at_start, 20), f"Leave session did not bring dave back: {dave.status()}")
        dave.press("join")
        if not check(wait_until(dave.in_scene, 20), f"dave could not join after leaving: {dave.status()}"):
            return

        # Ban from the People panel for the minutes in its field (10 by
        # default): dave is back at his start window, the console line names
        # the end of the ban about ten minutes from now, and he cannot join.
        if not check(moderate(carol, "dave", "ModBanBtn"), f"no row of dave after his rejoin: {carol.last('people')}"):
            return
        banned = wait_until(lambda: dave.at_start() and "anned" in dave.status()[0], 20)
        check(banned, f"the ban did not bring dave back to his start window: {dave.status()}")
        ban_line = r"Banned \S+ until (\d{4}-\d\d-\d\d \d\d:\d\d) UTC"
        wait_until(lambda: re.search(ban_line, carol.stdout_text()), 5)
        line = re.search(ban_line, carol.stdout_text())
        if check(line, f"no console line of the ban: {carol.stdout_text()[-500:]}"):
            until = calendar.timegm(time.strptime(line.group(1), "%Y-%m-%d %H:%M"))
            check(abs(until - (time.time() + 600)) <= 90, f"the ban ends at {line.group(1)} UTC, not in 10 minutes")
        dave.press("join")
        check(not wait_until(dave.in_scene, 8), f"a banned dave joined again: {dave.status()}")
        check("anned" in dave.status()[0], f"dave's start window does not say he is banned: {dave.status()}")
        check(dave.p.poll() is None and carol.p.poll() is None, "a program ended")
    finally:
        dave.stop()
        carol.stop()


def steady_list(lan, work, display):
    servers = [Server(lan, 0, "harbour2", ["server", f"0.0.0.0:{PORT}", "--server-name", "Harbour", "--no-console"]),
               Server(lan, 0, "bay1", ["server", f"0.0.0.0:{PORT + 2}", "--server-name", "Bay", "--no-console"]),
               Server(lan, 1, "bay2", ["server", f"0.0.0.0:{PORT}", "--server-name", "Bay", "--no-console"])]
    window = Window(lan, 2, work, "gina", display, ["--name", "gina"])
    try:
        if not check(window.shown_at(), "gina: no start window"):
            return
        if not check(wait_until(lambda: len(window.rows()) == 3, 20), f"not all three listed: {window.rows()}"):
            return
        # Several rounds (3 s each), and a Refresh between them.
        time.sleep(4)
        window.press("refresh")
        time.sleep(4)
        lists = [[r["address"] for r in e["start_servers"]] for e in window.events() if "start_servers" in e]
        full = [order for order in lists if len(order) == 3]
        check(len(full) >= 1 and all(order == full[0] for order in full), f"the rows moved: {full}")
        names = [r["name"] for r in window.rows()]
        check(names == sorted(names), f"not by name: {names}")
        check(full and full[0][:2] == sorted(full[0][:2]), f"the two Bays not by address: {full[:1]}")
        check(all(r["ms"] >= 0 and not r["locked"] and not r["other_version"] for r in window.rows()),
              f"rows: {window.rows()}")
    finally:
        window.stop()
        for server in servers:
            server.stop()


def main():
    work = tempfile.mkdtemp(prefix="seafold-start-")

    def display(lan):
        # Wide enough for two windows side by side.
        xvfb, name = start_xvfb(work, size="2048x768x24")
        lan.adopt(xvfb)
        return work, name

    code = run_scenarios([list_and_join, refused_then_retry, host, same_panels, host_and_moderate, steady_list],
                         failures, prepare=display)
    for name, value in figures.items():
        print(f"{name}: {value}")
    if code == 1:
        print(f"the programs' folders are in {work}")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return code


if __name__ == "__main__":
    sys.exit(main())
