"""Phaser, chorus and distortion on stereo s16 blocks, beside pedalboard's
Phaser, Chorus and Distortion when pedalboard is installed.

Peers: "pedalboard" processes float32 planar blocks already in its format;
"pedalboard+s16" adds the conversion a caller holding interleaved s16 pays
(to float32 planar and back, saturating)."""

from __future__ import annotations

import array
import math

import _divavova as m
from harness import Row

RATE = 48000

try:
    import numpy as np
    import pedalboard
except ImportError:  # pragma: no cover
    np = pedalboard = None


def stereo_block(frames):
    left = [int(20000 * math.sin(i * 0.031)) for i in range(frames)]
    right = [int(15000 * math.sin(i * 0.017 + 1.0)) for i in range(frames)]
    out = array.array("h")
    for a, b in zip(left, right):
        out.extend((a, b))
    return out.tobytes()


def pedalboard_peers(make_plugin, block):
    if pedalboard is None:
        return {}
    plugin = make_plugin()
    planar = np.frombuffer(block, dtype=np.int16).reshape(-1, 2).T.astype(np.float32) / 32768.0
    planar = np.ascontiguousarray(planar)

    def float_only():
        return plugin.process(planar, RATE, reset=False)

    converting = make_plugin()

    def with_conversion():
        x = np.frombuffer(block, dtype=np.int16).reshape(-1, 2).T.astype(np.float32) * (1.0 / 32768.0)
        y = converting.process(x, RATE, reset=False)
        return np.clip(y.T * 32768.0, -32768, 32767).astype(np.int16).tobytes()

    return {"pedalboard": float_only, "pedalboard+s16": with_conversion}


def rows(quick):
    out = []
    for frames in (256, RATE):
        variant = f"stereo {frames}"
        block = stereo_block(frames)

        feedback_cells, allpass_cells = bytearray(4), bytearray(2 * 4 * 2)

        def phaser(block=block, feedback_cells=feedback_cells, allpass_cells=allpass_cells):
            return m.phaser_s16(block, feedback_cells, allpass_cells, 2, 4, 800.0, 48000.0, 0.5, 1.0)

        out.append(Row("phaser_s16", variant + " 4 st", frames, phaser,
                       pedalboard_peers(lambda: pedalboard.Phaser(rate_hz=1.0, depth=0.5, feedback=0.5, mix=0.5),
                                        block)))

        ring = bytearray(2 * 4096)
        position = [0]

        def chorus(block=block, ring=ring, position=position):
            data, position[0] = m.chorus_s16(block, ring, position[0], 1200, 4096, 3, 0.7)
            return data

        out.append(Row("chorus_s16", variant + " 3 v", frames, chorus,
                       pedalboard_peers(lambda: pedalboard.Chorus(rate_hz=1.0, depth=0.25, mix=0.5), block)))

        for shape, name in ((2, "exp"), (0, "power"), (1, "bits")):
            def distortion(block=block, shape=shape):
                return m.distortion_s16(block, 0.6, 12.0, -3.0, shape, shape == 2, 1.0)

            out.append(Row("distortion_s16", f"{variant} {name}", frames, distortion,
                           pedalboard_peers(lambda: pedalboard.Distortion(drive_db=12.0), block)))
    return out
