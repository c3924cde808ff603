"""A literal numpy model of the partitioned convolver, for small inputs.

Every step is written from the arithmetic the engine documents (twiddles by
double Taylor series, radix-2 FFT with pair layout, split and merge, ring of
input spectra, overlap-save), with numpy float32 arrays so that each
operation rounds to single precision.  It is slow and only meant for a few
blocks.
"""

import math

import numpy as np

f32 = np.float32
TWO_PI = 6.283185307179586


def _horner(z, coeffs):
    """coeffs from the constant term up; evaluated from the highest power down."""
    p = coeffs[-1]
    for c in reversed(coeffs[:-1]):
        p = p * z + c
    return p


def _sin_series(x):
    return x * _horner(x * x, [1.0, -1 / 6, 1 / 120, -1 / 5040, 1 / 362880, -1 / 39916800, 1 / 6227020800])


def _cos_series(x):
    return _horner(x * x, [1.0, -1 / 2, 1 / 24, -1 / 720, 1 / 40320, -1 / 3628800, 1 / 479001600])


def twiddle(k, size):
    theta = math.fmod((k * -TWO_PI) * (1.0 / size), TWO_PI)
    if theta < 0:
        theta += TWO_PI
    if theta <= 1.5707963267948966:
        s, c = _sin_series(theta), _cos_series(theta)
    elif theta <= 3.141592653589793:
        x = 3.141592653589793 - theta
        s, c = _sin_series(x), -_cos_series(x)
    elif theta <= 4.71238898038469:
        x = theta - 3.141592653589793
        s, c = -_sin_series(x), -_cos_series(x)
    else:
        x = TWO_PI - theta
        s, c = -_sin_series(x), _cos_series(x)
    return f32(c), f32(s)


T256 = np.array([twiddle(k, 256) for k in range(128)], dtype=f32)
T512 = np.array([twiddle(k, 512) for k in range(256)], dtype=f32)


def _bit_reverse():
    out = [0] * 256
    j = 0
    for i in range(1, 256):
        bit = 128
        while j & bit:
            j &= ~bit
            bit >>= 1
        j |= bit
        out[i] = j
    return np.array(out)


REVERSE = _bit_reverse()


