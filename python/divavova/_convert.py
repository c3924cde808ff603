"""numpy audio in and out of the core's interleaved s16.

Audio arrays are int16, float32 or float64, shaped (frames,) or
(frames, channels) with 1 or 2 channels (the soundfile layout).  Floats are
full scale at 1.0: they enter the core scaled by 32768, rounded to nearest and
saturated (optionally with TPDF dither), and come back divided by 32768.
"""

from __future__ import annotations

import numbers
import operator
from typing import Any, List, NamedTuple, Optional, Tuple

import numpy as np

INT16 = np.dtype(np.int16)
FLOAT32 = np.dtype(np.float32)
FLOAT64 = np.dtype(np.float64)
FULL_SCALE = 32768.0
DITHER_SEED = 0x5EED


class Layout(NamedTuple):
    """How the caller's audio was laid out, to give the output back alike."""

    dtype: np.dtype
    two_d: bool
    channels: int

    def fill(self, out: np.ndarray, samples: np.ndarray) -> None:
        """Writes int16 frames into ``out`` (frames, channels) of this dtype."""
        if self.dtype == INT16:
            out[...] = samples
        else:
            np.multiply(samples, self.dtype.type(1.0 / FULL_SCALE), out=out)


def sample_rate_of(sample_rate: object) -> int:
    """The sample rate as an int of at least 1 (whole-valued floats accepted)."""
    if isinstance(sample_rate, bool):
        raise TypeError(f"sample_rate must be a whole number of hertz, not {sample_rate!r}")
    if isinstance(sample_rate, numbers.Real) and not isinstance(sample_rate, numbers.Integral):
        if not float(sample_rate).is_integer():
            raise TypeError(f"sample_rate must be a whole number of hertz, not {sample_rate!r}")
        sample_rate = int(float(sample_rate))
    try:
        rate = operator.index(sample_rate)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"sample_rate must be a whole number of hertz, not {sample_rate!r}") from None
    if not 1 <= rate <= 0xFFFFFFFF:
        raise ValueError(f"sample_rate must be at least 1 Hz, not {rate}")
    return rate


def channels_of(channels: object) -> int:
    if isinstance(channels, bool) or not isinstance(channels, numbers.Integral) or int(channels) not in (1, 2):
        raise ValueError(f"channels must be 1 or 2, not {channels!r}")
    return int(channels)


def audio_layout(audio: object) -> Tuple[np.ndarray, Layout]:
    """The audio as an ndarray and its layout; TypeError for another dtype,
    ValueError for a shape that is not (frames,) or (frames, 1 or 2)."""
    array = audio if isinstance(audio, np.ndarray) else np.asarray(audio)
    dtype = array.dtype
    if dtype.kind == "i" and dtype.itemsize == 2:
        dtype = INT16
    elif dtype.kind != "f" or dtype.itemsize not in (4, 8):
        raise TypeError(f"audio must be an int16, float32 or float64 array, not {array.dtype}")
    else:
        dtype = FLOAT32 if dtype.itemsize == 4 else FLOAT64
    if array.ndim == 1:
        return array, Layout(dtype, False, 1)
    if array.ndim == 2 and array.shape[1] in (1, 2):
        return array, Layout(dtype, True, array.shape[1])
    if array.ndim == 2 and array.shape[0] in (1, 2) and array.shape[1] > 2:
        raise ValueError(f"audio of shape {array.shape} has its channels first; this layer takes (frames, channels) "
                         f"as soundfile does: pass audio.T")
    if array.ndim == 2:
        raise ValueError(f"audio of shape {array.shape} has {array.shape[1]} channels; "
                         f"mono (frames,) or (frames, 1) and stereo (frames, 2) are supported")
    raise ValueError(f"audio must have shape (frames,) or (frames, channels), not {array.shape}")


def dither_noise(rng: np.random.Generator, shape: Tuple[int, ...]) -> np.ndarray:
    """TPDF noise of +-1 LSB peak, drawn frame by frame so that a stream cut
    into blocks gets the same noise as one block."""
    pairs = rng.random(shape + (2,))
    return pairs[..., 0] - pairs[..., 1]


def to_int16(audio: object, *, dither: bool = False, rng: Optional[np.random.Generator] = None) -> np.ndarray:
    """Audio as C-contiguous int16 of the same shape.

    Floats are scaled by 32768, rounded to nearest and saturated; with
    ``dither`` a triangular (TPDF) noise of +-1 LSB is added before rounding,
    from ``rng`` (a fixed seed when None).  NaN becomes 0.
    """
    array, layout = audio_layout(audio)
    return _int16(array, layout, dither, rng)


def _int16(array: np.ndarray, layout: Layout, dither: bool, rng: Optional[np.random.Generator]) -> np.ndarray:
    if layout.dtype == INT16:
        return np.ascontiguousarray(array, dtype=INT16)
    scaled = np.multiply(array, layout.dtype.type(FULL_SCALE), dtype=layout.dtype)
    if dither:
        scaled += dither_noise(rng if rng is not None else np.random.default_rng(DITHER_SEED), array.shape)
    np.rint(scaled, out=scaled)
    np.clip(scaled, -32768, 32767, out=scaled)
    if np.isnan(scaled.sum()):   # clipped, the samples sum to NaN only if one is NaN
        scaled[np.isnan(scaled)] = 0
    out: np.ndarray = scaled.astype(INT16)
    return out


def from_int16(samples: np.ndarray, dtype: object) -> np.ndarray:
    """int16 samples as ``dtype`` (int16 unchanged; floats divided by 32768)."""
    samples = np.asarray(samples, dtype=INT16)
    layout = Layout(np.dtype(dtype), True, 1)  # type: ignore[call-overload]
    out = np.empty(samples.shape, layout.dtype)
    layout.fill(out, samples)
    return out


def int16_frames(array: np.ndarray, layout: Layout, dither: bool,
                 rng: Optional[np.random.Generator]) -> np.ndarray:
    """Checked audio as C-contiguous int16 frames (frames, channels)."""
    return _int16(array, layout, dither, rng).reshape(-1, layout.channels)


def split_channels(block: Any, channels: int) -> List[Any]:
    """Interleaved s16 frames as one contiguous buffer per channel."""
    if channels == 1:
        return [block]
    frames = np.frombuffer(block, INT16).reshape(-1, channels)
    return [np.ascontiguousarray(frames[:, channel]) for channel in range(channels)]


def join_channels(parts: List[bytes]) -> bytes:
    """One s16 buffer per channel, interleaved."""
    if len(parts) == 1:
        return parts[0]
    frames = np.empty((len(parts[0]) // 2, len(parts)), INT16)
    for channel, part in enumerate(parts):
        frames[:, channel] = np.frombuffer(part, INT16)
    return frames.tobytes()
