"""Type stubs for the _divavova native audio core.

Audio is interleaved native-endian PCM: s16 (signed 16-bit) for blocks, i32
(signed 32-bit) for synthesizer voices.  Every buffer argument accepts any
object exporting a contiguous buffer; results are new ``bytes``.
"""

from types import TracebackType
from typing import Final, Never, Optional, Sequence, SupportsIndex, Tuple, TypeVar, final, overload

from typing_extensions import Buffer, Self

__version__: Final[str]
__revision__: Final[str]
ABI_VERSION: Final[int]

SPLITTER_CHUNK_FRAMES: Final[int]
SPLITTER_RING_FRAMES: Final[int]
DYNAMICS_FRAMES: Final[int]
MULTIPLY_FRAMES: Final[int]
MIDSIDE_FRAMES: Final[int]
FEEDBACK_DELAY_FRAMES: Final[int]
SHAPER_FRAMES: Final[int]
SHAPER_MAX_OVERSAMPLE: Final[int]
SAMPLEHOLD_FRAMES: Final[int]
SAMPLEHOLD_MAX_RATIO: Final[int]
LADDER_FRAMES: Final[int]
FILTER_F32_FRAMES: Final[int]
FILTER_F32_MAX_STAGES: Final[int]
SUBOCTAVE_FRAMES: Final[int]
CONVOLVE_FRAMES: Final[int]
CONVOLVE_MAX_PARTITIONS: Final[int]
MODAL_FRAMES: Final[int]
MODAL_MAX_MODES: Final[int]
TANK_FRAMES: Final[int]
TANK_LINES: Final[int]
TANK_MAX_TAPS: Final[int]

_Int = SupportsIndex
_Dest = TypeVar("_Dest", bound=Buffer)

# --- buffer utilities --------------------------------------------------------

def mix_s16(first: Buffer, second: Buffer, /) -> bytes:
    """Saturating sample-by-sample sum of two equally long s16 buffers."""

@overload
def remix_s16(source: Buffer, source_channels: int, dest_channels: int, dest: None = None, /) -> bytes:
    """Convert interleaved s16 between 1 and 2 channels (a mono sample goes to both sides,
    stereo to mono is the mean of the two)."""
@overload
def remix_s16(source: Buffer, source_channels: int, dest_channels: int, dest: _Dest, /) -> _Dest:
    """As above, written to the start of the writable ``dest``, which is returned."""

def multiply_s16(signal: Buffer, modulator: Buffer, depth: float, channel_count: _Int = 2, /) -> bytes:
    """signal x modulator (Q15) blended with the signal by ``depth`` (0 .. 1)."""

def midside_s16(buffer: Buffer, width: float, channel_count: _Int = 2, /) -> bytes:
    """Stereo width: side scaled by ``width`` (0 mono .. 1 unchanged .. 2 double side)."""

# --- synthesizer voices -----------------------------------------------------

def oscillator_i32(waveform: Buffer, phase: _Int, step: _Int, loop_start: _Int, loop_end: _Int,
                   left_level: int, right_level: int, channel_count: _Int, count: _Int, /) -> Tuple[bytes, int]:
    """Render ``count`` frames of a looped s16 wavetable ('h' format) scaled by levels/65536.

    ``phase`` and ``step`` are 16.16 fixed-point table positions; loop bounds in samples.
    Returns (i32 samples, new phase)."""

def oscillator_raw_i32(waveform: Buffer, phase: _Int, step: _Int, loop_start: _Int, loop_end: _Int,
                       count: _Int, /) -> Tuple[bytes, int]:
    """Raw i32 table samples of a looped wavetable; returns (samples, new 16.16 phase)."""

def ring_multiply_i32(voice: Buffer, waveform: Buffer, phase: _Int, step: _Int, loop_start: _Int,
                      loop_end: _Int, /) -> Tuple[bytes, int]:
    """Multiply an i32 voice by a second looped wavetable; returns (samples, new phase)."""

def apply_loudness_i32(voice: Buffer, left_level: int, right_level: int, channel_count: _Int,
                       previous_left: int = ..., previous_right: int = ..., /) -> bytes:
    """Scale a mono i32 voice by levels/65536, switching levels at a zero crossing."""

