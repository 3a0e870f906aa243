#!/usr/bin/env python3
"""What a user of seafold-headless sees on the terminal, with real processes on
loopback (free ports): the console lines of a join, a pick and a leave; a
second server on a port in use; a client started 10 s before its server; a
client that loses its server and finds it again (and one told not to try);
a name longer than 255 bytes, cut where a character ends;
--quiet; SEAFOLD_LOG=help and an unknown channel; a quiet sound start-up.
Every wait is bounded.

Usage: console_e2e.py SEAFOLD_HEADLESS SOURCE_DIR"""

import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import HeadlessProcess, free_port, read_whole  # noqa: E402

BINARY = sys.argv[1]
SOURCES = sys.argv[2]
failures = []
NO_SOUND = "no sound device: running silent"


def check(condition, message):
    if not condition:
        failures.append(message)


class Proc(HeadlessProcess):
    """A seafold-headless without --events: standard output holds the console."""

    def __init__(self, name, args, env=None):
        super().__init__(BINARY, name, args, failures, env=dict(os.environ, **(env or {})), events=False)

    def lines(self):
        # Whether this machine has a sound device is not the test's business.
        return [l for l in read_whole(self.out).splitlines() if l != NO_SOUND]

    def errors(self):
        return self.stderr_text()

    def wait_line(self, pattern, seconds=10.0):
        end = time.time() + seconds
        while time.time() < end:
            if any(re.fullmatch(pattern, l) for l in self.lines()):
                return True
            if self.p.poll() is not None:
                break
            time.sleep(0.05)
        failures.append(f"{self.name}: no line matching {pattern!r} in {self.lines()} (stderr {self.errors()!r})")
        return False


def expect_lines(proc, patterns):
    lines = proc.lines()
    ok = len(lines) == len(patterns) and all(re.fullmatch(p, l) for p, l in zip(patterns, lines))
    check(ok, f"{proc.name}: lines {lines}\n  expected {patterns}")


def run(args, env=None, timeout=20):
    return subprocess.run([BINARY] + args, capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ, **(env or {})))


def q(text):
    return re.escape(text)


# A server seals by default and says so with its key's fingerprint.
SEALED = r" \(key fingerprint [0-9a-f]{16}\)"


def join_pick_leave(address):
    server = Proc("server", ["server", address])
    server.wait_line(q(f"Seafold server listening on {address}") + SEALED)
    alice = Proc("alice", ["-client", address, "alice", "--model", "boat.mesh"])
    server.wait_line(r"alice picked boat\.mesh")
    bob = Proc("bob", ["-client", address, "bob"])
    server.wait_line("bob joined from .*")
    quiet = Proc("carol", ["-client", address, "carol", "--quiet"])
    alice.wait_line(r"carol is in the session")
    bob.wait_line(r"carol is in the session")
    check(bob.stop() == 0, "bob did not end with 0")
    alice.wait_line(r"bob left")
    server.wait_line(r"bob left")
    check(quiet.stop() == 0, "carol did not end with 0")
    server.wait_line(r"carol left")

    client_from = r"127\.0\.0\.1:\d+"
    expect_lines(server, [q(f"Seafold server listening on {address}") + SEALED,
                          f"alice joined from {client_from}", r"alice picked boat\.mesh",
                          f"bob joined from {client_from}", f"carol joined from {client_from}",
                          "bob left", "carol left"])
    expect_lines(bob, [q(f"Connecting to {address} as bob ..."), q(f"Connected to the server at {address}."),
                       "alice is in the session", r"alice picked boat\.mesh", "carol is in the session"])
    check(quiet.lines() == [] and quiet.errors() == "",
          f"--quiet printed {quiet.lines()} {quiet.errors()!r}")
    # No chatter beside the console: nothing on standard error.
    for p in (server, alice, bob):
        check(p.errors() == "", f"{p.name} wrote to standard error: {p.errors()!r}")
    return server, alice


def port_in_use(address):
    second = run(["server", address])
    check(second.returncode == 1, f"second server: exit {second.returncode}")
    expected = (f"seafold-headless: cannot start the server: {address} is already in use by another program "
                "(another Seafold server?). Stop that program, or choose another port.\n")
    check(second.stderr == expected, f"second server said {second.stderr!r}")
    check("listening" not in second.stdout, f"second server claims to listen: {second.stdout!r}")


def lost_and_found(address, server, alice):
    # The server goes; alice tries again every 5 s, dave was told not to.
    dave = Proc("dave", ["-client", address, "dave", "--no-retry"])
    server.wait_line("dave joined from .*")
    check(server.stop() == 0, "server did not end with 0")
    lost = q(f"Lost the connection to the server at {address}: the server shut down.")
    alice.wait_line(lost)
    alice.wait_line(q("Trying again in 5 s."))
    dave.wait_line(lost)
    again = Proc("server-again", ["server", address])
    alice.wait_line(q(f"Connecting to {address} as alice (attempt 2) ..."), 10)
    # Joined again under the same name, with the model picked before.
    again.wait_line(r"alice picked boat\.mesh", 10)
    lines = alice.lines()
    check(lines[-2:] == [f"Connecting to {address} as alice (attempt 2) ...", f"Connected to the server at {address}."]
          or lines[-3:-1] == [f"Connecting to {address} as alice (attempt 2) ...",
                              f"Connected to the server at {address}."],
          f"alice after the server came back: {lines[-4:]}")
    # A second alice is told the name the server gave her.
    twin = Proc("twin", ["-client", address, "alice"])
    twin.wait_line(q("[server] Your name is in use here; you are now: alice (2)"))
    check(not any("dave" in l for l in again.lines()), f"dave joined again: {again.lines()}")
    check(not any("Trying again" in l for l in dave.lines()), f"dave tried again: {dave.lines()}")
    # Told not to try again, dave ended on his own, and says so with his exit code.
    try:
        dave_exit = dave.p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        dave_exit = None
    check(dave_exit == 1, f"dave (--no-retry) ended with {dave_exit}, not 1")
    check(q("Not trying again (--no-retry).") in [re.escape(l) for l in dave.lines()],
          f"dave did not say he stops: {dave.lines()}")
    for p in (alice, twin, again):
        check(p.stop() == 0, f"{p.name} did not end with 0")


