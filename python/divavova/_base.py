"""The effect protocol every class of the package implements.

An effect holds its options (checked attributes), and once prepared for a
sample rate and channel count, the core state that runs the stream.  Between
the caller's arrays and that state the audio is interleaved s16.
"""

from __future__ import annotations

import inspect
import math
from types import MappingProxyType
from typing import Any, Callable, ClassVar, Dict, Iterable, Mapping, Optional, Set, Tuple

import numpy as np

from divavova._convert import DITHER_SEED, INT16, Layout, audio_layout, channels_of, int16_frames, sample_rate_of
from divavova._options import Option, OptionInfo

TAIL_CAP_S = 30.0      # tail_frames never reports more than this many seconds
CHUNK_FRAMES = 1 << 20  # long signals run in chunks of about 20 s: each stage keeps its state in cache for a
                       # whole chunk, and the conversions never copy more than a chunk

USAGE = """\
Calling:
    effect(audio, sample_rate, reset=True, tail_s=0.0, dither=False)
        processes a whole signal from fresh state: the output has the input's
        dtype and shape and is aligned with it (latency removed); tail_s
        seconds of output are appended after the input (None: the effect's
        own tail, tail_frames), for reverb and delay tails.
    effect.process(audio, sample_rate, reset=False, dither=False)
        streams: state carries over from call to call, and the output of a
        stream cut into blocks of any sizes is the same, byte for byte, as of
        one block; the output shows the latency, as a real-time stream must.
    effect.flush()
        the rest of a stream after its last block: latency_frames +
        tail_frames frames of output made from silence.
Audio is an int16, float32 or float64 array of shape (frames,) or (frames,
channels), 1 or 2 channels.  Floats are full scale at 1.0: they are scaled by
32768, rounded and saturated to 16 bits (dither=True adds TPDF dither first),
and the output is divided by 32768 again.
Options are keyword arguments and attributes; a change applies at the next
call and keeps the state (except where the option says it restarts).
"""


class StreamState:
    """What the streaming calls update on every block, kept apart from the
    effect so that the effect's attribute check stays off that path."""

    __slots__ = ("clock", "last", "layouts")

    def __init__(self) -> None:
        self.clock = 0                      # frames since prepare: the control clock of modulation
        self.last: Optional[Layout] = None  # layout of the last block (for flush)
        self.layouts: Tuple[Layout, ...] = ()


