"""Every number the Python layer hands to the core, by name, in one place.

Each engine's ``configure(id, value)`` ids are one ``IntEnum`` named after the
engine type; the enumerations the core takes as plain numbers (dynamics modes,
filter types, distortion shapes) are here as well.  Nothing else in the
package writes a configure id or a mode as a bare number.
"""

from __future__ import annotations

from enum import IntEnum


class DynamicsMode(IntEnum):
    """The ``mode`` argument of ``DynamicsState``."""

    COMPRESSOR = 0
    LIMITER = 1
    EXPANDER = 2
    GATE = 3
    TRANSIENT = 4


class DynamicsId(IntEnum):
    """``DynamicsState.configure`` ids."""

    THRESHOLD_DB = 0
    RATIO = 1
    KNEE_DB = 2
    MAKEUP_DB = 3
    ATTACK_MS = 4
    RELEASE_MS = 5
    TRANSIENT_ATTACK_DB = 6
    TRANSIENT_SUSTAIN_DB = 7
    SIDECHAIN_HIGHPASS_HZ = 8
    LOOKAHEAD_MS = 9
    DETECTOR = 10
    FAST_ATTACK_MS = 11
    FAST_RELEASE_MS = 12
    SLOW_ATTACK_MS = 13
    SLOW_RELEASE_MS = 14
    RMS = 15
    RMS_WINDOW_MS = 16
    FEEDBACK_DETECT = 17
    SIDECHAIN_LOWPASS_HZ = 18
    SIDECHAIN_FILTER_ORDER = 19
    LISTEN = 20
    RANGE_DB = 21
    GATE_HOLD_MS = 22
    HYSTERESIS_DB = 23
    KEY_RELATIVE = 24
    ADAPTIVE_ATTACK = 25
    DUAL_TRANSIENT = 26
    SUSTAIN_FAST_ATTACK_MS = 27
    SUSTAIN_FAST_RELEASE_MS = 28
    SUSTAIN_SLOW_ATTACK_MS = 29
    SUSTAIN_SLOW_RELEASE_MS = 30
    HOLD_MS = 31
    GAIN_SMOOTHING_MS = 32
    FEEDBACK_SLOPE = 33


class DynamicsDetector(IntEnum):
    """Values of ``DynamicsId.DETECTOR``."""

    PEAK = 0
    HALF_SAMPLE = 1
    OVERSAMPLED = 2


class FeedbackDelayId(IntEnum):
    """``FeedbackDelayState.configure`` ids."""

    DELAY_MS = 0
    FEEDBACK = 1
    MIX = 2
    LOWPASS_HZ = 3
    HIGHPASS_HZ = 4
    WOW_RATE_HZ = 5
    WOW_DEPTH_MS = 6
    CROSS_FEEDBACK = 7
    SATURATION = 8
    INPUT_ROUTING = 9
    DELAY_SLEW = 10
    LEVEL_MODULATION = 11
    PITCH_SEMITONES = 12
    PITCH_WINDOW_MS = 13


class BiquadType(IntEnum):
    """Filter types of ``BiquadF32State`` (id ``TYPE``) and modes of ``BiquadState``."""

    LOWPASS = 0
    HIGHPASS = 1
    BANDPASS = 2
    NOTCH = 3
    PEAK = 4
    LOWSHELF = 5
    HIGHSHELF = 6


class BiquadF32Id(IntEnum):
    """``BiquadF32State.configure`` ids."""

    TYPE = 0
    FREQUENCY_HZ = 1
    Q = 2
    GAIN_DB = 3
    MIX = 4


class AllPassF32Id(IntEnum):
    """``AllPassF32State.configure`` ids."""

    FREQUENCY_HZ = 0
    FEEDBACK = 1
    MIX = 2


class WaveshaperId(IntEnum):
    """``WaveshaperState.configure`` ids."""

    DRIVE = 0
    BIAS = 1
    OUTPUT_GAIN = 2
    MIX = 3
    HYSTERESIS_AMOUNT = 4
    HYSTERESIS_WIDTH = 5
    HYSTERESIS_ASYMMETRY = 6


class LadderId(IntEnum):
    """``LadderState.configure`` ids."""

    CUTOFF_HZ = 0
    RESONANCE = 1
    DRIVE = 2
    POLES = 3
    COMPENSATION = 4
    OVERSAMPLE = 5
    MIX = 6


class SubOctaveId(IntEnum):
    """``SubOctaveState.configure`` ids."""

    OCTAVES = 0
    DEPTH = 1
    THRESHOLD = 2
    HOLDOFF_MS = 3


class TankId(IntEnum):
    """``TankState.configure`` ids."""

    DECAY = 0
    INPUT_DIFFUSION = 1
    DAMPING_HZ = 2
    BANDWIDTH_HZ = 3
    HIGHPASS_HZ = 4
    PREDELAY_MS = 5
    MODULATION_DEPTH_MS = 6
    MODULATION_RATE_HZ = 7
    DRIVE = 8
    WIDTH = 9
    TILT_DB = 10
    MIX = 11


class ModalId(IntEnum):
    """``ModalState.configure`` ids."""

    WET_MIX = 0
    WET_GAIN = 1


class ConvolverId(IntEnum):
    """``ConvolverState.configure`` ids."""

    MIX = 0


class DistortionShape(IntEnum):
    """The ``shape`` argument of ``distortion_s16``."""

    POWER = 0
    BITS = 1
    EXPONENTIAL = 2
    RATIONAL = 3
