import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import _divavova as m
import ids
from dynamics_model import Model
from helpers import assert_released, misaligned, s16, samples

COMPRESSOR, LIMITER, EXPANDER, GATE, TRANSIENT = range(5)
_D = ids.Dynamics
(THRESHOLD, RATIO, KNEE, MAKEUP, ATTACK, RELEASE, T_ATTACK, T_SUSTAIN, HIGHPASS, LOOKAHEAD, DETECTOR) = (
    _D.THRESHOLD_DB, _D.RATIO, _D.KNEE_DB, _D.MAKEUP_DB, _D.ATTACK_MS, _D.RELEASE_MS, _D.TRANSIENT_ATTACK_DB,
    _D.TRANSIENT_SUSTAIN_DB, _D.SIDECHAIN_HIGHPASS_HZ, _D.LOOKAHEAD_MS, _D.DETECTOR)
(FAST_ATTACK, FAST_RELEASE, SLOW_ATTACK, SLOW_RELEASE, RMS, RMS_WINDOW, FEEDBACK, LOWPASS, ORDER, LISTEN) = (
    _D.FAST_ATTACK_MS, _D.FAST_RELEASE_MS, _D.SLOW_ATTACK_MS, _D.SLOW_RELEASE_MS, _D.RMS, _D.RMS_WINDOW_MS,
    _D.FEEDBACK_DETECT, _D.SIDECHAIN_LOWPASS_HZ, _D.SIDECHAIN_FILTER_ORDER, _D.LISTEN)
(RANGE, GATE_HOLD, HYSTERESIS, KEY_RELATIVE, ADAPTIVE, DUAL, S_FAST_ATTACK, S_FAST_RELEASE, S_SLOW_ATTACK) = (
    _D.RANGE_DB, _D.GATE_HOLD_MS, _D.HYSTERESIS_DB, _D.KEY_RELATIVE, _D.ADAPTIVE_ATTACK, _D.DUAL_TRANSIENT,
    _D.SUSTAIN_FAST_ATTACK_MS, _D.SUSTAIN_FAST_RELEASE_MS, _D.SUSTAIN_SLOW_ATTACK_MS)
S_SLOW_RELEASE, HOLD, SMOOTHING, FEEDBACK_SLOPE = (
    _D.SUSTAIN_SLOW_RELEASE_MS, _D.HOLD_MS, _D.GAIN_SMOOTHING_MS, _D.FEEDBACK_SLOPE)


def engine(mode=0, sample_rate=48000, channel_count=1, options=()):
    d = m.DynamicsState(mode=mode, sample_rate=sample_rate, channel_count=channel_count)
    for option, value in options:
        d.configure(option, value)
    d.finish()
    return d


def steady(level, frames):
    return s16([level] * frames)


# ---------------------------------------------------------------------------
# Gain curves, from a steady level with an instant attack (envelope = level)

def steady_reduction(mode, level, options):
    d = engine(mode, options=[(ATTACK, 0.0)] + list(options))
    d.process(steady(level, 4))
    return d.gain_reduction_db


def test_compressor_knee_and_slope():
    # Threshold chosen so the level sits 10, 2 and -3 dB from it.
    level = 8192  # -12.04 dBFS
    level_db = 20 * math.log10(level / 32768)
    assert steady_reduction(COMPRESSOR, level, [(THRESHOLD, level_db - 10)]) == pytest.approx(-7.5, abs=1e-3)
    assert steady_reduction(COMPRESSOR, level, [(THRESHOLD, level_db - 2)]) == pytest.approx(-1.5625, abs=1e-3)
    assert steady_reduction(COMPRESSOR, level, [(THRESHOLD, level_db + 3.01)]) == 0.0
    # With feedback detection the level is the previous output; the feedback
    # slope switch makes the slope ratio - 1 instead of 1 - 1 / ratio.
    for slope_switch, expected in ((0, -5.0), (1, -10.0)):
        d = engine(COMPRESSOR, options=[(ATTACK, 0.0), (THRESHOLD, level_db - 10), (KNEE, 0), (RATIO, 2),
                                        (FEEDBACK, 1), (FEEDBACK_SLOPE, slope_switch)])
        d.process(steady(level, 2))
        assert d.gain_reduction_db == pytest.approx(expected, abs=1e-3)


