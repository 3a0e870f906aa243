#!/usr/bin/env python3
"""Join time: headless servers on loopback and N clients in turn, each
dropping PERCENT of its own datagrams (--net-sim), timed from the client's
start to its "Connected" line. Prints median, p95 and max.

With --password the joins alternate between a server without a join
password and one with it (the password exchange on top of the sealed
connection), and both are printed side by side.

    tools/measure/jointime.py BUILD/bin [--joins 20] [--loss 10] [--password]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

JOIN_LIMIT_S = 30  # a join that takes longer counts as this long


def time_join(headless, address, name, loss, env):
    start = time.monotonic()
    client = subprocess.Popen([headless, "-client", address, name, "--net-sim", "%d,0,0,0" % loss],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
    took = JOIN_LIMIT_S
    deadline = start + JOIN_LIMIT_S
    for line in client.stdout:
        if line.startswith("Connected to the server"):
            took = time.monotonic() - start
            break
        if time.monotonic() > deadline:
            break
    client.terminate()
    client.wait(timeout=10)
    return took


def summary(label, times):
    times = sorted(times)
    p95 = times[min(len(times) - 1, int(round(0.95 * (len(times) - 1))))]
    return "%s, %d joins: median %.3f s, p95 %.3f s, max %.3f s" % (
        label, len(times), statistics.median(times), p95, times[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--joins", type=int, default=20)
    parser.add_argument("--loss", type=int, default=10)
    parser.add_argument("--port", type=int, default=28740)
    parser.add_argument("--password", action="store_true",
                        help="alternate joins with a server that asks for a join password")
    args = parser.parse_args()
    headless = os.path.join(args.bin, "seafold-headless")
    # Folders of the run's own: the servers' keys and the clients' known
    # servers never touch the user's.
    work = tempfile.mkdtemp(prefix="seafold-jointime-")
    env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"),
               XDG_CONFIG_HOME=os.path.join(work, "config"))
    env.pop("SEAFOLD_PASSWORD", None)
    kinds = [("no password", env)]
    if args.password:
        kinds.append(("password", dict(env, SEAFOLD_PASSWORD="tide")))
    servers, addresses = [], []
    try:
        for k, (_, kind_env) in enumerate(kinds):
            address = "127.0.0.1:%d" % (args.port + k)
            servers.append(subprocess.Popen([headless, "server", address, "--no-discovery", "--quiet",
                                             "--no-console"], env=kind_env))
            addresses.append(address)
        time.sleep(0.5)
        times = [[] for _ in kinds]
        for i in range(args.joins):
            for k, (label, kind_env) in enumerate(kinds):
                took = time_join(headless, addresses[k], "user%d" % i, args.loss, kind_env)
                times[k].append(took)
                print("join %2d, %s: %.3f s" % (i + 1, label, took), flush=True)
    finally:
        for server in servers:
            server.terminate()
            server.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
    for (label, _), kind_times in zip(kinds, times):
        print(summary("loss %d%%, %s" % (args.loss, label), kind_times))
    return 0


if __name__ == "__main__":
    sys.exit(main())