def mixdown_i32(samples: Buffer, voices: _Int = 64, /) -> bytes:
    """Fold an i32 sum of up to ``voices`` voices into s16 through a soft knee."""

def pitch_bend(value: _Int, bend: int, /) -> int:
    """Scale a step or frequency by ``bend`` in 1/32768 octave (a semitone is 32768/12)."""

# --- one-call effects (caller-held state) -----------------------------------

def distortion_s16(input: Buffer, drive: float, pre_gain_db: float, post_gain_db: float, shape: int,
                   soft_limit: bool, mix: float, /) -> bytes:
    """Waveshaping distortion; shape 0 power, 1 bit reduction, 2 exponential, 3 rational; mix 0 .. 1."""

def echo_s16(input: Buffer, state: Buffer, left_pos: _Int, right_pos: _Int, delay_frames: _Int,
             capacity_frames: _Int, rate_step: _Int, feedback: float, mix: float, variable_rate: bool,
             channel_count: _Int, /) -> Tuple[bytes, int, int]:
    """Echo on a caller-held s16 line; rate_step in 1/256 cells; mix 0 dry .. 2 wet.

    Returns (block, left_pos, right_pos)."""

def phaser_s16(input: Buffer, feedback_state: Buffer, allpass_state: Buffer, channel_count: _Int, stages: _Int,
               sweep_hz: float, sample_rate: float, feedback: float, depth: float, /) -> bytes:
    """Phaser of ``stages`` all-pass stages at ``sweep_hz`` (Hz); feedback -1 .. 1, depth 0 .. 1."""

def chorus_s16(input: Buffer, ring: Buffer, write_pos: _Int, spread: _Int, ring_len: _Int, voices: int,
               depth: float, /) -> Tuple[bytes, int]:
    """Chorus of ``voices`` taps spread over ``spread`` samples of an s16 ring; returns (block, write_pos)."""

def multitap_s16(input: Buffer, ring: Buffer, write_pos: _Int, line_len: _Int, channel_count: _Int,
                 tap_delays: Buffer, tap_gains: Buffer, feedback: float, mix: float, /) -> Tuple[bytes, int]:
    """Multi-tap delay: u32 tap delays (frames), f64 tap gains; returns (block, write_pos)."""

def pitchshift_s16(input: Buffer, ring: Buffer, fade_fifo: Buffer, ring_len: _Int, fade_len: _Int,
                   channel_count: _Int, rate_step: _Int, write_pos: _Int, fade_pos: _Int, read_pos: _Int,
                   mix: float, /) -> Tuple[bytes, int, int, int]:
    """Delay-line pitch shift, rate_step in 1/256 (256 none, 512 octave up).

    Returns (block, write_pos, fade_pos, read_pos)."""

def freeverb_s16(input: Buffer, comb_lines: Buffer, comb_positions: Buffer, comb_stores: Buffer,
                 allpass_lines: Buffer, allpass_positions: Buffer, room_size: float, damping: float,
                 mix: float, /) -> bytes:
    """Reverb of eight combs and four all-passes on caller-held state; room_size, damping, mix 0 .. 1."""

# --- types --------------------------------------------------------------------

@final
class BufferOwner:
    """Holds a C-contiguous view of ``exporter`` until released."""
    def __init__(self, exporter: Buffer) -> None: ...
    def release(self) -> None: ...
    def bytes(self) -> bytes: ...
    @property
    def format(self) -> Optional[str]: ...
    @property
    def nbytes(self) -> int: ...
    @property
    def itemsize(self) -> int: ...

@final
class RawSample:
    """Serves an 8- or 16-bit PCM buffer ('b', 'B', 'h', 'H') whole or by halves."""
    def __init__(self, buffer: Buffer, *, channel_count: int = 1, sample_rate: _Int = 8000,
                 single_buffer: bool = True) -> None: ...
    def deinit(self) -> None: ...
    def _reset_buffer(self, single_channel_output: bool = False, audio_channel: _Int = 0) -> None: ...
    def _get_buffer(self, single_channel_output: bool = False, audio_channel: _Int = 0) -> Tuple[int, bytes]: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, exc_type: Optional[type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType], /) -> None: ...
    @property
    def sample_rate(self) -> int:
        """Hertz."""
    @sample_rate.setter
    def sample_rate(self, value: int) -> None: ...
    @property
    def bits_per_sample(self) -> int: ...
    @property
    def channel_count(self) -> int: ...
    @property
    def samples_signed(self) -> bool: ...
    @property
    def single_buffer(self) -> bool: ...