def test_limiter_holds_the_threshold():
    out = samples(engine(LIMITER, options=[(ATTACK, 0.0), (THRESHOLD, -12.0)]).process(steady(20000, 8)))
    target = 32768 * 10 ** (-12 / 20)
    assert all(abs(v - target) <= 2 for v in out)


def test_expander_and_slope_gate_floors():
    assert steady_reduction(EXPANDER, 33, [(THRESHOLD, 40.0), (RATIO, 2)]) == -60.0
    assert steady_reduction(EXPANDER, 33, [(THRESHOLD, 40.0), (RATIO, 2), (RANGE, -120)]) == pytest.approx(
        -100, abs=0.1)
    level = 16384
    assert steady_reduction(GATE, level, [(THRESHOLD, -6.0206 + 2)]) == pytest.approx(-16, abs=1e-3)
    assert steady_reduction(GATE, 100, [(THRESHOLD, 0.0)]) == -80.0
    assert steady_reduction(GATE, 100, [(THRESHOLD, 0.0), (RANGE, 0.0)]) == 0.0
    assert steady_reduction(GATE, 100, [(THRESHOLD, 0.0), (RANGE, -20.0)]) == -20.0


def test_held_gate_stays_open_481_frames_after_the_level_drops():
    d = engine(GATE, options=[(ATTACK, 0.0), (GATE_HOLD, 10.0)])
    opened = samples(d.process(steady(20000, 4)))
    assert opened == [20000] * 4 and d.gain_reduction_db == 0.0
    quiet = samples(d.process(steady(1000, 600)))
    assert quiet[:481] == [1000] * 481
    assert quiet[481] == 999 and quiet[-1] < 990  # the release has begun
    # A closed gate reopens when the level reaches the threshold again.
    assert samples(d.process(steady(20000, 2))) == [20000] * 2


def test_transient_shaper_with_zero_amounts_is_unity():
    block = s16(np.random.default_rng(3).integers(-30000, 30000, 400).tolist())
    d = engine(TRANSIENT)
    assert d.process(block) == block and d.gain_reduction_db == 0.0
    # An onset is boosted by a positive attack amount.
    d = engine(TRANSIENT, options=[(T_ATTACK, 6.0)])
    d.process(steady(0, 10) + steady(10000, 4))
    assert d.gain_reduction_db > 0


# ---------------------------------------------------------------------------
# Signal path

def test_quiet_signal_passes_unchanged_with_defaults():
    rng = np.random.default_rng(1)
    block = s16(rng.integers(-1400, 1401, 2000).tolist())
    for mode in (COMPRESSOR, LIMITER):
        d = engine(mode, channel_count=2)
        assert d.process(block) == block
        assert d.gain_reduction_db == 0.0


def test_lookahead_delays_by_the_configured_frames():
    rng = np.random.default_rng(2)
    values = rng.integers(-1000, 1000, 6000).tolist()
    d = engine(channel_count=2, options=[(LOOKAHEAD, 60.0)])  # clamped to 50 ms
    out = samples(d.process(s16(values)))
    assert out == [0] * 4800 + values[:-4800]
    # A shorter look-ahead keeps the ring but delays by its own frames.
    d.configure(LOOKAHEAD, 10.0)
    d.reset()
    out = samples(d.process(s16(values)))
    assert out == [0] * 960 + values[:-960]


def test_listen_outputs_the_side_chain_at_unit_gain():
    block = s16([20000, -20000, 15000, 0] * 10)
    d = engine(LIMITER, options=[(THRESHOLD, -40.0), (LISTEN, 1)])
    assert d.process(block) == block


def test_detector_option_thresholds():
    block = s16(np.random.default_rng(4).integers(-30000, 30000, 300).tolist())
    def out(value):
        return engine(LIMITER, options=[(DETECTOR, value), (THRESHOLD, -30)]).process(block)
    assert out(0.5) == out(1.9) == out(1) != out(0) == out(-3)
    assert out(2) == out(7) != out(1)


# ---------------------------------------------------------------------------
# Exact agreement with the model, random options in every mode

