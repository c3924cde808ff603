"""Delay-line effects (echo, multi-tap, pitch shift, Freeverb) beside
pedalboard's Delay, PitchShift and Reverb.

The pedalboard columns: "pedalboard" runs on float32 arrays made beforehand;
"pedalboard+s16" also pays the int16 <-> float32 conversion a caller holding
s16 blocks needs around every call."""

from __future__ import annotations

import array
import random

import _divavova as m
from harness import Row

RATE = 48000

try:
    import numpy as np
    import pedalboard
except ImportError:  # pragma: no cover
    pedalboard = None


def noise(samples: int, seed: int = 1) -> bytes:
    rng = random.Random(seed)
    return array.array("h", (rng.randrange(-12000, 12000) for _ in range(samples))).tobytes()


def pedalboard_peers(make_plugin, block: bytes, channels: int):
    if pedalboard is None:
        return {}
    plugin = make_plugin()
    as_float = (np.frombuffer(block, dtype=np.int16).reshape(-1, channels).T / np.float32(32768)).astype(np.float32)
    as_float = np.ascontiguousarray(as_float)

    def plain():
        return plugin.process(as_float, RATE, reset=False)

    def with_conversion():
        x = np.frombuffer(block, dtype=np.int16).reshape(-1, channels).T.astype(np.float32) * np.float32(1 / 32768)
        y = plugin.process(x, RATE, reset=False)
        return np.clip(y.T * np.float32(32768), -32768, 32767).astype(np.int16).tobytes()

    return {"pedalboard": plain, "pedalboard+s16": with_conversion}


def echo_rows(frames: int, label: str):
    block = noise(frames * 2)
    delay = RATE // 4
    normal = {"line": bytearray(delay * 4), "pos": (0, 0)}
    varying = {"line": bytearray(delay * 4), "pos": (0, 0)}

    def run_normal():
        out, *normal["pos"] = m.echo_s16(block, normal["line"], *normal["pos"], delay, delay, 0, 0.4, 1.0, False, 2)
        return out

    def run_variable():
        out, *varying["pos"] = m.echo_s16(block, varying["line"], *varying["pos"], delay, delay, 300, 0.4, 1.0,
                                          True, 2)
        return out

    peers = pedalboard_peers(lambda: pedalboard.Delay(delay_seconds=0.25, feedback=0.4, mix=0.5), block, 2)
    return [Row("echo_s16", f"stereo {label}", frames, run_normal, peers),
            Row("echo_s16", f"variable-rate st {label}", frames, run_variable, peers)]


def multitap_rows(frames: int, label: str):
    block = noise(frames * 2, 2)
    length = RATE // 2
    ring = bytearray(length * 4)
    delays = array.array("I", [4800, 9600, 14400, 19200])
    gains = array.array("d", [0.6, 0.45, 0.3, 0.2])
    state = {"pos": 0}

    def run():
        out, state["pos"] = m.multitap_s16(block, ring, state["pos"], length, 2, delays, gains, 0.3, 1.0)
        return out

    peers = pedalboard_peers(lambda: pedalboard.Delay(delay_seconds=0.1, feedback=0.3, mix=0.5), block, 2)
    return [Row("multitap_s16", f"stereo 4 taps {label}", frames, run, peers)]


def pitchshift_rows(frames: int, label: str):
    block = noise(frames * 2, 3)
    length, fade = 4096, 256
    ring, fifo = bytearray(length * 4), bytearray(fade * 4)
    state = {"pos": (0, 0, 0)}

    def run():
        out, *state["pos"] = m.pitchshift_s16(block, ring, fifo, length, fade, 2, 300, *state["pos"], 2.0)
        return out

    peers = pedalboard_peers(lambda: pedalboard.PitchShift(semitones=2.75), block, 2)
    return [Row("pitchshift_s16", f"stereo {label}", frames, run, peers)]


def freeverb_rows(frames: int, label: str):
    block = noise(frames, 4)
    state = [bytearray(n) for n in (22048, 32, 16, 3126, 16)]

    def run():
        return m.freeverb_s16(block, *state, 0.7, 0.4, 0.35)

    peers = pedalboard_peers(lambda: pedalboard.Reverb(room_size=0.7, damping=0.4, wet_level=0.33,
                                                       dry_level=0.7, width=0.0), block, 1)
    return [Row("freeverb_s16", f"mono {label}", frames, run, peers)]


def rows(quick: bool):
    out = []
    for frames, label in ((256, "256"), (RATE, "1 s")):
        out += echo_rows(frames, label)
        out += multitap_rows(frames, label)
        out += pitchshift_rows(frames, label)
        out += freeverb_rows(frames, label)
    return out
