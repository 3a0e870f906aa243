#!/usr/bin/env python3
"""Voice end to end with real seafold-headless processes on loopback.

A client speaks a WAV file made for the test (push-to-talk held through the
file capture back end) while the server and another client play into OpenAL
Soft's wave-file writer. Checks that the speech arrives in both output files,
where and how loud it is expected, and that the speaker never hears itself.

    voice_e2e.py SEAFOLD-HEADLESS            the test
    voice_e2e.py SEAFOLD-HEADLESS --measure  mouth-to-ear latency and wire bit rates
    voice_e2e.py SEAFOLD-HEADLESS --measure-together [N...] [-- OPTIONS]
        N people (default 2 and 4) speak the same clip at once: what a
        listener hears against what was said, and how long after the
        speakers stop it ends; OPTIONS go to every process (e.g. --rate 16,65535)

Every wait is bounded."""

import json
import math
import os
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from wavfile import read_wav, vowel, write_wav  # noqa: E402
from headless_process import HeadlessProcess, finish, free_port  # noqa: E402

BINARY = sys.argv[1]
MEASURE = "--measure" in sys.argv[2:]
TOGETHER = "--measure-together" in sys.argv[2:]
failures = []
WORK = tempfile.mkdtemp(prefix="seafold-voice-")


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


# ---- WAV files ----------------------------------------------------------------------


def envelope(samples, rate, window=0.01):
    """Peak of each 10 ms window."""
    w = max(1, int(rate * window))
    return [max((abs(x) for x in samples[k:k + w]), default=0) for k in range(0, len(samples), w)]


def loud_span(samples, rate, threshold):
    """(first, last) time in seconds of samples above the threshold, or None."""
    first = next((i for i, x in enumerate(samples) if abs(x) > threshold), None)
    if first is None:
        return None
    last = len(samples) - 1 - next(i for i, x in enumerate(reversed(samples)) if abs(x) > threshold)
    return first / rate, last / rate


def rms(samples):
    return math.sqrt(sum(x * x for x in samples) / len(samples)) if samples else 0.0


# ---- test signals ----------------------------------------------------------------------


def speech_file(path):
    """Real synthetic speech when espeak-ng and sox are there, else a vowel-like
    buzz with pauses (a pulse train through two resonances)."""
    if shutil.which("espeak-ng") and shutil.which("sox"):
        raw = os.path.join(WORK, "speech22.wav")
        text = "Hello everyone. This is a voice test on the local network."
        ok = subprocess.run(["espeak-ng", "-w", raw, text], capture_output=True).returncode == 0
        ok = ok and subprocess.run(["sox", raw, "-r", "8000", "-c", "1", "-b", "16", path, "gain", "-n", "-3"],
                                   capture_output=True).returncode == 0
        if ok:
            return
    rate, out = 8000, []
    for word in range(6):
        n = int(0.35 * rate)
        y1 = y2 = z1 = z2 = 0.0
        for i in range(n):
            pulse = 1.0 if i % 57 == 0 else 0.0
            # two resonators at about 700 and 1200 Hz
            y = pulse + 1.80 * y1 * math.cos(2 * math.pi * 700 / rate) - 0.90 * y2
            z = y + 1.70 * z1 * math.cos(2 * math.pi * 1200 / rate) - 0.85 * z2
            y2, y1, z2, z1 = y1, y, z1, z
            fade = min(1.0, i / 200, (n - i) / 200)
            out.append(int(max(-32767, min(32767, 900 * z * fade))))
        out += [0] * int(0.15 * rate)
    write_wav(path, out, rate)


def click_file(path, clicks, spacing, first):
    """Short loud voiced bursts: clear onsets that survive the vocoder."""
    rate = 8000
    out = [0] * int((first + clicks * spacing) * rate)
    for c in range(clicks):
        start = int((first + c * spacing) * rate)
        for i in range(int(0.06 * rate)):
            pulse = 20000 * math.sin(2 * math.pi * 150 * i / rate) + 8000 * math.sin(2 * math.pi * 900 * i / rate)
            out[start + i] = int(pulse)
    write_wav(path, out, rate)
    return [first + c * spacing for c in range(clicks)]


