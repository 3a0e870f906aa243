#!/usr/bin/env python3
"""The OpenAL microphone back end against a private PulseAudio server: a
null sink whose monitor is the default source, a tone played into it, and
test_microphone recording it. PulseAudio is a test
dependency (install-deps.sh --test): without it the test fails, it is not
skipped. Every wait is bounded."""

import math
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import pulseserver  # noqa: E402
from wavfile import write_wav  # noqa: E402

TEST_MICROPHONE = sys.argv[1]
TONE_HZ = 440

if not pulseserver.available():
    print("FAIL: pulseaudio, pactl and paplay are needed (scripts/install-deps.sh --test)")
    sys.exit(1)

with pulseserver.PulseServer() as pulse:
    if not pulse.start():
        print("FAIL: the private PulseAudio server did not start")
        sys.exit(1)
    # Twelve seconds of tone at 8000 Hz, loud enough to pass the test's gate.
    tone = os.path.join(pulse.folder, "tone.wav")
    write_wav(tone, [int(12000 * math.sin(2 * math.pi * TONE_HZ * i / 8000)) for i in range(12 * 8000)])
    pulse.play(tone)
    r = subprocess.run([TEST_MICROPHONE],
                       env=dict(pulse.env(), SEAFOLD_TEST_MICROPHONE_TONE_HZ=str(TONE_HZ)), timeout=60)
    sys.exit(r.returncode)
