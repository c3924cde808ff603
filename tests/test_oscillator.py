import array

import pytest
from hypothesis import given, strategies as st

import _divavova as m
import synth_model as model
from helpers import i32, misaligned, samples

T4 = array.array("h", [0, 100, 200, 300])
U32 = st.integers(0, 0xFFFFFFFF)


def raw(*args):
    data, position = m.oscillator_raw_i32(*args)
    return samples(data, "i"), position


def osc(*args):
    data, position = m.oscillator_i32(*args)
    return samples(data, "i"), position


def test_loop_reader_worked_values():
    assert raw(T4, 0, 65536, 1, 4, 5) == ([100, 200, 300, 100, 200], 2 * 65536)
    # a step above half the loop end is silence and leaves the position alone
    assert raw(T4, 7 << 16, 3 * 65536, 1, 4, 5) == ([0] * 5, 7 << 16)
    # a position past the loop end is folded into the loop before the first step
    assert raw(T4, 9 << 16, 65536, 1, 4, 2) == ([100, 200], 2 << 16)
    # count 0: empty, position only folded
    assert raw(T4, (9 << 16) + 5, 65536, 1, 4, 0) == ([], (3 << 16) + 5)
    # the attack portion below the loop start is played once
    assert raw(T4, 0, 32768, 2, 4, 6) == ([0, 100, 100, 200, 200, 300], 3 << 16)


def test_levels_and_channels():
    full = array.array("h", [32767, -32768, 1000, -1000])
    assert osc(full, 0, 65536, 0, 4, 32767, 0, 1, 1)[0] == [-16383]
    assert osc(array.array("h", [32767] * 2), 0, 65536, 0, 2, 32767, -32768, 2, 2)[0] == [16383, -16383] * 2
    assert osc(array.array("h", [-32768] * 2), 0, 65536, 0, 2, -32768, 5, 1, 2)[0] == [16384, 16384]
    # stereo interleaves left and right of the same table sample; truncation toward zero
    got, _ = osc(full, (3 << 16), 65536, 0, 4, 3, -3, 2, 4)
    assert got == [1, -1, -1, 1, 0, 0, 0, 0]
    # too large a step renders zeros
    assert osc(full, 5, 3 << 16, 0, 4, 100, 100, 2, 3) == ([0] * 6, 5)


