"""A plain-Python model of the reverb tank, frame by frame in float32.

Written from the description of the engine, not from its code, so that the
tests can compare whole output streams on random settings and geometries.
"""

import ctypes
import ctypes.util

import numpy as np

import ids

F = np.float32

# The platform's single-precision maths (numpy's own float32 sin and exp
# round differently in the last bit).
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sinf", "expf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def sinf(x):
    return F(_libm.sinf(float(x)))


def expf(x):
    return F(_libm.expf(float(x)))

REFERENCE_LINES = [142, 107, 379, 277, 672, 4453, 1800, 3720, 908, 4217, 2656, 3163]
REFERENCE_TAPS = [
    (0, 9, 266, 0.6), (0, 9, 2974, 0.6), (0, 10, 1913, -0.6), (0, 11, 1996, 0.6),
    (0, 5, 1990, -0.6), (0, 6, 187, -0.6), (0, 7, 1066, -0.6), (1, 5, 353, 0.6),
    (1, 5, 3627, 0.6), (1, 6, 1228, -0.6), (1, 7, 2673, 0.6), (1, 9, 2111, -0.6),
    (1, 10, 335, -0.6), (1, 11, 121, -0.6),
]


def clamp(v, a, b):
    v = F(v)
    return F(a) if v < F(a) else (F(b) if F(b) < v else v)


def line16(v):
    if v >= 32767:
        return 32767
    if v <= -32768:
        return -32768
    return int(v)


def s16(v):
    if v > 32767:
        return 32767
    if v < -32768:
        return -32768
    return int(v + F(0.5)) if v >= 0 else int(v - F(0.5))


def one_pole(f, rate):
    f = F(f)
    if f <= 0 or rate == 0:
        return F(0)
    a = F(1) - expf(f * F(-6.2831855) / F(rate))
    return F(0) if a < 0 else min(F(1), a)