# ---- processes ---------------------------------------------------------------------------


class Proc(HeadlessProcess):
    def __init__(self, name, args, play_to=None):
        env = dict(os.environ)
        env.pop("SEAFOLD_CAPTURE_FILE", None)
        self.wav = None
        if play_to == "nowhere":
            # The wave writer without a file: no device opens, as on a machine
            # without sound.
            env["ALSOFT_DRIVERS"] = "wave"
            env["ALSOFT_CONF"] = os.devnull
        elif play_to:
            self.wav = os.path.join(WORK, play_to)
            conf = os.path.join(WORK, name + "-alsoft.conf")
            with open(conf, "w") as f:
                f.write("[general]\ndrivers=wave\nchannels=mono\nsample-type=int16\n"
                        "[wave]\nfile=%s\n" % self.wav)
            env["ALSOFT_CONF"] = conf
            env.pop("ALSOFT_DRIVERS", None)
        super().__init__(BINARY, name, args, failures, env=env, log_dir=WORK)

    def first(self, key, value=None):
        for e in self.events():
            if key in e and (value is None or e[key] == value):
                return e
        return None

    def wait_for(self, what, predicate, seconds=15.0):
        return super().wait_for(what, predicate, seconds)

    def stop(self):
        code = super().stop()
        if code is not None:
            check(code == 0, f"{self.name}: exit code {code}")
        return code


def start_session(speaker_args, stats=None):
    """A server, a listener and a speaker; returns them once the speaker spoke."""
    port = free_port()
    address = f"127.0.0.1:{port}"
    extra = ["--stats", str(stats)] if stats else []
    server = Proc("server", ["server", address], play_to="server-out.wav")
    time.sleep(0.2)
    listener = Proc("listener", ["-client", address, "bob", "--model", "buoy"], play_to="listener-out.wav")
    listener.wait_for("connection", lambda: listener.first("state", "connected"))
    speaker = Proc("speaker", ["-client", address, "alice", "--model", "boat"] + speaker_args + extra,
                   play_to="speaker-out.wav")
    return server, listener, speaker


def sound_open(proc):
    e = proc.first("sound")
    if not check(e is not None and e["sound"] is True, f"{proc.name}: sound device did not open"):
        return None
    return e["t"] / 1000.0


def stop_all(*procs):
    for p in procs:
        p.stop()


# ---- the test -------------------------------------------------------------------------------


