#!/usr/bin/env python3
"""Mouth to ear in the middle of an utterance, and playback underruns, with
real seafold-headless processes on loopback. Listeners play into OpenAL
Soft's wave-file writer, which runs in real time from the moment the device
opens (the "sound" event), so sample i of the file left at open + i / rate.

usage: tools/measure/voice.py latency   [--clicks 16] [--spacing 1.0] [--runs 1]
       tools/measure/voice.py underruns [--seconds 30] [--movers 3] [--move-every 16] [--speakers 1]
       tools/measure/voice.py intelligibility [--clip-rate 16000] [--runs 1]
   common: [--bin DIR] [--server-args "..."] [--client-args "..."] [--json] [--keep-logs]

--server-args go to the server, --client-args to the speaker, the listener
and the movers (e.g. "--rate 16,65535").

latency: the speaker holds push-to-talk for one long utterance (--speak of a
file) with a loud voiced click every --spacing seconds from 0.5 s on and
silence between them. For each click: the time it was said (the speaker's
"speak" start event plus its place in the file) to its onset in the
listener's and the server's output. Reported per click, with the median of
the first click and of the clicks after the first second (mid-utterance).

underruns: the speaker says --seconds of continuous voiced sound (no pauses)
while --movers other users move every --move-every ms. An underrun (the
stream ran dry and restarted) shows in the listener's output as a stretch of
digital silence inside the speech: counted are runs of at least 10 ms with
every sample within +-1, between the first and the last loud sample. If the
program reports a counter itself (any --stats or event key containing
"underrun"), its last value is shown too. With --speakers 2 two users say
it at once (the last to start is timed); backlog_growth_ms is how much
later the sound ends after the stop than it began after the start: a
standing backlog that built up.

intelligibility: the speaker says a few sentences made with espeak-ng (at
--clip-rate) and the listener's output is scored against them with STOI
(stoi.py, run by /usr/bin/python3 for numpy), each stretch of speech aligned
on its own since playout may shorten or lengthen the pauses. Loss on the
links: --server-args / --client-args "--net-sim 10,0,0,0"."""

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import measurelib as ml  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from wavfile import read_wav, vowel, write_wav  # noqa: E402

RATE = 8000
GAP_MS = 10  # shortest run of digital silence counted as an underrun


def click_file(path, clicks, spacing, first=0.5):
    out = [0] * int((first + clicks * spacing + 0.3) * RATE)
    for c in range(clicks):
        start = int((first + c * spacing) * RATE)
        for i in range(int(0.06 * RATE)):
            out[start + i] = int(20000 * math.sin(2 * math.pi * 150 * i / RATE) +
                                 8000 * math.sin(2 * math.pi * 900 * i / RATE))
    write_wav(path, out)
    return [first + c * spacing for c in range(clicks)]


def vowel_file(path, seconds):
    """Continuous voiced sound (pitch gliding 110-150 Hz), never silent."""
    write_wav(path, vowel(seconds, RATE, glide=20))


def wave_env(work, name):
    env = ml.headless_env("none")
    wav = os.path.join(work, name + "-out.wav")
    conf = os.path.join(work, name + "-alsoft.conf")
    with open(conf, "w") as f:
        f.write("[general]\ndrivers=wave\nchannels=mono\nsample-type=int16\n[wave]\nfile=%s\n" % wav)
    env["ALSOFT_CONF"] = conf
    env.pop("ALSOFT_DRIVERS", None)
    return env, wav


def start(o, work, speaker_args, movers=0, speakers=1):
    """Server and listener writing wave files, movers, then the speakers
    (alice, then carol, ... all saying the same), the last in the list."""
    port = ml.free_port()
    address = f"127.0.0.1:{port}"
    bound = 240
    client_args = ml.split_args(o.client_args)
    env, server_wav = wave_env(work, "server")
    # Every user runs on this one host: room for all of them.
    server = ml.Proc([f"{o.bin}/seafold-headless", "server", address, "--events", "--stats", "1000",
                      "--max-per-address", "16"] + ml.split_args(o.server_args), "server", work, env=env,
                     timeout=bound)
    server.wav = server_wav
    time.sleep(0.4)
    if not server.alive():
        raise RuntimeError("server did not start: " + server.stderr_text().strip()[-300:])
    env, listener_wav = wave_env(work, "listener")
    listener = ml.Proc([f"{o.bin}/seafold-headless", "-client", address, "bob", "--model", "buoy", "--events",
                        "--stats", "1000"] + client_args, "listener", work, env=env, timeout=bound)
    listener.wav = listener_wav
    procs = [server, listener]
    for m in range(movers):
        procs.append(ml.Proc([f"{o.bin}/seafold-headless", "-client", address, f"mover{m + 1}", "--model", "boat",
                              "--move", "1,0,0", "--move-every", str(o.move_every), "--events"] + client_args,
                             f"mover{m + 1}", work, env=ml.headless_env("null"), timeout=bound))
    for p in procs[1:]:
        if not p.wait_for(lambda p=p: p.first("state", "connected"), 20):
            raise RuntimeError(f"{p.name} did not connect")
    time.sleep(0.5)
    for n, name in enumerate(["alice", "carol", "dave", "erin"][:max(1, speakers)]):
        procs.append(ml.Proc([f"{o.bin}/seafold-headless", "-client", address, name, "--model", "boat", "--events"]
                             + speaker_args + client_args, "speaker" if n == 0 else f"speaker{n + 1}", work,
                             env=ml.headless_env("null"), timeout=bound))
    return procs


