"""The divavova command: fx round trips, errors, --list, demo, response; the stubs."""

import array
import ast
import math
import os
import shutil
import subprocess
import sys
import wave

import pytest

import _divavova as core

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
try:
    import divavova  # noqa: F401  (installed with the module)
except ImportError:  # a developer build: the package sits in the tree
    sys.path.insert(0, os.path.join(ROOT, "python"))

from divavova import cli, effects, wav  # noqa: E402

from helpers import s16, samples  # noqa: E402


def tone(frames, channels, rate=44100):
    """Two tones and a click pattern, a different one per channel."""
    out = []
    for n in range(frames):
        base = 9000 * math.sin(2 * math.pi * 220 * n / rate) + (6000 if n % 997 < 3 else 0)
        out.append(int(base))
        if channels == 2:
            out.append(int(7000 * math.sin(2 * math.pi * 331 * n / rate)))
    return out


def write_wav(path, values, channels, rate=44100, width=2):
    with wave.open(str(path), "wb") as handle:
        handle.setnchannels(channels)
        handle.setsampwidth(width)
        handle.setframerate(rate)
        handle.writeframes(s16(values) if width == 2 else bytes(width * len(values)))
    return str(path)


def read_wav(path):
    with wave.open(str(path), "rb") as handle:
        return (handle.getnchannels(), handle.getframerate(),
                samples(handle.readframes(handle.getnframes())))


def fx(tmp_path, values, channels, effect, *options, rate=44100):
    source = write_wav(tmp_path / "in.wav", values, channels, rate)
    target = str(tmp_path / "out.wav")
    assert cli.main(["fx", source, target, effect, "--quiet", *options]) == 0
    got_channels, got_rate, out = read_wav(target)
    assert (got_channels, got_rate) == (channels, rate)
    return out


def blocks(process, data, frame_bytes):
    step = 256 * frame_bytes
    return b"".join(process(data[i:i + step]) for i in range(0, len(data), step))


# --- fx round trips -----------------------------------------------------------

@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("name", sorted(effects.EFFECTS))
def test_every_effect_round_trips(tmp_path, name, channels):
    values = tone(700, channels)
    out = fx(tmp_path, values, channels, name)
    assert len(out) == len(values)
    assert any(out), f"{name} turned the tone into silence"


def test_one_call_effect_matches_the_function_in_blocks(tmp_path):
    values = tone(1000, 2)
    out = fx(tmp_path, values, 2, "echo", "--set", "delay_ms=5", "--set", "feedback=0.6", "--mix", "1.5")
    frames = round(44100 * 5 / 1000)
    line, positions = bytearray(4 * frames), [0, 0]

    def step(block):
        result, positions[0], positions[1] = core.echo_s16(block, line, positions[0], positions[1], frames,
                                                           frames, 256, 0.6, 1.5, False, 2)
        return result
    assert out == samples(blocks(step, s16(values), 4))


def test_engine_options_map_to_their_ids(tmp_path):
    values = tone(900, 2)
    out = fx(tmp_path, values, 2, "tank", "--set", "decay=0.8", "--set", "predelay_ms=3", "--mix", "1.2")
    tank = core.TankState(sample_rate=44100, channel_count=2)
    defaults = {option.key: option.default for option in effects.TANK_OPTIONS.values()}
    for key, value in {**defaults, 0: 0.8, 5: 3.0, 11: 1.2}.items():
        tank.configure(key, value)
    tank.finish()
    assert out == samples(blocks(tank.process, s16(values), 4))

    mono = tone(600, 1)
    out = fx(tmp_path, mono, 1, "biquad", "--set", "type=1", "--set", "frequency_hz=3000", "--set", "q=2")
    biquad = core.BiquadF32State(sample_rate=44100, channel_count=1)
    for key, value in ((0, 1), (1, 3000), (2, 2), (3, 0), (4, 1)):
        biquad.configure(key, value)
    biquad.finish()
    assert out == samples(blocks(biquad.process, s16(mono), 2))


def test_convolver_latency_is_removed(tmp_path):
    # dry only: the output is the input itself, not 256 frames late
    values = tone(600, 2)
    assert fx(tmp_path, values, 2, "convolver", "--mix", "0", "--set", "decay_s=0.05") == values


