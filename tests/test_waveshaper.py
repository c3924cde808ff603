"""WaveshaperState against a frame-by-frame float32 model of the shaper."""

import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import _divavova as m
import ids
from helpers import assert_released, misaligned, s16, samples

F = np.float32
COEF_A = (F(0.090357624), F(0.57940537))
COEF_B = (F(0.3127017), F(0.85168785))


def f32_clamp(v, lo, hi):
    return F(lo) if v < lo else (F(hi) if hi < v else v)


def f32_s16(v):
    if v > 32767:
        return 32767
    if v < -32768:
        return -32768
    if math.isnan(v):
        return 0
    return int(v + F(0.5)) if v >= 0 else int(v - F(0.5))


class Branch:
    def __init__(self, coefs):
        self.coefs = coefs
        self.x1 = [F(0), F(0)]
        self.y1 = [F(0), F(0)]

    def __call__(self, v):
        for k, a in enumerate(self.coefs):
            y = a * (v - self.y1[k]) + self.x1[k]
            self.x1[k], self.y1[k] = v, y
            v = y
        return v


class Model:
    """Straight from the description: one frame, one channel at a time."""

    def __init__(self, oversample=4, channels=2):
        self.stages = oversample.bit_length() - 1
        self.channels = channels
        self.curve = None
        self.drive, self.bias, self.gain, self.mix = F(1), F(0), F(1), F(1)
        self.amount, self.width, self.asym = F(0), F(0.02), F(0)
        self.up = self.down = F(0)
        self.reset()

    def reset(self):
        self.interp = [[(Branch(COEF_A), Branch(COEF_B)) for _ in range(4)] for _ in range(2)]
        self.decim = [[(Branch(COEF_A), Branch(COEF_B), [F(0)]) for _ in range(4)] for _ in range(2)]
        self.h = [F(0), F(0)]

    def configure(self, option, value):
        v = F(value)
        ranges = [(-1000, 1000), (-1, 1), (-1000, 1000), (0, 1), (0, 1), (0, 0.5), (-1, 1)]
        names = ["drive", "bias", "gain", "mix", "amount", "width", "asym"]
        setattr(self, names[option], f32_clamp(v, *ranges[option]))

    def finish(self):
        g = self.width * self.amount * abs(self.drive)
        g = F(1) if g > 1 else g
        self.up = (self.asym + F(1)) * g
        self.down = (F(1) - self.asym) * g

    def sample(self, j, x):
        seq = [F(x) * self.drive * F(2.0**-15) + self.bias]
        for k in range(self.stages):
            a, b = self.interp[j][k]
            seq = [w for v in seq for w in (a(v), b(v))]
        shaped = []
        for u in seq:
            if self.amount > 0:
                h = self.h[j]
                if u > self.up + h:
                    h = u - self.up
                elif u < h - self.down:
                    h = u + self.down
                self.h[j] = u = h
            u = f32_clamp(u, -1, 1)
            if self.curve is not None:
                n = len(self.curve)
                p = (u + F(1)) * F(0.5) * F(n - 1)
                i = int(p)
                i = n - 2 if i >= n - 1 else i
                lo, hi = F(self.curve[i]) / F(32768), F(self.curve[i + 1]) / F(32768)
                u = lo + (hi - lo) * (p - F(i))
            shaped.append(u)
        seq = shaped
        for k in range(self.stages):
            a, b, prev = self.decim[j][self.stages - 1 - k]
            out = []
            for e, o in zip(seq[0::2], seq[1::2]):
                out.append((a(e) + prev[0]) * F(0.5))
                prev[0] = b(o)
            seq = out
        r = seq[0]
        return f32_s16(r * self.gain * F(32768) * self.mix + F(x) * (F(1) - self.mix))

    def process(self, values):
        return [self.sample(i % self.channels, x) for i, x in enumerate(values)]


def noise(count, seed=1, scale=32768):
    rng = np.random.default_rng(seed)
    return [int(v) for v in rng.integers(-scale, scale, count)]


def both(oversample, channels, options=(), curve=None, finish=True):
    engine = m.WaveshaperState(48000, oversample, channels)
    model = Model(oversample, channels)
    if curve is not None:
        engine.load_curve(s16(curve))
        model.curve = curve
    for option, value in options:
        engine.configure(option, value)
        model.configure(option, value)
    if finish:
        engine.finish()
        model.finish()
    return engine, model


CURVE = [-32768, -30000, -20000, -5000, 0, 9000, 25000, 31000, 32767]
HOT = [(0, 3.5), (1, 0.1), (2, 0.8), (3, 0.75)]
HYSTERESIS = [(0, 2.0), (4, 0.7), (5, 0.3), (6, 0.4)]


@pytest.mark.parametrize("oversample", [1, 2, 4, 8, 16])
@pytest.mark.parametrize("channels", [1, 2])
def test_matches_model(oversample, channels):
    data = noise(120 * channels, seed=oversample)
    engine, model = both(oversample, channels, HOT, CURVE)
    assert samples(engine.process(s16(data))) == model.process(data)


@pytest.mark.parametrize("oversample,channels", [(1, 2), (2, 1), (4, 2), (16, 1)])
def test_hysteresis_matches_model(oversample, channels):
    data = noise(150 * channels, seed=7)
    engine, model = both(oversample, channels, HYSTERESIS, CURVE)
    assert samples(engine.process(s16(data))) == model.process(data)
    # The gaps follow only in finish: configure alone leaves them.
    engine.configure(ids.Waveshaper.HYSTERESIS_WIDTH, 0.0)
    model.configure(ids.Waveshaper.HYSTERESIS_WIDTH, 0.0)
    assert samples(engine.process(s16(data))) == model.process(data)


