"""Dynamics: compressor, limiter, expander, gate and transient shaper, each on
the core's dynamics engine in its mode."""

from __future__ import annotations

from enum import IntEnum
from typing import Any, ClassVar, Dict

import _divavova as core

from divavova._engine import ConfiguredEffect, frames_of_ms, lookahead_ms
from divavova._ids import DynamicsDetector, DynamicsId, DynamicsMode
from divavova._options import BoolOption, ChoiceOption, FloatOption

# Detector choices of the compressor: (rms switch, detector)
DETECTORS = {"peak": (0.0, DynamicsDetector.PEAK), "rms": (1.0, DynamicsDetector.PEAK),
             "true_peak": (0.0, DynamicsDetector.OVERSAMPLED)}
# The oversampled detector reads four points between its 6th and 7th newest
# samples; with a look-ahead of as many frames the output sample sits at the
# newest end of the span the detector has just measured.
TRUE_PEAK_LOOKAHEAD_FRAMES = 6
# The detector's four points can fall a little short of a sharp peak, and the
# gain can recover for a frame before the peak leaves: the engine limits this
# far below the threshold asked for, so no peak passes it.
LIMITER_MARGIN_DB = 0.05


def threshold_option(default: float, help: str) -> Any:
    return FloatOption("dB", default, -96.0, 0.0, help)


def attack_option(default: float) -> Any:
    return FloatOption("ms", default, 0.0, 1000.0, "time to follow a rising level (0 instant)")


def release_option(default: float, low: float = 0.0) -> Any:
    return FloatOption("ms", default, low, 5000.0, "time to follow a falling level")


class DynamicsEffect(ConfiguredEffect):
    MODE: ClassVar[DynamicsMode]

    def _engine(self, sample_rate: int, channels: int) -> Any:
        return core.DynamicsState(mode=int(self.MODE), sample_rate=sample_rate, channel_count=channels)

    def _lookahead_frames(self) -> int:
        return 0

    def _latency(self) -> int:
        return self._lookahead_frames()

    def _common(self) -> Dict[IntEnum, float]:
        return {DynamicsId.LOOKAHEAD_MS: lookahead_ms(self._lookahead_frames(), self._rate)}


class Compressor(DynamicsEffect):
    """Downward compressor: above the threshold, the level rises 1/ratio as fast
    as the input (a quadratic knee of knee_db around the threshold)."""

    NAME = "compressor"
    MODE = DynamicsMode.COMPRESSOR
    threshold_db = threshold_option(-24.0, "level above which the gain falls")
    ratio = FloatOption(":1", 4.0, 1.0, 100.0, "input dB per output dB above the threshold")
    knee_db = FloatOption("dB", 6.0, 0.0, 48.0, "width of the soft knee")
    attack_ms = attack_option(10.0)
    release_ms = release_option(120.0)
    makeup_db = FloatOption("dB", 0.0, -24.0, 48.0, "gain after the compression")
    lookahead_ms = FloatOption("ms", 0.0, 0.0, 50.0, "the detector runs this far ahead of the output "
                               "(the output is delayed by as much: latency_frames)")
    detector = ChoiceOption(tuple(DETECTORS), "peak", "level detection: sample peak, RMS (10 ms window) or "
                            "4x oversampled (true) peak")
    sidechain_highpass_hz = FloatOption("Hz", 0.0, 0.0, None, "high-pass on the detector's input, 0 off",
                                        below_rate=0.5)

    def _lookahead_frames(self) -> int:
        return frames_of_ms(self.lookahead_ms, self._rate)

    def _settings(self) -> Dict[IntEnum, float]:
        rms, detector = DETECTORS[self.detector]
        return {**self._common(), DynamicsId.THRESHOLD_DB: self.threshold_db, DynamicsId.RATIO: self.ratio,
                DynamicsId.KNEE_DB: self.knee_db, DynamicsId.ATTACK_MS: self.attack_ms,
                DynamicsId.RELEASE_MS: self.release_ms, DynamicsId.MAKEUP_DB: self.makeup_db,
                DynamicsId.RMS: rms, DynamicsId.DETECTOR: detector,
                DynamicsId.SIDECHAIN_HIGHPASS_HZ: self.sidechain_highpass_hz}


