"""The divavova command: chains over files, exit codes and messages, batches,
info and formats, the demo, response plots; the stubs."""

import ast
import importlib.util
import io
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import _divavova as core

sf = pytest.importorskip("soundfile")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
try:
    import divavova  # noqa: F401  (installed with the module)
except ImportError:  # a developer build: the package sits in the tree
    sys.path.insert(0, os.path.join(ROOT, "python"))

import divavova as dv  # noqa: E402
from divavova import audiofile, cli, response  # noqa: E402

from standin import music, read, write  # noqa: E402


def run(capsys, *argv):
    """(exit status, stdout, stderr) of one command."""
    try:
        code = cli.main([str(a) for a in argv])
    except SystemExit as exit:       # argparse's own usage errors
        code = exit.code
    out, err = capsys.readouterr()
    return code, out, err


# --- fx: chains over files -------------------------------------------------------------

def test_a_streamed_chain_equals_the_whole_signal_call_in_the_order_given(tmp_path, capsys, monkeypatch):
    # blocks much shorter than the file: state, modulation and latency all cross block edges
    monkeypatch.setattr(audiofile, "BLOCK_FRAMES", 1000)
    x = music(20000)
    source = write(tmp_path / "in.wav", x)
    chain = ["compressor", "threshold_db=-30", "ratio=4", "lookahead_ms=5", "chorus", "tank", "decay=0.6", "mix=0.3"]
    assert run(capsys, "fx", source, tmp_path / "out.wav", *chain, "--quiet") == (0, "", "")
    expected = dv.Chain([dv.Compressor(threshold_db=-30, ratio=4, lookahead_ms=5), dv.Chorus(),
                         dv.PlateReverb(decay=0.6, mix=0.3)])(x, 44100)
    assert np.array_equal(read(tmp_path / "out.wav"), expected)
    run(capsys, "fx", source, tmp_path / "swapped.wav", *chain[4:], *chain[:4])
    assert not np.array_equal(read(tmp_path / "swapped.wav"), expected)


def test_every_latency_is_removed_so_an_impulse_keeps_its_frame(tmp_path, capsys):
    x = np.zeros((6000, 1), np.int16)
    x[1234] = 20000
    source = write(tmp_path / "click.wav", x, 48000)
    run(capsys, "fx", source, tmp_path / "out.wav", "compressor", "lookahead_ms=20", "threshold_db=0", "limiter",
        "convolver", "mix=0")
    out = read(tmp_path / "out.wav")[:, 0]
    assert len(out) == 6000 and np.argmax(np.abs(out)) == 1234 and abs(int(out[1234]) - 20000) < 2500


def test_set_mix_tails_and_plain_conversion(tmp_path, capsys):
    x = music(4410, 1)
    source = write(tmp_path / "in.wav", x)
    outputs = []
    for options in (["--set", "feedback=0.6", "--mix", "0.7"], ["feedback=0.6", "mix=0.7"], []):
        outputs.append(tmp_path / f"{len(outputs)}.wav")
        run(capsys, "fx", source, outputs[-1], "echo", "delay_ms=5", *options, "gain", "gain_db=-3")
    assert np.array_equal(read(outputs[0]), read(outputs[1])) and not np.array_equal(read(outputs[0]),
                                                                                      read(outputs[2]))
    run(capsys, "fx", source, tmp_path / "a.wav", "echo", "delay_ms=10", "--tail", "0.01")
    out = read(tmp_path / "a.wav")[:, 0]
    assert len(out) == 4410 + 441 and np.abs(out[4410:]).max() > 1000
    run(capsys, "fx", source, tmp_path / "b.wav", "tank", "decay=0.5", "mix=1", "--tail", "auto")
    out = read(tmp_path / "b.wav")[:, 0].astype(float)
    # the tail runs until the reverb has died away (to within the 16-bit noise floor)
    assert len(out) > 2 * 4410 and np.sqrt(np.mean(out[-441:] ** 2)) < 0.01 * np.sqrt(np.mean(out[:4410] ** 2))
    code, out, _ = run(capsys, "fx", source, tmp_path / "out.aiff", "--subtype", "pcm_24")
    assert (code, out) == (0, f"wrote {tmp_path / 'out.aiff'}: no effect, 4410 frames\n")
    assert np.array_equal(read(tmp_path / "out.aiff"), x) and sf.info(str(tmp_path / "out.aiff")).subtype == "PCM_24"


