#!/usr/bin/env python3
"""Real seafold-headless processes on loopback: with --secure a whole session
(join, move, voice, leave) with a pinned server key, an --insecure client
refused with the reason, a wrong --server-key refused; a server that seals by
default showing its key's fingerprint, which a pinned client joins; and a
secure client that gives up on an --insecure server; a session with a join
password, where a wrong one ends the client and learns nothing; a server
posing with another password, answered with nothing it can test; a server
whose key changed, or that offers none, refused until the client accepts
the new key. Every wait is bounded.
Usage: secure_e2e.py SEAFOLD_HEADLESS"""

import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import HeadlessProcess, free_port  # noqa: E402

BINARY = sys.argv[1]
failures = []


class Proc(HeadlessProcess):
    def __init__(self, args, name, env=None):
        super().__init__(BINARY, name, args, failures, env=env)

    def states(self):
        return [e for e in self.events() if "state" in e]


def check(condition, message):
    if not condition:
        failures.append(message)


def secure_server(address, extra=("--secure",), mark="secure; "):
    server = Proc(["server", address, "--ping-interval", "100", "--stats", "300", *extra], "server")
    line = re.compile(r"^Seafold server listening on (\S+) \(" + mark + r"key fingerprint ([0-9a-f]{16})\)$", re.M)
    found = []
    server.wait_for("the start-up line", lambda: found.extend(line.findall(server.stderr_text())) or found)
    check(found and found[0][0] == address, f"start-up line {server.stderr_text()!r}")
    return server, (found[0][1] if found else "")


def failed_with(proc, what):
    proc.wait_for(what, lambda: any(s["state"] == "failed" for s in proc.states()), 20)
    # The first report that is not "connecting": a refused client never connects.
    states = [s for s in proc.states() if s["state"] != "connecting"]
    return states[0].get("reason", "") if states and states[0]["state"] == "failed" else None


def secure_session():
    address = f"127.0.0.1:{free_port()}"
    server, fingerprint = secure_server(address)
    alice = Proc(["-client", address, "alice", "--server-key", fingerprint, "--model", "boat.mesh",
                  "--move", "1,0,0", "--move", "0,0,2"], "alice")
    server.wait_for("alice's moves", lambda: len(server.rpcs("c2smakeMovement")) == 2)
    # The fingerprint as people might type it back: capitals, in pairs.
    typed = ":".join(fingerprint[i:i + 2] for i in range(0, 16, 2)).upper()
    bob = Proc(["-client", address, "bob", "--server-key", typed, "--model", "fish.mesh", "--voice", "0a0b0c"],
               "bob")
    bob.wait_for("bob's introduction to alice", lambda: len(bob.rpcs("s2cEntityNotify")) >= 1)
    check(bob.rpcs("s2cEntityNotify")[:1] == [["boat.mesh", 1.0, 0.0, 2.0, "alice"]],
          f"bob learned {bob.rpcs('s2cEntityNotify')[:1]}")
    alice.wait_for("bob's model", lambda: (alice.model("bob") or {}).get("entity") == "fish.mesh")
    alice.wait_for("bob's voice", lambda: alice.rpcs("s2cVoice") == [["0a0b0c", "bob"]])
    check(server.rpcs("c2sVoice") == [[False, "0a0b0c", "bob"]], f"server voice {server.rpcs('c2sVoice')}")

    # Statistics come every 300 ms; a quick session can be over before one.
    server.wait_for("statistics of both connections",
                    lambda: any(len(e.get("stats") or []) == 2 for e in server.events()))
    check(alice.stop() == 0, "alice did not end with 0")
    bob.wait_for("alice's leave", lambda: bob.rpcs("s2cclientDisconnect") == [["alice"]])
    check((bob.model("alice") or {}).get("entity", "x") is None, "bob still shows alice")
    check(bob.stop() == 0, "bob did not end with 0")

    # Sealed both ways, nothing turned away on an honest session.
    time.sleep(0.4)
    stats = [e["stats"] for e in server.events() if "stats" in e and e["stats"]]
    check(stats, "no statistics from the server")
    check(all(c.get("packets_rejected") == 0 for s in stats for c in s), f"rejected packets {stats[-1:]}")
    return server, address, fingerprint


def ended_with_one(proc):
    try:
        return proc.p.wait(timeout=10) == 1
    except subprocess.TimeoutExpired:
        proc.stop()
        return False


