"""A stand-in effect that follows the effect protocol with a known latency and
tail: the input, ``latency`` frames late, plus half of it ``echo`` frames later."""

import numpy as np


class LateEcho:
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
