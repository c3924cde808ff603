"""Filters: the float biquad (one class per type, and one taking the type by
name), the fixed-point synth biquad, the all-pass chain and the ladder."""

from __future__ import annotations

from enum import IntEnum
from typing import Any, ClassVar, Dict, Mapping

import _divavova as core

from divavova._engine import ConfiguredEffect
from divavova._ids import AllPassF32Id, BiquadF32Id, BiquadType, LadderId
from divavova._options import CROSSFADE, ChoiceOption, FloatOption, IntOption, Removed, mix_option

TYPES = tuple(member.name.lower() for member in BiquadType)


def frequency_option(default: float, help: str, share: float = 0.5) -> Any:
    return FloatOption("Hz", default, 1.0, None, help, below_rate=share)


class Biquad(ConfiguredEffect):
    """Second-order IIR filter in single precision (the audio-EQ cookbook
    designs) of a type chosen by name."""

    NAME = "biquad"
    type = ChoiceOption(TYPES, "lowpass", "the filter type", numbered=True)
    frequency_hz = frequency_option(1000.0, "cutoff, centre or corner frequency")
    q = FloatOption("", 0.70710677, 0.05, 60.0, "quality factor (bandwidth)")
    gain_db = FloatOption("dB", 0.0, -60.0, 60.0, "boost or cut of the peak and shelf types")
    mix = mix_option(1.0, CROSSFADE)

    def _engine(self, sample_rate: int, channels: int) -> Any:
        return core.BiquadF32State(sample_rate=sample_rate, channel_count=channels)

    def _settings(self) -> Dict[IntEnum, float]:
        kind = self._values["type"]   # the subclasses of one type hold it without the attribute
        return {BiquadF32Id.TYPE: BiquadType[kind.upper()], BiquadF32Id.FREQUENCY_HZ: self.frequency_hz,
                BiquadF32Id.Q: self.q, BiquadF32Id.GAIN_DB: self._values.get("gain_db", 0.0),
                BiquadF32Id.MIX: self.mix}


class OneType(Biquad):
    """A biquad of the type its command-line name names (no ``type`` option)."""

    type = Removed()

    def __init_subclass__(cls, **kwargs: Any) -> None:
        cls._FIXED = {"type": cls.NAME, "gain_db": 0.0}
        super().__init_subclass__(**kwargs)


class Unshaped(OneType):
    """A biquad type without a gain (no ``gain_db`` option)."""

    gain_db = Removed()


class LowPass(Unshaped):
    """Second-order low-pass (12 dB per octave above frequency_hz)."""
    NAME = "lowpass"


class HighPass(Unshaped):
    """Second-order high-pass (12 dB per octave below frequency_hz)."""
    NAME = "highpass"


class BandPass(Unshaped):
    """Band-pass with 0 dB at frequency_hz; q sets the bandwidth."""
    NAME = "bandpass"


class Notch(Unshaped):
    """Notch (band-reject) at frequency_hz; q sets its width."""
    NAME = "notch"


class PeakFilter(OneType):
    """Peaking equaliser: gain_db at frequency_hz, q sets the width."""
    NAME = "peak"


class LowShelf(OneType):
    """Low shelf: gain_db below frequency_hz."""
    NAME = "lowshelf"


class HighShelf(OneType):
    """High shelf: gain_db above frequency_hz."""
    NAME = "highshelf"


class SynthBiquad(ConfiguredEffect):
    """The synthesizer's fixed-point biquad (Q15 coefficients, the same types
    as Biquad).  Its designs are fitted up to a quarter of the sample rate, and
    its output passes a soft knee above 28000 (about -1.4 dBFS) that limits
    it to 28520."""

    NAME = "synthbiquad"
    type = ChoiceOption(TYPES, "lowpass", "the filter type", numbered=True)
    frequency_hz = frequency_option(1000.0, "cutoff, centre or corner frequency", share=0.25)
    q = FloatOption("", 0.70710677, 0.1, 20.0, "quality factor (bandwidth)")
    gain_db = FloatOption("dB", 0.0, -24.0, 24.0, "boost or cut of the peak and shelf types")
    mix = mix_option(1.0, CROSSFADE)

    def _build(self, sample_rate: int, channels: int) -> None:
        self._state = core.BiquadState()

    def _apply(self, names: Any) -> None:
        pass   # the design is made afresh on every call

    def _run(self, block: Any, frames: int) -> bytes:
        # the filter takes the peak and shelf gain as an amplitude, 10^(dB/40)
        return self._state.process_s16(block, int(BiquadType[self.type.upper()]), self.frequency_hz, self.q,  # type: ignore[no-any-return]
                                       10.0 ** (self.gain_db / 40.0), self._rate, self.mix, self._channels)


class AllPass(ConfiguredEffect):
    """A chain of first-order all-pass sections (the phase turns 90 degrees
    per section at frequency_hz) with feedback; mix 0.5 makes the notches of a
    phaser, 1 leaves the magnitude flat."""

    NAME = "allpass"
    frequency_hz = frequency_option(1000.0, "where each section turns the phase by 90 degrees")
    stages = IntOption("sections", 4, 1, core.FILTER_F32_MAX_STAGES, "all-pass sections in series", restarts=True)
    feedback = FloatOption("", 0.0, -0.99, 0.99, "share of the chain's output fed back to its input")
    mix = mix_option(1.0, CROSSFADE)

    def _engine(self, sample_rate: int, channels: int) -> Any:
        return core.AllPassF32State(sample_rate=sample_rate, channel_count=channels, stages=self.stages)

    def _settings(self) -> Dict[IntEnum, float]:
        return {AllPassF32Id.FREQUENCY_HZ: self.frequency_hz, AllPassF32Id.FEEDBACK: self.feedback,
                AllPassF32Id.MIX: self.mix}


class LadderFilter(ConfiguredEffect):
    """Resonant four-pole ladder low-pass with a soft-clipped feedback path,
    at twice the sample rate by default."""

    NAME = "ladder"
    cutoff_hz = frequency_option(1000.0, "cutoff frequency")
    resonance = FloatOption("", 0.0, 0.0, 4.2, "feedback around the ladder; it self-oscillates near 4")
    drive = FloatOption("times", 1.0, 0.0, 64.0, "input gain into the ladder")
    poles = IntOption("", 4, 1, 4, "output taken after this many stages (6 dB per octave each)")
    compensation = FloatOption("", 0.0, 0.0, 1.0, "gain that makes up for the passband loss of resonance")
    oversample = IntOption("times", 2, 1, 2, "1 or 2: the ladder runs at this multiple of the rate")
    mix = mix_option(1.0, CROSSFADE)

    def _engine(self, sample_rate: int, channels: int) -> Any:
        return core.LadderState(sample_rate=sample_rate, channel_count=channels)

    def _settings(self) -> Dict[IntEnum, float]:
        return {LadderId.CUTOFF_HZ: self.cutoff_hz, LadderId.RESONANCE: self.resonance, LadderId.DRIVE: self.drive,
                LadderId.POLES: self.poles, LadderId.COMPENSATION: self.compensation,
                LadderId.OVERSAMPLE: self.oversample, LadderId.MIX: self.mix}