class TankModel:
    def __init__(self, sample_rate=48000, max_predelay_ms=200.0, channel_count=2, delays=None, taps=None):
        self.rate = sample_rate
        self.channels = channel_count
        self.lengths = [self._rescale_line(n) for n in REFERENCE_LINES]
        self.taps = [(c, ln, min(self._rescale_offset(o), self.lengths[ln] - 1), F(g))
                     for c, ln, o, g in REFERENCE_TAPS]
        x = F(sample_rate) * clamp(max_predelay_ms, 0, 10000) / F(1000)
        self.capacity = 1 if x < 1 else int(x)
        if delays is not None:
            self.lengths = [0 if F(d) < 0 else int(F(d)) for d in delays]
            self.taps = [(c, ln, min(o, self.lengths[ln] - 1), g) for c, ln, o, g in self.taps]
        if taps is not None:
            v = [F(t) for t in taps]
            self.taps = [(int(v[i]), int(v[i + 1]), int(v[i + 2]), v[i + 3]) for i in range(0, len(v), 4)]
        self.predelay = 0
        self.decay, self.m = F(0.5), F(0.75)
        self.damping_c = self.bandwidth_c = self.highpass_c = self.tilt_c = F(0)
        self.low, self.high = F(1), F(1)
        self.k = self.depth = self.drive = F(0)
        self.width, self.mix = F(1), F(0.3)
        self.damping_hz = self.bandwidth_hz = self.highpass_hz = F(0)
        self.rate_hz = self.depth_ms = self.predelay_ms = self.tilt = F(0)
        self.reset()

    def _rescale(self, n):
        return F(self.rate) * F(n) / F(29761)

    def _rescale_line(self, n):
        x = self._rescale(n)
        if x < 1:
            return 4
        r = int(x + F(0.5))
        return 4 if r < 4 else r

    def _rescale_offset(self, n):
        x = self._rescale(n)
        return 1 if x < 1 else int(x + F(0.5))

    def reset(self):
        self.lines = [[0] * n for n in self.lengths]
        self.pos = [0] * 12
        self.pre = [0] * self.capacity
        self.w = 0
        self.bw = self.hp = F(0)
        self.damp = [F(0), F(0)]
        self.ts = [F(0), F(0)]
        self.s, self.v = F(0), F(1)

    def _predelay_frames(self, t):
        x = F(self.rate) * t / F(1000)
        return int(min(F(self.capacity), x))

    def _tilt(self, t):
        self.tilt = t
        self.low = expf(-t * F(0.057564627))
        self.high = expf(t * F(0.057564627))
        self.tilt_c = one_pole(1000, self.rate)

    def configure(self, option, value):
        v = F(value)
        if option == ids.Tank.DECAY:
            self.decay = clamp(v, 0, 0.999)
        elif option == ids.Tank.INPUT_DIFFUSION:
            self.m = clamp(v, 0, 0.9)
        elif option == ids.Tank.DAMPING_HZ:
            self.damping_hz, self.damping_c = v, one_pole(v, self.rate)
        elif option == ids.Tank.BANDWIDTH_HZ:
            self.bandwidth_hz, self.bandwidth_c = v, one_pole(v, self.rate)
        elif option == ids.Tank.HIGHPASS_HZ:
            self.highpass_hz, self.highpass_c = v, one_pole(v, self.rate)
        elif option == ids.Tank.PREDELAY_MS:
            self.predelay_ms = max(F(0), v)
            self.predelay = self._predelay_frames(self.predelay_ms)
        elif option == ids.Tank.MODULATION_DEPTH_MS:
            self.depth_ms = clamp(v, 0, 100)
            self.depth = F(self.rate) * self.depth_ms / F(1000)
        elif option == ids.Tank.MODULATION_RATE_HZ:
            self.rate_hz = clamp(v, 0, 100)
            self.k = F(0) if self.rate_hz <= 0 else F(2) * sinf(self.rate_hz * F(3.1415927) / F(self.rate))
        elif option == ids.Tank.DRIVE:
            self.drive = clamp(v, 0, 1)
        elif option == ids.Tank.WIDTH:
            self.width = clamp(v, 0, 2)
        elif option == ids.Tank.TILT_DB:
            self._tilt(clamp(v, -24, 24))
        elif option == ids.Tank.MIX:
            self.mix = clamp(v, 0, 2)

    def finish(self):
        self.damping_c = one_pole(self.damping_hz, self.rate)
        self.bandwidth_c = one_pole(self.bandwidth_hz, self.rate)
        self.highpass_c = one_pole(self.highpass_hz, self.rate)
        self.rate_hz = clamp(self.rate_hz, 0, 100)
        self.k = F(2) * sinf(self.rate_hz * F(3.1415927) / F(self.rate)) if self.rate_hz > 0 else F(0)
        self.depth_ms = clamp(self.depth_ms, 0, 100)
        self.depth = F(self.rate) * self.depth_ms / F(1000)
        self.predelay_ms = max(F(0), self.predelay_ms)
        self.predelay = self._predelay_frames(self.predelay_ms)
        self._tilt(clamp(self.tilt, -24, 24))
        for line in (4, 8):
            b = F(self.lengths[line] - 2) * F(0.5)
            if self.depth > b:
                self.depth = max(F(0), b)

    def _allpass(self, k, y, a):
        z = F(self.lines[k][self.pos[k]])
        n = y + z * a
        self.lines[k][self.pos[k]] = line16(n)
        return z - n * a

    def _half(self, first, phase, d, g, d1, d2, side_in, e, damping, side):
        L = self.lengths[first]
        line = self.lines[first]
        p = self.pos[first]
        t = F(L - 1) - d + phase * d
        t = F(1) if t < 1 else min(F(L - 1), t)
        q = int(t)
        phi = t - F(q)
        a0 = (L + p - q) % L
        a1 = (a0 + L - 1) % L
        z = F(line[a0]) + (F(line[a1]) - F(line[a0])) * phi
        n = z * d1 + (side_in * g + e)
        line[p] = line16(n)
        y = z - n * d1
        k = first + 1
        z5 = F(self.lines[k][self.pos[k]])
        self.lines[k][self.pos[k]] = line16(y)
        if damping > 0:
            self.damp[side] = (z5 - self.damp[side]) * damping + self.damp[side]
            z5 = self.damp[side]
        k = first + 2
        z = F(self.lines[k][self.pos[k]])
        n = z5 * g + z * d2
        self.lines[k][self.pos[k]] = line16(n)
        y = z - n * d2
        k = first + 3
        self.lines[k][self.pos[k]] = line16(y)

    def process(self, samples):
        """samples: list of ints (interleaved); returns a list of ints."""
        ch = self.channels
        m = self.m
        m2, d1, d2 = m * F(0.8333333), m * F(0.93333334), m * F(0.6666667)
        dry, wet = min(F(2) - self.mix, F(1)), min(self.mix, F(1))
        depth = self.depth if self.k != 0 else F(0)
        g = self.decay
        out = []
        for f in range(len(samples) // ch):
            frame = [F(samples[f * ch + c]) for c in range(ch)]
            self.s = self.s + self.k * self.v
            self.v = self.v - self.k * self.s
            x = frame[0] if ch == 1 else (frame[1] + frame[0]) * F(0.5)
            P, C = self.predelay, self.capacity
            y = F(self.pre[(self.w - P + C) % C]) if 1 <= P <= C else x
            self.pre[self.w] = s16(x)
            self.w = (self.w + 1) % C
            if self.bandwidth_c > 0:
                self.bw = (y - self.bw) * self.bandwidth_c + self.bw
                y = self.bw
            if self.highpass_c > 0:
                self.hp = (y - self.hp) * self.highpass_c + self.hp
                y = y - self.hp
            if self.drive > 0:
                u = y * F(0.000030517578)
                u = F(-1) if u < -1 else min(F(1), u)
                y = (u - u * self.drive * u * u / F(3)) * F(32768)
            y = self._allpass(0, y, m)
            y = self._allpass(1, y, m)
            y = self._allpass(2, y, m2)
            e = self._allpass(3, y, m2)
            zl = F(self.lines[7][self.pos[7]])
            zr = F(self.lines[11][self.pos[11]])
            self._half(4, self.s, depth, g, d1, d2, zr, e, self.damping_c, 0)
            self._half(8, self.v, depth, g, d1, d2, zl, e, self.damping_c, 1)
            acc = [F(0), F(0)]
            for c, ln, r, gain in self.taps:
                L = self.lengths[ln]
                r = r if r < L else L - 1
                value = F(self.lines[ln][(self.pos[ln] - r + L) % L]) * gain
                acc[c if ch == 2 else 0] = acc[c if ch == 2 else 0] + value
            wets = acc if ch == 2 else [acc[0] * F(0.5)]
            for k in range(12):
                self.pos[k] = (self.pos[k] + 1) % self.lengths[k]
            if ch == 2 and self.width != 1:
                mid = (wets[1] + wets[0]) * F(0.5)
                side = (wets[0] - wets[1]) * F(0.5) * self.width
                wets = [side + mid, mid - side]
            for c in range(ch):
                o = wets[c]
                if self.tilt != 0 and self.tilt_c > 0:
                    self.ts[c] = (o - self.ts[c]) * self.tilt_c + self.ts[c]
                    o = self.ts[c] * self.low + (o - self.ts[c]) * self.high
                out.append(s16(frame[c] * dry + o * wet))
        return out
