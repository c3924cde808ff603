"""The effect classes over numpy audio, typed: `mypy --strict` checks this
script together with the package."""

from __future__ import annotations

import numpy as np

import divavova as dv

RATE = 48000


def main() -> None:
    t = np.arange(RATE) / RATE
    audio = (0.5 * np.sin(2 * np.pi * 220 * t)).astype(np.float32)[:, None].repeat(2, axis=1)

    board = dv.Chain([dv.Compressor(threshold_db=-20, ratio=4), dv.Delay(delay_ms=300), dv.PlateReverb(mix=0.2)])
    wet: np.ndarray = board(audio, RATE, tail_s=1.0)

    limiter = dv.Limiter(threshold_db=-1.0)
    limiter.release_ms = 200.0
    streamed = [limiter.process(block, RATE) for block in np.array_split(wet, 10)]
    streamed.append(limiter.flush())
    latency: int = limiter.latency_frames

    info: dv.OptionInfo = dv.Compressor.OPTIONS["threshold_db"]
    threshold = info.parse("-18")
    effect: type[dv.Effect] = dv.EFFECTS["chorus"]
    print(info.describe(), threshold, effect.__name__, latency, sum(len(block) for block in streamed))


if __name__ == "__main__":
    main()