def test_tail_runs_silence_through(tmp_path):
    values = tone(400, 1)
    out = fx(tmp_path, values, 1, "echo", "--set", "delay_ms=10", "--tail", "0.01")
    assert len(out) == len(values) + 441
    assert any(out[len(values):])


def test_stereo_wrappers_keep_the_channels_apart(tmp_path):
    # a signal on the left only: taps, lines and reverb states stay per channel
    left_only = [v if i % 2 == 0 else 0 for i, v in enumerate(tone(2000, 2))]
    for name in ("chorus", "freeverb", "pitchshift", "multitap"):
        out = fx(tmp_path, left_only, 2, name)
        assert not any(out[1::2]), name
        assert any(out[0::2]), name
    # and each channel of the mono reverb is the reverb of that channel alone
    left = left_only[0::2]
    state = (bytearray(22048), bytearray(32), bytearray(16), bytearray(3126), bytearray(16))
    expected = blocks(lambda block: core.freeverb_s16(block, *state, 0.7, 0.4, 0.4), s16(left), 2)
    assert fx(tmp_path, left_only, 2, "freeverb")[0::2] == samples(expected)


def test_phaser_sweep_positions_are_break_frequencies():
    phaser = effects.make("phaser", 48000, 1, {"low_hz": 1000, "high_hz": 1000})
    r = phaser.low / 48000
    coefficient = (1 - r) / (1 + r)
    # the first-order all-pass (z^-1 - a) / (1 - a z^-1) turns by 90 degrees at 1000 Hz
    w = 2 * math.pi * 1000 / 48000
    z = complex(math.cos(w), math.sin(w))
    response = (1 / z - coefficient) / (1 - coefficient / z)
    assert math.isclose(abs(math.degrees(math.atan2(response.imag, response.real))), 90, abs_tol=1e-6)


def test_progress_bar_on_long_files(tmp_path, capsys):
    source = write_wav(tmp_path / "long.wav", [0] * (6 * 8000), 1, rate=8000)
    assert cli.main(["fx", source, str(tmp_path / "out.wav"), "gate"]) == 0
    err = capsys.readouterr().err
    assert "gate: 100%" in err
    source = write_wav(tmp_path / "short.wav", [0] * 8000, 1, rate=8000)
    assert cli.main(["fx", source, str(tmp_path / "out.wav"), "gate"]) == 0
    assert "%" not in capsys.readouterr().err


# --- errors -------------------------------------------------------------------

def wav_header(code, channels, rate, bits, size):
    """A RIFF header of the given format code, then ``size`` zero bytes."""
    block = channels * bits // 8
    fmt = b"".join(v.to_bytes(n, "little") for v, n in ((code, 2), (channels, 2), (rate, 4), (rate * block, 4),
                                                        (block, 2), (bits, 2)))
    return (b"RIFF" + (36 + size).to_bytes(4, "little") + b"WAVEfmt " + (16).to_bytes(4, "little") + fmt
            + b"data" + size.to_bytes(4, "little") + bytes(size))


def unsupported_inputs(tmp_path):
    yield "24-bit", write_wav(tmp_path / "w24.wav", [0] * 30, 1, width=3)
    yield "8-bit", write_wav(tmp_path / "w8.wav", [0] * 30, 1, width=1)
    yield "3 channels", write_wav(tmp_path / "w3.wav", [0] * 30, 3)
    not_wav = tmp_path / "text.wav"
    not_wav.write_text("not audio at all")
    yield "not a 16-bit PCM WAV", str(not_wav)
    float_wav = tmp_path / "float.wav"
    float_wav.write_bytes(wav_header(3, 1, 8000, 32, 40))
    yield "float", str(float_wav)
    zero_rate = tmp_path / "zero.wav"
    zero_rate.write_bytes(wav_header(1, 1, 0, 16, 40))
    yield "sample rate of 0 Hz", str(zero_rate)
    yield "No such file", str(tmp_path / "missing.wav")


def test_unsupported_wavs_fail_clearly_and_write_nothing(tmp_path):
    target = tmp_path / "out.wav"
    for expected, source in unsupported_inputs(tmp_path):
        with pytest.raises(SystemExit) as failure:
            cli.main(["fx", source, str(target), "echo"])
        assert str(failure.value.code).startswith("divavova fx: ") and expected in str(failure.value.code)
        assert not target.exists(), expected
    assert sorted(p.name for p in tmp_path.iterdir() if ".part" in p.name) == []