def speech_scenario():
    speech = os.path.join(WORK, "speech.wav")
    speech_file(speech)
    rate_in, said = read_wav(speech)
    said_span = loud_span(said, rate_in, 1500)
    check(said_span is not None, "the speech file is silent")

    server, listener, speaker = start_session(["--speak", speech])
    speaker.wait_for("the end of speaking", lambda: speaker.first("speak", "stop"))
    time.sleep(1.5)
    stop_all(speaker, listener, server)

    start = speaker.first("speak", "start")
    if not check(start is not None, "speaker: no speak start"):
        return
    spoke_at = start["t"] / 1000.0
    # Seafold peers all: the voice travels as Opus frames.
    check(not speaker.first("rpc", "s2cVoiceFrames"), "speaker: received its own voice")
    check(listener.first("rpc", "s2cVoiceFrames") is not None, "listener: no s2cVoiceFrames")
    check(server.first("rpc", "c2sVoiceFrames") is not None, "server: no c2sVoiceFrames")
    check(not listener.first("rpc", "s2cVoice"), "listener: LPC-10 between Seafold peers")

    for proc in (server, listener):
        opened = sound_open(proc)
        rate, heard = read_wav(proc.wav)
        if not check(rate > 0 and heard, f"{proc.name}: no output file"):
            continue
        span = loud_span(heard, rate, 1500)
        if not check(span is not None, f"{proc.name}: the speech never arrived"):
            continue
        if opened is None or said_span is None:
            continue
        # Where: the first sound comes after the first frame and the trip
        # through the server, well within a second. The wave writer mixes a
        # little ahead of the wall clock, so a fast path may show as about 0.
        arrival = opened + span[0]
        expected = spoke_at + said_span[0]
        delay = arrival - expected
        check(-0.1 < delay < 1.5, f"{proc.name}: speech arrived {delay:.3f} s after it was said")
        # How long: about as long as what was said.
        heard_length, said_length = span[1] - span[0], said_span[1] - said_span[0]
        check(abs(heard_length - said_length) < 0.8,
              f"{proc.name}: heard {heard_length:.2f} s of speech for {said_length:.2f} s said")
        # How loud: levelled speech, not a whisper and not noise; silence before it.
        a, b = int(span[0] * rate), int(span[1] * rate)
        loudness = rms(heard[a:b])
        check(1500 < loudness < 20000, f"{proc.name}: speech RMS {loudness:.0f}")
        check(max((abs(x) for x in heard[:max(0, a - int(0.05 * rate))]), default=0) < 200,
              f"{proc.name}: sound before the speech")
        print(f"{proc.name}: speech {span[0]:.2f}-{span[1]:.2f} s of its output, {delay * 1000:.0f} ms after "
              f"it was said, RMS {loudness:.0f}")

    # The generated catalogue loads whole in every process.
    for proc in (server, listener, speaker):
        errors = [l for l in proc.stderr_text().splitlines() if "loading sound file" in l or "intitialize" in l]
        check(not errors, f"{proc.name}: {errors[:3]}")

    rate, own = read_wav(speaker.wav)
    check(rate > 0, "speaker: no output file")
    check(max((abs(x) for x in own), default=0) < 200, "speaker: heard itself")


