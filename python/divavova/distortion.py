"""Distortion and rate effects: the one-call distortion, the oversampled
waveshaper, sample-and-hold and the sub-octave divider."""

from __future__ import annotations

from enum import IntEnum
from fractions import Fraction
from typing import Any, Dict, Set

import numpy as np

import _divavova as core

from divavova._base import Effect
from divavova._engine import ConfiguredEffect
from divavova._ids import DistortionShape, SubOctaveId, WaveshaperId
from divavova._options import CROSSFADE, BoolOption, ChoiceOption, FloatOption, IntOption, mix_option

SHAPES = tuple(member.name.lower() for member in DistortionShape)
EXPONENTIAL_DRIVE_DB = 24.0     # the exponential curve has no parameter: drive 1 is this much input gain
CURVES = ("tanh", "hard")
CURVE_POINTS = 257
OVERSAMPLING = (1, 2, 4, 8, 16)


class Distortion(Effect):
    """Waveshaping distortion of each sample: input gain, a curve, output gain,
    an optional soft limiter and a crossfade with the dry signal.

    drive shapes every curve: power raises |x| to 1.0001 - drive (1 nearly a
    square wave), bits clears round(14 drive) low bits, rational is
    (P + 1) x / (P |x| + 1) with P = 2 drive / (1.0001 - drive), and the
    exponential curve, which has no parameter of its own, gets up to 24 dB
    more input gain (drive x 24 dB)."""

    NAME = "distortion"
    drive = FloatOption("", 0.5, 0.0, 1.0, "amount of distortion (see above)")
    shape = ChoiceOption(SHAPES, "exponential", "the curve", numbered=True)
    pre_gain_db = FloatOption("dB", 0.0, -48.0, 48.0, "gain before the curve")
    post_gain_db = FloatOption("dB", 0.0, -48.0, 48.0, "gain after the curve")
    soft_limit = BoolOption(True, "an exponential soft limiter after the curve")
    mix = mix_option(1.0, CROSSFADE)

    def _build(self, sample_rate: int, channels: int) -> None:
        pass

    def _run(self, block: Any, frames: int) -> bytes:
        shape = DistortionShape[self.shape.upper()]
        pre = self.pre_gain_db + (EXPONENTIAL_DRIVE_DB * self.drive if shape == DistortionShape.EXPONENTIAL else 0.0)
        return core.distortion_s16(block, self.drive, pre, self.post_gain_db, int(shape), self.soft_limit, self.mix)


def tanh_curve() -> bytes:
    """The tanh transfer curve as s16 points over -1 .. 1."""
    x = np.linspace(-1.0, 1.0, CURVE_POINTS)
    return bytes(np.round(32767 * np.tanh(2.5 * x) / np.tanh(2.5)).astype(np.int16).tobytes())


class Waveshaper(ConfiguredEffect):
    """Oversampled waveshaper: drive and bias, a transfer curve (tanh, or a
    hard clip at full scale), output gain, an optional hysteresis ahead of the
    curve, at ``oversample`` times the rate (half-band filters up and down)."""

    NAME = "waveshaper"
    drive = FloatOption("times", 4.0, -1000.0, 1000.0, "gain into the curve")
    bias = FloatOption("", 0.0, -1.0, 1.0, "offset added after the drive (even harmonics)")
    output_gain = FloatOption("times", 0.5, -1000.0, 1000.0, "gain after the curve")
    curve = ChoiceOption(CURVES, "tanh", "the transfer curve", restarts=True)
    oversample = IntOption("times", 4, 1, 16, "1, 2, 4, 8 or 16", restarts=True)
    hysteresis_amount = FloatOption("", 0.0, 0.0, 1.0, "backlash ahead of the curve, 0 off")
    hysteresis_width = FloatOption("", 0.02, 0.0, 0.5, "width of the backlash")
    hysteresis_asymmetry = FloatOption("", 0.0, -1.0, 1.0, "asymmetry of the backlash")
    mix = mix_option(1.0, CROSSFADE)

    def _check_options(self) -> None:
        if self.oversample not in OVERSAMPLING:
            raise ValueError(f"Waveshaper: oversample={self.oversample} must be 1, 2, 4, 8 or 16")

    def _engine(self, sample_rate: int, channels: int) -> Any:
        state = core.WaveshaperState(sample_rate=sample_rate, oversample=self.oversample, channel_count=channels)
        if self.curve == "tanh":
            state.load_curve(tanh_curve())   # "hard": no curve, a clip at +-1
        return state

    def _settings(self) -> Dict[IntEnum, float]:
        return {WaveshaperId.DRIVE: self.drive, WaveshaperId.BIAS: self.bias,
                WaveshaperId.OUTPUT_GAIN: self.output_gain, WaveshaperId.MIX: self.mix,
                WaveshaperId.HYSTERESIS_AMOUNT: self.hysteresis_amount,
                WaveshaperId.HYSTERESIS_WIDTH: self.hysteresis_width,
                WaveshaperId.HYSTERESIS_ASYMMETRY: self.hysteresis_asymmetry}


class SampleHold(Effect):
    """Sample-and-hold rate reduction: frames are captured at hold_rate_hz
    (an exact ratio to the sample rate) and each held until the next."""

    NAME = "samplehold"
    hold_rate_hz = FloatOption("Hz", 4000.0, 1.0, None, "frames captured per second", below_rate=1.0)

    def _ratio(self) -> Fraction:
        ratio = Fraction(self._rate) / Fraction(self.hold_rate_hz).limit_denominator(1000)
        return ratio.limit_denominator(1 << 20) if ratio.numerator > core.SAMPLEHOLD_MAX_RATIO else ratio

    def _build(self, sample_rate: int, channels: int) -> None:
        ratio = self._ratio()
        self._state = core.SampleHoldState(num=ratio.numerator, den=ratio.denominator)

    def _apply(self, names: Set[str]) -> None:
        ratio = self._ratio()
        self._state.configure(ratio.numerator, ratio.denominator)

    def _reset(self) -> None:
        self._state.reset()

    def _run(self, block: Any, frames: int) -> bytes:
        return self._state.process(block, 2 * self._channels)


class SubOctave(ConfiguredEffect):
    """Octave divider: a comparator on the (mono-summed) input clocks a
    divide-by-2 (and divide-by-4) flip-flop; while it is low, the input is
    scaled by 1 - 2 depth, so the signal is modulated by a square wave one or
    two octaves below its own pitch."""

    NAME = "suboctave"
    octaves = IntOption("", 1, 1, 2, "octaves down")
    depth = FloatOption("", 1.0, 0.0, 1.0, "0 passes the input, 0.5 silences the low half-cycles, 1 inverts them")
    threshold_db = FloatOption("dBFS", -40.0, -90.0, 0.0, "level the comparator must cross")
    holdoff_ms = FloatOption("ms", 1.0, 0.0, 100.0, "the shortest time between two clocks")

    def _engine(self, sample_rate: int, channels: int) -> Any:
        return core.SubOctaveState(sample_rate=sample_rate, channel_count=channels)

    def _settings(self) -> Dict[IntEnum, float]:
        return {SubOctaveId.OCTAVES: self.octaves, SubOctaveId.DEPTH: self.depth,
                SubOctaveId.THRESHOLD: 10.0 ** (self.threshold_db / 20.0), SubOctaveId.HOLDOFF_MS: self.holdoff_ms}
