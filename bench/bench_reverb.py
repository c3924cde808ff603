"""Reverb tank beside pedalboard's Reverb; the modal bank at 8 and 64 modes."""

from __future__ import annotations

import _divavova as m
from harness import RATE, SIZES, pedalboard, pedalboard_peers, row, s16_noise


def _tank(frames, layout, channels):
    data = s16_noise(frames, channels, 21, 12000)
    tank = m.TankState(RATE, 200.0, channels)
    for option, value in ((0, 0.7), (2, 6000.0), (6, 0.5), (7, 1.0)):
        tank.configure(option, value)
    tank.finish()
    return row("TankState", layout, frames, lambda: tank.process(data),
               pedalboard_peers(lambda: pedalboard.Reverb(), data, channels), data)


def _modal(frames, layout, channels, modes):
    data = s16_noise(frames, channels, 22, 12000)
    bank = m.ModalState(RATE, channels, modes)
    for i in range(modes):
        bank.set_mode(i, 80.0 * (i + 1), 1.5, 0.3)
    bank.finish()
    bank.process(data)  # every mode rings from here on
    return row("ModalState", f"{layout} {modes} modes", frames, lambda: bank.process(data), {}, data)


def rows(quick: bool) -> list:
    out = []
    for frames in SIZES:
        out += [_tank(frames, "stereo", 2), _tank(frames, "mono", 1)]
        out += [_modal(frames, "stereo", 2, 8), _modal(frames, "stereo", 2, 64), _modal(frames, "mono", 1, 8)]
    return out
