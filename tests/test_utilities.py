"""mix_s16, remix_s16, multiply_s16, midside_s16."""

import array
import random
import sys
import warnings

import pytest
from hypothesis import given, strategies as st

import _divavova as m
from helpers import assert_released, misaligned, s16, samples

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    try:
        import audioop
    except ImportError:  # pragma: no cover - audioop-lts is a test dependency on 3.13+
        audioop = None

needs_audioop = pytest.mark.skipif(audioop is None, reason="audioop not installed")
sample_lists = st.lists(st.integers(-32768, 32767), max_size=64)


def clamp16(v):
    return max(-32768, min(32767, v))


# --- mix_s16 -------------------------------------------------------------

def test_mix_saturates_and_accepts_empty():
    assert m.mix_s16(b"", b"") == b""
    out = m.mix_s16(s16([30000, -30000, 1, -32768]), s16([10000, -10000, 2, 32767]))
    assert samples(out) == [32767, -32768, 3, -1]


@pytest.mark.parametrize("a, b", [(4, 6), (3, 3), (2, 0)])
def test_mix_length_errors(a, b):
    with pytest.raises(ValueError, match="^buffers must have the same even byte length$"):
        m.mix_s16(bytes(a), bytes(b))


@needs_audioop
@given(st.data())
def test_mix_matches_audioop_add(data):
    a = data.draw(sample_lists)
    b = data.draw(st.lists(st.integers(-32768, 32767), min_size=len(a), max_size=len(a)))
    assert m.mix_s16(s16(a), s16(b)) == audioop.add(s16(a), s16(b), 2)


def test_mix_reads_misaligned_and_array_inputs():
    a, b = [1, -2, 300], [4, 5, -6]
    assert samples(m.mix_s16(misaligned(s16(a)), array.array("h", b))) == [5, 3, 294]


# --- remix_s16 -----------------------------------------------------------

def test_remix_stereo_to_mono_truncates_toward_zero():
    out = m.remix_s16(s16([-1, -2, 32767, 32767, -32768, -32768, 3, 0, -3, 0]), 2, 1)
    assert samples(out) == [-1, 32767, -32768, 1, -1]
    assert m.remix_s16(b"", 2, 1) == b""


@needs_audioop
@given(sample_lists)
def test_remix_mono_to_stereo_matches_audioop(values):
    assert m.remix_s16(s16(values), 1, 2) == audioop.tostereo(s16(values), 2, 1, 1)


@needs_audioop
@given(st.lists(st.tuples(st.integers(-32768, 32767), st.integers(-32768, 32767)), max_size=32))
def test_remix_stereo_to_mono_matches_audioop_where_rounding_agrees(frames):
    # audioop floors the half sum; remix truncates toward zero: they agree on even or non-negative sums.
    frames = [(l, r) for l, r in frames if (l + r) % 2 == 0 or l + r >= 0]
    flat = [v for f in frames for v in f]
    assert m.remix_s16(s16(flat), 2, 1) == audioop.tomono(s16(flat), 2, 0.5, 0.5)


def test_remix_same_channels_copies():
    src = s16([5, -6, 7])
    out = m.remix_s16(src, 1, 1)
    assert out == src and out is not src
    assert m.remix_s16(s16([1, 2, 3, 4]), 2, 2) == s16([1, 2, 3, 4])


def test_remix_into_dest_leaves_tail_and_returns_dest():
    dest = bytearray(b"\x7f" * 16)
    result = m.remix_s16(s16([1, 2, 3]), 1, 2, dest)
    assert result is dest
    assert samples(dest[:12]) == [1, 1, 2, 2, 3, 3]
    assert dest[12:] == b"\x7f" * 4
    assert_released(dest)
    assert m.remix_s16(s16([1]), 1, 2, None) == s16([1, 1])


@pytest.mark.parametrize("source_channels, dest_channels", [(1, 2), (2, 1), (1, 1), (2, 2)])
def test_remix_in_place(source_channels, dest_channels):
    rng = random.Random(source_channels * 3 + dest_channels)
    values = [rng.randint(-32768, 32767) for _ in range(8)]
    expected = m.remix_s16(s16(values), source_channels, dest_channels)
    buf = bytearray(s16(values)) + bytearray(max(0, len(expected) - 16))
    result = m.remix_s16(memoryview(buf)[:16], source_channels, dest_channels, buf)
    assert result is buf
    assert bytes(buf[:len(expected)]) == expected
    assert_released(buf)


def test_remix_errors_in_order_and_views_released():
    source = bytearray(s16([1, 2, 3]))
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.remix_s16(source, 3, 1)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.remix_s16(bytes(3), 1, 0)  # channel counts come before the length
    with pytest.raises(ValueError, match="^source must be a whole number of frames$"):
        m.remix_s16(source, 2, 1, b"not writable")  # the length comes before dest is touched
    dest = bytearray(11)
    with pytest.raises(ValueError, match="^dest is too small$"):
        m.remix_s16(source, 1, 2, dest)
    with pytest.raises(BufferError):
        m.remix_s16(source, 1, 2, bytes(12))
    assert_released(source)
    assert_released(dest)


