"""Audio files: formats in and out, the reduction to 16 bits, channels,
truncated and damaged input, atomic output, streaming with latency and
tails, batches on process pools and a Dask cluster."""

import os
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

sf = pytest.importorskip("soundfile")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
try:
    import divavova  # noqa: F401  (installed with the module)
except ImportError:  # a developer build: the package sits in the tree
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import divavova

from divavova import audiofile, batch  # noqa: E402
from divavova.audiofile import AudioFileError, TruncatedError  # noqa: E402

from standin import LateEcho  # noqa: E402


def noise(frames, channels, level=0.3, seed=1):
    x = np.random.default_rng(seed).uniform(-level, level, (frames, channels))
    return x


def int16_of(x):
    return np.clip(np.rint(x * 32768), -32768, 32767).astype(np.int16)


def read(path, dtype="int16"):
    data, rate = sf.read(str(path), dtype=dtype, always_2d=True)
    return data, rate, sf.info(str(path))


def run(tmp_path, source, name="out.wav", effect=None, **options):
    target = str(tmp_path / name)
    result = batch.process_file(str(source), target, effect or LateEcho(), **options)
    return result, target


# --- formats -------------------------------------------------------------------------

LOSSLESS_16 = [("WAV", "PCM_16", "wav"), ("WAVEX", "PCM_16", "wav"), ("AIFF", "PCM_16", "aiff"),
               ("FLAC", "PCM_16", "flac"), ("WAV", "PCM_U8", "wav"), ("FLAC", "PCM_S8", "flac")]
DEEP = [("WAV", "PCM_24", "wav"), ("WAV", "PCM_32", "wav"), ("WAV", "FLOAT", "wav"), ("WAV", "DOUBLE", "wav"),
        ("WAVEX", "PCM_24", "wav"), ("AIFF", "PCM_24", "aif"), ("FLAC", "PCM_24", "flac")]


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("format, subtype, ext", LOSSLESS_16 + DEEP)
def test_lossless_inputs_keep_their_samples_and_sample_format(tmp_path, format, subtype, ext, channels):
    source = tmp_path / f"in.{ext}"
    x = noise(1500, channels)
    sf.write(str(source), x, 22050, format=format, subtype=subtype)
    stored, _, _ = read(source, "float64")          # what the file holds at its own resolution
    result, target = run(tmp_path, source, f"out.{ext}", dither=False)
    out, rate, info = read(target, "float64")
    assert (rate, info.channels, info.subtype, len(out)) == (22050, channels, subtype, 1500)
    assert result.frames == 1500 and result.warnings == []
    if subtype in audiofile.INT16_EXACT:
        assert np.array_equal(out, stored)
    else:  # the nearest 16-bit value, stored back at the input's depth
        assert np.array_equal(int16_of(out), int16_of(stored))
        assert np.abs(out * 32768 - stored * 32768).max() <= 0.5 + 1e-6


@pytest.mark.parametrize("ext, format, subtype", [("ogg", "OGG", "VORBIS"), ("mp3", "MP3", "MPEG_LAYER_III"),
                                                  ("flac", "FLAC", "PCM_16"), ("aiff", "AIFF", "PCM_16")])
def test_output_format_follows_the_extension(tmp_path, ext, format, subtype):
    if not sf.check_format(format, subtype):
        pytest.skip(f"libsndfile here does not write {format}")
    source = tmp_path / "in.wav"
    t = np.arange(48000) / 48000
    sf.write(str(source), 0.4 * np.sin(2 * np.pi * 440 * t), 48000)
    result, target = run(tmp_path, source, f"out.{ext}")
    out, rate, info = read(target, "float64")
    assert (info.format, info.subtype, rate) == (format, subtype, 48000)
    # a lossy codec changes the samples, not the tone's level
    assert abs(np.sqrt(np.mean(out ** 2)) - 0.4 / np.sqrt(2)) < 0.02
    # and a lossy input read back as WAV comes out plain PCM
    again, back = run(tmp_path, target, "back.wav")
    assert read(back)[2].subtype == "PCM_16" and again.frames > 40000


