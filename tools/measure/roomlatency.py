#!/usr/bin/env python3
"""Chat and kick latency between headless processes on loopback, at a rate:
a server (--events) with bob and alice; bob sends one chat line as he
connects (--say), timed from his "connected" event to alice's chat event;
then the operator kicks bob, timed from the command to alice's
s2cclientDisconnect. Repeated RUNS times; prints the medians.

    tools/measure/roomlatency.py BUILD/bin [--rate 96,2500] [--runs 10]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time


def events(f):
    f.flush()
    out = []
    for line in open(f.name, encoding="utf-8", errors="replace"):
        try:
            out.append(json.loads(line))
        except json.JSONDecodeError:
            pass
    return out


def wait(predicate, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.01)
    return None


def one_run(headless, port, rate):
    address = "127.0.0.1:%d" % port
    files = {n: tempfile.NamedTemporaryFile("w+", delete=False) for n in ("server", "alice", "bob")}
    common = ["--rate", rate]
    server = subprocess.Popen([headless, "server", address, "--no-discovery", "--events"] + common,
                              stdin=subprocess.PIPE, stdout=files["server"], stderr=subprocess.DEVNULL)
    time.sleep(0.3)
    alice = subprocess.Popen([headless, "-client", address, "alice", "--events"] + common,
                             stdout=files["alice"], stderr=subprocess.DEVNULL)
    wait(lambda: any(e.get("rpc") == "c2sAddNewClient" for e in events(files["server"])))
    bob = subprocess.Popen([headless, "-client", address, "bob", "--events", "--say", "hello"] + common,
                           stdout=files["bob"], stderr=subprocess.DEVNULL)
    chat = wait(lambda: next((e for e in events(files["alice"]) if "chat" in e), None))
    connected = next((e for e in events(files["bob"]) if e.get("state") == "connected"), None)
    chat_ms = chat["t"] - connected["t"] if chat and connected else None
    time.sleep(0.3)
    kicked_at = time.time() * 1000
    server.stdin.write(b"kick bob\n")
    server.stdin.flush()
    left = wait(lambda: next((e for e in events(files["alice"]) if e.get("rpc") == "s2cclientDisconnect"), None))
    kick_ms = left["t"] - kicked_at if left else None
    for p in (bob, alice):
        p.terminate()
    server.stdin.write(b"quit\n")
    server.stdin.flush()
    for p in (server, alice, bob):
        p.wait(timeout=10)
    for f in files.values():
        os.unlink(f.name)
    return chat_ms, kick_ms


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--rate", default="96,2500")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--port", type=int, default=28760)
    args = parser.parse_args()
    headless = os.path.join(args.bin, "seafold-headless")
    chats, kicks = [], []
    for i in range(args.runs):
        chat_ms, kick_ms = one_run(headless, args.port + i, args.rate)
        if chat_ms is not None:
            chats.append(chat_ms)
        if kick_ms is not None:
            kicks.append(kick_ms)
    print("rate %s, %d runs: chat median %.0f ms (max %.0f), kick median %.0f ms (max %.0f)"
          % (args.rate, args.runs, statistics.median(chats), max(chats), statistics.median(kicks), max(kicks)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
