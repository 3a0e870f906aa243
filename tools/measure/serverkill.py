#!/usr/bin/env python3
"""How soon clients show that their server is gone: a server and two
headless clients on loopback; once both are connected the server is killed
with SIGKILL (it says nothing), and each client's console is timed from the
kill to "No reply from the server ..." and to "Lost the connection to the
server ...". Repeated RUNS times; prints the median and the worst of each.

With --restart the server keeps its key in a file of the run's own, is
started again on the same address with that file RESTART_AFTER seconds
after the kill, and each client is timed from that start to its next
"Connected to the server ..." line.

    tools/measure/serverkill.py BUILD/bin [--runs 5] [--rate 96,2500 | --rate none]
    tools/measure/serverkill.py BUILD/bin --restart [--restart-after 1.0] [--runs 5]
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from headless_process import free_port, read_whole  # noqa: E402

NO_REPLY = re.compile(r"^No reply from the server at .* for \d+ s\.$", re.M)
LOST = re.compile(r"^Lost the connection to the server at ", re.M)


def wait_for(predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return time.time()
        time.sleep(0.02)
    return None


def rate_options(rate):
    return [] if rate == "none" else ["--rate", rate]


def start_server(headless, address, options, env=None):
    return subprocess.Popen([headless, "server", address, "--no-discovery", "--no-console"] + options,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)


def one_run(headless, rate, restart_after=None):
    """A server and two clients; the server is killed once both are
    connected. Without `restart_after`: for each client that showed both,
    (seconds to "no reply", seconds to "lost") from the kill. With it: the
    server, its key kept in a file, starts again that many seconds after the
    kill, and each client gives the seconds from that start to its next
    "Connected to the server" line (None when not back in 30 s)."""
    address = "127.0.0.1:%d" % free_port()
    state = tempfile.TemporaryDirectory()
    env = dict(os.environ, XDG_STATE_HOME=state.name)
    options = rate_options(rate)
    server_options = options + (["--key-file", os.path.join(state.name, "server.key")] if restart_after is not None
                                else [])
    server = start_server(headless, address, server_options, env)
    outs = [tempfile.TemporaryFile(mode="w+") for _ in range(2)]
    clients = [subprocess.Popen([headless, "-client", address, name] + options, stdout=out,
                                stderr=subprocess.STDOUT, env=env) for name, out in zip(("alice", "bob"), outs)]
    result = []
    try:
        if not all(wait_for(lambda o=o: "Connected to the server" in read_whole(o), 10) for o in outs):
            return result
        time.sleep(1.0)
        server.send_signal(signal.SIGKILL)
        server.wait()
        if restart_after is None:
            result = time_the_loss(outs)
        else:
            time.sleep(restart_after)
            server = start_server(headless, address, server_options, env)
            result = time_the_return(outs)
    finally:
        for p in clients + [server]:
            if p.poll() is None:
                p.terminate()
            p.wait(timeout=10)
        state.cleanup()
    return result


def time_the_loss(outs):
    killed = time.time()
    # Every client watched at once: a line is timed when it first shows.
    seen = [[None, None] for _ in outs]
    while time.time() < killed + 30 and not all(all(s) for s in seen):
        for out, times in zip(outs, seen):
            text = read_whole(out)
            for i, pattern in enumerate((NO_REPLY, LOST)):
                if times[i] is None and pattern.search(text):
                    times[i] = time.time() - killed
        time.sleep(0.02)
    return [tuple(times) for times in seen if all(times)]


def time_the_return(outs):
    restarted = time.time()
    back = [None for _ in outs]
    while time.time() < restarted + 30 and None in back:
        for i, out in enumerate(outs):
            if back[i] is None and read_whole(out).count("Connected to the server") >= 2:
                back[i] = time.time() - restarted
        time.sleep(0.01)
    return back


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--rate", default="96,2500", help='"none": no --rate option')
    parser.add_argument("--restart", action="store_true")
    parser.add_argument("--restart-after", type=float, default=1.0)
    args = parser.parse_args()
    headless = os.path.join(args.bin, "seafold-headless")
    if args.restart:
        back = []
        for _ in range(args.runs):
            back += one_run(headless, args.rate, args.restart_after)
        done = [b for b in back if b is not None]
        if not done:
            print("no client came back")
            return 1
        print("rate %s, server restarted %.1f s after the kill: %d of %d clients back, median %.2f s (max %.2f) "
              "after the restart" % (args.rate, args.restart_after, len(done), len(back), statistics.median(done),
                                     max(done)))
        return 0
    no_reply, lost = [], []
    for _ in range(args.runs):
        for shown, gone in one_run(headless, args.rate):
            no_reply.append(shown)
            lost.append(gone)
    if not no_reply:
        print("no client showed the loss")
        return 1
    print("rate %s, %d clients over %d runs: \"no reply\" median %.1f s (max %.1f), \"lost\" median %.1f s (max %.1f)"
          % (args.rate, len(no_reply), args.runs, statistics.median(no_reply), max(no_reply),
             statistics.median(lost), max(lost)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
