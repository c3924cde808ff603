"""The stateless s16 buffer utilities beside audioop and numpy."""

from __future__ import annotations

import numpy as np

import _divavova as m
from harness import SIZES, audioop, row, s16_noise


def _numpy_mix(a, b):
    return np.clip(np.frombuffer(a, np.int16).astype(np.int32) + np.frombuffer(b, np.int16),
                   -32768, 32767).astype(np.int16).tobytes()


def _numpy_multiply(a, b):
    return np.clip((np.frombuffer(a, np.int16).astype(np.int32) * np.frombuffer(b, np.int16)) >> 15,
                   -32768, 32767).astype(np.int16).tobytes()


def _numpy_midside(a):
    x = np.frombuffer(a, np.int16).reshape(-1, 2).astype(np.int32)
    total, side = x[:, 0] + x[:, 1], ((x[:, 0] - x[:, 1]) * 24576) >> 14
    return np.clip(np.stack([(total + side + 1) >> 1, (total - side + 1) >> 1], 1),
                   -32768, 32767).astype(np.int16).tobytes()


def rows(quick):
    out = []
    for frames in SIZES:
        mono_a, mono_b = s16_noise(frames, 1, 1, 16000), s16_noise(frames, 1, 2, 16000)
        st_a, st_b = s16_noise(frames, 2, 3, 16000), s16_noise(frames, 2, 4, 16000)

        peers = {"numpy": lambda a=st_a, b=st_b: _numpy_mix(a, b)}
        if audioop:
            peers["audioop.add"] = lambda a=st_a, b=st_b: audioop.add(a, b, 2)
        out.append(row("mix_s16", "stereo", frames, lambda a=st_a, b=st_b: m.mix_s16(a, b), peers, st_a))

        peers = {"numpy": lambda a=st_a: (np.frombuffer(a, np.int16).reshape(-1, 2).astype(np.int32).sum(1) // 2
                                         ).astype(np.int16).tobytes()}
        if audioop:
            peers["audioop.tomono"] = lambda a=st_a: audioop.tomono(a, 2, 0.5, 0.5)
        out.append(row("remix_s16", "stereo->mono", frames, lambda a=st_a: m.remix_s16(a, 2, 1), peers, st_a))

        peers = {"numpy": lambda a=mono_a: np.repeat(np.frombuffer(a, np.int16), 2).tobytes()}
        if audioop:
            peers["audioop.tostereo"] = lambda a=mono_a: audioop.tostereo(a, 2, 1, 1)
        out.append(row("remix_s16", "mono->stereo", frames, lambda a=mono_a: m.remix_s16(a, 1, 2), peers, mono_a))

        for layout, channels, a, b in (("stereo", 2, st_a, st_b), ("mono", 1, mono_a, mono_b)):
            peers = {"numpy": lambda a=a, b=b: _numpy_multiply(a, b)}
            if audioop:   # a constant gain: less work than a sample-by-sample product
                peers["audioop.mul"] = lambda a=a: audioop.mul(a, 2, 0.5)
            out.append(row("multiply_s16", layout, frames, lambda a=a, b=b, c=channels: m.multiply_s16(a, b, 1.0, c),
                           peers, a))

        out.append(row("midside_s16", "stereo", frames, lambda a=st_a: m.midside_s16(a, 1.5),
                       {"numpy": lambda a=st_a: _numpy_midside(a)}, st_a))
        out.append(row("midside_s16", "mono (copy)", frames, lambda a=mono_a: m.midside_s16(a, 1.5, 1), {}, mono_a))
    return out