@pytest.mark.parametrize("arguments, message", [
    (["nosuch"], "unknown effect 'nosuch'"),
    (["echo", "--set", "delay=3"], "unknown option 'delay' for echo (options: delay_ms, feedback, mix)"),
    (["echo", "--set", "delay_ms=0"], "option delay_ms=0 is outside 0.1 .. 10000 ms"),
    (["echo", "--set", "feedback=nan"], "option feedback=nan is outside"),
    (["echo", "--set", "delay_ms"], "--set takes NAME=VALUE"),
    (["echo", "--set", "mix=loud"], "'loud' is not a number"),
    (["echo", "--set", "mix=1", "--mix", "2"], "given twice"),
    (["synthbiquad", "--set", "frequency_hz=20000"], "at most a quarter of the rate"),
    (["samplehold", "--set", "num=2", "--set", "den=3"], "den must be at most num"),
    (["waveshaper", "--set", "oversample=3"], "1, 2, 4, 8 or 16"),
    (["echo", "--tail", "-1"], "--tail must be 0 to 600 seconds"),
])
def test_bad_effects_and_options_fail_before_writing(tmp_path, arguments, message):
    source = write_wav(tmp_path / "in.wav", tone(100, 2), 2)
    target = tmp_path / "out.wav"
    with pytest.raises(SystemExit) as failure:
        cli.main(["fx", source, str(target), *arguments])
    assert message in str(failure.value.code)
    assert not target.exists()


def test_a_cut_off_last_frame_is_dropped(tmp_path):
    source = tmp_path / "cut.wav"
    write_wav(source, tone(50, 2), 2)
    raw = bytearray(source.read_bytes())
    raw[40:44] = (len(raw) - 44 - 3).to_bytes(4, "little")  # the data chunk ends inside a frame
    source.write_bytes(bytes(raw[:-3]))
    assert cli.main(["fx", str(source), str(tmp_path / "out.wav"), "echo", "--quiet"]) == 0
    assert len(read_wav(tmp_path / "out.wav")[2]) == 2 * 49


def test_unwritable_output_fails_clearly(tmp_path):
    source = write_wav(tmp_path / "in.wav", tone(10, 1), 1)
    with pytest.raises(SystemExit) as failure:
        cli.main(["fx", source, str(tmp_path / "no" / "out.wav"), "echo"])
    assert "No such file or directory" in str(failure.value.code)


def test_failed_run_leaves_an_existing_output_alone(tmp_path):
    target = tmp_path / "out.wav"
    target.write_bytes(b"keep me")
    with pytest.raises(SystemExit):
        cli.main(["fx", write_wav(tmp_path / "w24.wav", [0] * 9, 1, width=3), str(target), "echo"])
    assert target.read_bytes() == b"keep me"


# --- list, demo, response -----------------------------------------------------

def test_list_names_every_effect_and_option(capsys):
    assert cli.main(["fx", "--list"]) == 0
    text = capsys.readouterr().out
    for name, effect in effects.EFFECTS.items():
        assert f"\n{name}: " in "\n" + text
        for option in effect.options:
            assert f"    {option} " in text
    assert "delay_ms                   0.1 .. 10000 ms, default 250" in text
    # every engine option id is in range and unique within its effect
    for effect in effects.EFFECTS.values():
        ids = [o.key for o in effect.options.values() if isinstance(o.key, int)]
        assert len(ids) == len(set(ids))
        assert all(o.low <= o.default <= o.high for o in effect.options.values())


def test_demo_renders_a_listenable_piece(tmp_path, capsys):
    target = tmp_path / "demo.wav"
    assert cli.main(["demo", str(target), "--seconds", "0.6"]) == 0
    channels, rate, out = read_wav(target)
    assert (channels, rate, len(out)) == (2, 48000, 2 * 28800)
    rms = math.sqrt(sum(v * v for v in out) / len(out))
    assert 1000 < rms < 12000
    assert sum(1 for v in out if abs(v) >= 32767) == 0
    with pytest.raises(SystemExit):
        cli.main(["demo", str(tmp_path / "x.wav"), "--seconds", "0"])


