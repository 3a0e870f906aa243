#!/usr/bin/env python3
"""Real seafold-headless processes on three hosts of a namespace LAN (see
lan.py): a server and two clients on different hosts join, move, speak and
leave over real interfaces; a server bound to 127.0.0.1 is reachable on its
own host and not from another. The discovery responder and finder
(seafold-discovery) across the bridge: broadcasts find a server on another
host, one reached two ways is listed once, a session on 127.0.0.1 is offered
on its own host only. The programs' own --find and -client auto across the
bridge: a server with --no-discovery and one bound to 127.0.0.1 stay
invisible to other hosts, two servers of one host are both offered, auto
joins the only server, lists several and ends with 2, and keeps looking
until a server appears. Every wait is bounded.

    lan_e2e.py SEAFOLD_HEADLESS SEAFOLD_DISCOVERY [SEAFOLD]

With the windowed program given, its --find runs too, without a display.

Exits 77 (skipped) with the reason when namespaces cannot be made."""

import json
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))
from headless_process import HeadlessProcess  # noqa: E402
from lan import run_scenarios  # noqa: E402

BINARY = os.path.abspath(sys.argv[1])
DISCOVERY = os.path.abspath(sys.argv[2])
WINDOWED = os.path.abspath(sys.argv[3]) if len(sys.argv) > 3 else None
# Inside namespaces of our own nothing else can hold a port.
PORT = 28000
failures = []


class Proc(HeadlessProcess):
    """A seafold-headless process on one host of the LAN."""

    def __init__(self, lan, host, name, args):
        super().__init__("ip", name, ["netns", "exec", lan.hosts[host], BINARY] + args, failures)
        lan.adopt(self.p)

    def states(self):
        # What the connection reported ("connecting" and "retrying" come from
        # the client's own attempts).
        return [e for e in self.events() if e.get("state") in ("connected", "failed", "disconnected")]

    def errors(self):
        return self.stderr_text().splitlines()

    def peers(self):
        """Every peer address in this process's statistics lines."""
        seen = set()
        for e in self.events():
            for s in e.get("stats", []):
                seen.add(s["peer"])
        return seen


def check(condition, message):
    if not condition:
        failures.append(message)


def session_across_hosts(lan):
    server_address = f"{lan.address(0)}:{PORT}"
    server = Proc(lan, 0, "server", ["server", f"0.0.0.0:{PORT}", "--ping-interval", "100", "--stats", "200"])
    alice = Proc(lan, 1, "alice", ["-client", server_address, "alice", "--model", "boat.mesh", "--move", "1,0,0",
                                   "--move-every", "100"])
    server.wait_for("alice's join", lambda: server.rpcs("c2sAddNewClient") == [["alice"]], 20)
    server.wait_for("alice's moves", lambda: len(server.rpcs("c2smakeMovement")) >= 2)

    bob = Proc(lan, 2, "bob", ["-client", server_address, "bob", "--model", "fish.mesh", "--voice", "0a0b0c"])
    bob.wait_for("bob's introduction to alice", lambda: len(bob.rpcs("s2cEntityNotify")) >= 1, 20)
    check(bob.rpcs("s2cIntroduceNewClient")[:1] == [["alice"]], f"bob was told of {bob.rpcs('s2cIntroduceNewClient')}")
    alice.wait_for("bob's model", lambda: (alice.model("bob") or {}).get("entity") == "fish.mesh")
    bob.wait_for("alice's movements", lambda: len(bob.rpcs("s2cmakeMovement")) >= 3)
    check(all(m[-1] == "alice" for m in bob.rpcs("s2cmakeMovement")), "bob got movements of someone else")
    alice.wait_for("bob's voice", lambda: alice.rpcs("s2cVoice") == [["0a0b0c", "bob"]])
    check(server.rpcs("c2sVoice") == [[False, "0a0b0c", "bob"]], f"server voice {server.rpcs('c2sVoice')}")

    # The server saw its clients at their hosts' LAN addresses: the datagrams
    # crossed the bridge, not a loopback.
    server.wait_for("statistics of both clients", lambda: len(server.peers()) >= 2)
    hosts = {p.split(":")[1] for p in server.peers()}
    check(hosts == {lan.address(1), lan.address(2)}, f"server's peers {sorted(server.peers())}")
    # alice starts with the server: before it listens, its host answers that
    # nothing listens there, and alice's next attempt joins.
    early = [s for s in alice.states() if s.get("reason") == "Nothing listens on that port"]
    rest = alice.states()[len(early):]
    check(rest[:1] and rest[0]["state"] == "connected", f"alice {alice.states()}")

    # Alice quits: bob is told and her model goes.
    check(alice.stop() == 0, "alice did not end with 0")
    bob.wait_for("alice's leave", lambda: bob.rpcs("s2cclientDisconnect") == [["alice"]])
    check((bob.model("alice") or {}).get("entity", "x") is None, "bob still shows alice")
    check(bob.stop() == 0, "bob did not end with 0")
    server.wait_for("bob's leave", lambda: (server.model("bob") or {}).get("entity", "x") is None)
    check(server.stop(signal.SIGINT) == 0, "server did not end with 0 on SIGINT")


