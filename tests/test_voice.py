import array

import pytest
from hypothesis import given, strategies as st

import _divavova as m
import synth_model as model
from helpers import assert_released, i32, misaligned, s16, samples

U32 = st.integers(0, 0xFFFFFFFF)
I32 = st.integers(-(1 << 31), (1 << 31) - 1)
LEVEL = st.integers(-32768, 32767)


def ring(voice, *args):
    data, position = m.ring_multiply_i32(i32(voice), *args)
    return samples(data, "i"), position


def loud(voice, *args):
    return samples(m.apply_loudness_i32(i32(voice), *args), "i")


def test_ring_multiply_worked_values():
    half = array.array("h", [16384] * 3)
    assert ring([-3, 3, 32767, -32768, 0], half, 0, 65536, 0, 3) == ([-1, 1, 16383, -16384, 0], 2 << 16)
    # one modulator step per sample, also for a stereo buffer; the position is folded first
    signs = array.array("h", [32767, -32768])
    assert ring([32768] * 4, signs, 5 << 16, 65536, 0, 2) == ([32767, -32768, 32767, -32768], 1 << 16)
    # the quotient keeps its low 16 bits
    assert ring([65536], array.array("h", [0, 32767]), 0, 65536, 0, 2)[0] == [-2]
    # the product itself wraps in 32 bits before the division
    assert ring([131073], array.array("h", [16384] * 4), 0, 65536, 0, 4)[0] == [1]
    assert ring([1290487987], array.array("h", [-32576]), 0, 0, 0, 1)[0] == [6202]


@given(st.data())
def test_ring_multiply_against_model_with_hostile_steps(data):
    n_table = data.draw(st.integers(1, 30))
    table = data.draw(st.lists(LEVEL, min_size=n_table, max_size=n_table))
    end = data.draw(st.integers(1, n_table))
    start = data.draw(st.integers(0, end - 1))
    voice = data.draw(st.lists(st.one_of(LEVEL, I32), max_size=40))
    phase, step = data.draw(U32), data.draw(U32)
    assert ring(voice, array.array("h", table), phase, step, start, end) == model.ring_multiply(
        voice, table, phase, step, start, end)


@given(st.lists(st.integers(0, 30), min_size=1, max_size=5), U32, U32)
def test_ring_multiply_blocks_carry_the_position(sizes, phase, step):
    table = array.array("h", [(i * 40503) % 65536 - 32768 for i in range(11)])
    voice = [(i * 2654435761) % 65536 - 32768 for i in range(sum(sizes))]
    whole = ring(voice, table, phase, step, 4, 11)
    got, p, at = [], phase, 0
    for n in sizes:
        part, p = ring(voice[at:at + n], table, p, step, 4, 11)
        got += part
        at += n
    assert (got, p) == whole


def test_ring_multiply_checks():
    table = array.array("h", [0] * 4)
    with pytest.raises(ValueError, match="^invalid ring voice buffer$"):
        m.ring_multiply_i32(b"\0" * 6, b"not even looked at", 0, 0, 0, 0)
    for bad, start, end in [(b"\0" * 8, 0, 4), (table, 2, 2), (table, 0, 5),
                            (array.array("h", [0]) * 65536, 0, 65536)]:
        with pytest.raises(ValueError, match="^invalid ring waveform$"):
            m.ring_multiply_i32(b"", bad, 0, 0, start, end)
    voice = bytearray(i32([5, -5]))
    assert ring([5, -5], table, 0, 1, 0, 4)[0] == [0, 0]
    m.ring_multiply_i32(voice, table, 0, 1, 0, 4)
    assert_released(voice)
    with pytest.raises(ValueError):
        m.ring_multiply_i32(voice, table, 0, 1, 0, 9)
    assert_released(voice)
    assert m.ring_multiply_i32(misaligned(i32([4, 8])), array.array("h", [-32768]), 0, 0, 0, 1)[0] == i32([-4, -8])


