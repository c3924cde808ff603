"""LadderState's stereo lanes and its scalar step against the float32 model, across every way
the feedback solve can go: the usual one-pass fixed point, both channels on a direct branch,
channels that disagree, solves that need further passes, loud and quiet inputs, silence tails
into subnormal states, and blocks of any size against one block."""

import itertools
import warnings

import numpy as np
from hypothesis import given, strategies as st

import _divavova as m
import ids
from f32_reference import F
from helpers import s16
from test_filter_engines import LadderModel


def signal(kind, frames, channels, seed, level):
    rng = np.random.default_rng(seed)
    if kind == "noise":
        x = rng.standard_normal((frames, channels)) * level
    elif kind == "same":          # both channels alike: they take their direct branches together
        x = np.repeat(rng.standard_normal((frames, 1)) * level, channels, axis=1)
    elif kind == "sine":
        t = np.arange(frames)[:, None]
        x = np.sin(2 * np.pi * t * (0.01 + 0.05 * np.arange(channels)) + rng.uniform(0, 6)) * level
    else:                          # one loud channel beside a quiet one
        x = rng.standard_normal((frames, channels)) * np.array([level, 40.0][:channels])
    if seed % 3 == 0:              # a silence tail: the states decay towards subnormals
        x[frames // 2:] = 0
    return s16(np.clip(np.rint(x), -32768, 32767).astype(int).ravel().tolist())


def configured(engine, options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for option, value in options:
            engine.configure(option, value)
    return engine


def blocks(engine, data, frame, cuts):
    bounds = sorted({0, len(data) // frame, *[c for c in cuts if c < len(data) // frame]})
    return b"".join(engine.process(data[a * frame:b * frame]) for a, b in zip(bounds, bounds[1:]))


options_strategy = st.fixed_dictionaries({
    ids.Ladder.CUTOFF_HZ: st.one_of(st.floats(1, 30000, width=32), st.sampled_from([0.0, 50000.0, float("inf")])),
    ids.Ladder.RESONANCE: st.floats(-1, 5, width=32),
    ids.Ladder.DRIVE: st.one_of(st.floats(0, 2, width=32), st.floats(2, 64, width=32)),
    ids.Ladder.POLES: st.integers(1, 4),
    ids.Ladder.COMPENSATION: st.floats(0, 1, width=32),
    ids.Ladder.OVERSAMPLE: st.sampled_from([1.0, 2.0]),
    ids.Ladder.MIX: st.one_of(st.just(1.0), st.floats(0, 1, width=32)),
})


@given(options=options_strategy, channels=st.sampled_from([1, 2]),
       kind=st.sampled_from(["noise", "same", "sine", "apart"]), level=st.sampled_from([30.0, 3000.0, 30000.0]),
       rate=st.sampled_from([8000, 44100, 48000, 192000]), seed=st.integers(0, 1000),
       cuts=st.lists(st.integers(0, 150), max_size=4))
def test_any_settings_and_blocks_match_the_model_and_one_block(options, channels, kind, level, rate, seed, cuts):
    settings = list(options.items())
    data = signal(kind, 150, channels, seed, level)
    model = configured(LadderModel(rate, channels), settings)
    whole = configured(m.LadderState(rate, channels), settings).process(data)
    assert whole == model.process(data)
    assert blocks(configured(m.LadderState(rate, channels), settings), data, 2 * channels, cuts) == whole


# From reset every state is 0, so the first step's prediction is P = u G and the solve starts
# from r = 0: its first pass gives r1 = P / (kG + 1), and every later pass adds cubic factor
# x r^3.  With these settings each of these samples puts that first step in a case read off
# those formulas with a wide margin; the frames after it run on from there.
CUTOFF_HZ, RESONANCE, DRIVE, OVERSAMPLE = (ids.Ladder.CUTOFF_HZ, ids.Ladder.RESONANCE, ids.Ladder.DRIVE,
                                          ids.Ladder.OVERSAMPLE)
SETTINGS = [(CUTOFF_HZ, 20000.0), (RESONANCE, 1.0), (DRIVE, 8.0), (OVERSAMPLE, 1.0)]
SAMPLES = {"settled at once": 1, "solved in passes": 1000, "above": 30000, "below": -30000}


def first_step_case(model, sample):
    """The case of the first step after reset for one sample, or None where it is near a boundary."""
    u = F(sample) * F(2.0 ** -15) * model.drive
    P, L = model.prediction(0, u)
    r1 = P * model.div
    moved = abs(model.cubic * r1 * r1 * r1)  # what the second pass adds to r1
    half_step = np.spacing(abs(r1)) / 2        # below this the sum rounds back to r1
    if P - L >= 1.25:
        return "above"
    if P + L <= -1.25:
        return "below"
    if abs(P) + L < 0.75 and moved < half_step / 4:
        return "settled at once"
    if abs(P) + L < 0.75 and moved > 4 * half_step:
        return "solved in passes"
    return None


def test_the_samples_put_the_first_step_in_their_cases():
    model = configured(LadderModel(48000, 1), SETTINGS)
    assert {case: first_step_case(model, sample) for case, sample in SAMPLES.items()} == {c: c for c in SAMPLES}


def test_every_case_of_the_stereo_step_is_reached_and_exact():
    # Every pair of cases side by side: both channels alike, both solving, one direct beside one
    # solving, above beside below.
    for left, right in itertools.product(SAMPLES.values(), repeat=2):
        data = s16([left, right] * 40)
        lad = configured(m.LadderState(48000, 2), SETTINGS)
        assert blocks(lad, data, 4, [1, 7, 8]) == configured(LadderModel(48000, 2), SETTINGS).process(data)


def test_every_case_of_the_mono_step_is_reached_and_exact():
    for sample in SAMPLES.values():
        data = s16([sample] * 40)
        lad = configured(m.LadderState(48000, 1), SETTINGS)
        assert blocks(lad, data, 2, [1, 7, 8]) == configured(LadderModel(48000, 1), SETTINGS).process(data)
