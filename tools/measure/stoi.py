#!/usr/bin/python3
"""Short-time objective intelligibility (STOI, Taal et al., 2011): how much
of a clean speech signal's short-time band envelopes survive in a degraded
one, from 0 (nothing) to 1 (all). Needs numpy (python3-numpy), so it runs
with /usr/bin/python3.

usage: tools/measure/stoi.py score CLEAN.wav DEGRADED.wav [--align]
       tools/measure/stoi.py codecs [--bin DIR] [--text "..."] [--json]

score: the measure of DEGRADED against CLEAN (16-bit WAV files, any rates).
  --align lines the degraded signal up with the clean one first, chunk by
  chunk between the clean signal's pauses, for a program's output whose
  playout shortened or lengthened pauses.

codecs: a sentence spoken by espeak-ng through each voice codec alone:
  LPC-10 at 2.4 kbit/s (seafold-lpc10 in --bin) and Opus at 8, 16 and 24
  kbit/s (libopus as our encoder sets it up: wideband, VoIP, voice signal,
  in-band FEC, constrained VBR), with identical and pure-noise checks."""

import argparse
import ctypes
import json
import os
import shutil
import subprocess
import sys
import tempfile
import wave

import numpy as np

FS = 10000  # the measure's own rate
FRAME = 256  # 25.6 ms frames, half overlapping
FFT_SIZE = 512
BANDS = 15  # one-third octave bands from 150 Hz
LOWEST_CENTRE_HZ = 150.0
SEGMENT_FRAMES = 30  # 384 ms of envelope per correlation
BETA_DB = -15.0  # lower bound of the signal-to-distortion ratio per envelope
DYNAMIC_RANGE_DB = 40.0  # frames more than this below the loudest are silence
EPS = np.finfo(np.float64).eps


# ---- signals -----------------------------------------------------------------

def read_wav(path):
    """(rate, float samples) of a 16-bit WAV file; channels averaged. A file
    whose writer did not finish (sizes unset) is read to its end."""
    raw = open(path, "rb").read()
    at, rate, channels = 12, 0, 1
    while at + 8 <= len(raw):
        cid, size = raw[at:at + 4], int.from_bytes(raw[at + 4:at + 8], "little")
        body = raw[at + 8:]
        if cid == b"fmt ":
            channels = int.from_bytes(body[2:4], "little")
            rate = int.from_bytes(body[4:8], "little")
        elif cid == b"data":
            if size == 0 or size > len(body):
                size = len(body)
            x = np.frombuffer(body[:size - size % (2 * channels)], dtype="<i2").astype(np.float64)
            return rate, x.reshape(-1, channels).mean(axis=1)
        at += 8 + size + (size & 1)
    raise ValueError(f"{path}: no 16-bit samples")


def write_wav(path, samples, rate):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.clip(np.round(samples), -32768, 32767).astype("<i2").tobytes())


