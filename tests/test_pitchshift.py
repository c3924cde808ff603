import math
import random

import pytest
from hypothesis import given, strategies as st

import _divavova as m
import delay_models as model
from delay_models import random_block
from helpers import assert_released, s16, samples

MESSAGE = "invalid pitch-shift parameters"


def shift(inp, ring, fifo, length, fade, channels, step, wpos, fpos, rpos, mix=2.0):
    out, *pos = m.pitchshift_s16(s16(inp), ring, fifo, length, fade, channels, step, wpos, fpos, rpos, mix)
    return samples(out), tuple(pos)


class TestWorkedValues:
    def test_unit_rate_without_fade_reads_the_sample_just_written(self):
        inp = [5, -28000, 28000, 123, -7]
        out, pos = shift(inp, bytearray(8), bytearray(), 4, 0, 1, 256, 2, 99, 2 * 256)
        assert out == inp
        assert pos == (3, 99, 3 * 256)  # the fade position is not used without a FIFO

    def test_cross_fade_weights(self):
        # Read head D cells ahead of the write head: all weight on the old cell.
        ring = s16([0, 0, 0, 0, 9000, 0, 0, 0])
        fifo = s16([100, 200, 300, 400])
        out, _ = shift([0], bytearray(ring), bytearray(fifo), 8, 4, 1, 0, 0, 0, 4 * 256)
        assert out == [9000]
        # One cell ahead: (D - 1) / D of the weight on the sample due there next frame.
        ring = s16([0, 9000, 0, 0, 0, 0, 0, 0])
        out, _ = shift([0], bytearray(ring), bytearray(fifo), 8, 4, 1, 0, 0, 0, 1 * 256)
        assert out == [int((9000 * 1 + 200 * 3) / 4)]

    def test_fifo_delays_the_line_by_fade_len(self):
        ring, fifo = bytearray(8), bytearray(4)
        shift([1, 2, 3], ring, fifo, 4, 2, 1, 256, 0, 0, 0)
        assert samples(ring) == [0, 0, 1, 0] and samples(fifo) == [3, 2]

    def test_odd_stereo_block_and_empty_block(self):
        ring, fifo = bytearray(16), bytearray(8)
        _, pos = shift([1, 2, 3], ring, fifo, 4, 2, 2, 300, 1, 1, 5)
        assert pos == (2, 0, 305)
        assert shift([], ring, fifo, 4, 2, 2, 300, 3, 1, 7) == ([], (3, 1, 7))


pitch_cases = st.fixed_dictionaries({
    "channels": st.sampled_from([1, 2]),
    "length": st.integers(1, 12),
    "fade": st.integers(0, 6),
    "step": st.one_of(st.integers(0, 1100), st.sampled_from([2 ** 32 - 1, 3 * 2 ** 30])),
    "wpos": st.one_of(st.integers(0, 14), st.just(2 ** 32 - 1)),
    "fpos": st.one_of(st.integers(0, 8), st.just(2 ** 31)),
    "rpos": st.one_of(st.integers(0, 3300), st.just(2 ** 32 - 1)),
    "mix": st.one_of(st.floats(-0.5, 2.5), st.sampled_from([2.0, 1e300, -40.0, math.nan])),
    "sizes": st.lists(st.integers(0, 30), min_size=1, max_size=4),
    "odd": st.booleans(),
    "seed": st.integers(0, 2 ** 16),
})


@given(pitch_cases)
def test_against_model_over_blocks(case):
    rng = random.Random(case["seed"])
    ch, length, fade = case["channels"], case["length"], case["fade"]
    tail = 1 if case["odd"] and ch == 2 else 0
    inp = random_block(rng, sum(case["sizes"]) * ch + tail)
    ring_cells = random_block(rng, length * ch)
    fifo_cells = random_block(rng, fade * ch)
    ring, fifo = bytearray(s16(ring_cells) + b"\x66\x66"), bytearray(s16(fifo_cells) + b"\x66\x66")
    out, at = [], 0
    pos = (case["wpos"], case["fpos"], case["rpos"])
    for size in case["sizes"] + [tail]:
        o, pos = shift(inp[at:at + size * ch], ring, fifo, length, fade, ch, case["step"], *pos, case["mix"])
        out += o
        at += size * ch
    want = model.pitchshift(inp, ring_cells, fifo_cells, length, fade, ch, case["step"], case["wpos"],
                            case["fpos"], case["rpos"], case["mix"])
    assert (out, *pos) == want
    assert samples(ring) == ring_cells + [0x6666]
    assert samples(fifo) == fifo_cells + [0x6666]


def test_wide_fade_does_not_overflow():
    # A cross-fade over 70000 cells: v * m exceeds 32 bits, the blend does not.
    length, fade = 70010, 70000
    ring = bytearray(s16([32767] * length))
    fifo = bytearray(s16([-32768] * fade))
    out, _ = shift([0], ring, fifo, length, fade, 1, 0, 0, 0, 69999 * 256)
    assert out == [model.knee16((32767 * 69999 - 32768 * 1) // 70000)]


def test_ring_of_2_24_cells_refused():
    n = 1 << 24
    ring = bytearray(2 * n)
    with pytest.raises(ValueError, match=MESSAGE):
        m.pitchshift_s16(s16([1]), ring, bytearray(), n, 0, 1, 256, 0, 0, 0, 1.0)
    assert m.pitchshift_s16(s16([1]), ring, bytearray(), n - 1, 0, 1, 256, 0, 0, 0, 1.0)[1:] == (1, 0, 256)


@pytest.mark.parametrize("inp,ring,fifo,length,fade,channels", [
    (3, 8, 4, 2, 1, 1),     # odd byte count
    (4, 8, 4, 2, 1, 0),     # channel count
    (4, 8, 4, 0, 1, 1),     # no ring
    (4, 7, 4, 2, 1, 2),     # ring too short
    (4, 8, 3, 2, 1, 2),     # FIFO too short
])
def test_rejections_leave_buffers_untouched(inp, ring, fifo, length, fade, channels):
    buffers = [bytearray(b"\x01" * inp), bytearray(b"\x22" * ring), bytearray(b"\x33" * fifo)]
    with pytest.raises(ValueError) as err:
        m.pitchshift_s16(*buffers, length, fade, channels, 256, 0, 0, 0, 1.0)
    assert str(err.value) == MESSAGE
    assert buffers[1] == b"\x22" * ring and buffers[2] == b"\x33" * fifo
    for b in buffers:
        assert_released(b)


def test_misaligned_buffers_and_release():
    rng = random.Random(2)
    inp = random_block(rng, 60)
    ring_cells, fifo_cells = random_block(rng, 20), random_block(rng, 6)
    want = m.pitchshift_s16(s16(inp), bytearray(s16(ring_cells)), bytearray(s16(fifo_cells)), 10, 3, 2, 300, 1,
                            2, 700, 1.2)
    ring, fifo = bytearray(b"\x00" + s16(ring_cells)), bytearray(b"\x00" + s16(fifo_cells))
    got = m.pitchshift_s16(s16(inp), memoryview(ring)[1:], memoryview(fifo)[1:], 10, 3, 2, 300, 1, 2, 700, 1.2)
    assert got == want
    assert_released(ring)
    assert_released(fifo)