@final
class EnvelopeState:
    """ADSR envelope in ticks of 256 samples; times in seconds, levels as fractions."""
    def __init__(self, sample_rate: _Int, enabled: bool, attack_time: float = 0.0, decay_time: float = 0.0,
                 release_time: float = 0.0, attack_level: float = 1.0, sustain_level: float = 1.0) -> None: ...
    def step(self, count: int, /) -> None:
        """Advance by ``count`` samples."""
    def release(self) -> None: ...
    def reattack(self) -> None: ...
    def set_definition(self, sample_rate: _Int, enabled: bool, attack_time: float = 0.0, decay_time: float = 0.0,
                       release_time: float = 0.0, attack_level: float = 1.0, sustain_level: float = 1.0) -> None: ...
    @property
    def level(self) -> int:
        """Current level, -32768 .. 32767 (32767 full scale)."""
    @property
    def state(self) -> int:
        """0 attack, 1 decay, 2 sustain, 3 release."""

@final
class BiquadState:
    """Fixed-point per-voice biquad: mode 0 .. 6 (low-pass, high-pass, band-pass, notch, peaking,
    low shelf, high shelf), frequency in Hz (fitted up to a quarter of the rate), q, gain as a linear
    amplitude (10 ** (dB / 40)) for modes 4 .. 6, mix 0 dry .. 1 filtered."""
    # positional arguments are refused, keyword arguments are accepted and ignored
    def __init__(self, *args: Never, **kwargs: object) -> None: ...
    def reset(self) -> None: ...
    def process_i32(self, samples: Buffer, mode: int, frequency: float, q: float, gain: float,
                    sample_rate: _Int, /) -> bytes: ...
    def process_s16(self, samples: Buffer, mode: int, frequency: float, q: float, gain: float,
                    sample_rate: _Int, mix: float, channel_count: int, /) -> bytes: ...

class _Engine:
    def configure(self, option: int, value: float, /) -> None:
        """Set one option by id (see each engine's table); values are clamped."""
    def reset(self) -> None:
        """Clear the running history, keep the parameters."""
    def process(self, block: Buffer, /) -> bytes:
        """Process whole interleaved s16 frames; the result has the block's length."""

@final
class DynamicsState(_Engine):
    """Compressor (0), limiter, expander, gate and transient shaper; 34 options by id.

    configure ids (useful ranges): 0 threshold_db (-96 .. 0 dB), 1 ratio (1 .. 100 :1),
    2 knee_db (0 .. 48 dB), 3 makeup_db (-24 .. 48 dB), 4 attack_ms (0 .. 1000 ms),
    5 release_ms (0 .. 5000 ms), 6 transient_attack_db (-24 .. 24 dB),
    7 transient_sustain_db (-24 .. 24 dB), 8 sidechain_highpass_hz (0 .. 20000 Hz),
    9 lookahead_ms (0 .. 50 ms), 10 detector (0 .. 2), 11 fast_attack_ms (0 .. 100 ms),
    12 fast_release_ms (0 .. 1000 ms), 13 slow_attack_ms (0 .. 500 ms),
    14 slow_release_ms (0 .. 5000 ms), 15 rms (0 .. 1), 16 rms_window_ms (0 .. 500 ms),
    17 feedback_detect (0 .. 1), 18 sidechain_lowpass_hz (0 .. 20000 Hz),
    19 sidechain_filter_order (1 .. 2), 20 listen (0 .. 1), 21 range_db (-96 .. 1 dB),
    22 gate_hold_ms (0 .. 5000 ms), 23 hysteresis_db (0 .. 24 dB), 24 key_relative (0 .. 1),
    25 adaptive_attack (0 .. 1), 26 dual_transient (0 .. 1), 27 sustain_fast_attack_ms (0 .. 100 ms),
    28 sustain_fast_release_ms (0 .. 2000 ms), 29 sustain_slow_attack_ms (0 .. 500 ms),
    30 sustain_slow_release_ms (0 .. 10000 ms), 31 hold_ms (0 .. 5000 ms),
    32 gain_smoothing_ms (0 .. 100 ms), 33 feedback_slope (0 .. 1).
    """
    def __init__(self, mode: int = 0, sample_rate: _Int = 48000, channel_count: _Int = 2) -> None: ...
    def finish(self) -> None: ...
    def set_sample_rate(self, rate: int, /) -> None: ...
    def process(self, input: Buffer, key: Optional[Buffer] = None, /) -> bytes: ...
    @property
    def gain_reduction_db(self) -> float:
        """Gain reduction of the last processed frame, dB."""
    @property
    def sample_rate(self) -> int:
        """Hertz."""

