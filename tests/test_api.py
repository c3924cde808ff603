"""The effect classes: numpy audio in and out, streams that never depend on
the block size, options, latency, tails and Chain."""

import functools
import os
import shutil
import subprocess
import sys
import sysconfig

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from api_material import ROOT, music, stream

import divavova as dv  # noqa: E402  (api_material puts the package on the path)
from divavova._convert import INT16

RATE = 48000
# Settings that keep every modulated and long-memory path busy on a short input.
BUSY = {
    "chorus": dict(rate_hz=6.0, depth_ms=4.0, delay_ms=6.0, feedback=0.5, voices=3),
    "phaser": dict(rate_hz=7.0, feedback=0.7, low_hz=100.0, high_hz=8000.0),
    "delay": dict(delay_ms=3.0, wow_rate_hz=9.0, wow_depth_ms=1.5, feedback=0.6, mix=0.5, pitch_semitones=3.0,
                  level_modulation=0.5, lowpass_hz=3000.0),
    "tank": dict(modulation_depth_ms=1.0, modulation_rate_hz=3.0, predelay_ms=5.0, mix=0.5),
    "convolver": dict(decay_s=0.1, predelay_ms=2.0, mix=0.7),
    "compressor": dict(lookahead_ms=2.0, threshold_db=-30.0),
    "gate": dict(threshold_db=-20.0, hold_ms=2.0),
    "echo": dict(delay_ms=2.0, feedback=0.7),
    "multitap": dict(delay_ms=5.0, feedback=0.6),
    "pitchshift": dict(window_ms=10.0),
    "modal": dict(decay_s=0.2),
    "samplehold": dict(hold_rate_hz=7000.0),
}
STREAMING = sorted(name for name, cls in dv.EFFECTS.items() if cls.STREAMS)
INPUT = dv.to_int16(music(0.07, RATE))          # 3360 frames


def make(name):
    return dv.EFFECTS[name](**BUSY.get(name, {}))


@functools.lru_cache(maxsize=None)
def whole(name, channels):
    return make(name).process(INPUT[:, :channels].copy(), RATE).tobytes()


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("name", STREAMING)
@settings(max_examples=6, deadline=None)
@given(sizes=st.lists(st.integers(1, 900), min_size=1, max_size=12))
@example(sizes=[1])
@example(sizes=[37])
@example(sizes=[256])
@example(sizes=[4096])
def test_streams_do_not_depend_on_the_blocks(name, channels, sizes):
    audio = INPUT[:, :channels].copy()
    assert stream(make(name), audio, RATE, sizes).tobytes() == whole(name, channels)


@settings(max_examples=5, deadline=None)
@given(sizes=st.lists(st.integers(1, 5000), min_size=1, max_size=6))
@example(sizes=[1])
def test_a_dithered_float_chain_streams_alike(sizes):
    def chain():
        return dv.Chain([dv.Gain(gain_db=-3.0), dv.Phaser(), dv.Convolver(decay_s=0.1)])
    audio = music(0.25, RATE).astype(np.float32)
    assert np.array_equal(stream(chain(), audio, RATE, sizes, dither=True),
                          chain().process(audio, RATE, dither=True))


LAYOUTS = {"mono": lambda x: x[:, 0].copy(), "mono 2-d": lambda x: x[:, :1].copy(), "stereo": lambda x: x.copy(),
           "strided": lambda x: x[::2], "channel view": lambda x: x[:, 1], "fortran": np.asfortranarray}


@settings(max_examples=40, deadline=None)
@given(dtype=st.sampled_from(["int16", "float32", "float64"]), layout=st.sampled_from(sorted(LAYOUTS)),
       frames=st.integers(0, 600), seed=st.integers(0, 2 ** 16), read_only=st.booleans())
