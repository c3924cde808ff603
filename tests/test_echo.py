import math
import random

import pytest
from hypothesis import given, strategies as st

import _divavova as m
import delay_models as model
from delay_models import random_block
from helpers import assert_released, s16, samples

MESSAGE = "invalid echo parameters"


def echo(inp, line, lpos, rpos, delay, capacity, step=0, fb=0.0, mix=1.0, variable=False, channels=1):
    out, lp, rp = m.echo_s16(s16(inp), line, lpos, rpos, delay, capacity, step, fb, mix, variable, channels)
    return samples(out), lp, rp


class TestWorkedValues:
    def test_delay_one_adds_previous_sample(self):
        line = bytearray(2)
        out, lp, rp = echo([1000, -2000, 3000, 27000], line, 0, 7, 1, 1)
        assert out == [1000, -1000, 1000, 28000 + (((30000 - 28000) * 7151) >> 16)]
        assert (lp, rp) == (0, 7)  # mono leaves the right position alone
        assert samples(line) == [27000]

    def test_knee_values_on_the_dry_path(self):
        inp = [28000, 28001, 30000, 32767, -28001, -32768]
        out, _, _ = echo(inp, bytearray(2), 0, 0, 1, 1, mix=0.0)
        assert out == [28000, 28000, 28218, 28520, -28001, -28521]

    def test_feedback_sum_of_40000_is_stored_at_29309(self):
        line = bytearray(s16([20000]))
        echo([20000], line, 0, 0, 1, 1, fb=1.0)
        assert samples(line) == [29309]

    def test_mix_extremes(self):
        line = bytearray(s16([5000]))
        assert echo([100], bytearray(line), 0, 0, 1, 1, mix=0.0)[0] == [100]
        assert echo([100], bytearray(line), 0, 0, 1, 1, mix=2.0)[0] == [5000]
        assert echo([100], bytearray(line), 0, 0, 1, 1, mix=1.0)[0] == [5100]
        assert echo([100], bytearray(line), 0, 0, 1, 1, mix=0.5)[0] == [2600]

    def test_stereo_layout_and_odd_block(self):
        # Right line from capacity_frames on; cells between and beyond kept.
        state = bytearray(s16([0, 0, 111, 0, 0, 222, 333]))
        out, lp, rp = echo([10, 20, 30, 40, 50], state, 0, 1, 2, 3, mix=2.0, channels=2)
        assert out == [0, 0, 0, 0, 10]
        assert (lp, rp) == (1, 1)
        assert samples(state) == [50, 30, 111, 40, 20, 222, 333]

    def test_empty_block(self):
        out, lp, rp = echo([], bytearray(8), 1, 1, 2, 2, channels=2)
        assert (out, lp, rp) == ([], 1, 1)

    def test_variable_rate_unit_step_on_a_one_cell_line_moves_as_the_normal_mode(self):
        line = bytearray(2)
        assert echo([100, 200, 300], line, 0, 0, 1, 1, step=256, mix=1.0, variable=True) == ([100, 300, 500], 0, 0)
        assert samples(line) == [300]

    def test_variable_rate_step_past_the_line_feeds_each_pass_back(self):
        # 778 / 256: three passes over the one cell, 1000 -> 600 -> 400 -> 300
        line = bytearray(s16([1000]))
        assert echo([100], line, 0, 0, 1, 1, step=778, fb=0.5, variable=True) == ([1100], 10, 0)
        assert samples(line) == [300]

    def test_variable_rate_near_full_step_is_bounded(self):
        # 2^24 passes per sample over three cells: the feedback map settles,
        # so this returns at once; the model agrees
        inp, cells = [30000, -30000, 5, 7] * 8, [1, -2, 3]
        for fb in (0.5, 1.0, -1.0, 1.7):
            line, want_line = bytearray(s16(cells)), list(cells)
            got = echo(inp, line, 5, 0, 3, 3, step=2 ** 32 - 1, fb=fb, variable=True)
            assert got == model.echo(inp, want_line, 5, 0, 3, 3, 2 ** 32 - 1, fb, 1.0, True, 1)
            assert samples(line) == want_line

    def test_variable_rate_half_speed_writes_every_second_sample(self):
        line = bytearray(8)
        out, lp, _ = echo(list(range(1, 13)), line, 0, 0, 4, 4, step=128, mix=2.0, variable=True)
        # The sample that carries the head over a cell is written into it.
        assert samples(line) == [10, 12, 6, 8]
        assert lp == 512  # twelve half steps of 128, wrapped once past the 4 x 256 of the line
        assert out == [0] * 8 + [2, 2, 4, 4]


