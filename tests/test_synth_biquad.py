import array

import numpy as np
import pytest
from hypothesis import given, strategies as st

import _divavova as m
import synth_model as model
from helpers import assert_released, i32, misaligned, s16, samples

LOWPASS = (0, 1000.0, 0.7071, 1.0, 48000)


def test_worked_coefficient_sets():
    expected = {
        0: (-59484, 27231, 129, 257, 129),
        1: (-59484, 27231, 29871, -59742, 29871),
        2: (-59484, 27231, 2768, 0, -2768),
        3: (-59484, 27231, 30000, -59484, 30000),
        4: (-62108, 29877, 37104, -62108, 25542),
        5: (-61250, 28746, 34977, -60853, 26934),
        6: (-57010, 25233, 122794, -229526, 107723),
    }
    # a probe on which every one-unit change of any coefficient shows
    probe = [(i * 7919) % 60001 - 30000 for i in range(64)] + [30000] * 100
    for mode, coefficients in expected.items():
        gain = 1.0 if mode in (0, 3) else 2.0
        assert model.biquad_design(mode, 1000.0, 0.7071, gain, 48000) == coefficients
        got = m.BiquadState().process_i32(i32(probe), mode, 1000.0, 0.7071, gain, 48000)
        assert samples(got, "i") == model.biquad_filter(coefficients, [0, 0, 0, 0], probe)


def test_impulse_response_and_history():
    bq = m.BiquadState()
    impulse = [32767] + [0] * 7
    assert samples(bq.process_i32(i32(impulse), *LOWPASS), "i") == [129, 491, 913, 1249, 1509, 1701, 1834, 1916]
    # the history now holds x1 = x2 = 0, y1 1916, y2 1834
    c = model.biquad_design(*LOWPASS)
    expect = model.biquad_filter(c, [0, 0, 1916, 1834], [0, 0, 0])
    assert samples(bq.process_i32(i32([0, 0, 0]), *LOWPASS), "i") == expect
    bq.reset()
    assert samples(bq.process_i32(i32(impulse[:2]), *LOWPASS), "i") == [129, 491]
    bq.__init__()
    assert samples(bq.process_i32(i32(impulse[:1]), *LOWPASS), "i") == [129]


SETTINGS = st.tuples(st.integers(0, 6), st.floats(20.0, 12000.0), st.floats(0.3, 8.0), st.floats(0.25, 4.0),
                     st.sampled_from([22050, 44100, 48000, 96000]))


@given(SETTINGS, st.lists(st.one_of(st.integers(-32768, 32767), st.integers(-2**31, 2**31 - 1)), max_size=40),
       st.lists(st.integers(0, 40), min_size=1, max_size=4))
def test_process_i32_against_model_in_blocks(settings, signal, sizes):
    c = model.biquad_design(*settings)
    history = [0, 0, 0, 0]
    bq = m.BiquadState()
    at = 0
    for n in sizes:
        block = signal[at:at + n]
        at += n
        assert samples(bq.process_i32(i32(block), *settings), "i") == model.biquad_filter(c, history, block)


# mixes beyond about +-4.5 make the knee's 32-bit product wrap; its stored low bits stay right
@given(SETTINGS, st.lists(st.integers(-32768, 32767), max_size=40), st.one_of(st.floats(0.0, 1.0), st.floats(-60.0, 60.0)),
       st.sampled_from([1, 2]))
def test_process_s16_against_model(settings, signal, mix, channels):
    signal = signal[:len(signal) - len(signal) % channels]
    c = model.biquad_design(*settings)
    wet = [0] * len(signal)
    histories = [[0, 0, 0, 0], [0, 0, 0, 0]]
    bq = m.BiquadState()
    for _ in range(2):  # the second call continues each channel's history
        for ch in range(channels):
            wet[ch::channels] = model.biquad_filter(c, histories[ch], signal[ch::channels])
        got = samples(bq.process_s16(s16(signal), *settings, mix, channels))
        assert got == model.biquad_blend(signal, wet, mix)


def test_stereo_then_mono_continues_channel_zero():
    left, right = [30000, -12000, 500, 7], [-32768, 32767, 0, 0]
    stereo = [v for pair in zip(left, right) for v in pair]
    a, b = m.BiquadState(), m.BiquadState()
    a.process_s16(s16(stereo), *LOWPASS, 1.0, 2)
    b.process_s16(s16(left), *LOWPASS, 1.0, 1)
    assert a.process_i32(i32([1000, 2000]), *LOWPASS) == b.process_i32(i32([1000, 2000]), *LOWPASS)
    # empty input changes nothing
    assert a.process_s16(b"", *LOWPASS, 0.5, 2) == b"" and a.process_i32(b"", *LOWPASS) == b""
    assert a.process_i32(i32([5]), *LOWPASS) == b.process_i32(i32([5]), *LOWPASS)


def test_knee_on_dry_output():
    bq = m.BiquadState()
    assert samples(bq.process_s16(s16([20000, 32767, -32768]), *LOWPASS, 0.0, 1)) == [20000, 28520, -28521]


