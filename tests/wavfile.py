"""16-bit PCM wave files for the sound tests and measurements: writing a
mono file, and reading what OpenAL Soft's wave writer leaves, whose header
sizes may be unset when the writer did not finish (the data then runs to
the end of the file)."""

import math
import struct


def write_wav(path, samples, rate=8000):
    """A 16-bit mono file of `samples` at `rate`."""
    data = struct.pack("<%dh" % len(samples), *samples)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, rate, rate * 2, 2, 16))
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def read_wav(path):
    """(rate, samples) of a 16-bit file, channels interleaved; (0, []) when
    the file cannot be read."""
    try:
        raw = open(path, "rb").read()
    except OSError:
        return 0, []
    at, rate = 12, 0
    while at + 8 <= len(raw):
        cid, size = raw[at:at + 4], struct.unpack("<I", raw[at + 4:at + 8])[0]
        body = raw[at + 8:]
        if cid == b"fmt ":
            rate = struct.unpack("<I", body[4:8])[0]
        elif cid == b"data":
            if size == 0 or size > len(body):
                size = len(body)
            n = size // 2
            return rate, list(struct.unpack("<%dh" % n, body[:n * 2]))
        at += 8 + size + (size & 1)
    return rate, []


def read_stereo(path):
    """(rate, left, right) of a 16-bit stereo file."""
    rate, samples = read_wav(path)
    samples = samples[:len(samples) - len(samples) % 2]
    return rate, samples[0::2], samples[1::2]


def vowel(seconds, rate=8000, glide=0.0):
    """Continuous voiced sound that survives the vocoder: a pulse train at
    130 Hz (gliding by +-`glide` Hz, 0.3 times a second) through two
    resonances, 700 and 1200 Hz; never silent."""
    out, phase = [], 0.0
    y1 = y2 = z1 = z2 = 0.0
    c1, c2 = math.cos(2 * math.pi * 700 / rate), math.cos(2 * math.pi * 1200 / rate)
    for i in range(int(seconds * rate)):
        phase += (130 + glide * math.sin(2 * math.pi * 0.3 * i / rate)) / rate
        pulse = 1.0 if phase >= 1.0 else 0.0
        phase -= math.floor(phase)
        y = pulse + 1.80 * y1 * c1 - 0.90 * y2
        z = y + 1.70 * z1 * c2 - 0.85 * z2
        y2, y1, z2, z1 = y1, y, z1, z
        out.append(int(max(-32767, min(32767, 900 * z))))
    return out


def buzz(seconds, rate=8000):
    """A voiced buzz at 140 Hz, its level swaying three times a second:
    speech enough for the voice meters and activity marks."""
    out = []
    for i in range(int(seconds * rate)):
        t = i / rate
        voice = sum(math.sin(2 * math.pi * 140 * k * t) / k for k in range(1, 12))
        out.append(max(-32767, min(32767, int(6000 * voice * (0.6 + 0.4 * math.sin(2 * math.pi * 3 * t))))))
    return out


if __name__ == "__main__":
    # For shell scripts: `wavfile.py buzz OUT [SECONDS]` writes the buzz
    # (8000 Hz mono 16-bit).
    import sys
    if len(sys.argv) < 3 or sys.argv[1] != "buzz":
        sys.exit("usage: wavfile.py buzz OUT [SECONDS]")
    write_wav(sys.argv[2], buzz(float(sys.argv[3]) if len(sys.argv) > 3 else 3.0))