def run_blocks(sizes, inp, line, args, channels):
    """Feeds inp in blocks of the given sizes (in frames); returns output and positions."""
    lp, rp = args["lpos"], args["rpos"]
    out, at = [], 0
    for size in sizes:
        chunk = inp[at:at + size * channels]
        at += len(chunk)
        o, lp, rp = echo(chunk, line, lp, rp, args["delay"], args["capacity"], args["step"], args["fb"],
                         args["mix"], args["variable"], channels)
        out += o
    return out, lp, rp


ECHO_CASES = {
    "channels": st.sampled_from([1, 2]),
    "delay": st.integers(1, 12),
    "spare": st.integers(0, 3),
    "variable": st.booleans(),
    "step": st.one_of(st.integers(0, 1200), st.sampled_from([256, 2 ** 32 - 1, 2 ** 31])),
    "fb": st.one_of(st.floats(-1.2, 1.2), st.sampled_from([0.0, 1.0, -1.0, 3.5, 1e12, math.nan, math.inf])),
    "mix": st.one_of(st.floats(-0.5, 2.5), st.sampled_from([0.0, 1.0, 2.0, math.nan, -math.inf])),
    "lpos": st.one_of(st.integers(0, 3100), st.just(2 ** 32 - 1)),
    "rpos": st.one_of(st.integers(0, 3100), st.just(2 ** 32 - 1)),
    "sizes": st.lists(st.integers(0, 40), min_size=1, max_size=5),
    "odd": st.booleans(),
    "seed": st.integers(0, 2 ** 16),
}

# Variable-rate lines long enough for hundreds of samples between wraps of the
# head, steps up to and past eight cells a sample, feedback on both sides of
# 6.63 (where 32768 * (1 + |feedback|) passes 250000), blocks of up to 300 frames.
LONG_LINE_CASES = dict(
    ECHO_CASES, delay=st.integers(13, 400), variable=st.just(True),
    step=st.one_of(st.integers(0, 2100), st.sampled_from([255, 257, 1793, 1794])),
    fb=st.one_of(st.floats(-7.0, 7.0), st.sampled_from([0.4, 6.62, -6.63, math.nan])),
    lpos=st.one_of(st.integers(0, 102400), st.just(2 ** 32 - 1)), rpos=st.integers(0, 102400),
    sizes=st.lists(st.integers(0, 300), min_size=1, max_size=5))


@given(st.fixed_dictionaries(ECHO_CASES))
def test_against_model_over_blocks(case):
    check_against_model(case)


@given(st.fixed_dictionaries(LONG_LINE_CASES))
def test_variable_rate_on_long_lines_against_model_over_blocks(case):
    check_against_model(case)


def check_against_model(case):
    rng = random.Random(case["seed"])
    ch, delay = case["channels"], case["delay"]
    capacity = delay + case["spare"]
    tail = 1 if case["odd"] and ch == 2 else 0  # a lone left sample can only end the stream
    inp = random_block(rng, sum(case["sizes"]) * ch + tail)
    cells = random_block(rng, capacity * ch + 2, 28000)
    args = dict(case, capacity=capacity)
    line = bytearray(s16(cells))
    out, lp, rp = run_blocks(case["sizes"] + [tail], inp, line, args, ch)
    want_line = list(cells)
    want = model.echo(inp, want_line, case["lpos"], case["rpos"], delay, capacity, case["step"], case["fb"],
                      case["mix"], case["variable"], ch)
    assert (out, lp, rp) == want
    assert samples(line) == want_line


