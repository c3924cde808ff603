"""The Python API: its cost over calling the core, and a chain beside pedalboard.

    python bench/bench_api.py [--quick] [--rounds N]

Standalone, it times the contenders in alternation for several rounds and
prints the medians of their CPU time (process time: this machine is shared
and busy, and wall time mostly measures the other jobs).  run.py takes the same
rows through its harness (best of five):

- ``Compressor`` ... ``Chain`` at 256-frame int16 blocks streamed with
  ``process``, beside the core engine's own ``process`` on the same block
  (``core``: bytes in, bytes out) and the same with the result made a numpy
  array (``core+array``, what a numpy caller of the core writes).  The
  ratios are the layer's overhead.
- ``Chain([Compressor(), Delay(), PlateReverb()])`` on 60 s of stereo float32
  at 48 kHz (10 s with --quick), beside pedalboard's
  ``Pedalboard([Compressor(), Delay(), Reverb()])``: ``pedalboard`` on the
  float32 array in pedalboard's (channels, frames) layout, made beforehand,
  and ``pedalboard+s16`` from and to int16 frames, as a caller holding 16-bit
  audio pays.  Ours converts float32 to 16 bits and back inside the call.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from typing import Callable, Dict, List

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
try:
    import divavova  # noqa: F401
except ImportError:  # a developer build: the package sits in the tree
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))

import _divavova as core  # noqa: E402

import divavova as dv  # noqa: E402
from divavova._ids import DynamicsMode  # noqa: E402
from harness import BLOCK, RATE, pedalboard, row  # noqa: E402

CHAIN_SECONDS = 60


def music(frames: int, seed: int = 3) -> np.ndarray:
    """Stereo float32 (frames, 2): tones with decaying notes over noise, peaks near -1 dBFS."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames) / RATE
    notes = 0.4 * np.sin(2 * np.pi * 220 * t) * np.exp(-3 * (t % 0.5))
    left = notes + 0.1 * rng.standard_normal(frames)
    right = 0.8 * notes + 0.1 * rng.standard_normal(frames)
    audio = np.stack([left, right], axis=1)
    return (audio * (0.89 / np.abs(audio).max())).astype(np.float32)


def api_effects() -> Dict[str, Callable[[], dv.Effect]]:
    return {"Compressor": dv.Compressor, "Delay": dv.Delay, "PlateReverb": dv.PlateReverb,
            "Chain": lambda: dv.Chain([dv.Compressor(), dv.Delay(), dv.PlateReverb()])}


def core_engines(channels: int) -> Dict[str, Callable[[bytes], bytes]]:
    """The core engines that the API classes run, set up the same way."""
    compressor = core.DynamicsState(mode=int(DynamicsMode.COMPRESSOR), sample_rate=RATE, channel_count=channels)
    compressor.finish()
    delay = core.FeedbackDelayState(sample_rate=RATE, max_delay_ms=2000.0, channel_count=channels)
    delay.finish()
    tank = core.TankState(sample_rate=RATE, channel_count=channels)
    tank.finish()

    def chain(block: bytes) -> bytes:
        return tank.process(delay.process(compressor.process(block)))  # type: ignore[no-any-return]

    return {"Compressor": compressor.process, "Delay": delay.process, "PlateReverb": tank.process, "Chain": chain}


def overhead_contenders(channels: int = 2) -> List[tuple]:
    """(name, api call, core call, core call made an array, block) on one
    256-frame int16 block."""
    block = (np.random.default_rng(1).standard_normal((BLOCK, channels)) * 6000).astype(np.int16)
    data = block.tobytes()
    engines = core_engines(channels)
    out = []
    for name, make in api_effects().items():
        effect = make()
        effect.prepare(RATE, channels)
        engine = engines[name]
        out.append((name, lambda e=effect: e.process(block, RATE), lambda f=engine: f(data),
                    lambda f=engine: np.frombuffer(f(data), np.int16).reshape(block.shape), data))
    return out


