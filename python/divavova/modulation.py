"""Swept effects: chorus and phaser.

Both move smoothly and never depend on how a stream is cut into blocks: the
chorus's delays sweep inside the feedback-delay engine, frame by frame with
interpolated reads; the phaser's all-pass frequency steps once per control
period of a fixed number of frames counted from the start of the stream.
"""

from __future__ import annotations

import math
from enum import IntEnum
from typing import Any, Dict, List, Set

import numpy as np

import _divavova as core

from divavova._base import Effect
from divavova._convert import join_channels, split_channels
from divavova._ids import AllPassF32Id, FeedbackDelayId
from divavova._options import CROSSFADE, FloatOption, IntOption, mix_option

SHAPE_POINTS = 4096          # one sine cycle of the chorus sweep, read with interpolation
CHORUS_LINE_MS = 80.0        # holds the longest delay plus the deepest sweep
CONTROL_HZ = 1000            # the phaser's frequency steps this often (in frames: rate // 1000)


def sine_shape(phase: float) -> bytes:
    """One cycle of a sine starting at ``phase`` cycles, as the delay engine's wow shape."""
    n = np.arange(SHAPE_POINTS)
    return np.round(32767 * np.sin(2 * np.pi * (n / SHAPE_POINTS + phase))).astype(np.int16).tobytes()


def echo_tail_s(delay_s: float, feedback: float) -> float:
    """Seconds until a train of echoes, each ``feedback`` times the last, is 60 dB down."""
    if feedback <= 0.0:
        return delay_s
    return delay_s * (1.0 + math.log(1e-3) / math.log(min(feedback, 0.999)))


class Chorus(Effect):
    """Chorus: ``voices`` copies of the signal, each delayed by delay_ms with
    its delay swept by depth_ms at rate_hz, the sweeps spread evenly in
    phase (a quarter cycle further on the right channel).

    Each voice is a feedback-delay line read with interpolation and swept
    frame by frame, so the delays glide without steps.  The mix crossfades the
    dry signal with the mean of the voices, so the output never exceeds the
    input's peak (with feedback 0).  (The core's one-call chorus reads its
    taps at whole samples, so a swept spread moves them in steps that click;
    this class does not use it.)"""

    NAME = "chorus"
    rate_hz = FloatOption("Hz", 0.8, 0.0, 10.0, "sweeps per second")
    depth_ms = FloatOption("ms", 2.0, 0.0, 20.0, "how far the delay sweeps either side of delay_ms")
    delay_ms = FloatOption("ms", 8.0, 0.5, 50.0, "centre delay of the voices (above depth_ms)")
    feedback = FloatOption("", 0.0, 0.0, 0.9, "share of each voice fed back into its line")
    voices = IntOption("", 2, 1, 4, "swept copies of the signal", restarts=True)
    mix = mix_option(0.5, CROSSFADE + " between the dry signal and the mean of the voices")

    def _check_options(self) -> None:
        if self.depth_ms >= self.delay_ms:
            raise ValueError(f"Chorus: depth_ms={self.depth_ms:g} must be below delay_ms={self.delay_ms:g}")

    def _build(self, sample_rate: int, channels: int) -> None:
        self._shapes: List[bytes] = []
        self._lines: List[List[Any]] = []
        for voice in range(self.voices):
            row = []
            for channel in range(channels):
                line = core.FeedbackDelayState(sample_rate=sample_rate, max_delay_ms=CHORUS_LINE_MS, channel_count=1)
                shape = sine_shape(voice / self.voices + channel / 4)
                line.set_wow_shape(shape)
                self._shapes.append(shape)
                row.append(line)
            self._lines.append(row)
        self._apply(set())

    def _settings(self) -> Dict[IntEnum, float]:
        # Each of the N voices gives dry/N of the input and wet/N of its line:
        # its engine runs at a core mix of 2 - dry/N (dry gain dry/N, wet gain
        # 1), and in a mono engine the input routing p scales what enters the
        # line by 1 - p, so p = 1 - wet/N.
        count = self.voices
        return {FeedbackDelayId.DELAY_MS: self.delay_ms, FeedbackDelayId.FEEDBACK: self.feedback,
                FeedbackDelayId.WOW_RATE_HZ: self.rate_hz, FeedbackDelayId.WOW_DEPTH_MS: self.depth_ms,
                FeedbackDelayId.MIX: 2.0 - (1.0 - self.mix) / count,
                FeedbackDelayId.INPUT_ROUTING: 1.0 - self.mix / count}

    def _apply(self, names: Set[str]) -> None:
        settings = self._settings()
        for row in self._lines:
            for line in row:
                for option, value in settings.items():
                    line.configure(option, value)
                line.finish()

    def _reset(self) -> None:
        for row in self._lines:
            for line in row:
                line.reset()

    def _run(self, block: Any, frames: int) -> bytes:
        outputs = []
        for channel, samples in enumerate(split_channels(block, self._channels)):
            total = self._lines[0][channel].process(samples)
            for row in self._lines[1:]:
                total = core.mix_s16(total, row[channel].process(samples))
            outputs.append(total)
        return join_channels(outputs)

    def _tail(self) -> int:
        return int(echo_tail_s((self.delay_ms + self.depth_ms) / 1000.0, self.feedback) * self._rate)


