"""TankState: geometry, construction checks, options and the per-frame path."""

import random

import pytest
from hypothesis import given, strategies as st

import _divavova as m
import ids
from helpers import assert_released, misaligned, s16, samples
from tank_model import TankModel

LINES_48K = [229, 173, 611, 447, 1084, 7182, 2903, 6000, 1464, 6801, 4284, 5101]
TAP_OFFSETS_48K = [429, 4797, 3085, 3219, 3210, 302, 1719, 569, 5850, 1981, 4311, 3405, 540, 195]
WHOLE_FRAMES = "input must be whole 16-bit frames for the configured channel count"
COUNT_MESSAGE = "delays needs 12 line lengths; taps needs 4 values per tap"


def run(tank, values):
    return samples(tank.process(s16(values)))


def impulse(frames, channels=2, value=10000):
    return [value] * channels + [0] * ((frames - 1) * channels)


def plain_tank(**kwargs):
    """Diffusion 0 and decay 0: every all-pass is a plain delay and only
    lines 4, 5, 8 and 9 ever carry signal; mix 2 leaves the wet sum alone."""
    tank = m.TankState(**kwargs)
    for option, value in ((0, 0.0), (1, 0.0), (11, 2.0)):
        tank.configure(option, value)
    return tank


# --- geometry ---------------------------------------------------------------

def offset_accepted(line, offset, **kwargs):
    try:
        m.TankState(taps=[0, line, offset, 1.0], **kwargs)
        return True
    except ValueError as error:
        assert str(error) == "a tap offset is past the end of its line"
        return False


@pytest.mark.parametrize("rate, lengths", [(48000, LINES_48K), (1, [4] * 12)])
def test_rescaled_line_lengths(rate, lengths):
    for line, length in enumerate(lengths):
        assert offset_accepted(line, length - 1, sample_rate=rate)
        assert not offset_accepted(line, length, sample_rate=rate)
    assert sum(LINES_48K) == 36279


def test_default_taps_at_48000_hz():
    # The impulse crosses the four diffusers (1460 frames), the modulated
    # all-pass at age L - 1, then sits in line 5 or 9 where six default
    # taps read it at their offsets with gain +-0.6.
    tank = plain_tank()
    out = run(tank, impulse(8500))
    left, right = out[0::2], out[1::2]
    into5, into9 = 1460 + 1083, 1460 + 1463
    assert {i: v for i, v in enumerate(left) if v} == {
        into9 + 429: 6000, into5 + 3210: -6000, into9 + 4797: 6000}
    assert {i: v for i, v in enumerate(right) if v} == {
        into5 + 569: 6000, into9 + 3405: -6000, into5 + 5850: 6000}
    model = TankModel()
    assert model.lengths == LINES_48K and model.capacity == 9600
    assert [tap[2] for tap in model.taps] == TAP_OFFSETS_48K
    assert [tap[2] for tap in TankModel(sample_rate=1).taps] == [1] * 14
    assert TankModel(sample_rate=1).capacity == 1


def test_predelay_capacity_at_48000_hz():
    def shifted(ms):
        tank = plain_tank()
        tank.configure(ids.Tank.PREDELAY_MS, ms)
        return run(tank, impulse(9600 + 3200))
    at_capacity = shifted(200.0)
    assert at_capacity == shifted(1000.0)
    assert at_capacity != shifted(199.9)
    assert at_capacity[1::2].index(6000) == 9600 + 1460 + 1083 + 569


def test_short_delays_pull_default_taps_in():
    model = TankModel(delays=[4] * 12)
    assert [tap[2] for tap in model.taps] == [3] * 14
    tank = m.TankState(delays=[4] * 12)
    tank.configure(ids.Tank.MIX, 2.0)
    values = [random.Random(1).randint(-30000, 30000) for _ in range(400)]
    assert run(tank, values) == (model.configure(ids.Tank.MIX, 2.0), model.process(values))[1]


def test_predelay_of_one_frame_delays_the_rounded_input():
    # Capacity 1 at 1000 Hz and 1 ms.  Stereo odd sums give x = n + 0.5: the
    # pre-delay stores it rounded, a zero pre-delay passes it unrounded.
    rng = random.Random(2)
    stereo = [rng.randint(-20000, 20000) for _ in range(600)]
    rounded = []
    for i in range(0, 600, 2):
        x = (stereo[i] + stereo[i + 1]) / 2
        r = int(x + 0.5) if x >= 0 else int(x - 0.5)
        rounded += [r, r]
    delayed, direct = plain_tank(sample_rate=1000, max_predelay_ms=1.0), plain_tank(sample_rate=1000)
    delayed.configure(ids.Tank.PREDELAY_MS, 1.0)
    assert run(delayed, stereo)[2:] == run(direct, rounded)[:-2]


