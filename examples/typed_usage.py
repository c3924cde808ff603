"""Every module function and type once, with the types the stubs give them.

Runs as a script, and `mypy --strict examples/typed_usage.py` checks it.
"""

from __future__ import annotations

import array
import math

import _divavova as dv

RATE = 48000
FRAMES = 256


def tone(frequency: float, level: float = 12000.0, channels: int = 2) -> bytes:
    samples = array.array("h")
    for n in range(FRAMES):
        value = int(level * math.sin(2 * math.pi * frequency * n / RATE))
        samples.extend([value] * channels)
    return samples.tobytes()


def utilities(block: bytes) -> bytes:
    mixed: bytes = dv.mix_s16(block, block)
    mono: bytes = dv.remix_s16(mixed, 2, 1)
    target = bytearray(len(block))
    back: bytearray = dv.remix_s16(mono, 1, 2, target)
    product: bytes = dv.multiply_s16(back, block, 0.5, 2)
    return dv.midside_s16(product, 1.5)


def voice() -> bytes:
    table = array.array("h", (int(30000 * math.sin(2 * math.pi * n / 64)) for n in range(64)))
    envelope = dv.EnvelopeState(RATE, True, attack_time=0.01, decay_time=0.1, release_time=0.2,
                                attack_level=1.0, sustain_level=0.7)
    envelope.step(FRAMES)
    level: int = envelope.level
    stage: int = envelope.state
    envelope.release()
    envelope.reattack()
    envelope.set_definition(RATE, True, 0.02)
    step = dv.pitch_bend(int(440 * 64 / RATE * 65536), 32768 // 12)
    stereo, phase = dv.oscillator_i32(table, 0, step, 0, 64, level, level // 2, 2, FRAMES)
    raw, phase = dv.oscillator_raw_i32(table, phase, step, 0, 64, FRAMES)
    ringed, phase = dv.ring_multiply_i32(raw, table, phase, step // 2, 0, 64)
    panned = dv.apply_loudness_i32(ringed, 20000, 10000 + stage, 2)
    filtered = dv.BiquadState().process_i32(raw, 0, 2000.0, 0.7, 1.0, RATE)
    assert len(filtered) == len(raw)
    summed = dv.mix_s16(dv.mixdown_i32(stereo, 4), dv.mixdown_i32(panned, 4))
    return dv.BiquadState().process_s16(summed, 1, 100.0, 0.7, 1.0, RATE, 1.0, 2)


def one_call_effects(block: bytes) -> bytes:
    block = dv.distortion_s16(block, 0.5, 0.0, 0.0, 2, True, 1.0)
    line = bytearray(2 * 2 * 1000)
    block, left, right = dv.echo_s16(block, line, 0, 0, 1000, 1000, 256, 0.4, 1.0, False, 2)
    block = dv.phaser_s16(block, bytearray(4), bytearray(4 * 6), 2, 6, 300.0, float(RATE), 0.5, 0.7)
    block, position = dv.chorus_s16(block, bytearray(2 * 800), 0, 400, 800, 3, 0.5)
    delays = bytearray(array.array("I", [100, 200]).tobytes())
    gains = bytearray(array.array("d", [0.5, 0.25]).tobytes())
    block, position = dv.multitap_s16(block, bytearray(2 * 2 * 300), 0, 300, 2, delays, gains, 0.3, 1.0)
    block, written, faded, read = dv.pitchshift_s16(block, bytearray(2 * 2 * 512), bytearray(2 * 2 * 64), 512, 64,
                                                    2, 384, 0, 0, 0, 1.0)
    mono = dv.remix_s16(block, 2, 1)
    wet = dv.freeverb_s16(mono, bytearray(22048), bytearray(32), bytearray(16), bytearray(3126), bytearray(16),
                          0.7, 0.4, 0.3)
    assert left + right + position + written + faded + read >= 0
    return dv.remix_s16(wet, 1, 2)


def engines(block: bytes) -> bytes:
    dynamics = dv.DynamicsState(mode=1, sample_rate=RATE, channel_count=2)
    dynamics.configure(0, -6.0)
    dynamics.set_sample_rate(RATE)
    dynamics.finish()
    block = dynamics.process(block, block)
    reduction: float = dynamics.gain_reduction_db
    assert dynamics.sample_rate == RATE and reduction <= 0.5

    delay = dv.FeedbackDelayState(sample_rate=RATE, max_delay_ms=100.0, channel_count=2)
    delay.set_wow_shape(array.array("h", [0, 16000, 0, -16000]))
    delay.configure(0, 20.0)
    delay.finish()
    block = delay.process(block)
    delay.set_wow_shape(None)

    biquad = dv.BiquadF32State(sample_rate=RATE, channel_count=2)
    biquad.configure(0, 4.0)
    biquad.finish()
    b0, b1, b2, a1, a2 = biquad.coefficients()
    allpass = dv.AllPassF32State(sample_rate=RATE, channel_count=2, stages=4)
    allpass.finish()
    coefficient: float = allpass.coefficient()
    assert abs(coefficient) < 1 and math.isfinite(b0 + b1 + b2 + a1 + a2)
    shaper = dv.WaveshaperState(sample_rate=RATE, oversample=2, channel_count=2)
    shaper.load_curve(array.array("h", [-32768, 0, 32767]))
    ladder = dv.LadderState(sample_rate=RATE, channel_count=2)
    sub = dv.SubOctaveState(sample_rate=RATE, channel_count=2)
    tank = dv.TankState(sample_rate=RATE, max_predelay_ms=50.0, channel_count=2)
    modal = dv.ModalState(sample_rate=RATE, channel_count=2, modes=2)
    modal.set_mode(0, 440.0, 0.5, 0.1)
    for stage in (biquad, allpass, shaper, ladder, sub, tank, modal):
        stage.finish()
        block = stage.process(block)
        stage.reset()
    quiet: bool = modal.silent()

    hold = dv.SampleHoldState(num=2, den=1)
    hold.configure(3, 2)
    ratio: tuple[int, int] = hold.ratio()
    block = hold.process(block, 4)
    hold.reset()

    convolver = dv.ConvolverState(sample_rate=RATE, partitions=2, ir_channels=1, channel_count=2)
    convolver.load(array.array("h", [16384, 8192]), 1, 1.0)
    convolver.synthesize(0.2, 5000.0, 0.0, 1.0, 7)
    convolver.configure(0, 0.5)
    taps: int = convolver.taps()
    block = convolver.process(block)
    assert quiet in (True, False) and ratio == (3, 2) and taps == 512
    return block


def holders(block: bytes) -> int:
    owner = dv.BufferOwner(bytearray(block))
    copy: bytes = owner.bytes()
    fmt: str | None = owner.format
    size = owner.nbytes + owner.itemsize
    owner.release()
    ring = dv.SplitterRing(taps=2, channel_count=2)
    stored: int = ring.write(block)
    first: bytes = ring.take(0)
    empty: bool = ring.starved(1)
    with dv.RawSample(array.array("h", [0, 1, 2, 3]), channel_count=1, sample_rate=8000) as sample:
        sample.sample_rate = 16000
        bits: int = sample.bits_per_sample
        signed: bool = sample.samples_signed and sample.single_buffer
        sample._reset_buffer()
        zero, chunk = sample._get_buffer(False, 0)
        assert sample.channel_count == 1 and signed and bits == 16 and zero == 0 and len(chunk) == 8
    sample.deinit()
    assert fmt == "B" and len(copy) == len(block) and not empty
    return size + stored + len(first)


def main() -> None:
    block = tone(440.0)
    out = engines(one_call_effects(utilities(block)))
    print(f"_divavova {dv.__version__} ({dv.__revision__}, ABI {dv.ABI_VERSION}): "
          f"{len(out) // 4} frames, voice {len(voice())} bytes, holders {holders(block)}; "
          f"blocks of {dv.DYNAMICS_FRAMES} frames, tank of {dv.TANK_LINES} lines")


if __name__ == "__main__":
    main()
