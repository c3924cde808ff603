"""Stream engines: splitter ring, waveshaper, sample-and-hold, sub-octave.

The waveshaper sits beside pedalboard's Distortion and Clipping; the
sample-and-hold beside the numpy gather that holds frames the same way.
"""

from __future__ import annotations

import numpy as np

import _divavova as m
from harness import RATE, SIZES, pedalboard, pedalboard_peers, row, s16_noise


def _splitter(frames, layout, channels, data):
    ring = m.SplitterRing(taps=2, channel_count=channels)
    write = data[:min(frames, 8192) * 2 * channels]     # a write holds at most one ring

    def run():
        ring.write(write)
        while ring.take(0):
            pass
        while ring.take(1):
            pass

    return row("SplitterRing", f"{layout} 2 taps", min(frames, 8192), run, {}, write)


def _hold_index(frames, num=3, den=2):
    index = np.zeros(frames, dtype=np.intp)
    phase, held = 1, 0
    for i in range(frames):
        phase += den
        if phase >= num:
            held, phase = i, phase - num
        index[i] = held
    return index


def rows(quick):
    out = []
    curve = (np.tanh(np.linspace(-3, 3, 257)) * 32767).astype(np.int16).tobytes()
    for frames in SIZES:
        for layout, channels in (("stereo", 2), ("mono", 1)):
            data = s16_noise(frames, channels, 31, 8000)
            out.append(_splitter(frames, layout, channels, data))

            # A curve through a table beside pedalboard's curve shaper (tanh);
            # the hard clip (no curve loaded) beside pedalboard's hard clip.
            # Both at the engine's oversampling factor, which pedalboard does
            # not do (its plugins run at the stream rate).
            shaper_peers = pedalboard_peers(lambda: pedalboard.Distortion(drive_db=12.0), data, channels)
            clipping = pedalboard_peers(lambda: pedalboard.Clipping(threshold_db=-6.0), data, channels)
            clipping = {name.replace("pedalboard", "pb.Clipping"): fn for name, fn in clipping.items()}
            for factor in (1, 4, 16) if channels == 2 else (4,):
                shaper = m.WaveshaperState(RATE, factor, channels)
                shaper.load_curve(curve)
                shaper.configure(0, 4.0)
                shaper.finish()
                out.append(row("WaveshaperState", f"{layout} x{factor} curve", frames,
                               lambda s=shaper, d=data: s.process(d), shaper_peers, data))
            for factor in (1, 4) if channels == 2 else (4,):
                shaper = m.WaveshaperState(RATE, factor, channels)
                shaper.configure(0, 2.0)  # hard clip at half scale, as Clipping at -6 dB
                out.append(row("WaveshaperState", f"{layout} x{factor} hard clip", frames,
                               lambda s=shaper, d=data: s.process(d), clipping, data))

            hold = m.SampleHoldState(3, 2)
            frame_bytes = 2 * channels
            frames_view = np.frombuffer(data, dtype=np.uint32 if channels == 2 else np.uint16)
            index = _hold_index(frames)
            out.append(row("SampleHoldState", f"{layout} 3/2", frames,
                           lambda h=hold, d=data, f=frame_bytes: h.process(d, f),
                           {"numpy take": lambda v=frames_view, i=index: v.take(i).tobytes()}, data))

            sub = m.SubOctaveState(RATE, channels)
            sub.configure(0, 2.0)
            out.append(row("SubOctaveState", layout, frames, lambda s=sub, d=data: s.process(d), {}, data))
    return out