def test_output_names_and_subtypes_are_checked_before_any_work(tmp_path):
    missing = str(tmp_path / "missing.wav")
    for name, subtype, message in (("out.mp4", None, "cannot write a '.mp4' extension"),
                                   ("out", None, "without an extension"),
                                   ("out.flac", "FLOAT", "FLAC has no subtype FLOAT"),
                                   ("out.wav", "pcm_24", None)):
        if message is None:
            assert audiofile.output_format(name, subtype) == ("WAV", "PCM_24")
            continue
        with pytest.raises(AudioFileError, match=message):
            batch.process_file(missing, str(tmp_path / name), LateEcho(), subtype=subtype)
    assert audiofile.output_format("x.flac", None, "FLOAT") == ("FLAC", "PCM_16")
    assert audiofile.output_format("x.wav", "float") == ("WAV", "FLOAT")


def test_unreadable_inputs_fail_with_one_line(tmp_path):
    (tmp_path / "text.wav").write_text("not audio at all")
    rate0 = tmp_path / "rate0.wav"
    sf.write(str(rate0), np.zeros(10), 8000)
    raw = bytearray(rate0.read_bytes())
    raw[24:28] = bytes(4)
    rate0.write_bytes(bytes(raw))
    for name, message in (("text.wav", "not an audio file libsndfile reads (Format not recognised"),
                          ("missing.wav", "missing.wav: No such file or directory"),
                          ("rate0.wav", "rate0.wav: not an audio file")):
        with pytest.raises(AudioFileError, match=message.replace("(", r"\(")) as failure:
            run(tmp_path, tmp_path / name)
        assert "\n" not in str(failure.value)
    assert sorted(os.listdir(tmp_path)) == ["rate0.wav", "text.wav"]


# --- 16 bits from deeper samples -------------------------------------------------------

def test_tpdf_dither_spreads_the_error_over_two_steps(tmp_path):
    source = tmp_path / "in.wav"
    # a 24-bit ramp a quarter step above every 16-bit value: rounding alone always drops it
    steps = np.repeat(np.arange(-2000, 2000), 16)
    sf.write(str(source), ((steps * 256 + 64) << 8).astype(np.int32), 48000, subtype="PCM_24")
    _, target = run(tmp_path, source, "d.wav", subtype="PCM_16")
    dithered = read(target)[0][:, 0].astype(int) - steps
    _, target = run(tmp_path, source, "r.wav", subtype="PCM_16", dither=False)
    assert np.array_equal(read(target)[0][:, 0], steps)
    # TPDF of one step on each side: errors -1, 0, 1 (and 2 for the quarter offset), mean a quarter
    assert set(np.unique(dithered)) <= {-1, 0, 1, 2} and {-1, 0, 1} <= set(np.unique(dithered))
    assert abs(dithered.mean() - 0.25) < 0.02
    # seeded: the same file gives the same bytes
    _, again = run(tmp_path, source, "d2.wav", subtype="PCM_16")
    assert np.array_equal(read(again)[0], read(tmp_path / "d.wav")[0])


def test_float_beyond_full_scale_is_saturated_with_a_warning(tmp_path):
    source = tmp_path / "hot.wav"
    sf.write(str(source), np.array([0.5, 1.5, -2.0, -1.0]), 8000, subtype="FLOAT")
    result, target = run(tmp_path, source, "out.wav", dither=False, subtype="PCM_16")
    assert read(target)[0][:, 0].tolist() == [16384, 32767, -32768, -32768]
    assert result.warnings == [f"{source}: 2 samples beyond full scale were clipped to 16 bits"]


# --- channels --------------------------------------------------------------------------

def test_three_channels_are_refused_by_name_or_picked_or_downmixed(tmp_path):
    source = tmp_path / "three.wav"
    x = int16_of(noise(800, 3))
    sf.write(str(source), x, 16000)
    with pytest.raises(AudioFileError, match="3 channels; .*--channels 1,2.*--downmix"):
        run(tmp_path, source)
    _, target = run(tmp_path, source, "picked.wav", pick=[2, 0])
    assert np.array_equal(read(target)[0], x[:, [2, 0]])
    _, target = run(tmp_path, source, "one.wav", pick=[1])
    assert np.array_equal(read(target)[0], x[:, [1]])
    _, target = run(tmp_path, source, "mono.wav", downmix=True, dither=False)
    assert np.array_equal(read(target)[0][:, 0], np.rint(x.astype(float).mean(axis=1)).astype(np.int16))
    with pytest.raises(AudioFileError, match="has 3 channels, no channel 4"):
        run(tmp_path, source, pick=[0, 3])
    assert sorted(os.listdir(tmp_path)) == ["mono.wav", "one.wav", "picked.wav", "three.wav"]


# --- truncated and damaged -----------------------------------------------------------

def cut(path, keep):
    raw = path.read_bytes()
    path.write_bytes(raw[:int(len(raw) * keep)])


