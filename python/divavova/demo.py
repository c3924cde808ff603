"""A short piece rendered from the module alone: wavetable voices with
envelopes, mixed down, then chorus, feedback delay, reverb tank and limiter."""

from __future__ import annotations

import array
import math

import _divavova as core

from divavova import effects

RATE = 48000
BLOCK = 256
TABLE = 2048


def wavetable(harmonics) -> array.array:
    """One cycle of a band-limited tone with the given harmonic amplitudes."""
    peak = sum(abs(a) for a in harmonics)
    return array.array("h", (int(32000 * sum(a * math.sin(2 * math.pi * (k + 1) * n / TABLE)
                                               for k, a in enumerate(harmonics)) / peak) for n in range(TABLE)))


# (start s, length s, MIDI note, level, pan 0..1)
NOTES = [(0.0, 1.4, 57, 0.8, 0.3), (0.0, 1.4, 64, 0.6, 0.7), (0.0, 1.4, 69, 0.6, 0.5),
         (1.5, 1.4, 55, 0.8, 0.3), (1.5, 1.4, 62, 0.6, 0.7), (1.5, 1.4, 67, 0.6, 0.5),
         (3.0, 1.4, 53, 0.8, 0.3), (3.0, 1.4, 60, 0.6, 0.7), (3.0, 1.4, 69, 0.6, 0.5),
         (4.5, 2.0, 52, 0.8, 0.3), (4.5, 2.0, 59, 0.6, 0.7), (4.5, 2.0, 68, 0.6, 0.5),
         (0.0, 0.3, 81, 0.5, 0.6), (0.75, 0.3, 83, 0.5, 0.4), (1.5, 0.3, 84, 0.5, 0.6), (2.25, 0.3, 86, 0.5, 0.4),
         (3.0, 0.3, 88, 0.5, 0.6), (3.75, 0.3, 86, 0.5, 0.4), (4.5, 0.6, 83, 0.5, 0.6), (5.25, 0.6, 80, 0.5, 0.4)]


def render_voices(seconds: float) -> bytes:
    """The voices summed into one i32 stereo buffer, then mixed down to s16."""
    total = int(seconds * RATE)
    mix = array.array("i", bytes(8 * total))
    pad, bell = wavetable([1, 0.5, 0.33, 0.25, 0.2, 0.12]), wavetable([1, 0, 0.4, 0, 0.2])
    for start, length, note, level, pan in NOTES:
        table = bell if note > 76 else pad
        freq = 440.0 * 2 ** ((note - 69) / 12)
        step = int(freq * TABLE / RATE * 65536)
        env = core.EnvelopeState(RATE, True, 0.01 if note > 76 else 0.15, 0.3, 0.4, level, 0.6)
        phase, first = 0, int(start * RATE)
        end = min(total, first + int((length + 0.6) * RATE))
        released = first + int(length * RATE)
        for pos in range(first, end, BLOCK):
            count = min(BLOCK, end - pos)
            if pos >= released and env.state != 3:
                env.release()
            env.step(count)
            gain = env.level
            left, right = int(gain * (1 - pan)), int(gain * pan)
            block, phase = core.oscillator_i32(table, phase, step, 0, TABLE, left, right, 2, count)
            voice = array.array("i", block)
            base = 2 * pos
            for k, v in enumerate(voice):
                mix[base + k] += v
    return core.mixdown_i32(mix, 8)


def render(seconds: float = 7.0) -> bytes:
    """The piece as interleaved stereo s16 at RATE: the voices, then chorus,
    feedback delay, reverb tank and limiter in 256-frame blocks."""
    dry = render_voices(seconds)
    chain = [
        effects.make("chorus", RATE, 2, {"voices": 3, "delay_ms": 18, "sweep": 0.4, "rate_hz": 0.4, "depth": 0.4}),
        effects.make("delay", RATE, 2, {"delay_ms": 375, "feedback": 0.35, "mix": 0.5, "lowpass_hz": 5000,
                                        "cross_feedback": 0.3, "input_routing": 0.5}),
        effects.make("tank", RATE, 2, {"decay": 0.7, "damping_hz": 7000, "bandwidth_hz": 12000, "predelay_ms": 20,
                                       "modulation_depth_ms": 0.3, "modulation_rate_hz": 0.7, "mix": 0.5}),
        effects.make("limiter", RATE, 2, {"threshold_db": -3, "release_ms": 80}),
    ]
    out = bytearray()
    step = 4 * BLOCK
    for start in range(0, len(dry), step):
        block = dry[start:start + step]
        for stage in chain:
            block = stage.process(block)
        out += block
    return bytes(out)
