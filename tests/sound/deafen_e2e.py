#!/usr/bin/env python3
"""Mute me and deafen through real seafold-headless processes on loopback,
each playing into OpenAL Soft's wave-file writer. alice speaks a vowel;
dave speaks one too but started --muted; carol is --deafened. bob must hear
alice and not dave, carol must hear nobody (her output silent, her --stats
saying so), and bob must see both marks beside the names. Every wait is
bounded.

    deafen_e2e.py SEAFOLD-HEADLESS"""

import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from headless_process import HeadlessProcess, finish, free_port  # noqa: E402
from wavfile import read_wav, vowel, write_wav  # noqa: E402

BINARY = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="seafold-deafen-")
failures = []
MUTED, DEAFENED = 2, 4  # the marks' bits


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


class Proc(HeadlessProcess):
    def __init__(self, name, args):
        env = {k: v for k, v in os.environ.items() if k not in ("ALSOFT_DRIVERS", "SEAFOLD_CAPTURE_FILE")}
        self.wav = os.path.join(WORK, name + "-out.wav")
        conf = os.path.join(WORK, name + "-alsoft.conf")
        with open(conf, "w") as f:
            f.write("[general]\ndrivers=wave\nchannels=mono\nsample-type=int16\n[wave]\nfile=%s\n" % self.wav)
        env["ALSOFT_CONF"] = conf
        super().__init__(BINARY, name, args, failures, env=env, log_dir=WORK)

    def said(self, key, value):
        return any(e.get(key) == value for e in self.events())


def peak(path):
    rate, samples = read_wav(path)
    return max((abs(x) for x in samples), default=0) if rate else None


def main():
    clip = os.path.join(WORK, "vowel.wav")
    spoken = vowel(1.0, 8000)
    top = max(abs(x) for x in spoken)
    write_wav(clip, [int(x * 20000 / top) for x in spoken])
    address = f"127.0.0.1:{free_port()}"
    server = Proc("server", ["server", address])
    time.sleep(0.2)
    listeners = [Proc("bob", ["-client", address, "bob"]),
                 Proc("carol", ["-client", address, "carol", "--deafened", "--stats", "300"])]
    for p in listeners:
        p.wait_for("connection", lambda p=p: p.said("state", "connected"), 15)
    speakers = [Proc("alice", ["-client", address, "alice", "--speak", clip]),
                Proc("dave", ["-client", address, "dave", "--muted", "--speak", clip])]
    for p in speakers:
        p.wait_for("the end of speaking", lambda p=p: p.said("speak", "stop"), 20)
    time.sleep(1.0)  # what is on its way plays out
    procs = speakers + listeners + [server]
    for p in procs:
        code = p.stop()
        check(code == 0, f"{p.name}: exit code {code}")
    bob, carol = listeners

    heard_from = {args[-1] for args in bob.rpcs("s2cVoiceFrames")}
    check("alice" in heard_from, f"bob: no voice of alice ({sorted(heard_from)})")
    check("dave" not in heard_from, "bob: the muted dave's voice arrived")
    bob_peak, carol_peak = peak(bob.wav), peak(carol.wav)
    check((bob_peak or 0) > 3000, f"bob: output peak {bob_peak}, alice not heard")
    check(carol_peak is not None and carol_peak < 100, f"carol (deafened): output peak {carol_peak}")
    stats = [e for e in carol.events() if "stats" in e]
    played = [v.get("played", 0) for e in stats for v in e.get("voice", [])]
    check(stats and all(e.get("deafened") for e in stats) and not any(played), f"carol: stats {stats[-1:]}")

    marks = {args[0]: args[1] for args in bob.rpcs("s2cUserMarks")}
    check(marks == {"dave": MUTED, "carol": MUTED | DEAFENED}, f"bob: marks {marks}")
    print(f"bob: output peak {bob_peak}; carol: output peak {carol_peak}; marks {marks}")
    return finish(WORK, failures)


if __name__ == "__main__":
    sys.exit(main())
