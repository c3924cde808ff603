"""Python code that runs inside a call and changes what the call works on.

From Python 3.12 on a buffer can be exported by Python code (``__buffer__``),
and converting an argument runs ``__index__``, ``__float__`` or ``__bool__``.
Such a hook may re-initialise the very object being called (to another channel
count or size), reset it, call the same method again, let another thread do
any of that, or resize a bytearray that the call takes next.  Every call must
then either work on the state as it is after the hook or raise its own
exception; it must never read or write outside memory.

Run as ``python hook_driver.py GROUP``: every case of the group runs and the
script prints "ok".  A failed expectation exits with a traceback; a crash, the
fault these cases hunt, ends the process with a signal (or a sanitizer report).
"""

from __future__ import annotations

import array
import math
import sys
import threading

import _divavova as m

OUTCOMES = (ValueError, RuntimeError, BufferError, TypeError, IndexError, OverflowError)


class Exporter:
    """Exports ``data``, running ``hook`` the first time its buffer is taken."""

    def __init__(self, data, hook):
        self.data, self.hook = data, hook

    def __buffer__(self, flags):
        hook, self.hook = self.hook, None
        if hook:
            hook()
        return memoryview(self.data)


class Number:
    """A number whose first conversion runs ``hook``."""

    def __init__(self, value, hook):
        self.value, self.hook = value, hook

    def _run(self):
        hook, self.hook = self.hook, None
        if hook:
            hook()

    def __index__(self):
        self._run()
        return int(self.value)

    def __float__(self):
        self._run()
        return float(self.value)

    def __bool__(self):
        self._run()
        return bool(self.value)


def in_thread(action):
    """A hook that lets another thread run ``action`` while this one waits."""
    def hook():
        thread = threading.Thread(target=action)
        thread.start()
        thread.join()
    return hook


def outcome(call):
    """The call's result, or the type of the exception it raised (one of OUTCOMES)."""
    try:
        return call()
    except OUTCOMES as exc:
        return type(exc)


def tone(frames, channels):
    return array.array("h", (int(20000 * math.sin(0.05 * n + 1.7 * c)) + (n * 37 % 2001) - 1000
                             for n in range(frames) for c in range(channels))).tobytes()


BOTH = tone(300, 2)        # whole frames mono and stereo
MONO_ONLY = tone(301, 1)   # 301 mono frames: not whole stereo frames


# --- engines ------------------------------------------------------------------

def modal_setup(engine):
    engine.set_mode(0, 440.0, 0.3, 0.5)
    engine.finish()


def finish(engine):
    if hasattr(engine, "finish"):
        engine.finish()


def convolver_setup(engine):
    engine.synthesize(0.02, 0.0, 0.0, 0.0, 7)


def process(engine, block):
    return engine.process(block)


# name: (mono kwargs, stereo kwargs of another size, setup, process call)
ENGINES = {
    "DynamicsState": (dict(mode=0, channel_count=1), dict(mode=1, sample_rate=44100, channel_count=2), finish, process),
    "FeedbackDelayState": (dict(max_delay_ms=5.0, channel_count=1), dict(max_delay_ms=500.0, channel_count=2),
                           finish, process),
    "BiquadF32State": (dict(channel_count=1), dict(sample_rate=8000, channel_count=2), finish, process),
    "AllPassF32State": (dict(channel_count=1, stages=1), dict(channel_count=2, stages=16), finish, process),
    "WaveshaperState": (dict(oversample=1, channel_count=1), dict(oversample=16, channel_count=2), finish, process),
    "LadderState": (dict(channel_count=1), dict(sample_rate=96000, channel_count=2), finish, process),
    "SubOctaveState": (dict(channel_count=1), dict(channel_count=2), finish, process),
    "TankState": (dict(channel_count=1, max_predelay_ms=0.0), dict(channel_count=2, max_predelay_ms=200.0),
                  finish, process),
    "ModalState": (dict(channel_count=1, modes=1), dict(channel_count=2, modes=64), modal_setup, process),
    "ConvolverState": (dict(partitions=1, ir_channels=1, channel_count=1),
                       dict(partitions=8, ir_channels=2, channel_count=2), convolver_setup, process),
    "SampleHoldState": (dict(num=1, den=1), dict(num=7, den=3), finish,
                        lambda engine, block: engine.process(block, 2)),
    "SplitterRing": (dict(taps=1, channel_count=1), dict(taps=4, channel_count=2), finish,
                     lambda engine, block: (engine.write(block), engine.take(0))),
}


