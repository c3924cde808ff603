"""Utilities beside the engines: gain, normalisation, stereo width and channel
conversion, on the core's buffer functions and its waveshaper as a gain stage."""

from __future__ import annotations

from typing import Any, ClassVar, Set

import numpy as np

import _divavova as core

from divavova._base import Effect
from divavova._convert import INT16
from divavova._ids import WaveshaperId
from divavova._options import FloatOption


class GainStage:
    """A linear gain with rounding and saturation to 16 bits: the waveshaper
    at the stream rate without a curve (its clip at full scale is never
    reached before the gain), so gain 1 is exact."""

    def __init__(self, sample_rate: int, channels: int, gain: float) -> None:
        self._state = core.WaveshaperState(sample_rate=sample_rate, oversample=1, channel_count=channels)
        self._state.configure(WaveshaperId.DRIVE, 1.0)
        self._state.configure(WaveshaperId.MIX, 1.0)
        self.set(gain)

    def set(self, gain: float) -> None:
        self.gain = gain
        self._state.configure(WaveshaperId.OUTPUT_GAIN, gain)
        self._state.finish()

    def process(self, block: Any) -> Any:
        return block if self.gain == 1.0 else self._state.process(block)


def db_to_gain(db: float) -> float:
    return float(10.0 ** (db / 20.0))


class Gain(Effect):
    """A fixed gain, rounded and saturated to 16 bits (0 dB is exact)."""

    NAME = "gain"
    gain_db = FloatOption("dB", 0.0, -60.0, 60.0, "gain")

    def _build(self, sample_rate: int, channels: int) -> None:
        self._stage = GainStage(sample_rate, channels, db_to_gain(self.gain_db))

    def _apply(self, names: Set[str]) -> None:
        self._stage.set(db_to_gain(self.gain_db))

    def _reset(self) -> None:
        pass

    def _run(self, block: Any, frames: int) -> bytes:
        return bytes(self._stage.process(block))


class Normalize(Effect):
    """Scales a whole signal so that its highest sample peak is at peak_db.

    It needs the whole signal before its first output sample, so it works only
    in whole-signal calls (``normalize(audio, rate)``, alone or in a Chain
    called the same way); ``process`` refuses it.  Silence stays silence."""

    NAME = "normalize"
    STREAMS = False
    peak_db = FloatOption("dBFS", -1.0, -96.0, 0.0, "the peak after normalising")

    def _build(self, sample_rate: int, channels: int) -> None:
        self._stage = GainStage(sample_rate, channels, 1.0)

    def _apply(self, names: Set[str]) -> None:
        pass

    def _reset(self) -> None:
        pass

    def _run(self, block: Any, frames: int) -> bytes:
        samples = np.frombuffer(block, INT16)
        peak = int(np.abs(samples.astype(np.int32)).max()) if samples.size else 0
        if peak == 0:
            return bytes(block)
        self._stage.set(32768.0 * db_to_gain(self.peak_db) / peak)
        return bytes(self._stage.process(block))


class Widener(Effect):
    """Stereo width on mid and side: 0 mono, 1 unchanged, 2 twice the side.
    Mono audio passes unchanged."""

    NAME = "widener"
    width = FloatOption("", 1.0, 0.0, 2.0, "scale of the side (left - right) against the mid")

    def _build(self, sample_rate: int, channels: int) -> None:
        pass

    def _run(self, block: Any, frames: int) -> bytes:
        return core.midside_s16(block, self.width, self._channels)


class Remix(Effect):
    """Converts between mono and stereo with the core's remix."""

    TARGET: ClassVar[int]

    def output_channels(self, channels: int) -> int:
        return self.TARGET

    def _build(self, sample_rate: int, channels: int) -> None:
        pass

    def _run(self, block: Any, frames: int) -> bytes:
        return core.remix_s16(block, self._channels, self.TARGET)


class ToMono(Remix):
    """Stereo to mono, the mean of the two channels (mono passes unchanged).
    The output of 2-D audio is (frames, 1)."""

    NAME = "tomono"
    TARGET = 1


class ToStereo(Remix):
    """Mono to stereo, the sample on both sides (stereo passes unchanged).
    The output is (frames, 2)."""

    NAME = "tostereo"
    TARGET = 2