class Effect:
    """Base of every effect and of Chain.

    ``OPTIONS`` maps each option name to its ``OptionInfo``, in order.
    ``NAME`` is the command-line name of the effect.
    """

    OPTIONS: ClassVar[Mapping[str, OptionInfo]] = MappingProxyType({})
    NAME: ClassVar[str] = ""
    STREAMS: ClassVar[bool] = True   # False: whole signals only (process refuses)
    _FIXED: ClassVar[Mapping[str, object]] = {}   # values of options a subclass takes away
    _NOTES: ClassVar[str] = ""       # extra paragraphs for the class docstring

    _values: Dict[str, Any]

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        options: Dict[str, OptionInfo] = {}
        for klass in reversed(cls.__mro__):
            for name, attribute in vars(klass).items():
                if isinstance(attribute, Option):
                    options[name] = attribute.info
                elif name in options:
                    del options[name]   # a subclass took the option away
        cls.OPTIONS = MappingProxyType(options)
        cls.__doc__ = _class_doc(cls)
        cls.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
            [inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=info.default,
                               annotation={"float": float, "int": int, "bool": bool, "choice": str}[info.kind])
             for name, info in options.items()])

    def __init__(self, **options: object) -> None:
        values: Dict[str, Any] = dict(self._FIXED)
        values.update((name, info.default) for name, info in self.OPTIONS.items())
        owner = type(self).__name__
        for name, value in options.items():
            info = self.OPTIONS.get(name)
            if info is None:
                known = ", ".join(self.OPTIONS) or "none"
                raise TypeError(f"{owner}() has no option {name!r} (options: {known})")
            values[name] = info.check(value, owner)
        object.__setattr__(self, "_values", values)
        self._check_options()
        self._pending: Set[str] = set()
        self._rate = 0
        self._channels = 0
        self._io = StreamState()
        self._rng: Optional[np.random.Generator] = None
        self._kernel: Optional[Callable[[Any], bytes]] = None   # a _run that only calls this, where one does
        self._fast: Optional[Tuple[Any, ...]] = None   # what process() needs for its int16 shortcut, when it may

    # --- options -----------------------------------------------------------

    def __setattr__(self, name: str, value: object) -> None:
        if not name.startswith("_") and not hasattr(type(self), name):
            raise AttributeError(f"{type(self).__name__} has no option {name!r} "
                                 f"(options: {', '.join(self.OPTIONS) or 'none'})")
        object.__setattr__(self, name, value)

    def _set_option(self, name: str, value: object) -> None:
        info = self.OPTIONS[name]
        owner = type(self).__name__
        checked = info.check(value, owner)
        if self._rate:
            info.check_rate(checked, self._rate, owner)
        old = self._values[name]
        self._values[name] = checked
        try:
            self._check_options()
            if self._rate:
                self._check_format(self._rate, self._channels)
        except ValueError:
            self._values[name] = old
            raise
        if checked != old:
            self._pending.add(name)
            self._fast = None

    def _check_options(self) -> None:
        """ValueError for options that do not fit together (a hook)."""

    def _check_format(self, sample_rate: int, channels: int) -> None:
        """ValueError for options that do not fit the stream format (a hook)."""

    def __repr__(self) -> str:
        settings = ", ".join(f"{name}={self._values[name]!r}" for name in self.OPTIONS)
        return f"{type(self).__name__}({settings})"

    # --- format and state --------------------------------------------------

    def prepare(self, sample_rate: int, channels: int) -> None:
        """Sets the effect up for this stream format with fresh state.

        ValueError where an option does not fit the rate (a frequency at or
        above half the rate, say) or the channel count."""
        rate, count = sample_rate_of(sample_rate), channels_of(channels)
        owner = type(self).__name__
        for name, info in self.OPTIONS.items():
            info.check_rate(self._values[name], rate, owner)
        self._check_format(rate, count)
        restart = any(self.OPTIONS[name].restarts for name in self._pending)
        same = (rate, count) == (self._rate, self._channels) and not restart
        self._rate, self._channels = rate, count
        try:
            if same:
                if self._pending:
                    self._apply(self._pending)
                self._reset()
            else:
                self._build(rate, count)
        except BaseException:
            self._rate = self._channels = 0   # nothing half-built is used
            raise
        self._pending = set()
        self._io.clock = 0
        self._io.layouts = (Layout(INT16, False, count), Layout(INT16, True, count))
        self._rng = None
        self._arm()

    def _arm(self) -> None:
        """Allows process() its shortcut for int16 blocks of the prepared format
        (not while option changes wait, nor for effects that change the
        channels or need whole signals)."""
        count = self._channels
        ready = not self._pending and self._streams() and self.output_channels(count) == count
        self._fast = (self._rate, count, self._kernel, self._io) if ready else None

    def output_channels(self, channels: int) -> int:
        """Channels of the output for an input of ``channels`` (ToMono and
        ToStereo change them; every other effect keeps them)."""
        return channels

    @property
    def sample_rate(self) -> int:
        """The rate the effect is prepared for (0 before its first use)."""
        return self._rate

    @property
    def channels(self) -> int:
        """The channel count the effect is prepared for (0 before its first use)."""
        return self._channels

    @property
    def latency_frames(self) -> int:
        """Frames by which a stream's output lags its input (valid once prepared)."""
        self._require_prepared()
        return self._latency()

    @property
    def tail_frames(self) -> int:
        """Frames of output after the input ends until it has decayed below
        -60 dB (an estimate, at most 30 s; 0 without a tail; valid once prepared)."""
        self._require_prepared()
        return min(self._tail(), int(TAIL_CAP_S * self._rate))

    def _require_prepared(self) -> None:
        if not self._rate:
            raise RuntimeError(f"{type(self).__name__} is not prepared yet: call prepare(sample_rate, channels) "
                               f"or process audio first")

    # --- processing --------------------------------------------------------

    def process(self, audio: object, sample_rate: int, *, reset: bool = False, dither: bool = False) -> np.ndarray:
        """Streams one block: see the class documentation."""
        fast = self._fast
        if fast is not None and type(audio) is np.ndarray and audio.dtype is INT16 and not reset:
            rate, channels, kernel, io = fast
            shape = audio.shape
            if (sample_rate == rate and audio.flags.c_contiguous
                    and ((len(shape) == 2 and shape[1] == channels) or (len(shape) == 1 and channels == 1))):
                io.last = io.layouts[len(shape) - 1]
                out = kernel(audio) if kernel is not None else self._run(audio, shape[0])
                io.clock += shape[0]
                return np.ndarray(shape, INT16, bytearray(out))   # writable, as every result
        self._refuse_streaming()
        array, layout = self._take(audio, sample_rate, reset)
        return self._pass(array, layout, dither, 0, 0)

    def __call__(self, audio: object, sample_rate: int, *, reset: bool = True, tail_s: Optional[float] = 0.0,
                 dither: bool = False) -> np.ndarray:
        """Processes a whole signal: see the class documentation."""
        if not reset:
            self._refuse_streaming()
        array, layout = self._take(audio, sample_rate, reset)
        latency = self._latency() if reset else 0
        if tail_s is None:
            tail = self.tail_frames
        elif isinstance(tail_s, (int, float)) and math.isfinite(tail_s) and tail_s >= 0:
            tail = round(tail_s * self._rate)
        else:
            raise ValueError(f"tail_s must be a number of seconds of at least 0 (or None), not {tail_s!r}")
        return self._pass(array, layout, dither, latency, latency + tail)

    def flush(self) -> np.ndarray:
        """The rest of a stream after its last block (dtype and layout of that block)."""
        last = self._io.last
        if last is None:
            raise RuntimeError(f"{type(self).__name__}.flush() follows a processed block")
        count = self.latency_frames + self.tail_frames
        silence = np.zeros((0, self._channels), INT16)
        return self._pass(silence, last._replace(channels=self._channels), False, 0, count, last.dtype)

    def _take(self, audio: object, sample_rate: int, reset: bool) -> Tuple[np.ndarray, Layout]:
        """The checked audio and its layout, the effect prepared for its format."""
        rate = sample_rate_of(sample_rate)
        array, layout = audio_layout(audio)
        if reset or rate != self._rate or layout.channels != self._channels:
            self.prepare(rate, layout.channels)
        return array, layout

    def _pass(self, array: np.ndarray, layout: Layout, dither: bool, skip: int, extra: int,
              dtype: Optional[np.dtype] = None) -> np.ndarray:
        """Streams the audio and then ``extra`` frames of silence in chunks
        (whole, for an effect that needs the whole signal), dropping the first
        ``skip`` frames of output; the output in the caller's layout."""
        if dither and self._rng is None:
            self._rng = np.random.default_rng(DITHER_SEED)
        frames, total = len(array), len(array) + extra
        last = self._io.last = layout._replace(dtype=dtype or layout.dtype,
                                               channels=self.output_channels(layout.channels))
        out = np.empty((total - skip, last.channels), last.dtype)
        step = CHUNK_FRAMES if self._streams() else max(1, total)
        for start in range(0, total, step):
            stop = min(total, start + step)
            if stop <= frames:
                block = int16_frames(array[start:stop], layout, dither, self._rng)
            else:
                block = np.zeros((stop - start, layout.channels), INT16)
                if start < frames:
                    block[:frames - start] = int16_frames(array[start:], layout, dither, self._rng)
            result = self._frames(self._stream(block, stop - start))
            dropped = max(0, skip - start)
            if dropped < len(result):
                last.fill(out[start + dropped - skip:stop - skip], result[dropped:])
        return out.reshape(-1) if not last.two_d and last.channels == 1 else out

    def _refuse_streaming(self) -> None:
        if not self._streams():
            raise TypeError(f"{type(self).__name__} works on whole signals only: call it as "
                            f"effect(audio, sample_rate) with reset=True")

    def _streams(self) -> bool:
        return self.STREAMS

    def _frames(self, out: bytes) -> np.ndarray:
        """Core output as int16 frames (frames, channels) of the output format."""
        return np.frombuffer(out, INT16).reshape(-1, self.output_channels(self._channels))

    def _stream(self, block: Any, frames: int) -> bytes:
        """Runs interleaved s16 frames of the prepared format through the state."""
        if self._pending:
            self._update()
            self._arm()
        out = self._run(block, frames)
        self._io.clock += frames
        return out

    def _update(self) -> None:
        pending, self._pending = self._pending, set()
        if any(self.OPTIONS[name].restarts for name in pending):
            self._build(self._rate, self._channels)
        else:
            self._apply(pending)

    # --- what each effect provides ----------------------------------------

    def _build(self, sample_rate: int, channels: int) -> None:
        """Makes fresh core state for this format from the current options."""
        raise NotImplementedError

    def _apply(self, names: Set[str]) -> None:
        """Hands changed options to the core state, keeping its history."""
        self._build(self._rate, self._channels)

    def _reset(self) -> None:
        """Clears the running state, keeping the format and the settings."""
        self._build(self._rate, self._channels)

    def _run(self, block: Any, frames: int) -> bytes:
        """Processes ``frames`` interleaved s16 frames (a buffer) and returns as many."""
        raise NotImplementedError

    def _latency(self) -> int:
        return 0

    def _tail(self) -> int:
        return 0


def _class_doc(cls: type) -> str:
    own = inspect.cleandoc(vars(cls).get("__doc__") or "")
    parts = [own]
    options: Mapping[str, OptionInfo] = getattr(cls, "OPTIONS")
    if options:
        lines = ["Options (keyword arguments; also settable attributes):"]
        lines += [f"    {info.describe()}" for info in options.values()]
        parts.append("\n".join(lines))
    notes = vars(cls).get("_NOTES")
    if notes:
        parts.append(inspect.cleandoc(notes))
    name = getattr(cls, "NAME", "")
    if name:
        parts.append(f"Command-line name: {name}.  " + USAGE)
    return "\n\n".join(part for part in parts if part)


def frames_for(seconds: float, sample_rate: int) -> int:
    return max(0, int(round(seconds * sample_rate)))


def all_effects(effects: Iterable[Effect]) -> Iterable[Effect]:
    """The effects and, for chains among them, their members, depth first."""
    for effect in effects:
        yield effect
        members = getattr(effect, "_effects", None)
        if members is not None:
            yield from all_effects(members)