# --- construction checks ------------------------------------------------------

@pytest.mark.parametrize("kwargs, error, message", [
    (dict(sample_rate=0, max_predelay_ms=-1, channel_count=3), ValueError, "sample_rate must be at least 1"),
    (dict(max_predelay_ms=-0.5, channel_count=3), ValueError, "max_predelay_ms must not be negative"),
    (dict(channel_count=3, delays=[1]), ValueError, "channel_count must be 1 or 2"),
    (dict(delays=[100] * 11, taps=[9]), ValueError, COUNT_MESSAGE),
    (dict(delays=[100] * 13), ValueError, "too many values"),
    (dict(delays=[100] * 11 + [3.9]), ValueError, "every line needs at least 4 frames"),
    (dict(delays=[-5] + [100] * 11), ValueError, "every line needs at least 4 frames"),
    (dict(delays=[800000] * 12), ValueError, "the lines do not fit"),
    (dict(delays=[4194305] + [4] * 11), ValueError, "the lines do not fit"),
    (dict(delays=[float("nan")] * 12), ValueError, "every line needs at least 4 frames"),
    (dict(delays=5), TypeError, "expected a sequence of numbers"),
    (dict(delays=[100] * 12, taps=[0, 0, 1]), ValueError, COUNT_MESSAGE),
    (dict(taps=[0.0] * 132), ValueError, "too many values"),
    (dict(taps=[1.5, 0, 1, 1]), ValueError, "a tap channel is not 0 or 1"),
    (dict(taps=[-0.1, 0, 1, 1]), ValueError, "a tap channel is not 0 or 1"),
    (dict(taps=[0, 12, 1, 1]), ValueError, "a tap line index is not 0..11"),
    (dict(taps=[0, -1, 1, 1]), ValueError, "a tap line index is not 0..11"),
    (dict(taps=[0, 0, 1, 1, 0, 0, 229, 1]), ValueError, "a tap offset is past the end of its line"),
    (dict(taps=[0, 0, -1, 1]), ValueError, "a tap offset is past the end of its line"),
    (dict(taps=[0, 0, "x", 1]), TypeError, None),
    (dict(sample_rate=4294967295, max_predelay_ms=10000.0), MemoryError, None),
    (dict(sample_rate=400000000, max_predelay_ms=10000.0), MemoryError, None),
])
def test_construction_errors(kwargs, error, message):
    with pytest.raises(error) as caught:
        m.TankState(**kwargs)
    if message:
        assert str(caught.value) == message


def test_accepted_tap_values():
    # The channel 0.5 truncates to the left, any gain goes, 11.9 is line 11.
    values = [random.Random(3).randint(-9000, 9000) for _ in range(300)]
    taps = [0.5, 0, 2, 3.5, 0, 11.9, 3.7, -2.0]
    tank, model = m.TankState(channel_count=1, delays=[6] * 12, taps=taps), None
    model = TankModel(channel_count=1, delays=[6] * 12, taps=[0, 0, 2, 3.5, 0, 11, 3, -2.0])
    assert run(tank, values) == model.process(values)
    assert m.TankState(taps=(v for v in [1, 3, 0, 1.0])) is not None


def test_failed_construction_keeps_the_previous_tank():
    values = [random.Random(4).randint(-9000, 9000) for _ in range(2000)]
    kept, fresh = m.TankState(delays=[30] * 12), m.TankState(delays=[30] * 12)
    run(kept, values)
    run(fresh, values)
    for bad in (dict(sample_rate=0), dict(delays=[3] * 12), dict(taps=[2, 0, 0, 0])):
        with pytest.raises(ValueError):
            kept.__init__(**bad)
    assert run(kept, values) == run(fresh, values)
    kept.__init__(delays=[30] * 12)
    assert run(kept, values) == run(m.TankState(delays=[30] * 12), values)


def test_never_initialised_tank():
    tank = m.TankState.__new__(m.TankState)
    tank.reset()
    with pytest.raises(RuntimeError):
        tank.process(b"")
    with pytest.raises(RuntimeError):
        tank.configure(ids.Tank.DECAY, 0.5)
    with pytest.raises(ValueError):
        tank.__init__(channel_count=0)
    with pytest.raises(RuntimeError):
        tank.process(b"\0\0\0\0")