OPTION_VALUES = {
    THRESHOLD: st.floats(-60, 0), RATIO: st.floats(0.5, 20), KNEE: st.floats(-2, 24),
    MAKEUP: st.floats(-12, 12), ATTACK: st.floats(-1, 30), RELEASE: st.floats(-1, 300),
    T_ATTACK: st.floats(-24, 24), T_SUSTAIN: st.floats(-24, 24), HIGHPASS: st.floats(-10, 3000),
    LOOKAHEAD: st.floats(-1, 3), DETECTOR: st.floats(-1, 3), RMS: st.floats(0, 2), RMS_WINDOW: st.floats(-1, 30),
    LOWPASS: st.floats(-10, 12000), ORDER: st.floats(0, 3), RANGE: st.floats(-90, 10), GATE_HOLD: st.floats(-1, 3),
    HYSTERESIS: st.floats(-12, 12), HOLD: st.floats(-1, 3), SMOOTHING: st.floats(-1, 10),
    **{i: st.floats(-1, 400) for i in (FAST_ATTACK, FAST_RELEASE, SLOW_ATTACK, SLOW_RELEASE,
                                       S_FAST_ATTACK, S_FAST_RELEASE, S_SLOW_ATTACK, S_SLOW_RELEASE)},
    **{i: st.sampled_from([0.0, 1.0]) for i in (FEEDBACK, LISTEN, KEY_RELATIVE, ADAPTIVE, DUAL, FEEDBACK_SLOPE)},
}


@st.composite
def scenarios(draw):
    # Each option is set with even odds, so every switch meets every mode.
    options = [(i, draw(OPTION_VALUES[i])) for i in sorted(OPTION_VALUES) if draw(st.booleans())]
    options = [(i, v) for i, v in options if i != LISTEN or draw(st.booleans())]  # listen hides the gain
    mode = draw(st.sampled_from([COMPRESSOR, LIMITER, EXPANDER, GATE, GATE, TRANSIENT, TRANSIENT, 9]))
    if mode == GATE and draw(st.booleans()):
        options.append((GATE_HOLD, draw(st.floats(0.05, 2))))
    if mode == TRANSIENT and draw(st.booleans()):
        options += [(T_ATTACK, 12.0), (T_SUSTAIN, -12.0)]
    draw(st.randoms()).shuffle(options)
    return dict(mode=mode, channels=draw(st.sampled_from([1, 2])),
                rate=draw(st.sampled_from([8000, 22050, 48000])), options=options,
                key=draw(st.booleans()), seed=draw(st.integers(0, 2**32 - 1)),
                cuts=draw(st.lists(st.integers(0, 240), max_size=4)),
                new_rate=draw(st.sampled_from([None, 16000])))


