"""BufferOwner and RawSample."""

import array
import gc
import sys
import weakref

import pytest

import _divavova as m
from helpers import s16

DEINIT = "^Object has been deinitialized and can no longer be used. Create a new object.$"


class Exporter(bytearray):
    """A bytearray that can hold a reference back (for cycles)."""


# --- BufferOwner ---------------------------------------------------------

def test_owner_holds_and_releases():
    data = bytearray(b"abc")
    owner = m.BufferOwner(data)
    assert (owner.format, owner.nbytes, owner.itemsize, owner.bytes()) == ("B", 3, 1, b"abc")
    with pytest.raises(BufferError):
        data.append(1)
    data[0] = ord("x")
    assert owner.bytes() == b"xbc"  # read live
    assert owner.release() is None
    data.append(1)
    assert (owner.format, owner.nbytes, owner.itemsize) == (None, 0, 0)
    with pytest.raises(RuntimeError, match="^buffer has been released$"):
        owner.bytes()
    owner.release()


def test_owner_formats_and_reinit():
    owner = m.BufferOwner(exporter=array.array("h", [1, 2, 3, 4]))
    assert (owner.format, owner.nbytes, owner.itemsize) == ("h", 8, 2)
    first = bytearray(2)
    owner.__init__(first)
    with pytest.raises(TypeError):
        owner.__init__(12)  # the old view is released before the new one is tried
    first.append(0)
    assert owner.nbytes == 0
    with pytest.raises(TypeError):
        m.BufferOwner()


def test_owner_rejects_non_contiguous():
    with pytest.raises(BufferError):
        m.BufferOwner(memoryview(bytes(8))[::2])


def test_owner_call_forms_match_the_initialiser():
    # BufferOwner(x) takes a shortcut past new/init; every form of call must
    # still behave exactly like allocating and then running __init__.
    data = bytearray(b"abcd")
    calls = [((data,), {}), ((), {"exporter": data}), ((), {}), ((data, data), {}),
             ((data,), {"exporter": data}), ((), {"other": data}), ((12,), {}),
             ((memoryview(bytes(8))[::2],), {})]
    for args, kwargs in calls:
        fresh = m.BufferOwner.__new__(m.BufferOwner)
        try:
            fresh.__init__(*args, **kwargs)
            expected = ("ok", fresh.nbytes, fresh.format)
        except Exception as error:
            expected = (type(error), str(error))
        try:
            owner = m.BufferOwner(*args, **kwargs)
            got = ("ok", owner.nbytes, owner.format)
        except Exception as error:
            got = (type(error), str(error))
        assert got == expected, (args, kwargs)
        del fresh
    owner = None
    before = sys.getrefcount(data)
    for _ in range(100):
        with pytest.raises(TypeError):
            m.BufferOwner(data, data)
        m.BufferOwner(data).release()
    assert sys.getrefcount(data) == before
    data.append(0)  # nothing still holds a view


def test_owner_cycle_is_collected():
    data = Exporter(b"xy")
    data.owner = m.BufferOwner(data)
    ref = weakref.ref(data)
    del data
    gc.collect()
    assert ref() is None


# --- RawSample -----------------------------------------------------------

def test_sample_defaults():
    sample = m.RawSample(bytearray(8))
    assert (sample.bits_per_sample, sample.samples_signed, sample.channel_count, sample.sample_rate,
            sample.single_buffer) == (8, False, 1, 8000, True)
    for _ in range(3):
        assert sample._get_buffer() == (0, bytes(8))


def test_sample_formats():
    assert m.RawSample(b"\x01\x02").bits_per_sample == 8
    sample = m.RawSample(array.array("h", [1, -1]))
    assert (sample.bits_per_sample, sample.samples_signed) == (16, True)
    assert m.RawSample(array.array("H", [1])).samples_signed is False
    assert m.RawSample(array.array("b", [1])).samples_signed is True
    with pytest.raises(ValueError, match="^buffer must be a bytearray or array of type 'h', 'H', 'b', or 'B'$"):
        m.RawSample(array.array("i", [1]))


def test_sample_rejects_prefixed_format():
    import ctypes
    buf = (ctypes.c_int16 * 2)()  # ctypes exports "<h"
    assert memoryview(buf).format != "h"
    with pytest.raises(ValueError, match="^buffer must be a bytearray"):
        m.RawSample(buf)


