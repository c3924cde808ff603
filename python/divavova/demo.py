"""A short piece made with the package: wavetable voices with envelopes from
the core, mixed down, then a Chain of chorus, delay, plate reverb and limiter,
and a fade to silence over the last second, where the last chord is released
(so the piece ends on a fading chord, not in the middle of one)."""

from __future__ import annotations

from typing import List, Tuple

import numpy as np

import _divavova as core

from divavova.chain import Chain
from divavova.delays import Delay
from divavova.dynamics import Limiter
from divavova.modulation import Chorus
from divavova.reverbs import PlateReverb

RATE = 48000
BLOCK = 256          # the envelope's tick
TABLE = 2048
PERIOD_S = 6.0       # the progression repeats after this long
FADE_S = 1.0
RELEASE_S = 0.6

# (start s, length s, MIDI note, level, pan 0..1) within one period
NOTES: List[Tuple[float, float, int, float, float]] = [
    (0.0, 1.4, 57, 0.8, 0.3), (0.0, 1.4, 64, 0.6, 0.7), (0.0, 1.4, 69, 0.6, 0.5),
    (1.5, 1.4, 55, 0.8, 0.3), (1.5, 1.4, 62, 0.6, 0.7), (1.5, 1.4, 67, 0.6, 0.5),
    (3.0, 1.4, 53, 0.8, 0.3), (3.0, 1.4, 60, 0.6, 0.7), (3.0, 1.4, 69, 0.6, 0.5),
    (4.5, 1.4, 52, 0.8, 0.3), (4.5, 1.4, 59, 0.6, 0.7), (4.5, 1.4, 68, 0.6, 0.5),
    (0.0, 0.3, 81, 0.5, 0.6), (0.75, 0.3, 83, 0.5, 0.4), (1.5, 0.3, 84, 0.5, 0.6), (2.25, 0.3, 86, 0.5, 0.4),
    (3.0, 0.3, 88, 0.5, 0.6), (3.75, 0.3, 86, 0.5, 0.4), (4.5, 0.6, 83, 0.5, 0.6), (5.25, 0.6, 80, 0.5, 0.4)]


def wavetable(harmonics: List[float]) -> memoryview:
    """One cycle of a band-limited tone with the given harmonic amplitudes
    (int16 samples in the oscillator's 'h' format)."""
    n = np.arange(TABLE)
    cycle = np.zeros(TABLE)
    for k, amplitude in enumerate(harmonics):
        cycle += amplitude * np.sin(2 * np.pi * (k + 1) * n / TABLE)
    cycle *= 32000 / sum(abs(a) for a in harmonics)
    return memoryview(cycle.astype(np.int16).tobytes()).cast("h")


def score(seconds: float) -> List[Tuple[float, float, int, float, float]]:
    """The notes of the piece: the progression repeated, none starting within
    half a second of the fade, each released at the latest when it starts."""
    fade_start = max(0.5 * seconds, seconds - FADE_S)
    notes = []
    offset = 0.0
    while offset < seconds:
        for start, length, note, level, pan in NOTES:
            begin = offset + start
            if begin < fade_start - 0.5 or begin == 0.0:
                notes.append((begin, min(length, max(0.05, fade_start - begin)), note, level, pan))
        offset += PERIOD_S
    return notes


def render_voices(seconds: float) -> np.ndarray:
    """The voices summed in i32 and mixed down to interleaved stereo s16 frames."""
    total = int(seconds * RATE)
    mix = np.zeros(2 * total, np.int32)
    pad, bell = wavetable([1, 0.5, 0.33, 0.25, 0.2, 0.12]), wavetable([1, 0, 0.4, 0, 0.2])
    for start, length, note, level, pan in score(seconds):
        table = bell if note > 76 else pad
        step = int(440.0 * 2 ** ((note - 69) / 12) * TABLE / RATE * 65536)
        envelope = core.EnvelopeState(RATE, True, 0.01 if note > 76 else 0.15, 0.3, 0.4, level, 0.6)
        phase, first = 0, int(start * RATE)
        end = min(total, first + int((length + RELEASE_S) * RATE))
        released = first + int(length * RATE)
        for position in range(first, end, BLOCK):
            count = min(BLOCK, end - position)
            if position >= released and envelope.state != 3:
                envelope.release()
            envelope.step(count)
            gain = envelope.level
            block, phase = core.oscillator_i32(table, phase, step, 0, TABLE, int(gain * (1 - pan)),
                                               int(gain * pan), 2, count)
            mix[2 * position:2 * (position + count)] += np.frombuffer(block, np.int32)
    return np.frombuffer(core.mixdown_i32(mix.tobytes(), 8), np.int16).reshape(-1, 2)


def effects() -> Chain:
    return Chain([
        Chorus(rate_hz=0.4, depth_ms=3.0, delay_ms=12.0, voices=2, mix=0.4),
        Delay(delay_ms=375, feedback=0.35, mix=0.2, lowpass_hz=5000, cross_feedback=0.3, input_routing=0.5),
        PlateReverb(decay=0.7, damping_hz=7000, bandwidth_hz=12000, predelay_ms=20, modulation_depth_ms=0.3,
                    modulation_rate_hz=0.7, mix=0.2),
        Limiter(threshold_db=-1.0),
    ])


def piece(seconds: float = 7.0) -> np.ndarray:
    """The piece as int16 frames (frames, 2) at RATE."""
    wet = effects()(render_voices(seconds), RATE)
    fade = max(1, int(min(FADE_S, 0.5 * seconds) * RATE))
    ramp = np.ones(len(wet), np.int16) * 32767
    ramp[len(wet) - min(fade, len(wet)):] = np.linspace(32767, 0, min(fade, len(wet))).astype(np.int16)
    # the core's block multiply at depth 1 is the plain product (s x m) >> 15
    faded = core.multiply_s16(wet.tobytes(), np.repeat(ramp, 2).tobytes(), 1.0, 2)
    return np.frombuffer(faded, np.int16).reshape(-1, 2)


def render(seconds: float = 7.0) -> bytes:
    """The piece as interleaved stereo s16 bytes at RATE."""
    return piece(seconds).tobytes()
