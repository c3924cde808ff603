"""Small shared tools for the tests: packing samples and checking views."""

import array
import struct

import _divavova as m  # noqa: F401  (imported for the side effect of failing early)


def s16(values):
    """Native-endian s16 bytes of the given sample values."""
    return array.array("h", values).tobytes()


def i32(values):
    return array.array("i", values).tobytes()


def f32(values):
    return array.array("f", values).tobytes()


def samples(data, code="h"):
    """The samples of a bytes-like object as a list of ints (or floats for 'f')."""
    out = array.array(code)
    out.frombytes(bytes(data))
    return out.tolist()


def unpack(code, data):
    return list(struct.unpack("=%d%s" % (len(data) // struct.calcsize(code), code), data))


def assert_released(buffer):
    """A bytearray that no view holds any more can be resized."""
    assert isinstance(buffer, bytearray)
    buffer.append(0)
    buffer.pop()


def misaligned(data):
    """A read-only view of data starting at an odd address."""
    padded = bytearray(len(data) + 1)
    padded[1:] = data
    return memoryview(bytes(padded))[1:]