def loopback_server_is_not_reachable_from_another_host(lan):
    server = Proc(lan, 0, "lo-server", ["server", f"127.0.0.1:{PORT}"])
    # On its own host it works: the server is up and listening.
    local = Proc(lan, 0, "lo-local", ["-client", f"127.0.0.1:{PORT}", "local"])
    local.wait_for("the local client's connection", lambda: any(
        s["state"] == "connected" for s in local.states()), 20)
    # From another host, the same port at the server host's LAN address: the
    # server host answers that nothing listens there, and the attempt ends.
    remote = Proc(lan, 1, "lo-remote", ["-client", f"{lan.address(0)}:{PORT}", "remote", "--quit-after", "60"])
    remote.wait_for("the remote client's failure", lambda: remote.states(), 40)
    states = remote.states()
    check(states[:1] and states[0]["state"] == "failed" and states[0]["reason"] == "Nothing listens on that port",
          f"remote client states {states}")
    check(remote.p.poll() is None, "a client whose connection failed keeps running")
    check(server.rpcs("c2sAddNewClient") == [["local"]], f"server joins {server.rpcs('c2sAddNewClient')}")
    for p in (remote, local, server):
        check(p.stop() == 0, f"{p.name} did not end with 0")


def find(lan, host, seconds=1.0):
    """Runs a search on `host`; returns (exit code, servers, summary)."""
    r = lan.run(host, [DISCOVERY, "find", str(seconds)], capture_output=True, text=True, timeout=30)
    lines = [json.loads(line) for line in r.stdout.splitlines() if line.strip()]
    return r.returncode, lines[:-1], lines[-1] if lines else {}


def discovery_across_the_bridge(lan):
    # Host 1 offers a session on every interface, host 3 one on 127.0.0.1.
    lan_wide = lan.popen(0, [DISCOVERY, "respond", f"0.0.0.0:{PORT}", "Hafen Süd", "2"],
                         stdout=subprocess.PIPE, text=True)
    local_only = lan.popen(2, [DISCOVERY, "respond", f"127.0.0.1:{PORT}", "nur hier", "1"],
                           stdout=subprocess.PIPE, text=True)
    for p in (lan_wide, local_only):
        check(p.stdout.readline().startswith('{"listening"'), "a responder did not start")

    code, servers, summary = find(lan, 1)
    check(code == 0 and servers == [{"address": f"IP:{lan.address(0)}:{PORT}", "name": "Hafen Süd", "users": 2}],
          f"host 2 found {servers} (exit {code})")
    check(summary.get("first_answer_ms", -1) >= 0, f"host 2's summary {summary}")

    # On its own host the server answers on loopback and to the broadcast:
    # listed once, at the address the other hosts know.
    code, servers, _ = find(lan, 0)
    check([s["address"] for s in servers] == [f"IP:{lan.address(0)}:{PORT}"], f"host 1 found {servers}")

    # Host 3 finds both: its own loopback session and host 1's.
    code, servers, _ = find(lan, 2)
    check(sorted(s["address"] for s in servers) == sorted([f"IP:127.0.0.1:{PORT}", f"IP:{lan.address(0)}:{PORT}"]),
          f"host 3 found {servers}")

    lan_wide.terminate()
    local_only.terminate()
    # Nobody left: one line saying so and exit 1.
    for p in (lan_wide, local_only):
        p.wait(timeout=10)
    code, servers, summary = find(lan, 1, 0.3)
    check(code == 1 and servers == [] and summary == {"servers": 0, "first_answer_ms": -1},
          f"empty search: exit {code}, {servers}, {summary}")


def program_find(lan, host, seconds=None, binary=BINARY):
    """--find on `host`: (exit code, lines of standard output)."""
    args = [binary, "--find"] + ([str(seconds)] if seconds else [])
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    r = lan.run(host, args, capture_output=True, text=True, timeout=30, env=env)
    check(r.stderr == "", f"{os.path.basename(binary)} --find said {r.stderr!r} on standard error")
    return r.returncode, r.stdout.splitlines()


