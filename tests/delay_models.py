"""Plain-Python models of the s16 delay effects, sample by sample, written
from the arithmetic rules rather than from the C++ code.  Lists of ints in and
out; state lists are modified in place like the caller buffers."""

import math

I32_MIN, I32_MAX = -(1 << 31), (1 << 31) - 1


def sat16(v):
    return max(-32768, min(32767, v))


def trunc32(v):
    """Double to 32-bit integer: toward zero, NaN 0, saturating."""
    if math.isnan(v):
        return 0
    if v >= 2.0 ** 31:
        return I32_MAX
    if v <= -(2.0 ** 31) - 1:
        return I32_MIN
    return int(v)


def knee(x, k=7151):
    if x > 28000:
        x = (((x - 28000) * k) >> 16) + 28000
    elif x < -28000:
        x = (((x + 28000) * k) >> 16) - 28000
    return x


def knee16(x, k=7151):
    return sat16(knee(x, k))


def div0(a, b):
    """Integer division truncating toward zero."""
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def gains(mix):
    """min(2 - mix, 1), min(mix, 1), with a NaN mix giving 1 for both."""
    two_less = 2.0 - mix
    return (two_less if two_less < 1.0 else 1.0), (mix if mix < 1.0 else 1.0)


def repeated(f, v, times):
    """f applied times times to v; once v comes round again, the rest goes round the cycle."""
    seen = {}
    for i in range(times):
        if v in seen:
            for _ in range((times - i) % (i - seen[v])):
                v = f(v)
            return v
        seen[v] = i
        v = f(v)
    return v


def echo(inp, line, lpos, rpos, delay, capacity, step, feedback, mix, variable, channels):
    """The variable-rate head moves by the whole step (no 32-bit wrap of pos + step)."""
    dry, wet = gains(mix)
    rng = delay * 256 if variable else delay
    pos = [lpos % rng, rpos % rng if channels == 2 else rpos]
    out = []
    for i, x in enumerate(inp):
        c = i % 2 if channels == 2 else 0
        base = c * capacity
        p = pos[c]
        if not variable:
            d = line[base + p]
            line[base + p] = knee16(trunc32(d * feedback + x))
            pos[c] = 0 if p + 1 == delay else p + 1
        else:
            j, end = p >> 8, (p + step) >> 8
            d = line[base + j]
            feed = lambda v: knee16(trunc32(v * feedback + x))  # noqa: E731
            if end - j <= delay:
                for k in range(j, end):
                    line[base + k % delay] = feed(line[base + k % delay])
            else:
                # cell q is passed by every k in j .. end - 1 with k mod delay = q
                for q in range(delay):
                    times = (end - 1 - q) // delay - (j - 1 - q) // delay
                    line[base + q] = repeated(feed, line[base + q], times)
            pos[c] = (p + step) % rng
        out.append(knee16(trunc32(dry * x + wet * d)))
    return out, pos[0], pos[1]


def multitap(inp, ring, wpos, length, channels, delays, tap_gains, feedback, mix):
    dry, wet = gains(mix)
    n = len(delays)
    k = 0x0FFFFFFF // (n * 32768 - 28000) if n >= 2 else 0
    p = wpos % length
    out = []
    for i, x in enumerate(inp):
        h = i % channels
        base = h * length
        cells = [base + ((length + p - d) & 0xFFFFFFFF) % length for d in delays]
        if n == 0:
            t = ring[base + p]
        elif n == 1:
            t = trunc32(ring[cells[0]] * tap_gains[0])
        else:
            t = knee16(sum(trunc32(ring[c] * g) for c, g in zip(cells, tap_gains)), k)
        ring[base + p] = knee16(x + trunc32(ring[base + p] * feedback))
        out.append(knee16(trunc32(dry * x + wet * t)))
        if h == channels - 1:
            p = 0 if p + 1 == length else p + 1
    return out, p


def pitchshift(inp, ring, fifo, length, fade, channels, step, wpos, fpos, rpos, mix):
    dry, wet = gains(mix)
    step %= length * 256
    w, a, r = wpos % length, (fpos % fade if fade else fpos), rpos % (length * 256)
    out = []
    for i, x in enumerate(inp):
        h = i % channels
        R = r >> 8
        if fade:
            ring[h * length + w] = fifo[h * fade + a]
            fifo[h * fade + a] = x
        else:
            ring[h * length + w] = x
        v = ring[h * length + R]
        if fade:
            m = R - w + (length if R < w else 0)
            if 1 <= m <= fade:
                nxt = fifo[h * fade + (a + m) % fade]
                v = div0(v * m + nxt * (fade - m), fade)
        out.append(knee16(trunc32(dry * x + wet * v)))
        if h == channels - 1:
            w = (w + 1) % length
            if fade:
                a = (a + 1) % fade
            r += step
            if r >= length * 256:
                r -= length * 256
    return out, w, a, r


COMB_LENGTHS = (1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617)
ALLPASS_LENGTHS = (556, 441, 341, 225)


def freeverb(inp, combs, comb_pos, stores, allpasses, allpass_pos, room, damping, mix):
    """combs/allpasses: lists of per-filter lists; positions and stores lists."""
    clamp = lambda v: min(max(v, 0.0), 1.0)  # noqa: E731
    room, damping, mix = clamp(room), clamp(damping), clamp(mix)
    fb = 22937 + trunc32(room * 9175.04)
    d1 = trunc32(damping * 13107.2)
    d2 = 32768 - d1
    gd, gw = (trunc32(g * 32767) for g in gains(2 * mix))
    for k, n in enumerate(COMB_LENGTHS):
        comb_pos[k] = (comb_pos[k] & 0xFFFF) % n
    for j, n in enumerate(ALLPASS_LENGTHS):
        allpass_pos[j] = (allpass_pos[j] & 0xFFFF) % n
    out = []
    for x in inp:
        a = sat16(div0(x * 8738, 131072))
        total = 0
        for k, n in enumerate(COMB_LENGTHS):
            p = (comb_pos[k] & 0xFFFF) % n  # as stored, unless a shared buffer changed it
            y = combs[k][p]
            stores[k] = sat16(div0(stores[k] * d1 + y * d2, 32768))
            combs[k][p] = sat16(a + sat16(div0(stores[k] * fb, 32768)))
            comb_pos[k] = (p + 1) % n
            total += y
        v = sat16(div0(total * 31457, 131072))
        for j, n in enumerate(ALLPASS_LENGTHS):
            p = (allpass_pos[j] & 0xFFFF) % n
            b = allpasses[j][p]
            allpasses[j][p] = sat16((b >> 1) + v)
            v = sat16(div0(b - v, 2))
            allpass_pos[j] = (p + 1) % n
        out.append(knee16(sat16(div0(gd * x, 32768)) + sat16(div0(v * gw * 30, 32768))))
    return out


def random_block(rng, n, amplitude=32768):
    """n random samples in -amplitude .. amplitude - 1."""
    return [rng.randrange(-amplitude, amplitude) for _ in range(n)]