# --- options and the per-frame path --------------------------------------------

def test_unknown_options_and_clamps():
    tank = m.TankState()
    for option in (len(ids.Tank), -1):
        with pytest.raises(ValueError, match="^unknown tank option$"):
            tank.configure(option, 0.0)
    values = [random.Random(5).randint(-20000, 20000) for _ in range(600)]
    a, b = m.TankState(delays=[10] * 12), m.TankState(delays=[10] * 12)
    a.configure(ids.Tank.DECAY, 5.0)
    b.configure(ids.Tank.DECAY, 0.999)
    assert run(a, values) == run(b, values)


def test_mix_law():
    rng = random.Random(6)
    values = [rng.randint(-20000, 20000) for _ in range(800)]
    dry = m.TankState(delays=[12] * 12)
    dry.configure(ids.Tank.MIX, 0.0)
    assert run(dry, values) == values
    dry.configure(ids.Tank.MIX, 1.0)          # the tank ran on underneath
    follow = m.TankState(delays=[12] * 12)
    run(follow, values)
    follow.configure(ids.Tank.MIX, 1.0)
    assert run(dry, values) == run(follow, values)
    for mix in (0.3, 2.0, 1.5):
        tank, model = m.TankState(delays=[12] * 12), TankModel(delays=[12] * 12)
        tank.configure(ids.Tank.MIX, mix)
        model.configure(ids.Tank.MIX, mix)
        assert run(tank, values) == model.process(values)


def test_mono_output_is_half_the_sum_of_all_taps():
    # With diffusion 0, line 0 holds the input itself.
    x = [random.Random(7).randint(-30000, 30000) for _ in range(200)]
    taps = [0, 0, 1, 0.5, 1, 0, 2, 0.25]
    mono = m.TankState(channel_count=1, delays=[8] * 12, taps=taps)
    mono.configure(ids.Tank.INPUT_DIFFUSION, 0.0)
    mono.configure(ids.Tank.MIX, 1.0)
    xp = [0, 0] + x

    def rounded(v):
        return max(-32768, min(32767, int(v + 0.5) if v >= 0 else int(v - 0.5)))
    expected = [rounded(xp[n + 2] + 0.5 * (0.5 * xp[n + 1] + 0.25 * xp[n])) for n in range(200)]
    assert run(mono, x) == expected


def test_finish_cuts_the_depth_to_the_short_modulated_line():
    values = [random.Random(8).randint(-20000, 20000) for _ in range(3000)]
    tank, model = m.TankState(channel_count=1), TankModel(channel_count=1)
    for option, value in ((6, 100.0), (7, 3.0), (11, 2.0), (0, 0.9)):
        tank.configure(option, value)
        model.configure(option, value)
    assert model.depth == 4800
    tank.finish()
    model.finish()
    assert model.depth == 541
    assert run(tank, values) == model.process(values)


def random_settings(rng, channels):
    delays = [rng.randint(4, rng.choice([8, 40, 120])) for _ in range(12)]
    kwargs = dict(sample_rate=rng.choice([1, 100, 8000, 44100, 48000]), channel_count=channels,
                  max_predelay_ms=rng.choice([0.0, 1.0, rng.uniform(0, 4)]), delays=delays)
    if rng.random() < 0.5:
        taps = []
        for _ in range(rng.randint(0, 32)):
            line = rng.randint(0, 11)
            taps += [rng.randint(0, 1), line, rng.randint(0, delays[line] - 1), rng.uniform(-1.5, 1.5)]
        kwargs["taps"] = taps
    return kwargs


def random_option(rng):
    option = rng.randint(0, 11)
    span = [1.2, 1.0, 20000, 20000, 3000, 5, 1.5, 60, 1.2, 2.5, 30, 2.5][option]
    return option, rng.uniform(-0.2 * span, span)


def test_random_settings_against_the_model():
    rng = random.Random(9)
    for trial in range(40):
        kwargs = random_settings(rng, rng.choice([1, 2]))
        tank, model = m.TankState(**kwargs), TankModel(**kwargs)
        for _ in range(3):
            for _ in range(rng.randint(0, 12)):
                option, value = random_option(rng)
                tank.configure(option, value)
                model.configure(option, value)
            if rng.random() < 0.5:
                tank.finish()
                model.finish()
            values = [rng.randint(-32768, 32767) if rng.random() < 0.7 else 0
                      for _ in range(rng.randint(0, 120) * kwargs["channel_count"])]
            assert run(tank, values) == model.process(values), (trial, kwargs)