def cfft(re, im, inverse):
    re = re.astype(f32).copy()
    im = im.astype(f32).copy()
    if inverse:
        im = -im
    re = re[REVERSE]
    im = im[REVERSE]
    d = 2
    while d <= 256:
        h = d // 2
        s = 256 // d
        i = np.tile(np.arange(h), 256 // d)
        a = np.repeat(np.arange(0, 256, d), h) + i
        b = a + h
        wr = T256[s * i, 0]
        wi = T256[s * i, 1]
        ar, ai, br, bi = re[a], im[a], re[b], im[b]
        tr = br * wr - bi * wi
        ti = br * wi + bi * wr
        re[a], im[a] = ar + tr, ai + ti
        re[b], im[b] = ar - tr, ai - ti
        d *= 2
    if inverse:
        im = -im
    return re, im


def forward(x):
    """512 reals -> (re[257], im[257])."""
    x = np.asarray(x, dtype=f32)
    zr, zi = cfft(x[0::2], x[1::2], False)
    m = np.arange(256)
    mirror = (256 - m) % 256
    ar, ai, br, bi = zr, zi, zr[mirror], zi[mirror]
    wr, wi = T512[:, 0], T512[:, 1]
    half = f32(0.5)
    d = (ar - br) * f32(-0.5)
    e = (bi + ai) * half
    xi = wr * d + wi * e + (ai - bi) * half
    xr = wr * e - wi * d + (br + ar) * half
    re = np.zeros(257, f32)
    im = np.zeros(257, f32)
    re[:256], im[:256] = xr, xi
    re[0], im[0] = zr[0] + zi[0], 0
    re[256], im[256] = zr[0] - zi[0], 0
    return re, im


def inverse(re, im):
    m = np.arange(256)
    fr, fi, gr, gi = re[:256], im[:256], re[256 - m], im[256 - m]
    wr, sn = T512[:, 0], -T512[:, 1]
    half = f32(0.5)
    w = (fr - gr) * half
    b = (gi + fi) * half
    work_im = wr * w - sn * b + (fi - gi) * half
    work_re = (gr + fr) * half - (wr * b + sn * w)
    zr, zi = cfft(work_re, work_im, True)
    q = f32(1.0) / f32(256.0)
    out = np.empty(512, f32)
    out[0::2] = zr * q
    out[1::2] = zi * q
    return out


def out16(v):
    v = np.asarray(v, dtype=np.float64)
    r = np.where(v < 0, np.trunc(v - 0.5), np.trunc(v + 0.5))
    r = np.nan_to_num(r, nan=0.0)
    return np.clip(r, -32768, 32767).astype(np.int16)


class Model:
    def __init__(self, partitions=1, ir_channels=1, channel_count=2, sample_rate=48000):
        self.p = partitions
        self.ir_channels = ir_channels
        self.channels = channel_count
        self.rate = sample_rate
        self.mix = f32(1.0)
        self.ir = [[(np.zeros(257, f32), np.zeros(257, f32)) for _ in range(partitions)]
                   for _ in range(ir_channels)]
        self.active = 0
        self.reset()

    def reset(self):
        self.history = np.zeros((2, 512), f32)
        self.inblock = np.zeros((2, 256), f32)
        self.outblock = np.zeros((2, 256), f32)
        self.ring = [[(np.zeros(257, f32), np.zeros(257, f32)) for _ in range(self.p)] for _ in range(2)]
        self.pos = 0
        self.slot = 0

    def configure(self, value):
        v = f32(value)
        v = f32(0) if v < 0 else min(f32(1), v)
        self.mix = v * f32(2)

    def load(self, frames, gain):
        """frames: int array of shape (F, channels)."""
        frames = np.asarray(frames).reshape(len(frames), -1)
        count, channels = frames.shape
        h = f32(gain) * f32(0.000030517578)
        for i in range(self.ir_channels):
            src = 0 if channels == 1 else min(i, channels - 1)
            for j in range(self.p):
                block = np.zeros(512, f32)
                part = frames[j * 256:(j + 1) * 256, src]
                block[:len(part)] = part.astype(f32) * h
                self.ir[i][j] = forward(block)
        self.active = min(self.p, (count + 255) // 256)
        self.reset()

    def set_ir(self, values):
        """values: float32 array (ir_channels, 256 P), already scaled."""
        for i in range(self.ir_channels):
            for j in range(self.p):
                block = np.zeros(512, f32)
                block[:256] = values[i][j * 256:(j + 1) * 256]
                self.ir[i][j] = forward(block)
        self.active = self.p
        self.reset()

    def _block_step(self):
        wet = min(self.mix, f32(1))
        dry = min(f32(2) - self.mix, f32(1))
        self.slot = (self.slot + 1) % self.p
        for ch in range(self.channels):
            self.history[ch] = np.concatenate([self.history[ch][256:], self.inblock[ch]])
            self.ring[ch][self.slot] = forward(self.history[ch])
            acc_r = np.zeros(257, f32)
            acc_i = np.zeros(257, f32)
            for m in range(self.active):
                xr, xi = self.ring[ch][(self.slot - m) % self.p]
                hr, hi = self.ir[ch if self.ir_channels == 2 else 0][m]
                acc_r = (hr * xr - hi * xi) + acc_r
                acc_i = (hr * xi + hi * xr) + acc_i
            scratch = inverse(acc_r, acc_i)
            self.outblock[ch] = wet * scratch[256:] + dry * self.inblock[ch]

    def process(self, samples):
        x = np.asarray(samples, dtype=np.int16).reshape(-1, self.channels)
        if self.active == 0:
            return x.copy()
        out = np.empty_like(x)
        i = 0
        while i < len(x):
            n = min(len(x) - i, 256 - self.pos)
            for ch in range(self.channels):
                out[i:i + n, ch] = out16(self.outblock[ch][self.pos:self.pos + n])
                self.inblock[ch][self.pos:self.pos + n] = x[i:i + n, ch].astype(f32)
            i += n
            self.pos += n
            if self.pos == 256:
                self._block_step()
                self.pos = 0
        return out


def expx(z):
    z = min(max(z, -1.0), 0.0)
    t1 = z
    t2 = (z * 0.5) * z
    t3 = (z / 3) * t2
    t4 = (z * 0.25) * t3
    t5 = (z / 5) * t4
    t6 = (z / 6) * t5
    t7 = (z / 7) * t6
    t8 = (z * 0.125) * t7
    t9 = (z / 9) * t8
    return 1 + t1 + t2 + t3 + t4 + t5 + t6 + t7 + t8 + t9


def _clamp32(x, lo, hi):
    x = float(f32(x))
    return lo if x < lo else min(hi, x)


def synthesized_ir(partitions, ir_channels, rate, decay, damping, predelay, fade, seed):
    """The normalised noise response, float32 array (ir_channels, 256 P)."""
    t = f32(decay)
    t = float(f32(0.05) if t < f32(0.05) else min(f32(30), t))
    l = expx(-6.907755278982138 / (t * rate))
    f = float(f32(damping))
    a = 1.0 - expx(f * -6.283185307179586 / rate) if (f > 0 and rate * 0.25 > f) else 1.0
    length = 256 * partitions
    u = min(int(_clamp32(predelay, 0.0, 200.0) * 0.001 * rate), length)
    r = int(_clamp32(fade, 0.0, 500.0) * 0.001 * rate)
    v = 1.0 / r if r > 0 else 0.0

    def sequence(i):
        x = (seed - i * 0x61C88647) % (1 << 32) or 1
        e, y = 1.0, 0.0
        out = []
        for n in range(length):
            if n < u:
                out.append(0.0)
                continue
            x ^= (x << 13) & 0xFFFFFFFF
            x ^= x >> 17
            x ^= (x << 5) & 0xFFFFFFFF
            noise = float(f32((x >> 8) - 8388608) * f32(1.1920929e-7))
            y = y + (noise * e - y) * a
            k = n - u
            out.append(k * v * y if k < r else y)
            e = e * l
        return out

    seqs = [sequence(i) for i in range(ir_channels)]
    total = 0.0
    for s in seqs:
        for value in s:
            total += value * value
    mean = total / ir_channels
    norm = 1 / math.sqrt(mean) if mean > 0 else 0.0
    return np.array([[f32(value * norm) for value in s] for s in seqs], dtype=f32)