@final
class SplitterRing:
    """One writer, 1 to 4 readers over a ring of 8192 frames."""
    def __init__(self, taps: int = 2, channel_count: int = 2) -> None: ...
    def write(self, block: Buffer, /) -> int:
        """Store whole s16 frames; returns the frames stored."""
    def take(self, tap: int, /) -> bytes:
        """Up to 256 frames for reader ``tap``."""
    def starved(self, tap: int, /) -> bool: ...

@final
class FeedbackDelayState(_Engine):
    """Delay with feedback, filters, saturation, wow and pitch; delay in ms.

    configure ids (useful ranges): 0 delay_ms (1 .. 10000 ms), 1 feedback (0 .. 0.99), 2 mix (0 .. 2),
    3 lowpass_hz (0 .. 24000 Hz), 4 highpass_hz (0 .. 24000 Hz), 5 wow_rate_hz (0 .. 20 Hz),
    6 wow_depth_ms (0 .. 1000 ms), 7 cross_feedback (0 .. 1), 8 saturation (0 .. 1),
    9 input_routing (-1 .. 1), 10 delay_slew (0 .. 64 frames/frame), 11 level_modulation (0 .. 1),
    12 pitch_semitones (-24 .. 24 semitones), 13 pitch_window_ms (1 .. 250 ms).
    """
    def __init__(self, sample_rate: _Int = 48000, max_delay_ms: float = 250.0, channel_count: _Int = 2) -> None: ...
    def finish(self) -> None: ...
    def set_wow_shape(self, shape: Optional[Buffer], /) -> None:
        """Hold a caller buffer as the wow shape (None releases it)."""

@final
class WaveshaperState(_Engine):
    """Oversampled (1 .. 16x) curve waveshaper.

    configure ids (useful ranges): 0 drive (-1000 .. 1000 times), 1 bias (-1 .. 1),
    2 output_gain (-1000 .. 1000 times), 3 mix (0 .. 1), 4 hysteresis_amount (0 .. 1),
    5 hysteresis_width (0 .. 0.5), 6 hysteresis_asymmetry (-1 .. 1).
    """
    def __init__(self, sample_rate: _Int = 48000, oversample: _Int = 4, channel_count: _Int = 2) -> None: ...
    def finish(self) -> None: ...
    def load_curve(self, curve: Buffer, /) -> None:
        """Copy a curve of native s16 points."""

@final
class SampleHoldState:
    """Holds raw frames (1 to 4 bytes) for den/num of the output frames."""
    def __init__(self, num: _Int = 1, den: _Int = 1) -> None: ...
    def configure(self, num: _Int, den: _Int, /) -> None: ...
    def ratio(self) -> Tuple[int, int]: ...
    def reset(self) -> None: ...
    def process(self, block: Buffer, frame_bytes: _Int, /) -> bytes: ...

@final
class LadderState(_Engine):
    """Resonant four-pole ladder filter; cutoff in Hz.

    configure ids (useful ranges): 0 cutoff_hz (1 .. 40000 Hz), 1 resonance (0 .. 4.2),
    2 drive (0 .. 64 times), 3 poles (1 .. 4), 4 compensation (0 .. 1), 5 oversample (1 .. 2),
    6 mix (0 .. 1).
    """
    def __init__(self, sample_rate: _Int = 48000, channel_count: _Int = 2) -> None: ...
    def finish(self) -> None: ...

