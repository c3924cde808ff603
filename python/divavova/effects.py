"""Every engine and one-call effect of the core behind one interface.

An effect is built for a sample rate and channel count from option values
given by readable name, and then processes s16 blocks, carrying its state
between calls.  ``EFFECTS`` maps the command-line names to their
descriptions; each option lists its unit, its accepted range and the value
used when it is not given.  Engine options map to their ``configure`` ids;
the others size the caller-held buffers of the one-call effects or shape the
settings (curves, modes, impulse responses) that the wrappers build.
"""

from __future__ import annotations

import array
import math
from dataclasses import dataclass, replace
from typing import Callable, Dict, Mapping, Optional, Union

import _divavova as core

BLOCK_FRAMES = 256


@dataclass(frozen=True)
class Option:
    key: Union[int, str]  # configure id (int), or the name of a wrapper setting (str)
    unit: str
    low: float
    high: float
    default: float
    help: str = ""


class Processor:
    """Processes interleaved s16 blocks; ``latency`` frames of delay that the
    runner removes (the output is shifted back and the input padded)."""

    latency = 0

    def process(self, block: bytes) -> bytes:
        raise NotImplementedError


Values = Dict[str, float]
Builder = Callable[[int, int, Values], Processor]


@dataclass
class Effect:
    name: str
    description: str
    options: Dict[str, Option]
    build: Builder
    linear: bool = False  # its impulse response describes it (for `response`)


class OptionError(ValueError):
    """An option name or value that the effect does not accept."""


def settle(effect: Effect, values: Mapping[str, float]) -> Values:
    """Every option of the effect: the given values over the defaults, each
    checked against its range."""
    for name, value in values.items():
        option = effect.options.get(name)
        if option is None:
            known = ", ".join(effect.options) or "none"
            raise OptionError(f"unknown option {name!r} for {effect.name} (options: {known})")
        if not option.low <= value <= option.high:
            unit = f" {option.unit}" if option.unit else ""
            raise OptionError(f"option {name}={value:g} is outside {option.low:g} .. {option.high:g}{unit}")
    out = {name: option.default for name, option in effect.options.items()}
    out.update(values)
    return out


def rows(*table: tuple) -> Dict[str, Option]:
    """Options from rows (name, key, unit, low, high, default[, help])."""
    return {row[0]: Option(*row[1:]) for row in table}


def numbered(*table: tuple) -> Dict[str, Option]:
    """Configure options from rows (name, unit, low, high, default[, help]), ids from 0."""
    return {row[0]: Option(i, *row[1:]) for i, row in enumerate(table)}


# --- engines with configure(id, value) -----------------------------------------

class EngineProcessor(Processor):
    def __init__(self, engine, options: Mapping[str, Option], values: Values):
        self.engine = engine
        for name, option in options.items():
            if isinstance(option.key, int):
                engine.configure(option.key, float(values[name]))
        if hasattr(engine, "finish"):
            engine.finish()

    def process(self, block: bytes) -> bytes:
        return self.engine.process(block)


def engine(cls, options: Mapping[str, Option], ctor=(), setup=None) -> Builder:
    """A builder that constructs ``cls`` with the stream format and the named
    constructor options, runs ``setup``, then configures and finishes it."""
    def build(rate: int, channels: int, values: Values) -> Processor:
        kwargs = {"sample_rate": rate, "channel_count": channels}
        for name in ctor:
            kwargs[name] = int(values[name])
        obj = cls(**kwargs)
        if setup:
            setup(obj, rate, values)
        return EngineProcessor(obj, options, values)
    return build


SWITCH = ("switch", 0, 1)

