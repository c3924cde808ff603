"""Effects over one core engine set up with ``configure(id, value)``."""

from __future__ import annotations

from enum import IntEnum
from typing import Any, Dict, Set

import numpy as np

from divavova._base import Effect


class ConfiguredEffect(Effect):
    """An effect whose state is one core engine: ``_engine`` makes it for a
    format, ``_settings`` gives every configure id with its value from the
    current options (at ``self._rate``, which is set before the engine is made),
and a change of options configures them all again (the
    engines keep their history through ``configure`` and ``finish``)."""

    _state: Any

    def _engine(self, sample_rate: int, channels: int) -> Any:
        raise NotImplementedError

    def _settings(self) -> Dict[IntEnum, float]:
        raise NotImplementedError

    def _build(self, sample_rate: int, channels: int) -> None:
        self._state = self._engine(sample_rate, channels)
        if type(self)._run is ConfiguredEffect._run:
            self._kernel = self._state.process   # process() calls the engine straight
        self._configure()

    def _configure(self) -> None:
        configure = self._state.configure
        for option, value in self._settings().items():
            configure(option, value)
        finish = getattr(self._state, "finish", None)
        if finish is not None:
            finish()

    def _apply(self, names: Set[str]) -> None:
        self._configure()

    def _reset(self) -> None:
        self._state.reset()

    def _run(self, block: Any, frames: int) -> bytes:
        return self._state.process(block)  # type: ignore[no-any-return]


def lookahead_ms(frames: int, sample_rate: int) -> float:
    """The look-ahead time that the dynamics engine turns into exactly
    ``frames`` frames (it truncates rate x ms / 1000 in single precision)."""
    if frames <= 0:
        return 0.0
    rate = np.float32(sample_rate)
    for candidate in ((frames + 0.5) * 1000.0 / sample_rate, frames * 1000.0 / sample_rate):
        ms = min(50.0, candidate)
        if int(rate * np.float32(ms) / np.float32(1000)) == frames:
            return ms
    raise ValueError(f"a look-ahead of {frames} frames does not fit 50 ms at {sample_rate} Hz")


def frames_of_ms(ms: float, sample_rate: int) -> int:
    return int(sample_rate * ms / 1000.0)
