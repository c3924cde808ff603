"""ModalState: mode design, the resonator bank and its bookkeeping."""

import random

import pytest
from hypothesis import given, strategies as st

import _divavova as m
import ids
from helpers import assert_released, misaligned, s16, samples
from modal_model import ModalModel

WHOLE_FRAMES = "input must be whole 16-bit frames for the configured channel count"


def run(bank, values):
    return samples(bank.process(s16(values)))


def both(rate=48000, channels=2, modes=8):
    return m.ModalState(rate, channels, modes), ModalModel(rate, channels, modes)


def random_mode(rng):
    return (rng.choice([-5.0, 0.0, rng.uniform(0, 30000), 1e9]),
            rng.choice([rng.uniform(0, 0.1), rng.uniform(0, 3), 50.0]), rng.uniform(-20, 20))


def test_random_banks_against_the_model():
    # The model visits every mode of every frame; the engine narrows the
    # range it visits per block, which must not change a single sample.
    rng = random.Random(1)
    for trial in range(60):
        channels, count = rng.choice([1, 2]), rng.randint(1, rng.choice([3, 20, 64]))
        bank, model = both(rng.choice([0, 1, 100, 8000, 48000]), channels, count)
        for _ in range(4):
            for _ in range(rng.randint(0, count)):
                index, mode = rng.randrange(count), random_mode(rng)
                bank.set_mode(index, *mode)
                model.set_mode(index, *mode)
            if rng.random() < 0.3:
                option = rng.randint(0, 1)
                value = rng.uniform(-0.5, 1.5) * (16 if option else 1)
                bank.configure(option, value)
                model.configure(option, value)
            if rng.random() < 0.7:
                bank.finish()
                model.finish()
            density = rng.choice([0.0, 0.1, 1.0])
            values = [rng.randint(-32768, 32767) if rng.random() < density else 0
                      for _ in range(rng.randint(0, 60) * channels)]
            assert run(bank, values) == model.process(values), trial
            assert bank.silent() == model.silent()


def test_narrowing_widens_to_modes_driven_outside_the_ringing_range():
    bank, model = both(48000, 2, 64)
    for target in (bank, model):
        target.set_mode(30, 440.0, 0.5, 1.0)
        target.finish()
    values = [12000, -7000] + [0] * 198
    assert run(bank, values) == model.process(values)       # only mode 30 rings
    for target in (bank, model):
        target.set_mode(2, 3000.0, 0.2, 0.7)
        target.set_mode(63, 9000.0, 0.2, -0.5)
        target.finish()
    assert run(bank, [0] * 200) == model.process([0] * 200)  # silent input: nothing new rings
    assert run(bank, values) == model.process(values)       # now modes 2 and 63 are driven too
    assert run(bank, [0] * 400) == model.process([0] * 400)


def test_decays_by_60_db_over_the_decay_time():
    bank = m.ModalState(48000, 1, 1)
    bank.set_mode(0, 1000.0, 1.0, 1.0)
    bank.configure(ids.Modal.WET_GAIN, 16.0)
    bank.finish()
    out = run(bank, [32767] + [0] * 48047)
    period = 48

    def peak(start):
        return max(abs(v) for v in out[start:start + period])
    # b0 = sin(w) makes the impulse response r^n sin((n + 1) w): the ringing
    # starts at 16 * 32767 (clipped) and has fallen by 1000 after one decay time.
    expected = 16 * 32767 / 1000
    assert abs(peak(48000) - expected) <= 1.5
    assert peak(24000) / peak(48000) == pytest.approx(10 ** 1.5, rel=0.03)


def test_stereo_channels_ring_independently():
    bank = m.ModalState(48000, 2, 4)
    for i in range(4):
        bank.set_mode(i, 200.0 * (i + 1), 0.3, 1.0)
    bank.finish()
    out = run(bank, [20000, 0] + [0] * 2000)
    assert any(out[0::2]) and not any(out[1::2])


def test_silent_after_decay_and_after_reset():
    bank, model = both(8000, 2, 3)
    for target in (bank, model):
        for i in range(3):
            target.set_mode(i, 300.0 * (i + 1), 0.01, 2.0)
        target.finish()
        assert target.silent()
    run(bank, [30000, -30000] + [0] * 8)
    model.process([30000, -30000] + [0] * 8)
    blocks = 0
    while not bank.silent():
        assert run(bank, [0] * 64) == model.process([0] * 64)
        assert not model.silent() or bank.silent()
        blocks += 1
        assert blocks < 200
    assert model.silent()
    run(bank, [1000, 1000])
    assert not bank.silent()
    bank.reset()
    assert bank.silent()
    assert run(bank, [0] * 100) == [0] * 100


def test_set_mode_clamps_and_silent_modes():
    values = [random.Random(2).randint(-20000, 20000) for _ in range(400)]
    outputs = []
    for frequency in (1e9, 23976.0):
        bank = m.ModalState(48000, 1, 1)
        bank.set_mode(0, frequency, 0.5, 1.0)
        bank.finish()
        outputs.append(run(bank, values))
    assert outputs[0] == outputs[1] and any(outputs[0])
    for frequency in (0.0, -100.0):
        bank = m.ModalState(48000, 1, 1)
        bank.set_mode(0, frequency, 0.5, 1.0)
        bank.finish()
        assert run(bank, values) == [0] * 400
    a, b = m.ModalState(48000, 1, 1), m.ModalState(48000, 1, 1)
    a.set_mode(0, 500.0, 100.0, 40.0)
    b.set_mode(0, 500.0, 30.0, 16.0)
    a.finish()
    b.finish()
    assert run(a, values) == run(b, values)