def test_loudness_switches_at_zero_crossing():
    assert loud([500, 700, -200, 400], 32767, 0, 1, 0) == [0, 0, -99, 199]
    # an exact zero switches too, and the zero itself already takes the new level
    assert loud([500, 0, 400], 32767, 0, 1, 0, 0) == [0, 0, 199]
    # no crossing: the old levels hold for the whole block
    assert loud([100, 200, 300], 65535 // 2, 0, 2, 0, 0) == [0] * 6
    # stereo: both levels switch together on the crossing; omitted or -2**31 means unchanged
    assert loud([1000, -1000], 32767, -32768, 2, 16384, -2**31) == [250, -500, -499, 500]
    assert loud([1000, -1000], 16384, 16384, 2) == [250, 250, -250, -250]
    assert m.apply_loudness_i32(b"", 1, 2, 2, 3, 4) == b""
    # loud i32 voices saturate rather than wrap
    assert loud([1 << 30, -(1 << 30)], 32767, 32767, 1) == [32767, -32768]


@given(st.lists(st.one_of(st.integers(-3, 3), LEVEL, I32), max_size=30), LEVEL, LEVEL, LEVEL, LEVEL,
       st.sampled_from([1, 2]))
def test_loudness_against_model(voice, left, right, prev_left, prev_right, channels):
    assert loud(voice, left, right, channels, prev_left, prev_right) == model.level_stage(
        voice, (prev_left, prev_right), (left, right), channels)


def test_loudness_checks():
    for args in [(b"\0" * 3, 0, 0, 1), (b"", 0, 0, 0), (b"", 0, 0, 3), (b"", 32768, 0, 1),
                 (b"", 0, -32769, 2), (b"", 0, 0, 2, 40000), (b"", 0, 0, 2, 0, -40000)]:
        with pytest.raises(ValueError, match="^invalid loudness parameters$"):
            m.apply_loudness_i32(*args)
    voice = bytearray(i32([1, 2]))
    m.apply_loudness_i32(voice, 1, 1, 2)
    assert_released(voice)
    with pytest.raises(ValueError):
        m.apply_loudness_i32(voice, 1, 1, 3)
    assert_released(voice)
    assert m.apply_loudness_i32(misaligned(i32([65536, -65536])), 32767, 0, 1) == i32([32767, -32767])


def test_mixdown_knee():
    def mix(values, *voices):
        return samples(m.mixdown_i32(i32(values), *voices))

    assert mix([28000, -28000, 0, 2097152, -2097152]) == [28000, -28000, 0, 32072, -32073]
    assert mix([65536, -65536], 2) == [32095, -32096]
    assert mix([32768, -32768], 1) == [32095, -32096]
    # past +-voices x 32768 the knee is not bounded: saturate, never wrap to the other sign
    assert mix([2**31 - 1, -2**31], 64) == [32767, -32768]
    assert mix([2**31 - 1, 30000, -2**31], 2**32 - 1) == [28000, 28000, -28000]
    assert mix([40000], 65535) == [28000 + ((12000 * (268435455 // (65535 * 32768 - 28000))) >> 16)]
    for args in [(b"\0" * 6,), (b"", 0)]:
        with pytest.raises(ValueError, match="^input must contain native signed 32-bit samples$"):
            m.mixdown_i32(*args)
    buf = bytearray(i32([1, 2]))
    assert m.mixdown_i32(buf) == s16([1, 2])
    assert_released(buf)
    assert m.mixdown_i32(misaligned(i32([30000]))) == s16([28000 + ((2000 * 129) >> 16)])


@given(st.lists(I32, max_size=20), st.integers(1, 70000))
def test_mixdown_against_model(values, voices):
    if voices * 32768 - 28000 > 2**31 - 1:  # the 32-bit divisor no longer fits
        voices = 1 + voices % 65535
    assert samples(m.mixdown_i32(i32(values), voices)) == model.mixdown(values, voices)


def test_pitch_bend():
    assert [m.pitch_bend(1000, b) for b in (0, 32768, -32768, 16384, 2731)] == [1000, 2000, 500, 1414, 1059]
    assert m.pitch_bend(2**32 - 1, 32768) == (2**33 - 2) & 0xFFFFFFFF  # low 32 bits of the product
    # whole octaves far outside the 64-bit shift range stay defined
    assert m.pitch_bend(1, 16 * 32768) == 65536
    assert m.pitch_bend(3, 47 * 32768) == 0
    assert m.pitch_bend(2**32 - 1, -49 * 32768) == 0
    assert m.pitch_bend(2**32 - 1, -2**31) == 0
    assert m.pitch_bend(5, 2**31 - 1) == 0
    with pytest.raises(OverflowError):
        m.pitch_bend(0, 2**31)


@given(U32, I32)
def test_pitch_bend_against_model(value, bend):
    assert m.pitch_bend(value, bend) == model.pitch_bend(value, bend)
