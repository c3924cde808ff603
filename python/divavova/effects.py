"""Every engine and one-call effect of the core behind one interface.

An effect is made for a sample rate and channel count with option values by
readable name, and then processes s16 blocks, carrying its state between
calls.  ``EFFECTS`` maps the command-line names to their descriptions.
"""

from __future__ import annotations

import array
import math
from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional

import _divavova as core

BLOCK_FRAMES = 256


@dataclass(frozen=True)
class Option:
    key: object          # configure id (int), or the name of a constructor / wrapper setting (str)
    unit: str
    low: float
    high: float
    default: float
    help: str = ""


@dataclass
class Effect:
    name: str
    description: str
    options: Dict[str, Option]
    build: Callable[[int, int, Dict[str, float]], "Processor"]
    linear: bool = False          # its impulse response describes it (for `response`)
    channels: Optional[int] = None  # forced channel count (None: the file's)


class Processor:
    def process(self, block: bytes) -> bytes:
        raise NotImplementedError


class UnknownOption(KeyError):
    pass


def settle(effect: Effect, values: Dict[str, float]) -> Dict[str, float]:
    """Every option of the effect with the given values over the defaults."""
    for name in values:
        if name not in effect.options:
            known = ", ".join(sorted(effect.options)) or "none"
            raise UnknownOption(f"unknown option {name!r} for {effect.name} (options: {known})")
    out = {name: option.default for name, option in effect.options.items()}
    out.update(values)
    return out


# --- engines with configure(id, value) -----------------------------------------

class EngineProcessor(Processor):
    def __init__(self, engine, options: Dict[str, Option], values: Dict[str, float], finish=True):
        self.engine = engine
        for name, option in options.items():
            if isinstance(option.key, int):
                engine.configure(option.key, float(values[name]))
        if finish and hasattr(engine, "finish"):
            engine.finish()

    def process(self, block: bytes) -> bytes:
        return self.engine.process(block)


def ids(*rows) -> Dict[str, Option]:
    """Options from rows (name, unit, low, high, default[, help]) numbered from 0."""
    return {row[0]: Option(i, *row[1:]) for i, row in enumerate(rows)}


def engine(cls, options, ctor=(), setup=None, finish=True):
    def build(rate, channels, values):
        kwargs = {"sample_rate": rate, "channel_count": channels}
        for name in ctor:
            kwargs[name] = values[name]
        obj = cls(**kwargs)
        if setup:
            setup(obj, rate, values)
        return EngineProcessor(obj, options, values, finish)
    return build


DYNAMICS_OPTIONS = ids(
    ("threshold_db", "dB", -96, 0, -24), ("ratio", ":1", 1, 100, 4), ("knee_db", "dB", 0, 48, 6),
    ("makeup_db", "dB", -24, 48, 0), ("attack_ms", "ms", 0, 1000, 10), ("release_ms", "ms", 0, 5000, 120),
    ("transient_attack_db", "dB", -24, 24, 0), ("transient_sustain_db", "dB", -24, 24, 0),
    ("sidechain_highpass_hz", "Hz", 0, 2000, 0), ("lookahead_ms", "ms", 0, 50, 0), ("detector", "0/1/2", 0, 2, 0),
    ("fast_attack_ms", "ms", 0, 100, 1), ("fast_release_ms", "ms", 0, 1000, 50), ("slow_attack_ms", "ms", 0, 500, 25),
    ("slow_release_ms", "ms", 0, 5000, 300), ("rms", "switch", 0, 1, 0), ("rms_window_ms", "ms", 0, 500, 10),
    ("feedback_detect", "switch", 0, 1, 0), ("sidechain_lowpass_hz", "Hz", 0, 24000, 0),
    ("sidechain_filter_order", "1/2", 1, 2, 1), ("listen", "switch", 0, 1, 0), ("range_db", "dB", -96, 1, 1),
    ("gate_hold_ms", "ms", 0, 5000, 0), ("hysteresis_db", "dB", 0, 24, 0), ("key_relative", "switch", 0, 1, 0),
    ("adaptive_attack", "switch", 0, 1, 0), ("dual_transient", "switch", 0, 1, 0),
    ("sustain_fast_attack_ms", "ms", 0, 100, 1), ("sustain_fast_release_ms", "ms", 0, 2000, 200),
    ("sustain_slow_attack_ms", "ms", 0, 500, 25), ("sustain_slow_release_ms", "ms", 0, 10000, 1200),
    ("hold_ms", "ms", 0, 5000, 0), ("gain_smoothing_ms", "ms", 0, 100, 0), ("feedback_slope", "switch", 0, 1, 0),
)
DYNAMICS_OPTIONS["mode"] = Option("mode", "0..4", 0, 4, 0, "0 compressor, 1 limiter, 2 expander, 3 gate, 4 transient")