@pytest.mark.parametrize("format, ext", [("WAV", "wav"), ("WAVEX", "wav"), ("AIFF", "aiff"), ("FLAC", "flac"),
                                         ("OGG", "ogg")])
def test_truncated_input_fails_unless_allowed(tmp_path, format, ext):
    source = tmp_path / f"in.{ext}"
    sf.write(str(source), noise(40000, 2), 44100, format=format)
    cut(source, 0.5)
    target = tmp_path / "out.wav"
    target.write_bytes(b"keep me")
    with pytest.raises(TruncatedError, match=r"in\.\w+: (truncated|damaged).*--allow-truncated") as failure:
        run(tmp_path, source)
    assert "\n" not in str(failure.value)
    assert target.read_bytes() == b"keep me" and sorted(os.listdir(tmp_path)) == [source.name, "out.wav"]
    result, _ = run(tmp_path, source, allow_truncated=True)
    assert 0 < result.frames < 40000
    assert len(result.warnings) == 1 and str(result.frames) in result.warnings[0]
    assert read(target)[0].shape == (result.frames, 2)


def test_whole_files_of_every_kind_raise_no_truncation_warning(tmp_path):
    # a writer that could not seek back leaves the largest size in the header
    streamed = tmp_path / "streamed.wav"
    sf.write(str(streamed), noise(1000, 2), 8000)
    raw = bytearray(streamed.read_bytes())
    raw[4:8] = raw[40:44] = b"\xff\xff\xff\xff"
    streamed.write_bytes(bytes(raw))
    result, _ = run(tmp_path, streamed)
    assert result.warnings == [] and result.frames == 1000
    for format, ext in (("WAV", "wav"), ("AIFF", "aiff"), ("FLAC", "flac"), ("OGG", "ogg"), ("MP3", "mp3")):
        if not sf.check_format(format):
            continue
        source = tmp_path / f"in.{ext}"
        sf.write(str(source), noise(30000, 2), 48000, format=format)
        result, _ = run(tmp_path, source)
        assert result.warnings == [] and result.frames == sf.info(str(source)).frames, format


# --- streaming, latency, tails, atomic output -----------------------------------------

@given(frames=st.integers(0, 3000), latency=st.integers(0, 700), echo=st.integers(0, 500),
       block=st.integers(1, 1024), tail=st.one_of(st.none(), st.integers(0, 900)))
def test_stream_is_aligned_and_carries_the_tail(tmp_path_factory, frames, latency, echo, block, tail):
    tmp_path = tmp_path_factory.mktemp("stream")
    x = int16_of(noise(frames, 2, level=0.5))
    sf.write(str(tmp_path / "in.wav"), x, 8000)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(audiofile, "BLOCK_FRAMES", block)
        result, target = run(tmp_path, tmp_path / "in.wav", effect=LateEcho(latency, echo),
                             tail_s=None if tail is None else tail / 8000)
    length = frames + (echo if tail is None else tail)
    expected = np.zeros((length + echo, 2), dtype=np.int32)
    expected[:frames] += x
    if echo:
        expected[echo:echo + frames] += x // 2
    assert result.frames == length
    assert np.array_equal(read(target)[0], np.clip(expected[:length], -32768, 32767))


