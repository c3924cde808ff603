"""Reverbs and resonators: the plate tank, the Freeverb-structured reverb,
the convolver with a synthesized room and the modal resonator bank."""

from __future__ import annotations

import cmath
import math
from enum import IntEnum
from typing import Any, Dict, List, Set, Tuple

import numpy as np

import _divavova as core

from divavova._base import Effect
from divavova._convert import INT16, join_channels, split_channels
from divavova._engine import ConfiguredEffect
from divavova._ids import ConvolverId, ModalId, TankId
from divavova._options import BOTH_AT_HALF, CROSSFADE, FloatOption, IntOption, mix_option
from divavova.delays import KNEE_NOTE

# The tank's loop: lines 4 to 11 at the engine's reference rate, in frames.
TANK_REFERENCE_RATE = 29761
TANK_LOOP_FRAMES = 672 + 4453 + 1800 + 3720 + 908 + 4217 + 2656 + 3163
TANK_MAX_PREDELAY_MS = 200.0

FREEVERB_REFERENCE_RATE = 44100      # the rate its line lengths were tuned for
FREEVERB_BUFFERS = (22048, 32, 16, 3126, 16)   # comb lines, positions, stores; all-pass lines, positions

LN_1000 = 6.907755278982137
IMPULSE_LEVEL = 32767
SYNTHESIS_RATE = 48000
CALIBRATION_BAND_HZ = (50.0, 3000.0)


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
    mix = mix_option(0.08, BOTH_AT_HALF)

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


# Frames until the wet response of freeverb_s16 to a full-scale impulse has
# decayed by 60 dB (its Schroeder energy curve), by core damping (rows 0, 0.1,
# .. 1) and room_size (columns 0, 0.1, .. 1).  The reverb's lines are fixed in
# frames, so these depend on the two settings only, not on the rate; its
# 16-bit arithmetic rounds the tail away faster than the comb feedback alone
# would, so they were measured rather than derived from it.
FREEVERB_TAIL_FRAMES = (
    (25920, 28497, 33348, 36582, 43050, 47901, 60837, 73773, 101262, 156240, 327642),
    (23646, 25263, 28497, 31731, 33348, 38376, 46285, 55987, 70541, 98030, 164328),
    (20413, 23647, 25264, 28498, 31732, 35263, 43052, 51137, 65691, 89946, 144927),
    (20413, 21251, 25264, 25479, 29036, 34967, 41436, 46288, 60842, 83481, 131994),
    (18137, 19611, 23648, 25266, 28499, 31733, 38203, 46289, 57609, 74310, 120678),
    (18137, 20413, 22030, 25266, 28500, 30234, 38204, 43056, 55992, 73783, 112596),
    (18138, 19018, 22031, 23650, 26885, 30235, 34971, 43057, 52762, 68934, 101281),
    (17182, 18799, 22033, 23651, 25269, 30120, 34972, 43058, 49530, 65702, 96433),
    (17183, 18800, 19130, 23651, 25270, 28504, 33355, 38209, 47914, 62471, 91584),
    (17183, 18139, 19021, 22036, 23654, 26889, 31741, 36594, 46299, 59239, 85120),
    (17183, 17185, 19021, 22036, 23655, 26890, 30125, 34978, 44683, 56007, 80271),
)
TABLE_STEPS = len(FREEVERB_TAIL_FRAMES) - 1


def _tail_row(damping: float) -> List[float]:
    """The tail frames over room_size 0, 0.1, .. 1 at this core damping."""
    place = damping * TABLE_STEPS
    low = min(int(place), TABLE_STEPS - 1)
    share = place - low
    return [a + (b - a) * share for a, b in zip(FREEVERB_TAIL_FRAMES[low], FREEVERB_TAIL_FRAMES[low + 1])]


def freeverb_tail_frames(room_size: float, damping: float) -> float:
    row = _tail_row(damping)
    place = room_size * TABLE_STEPS
    low = min(int(place), TABLE_STEPS - 1)
    return row[low] + (row[low + 1] - row[low]) * (place - low)


def _room_for(frames: float, damping: float) -> float:
    """The room_size whose tail is ``frames`` long at this damping (the row's
    ends where it is out of reach)."""
    row = _tail_row(damping)
    if frames <= row[0]:
        return 0.0
    for index in range(TABLE_STEPS):
        if frames <= row[index + 1]:
            return (index + (frames - row[index]) / max(1e-9, row[index + 1] - row[index])) / TABLE_STEPS
    return 1.0