@final
class BiquadF32State(_Engine):
    """Float biquad: type 0 .. 6, frequency Hz, Q, gain dB, mix.

    configure ids (useful ranges): 0 type (0 .. 6), 1 frequency_hz (0 .. 24000 Hz), 2 q (0.05 .. 60),
    3 gain_db (-60 .. 60 dB), 4 mix (0 .. 1).
    """
    def __init__(self, sample_rate: _Int = 48000, channel_count: _Int = 2) -> None: ...
    def finish(self) -> None: ...
    def coefficients(self) -> Tuple[float, float, float, float, float]:
        """(b0, b1, b2, a1, a2) of the designed section."""

@final
class AllPassF32State(_Engine):
    """Chain of 1 .. 16 first-order all-pass stages; frequency Hz, feedback, mix.

    configure ids (useful ranges): 0 frequency_hz (0 .. 24000 Hz), 1 feedback (-0.99 .. 0.99),
    2 mix (0 .. 1).
    """
    def __init__(self, sample_rate: _Int = 48000, channel_count: _Int = 2, stages: _Int = 4) -> None: ...
    def finish(self) -> None: ...
    def coefficient(self) -> float: ...

@final
class SubOctaveState(_Engine):
    """Square-wave sub-octave generator (one or two octaves down).

    configure ids (useful ranges): 0 octaves (1 .. 2), 1 depth (0 .. 1), 2 threshold (0 .. 1),
    3 holdoff_ms (0 .. 100 ms).
    """
    def __init__(self, sample_rate: _Int = 48000, channel_count: _Int = 2) -> None: ...
    def finish(self) -> None: ...

@final
class ConvolverState(_Engine):
    """Partitioned FFT convolver: impulses of up to partitions x 256 frames, 256 frames of latency.

    configure ids (useful ranges): 0 mix (0 .. 1: 0 dry, 0.5 dry and wet, 1 wet).
    """
    def __init__(self, sample_rate: _Int = 48000, partitions: _Int = 1, ir_channels: _Int = 1,
                 channel_count: _Int = 2) -> None: ...
    def load(self, impulse: Buffer, channels: _Int, gain: float, /) -> None:
        """Load an s16 impulse response with a linear gain."""
    def synthesize(self, decay_s: float, damping_hz: float, predelay_ms: float, fade_in_ms: float,
                   seed: _Int, /) -> None:
        """Synthesize a decaying noise impulse response."""
    def taps(self) -> int:
        """256 x active partitions."""

@final
class TankState(_Engine):
    """Plate-style reverb tank of twelve lines; pre-delay in ms.

    configure ids (useful ranges): 0 decay (0 .. 0.999), 1 input_diffusion (0 .. 0.9),
    2 damping_hz (0 .. 24000 Hz), 3 bandwidth_hz (0 .. 24000 Hz), 4 highpass_hz (0 .. 24000 Hz),
    5 predelay_ms (0 .. 200 ms), 6 modulation_depth_ms (0 .. 100 ms),
    7 modulation_rate_hz (0 .. 100 Hz), 8 drive (0 .. 1), 9 width (0 .. 2), 10 tilt_db (-24 .. 24 dB),
    11 mix (0 .. 2).
    """
    def __init__(self, sample_rate: _Int = 48000, max_predelay_ms: float = 200.0, channel_count: _Int = 2,
                 delays: Optional[Sequence[float]] = None, taps: Optional[Sequence[float]] = None) -> None: ...
    def finish(self) -> None: ...

@final
class ModalState(_Engine):
    """Bank of up to 64 decaying resonators.

    configure ids (useful ranges): 0 wet_mix (0 .. 1), 1 wet_gain (0 .. 16 times).
    """
    def __init__(self, sample_rate: _Int = 48000, channel_count: _Int = 2, modes: _Int = 8) -> None: ...
    def finish(self) -> None: ...
    def set_mode(self, index: _Int, frequency: float, decay: float, gain: float, /) -> None:
        """Mode ``index``: frequency Hz, decay s (-60 dB), linear gain."""
    def silent(self) -> bool: ...
