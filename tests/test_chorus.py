"""chorus_s16: taps spread behind the write position, the voice-count knee,
the steep output knee and the caller-held ring, against a model that walks
the tap positions one by one."""

import math
import time

import pytest
from hypothesis import given, strategies as st

import _divavova as m
from helpers import assert_released, s16, samples

MESSAGE = "invalid chorus parameters"


def knee(v, k):
    if v > 28000:
        return (((v - 28000) * k) >> 16) + 28000
    if v < -28000:
        return (((v + 28000) * k) >> 16) - 28000
    return v


def model(xs, ring, write_pos, spread, ring_len, voices, depth):
    ring = list(ring)
    wp = write_pos % ring_len
    k = 0x0FFFFFFF // (voices * 32768 - 28000)
    step = spread // (voices - 1) if voices >= 2 else None
    out = []
    for x in xs:
        ring[wp] = x
        if voices == 1:
            total = x
        else:
            total, p = 0, wp
            for _ in range(voices):
                if p < 0:
                    p += ring_len
                total += ring[p % ring_len]  # step 0 walks forward round the ring
                p -= step - 1
            total = knee(total, k)
        scaled = 0.0 if math.isnan(total * depth) else max(-2.0 ** 31, min(2.0 ** 31 - 1, total * depth))
        out.append(max(-32768, min(32767, knee(x + math.trunc(scaled), 2))))
        wp = 0 if wp + 1 == ring_len else wp + 1
    return out, ring, wp


def run(xs, ring, *args):
    data, pos = m.chorus_s16(s16(xs), ring, *args)
    return samples(data), samples(ring), pos


def test_one_voice_doubles_into_the_knee():
    out, ring, pos = run([10000, 20000, -20000], bytearray(8), 0, 1, 4, 1, 1.0)
    assert out == [20000, 28000, -28001] and ring == [10000, 20000, -20000, 0] and pos == 3


def test_two_voices_tap_at_spread_minus_one():
    xs = [1000] + [0] * 11
    out, _, pos = run(xs, bytearray(24), 5, 10, 12, 2, 1.0)
    assert out == [2000] + [0] * 8 + [1000, 0, 0] and pos == 5
    # spread = voices - 1: every tap is the new sample, S = voices * x
    assert run([5000, -4000], bytearray(8), 0, 2, 4, 3, 0.5)[0] == [5000 + 7500, -4000 - 6000]


def test_write_position_wraps_and_is_reduced():
    out, ring, pos = run([1, 2, 3], bytearray(s16([9, 9, 9, 9])), 2, 1, 4, 1, 0.0)
    assert (ring, pos) == ([3, 9, 1, 2], 1)
    # a position past the ring is taken modulo its length, empty blocks included
    assert run([1, 2], bytearray(8), 4 * 1000 + 3, 1, 4, 1, 0.0)[1:] == ([2, 0, 0, 1], 1)
    assert run([7], bytearray(8), 2 ** 32 - 1, 1, 4, 3, 1.0)[1:] == ([0, 0, 0, 7], 0)
    assert m.chorus_s16(b"", bytearray(8), 6, 1, 4, 2, 1.0) == (b"", 2)
    assert m.chorus_s16(b"", bytearray(8), 3, 1, 4, 2, 1.0) == (b"", 3)


chorus_args = st.integers(1, 12).flatmap(lambda ring_len: st.tuples(
    st.just(ring_len), st.integers(0, 3 * ring_len), st.integers(1, ring_len), st.integers(1, 2 * ring_len + 3),
    st.sampled_from([0.0, 0.5, 1.0, -0.75, 1.9])))


@given(st.lists(st.integers(-32768, 32767), max_size=40), chorus_args, st.lists(st.integers(-32768, 32767), min_size=12, max_size=12))
def test_random_blocks_match_model(xs, config, ring0):
    ring_len, write_pos, spread, voices, depth = config
    ring = bytearray(s16(ring0[:ring_len] + [123]))  # one cell beyond the used length stays
    got = run(xs, ring, write_pos, spread, ring_len, voices, depth)
    out, ring_after, pos = model(xs, ring0[:ring_len], write_pos, spread, ring_len, voices, depth)
    assert got == (out, ring_after + [123], pos)