def dynamics(mode):
    options = {k: v for k, v in DYNAMICS_OPTIONS.items() if k != "mode"}

    def build(rate, channels, values):
        obj = core.DynamicsState(mode=mode, sample_rate=rate, channel_count=channels)
        return EngineProcessor(obj, options, values)
    return build


FEEDBACK_DELAY_OPTIONS = ids(
    ("delay_ms", "ms", 0, 10000, 125), ("feedback", "", 0, 0.99, 0.4), ("mix", "0..2", 0, 2, 1),
    ("lowpass_hz", "Hz", 0, 24000, 0), ("highpass_hz", "Hz", 0, 24000, 0), ("wow_rate_hz", "Hz", 0, 20, 0),
    ("wow_depth_ms", "ms", 0, 1000, 0), ("cross_feedback", "", 0, 1, 0), ("saturation", "", 0, 1, 0),
    ("input_routing", "-1..1", -1, 1, 0), ("delay_slew", "frames/frame", 0, 64, 0), ("level_modulation", "", 0, 1, 0),
    ("pitch_semitones", "semitones", -24, 24, 0), ("pitch_window_ms", "ms", 1, 250, 50),
)
FEEDBACK_DELAY_OPTIONS["max_delay_ms"] = Option("max_delay_ms", "ms", 1, 10000, 1000, "line capacity")

BIQUAD_OPTIONS = ids(
    ("type", "0..6", 0, 6, 0, "0 low-pass, 1 high-pass, 2 band-pass, 3 notch, 4 peaking, 5 low shelf, 6 high shelf"),
    ("frequency_hz", "Hz", 0, 24000, 1000), ("q", "", 0.05, 60, 0.70710677), ("gain_db", "dB", -60, 60, 0),
    ("mix", "", 0, 1, 1),
)

ALLPASS_OPTIONS = ids(("frequency_hz", "Hz", 0, 24000, 1000), ("feedback", "", -0.99, 0.99, 0),
                      ("mix", "", 0, 1, 0.5))
ALLPASS_OPTIONS["stages"] = Option("stages", "stages", 1, 16, 4)

WAVESHAPER_OPTIONS = ids(
    ("drive", "x", -1000, 1000, 4), ("bias", "", -1, 1, 0), ("output_gain", "x", -1000, 1000, 0.5),
    ("mix", "", 0, 1, 1), ("hysteresis_amount", "", 0, 1, 0), ("hysteresis_width", "", 0, 0.5, 0),
    ("hysteresis_asymmetry", "", -1, 1, 0),
)
WAVESHAPER_OPTIONS["oversample"] = Option("oversample", "x", 1, 16, 4, "1, 2, 4, 8 or 16")


def tanh_curve(obj, rate, values, points=257):
    obj.load_curve(array.array("h", [round(32767 * math.tanh(2.5 * (2 * i / (points - 1) - 1)) / math.tanh(2.5))
                                     for i in range(points)]))


