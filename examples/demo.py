"""A tiny demonstration: a generated tone mixed, converted and shaped."""

import array
import math

import _divavova as dv

RATE = 48000
tone = array.array("h", (int(12000 * math.sin(2 * math.pi * 440 * n / RATE)) for n in range(RATE // 10)))
overtone = array.array("h", (int(9000 * math.sin(2 * math.pi * 1320 * n / RATE)) for n in range(RATE // 10)))

mixed = dv.mix_s16(tone, overtone)
stereo = dv.remix_s16(mixed, 1, 2)
wide = dv.midside_s16(stereo, 1.5)
back = dv.remix_s16(wide, 2, 1)
print(f"_divavova {dv.__version__} ({dv.__revision__}): {len(back) // 2} frames at {RATE} Hz")
print("first samples:", array.array("h", back[:16]).tolist())
peak = max(abs(v) for v in array.array("h", back))
print("peak:", peak, "(saturated)" if peak == 32767 else "")