def refusals(server, address, fingerprint):
    plain = Proc(["-client", address, "mallory", "--insecure", "--quit-after", "30"], "mallory")
    reason = failed_with(plain, "the refusal of a plain client")
    check(reason == "This server requires --secure", f"plain client: {reason!r}")
    # A refusal waiting will not change ends the client, with exit code 1.
    check(ended_with_one(plain), "mallory did not end with 1")
    check(["mallory"] not in server.rpcs("c2sAddNewClient"), "the server let a plain client join")

    wrong = "0123456789abcdef" if fingerprint != "0123456789abcdef" else "fedcba9876543210"
    eve = Proc(["-client", address, "eve", "--server-key", wrong, "--quit-after", "30"], "eve")
    reason = failed_with(eve, "the refusal of a wrong key")
    check(reason is not None and reason.startswith(
        f"The server's key fingerprint is {fingerprint}, not {wrong} as given with --server-key"), f"eve: {reason!r}")
    check(ended_with_one(eve), "eve did not end with 1")
    check(["eve"] not in server.rpcs("c2sAddNewClient"), "the server let eve join")
    check(server.stop() == 0, "the secure server did not end with 0")


def sealed_by_default():
    address = f"127.0.0.1:{free_port()}"
    server, fingerprint = secure_server(address, extra=(), mark="")
    dave = Proc(["-client", address, "dave", "--server-key", fingerprint, "--quit-after", "30"], "dave")
    server.wait_for("dave's join", lambda: server.rpcs("c2sAddNewClient") == [["dave"]])
    check(dave.stop() == 0, "dave did not end with 0")
    check(server.stop() == 0, "the default server did not end with 0")


def plain_server():
    address = f"127.0.0.1:{free_port()}"
    server = Proc(["server", address, "--insecure"], "plain-server")
    time.sleep(0.2)
    careful = Proc(["-client", address, "carol", "--secure", "--quit-after", "30"], "carol")
    reason = failed_with(careful, "a secure client's refusal of a plain server")
    check(reason == "This server does not use --secure", f"carol: {reason!r}")
    check(ended_with_one(careful), "carol did not end with 1")
    check(server.rpcs("c2sAddNewClient") == [], "carol joined a plain server")
    check(server.stop() == 0, "the plain server did not end with 0")


def password_session():
    folder = tempfile.mkdtemp(prefix="seafold-password-")
    right = os.path.join(folder, "right")
    wrong = os.path.join(folder, "wrong")
    with open(right, "w") as f:
        f.write("tide and salt\n")
    with open(wrong, "w") as f:
        f.write("tide and sand\n")
    address = f"127.0.0.1:{free_port()}"
    server, _ = secure_server(address, extra=("--password-file", right), mark="secure; ")
    # The right password from the environment, the way a script passes it.
    env = dict(os.environ, SEAFOLD_PASSWORD="tide and salt")
    alice = Proc(["-client", address, "alice", "--model", "boat.mesh", "--quit-after", "30"], "alice", env=env)
    server.wait_for("alice's join", lambda: server.rpcs("c2sAddNewClient") == [["alice"]])
    mallory = Proc(["-client", address, "mallory", "--password-file", wrong, "--quit-after", "30"], "mallory")
    # The connection comes up sealed, then the proof is turned down.
    mallory.wait_for("the refusal of a wrong password",
                     lambda: any(s["state"] == "disconnected" for s in mallory.states()), 20)
    reasons = [s.get("reason") for s in mallory.states() if s["state"] == "disconnected"]
    check(reasons[:1] == ["Wrong password"], f"mallory: {reasons!r}")
    check(ended_with_one(mallory), "mallory did not end with 1")
    check(mallory.rpcs("s2cIntroduceNewClient") == [] and mallory.rpcs("s2cEntityNotify") == [],
          "mallory learned who is there without the password")
    check("mallory joined" not in server.stderr_text(), "the server let mallory join")
    check(alice.stop() == 0, "alice did not end with 0")
    check(server.stop() == 0, "the password server did not end with 0")


