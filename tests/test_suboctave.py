"""SubOctaveState: flip-flop patterns, hold-off and a per-frame model."""

import numpy as np
import pytest
from hypothesis import given, strategies as st

import _divavova as m
import ids
from helpers import assert_released, misaligned, s16, samples

F = np.float32


class Model:
    def __init__(self, rate=48000, channels=2):
        self.rate, self.channels = rate, channels
        self.octaves, self.depth, self.threshold = 1, 32768, 328
        self.time = F(1)
        self.frames = self.holdoff(self.time)
        self.comp, self.ff1, self.ff2, self.counter = False, True, True, 0

    def holdoff(self, t):
        d = F(self.rate) * t / F(1000)
        return 0 if d <= 0 else int(min(F(self.rate) / F(10), d) + F(0.5))

    def configure(self, option, value):
        v = F(value)
        level = lambda top: 0 if v <= 0 else (top if v >= 1 else int(v * F(32768) + F(0.5)))
        if option == ids.SubOctave.OCTAVES:
            self.octaves = 2 if v >= 2 else 1
        elif option == ids.SubOctave.DEPTH:
            self.depth = level(32768)
        elif option == ids.SubOctave.THRESHOLD:
            self.threshold = level(32767)
        else:
            self.time = max(F(0), v)
            self.frames = self.holdoff(self.time)

    def process(self, values):
        out = []
        c = self.channels
        for f in range(len(values) // c):
            frame = values[f * c:(f + 1) * c]
            s = frame[0] if c == 1 else (frame[0] + frame[1]) >> 1
            if self.counter:
                self.counter -= 1
            if not self.comp:
                if s > self.threshold:
                    self.comp = True
                    if self.counter == 0:
                        self.counter = self.frames
                        if not self.ff1:
                            self.ff2 = not self.ff2
                        self.ff1 = not self.ff1
            elif s < -self.threshold:
                self.comp = False
            if (self.ff2 if self.octaves == 2 else self.ff1):
                out += frame
            else:
                out += [max(-32768, min(32767, ((32768 - 2 * self.depth) * x) >> 15)) for x in frame]
        return out


def square(frames, amplitude=10000, period=480):
    return [amplitude if f % period < period // 2 else -amplitude for f in range(frames)]


def test_square_wave_patterns():
    x = square(2400)
    out = samples(m.SubOctaveState(channel_count=1).process(s16(x)))
    inverted = [(f // 480) % 2 == 0 for f in range(2400)]
    assert out == [-v if inv else v for v, inv in zip(x, inverted)]
    engine = m.SubOctaveState(channel_count=1)
    engine.configure(ids.SubOctave.OCTAVES, 2.0)
    out = samples(engine.process(s16(x)))
    inverted = [f >= 480 and ((f - 480) // 960) % 2 == 0 for f in range(2400)]
    assert out == [-v if inv else v for v, inv in zip(x, inverted)]


def test_depth_and_extremes():
    x = [-32768, -5, 0, 7, 32767]
    engine = m.SubOctaveState(channel_count=1)
    engine.configure(ids.SubOctave.THRESHOLD, 0.9)  # nothing below reaches the threshold after the first clock
    out = samples(engine.process(s16([32767] + x)))
    assert out == [-32767, 32767, 5, 0, -7, -32767]
    engine = m.SubOctaveState(channel_count=1)
    engine.configure(ids.SubOctave.DEPTH, 0.5)
    assert samples(engine.process(s16([20000, 300, -300]))) == [0, 0, 0]
    engine = m.SubOctaveState(channel_count=1)
    engine.configure(ids.SubOctave.DEPTH, 0.0)
    assert samples(engine.process(s16(square(1000)))) == square(1000)
    quiet = [v % 328 - 160 for v in range(500)]
    assert samples(m.SubOctaveState(channel_count=1).process(s16(quiet))) == quiet


def test_holdoff_blocks_fast_crossings():
    # Crossings every 20 frames with a 48-frame hold-off: only every third clocks.
    x = square(240, period=20)
    engine, model = m.SubOctaveState(channel_count=1), Model(channels=1)
    assert samples(engine.process(s16(x))) == model.process(x)
    engine.configure(ids.SubOctave.HOLDOFF_MS, 0.0)
    model.configure(ids.SubOctave.HOLDOFF_MS, 0.0)
    assert samples(engine.process(s16(x))) == model.process(x)


@pytest.mark.parametrize("rate,time,frames", [(48000, 1e6, 4800), (48005, 1000.0, 4801), (15, 1.0, 0),
                                              (44100, 0.5, 22), (44100, -3.0, 0), (44100, float("nan"), 0)])
def test_holdoff_frames(rate, time, frames):
    # A single rising edge clocks, then further edges are ignored for `frames` frames.
    model = Model(rate, 1)
    model.configure(ids.SubOctave.HOLDOFF_MS, time)
    assert model.frames == frames
    x = square(4 * max(frames, 4) + 40, period=4)
    engine = m.SubOctaveState(rate, 1)
    engine.configure(ids.SubOctave.HOLDOFF_MS, time)
    assert samples(engine.process(s16(x))) == model.process(x)


@given(st.lists(st.integers(-32768, 32767), max_size=400), st.sampled_from([1, 2]),
       st.lists(st.tuples(st.integers(0, 3), st.floats(-0.5, 3.0, width=32)), max_size=4),
       st.integers(0, 400))
def test_matches_model_in_any_blocks(data, channels, options, cut):
    data = data[:len(data) - len(data) % channels]
    engine, model = m.SubOctaveState(48000, channels), Model(48000, channels)
    for option, value in options:
        engine.configure(option, value)
        model.configure(option, value)
    cut = min(cut, len(data) // channels) * channels
    out = samples(engine.process(s16(data[:cut])) + engine.process(s16(data[cut:])))
    assert out == model.process(data)


def test_reset_reinit_and_messages():
    x = square(1000)
    engine = m.SubOctaveState(channel_count=1)
    first = engine.process(s16(x))
    engine.configure(ids.SubOctave.OCTAVES, 2.0)
    engine.reset()
    engine.__init__(channel_count=1)
    assert engine.process(s16(x)) == first
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        engine.__init__(0, 5)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        engine.__init__(48000, 5)
    engine.reset()
    assert engine.process(s16(x)) == first  # still mono after the failed calls
    for option in (-1, len(ids.SubOctave)):
        with pytest.raises(ValueError, match="^unknown sub-octave option$"):
            engine.configure(option, 1.0)
    stereo = m.SubOctaveState()
    with pytest.raises(ValueError, match="^input must be whole 16-bit frames for the configured channel count$"):
        stereo.process(s16([1]))
    assert stereo.process(b"") == b""
    block = bytearray(s16([1, 2, 3, 4]))
    assert stereo.process(misaligned(bytes(block))) == stereo.process(block)
    assert_released(block)
    with pytest.raises(ValueError):
        stereo.process(bytearray(6))


def test_never_initialised_refuses():
    engine = m.SubOctaveState.__new__(m.SubOctaveState)
    for call in (lambda: engine.process(b""), lambda: engine.configure(ids.SubOctave.OCTAVES, 1.0), engine.finish,
                 engine.reset):
        with pytest.raises(RuntimeError, match="not initialised"):
            call()