def bursts(rng, frames, channels):
    """Noise and tones under a stepped envelope, so levels cross thresholds."""
    t = np.arange(frames)
    steps = rng.choice([0.0, 0.003, 0.05, 0.3, 1.0], size=frames // 20 + 1)
    envelope = np.repeat(steps, 20)[:frames]
    tone = np.sin(t * rng.uniform(0.05, 1.5))
    sig = [(envelope * (0.7 * tone + 0.3 * rng.uniform(-1, 1, frames)) * 32767).astype(int)
           for _ in range(channels)]
    return np.stack(sig, axis=1).reshape(-1).tolist()


def check_against_model(sc, frames=240):
    n = sc["channels"]
    rng = np.random.default_rng(sc["seed"])
    signal = bursts(rng, frames, n)
    key = bursts(rng, frames, n) if sc["key"] else None
    d = m.DynamicsState(mode=sc["mode"], sample_rate=sc["rate"], channel_count=n)
    ref = Model(sc["mode"], sc["rate"], n)
    for option, value in sc["options"]:
        d.configure(option, value)
        ref.configure(option, value)
    d.finish()
    ref.finish()
    if sc["new_rate"]:
        d.set_sample_rate(sc["new_rate"])
        ref.sr = sc["new_rate"]
    cuts = sorted(set([0, frames] + sc["cuts"]))
    for a, b in zip(cuts, cuts[1:]):
        part = signal[a * n:b * n]
        key_part = key[a * n:b * n] if key else None
        got = samples(d.process(s16(part), s16(key_part) if key else None))
        assert got == ref.process(part, key_part)
        assert d.gain_reduction_db == float(ref.gr)


@given(scenarios())
def test_matches_the_model(sc):
    check_against_model(sc)


def scenario(mode, options, channels=2, rate=8000, key=False, seed=0):
    # Blocks of 5 frames, so gain_reduction_db is compared often.
    return dict(mode=mode, options=options, channels=channels, rate=rate, key=key, seed=seed,
                cuts=list(range(0, 240, 5)), new_rate=None)


FAST = [(ATTACK, 0.5), (RELEASE, 4.0)]
TRANSIENT_AMOUNTS = [(T_ATTACK, 12.0), (T_SUSTAIN, -12.0), (FAST_RELEASE, 5), (SLOW_RELEASE, 30),
                     (S_FAST_RELEASE, 5), (S_SLOW_RELEASE, 40)]


@pytest.mark.parametrize("sc", [
    scenario(TRANSIENT, TRANSIENT_AMOUNTS + [(DUAL, 1)]),
    scenario(TRANSIENT, TRANSIENT_AMOUNTS + [(DUAL, 1), (HOLD, 2.0)], seed=1),
    scenario(TRANSIENT, TRANSIENT_AMOUNTS + [(HOLD, 2.0)], channels=1, seed=2),
    scenario(GATE, [(ATTACK, 0.5), (RELEASE, 0.5), (GATE_HOLD, 1.0), (HYSTERESIS, 6.0), (RANGE, -30.0)], seed=3),
    scenario(GATE, FAST + [(GATE_HOLD, 0.5), (THRESHOLD, -40.0)], seed=4),
    scenario(COMPRESSOR, FAST + [(KEY_RELATIVE, 1), (ADAPTIVE, 1), (THRESHOLD, -6.0)], key=True, seed=5),
    scenario(COMPRESSOR, FAST + [(FEEDBACK, 1), (FEEDBACK_SLOPE, 1), (SMOOTHING, 2.0), (RATIO, 3)], seed=6),
    scenario(EXPANDER, FAST + [(RMS, 1), (DETECTOR, 2), (HIGHPASS, 200), (LOWPASS, 2000), (ORDER, 2),
                               (LOOKAHEAD, 3.0), (RATIO, 3)], seed=7),
    scenario(LIMITER, [(THRESHOLD, -40.0), (LISTEN, 1), (HIGHPASS, 1000), (ORDER, 2), (LOWPASS, 5000)], seed=9),
    scenario(LIMITER, FAST + [(DETECTOR, 1), (LOWPASS, 500), (MAKEUP, 6.0), (THRESHOLD, -20)], channels=1, seed=8),
])
def test_feature_combinations_match_the_model(sc):
    check_against_model(sc)


@given(st.lists(st.integers(0, 700), max_size=6), st.sampled_from([COMPRESSOR, GATE, TRANSIENT]),
       st.booleans())
def test_block_sizes_do_not_change_the_stream(cuts, mode, key):
    options = [(LOOKAHEAD, 1.3), (DETECTOR, 2), (GATE_HOLD, 2.0), (HOLD, 1.0), (SMOOTHING, 0.5), (RMS, 1),
               (HIGHPASS, 80), (ORDER, 2), (KEY_RELATIVE, 1), (T_ATTACK, 6), (T_SUSTAIN, -6)]
    rng = np.random.default_rng(5)
    block = s16(bursts(rng, 700, 2))
    key_block = s16(bursts(rng, 700, 2)) if key else None
    whole = engine(mode, channel_count=2, options=options).process(block, key_block)
    d = engine(mode, channel_count=2, options=options)
    cuts = sorted(set([0, 700] + cuts))
    parts = b"".join(d.process(block[4 * a:4 * b], key_block[4 * a:4 * b] if key else None)
                     for a, b in zip(cuts, cuts[1:]))
    assert parts == whole


# ---------------------------------------------------------------------------
# Protocol: messages, failures, state

WHOLE = "input must be whole 16-bit frames for the configured channel count"
SHORT_KEY = "the key must carry at least as many frames as the input"


def test_messages_and_check_order():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        m.DynamicsState(sample_rate=0, channel_count=3)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.DynamicsState(channel_count=3)
    d = m.DynamicsState()
    for option in (-1, len(ids.Dynamics), 2**31 - 1):
        with pytest.raises(ValueError, match="^unknown dynamics option$"):
            d.configure(option, 0.0)
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        d.set_sample_rate(0)
    with pytest.raises(TypeError):
        d.set_sample_rate("48000")
    with pytest.raises(ValueError, match=WHOLE):
        d.process(b"\0" * 6)
    with pytest.raises(ValueError, match=WHOLE):
        m.DynamicsState(channel_count=1).process(b"\0" * 3)
    with pytest.raises(ValueError, match=WHOLE):  # the frames check comes before the key's
        d.process(b"\0" * 6, b"")
    with pytest.raises(ValueError, match=SHORT_KEY):
        d.process(b"\0" * 8, b"\0" * 4)
    with pytest.raises(TypeError):
        d.process("text")
    with pytest.raises(TypeError):
        d.process(b"\0" * 4, 3)
    assert d.process(b"") == b"" and d.process(b"", None) == b""
    block = s16([30000, -30000] * 20)
    assert d.process(block, None) == m.DynamicsState().process(block)


def test_never_initialised_object_refuses():
    d = m.DynamicsState.__new__(m.DynamicsState)
    for call in (lambda: d.process(b""), d.finish, d.reset, lambda: d.configure(ids.Dynamics.LOOKAHEAD_MS, 10.0),
                 lambda: d.set_sample_rate(8000)):
        with pytest.raises(RuntimeError):
            call()
    assert d.gain_reduction_db == 0.0 and d.sample_rate == 0


def test_failed_calls_change_nothing():
    options = [(LOOKAHEAD, 2.0), (THRESHOLD, -30), (GATE_HOLD, 1.0)]
    block = s16(bursts(np.random.default_rng(6), 300, 2))
    whole = engine(GATE, channel_count=2, options=options).process(block)
    d = engine(GATE, channel_count=2, options=options)
    first = d.process(block[:200])  # 50 frames into a 96-frame ring
    d.configure(LOOKAHEAD, 0.5)  # 24 frames: a failing call must not rewind the ring
    with pytest.raises(ValueError):
        d.process(block[200:600], block[:10])
    with pytest.raises(ValueError):
        d.process(block[200:202])
    with pytest.raises(ValueError):
        d.__init__(sample_rate=0)
    d.configure(LOOKAHEAD, 2.0)
    assert first + d.process(block[200:]) == whole


def test_reinit_and_reset_give_a_fresh_engine():
    block = s16(bursts(np.random.default_rng(7), 400, 2))
    fresh = engine(COMPRESSOR, channel_count=2, options=[(LOOKAHEAD, 1.0)]).process(block)
    d = engine(TRANSIENT, sample_rate=8000, channel_count=1, options=[(LOOKAHEAD, 5.0), (T_ATTACK, 10)])
    d.process(block)
    d.__init__(mode=COMPRESSOR, channel_count=2)
    assert d.sample_rate == 48000 and d.gain_reduction_db == 0.0
    d.configure(LOOKAHEAD, 1.0)
    d.finish()
    assert d.process(block) == fresh
    d.reset()
    assert d.gain_reduction_db == 0.0 and d.process(block) == fresh


def test_extreme_option_values_stay_defined():
    block = s16(bursts(np.random.default_rng(8), 200, 2))
    for value in (math.nan, math.inf, -math.inf, 1e30, -1e30, 1e300):
        for mode in (COMPRESSOR, EXPANDER, GATE, TRANSIENT):
            d = m.DynamicsState(mode=mode)
            for option in ids.Dynamics:
                d.configure(option, value)
            d.finish()
            assert len(d.process(block, block)) == len(block)
            d.gain_reduction_db  # noqa: B018  (any float, NaN included)
    d = engine(options=[(LOOKAHEAD, math.inf)])
    assert len(d.process(block)) == len(block)  # 50 ms ring
    # A NaN time is instant and leaves no NaN behind in the envelope.
    d = engine(channel_count=2, options=[(ATTACK, math.nan), (RELEASE, math.nan)])
    d.process(block)
    assert d.gain_reduction_db < 0
    d.configure(ATTACK, 10.0)
    d.configure(RELEASE, 120.0)
    d.process(block)
    assert not math.isnan(d.gain_reduction_db)


def test_buffers_are_released_and_misaligned_input_works():
    block = bytearray(s16(bursts(np.random.default_rng(9), 100, 2)))
    key = bytearray(block)
    d = engine(channel_count=2, options=[(THRESHOLD, -40)])
    expected = engine(channel_count=2, options=[(THRESHOLD, -40)]).process(bytes(block), bytes(key))
    assert d.process(misaligned(block), misaligned(key)) == expected
    assert_released(block)
    assert_released(key)
    with pytest.raises(ValueError):
        d.process(block, key[:4])
    with pytest.raises(ValueError):
        d.process(block[:2], key)
    assert_released(block)
    assert_released(key)