def resample(x, rate_in, rate_out):
    """Band-limited resampling of a whole signal through its spectrum."""
    if rate_in == rate_out or len(x) == 0:
        return np.asarray(x, dtype=np.float64)
    n_out = int(round(len(x) * rate_out / rate_in))
    spectrum = np.fft.rfft(x)
    kept = np.zeros(n_out // 2 + 1, dtype=complex)
    k = min(len(kept), len(spectrum))
    kept[:k] = spectrum[:k]
    return np.fft.irfft(kept, n_out) * (n_out / len(x))


def window():
    return np.hanning(FRAME + 2)[1:-1]


def frames(x):
    """Windowed frames of x, half overlapping, as rows."""
    hop = FRAME // 2
    count = max(0, (len(x) - FRAME) // hop + 1)
    if count == 0:
        return np.zeros((0, FRAME))
    index = np.arange(FRAME)[None, :] + hop * np.arange(count)[:, None]
    return x[index] * window()[None, :]


def remove_silence(clean, degraded):
    """Both signals without the frames where the clean one is more than
    DYNAMIC_RANGE_DB below its loudest frame, put back together by overlap-add."""
    n = min(len(clean), len(degraded))
    fc, fd = frames(clean[:n]), frames(degraded[:n])
    if len(fc) == 0:
        return clean[:0], degraded[:0]
    level = 20 * np.log10(np.linalg.norm(fc, axis=1) + EPS)
    keep = level > level.max() - DYNAMIC_RANGE_DB
    fc, fd = fc[keep], fd[keep]
    hop = FRAME // 2
    length = (len(fc) - 1) * hop + FRAME
    out_c, out_d = np.zeros(length), np.zeros(length)
    for i in range(len(fc)):
        out_c[i * hop:i * hop + FRAME] += fc[i]
        out_d[i * hop:i * hop + FRAME] += fd[i]
    return out_c, out_d


def band_matrix():
    """Which FFT bins belong to each one-third octave band."""
    freqs = np.arange(FFT_SIZE // 2 + 1) * FS / FFT_SIZE
    k = np.arange(BANDS)
    lower = LOWEST_CENTRE_HZ * 2.0 ** ((2 * k - 1) / 6)
    upper = LOWEST_CENTRE_HZ * 2.0 ** ((2 * k + 1) / 6)
    m = np.zeros((BANDS, len(freqs)))
    for b in range(BANDS):
        lo = int(np.argmin(np.abs(freqs - lower[b])))
        hi = int(np.argmin(np.abs(freqs - upper[b])))
        m[b, lo:hi] = 1
    return m


def envelopes(x):
    """Band envelopes (bands x frames): the root of each band's energy."""
    spectrum = np.abs(np.fft.rfft(frames(x), FFT_SIZE, axis=1)) ** 2
    return np.sqrt(band_matrix() @ spectrum.T)


def stoi(clean, degraded, rate):
    """The measure for two signals at `rate`, lined up sample for sample."""
    clean = resample(np.asarray(clean, dtype=np.float64), rate, FS)
    degraded = resample(np.asarray(degraded, dtype=np.float64), rate, FS)
    clean, degraded = remove_silence(clean, degraded)
    x, y = envelopes(clean), envelopes(degraded)
    if x.shape[1] < SEGMENT_FRAMES:
        raise ValueError("too little speech to measure (under 384 ms)")
    # Every run of SEGMENT_FRAMES frames: (segments, bands, frames).
    xs = np.lib.stride_tricks.sliding_window_view(x, SEGMENT_FRAMES, axis=1).transpose(1, 0, 2)
    ys = np.lib.stride_tricks.sliding_window_view(y, SEGMENT_FRAMES, axis=1).transpose(1, 0, 2)
    # The degraded envelope scaled to the clean one's energy, then clipped so
    # that no frame counts for more than BETA_DB of distortion.
    scale = np.linalg.norm(xs, axis=2, keepdims=True) / (np.linalg.norm(ys, axis=2, keepdims=True) + EPS)
    ys = np.minimum(ys * scale, xs * (1 + 10 ** (-BETA_DB / 20)))
    xs = xs - xs.mean(axis=2, keepdims=True)
    ys = ys - ys.mean(axis=2, keepdims=True)
    xs /= np.linalg.norm(xs, axis=2, keepdims=True) + EPS
    ys /= np.linalg.norm(ys, axis=2, keepdims=True) + EPS
    return float(np.mean(np.sum(xs * ys, axis=2)))


# ---- alignment ---------------------------------------------------------------

ENVELOPE_RATE = 1000  # alignment works on 1 ms steps of the amplitude envelope


def amplitude(x, rate):
    """Smoothed magnitude in 1 ms steps, on a log scale, so that a vocoder
    that keeps no waveform lines up as well as one that does."""
    step = max(1, rate // ENVELOPE_RATE)
    n = len(x) // step
    e = np.abs(x[:n * step]).reshape(n, step).mean(axis=1)
    e = np.convolve(e, np.ones(5) / 5, mode="same")
    return np.log10(e + 10.0)


def best_lag(ref, deg, lo, hi):
    """The lag in [lo, hi] (envelope steps) that correlates ref with deg
    shifted by it best: deg[i + lag] ~ ref[i]."""
    best, best_score = lo, -np.inf
    r = ref - ref.mean()
    rn = np.linalg.norm(r) + EPS
    for lag in range(lo, hi + 1):
        if lag < 0 or lag + len(ref) > len(deg):
            continue
        d = deg[lag:lag + len(ref)]
        d = d - d.mean()
        score = float(r @ d) / (rn * (np.linalg.norm(d) + EPS))
        if score > best_score:
            best, best_score = lag, score
    return best


def chunks(clean, rate, pause_ms=150):
    """(start, end) samples of the clean signal's stretches of speech, split
    at pauses of at least pause_ms."""
    step = rate // 100
    n = len(clean) // step
    level = 20 * np.log10(np.sqrt((clean[:n * step].reshape(n, step) ** 2).mean(axis=1)) + EPS)
    loud = level > level.max() - DYNAMIC_RANGE_DB
    out, start, quiet = [], None, 0
    for i, is_loud in enumerate(loud):
        if is_loud:
            if start is None:
                start = i
            quiet = 0
        elif start is not None:
            quiet += 1
            if quiet * 10 >= pause_ms:
                out.append((start * step, (i - quiet + 1) * step))
                start, quiet = None, 0
    if start is not None:
        out.append((start * step, n * step))
    return out


def align(clean, degraded, rate, search_ms=2000, chunk_search_ms=400):
    """The degraded signal cut and shifted onto the clean one's time line:
    one lag for the whole first (within search_ms after the clean signal),
    then each chunk of speech placed within chunk_search_ms of the lag before
    it. Returns (aligned degraded signal, lag per chunk in ms)."""
    degraded = np.concatenate([degraded, np.zeros(len(clean))])
    ref, deg = amplitude(clean, rate), amplitude(degraded, rate)
    step = max(1, rate // ENVELOPE_RATE)
    parts = chunks(clean, rate)
    if not parts:
        return degraded[:len(clean)], []
    # The whole signal's lag, from its first few seconds of speech.
    head_end = min(len(ref), parts[0][0] // step + 5 * ENVELOPE_RATE)
    head = ref[parts[0][0] // step:head_end]
    lag = best_lag(head, deg, parts[0][0] // step, parts[0][0] // step + search_ms) - parts[0][0] // step
    out = np.zeros(len(clean))
    lags = []
    margin = 20  # envelope steps on each side of a chunk
    for start, end in parts:
        a, b = max(0, start // step - margin), min(len(ref), end // step + margin)
        found = best_lag(ref[a:b], deg, a + lag - chunk_search_ms, a + lag + chunk_search_ms) - a
        lag = found
        lags.append(lag)
        lo, hi = max(0, start - margin * step), min(len(clean), end + margin * step)
        shifted = lo + lag * step
        piece = degraded[max(0, shifted):max(0, shifted) + (hi - lo)]
        out[lo:lo + len(piece)] = piece
    return out, [round(x * 1000 / ENVELOPE_RATE) for x in lags]


def score_files(clean_path, degraded_path, aligned=False):
    rate, clean = read_wav(clean_path)
    rate_d, degraded = read_wav(degraded_path)
    degraded = resample(degraded, rate_d, rate)
    lags = None
    if aligned:
        degraded, lags = align(clean, degraded, rate)
    return stoi(clean, degraded, rate), lags


# ---- the codecs alone --------------------------------------------------------

def speech_clip(path, text, rate):
    """A sentence spoken by espeak-ng, at `rate`."""
    raw = path + ".espeak.wav"
    subprocess.run(["espeak-ng", "-v", "en", "-s", "150", "-w", raw, text], check=True)
    r, x = read_wav(raw)
    os.unlink(raw)
    x = resample(x, r, rate)
    x *= 12000 / (np.abs(x).max() + EPS)  # about -8 dBFS peaks
    write_wav(path, x, rate)
    return x


class Opus:
    """libopus from the system, set up as our voice encoder sets it up."""
    VOIP, SIGNAL_VOICE, WIDEBAND = 2048, 3001, 1103
    SET_BITRATE, SET_MAX_BANDWIDTH, SET_INBAND_FEC = 4002, 4004, 4012
    SET_PACKET_LOSS_PERC, SET_VBR_CONSTRAINT, SET_SIGNAL = 4014, 4020, 4024
    RATE, FRAME_SAMPLES = 16000, 320

    def __init__(self):
        self.lib = ctypes.CDLL("libopus.so.0")
        self.lib.opus_encoder_create.restype = ctypes.c_void_p
        self.lib.opus_decoder_create.restype = ctypes.c_void_p
        for f in ("opus_encoder_destroy", "opus_decoder_destroy"):
            getattr(self.lib, f).argtypes = [ctypes.c_void_p]

    def code(self, x, bitrate):
        """x (at 16 kHz) through encoder and decoder, 20 ms frames."""
        err = ctypes.c_int()
        enc = ctypes.c_void_p(self.lib.opus_encoder_create(self.RATE, 1, self.VOIP, ctypes.byref(err)))
        dec = ctypes.c_void_p(self.lib.opus_decoder_create(self.RATE, 1, ctypes.byref(err)))
        for request, value in ((self.SET_INBAND_FEC, 1), (self.SET_PACKET_LOSS_PERC, 10),
                               (self.SET_SIGNAL, self.SIGNAL_VOICE), (self.SET_MAX_BANDWIDTH, self.WIDEBAND),
                               (self.SET_VBR_CONSTRAINT, 1), (self.SET_BITRATE, bitrate)):
            self.lib.opus_encoder_ctl(enc, ctypes.c_int(request), ctypes.c_int(value))
        pcm = np.clip(np.round(x), -32768, 32767).astype(np.int16)
        pcm = np.concatenate([pcm, np.zeros(-len(pcm) % self.FRAME_SAMPLES, dtype=np.int16)])
        packet = (ctypes.c_ubyte * 400)()
        decoded = (ctypes.c_int16 * self.FRAME_SAMPLES)()
        out, total_bytes = [], 0
        for i in range(0, len(pcm), self.FRAME_SAMPLES):
            frame = np.ascontiguousarray(pcm[i:i + self.FRAME_SAMPLES])
            n = self.lib.opus_encode(enc, frame.ctypes.data_as(ctypes.POINTER(ctypes.c_int16)),
                                     self.FRAME_SAMPLES, packet, 400)
            total_bytes += max(n, 0)
            got = self.lib.opus_decode(dec, packet, n, decoded, self.FRAME_SAMPLES, 0)
            out.append(np.ctypeslib.as_array(decoded)[:max(got, 0)].astype(np.float64).copy())
        self.lib.opus_encoder_destroy(enc)
        self.lib.opus_decoder_destroy(dec)
        return np.concatenate(out), total_bytes * 8 / (len(pcm) / self.RATE)


def lpc10(x, tool, work):
    """x (at 8 kHz) through our LPC-10 encoder and decoder."""
    src, bits, dst = (os.path.join(work, n) for n in ("lpc-in.wav", "lpc.bits", "lpc-out.wav"))
    write_wav(src, x, 8000)
    subprocess.run([tool, "encode", src, bits], check=True)
    subprocess.run([tool, "decode", bits, dst], check=True)
    return read_wav(dst)[1], os.path.getsize(bits) * 8 / (len(x) / 8000)


DEFAULT_TEXT = ("The boat drifted slowly past the harbour wall. Seven gulls landed on the mast, "
                "and the keeper waved from the lighthouse before the rain came in from the west.")


def codecs(o):
    work = tempfile.mkdtemp(prefix="seafold-stoi-")
    rows = []
    try:
        clean16 = speech_clip(os.path.join(work, "clean16.wav"), o.text, 16000)
        rng = np.random.default_rng(1)
        rows.append(("identical", None, stoi(clean16, clean16, 16000)))
        noise = rng.normal(0, np.std(clean16), len(clean16))
        rows.append(("white noise instead of speech", None, stoi(clean16, noise, 16000)))
        rows.append(("speech in noise at -5 dB SNR", None,
                     stoi(clean16, clean16 + noise * 10 ** (5 / 20), 16000)))
        tool = os.path.join(o.bin, "seafold-lpc10")
        if os.path.exists(tool):
            clean8 = resample(clean16, 16000, 8000)
            out, rate = lpc10(clean8, tool, work)
            aligned, _ = align(clean8, out, 8000)
            rows.append(("LPC-10", rate, stoi(clean8, aligned, 8000)))
        else:
            rows.append(("LPC-10 (no seafold-lpc10 in --bin)", None, None))
        opus = Opus()
        for bitrate in (8000, 16000, 24000):
            out, rate = opus.code(clean16, bitrate)
            aligned, _ = align(clean16, out, 16000)
            rows.append((f"Opus {bitrate // 1000} kbit/s", rate, stoi(clean16, aligned, 16000)))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for name, rate, score in rows:
        if o.json:
            print(json.dumps({"signal": name, "bits_per_s": None if rate is None else round(rate),
                              "stoi": None if score is None else round(score, 3)}))
        else:
            print(f"{name:34s} {'' if rate is None else f'{rate / 1000:5.2f} kbit/s':>12s}  "
                  f"STOI {'-' if score is None else f'{score:.3f}'}")


def main():
    ap = argparse.ArgumentParser(description="Short-time objective intelligibility.")
    sub = ap.add_subparsers(dest="what", required=True)
    s = sub.add_parser("score")
    s.add_argument("clean")
    s.add_argument("degraded")
    s.add_argument("--align", action="store_true")
    s.add_argument("--json", action="store_true")
    c = sub.add_parser("codecs")
    c.add_argument("--bin", default="build/bin")
    c.add_argument("--text", default=DEFAULT_TEXT)
    c.add_argument("--json", action="store_true")
    o = ap.parse_args()
    if o.what == "codecs":
        codecs(o)
        return
    score, lags = score_files(o.clean, o.degraded, o.align)
    if o.json:
        print(json.dumps({"stoi": round(score, 4), "lags_ms": lags}))
    else:
        print(f"STOI {score:.3f}" + (f"  (chunk lags ms: {lags})" if lags is not None else ""))


if __name__ == "__main__":
    sys.exit(main())