def test_wet_mix_and_unfinished_banks():
    values = [random.Random(3).randint(-32768, 32767) for _ in range(300)]
    bank = m.ModalState(48000, 2, 8)
    for i in range(8):
        bank.set_mode(i, 100.0 + 400 * i, 1.0, 3.0)
    bank.finish()
    bank.configure(ids.Modal.WET_MIX, 0.0)
    assert run(bank, values) == values
    # A bank never finished has b0 = 0 everywhere and passes x * (1 - wet_mix).
    fresh = m.ModalState(48000, 2, 8)
    fresh.set_mode(0, 440.0, 1.0, 1.0)
    fresh.configure(ids.Modal.WET_MIX, 0.25)
    expected = [int(v * 0.75 + (0.5 if v >= 0 else -0.5)) for v in values]
    assert run(fresh, values) == expected
    # Coefficients of the last finish stay until the next one.
    a, b = both(48000, 1, 2)
    for target in (a, b):
        target.set_mode(0, 700.0, 0.2, 1.0)
        target.finish()
        target.set_mode(1, 900.0, 0.2, 1.0)
    assert run(a, values) == b.process(values)
    a.finish()
    b.finish()
    assert run(a, values) == b.process(values)


def test_sample_rate_zero_is_one():
    values = [random.Random(4).randint(-3000, 3000) for _ in range(100)]
    out = []
    for rate in (0, 1):
        bank = m.ModalState(rate, 1, 1)
        bank.set_mode(0, 0.2, 5.0, 1.0)
        bank.finish()
        out.append(run(bank, values))
    assert out[0] == out[1] and any(out[0])


def test_argument_checks():
    with pytest.raises(ValueError, match="^modes out of range$"):
        m.ModalState(channel_count=3, modes=0)
    with pytest.raises(ValueError, match="^modes out of range$"):
        m.ModalState(modes=65)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.ModalState(channel_count=0)
    bank = m.ModalState(modes=4)
    with pytest.raises(IndexError, match="^mode index out of range$"):
        bank.set_mode(4, 100.0, 1.0, 1.0)
    with pytest.raises(ValueError, match="^unknown modal option$"):
        bank.configure(len(ids.Modal), 0.0)
    with pytest.raises(ValueError, match="^unknown modal option$"):
        bank.configure(-1, 0.0)
    for block in (b"\0\0", b"\0\0\0"):
        with pytest.raises(ValueError, match=WHOLE_FRAMES):
            bank.process(block)
    assert bank.process(b"") == b""


def test_reinitialisation():
    values = [random.Random(5).randint(-20000, 20000) for _ in range(400)]
    bank = m.ModalState(48000, 2, 4)
    bank.set_mode(1, 300.0, 2.0, 1.0)
    bank.finish()
    run(bank, values)
    reference = m.ModalState(48000, 2, 4)
    reference.set_mode(1, 300.0, 2.0, 1.0)
    reference.finish()
    run(reference, values)
    with pytest.raises(ValueError):
        bank.__init__(modes=0)          # checks fail before anything changes
    assert run(bank, values) == run(reference, values)
    bank.__init__(sample_rate=8000, channel_count=1, modes=2)
    assert bank.silent()
    assert run(bank, values) == run(m.ModalState(8000, 1, 2), values)


def test_never_initialised_bank():
    bank = m.ModalState.__new__(m.ModalState)
    assert bank.silent() is True
    assert bank.finish() is None
    with pytest.raises(IndexError):
        bank.set_mode(0, 1.0, 1.0, 1.0)
    for call in (lambda: bank.process(b""), lambda: bank.configure(ids.Modal.WET_MIX, 1.0), bank.reset):
        with pytest.raises(RuntimeError):
            call()


@given(st.lists(st.integers(0, 200), max_size=6), st.integers(1, 2), st.integers(0, 2**32 - 1))
def test_blocks_of_any_size_give_one_stream(cuts, channels, seed):
    rng = random.Random(seed)
    count = rng.randint(1, 64)
    banks = [m.ModalState(48000, channels, count) for _ in range(2)]
    for _ in range(rng.randint(1, count)):
        index, mode = rng.randrange(count), random_mode(rng)
        for bank in banks:
            bank.set_mode(index, *mode)
    for bank in banks:
        bank.finish()
    values = [rng.randint(-32768, 32767) if rng.random() < 0.2 else 0 for _ in range(sum(cuts) * channels)]
    out, start = [], 0
    for cut in cuts:
        out += run(banks[1], values[start:start + cut * channels])
        start += cut * channels
    assert out == run(banks[0], values)


def test_process_buffers():
    data = s16([random.Random(6).randint(-20000, 20000) for _ in range(512)])
    banks = [m.ModalState(48000, 2, 8) for _ in range(2)]
    for bank in banks:
        bank.set_mode(0, 440.0, 1.0, 1.0)
        bank.finish()
    assert banks[0].process(misaligned(data)) == banks[1].process(data)
    held = bytearray(data)
    banks[0].process(held)
    assert_released(held)
    held.append(0)
    with pytest.raises(ValueError):
        banks[0].process(held)
    assert_released(held)
    with pytest.raises(TypeError):
        banks[0].process(3)
