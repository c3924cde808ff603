import array
import math
import random

import pytest
from hypothesis import given, strategies as st

import _divavova as m
import delay_models as model
from delay_models import random_block
from helpers import assert_released, s16, samples

MESSAGE = "invalid freeverb state"
SIZES = (22048, 32, 16, 3126, 16)


def fresh(extra=0):
    return [bytearray(n + extra) for n in SIZES]


def split(cells, lengths):
    out, at = [], 0
    for n in lengths:
        out.append(cells[at:at + n])
        at += n
    return out


def run(inp, state, room=0.5, damping=0.5, mix=0.5):
    return samples(m.freeverb_s16(s16(inp), *state, room, damping, mix))


class TestWorkedValues:
    def test_dry_only(self):
        state = fresh()
        assert run([1, -1, 20000, 32767, -32768], state, mix=0.0) == [0, 0, 19999, 28520, -28521]
        assert samples(state[1], "I")[0] == 5  # the state still advances

    def test_positions_wrap_at_their_lengths(self):
        state = fresh()
        run([0] * 225, state)
        assert samples(state[4], "I")[3] == 0
        run([0] * (1116 - 225), state)
        assert samples(state[1], "I")[0] == 0
        assert samples(state[4], "I") == [1116 % n for n in model.ALLPASS_LENGTHS]

    def test_empty_block_rewrites_positions_as_their_low_16_bits(self):
        state = fresh()
        state[1][:] = array.array("I", [0x10005, 0xFFFF0000, 7, 1116, 0, 0, 0, 70000]).tobytes()
        state[4][:] = array.array("I", [0x20001, 0, 0, 225]).tobytes()
        assert run([], state) == []
        assert samples(state[1], "I") == [5, 0, 7, 1116, 0, 0, 0, 70000 % 65536 % 1617]
        assert samples(state[4], "I") == [1, 0, 0, 0]

    def test_no_damping_lets_the_store_follow_the_line(self):
        state = fresh()
        state[0][:] = s16(list(range(11024)))
        run([0], state, damping=0.0)
        assert samples(state[2]) == [0, 1116, 2304, 3581, 4937, 6359, 7850, 9407]


freeverb_cases = st.fixed_dictionaries({
    "room": st.one_of(st.floats(-0.5, 1.5), st.sampled_from([1.0, math.nan])),
    "damping": st.one_of(st.floats(-0.5, 1.5), st.sampled_from([0.0, math.inf])),
    "mix": st.one_of(st.floats(-0.5, 1.5), st.sampled_from([0.5, 1.0, math.nan])),
    "sizes": st.lists(st.integers(0, 40), min_size=1, max_size=4),
    "amplitude": st.sampled_from([3000, 32768]),
    "positions": st.booleans(),
    "seed": st.integers(0, 2 ** 16),
})


@given(freeverb_cases)
def test_against_model_over_blocks(case):
    rng = random.Random(case["seed"])
    amp = case["amplitude"]
    combs = random_block(rng, 11024, amp)
    comb_pos = [rng.randrange(2 ** 32) if case["positions"] else rng.randrange(n) for n in model.COMB_LENGTHS]
    stores = random_block(rng, 8, amp)
    allpasses = random_block(rng, 1563, amp)
    allpass_pos = [rng.randrange(2 ** 32) if case["positions"] else rng.randrange(n)
                   for n in model.ALLPASS_LENGTHS]
    state = [bytearray(s16(combs)), bytearray(array.array("I", comb_pos).tobytes()), bytearray(s16(stores)),
             bytearray(s16(allpasses)), bytearray(array.array("I", allpass_pos).tobytes())]
    inp = random_block(rng, sum(case["sizes"]))
    out, at = [], 0
    for size in case["sizes"]:
        out += run(inp[at:at + size], state, case["room"], case["damping"], case["mix"])
        at += size
    comb_lines, allpass_lines = split(combs, model.COMB_LENGTHS), split(allpasses, model.ALLPASS_LENGTHS)
    want = model.freeverb(inp, comb_lines, comb_pos, stores, allpass_lines, allpass_pos, case["room"],
                          case["damping"], case["mix"])
    assert out == want
    assert samples(state[0]) == sum(comb_lines, [])
    assert samples(state[1], "I") == comb_pos
    assert samples(state[2]) == stores
    assert samples(state[3]) == sum(allpass_lines, [])
    assert samples(state[4], "I") == allpass_pos