def listener_choices_scenario():
    """A 22,050 Hz capture file, a speaker on voice activation and a listener
    who muted her: the file is resampled, not refused; nothing goes out for
    the second of silence before the voice; the muted listener hears nothing
    while the other listener and the server hear her, and the server still
    relays her voice to the one who muted her (muting is local)."""
    rate = 22050
    clip = os.path.join(WORK, "vowel22k.wav")
    write_wav(clip, [0] * rate + vowel(1.2, rate, glide=20) + [0] * (rate // 2), rate)
    port = free_port()
    address = f"127.0.0.1:{port}"
    server = Proc("server-c", ["server", address], play_to="server-c-out.wav")
    time.sleep(0.2)
    bob = Proc("bob", ["-client", address, "bob", "--mute", "alice", "--model", "buoy"], play_to="bob-out.wav")
    carol = Proc("carol", ["-client", address, "carol", "--model", "buoy"], play_to="carol-out.wav")
    for p in (bob, carol):
        p.wait_for("connection", lambda p=p: p.first("state", "connected"))
    alice = Proc("alice", ["-client", address, "alice", "--model", "boat", "--speak", clip, "--voice-activation"],
                 play_to="nowhere")
    alice.wait_for("the end of speaking", lambda: alice.first("speak", "stop"))
    time.sleep(1.5)
    stop_all(alice, bob, carol, server)

    start, voiced = alice.first("speak", "start"), server.first("rpc", "c2sVoiceFrames")
    if check(start is not None and voiced is not None, "22 kHz file: alice never spoke or the server heard nothing"):
        # Frames go out every 20 ms once the microphone opens: anything sent
        # before the vowel (1 s in) would arrive well before 0.9 s.
        after = (voiced["t"] - start["t"]) / 1000.0
        check(after > 0.9, f"voice activation: the first voice went out {after:.2f} s in, during the silence")
    check(bob.first("rpc", "s2cVoiceFrames") is not None, "mute: the server stopped relaying to the one who muted")
    for proc, hears in ((server, True), (carol, True), (bob, False)):
        r, heard = read_wav(proc.wav)
        span = loud_span(heard, r, 1500) if r else None
        if hears:
            check(span is not None and span[1] - span[0] > 0.8,
                  f"{proc.name}: did not hear the 22 kHz vowel (span {span})")
        else:
            check(r > 0 and span is None, f"{proc.name}: heard alice although muted (span {span})")


def loud_bursts(samples, rate, threshold, gap=0.3):
    """Number of loud stretches separated by at least `gap` seconds of quiet."""
    bursts, last = 0, None
    for i, x in enumerate(samples):
        if abs(x) > threshold:
            if last is None or (i - last) / rate > gap:
                bursts += 1
            last = i
    return bursts


def repeat_scenario():
    """--speak-every: the speaker presses again; each press is heard once."""
    short = os.path.join(WORK, "short.wav")
    click_file(short, clicks=1, spacing=0.5, first=0.1)
    server, listener, speaker = start_session(["--speak", short, "--speak-every", "1.5"])
    speaker.wait_for("three presses", lambda: len([e for e in speaker.events() if e.get("speak") == "stop"]) >= 3)
    time.sleep(1.0)
    stop_all(speaker, listener, server)
    starts = [e["t"] for e in speaker.events() if e.get("speak") == "start"]
    check(len(starts) >= 3, f"speaker: {len(starts)} presses")
    if len(starts) >= 3:
        spacing = (starts[2] - starts[0]) / 2000.0
        check(abs(spacing - 1.5) < 0.2, f"speaker: presses {spacing:.2f} s apart")
    stops = len([e for e in speaker.events() if e.get("speak") == "stop"])
    rate, heard = read_wav(listener.wav)
    bursts = loud_bursts(heard, rate, 2000)
    # A press still running at the end may or may not have been heard yet.
    check(stops <= bursts <= len(starts), f"listener: {bursts} bursts for {stops} to {len(starts)} presses")


def no_sound_device():
    """Without any sound device every process runs, and voice still travels."""
    speech = os.path.join(WORK, "speech.wav")
    port = free_port()
    address = f"127.0.0.1:{port}"
    server = Proc("mute-server", ["server", address], play_to="nowhere")
    time.sleep(0.2)
    listener = Proc("mute-listener", ["-client", address, "bob"], play_to="nowhere")
    listener.wait_for("connection", lambda: listener.first("state", "connected"))
    speaker = Proc("mute-speaker", ["-client", address, "alice", "--speak", speech], play_to="nowhere")
    speaker.wait_for("the end of speaking", lambda: speaker.first("speak", "stop"))
    listener.wait_for("relayed voice", lambda: listener.first("rpc", "s2cVoiceFrames"))
    stop_all(speaker, listener, server)
    for proc in (server, listener, speaker):
        check(proc.first("sound", False) is not None, f"{proc.name}: a sound device opened")
        check("no sound device: running silent" in proc.stderr_text(), f"{proc.name}: no message about sound")


def bad_options():
    """Clear errors and exit code 2 for --speak files and modes that cannot work."""
    not8k = os.path.join(WORK, "22k.wav")
    write_wav(not8k, [0] * 2205, rate=22050)
    # 8-bit samples: any rate is resampled, but only 16-bit PCM is read.
    eight_bit = os.path.join(WORK, "8bit.wav")
    with open(eight_bit, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + 800) + b"WAVE" +
                b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, 8000, 8000, 1, 8) +
                b"data" + struct.pack("<I", 800) + bytes([128]) * 800)
    cases = [
        (["-client", "127.0.0.1:1", "x", "--speak", eight_bit], "16-bit PCM"),
        (["-client", "127.0.0.1:1", "x", "--speak", os.path.join(WORK, "missing.wav")], "cannot read"),
        (["server", "127.0.0.1:1", "--speak", not8k.replace("22k", "short")], "needs -client"),
        (["-client", "127.0.0.1:1", "x", "--speak-every", "2"], "needs --speak"),
        (["-client", "127.0.0.1:1", "x", "--speak", not8k.replace("22k", "short"), "--speak-every", "0"],
         "--speak-every takes seconds"),
    ]
    for args, expected in cases:
        r = subprocess.run([BINARY] + args, capture_output=True, text=True, timeout=10)
        check(r.returncode == 2, f"{args}: exit code {r.returncode}")
        check(expected in r.stderr and "--help" in r.stderr, f"{args}: stderr {r.stderr!r}")


