"""A slow pure-Python model of DynamicsState, single precision per operation.

expf / logf come from the C library through ctypes so that the model and the
engine round the same way; every other operation is a numpy float32 scalar
operation, which rounds once as IEEE single precision does.
"""

import ctypes
import ctypes.util

import numpy as np

import ids

F = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("expf", "logf", "sqrtf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def expf(x):
    return F(_libm.expf(float(x)))


def logf(x):
    return F(_libm.logf(float(x)))


def sqrtf(x):
    return F(_libm.sqrtf(float(x)))


def lin(db):
    return expf(F(db) * F(0.115129255))


def db(x):
    return logf(x) * F(8.685889)


def fmax(a, b):
    return b if a < b else a


def fmin(a, b):
    return b if b < a else a


T = [
    [2.8773002e-19, 0.000705750659, -0.00429586414, 0.0151204467, -0.0425751023, 0.127196431, 0.972673595,
     -0.0932201967, 0.0331783853, -0.0113643231, 0.00294428063, -0.000363411964],
    [-8.46131225e-05, 0.00293353549, -0.0146775581, 0.0478926823, -0.13199158, 0.449310958, 0.771207988,
     -0.170813993, 0.0621681139, -0.0202707946, 0.00468613766, -0.000360888691],
]
T.append(T[1][::-1])
T.append(T[0][::-1])
T = [[F(v) for v in row] for row in T]

SCALE = F(3.0517578125e-05)


class Model:
    def __init__(self, mode=0, sample_rate=48000, channel_count=2):
        self.sr = sample_rate
        self.n = channel_count
        self.mode = mode
        self.p = dict(threshold=F(-24), ratio=F(4), knee=F(6), makeup=F(1), attack=F(0), release=F(0),
                      t_attack=F(0), t_sustain=F(0), hp=F(0), lookahead=0, detector=0,
                      fa=F(1), fr=F(50), sa=F(25), sr_=F(300), dual=False,
                      fa2=F(1), fr2=F(200), sa2=F(25), sr2=F(1200), hold=0, rms=False, rms_k=F(0),
                      feedback=False, key_rel=False, adaptive=False, lp=F(0), order=1, listen=False,
                      range=F(1), gate_hold=0, hyst=F(0), smooth=F(1), fb_slope=False)
        self.ring = []
        self.capacity = 0
        self.write = 0
        self.reset()

    # -- conversions ------------------------------------------------------
    def tc(self, ms):
        ms = F(ms)
        if not ms > 0:
            return F(1)
        with np.errstate(all="ignore"):
            return F(1) - expf(F(-1000) / (ms * F(self.sr)))

    def fc(self, hz):
        hz = F(hz)
        if hz <= 0:
            return F(0)
        return F(1) - expf(F(-6.2831855) * hz / F(self.sr))

    def frames_of(self, ms):
        if ms <= 0:
            return 0
        return int(F(self.sr) * ms / F(1000))

    def configure(self, option, value):
        v, p = F(value), self.p
        if option == ids.Dynamics.LOOKAHEAD_MS:
            p["lookahead"] = int(F(self.sr) * min(max(v, F(0)), F(50)) / F(1000))
            if p["lookahead"] > self.capacity:
                self.capacity = p["lookahead"]
                self.ring = [0] * (self.capacity * self.n)
                self.write = 0
            return
        same = lambda v: v  # noqa: E731
        switch = lambda v: bool(v != 0)  # noqa: E731
        name, convert = {
            0: ("threshold", same), 1: ("ratio", lambda v: v if v > 1 else F(1)),
            2: ("knee", lambda v: v if v > 0 else F(0)), 3: ("makeup", lin), 4: ("attack", self.tc),
            5: ("release", self.tc), 6: ("t_attack", same), 7: ("t_sustain", same), 8: ("hp", self.fc),
            10: ("detector", lambda v: 0 if v <= 0 else (1 if v < 2 else 2)), 11: ("fa", same), 12: ("fr", same),
            13: ("sa", same), 14: ("sr_", same), 15: ("rms", lambda v: bool(v >= 1)), 16: ("rms_k", self.tc),
            17: ("feedback", switch), 18: ("lp", self.fc), 19: ("order", lambda v: 2 if v >= 2 else 1),
            20: ("listen", switch), 21: ("range", same), 22: ("gate_hold", self.frames_of), 23: ("hyst", abs),
            24: ("key_rel", switch), 25: ("adaptive", switch), 26: ("dual", switch), 27: ("fa2", same),
            28: ("fr2", same), 29: ("sa2", same), 30: ("sr2", same), 31: ("hold", self.frames_of),
            32: ("smooth", self.tc), 33: ("fb_slope", switch),
        }[option]
        p[name] = convert(v)

    def finish(self):
        p = self.p
        if p["attack"] == 0:
            p["attack"] = self.tc(10)
        if p["release"] == 0:
            p["release"] = self.tc(120)
        if p["rms_k"] == 0:
            p["rms_k"] = self.tc(10)

    def reset(self):
        n = 2
        self.hp1 = [F(0)] * n
        self.hp2 = [F(0)] * n
        self.lp1 = [F(0)] * n
        self.lp2 = [F(0)] * n
        self.ms = [F(0)] * n
        self.h3 = [[F(0)] * 3 for _ in range(n)]
        self.h12 = [[F(0)] * 12 for _ in range(n)]
        self.prev_out = [F(0)] * n
        self.env = self.fast = self.slow = self.key_env = self.fast2 = self.slow2 = self.held = F(0)
        self.hold_count = 0
        self.gate = 0
        self.gate_gain = F(0)
        self.gate_count = 0
        self.smoothed = F(0)
        self.smoothed_valid = False
        self.gr = F(0)
        self.ring = [0] * len(self.ring)
        self.write = 0

    # -- processing -------------------------------------------------------
    def process(self, samples, key=None):
        p, n = self.p, self.n
        frames = len(samples) // n
        self.c = {name: self.tc(p[name]) for name in ("fa", "fr", "sa", "sr_", "fa2", "fr2", "sa2", "sr2")}
        L = min(p["lookahead"], self.capacity)
        if L and self.write >= L:
            self.write = 0
        gated = self.mode == 3 and p["gate_hold"] != 0
        if gated:
            self.open = lin(p["threshold"])
            self.close = lin(p["threshold"] - p["hyst"])
            self.floor = lin(p["range"] if p["range"] <= 0 else F(-80))
        self.r = lin(p["threshold"]) if p["adaptive"] else F(0)
        out = []
        for f in range(frames):
            x = [F(samples[f * n + c]) * SCALE for c in range(n)]
            dry = list(x)
            if L:
                for c in range(n):
                    i = self.write * n + c
                    dry[c] = F(self.ring[i]) * SCALE
                    self.ring[i] = samples[f * n + c]
                self.write = (self.write + 1) % L
            side = list(x)
            if key is not None:
                side = [F(key[f * n + c]) * SCALE for c in range(n)]
            if p["feedback"]:
                side = list(self.prev_out[:n])
            det = list(side)
            for a, stages in ((p["hp"], (self.hp1, self.hp2)), (p["lp"], (self.lp1, self.lp2))):
                if a > 0:
                    for c in range(n):
                        for st in stages[: p["order"]]:
                            st[c] = st[c] + a * (det[c] - st[c])
                            det[c] = det[c] - st[c] if stages[0] is self.hp1 else st[c]
            C = F(0)
            if p["rms"]:
                for c in range(n):
                    self.ms[c] = self.ms[c] + p["rms_k"] * (det[c] * det[c] - self.ms[c])
                    C = fmax(C, self.ms[c])
                C = sqrtf(C)
            else:
                for c in range(n):
                    C = fmax(C, abs(det[c]))
            if p["detector"] == 1:
                for c in range(n):
                    h0, h1, h2 = self.h3[c]
                    v = abs(F(0.5625) * h1 - F(0.0625) * h0 + F(0.5625) * h2 - F(0.0625) * det[c])
                    self.h3[c] = [h1, h2, det[c]]
                    C = fmax(C, v)
            elif p["detector"] == 2:
                for c in range(n):
                    h = self.h12[c][1:] + [det[c]]
                    self.h12[c] = h
                    for row in T:
                        y = h[0] * row[0]
                        for k in range(1, 12):
                            y = y + h[k] * row[k]
                        C = fmax(C, abs(y))
            E = F(0)
            if p["key_rel"]:
                for c in range(n):
                    E = fmax(E, abs(side[c]))
            g = self.gain(C, E, gated)
            g = g * p["makeup"]
            if p["smooth"] < 1:
                if self.smoothed_valid:
                    g = self.smoothed + p["smooth"] * (g - self.smoothed)
                self.smoothed_valid = True
                self.smoothed = g
            src = dry
            if p["listen"]:
                src, g = det, F(1)
            for c in range(n):
                y = g * src[c] * F(32768)
                y = F(-32768) if y < -32768 else (F(32767) if y > 32767 else y)
                out.append(int(y))
                if p["feedback"]:
                    self.prev_out[c] = y * SCALE
        return out

    def gain(self, C, E, gated):
        p = self.p
        if self.mode == 4:
            return self.transient(C)
        if gated:
            return self.gated(C)
        k = p["attack"] if C > self.env else p["release"]
        if p["adaptive"] and C > self.env and self.r > 0 and C / self.r > 1:
            k = fmin(F(1), sqrtf(C / self.r) * p["attack"])
        self.env = self.env + k * (C - self.env)
        L = db(fmax(F(1e-6), self.env + F(1e-6)))
        if p["key_rel"]:
            kk = p["attack"] if E > self.key_env else p["release"]
            self.key_env = self.key_env + kk * (E - self.key_env)
            L = L - db(fmax(F(1e-6), self.key_env + F(1e-6)))
        x = L - p["threshold"]
        if self.mode == 1:
            G = -x if x > 0 else F(0)
        elif self.mode == 2:
            G = F(0) if x >= 0 else fmax(p["range"] if p["range"] <= 0 else F(-60), (p["ratio"] - F(1)) * x)
        elif self.mode == 3:
            G = F(0) if x >= 0 else fmax(p["range"] if p["range"] <= 0 else F(-80), F(8) * x)
        else:
            W = p["knee"]
            s = p["ratio"] - F(1) if (p["feedback"] and p["fb_slope"]) else F(1) - F(1) / p["ratio"]
            if x <= -(W / F(2)):
                G = F(0)
            elif x < W / F(2) and W > 0:
                G = ((-s) * (W / F(2) + x)) * (W / F(2) + x) / (W + W)
            else:
                G = -s * x
        self.gr = G
        return lin(G)

    def gated(self, C):
        p = self.p
        if C >= self.open and self.gate != 2:
            self.gate = 1
        if self.gate == 0:
            self.gate_gain = self.floor
            g = self.floor
        elif self.gate == 1:
            self.gate_gain = self.gate_gain + p["attack"] * (F(1) - self.gate_gain)
            if self.gate_gain >= F(0.999):
                self.gate_gain, self.gate, self.gate_count = F(1), 2, p["gate_hold"]
            g = self.gate_gain
        elif self.gate == 2:
            self.gate_gain = F(1)
            if C >= self.close:
                self.gate_count = p["gate_hold"]
            elif self.gate_count:
                self.gate_count -= 1
            else:
                self.gate = 3
            g = F(1)
        else:
            self.gate_gain = self.gate_gain + p["release"] * (self.floor - self.gate_gain)
            if self.floor + F(1e-6) >= self.gate_gain:
                self.gate_gain, self.gate = self.floor, 0
            g = self.gate_gain
        self.gr = db(fmax(F(1e-6), g))
        return g

    def held_follower(self, C, release):
        if C >= self.held:
            self.held, self.hold_count = C, self.p["hold"]
            return C
        if self.hold_count:
            self.hold_count -= 1
            return self.held
        self.held = self.held + release * (C - self.held)
        return self.held

    def transient(self, C):
        p, c = self.p, self.c

        def t(fast, slow):
            v = (db(fmax(F(1e-6), fast + F(1e-5))) - db(fmax(F(1e-6), slow + F(1e-5)))) / F(6)
            return F(-1) if v < -1 else (F(1) if v > 1 else v)

        self.fast = self.fast + (c["fa"] if C > self.fast else c["fr"]) * (C - self.fast)
        if p["hold"] and not p["dual"]:
            S = self.held_follower(C, c["sr_"])
        else:
            S = self.slow + (c["sa"] if C > self.slow else c["sr_"]) * (C - self.slow)
        self.slow = S
        t1 = t(self.fast, S)
        if not p["dual"]:
            G = t1 * p["t_attack"] if t1 > 0 else (-t1) * p["t_sustain"]
        else:
            self.fast2 = self.fast2 + (c["fa2"] if C > self.fast2 else c["fr2"]) * (C - self.fast2)
            if p["hold"]:
                S2 = self.held_follower(C, c["sr2"])
            else:
                S2 = self.slow2 + (c["sa2"] if C > self.slow2 else c["sr2"]) * (C - self.slow2)
            self.slow2 = S2
            t2 = t(self.fast2, S2)
            G = (-t2 if t2 < 0 else F(0)) * p["t_sustain"] + (t1 if t1 > 0 else F(0)) * p["t_attack"]
        self.gr = G
        return lin(G)