def onsets(proc, said_times, threshold=2000, window=1.5):
    """Per said time (s): seconds until the first loud sample in proc's output."""
    opened = proc.first("sound")
    if not opened or opened.get("sound") is not True:
        return [None] * len(said_times)
    opened = opened["t"] / 1000.0
    rate, heard = read_wav(proc.wav)
    out = []
    for said in said_times:
        at = int((said - opened) * rate)
        if rate == 0 or at < 0:
            out.append(None)
            continue
        chunk = heard[at:at + int(window * rate)]
        onset = next((i for i, x in enumerate(chunk) if abs(x) > threshold), None)
        out.append(None if onset is None else onset / rate)
    return out


def latency(o, work):
    clicks_path = os.path.join(work, "clicks.wav")
    offsets = click_file(clicks_path, o.clicks, o.spacing)
    results = []
    for run in range(1, o.runs + 1):
        procs = start(o, work, ["--speak", clicks_path])
        server, listener, speaker = procs[0], procs[1], procs[-1]
        try:
            speaker.wait_for(lambda: speaker.first("speak", "stop"), o.clicks * o.spacing + 20)
            time.sleep(2.0)
        finally:
            for p in reversed(procs):
                p.stop()
        s = speaker.first("speak", "start")
        if not s:
            results.append({"run": run, "error": "the speaker never spoke"})
            continue
        said = [s["t"] / 1000.0 + c for c in offsets]
        r = {"run": run, "load": ml.loadavg()}
        for proc in (listener, server):
            d = onsets(proc, said)
            ms = [None if x is None else round(1000 * x) for x in d]
            first = ms[0]
            mid = [x for x, c in zip(ms, offsets) if x is not None and c >= offsets[0] + 1.0]
            r[proc.name] = {"per_click_ms": ms, "first_ms": first,
                            "mid_median_ms": statistics.median(mid) if mid else None,
                            "mid_max_ms": max(mid) if mid else None, "found": sum(x is not None for x in ms)}
        results.append(r)
    return results


def silent_runs(samples, rate, lo, hi):
    """Runs of at least GAP_MS of |x| <= 1 within samples[lo:hi]: (count, total ms)."""
    need = int(GAP_MS * rate / 1000)
    count, total, run = 0, 0, 0
    for x in samples[lo:hi]:
        if -1 <= x <= 1:
            run += 1
        else:
            if run >= need:
                count += 1
                total += run
            run = 0
    if run >= need:
        count += 1
        total += run
    return count, 1000.0 * total / rate if rate else 0


def underrun_counter(proc):
    """The last value of any key containing "underrun" in the program's lines."""
    value = None

    def scan(obj):
        nonlocal value
        if isinstance(obj, dict):
            for k, v in obj.items():
                if "underrun" in k and isinstance(v, (int, float)):
                    value = v if value is None else (value if k == "t" else v)
                else:
                    scan(v)
        elif isinstance(obj, list):
            for v in obj:
                scan(v)
    for e in proc.lines():
        scan(e)
    return value


def underruns(o, work):
    path = os.path.join(work, "vowel.wav")
    vowel_file(path, o.seconds)
    procs = start(o, work, ["--speak", path], movers=o.movers, speakers=o.speakers)
    listener, speaker = procs[1], procs[-1]
    try:
        for p in procs[len(procs) - o.speakers:]:
            p.wait_for(lambda p=p: p.first("speak", "stop"), o.seconds + 30)
        time.sleep(3.0)
    finally:
        for p in reversed(procs):
            p.stop()
    r = {"speakers": o.speakers, "movers": o.movers, "move_every_ms": o.move_every, "seconds": o.seconds,
         "load": ml.loadavg()}
    rate, heard = read_wav(listener.wav)
    loud = [i for i in (next((i for i, x in enumerate(heard) if abs(x) > 1000), None),
                        next((len(heard) - 1 - i for i, x in enumerate(reversed(heard)) if abs(x) > 1000), None))]
    if rate == 0 or loud[0] is None:
        r["error"] = "no speech in the listener's output"
        return [r]
    count, total_ms = silent_runs(heard, rate, loud[0], loud[1])
    r.update({"speech_heard_s": round((loud[1] - loud[0]) / rate, 2), "silent_gaps": count,
              "silent_ms": round(total_ms), "reported_underruns": underrun_counter(listener)})
    s = speaker.first("speak", "start")
    opened = listener.first("sound")
    if s and opened:
        r["first_sound_after_ms"] = round(1000 * (opened["t"] / 1000.0 + loud[0] / rate - s["t"] / 1000.0))
        r["last_sound_after_stop_ms"] = round(1000 * (opened["t"] / 1000.0 + loud[1] / rate
                                                      - speaker.first("speak", "stop")["t"] / 1000.0)) \
            if speaker.first("speak", "stop") else None
        # A backlog that built up over the speech shows as sound ending
        # later after the stop than it began after the start.
        if r["last_sound_after_stop_ms"] is not None:
            r["backlog_growth_ms"] = r["last_sound_after_stop_ms"] - r["first_sound_after_ms"]
    return [r]


