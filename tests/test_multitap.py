import array
import math
import random

import pytest
from hypothesis import given, strategies as st

import _divavova as m
import delay_models as model
from delay_models import random_block
from helpers import assert_released, s16, samples

MESSAGE = "invalid multi-tap parameters"


def taps(delays, gains):
    return bytearray(array.array("I", delays).tobytes()), bytearray(array.array("d", gains).tobytes())


def multitap(inp, ring, wpos, length, channels, delays=(), gains=(), fb=0.0, mix=1.0):
    d, g = taps(delays, gains)
    out, pos = m.multitap_s16(s16(inp), ring, wpos, length, channels, d, g, fb, mix)
    return samples(out), pos


def multitap_in_blocks(inp, sizes, ring, wpos, length, channels, delays, gains, fb, mix):
    """Output samples and final position of inp run in blocks of the given frame counts."""
    out, at = [], 0
    for size in sizes:
        o, wpos = multitap(inp[at:at + size * channels], ring, wpos, length, channels, delays, gains, fb, mix)
        out += o
        at += size * channels
    return out, wpos


class TestWorkedValues:
    def test_two_full_scale_taps_fold_through_the_tap_knee(self):
        ring = bytearray(s16([32767, 32767, 0]))
        out, pos = multitap([0], ring, 2, 3, 1, [1, 2], [1.0, 1.0], mix=2.0)
        # 65534 -> 32095 through the tap-sum knee, then the output knee.
        assert out == [28000 + ((4095 * 7151) >> 16)] and pos == 0

    def test_single_tap_has_no_knee_and_reads_its_delay(self):
        ring = bytearray(s16([1000, 2000, 3000, 4000]))
        # write_pos 1: delay 1 reads cell 0, delay 4 (and 0) read cell 1, the oldest.
        assert multitap([0], bytearray(ring), 1, 4, 1, [1], [0.5], mix=2.0)[0] == [500]
        assert multitap([0], bytearray(ring), 1, 4, 1, [4], [-1.0], mix=2.0)[0] == [-2000]
        assert multitap([0], bytearray(ring), 1, 4, 1, [0], [1.0], mix=2.0)[0] == [2000]
        assert multitap([0], bytearray(ring), 1, 4, 1, [1], [20.0], mix=2.0)[0] == [model.knee(20000)]

    def test_odd_stereo_block_holds_the_write_position(self):
        ring = bytearray(8)
        out, pos = multitap([1, 2, 3], ring, 0, 2, 2, fb=0.0)
        assert pos == 1 and samples(ring) == [1, 3, 2, 0] and out == [1, 2, 3]

    def test_empty_block_and_empty_taps(self):
        assert multitap([], bytearray(4), 1, 2, 1) == ([], 1)


@pytest.mark.parametrize("fb", [0.0, 1.0, -1.0])
@pytest.mark.parametrize("channels", [1, 2])
def test_no_taps_is_the_normal_echo(fb, channels):
    rng = random.Random(channels)
    length = 7
    cells = random_block(rng, length * channels, 28000)
    inp = random_block(rng, 200 * channels)
    ring, line = bytearray(s16(cells)), bytearray(s16(cells))
    pos = echo_l = echo_r = 3
    out_t, out_e = [], []
    for at in range(0, len(inp), 6 * channels):  # several blocks
        chunk = inp[at:at + 6 * channels]
        o, pos = multitap(chunk, ring, pos, length, channels, fb=fb, mix=1.5)
        out_t += o
        e, echo_l, echo_r = m.echo_s16(s16(chunk), line, echo_l, echo_r, length, length, 0, fb, 1.5, False,
                                       channels)
        out_e += samples(e)
    assert out_t == out_e and ring == line and pos == echo_l


multitap_cases = st.fixed_dictionaries({
    "channels": st.sampled_from([1, 2]),
    "length": st.integers(1, 9),
    "delays": st.lists(st.one_of(st.integers(0, 10), st.sampled_from([2 ** 32 - 1, 2 ** 31, 15])), max_size=5),
    "gain_pool": st.lists(st.one_of(st.floats(-1.5, 1.5), st.sampled_from([1.0, 1e15, math.nan, -math.inf])),
                          min_size=5, max_size=5),
    "fb": st.one_of(st.floats(-1.2, 1.2), st.sampled_from([0.5, 40.0, math.nan])),
    "mix": st.one_of(st.floats(-0.5, 2.5), st.sampled_from([1.0, 2.0, math.inf])),
    "wpos": st.one_of(st.integers(0, 12), st.just(2 ** 32 - 1)),
    "sizes": st.lists(st.integers(0, 30), min_size=1, max_size=4),
    "odd": st.booleans(),
    "seed": st.integers(0, 2 ** 16),
})


@given(multitap_cases)
def test_against_model_over_blocks(case):
    rng = random.Random(case["seed"])
    ch, length, delays = case["channels"], case["length"], case["delays"]
    gains = case["gain_pool"][:len(delays)]
    tail = 1 if case["odd"] and ch == 2 else 0
    inp = random_block(rng, sum(case["sizes"]) * ch + tail)
    cells = random_block(rng, length * ch, 30000)
    ring = bytearray(s16(cells) + b"\x77\x77")
    out, pos = multitap_in_blocks(inp, case["sizes"] + [tail], ring, case["wpos"], length, ch, delays, gains,
                                  case["fb"], case["mix"])
    want_ring = list(cells)
    want = model.multitap(inp, want_ring, case["wpos"], length, ch, delays, gains, case["fb"], case["mix"])
    assert (out, pos) == want
    assert samples(ring) == want_ring + [0x7777]