def test_identity_and_dry_paths():
    data = [-32768, -32767, -1, 0, 1, 16384, 32767] + noise(200)
    engine = m.WaveshaperState(oversample=1, channel_count=1)
    assert samples(engine.process(s16(data))) == data
    dry = m.WaveshaperState(oversample=16)
    dry.configure(ids.Waveshaper.MIX, 0.0)
    dry.configure(ids.Waveshaper.DRIVE, 50.0)
    assert samples(dry.process(s16(data[:206]))) == data[:206]


def test_linear_curve_and_last_segment():
    engine = m.WaveshaperState(oversample=1, channel_count=1)
    engine.load_curve(s16([-32768, 32767]))
    # The two points map -1 .. 1 onto -1 .. 32767/32768, so 0 lands on
    # -1/65536 (-0.5, rounded away from zero) and 0.5 on 16383.25.
    out = samples(engine.process(s16([-32768, 0, 16384, 32767])))
    assert out == [-32768, -1, 16383, 32766]
    # +1 exactly (bias pushes the top sample there) gives the last point.
    engine.load_curve(s16([0, 100, 200, 1234]))
    engine.configure(ids.Waveshaper.BIAS, 1.0)
    assert samples(engine.process(s16([32767]))) == [1234]


def test_nan_options_stay_inside_the_curve():
    for option in (ids.Waveshaper.DRIVE, ids.Waveshaper.BIAS, ids.Waveshaper.HYSTERESIS_AMOUNT,
                   ids.Waveshaper.HYSTERESIS_WIDTH, ids.Waveshaper.HYSTERESIS_ASYMMETRY):
        engine = m.WaveshaperState(oversample=4, channel_count=2)
        engine.load_curve(s16([-32768, 0, 32767]))
        engine.configure(ids.Waveshaper.HYSTERESIS_AMOUNT, 1.0)
        engine.configure(option, float("nan"))
        engine.finish()
        out = engine.process(s16(noise(512)))
        assert len(out) == 1024


def test_blocks_of_any_size_give_one_stream():
    data = noise(2 * 600, seed=3)
    whole, _ = both(8, 2, HYSTERESIS + [(3, 0.6)], CURVE)
    expected = whole.process(s16(data))
    engine, _ = both(8, 2, HYSTERESIS + [(3, 0.6)], CURVE)
    out, i = b"", 0
    for size in (1, 255, 0, 257, 3, 84):
        out += engine.process(s16(data[2 * i:2 * (i + size)]))
        i += size
    assert out == expected
    engine.reset()
    whole.reset()
    assert engine.process(s16(data)) == whole.process(s16(data))


@given(st.lists(st.integers(-32768, 32767), min_size=1, max_size=40),
       st.sampled_from([1, 2, 4]), st.floats(-5, 5, width=32), st.floats(-1, 1, width=32))
def test_property_against_model(data, oversample, drive, bias):
    engine, model = both(oversample, 1, [(0, drive), (1, bias)], CURVE)
    assert samples(engine.process(s16(data))) == model.process(data)


def test_reinit_keeps_no_active_curve():
    engine = m.WaveshaperState(oversample=1, channel_count=1)
    engine.load_curve(s16([0, 0]))
    assert samples(engine.process(s16([20000]))) == [0]
    engine.__init__(oversample=1, channel_count=1)
    assert samples(engine.process(s16([20000]))) == [20000]
    with pytest.raises(ValueError, match="sample_rate must be at least 1"):
        engine.__init__(0, 3, 5)
    assert samples(engine.process(s16([20000, 1]))) == [20000, 1]  # still mono, oversample 1


def test_messages_and_check_order():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        m.WaveshaperState(0, 3, 3)
    for bad in (0, 3, 32):
        with pytest.raises(ValueError, match=r"^oversample must be a power of two, 1 to 16$"):
            m.WaveshaperState(48000, bad, 3)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.WaveshaperState(channel_count=3)
    engine = m.WaveshaperState()
    for bad in (b"", b"\0\0", b"\0\0\0", b"\0" * 5):
        with pytest.raises(ValueError, match="^curve must be at least two whole int16 points$"):
            engine.load_curve(bad)
    with pytest.raises(ValueError, match="^unknown waveshaper option$"):
        engine.configure(-1, 0.0)
    with pytest.raises(ValueError, match="^unknown waveshaper option$"):
        engine.configure(len(ids.Waveshaper), 0.0)
    with pytest.raises(ValueError, match="^input must be whole 16-bit frames for the configured channel count$"):
        engine.process(b"\0\0")
    assert engine.process(b"") == b""


def test_buffers_released_and_misaligned_input():
    engine = m.WaveshaperState(oversample=2, channel_count=1)
    curve = bytearray(s16([-32768, 500, 32767]))
    engine.load_curve(curve)
    assert_released(curve)
    block = bytearray(s16(noise(64)))
    expected = m.WaveshaperState(oversample=2, channel_count=1)
    expected.load_curve(bytes(curve))
    want = expected.process(bytes(block))
    assert engine.process(misaligned(bytes(block))) == want
    engine.process(block)
    assert_released(block)
    with pytest.raises(ValueError):
        engine.process(bytearray(3))
    with pytest.raises(ValueError):
        engine.load_curve(bytearray(3))


def test_never_initialised_refuses():
    engine = m.WaveshaperState.__new__(m.WaveshaperState)
    for call in (lambda: engine.process(b""), lambda: engine.load_curve(b"\0" * 4),
                 lambda: engine.configure(ids.Waveshaper.DRIVE, 1.0), engine.finish, engine.reset):
        with pytest.raises(RuntimeError, match="not initialised"):
            call()