LADDER_OPTIONS = ids(
    ("cutoff_hz", "Hz", 20, 20000, 1000), ("resonance", "", 0, 4.2, 1), ("drive", "x", 0, 64, 1),
    ("poles", "1..4", 1, 4, 4), ("compensation", "", 0, 1, 0.5), ("oversample", "1/2", 1, 2, 1), ("mix", "", 0, 1, 1),
)

SUBOCTAVE_OPTIONS = ids(("octaves", "1/2", 1, 2, 1), ("depth", "", 0, 1, 0.5), ("threshold", "", 0, 1, 0.01),
                        ("holdoff_ms", "ms", 0, 100, 2))

TANK_OPTIONS = ids(
    ("decay", "", 0, 0.999, 0.6), ("input_diffusion", "", 0, 0.9, 0.7), ("damping_hz", "Hz", 0, 24000, 6000),
    ("bandwidth_hz", "Hz", 0, 24000, 12000), ("highpass_hz", "Hz", 0, 2000, 20), ("predelay_ms", "ms", 0, 200, 10),
    ("modulation_depth_ms", "ms", 0, 100, 0.5), ("modulation_rate_hz", "Hz", 0, 100, 0.8), ("drive", "", 0, 1, 0),
    ("width", "0..2", 0, 2, 1), ("tilt_db", "dB", -24, 24, 0), ("mix", "0..2", 0, 2, 0.6),
)

MODAL_OPTIONS = ids(("wet_mix", "", 0, 1, 1), ("wet_gain", "x", 0, 16, 1))
MODAL_OPTIONS.update({
    "modes": Option("modes", "modes", 1, 64, 8),
    "base_hz": Option("base_hz", "Hz", 20, 5000, 220, "frequency of the lowest mode"),
    "decay_s": Option("decay_s", "s", 0.001, 30, 1.5, "time to -60 dB"),
})


def modal_setup(obj, rate, values):
    for k in range(int(values["modes"])):
        obj.set_mode(k, values["base_hz"] * (k + 1) * (1 + 0.002 * k * k), values["decay_s"] / (1 + 0.3 * k),
                     0.5 / (k + 1))


CONVOLVER_OPTIONS = {
    "mix": Option(0, "0..1", 0, 1, 0.5, "0 dry, 0.5 both, 1 wet"),
    "partitions": Option("partitions", "x256 frames", 1, 512, 188),
    "decay_s": Option("decay_s", "s", 0.01, 10, 1.2, "synthesized impulse: decay time"),
    "damping_hz": Option("damping_hz", "Hz", 100, 24000, 6000, "synthesized impulse: damping"),
    "predelay_ms": Option("predelay_ms", "ms", 0, 500, 10, "synthesized impulse: pre-delay"),
    "fade_in_ms": Option("fade_in_ms", "ms", 0, 500, 5, "synthesized impulse: fade-in"),
    "seed": Option("seed", "", 0, 2 ** 32 - 1, 1),
}


def convolver_build(rate, channels, values):
    obj = core.ConvolverState(sample_rate=rate, partitions=int(values["partitions"]), ir_channels=channels,
                              channel_count=channels)
    obj.synthesize(values["decay_s"], values["damping_hz"], values["predelay_ms"], values["fade_in_ms"],
                   int(values["seed"]))
    return EngineProcessor(obj, {"mix": CONVOLVER_OPTIONS["mix"]}, values, finish=False)


class SampleHoldProcessor(Processor):
    def __init__(self, channels, values):
        self.engine = core.SampleHoldState(int(values["num"]), int(values["den"]))
        self.frame_bytes = 2 * channels

    def process(self, block):
        return self.engine.process(block, self.frame_bytes)


SAMPLE_HOLD_OPTIONS = {"num": Option("num", "", 1, 2 ** 30, 4, "every num/den-th frame is captured"),
                       "den": Option("den", "", 1, 2 ** 30, 1, "at most num")}


# --- one-call effects on caller-held state --------------------------------------

class DistortionProcessor(Processor):
    def __init__(self, values):
        self.args = (values["drive"], values["pre_gain_db"], values["post_gain_db"], int(values["shape"]),
                     bool(values["soft_limit"]), values["mix"])

    def process(self, block):
        return core.distortion_s16(block, *self.args)


