"""SampleHoldState: exact hold patterns, ratio reduction and carried phase."""

from math import gcd

import numpy as np
import pytest
from hypothesis import given, strategies as st

import _divavova as m
from helpers import assert_released, misaligned

MESSAGE = r"^num and den must be whole, den <= num \(a hold cannot invent frames\)$"


def model(num, den, data, size, phase=None, held=b"\0\0\0\0"):
    g = gcd(num, den)
    num, den = num // g, den // g
    phase = num - den if phase is None else phase
    out = bytearray()
    for i in range(0, len(data), size):
        phase += den
        if phase >= num:
            held = data[i:i + size] + held[size:]
            phase -= num
        out += held[:size]
    return bytes(out)


def test_patterns_and_ratio():
    assert m.SampleHoldState(2, 1).process(bytes([1, 2, 3, 4, 5]), 1) == bytes([1, 1, 3, 3, 5])
    assert m.SampleHoldState(3, 2).process(bytes([1, 2, 3, 4, 5, 6]), 1) == bytes([1, 1, 3, 4, 4, 6])
    assert m.SampleHoldState(num=6, den=4).ratio() == (3, 2)
    assert m.SampleHoldState().ratio() == (1, 1)
    data = bytes(range(200))
    for n in (1, 7):
        assert m.SampleHoldState(n, n).process(data, 4) == data


def test_limits_and_messages():
    assert m.SampleHoldState(2**30, 1).ratio() == (2**30, 1)
    for num, den in ((2**30 + 1, 1), (5, 0), (0, 0), (2, 3), (-1, 1)):
        with pytest.raises(ValueError, match=MESSAGE):
            m.SampleHoldState(num, den)
    engine = m.SampleHoldState(2, 1)
    for size in (0, 5, 2**32 - 1):
        with pytest.raises(ValueError, match=r"^input must be whole frames of 1 to 4 bytes$"):
            engine.process(b"", size)
    with pytest.raises(ValueError, match="^input must be whole frames of 1 to 4 bytes$"):
        engine.process(b"abc", 2)
    assert engine.process(b"", 3) == b""
    with pytest.raises(TypeError):
        engine.configure(2.0, 1)


def test_configure_keeps_equivalent_ratio():
    engine = m.SampleHoldState(2, 1)
    assert engine.process(b"a", 1) == b"a"
    engine.configure(4, 2)  # same ratio: the phase runs on (a restart would give "bb")
    assert engine.process(b"bc", 1) == b"ac"
    assert engine.process(b"d", 1) == b"c"
    with pytest.raises(ValueError, match=MESSAGE):
        engine.configure(1, 2)
    assert engine.process(b"f", 1) == b"f"  # failed configure changed nothing
    engine.configure(3, 1)  # a new ratio restarts the hold
    assert engine.ratio() == (3, 1)
    assert engine.process(b"ghij", 1) == b"gggj"
    engine.reset()
    assert engine.process(b"kl", 1) == b"kk"


def test_held_frame_shared_across_sizes():
    engine = m.SampleHoldState(4, 1)
    assert engine.process(b"wxyz", 4) == b"wxyz"
    assert engine.process(b"abcd", 2) == b"wxwx"  # held frame's leading bytes
    assert engine.process(b"pqrstu", 3) == b"wxystu"


def test_views_released_and_misaligned():
    engine = m.SampleHoldState(3, 2)
    block = bytearray(range(12))
    out = engine.process(block, 2)
    assert_released(block)
    with pytest.raises(ValueError):
        engine.process(block, 5)
    assert_released(block)
    assert m.SampleHoldState(3, 2).process(misaligned(bytes(block)), 2) == out


def test_never_initialised_refuses():
    engine = m.SampleHoldState.__new__(m.SampleHoldState)
    for call in (lambda: engine.process(b"", 1), lambda: engine.configure(1, 1), engine.ratio, engine.reset):
        with pytest.raises(RuntimeError, match="not initialised"):
            call()


@given(st.integers(1, 2**30), st.integers(1, 2**30), st.sampled_from([1, 2, 3, 4]),
       st.lists(st.integers(0, 40), max_size=6), st.binary(min_size=0, max_size=120))
def test_blocks_match_model(a, b, size, cuts, data):
    num, den = max(a, b), min(a, b)
    if a > 50 and b > 50:  # keep small ratios common too
        num, den = num % 50 + 1, 1
    data = data[:len(data) - len(data) % size]
    engine = m.SampleHoldState(num, den)
    out, i = b"", 0
    for cut in cuts + [len(data)]:
        piece = data[i:i + cut * size]
        out += engine.process(piece, size)
        i += len(piece)
    assert out == model(num, den, data, size)


@given(st.integers(1, 40), st.integers(1, 40), st.integers(0, 3), st.sampled_from([1, 2, 3, 4]),
       st.lists(st.integers(0, 300), max_size=4), st.integers(0, 2**32 - 1))
def test_long_blocks_every_hold_length(a, b, scale, size, cuts, seed):
    # holds from one frame to beyond a vector's worth, over blocks of many vectors
    num, den = max(a, b) * 3**scale, min(a, b)
    data = np.random.default_rng(seed).integers(0, 256, 700 * size, dtype=np.uint8).tobytes()
    engine = m.SampleHoldState(num, den)
    out, i = b"", 0
    for cut in cuts + [700]:
        piece = data[i:i + cut * size]
        out += engine.process(piece, size)
        i += len(piece)
    assert out == model(num, den, data, size)