long_line_cases = st.fixed_dictionaries({
    "channels": st.sampled_from([1, 2]),
    "length": st.integers(16, 90),
    "delays": st.lists(st.integers(16, 90), min_size=1, max_size=40),
    "fb": st.floats(-1.0, 1.0),
    "gain": st.sampled_from([0.2, 0.9, 1.0]),
    "wpos": st.integers(0, 89),
    "sizes": st.lists(st.integers(0, 300), min_size=1, max_size=3),
    "odd": st.booleans(),
    "seed": st.integers(0, 2 ** 16),
})


@given(long_line_cases)
def test_long_delays_over_blocks(case):
    # Delays of 16 frames and more let whole runs of frames be read before
    # they are written; runs end at the line's wrap and at every tap's wrap.
    rng = random.Random(case["seed"])
    ch, length = case["channels"], case["length"]
    delays = [min(d, length) for d in case["delays"]]
    gains = [rng.uniform(-1, 1) * case["gain"] for _ in delays]
    wpos = case["wpos"] % length
    tail = 1 if case["odd"] and ch == 2 else 0
    inp = random_block(rng, sum(case["sizes"]) * ch + tail)
    cells = random_block(rng, length * ch, 30000)
    ring = bytearray(s16(cells))
    out, pos = multitap_in_blocks(inp, case["sizes"] + [tail], ring, wpos, length, ch, delays, gains, case["fb"], 2.0)
    want_ring = list(cells)
    assert (out, pos) == model.multitap(inp, want_ring, wpos, length, ch, delays, gains, case["fb"], 2.0)
    assert samples(ring) == want_ring


def test_input_sharing_the_line_memory():
    # The input may be a view of the line itself: each frame then reads what
    # the frames before it wrote.
    rng = random.Random(5)
    length, delays, gains = 64, [16, 40], [0.5, -0.7]
    cells = random_block(rng, length, 30000)
    ring = bytearray(s16(cells))
    d, g = taps(delays, gains)
    out, pos = m.multitap_s16(memoryview(ring)[2:2 + 2 * 40], ring, 3, length, 1, d, g, 0.5, 1.0)
    want_ring = list(cells)
    want = [0] * 40
    model_ring = list(cells)
    for i in range(40):  # frame by frame: the input sample is read when its frame runs
        x = model_ring[1 + i]
        o, _ = model.multitap([x], model_ring, (3 + i) % length, length, 1, delays, gains, 0.5, 1.0)
        want[i] = o[0]
    assert (samples(out), pos) == (want, 43)
    assert samples(ring) == model_ring


def test_many_taps_use_the_knee_sized_for_their_count():
    rng = random.Random(3)
    ring = bytearray(s16(random_block(rng, 64)))
    want_ring = samples(ring)
    delays = list(range(1, 41))
    gains = [1.0] * 40
    inp = random_block(rng, 50)
    out, pos = multitap(inp, ring, 5, 64, 1, delays, gains, 0.9, 2.0)
    assert (out, pos) == model.multitap(inp, want_ring, 5, 64, 1, delays, gains, 0.9, 2.0)
    assert samples(ring) == want_ring


@pytest.mark.parametrize("inp,ring,length,channels,ndelay,ngain", [
    (3, 8, 2, 1, 0, 0),      # odd byte count
    (4, 8, 2, 3, 0, 0),      # channel count
    (4, 8, 0, 1, 0, 0),      # no line
    (4, 8, 2, 1, 6, 16),     # delays not whole u32s
    (4, 8, 2, 1, 8, 8),      # gains not one per tap
    (4, 7, 2, 2, 4, 8),      # ring too short
])
def test_rejections_leave_buffers_untouched(inp, ring, length, channels, ndelay, ngain):
    buffers = [bytearray(b"\x01" * inp), bytearray(b"\x22" * ring), bytearray(ndelay), bytearray(ngain)]
    with pytest.raises(ValueError) as err:
        m.multitap_s16(buffers[0], buffers[1], 0, length, channels, buffers[2], buffers[3], 0.5, 1.0)
    assert str(err.value) == MESSAGE
    assert buffers[1] == b"\x22" * ring
    for b in buffers:
        assert_released(b)


def test_misaligned_buffers_and_release():
    rng = random.Random(4)
    inp = random_block(rng, 40)
    cells = random_block(rng, 10)
    d, g = taps([1, 3], [0.5, -0.25])
    want = m.multitap_s16(s16(inp), bytearray(s16(cells)), 2, 5, 2, d, g, 0.3, 1.0)
    ring = bytearray(b"\x00" + s16(cells))
    dd, gg = bytearray(b"\x00" + d), bytearray(b"\x00" + g)
    got = m.multitap_s16(s16(inp), memoryview(ring)[1:], 2, 5, 2, memoryview(dd)[1:], memoryview(gg)[1:], 0.3, 1.0)
    assert got == want
    for b in (ring, dd, gg):
        assert_released(b)