@given(st.lists(st.integers(0, 300), max_size=6), st.integers(1, 2), st.integers(0, 2**32 - 1))
def test_blocks_of_any_size_give_one_stream(cuts, channels, seed):
    rng = random.Random(seed)
    kwargs = random_settings(rng, channels)
    whole, pieces = m.TankState(**kwargs), m.TankState(**kwargs)
    for tank in (whole, pieces):
        for option, value in ((6, 2.0), (7, 5.0), (3, 9000.0), (10, 6.0)):
            tank.configure(option, value)
        tank.finish()
    values = [rng.randint(-32768, 32767) for _ in range(sum(cuts) * channels)]
    out, start = [], 0
    for cut in cuts:
        out += run(pieces, values[start:start + cut * channels])
        start += cut * channels
    assert out == run(whole, values)


def test_reset_empty_blocks_and_silence():
    values = [random.Random(10).randint(-20000, 20000) for _ in range(1000)]
    tank, fresh = m.TankState(delays=[20] * 12), m.TankState(delays=[20] * 12)
    tank.configure(ids.Tank.MODULATION_DEPTH_MS, 1.0)
    tank.configure(ids.Tank.MODULATION_RATE_HZ, 2.0)
    fresh.configure(ids.Tank.MODULATION_DEPTH_MS, 1.0)
    fresh.configure(ids.Tank.MODULATION_RATE_HZ, 2.0)
    run(tank, values)
    tank.reset()
    assert run(tank, [0] * 1000) == [0] * 1000
    tank.reset()
    assert tank.process(b"") == b""
    assert run(tank, values) == run(fresh, values)


def test_process_buffers():
    tank = m.TankState(channel_count=2)
    for block in (b"\0\0", b"\0" * 6, b"\0"):
        with pytest.raises(ValueError, match=WHOLE_FRAMES):
            tank.process(block)
    with pytest.raises(TypeError):
        tank.process(12)
    data = s16([random.Random(11).randint(-20000, 20000) for _ in range(512)])
    assert m.TankState().process(misaligned(data)) == m.TankState().process(data)
    held = bytearray(data)
    tank.process(held)
    assert_released(held)
    held.append(0)
    with pytest.raises(ValueError):
        tank.process(held)
    assert_released(held)


# --- the chunked frame loop -------------------------------------------------------
# The engine runs several frames through each stage at once, the last chunk of
# a run across the line wraps that end it, and single frames where the lines
# leave no room for chunks or a block ends; these streams must still be the
# frame-by-frame ones.  Short lines (4..7 frames) wrap every few frames, lines
# of 16 and more leave room for whole chunks, and the cuts land on and around
# the wraps.

def edge_age(rng, length):
    """A tap age at either end of a line, where the chunk sizes part."""
    age = rng.choice([rng.randint(0, 9), length - rng.randint(1, 9), rng.randrange(length)])
    return min(max(age, 0), length - 1)


def tap_table(rng, delays, every_line):
    taps = []
    lines = list(range(12)) if every_line else [rng.randrange(12) for _ in range(rng.randint(0, 6))]
    for line in lines:
        taps += [rng.randint(0, 1), line, edge_age(rng, delays[line]), rng.uniform(-1.2, 1.2)]
    for _ in range(rng.randint(0, 20) if every_line else 0):
        line = rng.randrange(12)
        taps += [rng.randint(0, 1), line, rng.randrange(delays[line]), rng.uniform(-1.2, 1.2)]
    return taps