def test_response_rejects_nonlinear_effects_and_missing_matplotlib(tmp_path, monkeypatch):
    with pytest.raises(SystemExit) as failure:
        cli.main(["response", "chorus", "--png", str(tmp_path / "r.png")])
    assert "not linear" in str(failure.value.code)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(SystemExit) as failure:
        cli.main(["response", "biquad", "--png", str(tmp_path / "r.png")])
    assert "pip install 'divavova[plot]'" in str(failure.value.code)
    assert not (tmp_path / "r.png").exists()


def test_response_plot(tmp_path):
    pytest.importorskip("matplotlib")
    target = tmp_path / "r.png"
    assert cli.main(["response", "biquad", "--set", "type=4", "--set", "gain_db=6", "--frames", "512",
                     "--png", str(target)]) == 0
    assert target.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_impulse_response_of_a_biquad_matches_its_coefficients():
    effect = effects.EFFECTS["biquad"]
    response = cli.impulse_response(effect, effects.settle(effect, {"type": 2, "q": 3}), 48000, 64)
    state = core.BiquadF32State(sample_rate=48000, channel_count=1)
    for key, value in ((0, 2), (2, 3)):
        state.configure(key, value)
    b0, b1, b2, a1, a2 = state.coefficients()
    y = [0.0, 0.0]
    x = [1.0, 0.0, 0.0] + [0.0] * 61
    for n in range(64):
        value = b0 * x[n] + (b1 * x[n - 1] if n >= 1 else 0) + (b2 * x[n - 2] if n >= 2 else 0) - a1 * y[-1] - a2 * y[-2]
        y.append(value)
        assert abs(response[n] - value) < 1.5 / cli.IMPULSE_LEVEL


def test_command_runs_as_a_module(tmp_path):
    paths = [os.path.dirname(core.__file__), os.path.dirname(os.path.dirname(cli.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run([sys.executable, "-m", "divavova", "fx", "--list"], capture_output=True, text=True,
                            env=env, timeout=60)
    assert result.returncode == 0 and "tank: TankState" in result.stdout
    result = subprocess.run([sys.executable, "-m", "divavova", "fx", "a.wav", "b.wav", "nosuch"],
                            capture_output=True, text=True, env=env, timeout=60, cwd=tmp_path)
    assert result.returncode == 1 and result.stderr.startswith("divavova fx: unknown effect")


# --- stubs --------------------------------------------------------------------

STUB = os.path.join(ROOT, "python", "_divavova-stubs", "__init__.pyi")


def stub_names():
    tree = ast.parse(open(STUB).read())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}

    def members(node):
        names = set()
        for base in node.bases:
            if isinstance(base, ast.Name) and base.id in classes:
                names |= members(classes[base.id])
        for item in node.body:
            if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                names.add(item.name)
        return {n for n in names if not n.startswith("__") or n in ("__enter__", "__exit__")}

    top = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            top[node.name] = members(node) if isinstance(node, ast.ClassDef) else None
        elif isinstance(node, ast.AnnAssign):
            top[node.target.id] = None
    # private helpers of the stub (type aliases, the shared engine base)
    return {name: value for name, value in top.items() if not name.startswith("_") or name.startswith("__")}


def module_names():
    out = {}
    for name in dir(core):
        if name.startswith("__") and name not in ("__version__", "__revision__"):
            continue
        value = getattr(core, name)
        out[name] = ({n for n in vars(value) if not n.startswith("__") or n in ("__enter__", "__exit__")}
                     if isinstance(value, type) else None)
    return out


def test_stub_lists_what_the_module_has():
    assert stub_names() == module_names()


def test_typed_example_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / "_divavova.pyi")
    env = dict(os.environ, MYPYPATH=str(stubs))
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                             os.path.join(ROOT, "examples", "typed_usage.py")],
                            capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def test_written_files_follow_the_umask(tmp_path):
    import os
    import stat
    from divavova import wav
    path = tmp_path / "out.wav"
    old = os.umask(0o022)
    try:
        wav.write(str(path), wav.Audio(b"\0\0\0\0", 2, 48000))
    finally:
        os.umask(old)
    assert stat.S_IMODE(path.stat().st_mode) == 0o644