def test_variable_rate_at_unit_step_is_the_normal_mode():
    rng = random.Random(5)
    inp = random_block(rng, 301)
    normal, var = bytearray(s16(random_block(rng, 22))), None
    var = bytearray(normal)
    out_n, lp, rp = echo(inp, normal, 3, 9, 10, 11, fb=0.7, mix=1.3, channels=2)
    out_v, lpv, rpv = echo(inp, var, 3 * 256, 9 * 256, 10, 11, step=256, fb=0.7, mix=1.3, variable=True,
                           channels=2)
    assert out_n == out_v and normal == var and (lp * 256, rp * 256) == (lpv, rpv)


def test_hostile_positions_and_steps_stay_inside():
    line = bytearray(s16([7] * 6) + b"\x55" * 4)
    for lpos, rpos, step, variable in [(2 ** 32 - 1, 2 ** 32 - 2, 2 ** 32 - 1, True), (10 ** 9, 3, 0, False),
                                       (2 ** 31, 2 ** 31, 2 ** 31 + 5, True)]:
        out, lp, rp = echo(list(range(-50, 51)), line, lpos, rpos, 3, 3, step, 2.0, 1.0, variable, 2)
        limit = 3 * 256 if variable else 3
        assert lp < limit and rp < limit and len(out) == 101
    assert line[12:] == b"\x55" * 4


def test_line_of_2_24_cells_refused_in_variable_mode_only():
    n = 1 << 24
    line = bytearray(2 * n)
    with pytest.raises(ValueError, match=MESSAGE):
        m.echo_s16(s16([1]), line, 0, 0, n, n, 256, 0.0, 1.0, True, 1)
    assert m.echo_s16(s16([1]), line, 5, 0, n, n, 256, 0.0, 1.0, False, 1)[1] == 6
    assert m.echo_s16(s16([1]), line, 5, 0, n - 1, n, 256, 0.0, 1.0, True, 1)[1] == 5 + 256


@pytest.mark.parametrize("inp,state,delay,capacity,channels", [
    (b"\x00" * 3, 8, 2, 2, 1),         # odd byte count
    (b"\x00" * 4, 8, 2, 2, 3),         # channel count
    (b"\x00" * 4, 8, 2, 2, 0),
    (b"\x00" * 4, 8, 0, 2, 1),         # no line
    (b"\x00" * 4, 8, 3, 2, 1),         # delay beyond capacity
    (b"\x00" * 4, 7, 2, 2, 2),         # state too short for two lines
])
def test_rejections_leave_buffers_untouched(inp, state, delay, capacity, channels):
    line = bytearray(b"\x11" * state)
    source = bytearray(inp)
    with pytest.raises(ValueError) as err:
        m.echo_s16(source, line, 0, 0, delay, capacity, 0, 0.5, 1.0, False, channels)
    assert str(err.value) == MESSAGE
    assert line == b"\x11" * state
    assert_released(line)
    assert_released(source)


def test_views_released_and_misaligned_buffers():
    rng = random.Random(9)
    inp = random_block(rng, 64)
    state = random_block(rng, 10)
    aligned = bytearray(s16(state))
    padded = bytearray(b"\x00" + s16(state))
    source = bytearray(b"\x00" + s16(inp))
    want = m.echo_s16(s16(inp), aligned, 1, 2, 5, 5, 0, 0.6, 1.0, False, 2)
    got = m.echo_s16(memoryview(source)[1:], memoryview(padded)[1:], 1, 2, 5, 5, 0, 0.6, 1.0, False, 2)
    assert got == want and padded[1:] == aligned
    assert_released(padded)
    assert_released(source)
    with pytest.raises(TypeError):
        m.echo_s16(b"", padded, 0, 0, 1, 1, 0, 0.0, 1.0, False)
    assert_released(padded)
