"""Hostile input for every entry point of the module.

Every call either returns a value of the documented shape or raises one of the
documented exception types; it never crashes or hangs, and every bytearray it
was given can be resized afterwards (no view outlives the call).  Under the
sanitizer build the same suite also proves that no input reads or writes
outside a buffer.

The tables below describe each function and type by its argument format; a
public name of the module without an entry fails the suite, so new components
are covered from the day they land.
"""

import array
import faulthandler
import gc
import math
import sys
import tracemalloc

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _divavova as m

ALLOWED = (TypeError, ValueError, OverflowError, IndexError, MemoryError, BufferError, RuntimeError)

# Module functions: argument format.
FUNCTIONS = {
    "mix_s16": "y*y*",
    "remix_s16": "y*ii|O",
    "multiply_s16": "y*y*d|I",
    "midside_s16": "y*d|I",
    "oscillator_i32": "OIIIIiiII",
    "oscillator_raw_i32": "OIIIII",
    "ring_multiply_i32": "y*OIIII",
    "apply_loudness_i32": "y*iiI|ii",
    "mixdown_i32": "y*|I",
    "pitch_bend": "Ii",
    "distortion_s16": "y*dddipd",
    "echo_s16": "y*w*IIIIIddpI",
    "phaser_s16": "y*w*w*IIdddd",
    "chorus_s16": "y*w*IIIid",
    "multitap_s16": "y*w*IIIw*w*dd",
    "pitchshift_s16": "y*w*w*IIIIIIId",
    "freeverb_s16": "y*w*w*w*w*w*ddd",
}

# Types: initialiser format and keywords, and the argument format of methods
# whose arguments are known ("" = no arguments, "O" = one object).  Methods
# not listed are still called with assorted argument tuples.
TYPES = {
    "BufferOwner": ("O", ["exporter"], {"release": "", "bytes": ""}),
    "RawSample": ("O|$iIp", ["buffer", "channel_count", "sample_rate", "single_buffer"],
                  {"deinit": "", "_reset_buffer": "|pI", "_get_buffer": "|pI", "__enter__": "", "__exit__": ""}),
    "EnvelopeState": ("Ip|ddddd", ["sample_rate", "enabled", "attack_time", "decay_time", "release_time",
                                   "attack_level", "sustain_level"],
                      {"step": "O", "release": "", "reattack": "", "set_definition": "Ip|ddddd"}),
    "BiquadState": ("", [], {"process_i32": "y*idddI", "process_s16": "y*idddIdi"}),
    "DynamicsState": ("|iII", ["mode", "sample_rate", "channel_count"],
                      {"configure": "id", "finish": "", "reset": "", "process": "O|O", "set_sample_rate": "I"}),
    "SplitterRing": ("|ii", ["taps", "channel_count"], {"write": "O", "take": "O", "starved": "O"}),
    "FeedbackDelayState": ("|IdI", ["sample_rate", "max_delay_ms", "channel_count"],
                           {"configure": "id", "finish": "", "reset": "", "process": "O", "set_wow_shape": "O"}),
    "WaveshaperState": ("|III", ["sample_rate", "oversample", "channel_count"],
                        {"configure": "id", "finish": "", "reset": "", "process": "O", "load_curve": "O"}),
    "SampleHoldState": ("|II", ["num", "den"], {"configure": "II", "reset": "", "process": "y*I", "ratio": ""}),
    "LadderState": ("|II", ["sample_rate", "channel_count"],
                    {"configure": "id", "finish": "", "reset": "", "process": "O"}),
    "BiquadF32State": ("|II", ["sample_rate", "channel_count"],
                       {"configure": "id", "finish": "", "reset": "", "process": "O", "coefficients": ""}),
    "AllPassF32State": ("|III", ["sample_rate", "channel_count", "stages"],
                        {"configure": "id", "finish": "", "reset": "", "process": "O", "coefficient": "O"}),
    "SubOctaveState": ("|II", ["sample_rate", "channel_count"],
                       {"configure": "id", "finish": "", "reset": "", "process": "O"}),
    "ConvolverState": ("|IIII", ["sample_rate", "partitions", "ir_channels", "channel_count"],
                       {"configure": "id", "reset": "", "process": "O", "load": "y*Id", "synthesize": "ddddI",
                        "taps": ""}),
    "TankState": ("|IdIOO", ["sample_rate", "max_predelay_ms", "channel_count", "delays", "taps"],
                  {"configure": "id", "finish": "", "reset": "", "process": "O"}),
    "ModalState": ("|III", ["sample_rate", "channel_count", "modes"],
                   {"configure": "id", "finish": "", "reset": "", "process": "O", "set_mode": "Iddd",
                    "silent": ""}),
}