def test_matches_float_lfilter_within_the_rounding_bound():
    from scipy.signal import lfilter

    rng = np.random.default_rng(7)
    signal = (rng.standard_normal(2000) * 2000).astype(np.int64)
    impulse = np.zeros(2000)
    impulse[0] = 1.0
    for settings in [LOWPASS, (1, 3000.0, 0.9, 1.0, 44100), (4, 2000.0, 1.5, 2.0, 48000),
                     (5, 300.0, 0.7, 1.5, 48000)]:
        a1, a2, b0, b1, b2 = model.biquad_design(*settings)
        denominator = np.array([32768, a1, a2]) / 32768
        ref = lfilter(np.array([b0, b1, b2]) / 32768, denominator, signal)
        got = np.array(samples(m.BiquadState().process_i32(i32(signal.tolist()), *settings), "i"))
        # each output's rounding (+16384, truncation toward zero) errs by under 1.5 and the
        # error recirculates through the poles only
        bound = 1.5 * np.sum(np.abs(lfilter([1.0], denominator, impulse)))
        assert np.max(np.abs(got - ref)) <= bound
        assert np.max(np.abs(ref)) > 1000


def test_checks_and_views():
    bq = m.BiquadState()
    bad = [(b"\0" * 6, 0, 1.0, 1.0, 1.0, 48000), (b"", 7, 1.0, 1.0, 1.0, 48000), (b"", -1, 1.0, 1.0, 1.0, 48000),
           (b"", 0, 1.0, 1.0, 1.0, 0)]
    for args in bad:
        with pytest.raises(ValueError, match="^invalid biquad parameters$"):
            bq.process_i32(*args)
    for args in [(b"\0" * 3, 0, 1000.0, 1.0, 1.0, 48000, 0.5, 1), (b"", 7, 1000.0, 1.0, 1.0, 48000, 0.5, 1),
                 (b"", 0, 1000.0, 1.0, 1.0, 0, 0.5, 1), (b"", 0, 1000.0, 1.0, 1.0, 48000, 0.5, 3),
                 (s16([1, 2, 3]), 0, 1000.0, 1.0, 1.0, 48000, 0.5, 2)]:
        with pytest.raises(ValueError, match="^invalid biquad parameters$"):
            bq.process_s16(*args)
    with pytest.raises(TypeError):
        m.BiquadState(1)
    m.BiquadState(anything=1)  # keywords are not examined
    buf = bytearray(s16([100, 200]))
    bq.process_s16(buf, *LOWPASS, 0.5, 2)
    assert_released(buf)
    with pytest.raises(ValueError):
        bq.process_s16(buf, *LOWPASS, 0.5, 3)
    assert_released(buf)
    bq.process_i32(buf, *LOWPASS)
    assert_released(buf)
    fresh = m.BiquadState()
    assert fresh.process_i32(misaligned(i32([32767])), *LOWPASS) == i32([129])
    assert fresh.process_s16(misaligned(s16([3, 4])), *LOWPASS, 0.0, 1) == s16([3, 4])
    # unguarded designs (zero q, non-positive gains, NaN) still give defined output
    for mode, q, gain in [(0, 0.0, 1.0), (4, 1.0, 0.0), (5, 1.0, -1.0), (6, float("nan"), 1.0)]:
        assert len(fresh.process_i32(i32([1000, -1000, 5]), mode, 1000.0, q, gain, 48000)) == 12
    assert len(fresh.process_s16(s16([1000]), 0, 1000.0, 1.0, 1.0, 48000, float("nan"), 1)) == 2


@given(SETTINGS, st.sampled_from([1, 2]), st.floats(0.0, 1.0), st.integers(0, 2**32 - 1),
       st.lists(st.integers(0, 700), min_size=1, max_size=3), st.sampled_from([300.0, 8000.0, 40000.0]))
def test_long_blocks_clipping_and_splits_against_model(settings, channels, mix, seed, frames, level):
    # blocks longer than the loop's chunks, cut anywhere, loud enough to clamp
    rng = np.random.default_rng(seed)
    resonant = settings[:2] + (min(settings[2] * 4, 30.0),) + settings[3:]
    c = model.biquad_design(*resonant)
    histories = [[0, 0, 0, 0], [0, 0, 0, 0]]
    bq = m.BiquadState()
    for n in frames:
        dry = np.clip(rng.standard_normal(n * channels) * level, -32768, 32767).astype(int).tolist()
        wet = [0] * len(dry)
        for ch in range(channels):
            wet[ch::channels] = model.biquad_filter(c, histories[ch], dry[ch::channels])
        got = samples(bq.process_s16(s16(dry), *resonant, mix, channels))
        assert got == model.biquad_blend(dry, wet, mix)
    voice = rng.integers(-2**31, 2**31, 600).tolist()
    assert samples(bq.process_i32(i32(voice), *resonant), "i") == model.biquad_filter(c, histories[0], voice)
