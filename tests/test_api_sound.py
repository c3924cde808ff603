"""What the defaults and the rate handling of the effect classes sound like,
measured on generated music: the limiter's ceiling, no clipping, no clicks at
block edges, the same level and tail at any rate."""

import numpy as np
import pytest

from api_material import chord, clipped, edge_ratio, music, peak_db, rms_db, stream

import divavova as dv  # noqa: E402  (api_material puts the package on the path)
from divavova import reverbs

RATE = 48000


@pytest.mark.parametrize("rate", [8000, 44100, 192000])
def test_the_limiter_holds_its_threshold(rate):
    audio = music(2.0, rate, seed=4)
    for threshold in (-1.0, -6.0, -20.0):
        for limiter in (dv.Limiter(threshold_db=threshold), dv.Limiter(threshold_db=threshold, release_ms=20.0),
                        dv.Limiter(threshold_db=threshold, true_peak=False)):
            assert peak_db(limiter(audio, rate)) <= threshold + 0.1


CLIPPING_BY_DESIGN = {"distortion", "waveshaper"}


@pytest.mark.parametrize("rate", [8000, 48000, 96000])
def test_no_effect_clips_normalised_material_at_its_defaults(rate):
    material = [music(2.0, rate, seed=5), chord(1.5, rate), chord(1.5, rate, notes=(48, 52, 55, 60))]
    for name, cls in dv.EFFECTS.items():
        if name not in CLIPPING_BY_DESIGN:
            for audio in material:
                assert clipped(cls()(audio.astype(np.float32), rate, tail_s=None)) == 0, name


# Sweep rates and tone that share no period with the blocks, so that block
# edges meet every phase of both (a shared period biases the measure).
SWEPT = {"chorus": lambda: dv.Chorus(rate_hz=1.37), "phaser": lambda: dv.Phaser(rate_hz=5.3, feedback=0.8),
         "delay with wow": lambda: dv.Delay(delay_ms=30.0, wow_rate_hz=1.93, wow_depth_ms=5.0, mix=0.5),
         "modulated plate": lambda: dv.PlateReverb(modulation_depth_ms=1.0, modulation_rate_hz=1.07, mix=0.5)}


@pytest.mark.parametrize("name", sorted(SWEPT))
def test_swept_effects_do_not_click_at_block_edges(name):
    t = np.arange(3 * RATE) / RATE
    sine = (0.5 * np.sin(2 * np.pi * 441.7 * t)).astype(np.float32)
    # 48 frames is the phaser's control period at this rate: its steps fall on every edge
    for block in (37, 48, 256, 480):
        assert edge_ratio(stream(SWEPT[name](), sine, RATE, [block]), block) < 1.1, block


RATES = [8000, 22050, 44100, 96000, 192000]


@pytest.mark.parametrize("make", [lambda: dv.Convolver(mix=1.0), lambda: dv.ModalResonator(mix=1.0)])
def test_rooms_and_resonators_keep_their_wet_level_at_any_rate(make):
    levels = []
    for rate in RATES:
        audio = music(1.0, rate, channels=1)
        levels.append(rms_db(make()(audio, rate)) - rms_db(audio))
    assert max(levels) - min(levels) <= 2.0 and max(abs(level - levels[2]) for level in levels) <= 1.0


def t60_s(response, rate):
    """Time at which the Schroeder energy curve of a response is 60 dB down."""
    energy = np.cumsum((response.astype(np.float64) ** 2)[::-1])[::-1]
    return np.argmax(energy < energy[0] * 1e-6) / rate


@pytest.mark.parametrize("settings", [{}, {"room_size": 0.8, "damping": 0.3}, {"room_size": 0.9, "damping": 0.9}])
def test_the_freeverb_tail_is_the_same_from_22_to_96_khz(settings):
    tails = []
    for rate in (22050, 32000, 44100, 48000, 88200, 96000):
        pulse = np.zeros(int(rate * 6), np.int16)
        pulse[0] = 32767
        tails.append(t60_s(dv.Freeverb(mix=1.0, **settings)(pulse, rate), rate))
    assert max(tails) <= 1.15 * tails[2] and min(tails) >= 0.85 * tails[2]


def test_the_freeverb_tail_table_is_the_cores():
    for room, damping in ((0.0, 0.0), (0.5, 0.5), (1.0, 1.0), (0.8, 0.3)):
        pulse = np.zeros(reverbs.FREEVERB_REFERENCE_RATE * 8, np.int16)
        pulse[0] = 32767
        state = [bytearray(size) for size in reverbs.FREEVERB_BUFFERS]
        response = np.frombuffer(dv.core.freeverb_s16(pulse, *state, room, damping, 1.0), np.int16)
        measured = t60_s(response, 1)
        table = reverbs.freeverb_tail_frames(room, damping)
        assert abs(measured - table) <= 0.02 * table
