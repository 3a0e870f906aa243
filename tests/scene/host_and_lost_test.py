#!/usr/bin/env python3
"""Under a private X server: a windowed server takes part in its own
session. A display-less client of the current wire version and one of
version 0 are both introduced to the host by name; the host's panel shows
it as "you", not among the others. Then a windowed client whose server is
killed draws the other users' models greyed (lost) once it stops hearing
from the server, and as they are again once the server is back.

Usage: host_and_lost_test.py SEAFOLD SEAFOLD_HEADLESS"""

import os
import signal
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import HeadlessProcess, free_port  # noqa: E402
from window_process import WindowedProcess, report, start_xvfb, stop_all, waiter  # noqa: E402

WINDOWED, HEADLESS = sys.argv[1], sys.argv[2]
failures = []


wait = waiter(failures)


def others(window):
    """How the window drew the other users' models, change by change."""
    return [e["others"] for e in window.events() if "others" in e]


def host_takes_part(work, display):
    address = f"127.0.0.1:{free_port()}"
    host = WindowedProcess(WINDOWED, work, "host", ["server", address, "--name", "hostess"], display)
    clients = []
    try:
        wait("the host's window", lambda: any("title" in e for e in host.events()), 120)
        for name, extra in (("alice", []), ("old", ["--wire-version", "0"])):
            clients.append(HeadlessProcess(HEADLESS, name, ["-client", address, name, "--model", "boat.mesh"] + extra,
                                           failures))
        for client in clients:
            wait(f"{client.name} introduced to the host",
                 lambda c=client: ["hostess"] in c.rpcs("s2cIntroduceNewClient"), 20)
        wait("the host's panel", lambda: any(
            any("old" in str(line) for line in e["people"]) for e in host.events() if "people" in e), 20)
        panels = [e["people"] for e in host.events() if "people" in e]
        shown = " | ".join(str(line) for line in panels[-1]) if panels else ""
        if "hostess (you)" not in shown:
            failures.append(f"the host's panel does not show it as you: {shown}")
    finally:
        for client in clients:
            client.stop()
        host.stop()


def others_lost_and_back(work, display):
    address = f"127.0.0.1:{free_port()}"
    server = HeadlessProcess(HEADLESS, "server", ["server", address], failures, events=False)
    bob = WindowedProcess(WINDOWED, work, "bob", ["-client", address, "bob"], display)
    alice = again = None
    try:
        wait("bob's connection", lambda: any(e.get("state") == "connected" for e in bob.events()), 120)
        alice = HeadlessProcess(HEADLESS, "alice", ["-client", address, "alice", "--model", "boat.mesh"], failures)
        wait("alice's model in bob's scene", lambda: any(e.get("model") == "alice" for e in bob.events()), 20)
        # Before the connection there is nobody to draw; once it is up, the
        # others are drawn as they are.
        wait("bob drawing the others as they are", lambda: others(bob)[-1:] in ([], ["shown"]), 5)
        shown = len(others(bob))
        server.stop(signal.SIGKILL)
        wait("bob drawing the others as lost", lambda: "lost" in others(bob)[shown:], 16)
        again = HeadlessProcess(HEADLESS, "server-again", ["server", address], failures, events=False)
        wait("bob drawing the others as they are again",
             lambda: others(bob)[-1:] == ["shown"], 30)
    finally:
        for p in (alice, again):
            if p:
                p.stop()
        bob.stop()
        server.stop()


with tempfile.TemporaryDirectory() as work:
    xvfb, display = start_xvfb(work)
    try:
        host_takes_part(work, display)
        others_lost_and_back(work, display)
    finally:
        stop_all(xvfb)

report(failures, "the host is a user to clients of both versions; a silent server's users are drawn as lost, then as they are")