# Objects that keep a view of an argument by design (released by their own methods).
VIEW_HOLDERS = {"BufferOwner", "RawSample"}
VIEW_HOLDING_METHODS = {("FeedbackDelayState", "set_wow_shape")}

public_functions = sorted(n for n in dir(m) if not n.startswith("_") and callable(getattr(m, n))
                          and not isinstance(getattr(m, n), type))
public_types = sorted(n for n in dir(m) if isinstance(getattr(m, n), type))


def test_every_public_name_has_a_fuzz_entry():
    assert set(public_functions) <= set(FUNCTIONS), set(public_functions) - set(FUNCTIONS)
    assert set(public_types) <= set(TYPES), set(public_types) - set(TYPES)


@pytest.fixture(autouse=True)
def watchdog():
    # A call that never returns ends the run with every thread's traceback.
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


# --- value pools ---------------------------------------------------------

LENGTHS = [0, 1, 2, 3, 4, 6, 8, 12, 16, 64, 510, 512, 1024, 2048, 4096]
HUGE_INTS = [2 ** 24, 2 ** 31 - 1, 2 ** 31, 2 ** 32 - 1, 2 ** 32, 2 ** 32 + 1, 2 ** 40, 2 ** 64, -1, -2, -2 ** 31,
             -2 ** 63]
SMALL_INTS = [0, 1, 2, 3, 4, 7, 8, 12, 16, 64, 100, 255, 256, 1000, 4096, 32767, 44100, 48000, 65535, 65536]
FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 0.001, 10.0, 100.0, 1000.0, 20000.0, 48000.0, 1e-30, 1e30, -1e30, 1e308,
          -1e308, 5e-324, math.nan, math.inf, -math.inf]


def pattern(n, seed):
    return bytes((i * 73 + seed * 151 + (i >> 3) * 29) & 0xFF for i in range(n))


