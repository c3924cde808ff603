"""distortion_s16's vectorised path for the exponential and power curves
against the exact chain: every s16 input for a spread of settings, and
samples placed on a truncation boundary, where only the exact chain can
decide and the fast path must hand the sample over."""

import math

import numpy as np
import pytest

import _divavova as m

EVERY_INPUT = np.arange(-32768, 32768, dtype=np.int16)
DB = 0.11512925464970228


def _exp(v):
    try:
        return math.exp(v)
    except OverflowError:
        return math.inf


_EXP = np.frompyfunc(_exp, 1, 1)
_POW = np.frompyfunc(math.pow, 2, 1)


def exp(a):
    """The C library's exp on every element (math.exp calls it)."""
    return _EXP(a).astype(np.float64)


def model(xs, drive, pre_db, post_db, shape, soft, mix):
    """The exact chain in double precision, element by element where it calls
    the C library; for settings with |x * pre| < 2^31 and mix within 0 .. 1."""
    x = np.asarray(xs, dtype=np.float64)
    pre, post = math.exp(pre_db * DB), math.exp(post_db * DB)
    v = np.trunc(x * pre)
    u = v * 3.0517578125e-05
    with np.errstate(all="ignore"):
        if shape == 0:
            magnitude = _POW(np.abs(u), 1.0001 - drive).astype(np.float64)
            u = np.where(v < 0, -magnitude, magnitude)
        else:
            a = 0.686306 * u
            e = exp(a)
            curve = (e - exp(-a * (1.0 + exp(-0.75 * np.sqrt(np.abs(a)))))) / (exp(-a) + e)
            u = np.where(np.isnan(curve), np.where(a > 0, 1.0, -1.0), curve)
        u = u * post
        if soft:
            w = np.trunc(np.where(u > 0, 1.0 - exp(-u), exp(u) - 1.0) * 32767.0)
        else:
            w = np.clip(np.trunc(u * 32767.0), -32767, 32767)
    return np.trunc(((1.0 - mix) * x) + (w * mix)).astype(np.int16)


def forget():
    """Calls with four other settings, so that the next call of any settings
    used before shapes its block instead of looking its outputs up."""
    for post_db in (-1.1, -1.2, -1.3, -1.4):
        m.distortion_s16(b"\0\0", 0.5, 0.0, post_db, 3, True, 1.0)


def shape_directly(data, *args):
    forget()
    return m.distortion_s16(data, *args)


def run(xs, *args, block=None, call=shape_directly):
    data = np.asarray(xs, dtype=np.int16).tobytes()
    if block is None:
        return np.frombuffer(call(data, *args), dtype=np.int16)
    step = 2 * block
    return np.frombuffer(b"".join(call(data[i:i + step], *args) for i in range(0, len(data), step)),
                         dtype=np.int16)


# (drive, pre dB, post dB, mix): the bench settings, unit gains, drive at both
# ends of its range and beyond (power exponents from 1e-4 to 2, and past the
# proved range), pre-gains that push |a| of the exponential curve to its
# proved limit and past it, and gains that leave only tiny values.
SETTINGS = [
    (0.6, 12.0, -3.0, 1.0),
    (0.0, 0.0, 0.0, 1.0),
    (1.0, 0.0, 0.0, 0.5),
    (0.3, 40.0, 6.0, 1.0),
    (0.9, -30.0, 20.0, 0.7),
    (0.5, 59.0, -20.0, 1.0),
    (0.2, 70.0, 0.0, 1.0),
    (0.99, -80.0, 80.0, 1.0),
    (-0.9999, 3.0, 3.0, 0.3),
    (-1.5, 0.0, 0.0, 1.0),
    (0.45, -60.0, -100.0, 0.0),
    (0.75, 6.0, 35.0, 0.37),
]


@pytest.mark.parametrize("shape", [0, 2])
@pytest.mark.parametrize("soft", [False, True])
@pytest.mark.parametrize("settings", SETTINGS)
def test_every_input_matches_the_exact_chain(shape, soft, settings):
    drive, pre, post, mix = settings
    args = (drive, pre, post, shape, soft, mix)
    expected = model(EVERY_INPUT, *args)
    assert np.array_equal(run(EVERY_INPUT, *args), expected)
    # blocks too short for the memo, which a long block may take instead
    assert np.array_equal(run(EVERY_INPUT, *args, block=4096), expected)
    # short blocks (a partial lane group at every end) give the same samples
    assert np.array_equal(run(EVERY_INPUT[::37], *args, block=7), expected[::37])


