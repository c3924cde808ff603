"""Synth voice path: a 64-voice block rendered and mixed down, and the per-voice biquad.

For the voice rows, frames are output frames at 48 kHz, so the real-time
factor is Mframes/s x 1e6 / 48000.
"""

from __future__ import annotations

import array

import numpy as np

import _divavova as m
from harness import Row

RATE = 48000
VOICES = 64


def _table():
    t = np.arange(2048)
    wave = (np.sin(2 * np.pi * t / 2048) * 12000 + np.sin(6 * np.pi * t / 2048) * 4000).astype(np.int16)
    return array.array("h", wave.tobytes())


def _voice_rows(frames):
    table = _table()
    loop_start, loop_end = 0, len(table)
    steps = [int(65536 * (55.0 * 2 ** (v / 12)) * loop_end / RATE) % (loop_end << 15) for v in range(VOICES)]
    levels = [(8000 + 300 * v, 12000 - 150 * v) for v in range(VOICES)]
    phases = [v * 7919 * 65536 % (loop_end << 16) for v in range(VOICES)]

    def render():
        mix = np.zeros(frames * 2, np.int32)
        for v in range(VOICES):
            data, phases[v] = m.oscillator_i32(table, phases[v], steps[v], loop_start, loop_end,
                                               levels[v][0], levels[v][1], 2, frames)
            mix += np.frombuffer(data, np.int32)
        return m.mixdown_i32(mix, VOICES)

    np_table = np.frombuffer(table.tobytes(), np.int16).astype(np.int64)
    np_phases = [int(p) for p in phases]
    k = 268435455 // (VOICES * 32768 - 28000)
    counts = np.arange(1, frames + 1, dtype=np.int64)

    def numpy_render():
        mix = np.zeros((frames, 2), np.int64)
        end, width = loop_end << 16, (loop_end - loop_start) << 16
        for v in range(VOICES):
            pos = np_phases[v] + counts * steps[v]
            pos = np.where(pos >= end, (loop_start << 16) + (pos - (loop_start << 16)) % width, pos)
            np_phases[v] = int(pos[-1])
            raw = np_table[pos >> 16]
            mix[:, 0] += np.clip((raw * levels[v][0]) // 65536, -32768, 32767)
            mix[:, 1] += np.clip((raw * levels[v][1]) // 65536, -32768, 32767)
        x = mix.ravel()
        y = np.where(x > 28000, (((x - 28000) * k) >> 16) + 28000,
                     np.where(x < -28000, (((x + 28000) * k) >> 16) - 28000, x))
        return y.astype(np.int16).tobytes()

    return Row("synth.oscillator_i32", f"64v st {frames} +mix", frames, render, {"numpy": numpy_render})


def _biquad_rows(frames):
    rng = np.random.default_rng(3)
    block = (rng.standard_normal(frames * 2) * 6000).clip(-32768, 32767).astype(np.int16).tobytes()
    settings = (0, 1200.0, 0.8, 1.0, RATE)
    bq = m.BiquadState()

    def ours():
        return bq.process_s16(block, *settings, 1.0, 2)

    peers = {}
    try:
        from scipy.signal import butter, lfilter

        # the same kind of filter in float (timing only; the Q15 design differs in the last bits)
        b, a = butter(2, settings[1] / (RATE / 2))
        zi = np.zeros((2, 2))

        def scipy_lfilter():
            nonlocal zi
            x = np.frombuffer(block, np.int16).reshape(-1, 2).astype(np.float64)
            y, zi = lfilter(b, a, x, axis=0, zi=zi)
            return np.clip(np.round(y), -32768, 32767).astype(np.int16).tobytes()

        peers["scipy.lfilter"] = scipy_lfilter
    except ImportError:
        pass
    return Row("synth.Biquad.process_s16", f"stereo {frames}", frames, ours, peers)


def rows(quick):
    return [_voice_rows(256), _voice_rows(RATE), _biquad_rows(256), _biquad_rows(RATE)]
