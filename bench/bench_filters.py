"""Filter and delay engines (stereo s16) beside scipy.signal.lfilter and pedalboard.

Peers work on float arrays; the "+s16" columns add the int16 <-> float32
conversion a caller with s16 blocks pays around them.
"""

from __future__ import annotations

import numpy as np

import _divavova as m
from harness import Row

RATE = 48000


def _block(frames: int) -> bytes:
    rng = np.random.default_rng(1)
    return rng.integers(-12000, 12000, frames * 2, dtype=np.int16).tobytes()


def _planar(data: bytes) -> np.ndarray:
    return np.frombuffer(data, dtype=np.int16).reshape(-1, 2).T.astype(np.float32) / 32768.0


def _back_to_s16(y: np.ndarray) -> bytes:
    return np.clip(np.rint(y.T * 32768.0), -32768, 32767).astype(np.int16).tobytes()


def _pedalboard_peers(make, data: bytes, frames: int) -> dict:
    """Plain and with-conversion columns for one pedalboard plugin, or none."""
    try:
        plugin = make()
    except Exception:  # pedalboard not installed or the plugin missing
        return {}
    x = _planar(data)
    plugin.process(x, RATE, buffer_size=frames, reset=False)

    def plain():
        return plugin.process(x, RATE, buffer_size=frames, reset=False)

    def with_s16():
        return _back_to_s16(plugin.process(_planar(data), RATE, buffer_size=frames, reset=False))

    return {"pedalboard": plain, "pedalboard+s16": with_s16}


def _pedalboard(name: str, **kwargs):
    def make():
        import pedalboard

        return getattr(pedalboard, name)(**kwargs)

    return make


def _lfilter_peers(coefficients, data: bytes) -> dict:
    try:
        import scipy.signal
    except ImportError:
        return {}
    b, a = list(coefficients[:3]), [1.0, coefficients[3], coefficients[4]]
    x = _planar(data)
    zi = np.zeros((2, 2))

    def plain():
        y, zi[:] = scipy.signal.lfilter(b, a, x, axis=1, zi=zi)
        return y

    def with_s16():
        y, zi[:] = scipy.signal.lfilter(b, a, _planar(data), axis=1, zi=zi)
        return _back_to_s16(y)

    return {"lfilter": plain, "lfilter+s16": with_s16}


def rows(quick: bool) -> list[Row]:
    out = []
    for frames in (256, RATE):
        data = _block(frames)
        variant = f"stereo {frames}"

        delay = m.FeedbackDelayState(RATE, 500.0, 2)
        delay.configure(0, 125.0)
        delay.finish()
        out.append(Row("FeedbackDelayState", variant, frames, lambda d=delay, x=data: d.process(x),
                       _pedalboard_peers(_pedalboard("Delay", delay_seconds=0.125, feedback=0.4, mix=0.3),
                                         data, frames)))

        modulated = m.FeedbackDelayState(RATE, 500.0, 2)
        for option, value in ((0, 125.0), (3, 6000.0), (4, 80.0), (5, 0.5), (6, 3.0), (7, 0.5), (8, 0.5),
                              (11, 0.3), (12, 5.0)):
            modulated.configure(option, value)
        modulated.finish()
        out.append(Row("FeedbackDelayState", f"{variant} all on", frames,
                       lambda d=modulated, x=data: d.process(x)))

        low_pass = m.BiquadF32State(RATE, 2)
        low_pass.finish()
        peers = _lfilter_peers(low_pass.coefficients(), data)
        peers.update(_pedalboard_peers(_pedalboard("LowpassFilter", cutoff_frequency_hz=1000.0), data, frames))
        out.append(Row("BiquadF32State", f"{variant} low-pass", frames, lambda b=low_pass, x=data: b.process(x),
                       peers))

        peak = m.BiquadF32State(RATE, 2)
        for option, value in ((0, 4), (1, 1000.0), (2, 1.0), (3, 6.0)):
            peak.configure(option, value)
        peak.finish()
        out.append(Row("BiquadF32State", f"{variant} peaking", frames, lambda b=peak, x=data: b.process(x),
                       _pedalboard_peers(_pedalboard("PeakFilter", cutoff_frequency_hz=1000.0, gain_db=6.0, q=1.0),
                                         data, frames)))

        allpass = m.AllPassF32State(RATE, 2, 4)
        allpass.configure(1, 0.5)
        allpass.configure(2, 0.5)
        allpass.finish()
        out.append(Row("AllPassF32State", f"{variant} 4 stages", frames, lambda a=allpass, x=data: a.process(x),
                       _pedalboard_peers(_pedalboard("Phaser", feedback=0.5, mix=0.5), data, frames)))

        ladder = m.LadderState(RATE, 2)
        ladder.configure(1, 2.0)
        out.append(Row("LadderState", f"{variant} 2x", frames, lambda lad=ladder, x=data: lad.process(x),
                       _pedalboard_peers(_pedalboard("LadderFilter", cutoff_hz=1000.0, resonance=0.5), data,
                                         frames)))
        ladder1 = m.LadderState(RATE, 2)
        ladder1.configure(1, 2.0)
        ladder1.configure(5, 1.0)
        # pedalboard's ladder runs at the stream rate: this is the like-for-like row.
        out.append(Row("LadderState", f"{variant} 1x", frames, lambda lad=ladder1, x=data: lad.process(x),
                       _pedalboard_peers(_pedalboard("LadderFilter", cutoff_hz=1000.0, resonance=0.5), data,
                                         frames)))
    return out
