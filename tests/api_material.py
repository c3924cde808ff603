"""Generated music-like material and the measures the API tests apply to it.

Everything is built from sinusoids at fixed frequencies, so the same piece
comes out at every sample rate (white noise would put a rate-dependent share
of its energy in the audible band)."""

import os
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
try:
    import divavova  # noqa: F401  (installed with the module)
except ImportError:  # a developer build: the package sits in the tree
    sys.path.insert(0, os.path.join(ROOT, "python"))


def music(seconds, rate, channels=2, seed=1, peak_db=-1.0):
    """Decaying four-note chords of harmonic tones, a kick and a snare every
    half second; float64 (frames, channels) (or (frames,)), peaks at peak_db."""
    rng = np.random.default_rng(seed)
    n = int(seconds * rate)
    out = np.zeros((n, channels))
    beat = int(0.5 * rate)
    for start in range(0, n, beat):
        t = np.arange(min(beat, n - start)) / rate
        envelope = np.minimum(1, t / 0.01) * np.exp(-3 * t)
        root = 110 * 2 ** (rng.integers(0, 12) / 12)
        for k, ratio in enumerate((1, 1.26, 1.5, 2)):
            for h in range(1, 6):
                frequency, phase = root * ratio * h, rng.uniform(0, 2 * np.pi)
                if frequency < 0.45 * rate:
                    tone = np.sin(2 * np.pi * frequency * t + phase) * envelope / h
                    for c in range(channels):
                        out[start:start + len(t), c] += tone * (0.6 if c == k % 2 else 0.4)
        kick = 2 * np.sin(2 * np.pi * (50 + 100 * np.exp(-30 * t)) * t) * np.exp(-12 * t)
        partials, phases = rng.uniform(150, 3600, 60), rng.uniform(0, 2 * np.pi, 60)
        snare = np.sin(2 * np.pi * partials[:, None] * t + phases[:, None]).sum(axis=0)
        out[start:start + len(t)] += (kick + snare * 0.8 / np.sqrt(30) * np.exp(-40 * t))[:, None]
    out *= 10 ** (peak_db / 20) / np.abs(out).max()
    return out[:, 0] if channels == 1 else out


def chord(seconds, rate, channels=2, notes=(57, 61, 64, 69), peak_db=-1.0):
    """A sustained chord of harmonic tones (A major around A3 by default)."""
    t = np.arange(int(seconds * rate)) / rate
    out = np.zeros((len(t), channels))
    for i, note in enumerate(notes):
        frequency = 440 * 2 ** ((note - 69) / 12)
        for h in range(1, 5):
            if frequency * h < 0.45 * rate:
                out[:, i % channels] += np.sin(2 * np.pi * frequency * h * t + i) / h
    out *= np.minimum(1, t / 0.02)[:, None]
    out *= 10 ** (peak_db / 20) / np.abs(out).max()
    return out[:, 0] if channels == 1 else out


def clipped(audio):
    """Samples at 16-bit full scale (floats as the 16 bits they stand for)."""
    samples = np.asarray(audio)
    if samples.dtype != np.int16:
        samples = np.clip(np.rint(samples * 32768), -32768, 32767)
    return int(np.count_nonzero((samples >= 32767) | (samples <= -32768)))


def peak_db(audio):
    samples = np.asarray(audio, dtype=np.float64)
    if np.issubdtype(np.asarray(audio).dtype, np.integer):
        samples = samples / 32768
    return 20 * np.log10(np.abs(samples).max())


def rms_db(audio):
    return 10 * np.log10(np.mean(np.asarray(audio, dtype=np.float64) ** 2))


def edge_ratio(audio, block, settle=4096):
    """The mean |second difference| at frames that start or end a block of
    ``block`` frames, over its mean at every other frame (after ``settle``)."""
    y = np.asarray(audio, dtype=np.float64)
    y = y[:, 0] if y.ndim == 2 else y
    second = np.abs(y[2:] - 2 * y[1:-1] + y[:-2])
    n = np.arange(1, len(y) - 1)
    edge = (n % block == 0) | (n % block == block - 1)
    later = n > settle
    return second[edge & later].mean() / second[~edge & later].mean()


def stream(effect, audio, rate, sizes, **options):
    """The output of ``effect.process`` over blocks of the given sizes (the
    last size repeats), from fresh state."""
    effect.prepare(rate, 1 if np.ndim(audio) == 1 else np.shape(audio)[1])
    out, position, index = [], 0, 0
    while position < len(audio):
        size = sizes[min(index, len(sizes) - 1)]
        out.append(effect.process(audio[position:position + size], rate, **options))
        position, index = position + size, index + 1
    return np.concatenate(out) if out else effect.process(audio[:0], rate)
