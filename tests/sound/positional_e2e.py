#!/usr/bin/env python3
"""Voices from the speakers' models, end to end: a windowed client (under a
private X server) listens through OpenAL Soft's stereo wave-file writer while
two headless users speak in turn, alice with her model to the right of the
camera's view and carol with hers to the left. alice must come out louder on
the right, carol on the left; with --flat-voice both come out in the middle.

    positional_e2e.py SEAFOLD SEAFOLD-HEADLESS

Exit 77 (skipped) without xvfb-run. The test waits on what the programs
report (their event lines), not on fixed times: on a busy machine bob's
window may draw and play late. Every wait is bounded."""

import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from wavfile import read_stereo, vowel, write_wav  # noqa: E402
from headless_process import HeadlessProcess, finish, free_port  # noqa: E402

WINDOWED, HEADLESS = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2])
RATE = 8000
failures = []
WORK = tempfile.mkdtemp(prefix="seafold-positional-")


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def rms(values):
    return math.sqrt(sum(x * x for x in values) / len(values)) if values else 0.0


def loud_spans(left, right, rate, threshold=800, gap=0.5):
    """[(first, last)] sample indices of stretches loud in either channel,
    separated by at least `gap` seconds of quiet."""
    spans, start, last = [], None, None
    for i in range(len(left)):
        if abs(left[i]) > threshold or abs(right[i]) > threshold:
            if last is not None and (i - last) / rate > gap:
                spans.append((start, last))
                start = None
            if start is None:
                start = i
            last = i
    if start is not None:
        spans.append((start, last))
    return spans


def people_lines(path):
    """The texts of every People panel line in a windowed event log."""
    lines = []
    try:
        with open(path) as f:
            for line in f:
                try:
                    event = json.loads(line)
                except json.JSONDecodeError:
                    continue  # a line still being written
                if "people" in event:
                    lines.append(event["people"])
    except FileNotFoundError:
        pass
    return lines


def wait_until(predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return False


def wait_heard_out(log, who):
    """Until bob's panel has marked `who` as speaking and then no one: the
    voice has played out in bob's window."""
    marked = lambda: any(any(text.startswith("♪ " + who) for text in texts) for texts in people_lines(log))
    quiet = lambda: marked() and not any(text.startswith("♪") for text in (people_lines(log) or [[]])[-1])
    check(wait_until(marked, 30), f"bob's panel never marked {who} as speaking")
    check(wait_until(quiet, 30), f"bob's panel still marks someone speaking after {who}")


def session(name, flat):
    """bob listens in a window; alice (right) then carol (left) speak."""
    work = os.path.join(WORK, name)
    os.makedirs(work)
    speech = os.path.join(work, "vowel.wav")
    write_wav(speech, vowel(2.0))
    media = os.path.join(os.path.dirname(os.path.realpath(WINDOWED)), "..", "media")
    shutil.copy(os.path.join(media, "ogre-default.cfg"), os.path.join(work, "ogre.cfg"))
    out_wav = os.path.join(work, "bob-out.wav")
    conf = os.path.join(work, "alsoft.conf")
    with open(conf, "w") as f:
        f.write("[general]\ndrivers=wave\nchannels=stereo\nsample-type=int16\n[wave]\nfile=%s\n" % out_wav)
    address = f"127.0.0.1:{free_port()}"
    quiet = dict(os.environ, ALSOFT_DRIVERS="null")
    server = HeadlessProcess(HEADLESS, "server", ["server", address], failures, env=quiet, log_dir=work)
    time.sleep(0.3)
    flat_args = ["--flat-voice"] if flat else []
    bob_log = os.path.join(work, "bob.jsonl")
    bob_env = dict(os.environ, ALSOFT_CONF=conf, SEAFOLD_EVENT_LOG=bob_log)
    bob_env.pop("ALSOFT_DRIVERS", None)
    bob = subprocess.Popen(["timeout", "120", "xvfb-run", "-a", "-s", "-screen 0 1024x768x24", WINDOWED, "-client",
                            address, "bob"] + flat_args,
                           cwd=work, env=bob_env, stdout=open(os.path.join(work, "bob.out"), "w"),
                           stderr=open(os.path.join(work, "bob.err"), "w"))
    try:
        joined = server.wait_for("bob", lambda: any(e.get("rpc") == "c2sAddNewClient" for e in server.events()), 60)
        if not joined:
            return None
        speakers = []
        for who, x in (("alice", 300), ("carol", -300)):
            p = HeadlessProcess(HEADLESS, who, ["-client", address, who, "--model", "boat.mesh", "--move",
                                                f"{x},0,0", "--speak", speech], failures, env=quiet, log_dir=work)
            speakers.append(p)
            p.wait_for("the end of speaking", lambda p=p: any(e.get("speak") == "stop" for e in p.events()), 30)
            wait_heard_out(bob_log, who)
            # Quiet between the two voices, so that they come out as two
            # stretches (loud_spans splits at half a second).
            time.sleep(1.0)
        for p in speakers:
            p.stop()
    finally:
        if bob.poll() is None:
            bob.terminate()
        try:
            bob.wait(timeout=20)
        except subprocess.TimeoutExpired:
            bob.kill()
            bob.wait()
        server.stop()
    rate, left, right = read_stereo(out_wav)
    if not check(rate > 0 and left, f"{name}: bob wrote no sound"):
        return None
    spans = loud_spans(left, right, rate)
    if not check(len(spans) == 2, f"{name}: {len(spans)} stretches of speech in bob's output, not 2"):
        return None
    levels = []
    for a, b in spans:
        levels.append((rms(left[a:b]), rms(right[a:b])))
    print(f"{name}: alice left/right RMS {levels[0][0]:.0f}/{levels[0][1]:.0f}, "
          f"carol {levels[1][0]:.0f}/{levels[1][1]:.0f}")
    return levels


def main():
    if not shutil.which("xvfb-run"):
        print("skipped: no xvfb-run")
        return 77
    placed = session("positioned", flat=False)
    if placed:
        (al, ar), (cl, cr) = placed
        check(ar > 1.5 * al, f"alice (on the right) is not louder on the right: {al:.0f}/{ar:.0f}")
        check(cl > 1.5 * cr, f"carol (on the left) is not louder on the left: {cl:.0f}/{cr:.0f}")
    flat = session("flat", flat=True)
    if flat:
        for who, (l, r) in zip(("alice", "carol"), flat):
            check(abs(l - r) < 0.1 * max(l, r), f"--flat-voice: {who} not in the middle: {l:.0f}/{r:.0f}")
    return finish(WORK, failures)


if __name__ == "__main__":
    sys.exit(main())