@pytest.mark.parametrize("arguments, message", [
    (["nosuch"], "unknown effect 'nosuch'; `divavova fx --list` shows them"),
    (["echo", "delay=3"], "echo: unknown option 'delay' (options: delay_ms, feedback, mix)"),
    (["echo", "delay_ms=0"], "echo: "), (["echo", "feedback=nan"], "echo: "), (["echo", "feedback=loud"], "echo: "),
    (["echo", "mix=1", "mix=0.5"], "echo: option 'mix' is given twice"),
    (["feedback=0.5", "echo"], "'feedback=0.5' comes before any effect"),
    (["normalize"], "normalize works on whole signals only"),
    (["--set", "mix=1"], "--set and --mix need an effect"),
    (["echo", "--tail", "-1"], "--tail takes seconds from 0 to 3600 or 'auto', not '-1'"),
    (["echo", "--channels", "0"], "--channels takes one or two channel numbers from 1"),
    (["echo", "--channels", "1,2,3"], "--channels takes one or two channel numbers from 1"),
    (["echo", "--channels", "1", "--downmix"], "--channels and --downmix exclude each other"),
])
def test_usage_errors_exit_2_with_one_line_and_touch_nothing(tmp_path, capsys, arguments, message):
    source = write(tmp_path / "in.wav", music(100))
    code, out, err = run(capsys, "fx", source, tmp_path / "out.wav", *arguments)
    assert code == 2 and out == "" and err.startswith(f"divavova fx: {message}") and err.count("\n") == 1
    assert sorted(os.listdir(tmp_path)) == ["in.wav"]


def test_file_errors_exit_1_with_one_line_naming_the_file(tmp_path, capsys):
    (tmp_path / "text.wav").write_text("not audio")
    write(tmp_path / "low.wav", music(100), 8000)
    cut = write(tmp_path / "cut.wav", music(10000))
    (tmp_path / "cut.wav").write_bytes((tmp_path / "cut.wav").read_bytes()[:20044])
    (tmp_path / "out.wav").write_bytes(b"keep me")
    for source, message, chain in (
            ("text.wav", "text.wav: not an audio file libsndfile reads (Format not recognised.)", []),
            ("missing.wav", "missing.wav: No such file or directory", []),
            ("cut.wav", "cut.wav: truncated: holds 5000 of the 10000 frames its header gives", []),
            ("low.wav", "low.wav: LowPass: frequency_hz=6000 Hz must be below half the sample rate",
             ["lowpass", "frequency_hz=6000"])):
        code, out, err = run(capsys, "fx", tmp_path / source, tmp_path / "out.wav", *chain)
        assert (code, out, err.count("\n")) == (1, "", 1) and err.startswith(f"divavova fx: {tmp_path}/{message}")
    assert (tmp_path / "out.wav").read_bytes() == b"keep me" and len(os.listdir(tmp_path)) == 4
    code, out, err = run(capsys, "fx", cut, tmp_path / "out.wav", "gain", "--allow-truncated", "--quiet")
    assert (code, out) == (0, "") and err.startswith("divavova fx: warning: ") and "5000 of the 10000" in err
    assert len(read(tmp_path / "out.wav")) == 5000


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("seconds, terminal, quiet, drawn", [
    (6, True, False, True), (6, False, False, False), (6, True, True, False), (4, True, False, False)])
def test_progress_bar_only_on_a_terminal_for_long_files(tmp_path, monkeypatch, seconds, terminal, quiet, drawn):
    source = write(tmp_path / "in.wav", np.zeros((seconds * 8000, 1), np.int16), 8000)
    monkeypatch.setattr(sys, "stderr", Terminal() if terminal else io.StringIO())
    assert cli.main(["fx", source, str(tmp_path / "out.wav"), "gain"] + (["--quiet"] if quiet else [])) == 0
    assert ("100%" in sys.stderr.getvalue()) == drawn and (sys.stderr.getvalue() == "") == (not drawn)


def test_list_shows_every_effect_and_one_effect_s_options(capsys):
    code, out, _ = run(capsys, "fx", "--list")
    assert code == 0 and {line.split()[0] for line in out.splitlines()[:len(dv.EFFECTS)]} == set(dv.EFFECTS)
    code, out, _ = run(capsys, "fx", "--list", "echo")
    lines = out.splitlines()
    assert code == 0 and lines[0].startswith("echo: ") and len(lines) == 4
    assert lines[1].startswith("    delay_ms: ") and " ms, default " in lines[1]
    assert run(capsys, "fx", "--list", "nosuch")[0] == 2


# --- batch, info, formats ------------------------------------------------------------

def test_batch_runs_every_file_and_reports_the_failures_at_the_end(tmp_path, capsys):
    inputs = [write(tmp_path / f"take{k}.wav", music(2000 + 500 * k, 1 + k % 2, seed=k)) for k in range(3)]
    (tmp_path / "bad.wav").write_text("no audio")
    chain = ["--", "echo", "delay_ms=3", "gain", "gain_db=-6"]
    code, out, err = run(capsys, "batch", tmp_path / "out", inputs[0], tmp_path / "bad.wav", *inputs[1:],
                         "--jobs", "2", "--format", "flac", *chain)
    assert (code, out) == (1, "") and err.splitlines() == [
        f"divavova batch: {tmp_path}/bad.wav: not an audio file libsndfile reads (Format not recognised.)",
        "divavova batch: 1 of 4 files failed"]
    run(capsys, "fx", inputs[2], tmp_path / "single.flac", *chain[1:])
    assert np.array_equal(read(tmp_path / "out" / "take2.flac"), read(tmp_path / "single.flac"))
    assert sorted(os.listdir(tmp_path / "out")) == ["take0.flac", "take1.flac", "take2.flac"]
    assert run(capsys, "batch", tmp_path / "again", *inputs, "--jobs", "1", "--", "gain") == \
        (0, f"wrote 3 files to {tmp_path / 'again'}\n", "")
    assert run(capsys, "batch", tmp_path / "x", *inputs, "--", "nosuch")[0] == 2
    assert run(capsys, "batch", tmp_path / "x", *inputs, "--jobs", "0", "--", "gain")[0] == 2