class Phaser(Effect):
    """Phaser: a chain of all-pass sections whose frequency sweeps between
    low_hz and high_hz (evenly on a log scale, as a sine) at rate_hz, with
    feedback, crossfaded with the dry signal; mix 0.5 gives the deepest
    notches.  The frequency moves in steps of one control period (1 ms of
    frames, counted from the start of the stream); within a period it is
    constant, and the engine's output stays continuous across a step.  (The
    core's one-call phaser adds its chain to the full dry signal and limits
    the sum with a steep knee at 28000, flattening every peak above -1.4
    dBFS; this class runs the all-pass engine, whose mix crossfades.)"""

    NAME = "phaser"
    rate_hz = FloatOption("Hz", 0.5, 0.0, 20.0, "sweeps per second")
    low_hz = FloatOption("Hz", 200.0, 1.0, None, "lowest frequency of the sweep", below_rate=0.5)
    high_hz = FloatOption("Hz", 2000.0, 1.0, None, "highest frequency of the sweep", below_rate=0.5)
    stages = IntOption("sections", 6, 1, core.FILTER_F32_MAX_STAGES, "all-pass sections (two per notch)",
                       restarts=True)
    feedback = FloatOption("", 0.3, -0.99, 0.99, "share of the chain's output fed back to its input")
    mix = mix_option(0.5, CROSSFADE)

    def _check_options(self) -> None:
        if self.low_hz > self.high_hz:
            raise ValueError(f"Phaser: low_hz={self.low_hz:g} must not be above high_hz={self.high_hz:g}")

    def _build(self, sample_rate: int, channels: int) -> None:
        self._state = core.AllPassF32State(sample_rate=sample_rate, channel_count=channels, stages=self.stages)
        self._period = max(1, sample_rate // CONTROL_HZ)
        self._phase = 0.0
        self._apply(set())

    def _apply(self, names: Set[str]) -> None:
        self._state.configure(AllPassF32Id.FEEDBACK, self.feedback)
        self._state.configure(AllPassF32Id.MIX, self.mix)

    def _reset(self) -> None:
        self._state.reset()
        self._phase = 0.0

    def _next_frequency(self) -> float:
        sweep = 0.5 * (1.0 - math.cos(self._phase))
        self._phase = (self._phase + 2 * math.pi * self.rate_hz * self._period / self._rate) % (2 * math.pi)
        return float(self.low_hz * (self.high_hz / self.low_hz) ** sweep)

    def _run(self, block: Any, frames: int) -> bytes:
        # A period's first frame runs alone: the engine glides from its old
        # coefficient to a new one across a call, and over one frame that
        # glide is simply the old value for that frame and the new one after.
        # So every frame's coefficient is the same however the calls fall.
        data = memoryview(block).cast("B")
        frame_bytes = 2 * self._channels
        state, period, out = self._state, self._period, []
        position = 0
        while position < frames:
            offset = (self._io.clock + position) % period
            if offset == 0:
                state.configure(AllPassF32Id.FREQUENCY_HZ, self._next_frequency())
                state.finish()
                count = 1
            else:
                count = min(frames - position, period - offset)
            out.append(state.process(data[position * frame_bytes:(position + count) * frame_bytes]))
            position += count
        return b"".join(out)
