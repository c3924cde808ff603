"""Single-precision building blocks for the reference models of the float engines."""

import ctypes

import numpy as np

from helpers import s16

F = np.float32
_libm = ctypes.CDLL("libm.so.6")
for _name, _arity in (("expf", 1), ("sinf", 1), ("tanf", 1), ("floorf", 1), ("powf", 2)):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float] * _arity


def libm(name, *args):
    """The C library's single-precision function, as the engines call it."""
    return F(getattr(_libm, name)(*[float(a) for a in args]))


def clamp(v, a, b):
    """a if v < a, else min(b, v); NaN passes through."""
    return a if v < a else (b if b < v else v)


def to_s16(v):
    """Float in s16 units to s16: saturate, NaN 0, round half away from zero in float32."""
    if v > 32767:
        return 32767
    if v < -32768:
        return -32768
    if v != v:
        return 0
    return int(F(v + F(0.5))) if v >= 0 else int(F(v - F(0.5)))


def noise(frames, channels, seed, scale=32768):
    rng = np.random.default_rng(seed)
    return s16(rng.integers(-scale, scale, frames * channels).tolist())