DYNAMICS_OPTIONS = numbered(
    ("threshold_db", "dB", -96, 0, -24), ("ratio", ":1", 1, 100, 4), ("knee_db", "dB", 0, 48, 6),
    ("makeup_db", "dB", -24, 48, 0), ("attack_ms", "ms", 0, 1000, 10), ("release_ms", "ms", 0, 5000, 120),
    ("transient_attack_db", "dB", -24, 24, 0), ("transient_sustain_db", "dB", -24, 24, 0),
    ("sidechain_highpass_hz", "Hz", 0, 20000, 0, "0 off"),
    ("lookahead_ms", "ms", 0, 50, 0, "delays the output by as much"),
    ("detector", "", 0, 2, 0, "0 peak, 1 half-sample, 2 4x oversampled"),
    ("fast_attack_ms", "ms", 0, 100, 1), ("fast_release_ms", "ms", 0, 1000, 50),
    ("slow_attack_ms", "ms", 0, 500, 25), ("slow_release_ms", "ms", 0, 5000, 300),
    ("rms", *SWITCH, 0), ("rms_window_ms", "ms", 0, 500, 10), ("feedback_detect", *SWITCH, 0),
    ("sidechain_lowpass_hz", "Hz", 0, 20000, 0, "0 off"), ("sidechain_filter_order", "", 1, 2, 1),
    ("listen", *SWITCH, 0, "output the side-chain signal"),
    ("range_db", "dB", -96, 1, 1, "above 0: the mode's own floor"),
    ("gate_hold_ms", "ms", 0, 5000, 0), ("hysteresis_db", "dB", 0, 24, 0), ("key_relative", *SWITCH, 0),
    ("adaptive_attack", *SWITCH, 0), ("dual_transient", *SWITCH, 0),
    ("sustain_fast_attack_ms", "ms", 0, 100, 1), ("sustain_fast_release_ms", "ms", 0, 2000, 200),
    ("sustain_slow_attack_ms", "ms", 0, 500, 25), ("sustain_slow_release_ms", "ms", 0, 10000, 1200),
    ("hold_ms", "ms", 0, 5000, 0), ("gain_smoothing_ms", "ms", 0, 100, 0, "0 no smoothing"),
    ("feedback_slope", *SWITCH, 0),
)


def dynamics(mode: int) -> Builder:
    def build(rate: int, channels: int, values: Values) -> Processor:
        obj = core.DynamicsState(mode=mode, sample_rate=rate, channel_count=channels)
        return EngineProcessor(obj, DYNAMICS_OPTIONS, values)
    return build


def with_defaults(options: Dict[str, Option], **defaults: float) -> Dict[str, Option]:
    return {name: replace(option, default=defaults.get(name, option.default)) for name, option in options.items()}


FEEDBACK_DELAY_OPTIONS = numbered(
    ("delay_ms", "ms", 1, 10000, 250), ("feedback", "", 0, 0.99, 0.4), ("mix", "", 0, 2, 0.3, "1 dry and wet"),
    ("lowpass_hz", "Hz", 0, 24000, 0, "feedback path, 0 off"), ("highpass_hz", "Hz", 0, 24000, 0, "0 off"),
    ("wow_rate_hz", "Hz", 0, 20, 0), ("wow_depth_ms", "ms", 0, 1000, 0), ("cross_feedback", "", 0, 1, 0),
    ("saturation", "", 0, 1, 0), ("input_routing", "", -1, 1, 0, "ping-pong routing of the inputs"),
    ("delay_slew", "frames/frame", 0, 64, 0, "0 jumps"), ("level_modulation", "", 0, 1, 0),
    ("pitch_semitones", "semitones", -24, 24, 0), ("pitch_window_ms", "ms", 1, 250, 25),
)


def feedback_delay(rate: int, channels: int, values: Values) -> Processor:
    # the line must hold the longest delay the wow can reach, and four pitch windows
    line_ms = max(250.0, values["delay_ms"] + values["wow_depth_ms"] + 20.0, 4 * values["pitch_window_ms"])
    obj = core.FeedbackDelayState(sample_rate=rate, max_delay_ms=line_ms, channel_count=channels)
    return EngineProcessor(obj, FEEDBACK_DELAY_OPTIONS, values)


BIQUAD_OPTIONS = numbered(
    ("type", "", 0, 6, 0, "0 low-pass, 1 high-pass, 2 band-pass, 3 notch, 4 peaking, 5 low shelf, 6 high shelf"),
    ("frequency_hz", "Hz", 0, 24000, 1000, "at most 0.4999 x rate"), ("q", "", 0.05, 60, 0.70710677),
    ("gain_db", "dB", -60, 60, 0, "types 4 to 6"), ("mix", "", 0, 1, 1),
)

ALLPASS_OPTIONS = numbered(
    ("frequency_hz", "Hz", 0, 24000, 1000), ("feedback", "", -0.99, 0.99, 0),
    ("mix", "", 0, 1, 0.5, "0.5 makes phaser notches, 1 is all-pass"),
)
ALLPASS_OPTIONS["stages"] = Option("stages", "stages", 1, 16, 4)

