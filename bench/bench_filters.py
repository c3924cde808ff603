"""Filter and delay engines beside scipy.signal.lfilter and pedalboard."""

from __future__ import annotations

import _divavova as m
from harness import RATE, SIZES, lfilter_peers, pedalboard, pedalboard_peers, row, s16_noise


def _configured(engine, options):
    for option, value in options:
        engine.configure(option, value)
    engine.finish()
    return engine


def rows(quick: bool) -> list:
    out = []
    for frames in SIZES:
        for layout, channels in (("stereo", 2), ("mono", 1)):
            data = s16_noise(frames, channels, 1, 8000)
            full = channels == 2       # every variant in stereo, the main one in mono

            def add(component, variant, engine, peers=None):
                out.append(row(component, f"{layout} {variant}".strip(), frames, lambda e=engine, x=data: e.process(x),
                               peers, data))

            add("FeedbackDelayState", "", _configured(m.FeedbackDelayState(RATE, 500.0, channels), [(0, 125.0)]),
                pedalboard_peers(lambda: pedalboard.Delay(delay_seconds=0.125, feedback=0.4, mix=0.3), data, channels))
            if full:
                add("FeedbackDelayState", "all on", _configured(
                    m.FeedbackDelayState(RATE, 500.0, channels),
                    [(0, 125.0), (3, 6000.0), (4, 80.0), (5, 0.5), (6, 3.0), (7, 0.5), (8, 0.5), (11, 0.3), (12, 5.0)]))

            low_pass = _configured(m.BiquadF32State(RATE, channels), [])
            c = low_pass.coefficients()
            peers = lfilter_peers(list(c[:3]), [1.0, c[3], c[4]], data, channels)
            peers.update(pedalboard_peers(lambda: pedalboard.LowpassFilter(cutoff_frequency_hz=1000.0), data, channels))
            add("BiquadF32State", "low-pass", low_pass, peers)
            if full:
                add("BiquadF32State", "peaking",
                    _configured(m.BiquadF32State(RATE, channels), [(0, 4), (1, 1000.0), (2, 1.0), (3, 6.0)]),
                    pedalboard_peers(lambda: pedalboard.PeakFilter(cutoff_frequency_hz=1000.0, gain_db=6.0, q=1.0),
                                     data, channels))

            add("AllPassF32State", "4 stages", _configured(m.AllPassF32State(RATE, channels, 4), [(1, 0.5), (2, 0.5)]),
                pedalboard_peers(lambda: pedalboard.Phaser(feedback=0.5, mix=0.5), data, channels))

            ladder_peers = pedalboard_peers(lambda: pedalboard.LadderFilter(cutoff_hz=1000.0, resonance=0.5), data,
                                            channels)
            ladder = m.LadderState(RATE, channels)
            ladder.configure(1, 2.0)
            add("LadderState", "2x", ladder, ladder_peers)
            if full:
                # pedalboard's ladder runs at the stream rate: this is the like-for-like row.
                ladder1 = m.LadderState(RATE, channels)
                ladder1.configure(1, 2.0)
                ladder1.configure(5, 1.0)
                add("LadderState", "1x", ladder1, ladder_peers)
    return out
