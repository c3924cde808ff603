"""ConvolverState against scipy.signal.oaconvolve and pedalboard's Convolution.

Each row sends one block (256 frames, or one second) through an impulse
response of 0.1 s, 1 s or 2.7 s (P = 19, 188, 507 partitions).  Run directly
for the real-time factor and the cost per partition-block of a stream of
256-frame blocks:  PYTHONPATH=build/<name> python bench/bench_convolver.py
"""

from __future__ import annotations

import sys

import numpy as np

import _divavova as m
from harness import BLOCK, RATE, SIZES, Row, pedalboard, pedalboard_peers, row, scipy_signal

IR_SECONDS = {"0.1s": 0.1, "1s": 1.0, "2.7s": 2.7}


def partitions(seconds: float) -> int:
    return -(-int(seconds * RATE) // BLOCK)


def impulse(frames: int, channels: int) -> np.ndarray:
    rng = np.random.default_rng(5)
    decay = np.exp(-np.arange(frames) * (6.9 / frames))[:, None]
    return (rng.standard_normal((frames, channels)) * decay * 3000).astype(np.int16)


LAYOUTS = {"mono": (1, 1), "stereo": (2, 2), "stereo/1IR": (2, 1)}   # (channels, IR channels)


def make_row(label: str, seconds: float, layout: str, frames: int) -> Row:
    """One process() call per block of `frames`; the peers convolve the same block
    with the whole impulse (scipy, its tail left to the caller) or stream it
    through pedalboard's Convolution."""
    channels, ir_channels = LAYOUTS[layout]
    p = partitions(seconds)
    ir = impulse(int(seconds * RATE), ir_channels)
    rng = np.random.default_rng(9)
    signal = rng.integers(-8000, 8000, size=(frames, channels), dtype=np.int16)
    block = signal.tobytes()

    conv = m.ConvolverState(RATE, p, ir_channels, channels)
    conv.load(ir.tobytes(), ir_channels, 1.0)
    conv.configure(0, 1.0)

    peers = {}
    if scipy_signal is not None:
        x = signal.astype(np.float32) / 32768.0
        h = np.repeat(ir, channels // ir_channels, axis=1).astype(np.float32) / 32768.0
        peers["scipy.oaconvolve"] = lambda: scipy_signal.oaconvolve(x, h, axes=0)
    if pedalboard is not None:
        make = lambda: pedalboard.Convolution(np.ascontiguousarray((ir.astype(np.float32) / 32768.0).T), 1.0, RATE)
        peers.update(pedalboard_peers(make, block, channels))
    return row("ConvolverState", f"{layout} {label} P={p}", frames, lambda: conv.process(block), peers, block)


def rows(quick):
    return [make_row(label, seconds, layout, frames) for frames in SIZES
            for label, seconds in IR_SECONDS.items() for layout in LAYOUTS]


def main() -> int:
    from harness import seconds_per_call

    print(f"{'impulse':<30}{'RT factor':>10}{'us/block':>10}{'ns/partition-block':>20}{'ns/frame':>10}")
    for r in rows(False):
        if r.frames != BLOCK:
            continue
        seconds = seconds_per_call(r.run, 0.5)
        p = int(r.variant.split("P=")[1])
        channels = 1 if r.variant.startswith("mono") else 2
        print(f"{r.variant:<30}{BLOCK / RATE / seconds:>10.0f}{seconds * 1e6:>10.1f}"
              f"{seconds / (p * channels) * 1e9:>20.1f}{seconds / BLOCK * 1e9:>10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
