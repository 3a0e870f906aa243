#!/usr/bin/python3
"""Checks of the intelligibility measure: its ends (the same signal, noise
alone), its order (more noise scores lower), and that alignment undoes a
delay and shortened pauses, as a listener's playout makes them."""

import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stoi as m  # noqa: E402

RATE = 16000
failures = []
passed = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what)
    (passed if ok else failures).append(what)


def speech():
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "clean.wav")
        return m.speech_clip(path, "Seven gulls landed on the mast, and the keeper waved.", RATE)


def with_pauses_changed(x, delay_s, factor):
    """x delayed by delay_s, every pause of 150 ms or more scaled by factor,
    as a playout that drains a backlog (factor < 1) or runs dry (> 1)."""
    out = [np.zeros(int(delay_s * RATE))]
    parts = m.chunks(x, RATE)
    at = 0
    for start, end in parts:
        out.append(np.zeros(int((start - at) * (factor if at else 1))))
        out.append(x[start:end])
        at = end
    return np.concatenate(out)


def main():
    x = speech()
    rng = np.random.default_rng(7)
    noise = rng.normal(0, np.std(x), len(x))
    check(m.stoi(x, x, RATE) > 0.999, "the same signal scores 1")
    check(m.stoi(x, noise, RATE) < 0.5, "noise instead of speech scores low")
    scores = [m.stoi(x, x + noise * 10 ** (-snr / 20), RATE) for snr in (15, 5, -5, -15)]
    check(all(a > b for a, b in zip(scores, scores[1:])), f"more noise scores lower: {scores}")
    check(m.stoi(x, 0.1 * x, RATE) > 0.999, "the level does not matter")
    moved = with_pauses_changed(x, 0.25, 0.5)
    check(m.stoi(x, moved[:len(x)], RATE) < 0.6, "a delayed signal scores low unaligned")
    for delay, factor in ((0.25, 0.5), (0.8, 1.0), (0.1, 1.6)):
        aligned, lags = m.align(x, with_pauses_changed(x, delay, factor), RATE)
        score = m.stoi(x, aligned, RATE)
        check(score > 0.98 and abs(lags[0] - 1000 * delay) <= 2,
              f"aligned after a {delay} s delay, pauses x{factor}: {score:.3f}, lags {lags}")
    # The command line, on files.
    with tempfile.TemporaryDirectory() as work:
        a, b = os.path.join(work, "a.wav"), os.path.join(work, "b.wav")
        m.write_wav(a, x, RATE)
        m.write_wav(b, m.resample(with_pauses_changed(x, 0.3, 0.7), RATE, 8000), 8000)
        out = subprocess.run([sys.executable, m.__file__, "score", a, b, "--align", "--json"],
                             capture_output=True, text=True, timeout=60)
        check(out.returncode == 0 and '"stoi": 0.9' in out.stdout,
              f"score --align on files at two rates: {out.stdout.strip()} {out.stderr.strip()[-200:]}")
    print(f"{len(passed)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
