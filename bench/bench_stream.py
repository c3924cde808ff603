"""Stream engines: splitter ring, waveshaper, sample-and-hold, sub-octave.

The waveshaper sits beside pedalboard's Distortion and Clipping (float32
planar audio); the int16 -> float32 -> int16 conversion a caller of those
needs is timed on its own as a separate peer column.
"""

from __future__ import annotations

import numpy as np

import _divavova as m
from harness import Row

RATE = 48000


def stereo_block(frames, seed=0):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(2 * frames) * 8000).clip(-32768, 32767).astype(np.int16).tobytes()


def shaper_peers(frames, data):
    peers = {}
    try:
        import pedalboard
    except ImportError:
        return peers
    planar = np.frombuffer(data, dtype=np.int16).reshape(frames, 2).T.astype(np.float32) / 32768.0
    distortion = pedalboard.Distortion(drive_db=12.0)
    clipping = pedalboard.Clipping(threshold_db=-6.0)
    peers["pb.Distortion"] = lambda: distortion.process(planar, RATE, reset=False)
    peers["pb.Clipping"] = lambda: clipping.process(planar, RATE, reset=False)

    def convert():
        x = np.frombuffer(data, dtype=np.int16).reshape(frames, 2).T.astype(np.float32) * (1.0 / 32768.0)
        return np.ascontiguousarray((x.T * 32768.0).clip(-32768, 32767).astype(np.int16)).tobytes()

    peers["s16<->f32"] = convert
    return peers


def rows(quick):
    out = []
    sizes = [256] if quick else [256, RATE]
    for frames in sizes:
        data = stereo_block(frames)
        label = f"stereo {frames}"

        ring = m.SplitterRing(taps=2, channel_count=2)

        def splitter(ring=ring, data=data):
            ring.write(data)
            while ring.take(0):
                pass
            while ring.take(1):
                pass

        if frames <= 8192:
            out.append(Row("SplitterRing", label + " 2 taps", frames, splitter))

        curve = np.tanh(np.linspace(-3, 3, 257)).__mul__(32767).astype(np.int16).tobytes()
        for factor in (1, 4, 16):
            shaper = m.WaveshaperState(RATE, factor, 2)
            shaper.load_curve(curve)
            shaper.configure(0, 4.0)
            shaper.finish()
            out.append(Row("WaveshaperState", f"{label} x{factor}", frames,
                           lambda s=shaper, d=data: s.process(d), shaper_peers(frames, data)))

        hold = m.SampleHoldState(3, 2)
        index = np.zeros(frames, dtype=np.intp)  # what a numpy hold does per block
        phase, held = 1, 0
        for i in range(frames):
            phase += 2
            if phase >= 3:
                held, phase = i, phase - 3
            index[i] = held
        frames_u32 = np.frombuffer(data, dtype=np.uint32)
        out.append(Row("SampleHoldState", label + " 3/2", frames, lambda h=hold, d=data: h.process(d, 4),
                       {"numpy take": lambda: frames_u32.take(index).tobytes()}))

        sub = m.SubOctaveState(RATE, 2)
        sub.configure(0, 2.0)
        out.append(Row("SubOctaveState", label, frames, lambda s=sub, d=data: s.process(d)))
    return out