def freeverb_settings(room_size: float, damping: float, sample_rate: int) -> Tuple[float, float]:
    """Core (room_size, damping) that keep the tail time and, as far as that
    allows, the damping frequency of 44.1 kHz at this rate.

    The damping pole 0.4 damping is raised to 44100 / rate (the same pole
    per second); then room_size is found for the tail; where the row has no
    room_size short (long) enough, the damping moves up (down) until one has."""
    scale = FREEVERB_REFERENCE_RATE / sample_rate
    frames = freeverb_tail_frames(room_size, damping) / scale
    pole = min(1.0, (0.4 * damping) ** scale / 0.4) if damping > 0 else 0.0
    steps = [pole + (1.0 - pole) * k / 20 for k in range(21)] if frames < _tail_row(pole)[0] else \
        [pole * (1 - k / 20) for k in range(21)]
    for core_damping in steps:
        row = _tail_row(core_damping)
        if row[0] <= frames <= row[-1]:
            return _room_for(frames, core_damping), core_damping
    return _room_for(frames, steps[-1]), steps[-1]


class Freeverb(Effect):
    """Reverb of eight combs and four all-passes (the Freeverb structure), in
    16-bit fixed point, each channel on its own.

    Its lines are fixed in frames (tuned at 44.1 kHz), so room_size and
    damping are translated for the sample rate to keep the tail time of
    44.1 kHz (to -60 dB, for a full-scale impulse) and the damping frequency.
    The core's ranges bound that: down to 22.05 kHz the tail time holds (with
    more damping where needed), lower rates give a longer tail than asked for,
    and above 96 kHz the longest rooms get shorter; above 44.1 kHz the core's
    damping runs out of range first (the tail time is kept, the highs last
    longer).  Its tail, like any 16-bit recirculating reverb's, ends sooner
    for quieter input."""

    NAME = "freeverb"
    _NOTES = KNEE_NOTE
    room_size = FloatOption("", 0.6, 0.0, 1.0, "comb feedback: the length of the tail")
    damping = FloatOption("", 0.5, 0.0, 1.0, "low-pass in the combs: how much faster the highs die")
    mix = mix_option(0.25, BOTH_AT_HALF)

    def _build(self, sample_rate: int, channels: int) -> None:
        self._states: List[Tuple[bytearray, ...]] = [tuple(bytearray(size) for size in FREEVERB_BUFFERS)
                                                     for _ in range(channels)]
        self._apply(set())

    def _apply(self, names: Set[str]) -> None:
        self._core_settings = freeverb_settings(self.room_size, self.damping, self._rate)

    def _reset(self) -> None:
        for state in self._states:
            for buffer in state:
                buffer[:] = bytes(len(buffer))

    def _run(self, block: Any, frames: int) -> bytes:
        room, damping = self._core_settings
        return join_channels([core.freeverb_s16(samples, lines, positions, stores, allpasses, allpass_positions,
                                                room, damping, self.mix)
                              for samples, (lines, positions, stores, allpasses, allpass_positions)
                              in zip(split_channels(block, self._channels), self._states)])

    def _tail(self) -> int:
        return int(freeverb_tail_frames(*self._core_settings))