def engine_cases(name):
    kind = getattr(m, name)
    mono, stereo, setup, run = ENGINES[name]

    def made(kwargs):
        engine = kind(**kwargs)
        setup(engine)
        return engine

    def reinit(engine, kwargs):
        def hook():
            engine.__init__(**kwargs)
            setup(engine)
        return hook

    def first_output(kwargs, block=BOTH):
        return run(made(kwargs), block)

    for start, target in ((mono, stereo), (stereo, mono)):
        # Re-initialised inside the exporter, directly or from another thread:
        # the block is processed by the new state.
        for wrap in (lambda hook: hook, in_thread):
            engine = made(start)
            got = outcome(lambda: run(engine, Exporter(BOTH, wrap(reinit(engine, target)))))
            assert got == first_output(target), (name, start, target, got)
    # Mono to stereo with a block that is whole mono frames only: refused.
    engine = made(mono)
    got = outcome(lambda: run(engine, Exporter(MONO_ONLY, reinit(engine, stereo))))
    if name != "SampleHoldState":  # raw frames: any channel layout
        assert got is ValueError, (name, got)
    # The same method called again from inside the exporter: the outer block
    # follows the inner one.
    engine = made(mono)
    got = outcome(lambda: run(engine, Exporter(BOTH, lambda: run(engine, BOTH))))
    reference = made(mono)
    run(reference, BOTH)
    assert got == run(reference, BOTH), (name, "recursion")
    # Reset from inside the exporter, after some history.
    if hasattr(kind, "reset"):
        engine = made(mono)
        run(engine, BOTH)
        assert outcome(lambda: run(engine, Exporter(BOTH, engine.reset))) == first_output(mono), (name, "reset")
    # A never-initialised object refuses, or works once the exporter has
    # initialised it.
    blank = kind.__new__(kind)
    if name not in ("TankState", "ModalState"):  # tolerant methods process nothing there
        assert outcome(lambda: run(blank, BOTH)) in (RuntimeError, ValueError), name
    got = outcome(lambda: run(blank, Exporter(BOTH, reinit(blank, stereo))))
    assert got == first_output(stereo), (name, "initialised by the exporter")
    # Every number the methods convert may re-initialise the object.
    engine = made(mono)
    for method in ("configure", "set_sample_rate"):
        if hasattr(engine, method):
            count = 2 if method == "configure" and name != "SampleHoldState" else 1
            args = [Number(1, reinit(engine, stereo)), Number(0.5, reinit(engine, mono))][:count]
            if method == "configure" and name == "SampleHoldState":
                args = [Number(4, reinit(engine, stereo)), Number(2, reinit(engine, mono))]
            outcome(lambda: getattr(engine, method)(*args))
            assert outcome(lambda: run(engine, BOTH)) not in OUTCOMES or name == "SplitterRing", (name, method)