def test_arrays_come_back_in_their_dtype_and_shape(dtype, layout, frames, seed, read_only):
    rng = np.random.default_rng(seed)
    floats = rng.uniform(-1.3, 1.3, (frames, 2))
    floats[rng.random((frames, 2)) < 0.02] = np.nan
    source = (np.nan_to_num(floats) * 32767).clip(-32768, 32767).astype(np.int16) if dtype == "int16" else \
        floats.astype(dtype)
    audio = LAYOUTS[layout](source)
    audio.flags.writeable = not read_only
    out = dv.Gain()(audio, RATE)     # 0 dB: exactly the 16-bit quantization of the input
    assert out.dtype == audio.dtype and out.shape == audio.shape
    expected = np.clip(np.rint(np.nan_to_num(audio.astype(np.float64)) * (1 if dtype == "int16" else 32768)),
                       -32768, 32767)
    assert np.array_equal(out.astype(np.float64) * (1 if dtype == "int16" else 32768), expected)


def test_other_arrays_are_refused_with_the_layout_named():
    with pytest.raises(TypeError, match="int16, float32 or float64"):
        dv.Gain()(np.zeros(100, np.int32), RATE)
    with pytest.raises(ValueError, match=r"\(frames, channels\).*audio\.T"):
        dv.Chorus()(np.zeros((2, 4800), np.float32), RATE)
    with pytest.raises(ValueError, match="3 channels"):
        dv.Gain()(np.zeros((100, 3)), RATE)
    with pytest.raises(TypeError, match="whole number of hertz"):
        dv.Gain()(np.zeros(10), 44100.5)


def test_dither_is_triangular_and_opt_in():
    quiet = np.full(200000, 0.3 / 32768, np.float64)     # 0.3 LSB: rounds to 0 without dither
    assert not dv.Gain()(quiet, RATE).any()
    dithered = dv.Gain()(quiet, RATE, dither=True) * 32768
    assert set(np.unique(dithered)) <= {-1.0, 0.0, 1.0}
    assert abs(dithered.mean() - 0.3) < 0.01                # TPDF keeps the mean
    assert np.array_equal(dithered, dv.Gain()(quiet, RATE, dither=True) * 32768)   # fresh state, same noise


# --- latency and tails -----------------------------------------------------------

def impulse(frames, at, channels=2, level=8000):
    audio = np.zeros((frames, channels), np.int16)
    audio[at] = level
    return audio


@pytest.mark.parametrize("effect, latency", [
    (dv.Limiter(), 6),                                   # look-ahead of the true-peak detector
    (dv.Compressor(lookahead_ms=1.5), 72),               # look-ahead in milliseconds
    (dv.Convolver(mix=0.0), 256),                        # the convolver's block
    (dv.Chain([dv.Limiter(), dv.Chain([dv.Convolver(mix=0.0)]), dv.Compressor(lookahead_ms=1.0)]), 6 + 256 + 48),
])
def test_whole_signals_come_back_aligned_and_streams_show_the_latency(effect, latency):
    audio = impulse(2000, 700)
    aligned = effect(audio, RATE)
    assert effect.latency_frames == latency
    assert np.array_equal(aligned, audio)     # the impulse passes these settings unchanged
    streamed = effect.process(audio, RATE, reset=True)
    assert np.array_equal(streamed[latency:], audio[:-latency]) and not streamed[:latency].any()
    assert np.array_equal(effect.flush()[:latency], audio[-latency:])


