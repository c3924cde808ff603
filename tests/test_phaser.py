"""phaser_s16: the all-pass chain with feedback against an integer model,
the bypass, the caller-held state and the argument checks."""

import math
import random

import pytest
from hypothesis import given, strategies as st

import _divavova as m
from helpers import assert_released, s16, samples

MESSAGE = "invalid phaser parameters"


def q15(v):
    v = 0.0 if math.isnan(v) else max(-2.0 ** 31, min(2.0 ** 31 - 1, v * 32767))
    t = math.trunc(v) & 0xFFFF
    return t - 65536 if t >= 32768 else t


def mul(a, b):
    p = abs(a * b) // 32768
    return -p if a * b < 0 else p


def sat(v):
    return max(-32768, min(32767, v))


def knee(t):
    if t > 28000:
        return ((2 * t - 56000) >> 16) + 28000
    if t < -28000:
        return ((2 * t + 56000) >> 16) - 28000
    return t


def model(xs, fb_state, ap_state, channels, stages, sweep, rate, feedback, depth, copy=True):
    """Returns output, feedback cells, all-pass cells (updated copies, or the
    lists themselves with copy=False, which may then be one shared list)."""
    if copy:
        fb_state, ap_state = list(fb_state), list(ap_state)
    r = sweep / rate
    coef, fb, dep = q15((1 - r) / (1 + r)), q15(feedback), q15(depth)
    if dep <= 328:
        return list(xs), fb_state, ap_state
    out = []
    for i, x in enumerate(xs):
        h = i % channels
        o = sat(x + sat(mul(fb, fb_state[h])))
        for j in range(stages):
            c = h * stages + j
            f = sat(ap_state[c] + sat(-mul(coef, o)))
            ap_state[c] = sat(sat(mul(f, coef)) + o)
            o = f
        fb_state[h] = o
        out.append(knee(x + sat(mul(dep, o))))
    return out, fb_state, ap_state


def run(xs, fb_buf, ap_buf, *args):
    out = samples(m.phaser_s16(s16(xs), fb_buf, ap_buf, *args))
    return out, samples(fb_buf), samples(ap_buf)


def test_full_chain_output_at_full_depth_meets_the_knee():
    # sweep = sample rate makes the coefficient 0, so a single stage outputs its state
    fb, ap = bytearray(2), bytearray(s16([32767]))
    out, fb_after, ap_after = run([32767], fb, ap, 1, 1, 48000.0, 48000.0, 0.0, 1.0)
    assert out == [28001]  # t = 32767 + 32766
    assert fb_after == [32767] and ap_after == [32767]
    fb, ap = bytearray(2), bytearray(s16([-32768]))
    assert run([-32768], fb, ap, 1, 1, 1.0, 1.0, 0.0, 1.0)[0] == [knee(-32768 - 32767)] == [-28002]


def test_shallow_or_wrapped_depth_bypasses_and_keeps_state():
    xs = [1000, -2000, 30000, -32768]
    for depth in (0.01, 0.0, -0.5, 1.5):
        fb, ap = bytearray(s16([11, -12])), bytearray(s16([1, 2, 3, 4]))
        assert run(xs, fb, ap, 2, 2, 300.0, 44100.0, 0.5, depth) == (xs, [11, -12], [1, 2, 3, 4])
    fb, ap = bytearray(2), bytearray(2)
    assert run(xs, fb, ap, 1, 1, 300.0, 44100.0, 0.0, 0.011)[0] != xs  # DEPTH 360


settings = st.tuples(st.sampled_from([1, 2]), st.integers(1, 6), st.floats(0, 24000), st.sampled_from([8000.0, 48000.0]),
                     st.floats(-1, 1), st.floats(0, 1))


@given(st.lists(st.integers(-32768, 32767), max_size=60), settings, st.lists(st.integers(-32768, 32767), min_size=14, max_size=14))
def test_random_blocks_match_model(xs, config, state):
    channels, stages, sweep, rate, feedback, depth = config
    fb0, ap0 = state[:channels], state[2:2 + channels * stages]
    expected = model(xs, fb0, ap0, channels, stages, sweep, rate, feedback, depth)
    # state buffers longer than needed keep their tail
    fb, ap = bytearray(s16(fb0 + [77])), bytearray(s16(ap0 + [-77]))
    out, fb_after, ap_after = run(xs, fb, ap, channels, stages, sweep, rate, feedback, depth)
    assert (out, fb_after[:-1], ap_after[:-1]) == expected
    assert fb_after[-1] == 77 and ap_after[-1] == -77


