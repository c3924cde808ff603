"""ConvolverState: construction, impulse loading and synthesis, streaming."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _divavova as m
import convolver_model as model
import ids
from helpers import assert_released, misaligned

MAX_TAPS = m.CONVOLVE_FRAMES


def frames_of(data, channels):
    return np.frombuffer(bytes(data), dtype=np.int16).reshape(-1, channels)


def unit_impulse_convolver(partitions=1, channel_count=1, ir_channels=1):
    """h[0] = 16384 x 2.0 x 2^-15 = 1.0 exactly."""
    c = m.ConvolverState(48000, partitions, ir_channels, channel_count)
    c.load(np.array([16384], np.int16).tobytes(), 1, 2.0)
    return c


def noise(rng, frames, channels, peak=32767):
    return rng.integers(-peak, peak + 1, size=(frames, channels)).astype(np.int16)


# -- construction and checks -------------------------------------------------

def test_constructor_checks_in_order():
    for kwargs, message in [
        (dict(sample_rate=0, partitions=0, ir_channels=3, channel_count=3), "sample_rate must be at least 1"),
        (dict(partitions=0, ir_channels=3), "partitions out of range"),
        (dict(partitions=513), "partitions out of range"),
        (dict(ir_channels=3, channel_count=3), "ir_channels must be 1 or 2"),
        (dict(ir_channels=0), "ir_channels must be 1 or 2"),
        (dict(channel_count=3), "channel_count must be 1 or 2"),
    ]:
        with pytest.raises(ValueError, match=f"^{message}$"):
            m.ConvolverState(**kwargs)
    m.ConvolverState(partitions=512, ir_channels=2)


def test_defaults_pass_through_and_failed_reinit_keeps_state():
    c = m.ConvolverState()
    assert c.taps() == 0
    stereo = np.arange(-9, 9, dtype=np.int16).tobytes()  # 9 stereo frames
    assert c.process(stereo) == stereo
    with pytest.raises(ValueError, match="whole 16-bit frames"):
        c.process(b"\x00\x01")
    c.__init__(48000, 2, 1, 1)
    c.load(np.array([16384], np.int16).tobytes(), 1, 2.0)
    with pytest.raises(ValueError):
        c.__init__(0)
    assert c.taps() == 256  # old impulse, old sizes: mono processing still works
    assert c.process(b"\x01\x00") == b"\x00\x00"


def test_never_initialised_object_refuses():
    c = m.ConvolverState.__new__(m.ConvolverState)
    for call in (lambda: c.load(b"", 1, 1.0), lambda: c.synthesize(1, 1, 1, 1, 1), c.reset,
                 lambda: c.process(b""), lambda: c.configure(ids.Convolver.MIX, 0.5)):
        with pytest.raises(RuntimeError):
            call()
    assert c.taps() == 0


def test_configure_options():
    c = unit_impulse_convolver()
    for option in (len(ids.Convolver), -1):
        with pytest.raises(ValueError, match="^unknown convolver option$"):
            c.configure(option, 0.5)
    x = np.array([1000, -2000] + [0] * 510, np.int16)
    expected_wet = np.concatenate([np.zeros(256), x[:256]]).astype(np.int16)
    for value, gain in [(7.0, 1), (1.0, 1), (0.5, 2), (-3.0, 1)]:
        c.reset()
        c.configure(ids.Convolver.MIX, value)
        y = frames_of(c.process(x.tobytes()), 1)[:, 0]
        assert np.array_equal(y, expected_wet * gain)  # dry and wet share the 256-frame delay


def test_load_checks_order_and_taps():
    c = m.ConvolverState(partitions=4, channel_count=1)
    with pytest.raises(ValueError, match="^channels must be 1 or 2$"):
        c.load(b"\x00\x00\x00", 3, 1.0)
    with pytest.raises(ValueError, match="^impulse must be whole int16 frames$"):
        c.load(b"\x00\x00\x00", 1, 1.0)
    with pytest.raises(ValueError, match="^impulse must be whole int16 frames$"):
        c.load(b"\x00\x00", 2, 1.0)
    with pytest.raises(ValueError, match="^impulse is longer than max_taps$"):
        c.load(bytes(2 * 1025), 1, 1.0)
    assert c.taps() == 0
    for frames, taps in [(1024, 1024), (300, 512), (0, 0), (1, 256)]:
        c.load(bytes(2 * frames), 1, 1.0)
        assert c.taps() == taps
    c.load(bytes(4 * 1024), 2, 1.0)
    assert c.taps() == 1024


def test_buffers_released_on_every_path():
    c = m.ConvolverState(partitions=1, channel_count=1)
    for impulse, channels in [(bytearray(4), 1), (bytearray(3), 1), (bytearray(2 * 257), 1), (bytearray(2), 5)]:
        try:
            c.load(impulse, channels, 1.0)
        except ValueError:
            pass
        assert_released(impulse)
    for block in (bytearray(6), bytearray(3)):
        try:
            c.process(block)
        except ValueError:
            pass
        assert_released(block)


# -- the impulse response and the 256-frame latency ---------------------------

def test_unit_impulse_delays_by_one_block_exactly():
    rng = np.random.default_rng(1)
    c = unit_impulse_convolver(channel_count=2, ir_channels=1)
    c.configure(ids.Convolver.MIX, 1.0)
    x = noise(rng, 256 * 6, 2)
    y = frames_of(c.process(x.tobytes()), 2)
    assert not y[:256].any()
    assert np.array_equal(y[256:], x[:-256])
    c.configure(ids.Convolver.MIX, 0.5)  # dry and wet at full level: twice the input, saturated
    c.reset()
    y = frames_of(c.process(x.tobytes()), 2)
    assert np.array_equal(y[256:], np.clip(2 * x[:-256].astype(int), -32768, 32767))


def test_late_impulse_comes_out_at_1256():
    c = m.ConvolverState(partitions=4, channel_count=1)
    impulse = np.zeros(1024, np.int16)
    impulse[1000] = 16384
    c.load(impulse.tobytes(), 1, 2.0)
    c.configure(ids.Convolver.MIX, 1.0)
    x = np.zeros(2048, np.int16)
    x[0] = 1000
    y = frames_of(c.process(x.tobytes()), 1)[:, 0]
    assert np.flatnonzero(y).tolist() == [1256]
    assert y[1256] == 1000


def test_restart_silences_first_block_and_block_boundaries_are_free():
    rng = np.random.default_rng(2)
    x = noise(rng, 700, 1)
    impulse = noise(rng, 400, 1).tobytes()
    c = m.ConvolverState(partitions=2, channel_count=1)
    c.load(impulse, 1, 1.0)
    whole = c.process(x.tobytes())
    assert not frames_of(whole, 1)[:256].any()
    for restart in (c.reset, lambda: c.load(impulse, 1, 1.0)):
        c.process(x[:100].tobytes())
        restart()
        parts = b"".join(c.process(x[a:b].tobytes()) for a, b in [(0, 255), (255, 256), (256, 256), (256, 700)])
        assert parts == whole


@given(st.lists(st.integers(0, 300), min_size=1, max_size=8), st.sampled_from([1, 2]))
def test_any_block_split_gives_the_same_stream(cuts, channels):
    rng = np.random.default_rng(len(cuts))
    x = noise(rng, sum(cuts), channels)
    a = m.ConvolverState(partitions=2, ir_channels=channels, channel_count=channels)
    b = m.ConvolverState(partitions=2, ir_channels=channels, channel_count=channels)
    ir = noise(rng, 300, channels).tobytes()
    a.load(ir, channels, 0.7)
    b.load(ir, channels, 0.7)
    pieces, start = [], 0
    for n in cuts:
        pieces.append(b.process(misaligned(x[start:start + n].tobytes())))
        start += n
    assert b"".join(pieces) == a.process(x.tobytes())


def test_no_impulse_passes_bytes_through_without_latency():
    c = m.ConvolverState(partitions=3, channel_count=2)
    data = np.random.default_rng(3).integers(-32768, 32768, 6).astype(np.int16).tobytes()  # 3 frames
    assert c.process(data) == data
    assert c.process(misaligned(data)) == data
    assert c.process(b"") == b""
    c.load(b"", 1, 1.0)  # empty impulse: still no response
    assert c.process(data) == data


def test_empty_block_keeps_position():
    c = unit_impulse_convolver()
    c.configure(ids.Convolver.MIX, 1.0)
    x = np.arange(1, 300, dtype=np.int16)
    first = c.process(x[:200].tobytes())
    assert c.process(b"") == b""
    rest = c.process(x[200:].tobytes())
    assert frames_of(first + rest, 1)[256:, 0].tolist() == x[:43].tolist()


# -- exact agreement with the model and with numpy.convolve --------------------

@pytest.mark.parametrize("partitions,ir_channels,channels,mix", [
    (1, 1, 1, 0.5), (3, 2, 2, 0.3), (2, 1, 2, 1.0), (4, 2, 1, 0.8), (5, 1, 1, 0.0),
])
def test_load_and_stream_match_the_model_bit_for_bit(partitions, ir_channels, channels, mix):
    rng = np.random.default_rng(partitions * 10 + channels)
    ref = model.Model(partitions, ir_channels, channels)
    c = m.ConvolverState(48000, partitions, ir_channels, channels)
    impulse = noise(rng, int(rng.integers(1, 256 * partitions + 1)), 2, 30000)
    ref.load(impulse, 1.7)
    c.load(impulse.tobytes(), 2, 1.7)
    ref.configure(mix)
    c.configure(ids.Convolver.MIX, mix)
    for frames, new_mix in ((300, None), (0, None), (555, 1.0 - mix), (700, None)):
        x = noise(rng, frames, channels)
        assert np.array_equal(frames_of(c.process(x.tobytes()), channels), ref.process(x))
        if new_mix is not None:  # mid-block: the block being played keeps its gains
            ref.configure(new_mix)
            c.configure(ids.Convolver.MIX, new_mix)


@pytest.mark.parametrize("partitions,ir_channels,args", [
    (2, 2, (0.3, 3000.0, 1.0, 2.0, 12345)),
    (1, 1, (0.01, 1e9, -5.0, 1e9, 0)),        # decay and fade clamped, no smoothing
    (1, 2, (100.0, 50.0, 2.0, 0.0, 0xFFFFFFFF)),
])
def test_synthesized_response_matches_the_model(partitions, ir_channels, args):
    rng = np.random.default_rng(7)
    ref = model.Model(partitions, ir_channels, 2)
    ref.set_ir(model.synthesized_ir(partitions, ir_channels, 48000, *args))
    c = m.ConvolverState(48000, partitions, ir_channels, 2)
    c.synthesize(*args)
    assert c.taps() == 256 * partitions
    x = noise(rng, 256 * (partitions + 2), 2)
    assert np.array_equal(frames_of(c.process(x.tobytes()), 2), ref.process(x))


def test_synthesize_is_repeatable_and_seed_zero_is_seed_one():
    rng = np.random.default_rng(8)
    x = noise(rng, 1024, 1)
    outputs = []
    for seed in (0, 1, 1, 2):
        c = m.ConvolverState(48000, 2, 1, 1)
        c.synthesize(0.5, 8000.0, 0.0, 0.0, seed)
        outputs.append(c.process(x.tobytes()))
    assert outputs[0] == outputs[1] == outputs[2] != outputs[3]


def test_full_predelay_leaves_silence():
    c = m.ConvolverState(48000, 1, 1, 1)
    c.synthesize(1.0, 1000.0, 200.0, 0.0, 5)
    c.configure(ids.Convolver.MIX, 1.0)
    assert c.taps() == 256
    x = noise(np.random.default_rng(4), 1024, 1)
    assert not frames_of(c.process(x.tobytes()), 1).any()


@pytest.mark.parametrize("partitions", [1, 3, 16])
def test_agrees_with_numpy_convolve(partitions):
    rng = np.random.default_rng(partitions)
    impulse = noise(rng, int(rng.integers(1, 256 * partitions + 1)), 1)
    x = noise(rng, 256 * (partitions + 4), 1)
    c = m.ConvolverState(48000, partitions, 1, 1)
    c.load(impulse.tobytes(), 1, 0.05)
    c.configure(ids.Convolver.MIX, 1.0)
    y = frames_of(c.process(x.tobytes()), 1)[:, 0].astype(float)
    h = impulse[:, 0] * (np.float32(0.05) * np.float32(2.0 ** -15))
    expected = np.clip(np.convolve(x[:, 0].astype(float), h)[:len(x) - 256], -32768, 32767)
    assert np.abs(y[256:] - expected).max() <= 1.0


def test_channel_routing():
    rng = np.random.default_rng(5)
    x = noise(rng, 1024, 1)
    stereo_x = np.repeat(x, 2, axis=1)
    left, right = noise(rng, 200, 1), noise(rng, 200, 1)
    both = np.concatenate([left, right], axis=1)

    def run(ir_channels, channels, impulse, impulse_channels, signal):
        c = m.ConvolverState(48000, 1, ir_channels, channels)
        c.load(impulse.tobytes(), impulse_channels, 1.0)
        c.configure(ids.Convolver.MIX, 1.0)
        return frames_of(c.process(signal.tobytes()), channels)

    mono_left = run(1, 1, left, 1, x)[:, 0]
    mono_right = run(1, 1, right, 1, x)[:, 0]
    shared = run(1, 2, both, 2, stereo_x)          # one IR channel: the left one for both
    assert np.array_equal(shared[:, 0], mono_left) and np.array_equal(shared[:, 1], mono_left)
    split = run(2, 2, both, 2, stereo_x)
    assert np.array_equal(split[:, 0], mono_left) and np.array_equal(split[:, 1], mono_right)
    assert np.array_equal(run(2, 1, both, 2, x)[:, 0], mono_left)
    spread = run(2, 2, left, 1, stereo_x)           # a mono impulse feeds both IR channels
    assert np.array_equal(spread[:, 1], mono_left)


def test_huge_gain_saturates_by_sign():
    c = m.ConvolverState(48000, 1, 1, 1)
    c.load(np.array([30000], np.int16).tobytes(), 1, 1e30)
    c.configure(ids.Convolver.MIX, 1.0)
    x = np.array([3, -3, -1, 2] * 150, np.int16)
    y = frames_of(c.process(x.tobytes()), 1)[256:, 0]
    assert y.tolist() == [32767 if v > 0 else -32768 for v in x[:len(y)]]


def test_reference_twiddles_are_the_documented_values():
    # The model's tables (the reference for the exact comparisons above).
    assert tuple(model.T256[0]) == (1.0, 0.0)
    assert tuple(model.T256[32]) == (np.float32(0.70710677), np.float32(-0.70710677))
    assert -7e-9 < model.T256[64][0] < -6e-9 and model.T256[64][1] == -1.0
    for table, size in ((model.T256, 256), (model.T512, 512)):
        angle = 2 * np.pi * np.arange(len(table)) / size
        assert np.abs(table[:, 0] - np.cos(angle)).max() <= 3e-8
        assert np.abs(table[:, 1] + np.sin(angle)).max() <= 3e-8