def extra_engine_cases():
    # The dynamics key is taken after the input has been checked.
    dyn = m.DynamicsState(channel_count=1)
    assert outcome(lambda: dyn.process(MONO_ONLY, Exporter(MONO_ONLY, lambda: dyn.__init__(channel_count=2)))) \
        is ValueError
    dyn = m.DynamicsState(channel_count=1)
    got = outcome(lambda: dyn.process(BOTH, Exporter(BOTH, lambda: dyn.__init__(channel_count=2))))
    assert got == m.DynamicsState(channel_count=2).process(BOTH, BOTH)

    # Wow shape: installed on the state the exporter left; a shape the exporter
    # installed meanwhile is released, not leaked.
    shape = array.array("h", (int(32767 * math.sin(2 * math.pi * k / 64)) for k in range(64))).tobytes()
    inner = bytearray(shape)
    delay = m.FeedbackDelayState(max_delay_ms=5.0, channel_count=1)
    assert delay.set_wow_shape(Exporter(shape, lambda: (delay.__init__(channel_count=2),
                                                        delay.set_wow_shape(inner)))) is None
    inner.append(0)  # no view of it is left
    reference = m.FeedbackDelayState(channel_count=2)
    reference.set_wow_shape(shape)
    assert delay.process(BOTH) == reference.process(BOTH)

    # Curves and impulses go to the state the exporter left.
    curve = array.array("h", [-32768, -20000, 0, 20000, 32767]).tobytes()
    shaper = m.WaveshaperState(oversample=1, channel_count=1)
    shaper.load_curve(Exporter(curve, lambda: shaper.__init__(oversample=16, channel_count=2)))
    reference = m.WaveshaperState(oversample=16, channel_count=2)
    reference.load_curve(curve)
    assert shaper.process(BOTH) == reference.process(BOTH)

    impulse = tone(700, 1)  # three partitions
    conv = m.ConvolverState(partitions=4, channel_count=1)
    assert outcome(lambda: conv.load(Exporter(impulse, lambda: conv.__init__(partitions=1)), 1, 1.0)) is ValueError
    conv = m.ConvolverState(partitions=4, channel_count=1)
    conv.load(Exporter(impulse, lambda: conv.__init__(partitions=8, channel_count=2)), Number(1, conv.reset), 1.0)
    reference = m.ConvolverState(partitions=8, channel_count=2)
    reference.load(impulse, 1, 1.0)
    assert conv.process(BOTH) == reference.process(BOTH)
    conv.synthesize(Number(0.05, lambda: conv.__init__(partitions=2, channel_count=1)), 0.0, 0.0, 0.0, 1)
    assert len(conv.process(BOTH)) == len(BOTH)

    # A mode index checked against the bank as the hook left it.
    modal = m.ModalState(modes=8)
    assert outcome(lambda: modal.set_mode(Number(5, lambda: modal.__init__(modes=1)), 440.0, 1.0, 1.0)) is IndexError

    # A tap index checked against the ring as the hook left it.
    ring = m.SplitterRing(taps=4)
    ring.write(BOTH)
    assert outcome(lambda: ring.take(Number(3, lambda: ring.__init__(taps=1)))) is ValueError

    # Tank lines read through numbers that use the half-made object.
    tank = m.TankState(channel_count=1)
    delays = [Number(v, lambda: tank.process(BOTH)) for v in
              (1000, 1100, 1200, 1300, 1400, 1500, 1600, 1700, 1800, 1900, 2000, 2100)]
    tank.__init__(channel_count=2, delays=delays)
    assert len(tank.process(BOTH)) == len(BOTH)

    # Views held by objects: the one an exporter installed meanwhile is released.
    for make in (lambda exporter: m.BufferOwner(exporter), lambda exporter: m.RawSample(exporter)):
        holder = make(bytearray(4))
        inner = bytearray(b"\1\2\3\4")
        holder.__init__(Exporter(bytearray(b"\5\6"), lambda: holder.__init__(inner)))
        inner.append(0)
        got = holder.bytes() if isinstance(holder, m.BufferOwner) else holder._get_buffer()[1]
        assert got == b"\5\6", got

    # The synthesizer's own objects.
    voice = array.array("i", range(-500, 500, 7)).tobytes()
    biquad = m.BiquadState()
    outcome(lambda: biquad.process_i32(Exporter(voice, lambda: biquad.process_i32(voice, 0, 500.0, 0.7, 1.0, 48000)),
                                       0, 500.0, 0.7, 1.0, 48000))
    env = m.EnvelopeState(48000, True, 0.01, 0.1, 0.2)
    env.set_definition(Number(44100, lambda: env.step(100)), Number(1, env.release), 0.01, 0.1, 0.2)
    assert isinstance(env.level, int)


