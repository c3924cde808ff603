"""Impulse and magnitude response plots of the linear effects (needs
matplotlib: ``pip install 'divavova[plot]'``).

The impulse response is long enough for the effect by default: its latency
and its tail (the frames its output takes to decay to -60 dB, which covers
a delay's echoes and a reverb's decay), at least 8192 frames.  The magnitude is
drawn faint as computed and, over it, smoothed in 1/12-octave bands.
"""

from __future__ import annotations

from typing import Optional

import numpy as np

from divavova import audiofile
from divavova._base import Effect

# effects whose impulse response describes them (the ladder at low drive)
LINEAR = {"biquad", "lowpass", "highpass", "bandpass", "notch", "peak", "lowshelf", "highshelf", "synthbiquad",
          "allpass", "ladder", "tank", "modal", "convolver", "delay", "echo", "multitap", "freeverb", "gain"}
IMPULSE_LEVEL = 8192          # an impulse at -12 dBFS keeps the nonlinear stages gentle
MIN_FRAMES, MAX_FRAMES = 16, 1 << 24
SMOOTHING_OCTAVES = 1 / 12


def impulse_frames(effect: Effect) -> int:
    """Latency plus tail of a prepared effect, at least 8192 frames."""
    return min(MAX_FRAMES, max(8192, effect.latency_frames + effect.tail_frames + 1))


def impulse_response(effect: Effect, rate: int, frames: Optional[int] = None) -> np.ndarray:
    """The effect's aligned mono response to an impulse at frame 0, in full-scale units."""
    effect.prepare(rate, 1)                # checks the effect's frequencies against the rate
    frames = frames or impulse_frames(effect)
    impulse = np.zeros(frames, dtype=np.int16)
    impulse[0] = IMPULSE_LEVEL
    out: np.ndarray = effect(impulse, rate).astype(np.float64) / IMPULSE_LEVEL
    return out


def smoothed(freqs: np.ndarray, power: np.ndarray, octaves: float = SMOOTHING_OCTAVES) -> np.ndarray:
    """Mean power in the band of ``octaves`` centred on every frequency."""
    total = np.concatenate([[0.0], np.cumsum(power)])
    low = np.searchsorted(freqs, freqs * 2 ** (-octaves / 2), "left")
    high = np.maximum(np.searchsorted(freqs, freqs * 2 ** (octaves / 2), "right"), low + 1)
    mean: np.ndarray = (total[high] - total[low]) / (high - low)
    return mean


def plot(name: str, effect: Effect, png: str, *, rate: int = 48000, frames: Optional[int] = None,
         title: Optional[str] = None) -> None:
    """Writes the response of ``effect`` (named ``name`` on the command line)
    to ``png``.  Raises ValueError for a nonlinear effect, a rate or length
    out of range or a rate the effect's frequencies do not fit, and
    AudioFileError when the file cannot be written or matplotlib is absent."""
    if name not in LINEAR:
        raise ValueError(f"{name} is not linear; an impulse response does not describe it")
    if not 1000 <= rate <= 768000:
        raise ValueError(f"--rate must be 1000 to 768000 Hz, not {rate}")
    if frames is not None and not MIN_FRAMES <= frames <= MAX_FRAMES:
        raise ValueError(f"--frames must be {MIN_FRAMES} to {MAX_FRAMES}, not {frames}")
    response = impulse_response(effect, rate, frames)
    try:
        # matplotlib is optional (the "plot" extra): type-checked where installed
        import matplotlib  # type: ignore[import-not-found, unused-ignore]
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        raise audiofile.AudioFileError(
            f"{png}: plotting needs matplotlib: pip install 'divavova[plot]' (or pip install matplotlib)") from None
    freqs = np.fft.rfftfreq(len(response), 1 / rate)[1:]
    power = np.abs(np.fft.rfft(response))[1:] ** 2
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6.5))
    top.plot(np.arange(len(response)) / rate * 1000, response, linewidth=0.7)
    top.set_xlabel("time (ms)")
    top.set_ylabel("impulse response")
    top.grid(True, alpha=0.3)
    floor = 1e-12
    bottom.semilogx(freqs, 10 * np.log10(np.maximum(power, floor)), linewidth=0.5, alpha=0.25, color="C0",
                    label="raw")
    bottom.semilogx(freqs, 10 * np.log10(np.maximum(smoothed(freqs, power), floor)), linewidth=1.2, color="C0",
                    label="1/12-octave smoothed")
    bottom.set_xlim(max(10.0, freqs[0]), rate / 2)
    bottom.set_xlabel("frequency (Hz)")
    bottom.set_ylabel("magnitude (dB)")
    bottom.grid(True, which="both", alpha=0.3)
    bottom.legend(loc="lower left")
    figure.suptitle(title or f"{name} at {rate} Hz")
    figure.tight_layout()
    with audiofile.atomic_path(png, suffix=".png.part") as temporary:
        figure.savefig(temporary, format="png", dpi=100)
    plt.close(figure)