def test_output_may_be_the_input_and_keeps_its_mode(tmp_path):
    source = tmp_path / "in.flac"
    x = int16_of(noise(5000, 1))
    sf.write(str(source), x, 44100, subtype="PCM_24")
    os.chmod(source, 0o640)
    result, _ = run(tmp_path, source, "in.flac", effect=LateEcho(0, 100), dither=False)
    out, x = read(source)[0][:, 0], x[:, 0]
    assert result.frames == 5000 and np.array_equal(out[100:], np.clip(x[100:] + x[:-100] // 2, -32768, 32767))
    assert read(source)[2].subtype == "PCM_24" and os.stat(source).st_mode & 0o777 == 0o640
    assert os.listdir(tmp_path) == ["in.flac"]


def test_a_new_output_follows_the_umask(tmp_path):
    old = os.umask(0o027)
    try:
        audiofile.write(str(tmp_path / "out.wav"), np.zeros((4, 2), np.int16), 48000)
    finally:
        os.umask(old)
    assert os.stat(tmp_path / "out.wav").st_mode & 0o777 == 0o640


def test_an_empty_input_gives_an_empty_output_where_the_format_can_hold_one(tmp_path):
    sf.write(str(tmp_path / "empty.wav"), np.zeros((0, 2)), 44100)
    for name in ("out.wav", "out.aiff", "out.ogg"):
        result, target = run(tmp_path, tmp_path / "empty.wav", name, effect=LateEcho(300, 0))
        assert result.frames == 0 and sf.info(target).frames == 0
    with pytest.raises(AudioFileError, match="out.flac: libsndfile writes no FLAC file without frames"):
        run(tmp_path, tmp_path / "empty.wav", "out.flac")
    assert sorted(os.listdir(tmp_path)) == ["empty.wav", "out.aiff", "out.ogg", "out.wav"]


def test_rate_errors_of_the_effect_name_the_file(tmp_path):
    sf.write(str(tmp_path / "in.wav"), np.zeros(100), 1000)
    with pytest.raises(AudioFileError, match=r"in\.wav: late echo cannot run at 1000 Hz"):
        run(tmp_path, tmp_path / "in.wav", effect=LateEcho(fail_at_rate=1000))
    assert os.listdir(tmp_path) == ["in.wav"]


# --- describing ---------------------------------------------------------------------

def test_describe_reports_format_length_and_levels(tmp_path):
    t = np.arange(48000) / 48000
    x = np.stack([0.5 * np.sin(2 * np.pi * 1000 * t), np.zeros_like(t)], axis=1)
    sf.write(str(tmp_path / "s.flac"), x, 48000, subtype="PCM_24")
    lines, warnings = audiofile.describe(str(tmp_path / "s.flac"))
    text = "\n".join(lines)
    assert "FLAC" in text and "[PCM_24]" in text and "48000 Hz" in text and "1.000 s (48000 frames)" in text
    assert "peak      -6.02 dBFS (-6.02 dBFS, -inf dBFS)" in text
    assert "RMS       -12.04 dBFS (-9.03 dBFS, -inf dBFS)" in text and warnings == []
    sf.write(str(tmp_path / "empty.wav"), np.zeros((0, 1)), 8000)
    lines, _ = audiofile.describe(str(tmp_path / "empty.wav"))
    assert "0.000 s (0 frames)" in "\n".join(lines) and "peak      -inf dBFS" in "\n".join(lines)


# --- batches -------------------------------------------------------------------------

def batch_inputs(tmp_path, count):
    paths = []
    for k in range(count):
        path = tmp_path / "in" / f"f{k}.wav"
        path.parent.mkdir(exist_ok=True)
        sf.write(str(path), int16_of(noise(3000 + 100 * k, 1 + k % 2, seed=k)), 16000)
        paths.append(str(path))
    (tmp_path / "in" / "bad.wav").write_text("no audio")
    return paths[:2] + [str(tmp_path / "in" / "bad.wav")] + paths[2:]


def check_batch(tmp_path, results, inputs):
    assert [r.source for r in results] == inputs
    failed = [r for r in results if not r.ok]
    assert len(failed) == 1 and failed[0].source.endswith("bad.wav") and "not an audio file" in failed[0].error
    for result in results:
        if result.ok:
            single, target = run(tmp_path, result.source, "single.flac", effect=LateEcho(5, 40), tail_s=None)
            assert result.frames == single.frames
            assert np.array_equal(read(result.target)[0], read(target)[0])
    assert not os.path.exists(failed[0].target)


def test_process_files_on_worker_processes(tmp_path):
    inputs = batch_inputs(tmp_path, 4)
    seen = []
    results = divavova.process_files(inputs, str(tmp_path / "out"), LateEcho(5, 40), jobs=2, extension="flac",
                                     tail_s=None, progress=seen.append)
    assert sorted(r.source for r in seen) == sorted(inputs)
    check_batch(tmp_path, results, inputs)
    with pytest.raises(AudioFileError, match="would overwrite the output of"):
        divavova.process_files(inputs + [inputs[0]], str(tmp_path / "out"), LateEcho())


def test_process_files_on_a_dask_cluster(tmp_path, monkeypatch):
    distributed = pytest.importorskip("dask.distributed")
    # the workers start fresh interpreters: they find the package where this one does
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(path for path in sys.path if path))
    inputs = batch_inputs(tmp_path, 3)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) \
            as cluster, distributed.Client(cluster) as client:
        results = divavova.process_files(inputs, str(tmp_path / "out"), LateEcho(5, 40),
                                         executor=client.get_executor(), extension=".flac", tail_s=None)
    check_batch(tmp_path, results, inputs)