def long_name(address, server):
    # 150 two-byte characters: cut at a character's end, the cut name is what
    # the user is told and what everyone else sees.
    asked = "\u00e9" * 150
    cut = "\u00e9" * 127
    user = Proc("long", ["-client", address, asked])
    user.wait_line(q(f"Your name is longer than 255 bytes; it is cut to: {cut}"))
    server.wait_line(q(cut) + " joined from .*")
    check(not any(asked[:128] in l for l in server.lines()), "the server saw the whole long name")
    check(user.stop() == 0, "the long-named user did not end with 0")
    server.wait_line(q(cut) + " left")


def log_channels():
    listed = run([], env={"SEAFOLD_LOG": "help"})
    check(listed.returncode == 0, f"SEAFOLD_LOG=help: exit {listed.returncode}")
    used = set()
    for folder, _, files in os.walk(os.path.join(SOURCES, "src")):
        for name in files:
            if name.endswith((".cpp", ".h")):
                with open(os.path.join(folder, name), encoding="utf-8") as f:
                    used.update(re.findall(r'(?:SF_LOG|findOrCreateLogChannel)\("(\w+)"', f.read()))
    check(len(used) >= 5, f"found only {used} in the sources")
    shown = set(re.findall(r"^  (Log\w+) ", listed.stdout, re.M))
    check(used <= shown, f"SEAFOLD_LOG=help misses {sorted(used - shown)}")
    check(shown <= used, f"SEAFOLD_LOG=help lists channels nothing uses: {sorted(shown - used)}")

    port = free_port()
    warned = run(["server", f"127.0.0.1:{port}", "--quit-after", "0"],
                 env={"SEAFOLD_LOG": "LogUDP, NoSuchChannel"})
    check(warned.returncode == 0, f"unknown channel: exit {warned.returncode}")
    warning = 'seafold-headless: SEAFOLD_LOG names no channel "NoSuchChannel" (SEAFOLD_LOG=help lists them)'
    err = warned.stderr.splitlines()
    check(err[:1] == [warning], f"unknown channel: stderr {err[:2]}")
    check(any(l.startswith("LogUDP: ") for l in err), "the known channel was not on")


def quiet_sound():
    # The audio library over the sound system, with a card that no machine
    # has: the sound system reports it in about ten lines.
    no_card = {"ALSOFT_DRIVERS": "alsa", "ALSA_CARD": "SeafoldNoSuchCard"}
    port = free_port()
    plain = run(["server", f"127.0.0.1:{port}", "--quit-after", "0"], env=no_card)
    check(plain.stdout.splitlines()[:1] == [NO_SOUND], f"sound start-up said {plain.stdout!r}")
    check(plain.stderr == "", f"sound start-up chatter: {plain.stderr!r}")
    # The chatter was there: it went to the log channel.
    logged = run(["server", f"127.0.0.1:{port}", "--quit-after", "0"], env=dict(no_card, SEAFOLD_LOG="LogSound"))
    check(any(l.startswith("LogSound: ALSA lib") for l in logged.stderr.splitlines()),
          f"LogSound showed {logged.stderr!r}")
    quiet = run(["server", f"127.0.0.1:{port}", "--quit-after", "0", "--quiet"], env=no_card)
    check(quiet.stdout == "" and quiet.stderr == "", f"--quiet printed {quiet.stdout!r} {quiet.stderr!r}")


# The early client waits for a server that starts 10 s later; the other cases
# run meanwhile.
early_address = f"127.0.0.1:{free_port()}"
started = time.time()
early = Proc("early", ["-client", early_address, "early"])

address = f"127.0.0.1:{free_port()}"
server, alice = join_pick_leave(address)
port_in_use(address)
long_name(address, server)
log_channels()
quiet_sound()
lost_and_found(address, server, alice)

time.sleep(max(0.0, started + 10 - time.time()))
late_server = Proc("late-server", ["server", early_address])
early.wait_line(q(f"Connected to the server at {early_address}."), 25)
late_server.wait_line("early joined from .*")
check(early.lines()[:1] == [f"Connecting to {early_address} as early ..."], f"early: {early.lines()[:2]}")
for p in (early, late_server):
    check(p.stop(signal.SIGINT) == 0, f"{p.name} did not end with 0 on SIGINT")

if failures:
    print("\n".join(failures))
    print(f"{len(failures)} failed")
    sys.exit(1)
print("console: join/pick/leave, port in use, a long name cut, retry, --no-retry, --quiet, log channels, quiet sound: passed")
