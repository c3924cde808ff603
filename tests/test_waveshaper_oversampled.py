"""The oversampled WaveshaperState loop: every block split gives the bytes of
one block, and both give the frame-by-frame float32 model's samples.

The loop keeps several frames in flight (decimator stages run a few frames
behind the interpolator) and fills and drains that pipeline in every call, so
the splits aim at lengths around the pipeline depth (4 frames per stage) and
the 64-frame batches, at 0 and 1 frame, and at odd lengths.  Run with the
default build (AVX2 lanes where the machine has them) and the baseline-only
build, the suite checks both instruction-set paths against the same model.

A block of one frame takes the plain path on every build, so a stream cut
into single frames is the plain path's output, and the lanes' streams are
held to it bit for bit, whatever the settings (NaN and infinite ones too).
"""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _divavova as m
import ids
from helpers import s16, samples
from test_waveshaper import Model

FACTORS = [2, 4, 8, 16]


def random_setup(rng, oversample, channels):
    """An engine and its model with random curve, options and hysteresis."""
    engine = m.WaveshaperState(48000, oversample, channels)
    model = Model(oversample, channels)
    kind = rng.integers(3)
    if kind:  # 0: hard clip, 1: short random curve, 2: long smooth curve
        points = int(rng.integers(2, 12)) if kind == 1 else int(rng.integers(200, 1200))
        curve = [int(v) for v in rng.integers(-32768, 32768, points)] if kind == 1 else \
            [int(32767 * np.tanh(3 * x)) for x in np.linspace(-1, 1, points)]
        engine.load_curve(s16(curve))
        model.curve = curve
    options = [(0, float(rng.uniform(-6, 6))), (1, float(rng.uniform(-0.3, 0.3))),
               (2, float(rng.uniform(0.2, 1.5))), (3, float(rng.choice([1.0, rng.uniform(0, 1)])))]
    if rng.integers(2):
        options += [(4, float(rng.uniform(0.05, 1))), (5, float(rng.uniform(0, 0.5))),
                    (6, float(rng.uniform(-1, 1)))]
    for option, value in options:
        engine.configure(option, value)
        model.configure(option, value)
    engine.finish()
    model.finish()
    return engine, model


def splits(rng, total, depth):
    sizes = []
    menu = [0, 1, 2, depth - 1, depth, depth + 1, 2 * depth + 3, 63, 64, 65, 7]
    while sum(sizes) < total:
        sizes.append(int(rng.choice(menu)) if rng.integers(3) else int(rng.integers(0, 90)))
    sizes[-1] -= sum(sizes) - total
    return sizes


def run_split(engine, data, channels, sizes):
    out, at = [], 0
    for size in sizes:
        block = s16(data[channels * at:channels * (at + size)])
        result = engine.process(block)
        assert len(result) == len(block)
        out.append(result)
        at += size
    return b"".join(out)


@pytest.mark.parametrize("oversample", FACTORS)
@pytest.mark.parametrize("channels", [1, 2])
def test_random_splits_match_one_block_and_model(oversample, channels):
    rng = np.random.default_rng(100 * oversample + channels)
    depth = 4 * (oversample.bit_length() - 1)
    frames = 160 if oversample < 16 else 90
    for case in range(3):
        engine, model = random_setup(rng, oversample, channels)
        # The same settings for the one-block engine, from the model's.
        whole = m.WaveshaperState(48000, oversample, channels)
        if model.curve is not None:
            whole.load_curve(s16(model.curve))
        for option, name in enumerate(["drive", "bias", "gain", "mix", "amount", "width", "asym"]):
            whole.configure(option, float(getattr(model, name)))
        whole.finish()
        data = [int(v) for v in rng.integers(-32768, 32768, channels * frames)]
        split = run_split(engine, data, channels, splits(rng, frames, depth))
        assert split == whole.process(s16(data)), case
        assert samples(split) == model.process(data), case
        # Both carry on from the same state.
        tail = [int(v) for v in rng.integers(-32768, 32768, channels * (depth + 5))]
        carried = engine.process(s16(tail))
        assert carried == whole.process(s16(tail))
        assert samples(carried) == model.process(tail)


