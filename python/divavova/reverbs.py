"""Reverbs and resonators: the plate tank, the Freeverb-structured reverb,
the convolver with a synthesized room and the modal resonator bank."""

from __future__ import annotations

import cmath
import math
from enum import IntEnum
from typing import Any, Dict, List, Set, Tuple

import _divavova as core

from divavova._base import Effect
from divavova._convert import join_channels, split_channels
from divavova._engine import ConfiguredEffect
from divavova._ids import ConvolverId, ModalId, TankId
from divavova._options import BOTH_AT_HALF, CROSSFADE, FloatOption, IntOption, mix_option
from divavova.delays import KNEE_NOTE
from divavova.utility import GainStage

# The tank's loop: lines 4 to 11 at the engine's reference rate, in frames.
TANK_REFERENCE_RATE = 29761
TANK_LOOP_FRAMES = 672 + 4453 + 1800 + 3720 + 908 + 4217 + 2656 + 3163
TANK_MAX_PREDELAY_MS = 200.0

FREEVERB_REFERENCE_RATE = 44100      # the rate its line lengths were tuned for
FREEVERB_LONGEST_COMB = 1617
FREEVERB_BUFFERS = (22048, 32, 16, 3126, 16)   # comb lines, positions, stores; all-pass lines, positions

LN_1000 = 6.907755278982137


class PlateReverb(ConfiguredEffect):
    """Plate reverb: the core's figure-of-eight tank of twelve lines (the
    geometry of Dattorro's plate, scaled to the sample rate, so it sounds the
    same at any rate), with input diffusion, damping, modulation, width and
    tilt."""

    NAME = "tank"
    decay = FloatOption("", 0.5, 0.0, 0.999, "gain around the tank: the length of the tail")
    predelay_ms = FloatOption("ms", 0.0, 0.0, TANK_MAX_PREDELAY_MS, "delay before the reverb starts")
    damping_hz = FloatOption("Hz", 0.0, 0.0, None, "low-pass inside the tank, 0 off", below_rate=0.5)
    bandwidth_hz = FloatOption("Hz", 0.0, 0.0, None, "low-pass on the input, 0 off", below_rate=0.5)
    highpass_hz = FloatOption("Hz", 0.0, 0.0, None, "high-pass on the input, 0 off", below_rate=0.5)
    input_diffusion = FloatOption("", 0.75, 0.0, 0.9, "diffusion of the input all-passes (and the tank's)")
    modulation_depth_ms = FloatOption("ms", 0.0, 0.0, 10.0, "sweep of the tank's modulated all-passes")
    modulation_rate_hz = FloatOption("Hz", 0.0, 0.0, 100.0, "speed of that sweep")
    drive = FloatOption("", 0.0, 0.0, 1.0, "cubic saturation of the input, 0 off")
    width = FloatOption("", 1.0, 0.0, 2.0, "stereo width of the reverb: 0 mono, 1 as it is, 2 wider")
    tilt_db = FloatOption("dB", 0.0, -24.0, 24.0, "tilt of the reverb's spectrum around 1 kHz")
    mix = mix_option(0.15, BOTH_AT_HALF)

    def _engine(self, sample_rate: int, channels: int) -> Any:
        return core.TankState(sample_rate=sample_rate, max_predelay_ms=TANK_MAX_PREDELAY_MS, channel_count=channels)

    def _settings(self) -> Dict[IntEnum, float]:
        return {TankId.DECAY: self.decay, TankId.PREDELAY_MS: self.predelay_ms, TankId.DAMPING_HZ: self.damping_hz,
                TankId.BANDWIDTH_HZ: self.bandwidth_hz, TankId.HIGHPASS_HZ: self.highpass_hz,
                TankId.INPUT_DIFFUSION: self.input_diffusion, TankId.MODULATION_DEPTH_MS: self.modulation_depth_ms,
                TankId.MODULATION_RATE_HZ: self.modulation_rate_hz, TankId.DRIVE: self.drive,
                TankId.WIDTH: self.width, TankId.TILT_DB: self.tilt_db, TankId.MIX: 2.0 * self.mix}

    def _tail(self) -> int:
        loop_s = TANK_LOOP_FRAMES / TANK_REFERENCE_RATE
        # the signal meets the decay gain four times per round of the loop
        rounds = 1.0 if self.decay <= 0.0 else max(1.0, -60.0 / (80.0 * math.log10(self.decay)))
        return int((rounds * loop_s + self.predelay_ms / 1000.0) * self._rate)


