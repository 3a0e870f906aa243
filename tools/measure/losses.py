#!/usr/bin/env python3
"""How soon losses are noticed, and what a join costs: seafold-headless
processes on loopback.

usage: tools/measure/losses.py kill [--runs 3]      a client killed with kill -9: when the other user is told
       tools/measure/losses.py restart [--runs 3]   the server killed with kill -9 and started again 1 s later:
                                                    when each client is back
       tools/measure/losses.py join [--joins 9]     join time (the client's "connecting" to "connected"),
                                                    sealed by default and with --insecure
   common: [--bin DIR] [--json] [--keep-logs]"""

import argparse
import json
import os
import signal
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measurelib as ml  # noqa: E402


def state_time(proc, state, nth=1):
    seen = [e for e in proc.lines() if e.get("state") == state]
    return seen[nth - 1]["t"] / 1000.0 if len(seen) >= nth else None


def kill_run(o, work):
    sess = ml.Session(o.bin, work, [], [])
    try:
        alice = sess.client("alice")
        bob = sess.client("bob")
        alice.wait_for(lambda: any(e.get("rpc") == "s2cIntroduceNewClient" for e in alice.lines()), 10)
        time.sleep(1.0)
        killed = time.time()
        bob.stop(sig=signal.SIGKILL)

        def told():
            for e in alice.lines():
                if e.get("rpc") == "s2cclientDisconnect" and (e.get("args") or [None])[0] == "bob":
                    return e
            return None
        alice.wait_for(told, 90)
        e = told()
        return {"told_after_s": ml.rounded(e["t"] / 1000.0 - killed, 2) if e else None}
    finally:
        sess.stop()


def restart_run(o, work):
    sess = ml.Session(o.bin, work, [], [])
    try:
        alice = sess.client("alice")
        bob = sess.client("bob")
        time.sleep(1.0)
        crashed = time.time()
        sess.server.stop(sig=signal.SIGKILL)
        time.sleep(1.0)
        again = ml.Proc([f"{o.bin}/seafold-headless", "server", sess.address, "--events"], "server2", work,
                        env=sess.env, timeout=180)
        sess.procs.insert(0, again)
        out = {}
        for c in (alice, bob):
            c.wait_for(lambda: state_time(c, "connected", 2) is not None, 120)
            lost, back = state_time(c, "disconnected"), state_time(c, "connected", 2)
            out[c.name] = {"lost_after_s": ml.rounded(lost - crashed, 2) if lost else None,
                           "back_after_s": ml.rounded(back - crashed, 2) if back else None}
        return out
    finally:
        sess.stop()


def join_run(o, work, insecure):
    extra = ["--insecure"] if insecure else []
    sess = ml.Session(o.bin, work, extra, extra)
    times = []
    try:
        for i in range(o.joins):
            c = sess.client(f"user{i}")
            start, done = state_time(c, "connecting"), state_time(c, "connected")
            if start is not None and done is not None:
                times.append((done - start) * 1000.0)
            c.stop()
        times.sort()
        return {"sealed": not insecure, "joins": len(times),
                "median_ms": ml.rounded(statistics.median(times), 1) if times else None,
                "min_ms": ml.rounded(times[0], 1) if times else None,
                "max_ms": ml.rounded(times[-1], 1) if times else None}
    finally:
        sess.stop()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("what", choices=["kill", "restart", "join"])
    ap.add_argument("--bin", default="build/bin")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--joins", type=int, default=9)
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--keep-logs", action="store_true")
    o = ap.parse_args()
    ml.need_programs(o.bin, ["seafold-headless"], "losses.py")
    work = ml.new_workdir("seafold-losses-")
    results = []
    try:
        if o.what == "join":
            results = [join_run(o, work, insecure) for insecure in (False, True)]
        else:
            run = kill_run if o.what == "kill" else restart_run
            results = [run(o, work) for _ in range(o.runs)]
    finally:
        ml.Proc.stop_all()
        ml.finish(work, o.keep_logs)
    for r in results:
        print(json.dumps(r) if o.json else r)


if __name__ == "__main__":
    main()
