#!/usr/bin/env python3
"""The OpenAL microphone back end against a private PulseAudio server: a
null sink whose monitor is the default source, a tone played into it, and
the capture test of test_voice recording it. Exits 77 (skipped) where
PulseAudio is not installed. Every wait is bounded."""

import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

TEST_VOICE = sys.argv[1]
TONE_HZ = 440

if not shutil.which("pulseaudio") or not shutil.which("paplay"):
    print("pulseaudio and paplay are needed: skipped")
    sys.exit(77)

work = tempfile.mkdtemp(prefix="seafold-pulse-")
socket_path = os.path.join(work, "native")
with open(os.path.join(work, "pa.pa"), "w") as f:
    f.write(f"load-module module-native-protocol-unix socket={socket_path} auth-anonymous=1\n"
            "load-module module-null-sink sink_name=nullout\n"
            "set-default-sink nullout\n"
            "set-default-source nullout.monitor\n")

# Twelve seconds of tone at 8000 Hz, loud enough to pass the test's gate.
tone = os.path.join(work, "tone.wav")
samples = [int(12000 * math.sin(2 * math.pi * TONE_HZ * i / 8000)) for i in range(12 * 8000)]
data = struct.pack("<%dh" % len(samples), *samples)
with open(tone, "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE")
    f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, 8000, 16000, 2, 16))
    f.write(b"data" + struct.pack("<I", len(data)) + data)

env = dict(os.environ, HOME=work, XDG_RUNTIME_DIR=work, PULSE_SERVER="unix:" + socket_path)
env.pop("ALSOFT_DRIVERS", None)
env.pop("ALSOFT_CONF", None)
server = subprocess.Popen(["pulseaudio", "-n", "-F", os.path.join(work, "pa.pa"), "--daemonize=no",
                           "--exit-idle-time=-1", "--use-pid-file=no"],
                          env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
player = None
code = 1
try:
    end = time.time() + 10
    while not os.path.exists(socket_path) and time.time() < end:
        time.sleep(0.1)
    if not os.path.exists(socket_path):
        print("the private PulseAudio server did not start")
        sys.exit(1)
    player = subprocess.Popen(["paplay", tone], env=env)
    r = subprocess.run([TEST_VOICE, "--gtest_filter=OpenALCapture.*"],
                       env=dict(env, SEAFOLD_TEST_MICROPHONE_TONE_HZ=str(TONE_HZ)), timeout=60)
    code = r.returncode
finally:
    for p in (player, server):
        if p and p.poll() is None:
            p.terminate()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
    shutil.rmtree(work, ignore_errors=True)
sys.exit(code)
