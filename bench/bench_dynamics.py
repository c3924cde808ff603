"""DynamicsState in its five modes beside pedalboard's Compressor, Limiter and NoiseGate."""

from __future__ import annotations

import numpy as np

import _divavova as m
from harness import RATE, SIZES, pedalboard, pedalboard_peers, row

# (variant, mode, options, pedalboard plugin factory or None)
SETUPS = [
    ("compressor", 0, [(0, -24.0), (1, 4.0), (4, 10.0), (5, 120.0)],
     lambda: pedalboard.Compressor(threshold_db=-24, ratio=4, attack_ms=10, release_ms=120)),
    ("limiter", 1, [(0, -6.0), (4, 1.0), (5, 120.0)],
     lambda: pedalboard.Limiter(threshold_db=-6, release_ms=120)),
    ("expander", 2, [(0, -40.0), (1, 2.0), (4, 1.0), (5, 100.0)], None),
    ("gate", 3, [(0, -40.0), (4, 1.0), (5, 100.0), (22, 10.0)],
     lambda: pedalboard.NoiseGate(threshold_db=-40, ratio=10, attack_ms=1, release_ms=100)),
    ("transient", 4, [(9, 6.0), (10, -3.0)], None),
]


def _signal(frames: int, channels: int) -> bytes:
    rng = np.random.default_rng(0)
    t = np.arange(frames) / RATE
    envelope = np.where((t * 4) % 1 < 0.5, 0.8, 0.01)  # loud and quiet halves
    cols = [envelope * np.sin(2 * np.pi * f * t) + 0.01 * rng.standard_normal(frames) for f in (220, 330)[:channels]]
    return (np.clip(np.stack(cols, axis=1), -1, 1) * 32767).astype(np.int16).tobytes()


def _ours(mode, options, block, channels):
    engine = m.DynamicsState(mode=mode, sample_rate=RATE, channel_count=channels)
    for option, value in options:
        engine.configure(option, value)
    engine.finish()
    return lambda: engine.process(block)


def rows(quick: bool) -> list:
    out = []
    for frames in SIZES:
        for layout, channels in (("stereo", 2), ("mono", 1)):
            block = _signal(frames, channels)
            for variant, mode, options, factory in SETUPS if channels == 2 else SETUPS[:1]:
                peers = pedalboard_peers(factory, block, channels) if factory else {}
                out.append(row("DynamicsState", f"{layout} {variant}", frames, _ours(mode, options, block, channels),
                               peers, block))
    return out
