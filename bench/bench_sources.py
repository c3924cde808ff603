"""BufferOwner and RawSample: holding a caller's buffer and serving copies of it,
beside the plain memoryview / numpy ways of doing the same."""

from __future__ import annotations

import array

import numpy as np

import _divavova as m
from harness import SIZES, row, s16_noise


def rows(quick):
    out = []
    for frames in SIZES:
        for layout, channels in (("mono", 1), ("stereo", 2)):
            data = bytearray(s16_noise(frames, channels, 7))
            block = bytes(data)

            def owner(data=data):
                held = m.BufferOwner(data)
                copy = held.bytes()
                held.release()
                return copy

            out.append(row("BufferOwner", f"{layout} hold+bytes", frames, owner,
                           {"memoryview": lambda data=data: memoryview(data).tobytes()}, block))

            twice = bytearray(block * 2)    # double-buffer mode: each fetch is one half
            source = m.RawSample(array.array("h", twice), channel_count=channels, sample_rate=48000,
                                 single_buffer=False)
            view = memoryview(twice)
            half = {"i": 0}

            def slice_copy(view=view, half=half, n=len(block)):
                half["i"] ^= 1
                return bytes(view[half["i"] * n:(half["i"] + 1) * n])

            out.append(row("RawSample", f"{layout} halves", frames, lambda s=source: s._get_buffer(),
                           {"memoryview slice": slice_copy}, block))
            if channels == 2:
                one = np.frombuffer(twice, np.int16)
                out.append(row("RawSample", "stereo one channel", frames,
                               lambda s=source: s._get_buffer(True, 1),
                               {"numpy slice": lambda one=one, n=frames * 2: one[n + 1:2 * n:2].tobytes()}, block))
    return out