# --- multiply_s16 --------------------------------------------------------

def multiply_model(signal, modulator, q):
    p = 32768 - q
    return [clamp16((q * ((s * mm) >> 15) + p * s) >> 15) for s, mm in zip(signal, modulator)]


def test_multiply_worked_values():
    one = lambda s, mod, depth: samples(m.multiply_s16(s16([s]), s16([mod]), depth, 1))[0]
    assert one(16384, 16384, 1.0) == 8192
    assert one(16384, 16384, 0.0) == 16384
    assert one(16384, 16384, 0.5) == 12288
    assert one(-1, 1, 1.0) == -1
    assert one(-32768, -32768, 1.0) == 32767
    assert one(16384, 16384, 7.0) == 8192
    assert one(16384, 16384, -2.0) == 16384
    assert one(16384, 16384, float("nan")) == 16384  # NaN depth: signal unchanged


@given(st.data(), st.floats(-0.5, 1.5, allow_nan=False))
def test_multiply_matches_model(data, depth):
    sig = data.draw(st.lists(st.integers(-32768, 32767), max_size=40).filter(lambda v: len(v) % 2 == 0))
    mod = data.draw(st.lists(st.integers(-32768, 32767), min_size=len(sig), max_size=len(sig)))
    d = array.array("f", [depth])[0]
    q = 0 if d <= 0 else 32768 if d >= 1 else int(array.array("f", [d * 32768 + 0.5])[0])
    assert samples(m.multiply_s16(s16(sig), s16(mod), depth)) == multiply_model(sig, mod, q)


def test_multiply_errors():
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.multiply_s16(bytes(3), bytes(4), 1.0, 3)
    for a, b, ch in [(4, 8, 2), (6, 6, 2), (3, 3, 1)]:
        with pytest.raises(ValueError, match="^buffers must be the same whole number of configured frames$"):
            m.multiply_s16(bytes(a), bytes(b), 1.0, ch)
    assert m.multiply_s16(b"", b"", 0.3) == b""


# --- midside_s16 ---------------------------------------------------------

def midside_model(frames, w):
    out = []
    for left, right in frames:
        total, side = left + right, ((left - right) * w) >> 14
        out += [clamp16((total + side + 1) >> 1), clamp16((total - side + 1) >> 1)]
    return out


def test_midside_worked_values():
    frame = s16([1000, -1000])
    assert samples(m.midside_s16(frame, 1.0)) == [1000, -1000]
    assert samples(m.midside_s16(frame, 0.0)) == [0, 0]
    assert samples(m.midside_s16(frame, 2.0)) == [2000, -2000]
    assert samples(m.midside_s16(frame, 3.0)) == [2000, -2000]
    assert samples(m.midside_s16(s16([32767, -32768]), 2.0)) == [32767, -32768]
    assert samples(m.midside_s16(s16([7, 3]), 0.0)) == [5, 5]
    assert m.midside_s16(frame, float("nan")) == frame  # NaN width: image unchanged
    assert m.midside_s16(s16([5, -9, 1]), 0.0, 1) == s16([5, -9, 1])
    assert m.midside_s16(b"", 0.5) == b""


@given(st.lists(st.tuples(st.integers(-32768, 32767), st.integers(-32768, 32767)), max_size=24),
       st.floats(-1, 3, allow_nan=False))
def test_midside_matches_model(frames, width):
    d = array.array("f", [width])[0]
    w = 0 if d <= 0 else 32768 if d >= 2 else int(array.array("f", [d * 16384 + 0.5])[0])
    flat = [v for f in frames for v in f]
    assert samples(m.midside_s16(s16(flat), width)) == midside_model(frames, w)
    assert m.midside_s16(s16(flat), 1.0) == s16(flat)


def test_midside_errors_and_release():
    buf = bytearray(6)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.midside_s16(buf, 1.0, 0)
    with pytest.raises(ValueError, match="^buffer must be a whole number of configured frames$"):
        m.midside_s16(buf, 1.0)
    with pytest.raises(ValueError, match="^buffer must be a whole number of configured frames$"):
        m.midside_s16(bytes(3), 1.0, 1)
    assert_released(buf)


def test_views_released_after_success():
    a, b = bytearray(s16([1, 2])), bytearray(s16([3, 4]))
    m.mix_s16(a, b)
    m.multiply_s16(a, b, 0.5)
    m.midside_s16(a, 0.5)
    m.remix_s16(a, 2, 1)
    for buf in (a, b):
        assert_released(buf)
