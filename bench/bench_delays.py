"""One-call delay effects (echo, multi-tap, pitch shift, Freeverb) beside
pedalboard's Delay, PitchShift and Reverb."""

from __future__ import annotations

import array

import _divavova as m
from harness import RATE, SIZES, pedalboard, pedalboard_peers, row, s16_noise

LAYOUTS = (("stereo", 2), ("mono", 1))


def echo_rows(frames):
    out = []
    delay = RATE // 4
    for layout, channels in LAYOUTS:
        block = s16_noise(frames, channels, 1, 12000)
        peers = pedalboard_peers(lambda: pedalboard.Delay(delay_seconds=0.25, feedback=0.4, mix=0.5), block, channels)
        for variable in (False, True) if channels == 2 else (False,):
            state = {"line": bytearray(delay * 2 * channels), "pos": (0, 0)}

            def run(state=state, block=block, c=channels, v=variable):
                data, *state["pos"] = m.echo_s16(block, state["line"], *state["pos"], delay, delay, 300 if v else 0,
                                                 0.4, 1.0, v, c)
                return data

            out.append(row("echo_s16", f"{layout}{' variable-rate' if variable else ''}", frames, run, peers, block))
    return out


def multitap_rows(frames):
    out = []
    length = RATE // 2
    delays = array.array("I", [4800, 9600, 14400, 19200])
    gains = array.array("d", [0.6, 0.45, 0.3, 0.2])
    for layout, channels in LAYOUTS:
        block = s16_noise(frames, channels, 2, 12000)
        state = {"ring": bytearray(length * 2 * channels), "pos": 0}

        def run(state=state, block=block, c=channels):
            data, state["pos"] = m.multitap_s16(block, state["ring"], state["pos"], length, c, delays, gains, 0.3, 1.0)
            return data

        peers = pedalboard_peers(lambda: pedalboard.Delay(delay_seconds=0.1, feedback=0.3, mix=0.5), block, channels)
        out.append(row("multitap_s16", f"{layout} 4 taps", frames, run, peers, block))
    return out


def pitchshift_rows(frames):
    out = []
    length, fade = 4096, 256
    for layout, channels in LAYOUTS:
        block = s16_noise(frames, channels, 3, 12000)
        state = {"ring": bytearray(length * 2 * channels), "fifo": bytearray(fade * 2 * channels), "pos": (0, 0, 0)}

        def run(state=state, block=block, c=channels):
            data, *state["pos"] = m.pitchshift_s16(block, state["ring"], state["fifo"], length, fade, c, 300,
                                                   *state["pos"], 2.0)
            return data

        peers = pedalboard_peers(lambda: pedalboard.PitchShift(semitones=2.75), block, channels)
        out.append(row("pitchshift_s16", layout, frames, run, peers, block))
    return out


def freeverb_rows(frames):
    block = s16_noise(frames, 1, 4, 12000)
    state = [bytearray(n) for n in (22048, 32, 16, 3126, 16)]

    def run():
        return m.freeverb_s16(block, *state, 0.7, 0.4, 0.35)

    peers = pedalboard_peers(lambda: pedalboard.Reverb(room_size=0.7, damping=0.4, wet_level=0.33, dry_level=0.7,
                                                       width=0.0), block, 1)
    return [row("freeverb_s16", "mono", frames, run, peers, block)]


def rows(quick):
    out = []
    for frames in SIZES:
        out += echo_rows(frames) + multitap_rows(frames) + pitchshift_rows(frames) + freeverb_rows(frames)
    return out
