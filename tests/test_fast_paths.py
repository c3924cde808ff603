"""The vectorised loops of the utilities and the voice path against plain models,
at the values where their 32-bit forms could part from the wide arithmetic:
saturation edges, the widest samples, block lengths around vector widths and
the chunk size of the oscillator and ring scratch blocks."""

import array

import numpy as np
import pytest

import _divavova as m
import synth_model as model
from helpers import i32, s16, samples

EXTREMES_16 = [-32768, -32767, -16384, -1, 0, 1, 16383, 32766, 32767]
EXTREMES_32 = [-2**31, -2**31 + 1, -65537, -65536, -65535, -28001, -28000, 0, 27999, 28000, 28001,
               65535, 65536, 65537, 2**31 - 2, 2**31 - 1]


def _knee_model(values, voices):
    k = 268435455 // (voices * 32768 - 28000)
    return [model.saturate(model.knee(x, k)) for x in values]


@pytest.mark.parametrize("voices", [1, 2, 3, 64, 1000, 65536, 2**32 - 1])
def test_mixdown_at_the_saturation_edge(voices):
    k = 268435455 // (voices * 32768 - 28000)
    values = list(EXTREMES_32)
    if k:
        for edge in (312410112 // k, 312410113 // k):   # where the knee output reaches +-full scale
            for d in (-2, -1, 0, 1, 2, 3):
                values += [28000 + edge + d, -28000 - edge - d]
    values = [v for v in values if -2**31 <= v < 2**31]
    assert samples(m.mixdown_i32(i32(values), voices)) == _knee_model(values, voices)


def test_loudness_across_the_narrow_and_wide_paths():
    rng = np.random.default_rng(3)
    narrow = [int(v) for v in rng.integers(-65535, 65536, 70)] + [65535, -65535]
    for block in (narrow, narrow + [65536], [-65536] + narrow, narrow + [2**31 - 1, -2**31]):
        for levels in ((32767, -32768, 32767, -32768), (-32768, 32767, 100, -100), (12345, 23456, 12345, 23456)):
            for channels in (1, 2):
                got = samples(m.apply_loudness_i32(i32(block), levels[0], levels[1], channels, levels[2], levels[3]),
                              "i")
                want = model.level_stage(block, levels[2:], levels[:2], channels)
                assert got == want, (block[:3], levels, channels)


def test_ring_products_at_the_extremes():
    table = array.array("h", EXTREMES_16)
    voice = [r for r in EXTREMES_32 for _ in EXTREMES_16]      # every pair of table and voice value
    step = 1 << 16
    got, phase = m.ring_multiply_i32(i32(voice), table, len(table) << 16, step, 0, len(table))
    want, want_phase = model.ring_multiply(voice, list(table), len(table) << 16, step, 0, len(table))
    assert (samples(got, "i"), phase) == (want, want_phase)


@pytest.mark.parametrize("count", [0, 1, 1023, 1024, 1025, 3000])
def test_blocks_longer_than_the_scratch_chunk(count):
    rng = np.random.default_rng(count)
    table = array.array("h", rng.integers(-32768, 32768, 300, dtype=np.int16).tobytes())
    step, phase = 0x2F123, (300 << 16) + 12345     # a phase past the loop end is folded
    for channels in (1, 2):
        got, position = m.oscillator_i32(table, phase, step, 10, 300, -32768, 32767, channels, count)
        want, want_position = model.oscillator(list(table), phase, step, 10, 300, -32768, 32767, channels, count)
        assert (samples(got, "i"), position) == (want, want_position)
    # a step beyond half the loop end renders silence and keeps the phase
    assert m.oscillator_i32(table, 5, 300 << 15 | 1, 10, 300, 1000, 1000, 2, count) == (bytes(8 * count), 5)
    voice = [int(v) for v in rng.integers(-2**31, 2**31, count)]
    got, position = m.ring_multiply_i32(i32(voice), table, phase, step, 10, 300)
    assert (samples(got, "i"), position) == model.ring_multiply(voice, list(table), phase, step, 10, 300)


def test_utility_loops_on_every_short_length():
    rng = np.random.default_rng(8)
    for n in range(0, 75):
        a = rng.choice(EXTREMES_16, 2 * n).astype(np.int64)
        b = rng.choice(EXTREMES_16, 2 * n).astype(np.int64)
        assert samples(m.mix_s16(s16(a), s16(b))) == list(np.clip(a + b, -32768, 32767))
        for depth, q in ((1.0, 32768), (0.5, 16384), (0.3, 9830)):
            want = np.clip((q * ((a * b) >> 15) + (32768 - q) * a) >> 15, -32768, 32767)
            assert samples(m.multiply_s16(s16(a), s16(b), depth)) == list(want)
        left, right = a[0::2], a[1::2]
        for width, w in ((2.0, 32768), (1.5, 24576), (0.0, 0)):
            side = ((left - right) * w) >> 14
            want = np.empty(2 * n, np.int64)
            want[0::2] = np.clip((left + right + side + 1) >> 1, -32768, 32767)
            want[1::2] = np.clip((left + right - side + 1) >> 1, -32768, 32767)
            assert samples(m.midside_s16(s16(a), width)) == list(want)
        assert samples(m.remix_s16(s16(a), 2, 1)) == [int(model.trunc_div(x + y, 2)) for x, y in zip(left, right)]