class Freeverb(Effect):
    """Reverb of eight combs and four all-passes (the Freeverb structure), in
    16-bit fixed point, each channel on its own.

    Its lines are fixed in frames (tuned at 44.1 kHz), so room_size and
    damping are rescaled for the sample rate to keep the decay time and the
    damping frequency of 44.1 kHz.  The core's ranges bound that: below about
    22 kHz a small room_size cannot get short enough, above 44.1 kHz the
    damping runs out of range (it stays at the core's strongest), and at
    192 kHz room_size above about 0.77 reaches the core's longest decay."""

    NAME = "freeverb"
    _NOTES = KNEE_NOTE
    room_size = FloatOption("", 0.5, 0.0, 1.0, "comb feedback: the length of the tail")
    damping = FloatOption("", 0.5, 0.0, 1.0, "low-pass in the combs: how much faster the highs die")
    mix = mix_option(0.25, BOTH_AT_HALF)

    def _build(self, sample_rate: int, channels: int) -> None:
        self._states: List[Tuple[bytearray, ...]] = [tuple(bytearray(size) for size in FREEVERB_BUFFERS)
                                                     for _ in range(channels)]
        self._apply(set())

    def _apply(self, names: Set[str]) -> None:
        self._core_settings = self._at_rate()

    def _reset(self) -> None:
        for state in self._states:
            for buffer in state:
                buffer[:] = bytes(len(buffer))

    def _at_rate(self) -> Tuple[float, float]:
        """(room_size, damping) for the core at this rate: the comb feedback
        F = 0.7 + 0.28 room and the damping pole 0.4 damping are raised to the
        power 44100 / rate, which keeps the decay and the pole per second."""
        scale = FREEVERB_REFERENCE_RATE / self._rate
        feedback = (0.7 + 0.28 * self.room_size) ** scale
        pole = (0.4 * self.damping) ** scale if self.damping > 0 else 0.0
        return min(1.0, max(0.0, (feedback - 0.7) / 0.28)), min(1.0, pole / 0.4)

    def _run(self, block: Any, frames: int) -> bytes:
        room, damping = self._core_settings
        return join_channels([core.freeverb_s16(samples, lines, positions, stores, allpasses, allpass_positions,
                                                room, damping, self.mix)
                              for samples, (lines, positions, stores, allpasses, allpass_positions)
                              in zip(split_channels(block, self._channels), self._states)])

    def _tail(self) -> int:
        room, _ = self._core_settings
        feedback = (22937 + int(room * 9175.04)) / 32768
        return int(FREEVERB_LONGEST_COMB * 3.0 / -math.log10(feedback)) + 1563


