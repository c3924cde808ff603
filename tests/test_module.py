"""The module frame: attributes, constants, type registration."""

import re

import pytest

import _divavova as m

TYPE_NAMES = [
    "BufferOwner", "RawSample", "EnvelopeState", "BiquadState", "DynamicsState", "SplitterRing",
    "FeedbackDelayState", "WaveshaperState", "SampleHoldState", "LadderState", "BiquadF32State",
    "AllPassF32State", "SubOctaveState", "ConvolverState", "TankState", "ModalState",
]

FUNCTION_NAMES = [
    "mix_s16", "oscillator_i32", "oscillator_raw_i32", "ring_multiply_i32", "apply_loudness_i32",
    "mixdown_i32", "pitch_bend", "distortion_s16", "echo_s16", "phaser_s16", "chorus_s16",
    "multitap_s16", "pitchshift_s16", "freeverb_s16", "multiply_s16", "midside_s16", "remix_s16",
]

CONSTANTS = {
    "SPLITTER_CHUNK_FRAMES": 256, "SPLITTER_RING_FRAMES": 8192, "DYNAMICS_FRAMES": 256,
    "MULTIPLY_FRAMES": 256, "MIDSIDE_FRAMES": 256, "FEEDBACK_DELAY_FRAMES": 256, "SHAPER_FRAMES": 256,
    "SHAPER_MAX_OVERSAMPLE": 16, "SAMPLEHOLD_FRAMES": 256, "SAMPLEHOLD_MAX_RATIO": 1073741824,
    "LADDER_FRAMES": 256, "FILTER_F32_FRAMES": 256, "FILTER_F32_MAX_STAGES": 16, "SUBOCTAVE_FRAMES": 256,
    "CONVOLVE_FRAMES": 256, "CONVOLVE_MAX_PARTITIONS": 512, "MODAL_FRAMES": 256, "MODAL_MAX_MODES": 64,
    "TANK_FRAMES": 256, "TANK_LINES": 12, "TANK_MAX_TAPS": 32,
}

registered_types = list(TYPE_NAMES)


def test_identity_attributes():
    assert m.__name__ == "_divavova"
    assert m.__doc__ == "Private native core for gizmokit-divavova."
    assert m.__version__ == "0.6.1"
    assert m.ABI_VERSION == 1
    assert re.fullmatch(r"[0-9a-f]{7}", m.__revision__)


def test_constants():
    for name, value in CONSTANTS.items():
        assert getattr(m, name) == value, name
        assert type(getattr(m, name)) is int


def test_attribute_order_follows_registration():
    # Types and constants are added in one fixed order, after the functions.
    names = [n for n in vars(m) if n in CONSTANTS or n in TYPE_NAMES]
    expected = [
        "BufferOwner", "RawSample", "EnvelopeState", "BiquadState", "DynamicsState", "SplitterRing",
        "SPLITTER_CHUNK_FRAMES", "SPLITTER_RING_FRAMES", "DYNAMICS_FRAMES", "MULTIPLY_FRAMES", "MIDSIDE_FRAMES",
        "FeedbackDelayState", "FEEDBACK_DELAY_FRAMES", "WaveshaperState", "SHAPER_FRAMES",
        "SHAPER_MAX_OVERSAMPLE", "SampleHoldState", "SAMPLEHOLD_FRAMES", "SAMPLEHOLD_MAX_RATIO", "LadderState",
        "LADDER_FRAMES", "BiquadF32State", "AllPassF32State", "FILTER_F32_FRAMES", "FILTER_F32_MAX_STAGES",
        "SubOctaveState", "SUBOCTAVE_FRAMES", "ConvolverState", "CONVOLVE_FRAMES", "CONVOLVE_MAX_PARTITIONS",
        "TankState", "ModalState", "MODAL_FRAMES", "MODAL_MAX_MODES", "TANK_FRAMES", "TANK_LINES",
        "TANK_MAX_TAPS"]
    assert names == expected
    functions = [n for n in vars(m) if n in FUNCTION_NAMES]
    assert functions == list(FUNCTION_NAMES)


def test_only_two_functions_have_docstrings():
    for name in FUNCTION_NAMES:
        doc = getattr(m, name).__doc__
        if name == "mix_s16":
            assert doc == "Saturating mix of two native-endian signed 16-bit PCM buffers."
        elif name == "remix_s16":
            assert doc == ("Interleaved s16 native-endian channel convert between 1 and 2 channels. "
                           "Optional writable dest.")
        else:
            assert doc is None, name


@pytest.mark.parametrize("name", registered_types)
def test_types_are_final_and_named(name):
    cls = getattr(m, name)
    assert cls.__name__ == name
    assert cls.__module__ == ("vadozadaz" if name == "RawSample" else "_divavova")
    assert cls.__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_module_functions_take_no_keywords():
    with pytest.raises(TypeError):
        m.mix_s16(first=b"", second=b"")


def test_stubs_match_the_module(tmp_path):
    """mypy's stubtest: every name, signature and kind in the type stubs
    agrees with what the module offers at run time."""
    import os
    import shutil
    import subprocess
    import sys
    pytest.importorskip("mypy.stubtest")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    shutil.copy(os.path.join(root, "python", "_divavova-stubs", "__init__.pyi"), tmp_path / "_divavova.pyi")
    where = os.path.dirname(os.path.abspath(m.__file__))
    env = dict(os.environ, MYPYPATH=str(tmp_path),
               PYTHONPATH=os.pathsep.join([where] + os.environ.get("PYTHONPATH", "").split(os.pathsep)))
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_divavova"],
                            capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