def test_tails_are_asked_for_with_tail_s_or_flush():
    reverb = dv.PlateReverb(mix=0.5)
    audio = impulse(4800, 0)
    out = reverb(audio, RATE, tail_s=1.0)
    assert len(out) == 4800 + RATE and np.abs(out[-RATE // 2:]).max() > 0     # still ringing
    full = reverb(audio, RATE, tail_s=None)
    assert len(full) == 4800 + reverb.tail_frames
    assert np.array_equal(full[:len(out)], out)
    reverb.process(audio, RATE, reset=True)
    rest = reverb.flush()
    assert np.array_equal(np.concatenate([reverb.process(audio, RATE, reset=True), reverb.flush()]),
                          full) and len(rest) == reverb.tail_frames
    assert np.abs(full[-RATE // 10:]).max() <= 2     # decayed by 60 dB (and to the last bits)


# --- options -------------------------------------------------------------------

def test_options_are_checked_attributes_that_keep_the_state():
    delay = dv.Delay(delay_ms=10.0, feedback=0.5, mix=0.25)
    first = delay.process(impulse(960, 0), RATE)
    delay.mix = 1.0                                  # applies at the next call, the echoes go on
    second = delay.process(np.zeros((960, 2), np.int16), RATE)
    assert first[480, 0] == 4000 and second[0, 0] == 4000 and second[480, 0] == 2000   # wet 0.5, then 1
    assert "mix=1.0" in repr(delay) and "delay_ms=10.0" in repr(delay)
    with pytest.raises(TypeError, match="whole number"):
        dv.AllPass(stages=4.5)
    with pytest.raises(TypeError, match="no option 'treshold_db'"):
        dv.Compressor(treshold_db=-20)
    with pytest.raises(AttributeError, match="no option"):
        dv.Compressor().treshold_db = -20
    with pytest.raises(ValueError, match="outside -96 .. 0 dB"):
        dv.Limiter(threshold_db=3)
    assert dv.Biquad(type=4).type == "peak" and dv.Biquad(type="HighShelf").type == "highshelf"
    with pytest.raises(ValueError, match="lowpass, highpass"):
        dv.Biquad(type="lowpas")
    info = dv.Phaser.OPTIONS["stages"]
    assert info.parse("8") == 8 and dv.Limiter.OPTIONS["true_peak"].parse("off") is False
    for text in ("4.5", "x", "99"):
        with pytest.raises(ValueError, match="option stages"):
            info.parse(text)


def test_frequencies_are_checked_against_the_rate():
    with pytest.raises(ValueError, match="below half the sample rate .500 Hz at 1000 Hz"):
        dv.LowPass(frequency_hz=1000)(np.zeros(100), 1000)
    shelf = dv.HighShelf(frequency_hz=3000)
    shelf(np.zeros(100), 8000)
    with pytest.raises(ValueError, match="half the sample rate"):
        shelf.frequency_hz = 5000                     # prepared for 8 kHz: refused at once
    assert shelf.frequency_hz == 3000
    assert dv.SynthBiquad.OPTIONS["frequency_hz"].below_rate == 0.25


def test_mono_streams_refuse_the_routing_options():
    for option in ("input_routing", "cross_feedback"):
        with pytest.raises(ValueError, match="mono"):
            dv.Delay(**{option: 0.5})(np.zeros(100), RATE)


@pytest.mark.parametrize("shape", dv.distortion.SHAPES)
def test_drive_changes_every_distortion_shape(shape):
    audio = music(0.05, RATE)
    outputs = {dv.Distortion(shape=shape, drive=drive)(audio, RATE).tobytes() for drive in (0.0, 0.5, 1.0)}
    assert len(outputs) == 3


def test_help_lists_every_option_with_unit_range_and_default():
    for cls in dv.EFFECTS.values():
        for info in cls.OPTIONS.values():
            assert info.describe() in cls.__doc__
        assert "process(audio, sample_rate" in cls.__doc__
    assert "threshold_db: -96 .. 0 dB, default -1" in dv.Limiter.__doc__
    assert "0.5 gives both at full level" in dv.PlateReverb.OPTIONS["mix"].help


def test_every_command_line_name_has_a_class():
    assert len(dv.EFFECTS) == 35 and {"compressor", "chorus", "freeverb", "tank", "gain", "tostereo"} <= set(
        dv.EFFECTS)
    assert all(cls.NAME == name for name, cls in dv.EFFECTS.items())


# --- chains and utilities --------------------------------------------------------

def test_a_chain_is_a_list_of_effects_and_an_effect():
    audio = music(0.2, RATE)
    compressor, delay, plate = dv.Compressor(), dv.Delay(), dv.PlateReverb()
    chain = dv.Chain([compressor, plate])
    chain.insert(1, delay)
    assert list(chain) == [compressor, delay, plate] and chain[-1] is plate and chain[:1] == [compressor]
    nested = dv.Chain([dv.Compressor(), dv.Chain([dv.Delay(), dv.Chain([dv.PlateReverb()])])])
    assert np.array_equal(chain(audio, RATE), nested(audio, RATE))
    manual = dv.PlateReverb()(dv.Delay()(dv.Compressor()(audio, RATE), RATE), RATE)
    assert np.allclose(chain(audio, RATE), manual, atol=1 / 32768)   # chains quantize once, at the ends
    with pytest.raises(ValueError, match="already in this chain"):
        chain.append(delay)
    with pytest.raises(ValueError, match="already in this chain"):
        chain.append(chain)
    chain.remove(delay)
    assert len(chain) == 2
    chain.append(dv.ToMono())
    assert chain(audio, RATE).shape == (len(audio), 1)


def test_a_member_changed_mid_stream_takes_effect_in_the_chain():
    blocks = np.array_split(dv.to_int16(music(0.2, RATE)), 3)
    chain, alone = dv.Chain([dv.Compressor(), dv.Delay()]), [dv.Compressor(), dv.Delay()]
    streamed, expected = [], []
    for index, block in enumerate(blocks):
        if index == 1:
            chain[0].threshold_db = alone[0].threshold_db = -40.0
            chain[1].feedback = alone[1].feedback = 0.7
        streamed.append(chain.process(block, RATE))
        expected.append(alone[1].process(alone[0].process(block, RATE), RATE))
    assert np.array_equal(np.concatenate(streamed), np.concatenate(expected))


def test_normalize_and_the_channel_utilities():
    audio = music(0.2, RATE) * 0.1
    normalized = dv.Normalize(peak_db=-3.0)(audio, RATE)
    assert abs(20 * np.log10(np.abs(normalized).max()) + 3.0) < 0.01
    with pytest.raises(TypeError, match="whole signals only"):
        dv.Normalize().process(audio, RATE)
    with pytest.raises(TypeError, match="whole signals only"):
        dv.Chain([dv.Gain(), dv.Normalize()]).process(audio, RATE)
    assert dv.Chain([dv.Gain(), dv.Normalize(peak_db=-3.0)])(audio, RATE).shape == audio.shape
    samples = dv.to_int16(audio)
    mono = dv.ToMono()(samples, RATE)
    assert mono.shape == (len(audio), 1)
    assert np.array_equal(mono[:, 0], ((samples[:, 0].astype(int) + samples[:, 1]) / 2).astype(np.int16))
    assert np.array_equal(dv.ToStereo()(samples[:, 0], RATE), samples[:, [0, 0]])
    assert np.array_equal(dv.Widener(width=0.0)(samples, RATE)[:, 0], dv.Widener(width=0.0)(samples, RATE)[:, 1])
    assert np.array_equal(dv.Widener(width=2.0)(samples[:, 0], RATE), samples[:, 0])     # mono passes


def test_results_are_writable_arrays_of_their_own():
    block = INPUT[:256].copy()
    delay = dv.Delay()
    for out in (delay.process(block, RATE), delay.process(block, RATE), delay(block, RATE)):
        assert out.dtype == INT16 and out.flags.writeable and out.base is not block


def test_the_package_and_a_typed_script_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(os.path.join(ROOT, "python", "_divavova-stubs", "__init__.pyi"), stubs / "_divavova.pyi")
    # An installed package is found through the interpreter's site-packages
    # (mypy refuses those on MYPYPATH); a source tree is not.
    package = os.path.dirname(os.path.dirname(dv.__file__))
    installed = {os.path.realpath(p) for p in sysconfig.get_paths().values()}
    search = [str(stubs)] + ([] if os.path.realpath(package) in installed else [package])
    env = dict(os.environ, MYPYPATH=os.pathsep.join(search))
    # The package by name (its files may sit in site-packages), then a script using it.
    for target in (["-p", "divavova"], [os.path.join(ROOT, "examples", "api_usage.py")]):
        result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *target],
                                capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
        assert result.returncode == 0, result.stdout + result.stderr
