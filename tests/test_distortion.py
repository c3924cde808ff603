"""distortion_s16: the four curves, the soft limiter and the mix, against a
model written from the curve formulas, plus argument checks."""

import math

import pytest
from hypothesis import given, strategies as st

import _divavova as m
from helpers import assert_released, misaligned, s16, samples

MESSAGE = "invalid distortion parameters"
EVERY_LEVEL = list(range(-32768, 32768, 257)) + [-32768, -1, 0, 1, 32767]


def trunc_i32(v):
    return max(-(2 ** 31), min(2 ** 31 - 1, math.trunc(v)))


def c_round(v):
    return math.copysign(math.floor(abs(v) + 0.5), v)


def model(xs, drive, pre_db, post_db, shape, soft, mix):
    pre = math.exp(pre_db * 0.11512925464970228)
    post = math.exp(post_db * 0.11512925464970228)
    shift = int(c_round(drive * 14)) % 32
    mask = ((0xFFFFFFFF << shift) & 0xFFFFFFFF) - (1 << 32)
    out = []
    for x in xs:
        v = trunc_i32(x * pre)
        if shape == 1:
            v &= mask
        if shape == 1 and not soft:
            w = trunc_i32(v * post)
        else:
            u = v * 3.0517578125e-05
            if shape == 0:
                p = math.pow(abs(u), 1.0001 - drive)
                u = -p if v < 0 else p
            elif shape == 2:
                a = 0.686306 * u
                u = (math.exp(a) - math.exp(-a * (1 + math.exp(-0.75 * math.sqrt(abs(a)))))) / (math.exp(-a) + math.exp(a))
            elif shape == 3:
                p = 2 * drive / (1.0001 - drive)
                u = (p + 1) * u / (abs(u) * p + 1)
            u *= post
            if soft:
                u = 1 - math.exp(-u) if u > 0 else math.exp(u) - 1
            w = math.trunc(u * 32767)
        if not soft:
            w = max(-32767, min(32767, w))
        out.append(max(-32768, min(32767, math.trunc((1 - mix) * x + w * mix))))
    return out


def run(xs, *args):
    return samples(m.distortion_s16(s16(xs), *args))


def test_bit_reduction_clears_low_bits_and_clamps():
    xs = [-32768, -32767, -129, -128, -1, 0, 1, 127, 128, 255, 32767]
    assert run(xs, 0.5, 0.0, 0.0, 1, False, 1.0) == [-32767, -32767, -256, -128, -128, 0, 0, 0, 128, 128, 32640]
    # drive 1 clears 14 bits; drive 0 keeps every bit
    assert run([16383, 16384, -1], 1.0, 0.0, 0.0, 1, False, 1.0) == [0, 16384, -16384]
    assert run(EVERY_LEVEL, 0.0, 0.0, 0.0, 1, False, 1.0) == [max(-32767, x) for x in EVERY_LEVEL]
    # full scale with a large post-gain clamps symmetrically, whatever the curve
    for shape in range(4):
        assert run([32767, -32768], 0.5, 0.0, 60.0, shape, False, 1.0) == [32767, -32767]


@pytest.mark.parametrize("shape", range(4))
@pytest.mark.parametrize("soft", [False, True])
def test_mix_zero_is_dry_and_curves_match_model(shape, soft):
    assert run(EVERY_LEVEL, 0.7, 12.0, -3.0, shape, soft, 0.0) == EVERY_LEVEL
    for drive, pre, post, mix in [(0.0, 0.0, 0.0, 1.0), (0.3, 6.0, -2.0, 0.5), (0.9, 20.0, 3.0, 0.75),
                                  (1.0, -10.0, 40.0, 1.0), (0.55, 0.0, 0.0, 0.2)]:
        assert run(EVERY_LEVEL, drive, pre, post, shape, soft, mix) == model(EVERY_LEVEL, drive, pre, post, shape, soft, mix)


