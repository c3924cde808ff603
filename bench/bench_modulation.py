"""Phaser, chorus and distortion beside pedalboard's Phaser, Chorus and Distortion."""

from __future__ import annotations

import _divavova as m
from harness import SIZES, pedalboard, pedalboard_peers, row, s16_noise


def rows(quick):
    out = []
    for frames in SIZES:
        for layout, channels in (("stereo", 2), ("mono", 1)):
            block = s16_noise(frames, channels, 11, 12000)
            state = {"feedback": bytearray(4 * channels), "allpass": bytearray(2 * 4 * 2 * channels)}

            def phaser(block=block, state=state, c=channels):
                return m.phaser_s16(block, state["feedback"], state["allpass"], c, 4, 800.0, 48000.0, 0.5, 1.0)

            out.append(row("phaser_s16", f"{layout} 4 stages", frames, phaser,
                           pedalboard_peers(lambda: pedalboard.Phaser(rate_hz=1.0, depth=0.5, feedback=0.5, mix=0.5),
                                            block, channels), block))

            for shape, name in ((2, "exp"), (0, "power"), (1, "bits")) if channels == 2 else ((2, "exp"),):
                out.append(row("distortion_s16", f"{layout} {name}", frames,
                               lambda block=block, shape=shape: m.distortion_s16(block, 0.6, 12.0, -3.0, shape,
                                                                                 shape == 2, 1.0),
                               pedalboard_peers(lambda: pedalboard.Distortion(drive_db=12.0), block, channels), block))

        block = s16_noise(frames, 1, 12, 12000)   # the chorus works on one channel of samples
        state = {"ring": bytearray(2 * 4096), "pos": 0}

        def chorus(block=block, state=state):
            data, state["pos"] = m.chorus_s16(block, state["ring"], state["pos"], 1200, 4096, 3, 0.7)
            return data

        out.append(row("chorus_s16", "mono 3 voices", frames, chorus,
                       pedalboard_peers(lambda: pedalboard.Chorus(rate_hz=1.0, depth=0.25, mix=0.5), block, 1), block))
    return out
