#!/usr/bin/env python3
"""Join time under loss: one headless server on loopback and N clients in
turn, each dropping PERCENT of its own datagrams (--net-sim), timed from the
client's start to its "Connected" line. Prints median, p95 and max.

    tools/measure/jointime.py BUILD/bin [--joins 20] [--loss 10]
"""
import argparse
import os
import statistics
import subprocess
import sys
import time

JOIN_LIMIT_S = 30  # a join that takes longer counts as this long


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--joins", type=int, default=20)
    parser.add_argument("--loss", type=int, default=10)
    parser.add_argument("--port", type=int, default=28740)
    args = parser.parse_args()
    headless = os.path.join(args.bin, "seafold-headless")
    address = "127.0.0.1:%d" % args.port
    server = subprocess.Popen([headless, "server", address, "--no-discovery", "--quiet"])
    time.sleep(0.5)
    times = []
    try:
        for i in range(args.joins):
            start = time.monotonic()
            client = subprocess.Popen(
                [headless, "-client", address, "user%d" % i, "--net-sim", "%d,0,0,0" % args.loss],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
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
            times.append(took)
            print("join %2d: %.3f s" % (i + 1, took), flush=True)
    finally:
        server.terminate()
        server.wait(timeout=10)
    times.sort()
    p95 = times[min(len(times) - 1, int(round(0.95 * (len(times) - 1))))]
    print("loss %d%%, %d joins: median %.3f s, p95 %.3f s, max %.3f s"
          % (args.loss, len(times), statistics.median(times), p95, times[-1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
