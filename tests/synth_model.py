"""Pure-Python reference of the synthesizer voice path, for differential tests.

Written from the documented behaviour with Python integers; every place where
the native code keeps 32 or 16 bits is an explicit wrap here.
"""

import math
import struct

import numpy as np

M32 = 0xFFFFFFFF


def wrap32(v):
    v &= M32
    return v - (1 << 32) if v & 0x80000000 else v


def low16(v):
    v &= 0xFFFF
    return v - 0x10000 if v & 0x8000 else v


def trunc_div(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def round_half_away(v):
    whole = math.floor(abs(v))
    rounded = whole + (1 if abs(v) - whole >= 0.5 else 0)
    return int(rounded if v >= 0 else -rounded)


def saturate(v, lo=-32768, hi=32767):
    return lo if v < lo else hi if v > hi else v


# --- looped wavetable -------------------------------------------------------

class Loop:
    def __init__(self, start, end):
        self.S, self.E = start << 16, end << 16
        self.W = self.E - self.S

    def fold(self, p):
        return self.S + (p - self.S) % self.W if p >= self.E else p

    def advance(self, p, step):
        t = (p + step) & M32
        if t < self.E:
            return t
        p = t - self.W
        if p >= self.E:  # a step longer than the loop: reduce into it
            p = self.S + (t - self.S) % self.W
        return p


def table_at(table, p):
    index = p >> 16
    assert 0 <= index < len(table), "read outside the table"
    return table[index]


def read_loop(table, phase, step, start, end, n):
    """(samples or None, position)."""
    loop = Loop(start, end)
    if step > loop.E // 2:
        return None, phase
    p = loop.fold(phase)
    out = []
    for _ in range(n):
        p = loop.advance(p, step)
        out.append(table_at(table, p))
    return out, p


def scale(level, x):
    return saturate(trunc_div(level * x, 65536))


def level_stage(samples, current, target, channels):
    a, b = current
    last = 0
    out = []
    for x in samples:
        if (a, b) != tuple(target):
            if x == 0 or (last > 0 and x < 0) or (last < 0 and x > 0):
                a, b = target
            else:
                last = x
        out.append(scale(a, x))
        if channels == 2:
            out.append(scale(b, x))
    return out


def oscillator(table, phase, step, start, end, left, right, channels, n):
    raw, p = read_loop(table, phase, step, start, end, n)
    if raw is None:
        return [0] * (n * channels), p
    return level_stage(raw, (left, right), (left, right), channels), p


def ring_multiply(voice, table, phase, step, start, end):
    loop = Loop(start, end)
    p = loop.fold(phase)
    out = []
    for r in voice:
        p = loop.advance(p, step)
        out.append(low16(trunc_div(wrap32(table_at(table, p) * r), 32768)))  # the product wraps in 32 bits
    return out, p


def knee(x, k):
    if x > 28000:
        return (((x - 28000) * k) >> 16) + 28000
    if x < -28000:
        return (((x + 28000) * k) >> 16) - 28000
    return x


def mixdown(samples, voices):
    k = 268435455 // (voices * 32768 - 28000)
    return [saturate(knee(x, k)) for x in samples]


SEMITONES = [round(32768 * (2 ** (j / 12) - 1)) for j in range(13)]


def pitch_bend(value, bend):
    octaves, f15 = bend >> 15, bend & 0x7FFF
    p = f15 * 24
    i, f = p >> 16, p & 0xFFFF
    r = ((SEMITONES[i] * (65535 - f) + SEMITONES[i + 1] * f) >> 16) + 32768
    # value x r x 2^octaves / 32768, floored, low 32 bits
    shift = octaves - 15
    scaled = (value * r) << shift if shift >= 0 else (value * r) >> -shift
    return scaled & M32


# --- envelope ---------------------------------------------------------------

def _ramp(rate, time, span):
    n = round_half_away(rate * time)
    n = max(-(1 << 31), min((1 << 31) - 1, n))
    if n == 0:
        return 32767
    q = trunc_div(abs(span * 256), n)
    m = 1 if q < 1 else min(q, 32767)
    return -m if span < 0 else m


class Envelope:
    def __init__(self, rate, enabled, attack_time=0.0, decay_time=0.0, release_time=0.0,
                 attack_level=1.0, sustain_level=1.0):
        self.define(rate, enabled, attack_time, decay_time, release_time, attack_level, sustain_level)
        self.level = self.counter = self.state = 0
        self.step(256)

    def define(self, rate, enabled, at, dt, rt, al, sl):
        if not enabled:
            self.steps = (32767, -32767, -32767)
            self.peak = self.hold = 32767
            return
        a = low16(int(al * 32767.0))
        s = low16(int(sl * 32767.0 * al))
        self.peak, self.hold = a, s
        self.steps = (_ramp(rate, at, a), -_ramp(rate, dt, low16(a - s)),
                      -_ramp(rate, rt, s if s != 0 else a))

    def step(self, count):
        self.counter = (self.counter + count) & 0xFFFF
        while self.counter >= 256:
            self.counter -= 256
            up, down, rel = self.steps
            if self.state == 0:
                if self.level + up >= self.peak & 0xFFFF:
                    self.level, self.state = self.peak, 1
                else:
                    self.level = low16(self.level + up)
            elif self.state == 1:
                if self.level + down <= self.hold & 0xFFFF:
                    self.level, self.state = self.hold, 2
                else:
                    self.level = low16(self.level + down)
            elif self.state == 3:
                self.level = 0 if self.level + rel < 0 else low16(self.level + rel)


# --- synth biquad -------------------------------------------------------------

def _inverse_sqrt_f32(gain):
    a = np.float32(gain)
    bits = struct.unpack("<I", struct.pack("<f", a))[0]
    y = np.float32(struct.unpack("<f", struct.pack("<I", (0x5F3759DF - (bits >> 1)) & M32))[0])
    return float((np.float32(1.5) - ((np.float32(0.5) * a) * y) * y) * y)


def biquad_design(mode, freq, q, A, fs):
    w = (1 / fs) * 6.283185307179586 * freq
    x = w * 1.2732395447351628 - 1
    x2 = x * x
    x3, x4 = x2 * x, x2 * x2
    x5 = x3 * x2
    even = (0.0109 * x4 + (-0.21798592) * x2) + 0.70708592
    odd = ((-0.00171961) * x5 + 0.05707685 * x3) + (-0.55535724) * x
    cw, sw = odd + even, even - odd
    alpha = sw / (q + q)
    if mode == 0:
        b = ((1 - cw) * 0.5, 1 - cw, (1 - cw) * 0.5)
        a = (1 + alpha, -2 * cw, 1 - alpha)
    elif mode == 1:
        b = ((1 + cw) * 0.5, -(1 + cw), (1 + cw) * 0.5)
        a = (1 + alpha, -2 * cw, 1 - alpha)
    elif mode == 2:
        b = (alpha, 0.0, -alpha)
        a = (1 + alpha, -2 * cw, 1 - alpha)
    elif mode == 3:
        b = (1.0, -2 * cw, 1.0)
        a = (1 + alpha, -2 * cw, 1 - alpha)
    elif mode == 4:
        b = (1 + alpha * A, -2 * cw, 1 - alpha * A)
        a = (1 + alpha / A, -2 * cw, 1 - alpha / A)
    else:
        r = _inverse_sqrt_f32(A)
        s = ((r * A) + (r * A)) * alpha
        t1, t2 = cw * (A - 1), cw * (A + 1)
        P, P_ = s + (t1 + (A + 1)), (t1 + (A + 1)) - s
        M, M_ = s + ((A + 1) - t1), ((A + 1) - t1) - s
        U, V = t2 + (A - 1), (A - 1) - t2
        if mode == 5:
            b, a = (A * M, 2 * A * V, A * M_), (P, -2 * U, P_)
        else:
            b, a = (A * P, -2 * A * U, A * P_), (M, 2 * V, M_)
    inv = 1 / a[0]
    return tuple(round_half_away(math.ldexp(inv * v, 15)) for v in (a[1], a[2], b[0], b[1], b[2]))


def biquad_filter(coefficients, history, samples):
    """Filters a list of ints; history is [x1, x2, y1, y2] and is updated."""
    a1, a2, b0, b1, b2 = coefficients
    x1, x2, y1, y2 = history
    out = []
    for x in samples:
        acc = wrap32(b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2)
        y = saturate(trunc_div(wrap32(acc + 16384), 32768))
        out.append(y)
        x1, x2, y1, y2 = x, x1, y, y1
    history[:] = [x1, x2, y1, y2]
    return out


def biquad_blend(dry, wet, mix):
    out = []
    for d, w in zip(dry, wet):
        e = int(d * (1 - mix) + w * mix)
        out.append(low16(knee(e, 7151)))
    return out