SENTENCES = ("The boat drifted slowly past the harbour wall. "
             "Seven gulls landed on the mast, and the keeper waved from the lighthouse. "
             "Bring the blue buoy closer to the rocks before the tide turns. "
             "Nobody heard the bell until the fog lifted over the bay.")
STOI_TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stoi.py")


def speech_file(path, rate):
    """The sentences spoken by espeak-ng, at `rate`, peaks about -8 dBFS."""
    raw = path + ".espeak.wav"
    subprocess.run(["espeak-ng", "-v", "en", "-s", "150", "-w", raw, SENTENCES], check=True)
    subprocess.run(["sox", raw, "-r", str(rate), "-c", "1", "-b", "16", path, "gain", "-n", "-8"], check=True)
    os.unlink(raw)


def intelligibility(o, work):
    clip = os.path.join(work, "speech.wav")
    speech_file(clip, o.clip_rate)
    results = []
    for run in range(1, o.runs + 1):
        procs = start(o, work, ["--speak", clip])
        listener, speaker = procs[1], procs[-1]
        try:
            speaker.wait_for(lambda: speaker.first("speak", "stop"), 60)
            time.sleep(2.0)
        finally:
            for p in reversed(procs):
                p.stop()
        s, opened = speaker.first("speak", "start"), listener.first("sound")
        if not s or not opened or opened.get("sound") is not True:
            results.append({"run": run, "error": "the speaker never spoke or the listener had no sound"})
            continue
        rate, heard = read_wav(listener.wav)
        # The listener's output from the moment the clip began.
        at = max(0, int((s["t"] - opened["t"]) / 1000.0 * rate))
        heard_path = os.path.join(work, f"heard-{run}.wav")
        write_wav(heard_path, heard[at:], rate)
        out = subprocess.run(["/usr/bin/python3", STOI_TOOL, "score", clip, heard_path, "--align", "--json"],
                             capture_output=True, text=True, timeout=300)
        if out.returncode != 0:
            results.append({"run": run, "error": "stoi.py: " + out.stderr.strip()[-300:]})
            continue
        r = json.loads(out.stdout)
        results.append({"run": run, "stoi": r["stoi"], "lags_ms": r["lags_ms"], "load": ml.loadavg()})
    return results


def main():
    ap = argparse.ArgumentParser(description="Mouth to ear mid-utterance, and playback underruns.")
    ap.add_argument("what", choices=["latency", "underruns", "intelligibility"])
    ap.add_argument("--bin", default="build/bin")
    ap.add_argument("--clicks", type=int, default=16)
    ap.add_argument("--spacing", type=float, default=1.0)
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--movers", type=int, default=3)
    ap.add_argument("--speakers", type=int, default=1)
    ap.add_argument("--move-every", type=int, default=16)
    ap.add_argument("--clip-rate", type=int, default=16000)
    ap.add_argument("--server-args", default="")
    ap.add_argument("--client-args", default="")
    ap.add_argument("--json", action="store_true")
    ap.add_argument("--keep-logs", action="store_true")
    o = ap.parse_args()
    ml.need_programs(o.bin, ["seafold-headless"], "voice.py")
    work = ml.new_workdir("seafold-voice-")
    print(f"# voice {o.what}: server args [{o.server_args}] client args [{o.client_args}]")
    try:
        rows = {"latency": latency, "underruns": underruns, "intelligibility": intelligibility}[o.what](o, work)
        for r in rows:
            if o.json or "error" in r or o.what != "latency":
                print(json.dumps(r))
                continue
            for who in ("listener", "server"):
                x = r[who]
                print(f"{who} run {r['run']}: first click {x['first_ms']} ms, mid-utterance median "
                      f"{x['mid_median_ms']} ms (max {x['mid_max_ms']}), {x['found']} of {o.clicks} clicks found; "
                      f"per click {x['per_click_ms']}; load {r['load']}")
    finally:
        ml.Proc.stop_all()
        ml.finish(work, o.keep_logs)


if __name__ == "__main__":
    main()