@given(st.lists(st.integers(-32768, 32767), min_size=1, max_size=150), st.lists(st.integers(1, 40), min_size=1, max_size=6),
       st.sampled_from([(2, 30), (4, 30), (5, 2), (40, 30)]))
def test_blocks_of_any_size_give_one_stream(xs, cuts, voices_spread):
    voices, spread = voices_spread
    args = (spread, 31, voices, 0.7)
    ring = bytearray(62)
    whole, _ = m.chorus_s16(s16(xs), ring, 7, *args)
    ring2, pos, pieces, i, k = bytearray(62), 7, b"", 0, 0
    while i < len(xs):
        n = cuts[k % len(cuts)]
        data, pos = m.chorus_s16(s16(xs[i:i + n]), ring2, pos, *args)
        pieces += data
        i, k = i + n, k + 1
    assert pieces == whole and ring2 == ring


def test_many_voices_on_a_small_ring_stay_inside_and_fast():
    # step 0: the taps walk forward round the ring many times over
    voices = 2 ** 31 - 1
    ring0 = [30000, -5, 7]
    xs = [-32768, 32767, 100, 0, -1]
    start = time.perf_counter()
    out, ring, pos = run(xs, bytearray(s16(ring0)), 1, 1, 3, voices, 1.0)
    assert time.perf_counter() - start < 0.5
    laps, rest = divmod(voices, 3)
    cells, wp, expected = list(ring0), 1, []
    for x in xs:  # voices full-scale taps give a knee slope of 0
        cells[wp] = x
        total = laps * sum(cells) + sum(cells[(wp + j) % 3] for j in range(rest))
        expected.append(knee(x + knee(total, 0), 2))
        wp = (wp + 1) % 3
    assert (out, ring, pos) == (expected, cells, wp)
    # a moderate count against the tap-by-tap model
    assert run(xs, bytearray(s16(ring0)), 1, 1, 3, 50, 0.3) == model(xs, ring0, 1, 1, 3, 50, 0.3)


def test_extreme_depth_saturates():
    xs = [1000, -1000, 0, 32767]
    for depth in (math.nan, math.inf, -math.inf, 1e300, 1e6, -1e6):
        got = run(xs, bytearray(8), 0, 1, 4, 1, depth)
        assert got == model(xs, [0] * 4, 0, 1, 4, 1, depth)
        if depth > 0:
            assert got[0][:2] == [32767, -32768]


def test_checks_leave_buffers_untouched():
    # input bytes, spread, ring_len, voices: odd input; voices 0 or -3; spread 0; spread beyond
    # ring_len; an empty ring; a ring shorter than ring_len cells (also where ring_len * 2 wraps 32 bits)
    failing = [(3, 1, 4, 1), (4, 1, 4, 0), (4, 1, 4, -3), (4, 0, 4, 1), (4, 5, 4, 1), (4, 1, 0, 1), (4, 1, 5, 1),
               (4, 1, 2 ** 31 + 2, 1)]
    for size, spread, ring_len, voices in failing:
        data = bytearray(size)
        ring = bytearray(s16([1, 2, 3, 4]))
        with pytest.raises(ValueError, match=f"^{MESSAGE}$"):
            m.chorus_s16(data, ring, 0, spread, ring_len, voices, 1.0)
        assert samples(ring) == [1, 2, 3, 4]
        assert_released(data)
        assert_released(ring)
    ring, data = bytearray(8), bytearray(s16([5, 6]))
    assert m.chorus_s16(data, ring, 0, 4, 4, 3, 1.0)[1] == 2
    assert_released(data)
    assert_released(ring)
    with pytest.raises(TypeError):
        m.chorus_s16(b"", b"\0\0", 0, 1, 1, 1, 1.0)


def test_misaligned_ring_matches_aligned():
    xs = [300, -7000, 12000, 9]
    raw = bytearray(9)
    view = memoryview(raw)[1:]
    view[:] = s16([4, -4, 8, -8])
    data, pos = m.chorus_s16(s16(xs), view, 1, 3, 4, 2, 0.9)
    assert (samples(data), samples(view), pos) == model(xs, [4, -4, 8, -8], 1, 3, 4, 2, 0.9)