def test_double_buffer_alternates_and_reset_keeps_half():
    data = array.array("h", [1, 2, 3, 4])
    sample = m.RawSample(data, single_buffer=False)
    first, second = s16([1, 2]), s16([3, 4])
    assert sample._get_buffer() == (0, first)
    assert sample._reset_buffer() is None
    assert sample._get_buffer() == (0, second)
    assert sample._get_buffer(False, 0) == (0, first)
    data[0] = 9  # read live
    assert sample._get_buffer() == (0, second)
    assert sample._get_buffer() == (0, s16([9, 2]))


def test_single_channel_output():
    sample = m.RawSample(array.array("h", [1, 2, 3, 4]), channel_count=2)
    assert sample._get_buffer(single_channel_output=True, audio_channel=1) == (0, s16([2, 4]))
    assert sample._get_buffer(True, 3) == (0, s16([2, 4]))
    assert sample._get_buffer(True, 0) == (0, s16([1, 3]))
    assert sample._get_buffer(True, 2 ** 32 + 1) == (0, s16([2, 4]))  # taken modulo 2^32
    mono = m.RawSample(bytearray(b"\x01\x02\x03"))
    assert mono._get_buffer(True, 5) == (0, b"\x01\x02\x03")
    odd = m.RawSample(array.array("h", [1, 2, 3, 4, 5]), channel_count=2)  # a partial frame at the end
    assert odd._get_buffer(True, 1) == (0, s16([2, 4]))
    halves = m.RawSample(array.array("h", list(range(8))), channel_count=2, single_buffer=False)
    assert halves._get_buffer(True, 1) == (0, s16([1, 3]))
    assert halves._get_buffer(True, 1) == (0, s16([5, 7]))


def test_constructor_checks_in_order():
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        m.RawSample(12, channel_count=3, sample_rate=0)
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        m.RawSample(12, sample_rate=0)
    with pytest.raises(TypeError):
        m.RawSample(12)
    with pytest.raises(ValueError, match="^Length of buffer must be an even multiple of channel_count \\* type_size$"):
        m.RawSample(array.array("h", [0] * 6), channel_count=2, single_buffer=False)
    assert m.RawSample(array.array("h", [0] * 6), channel_count=2).channel_count == 2
    with pytest.raises(TypeError):
        m.RawSample(b"", 2)  # channel_count is keyword-only
    assert m.RawSample(b"", sample_rate=2 ** 32 + 5).sample_rate == 5


def test_failed_reinit_keeps_previous_buffer():
    data = bytearray(b"\x01\x02")
    sample = m.RawSample(data)
    other = bytearray(6)
    with pytest.raises(ValueError):
        sample.__init__(array.array("i", [0]))
    with pytest.raises(ValueError):
        sample.__init__(other, channel_count=2, single_buffer=False)  # 6 bytes: not two halves of whole frames
    other.append(0)
    assert sample._get_buffer() == (0, b"\x01\x02")
    with pytest.raises(BufferError):
        data.append(0)


def test_deinit_and_context_manager():
    data = bytearray(4)
    with m.RawSample(data, sample_rate=44100) as sample:
        with pytest.raises(BufferError):
            data.append(0)
    data.append(0)
    for call in (sample._get_buffer, sample._reset_buffer, sample.__enter__):
        with pytest.raises(ValueError, match=DEINIT):
            call()
    for name in ("sample_rate", "bits_per_sample", "channel_count"):
        with pytest.raises(ValueError, match=DEINIT):
            getattr(sample, name)
    with pytest.raises(ValueError, match=DEINIT):
        sample.sample_rate = 5
    assert sample.samples_signed is False and sample.single_buffer is True
    assert sample.deinit() is None and sample.__exit__(1, 2, 3) is None
    sample.__init__(bytearray(b"\x05"))
    assert sample._get_buffer() == (0, b"\x05")


def test_sample_rate_setter():
    sample = m.RawSample(bytearray(2))
    sample.sample_rate = 22050
    assert sample.sample_rate == 22050
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        sample.sample_rate = 0
    with pytest.raises(OverflowError):
        sample.sample_rate = -1
    with pytest.raises(OverflowError):
        sample.sample_rate = 2 ** 32
    with pytest.raises(TypeError):
        sample.sample_rate = 1.5
    assert sample.sample_rate == 22050


def test_never_initialised_sample_refuses_fetches():
    sample = m.RawSample.__new__(m.RawSample)
    with pytest.raises(ValueError, match=DEINIT):
        sample._get_buffer()
    with pytest.raises(ValueError, match=DEINIT):
        sample._reset_buffer()
    sample.deinit()


def test_sample_cycle_is_collected():
    data = Exporter(b"\x00\x01")
    data.sample = m.RawSample(data)
    ref = weakref.ref(data)
    del data
    gc.collect()
    assert ref() is None