def chunk_settings(rng, channels):
    # Runs end where any line or tap cursor wraps: long lines and few taps
    # leave room for chunks of 8; short lines take chunks of 4 and single
    # frames.
    wide = rng.random() < 0.5
    if wide:
        delays = [rng.randint(40, 160) for _ in range(12)]
    else:
        delays = [rng.choice([rng.randint(4, 7), rng.randint(8, 15), rng.randint(16, 60)]) for _ in range(12)]
    rate = rng.choice([8000, 8000, 16000, 48000])
    kwargs = dict(sample_rate=rate, channel_count=channels, max_predelay_ms=rng.choice([0.0, 0.5, 2.0]),
                  delays=delays, taps=tap_table(rng, delays, not wide))
    # The modulated reads sweep their range of ages within a few hundred
    # frames; some depths put the shortest age just below a chunk size, where
    # the reads of a chunk reach samples the chunk itself writes.
    line = rng.choice([delays[4], delays[8]])
    depth_frames = rng.choice([0.5, 3.0, 30.0, 80.0, (line - 8.5) / 2, (line - 4.5) / 2, (line - 4.5) / 2])
    options = [(0, rng.uniform(0.3, 0.95)), (1, rng.uniform(0.0, 0.9)), (11, rng.uniform(0.2, 2.0)),
               (7, rng.uniform(0.3, 1.0) * rate / 320), (6, max(depth_frames, 0.0) * 1000.0 / rate)]
    for option, value in ((2, rng.uniform(500, 9000)), (3, rng.uniform(500, 9000)), (4, rng.uniform(20, 800)),
                          (5, rng.uniform(0.0, 2.0)), (8, rng.uniform(0.1, 1.0)), (9, rng.uniform(0.0, 2.0)),
                          (10, rng.uniform(-12.0, 12.0))):
        if rng.random() < 0.7:
            options.append((option, value))
    return kwargs, options


def wrap_cuts(rng, delays, frames):
    """Block boundaries on and around line wraps, plus a few anywhere."""
    cuts = set()
    for _ in range(12):
        length = rng.choice(delays)
        cut = rng.randint(1, max(1, frames // length)) * length + rng.choice([-8, -4, -1, 0, 0, 1, 4, 8])
        if 0 < cut < frames:
            cuts.add(cut)
    cuts.update(rng.randrange(1, frames) for _ in range(3))
    return sorted(cuts)


def run_in_blocks(tank, values, channels, cuts):
    out, start = [], 0
    for cut in cuts + [len(values) // channels]:
        out += run(tank, values[start * channels:cut * channels])
        start = cut
    return out


@pytest.mark.parametrize("channels", [1, 2])
def test_chunked_loop_against_the_model(channels):
    rng = random.Random(40 + channels)
    for trial in range(24):
        kwargs, options = chunk_settings(rng, channels)
        tank, model = m.TankState(**kwargs), TankModel(**kwargs)
        for option, value in options:
            tank.configure(option, value)
            model.configure(option, value)
        if rng.random() < 0.5:
            tank.finish()
            model.finish()
        frames = rng.randint(200, 400)
        values = [rng.randint(-32768, 32767) if rng.random() < 0.8 else 0 for _ in range(frames * channels)]
        cuts = wrap_cuts(rng, kwargs["delays"], frames)
        assert run_in_blocks(tank, values, channels, cuts) == model.process(values), (trial, kwargs, options)


@pytest.mark.parametrize("channels", [1, 2])
def test_chunked_loop_in_any_blocks(channels):
    # Long streams (default geometry and short custom lines, every feature on,
    # a NaN depth once) against one block for the whole stream.
    rng = random.Random(50 + channels)
    for trial in range(6):
        kwargs, options = chunk_settings(rng, channels)
        if trial % 3 == 0:
            del kwargs["delays"], kwargs["taps"]
            kwargs["sample_rate"] = 48000
        if trial == 4:
            options.append((6, float("nan")))
        whole, pieces = m.TankState(**kwargs), m.TankState(**kwargs)
        for tank in (whole, pieces):
            for option, value in options:
                tank.configure(option, value)
        frames = 6000
        values = [rng.randint(-32768, 32767) for _ in range(frames * channels)]
        cuts = sorted(set(wrap_cuts(rng, kwargs.get("delays", LINES_48K), frames)
                          + [rng.randrange(1, frames) for _ in range(30)]))
        assert run_in_blocks(pieces, values, channels, cuts) == run(whole, values), (trial, kwargs, options)


@given(st.integers(1, 2), st.integers(0, 2**32 - 1))
def test_single_frames_give_the_chunked_stream(channels, seed):
    # One frame a call takes the one-lane body for every frame; one call for
    # the stream takes chunks of 8 and 4 wherever the geometry allows.
    rng = random.Random(seed)
    kwargs, options = chunk_settings(rng, channels)
    whole, single = m.TankState(**kwargs), m.TankState(**kwargs)
    for tank in (whole, single):
        for option, value in options:
            tank.configure(option, value)
        if seed % 2:
            tank.finish()
    data = s16([rng.randint(-32768, 32767) for _ in range(rng.randint(50, 500) * channels)])
    step = 2 * channels
    assert b"".join(single.process(data[i:i + step]) for i in range(0, len(data), step)) == whole.process(data)
