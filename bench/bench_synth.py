"""Synth voice path: oscillators, voice post-processing, pitch bend, the per-voice
biquad and the envelope; numpy and scipy.signal as peers.

Frames are output frames at 48 kHz; "64 voices +mixdown" renders and sums 64
stereo voices per call, so its real-time factor is Mframes/s x 1e6 / 48000.
"""

from __future__ import annotations

import array

import numpy as np

import _divavova as m
from harness import RATE, SIZES, i32_noise, lfilter_peers, row, s16_noise, scipy_signal

VOICES = 64
TABLE_FRAMES = 2048


def _table() -> array.array:
    t = np.arange(TABLE_FRAMES)
    wave = (np.sin(2 * np.pi * t / TABLE_FRAMES) * 12000 + np.sin(6 * np.pi * t / TABLE_FRAMES) * 4000)
    return array.array("h", wave.astype(np.int16).tobytes())


TABLE = _table()
NP_TABLE = np.frombuffer(TABLE.tobytes(), np.int16).astype(np.int32)
STEP = int(65536 * 220.0 * TABLE_FRAMES / RATE)


class NumpyVoice:
    """A numpy wavetable reader with the same loop and level stage (timing peer)."""

    def __init__(self, frames, step=STEP, phase=0):
        self.counts = np.arange(1, frames + 1, dtype=np.int64)
        self.step, self.phase = step, phase

    def positions(self):
        end = TABLE_FRAMES << 16
        pos = self.phase + self.counts * self.step
        pos = np.where(pos >= end, pos % end, pos)
        self.phase = int(pos[-1])
        return pos

    def raw(self):
        return NP_TABLE[self.positions() >> 16]

    def levelled(self, left, right, channels):
        raw = self.raw()
        cols = [np.clip((raw * level) // 65536, -32768, 32767) for level in (left, right)[:channels]]
        return np.stack(cols, 1).astype(np.int32).tobytes()


def _oscillator_rows(frames):
    out = []
    for layout, channels in (("mono", 1), ("stereo", 2)):
        state = {"phase": 0}

        def ours(c=channels, state=state):
            data, state["phase"] = m.oscillator_i32(TABLE, state["phase"], STEP, 0, TABLE_FRAMES, 8000, 12000, c,
                                                    frames)
            return data

        voice = NumpyVoice(frames)
        out.append(row("oscillator_i32", layout, frames, ours,
                       {"numpy": lambda v=voice, c=channels: v.levelled(8000, 12000, c)},
                       bytes(frames * channels * 4)))

    state = {"phase": 0}

    def raw(state=state):
        data, state["phase"] = m.oscillator_raw_i32(TABLE, state["phase"], STEP, 0, TABLE_FRAMES, frames)
        return data

    voice = NumpyVoice(frames)
    out.append(row("oscillator_raw_i32", "mono", frames, raw,
                   {"numpy": lambda v=voice: v.raw().astype(np.int32).tobytes()}, bytes(frames * 4)))
    return out


def _voice_rows(frames):
    out = []
    voice = i32_noise(frames, 5)
    state = {"phase": 0}

    def ring(state=state):
        data, state["phase"] = m.ring_multiply_i32(voice, TABLE, state["phase"], STEP, 0, TABLE_FRAMES)
        return data

    modulator = NumpyVoice(frames)

    def numpy_ring():
        p = modulator.raw() * np.frombuffer(voice, np.int32)
        q = np.where(p < 0, -((-p) >> 15), p >> 15)
        return q.astype(np.int16).astype(np.int32).tobytes()

    out.append(row("ring_multiply_i32", "mono", frames, ring, {"numpy": numpy_ring}, voice))

    for layout, channels in (("mono", 1), ("stereo", 2)):
        def numpy_loudness(c=channels):
            x = np.frombuffer(voice, np.int32).astype(np.int64)
            cols = [np.clip(np.trunc(x * level / 65536), -32768, 32767) for level in (9000, 11000)[:c]]
            return np.stack(cols, 1).astype(np.int32).tobytes()

        out.append(row("apply_loudness_i32", f"{layout} out", frames,
                       lambda c=channels: m.apply_loudness_i32(voice, 9000, 11000, c), {"numpy": numpy_loudness},
                       voice))

    total = i32_noise(frames * 2, 6, 8000 * 8)
    k = 268435455 // (VOICES * 32768 - 28000)

    def numpy_mixdown():
        x = np.frombuffer(total, np.int32)
        y = np.where(x > 28000, (((x - 28000) * k) >> 16) + 28000,
                     np.where(x < -28000, (((x + 28000) * k) >> 16) - 28000, x))
        return y.astype(np.int16).tobytes()

    out.append(row("mixdown_i32", "stereo 64 voices", frames, lambda: m.mixdown_i32(total), {"numpy": numpy_mixdown},
                   total))
    return out


def _render_rows(frames):
    """64 stereo voices rendered, summed and mixed down: the Python layer's block."""
    steps = [int(65536 * (55.0 * 2 ** (v / 12)) * TABLE_FRAMES / RATE) for v in range(VOICES)]
    levels = [(8000 + 300 * v, 12000 - 150 * v) for v in range(VOICES)]
    phases = [v * 7919 * 65536 % (TABLE_FRAMES << 16) for v in range(VOICES)]

    def render():
        mix = np.zeros(frames * 2, np.int32)
        for v in range(VOICES):
            data, phases[v] = m.oscillator_i32(TABLE, phases[v], steps[v], 0, TABLE_FRAMES, levels[v][0],
                                               levels[v][1], 2, frames)
            mix += np.frombuffer(data, np.int32)
        return m.mixdown_i32(mix, VOICES)

    voices = [NumpyVoice(frames, steps[v], phases[v]) for v in range(VOICES)]
    k = 268435455 // (VOICES * 32768 - 28000)

    def numpy_render():
        mix = np.zeros((frames, 2), np.int64)
        for v, voice in enumerate(voices):
            raw = voice.raw().astype(np.int64)
            mix[:, 0] += np.clip((raw * levels[v][0]) // 65536, -32768, 32767)
            mix[:, 1] += np.clip((raw * levels[v][1]) // 65536, -32768, 32767)
        x = mix.ravel()
        y = np.where(x > 28000, (((x - 28000) * k) >> 16) + 28000,
                     np.where(x < -28000, (((x + 28000) * k) >> 16) - 28000, x))
        return y.astype(np.int16).tobytes()

    return [row("oscillator_i32", "64 voices +mixdown", frames, render, {"numpy": numpy_render})]


def _biquad_rows(frames):
    out = []
    settings = (0, 1200.0, 0.8, 1.0, RATE)
    # the same kind of filter in float for scipy (timing only; the Q15 design differs in the last bits)
    b, a = ((1.0, 2.0, 1.0), (1.0, -1.78, 0.80))
    if scipy_signal is not None:
        b, a = scipy_signal.butter(2, settings[1] / (RATE / 2))
    for layout, channels in (("mono", 1), ("stereo", 2)):
        block = s16_noise(frames, channels, 3, 6000)
        bq = m.BiquadState()
        out.append(row("BiquadState.process_s16", layout, frames,
                       lambda q=bq, x=block, c=channels: q.process_s16(x, *settings, 1.0, c),
                       lfilter_peers(b, a, block, channels), block))
    voice = i32_noise(frames, 4, 6000)
    bq = m.BiquadState()
    out.append(row("BiquadState.process_i32", "mono", frames, lambda: bq.process_i32(voice, *settings),
                   lfilter_peers(b, a, voice, 1, np.int32), voice))
    return out


def _envelope_rows(frames):
    envelope = m.EnvelopeState(RATE, True, 0.5, 0.5, 0.5, 1.0, 0.5)

    def advance():
        envelope.step(frames)
        if envelope.state == 2:
            envelope.release()
        elif envelope.state == 3 and envelope.level == 0:
            envelope.reattack()

    return [row("EnvelopeState", "step+state", frames, advance, {}, bytes(frames * 2))]


def rows(quick):
    out = []
    for frames in SIZES:
        out += _oscillator_rows(frames) + _voice_rows(frames) + _render_rows(frames)
        out += _biquad_rows(frames) + _envelope_rows(frames)
    out.append(row("pitch_bend", "one value", 1, lambda: m.pitch_bend(65536, 1234),
                   {"python": lambda: _python_bend(65536, 1234)}))
    out[-1].block = bytes(512)    # per call against a copy of a 256-frame mono s16 block
    return out


_BEND_TABLE = [0, 1948, 4013, 6200, 8517, 10972, 13573, 16329, 19248, 22341, 25618, 29090, 32768]


def _python_bend(value, bend):
    octave, f15 = bend >> 15, bend & 0x7FFF
    p = f15 * 24
    i, f = p >> 16, p & 0xFFFF
    r = ((_BEND_TABLE[i] * (65535 - f) + _BEND_TABLE[i + 1] * f) >> 16) + 32768
    return ((value * r) >> ((15 - octave) % 64)) & 0xFFFFFFFF
