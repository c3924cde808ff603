"""ConvolverState against scipy.signal.oaconvolve and pedalboard's Convolution.

Each row streams one second of audio (188 blocks of 256 frames at 48 kHz)
through an impulse response of 0.1 s, 1 s or 2.7 s (P = 19, 188, 507
partitions).  Run directly for the real-time factor and the cost per
partition-block:  PYTHONPATH=build/<name> python bench/bench_convolver.py
"""

from __future__ import annotations

import sys

import numpy as np

from harness import Row

import _divavova as m

RATE = 48000
BLOCK = 256
BLOCKS = 188                    # one second of audio, rounded up to whole blocks
FRAMES = BLOCK * BLOCKS
IR_SECONDS = {"0.1s": 0.1, "1s": 1.0, "2.7s": 2.7}


def partitions(seconds: float) -> int:
    return -(-int(seconds * RATE) // BLOCK)


def impulse(frames: int, channels: int) -> np.ndarray:
    rng = np.random.default_rng(5)
    decay = np.exp(-np.arange(frames) * (6.9 / frames))[:, None]
    return (rng.standard_normal((frames, channels)) * decay * 3000).astype(np.int16)


LAYOUTS = {"mono": (1, 1), "stereo": (2, 2), "stereo/1IR": (2, 1)}   # (channels, IR channels)


def cases(quick: bool):
    for label, seconds in IR_SECONDS.items():
        for layout in LAYOUTS:
            yield label, seconds, layout


def make_row(label: str, seconds: float, layout: str) -> Row:
    channels, ir_channels = LAYOUTS[layout]
    p = partitions(seconds)
    ir = impulse(int(seconds * RATE), ir_channels)
    rng = np.random.default_rng(9)
    signal = rng.integers(-8000, 8000, size=(FRAMES, channels), dtype=np.int16)
    blocks = [signal[i:i + BLOCK].tobytes() for i in range(0, FRAMES, BLOCK)]

    conv = m.ConvolverState(RATE, p, ir_channels, channels)
    conv.load(ir.tobytes(), ir_channels, 1.0)
    conv.configure(0, 1.0)

    def ours():
        for block in blocks:
            conv.process(block)

    peers = {}
    try:
        from scipy.signal import oaconvolve

        x = signal.astype(np.float32) / 32768.0
        h = np.repeat(ir, channels // ir_channels, axis=1).astype(np.float32) / 32768.0

        def scipy_whole():
            oaconvolve(x, h, axes=0)

        peers["scipy.oaconvolve"] = scipy_whole
    except ImportError:
        pass
    try:
        import pedalboard

        plugin = pedalboard.Convolution(np.ascontiguousarray((ir.astype(np.float32) / 32768.0).T), 1.0, RATE)
        plugin.process(np.zeros((channels, BLOCK), np.float32), RATE, reset=False)
        float_blocks = [np.ascontiguousarray((signal[i:i + BLOCK].astype(np.float32) / 32768.0).T)
                        for i in range(0, FRAMES, BLOCK)]

        def pedalboard_stream():
            for block in float_blocks:
                plugin.process(block, RATE, reset=False)

        peers["pedalboard"] = pedalboard_stream
    except ImportError:
        pass
    variant = f"{label} P={p} {layout}"
    return Row("ConvolverState", variant, FRAMES, ours, peers)


def rows(quick):
    return [make_row(*case) for case in cases(quick)]


def main() -> int:
    from harness import seconds_per_call

    print(f"{'impulse':<30}{'RT factor':>10}{'us/block':>10}{'ns/partition-block':>20}{'ns/frame':>10}")
    for row in rows(False):
        seconds = seconds_per_call(row.run, 0.5)
        p = int(row.variant.split("P=")[1].split()[0])
        channels = 1 if row.variant.endswith(" mono") else 2
        per_block = seconds / BLOCKS
        print(f"{row.variant:<30}{FRAMES / RATE / seconds:>10.0f}{per_block * 1e6:>10.1f}"
              f"{per_block / (p * channels) * 1e9:>20.1f}{seconds / FRAMES * 1e9:>10.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
