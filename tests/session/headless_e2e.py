#!/usr/bin/env python3
"""Real seafold-headless processes on loopback: a server and clients joining,
picking and moving models, speaking, leaving, being killed, and a client whose
server never answers. Every wait is bounded."""

import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import HeadlessProcess, free_port  # noqa: E402

BINARY = sys.argv[1]
failures = []


class Proc(HeadlessProcess):
    def __init__(self, args, name):
        super().__init__(BINARY, name, args, failures)


def check(condition, message):
    if not condition:
        failures.append(message)


def session_scenario():
    port = free_port()
    address = f"127.0.0.1:{port}"
    server = Proc(["server", address, "--ping-interval", "100"], "server")
    time.sleep(0.2)
    alice = Proc(["-client", address, "alice", "--model", "boat.mesh", "--move", "1,0,0", "--move", "0,0,2"],
                 "alice")
    server.wait_for("alice's moves", lambda: len(server.rpcs("c2smakeMovement")) == 2)

    bob = Proc(["-client", address, "bob", "--model", "fish.mesh", "--voice", "0a0b0c"], "bob")
    carol = None
    bob.wait_for("bob's introduction to alice", lambda: len(bob.rpcs("s2cEntityNotify")) >= 1)
    # The late joiner hears that it is in, then of alice, then of her model
    # and accumulated offset.
    rpc_order = [e["rpc"] for e in bob.events() if "rpc" in e]
    check(rpc_order[:3] == ["s2cYourName", "s2cIntroduceNewClient", "s2cEntityNotify"],
          f"bob's first calls: {rpc_order[:3]}")
    check(bob.rpcs("s2cEntityNotify")[0] == ["boat.mesh", 1.0, 0.0, 2.0, "alice"],
          f"bob learned {bob.rpcs('s2cEntityNotify')[:1]}")
    alice.wait_for("bob's model", lambda: (alice.model("bob") or {}).get("entity") == "fish.mesh")

    carol = Proc(["-client", address, "carol", "--model", "buoy.mesh", "--move", "0.5,0.5,0.5",
                  "--move-every", "50"], "carol")
    for p in (alice, bob):
        p.wait_for("carol's movements", lambda p=p: len(p.rpcs("s2cmakeMovement")) >= 10)
    check(server.rpcs("c2sVoice") == [[False, "0a0b0c", "bob"]], f"server voice {server.rpcs('c2sVoice')}")
    check(alice.rpcs("s2cVoice") == [["0a0b0c", "bob"]], f"alice voice {alice.rpcs('s2cVoice')}")
    check(bob.rpcs("s2cVoice") == [], "the speaker heard itself")
    # Carol joined after the voice: she never hears it.
    check(carol.rpcs("s2cVoice") == [], "carol heard old voice")

    # Alice quits cleanly: everyone else is told once.
    check(alice.stop() == 0, "alice did not end with 0")
    for p in (bob, carol):
        p.wait_for("alice's leave", lambda p=p: p.rpcs("s2cclientDisconnect") == [["alice"]])
        check((p.model("alice") or {}).get("entity", "x") is None, f"{p.name} still shows alice")

    # Bob is killed: the server's keep-alive notices after eleven silent
    # intervals, tested at most every 1.5 s: about 17 s with a short interval.
    bob.stop(signal.SIGKILL)
    carol.wait_for("bob's time-out", lambda: carol.rpcs("s2cclientDisconnect") == [["alice"], ["bob"]], 30)
    # Carol's movements reached the server in the order sent.
    moves = server.rpcs("c2smakeMovement")
    # Each carries the steps that waited for one packet, summed.
    check(all(m[0] == m[1] == m[2] and m[0] > 0 and (m[0] * 2).is_integer() for m in moves[2:]),
          "carol's movements changed on the way")

    check(carol.stop() == 0, "carol did not end with 0")
    check(server.stop(signal.SIGINT) == 0, "server did not end with 0 on SIGINT")


def unanswered_scenario():
    # Nothing listens on this port: the host's answer ends the attempt at
    # once, and the client tries again later.
    port = free_port()
    lonely = Proc(["-client", f"127.0.0.1:{port}", "lonely", "--quit-after", "30"], "lonely")
    lonely.wait_for("the failure", lambda: any(e.get("state") == "failed" for e in lonely.events()), 20)
    states = [e["state"] for e in lonely.events() if "state" in e]
    failed = [e for e in lonely.events() if e.get("state") == "failed"]
    check(states[:3] == ["connecting", "failed", "retrying"], f"states {states}")
    check(failed and failed[0] == {**failed[0], "reason": "Nothing listens on that port"}, f"failure {failed}")
    check(lonely.p.poll() is None, "a client whose connection failed must keep running")
    check(lonely.stop() == 0, "lonely did not end with 0")


def bad_command_lines():
    for args in (["server", "no.such.host.invalid:1"], ["server", "127.0.0.1:1", "--bogus"],
                 ["-client", "127.0.0.1:1", "x", "--move", "1,2"]):
        r = subprocess.run([BINARY] + args, capture_output=True, text=True, timeout=20)
        check(r.returncode == 2, f"{args}: exit {r.returncode}")
        lines = r.stderr.strip().splitlines()
        check(len(lines) == 2 and "--help" in lines[1], f"{args}: stderr {r.stderr!r}")


session_scenario()
unanswered_scenario()
bad_command_lines()
if failures:
    print("\n".join(failures))
    print(f"0 passed, {len(failures)} failed")
    sys.exit(1)
print("3 passed, 0 failed")