WAVESHAPER_OPTIONS = numbered(
    ("drive", "times", -1000, 1000, 4), ("bias", "", -1, 1, 0), ("output_gain", "times", -1000, 1000, 0.5),
    ("mix", "", 0, 1, 1), ("hysteresis_amount", "", 0, 1, 0), ("hysteresis_width", "", 0, 0.5, 0.02),
    ("hysteresis_asymmetry", "", -1, 1, 0),
)
WAVESHAPER_OPTIONS.update(rows(
    ("oversample", "oversample", "times", 1, 16, 4, "1, 2, 4, 8 or 16"),
    ("curve", "curve", "", 0, 1, 1, "0 hard clip, 1 tanh"),
))


def waveshaper(rate: int, channels: int, values: Values) -> Processor:
    oversample = int(values["oversample"])
    if oversample not in (1, 2, 4, 8, 16) or oversample != values["oversample"]:
        raise OptionError("option oversample must be 1, 2, 4, 8 or 16")
    obj = core.WaveshaperState(sample_rate=rate, oversample=oversample, channel_count=channels)
    if values["curve"] >= 0.5:
        points = 257
        obj.load_curve(array.array("h", [round(32767 * math.tanh(2.5 * (2 * i / (points - 1) - 1)) / math.tanh(2.5))
                                         for i in range(points)]))
    return EngineProcessor(obj, WAVESHAPER_OPTIONS, values)


LADDER_OPTIONS = numbered(
    ("cutoff_hz", "Hz", 1, 40000, 1000, "limited to 0.49 x rate x oversample"), ("resonance", "", 0, 4.2, 0),
    ("drive", "times", 0, 64, 1), ("poles", "", 1, 4, 4), ("compensation", "", 0, 1, 0),
    ("oversample", "", 1, 2, 2), ("mix", "", 0, 1, 1),
)

SUBOCTAVE_OPTIONS = numbered(
    ("octaves", "", 1, 2, 1), ("depth", "", 0, 1, 1, "0.5 silences the low half-cycles, 1 inverts them"),
    ("threshold", "", 0, 1, 0.01, "comparator, fraction of full scale"), ("holdoff_ms", "ms", 0, 100, 1),
)

TANK_OPTIONS = numbered(
    ("decay", "", 0, 0.999, 0.5), ("input_diffusion", "", 0, 0.9, 0.75),
    ("damping_hz", "Hz", 0, 24000, 0, "0 off"), ("bandwidth_hz", "Hz", 0, 24000, 0, "0 off"),
    ("highpass_hz", "Hz", 0, 24000, 0, "0 off"), ("predelay_ms", "ms", 0, 200, 0),
    ("modulation_depth_ms", "ms", 0, 100, 0), ("modulation_rate_hz", "Hz", 0, 100, 0), ("drive", "", 0, 1, 0),
    ("width", "", 0, 2, 1), ("tilt_db", "dB", -24, 24, 0), ("mix", "", 0, 2, 0.3, "1 dry and wet"),
)

MODAL_OPTIONS = numbered(("wet_mix", "", 0, 1, 0.5, "0 dry, 1 modes only"), ("wet_gain", "times", 0, 16, 1))
MODAL_OPTIONS.update(rows(
    ("modes", "modes", "modes", 1, 64, 8),
    ("base_hz", "base_hz", "Hz", 20, 5000, 220, "frequency of the lowest mode; modes above 0.45 x rate are left out"),
    ("decay_s", "decay_s", "s", 0.001, 30, 1.5, "time to -60 dB of the lowest mode"),
    ("level", "level", "", 0, 16, 0.5, "wet level for broadband input"),
))


def modal_setup(obj, rate: int, values: Values) -> None:
    # slightly stretched harmonics, higher modes shorter and softer; each
    # mode's gain scaled so that broadband input comes out near ``level``
    # (a steady tone right at a mode still rings much louder)
    modes = int(values["modes"])
    for k in range(modes):
        frequency = values["base_hz"] * (k + 1) * (1 + 0.002 * k * k)
        if frequency >= 0.45 * rate:
            frequency = 0.0
        decay_s = max(0.001, values["decay_s"] / (1 + 0.3 * k))
        pole_distance = 6.907755278982137 / (decay_s * rate)  # 1 - r for r near 1
        gain = values["level"] * 2 * math.sqrt(pole_distance / modes) / math.sqrt(1 + k)
        obj.set_mode(k, frequency, decay_s, gain)