class Convolver(Effect):
    """Convolution with a synthesized room: decaying noise (seeded), smoothed
    by a one-pole low-pass at damping_hz, after a pre-delay and a fade-in.

    The core gives the impulse unit energy over the whole band; smoothing
    puts that energy below damping_hz, which makes the wet signal louder at
    higher rates.  This class scales the wet path by the inverse, so the wet
    level stays the same from 8 to 192 kHz.  Damping at or above a quarter of
    the rate is off (the core's rule).  The impulse holds at most 131072
    frames: above about 109 kHz a 1.2 s room is cut short (at 192 kHz at
    0.68 s, about -34 dB).  The engine works in blocks of 256 frames:
    latency_frames is 256."""

    NAME = "convolver"
    decay_s = FloatOption("s", 1.2, 0.05, 30.0, "time for the room to decay by 60 dB", restarts=True)
    damping_hz = FloatOption("Hz", 6000.0, 0.0, None, "smoothing of the room's noise, 0 off", restarts=True)
    predelay_ms = FloatOption("ms", 10.0, 0.0, 200.0, "delay before the room starts", restarts=True)
    fade_in_ms = FloatOption("ms", 5.0, 0.0, 500.0, "fade-in of the room's onset", restarts=True)
    seed = IntOption("", 1, 0, 0xFFFFFFFF, "seed of the room's noise", restarts=True)
    length_s = FloatOption("s", 0.0, 0.0, 10.0, "length of the impulse, 0: pre-delay plus decay", restarts=True)
    mix = mix_option(0.15, BOTH_AT_HALF)

    def _partitions(self, sample_rate: int) -> int:
        seconds = self.length_s or self.predelay_ms / 1000.0 + self.decay_s
        blocks = math.ceil(seconds * sample_rate / core.CONVOLVE_FRAMES)
        return int(max(1, min(core.CONVOLVE_MAX_PARTITIONS, blocks)))

    def _build(self, sample_rate: int, channels: int) -> None:
        self._state = core.ConvolverState(sample_rate=sample_rate, partitions=self._partitions(sample_rate),
                                          ir_channels=channels, channel_count=channels)
        self._state.synthesize(self.decay_s, self.damping_hz, self.predelay_ms, self.fade_in_ms, self.seed)
        self._input = GainStage(sample_rate, channels, 1.0)
        self._apply(set())

    def _wet_scale(self) -> float:
        """The wet path's gain that brings the smoothed room's low-frequency
        gain back to that of unsmoothed noise: its energy share a / (2 - a)."""
        rate, damping = self._rate, self.damping_hz
        if damping <= 0 or rate * 0.25 <= damping:
            return 1.0
        smoothing = 1.0 - math.exp(max(-1.0, -2.0 * math.pi * damping / rate))
        return math.sqrt(smoothing / (2.0 - smoothing))

    def _apply(self, names: Set[str]) -> None:
        # Output = dry x + wet room(x).  The core's mix gives one of the two
        # gains at 1; the input gain in front sets the level of both.
        dry, wet = min(2.0 - 2.0 * self.mix, 1.0), min(2.0 * self.mix, 1.0) * self._wet_scale()
        level = max(dry, wet)
        core_mix = wet / dry if dry >= wet else 2.0 - dry / wet
        self._input.set(level)
        self._state.configure(ConvolverId.MIX, core_mix / 2.0)   # the core stores twice its 0 .. 1 value

    def _reset(self) -> None:
        self._state.reset()

    def _run(self, block: Any, frames: int) -> bytes:
        return self._state.process(self._input.process(block))

    def _latency(self) -> int:
        return core.CONVOLVE_FRAMES

    def _tail(self) -> int:
        return self._partitions(self._rate) * core.CONVOLVE_FRAMES


class ModalResonator(ConfiguredEffect):
    """A bank of resonators at slightly stretched harmonics of base_hz: mode k
    rings at base_hz (k + 1) (1 + stretch k^2), decays in decay_s / (1 + 0.3 k)
    and peaks at level / sqrt(k + 1).

    Each mode's gain is set from its peak, frequency and decay at the sample
    rate, so the bank sounds the same at any rate; modes above 0.45 x the rate
    are left out."""

    NAME = "modal"
    modes = IntOption("", 8, 1, core.MODAL_MAX_MODES, "resonators", restarts=True)
    base_hz = FloatOption("Hz", 220.0, 20.0, 5000.0, "frequency of the lowest mode", below_rate=0.5)
    stretch = FloatOption("", 0.002, 0.0, 0.05, "inharmonic stretch of the higher modes")
    decay_s = FloatOption("s", 1.5, 0.01, 30.0, "time for the lowest mode to decay by 60 dB")
    level = FloatOption("", 0.5, 0.0, 4.0, "gain of a steady tone right at the lowest mode")
    mix = mix_option(0.5, CROSSFADE)

    def _engine(self, sample_rate: int, channels: int) -> Any:
        return core.ModalState(sample_rate=sample_rate, channel_count=channels, modes=self.modes)

    def _settings(self) -> Dict[IntEnum, float]:
        for index in range(self.modes):
            self._state.set_mode(index, *self._mode(index))
        return {ModalId.WET_MIX: self.mix, ModalId.WET_GAIN: 1.0}

    def _mode(self, index: int) -> Tuple[float, float, float]:
        """(frequency, decay, gain) of mode ``index``: the gain g that gives
        the resonator b0 = g sin w over poles r e^(+-jw) the peak gain asked
        for, |H(w)| = g sin w / ((1 - r) |1 - r e^(-2jw)|)."""
        rate = self._rate
        frequency = self.base_hz * (index + 1) * (1.0 + self.stretch * index * index)
        if frequency >= 0.45 * rate:
            return 0.0, 1.0, 0.0
        decay = max(0.001, self.decay_s / (1.0 + 0.3 * index))
        peak = self.level / math.sqrt(index + 1.0)
        w = 2.0 * math.pi * frequency / rate
        r = math.exp(-LN_1000 / (decay * rate))
        gain = peak * (1.0 - r) * abs(1.0 - r * cmath.exp(-2j * w)) / math.sin(w)
        return frequency, decay, gain

    def _tail(self) -> int:
        return int(self.decay_s * self._rate)
