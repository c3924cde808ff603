"""LadderState's stereo lanes and its scalar step against the float32 model, across every way
the feedback solve can go: the usual one-pass fixed point, both channels on a direct branch,
channels that disagree, solves that need further passes, loud and quiet inputs, silence tails
into subnormal states, and blocks of any size against one block."""

import warnings

import numpy as np
from hypothesis import given, strategies as st

import _divavova as m
import ids
from f32_reference import F, clamp
from helpers import s16
from test_filter_engines import LadderModel


def lane_case(model, j, u):
    """How the feedback of channel j resolves for input u, before the model's step moves it."""
    P, L = model.prediction(j, u)
    if P - L >= 1:
        return "above"
    if P + L <= -1:
        return "below"
    linear = P * model.div
    c0 = clamp(F(2) * model.y[j] - model.y_prev[j], F(-1), F(1))
    r1 = c0 * c0 * c0 * model.cubic + linear
    c1 = clamp(r1, F(-1), F(1))
    r2 = c1 * c1 * c1 * model.cubic + linear
    usual = r2.view(np.uint32) == r1.view(np.uint32) and -1 <= r1 <= 1
    return "usual" if usual else "more passes"


class RecordingLadder(LadderModel):
    """The model, noting the case of every step: cases[-1] is the latest."""

    def __init__(self, *args):
        super().__init__(*args)
        self.cases = []

    def step(self, j, u):
        self.cases.append((j, lane_case(self, j, u)))
        return super().step(j, u)


def stereo_cases(cases, oversample):
    """The branches of the stereo step, which takes both channels' steps of a (sub)sample at once."""
    out = set()
    per = oversample
    solving = {"usual", "more passes"}
    for i in range(0, len(cases) - 2 * per + 1, 2 * per):
        left = [c for _, c in cases[i:i + per]]
        right = [c for _, c in cases[i + per:i + 2 * per]]
        for a, b in zip(left, right):
            if a == b and a != "more passes":
                out.add(a)
            elif a in solving and b in solving:
                out.add("solve further")
            else:
                out.add("mixed")
    return out


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


# Settings and signals that between them drive the stereo step through each of its cases.
CUTOFF_HZ, RESONANCE, DRIVE, OVERSAMPLE = (ids.Ladder.CUTOFF_HZ, ids.Ladder.RESONANCE, ids.Ladder.DRIVE,
                                          ids.Ladder.OVERSAMPLE)
CASES = [
    ([(RESONANCE, 2.0)], "noise", 8000.0, {"usual"}),
    ([(CUTOFF_HZ, 5000.0), (RESONANCE, 4.2), (DRIVE, 64.0)], "same", 20000.0, {"above", "below", "solve further"}),
    ([(CUTOFF_HZ, 5000.0), (RESONANCE, 4.2), (DRIVE, 64.0)], "noise", 20000.0, {"mixed"}),
    ([(CUTOFF_HZ, 20000.0), (RESONANCE, 4.2), (DRIVE, 4.0), (OVERSAMPLE, 1.0)], "apart", 30000.0,
     {"mixed", "solve further"}),
]


def test_every_case_of_the_stereo_step_is_reached_and_exact():
    for settings, kind, level, wanted in CASES:
        data = signal(kind, 300, 2, 1, level)
        model = configured(RecordingLadder(48000, 2), settings)
        lad = configured(m.LadderState(48000, 2), settings)
        assert blocks(lad, data, 4, [7, 8, 100, 256]) == model.process(data)
        assert wanted <= stereo_cases(model.cases, model.oversample), (settings, kind)


def test_every_case_of_the_mono_step_is_reached_and_exact():
    seen = set()
    for settings, kind, level, _ in CASES:
        data = signal(kind, 300, 1, 1, level)
        model = configured(RecordingLadder(48000, 1), settings)
        lad = configured(m.LadderState(48000, 1), settings)
        assert blocks(lad, data, 2, [7, 8, 100, 256]) == model.process(data)
        seen |= {case for _, case in model.cases}
    assert seen == {"usual", "above", "below", "more passes"}