def rogue_password_server():
    """A server posing with a password of its own (its one guess) asks alice
    for hers: it records her answer, which holds nothing of the password and
    carries one guess only; a server without a password is never answered."""
    address = f"127.0.0.1:{free_port()}"
    rogue = Proc(["server", address, "--no-discovery"], "rogue",
                 env=dict(os.environ, SEAFOLD_PASSWORD="tide and sand"))
    rogue.wait_for("the start-up line", lambda: "listening" in rogue.stderr_text())
    env = dict(os.environ, SEAFOLD_PASSWORD="tide and salt")
    alice = Proc(["-client", address, "alice", "--quit-after", "30"], "alice-rogue", env=env)
    rogue.wait_for("alice's answer", lambda: rogue.rpcs("c2sPasswordAnswer"), 20)
    answers = rogue.rpcs("c2sPasswordAnswer")
    check(len(answers) == 1 and [len(field) for field in answers[0]] == [64, 64],
          f"the answer is not one share and one tag of 32 bytes: {answers!r}")
    secret = "tide and salt".encode().hex()
    check(all(secret not in field for answer in answers for field in answer), "the password crossed in the answer")
    check(ended_with_one(alice), "alice did not end with 1 at a server with another password")
    check(rogue.stop() == 0, "the rogue server did not end with 0")
    # No password on the server: the client's is never used.
    address = f"127.0.0.1:{free_port()}"
    open_server = Proc(["server", address, "--no-discovery"], "open-server")
    open_server.wait_for("the start-up line", lambda: "listening" in open_server.stderr_text())
    bob = Proc(["-client", address, "bob", "--quit-after", "30"], "bob", env=env)
    open_server.wait_for("bob's join", lambda: open_server.rpcs("c2sAddNewClient") == [["bob"]])
    check(bob.rpcs("s2cPasswordRequired") == [] and open_server.rpcs("c2sPasswordAnswer") == [],
          "a client answered a server that asked for no password")
    check(bob.stop() == 0, "bob did not end with 0")
    check(open_server.stop() == 0, "the open server did not end with 0")


def refused_as_known(address, server_option, name, what, says):
    """Starts a server at `address` with `server_option`; carol, who joined
    there before, is refused with a sentence that has `says` and names
    --accept-new-key, ends with 1 and never joins. Returns the server."""
    server = Proc(["server", address, "--no-discovery", server_option], name)
    server.wait_for("the start-up line", lambda: "listening" in server.stderr_text())
    carol = Proc(["-client", address, "carol", "--quit-after", "30"], f"carol-{name}")
    reason = failed_with(carol, f"the refusal of {what}")
    check(reason is not None and says in reason and "--accept-new-key" in reason, f"carol at {what}: {reason!r}")
    check(ended_with_one(carol), f"carol did not end with 1 at {what}")
    check(server.rpcs("c2sAddNewClient") == [], f"carol joined {what}")
    return server


def changed_server_key():
    """A server this client joined before comes back with another key: the
    client refuses it with a sentence that says what happened and how to
    accept the new key, and does with --accept-new-key."""
    address = f"127.0.0.1:{free_port()}"
    first = Proc(["server", address, "--no-discovery", "--new-key-each-start"], "first")
    first.wait_for("the start-up line", lambda: "listening" in first.stderr_text())
    carol = Proc(["-client", address, "carol", "--quit-after", "1"], "carol-first")
    first.wait_for("carol's join", lambda: first.rpcs("c2sAddNewClient") == [["carol"]])
    try:
        check(carol.p.wait(timeout=15) == 0, "carol did not end with 0 at the first server")
    except subprocess.TimeoutExpired:
        check(False, "carol did not end at the first server")
        carol.stop()
    check(first.stop() == 0, "the first server did not end with 0")
    second = refused_as_known(address, "--new-key-each-start", "second", "a changed server key",
                              "may be another machine posing as it")
    accepting = Proc(["-client", address, "carol", "--accept-new-key", "--quit-after", "30"], "carol-accepting")
    second.wait_for("carol's join", lambda: second.rpcs("c2sAddNewClient") == [["carol"]])
    check(accepting.stop() == 0, "carol with --accept-new-key did not end with 0")
    check(second.stop() == 0, "the second server did not end with 0")
    # An impostor need not show a key at all: one that offers none, to be
    # joined unsealed, is refused the same way.
    keyless = refused_as_known(address, "--insecure", "keyless", "a known server that offers no key",
                               "offers no key")
    check(keyless.stop() == 0, "the keyless server did not end with 0")


server, address, fingerprint = secure_session()
refusals(server, address, fingerprint)
sealed_by_default()
plain_server()
password_session()
rogue_password_server()
changed_server_key()
if failures:
    print("\n".join(failures))
    print(f"{len(failures)} failed")
    sys.exit(1)
print("secure session, refusals, sealed by default, plain server, password session: all passed")