class Limiter(DynamicsEffect):
    """Peak limiter: no output sample rises above the threshold.

    The gain falls in the very frame a peak reaches the detector (instant
    attack) and recovers over release_ms.  With true_peak the detector is the
    engine's 4x oversampled one, 6 frames ahead of the output (latency_frames
    is 6; whole-signal calls remove it); without, it reads the sample peaks
    with no latency.  The engine limits 0.05 dB below threshold_db, the
    margin its detector needs to hold every sample peak at or below it."""

    NAME = "limiter"
    MODE = DynamicsMode.LIMITER
    threshold_db = threshold_option(-1.0, "ceiling of the output peaks")
    release_ms = release_option(100.0, low=20.0)
    true_peak = BoolOption(True, "detect the peaks between samples too (4x oversampled, 6 frames of look-ahead)")

    def _lookahead_frames(self) -> int:
        return TRUE_PEAK_LOOKAHEAD_FRAMES if self.true_peak else 0

    def _settings(self) -> Dict[IntEnum, float]:
        detector = DynamicsDetector.OVERSAMPLED if self.true_peak else DynamicsDetector.PEAK
        return {**self._common(), DynamicsId.THRESHOLD_DB: self.threshold_db - LIMITER_MARGIN_DB, DynamicsId.KNEE_DB: 0.0,
                DynamicsId.ATTACK_MS: 0.0, DynamicsId.RELEASE_MS: self.release_ms, DynamicsId.DETECTOR: detector}


class Expander(DynamicsEffect):
    """Downward expander: below the threshold the level falls ratio times as
    fast as the input, down to range_db."""

    NAME = "expander"
    MODE = DynamicsMode.EXPANDER
    threshold_db = threshold_option(-40.0, "level below which the gain falls")
    ratio = FloatOption(":1", 2.0, 1.0, 100.0, "output dB per input dB below the threshold")
    attack_ms = attack_option(1.0)
    release_ms = release_option(100.0)
    range_db = FloatOption("dB", -60.0, -96.0, 0.0, "the largest gain reduction")

    def _settings(self) -> Dict[IntEnum, float]:
        return {**self._common(), DynamicsId.THRESHOLD_DB: self.threshold_db, DynamicsId.RATIO: self.ratio,
                DynamicsId.ATTACK_MS: self.attack_ms, DynamicsId.RELEASE_MS: self.release_ms,
                DynamicsId.RANGE_DB: self.range_db}


class Gate(DynamicsEffect):
    """Noise gate: opens when the level reaches the threshold, closes to
    range_db once it has stayed below threshold - hysteresis for hold_ms.
    With hold_ms 0 it is a steep expander (8 dB down per dB below) instead."""

    NAME = "gate"
    MODE = DynamicsMode.GATE
    threshold_db = threshold_option(-50.0, "level that opens the gate")
    attack_ms = FloatOption("ms", 1.0, 0.0, 1000.0, "time to open")
    release_ms = FloatOption("ms", 100.0, 0.0, 5000.0, "time to close")
    hold_ms = FloatOption("ms", 20.0, 0.0, 5000.0, "time the gate stays open after the level falls")
    hysteresis_db = FloatOption("dB", 3.0, 0.0, 24.0, "how far below the threshold the level must fall to close")
    range_db = FloatOption("dB", -80.0, -96.0, 0.0, "gain of the closed gate")

    def _settings(self) -> Dict[IntEnum, float]:
        return {**self._common(), DynamicsId.THRESHOLD_DB: self.threshold_db, DynamicsId.ATTACK_MS: self.attack_ms,
                DynamicsId.RELEASE_MS: self.release_ms, DynamicsId.GATE_HOLD_MS: self.hold_ms,
                DynamicsId.HYSTERESIS_DB: self.hysteresis_db, DynamicsId.RANGE_DB: self.range_db}


class TransientShaper(DynamicsEffect):
    """Transient shaper: compares a fast and a slow envelope of the level;
    onsets (fast above slow) get attack_db, tails (fast below slow) get
    sustain_db, in full when the envelopes differ by 6 dB.  The defaults
    shorten the tails and leave the onsets, so the gain never rises above 1."""

    NAME = "transient"
    MODE = DynamicsMode.TRANSIENT
    attack_db = FloatOption("dB", 0.0, -24.0, 24.0, "gain on onsets")
    sustain_db = FloatOption("dB", -6.0, -24.0, 24.0, "gain on tails")
    fast_attack_ms = FloatOption("ms", 1.0, 0.0, 100.0, "attack of the fast envelope")
    fast_release_ms = FloatOption("ms", 50.0, 0.0, 1000.0, "release of the fast envelope")
    slow_attack_ms = FloatOption("ms", 25.0, 0.0, 500.0, "attack of the slow envelope")
    slow_release_ms = FloatOption("ms", 300.0, 0.0, 5000.0, "release of the slow envelope")
    hold_ms = FloatOption("ms", 0.0, 0.0, 5000.0, "the slow envelope holds each peak this long (0 off)")

    def _settings(self) -> Dict[IntEnum, float]:
        return {**self._common(), DynamicsId.TRANSIENT_ATTACK_DB: self.attack_db,
                DynamicsId.TRANSIENT_SUSTAIN_DB: self.sustain_db, DynamicsId.FAST_ATTACK_MS: self.fast_attack_ms,
                DynamicsId.FAST_RELEASE_MS: self.fast_release_ms, DynamicsId.SLOW_ATTACK_MS: self.slow_attack_ms,
                DynamicsId.SLOW_RELEASE_MS: self.slow_release_ms, DynamicsId.HOLD_MS: self.hold_ms}
