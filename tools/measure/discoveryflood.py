#!/usr/bin/env python3
"""A discovery flood on a namespace LAN (tests/lan/lan.py; needs root): a
server on host 1, a flooder on host 2 sending discovery queries to it as fast
as one process can, and on host 3 `seafold-headless --find 1` run again and
again. Reports how many of those finds listed the server, the flood's rate
and the answers the flooder got back.

    tools/measure/discoveryflood.py [BIN_DIR] [FINDS]"""

import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "lan"))
from lan import SKIP_CODE, Lan, Skip  # noqa: E402

bin_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/bin")
finds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
HEADLESS = os.path.join(bin_dir, "seafold-headless")
PORT = 28000
DISCOVERY_PORT = 28001
QUERY_BYTES = 96  # a query's size on the wire

# The flooder: queries of the right form with fresh tokens, for SECONDS, then
# one line "sent N answered M".
FLOODER = r"""
import os, socket, sys, time
target, seconds = (sys.argv[1], int(sys.argv[2])), float(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setblocking(False)
sent = answered = 0
end = time.time() + seconds
while time.time() < end:
    for _ in range(256):
        query = b"SFDQ\x01" + os.urandom(4)
        try:
            s.sendto(query + bytes(%d - len(query)), target)
            sent += 1
        except BlockingIOError:
            break
    try:
        while True:
            s.recv(2048)
            answered += 1
    except BlockingIOError:
        pass
print("sent", sent, "answered", answered, flush=True)
""" % QUERY_BYTES


def main():
    try:
        with Lan(3) as lan, tempfile.TemporaryDirectory():
            lan.popen(0, [HEADLESS, "server", f"0.0.0.0:{PORT}", "--server-name", "floodmark"],
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(0.5)
            seconds = finds * 1.6 + 3
            flooder = lan.popen(1, [sys.executable, "-c", FLOODER, lan.address(0), str(DISCOVERY_PORT), str(seconds)],
                                stdout=subprocess.PIPE, text=True)
            time.sleep(1.0)
            listed = 0
            for _ in range(finds):
                r = lan.run(2, [HEADLESS, "--find", "1"], capture_output=True, text=True)
                listed += "floodmark" in r.stdout
                time.sleep(0.3)
            out, _ = flooder.communicate(timeout=seconds + 30)
            words = out.split()
            sent = int(words[1]) if len(words) > 3 else 0
            answered = int(words[3]) if len(words) > 3 else 0
            print(f"discovery flood from one host: {sent / seconds:.0f} queries/s for {seconds:.0f} s, "
                  f"{answered} answered ({answered / seconds:.1f}/s); another host's --find 1 listed the server "
                  f"{listed} of {finds} times")
    except Skip as why:
        print(f"skipped: {why}")
        sys.exit(SKIP_CODE)


if __name__ == "__main__":
    main()
