"""Rows for the stateless s16 buffer utilities."""

import warnings

import _divavova as m
from harness import Row

try:
    import numpy as np
except ImportError:  # pragma: no cover
    np = None
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    try:
        import audioop
    except ImportError:  # pragma: no cover
        audioop = None


def _signal(frames, channels, seed):
    if np is not None:
        rng = np.random.default_rng(seed)
        return rng.integers(-32768, 32767, frames * channels, dtype=np.int16).tobytes()
    import random
    rnd = random.Random(seed)
    return bytes(rnd.getrandbits(8) for _ in range(frames * channels * 2))


def rows(quick):
    out = []
    for frames, label in ((256, "256"), (48000, "1 s")):
        mono_a, mono_b = _signal(frames, 1, 1), _signal(frames, 1, 2)
        st_a, st_b = _signal(frames, 2, 3), _signal(frames, 2, 4)

        peers = {}
        if audioop:
            peers["audioop.add"] = lambda: audioop.add(st_a, st_b, 2)
        if np is not None:
            peers["numpy"] = lambda: np.clip(np.frombuffer(st_a, np.int16).astype(np.int32)
                                             + np.frombuffer(st_b, np.int16), -32768, 32767).astype(np.int16).tobytes()
        out.append(Row("mix_s16", f"stereo {label}", frames, lambda: m.mix_s16(st_a, st_b), peers))

        peers = {}
        if audioop:
            peers["audioop.tomono"] = lambda: audioop.tomono(st_a, 2, 0.5, 0.5)
        if np is not None:
            peers["numpy"] = lambda: ((np.frombuffer(st_a, np.int16).reshape(-1, 2).astype(np.int32).sum(1)) // 2
                                      ).astype(np.int16).tobytes()
        out.append(Row("remix_s16 2->1", label, frames, lambda: m.remix_s16(st_a, 2, 1), peers))

        peers = {}
        if audioop:
            peers["audioop.tostereo"] = lambda: audioop.tostereo(mono_a, 2, 1, 1)
        if np is not None:
            peers["numpy"] = lambda: np.repeat(np.frombuffer(mono_a, np.int16), 2).tobytes()
        out.append(Row("remix_s16 1->2", label, frames, lambda: m.remix_s16(mono_a, 1, 2), peers))

        peers = {}
        if audioop:
            peers["audioop.mul"] = lambda: audioop.mul(st_a, 2, 0.5)
        if np is not None:
            peers["numpy"] = lambda: np.clip((np.frombuffer(st_a, np.int16).astype(np.int32)
                                              * np.frombuffer(st_b, np.int16)) >> 15, -32768, 32767
                                             ).astype(np.int16).tobytes()
        out.append(Row("multiply_s16", f"stereo {label}", frames, lambda: m.multiply_s16(st_a, st_b, 1.0), peers))

        peers = {}
        if np is not None:
            def numpy_midside():
                x = np.frombuffer(st_a, np.int16).reshape(-1, 2).astype(np.int32)
                total, side = x[:, 0] + x[:, 1], ((x[:, 0] - x[:, 1]) * 24576) >> 14
                return np.clip(np.stack([(total + side + 1) >> 1, (total - side + 1) >> 1], 1),
                               -32768, 32767).astype(np.int16).tobytes()
            peers["numpy"] = numpy_midside
        out.append(Row("midside_s16", f"stereo {label}", frames, lambda: m.midside_s16(st_a, 1.5), peers))
    return out