@given(st.lists(st.integers(-32768, 32767), max_size=40), st.sampled_from(range(4)), st.booleans(),
       st.floats(0, 1), st.floats(-30, 30), st.floats(-30, 30), st.floats(0, 1))
def test_random_settings_match_model(xs, shape, soft, drive, pre, post, mix):
    assert run(xs, drive, pre, post, shape, soft, mix) == model(xs, drive, pre, post, shape, soft, mix)


def test_mix_beyond_one_saturates_instead_of_wrapping():
    # mix 3 is 3 w - 2 x, mix -2 is 3 x - 2 w: both leave the 16-bit range here
    xs = [30000, -30000, 1000]
    assert run(xs, 0.0, 0.0, 6.0, 1, False, 3.0) == [32767, -32768, model([1000], 0.0, 0.0, 6.0, 1, False, 3.0)[0]]
    assert run(xs, 0.0, 0.0, -20.0, 1, False, -2.0) == [32767, -32768, 3000 - 2 * 100]
    assert run(xs, 0.0, 0.0, -20.0, 2, True, 1e9) == [-32768, 32767, -32768]  # w is quieter than x


def test_extreme_pre_gain_saturates_the_exponential_curve():
    # Far into the curve exp() overflows on both sides of the quotient; the
    # curve's limit is +-1, so loud samples stay loud.
    out = run([-32768, -20000, -1, 0, 1, 20000, 32767], 0.0, 200.0, 0.0, 2, False, 1.0)
    assert out == [-32767, -32767, -32767, 0, 32767, 32767, 32767]
    out = run([-20000, 20000], 0.0, 200.0, 0.0, 2, True, 1.0)
    assert out == [math.trunc((math.exp(-1) - 1) * 32767), math.trunc((1 - math.exp(-1)) * 32767)]


def test_non_finite_arguments_give_defined_results():
    xs = [-32768, -5, 0, 7, 32767]
    for bad in (math.nan, math.inf, -math.inf, 1e300, -1e300):
        for shape in range(4):
            for args in [(bad, 0.0, 0.0, 1.0), (0.5, bad, 0.0, 1.0), (0.5, 0.0, bad, 1.0), (0.5, 0.0, 0.0, bad)]:
                assert len(run(xs, *args[:3], shape, shape % 2 == 0, args[3])) == len(xs)
    assert run(xs, 0.5, 0.0, 0.0, 2, False, math.nan) == [0] * len(xs)
    assert run(xs, 0.5, math.nan, 0.0, 1, False, 1.0) == [0] * len(xs)


def test_long_block_equals_short_blocks():
    xs = [((i * 7919) % 65536) - 32768 for i in range(20000)]
    for shape in (0, 2, 3):
        args = (0.4, 9.0, -1.0, shape, shape == 2, 0.8)
        whole = run(xs, *args)
        assert whole == sum((run(xs[i:i + 1000], *args) for i in range(0, len(xs), 1000)), [])


def test_empty_odd_misaligned_and_bad_shape():
    assert m.distortion_s16(b"", 0.5, 0.0, 0.0, 0, False, 1.0) == b""
    xs = [-300, 5, 12345]
    assert m.distortion_s16(misaligned(s16(xs)), 0.2, 3.0, 0.0, 3, True, 1.0) == \
        m.distortion_s16(s16(xs), 0.2, 3.0, 0.0, 3, True, 1.0)
    for data, shape in [(bytearray(3), 0), (bytearray(4), -1), (bytearray(4), 4), (bytearray(5), 9)]:
        with pytest.raises(ValueError, match=f"^{MESSAGE}$"):
            m.distortion_s16(data, 0.5, 0.0, 0.0, shape, False, 1.0)
        assert_released(data)
    data = bytearray(s16(xs))
    m.distortion_s16(data, 0.5, 0.0, 0.0, 0, False, 1.0)
    assert_released(data)
    with pytest.raises(TypeError):
        m.distortion_s16(b"", 0.5, 0.0, 0.0, 0, False)