CONVOLVER_OPTIONS = rows(
    ("mix", 0, "", 0, 1, 0.5, "0 dry, 0.5 dry and wet, 1 wet"),
    ("decay_s", "decay_s", "s", 0.05, 30, 1.2, "synthesized room: time to -60 dB"),
    ("damping_hz", "damping_hz", "Hz", 0, 24000, 6000, "synthesized room: smoothing; 0 or above rate/4 off"),
    ("predelay_ms", "predelay_ms", "ms", 0, 200, 10), ("fade_in_ms", "fade_in_ms", "ms", 0, 500, 5),
    ("seed", "seed", "", 0, 2 ** 32 - 1, 1),
    ("length_s", "length_s", "s", 0, 10, 0, "impulse length, 0: pre-delay plus decay; at most 512 x 256 frames"),
)


class ConvolverProcessor(EngineProcessor):
    latency = 256  # one partition

    def __init__(self, rate: int, channels: int, values: Values):
        seconds = values["length_s"] or values["predelay_ms"] / 1000 + values["decay_s"]
        partitions = max(1, min(core.CONVOLVE_MAX_PARTITIONS, math.ceil(seconds * rate / 256)))
        obj = core.ConvolverState(sample_rate=rate, partitions=partitions, ir_channels=channels,
                                  channel_count=channels)
        obj.synthesize(values["decay_s"], values["damping_hz"], values["predelay_ms"], values["fade_in_ms"],
                       int(values["seed"]))
        super().__init__(obj, CONVOLVER_OPTIONS, values)


class SampleHoldProcessor(Processor):
    def __init__(self, rate: int, channels: int, values: Values):
        num, den = int(values["num"]), int(values["den"])
        if den > num:
            raise OptionError("option den must be at most num (a hold cannot invent frames)")
        self.engine = core.SampleHoldState(num=num, den=den)
        self.frame_bytes = 2 * channels

    def process(self, block: bytes) -> bytes:
        return self.engine.process(block, self.frame_bytes)


SAMPLE_HOLD_OPTIONS = rows(
    ("num", "num", "", 1, core.SAMPLEHOLD_MAX_RATIO, 4, "one frame in num/den is kept"),
    ("den", "den", "", 1, core.SAMPLEHOLD_MAX_RATIO, 1, "at most num"),
)


class SynthBiquadProcessor(Processor):
    def __init__(self, rate: int, channels: int, values: Values):
        if values["frequency_hz"] > rate / 4:
            raise OptionError(f"option frequency_hz must be at most a quarter of the rate ({rate / 4:g} Hz)")
        self.filter = core.BiquadState()
        self.rate, self.channels, self.mix = rate, channels, values["mix"]
        # the filter takes the shelf and peak gain as an amplitude, 10^(dB/40)
        self.design = (int(values["mode"]), values["frequency_hz"], values["q"], 10 ** (values["gain_db"] / 40))

    def process(self, block: bytes) -> bytes:
        return self.filter.process_s16(block, *self.design, self.rate, self.mix, self.channels)


# --- one-call effects on caller-held state --------------------------------------

class DistortionProcessor(Processor):
    def __init__(self, rate: int, channels: int, values: Values):
        self.args = (values["drive"], values["pre_gain_db"], values["post_gain_db"], int(values["shape"]),
                     values["soft_limit"] >= 0.5, values["mix"])

    def process(self, block: bytes) -> bytes:
        return core.distortion_s16(block, *self.args)


class EchoProcessor(Processor):
    def __init__(self, rate: int, channels: int, values: Values):
        self.frames = max(1, round(rate * values["delay_ms"] / 1000))
        self.channels = channels
        self.line = bytearray(2 * self.frames * channels)
        self.left = self.right = 0
        self.feedback, self.mix = values["feedback"], values["mix"]

    def process(self, block: bytes) -> bytes:
        out, self.left, self.right = core.echo_s16(block, self.line, self.left, self.right, self.frames,
                                                   self.frames, 256, self.feedback, self.mix, False, self.channels)
        return out


