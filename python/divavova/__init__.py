"""divavova: audio effects over numpy arrays on an exact 16-bit core.

Every effect is a class with keyword options in units; calling one processes
a whole signal, ``process`` streams blocks::

    import divavova as dv
    board = dv.Chain([dv.Compressor(threshold_db=-20, ratio=4), dv.PlateReverb(mix=0.2)])
    out = board(audio, 48000)              # float32/float64/int16, (frames,) or (frames, channels)

``EFFECTS`` maps each command-line effect name to its class.  The native
core is ``divavova.core`` (the ``_divavova`` module).
"""

from __future__ import annotations

from typing import Dict, Type

import _divavova as core

from divavova._base import Effect
from divavova._convert import from_int16, to_int16
from divavova._options import OptionInfo
from divavova.chain import Chain
from divavova.delays import Delay, Echo, MultiTap, PitchShift
from divavova.distortion import Distortion, SampleHold, SubOctave, Waveshaper
from divavova.dynamics import Compressor, Expander, Gate, Limiter, TransientShaper
from divavova.filters import (AllPass, BandPass, Biquad, HighPass, HighShelf, LadderFilter, LowPass, LowShelf, Notch,
                              PeakFilter, SynthBiquad)
from divavova.modulation import Chorus, Phaser
from divavova.reverbs import Convolver, Freeverb, ModalResonator, PlateReverb
from divavova.utility import Gain, Normalize, ToMono, ToStereo, Widener

from divavova.batch import process_files  # noqa: E402  (files and batches, on top of the effects)

__version__ = core.__version__

CLASSES = (Compressor, Limiter, Expander, Gate, TransientShaper, Delay, Biquad, AllPass, Waveshaper, LadderFilter,
           SubOctave, PlateReverb, ModalResonator, Convolver, SampleHold, SynthBiquad, Distortion, Echo, Phaser,
           Chorus, MultiTap, PitchShift, Freeverb, LowPass, HighPass, BandPass, Notch, PeakFilter, LowShelf,
           HighShelf, Gain, Normalize, Widener, ToMono, ToStereo)

EFFECTS: Dict[str, Type[Effect]] = {cls.NAME: cls for cls in CLASSES}

__all__ = [
    "core", "__version__", "EFFECTS", "Effect", "OptionInfo", "Chain", "to_int16", "from_int16", "Compressor",
    "Limiter", "Expander", "Gate", "TransientShaper", "Delay", "Biquad", "AllPass", "Waveshaper", "LadderFilter",
    "SubOctave", "PlateReverb", "ModalResonator", "Convolver", "SampleHold", "SynthBiquad", "Distortion", "Echo",
    "Phaser", "Chorus", "MultiTap", "PitchShift", "Freeverb", "LowPass", "HighPass", "BandPass", "Notch",
    "PeakFilter", "LowShelf", "HighShelf", "Gain", "Normalize", "Widener", "ToMono", "ToStereo", "process_files",
]