class EchoProcessor(Processor):
    def __init__(self, rate, channels, values):
        self.frames = max(1, int(rate * values["delay_ms"] / 1000))
        self.channels = channels
        self.state = bytearray(self.frames * channels * 2)
        self.left = self.right = 0
        self.feedback, self.mix = values["feedback"], values["mix"]

    def process(self, block):
        out, self.left, self.right = core.echo_s16(block, self.state, self.left, self.right, self.frames,
                                                   self.frames, 256, self.feedback, self.mix, False, self.channels)
        return out


class PhaserProcessor(Processor):
    def __init__(self, rate, channels, values):
        self.channels, self.stages, self.rate = channels, int(values["stages"]), float(rate)
        self.feedback_state = bytearray(2 * channels)
        self.allpass_state = bytearray(2 * channels * self.stages)
        self.values = values
        self.phase = 0.0

    def process(self, block):
        # sweep the all-pass position with a slow sine between the two sweep limits
        frames = len(block) // (2 * self.channels)
        v = self.values
        low, high = v["sweep_low_hz"], v["sweep_high_hz"]
        sweep = low + (high - low) * 0.5 * (1 + math.sin(self.phase))
        self.phase = (self.phase + 2 * math.pi * v["rate_hz"] * frames / self.rate) % (2 * math.pi)
        return core.phaser_s16(block, self.feedback_state, self.allpass_state, self.channels, self.stages, sweep,
                               self.rate, v["feedback"], v["depth"])


class ChorusProcessor(Processor):
    def __init__(self, rate, channels, values):
        self.ring_len = max(2, int(rate * values["ring_ms"] / 1000) * channels)
        self.spread = max(1, min(self.ring_len, int(rate * values["spread_ms"] / 1000) * channels))
        self.ring = bytearray(2 * self.ring_len)
        self.pos = 0
        self.voices, self.depth = int(values["voices"]), values["depth"]

    def process(self, block):
        out, self.pos = core.chorus_s16(block, self.ring, self.pos, self.spread, self.ring_len, self.voices,
                                        self.depth)
        return out


