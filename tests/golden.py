"""Golden digests: every function and engine on a fixed stimulus.

The outputs are hashed and compared with golden_digests.json, so an
optimisation that changes a single bit of any component fails the suite.
Regenerate (only when a behaviour change is intended) with

    PYTHONPATH=<build> python tests/golden.py --write
"""

from __future__ import annotations

import array
import hashlib
import json
import math
import os
import sys

import _divavova as m
import ids

HERE = os.path.dirname(os.path.abspath(__file__))
DIGEST_FILE = os.path.join(HERE, "golden_digests.json")
RATE = 48000


def stimulus(frames, channels, seed=1):
    """Deterministic broadband test signal: two tones, a chirp, bursts of noise and silence."""
    out = array.array("h")
    state = (seed * 2654435761) & 0xFFFFFFFF or 1
    for n in range(frames):
        t = n / RATE
        env = 1.0 if (n // 4096) % 4 != 3 else 0.0
        for c in range(channels):
            state ^= (state << 13) & 0xFFFFFFFF
            state ^= state >> 17
            state ^= (state << 5) & 0xFFFFFFFF
            noise = ((state & 0xFFFF) - 32768) / 32768
            v = (0.45 * math.sin(2 * math.pi * (220 + 110 * c) * t) + 0.25 * math.sin(2 * math.pi * (50 + 4000 * t) * t)
                 + (0.3 * noise if (n // 1500) % 3 == 0 else 0.02 * noise))
            out.append(max(-32768, min(32767, int(32767 * 1.1 * v * env))))
    return out.tobytes()


def blocks(data, frame_bytes, sizes=(256, 1, 100, 513, 256, 64)):
    """Cuts data into blocks of varying sizes (in frames)."""
    pos, k = 0, 0
    while pos < len(data):
        step = sizes[k % len(sizes)] * frame_bytes
        yield data[pos:pos + step]
        pos += step
        k += 1


class Digest:
    def __init__(self):
        self.hashes = {}

    def add(self, name, *parts):
        h = self.hashes.setdefault(name, hashlib.sha256())
        for part in parts:
            if isinstance(part, (bytes, bytearray, memoryview)):
                h.update(bytes(part))
            else:
                h.update(repr(part).encode())

    def result(self):
        return {name: h.hexdigest()[:32] for name, h in sorted(self.hashes.items())}


def stream(d, name, engine, data, frame_bytes, extra=()):
    for block in blocks(data, frame_bytes):
        d.add(name, engine.process(block, *extra))


def run_functions(d, mono, stereo):
    d.add("mix_s16", m.mix_s16(stereo, stereo[::-1]))
    d.add("remix_s16", m.remix_s16(stereo, 2, 1), m.remix_s16(mono, 1, 2))
    d.add("multiply_s16", *(m.multiply_s16(stereo, stereo[::-1], depth) for depth in (0.0, 0.3, 1.0)))
    d.add("midside_s16", *(m.midside_s16(stereo, w) for w in (0.0, 0.7, 1.6, 2.0)))

    table = array.array("h", (int(30000 * math.sin(2 * math.pi * i / 600) + 2000 * math.sin(i)) for i in range(2048)))
    phase = 0
    for step in (65536, 3 * 65536 + 12345, 700000):
        for count in (256, 17, 1000):
            out, phase = m.oscillator_raw_i32(table, phase, step, 100, 2048, count)
            d.add("oscillator_raw_i32", out, phase)
            out, phase = m.oscillator_i32(table, phase, step, 0, 1500, 30000, -12000, 2, count)
            d.add("oscillator_i32", out, phase)
            voice, _ = m.oscillator_raw_i32(table, 0, step, 0, 2048, count)
            out, rphase = m.ring_multiply_i32(voice, table, phase, step // 3 + 1, 10, 2000)
            d.add("ring_multiply_i32", out, rphase)
            d.add("apply_loudness_i32", m.apply_loudness_i32(voice, 20000, -5000, 2, 1000, 3000),
                  m.apply_loudness_i32(voice, 32767, 0, 1))
    voices = array.array("i", (int(9 * 32768 * math.sin(i * 0.01)) for i in range(4096))).tobytes()
    d.add("mixdown_i32", *(m.mixdown_i32(voices, v) for v in (1, 8, 64)))
    d.add("pitch_bend", *(m.pitch_bend(v, b) for v in (1000, 65536, 123456789) for b in (-70000, -2731, 0, 2731, 32768)))

    for shape in range(4):
        for soft in (False, True):
            d.add("distortion_s16", m.distortion_s16(stereo, 0.6, 6.0, -3.0, shape, soft, 0.8))

    line = bytearray(2 * 2 * 3000)
    left = right = 0
    for block in blocks(stereo, 4):
        out, left, right = m.echo_s16(block, line, left, right, 2400, 3000, 256, 0.55, 1.2, False, 2)
        d.add("echo_s16", out, left, right)
    line = bytearray(2 * 2 * 3000)
    left = right = 0
    for block in blocks(stereo, 4):
        out, left, right = m.echo_s16(block, line, left, right, 2000, 3000, 301, -0.4, 0.8, True, 2)
        d.add("echo_s16", out, left, right)

    feedback, allpass = bytearray(4), bytearray(2 * 2 * 6)
    for k, block in enumerate(blocks(stereo, 4)):
        d.add("phaser_s16", m.phaser_s16(block, feedback, allpass, 2, 6, 300.0 + 40 * k, 48000.0, 0.6, 0.9))

    ring, pos = bytearray(2 * 3000), 0
    for block in blocks(stereo, 4):
        out, pos = m.chorus_s16(block, ring, pos, 2000, 3000, 3, 0.45)
        d.add("chorus_s16", out, pos)

    ring, pos = bytearray(2 * 2 * 5000), 0
    delays = bytearray(array.array("I", [1, 700, 2400, 4999]).tobytes())
    gains = bytearray(array.array("d", [0.3, -0.5, 0.25, 0.7]).tobytes())
    for block in blocks(stereo, 4):
        out, pos = m.multitap_s16(block, ring, pos, 5000, 2, delays, gains, 0.45, 1.1)
        d.add("multitap_s16", out, pos)

    ring, fifo = bytearray(2 * 2 * 2048), bytearray(2 * 2 * 256)
    w = f = r = 0
    for block in blocks(stereo, 4):
        out, w, f, r = m.pitchshift_s16(block, ring, fifo, 2048, 256, 2, 362, w, f, r, 1.3)
        d.add("pitchshift_s16", out, w, f, r)

    combs, comb_pos, stores = bytearray(22048), bytearray(32), bytearray(16)
    allpasses, allpass_pos = bytearray(3126), bytearray(16)
    for block in blocks(mono, 2):
        d.add("freeverb_s16", m.freeverb_s16(block, combs, comb_pos, stores, allpasses, allpass_pos, 0.8, 0.3, 0.4))
    d.add("freeverb_s16", combs, comb_pos, stores, allpasses, allpass_pos)


def run_types(d, mono, stereo):
    owner = m.BufferOwner(array.array("h", [1, -2, 3]))
    d.add("BufferOwner", owner.bytes(), owner.format, owner.nbytes, owner.itemsize)
    sample = m.RawSample(array.array("h", range(-8, 8)), channel_count=2, single_buffer=False)
    d.add("RawSample", *(sample._get_buffer(True, k) for k in range(3)))

    env = m.EnvelopeState(48000, True, 0.05, 0.1, 0.2, 0.9, 0.6)
    for k in range(200):
        if k == 150:
            env.release()
        env.step(100 + k)
        d.add("EnvelopeState", env.level, env.state)

    synth_biquad = m.BiquadState()
    voice = array.array("i", (int(20000 * math.sin(i * 0.05)) for i in range(2048))).tobytes()
    for mode in range(7):
        d.add("BiquadState", synth_biquad.process_i32(voice, mode, 1200.0, 0.9, 6.0, 48000),
              synth_biquad.process_s16(stereo[:4096], mode, 800.0, 2.0, -4.0, 48000, 0.7, 2))

    for mode in range(5):
        dyn = m.DynamicsState(mode=mode, sample_rate=48000, channel_count=2)
        opt = ids.Dynamics
        for option, value in ((opt.THRESHOLD_DB, -30.0), (opt.RATIO, 6.0), (opt.LOOKAHEAD_MS, 2.0), (opt.RMS, 1.0),
                              (opt.GATE_HOLD_MS, 20.0), (opt.DUAL_TRANSIENT, 1.0), (opt.TRANSIENT_ATTACK_DB, 5.0),
                              (opt.TRANSIENT_SUSTAIN_DB, -3.0)):
            dyn.configure(option, value)
        dyn.finish()
        for block in blocks(stereo, 4):
            d.add("DynamicsState", dyn.process(block), round(dyn.gain_reduction_db, 9))
        keyed = m.DynamicsState(mode=mode)
        keyed.configure(ids.Dynamics.KEY_RELATIVE, 1.0)
        keyed.configure(ids.Dynamics.DETECTOR, 2.0)
        keyed.finish()
        d.add("DynamicsState", keyed.process(stereo, stereo[::-1]))

    ring = m.SplitterRing(taps=3, channel_count=2)
    for k, block in enumerate(blocks(stereo, 4)):
        d.add("SplitterRing", ring.write(block), ring.take(k % 3), ring.starved((k + 1) % 3))

    delay = m.FeedbackDelayState(48000, 300.0, 2)
    opt = ids.FeedbackDelay
    for option, value in ((opt.DELAY_MS, 120.0), (opt.FEEDBACK, 0.6), (opt.MIX, 1.2), (opt.LOWPASS_HZ, 6000.0),
                          (opt.HIGHPASS_HZ, 80.0), (opt.WOW_RATE_HZ, 0.7), (opt.WOW_DEPTH_MS, 3.0),
                          (opt.CROSS_FEEDBACK, 0.3), (opt.SATURATION, 0.4), (opt.INPUT_ROUTING, -0.5),
                          (opt.DELAY_SLEW, 4.0), (opt.LEVEL_MODULATION, 0.3), (opt.PITCH_SEMITONES, 5.0),
                          (opt.PITCH_WINDOW_MS, 40.0)):
        delay.configure(option, value)
    delay.finish()
    shape = array.array("h", (int(32767 * math.sin(2 * math.pi * i / 64)) for i in range(64)))
    delay.set_wow_shape(shape)
    stream(d, "FeedbackDelayState", delay, stereo, 4)
    delay.set_wow_shape(None)

    opt = ids.Waveshaper
    shaper_settings = ((opt.DRIVE, 3.0), (opt.BIAS, 0.1), (opt.OUTPUT_GAIN, 0.7), (opt.MIX, 0.9),
                       (opt.HYSTERESIS_AMOUNT, 0.5), (opt.HYSTERESIS_WIDTH, 0.2), (opt.HYSTERESIS_ASYMMETRY, 0.3))
    for oversample in (1, 2, 4, 16):
        shaper = m.WaveshaperState(48000, oversample, 2)
        shaper.load_curve(array.array("h", (int(32767 * math.tanh(3 * (i / 64 - 1))) for i in range(129))))
        for option, value in shaper_settings:
            shaper.configure(option, value)
        shaper.finish()
        stream(d, "WaveshaperState", shaper, stereo, 4)
        plain = m.WaveshaperState(48000, oversample, 1)  # no backlash: the per-sample path
        plain.load_curve(array.array("h", (int(32767 * math.sin(i / 40)) for i in range(97))))
        for option, value in ((opt.DRIVE, 2.5), (opt.BIAS, -0.05), (opt.OUTPUT_GAIN, 1.1), (opt.MIX, 0.8)):
            plain.configure(option, value)
        plain.finish()
        stream(d, "WaveshaperState", plain, mono, 2)

    hold = m.SampleHoldState(7, 3)
    for block in blocks(stereo, 4):
        d.add("SampleHoldState", hold.process(block, 4))
    hold.configure(5, 2)
    d.add("SampleHoldState", hold.ratio(), hold.process(mono, 2))

    for oversample in (1.0, 2.0):
        ladder = m.LadderState(48000, 2)
        opt = ids.Ladder
        for option, value in ((opt.CUTOFF_HZ, 900.0), (opt.RESONANCE, 3.2), (opt.DRIVE, 4.0), (opt.POLES, 4.0),
                              (opt.COMPENSATION, 0.5), (opt.OVERSAMPLE, oversample), (opt.MIX, 0.9)):
            ladder.configure(option, value)
        ladder.finish()
        stream(d, "LadderState", ladder, stereo, 4)

    for kind in range(7):
        biquad = m.BiquadF32State(48000, 2)
        opt = ids.BiquadF32
        for option, value in ((opt.TYPE, kind), (opt.FREQUENCY_HZ, 1500.0), (opt.Q, 1.3), (opt.GAIN_DB, 7.5),
                              (opt.MIX, 0.8)):
            biquad.configure(option, value)
        biquad.finish()
        d.add("BiquadF32State", biquad.coefficients())
        stream(d, "BiquadF32State", biquad, stereo, 4)

    allpass = m.AllPassF32State(48000, 2, 6)
    for k, block in enumerate(blocks(stereo, 4)):
        allpass.configure(ids.AllPassF32.FREQUENCY_HZ, 200.0 + 37.0 * k)
        allpass.configure(ids.AllPassF32.FEEDBACK, 0.5)
        allpass.configure(ids.AllPassF32.MIX, 0.6)
        allpass.finish()
        d.add("AllPassF32State", allpass.process(block), allpass.coefficient())

    for octaves in (1.0, 2.0):
        sub = m.SubOctaveState(48000, 2)
        opt = ids.SubOctave
        for option, value in ((opt.OCTAVES, octaves), (opt.DEPTH, 0.7), (opt.THRESHOLD, 0.05), (opt.HOLDOFF_MS, 3.0)):
            sub.configure(option, value)
        sub.finish()
        stream(d, "SubOctaveState", sub, stereo, 4)

    for ir_channels, channels, data in ((1, 1, mono), (2, 2, stereo), (1, 2, stereo)):
        conv = m.ConvolverState(48000, 6, ir_channels, channels)
        conv.synthesize(0.02, 5000.0, 1.0, 2.0, 7)
        conv.configure(ids.Convolver.MIX, 0.6)
        d.add("ConvolverState", conv.taps())
        stream(d, "ConvolverState", conv, data, 2 * channels)
        conv.load(stereo[:4000], 2, 0.8)
        stream(d, "ConvolverState", conv, data, 2 * channels)

    for channels, data in ((1, mono), (2, stereo)):
        tank = m.TankState(48000, 50.0, channels)
        opt = ids.Tank
        for option, value in ((opt.DECAY, 0.8), (opt.INPUT_DIFFUSION, 0.7), (opt.DAMPING_HZ, 7000.0),
                              (opt.BANDWIDTH_HZ, 12000.0), (opt.HIGHPASS_HZ, 40.0), (opt.PREDELAY_MS, 12.0),
                              (opt.MODULATION_DEPTH_MS, 1.0), (opt.MODULATION_RATE_HZ, 0.9), (opt.DRIVE, 0.3),
                              (opt.WIDTH, 1.4), (opt.TILT_DB, 3.0), (opt.MIX, 1.1)):
            tank.configure(option, value)
        tank.finish()
        stream(d, "TankState", tank, data, 2 * channels)

    modal = m.ModalState(48000, 2, 12)
    for k in range(12):
        modal.set_mode(k, 110.0 * (k + 1) * 1.01, 0.05 + 0.02 * k, 0.8 / (k + 1))
    modal.configure(ids.Modal.WET_MIX, 0.7)
    modal.configure(ids.Modal.WET_GAIN, 2.0)
    modal.finish()
    stream(d, "ModalState", modal, stereo, 4)
    d.add("ModalState", modal.silent())


def digests():
    mono, stereo = stimulus(12000, 1, 3), stimulus(12000, 2, 5)
    d = Digest()
    run_functions(d, mono, stereo)
    run_types(d, mono, stereo)
    return d.result()


if __name__ == "__main__":
    result = digests()
    if "--write" in sys.argv:
        with open(DIGEST_FILE, "w") as handle:
            json.dump(result, handle, indent=1, sort_keys=True)
            handle.write("\n")
        print(f"wrote {len(result)} digests to {DIGEST_FILE}")
    else:
        print(json.dumps(result, indent=1))