def test_info_prints_the_facts_and_levels_and_flags_bad_files(tmp_path, capsys):
    t = np.arange(44100) / 44100
    source = write(tmp_path / "tone.flac", np.stack([0.5 * np.sin(2 * np.pi * 1000 * t), 0 * t], axis=1),
                   subtype="PCM_24")
    code, out, err = run(capsys, "info", source, tmp_path / "missing.wav", source)
    assert code == 1 and err == f"divavova info: {tmp_path}/missing.wav: No such file or directory\n"
    assert out.count("  rate      44100 Hz\n") == 2 and "1.000 s (44100 frames)" in out and "[PCM_24]" in out
    assert "peak      -6.02 dBFS (-6.02 dBFS, -inf dBFS)" in out and "RMS       -12.04 dBFS (-9.03 dBFS, -inf" in out
    cut = tmp_path / "cut.wav"
    write(cut, music(1000))
    cut.write_bytes(cut.read_bytes()[:1044])
    code, out, err = run(capsys, "info", cut)
    assert code == 1 and "250 frames" in out and "truncated: holds 250 of the 1000 frames" in err
    code, out, _ = run(capsys, "formats")
    assert code == 0 and "  MP3 " in out and "  .flac  FLAC  PCM_S8, PCM_16 (default), PCM_24" in out


# --- demo and response -------------------------------------------------------------------

def test_demo_renders_a_listenable_piece(tmp_path, capsys):
    assert run(capsys, "demo", tmp_path / "demo.flac", "--seconds", "0.6")[0] == 0
    x = read(tmp_path / "demo.flac").astype(float)
    assert x.shape == (28800, 2) and sf.info(str(tmp_path / "demo.flac")).samplerate == 48000
    assert 1000 < np.sqrt(np.mean(x ** 2)) < 12000 and np.abs(x).max() < 32767
    assert run(capsys, "demo", tmp_path / "x.wav", "--seconds", "0")[0] == 2


def test_response_plots_linear_effects_at_a_rate_that_fits(tmp_path, capsys, monkeypatch):
    png = tmp_path / "r.png"
    assert "chorus is not linear" in run(capsys, "response", "chorus", "--png", png)[2]
    code, _, err = run(capsys, "response", "lowpass", "frequency_hz=5000", "--rate", "8000", "--png", png)
    assert code == 2 and "below half the sample rate" in err
    if importlib.util.find_spec("matplotlib"):
        assert run(capsys, "response", "peak", "frequency_hz=2500", "gain_db=9", "--frames", "512", "--png", png) \
            == (0, f"wrote {png}\n", "") and png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    code, _, err = run(capsys, "response", "biquad", "--png", tmp_path / "x.png")
    assert code == 1 and "pip install 'divavova[plot]'" in err and not (tmp_path / "x.png").exists()


def test_responses_are_long_enough_for_delays_and_decays():
    echoes = response.impulse_response(dv.Echo(delay_ms=300, feedback=0.5, mix=0.5), 48000)
    assert len(echoes) > 2 * 14400 and abs(echoes[14400]) > 0.2 and abs(echoes[28800]) > 0.1
    energy = response.impulse_response(dv.PlateReverb(decay=0.8, mix=1), 48000) ** 2
    assert energy[-len(energy) // 20:].mean() < 1e-6 * energy[:len(energy) // 20].mean()


def test_smoothing_keeps_a_flat_spectrum_and_spreads_a_peak_over_a_twelfth_octave():
    freqs = np.linspace(1, 24000, 24000)
    assert np.allclose(response.smoothed(freqs, np.ones_like(freqs)), 1)
    spike = np.zeros_like(freqs)
    spike[11999] = 1.0                                   # 12000 Hz
    spread = freqs[np.flatnonzero(response.smoothed(freqs, spike))]
    assert np.isclose(np.log2(spread[-1] / spread[0]), 1 / 12, atol=0.002)


def test_command_runs_as_a_module(tmp_path):
    paths = [os.path.dirname(core.__file__), os.path.dirname(os.path.dirname(cli.__file__))]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + [os.environ.get("PYTHONPATH", "")]))
    for argv, code, stream, text in ((["fx", "--list", "tank"], 0, "stdout", "tank: "),
                                     (["fx", "a.wav", "b.wav", "nosuch"], 2, "stderr",
                                      "divavova fx: unknown effect 'nosuch'; `divavova fx --list` shows them\n"),
                                     (["fx", "--nosuch"], 2, "stderr", "usage: divavova fx")):
        result = subprocess.run([sys.executable, "-m", "divavova", *argv], capture_output=True, text=True, env=env,
                                timeout=60, cwd=tmp_path)
        assert result.returncode == code and getattr(result, stream).startswith(text)


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