def boundary_gains(x, pre_db, shape, soft, target):
    """Adjacent post gains in dB (as close as doubles allow) on either side of
    the one where the wet sample of x reaches magnitude target.  The wet value
    there is within a few ulps of the integer, far inside any window the fast
    path can certify, so the exact chain must decide both samples."""
    def size(post_db):
        return abs(int(model([x], 0.35, pre_db, post_db, shape, soft, 1.0)[0]))

    low_db, high_db = -40.0, 60.0
    assert size(low_db) < target <= size(high_db)
    while True:
        middle = (low_db + high_db) / 2
        if middle in (low_db, high_db):
            return low_db, high_db
        if size(middle) < target:
            low_db = middle
        else:
            high_db = middle


@pytest.mark.parametrize("shape,soft,x,target", [
    (2, True, 9000, 20000), (2, True, -15000, 9000), (2, False, 12345, 23456), (2, False, -321, 77),
    (0, False, 20000, 31000), (0, True, -7, 4000), (2, False, 30000, 32767), (0, False, -30000, 32767),
])
def test_samples_on_a_truncation_boundary_take_the_exact_chain(shape, soft, x, target):
    # The wet sample grows with the post gain; just below the step it is one
    # short of target in magnitude, just above it reaches target.
    sign = 1 if x > 0 else -1
    low_db, high_db = boundary_gains(x, 6.0, shape, soft, target)
    for post_db, wet in ((low_db, target - 1), (high_db, target)):
        args = (0.35, 6.0, post_db, shape, soft, 1.0)
        xs = [x, 0, x, -x, x]
        assert run(xs, *args).tolist() == model(xs, *args).tolist()
        assert run(xs, *args)[0] == sign * wet


@pytest.mark.parametrize("shape,soft", [(0, False), (0, True), (2, False), (2, True)])
def test_block_lengths_around_the_lane_groups_and_chunks(shape, soft):
    # Partial lane groups of four and eight, and the 256-sample chunks of the
    # block loop; odd starts of a memoryview too.
    rng = np.random.default_rng(5)
    xs = rng.integers(-32768, 32768, 1100).astype(np.int16)
    args = (0.6, 12.0, -3.0, shape, soft, 0.8)
    expected = model(xs, *args)
    for count in (0, 1, 3, 4, 5, 7, 8, 9, 255, 256, 257, 511, 513, 1100):
        assert np.array_equal(run(xs[:count], *args), expected[:count])
    data = bytearray(b"\0" + xs.tobytes())
    assert np.array_equal(np.frombuffer(m.distortion_s16(memoryview(data)[1:], *args), dtype=np.int16), expected)


def test_outputs_remembered_between_calls_are_the_shaped_ones():
    # Settings seen again look their outputs up and shape only the values not
    # seen before; more settings than are remembered, in turn, and bit
    # reduction (never remembered) shape directly.  Every call must give the
    # chain's samples.
    rng = np.random.default_rng(8)
    settings = [(0.6, 12.0, -3.0, 2, True, 1.0), (0.3, 6.0, 0.0, 0, False, 0.6), (0.5, 3.0, 1.0, 3, True, 0.9),
                (0.4, 0.0, 0.0, 1, False, 1.0), (0.2, 20.0, -6.0, 2, False, 0.5), (0.7, -3.0, 2.0, 1, True, 1.0)]
    for order in ([0] * 6, [0, 1] * 4, [0, 1, 2, 4, 5, 3] * 3, rng.integers(0, 6, 40)):
        calls = [(rng.integers(-2000, 2000, int(rng.integers(0, 3000))).astype(np.int16), settings[i]) for i in order]
        got = [run(xs, *args, call=m.distortion_s16) for xs, args in calls]
        for (xs, args), out in zip(calls, got):
            assert np.array_equal(out, run(xs, *args)), args


def test_a_long_first_call_leaves_its_outputs_for_later_calls():
    # New settings with a block long enough to fill a table within it; later
    # calls, short and long, look up what it left.  Chains that are exact
    # only, and the fast curves (a table at once with the baseline's vectors).
    rng = np.random.default_rng(9)
    for args in [(0.5, 3.0, 1.0, 3, False, 0.9), (0.5, 3.0, 1.0, 3, True, 0.9), (0.7, -3.0, 2.0, 1, True, 1.0),
                 (-1.5, 0.0, 0.0, 0, False, 1.0), (0.6, 12.0, -3.0, 0, True, 1.0), (0.6, 12.0, -3.0, 2, True, 1.0)]:
        calls = [rng.integers(-3000, 3000, n).astype(np.int16) for n in (70000, 300, 70000)]
        forget()
        got = [run(xs, *args, call=m.distortion_s16) for xs in calls]
        for xs, out in zip(calls, got):
            assert np.array_equal(out, run(xs, *args, block=1000)), args
