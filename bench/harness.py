"""The benchmark's measuring loop, the row type and the helpers every bench_* module shares.

A row times one call of `run` on a block of `frames` frames.  `block` is the
256-frame buffer the call reads (for generators: a buffer as long as the one it
writes); run.py times a plain `bytes` copy of it as the per-call reference.
Peers are the calls a user would make instead, on the same block.
"""

from __future__ import annotations

import time
import warnings
from dataclasses import dataclass, field
from typing import Callable, Dict, Optional

import numpy as np

RATE = 48000
BLOCK = 256                   # the block size of the Python layer
SECOND = RATE                 # one second of audio in one call
SIZES = (BLOCK, SECOND)
LAYOUTS = {"mono": 1, "stereo": 2}

try:
    import pedalboard
except ImportError:  # pragma: no cover - optional peer
    pedalboard = None
try:
    import scipy.signal as scipy_signal
except ImportError:  # pragma: no cover - optional peer
    scipy_signal = None
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    try:
        import audioop          # the standard library module, or the audioop-lts package
    except ImportError:  # pragma: no cover - optional peer
        audioop = None


@dataclass
class Row:
    component: str          # e.g. "mix_s16", "TankState"
    variant: str            # layout and settings, e.g. "stereo x4"
    frames: int             # frames processed by one call of run
    run: Callable[[], object]
    peers: Dict[str, Callable[[], object]] = field(default_factory=dict)
    block: Optional[bytes] = None   # reference block for the per-call overhead (256-frame rows)


def size_label(frames: int) -> str:
    return "1s" if frames == SECOND else str(frames)


def row(component: str, variant: str, frames: int, run, peers=None, block: Optional[bytes] = None) -> Row:
    """A row; the overhead reference is kept only at the 256-frame block size."""
    return Row(component, variant, frames, run, dict(peers or {}), block if frames == BLOCK else None)


def s16_noise(frames: int, channels: int, seed: int = 0, level: float = 8000.0) -> bytes:
    rng = np.random.default_rng(seed)
    x = rng.standard_normal(frames * channels) * level
    return np.clip(x, -32768, 32767).astype(np.int16).tobytes()


def i32_noise(samples: int, seed: int = 0, level: float = 8000.0) -> bytes:
    rng = np.random.default_rng(seed)
    return np.clip(rng.standard_normal(samples) * level, -32768, 32767).astype(np.int32).tobytes()


def to_planar(block: bytes, channels: int) -> np.ndarray:
    """Interleaved s16 -> float32 (channels, frames), full scale 1.0."""
    x = np.frombuffer(block, dtype=np.int16).reshape(-1, channels).T.astype(np.float32)
    x *= np.float32(1 / 32768)
    return x


def from_planar(y: np.ndarray) -> bytes:
    """float32 (channels, frames) -> interleaved s16, rounded and saturated."""
    return np.clip(np.rint(y.T * np.float32(32768)), -32768, 32767).astype(np.int16).tobytes()


def pedalboard_peers(make_plugin, block: bytes, channels: int) -> dict:
    """Two columns per pedalboard plugin: on float32 planar audio made beforehand
    ("pedalboard"), and with the int16 <-> float32 conversion a caller holding
    s16 blocks pays around every call ("pedalboard+s16")."""
    if pedalboard is None:
        return {}
    try:
        plain_plugin, converting_plugin = make_plugin(), make_plugin()
    except Exception:  # a plugin this pedalboard version lacks
        return {}
    x = np.ascontiguousarray(to_planar(block, channels))
    frames = x.shape[1]
    for plugin in (plain_plugin, converting_plugin):   # first call allocates inside the plugin
        plugin.process(x, RATE, buffer_size=frames, reset=False)

    def plain():
        return plain_plugin.process(x, RATE, buffer_size=frames, reset=False)

    def with_s16():
        return from_planar(converting_plugin.process(to_planar(block, channels), RATE, buffer_size=frames,
                                                     reset=False))

    return {"pedalboard": plain, "pedalboard+s16": with_s16}


def lfilter_peers(b, a, block: bytes, channels: int, dtype=np.int16) -> dict:
    """scipy.signal.lfilter carrying its state across calls, on float arrays made
    beforehand ("lfilter") and from/to the integer block ("lfilter+int")."""
    if scipy_signal is None:
        return {}
    x = np.frombuffer(block, dtype=dtype).reshape(-1, channels).astype(np.float64)
    zi = np.zeros((len(a) - 1, channels))
    zi2 = zi.copy()

    def plain():
        y, zi[:] = scipy_signal.lfilter(b, a, x, axis=0, zi=zi)
        return y

    info = np.iinfo(dtype)

    def with_int():
        y, zi2[:] = scipy_signal.lfilter(b, a, np.frombuffer(block, dtype=dtype).reshape(-1, channels), axis=0,
                                         zi=zi2)
        return np.clip(np.rint(y), info.min, info.max).astype(dtype).tobytes()

    return {"lfilter": plain, "lfilter+int": with_int}


def seconds_per_call(fn: Callable[[], object], budget_s: float) -> float:
    """Best of five timings, each at least budget_s / 25 long (one call at least)."""
    fn()
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= budget_s / 25 or calls >= 1 << 24:
            break
        calls *= 4
    best = elapsed / calls
    for _ in range(4):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def mframes_per_s(frames: int, seconds: float) -> float:
    return frames / seconds / 1e6 if seconds > 0 else float("inf")