@pytest.mark.parametrize("oversample", FACTORS)
def test_short_blocks_and_reset(oversample):
    # Blocks shorter than the pipeline, one frame at a time, then a reset in
    # the middle of the stream: still the model's samples.
    rng = np.random.default_rng(oversample)
    engine, model = random_setup(rng, oversample, 2)
    data = [int(v) for v in rng.integers(-32768, 32768, 2 * 40)]
    out = []
    for f in range(20):
        out += samples(engine.process(s16(data[2 * f:2 * f + 2])))
        assert engine.process(b"") == b""
    assert out == model.process(data[:40])
    engine.reset()
    model.reset()
    assert samples(engine.process(s16(data[40:]))) == model.process(data[40:])


@given(st.lists(st.integers(-32768, 32767), min_size=0, max_size=50),
       st.lists(st.integers(0, 30), min_size=1, max_size=6),
       st.sampled_from(FACTORS), st.integers(1, 2), st.floats(-8, 8, width=32), st.booleans())
def test_property_splits(data, cuts, oversample, channels, drive, backlash):
    frames = len(data) // channels
    data = data[:channels * frames]
    options = [(0, drive), (1, 0.05)] + ([(4, 0.6), (5, 0.2), (6, -0.3)] if backlash else [])

    def engine():
        e = m.WaveshaperState(48000, oversample, channels)
        e.load_curve(s16([-32768, -20000, 3000, 25000, 32767]))
        for option, value in options:
            e.configure(option, value)
        e.finish()
        return e

    sizes, left = [], frames
    for cut in cuts:
        sizes.append(min(cut, left))
        left -= sizes[-1]
    sizes.append(left)
    assert run_split(engine(), data, channels, sizes) == engine().process(s16(data))


def configured(oversample, channels, curve, options):
    engine = m.WaveshaperState(48000, oversample, channels)
    if curve is not None:
        engine.load_curve(s16(curve))
    for option, value in options:
        engine.configure(option, value)
    engine.finish()
    return engine


def pieces(frames, sizes):
    """The sizes in turn, again and again, until they cover the frames."""
    out = []
    while sum(out) < frames:
        out.append(min(sizes[len(out) % len(sizes)], frames - sum(out)))
    return out


ANY_FLOAT = st.sampled_from([math.nan, math.inf, -math.inf, -0.0]) | st.floats(-2, 2, width=32) | st.floats(width=32)


@pytest.mark.parametrize("oversample", [1, 2, 4, 8, 16])
@pytest.mark.parametrize("channels", [1, 2])
@settings(max_examples=25)
@given(st.data(), st.none() | st.lists(st.integers(-32768, 32767), min_size=2, max_size=40) |
       st.lists(st.integers(-32768, 32767), min_size=250, max_size=270),  # around the 257 points held in registers
       st.lists(st.tuples(st.integers(0, 6), ANY_FLOAT), max_size=8), st.booleans(),
       st.lists(st.integers(1, 40), min_size=1, max_size=5))
def test_lanes_match_the_plain_path(oversample, channels, data, curve, options, backlash, mixed):
    if backlash:
        options = [(4, 0.5), (5, 0.3)] + options
    frames = data.draw(st.integers(8, 90))
    values = data.draw(st.lists(st.integers(-32768, 32767), min_size=channels * frames,
                                max_size=channels * frames))
    plain = run_split(configured(oversample, channels, curve, options), values, channels, [1] * frames)
    # One block, and blocks that switch between the paths.
    assert configured(oversample, channels, curve, options).process(s16(values)) == plain
    assert run_split(configured(oversample, channels, curve, options), values, channels,
                     pieces(frames, mixed)) == plain


