"""SplitterRing: chunked reads, ring wrap, lossy overrun and a reference model."""

import pytest
from hypothesis import given, strategies as st

import _divavova as m
from helpers import assert_released, misaligned, s16, samples

RING = 8192


def stereo(start, count):
    return s16([v for f in range(start, start + count) for v in (f % 30000, -(f % 30000))])


class Model:
    def __init__(self, taps, channels):
        self.taps, self.channels = taps, channels
        self.frames = {}  # frame number -> tuple of samples
        self.w = 0
        self.r = [0] * 4

    def write(self, values):
        count = min(len(values) // self.channels, RING)
        for i in range(count):
            self.frames[self.w] = tuple(values[i * self.channels:(i + 1) * self.channels])
            self.w += 1
            for t in range(self.taps):
                if self.w - self.r[t] > RING:
                    self.r[t] += 1
        return count

    def take(self, t):
        r = self.r[t]
        n = min(self.w - r, RING - r % RING, 256)
        self.r[t] = r + n
        return [v for f in range(r, r + n) for v in self.frames[f]]


def test_chunks_of_300_frames():
    ring = m.SplitterRing()
    assert ring.starved(0) and ring.starved(1)
    assert ring.write(stereo(0, 300)) == 300
    assert not ring.starved(0)
    first, second = ring.take(0), ring.take(0)
    assert (len(first), len(second), ring.take(0)) == (1024, 176, b"")
    assert first + second == stereo(0, 300)
    assert ring.starved(0) and not ring.starved(1)
    assert ring.take(1) == first  # taps read independently


def test_wrap_at_slot_8190():
    ring = m.SplitterRing(taps=1, channel_count=2)
    ring.write(stereo(0, 8190))
    while ring.take(0):
        pass
    ring.write(stereo(8190, 100))
    assert ring.take(0) == stereo(8190, 2)
    assert ring.take(0) == stereo(8192, 98)


def test_overrun_keeps_one_ring():
    ring = m.SplitterRing(taps=2, channel_count=1)
    data = s16([f % 32768 for f in range(9000)])
    assert ring.write(data) == RING
    assert ring.take(0) == data[:512]  # read position 0: nothing lost yet
    assert ring.write(s16([7])) == 1
    # Tap 0 read 256 frames and is not behind; tap 1 lost frame 0.
    assert samples(ring.take(1))[:2] == [1, 2]
    assert samples(ring.take(0))[:1] == [256]


def test_mono_frames_are_two_bytes():
    ring = m.SplitterRing(channel_count=1)
    ring.write(misaligned(s16([1, -2, 3])))
    assert samples(ring.take(0)) == [1, -2, 3]


def test_messages_and_partial_reinit():
    for taps in (0, 5, -1):
        with pytest.raises(ValueError, match=r"^taps must be 1\.\.4$"):
            m.SplitterRing(taps=taps)
    ring = m.SplitterRing(taps=1, channel_count=1)
    ring.write(s16([5, 6]))
    with pytest.raises(ValueError, match="^taps must be 1..4$"):
        ring.__init__(taps=9, channel_count=7)
    assert ring.take(0) == s16([5, 6])  # the taps check changed nothing
    ring.write(s16([8]))
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        ring.__init__(taps=3, channel_count=7)
    # The new taps and the cleared ring stay, with two channels.
    assert ring.starved(2) and ring.take(0) == b""
    with pytest.raises(ValueError, match="^input must be whole frames for the configured channel count$"):
        ring.write(s16([1]))
    assert ring.write(s16([1, 2])) == 1
    for index in (3, -1, 2**40):
        with pytest.raises(ValueError, match="^tap index out of range$"):
            ring.take(index) if index != -1 else ring.starved(index)
    with pytest.raises(OverflowError):
        ring.take(2**100)
    with pytest.raises(TypeError):
        ring.starved(1.0)
    assert ring.write(b"") == 0


def test_buffers_released():
    ring = m.SplitterRing()
    block = bytearray(stereo(0, 10))
    ring.write(block)
    assert_released(block)
    bad = bytearray(6)
    with pytest.raises(ValueError):
        ring.write(bad)
    assert_released(bad)


def test_never_initialised():
    ring = m.SplitterRing.__new__(m.SplitterRing)
    with pytest.raises(RuntimeError, match="not initialised"):
        ring.write(b"")
    with pytest.raises(ValueError, match="tap index out of range"):
        ring.take(0)
    with pytest.raises(ValueError, match="tap index out of range"):
        ring.starved(0)


@given(st.lists(st.one_of(st.tuples(st.just("w"), st.integers(0, 3000)),
                          st.tuples(st.just("t"), st.integers(0, 2))), max_size=30),
       st.sampled_from([1, 2]))
def test_matches_model(ops, channels):
    ring, model, frame = m.SplitterRing(3, channels), Model(3, channels), 0
    for op, arg in ops:
        if op == "w":
            values = [(frame + i) % 65536 - 32768 for i in range(arg * channels)]
            frame += arg
            assert ring.write(s16(values)) == model.write(values)
        else:
            assert samples(ring.take(arg)) == model.take(arg)
        assert [ring.starved(t) for t in range(3)] == [model.r[t] == model.w for t in range(3)]