def speak_together(count, extra=(), tag="together"):
    """`count` users speak the same clip at the same moment while bob
    listens. Returns what bob heard against what was said (seconds, on the
    wall clock), or None."""
    speech = os.path.join(WORK, "speech.wav")
    if not os.path.exists(speech):
        speech_file(speech)
    rate_in, said = read_wav(speech)
    said_span = loud_span(said, rate_in, 1500)
    port = free_port()
    address = f"127.0.0.1:{port}"
    extra = list(extra)
    server = Proc(f"{tag}-server", ["server", address] + extra, play_to="nowhere")
    time.sleep(0.2)
    bob = Proc(f"{tag}-bob", ["-client", address, "bob", "--stats", "500"] + extra, play_to=f"{tag}-bob-out.wav")
    bob.wait_for("connection", lambda: bob.first("state", "connected"))
    names = ["alice", "carol", "dave", "erin", "frank", "grace", "heidi", "ivan"][:count]
    speakers = [Proc(f"{tag}-{n}", ["-client", address, n, "--speak", speech] + extra, play_to="nowhere")
                for n in names]
    for p in speakers:
        p.wait_for("the end of speaking", lambda p=p: p.first("speak", "stop"), 30)
    time.sleep(2.0)
    stop_all(*speakers, bob, server)
    starts = [p.first("speak", "start") for p in speakers]
    opened = sound_open(bob)
    rate, heard = read_wav(bob.wav)
    span = loud_span(heard, rate, 1500) if rate else None
    if not check(all(starts) and opened is not None and said_span and span,
                 f"{tag}: nothing to compare (starts {starts}, sound {opened}, heard {span})"):
        return None
    begun = [e["t"] / 1000.0 for e in starts]
    spoken = (min(begun) + said_span[0], max(begun) + said_span[1])
    heard_at = (opened + span[0], opened + span[1])
    return {"speakers": count, "clip_s": said_span[1] - said_span[0], "spoken_s": spoken[1] - spoken[0],
            "heard_s": heard_at[1] - heard_at[0], "start_spread_s": max(begun) - min(begun),
            "end_after_stop_s": heard_at[1] - spoken[1], "first_after_start_s": heard_at[0] - spoken[0],
            "underruns": listener_underruns(bob)}


def listener_underruns(proc):
    """The most underruns of all voices together in the listener's statistics
    lines (a voice that left takes its count with it)."""
    most = None
    for e in proc.events():
        if "voice" in e:
            total = sum(v.get("underruns", 0) for v in e["voice"])
            most = total if most is None else max(most, total)
    return most


def together_scenario():
    """alice and carol speak at once: bob hears two voices over the clip's
    length, not one after the other, and the sound ends soon after they stop."""
    r = speak_together(2)
    if not r:
        return
    print("together: " + ", ".join(f"{k} {v:.2f}" if isinstance(v, float) else f"{k} {v}" for k, v in r.items()))
    check(abs(r["heard_s"] - r["spoken_s"]) <= 0.1 * r["spoken_s"] + 0.1,
          f"together: heard {r['heard_s']:.2f} s of speech for {r['spoken_s']:.2f} s said")
    check(r["end_after_stop_s"] < 0.8, f"together: the sound ended {r['end_after_stop_s']:.2f} s after they stopped")


