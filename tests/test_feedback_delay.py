"""FeedbackDelayState: exact stream against a float32 model, options, wow shape views."""

import array
import math
import warnings

import numpy as np
import pytest
from hypothesis import given, strategies as st

import _divavova as m
import ids
from f32_reference import F, clamp, libm, noise, to_s16
from helpers import assert_released, misaligned, s16, samples

def f_to_int(v, lo, hi):
    if v != v:
        return 0
    if v >= hi + 1:
        return hi
    if v <= lo - 1:
        return lo
    return int(v)


class DelayModel:
    """The feedback delay written out frame by frame in float32."""

    def __init__(self, rate=48000, max_ms=250.0, channels=2):
        self.rate, self.ch = rate, channels
        self.L = max(2, int(math.trunc(rate * max_ms / 1000.0)) & 0xFFFFFFFF)
        self.ring = [[0] * self.L for _ in range(2)]
        self.target = self.bound(F(F(F(max_ms) * F(0.5)) * F(rate)) / F(1000))
        self.fb, self.mix = F(0.4), F(0.3)
        self.lp_c = self.hp_c = self.k = self.depth = self.cross = self.sat = F(0)
        self.mat = [F(1), F(1) if channels == 2 else F(0), F(0), F(0)]
        self.lp_hz = self.hp_hz = self.wow_hz = F(0)
        self.shape, self.bits, self.wow_step = None, 0, 0
        self.slew = self.lm = self.semis = F(0)
        self.win_ms = F(25)
        self.window = self.window_frames(self.win_ms)
        self.pitch_step = 0
        self.W = 0
        self.lp, self.hp = [F(0), F(0)], [F(0), F(0)]
        self.s, self.v = F(0), F(1)
        self.wow_phase = self.pitch_phase = 0
        self.running = F(-1)

    def bound(self, x):
        longest = F(self.L - 2)
        return F(1) if x < 1 else (longest if longest < x else x)

    def window_frames(self, ms):
        quarter = F(0.25) * F(self.L)
        t = F(F(self.rate) * ms) / F(1000)
        shorter = t if t < quarter else quarter
        return F(16) if shorter < 16 else shorter

    def one_pole(self, f):
        if not f > 0:
            return F(0)
        return clamp(F(1) - libm("expf", F(f * F(-6.2831855)) / F(self.rate)), F(0), F(1))

    def phase_step(self, f):
        if not f > 0:
            return 0
        r = f / F(self.rate)
        x = F(r - libm("floorf", r)) * F(4294967296.0)
        if x <= 0 or x >= 4294967296.0 or x != x:
            return 0
        return int(x)

    def pitch(self):
        if self.semis == 0 or self.window < 1:
            return 0
        x = F(F(F(1) - libm("powf", 2.0, self.semis * F(0.083333336))) / self.window) * F(4294967296.0)
        return f_to_int(x, -(1 << 31), (1 << 31) - 1)

    def wow_rate(self):
        self.k = F(0) if self.wow_hz <= 0 else F(2) * libm("sinf", F(self.wow_hz * F(3.1415927)) / F(self.rate))
        self.wow_step = self.phase_step(self.wow_hz)

    def configure(self, option, value):
        v = F(value)
        rate = F(self.rate)
        if option == ids.FeedbackDelay.DELAY_MS:
            self.target = self.bound(F(rate * v) / F(1000))
        elif option == ids.FeedbackDelay.FEEDBACK:
            self.fb = clamp(v, F(0), F(0.99))
        elif option == ids.FeedbackDelay.MIX:
            self.mix = clamp(v, F(0), F(2))
        elif option == ids.FeedbackDelay.LOWPASS_HZ:
            self.lp_hz, self.lp_c = v, self.one_pole(v)
        elif option == ids.FeedbackDelay.HIGHPASS_HZ:
            self.hp_hz, self.hp_c = v, self.one_pole(v)
        elif option == ids.FeedbackDelay.WOW_RATE_HZ:
            self.wow_hz = v
            self.wow_rate()
        elif option == ids.FeedbackDelay.WOW_DEPTH_MS:
            self.depth = F(rate * clamp(v, F(0), F(1000))) / F(1000)
        elif option == ids.FeedbackDelay.CROSS_FEEDBACK:
            self.cross = clamp(v, F(0), F(1))
        elif option == ids.FeedbackDelay.SATURATION:
            self.sat = clamp(v, F(0), F(1))
        elif option == ids.FeedbackDelay.INPUT_ROUTING:
            s = clamp(v, F(-1), F(1))
            p, n = (s if s > 0 else F(0)), (-s if -s > 0 else F(0))
            self.mat = [F(1) - n / F(2) - p, F(1) - p / F(2) - n, n / F(2), p / F(2)]
        elif option == ids.FeedbackDelay.DELAY_SLEW:
            self.slew = clamp(v, F(0), F(64))
        elif option == ids.FeedbackDelay.LEVEL_MODULATION:
            self.lm = clamp(v, F(0), F(1))
        elif option == ids.FeedbackDelay.PITCH_SEMITONES:
            self.semis = clamp(v, F(-24), F(24))
            self.pitch_step = self.pitch()
        elif option == ids.FeedbackDelay.PITCH_WINDOW_MS:
            self.win_ms = clamp(v, F(1), F(250))
            self.window = self.window_frames(self.win_ms)
            self.pitch_step = self.pitch()

    def tap(self, x):
        x = self.bound(x)
        q = 0 if x != x else int(x)
        a0 = (self.W - q + self.L) % self.L
        return a0, (a0 - 1 + self.L) % self.L, F(x - F(q))

    def process(self, block):
        x_all = samples(block)
        out = []
        two_less = F(2) - self.mix
        dry, wet = (two_less if two_less < 1 else F(1)), (self.mix if self.mix < 1 else F(1))
        pitch = self.semis != 0
        if not self.slew > 0 or self.running < 0:
            self.running = self.target
        for i in range(len(x_all) // self.ch):
            self.s = F(self.s + self.k * self.v)
            self.v = F(self.v - self.k * self.s)
            if self.shape is None:
                mod = self.s
            else:
                b = self.bits
                self.wow_phase = (self.wow_phase + self.wow_step) & 0xFFFFFFFF
                idx = self.wow_phase >> (32 - b)
                nxt = (idx + 1) & ((1 << b) - 1)
                f = F(F((self.wow_phase << b) & 0xFFFFFFFF) * F(2.0**-32))
                a, c = F(self.shape[idx]), F(self.shape[nxt])
                mod = F(a + (c - a) * f) * F(2.0**-15)
            if self.slew > 0:
                d = self.target - self.running
                if d > self.slew:
                    self.running = self.running + self.slew
                elif d < -self.slew:
                    self.running = self.running - self.slew
                else:
                    self.running = self.target
            D = F(mod * self.depth) + self.running
            if pitch:
                self.pitch_phase = (self.pitch_phase + self.pitch_step) & 0xFFFFFFFF
                pa = F(F(self.pitch_phase) * F(2.0**-32))
                pb = F(F((self.pitch_phase + (1 << 31)) & 0xFFFFFFFF) * F(2.0**-32))
                ta, tb = self.tap(D + pa * self.window), self.tap(D + pb * self.window)
                t = F(2) * pa if F(2) * pa <= 1 else F(2) - F(2) * pa
            else:
                ta = self.tap(D)
            wets = [F(0), F(0)]
            for j in range(self.ch):
                r = self.ring[j]

                def read(tp):
                    return F(F(r[tp[0]]) + F(F(r[tp[1]]) - F(r[tp[0]])) * tp[2])

                y = F(read(ta) * t + read(tb) * (F(1) - t)) if pitch else read(ta)
                if self.lp_c > 0:
                    self.lp[j] = self.lp[j] + (y - self.lp[j]) * self.lp_c
                    y = self.lp[j]
                if self.hp_c > 0:
                    self.hp[j] = self.hp[j] + (y - self.hp[j]) * self.hp_c
                    y = y - self.hp[j]
                if self.sat > 0:
                    u = clamp(y * F(2.0**-15), F(-1), F(1))
                    y = F(u - self.sat * u * u * u / F(3)) * F(32768)
                wets[j] = y
            g = wet * (F(1) - (F(1) - self.s) * self.lm / F(2)) if self.lm > 0 else wet
            xs = [F(x_all[i * self.ch + j]) if j < self.ch else F(0) for j in range(2)]
            for j in range(self.ch):
                own, other = (self.mat[0], self.mat[2]) if j == 0 else (self.mat[1], self.mat[3])
                o = 1 - j
                mixed = F(F(1) - self.cross) * wets[j] + self.cross * wets[o]
                self.ring[j][self.W] = to_s16(xs[j] * own + xs[o] * other + mixed * self.fb)
                out.append(to_s16(wets[j] * g + xs[j] * dry))
            self.W = (self.W + 1) % self.L
        return s16(out)


def test_defaults_pass_input_until_the_delay_elapses():
    d = m.FeedbackDelayState()
    block = noise(6000, 2, 1)
    assert d.process(block) == block  # dry 1, the ring still silent for 6000 frames
    out = samples(d.process(s16([0, 0] * 2)))
    x = samples(block)
    # The first delayed frame comes back at wet 0.3 (feedback keeps nothing yet).
    assert out[:2] == [to_s16(F(x[0]) * F(0.3)), to_s16(F(x[1]) * F(0.3))]
    # Default geometry: ring 12000, target 6000, window 1200.
    model = DelayModel()
    assert (model.L, model.target, model.window) == (12000, 6000, 1200)


def test_delay_one_reads_the_previous_frame_and_feedback_recirculates():
    d = m.FeedbackDelayState(48000, 1.0, 1)
    d.configure(ids.FeedbackDelay.DELAY_MS, 0.0)  # clamped up to one frame
    d.configure(ids.FeedbackDelay.FEEDBACK, 0.5)
    assert samples(d.process(s16([1000] + [0] * 9))) == [1000, 300, 150, 75, 38, 19, 10, 5, 2, 1]


def test_delay_stops_at_ring_minus_two_and_a_two_frame_ring_reads_the_slot_it_overwrites():
    d = m.FeedbackDelayState(1000, 10.0, 1)  # ring of 10 frames
    d.configure(ids.FeedbackDelay.DELAY_MS, 1e9)
    d.configure(ids.FeedbackDelay.MIX, 2.0)
    d.configure(ids.FeedbackDelay.FEEDBACK, 0.0)
    out = samples(d.process(s16(list(range(1, 21)))))
    assert out[8:12] == [1, 2, 3, 4]  # delay 8 = L - 2
    # A ring of 2 frames: the target is bounded to 0, and a tap of 0 is raised
    # to 1 again, so the tap reads the previous frame ...
    tiny = m.FeedbackDelayState(1000, 1.0, 1)
    tiny.configure(ids.FeedbackDelay.MIX, 2.0)
    tiny.configure(ids.FeedbackDelay.FEEDBACK, 0.0)
    tiny.configure(ids.FeedbackDelay.DELAY_MS, 1.0)
    assert samples(tiny.process(s16([5, 6, 7, 8, 9]))) == [0, 5, 6, 7, 8]
    # ... unless modulation lifts the tap to 1 frame or more, which the bound
    # cuts to 0: the slot about to be overwritten, written 2 frames earlier.
    tiny.set_wow_shape(s16([32767, 32767]))
    tiny.configure(ids.FeedbackDelay.WOW_DEPTH_MS, 2.0)
    assert samples(tiny.process(s16([1, 2, 3, 4]))) == [8, 9, 1, 2]


@pytest.mark.parametrize("routing,left_line,right_line", [(-1.0, True, False), (1.0, False, True)])
def test_input_routing_feeds_the_channel_average_into_one_line(routing, left_line, right_line):
    d = m.FeedbackDelayState(1000, 10.0, 2)
    d.configure(ids.FeedbackDelay.DELAY_MS, 1.0)
    d.configure(ids.FeedbackDelay.FEEDBACK, 0.0)
    d.configure(ids.FeedbackDelay.MIX, 2.0)  # wet only
    d.configure(ids.FeedbackDelay.INPUT_ROUTING, routing)
    out = samples(d.process(s16([1000, 3000, 0, 0])))
    assert out[2:] == [2000 if left_line else 0, 2000 if right_line else 0]


@pytest.mark.parametrize("count", [2, 4096])
def test_wow_shape_sizes_accepted(count):
    # The smallest and the largest shape both steer the tap as the model reads
    # them, unlike the sine; after None both run on with the sine.
    shape = [32767 if k < count // 2 else -32768 for k in range(count)]
    d, model, sine = m.FeedbackDelayState(8000, 5.0, 1), DelayModel(8000, 5.0, 1), DelayModel(8000, 5.0, 1)
    for engine in (d, model, sine):
        engine.configure(ids.FeedbackDelay.WOW_RATE_HZ, 900.0)
        engine.configure(ids.FeedbackDelay.WOW_DEPTH_MS, 1.0)
    block = noise(200, 1, 11)
    d.set_wow_shape(s16(shape))
    model.shape, model.bits = shape, count.bit_length() - 1
    assert d.process(block) == model.process(block) != sine.process(block)
    d.set_wow_shape(None)
    model.shape, model.bits = None, 0
    assert d.process(block) == model.process(block)


@pytest.mark.parametrize("data", [s16([0]), s16([0] * 3), s16([0] * 4097), b"\0" * 5, b""])
def test_wow_shape_rejected_releases_its_view_and_keeps_the_old_shape(data):
    d = m.FeedbackDelayState(8000, 5.0, 1)
    old = bytearray(s16([32767, -32768]))
    d.set_wow_shape(old)
    d.configure(ids.FeedbackDelay.WOW_RATE_HZ, 1000.0)
    d.configure(ids.FeedbackDelay.WOW_DEPTH_MS, 1.0)
    bad = bytearray(data)
    with pytest.raises(ValueError, match="^wow_shape must be 2 to 4096 int16 samples, a power of two$"):
        d.set_wow_shape(bad)
    assert_released(bad)
    with pytest.raises(BufferError):
        old.append(0)  # still held
    model = DelayModel(8000, 5.0, 1)
    model.configure(ids.FeedbackDelay.WOW_RATE_HZ, 1000.0)
    model.configure(ids.FeedbackDelay.WOW_DEPTH_MS, 1.0)
    model.shape, model.bits = [32767, -32768], 1
    block = noise(100, 1, 3)
    assert d.process(block) == model.process(block)


def test_wow_shape_view_released_by_none_new_shape_reinit_and_destruction():
    d = m.FeedbackDelayState()
    first, second = bytearray(s16([1, 2])), bytearray(s16([3, 4, 5, 6]))
    d.set_wow_shape(first)
    d.set_wow_shape(second)
    assert_released(first)
    d.set_wow_shape(None)
    assert_released(second)
    d.set_wow_shape(first)
    d.__init__()
    assert_released(first)
    d.set_wow_shape(second)
    with pytest.raises(ValueError):
        d.__init__(0)  # failed re-initialisation keeps the state and the shape
    with pytest.raises(BufferError):
        second.append(0)
    del d
    assert_released(second)


def test_wow_shape_is_read_live_and_may_be_misaligned():
    shape = bytearray(s16([0, 0, 0, 0]))
    d = m.FeedbackDelayState(8000, 5.0, 1)
    model = DelayModel(8000, 5.0, 1)
    for engine in (d, model):
        engine.configure(ids.FeedbackDelay.WOW_RATE_HZ, 250.0)
        engine.configure(ids.FeedbackDelay.WOW_DEPTH_MS, 2.0)
        engine.configure(ids.FeedbackDelay.FEEDBACK, 0.7)
    d.set_wow_shape(misaligned(s16([32767, 0, -32768, 0])))
    model.shape, model.bits = [32767, 0, -32768, 0], 2
    block = noise(120, 1, 4)
    assert d.process(block) == model.process(block)
    d.set_wow_shape(shape)
    model.shape = [0, 0, 0, 0]
    shape[:] = s16([1000, 20000, -5000, 7])
    model.shape = [1000, 20000, -5000, 7]
    assert d.process(block) == model.process(block)


def test_messages_and_failures_change_nothing():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        m.FeedbackDelayState(0, -1.0, 3)
    for bad in (0.0, -1.0, float("nan")):
        with pytest.raises(ValueError, match="^max_delay_ms must be positive$"):
            m.FeedbackDelayState(48000, bad, 3)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.FeedbackDelayState(48000, 10.0, 3)
    d = m.FeedbackDelayState(8000, 5.0, 2)
    for option in (len(ids.FeedbackDelay), -1):
        with pytest.raises(ValueError, match="^unknown feedback delay option$"):
            d.configure(option, 0.0)
    block = bytearray(s16([1, 2, 3]))
    with pytest.raises(ValueError, match="^input must be whole 16-bit frames for the configured channel count$"):
        d.process(block)
    assert_released(block)
    with pytest.raises(RuntimeError):
        m.FeedbackDelayState.__new__(m.FeedbackDelayState).process(b"")
    # Nothing above touched the stream: it matches a fresh model.
    model = DelayModel(8000, 5.0, 2)
    block = noise(90, 2, 5)
    assert d.process(block) == model.process(block)


def test_empty_block_only_settles_the_running_delay():
    d = m.FeedbackDelayState(8000, 5.0, 1)
    model = DelayModel(8000, 5.0, 1)
    for engine in (d, model):
        engine.configure(ids.FeedbackDelay.DELAY_SLEW, 1.0)
        engine.configure(ids.FeedbackDelay.WOW_RATE_HZ, 300.0)
        engine.configure(ids.FeedbackDelay.PITCH_SEMITONES, 5.0)
        engine.configure(ids.FeedbackDelay.DELAY_MS, 1.0)
        assert engine.process(b"") == b""
        engine.configure(ids.FeedbackDelay.DELAY_MS, 4.0)  # slews from 8 frames (set by the empty call) toward 32
    block = noise(60, 1, 6)
    assert d.process(block) == model.process(block)


def test_reinit_and_reset_restart_the_stream():
    d = m.FeedbackDelayState(8000, 5.0, 2)
    block = noise(100, 2, 7)
    first = d.process(block)
    d.configure(ids.FeedbackDelay.FEEDBACK, 0.9)
    d.reset()
    d.configure(ids.FeedbackDelay.FEEDBACK, 0.4)
    assert d.process(block) == first
    d.configure(ids.FeedbackDelay.MIX, 1.5)
    d.__init__(8000, 5.0, 2)
    assert d.process(block) == first


def in_blocks(engine, data, channels, cuts):
    """The engine's output for data processed in blocks cut at the given frames."""
    frame = 2 * channels
    bounds = sorted({0, len(data) // frame, *cuts})
    return b"".join(engine.process(data[a * frame:b * frame]) for a, b in zip(bounds, bounds[1:]))


option_values = st.one_of(
    st.floats(-50, 3000, allow_nan=False, width=32),
    st.sampled_from([0.0, 1.0, -1.0, 0.5, float("nan"), float("inf"), -float("inf"), 1e30]),
)
options = st.lists(st.tuples(st.integers(0, 13), option_values), max_size=10)


@given(
    options=options,
    channels=st.sampled_from([1, 2]),
    max_ms=st.sampled_from([0.25, 1.0, 3.0, 7.5]),
    shape=st.one_of(st.none(), st.lists(st.integers(-32768, 32767), min_size=4, max_size=4)),
    cuts=st.lists(st.integers(0, 80), max_size=3),
    seed=st.integers(0, 1000),
)
def test_random_options_match_the_model_in_blocks_of_any_size(options, channels, max_ms, shape, cuts, seed):
    d = m.FeedbackDelayState(8000, max_ms, channels)
    model = DelayModel(8000, max_ms, channels)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for option, value in options:
            d.configure(option, value)
            model.configure(option, value)
        if shape is not None:
            d.set_wow_shape(s16(shape))
            model.shape, model.bits = shape, 2
        data = noise(80, channels, seed, 32768)
        got, want = (in_blocks(engine, data, channels, cuts) for engine in (d, model))
    assert got == want


steady_options = st.lists(st.tuples(st.sampled_from([0, 1, 2, 7, 8, 9, 10, 11]),
                                    st.floats(-1, 40, allow_nan=False, width=32)), max_size=8)


@given(
    options=steady_options,
    channels=st.sampled_from([1, 2]),
    max_ms=st.sampled_from([0.25, 0.375, 3.0, 7.5, 20.0]),  # rings of 2, 3, 24, 60 and 160 frames
    wow_first=st.booleans(),
    cuts=st.lists(st.integers(0, 400), max_size=4),
    seed=st.integers(0, 1000),
)
def test_steady_delays_match_the_model_over_long_blocks(options, channels, max_ms, wow_first, cuts, seed):
    # A fixed delay with no filters runs in whole runs of frames between the
    # wraps of the write head and the tap; long blocks on short rings cross
    # many of them.  A wow that ran and stopped leaves the oscillator off zero.
    d = m.FeedbackDelayState(8000, max_ms, channels)
    model = DelayModel(8000, max_ms, channels)
    data = noise(400, channels, seed, 32768)
    frame = 2 * channels
    for engine in (d, model):
        if wow_first:
            engine.configure(ids.FeedbackDelay.WOW_RATE_HZ, 300.0)
            engine.process(data[:13 * frame])
            engine.configure(ids.FeedbackDelay.WOW_RATE_HZ, 0.0)
        for option, value in options:
            engine.configure(option, value)
    assert in_blocks(d, data, channels, cuts) == in_blocks(model, data, channels, cuts)


def test_finish_rederives_from_stored_settings():
    d = m.FeedbackDelayState(8000, 5.0, 1)
    model = DelayModel(8000, 5.0, 1)
    for engine in (d, model):
        engine.configure(ids.FeedbackDelay.LOWPASS_HZ, 900.0)
        engine.configure(ids.FeedbackDelay.HIGHPASS_HZ, 40.0)
        engine.configure(ids.FeedbackDelay.WOW_RATE_HZ, 3.0)
        engine.configure(ids.FeedbackDelay.WOW_DEPTH_MS, 1.5)
        engine.configure(ids.FeedbackDelay.PITCH_SEMITONES, -7.0)
        engine.configure(ids.FeedbackDelay.PITCH_WINDOW_MS, 2.0)
        engine.configure(ids.FeedbackDelay.SATURATION, 0.8)
        engine.configure(ids.FeedbackDelay.LEVEL_MODULATION, 0.6)
    d.finish()
    block = noise(100, 1, 8)
    assert d.process(block) == model.process(block)


def test_huge_ring_lengths_wrap_to_their_low_bits():
    # 2^32 + 4 frames keeps the low bits 4; an infinite length keeps none (ring of 2).
    d = m.FeedbackDelayState(1000, (2**32 + 4) * 1.0, 1)
    d.configure(ids.FeedbackDelay.MIX, 2.0)
    d.configure(ids.FeedbackDelay.FEEDBACK, 0.0)
    d.configure(ids.FeedbackDelay.DELAY_MS, 2.0)  # 2 frames = L - 2
    assert samples(d.process(s16([1, 2, 3, 4]))) == [0, 0, 1, 2]
    d = m.FeedbackDelayState(1000, float("inf"), 1)
    d.configure(ids.FeedbackDelay.MIX, 2.0)
    d.configure(ids.FeedbackDelay.FEEDBACK, 0.0)
    assert samples(d.process(s16([5, 6, 7]))) == [0, 5, 6]


@pytest.mark.parametrize("max_ms", [0.1, 0.5, 3.0])
def test_hostile_option_values_keep_every_read_inside_the_ring(max_ms):
    hostile = [float("nan"), float("inf"), -float("inf"), 1e30, -1e30, 3.4e38]
    for channels in (1, 2):
        d = m.FeedbackDelayState(8000, max_ms, channels)
        d.set_wow_shape(s16([32767, -32768] * 8))
        block = noise(40, channels, 11, 32768)
        for value in hostile:
            for option in ids.FeedbackDelay:
                d.configure(option, value)
                d.configure(ids.FeedbackDelay.PITCH_SEMITONES, 7.0)  # keep the pitch taps running
                assert len(d.process(block)) == len(block)
            d.finish()
            assert len(d.process(block)) == len(block)
            d.set_wow_shape(None)
            assert len(d.process(block)) == len(block)
            d.set_wow_shape(s16([1, 2, 3, 4]))
