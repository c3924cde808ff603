"""Reverb tank beside pedalboard's Reverb; the modal bank at 8 and 64 modes."""

from __future__ import annotations

import array
import random

import _divavova as m
from harness import Row

RATE = 48000


def _block(frames: int, channels: int) -> bytes:
    rng = random.Random(frames * channels)
    return array.array("h", [rng.randint(-16000, 16000) for _ in range(frames * channels)]).tobytes()


def _pedalboard_peers(data: bytes, frames: int) -> dict:
    try:
        import numpy as np
        import pedalboard
    except ImportError:
        return {}
    reverb = pedalboard.Reverb()
    as_float = (np.frombuffer(data, dtype=np.int16).reshape(frames, 2).T / np.float32(32768)).astype(np.float32)

    def float_only():
        return reverb.process(as_float, RATE, reset=False)

    def from_s16():
        planar = np.frombuffer(data, dtype=np.int16).reshape(frames, 2).T.astype(np.float32) * np.float32(1 / 32768)
        wet = reverb.process(planar, RATE, reset=False)
        return np.clip(np.rint(wet.T * 32768), -32768, 32767).astype(np.int16).tobytes()

    return {"pedalboard f32": float_only, "pedalboard s16": from_s16}


def _tank(frames: int) -> Row:
    data = _block(frames, 2)
    tank = m.TankState(RATE, 200.0, 2)
    for option, value in ((0, 0.7), (2, 6000.0), (6, 0.5), (7, 1.0)):
        tank.configure(option, value)
    tank.finish()
    return Row("TankState", f"stereo {frames}", frames, lambda: tank.process(data), _pedalboard_peers(data, frames))


def _modal(modes: int, frames: int, per_mode: bool) -> Row:
    data = _block(frames, 2)
    bank = m.ModalState(RATE, 2, modes)
    for i in range(modes):
        bank.set_mode(i, 80.0 * (i + 1), 1.5, 0.3)
    bank.finish()
    bank.process(data)  # every mode rings from here on
    if per_mode:  # Mframes/s counted per mode: the inverse of the cost of one mode
        return Row("ModalState", f"{modes} modes {frames}/mode", frames * modes, lambda: bank.process(data))
    return Row("ModalState", f"stereo {modes} modes {frames}", frames, lambda: bank.process(data))


def rows(quick: bool) -> list[Row]:
    out = [_tank(256), _tank(RATE)]
    for modes in (8, 64):
        out += [_modal(modes, 256, False), _modal(modes, RATE, False), _modal(modes, 256, True)]
    return out