def measure_together(counts, extra):
    for n in counts:
        r = speak_together(n, extra, tag=f"together{n}")
        if r:
            print(json.dumps({k: round(v, 3) if isinstance(v, float) else v for k, v in r.items()}))


def bytes_sent(proc):
    """(time, bytes sent on the connection to the server) of each stats line."""
    points = []
    for e in proc.events():
        if "stats" in e and e["stats"]:
            points.append((e["t"] / 1000.0, e["stats"][0]["bytes_sent"]))
    return points


def rate_between(points, t0, t1):
    inside = [p for p in points if t0 <= p[0] <= t1]
    if len(inside) < 2:
        return float("nan")
    (a, ba), (b, bb) = inside[0], inside[-1]
    return (bb - ba) * 8 / (b - a)


def measure():
    clicks = click_file(os.path.join(WORK, "clicks.wav"), clicks=7, spacing=0.8, first=0.5)
    server, listener, speaker = start_session(["--speak", os.path.join(WORK, "clicks.wav")], stats=200)
    speaker.wait_for("the end of speaking", lambda: speaker.first("speak", "stop"))
    time.sleep(3.0)
    stop_all(speaker, listener, server)
    start = speaker.first("speak", "start")["t"] / 1000.0
    stop = speaker.first("speak", "stop")["t"] / 1000.0
    for proc in (listener, server):
        opened = sound_open(proc)
        rate, heard = read_wav(proc.wav)
        latencies = []
        for c in clicks:
            said = start + c
            from_index = int((said - opened) * rate)
            if from_index < 0:
                continue
            window = heard[from_index:from_index + int(1.5 * rate)]
            onset = next((i for i, x in enumerate(window) if abs(x) > 2000), None)
            if onset is not None:
                latencies.append(onset / rate)
        if latencies:
            print(f"mouth-to-ear {proc.name}: median {statistics.median(latencies) * 1000:.0f} ms over "
                  f"{len(latencies)} clicks (min {min(latencies) * 1000:.0f}, max {max(latencies) * 1000:.0f})")
        else:
            print(f"mouth-to-ear {proc.name}: no click found")
    points = bytes_sent(speaker)
    print(f"wire rate talking (clicks and gaps): {rate_between(points, start + 0.4, stop):.0f} bit/s")
    print(f"wire rate idle after release: {rate_between(points, stop + 0.5, stop + 2.8):.0f} bit/s")

    speech = os.path.join(WORK, "speech.wav")
    speech_file(speech)
    silence = os.path.join(WORK, "silence.wav")
    write_wav(silence, [0] * 8000 * 3)
    for label, path in (("speech", speech), ("silence, push-to-talk held", silence)):
        server, listener, speaker = start_session(["--speak", path], stats=200)
        speaker.wait_for("the end of speaking", lambda: speaker.first("speak", "stop"))
        stop_all(speaker, listener, server)
        start = speaker.first("speak", "start")["t"] / 1000.0
        stop = speaker.first("speak", "stop")["t"] / 1000.0
        print(f"wire rate while talking ({label}): "
              f"{rate_between(bytes_sent(speaker), start + 0.4, stop):.0f} bit/s")


def main():
    if TOGETHER:
        rest = sys.argv[sys.argv.index("--measure-together") + 1:]
        extra = rest[rest.index("--") + 1:] if "--" in rest else []
        counts = [int(a) for a in (rest[:rest.index("--")] if "--" in rest else rest)] or [2, 4]
        measure_together(counts, extra)
    elif MEASURE:
        measure()
    else:
        speech_scenario()
        listener_choices_scenario()
        together_scenario()
        repeat_scenario()
        no_sound_device()
        bad_options()
    return finish(WORK, failures)


if __name__ == "__main__":
    sys.exit(main())
