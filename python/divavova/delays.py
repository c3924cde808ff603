"""Delays: the feedback-delay engine, the echo, the multi-tap delay and the
delay-line pitch shifter."""

from __future__ import annotations

import array
from enum import IntEnum
from typing import Any, Dict, Set

import _divavova as core

from divavova._base import Effect
from divavova._engine import ConfiguredEffect
from divavova._ids import FeedbackDelayId
from divavova._options import BOTH_AT_HALF, FloatOption, IntOption, mix_option
from divavova.modulation import echo_tail_s

MIN_LINE_MS = 2000.0   # the delay line is made at least this long, so most changes keep it
KNEE_NOTE = ("Its output passes the core's soft knee: samples beyond 28000 (about -1.4 dBFS) are "
             "compressed, so the output never reaches full scale.")


class Delay(ConfiguredEffect):
    """Feedback delay: echoes every delay_ms, each feedback times the last,
    with filters and saturation in the feedback path, wow (a sine sweep of
    the delay), a wet level swaying with the wow, a pitch shifter on the
    echoes and, in stereo, cross feedback and ping-pong input routing.  The
    delay line is read with interpolation.

    Mono streams have no second channel: cross_feedback and input_routing
    must stay 0 there (prepare refuses them rather than lose the echoes).
    The line is made for at least 2 s (or what the settings need); raising
    delay_ms, wow_depth_ms or the pitch window beyond it makes a longer line,
    which starts empty."""

    NAME = "delay"
    delay_ms = FloatOption("ms", 250.0, 1.0, 10000.0, "time between echoes")
    feedback = FloatOption("", 0.3, 0.0, 0.99, "level of each echo against the one before")
    mix = mix_option(0.08, BOTH_AT_HALF)
    lowpass_hz = FloatOption("Hz", 0.0, 0.0, None, "low-pass in the feedback path, 0 off", below_rate=0.5)
    highpass_hz = FloatOption("Hz", 0.0, 0.0, None, "high-pass in the feedback path, 0 off", below_rate=0.5)
    saturation = FloatOption("", 0.0, 0.0, 1.0, "cubic soft saturation of the echoes, 0 off")
    wow_rate_hz = FloatOption("Hz", 0.0, 0.0, 20.0, "speed of the delay sweep, 0 off")
    wow_depth_ms = FloatOption("ms", 0.0, 0.0, 1000.0, "how far the delay sweeps either side")
    level_modulation = FloatOption("", 0.0, 0.0, 1.0, "how far the wet level sways with the sweep")
    delay_slew = FloatOption("frames/frame", 0.0, 0.0, 64.0, "how fast a new delay_ms is reached, 0 at once")
    pitch_semitones = FloatOption("semitones", 0.0, -24.0, 24.0, "pitch shift of the echoes, 0 off")
    pitch_window_ms = FloatOption("ms", 25.0, 1.0, 250.0, "window of the pitch shifter")
    cross_feedback = FloatOption("", 0.0, 0.0, 1.0, "stereo: share of each channel's echoes fed to the other")
    input_routing = FloatOption("", 0.0, -1.0, 1.0, "stereo ping-pong: -1 both inputs into the left line, "
                                "1 into the right, 0 each into its own")

    def _check_format(self, sample_rate: int, channels: int) -> None:
        if channels == 1:
            for name in ("cross_feedback", "input_routing"):
                if self._values[name] != 0.0:
                    raise ValueError(f"Delay: {name} routes between two channels; a mono stream needs it at 0")

    def _line_ms(self) -> float:
        """The line the settings need: the delay, the sweep and the pitch window,
        and four windows (the engine's window is at most a quarter of the line)."""
        window = self.pitch_window_ms if self.pitch_semitones else 0.0
        return max(self.delay_ms + self.wow_depth_ms + window + 1.0, 4.0 * self.pitch_window_ms + 1.0)

    def _engine(self, sample_rate: int, channels: int) -> Any:
        self._made_ms = max(MIN_LINE_MS, self._line_ms())
        return core.FeedbackDelayState(sample_rate=sample_rate, max_delay_ms=self._made_ms, channel_count=channels)

    def _apply(self, names: Set[str]) -> None:
        if self._line_ms() > self._made_ms:
            self._build(self._rate, self._channels)   # a longer line: it starts empty
        else:
            self._configure()

    def _settings(self) -> Dict[IntEnum, float]:
        ids = FeedbackDelayId
        return {ids.DELAY_MS: self.delay_ms, ids.FEEDBACK: self.feedback, ids.MIX: 2.0 * self.mix,
                ids.LOWPASS_HZ: self.lowpass_hz, ids.HIGHPASS_HZ: self.highpass_hz, ids.SATURATION: self.saturation,
                ids.WOW_RATE_HZ: self.wow_rate_hz, ids.WOW_DEPTH_MS: self.wow_depth_ms,
                ids.LEVEL_MODULATION: self.level_modulation, ids.DELAY_SLEW: self.delay_slew,
                ids.PITCH_SEMITONES: self.pitch_semitones, ids.PITCH_WINDOW_MS: self.pitch_window_ms,
                ids.CROSS_FEEDBACK: self.cross_feedback, ids.INPUT_ROUTING: self.input_routing}

    def _tail(self) -> int:
        longest = (self.delay_ms + self.wow_depth_ms + self.pitch_window_ms) / 1000.0
        return int(echo_tail_s(longest, max(self.feedback, self.cross_feedback * self.feedback)) * self._rate)