class MultitapProcessor(Processor):
    def __init__(self, rate, channels, values):
        self.channels = channels
        self.line_len = max(2, int(rate * values["line_ms"] / 1000))
        self.ring = bytearray(2 * channels * self.line_len)
        taps = int(values["taps"])
        delays = [max(1, self.line_len * (k + 1) // taps) for k in range(taps)]
        self.delays = bytearray(array.array("I", delays).tobytes())
        self.gains = bytearray(array.array("d", [0.7 ** (k + 1) for k in range(taps)]).tobytes())
        self.pos = 0
        self.feedback, self.mix = values["feedback"], values["mix"]

    def process(self, block):
        out, self.pos = core.multitap_s16(block, self.ring, self.pos, self.line_len, self.channels, self.delays,
                                          self.gains, self.feedback, self.mix)
        return out


class PitchShiftProcessor(Processor):
    def __init__(self, rate, channels, values):
        self.channels = channels
        self.ring_len = max(16, int(rate * values["window_ms"] / 1000))
        self.fade_len = max(0, self.ring_len // 8)
        self.ring = bytearray(2 * channels * self.ring_len)
        self.fifo = bytearray(2 * channels * max(1, self.fade_len))
        self.rate_step = max(1, round(256 * 2 ** (values["semitones"] / 12)))
        self.write = self.fade = self.read = 0
        self.mix = values["mix"]

    def process(self, block):
        out, self.write, self.fade, self.read = core.pitchshift_s16(
            block, self.ring, self.fifo, self.ring_len, self.fade_len, self.channels, self.rate_step, self.write,
            self.fade, self.read, self.mix)
        return out


class FreeverbProcessor(Processor):
    def __init__(self, channels, values):
        self.combs, self.comb_pos = bytearray(22048), bytearray(32)
        self.stores, self.allpass, self.allpass_pos = bytearray(16), bytearray(3126), bytearray(16)
        self.args = (values["room_size"], values["damping"], values["mix"])

    def process(self, block):
        return core.freeverb_s16(block, self.combs, self.comb_pos, self.stores, self.allpass, self.allpass_pos,
                                 *self.args)


class SynthBiquadProcessor(Processor):
    def __init__(self, rate, channels, values):
        self.filter = core.BiquadState()
        self.rate, self.channels = rate, channels
        self.args = (int(values["mode"]), values["frequency_hz"], values["q"], values["gain_db"])
        self.mix = values["mix"]

    def process(self, block):
        return self.filter.process_s16(block, *self.args, self.rate, self.mix, self.channels)


def opts(**rows) -> Dict[str, Option]:
    return {name: Option(name, *row) for name, row in rows.items()}


def _effects() -> Dict[str, Effect]:
    table: List[Effect] = []
    for mode, name, what in ((0, "compressor", "downward compressor"), (1, "limiter", "peak limiter"),
                             (2, "expander", "downward expander"), (3, "gate", "noise gate"),
                             (4, "transient", "transient shaper")):
        if hasattr(core, "DynamicsState"):
            table.append(Effect(name, f"DynamicsState: {what}",
                                {k: v for k, v in DYNAMICS_OPTIONS.items() if k != "mode"}, dynamics(mode)))
    available = [
        ("FeedbackDelayState", Effect("delay", "FeedbackDelayState: feedback delay with filters, wow and pitch",
                                      FEEDBACK_DELAY_OPTIONS,
                                      engine(getattr(core, "FeedbackDelayState", None), FEEDBACK_DELAY_OPTIONS,
                                             ctor=("max_delay_ms",)))),
        ("BiquadF32State", Effect("biquad", "BiquadF32State: float biquad (cookbook designs)", BIQUAD_OPTIONS,
                                  engine(getattr(core, "BiquadF32State", None), BIQUAD_OPTIONS), linear=True)),
        ("AllPassF32State", Effect("allpass", "AllPassF32State: all-pass chain (phase shifter)", ALLPASS_OPTIONS,
                                   engine(getattr(core, "AllPassF32State", None), ALLPASS_OPTIONS, ctor=("stages",)),
                                   linear=True)),
        ("WaveshaperState", Effect("waveshaper", "WaveshaperState: oversampled curve waveshaper (tanh curve)",
                                   WAVESHAPER_OPTIONS,
                                   engine(getattr(core, "WaveshaperState", None), WAVESHAPER_OPTIONS,
                                          ctor=("oversample",), setup=tanh_curve))),
        ("LadderState", Effect("ladder", "LadderState: resonant ladder filter", LADDER_OPTIONS,
                               engine(getattr(core, "LadderState", None), LADDER_OPTIONS), linear=True)),
        ("SubOctaveState", Effect("suboctave", "SubOctaveState: sub-octave generator", SUBOCTAVE_OPTIONS,
                                  engine(getattr(core, "SubOctaveState", None), SUBOCTAVE_OPTIONS))),
        ("TankState", Effect("tank", "TankState: plate reverb tank", TANK_OPTIONS,
                             engine(getattr(core, "TankState", None), TANK_OPTIONS), linear=True)),
        ("ModalState", Effect("modal", "ModalState: modal resonator bank (harmonic modes)", MODAL_OPTIONS,
                              engine(getattr(core, "ModalState", None), MODAL_OPTIONS, ctor=("modes",),
                                     setup=modal_setup), linear=True)),
        ("ConvolverState", Effect("convolver", "ConvolverState: FFT convolution with a synthesized room",
                                  CONVOLVER_OPTIONS, convolver_build, linear=True)),
        ("SampleHoldState", Effect("samplehold", "SampleHoldState: sample-and-hold rate reduction",
                                   SAMPLE_HOLD_OPTIONS, lambda r, c, v: SampleHoldProcessor(c, v))),
        ("BiquadState", Effect("synthbiquad", "BiquadState: fixed-point synth biquad",
                               opts(mode=("0..6", 0, 6, 0), frequency_hz=("Hz", 20, 20000, 1000),
                                    q=("", 0.1, 20, 0.7071), gain_db=("dB", -24, 24, 0), mix=("", 0, 1, 1)),
                               lambda r, c, v: SynthBiquadProcessor(r, c, v), linear=True)),
        ("distortion_s16", Effect("distortion", "distortion_s16: waveshaping distortion",
                                  opts(drive=("0..1", 0, 1, 0.5), pre_gain_db=("dB", -24, 24, 0),
                                       post_gain_db=("dB", -24, 24, 0), shape=("0..3", 0, 3, 2),
                                       soft_limit=("switch", 0, 1, 1), mix=("", 0, 1, 1)),
                                  lambda r, c, v: DistortionProcessor(v))),
        ("echo_s16", Effect("echo", "echo_s16: echo on a caller-held line",
                            opts(delay_ms=("ms", 1, 5000, 250), feedback=("", -1, 1, 0.5), mix=("0..2", 0, 2, 1)),
                            lambda r, c, v: EchoProcessor(r, c, v))),
        ("phaser_s16", Effect("phaser", "phaser_s16: swept all-pass phaser",
                              opts(stages=("stages", 1, 255, 6), sweep_low_hz=("Hz", 1, 20000, 200),
                                   sweep_high_hz=("Hz", 1, 20000, 2000), rate_hz=("Hz", 0, 20, 0.5),
                                   feedback=("", -1, 1, 0.5), depth=("", 0, 1, 0.8)),
                              lambda r, c, v: PhaserProcessor(r, c, v))),
        ("chorus_s16", Effect("chorus", "chorus_s16: multi-voice chorus",
                              opts(ring_ms=("ms", 1, 200, 30), spread_ms=("ms", 1, 200, 20), voices=("", 1, 16, 3),
                                   depth=("", 0, 2, 0.5)),
                              lambda r, c, v: ChorusProcessor(r, c, v))),
        ("multitap_s16", Effect("multitap", "multitap_s16: multi-tap delay",
                                opts(line_ms=("ms", 1, 5000, 600), taps=("", 1, 16, 4), feedback=("", -1, 1, 0.3),
                                     mix=("0..2", 0, 2, 1)),
                                lambda r, c, v: MultitapProcessor(r, c, v))),
        ("pitchshift_s16", Effect("pitchshift", "pitchshift_s16: delay-line pitch shift",
                                  opts(semitones=("semitones", -24, 24, 7), window_ms=("ms", 5, 200, 40),
                                       mix=("0..2", 0, 2, 1)),
                                  lambda r, c, v: PitchShiftProcessor(r, c, v))),
        ("freeverb_s16", Effect("freeverb", "freeverb_s16: comb and all-pass reverb (mono)",
                                opts(room_size=("", 0, 1, 0.7), damping=("", 0, 1, 0.4), mix=("", 0, 1, 0.4)),
                                lambda r, c, v: FreeverbProcessor(c, v), linear=True, channels=1)),
    ]
    for attribute, effect in available:
        if hasattr(core, attribute):
            table.append(effect)
    return {effect.name: effect for effect in table}


EFFECTS = _effects()


def make(name: str, sample_rate: int, channels: int, values: Dict[str, float]) -> Processor:
    effect = EFFECTS[name]
    return effect.build(sample_rate, channels, settle(effect, values))


def run(processor: Processor, frames: bytes, channels: int, progress=None) -> bytes:
    """Runs the processor over all frames in 256-frame blocks."""
    step = BLOCK_FRAMES * 2 * channels
    out = bytearray()
    total = len(frames)
    for start in range(0, total, step):
        out += processor.process(frames[start:start + step])
        if progress:
            progress(min(total, start + step), total)
    return bytes(out)
