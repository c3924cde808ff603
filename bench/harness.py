"""The benchmark's measuring loop and the row type the bench_* modules return."""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Callable, Dict


@dataclass
class Row:
    component: str          # e.g. "mix_s16"
    variant: str            # e.g. "stereo 256"
    frames: int             # frames processed by one call of run
    run: Callable[[], object]
    peers: Dict[str, Callable[[], object]] = field(default_factory=dict)


def seconds_per_call(fn: Callable[[], object], budget_s: float) -> float:
    """Best of five timings, each at least budget_s / 5 long."""
    fn()
    calls = 1
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        elapsed = time.perf_counter() - start
        if elapsed >= budget_s / 25 or calls >= 1 << 24:
            break
        calls *= 4
    best = elapsed / calls
    for _ in range(4):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def mframes_per_s(frames: int, seconds: float) -> float:
    return frames / seconds / 1e6 if seconds > 0 else float("inf")
