#!/usr/bin/env python3
"""Choosing the sound devices, and losing them, on a real sound server: a
private PulseAudio (a test dependency; without it the test fails) with a
second null sink, "Headset", besides the default one. seafold-headless lists
both by the server's names, opens the ones it is told to (its streams show
on the headset's sink and monitor), and when the headset's module is
unloaded while it runs it moves to the default ones, says so on the console
and goes on to a clean end. Every wait is bounded; how long the move took
is printed, not asserted.

    device_fallback_e2e.py SEAFOLD-HEADLESS"""

import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import pulseserver  # noqa: E402
from headless_process import HeadlessProcess, free_port  # noqa: E402

BINARY = sys.argv[1]
WORK = tempfile.mkdtemp(prefix="seafold-devices-")
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def streams_of(pulse, kind, pid, formats=False):
    """The device names (sink or source) that the streams of process `pid`
    play to or record from: kind is "sink-inputs" or "source-outputs".
    With `formats`, (name, sample format) pairs."""
    owner = "sink" if kind == "sink-inputs" else "source"
    devices = {}
    for line in (pulse.pactl("list", "short", owner + "s") or "").splitlines():
        fields = line.split("\t")
        devices[fields[0]] = fields[1]
    clients = set()
    text = pulse.pactl("list", "clients") or ""
    for block in text.split("\n\n"):
        if f'application.process.id = "{pid}"' in block:
            clients.add(block.split("#", 1)[1].split()[0])
    found = []
    for line in (pulse.pactl("list", "short", kind) or "").splitlines():
        fields = line.split("\t")
        if len(fields) > 2 and fields[2] in clients:
            name = devices.get(fields[1], "?")
            found.append((name, fields[-1]) if formats else name)
    return found


def wait_until(predicate, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return False


def scenario(pulse):
    module = pulse.add_sink("headset", "Headset")
    if not check(module is not None, "the headset sink did not load"):
        return
    listing = subprocess.run([BINARY, "--list-audio-devices"], env=pulse.env(), capture_output=True, text=True,
                             timeout=30)
    check(listing.returncode == 0, f"--list-audio-devices ended with {listing.returncode}")
    for name in ("Headset", "Monitor of Headset", "Null Output", "Monitor of Null Output"):
        check(f"  {name}\n" in listing.stdout or f"* {name}\n" in listing.stdout,
              f"--list-audio-devices does not list {name!r}: {listing.stdout!r}")

    port = free_port()
    address = f"127.0.0.1:{port}"
    quiet = dict(os.environ, ALSOFT_DRIVERS="wave", ALSOFT_CONF=os.devnull)
    server = HeadlessProcess(BINARY, "server", ["server", address], failures, env=quiet, log_dir=WORK)
    time.sleep(0.2)
    client = HeadlessProcess(BINARY, "client", ["-client", address, "alice", "--voice-activation",
                                                "--input-device", "monitor of headset", "--output-device",
                                                "Headset"], failures, env=pulse.env(), log_dir=WORK)
    try:
        client.wait_for("sound", lambda: any(e.get("sound") is True for e in client.events()), 20)
        pid = client.p.pid
        check(wait_until(lambda: streams_of(pulse, "source-outputs", pid) == ["headset.monitor"], 10),
              f"the microphone is not the headset's monitor: {streams_of(pulse, 'source-outputs', pid)}")
        check(wait_until(lambda: streams_of(pulse, "sink-inputs", pid) == ["headset"], 10),
              f"the output is not the headset: {streams_of(pulse, 'sink-inputs', pid)}")

        # Voice activation opens the microphone before the server answers,
        # and again at Opus's 16000 Hz once the server is known to speak it:
        # the headset goes after that, or the second opening would find it
        # gone rather than the capture.
        check(wait_until(lambda: ("headset.monitor", "s16le 1ch 16000Hz") in
                         streams_of(pulse, "source-outputs", pid, formats=True), 10),
              f"no capture at 16000 Hz: {streams_of(pulse, 'source-outputs', pid, formats=True)}")
        unplugged = time.time()
        check(pulse.remove_module(module), "the headset sink did not unload")
        said = {}

        def both_said():
            text = client.stderr_text()
            for what, line in (("output", 'The sound output "Headset" went away'),
                               ("input", 'The microphone "Monitor of Headset" went away')):
                if what not in said and line in text:
                    said[what] = time.time() - unplugged
            return len(said) == 2

        check(wait_until(both_said, 10), f"no line about the devices going away: {client.stderr_text()!r}")
        for what, seconds in sorted(said.items()):
            print(f"{what} back on the default {seconds * 1000:.0f} ms after the headset went away")
        check(wait_until(lambda: streams_of(pulse, "source-outputs", pid) == [pulseserver.MIC_SINK + ".monitor"],
                         10), f"the microphone did not move to the default: {streams_of(pulse, 'source-outputs', pid)}")
        check(wait_until(lambda: streams_of(pulse, "sink-inputs", pid) == [pulseserver.MIC_SINK], 10),
              f"the output did not move to the default: {streams_of(pulse, 'sink-inputs', pid)}")
        check(client.p.poll() is None, "the client ended when its devices went away")
    finally:
        check(client.stop() == 0, "the client did not end cleanly")
        server.stop()


sys.exit(pulseserver.run_scenario(scenario, WORK, failures))