@st.composite
def readable(draw):
    n = draw(st.sampled_from(LENGTHS))
    kind = draw(st.integers(0, 9))
    data = pattern(n, draw(st.integers(0, 7))) if draw(st.booleans()) else bytes(n)
    if kind == 0:
        return bytearray(data)
    if kind == 1:  # misaligned
        return memoryview(b"\0" + data)[1:]
    if kind == 2:
        return array.array("h", data[: n & ~1])
    if kind == 3:
        return array.array("i", data[: n & ~3])
    if kind == 4:  # not contiguous
        return memoryview(data + data)[::2]
    if kind == 5 and n and n % 4 == 0:  # two-dimensional
        return memoryview(bytearray(data)).cast("B", (2, n // 2))
    if kind == 6:
        return draw(st.sampled_from([None, 0, 1.5, "text", [1, 2], ()]))
    if kind == 7:
        return array.array("f", data[: n & ~3])
    return data


@st.composite
def writable(draw):
    n = draw(st.sampled_from(LENGTHS + [8192, 16384, 65536]))
    kind = draw(st.integers(0, 7))
    data = pattern(n, draw(st.integers(0, 7))) if draw(st.booleans()) else bytes(n)
    if kind <= 2:
        return bytearray(data)
    if kind == 3:  # misaligned, writable
        return memoryview(bytearray(b"\0" + data))[1:]
    if kind == 4:  # read-only where writable is required
        return data
    if kind == 5:
        return array.array("h", data[: n & ~1])
    if kind == 6:
        return array.array("f", data[: n & ~3])
    return draw(st.sampled_from([None, 7, "text"]))


def unsigned():
    return st.one_of(st.sampled_from(SMALL_INTS), st.sampled_from(HUGE_INTS), st.integers(0, 2 ** 32 - 1),
                     st.sampled_from([1.5, None, "1"]))


def signed():
    return st.one_of(st.sampled_from(SMALL_INTS), st.sampled_from([-1, -7, -32768, -32769, 32768, 2 ** 31, -2 ** 31]),
                     st.sampled_from(HUGE_INTS), st.sampled_from([2.5, None]))


def double():
    return st.one_of(st.sampled_from(FLOATS), st.floats(-1e6, 1e6), st.floats(allow_nan=True, allow_infinity=True),
                     st.sampled_from([0, 3, None, "x"]))


def anything():
    return st.one_of(readable(), writable(), unsigned(), double(),
                     st.lists(st.one_of(st.sampled_from(SMALL_INTS), st.sampled_from(FLOATS)), max_size=56))


CODE_STRATEGIES = {"y*": readable, "w*": writable, "I": unsigned, "i": signed, "d": double,
                   "p": lambda: st.sampled_from([True, False, 0, 1, None, [], [0]]), "O": anything}


def split_format(fmt):
    """[(code, optional)] for a format such as "y*w*II|O"."""
    out, optional, i = [], False, 0
    while i < len(fmt):
        c = fmt[i]
        if c in "|$":
            optional = optional or c == "|"
            i += 1
            continue
        code = fmt[i:i + 2] if fmt[i:i + 2] in ("y*", "w*") else c
        out.append((code, optional))
        i += len(code)
    return out


@st.composite
def argument_tuple(draw, fmt):
    spec = split_format(fmt)
    args = [draw(CODE_STRATEGIES[code]()) for code, _ in spec]
    required = sum(1 for _, optional in spec if not optional)
    action = draw(st.integers(0, 19))
    if action == 0 and args:  # too few
        args = args[: draw(st.integers(0, len(args) - 1))]
    elif action == 1:  # too many
        args.append(draw(anything()))
    else:  # optional arguments left out at random
        args = args[: draw(st.integers(required, len(args)))]
    return tuple(args)


def check_released(args, keep_views=False):
    if keep_views:
        return
    for a in args:
        if isinstance(a, bytearray):
            a.append(0)
            a.pop()


def call(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs), None
    except ALLOWED as exc:
        return None, exc


# --- module functions ----------------------------------------------------

def check_function_result(name, result):
    if name == "pitch_bend":
        assert isinstance(result, int)
    elif isinstance(result, tuple):
        assert isinstance(result[0], bytes)
        assert all(isinstance(v, int) for v in result[1:])
    elif name == "remix_s16":
        assert result is not None
    else:
        assert isinstance(result, bytes), (name, type(result))


@pytest.mark.parametrize("name", public_functions)
@settings(max_examples=150, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_functions_survive_hostile_arguments(name, data):
    args = data.draw(argument_tuple(FUNCTIONS[name]))
    result, _ = call(getattr(m, name), *args)
    if result is not None:
        check_function_result(name, result)
    check_released(args)


# --- engines and other types ---------------------------------------------

def make(name, data):
    init_fmt, keywords, _ = TYPES[name]
    spec = split_format(init_fmt)
    kwargs = {}
    for (code, _), key in zip(spec, keywords):
        if data.draw(st.booleans()):
            kwargs[key] = data.draw(CODE_STRATEGIES[code]())
    obj, exc = call(getattr(m, name), **kwargs)
    return obj, kwargs


def method_names(obj):
    return [n for n in dir(obj) if callable(getattr(obj, n, None)) and (not n.startswith("__") or
                                                                         n in ("__enter__", "__exit__"))
            and n not in dir(object) and not n.startswith("__init")]


def call_method(type_name, obj, method, data):
    fmt = TYPES[type_name][2].get(method)
    if fmt is None:
        args = data.draw(st.lists(anything(), max_size=4).map(tuple))
    else:
        args = data.draw(argument_tuple(fmt))
    result, _ = call(getattr(obj, method), *args)
    check_released(args, keep_views=type_name in VIEW_HOLDERS or (type_name, method) in VIEW_HOLDING_METHODS)
    return args, result


@pytest.mark.parametrize("name", public_types)
@settings(max_examples=60, suppress_health_check=list(HealthCheck))
@given(data=st.data())
def test_types_survive_hostile_construction_and_calls(name, data):
    obj, kwargs = make(name, data)
    if obj is None:
        obj, _ = call(getattr(m, name), **({} if name not in ("BufferOwner", "RawSample", "EnvelopeState")
                                          else {"BufferOwner": {"exporter": b"ab"}, "RawSample": {"buffer": b"ab"},
                                                "EnvelopeState": {"sample_rate": 48000, "enabled": True}}[name]))
    assert obj is not None
    methods = method_names(obj)
    for _ in range(data.draw(st.integers(1, 12))):
        method = data.draw(st.sampled_from(methods))
        args, result = call_method(name, obj, method, data)
        if method == "process" and result is not None and args:
            assert isinstance(result, bytes)
            assert len(result) == len(memoryview(args[0]).cast("B"))
    del obj
    gc.collect()


ENGINE_VALUES = [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e30, -1e30, 1e308, -1.0, 1e-30, 0.5, 3.0, 1000.0]


def engine_types():
    return [n for n in public_types if "configure" in TYPES[n][2] and TYPES[n][2]["configure"] == "id"]


def block(frames, channels, seed):
    return array.array("h", [((i * 7919 + seed * 104729) % 65536) - 32768 for i in range(frames * channels)]).tobytes()


@pytest.mark.parametrize("name", engine_types())
def test_engines_take_every_option_at_every_extreme(name):
    cls = getattr(m, name)
    channel_sets = [1, 2] if "channel_count" in TYPES[name][1] else [None]
    for channels in channel_sets:
        engine = cls(**({"channel_count": channels} if channels else {}))
        width = channels or 2
        for option in list(range(0, 40)) + [-1, 2 ** 31 - 1]:
            for value in ENGINE_VALUES:
                result, exc = call(engine.configure, option, value)
                if exc is not None:
                    continue
                out = engine.process(block(16, width, option))
                assert len(out) == 32 * width
            if hasattr(engine, "finish"):
                engine.finish()
            for frames in (0, 1, 64, 300):
                data = block(frames, width, frames)
                out = engine.process(data)
                assert isinstance(out, bytes) and len(out) == len(data)
        engine.reset()
        assert len(engine.process(block(8, width, 1))) == 16 * width


@pytest.mark.parametrize("name", public_types)
def test_never_initialised_objects_refuse_or_answer(name):
    cls = getattr(m, name)
    obj = cls.__new__(cls)
    tuples = [(), (0,), (0, 0.0), (1, 1), (b"\0" * 4,), (bytearray(4), 1), (b"\0" * 8, 1, 1.0),
              (1, 1.0, 1.0, 1.0), (1.0, 1.0, 1.0, 1.0, 1)]
    for method in method_names(obj):
        for args in tuples:
            call(getattr(obj, method), *args)
    for attr in dir(obj):
        if not attr.startswith("__"):
            call(getattr, obj, attr)
    # process always refuses on a never-initialised engine
    if "process" in dir(obj) and name not in ("SplitterRing",):
        with pytest.raises(ALLOWED):
            obj.process(b"\0" * 8)
    del obj
    gc.collect()


FAILING_INIT = {
    "BufferOwner": {"exporter": 5},
    "RawSample": {"buffer": b"ab", "channel_count": 3},
    "EnvelopeState": {"sample_rate": 48000},  # enabled is required
    "DynamicsState": {"sample_rate": 0},
    "SplitterRing": {"taps": -1},
    "FeedbackDelayState": {"sample_rate": 0},
    "WaveshaperState": {"sample_rate": 0},
    "SampleHoldState": {"num": 0, "den": 0},
    "LadderState": {"sample_rate": 0},
    "BiquadF32State": {"sample_rate": 0},
    "AllPassF32State": {"sample_rate": 0},
    "SubOctaveState": {"sample_rate": 0},
    "ConvolverState": {"sample_rate": 0},
    "TankState": {"sample_rate": 0},
    "ModalState": {"channel_count": 3},
}


@pytest.mark.parametrize("name", [n for n in public_types if n in FAILING_INIT])
def test_failed_first_and_second_initialisation(name):
    cls = getattr(m, name)
    bad = FAILING_INIT[name]
    first = cls.__new__(cls)
    with pytest.raises(ALLOWED):
        first.__init__(**bad)
    tuples = [(), (0,), (0, 0.0), (b"\0" * 4,), (b"\0" * 8, 1)]
    for method in method_names(first):
        for args in tuples:
            call(getattr(first, method), *args)
    # a live object whose re-initialisation fails keeps working
    good = {"BufferOwner": {"exporter": b"abcd"}, "RawSample": {"buffer": b"abcd"},
            "EnvelopeState": {"sample_rate": 48000, "enabled": True}}.get(name, {})
    obj = cls(**good)
    with pytest.raises(ALLOWED):
        obj.__init__(**bad)
    for method in method_names(obj):
        for args in tuples:
            call(getattr(obj, method), *args)


# --- leaks -----------------------------------------------------------------

def leak_corpus():
    """Fixed argument tuples for every function: some succeed, some fail."""
    corpus = {}
    for name in public_functions:
        spec = split_format(FUNCTIONS[name])
        calls = []
        for seed in range(24):
            args = []
            for k, (code, _) in enumerate(spec):
                pick = (seed * 31 + k * 7) % 5
                if code in ("y*", "O"):
                    args.append(bytes(pattern([0, 64, 256, 1024, 3][pick], seed)))
                elif code == "w*":
                    args.append(bytearray([0, 64, 1024, 8192, 65536][pick]))
                elif code in ("I", "i"):
                    args.append([0, 1, 2, 64, 2 ** 32 + 3][pick] if code == "I" else [0, 1, 2, 64, -5][pick])
                elif code == "d":
                    args.append([0.0, 0.5, 1.0, math.nan, 2.0][pick])
                else:
                    args.append(bool(pick & 1))
            calls.append(tuple(args))
        corpus[name] = calls
    return corpus


def test_no_reference_or_memory_leaks():
    corpus = leak_corpus()
    for name, calls in corpus.items():
        fn = getattr(m, name)
        for args in calls:
            call(fn, *args)  # warm-up: caches, interned strings, exception types
    gc.collect()

    def owned_counts(calls):
        # reference counts of the buffers the corpus made (shared singletons fluctuate)
        return [[sys.getrefcount(a) for a in args if isinstance(a, (bytes, bytearray)) and len(a) > 1]
                for args in calls]

    counts = {name: owned_counts(calls) for name, calls in corpus.items()}
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(60):
            for name, calls in corpus.items():
                fn = getattr(m, name)
                for args in calls:
                    call(fn, *args)
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024, f"grew by {after - before} bytes"
    for name, calls in corpus.items():
        assert counts[name] == owned_counts(calls), name


def test_no_leaks_in_engine_methods():
    engines = []
    for name in engine_types():
        engines.append(getattr(m, name)())
    blocks = [block(n, 2, n) for n in (0, 1, 64, 256)]

    def round_trip():
        for engine in engines:
            for option in range(12):
                call(engine.configure, option, 0.25 * option)
            if hasattr(engine, "finish"):
                engine.finish()
            for data in blocks:
                call(engine.process, data)
            engine.reset()
        for name in public_types:
            if name not in engine_types():
                cls = getattr(m, name)
                obj, _ = call(cls) if name not in ("BufferOwner", "RawSample", "EnvelopeState") else (None, None)
                del obj

    round_trip()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(40):
            round_trip()
        gc.collect()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 64 * 1024, f"grew by {after - before} bytes"
