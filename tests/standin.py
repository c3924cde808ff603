"""Helpers of the file tests: a stand-in effect with a known latency and tail,
and audio made, written and read with soundfile."""

import numpy as np
import soundfile as sf


class LateEcho:
    """The effect protocol at its plainest: the input ``latency`` frames late,
    plus half of it ``echo`` frames later still (the tail)."""

    OPTIONS = {"latency": None, "echo": None, "fail_at_rate": None}

    def __init__(self, latency=0, echo=0, fail_at_rate=0):
        self.latency, self.echo, self.fail_at_rate = latency, echo, fail_at_rate

    def prepare(self, sample_rate, channels):
        if sample_rate == self.fail_at_rate:
            raise ValueError(f"late echo cannot run at {sample_rate} Hz")
        self.history = np.zeros((self.latency + self.echo, channels), dtype=np.int32)

    def output_channels(self, channels):
        return channels

    @property
    def latency_frames(self):
        return self.latency

    @property
    def tail_frames(self):
        return self.echo

    def process(self, audio, sample_rate, *, reset=False):
        if reset or not hasattr(self, "history") or self.history.shape[1] != audio.shape[1]:
            self.prepare(sample_rate, audio.shape[1])
        line = np.concatenate([self.history, audio.astype(np.int32)])
        n = len(audio)            # line[k] is the input frame k - latency - echo of this block
        late = line[self.echo:self.echo + n]
        echoed = line[:n] // 2 if self.echo else 0
        self.history = line[n:]
        return np.clip(late + echoed, -32768, 32767).astype(np.int16)


def music(frames, channels=2, rate=44100, seed=3):
    """Chords with onsets and a little noise, int16 (frames, channels)."""
    t = np.arange(frames) / rate
    chord = sum(0.15 * np.sin(2 * np.pi * f * t) for f in (220.0, 277.2, 329.6)) * (0.4 + 0.6 * (np.sin(4 * np.pi * t) > 0))
    x = chord[:, None] + np.random.default_rng(seed).uniform(-0.03, 0.03, (frames, channels))
    return np.clip(np.rint(x * 32768), -32768, 32767).astype(np.int16)


def write(path, x, rate=44100, **options):
    sf.write(str(path), x, rate, **options)
    return str(path)


def read(path, dtype="int16"):
    return sf.read(str(path), dtype=dtype, always_2d=True)[0]