class Echo(Effect):
    """Feedback echo on a plain delay line of whole frames (the core's echo).
    """

    NAME = "echo"
    _NOTES = KNEE_NOTE
    delay_ms = FloatOption("ms", 250.0, 0.1, 10000.0, "time between echoes (whole frames)", restarts=True)
    feedback = FloatOption("", 0.5, -0.99, 0.99, "level of each echo against the one before")
    mix = mix_option(0.5, BOTH_AT_HALF)

    def _build(self, sample_rate: int, channels: int) -> None:
        self._delay_frames = max(1, round(sample_rate * self.delay_ms / 1000.0))
        self._line = bytearray(2 * self._delay_frames * channels)
        self._heads = [0, 0]

    def _reset(self) -> None:
        self._line[:] = bytes(len(self._line))
        self._heads = [0, 0]

    def _apply(self, names: Set[str]) -> None:
        pass

    def _run(self, block: Any, frames: int) -> bytes:
        heads = self._heads
        out, heads[0], heads[1] = core.echo_s16(block, self._line, heads[0], heads[1], self._delay_frames,
                                                self._delay_frames, 256, self.feedback, 2.0 * self.mix, False,
                                                self._channels)
        return out

    def _tail(self) -> int:
        return int(echo_tail_s(self._delay_frames / self._rate, abs(self.feedback)) * self._rate)


class MultiTap(Effect):
    """Multi-tap delay: ``taps`` taps evenly spaced up to delay_ms, tap k at
    tap_decay**k, and feedback from the end of the line.
    """

    NAME = "multitap"
    _NOTES = KNEE_NOTE
    delay_ms = FloatOption("ms", 600.0, 0.1, 10000.0, "delay of the last tap (the line's length)", restarts=True)
    taps = IntOption("", 4, 1, 16, "taps, evenly spaced")
    tap_decay = FloatOption("", 0.7, 0.0, 1.0, "level of each tap against the one before")
    feedback = FloatOption("", 0.3, -0.99, 0.99, "level fed back from the end of the line")
    mix = mix_option(0.5, BOTH_AT_HALF)

    def _build(self, sample_rate: int, channels: int) -> None:
        self._length = max(1, round(sample_rate * self.delay_ms / 1000.0))
        self._ring = bytearray(2 * channels * self._length)
        self._heads = [0]
        self._apply(set())

    def _apply(self, names: Set[str]) -> None:
        delays = [max(1, self._length * (k + 1) // self.taps) for k in range(self.taps)]
        self._delays = bytearray(array.array("I", delays).tobytes())
        self._gains = bytearray(array.array("d", [self.tap_decay ** k for k in range(self.taps)]).tobytes())

    def _reset(self) -> None:
        self._ring[:] = bytes(len(self._ring))
        self._heads = [0]

    def _run(self, block: Any, frames: int) -> bytes:
        heads = self._heads
        out, heads[0] = core.multitap_s16(block, self._ring, heads[0], self._length, self._channels, self._delays,
                                          self._gains, self.feedback, 2.0 * self.mix)
        return out

    def _tail(self) -> int:
        return int(echo_tail_s(self._length / self._rate, abs(self.feedback)) * self._rate)


class PitchShift(Effect):
    """Pitch shift by a delay line read faster or slower than it is written
    (whole cells, no interpolation), with a cross-fade where the heads meet.
    The shift is in steps of 1/256 of the speed (about 7 cents at 0).
    """

    NAME = "pitchshift"
    _NOTES = KNEE_NOTE
    semitones = FloatOption("semitones", 7.0, -24.0, 24.0, "pitch shift")
    window_ms = FloatOption("ms", 40.0, 5.0, 200.0, "length of the delay line", restarts=True)
    mix = mix_option(1.0, BOTH_AT_HALF)

    def _build(self, sample_rate: int, channels: int) -> None:
        self._length = max(16, round(sample_rate * self.window_ms / 1000.0))
        self._fade = self._length // 8
        self._ring = bytearray(2 * channels * self._length)
        self._fifo = bytearray(2 * channels * self._fade)
        self._heads = [0, 0, 0]   # write, fade and read positions

    def _reset(self) -> None:
        self._build(self._rate, self._channels)

    def _apply(self, names: Set[str]) -> None:
        pass

    def _run(self, block: Any, frames: int) -> bytes:
        # the read head's speed in 1/256 frames per frame
        step = max(1, round(256 * 2 ** (self.semitones / 12)))
        heads = self._heads
        out, heads[0], heads[1], heads[2] = core.pitchshift_s16(
            block, self._ring, self._fifo, self._length, self._fade, self._channels, step, heads[0], heads[1],
            heads[2], 2.0 * self.mix)
        return out

    def _tail(self) -> int:
        return self._length