@pytest.mark.parametrize("short", range(len(SIZES) + 1))
def test_rejections_leave_buffers_untouched(short):
    state = [bytearray(b"\x44" * n) for n in SIZES]
    inp = bytearray(3 if short == 0 else 4)
    if short:
        state[short - 1] = bytearray(b"\x44" * (SIZES[short - 1] - 1))
    with pytest.raises(ValueError) as err:
        m.freeverb_s16(inp, *state, 0.5, 0.5, 0.5)
    assert str(err.value) == MESSAGE
    for b in state:
        assert set(b) == {0x44}
        assert_released(b)
    assert_released(inp)


def test_longer_and_misaligned_buffers():
    rng = random.Random(8)
    inp = random_block(rng, 300)
    plain = fresh()
    want = run(inp, plain)
    padded = fresh(extra=3)
    views = [memoryview(b)[1:-2] for b in padded]
    got = samples(m.freeverb_s16(s16(inp), *views, 0.5, 0.5, 0.5))
    assert got == want
    for b, p in zip(padded, plain):
        assert b[1:-2] == p and b[0] == 0 and b[-2:] == b"\x00\x00"
    del views
    for b in padded:
        assert_released(b)


@pytest.mark.parametrize("layout", ["stores in the comb lines", "positions in the all-pass lines",
                                    "stores and positions share bytes"])
def test_buffers_that_share_memory_keep_the_order_of_every_access(layout):
    # One bytearray holds all five buffers; some of them overlap.  The model
    # runs on the same layout through memoryviews, reading and writing every
    # value where and when the algorithm does.
    starts = {"stores in the comb lines": (0, 22100, 40, 22200, 25400),
              "positions in the all-pass lines": (0, 22100, 22200, 22300, 22310),
              "stores and positions share bytes": (0, 22100, 22120, 22200, 25400)}[layout]
    rng = random.Random(3)
    memory = bytearray(s16(random_block(rng, 14000, 3000)))

    def views(buffer):
        return [memoryview(buffer)[start:start + n] for start, n in zip(starts, SIZES)]

    inp = random_block(rng, 3000)
    want = bytearray(memory)
    lines, comb_pos, stores, allpass_lines, allpass_pos = views(want)
    lines, allpass_lines = lines.cast("h"), allpass_lines.cast("h")
    combs, allpasses = split(lines, model.COMB_LENGTHS), split(allpass_lines, model.ALLPASS_LENGTHS)
    expected = model.freeverb(inp, combs, comb_pos.cast("I"), stores.cast("h"), allpasses, allpass_pos.cast("I"),
                              0.9, 0.2, 0.7)
    assert samples(m.freeverb_s16(s16(inp), *views(memory), 0.9, 0.2, 0.7)) == expected
    assert memory == want



@given(st.integers(0, 7), st.lists(st.integers(1, 19), min_size=1, max_size=6), st.integers(0, 2 ** 16))
def test_windows_across_line_ends(before_end, sizes, seed):
    # Every line starts a few cells before its end, so the eight-sample
    # windows of the block loop cross the ends in every phase (the first
    # block ends just where comb 0 and all-pass 0 wrap); full-scale noise
    # drives the saturations.  The whole state is compared after every block.
    rng = random.Random(seed)
    combs, stores, allpasses = random_block(rng, 11024), random_block(rng, 8), random_block(rng, 1563)
    comb_pos = [n - 1 - (before_end + k) % n for k, n in enumerate(model.COMB_LENGTHS)]
    allpass_pos = [n - 1 - (before_end + 3 * j) % n for j, n in enumerate(model.ALLPASS_LENGTHS)]
    state = [bytearray(s16(combs)), bytearray(array.array("I", comb_pos).tobytes()), bytearray(s16(stores)),
             bytearray(s16(allpasses)), bytearray(array.array("I", allpass_pos).tobytes())]
    comb_lines, allpass_lines = split(combs, model.COMB_LENGTHS), split(allpasses, model.ALLPASS_LENGTHS)
    for size in [before_end + 1, 60] + sizes:
        inp = random_block(rng, size)
        assert run(inp, state, 0.95, 0.1, 1.0) == model.freeverb(inp, comb_lines, comb_pos, stores, allpass_lines,
                                                                 allpass_pos, 0.95, 0.1, 1.0)
        assert samples(state[0]) == sum(comb_lines, []) and samples(state[3]) == sum(allpass_lines, [])
        assert samples(state[2]) == stores
        assert samples(state[1], "I") == comb_pos and samples(state[4], "I") == allpass_pos
