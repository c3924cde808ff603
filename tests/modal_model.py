"""A plain-Python model of the modal resonator bank: every mode of every
frame, in float32, with the coefficient design in double precision."""

import math

import numpy as np

import ids

from tank_model import clamp, s16  # noqa: F401  (the same f32 clamp and output rounding)

F = np.float32
TWO_PI = 6.283185307179586
FLUSH = F(1e-20)


def series(x, powers):
    return sum((-1) ** i * x ** n / math.factorial(n) for i, n in enumerate(powers))


def sin_cos(w):
    w = math.fmod(w, TWO_PI)
    if w < 0:
        w += TWO_PI
    pi = TWO_PI / 2
    if w <= pi / 2:
        x, ss, cs = w, 1, 1
    elif w <= pi:
        x, ss, cs = pi - w, 1, -1
    elif w <= 3 * pi / 2:
        x, ss, cs = w - pi, -1, -1
    else:
        x, ss, cs = TWO_PI - w, -1, 1
    return ss * series(x, range(1, 14, 2)), cs * series(x, range(0, 13, 2))


def exp_neg(k):
    x, n = max(0.0, k), 0
    while x > 0.125 and n < 24:
        x, n = x / 2, n + 1
    r = sum((-x) ** i / math.factorial(i) for i in range(8))
    for _ in range(n):
        r = r * r
    return r


class ModalModel:
    def __init__(self, sample_rate=48000, channel_count=2, modes=8):
        self.rate = sample_rate or 1
        self.channels = channel_count
        self.modes = [(F(100), F(0.001), F(0))] * modes
        self.coefficients = [(F(0), F(0), F(0))] * modes
        self.valid = False
        self.wet_mix = self.wet_gain = F(1)
        self.reset()

    def reset(self):
        self.s1 = [[F(0)] * self.channels for _ in self.modes]
        self.s2 = [[F(0)] * self.channels for _ in self.modes]

    def configure(self, option, value):
        if option == ids.Modal.WET_MIX:
            self.wet_mix = clamp(value, 0, 1)
        elif option == ids.Modal.WET_GAIN:
            self.wet_gain = clamp(value, 0, 16)

    def set_mode(self, index, frequency, decay, gain):
        limit = F(self.rate) * F(0.5) * F(0.999)
        f = F(frequency)
        f = F(0) if f < 0 else min(f, limit)
        self.modes[index] = (f, clamp(decay, 0.001, 30), clamp(gain, -16, 16))
        self.valid = False

    def finish(self):
        if self.valid:
            return
        out = []
        for f, t, g in self.modes:
            f, t, g = float(f), float(t), float(g)
            if f <= 0:
                out.append((F(0), F(0), F(0)))
                continue
            s, c = sin_cos(f * TWO_PI / self.rate)
            r = exp_neg(6.907755278982137 / (t * self.rate))
            out.append((F(g * s), F(-2 * r * c), F(r * r)))
        self.coefficients = out
        self.valid = True

    def silent(self):
        return all(v == 0 for row in self.s1 + self.s2 for v in row)

    def process(self, samples):
        ch = self.channels
        out = []
        for i, sample in enumerate(samples):
            c = i % ch
            x = F(sample)
            total = F(0)
            for m, (b0, a1, a2) in enumerate(self.coefficients):
                s1, s2 = self.s1[m][c], self.s2[m][c]
                if (b0 != 0 and x != 0) or s1 != 0 or s2 != 0:
                    y = b0 * x + s1
                    s1 = s2 - y * a1
                    s2 = -a2 * y
                    if -FLUSH < s1 < FLUSH and -FLUSH < s2 < FLUSH:
                        s1 = s2 = F(0)
                    self.s1[m][c], self.s2[m][c] = s1, s2
                    total = total + y
            out.append(s16(total * (self.wet_mix * self.wet_gain) + x * (F(1) - self.wet_mix)))
        return out
