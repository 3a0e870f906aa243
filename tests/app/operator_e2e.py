#!/usr/bin/env python3
"""The server's operator console and the client's stops, with real processes
on loopback (free ports): commands read from a pipe (list, say, mute, kick,
ban, bans, quit); a kicked and a banned client end with exit code 1 and do
not retry; the ban survives a restart with --ban-file; a server killed with
SIGKILL is shown as not replying within 4 s. Every wait is bounded.

Usage: operator_e2e.py SEAFOLD_HEADLESS"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import free_port, read_whole  # noqa: E402

BINARY = sys.argv[1]
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


class Proc:
    def __init__(self, name, args, stdin=subprocess.DEVNULL):
        self.name = name
        self.out = tempfile.TemporaryFile(mode="w+")
        self.p = subprocess.Popen([BINARY] + args, stdin=stdin, stdout=self.out, stderr=subprocess.STDOUT)

    def text(self):
        return read_whole(self.out)

    def wait_text(self, pattern, seconds=10.0):
        end = time.time() + seconds
        while time.time() < end:
            if re.search(pattern, self.text()):
                return True
            if self.p.poll() is not None and not re.search(pattern, self.text()):
                break
            time.sleep(0.05)
        failures.append(f"{self.name}: nothing matching {pattern!r} in {self.text()!r}")
        return False

    def exit_code(self, seconds=10.0):
        try:
            return self.p.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            return None


class Server(Proc):
    def __init__(self, name, address, extra=()):
        super().__init__(name, ["server", address, "--no-discovery"] + list(extra), stdin=subprocess.PIPE)

    def command(self, line):
        self.p.stdin.write((line + "\n").encode())
        self.p.stdin.flush()


def kick_and_ban(ban_file):
    address = f"127.0.0.1:{free_port()}"
    server = Server("server", address, ["--ban-file", ban_file])
    server.wait_text("listening")
    alice = Proc("alice", ["-client", address, "alice"])
    bob = Proc("bob", ["-client", address, "bob"])
    server.wait_text("alice joined")
    server.wait_text("bob joined")
    server.command("list")
    server.wait_text(r"bob from 127\.0\.0\.1:\d+: [\d.]+ ms, \d+ lost, voice on")
    server.command("say hello everyone")
    alice.wait_text(r"\[server\] hello everyone")
    server.wait_text(r"\[server\] hello everyone")
    # Nobody may speak as the operator: the name is refused, and says so.
    fake = Proc("fake", ["-client", address, "0perator"])
    fake.wait_text(r"refused this client's name \(Name refused: .*server's own words\)")
    check(fake.exit_code() == 1, "a client whose name was refused did not end with 1")
    server.wait_text(r'Refused the name "0perator" from 127\.0\.0\.1:\d+')
    server.command("mute bob")
    server.wait_text("Muted bob: ")
    # A whole name: "kick alice (2)" kicks "alice (2)", not alice.
    twin = Proc("twin", ["-client", address, "alice"])
    server.wait_text(r"alice \(2\) joined")
    server.command("kick alice (2)")
    twin.wait_text(r"removed this client \(Kicked: by the operator\)")
    check(twin.exit_code() == 1, "the kicked twin did not end with 1")
    check("removed this client" not in alice.text(), "kick alice (2) kicked alice")
    # A user whose name only looks like the one typed (a Cyrillic a) is
    # acted on only with a line that says so.
    look = Proc("look-alike", ["-client", address, "\u0430lice"])
    server.wait_text("\u0430lice \\(2\\) joined")
    server.command("kick alice (2)")
    server.wait_text(r'No user is named "alice \(2\)" as typed; taking "\u0430lice \(2\)", whose name looks like it '
                     r'\(it holds U\+0430\)\.\nKicked \u0430lice \(2\)\.')
    check(look.exit_code() == 1, "the kicked look-alike did not end with 1")
    server.command("kick nobody at all")
    server.wait_text('No user is named "nobody at all".')
    server.command('kick "bob" too loud')
    bob.wait_text(r"removed this client \(Kicked: too loud\)")
    check(bob.exit_code() == 1, "a kicked client did not end with 1")
    alice.wait_text("bob left")
    check("Trying again" not in bob.text(), f"bob tried again: {bob.text()!r}")
    # A user banned while another shares the address: only that user goes,
    # and the console names who stays.
    carl = Proc("carl", ["-client", address, "carl"])
    server.wait_text("carl joined")
    server.command("ban carl")
    server.wait_text(r'Banned the user "carl" from 127\.0\.0\.1 for good\. Also from that address: "alice"; they stay')
    carl.wait_text("has banned this client")
    check(carl.exit_code() == 1, "a banned client did not end with 1")
    check("has banned this client" not in alice.text(), "ban carl ended alice too")
    again_carl = Proc("carl-again", ["-client", address, "CARL"])
    again_carl.wait_text("has banned this client")
    server.wait_text(r'Refused "CARL" from 127\.0\.0\.1: Banned from this server')
    server.command("ban alice")
    server.wait_text(r'Banned 127\.0\.0\.1 for good, ending "alice"\.')
    alice.wait_text("has banned this client")
    check(alice.exit_code() == 1, "a banned client did not end with 1")
    server.command("bans")
    server.wait_text(r"127\.0\.0\.1: everyone from this address, for good")
    server.command("quit")
    check(server.exit_code() == 0, "quit did not end the server with 0")
    check(os.path.exists(ban_file), "no ban file written")

    # The ban holds after a restart, read from the file.
    again = Server("server-again", address, ["--ban-file", ban_file])
    again.wait_text("listening")
    carol = Proc("carol", ["-client", address, "carol"])
    carol.wait_text("has banned this client")
    check(carol.exit_code() == 1, "a client banned before the restart did not end with 1")
    check("carol joined" not in again.text(), "a banned client joined after the restart")
    again.command("unban 127.0.0.1")
    again.wait_text("Lifted the ban of 127.0.0.1.")
    dave = Proc("dave", ["-client", address, "dave", "--quit-after", "1"])
    again.wait_text("dave joined")
    check(dave.exit_code() == 0, "dave did not end with 0 after the ban was lifted")
    again.command("quit")
    check(again.exit_code() == 0, "the second server did not end with 0")


def killed_server():
    address = f"127.0.0.1:{free_port()}"
    server = Server("doomed", address)
    server.wait_text("listening")
    erin = Proc("erin", ["-client", address, "erin"])
    erin.wait_text("Connected to the server")
    time.sleep(1.0)
    server.p.send_signal(signal.SIGKILL)
    server.p.wait()
    killed = time.time()
    if erin.wait_text(r"No reply from the server at .* for \d+ s\.", 6):
        took = time.time() - killed
        check(took <= 4.0, f"'no reply' shown {took:.1f} s after the kill, not within 4 s")
    erin.p.send_signal(signal.SIGTERM)
    erin.exit_code()


with tempfile.TemporaryDirectory() as folder:
    kick_and_ban(os.path.join(folder, "bans.txt"))
killed_server()

for f in failures:
    print("FAIL:", f)
if failures:
    sys.exit(1)
print("operator console: list, say, mute, kick, ban across a restart, unban, quit; killed server shown: passed")