# Without oversampling the lanes fold the scaling's and the output's constant
# products into one each when the settings allow, and the pipeline folds the
# output's: settings at and beyond the limits of the folds (drives about
# 2^-111, subnormal gains, mixes next to 1).
FOLD_EDGES = {
    ids.Waveshaper.DRIVE: [0.0, -0.0, 2.0 ** -111, -(2.0 ** -111), 2.0 ** -112, 1.5 * 2.0 ** -111, 1.0, 2.0, -3.7, 1000.0],
    ids.Waveshaper.BIAS: [0.0, 2.0 ** -140, -0.25, 1.0],
    ids.Waveshaper.OUTPUT_GAIN: [2.0 ** -149, 2.0 ** -127, 1e-38, 0.0, -1.0, 1.0, 3.3, -1000.0],
    ids.Waveshaper.MIX: [1.0, 1.0 - 2.0 ** -24, 0.5, 2.0 ** -30, 0.0],
}


@pytest.mark.parametrize("oversample", [1, 4])
@settings(max_examples=60)
@given(st.integers(1, 2), st.none() | st.lists(st.integers(-32768, 32767), min_size=2, max_size=9),
       st.fixed_dictionaries({option: st.sampled_from(values) for option, values in FOLD_EDGES.items()}),
       st.lists(st.sampled_from([-32768, -32767, -1, 0, 1, 16383, 16384, 32767]) | st.integers(-32768, 32767),
                min_size=40, max_size=100))
def test_folded_settings_match_the_plain_path(oversample, channels, curve, options, values):
    values = values[:len(values) - len(values) % channels]
    engine, plain = (configured(oversample, channels, curve, options.items()) for _ in range(2))
    assert engine.process(s16(values)) == run_split(plain, values, channels, [1] * (len(values) // channels))


# A product taken in another order than the output's own changes an output
# only where the value falls next to a rounding boundary: long blocks of
# gains and mixes that are not powers of two, against the plain path.
@pytest.mark.parametrize("oversample", [2, 16])
def test_output_products_keep_their_order(oversample):
    rng = np.random.default_rng(oversample)
    curve = [int(v) for v in rng.integers(-32768, 32768, 200)]
    data = [int(v) for v in rng.integers(-32768, 32768, 2 * 3000)]
    for gain, mix in [(0.7, 0.3), (1.3, 0.77), (-3.3, 0.9)]:
        options = [(ids.Waveshaper.DRIVE, 1.7), (ids.Waveshaper.OUTPUT_GAIN, gain), (ids.Waveshaper.MIX, mix)]
        assert configured(oversample, 2, curve, options).process(s16(data)) == \
            run_split(configured(oversample, 2, curve, options), data, 2, [1] * 3000)


@pytest.mark.parametrize("oversample", [1, 4])
def test_curve_longer_than_float_steps(oversample):
    # Past 2^24 points the positions on the curve are floats two or more
    # points apart: the lanes still pick the plain path's segments.
    curve = np.linspace(-32768, 32767, (1 << 24) + 3).astype(np.int16)
    data = [int(v) for v in np.random.default_rng(5).integers(-32768, 32768, 2 * 40)]
    engine = m.WaveshaperState(48000, oversample, 2)
    engine.load_curve(curve)
    engine.configure(ids.Waveshaper.DRIVE, 0.9)
    whole = engine.process(s16(data))
    engine.reset()
    assert run_split(engine, data, 2, [1] * 40) == whole
    model = Model(oversample, 2)
    model.curve = curve
    model.configure(ids.Waveshaper.DRIVE, 0.9)
    assert samples(whole)[:16] == model.process(data[:16])


@pytest.mark.skipif("DIVAVOVA_TUNE_FOR" in os.environ, reason="already running under one family's tuning")
@pytest.mark.parametrize("family", ["intel", "other"])
def test_each_processor_familys_choices(family):
    # The pipeline picks its curve lookup and stage lag by processor family;
    # the suite's other tests take only this machine's.  Both must give the
    # model's and the golden bytes.
    here = os.path.dirname(os.path.abspath(__file__))
    module_path = os.pathsep.join([os.path.dirname(os.path.abspath(m.__file__)), os.environ.get("PYTHONPATH", "")])
    child = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                            os.path.join(here, "test_waveshaper_oversampled.py"), os.path.join(here, "test_golden.py")],
                           capture_output=True, text=True, env={**os.environ, "DIVAVOVA_TUNE_FOR": family, "PYTHONPATH": module_path}, cwd=here)
    assert child.returncode == 0, child.stdout[-3000:] + child.stderr[-3000:]