# --- module functions ---------------------------------------------------------

TABLE = array.array("h", (int(30000 * math.sin(2 * math.pi * i / 512)) for i in range(512)))


def function_calls():
    """(name, arguments): calls that succeed as they stand."""
    stereo = bytearray(BOTH)
    return [
        ("mix_s16", [bytearray(BOTH), bytearray(BOTH)]),
        ("remix_s16", [bytearray(BOTH), 2, 1, bytearray(len(BOTH))]),
        ("multiply_s16", [bytearray(BOTH), bytearray(BOTH[::-1]), 0.5]),
        ("midside_s16", [stereo, 1.5]),
        ("oscillator_i32", [TABLE, 0, 70000, 0, 512, 20000, -3000, 2, 256]),
        ("oscillator_raw_i32", [TABLE, 0, 70000, 0, 512, 256]),
        ("ring_multiply_i32", [bytearray(array.array("i", range(256)).tobytes()), TABLE, 0, 70000, 0, 512]),
        ("apply_loudness_i32", [bytearray(array.array("i", range(256)).tobytes()), 2000, 3000, 2]),
        ("mixdown_i32", [bytearray(array.array("i", range(256)).tobytes()), 4]),
        ("distortion_s16", [bytearray(BOTH), 0.5, 3.0, -1.0, 1, True, 0.7]),
        ("echo_s16", [bytearray(BOTH), bytearray(4 * 400), 0, 0, 300, 400, 300, 0.5, 1.0, True, 2]),
        ("phaser_s16", [bytearray(BOTH), bytearray(4), bytearray(24), 2, 6, 500.0, 48000.0, 0.5, 0.8]),
        ("chorus_s16", [bytearray(BOTH), bytearray(2 * 400), 0, 100, 400, 3, 0.5]),
        ("multitap_s16", [bytearray(BOTH), bytearray(4 * 500), 0, 500, 2,
                          bytearray(array.array("I", [1, 250, 499]).tobytes()),
                          bytearray(array.array("d", [0.5, -0.3, 0.2]).tobytes()), 0.4, 1.0]),
        ("pitchshift_s16", [bytearray(BOTH), bytearray(4 * 512), bytearray(4 * 64), 512, 64, 2, 300, 0, 0, 0, 1.0]),
        ("freeverb_s16", [bytearray(BOTH), bytearray(22048), bytearray(32), bytearray(16), bytearray(3126),
                          bytearray(16), 0.8, 0.3, 0.5]),
    ]


def resize_others(args, index):
    """A hook that shrinks every bytearray argument but the one at index (a
    bytearray the call already holds cannot be resized: that is left alone)."""
    def hook():
        for k, arg in enumerate(args):
            if k != index and isinstance(arg, bytearray) and arg:
                try:
                    del arg[len(arg) // 2:]
                except BufferError:
                    pass
    return hook


def function_cases():
    for case, (name, template) in enumerate(function_calls()):
        function = getattr(m, name)
        for index in range(len(template)):
            for kind in ("resize", "recurse"):
                args = function_calls()[case][1]
                plain = list(args)
                value = args[index]
                hook = resize_others(args, index) if kind == "resize" else (lambda: outcome(lambda: function(*plain)))
                if isinstance(value, (bytearray, array.array)):
                    args[index] = Exporter(value, hook)
                elif isinstance(value, (int, float)):
                    args[index] = Number(value, hook)
                outcome(lambda: function(*args))
                for arg in plain:  # no view outlives the call
                    if isinstance(arg, bytearray):
                        arg.append(0)


GROUPS = {name: (lambda name=name: engine_cases(name)) for name in ENGINES}
GROUPS["other methods"] = extra_engine_cases
GROUPS["module functions"] = function_cases

if __name__ == "__main__":
    for group in sys.argv[1:] or GROUPS:
        GROUPS[group]()
    print("ok")