@given(st.lists(st.integers(-32768, 32767), min_size=1, max_size=200), st.lists(st.integers(1, 50), min_size=1, max_size=8))
def test_blocks_of_any_size_give_one_stream(xs, cuts):
    args = (2, 4, 700.0, 44100.0, -0.7, 1.0)
    fb, ap = bytearray(4), bytearray(16)
    whole = samples(m.phaser_s16(s16(xs), fb, ap, *args))
    fb2, ap2 = bytearray(4), bytearray(16)
    pieces, i, k = [], 0, 0
    while i < len(xs):
        n = 2 * cuts[k % len(cuts)]
        pieces += samples(m.phaser_s16(s16(xs[i:i + n]), fb2, ap2, *args))
        i, k = i + n, k + 1
    assert pieces == whole and fb2 == fb and ap2 == ap


@pytest.mark.parametrize("sweep, feedback", [(-1.1, 0.5), (300.0, 1.00004), (-1.1, -1.00004), (-1.5, -1.0), (0.0, 1.0)])
def test_factors_at_the_ends_of_the_q15_range(sweep, feedback):
    # COEF and FB of -32768 (the sweeps and feedbacks wrap), -32767 and 32767
    # against full-scale noise, so that products of -32768 by -32768 occur.
    rng = random.Random(sweep * 7 + feedback)
    for channels in (1, 2):
        xs = [rng.choice((-32768, 32767, rng.randint(-32768, 32767))) for _ in range(300 * channels)]
        fb0 = [-32768] * channels
        ap0 = [rng.choice((-32768, 32767)) for _ in range(4 * channels)]
        expected = model(xs, fb0, ap0, channels, 4, sweep, 48000.0, feedback, 1.0)
        assert run(xs, bytearray(s16(fb0)), bytearray(s16(ap0)), channels, 4, sweep, 48000.0, feedback, 1.0) == expected


def test_partial_stereo_frame_and_misaligned_state():
    xs = [100, -200, 300]
    expected = model(xs, [5, 6], [7, 8], 2, 1, 100.0, 8000.0, 0.9, 0.9)
    fb_raw, ap_raw = bytearray(5), bytearray(5)
    fb, ap = memoryview(fb_raw)[1:], memoryview(ap_raw)[1:]
    fb[:] = s16([5, 6])
    ap[:] = s16([7, 8])
    out = samples(m.phaser_s16(s16(xs), fb, ap, 2, 1, 100.0, 8000.0, 0.9, 0.9))
    assert (out, samples(fb), samples(ap)) == expected


def test_state_buffers_sharing_memory_act_in_access_order():
    xs = [9000, -300, 20000, 5]
    mem = [100, -200, 300, -400, 500]
    expected, _, _ = model(xs, mem, mem, 2, 2, 900.0, 8000.0, 0.8, 1.0, copy=False)
    shared = bytearray(s16([100, -200, 300, -400, 500]))
    out = samples(m.phaser_s16(s16(xs), shared, shared, 2, 2, 900.0, 8000.0, 0.8, 1.0))
    assert (out, samples(shared)) == (expected, mem)


def test_non_finite_controls_are_defined():
    xs = [12000, -32768, 32767, 5]
    for bad in (math.nan, math.inf, -math.inf, 1e300):
        for position in (0, 2, 3):
            controls = [300.0, 8000.0, 0.5, 1.0]
            controls[position] = bad
            fb, ap = bytearray(4), bytearray(8)
            assert run(xs, fb, ap, 2, 2, *controls) == model(xs, [0, 0], [0] * 4, 2, 2, *controls)


def test_checks_leave_buffers_untouched():
    # odd input, channel count 0 or 3, stages 0 or 256, sample rate 0, -1 or NaN, short feedback, short all-pass
    for k, v in [(0, 3), (3, 0), (3, 3), (4, 0), (4, 256), (6, 0.0), (6, -1.0), (6, math.nan), (1, 3), (2, 11)]:
        args = [bytearray(s16([9, 9])), bytearray(s16([1, 2])), bytearray(s16([3] * 6)), 2, 3, 100.0, 8000.0, 0.5, 1.0]
        args[k] = bytearray(v) if k < 3 else v
        before = [bytes(a) for a in args[:3]]
        with pytest.raises(ValueError, match=f"^{MESSAGE}$"):
            m.phaser_s16(*args)
        assert [bytes(a) for a in args[:3]] == before
        for a in args[:3]:
            assert_released(a)
    args = [bytearray(s16([9, 9])), bytearray(4), bytearray(12), 2, 3, 100.0, 8000.0, 0.5, 1.0]
    assert len(m.phaser_s16(*args)) == 4
    for a in args[:3]:
        assert_released(a)
    with pytest.raises(TypeError):
        m.phaser_s16(b"", b"\0\0", bytearray(2), 1, 1, 1.0, 1.0, 0.0, 1.0)  # read-only state
    assert m.phaser_s16(b"", bytearray(2), bytearray(2), 1, 1, 1.0, 1.0, 0.0, 1.0) == b""