class PhaserProcessor(Processor):
    """The all-pass position sweeps with a sine between two break frequencies,
    one step per block."""

    def __init__(self, rate: int, channels: int, values: Values):
        self.channels, self.stages, self.rate = channels, int(values["stages"]), rate
        self.feedback_state = bytearray(2 * channels)
        self.allpass_state = bytearray(2 * channels * self.stages)
        self.low, self.high = sorted((self.position(values["low_hz"]), self.position(values["high_hz"])))
        self.step = 2 * math.pi * values["rate_hz"] * BLOCK_FRAMES / rate
        self.feedback, self.depth = values["feedback"], values["depth"]
        self.phase = -math.pi / 2  # start at the low end

    def position(self, frequency: float) -> float:
        # a stage with coefficient (1 - r) / (1 + r) has its 90 degree point
        # where tan(pi f / rate) = r
        return self.rate * math.tan(math.pi * min(frequency, 0.45 * self.rate) / self.rate)

    def process(self, block: bytes) -> bytes:
        sweep = self.low + (self.high - self.low) * 0.5 * (1 + math.sin(self.phase))
        self.phase = (self.phase + self.step * len(block) / (2 * self.channels * BLOCK_FRAMES)) % (2 * math.pi)
        return core.phaser_s16(block, self.feedback_state, self.allpass_state, self.channels, self.stages, sweep,
                               float(self.rate), self.feedback, self.depth)


class ChorusProcessor(Processor):
    """Taps at equal spacings behind the newest sample; the spacing sways with
    a slow sine.  The chorus sees interleaved samples, so each spacing is a
    whole number of frames, keeping every tap on its own channel."""

    def __init__(self, rate: int, channels: int, values: Values):
        self.channels, self.voices, self.depth = channels, int(values["voices"]), values["depth"]
        gaps = self.voices - 1
        self.widest = max(1, round(rate * values["delay_ms"] / 1000 / gaps))
        self.narrowest = max(1, round(self.widest * (1 - values["sweep"])))
        self.ring_len = gaps * (self.widest * channels + 1) + channels
        self.ring = bytearray(2 * self.ring_len)
        self.pos = 0
        self.step = 2 * math.pi * values["rate_hz"] * BLOCK_FRAMES / rate
        self.phase = 0.0

    def process(self, block: bytes) -> bytes:
        sway = 0.5 * (1 + math.sin(self.phase))
        self.phase = (self.phase + self.step * len(block) / (2 * self.channels * BLOCK_FRAMES)) % (2 * math.pi)
        gap_frames = round(self.narrowest + (self.widest - self.narrowest) * sway)
        # taps sit (spread / gaps - 1) samples apart
        spread = (gap_frames * self.channels + 1) * (self.voices - 1)
        out, self.pos = core.chorus_s16(block, self.ring, self.pos, spread, self.ring_len, self.voices, self.depth)
        return out


