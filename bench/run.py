"""Throughput of _divavova against the libraries a user would pick instead.

    python bench/run.py [--quick] [--json FILE] [--only NAME]

Every module bench/bench_*.py contributes rows (see harness.Row).  Columns:
  Mframes/s   million frames per second through this module (frames per call / time per call)
  call/copy   at 256-frame blocks: time of one call over the time of bytes() copying
              the same 256-frame block, measured in this run
  peers       each peer's Mframes/s on the same block, and this module's speed over it
  vs best     this module's throughput over the fastest peer's (above 1 means faster)
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import pathlib
import platform
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
from harness import mframes_per_s, seconds_per_call, size_label  # noqa: E402


def cpu_model() -> str:
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def environment() -> dict:
    def version(module, name="__version__"):
        return getattr(module, name, "?") if module is not None else "absent"

    import numpy
    import _divavova

    flags = ""
    try:
        text = pathlib.Path("/proc/cpuinfo").read_text()
        flags = " ".join(f for f in ("avx2", "avx512f") if f" {f} " in text)
    except OSError:
        pass
    scipy = sys.modules.get("scipy")
    return {
        "cpu": f"{cpu_model()} ({os.cpu_count()} cpus{', ' + flags if flags else ''})",
        "python": platform.python_version(),
        "numpy": numpy.__version__,
        "scipy": version(scipy),
        "pedalboard": version(harness.pedalboard),
        "audioop": "present" if harness.audioop is not None else "absent",
        "_divavova": f"{_divavova.__version__} ({_divavova.__revision__})",
    }


def collect(quick: bool, only: str | None):
    for path in sorted(HERE.glob("bench_*.py")):
        module = importlib.import_module(path.stem)
        for row in module.rows(quick):
            if only and only not in row.component:
                continue
            yield row


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="short timings (the whole run in under a minute)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--only", metavar="NAME", help="only components whose name contains NAME")
    args = parser.parse_args()
    budget = 0.04 if args.quick else 0.4
    started = time.perf_counter()

    env = environment()
    print("environment: " + "; ".join(f"{k} {v}" for k, v in env.items()))
    header = (f"{'component':<26}{'variant':<22}{'block':>6}{'Mframes/s':>11}{'call/copy':>10}  "
              f"{'peers: Mframes/s (ours/peer)':<62}{'vs best':>8}")
    print(header)
    print("-" * len(header), flush=True)

    copy_seconds: dict[int, float] = {}   # bytes() copy of a block, by byte length

    def copy_time(block: bytes) -> float:
        if len(block) not in copy_seconds:
            source = bytearray(block)    # bytes(bytes_object) would return the object itself
            copy_seconds[len(block)] = seconds_per_call(lambda: bytes(source), budget)
        return copy_seconds[len(block)]

    results = []
    for row in collect(args.quick, args.only):
        seconds = seconds_per_call(row.run, budget)
        ours = mframes_per_s(row.frames, seconds)
        overhead = seconds / copy_time(row.block) if row.block is not None else None
        peers = {name: mframes_per_s(row.frames, seconds_per_call(fn, budget)) for name, fn in row.peers.items()}
        best = max(peers.values()) if peers else None
        ratio = ours / best if best else None
        peer_text = ", ".join(f"{name} {value:.1f} ({ours / value:.2f}x)" for name, value in peers.items())
        print(f"{row.component:<26}{row.variant:<22}{size_label(row.frames):>6}{ours:>11.1f}"
              f"{f'{overhead:.2f}' if overhead is not None else '-':>10}  {peer_text:<62}"
              f"{f'{ratio:.2f}x' if ratio else '-':>8}", flush=True)
        results.append({"component": row.component, "variant": row.variant, "frames": row.frames,
                        "mframes_per_s": ours, "seconds_per_call": seconds, "call_over_copy": overhead,
                        "peers": peers, "ratio_to_fastest_peer": ratio})
    elapsed = time.perf_counter() - started
    print(f"({len(results)} rows in {elapsed:.0f} s)")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"environment": env, "rows": results}, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