def chain_contenders(seconds: int) -> Dict[str, Callable[[], object]]:
    audio = music(seconds * RATE)
    samples = dv.to_int16(audio)
    ours = dv.Chain([dv.Compressor(), dv.Delay(), dv.PlateReverb()])
    contenders: Dict[str, Callable[[], object]] = {
        "ours float32": lambda: ours(audio, RATE),
        "ours int16": lambda: ours(samples, RATE),
    }
    if pedalboard is not None:
        board = pedalboard.Pedalboard([pedalboard.Compressor(), pedalboard.Delay(), pedalboard.Reverb()])
        planar = np.ascontiguousarray(audio.T)

        def with_s16() -> object:
            floats = samples.T.astype(np.float32) * np.float32(1 / 32768)
            wet = board(floats, RATE)
            return np.clip(np.rint(wet.T * 32768), -32768, 32767).astype(np.int16)

        contenders["pedalboard"] = lambda: board(planar, RATE)
        contenders["pedalboard+s16"] = with_s16
    return contenders


def stage_contenders(seconds: int) -> Dict[str, Callable[[], object]]:
    """Each stage of the chain alone on int16 audio, beside pedalboard's on its float32 layout."""
    audio = music(seconds * RATE)
    samples, planar = dv.to_int16(audio), np.ascontiguousarray(audio.T)
    out: Dict[str, Callable[[], object]] = {}
    for name, ours, theirs in (("Compressor", dv.Compressor, "Compressor"), ("Delay", dv.Delay, "Delay"),
                               ("PlateReverb", dv.PlateReverb, "Reverb")):
        effect = ours()
        out[f"ours {name}"] = lambda e=effect: e(samples, RATE)
        if pedalboard is not None:
            plugin = getattr(pedalboard, theirs)()
            out[f"pedalboard {theirs}"] = lambda p=plugin: p(planar, RATE)
    return out


def rows(quick: bool) -> list:
    out = []
    for name, api, direct, array, data in overhead_contenders():
        out.append(row(f"API {name}", "stereo int16 process", BLOCK, api, {"core": direct, "core+array": array}, data))
    seconds = 10 if quick else CHAIN_SECONDS
    contenders = chain_contenders(seconds)
    ours = contenders.pop("ours float32")
    out.append(row("API Chain comp+delay+plate", f"stereo f32 {seconds}s", seconds * RATE, ours, contenders))
    return out


def median_times(contenders: Dict[str, Callable[[], object]], rounds: int, calls: int) -> Dict[str, float]:
    """Median CPU seconds per call of each contender, timed in alternation."""
    times: Dict[str, List[float]] = {name: [] for name in contenders}
    for fn in contenders.values():
        fn()
    for _ in range(rounds):
        for name, fn in contenders.items():
            start = time.process_time()
            for _ in range(calls):
                fn()
            times[name].append((time.process_time() - start) / calls)
    return {name: statistics.median(values) for name, values in times.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10 s of audio for the chain, fewer rounds")
    parser.add_argument("--rounds", type=int, default=0, help="rounds per contender (default 25, quick 7)")
    args = parser.parse_args()
    rounds = args.rounds or (7 if args.quick else 25)
    print(f"pedalboard {getattr(pedalboard, '__version__', 'absent')}; numpy {np.__version__}; "
          f"medians of {rounds} alternating rounds")
    print("256-frame stereo int16 blocks, process() against the core engine's process():")
    for name, api, direct, array, _ in overhead_contenders():
        result = median_times({"api": api, "core": direct, "core+array": array}, rounds, 2000)
        print(f"  {name:<12} core {result['core'] * 1e6:6.2f} us  core+array {result['core+array'] * 1e6:6.2f} us  "
              f"api {result['api'] * 1e6:6.2f} us  overhead {100 * (result['api'] / result['core'] - 1):+5.1f} % "
              f"({100 * (result['api'] / result['core+array'] - 1):+5.1f} % over core+array)")
    seconds = 10 if args.quick else CHAIN_SECONDS
    result = median_times(chain_contenders(seconds), max(3, rounds // 5), 1)
    print(f"Chain([Compressor(), Delay(), PlateReverb()]) on {seconds} s stereo at {RATE} Hz:")
    ours = result["ours float32"]
    for name, seconds_taken in result.items():
        print(f"  {name:<15} {seconds_taken:7.3f} s  ({seconds * RATE / seconds_taken / 1e6:6.1f} Mframes/s)"
              + ("" if name.startswith("ours") else f"  ours float32 is {seconds_taken / ours:.2f}x faster"))
    print("Each stage alone on the same audio (ours on int16, pedalboard on float32):")
    for name, seconds_taken in median_times(stage_contenders(seconds), max(3, rounds // 5), 1).items():
        print(f"  {name:<22} {seconds_taken:7.3f} s  ({seconds * RATE / seconds_taken / 1e6:6.1f} Mframes/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