class MultitapProcessor(Processor):
    def __init__(self, rate: int, channels: int, values: Values):
        self.channels = channels
        self.line_len = max(1, round(rate * values["line_ms"] / 1000))
        self.ring = bytearray(2 * channels * self.line_len)
        taps = int(values["taps"])
        delays = [max(1, self.line_len * (k + 1) // taps) for k in range(taps)]
        self.delays = bytearray(array.array("I", delays).tobytes())
        self.gains = bytearray(array.array("d", [values["tap_decay"] ** k for k in range(taps)]).tobytes())
        self.pos = 0
        self.feedback, self.mix = values["feedback"], values["mix"]

    def process(self, block: bytes) -> bytes:
        out, self.pos = core.multitap_s16(block, self.ring, self.pos, self.line_len, self.channels, self.delays,
                                          self.gains, self.feedback, self.mix)
        return out


class PitchShiftProcessor(Processor):
    def __init__(self, rate: int, channels: int, values: Values):
        self.channels = channels
        self.ring_len = max(16, round(rate * values["window_ms"] / 1000))
        self.fade_len = self.ring_len // 8
        self.ring = bytearray(2 * channels * self.ring_len)
        self.fifo = bytearray(2 * channels * self.fade_len)
        # read-head speed in 1/256 frames per frame; stays below a ring length
        self.rate_step = max(1, round(256 * 2 ** (values["semitones"] / 12)))
        self.write = self.fade = self.read = 0
        self.mix = values["mix"]

    def process(self, block: bytes) -> bytes:
        out, self.write, self.fade, self.read = core.pitchshift_s16(
            block, self.ring, self.fifo, self.ring_len, self.fade_len, self.channels, self.rate_step, self.write,
            self.fade, self.read, self.mix)
        return out


class FreeverbProcessor(Processor):
    """The reverb is mono: each channel runs through its own state."""

    def __init__(self, rate: int, channels: int, values: Values):
        self.channels = channels
        self.states = [(bytearray(22048), bytearray(32), bytearray(16), bytearray(3126), bytearray(16))
                       for _ in range(channels)]
        self.args = (values["room_size"], values["damping"], values["mix"])

    def process(self, block: bytes) -> bytes:
        if self.channels == 1:
            return core.freeverb_s16(block, *self.states[0], *self.args)
        samples = array.array("h")
        samples.frombytes(block)
        out = array.array("h", bytes(len(block)))
        for channel, state in enumerate(self.states):
            wet = core.freeverb_s16(samples[channel::2], *state, *self.args)
            out[channel::2] = array.array("h", wet)
        return out.tobytes()


def fixed(cls) -> Builder:
    return lambda rate, channels, values: cls(rate, channels, values)


def _effects() -> Dict[str, Effect]:
    table = [
        Effect(name, f"DynamicsState: {what}", with_defaults(DYNAMICS_OPTIONS, **defaults), dynamics(mode))
        for mode, name, what, defaults in (
            (0, "compressor", "downward compressor", {}),
            (1, "limiter", "peak limiter", {"threshold_db": -1.0, "attack_ms": 1.0, "release_ms": 80.0}),
            (2, "expander", "downward expander", {"threshold_db": -40.0, "ratio": 2.0}),
            (3, "gate", "noise gate", {"threshold_db": -50.0}),
            (4, "transient", "transient shaper", {"transient_attack_db": 6.0}))
    ]
    table += [
        Effect("delay", "FeedbackDelayState: feedback delay with filters, wow, ping-pong and pitch",
               FEEDBACK_DELAY_OPTIONS, feedback_delay, linear=True),
        Effect("biquad", "BiquadF32State: float biquad (cookbook designs)", BIQUAD_OPTIONS,
               engine(core.BiquadF32State, BIQUAD_OPTIONS), linear=True),
        Effect("allpass", "AllPassF32State: all-pass chain (phase shifter)", ALLPASS_OPTIONS,
               engine(core.AllPassF32State, ALLPASS_OPTIONS, ctor=("stages",)), linear=True),
        Effect("waveshaper", "WaveshaperState: oversampled curve waveshaper", WAVESHAPER_OPTIONS, waveshaper),
        Effect("ladder", "LadderState: resonant ladder low-pass (linear at low drive)", LADDER_OPTIONS,
               engine(core.LadderState, LADDER_OPTIONS), linear=True),
        Effect("suboctave", "SubOctaveState: octave divider", SUBOCTAVE_OPTIONS,
               engine(core.SubOctaveState, SUBOCTAVE_OPTIONS)),
        Effect("tank", "TankState: plate reverb tank", TANK_OPTIONS, engine(core.TankState, TANK_OPTIONS),
               linear=True),
        Effect("modal", "ModalState: modal resonator bank (stretched harmonics)", MODAL_OPTIONS,
               engine(core.ModalState, MODAL_OPTIONS, ctor=("modes",), setup=modal_setup), linear=True),
        Effect("convolver", "ConvolverState: FFT convolution with a synthesized room", CONVOLVER_OPTIONS,
               fixed(ConvolverProcessor), linear=True),
        Effect("samplehold", "SampleHoldState: sample-and-hold rate reduction", SAMPLE_HOLD_OPTIONS,
               fixed(SampleHoldProcessor)),
        Effect("synthbiquad", "BiquadState: fixed-point synth biquad (output within the soft knee)",
               rows(("mode", "mode", "", 0, 6, 0, "as the biquad's type"),
                    ("frequency_hz", "frequency_hz", "Hz", 1, 48000, 1000, "at most a quarter of the rate"),
                    ("q", "q", "", 0.1, 20, 0.7071), ("gain_db", "gain_db", "dB", -24, 24, 0, "modes 4 to 6"),
                    ("mix", "mix", "", 0, 1, 1)),
               fixed(SynthBiquadProcessor), linear=True),
        Effect("distortion", "distortion_s16: waveshaping distortion",
               rows(("drive", "drive", "", 0, 1, 0.5), ("pre_gain_db", "pre_gain_db", "dB", -48, 48, 0),
                    ("post_gain_db", "post_gain_db", "dB", -48, 48, 0),
                    ("shape", "shape", "", 0, 3, 2, "0 power, 1 bit reduction, 2 exponential, 3 rational"),
                    ("soft_limit", "soft_limit", *SWITCH, 1), ("mix", "mix", "", 0, 1, 1)),
               fixed(DistortionProcessor)),
        Effect("echo", "echo_s16: feedback echo",
               rows(("delay_ms", "delay_ms", "ms", 0.1, 10000, 250), ("feedback", "feedback", "", -1, 1, 0.5),
                    ("mix", "mix", "", 0, 2, 1, "0 dry, 1 both, 2 wet")),
               fixed(EchoProcessor), linear=True),
        Effect("phaser", "phaser_s16: swept all-pass phaser",
               rows(("stages", "stages", "stages", 1, 255, 6), ("low_hz", "low_hz", "Hz", 1, 20000, 100),
                    ("high_hz", "high_hz", "Hz", 1, 20000, 2000), ("rate_hz", "rate_hz", "Hz", 0, 20, 0.3),
                    ("feedback", "feedback", "", -1, 1, 0.5),
                    ("depth", "depth", "", 0, 1, 0.8, "0.01 or less bypasses")),
               fixed(PhaserProcessor)),
        Effect("chorus", "chorus_s16: multi-voice chorus",
               rows(("voices", "voices", "", 2, 16, 3, "taps, the first is the dry sample"),
                    ("delay_ms", "delay_ms", "ms", 0.1, 100, 20, "delay of the last tap"),
                    ("sweep", "sweep", "", 0, 0.9, 0.3, "share of the delay that sways"),
                    ("rate_hz", "rate_hz", "Hz", 0, 10, 0.5), ("depth", "depth", "", 0, 2, 0.5)),
               fixed(ChorusProcessor)),
        Effect("multitap", "multitap_s16: multi-tap delay",
               rows(("line_ms", "line_ms", "ms", 0.1, 10000, 600, "longest tap; the feedback reads here"),
                    ("taps", "taps", "", 1, 16, 4, "evenly spaced"), ("tap_decay", "tap_decay", "", 0, 1, 0.7),
                    ("feedback", "feedback", "", -1, 1, 0.3), ("mix", "mix", "", 0, 2, 1)),
               fixed(MultitapProcessor), linear=True),
        Effect("pitchshift", "pitchshift_s16: delay-line pitch shift",
               rows(("semitones", "semitones", "semitones", -24, 24, 7),
                    ("window_ms", "window_ms", "ms", 5, 200, 40), ("mix", "mix", "", 0, 2, 1)),
               fixed(PitchShiftProcessor)),
        Effect("freeverb", "freeverb_s16: comb and all-pass reverb (each channel on its own)",
               rows(("room_size", "room_size", "", 0, 1, 0.7), ("damping", "damping", "", 0, 1, 0.4),
                    ("mix", "mix", "", 0, 1, 0.4, "0.5 dry and wet")),
               fixed(FreeverbProcessor), linear=True),
    ]
    return {effect.name: effect for effect in table}


EFFECTS = _effects()


def make(name: str, sample_rate: int, channels: int, values: Optional[Mapping[str, float]] = None) -> Processor:
    effect = EFFECTS[name]
    return effect.build(sample_rate, channels, settle(effect, values or {}))


def run(processor: Processor, frames: bytes, channels: int, progress=None, tail_frames: int = 0) -> bytes:
    """Runs the processor over all frames in 256-frame blocks, with
    ``tail_frames`` of silence after them, and removes its latency."""
    frame_bytes = 2 * channels
    skip = processor.latency * frame_bytes
    data = bytes(frames) + bytes((tail_frames + processor.latency) * frame_bytes)
    step = BLOCK_FRAMES * frame_bytes
    out = bytearray()
    total = len(data)
    for start in range(0, total, step):
        out += processor.process(data[start:start + step])
        if progress:
            progress(min(total, start + step), total)
    return bytes(out[skip:])
