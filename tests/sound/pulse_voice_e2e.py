#!/usr/bin/env python3
"""Voice end to end through a real sound server: a private PulseAudio that
the test starts (a test dependency; without it the test fails), whose null
sink's monitor is the default microphone. A seafold-headless speaker on
voice activation captures from it through OpenAL while a vowel is played
into the sink; a listener plays into OpenAL Soft's wave-file writer. Checks
that the speaker speaks Opus (voice activation opens the microphone before
the server answers), that the vowel arrives whole, and that its start is
heard with no click above what was said (at most 1 dB above) and not cut
short (at most 2 dB below the rest of the vowel): a listener's copy once
had a full-scale sample at the start of speech said at -1.2 dBFS.
Every wait is bounded.

    pulse_voice_e2e.py SEAFOLD-HEADLESS"""

import math
import statistics
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import pulseserver  # noqa: E402
from headless_process import HeadlessProcess, free_port  # noqa: E402
from wavfile import read_wav, vowel, write_wav  # noqa: E402

BINARY = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="seafold-pulse-voice-")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def db(peak):
    return 20 * math.log10(max(peak, 1) / 32768)


def loud_span(samples, rate, threshold):
    first = next((i for i, x in enumerate(samples) if abs(x) > threshold), None)
    if first is None:
        return None
    last = len(samples) - 1 - next(i for i, x in enumerate(reversed(samples)) if abs(x) > threshold)
    return first / rate, last / rate


class Proc(HeadlessProcess):
    def __init__(self, name, args, env, wav=None):
        env = dict(env)
        if wav:
            conf = os.path.join(WORK, name + "-alsoft.conf")
            with open(conf, "w") as f:
                f.write("[general]\ndrivers=wave\nchannels=mono\nsample-type=int16\n[wave]\nfile=%s\n" % wav)
            env["ALSOFT_CONF"] = conf
        self.wav = wav
        super().__init__(BINARY, name, args, failures, env=env, log_dir=WORK)

    def first(self, key, value=None):
        for e in self.events():
            if key in e and (value is None or e[key] == value):
                return e
        return None


def scenario(pulse):
    # One second of silence, 1.5 s of vowel peaking at -1.2 dBFS, silence.
    clip = os.path.join(WORK, "vowel.wav")
    spoken = vowel(1.5, 8000, glide=20)
    top = max(abs(x) for x in spoken)
    said = [0] * 8000 + [int(x * 28500 / top) for x in spoken] + [0] * 8000
    write_wav(clip, said)
    said_peak = max(abs(x) for x in said)

    port = free_port()
    address = f"127.0.0.1:{port}"
    plain = dict(os.environ)
    for name in ("ALSOFT_DRIVERS", "ALSOFT_CONF", "SEAFOLD_CAPTURE_FILE"):
        plain.pop(name, None)
    server = Proc("server", ["server", address], dict(plain, ALSOFT_DRIVERS="wave", ALSOFT_CONF=os.devnull))
    time.sleep(0.2)
    listener = Proc("listener", ["-client", address, "bob", "--model", "buoy"], plain,
                    wav=os.path.join(WORK, "listener-out.wav"))
    listener.wait_for("connection", lambda: listener.first("state", "connected"), 15)
    # The speaker's microphone is the sound server's default source.
    speaker = Proc("speaker", ["-client", address, "alice", "--model", "boat", "--voice-activation"], pulse.env())
    speaker.wait_for("connection", lambda: speaker.first("state", "connected"), 15)
    # The server needs a moment before captured samples flow (about 1.6 s).
    time.sleep(2.5)
    player = pulse.play(clip)
    try:
        player.wait(timeout=20)
    except Exception:
        check(False, "paplay did not finish")
    time.sleep(1.5)
    for p in (speaker, listener, server):
        code = p.stop()
        check(code == 0, f"{p.name}: exit code {code}")

    check(server.first("rpc", "c2sVoiceFrames") is not None, "server: no Opus voice from the microphone")
    # Voice activation opens the microphone before the server answers; it
    # once kept the LPC-10 it was opened with for the whole run.
    check(server.first("rpc", "c2sVoice") is None, "speaker: spoke LPC-10 to a server that speaks Opus")
    check("No microphone" not in speaker.stderr_text(), "speaker: " + speaker.stderr_text()[-300:])
    rate, heard = read_wav(listener.wav)
    if not check(rate > 0 and heard, "listener: no output file"):
        return
    span = loud_span(heard, rate, 1500)
    if not check(span is not None, "listener: the vowel never arrived"):
        return
    length = span[1] - span[0]
    check(abs(length - 1.5) < 0.4, f"listener: heard {length:.2f} s of vowel for 1.5 s said")
    print(f"listener: vowel {span[0]:.2f}-{span[1]:.2f} s of its output (said peak {said_peak})")
    start = int(span[0] * rate)
    onset = max(abs(x) for x in heard[start:start + rate // 5])
    # The vowel's own level: the median of its 100 ms peaks after the start.
    windows = range(start + rate // 5, int(span[1] * rate) - rate // 10, rate // 10)
    rest = statistics.median(max(abs(x) for x in heard[w:w + rate // 10]) for w in windows)
    # Nowhere a click: a frame rebuilt after concealment once clipped.
    loudest = max(abs(x) for x in heard[start:int(span[1] * rate)])
    check(db(loudest) <= db(said_peak) + 1.0,
          f"listener: the vowel peaks at {db(loudest):.2f} dBFS for {db(said_peak):.2f} dBFS said")
    print(f"listener: onset peak {db(onset):.2f} dBFS, the rest {db(rest):.2f} dBFS, said {db(said_peak):.2f} dBFS")
    # No click: the start is not louder than what was said. The codec and
    # the mixer give the whole vowel back a little below what was said, so
    # a start that is not cut short is measured against the vowel's own rest.
    check(db(onset) <= db(said_peak) + 1.0,
          f"listener: the start peaks at {db(onset):.2f} dBFS for {db(said_peak):.2f} dBFS said")
    check(db(onset) >= db(rest) - 2.0,
          f"listener: the start peaks at {db(onset):.2f} dBFS, the rest of the vowel at {db(rest):.2f} dBFS")


if __name__ == "__main__":
    sys.exit(pulseserver.run_scenario(scenario, WORK, failures))