class Convolver(Effect):
    """Convolution with a synthesized room: decaying noise (seeded), smoothed
    by a one-pole low-pass at damping_hz, after a pre-delay and a fade-in.

    The core synthesizes the room sample by sample, which would make another
    room at every rate (other noise, and a level that grows with the rate,
    as the core spreads unit energy over the whole band).  So the room is
    synthesized at 48 kHz (lower for rooms longer than 2.7 s, so that they
    fit the core's 131072-frame impulse), read back, resampled to the stream's
    rate and loaded, scaled to a mean power gain of 1 from 50 Hz to 3 kHz
    (that of unsmoothed unit-energy noise): the same room at the same level
    from 8 to 192 kHz, up to half the synthesis rate.  Damping at or above a
    quarter of the synthesis rate is off (the core's rule).  At the stream's
    rate the impulse again holds at most 131072 frames: above about 109 kHz
    a 1.2 s room is cut short (at 192 kHz after 0.68 s, about -34 dB).  The
    engine works in blocks of 256 frames: latency_frames is 256."""

    NAME = "convolver"
    decay_s = FloatOption("s", 1.2, 0.05, 30.0, "time for the room to decay by 60 dB", restarts=True)
    damping_hz = FloatOption("Hz", 6000.0, 0.0, None, "smoothing of the room's noise, 0 off", restarts=True)
    predelay_ms = FloatOption("ms", 10.0, 0.0, 200.0, "delay before the room starts", restarts=True)
    fade_in_ms = FloatOption("ms", 5.0, 0.0, 500.0, "fade-in of the room's onset", restarts=True)
    seed = IntOption("", 1, 0, 0xFFFFFFFF, "seed of the room's noise", restarts=True)
    length_s = FloatOption("s", 0.0, 0.0, 10.0, "length of the impulse, 0: pre-delay plus decay", restarts=True)
    mix = mix_option(0.1, BOTH_AT_HALF)

    def _seconds(self) -> float:
        return self.length_s or self.predelay_ms / 1000.0 + self.decay_s

    def _partitions(self, sample_rate: int) -> int:
        blocks = math.ceil(self._seconds() * sample_rate / core.CONVOLVE_FRAMES)
        return int(max(1, min(core.CONVOLVE_MAX_PARTITIONS, blocks)))

    def _build(self, sample_rate: int, channels: int) -> None:
        impulse, gain = self._room(sample_rate, channels)
        self._partition_count = -(-len(impulse) // core.CONVOLVE_FRAMES)
        self._state = core.ConvolverState(sample_rate=sample_rate, partitions=self._partition_count,
                                          ir_channels=channels, channel_count=channels)
        self._state.load(impulse.tobytes(), channels, gain)
        self._apply(set())

    def _room(self, sample_rate: int, channels: int) -> Tuple[np.ndarray, float]:
        """The room at ``sample_rate``: int16 frames and the load gain."""
        capacity = core.CONVOLVE_MAX_PARTITIONS * core.CONVOLVE_FRAMES
        rate = min(SYNTHESIS_RATE, int(capacity / self._seconds()))
        source = core.ConvolverState(sample_rate=rate, partitions=self._partitions(rate), ir_channels=channels,
                                     channel_count=channels)
        source.synthesize(self.decay_s, self.damping_hz, self.predelay_ms, self.fade_in_ms, self.seed)
        source.configure(ConvolverId.MIX, 1.0)   # wet only
        frames = source.taps()
        pulse = np.zeros((frames + core.CONVOLVE_FRAMES, channels), INT16)
        pulse[0] = IMPULSE_LEVEL
        heard = np.frombuffer(source.process(pulse.tobytes()), INT16).reshape(-1, channels)[core.CONVOLVE_FRAMES:]
        spectrum = np.fft.rfft(heard / IMPULSE_LEVEL, axis=0)
        bins = np.fft.rfftfreq(frames, 1.0 / rate)
        band = (bins >= CALIBRATION_BAND_HZ[0]) & (bins <= CALIBRATION_BAND_HZ[1])
        power = float((np.abs(spectrum[band]) ** 2).mean())
        # resample by the spectrum: cut or pad it to the new length
        length = min(capacity, max(1, round(frames * sample_rate / rate)))
        resized = np.zeros((length // 2 + 1, channels), complex)
        shared = min(len(resized), len(spectrum))
        resized[:shared] = spectrum[:shared]
        room = np.fft.irfft(resized, round(frames * sample_rate / rate), axis=0)[:length]
        room /= math.sqrt(power)
        peak = float(np.abs(room).max()) or 1.0
        return np.round(room * (32767 / peak)).astype(INT16), peak * 32768 / 32767

    def _apply(self, names: Set[str]) -> None:
        self._state.configure(ConvolverId.MIX, self.mix)   # the core stores twice its 0 .. 1 value

    def _reset(self) -> None:
        self._state.reset()

    def _run(self, block: Any, frames: int) -> bytes:
        return self._state.process(block)

    def _latency(self) -> int:
        return core.CONVOLVE_FRAMES

    def _tail(self) -> int:
        return self._partition_count * core.CONVOLVE_FRAMES


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
