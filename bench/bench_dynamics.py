"""DynamicsState against pedalboard's Compressor, Limiter and NoiseGate.

Stereo, 48 kHz, streaming blocks.  pedalboard works on float32 (channels,
frames) arrays; the "pedalboard+s16" column adds the int16 <-> float32
conversion that a caller holding s16 frames pays around every call.
"""

from __future__ import annotations

import numpy as np

import _divavova as m
from harness import Row

RATE = 48000
CHANNELS = 2

try:
    import pedalboard
except ImportError:  # pragma: no cover - optional peer
    pedalboard = None

# (component, mode, options, pedalboard plugin factory)
SETUPS = [
    ("dynamics compressor", 0, [(0, -24.0), (1, 4.0), (4, 10.0), (5, 120.0)],
     lambda: pedalboard.Compressor(threshold_db=-24, ratio=4, attack_ms=10, release_ms=120)),
    ("dynamics limiter", 1, [(0, -6.0), (4, 1.0), (5, 120.0)],
     lambda: pedalboard.Limiter(threshold_db=-6, release_ms=120)),
    ("dynamics gate", 3, [(0, -40.0), (4, 1.0), (5, 100.0), (22, 10.0)],
     lambda: pedalboard.NoiseGate(threshold_db=-40, ratio=10, attack_ms=1, release_ms=100)),
]


def _signal(frames: int) -> bytes:
    rng = np.random.default_rng(0)
    t = np.arange(frames) / RATE
    envelope = np.where((t * 4) % 1 < 0.5, 0.8, 0.01)  # loud and quiet halves
    left = envelope * np.sin(2 * np.pi * 220 * t) + 0.01 * rng.standard_normal(frames)
    right = envelope * np.sin(2 * np.pi * 330 * t) + 0.01 * rng.standard_normal(frames)
    return (np.clip(np.stack([left, right], axis=1), -1, 1) * 32767).astype(np.int16).tobytes()


def _ours(mode, options, block):
    engine = m.DynamicsState(mode=mode, sample_rate=RATE, channel_count=CHANNELS)
    for option, value in options:
        engine.configure(option, value)
    engine.finish()
    return lambda: engine.process(block)


def _pedalboard_peers(factory, block, frames):
    plugin = factory()
    planar = (np.frombuffer(block, dtype=np.int16).reshape(frames, CHANNELS).T * (1 / 32768)).astype(np.float32)
    planar = np.ascontiguousarray(planar)

    def float_only():
        return plugin.process(planar, RATE, buffer_size=frames, reset=False)

    converting = factory()

    def with_s16():
        x = np.frombuffer(block, dtype=np.int16).reshape(frames, CHANNELS).T.astype(np.float32) * (1 / 32768)
        y = converting.process(x, RATE, buffer_size=frames, reset=False)
        return (np.clip(y.T * 32768, -32768, 32767)).astype(np.int16).tobytes()

    return {"pedalboard": float_only, "pedalboard+s16": with_s16}


def rows(quick: bool) -> list[Row]:
    out = []
    for frames, variant in ((256, "stereo 256"), (RATE, "stereo 1 s")):
        block = _signal(frames)
        for component, mode, options, factory in SETUPS:
            peers = _pedalboard_peers(factory, block, frames) if pedalboard is not None else {}
            out.append(Row(component, variant, frames, _ours(mode, options, block), peers))
    return out