def find_and_auto_across_hosts(lan):
    host1 = lan.address(0)
    # Host 1: a server offered under its name, one with --no-discovery; host
    # 3: two bound to 127.0.0.1.
    offered = Proc(lan, 0, "offered", ["server", f"0.0.0.0:{PORT}", "--server-name", "Hafen Süd"])
    # (Not PORT + 1: that is the discovery port.)
    hidden = Proc(lan, 0, "hidden", ["server", f"0.0.0.0:{PORT + 10}", "--no-discovery"])
    local = Proc(lan, 2, "local", ["server", f"127.0.0.1:{PORT}", "--server-name", "nur hier"])
    local2 = Proc(lan, 2, "local2", ["server", f"127.0.0.1:{PORT + 30}", "--server-name", "auch hier"])
    for p in (offered, hidden, local, local2):
        p.wait_for("its start", lambda p=p: p.events(), 10)

    code, lines = program_find(lan, 1)
    check(code == 0 and lines == [f"{host1}:{PORT}  0 users  Hafen Süd"], f"--find on host 2: exit {code}, {lines}")
    if WINDOWED:
        code, lines = program_find(lan, 1, 0.5, WINDOWED)
        check(code == 0 and lines == [f"{host1}:{PORT}  0 users  Hafen Süd"],
              f"seafold --find on host 2: exit {code}, {lines}")

    # auto joins the only server that answers.
    alice = Proc(lan, 1, "alice", ["-client", "auto", "alice"])
    offered.wait_for("alice's join", lambda: offered.rpcs("c2sAddNewClient") == [["alice"]], 20)
    check(any(s["state"] == "connected" for s in alice.states()), f"alice {alice.states()}")
    check(f'Found the server "Hafen Süd" at {host1}:{PORT}.' in alice.errors(), f"alice said {alice.errors()}")
    code, lines = program_find(lan, 1, 0.5)
    check(lines == [f"{host1}:{PORT}  1 user  Hafen Süd"], f"--find after alice joined: {lines}")

    # A second offered server on host 1 shares the discovery port: both are
    # seen from another host and from their own; auto cannot choose.
    second = Proc(lan, 0, "second", ["server", f"0.0.0.0:{PORT + 20}", "--server-name", "Mole"])
    second.wait_for("its start", lambda: second.events(), 10)
    check(not any("discovery port" in e for e in second.errors()),
          f"the second server could not share the discovery port: {second.errors()}")
    expected = sorted([f"{host1}:{PORT}  1 user  Hafen Süd", f"{host1}:{PORT + 20}  0 users  Mole"])
    code, lines = program_find(lan, 1, 0.5)
    check(code == 0 and sorted(lines) == expected, f"host 2 with two servers on host 1: {lines}")
    code, lines = program_find(lan, 0, 0.5)
    check(sorted(lines) == expected, f"host 1's own servers: {lines}")
    # Host 3 sees both its own loopback servers as well.
    code, lines = program_find(lan, 2, 0.5)
    check(sorted(lines) == sorted(expected + [f"127.0.0.1:{PORT}  0 users  nur hier",
                                              f"127.0.0.1:{PORT + 30}  0 users  auch hier"]), f"host 3 found {lines}")
    bob = lan.popen(1, [BINARY, "-client", "auto", "bob"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                    text=True)
    try:
        _, err = bob.communicate(timeout=15)
    except subprocess.TimeoutExpired:
        bob.kill()
        _, err = bob.communicate()
    err = err.splitlines()
    check(bob.returncode == 2 and err[:1] == ["seafold-headless: 2 servers answered on the local network; give one of "
                                            "these addresses instead of auto:"] and sorted(err[1:3]) == expected,
          f"auto with two servers: exit {bob.returncode}, {err}")

    for p in (alice, offered, hidden, local, local2, second):
        check(p.stop() == 0, f"{p.name} did not end with 0")

    # Nobody left: one line and exit 1.
    for binary in [BINARY] + ([WINDOWED] if WINDOWED else []):
        code, lines = program_find(lan, 1, 0.3, binary)
        check(code == 1 and lines == ["No server answered on the local network within 0.3 s (discovery port 28001)."],
              f"empty search of {binary}: exit {code}, {lines}")

    # auto with no server yet: says so, looks again, joins once one is up.
    carol = Proc(lan, 1, "carol", ["-client", "auto", "carol"])
    carol.wait_for("carol's first search", lambda: any("no server answered" in e.lower() for e in carol.errors()), 10)
    late = Proc(lan, 0, "late", ["server", f"0.0.0.0:{PORT}", "--server-name", "late"])
    late.wait_for("carol's join", lambda: late.rpcs("c2sAddNewClient") == [["carol"]], 20)
    check(f'Found the server "late" at {host1}:{PORT}.' in carol.errors(), f"carol said {carol.errors()}")
    for p in (carol, late):
        check(p.stop() == 0, f"{p.name} did not end with 0")


def main():
    return run_scenarios([session_across_hosts, loopback_server_is_not_reachable_from_another_host,
                          discovery_across_the_bridge, find_and_auto_across_hosts], failures)


if __name__ == "__main__":
    sys.exit(main())
