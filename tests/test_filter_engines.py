"""BiquadF32State, AllPassF32State and LadderState: designs, exact streams, options."""

import math
import warnings

import numpy as np
import pytest
import scipy.signal
from hypothesis import given, strategies as st

import _divavova as m
import ids
from f32_reference import F, clamp, libm, noise, to_s16
from helpers import assert_released, misaligned, s16, samples

WHOLE = "^input must be whole 16-bit frames for the configured channel count$"


def flush(v):
    return F(0) if -1e-20 < v < 1e-20 else v


def in_blocks(engine, data, frame, cuts):
    bounds = sorted({0, len(data) // frame, *cuts})
    return b"".join(engine.process(data[a * frame:b * frame]) for a, b in zip(bounds, bounds[1:]))


# ---------------------------------------------------------------------------
# Float biquad


def cookbook(kind, f, q, gain, rate=48000):
    """The seven designs in double with the library sine and cosine."""
    A = 10 ** (gain / 40)
    w = 2 * math.pi * f / rate
    cs, alpha = math.cos(w), math.sin(w) / (2 * q)
    K = 2 * math.sqrt(A) * alpha
    table = {
        0: ((1 - cs) / 2, 1 - cs, (1 - cs) / 2, 1 + alpha, -2 * cs, 1 - alpha),
        1: ((1 + cs) / 2, -(1 + cs), (1 + cs) / 2, 1 + alpha, -2 * cs, 1 - alpha),
        2: (alpha, 0, -alpha, 1 + alpha, -2 * cs, 1 - alpha),
        3: (1, -2 * cs, 1, 1 + alpha, -2 * cs, 1 - alpha),
        4: (1 + alpha * A, -2 * cs, 1 - alpha * A, 1 + alpha / A, -2 * cs, 1 - alpha / A),
        5: (A * ((A + 1) - (A - 1) * cs + K), 2 * A * ((A - 1) - (A + 1) * cs), A * ((A + 1) - (A - 1) * cs - K),
            (A + 1) + (A - 1) * cs + K, -2 * ((A - 1) + (A + 1) * cs), (A + 1) + (A - 1) * cs - K),
        6: (A * ((A + 1) + (A - 1) * cs + K), -2 * A * ((A - 1) + (A + 1) * cs), A * ((A + 1) + (A - 1) * cs - K),
            (A + 1) - (A - 1) * cs + K, 2 * ((A - 1) - (A + 1) * cs), (A + 1) - (A - 1) * cs - K),
    }
    b0, b1, b2, a0, a1, a2 = table[kind]
    return [b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0]


def biquad_model(coefficients, mix, data, channels, state=None):
    b0, b1, b2, a1, a2 = (F(c) for c in coefficients)
    s1, s2 = state or ([F(0)] * channels, [F(0)] * channels)
    mix = F(mix)
    out = []
    for i, sample in enumerate(samples(data)):
        j = i % channels
        x = F(sample)
        y = b0 * x + s1[j]
        s1[j] = flush(b1 * x - a1 * y + s2[j])
        s2[j] = flush(b2 * x - a2 * y)
        out.append(to_s16(x * (F(1) - mix) + y * mix))
    return s16(out), (s1, s2)


def test_biquad_worked_designs():
    b = m.BiquadF32State()
    assert b.coefficients() == pytest.approx(
        (0.0039161267, 0.0078322534, 0.0039161267, -1.8153411, 0.8310056), rel=1e-7)
    b.configure(ids.BiquadF32.TYPE, 4)
    b.configure(ids.BiquadF32.Q, 1.0)
    b.configure(ids.BiquadF32.GAIN_DB, 6.0)
    b.finish()
    assert b.coefficients() == pytest.approx((1.0439531, -1.8953208, 0.8677223, -1.8953208, 0.9116754), rel=1e-7)
    assert all(float(F(c)) == c for c in b.coefficients())  # stored as f32


@pytest.mark.parametrize("kind", range(7))
@pytest.mark.parametrize("f,q,gain", [(60.0, 0.3, -12.0), (2500.0, 2.0, 9.0), (15000.0, 0.7, 3.0), (23000.0, 5.0, -6.0)])
def test_biquad_designs_follow_the_cookbook(kind, f, q, gain):
    b = m.BiquadF32State()
    for option, value in ((0, kind), (1, f), (2, q), (3, gain)):
        b.configure(option, value)
    assert b.coefficients() == pytest.approx(cookbook(kind, f, q, gain), rel=2e-6, abs=2e-7)


def test_biquad_option_limits():
    b = m.BiquadF32State()
    b.configure(ids.BiquadF32.FREQUENCY_HZ, 1e9)
    b.configure(ids.BiquadF32.TYPE, 9)  # type 6
    top = b.coefficients()
    assert top == pytest.approx(cookbook(6, 0.4999 * 48000, 0.70710677, 0.0), rel=1e-5, abs=1e-6)
    b.configure(ids.BiquadF32.TYPE, -3)  # type 0
    b.configure(ids.BiquadF32.FREQUENCY_HZ, -5.0)  # frequency 0: the low-pass passes nothing but DC... with w = 0
    assert b.coefficients() == (0.0, 0.0, 0.0, -2.0, 1.0)
    with pytest.raises(ValueError, match="^unknown biquad option$"):
        b.configure(len(ids.BiquadF32), 1.0)
    with pytest.raises(ValueError, match="^unknown biquad option$"):
        b.configure(-1, 1.0)
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        m.BiquadF32State(0, 3)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.BiquadF32State(48000, 0)


def test_biquad_is_silent_until_designed_and_reinit_undesigns():
    b = m.BiquadF32State(48000, 1)
    block = noise(64, 1, 1)
    assert b.process(block) == bytes(len(block))
    b.finish()
    assert b.process(block) != bytes(len(block))
    b.__init__(48000, 1)
    assert b.process(block) == bytes(len(block))
    b.configure(ids.BiquadF32.MIX, 0.0)
    assert b.process(block) == block  # mix 0 is the input exactly


def test_biquad_against_lfilter_with_its_own_coefficients():
    b = m.BiquadF32State(44100, 2)
    for option, value in ((0, 4), (1, 700.0), (2, 3.0), (3, -9.0)):
        b.configure(option, value)
    b.finish()
    c = b.coefficients()
    data = noise(2000, 2, 2, 16000)
    got = np.array(samples(b.process(data))).reshape(-1, 2)
    x = np.array(samples(data), dtype=float).reshape(-1, 2)
    want = scipy.signal.lfilter(c[:3], [1.0, c[3], c[4]], x, axis=0)
    assert np.max(np.abs(got - want)) <= 1.0


@given(kind=st.integers(0, 6), f=st.floats(0, 30000, width=32), q=st.floats(0, 80, width=32),
       gain=st.floats(-70, 70, width=32), mix=st.floats(-0.5, 1.5, width=32), channels=st.sampled_from([1, 2]),
       cuts=st.lists(st.integers(0, 60), max_size=3), seed=st.integers(0, 100))
def test_biquad_stream_matches_the_model_in_blocks_of_any_size(kind, f, q, gain, mix, channels, cuts, seed):
    b = m.BiquadF32State(48000, channels)
    for option, value in ((0, kind), (1, f), (2, q), (3, gain), (4, mix)):
        b.configure(option, value)
    b.finish()
    data = noise(60, channels, seed)
    want, _ = biquad_model(b.coefficients(), clamp(F(mix), F(0), F(1)), data, channels)
    assert in_blocks(b, data, 2 * channels, cuts) == want


@pytest.mark.parametrize("kind,f", [(0, 1000.0), (1, 200.0), (4, 3000.0)])
def test_biquad_stereo_is_two_mono_sections_through_the_tiny_value_flush(kind, f):
    # One channel falls silent and its states decay through 1e-20, where they
    # are flushed to zero, while the other channel carries on.
    left = [0] * 3000
    left[:40] = samples(noise(40, 1, 4, 30000))
    right = samples(noise(3000, 1, 5, 20000))
    engines = [m.BiquadF32State(48000, channels) for channels in (2, 1, 1)]
    for engine in engines:
        for option, value in ((0, kind), (1, f), (2, 0.7), (3, 6.0), (4, 0.8)):
            engine.configure(option, value)
        engine.finish()
    stereo = samples(engines[0].process(s16([v for pair in zip(left, right) for v in pair])))
    assert stereo[0::2] == samples(engines[1].process(s16(left)))
    assert stereo[1::2] == samples(engines[2].process(s16(right)))


def test_biquad_finish_twice_and_reset():
    b = m.BiquadF32State(48000, 2)
    b.configure(ids.BiquadF32.TYPE, 1)
    b.finish()
    first = b.coefficients()
    b.finish()
    assert b.coefficients() == first
    block = noise(50, 2, 3)
    out = b.process(block)
    b.reset()
    assert b.process(block) == out


# ---------------------------------------------------------------------------
# All-pass chain


def allpass_design(f, rate=48000):
    w = f * math.pi / rate
    t = math.tan(w)
    return min(max((t - 1) / (t + 1), -0.9999), 0.9999)


class AllPassModel:
    def __init__(self, channels, stages):
        self.ch, self.stages = channels, stages
        self.q = [[F(0)] * stages for _ in range(channels)]
        self.fb_state = [F(0)] * channels
        self.running = None

    def process(self, data, coefficient, feedback, mix):
        x_all = samples(data)
        n = len(x_all) // self.ch
        if n == 0:
            return b""
        c, fb, mix = F(coefficient), F(feedback), F(mix)
        if self.running is None:
            self.running = c
        step = F(c - self.running) / F(n)
        h = self.running
        out = []
        for i in range(n):
            for j in range(self.ch):
                x = F(x_all[i * self.ch + j])
                v = x + fb * self.fb_state[j]
                for k in range(self.stages):
                    y = v * h + self.q[j][k]
                    self.q[j][k] = flush(v - y * h)
                    v = y
                self.fb_state[j] = flush(v)
                out.append(to_s16(x * (F(1) - mix) + v * mix))
            h = h + step
        self.running = c
        return s16(out)


def test_allpass_worked_designs_and_limits():
    a = m.AllPassF32State()
    assert a.coefficient() == float(F(-0.8769765))
    a.configure(ids.AllPassF32.FREQUENCY_HZ, 12000.0)
    assert abs(a.coefficient()) < 1e-12
    for f in (10.0, 5000.0, 11990.0):
        a.configure(ids.AllPassF32.FREQUENCY_HZ, f)
        assert a.coefficient() < 0 and a.coefficient() == pytest.approx(allpass_design(f), abs=1e-6)
    for f in (12010.0, 20000.0, 1e9):
        a.configure(ids.AllPassF32.FREQUENCY_HZ, f)
        assert 0 < a.coefficient() <= float(F(0.9999))
    a.configure(ids.AllPassF32.FREQUENCY_HZ, -1.0)
    assert a.coefficient() == float(F(-0.9999))


def test_allpass_messages():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        m.AllPassF32State(0, 3, 0)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.AllPassF32State(48000, 3, 0)
    for stages in (0, 17):
        with pytest.raises(ValueError, match="^stages must be between 1 and DIVAVOVA_FILTER_F32_MAX_STAGES$"):
            m.AllPassF32State(48000, 2, stages)
    a = m.AllPassF32State(48000, 2, 16)
    with pytest.raises(ValueError, match="^unknown all-pass option$"):
        a.configure(len(ids.AllPassF32), 0.0)
    block = bytearray(s16([1]))
    with pytest.raises(ValueError, match=WHOLE):
        a.process(block)
    assert_released(block)
    with pytest.raises(RuntimeError):
        m.AllPassF32State.__new__(m.AllPassF32State).coefficient()


def test_allpass_undesigned_chain_delays_by_its_stages_and_reinit_resizes():
    a = m.AllPassF32State(48000, 1, 3)
    assert samples(a.process(s16([1, 2, 3, 4, 5, 6]))) == [0, 0, 0, 1, 2, 3]
    a.__init__(48000, 2, 1)
    assert samples(a.process(s16([7, 8, 9, 10]))) == [0, 0, 7, 8]
    with pytest.raises(ValueError):
        a.__init__(48000, 2, 99)  # keeps the two-channel single stage
    assert samples(a.process(s16([1, 1]))) == [9, 10]
    a.configure(ids.AllPassF32.MIX, -1.0)
    block = noise(20, 2, 4)
    assert a.process(block) == block


def test_allpass_glides_across_one_block_then_holds():
    a = m.AllPassF32State(48000, 1, 2)
    model = AllPassModel(1, 2)
    a.finish()
    first = noise(40, 1, 5)
    assert a.process(first) == model.process(first, a.coefficient(), 0.0, 1.0)
    old = a.coefficient()
    a.configure(ids.AllPassF32.FREQUENCY_HZ, 9000.0)
    a.configure(ids.AllPassF32.FEEDBACK, 0.7)
    a.finish()
    block = noise(50, 1, 6)
    assert a.process(block) == model.process(block, a.coefficient(), 0.7, 1.0)
    assert model.running == F(a.coefficient()) != F(old)
    assert a.process(block) == model.process(block, a.coefficient(), 0.7, 1.0)
    a.reset()  # no glide after a reset
    fresh = AllPassModel(1, 2)
    assert a.process(block) == fresh.process(block, a.coefficient(), 0.7, 1.0)


@given(stages=st.integers(1, 16), channels=st.sampled_from([1, 2]),
       settings=st.lists(st.tuples(st.floats(-10, 30000, width=32), st.floats(-2, 2, width=32),
                                   st.floats(-0.5, 1.5, width=32), st.integers(0, 30)), min_size=1, max_size=3),
       seed=st.integers(0, 100))
def test_allpass_stream_matches_the_model(stages, channels, settings, seed):
    a = m.AllPassF32State(48000, channels, stages)
    model = AllPassModel(channels, stages)
    for index, (f, fb, mix, frames) in enumerate(settings):
        a.configure(ids.AllPassF32.FREQUENCY_HZ, f)
        a.configure(ids.AllPassF32.FEEDBACK, fb)
        a.configure(ids.AllPassF32.MIX, mix)
        a.finish()
        block = noise(frames, channels, seed + index)
        want = model.process(block, a.coefficient(), clamp(F(fb), F(-0.99), F(0.99)), clamp(F(mix), F(0), F(1)))
        assert a.process(block) == want


# ---------------------------------------------------------------------------
# Ladder filter


class LadderModel:
    def __init__(self, rate=48000, channels=2):
        self.rate, self.ch = rate, channels
        self.cutoff, self.res, self.drive, self.comp, self.mix = F(1000), F(0), F(1), F(0), F(1)
        self.poles, self.oversample = 4, 2
        self.s = [[F(0)] * 4 for _ in range(2)]
        self.y = [F(0), F(0)]
        self.y_prev = [F(0), F(0)]
        self.prev_in = [F(0), F(0)]
        self.derive()

    def derive(self):
        rate = F(self.oversample) * F(self.rate)
        fc = clamp(self.cutoff, F(1), F(0.49) * rate)
        t = libm("tanf", F(fc * F(3.1415927)) / rate)
        self.g = t / (t + F(1))
        self.G = (self.g * self.g) * (self.g * self.g)
        self.kG = self.G * self.res
        self.gain = self.res * self.comp + F(1)
        self.div = F(1) / (self.kG + F(1))
        self.cubic = self.kG * self.div * F(0.33333334)

    def configure(self, option, value):
        v = F(value)
        if option == ids.Ladder.CUTOFF_HZ:
            self.cutoff = v
        elif option == ids.Ladder.RESONANCE:
            self.res = clamp(v, F(0), F(4.2))
        elif option == ids.Ladder.DRIVE:
            self.drive = clamp(v, F(0), F(64))
        elif option == ids.Ladder.POLES:
            r = F(v + F(0.5))
            self.poles = 1 if r != r or r < 1 else (4 if r > 4 else int(r))
        elif option == ids.Ladder.COMPENSATION:
            self.comp = clamp(v, F(0), F(1))
        elif option == ids.Ladder.OVERSAMPLE:
            self.oversample = 2 if v >= 1.5 else 1
        elif option == ids.Ladder.MIX:
            self.mix = clamp(v, F(0), F(1))
        self.derive()

    def prediction(self, j, u):
        """P, the fourth-stage output without feedback, and the limit L beyond which y needs no solving."""
        g, s = self.g, self.s[j]
        omg = F(1) - g
        P = ((((omg * s[0]) * g + omg * s[1]) * g + omg * s[2]) * g + omg * s[3]) + u * self.G
        return P, self.kG * F(0.6666667)

    def step(self, j, u):
        g, s = self.g, self.s[j]
        omg = F(1) - g
        P, L = self.prediction(j, u)
        if P - L >= 1:
            y = P - L
        elif P + L <= -1:
            y = P + L
        else:
            r = F(2) * self.y[j] - self.y_prev[j]
            for _ in range(4):
                c = clamp(r, F(-1), F(1))
                r = c * c * c * self.cubic + P * self.div
            y = clamp(r, F(-1), F(1))
        self.y_prev[j], self.y[j] = self.y[j], y
        q = clamp(y, F(-1), F(1))
        v = u - (q - q * q * q * F(0.33333334)) * self.res
        outs = []
        for k in range(4):
            o = v * g + omg * s[k]
            s[k] = F(2) * o - s[k]
            outs.append(o)
            v = o
        return outs[self.poles - 1]

    def process(self, data):
        out = []
        for i, sample in enumerate(samples(data)):
            j = i % self.ch
            h = F(sample) * F(2.0**-15)
            if self.oversample == 2:
                y1 = self.step(j, ((h + self.prev_in[j]) * F(0.5)) * self.drive)
                y2 = self.step(j, h * self.drive)
                value = ((((y1 + y2) * F(0.5)) * self.gain - h) * self.mix + h) * F(32768)
            else:
                value = (((self.step(j, h * self.drive) * self.gain - h) * self.mix) + h) * F(32768)
            self.prev_in[j] = h
            out.append(to_s16(value))
        return s16(out)


def test_ladder_defaults_and_poles_option():
    assert LadderModel().g == F(0.031698894)
    lad, model = m.LadderState(), LadderModel()
    block = noise(80, 2, 7)
    assert lad.process(block) == model.process(block)
    for value, poles in ((2.4, 2), (2.5, 3), (-1.0, 1), (9.0, 4)):
        model.configure(ids.Ladder.POLES, value)
        assert model.poles == poles
        lad.configure(ids.Ladder.POLES, value)
        assert lad.process(block) == model.process(block)


def test_ladder_mix_zero_messages_and_uninitialised_object():
    lad = m.LadderState(44100, 1)
    for option, value in ((1, 4.0), (2, 30.0), (6, 0.0)):
        lad.configure(option, value)
    block = noise(64, 1, 9)
    assert lad.process(block) == block
    with pytest.raises(ValueError, match="^unknown ladder option$"):
        lad.configure(len(ids.Ladder), 0.0)
    with pytest.raises(ValueError, match="^unknown ladder option$"):
        lad.configure(-1, 0.0)
    with pytest.raises(ValueError, match=WHOLE):
        m.LadderState(48000, 2).process(s16([1]))
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        m.LadderState(0, 0)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.LadderState(1, 0)
    with pytest.raises(RuntimeError):
        m.LadderState.__new__(m.LadderState).process(b"")
    assert lad.process(misaligned(block)) == block


@given(options=st.lists(st.tuples(st.integers(0, 6), st.one_of(
    st.floats(-10, 60000, width=32), st.sampled_from([0.0, 1.5, 4.2, float("nan"), float("inf")]))), max_size=8),
    channels=st.sampled_from([1, 2]), cuts=st.lists(st.integers(0, 40), max_size=3), seed=st.integers(0, 100))
def test_ladder_stream_matches_the_model_in_blocks_of_any_size(options, channels, cuts, seed):
    lad, model = m.LadderState(48000, channels), LadderModel(48000, channels)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for option, value in options:
            lad.configure(option, value)
            model.configure(option, value)
        data = noise(40, channels, seed)
        assert in_blocks(lad, data, 2 * channels, cuts) == model.process(data)


def test_ladder_oversample_change_keeps_state_and_cutoff_limit_lifts():
    lad, model = m.LadderState(8000, 1), LadderModel(8000, 1)
    for engine in (lad, model):
        engine.configure(ids.Ladder.CUTOFF_HZ, 7000.0)  # above 0.49 x 8000 at oversample 1, inside at 2
        engine.configure(ids.Ladder.RESONANCE, 3.5)
        engine.configure(ids.Ladder.OVERSAMPLE, 1.0)
    block = noise(50, 1, 10)
    assert lad.process(block) == model.process(block)
    for engine in (lad, model):
        engine.configure(ids.Ladder.OVERSAMPLE, 2.0)
    assert lad.process(block) == model.process(block)
    lad.reset()
    model.s = [[F(0)] * 4 for _ in range(2)]
    model.y, model.y_prev, model.prev_in = [F(0)] * 2, [F(0)] * 2, [F(0)] * 2
    assert lad.process(block) == model.process(block)