@given(st.data())
def test_against_model_including_hostile_steps(data):
    n_table = data.draw(st.integers(1, 40))
    table = data.draw(st.lists(st.integers(-32768, 32767), min_size=n_table, max_size=n_table))
    end = data.draw(st.integers(1, n_table))
    start = data.draw(st.integers(0, end - 1))
    phase = data.draw(U32)
    step = data.draw(st.one_of(st.integers(0, (end << 16) // 2 + 2), U32))
    count = data.draw(st.integers(0, 50))
    left, right = data.draw(st.integers(-32768, 32767)), data.draw(st.integers(-32768, 32767))
    channels = data.draw(st.sampled_from([1, 2]))
    tab = array.array("h", table)  # the table is exactly as long as it must be
    ref, ref_position = model.read_loop(table, phase, step, start, end, count)
    assert raw(tab, phase, step, start, end, count) == (ref or [0] * count, ref_position)
    assert osc(tab, phase, step, start, end, left, right, channels, count) == model.oscillator(
        table, phase, step, start, end, left, right, channels, count)


@given(st.lists(st.integers(0, 40), min_size=1, max_size=6), U32, st.integers(0, 4 * 65536), st.sampled_from([1, 2]))
def test_blocks_of_any_size_give_one_stream(sizes, phase, step, channels):
    table = array.array("h", [(i * 7919) % 65536 - 32768 for i in range(13)])
    whole_raw, whole_position = raw(table, phase, step, 3, 13, sum(sizes))
    whole_osc, _ = osc(table, phase, step, 3, 13, 20000, -7000, channels, sum(sizes))
    pieces_raw, pieces_osc = [], []
    p_raw = p_osc = phase
    for n in sizes:
        got, p_raw = raw(table, p_raw, step, 3, 13, n)
        pieces_raw += got
        got, p_osc = osc(table, p_osc, step, 3, 13, 20000, -7000, channels, n)
        pieces_osc += got
    assert (pieces_raw, p_raw) == (whole_raw, whole_position)
    assert (pieces_osc, p_osc) == (whole_osc, whole_position)


def test_step_longer_than_loop_stays_in_loop():
    # loop 3 .. 4 of a 4-sample table with steps the single jump cannot absorb
    table = array.array("h", [1, 2, 3, 4])
    got, position = raw(table, 0, 2 << 16, 3, 4, 4)
    assert got == [3, 4, 4, 4] and position == 3 << 16
    got, position = raw(table, 0xFFFFFFFF, 65536, 3, 4, 2)
    assert got == [4, 4] and position >> 16 == 3
    # a table large enough to come from the system allocator, read up to its last sample
    big = [(i * 37) % 65536 - 32768 for i in range(1000)]
    for phase, step, start in [(0xFFFFFFFF, 500 << 16, 999), (999 << 16, 1000 << 15, 998),
                               (0, (1000 << 15) - 1, 990), (12345, 1000 << 15, 0)]:
        expect = model.read_loop(big, phase, step, start, 1000, 300)
        assert expect[0] is not None
        assert raw(array.array("h", big), phase, step, start, 1000, 300) == expect
        assert m.ring_multiply_i32(i32([32767] * 300), array.array("h", big), phase, 0xFFFFFFFF - step,
                                   start, 1000)[1] == model.ring_multiply([32767] * 300, big, phase,
                                                                          0xFFFFFFFF - step, start, 1000)[1]


def test_table_checks_and_messages():
    ok = array.array("h", [-700, 1, 2, 3, 4, 5, 6, 32767])
    bad_table = "waveform must be a native signed 16-bit buffer with a valid loop"
    for table_message, call in [
        ("invalid oscillator waveform", lambda t, a, b: m.oscillator_raw_i32(t, 0, 65536, a, b, 4)),
        (bad_table, lambda t, a, b: m.oscillator_i32(t, 0, 65536, a, b, 1, 1, 1, 4)),
    ]:
        for table, start, end in [(bytes(16), 0, 8), (ok, 4, 4), (ok, 5, 4), (ok, 0, 9),
                                  (array.array("i", [0] * 8), 0, 4), (array.array("H", [0] * 8), 0, 4)]:
            with pytest.raises(ValueError, match="^" + table_message + "$"):
                call(table, start, end)
        # a 16.16 position cannot address sample 65535 or beyond
        big = array.array("h", [0]) * 70000
        with pytest.raises(ValueError, match="^" + table_message + "$"):
            call(big, 0, 65536)
        assert len(call(big, 65000, 65535)[0]) == 16
        with pytest.raises(TypeError):
            call(object(), 0, 4)
        # an array slice at an odd address reads the same samples
        assert call(misaligned(ok.tobytes()).cast("h"), 0, 8) == call(ok, 0, 8)

    # parameter checks come before the table is looked at
    with pytest.raises(ValueError, match="^invalid oscillator duration$"):
        m.oscillator_raw_i32(b"", 0, 0, 0, 0, 65536)
    assert len(m.oscillator_raw_i32(ok, 0, 0, 0, 8, 65535)[0]) == 65535 * 4
    for channels, count, left, right in [(0, 4, 0, 0), (3, 4, 0, 0), (1, 65536, 0, 0),
                                         (2, 4, 32768, 0), (2, 4, 0, -32769)]:
        with pytest.raises(ValueError, match="^invalid oscillator parameters$"):
            m.oscillator_i32(b"", 0, 0, 0, 0, left, right, channels, count)
    assert m.oscillator_i32(ok, 9 << 16, 0, 0, 8, 1, 1, 2, 0) == (b"", 1 << 16)
