"""Audio files: formats in and out, the reduction to 16 bits, channels,
truncated input, atomic output, streaming with latency and tails, batches
on process pools and a Dask cluster."""

import os
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

sf = pytest.importorskip("soundfile")

try:
    import divavova
except ImportError:  # a developer build: the package sits in the tree
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
    import divavova

from divavova import audiofile, batch  # noqa: E402
from divavova.audiofile import AudioFileError, TruncatedError  # noqa: E402

from standin import LateEcho, music, read, write  # noqa: E402


def run(tmp_path, source, name="out.wav", effect=None, **options):
    target = str(tmp_path / name)
    return batch.process_file(str(source), target, effect or LateEcho(), **options), target


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("format, subtype, ext", [
    ("WAV", "PCM_16", "wav"), ("WAVEX", "PCM_16", "wav"), ("AIFF", "PCM_16", "aiff"), ("FLAC", "PCM_16", "flac"),
    ("WAV", "PCM_U8", "wav"), ("FLAC", "PCM_S8", "flac"), ("WAV", "PCM_24", "wav"), ("WAV", "PCM_32", "wav"),
    ("WAV", "FLOAT", "wav"), ("WAV", "DOUBLE", "wav"), ("WAVEX", "PCM_24", "wav"), ("AIFF", "PCM_24", "aif"),
    ("FLAC", "PCM_24", "flac")])
def test_lossless_inputs_keep_their_samples_and_sample_format(tmp_path, format, subtype, ext, channels):
    source = write(tmp_path / f"in.{ext}", np.random.default_rng(1).uniform(-0.3, 0.3, (1500, channels)), 22050,
                   format=format, subtype=subtype)
    stored = read(source, "float64")
    result, target = run(tmp_path, source, f"out.{ext}", dither=False)
    info = sf.info(target)
    assert (info.samplerate, info.channels, info.subtype, result.frames, result.warnings) == \
        (22050, channels, subtype, 1500, [])
    # the nearest 16-bit value of every sample, stored back at the input's depth
    assert np.array_equal(read(target, "float64"), np.clip(np.rint(stored * 32768), -32768, 32767) / 32768)


@pytest.mark.parametrize("ext, format, subtype", [("ogg", "OGG", "VORBIS"), ("mp3", "MP3", "MPEG_LAYER_III"),
                                                  ("flac", "FLAC", "PCM_16"), ("aiff", "AIFF", "PCM_16")])
def test_output_format_follows_the_extension(tmp_path, ext, format, subtype):
    if not sf.check_format(format, subtype):
        pytest.skip(f"libsndfile here does not write {format}")
    source = write(tmp_path / "in.wav", 0.4 * np.sin(2 * np.pi * 440 * np.arange(48000) / 48000), 48000)
    _, target = run(tmp_path, source, f"out.{ext}")
    out, info = read(target, "float64"), sf.info(target)
    assert (info.format, info.subtype, info.samplerate) == (format, subtype, 48000)
    assert abs(np.sqrt(np.mean(out ** 2)) - 0.4 / np.sqrt(2)) < 0.02    # a lossy codec keeps the level
    again, back = run(tmp_path, target, "back.wav")                     # and reads back as plain PCM
    assert sf.info(back).subtype == "PCM_16" and again.frames > 40000 and again.warnings == []


def test_output_names_and_subtypes_are_checked_before_any_reading(tmp_path):
    for name, subtype, message in (("out.mp4", None, "cannot write a '.mp4' extension; writable: .wav"),
                                   ("out", None, "without an extension"),
                                   ("out.flac", "FLOAT", "FLAC has no subtype FLOAT; choose from PCM_S8")):
        with pytest.raises(AudioFileError, match=message):
            run(tmp_path, tmp_path / "missing.wav", name, subtype=subtype)
    assert audiofile.output_format("x.wav", "pcm_24") == ("WAV", "PCM_24")
    assert audiofile.output_format("x.flac", None, "FLOAT") == ("FLAC", "PCM_16")


def test_tpdf_dither_spreads_the_error_and_saturates_with_a_warning(tmp_path):
    # a 24-bit ramp a quarter step above every 16-bit value: rounding alone always drops it
    steps = np.repeat(np.arange(-2000, 2000), 16)
    source = write(tmp_path / "in.wav", ((steps * 256 + 64) << 8).astype(np.int32), 48000, subtype="PCM_24")
    _, rounded = run(tmp_path, source, "r.wav", subtype="PCM_16", dither=False)
    assert np.array_equal(read(rounded)[:, 0], steps)
    _, target = run(tmp_path, source, "d.wav", subtype="PCM_16")
    error = read(target)[:, 0].astype(int) - steps
    assert set(np.unique(error)) <= {-1, 0, 1, 2} and {-1, 0, 1} <= set(np.unique(error))
    assert abs(error.mean() - 0.25) < 0.02                              # unbiased: the quarter step survives
    assert np.array_equal(read(run(tmp_path, source, "d2.wav", subtype="PCM_16")[1]), read(target))   # seeded
    hot = write(tmp_path / "hot.wav", np.array([0.5, 1.5, -2.0, -1.0]), 8000, subtype="FLOAT")
    result, target = run(tmp_path, hot, "h.wav", dither=False, subtype="PCM_16")
    assert read(target)[:, 0].tolist() == [16384, 32767, -32768, -32768]
    assert result.warnings == [f"{hot}: 2 samples beyond full scale were clipped to 16 bits"]


def test_three_channels_are_refused_by_name_or_picked_or_downmixed(tmp_path):
    x = music(800, 3)
    source = write(tmp_path / "three.wav", x, 16000)
    with pytest.raises(AudioFileError, match="3 channels; .*--channels 1,2.*--downmix"):
        run(tmp_path, source)
    assert np.array_equal(read(run(tmp_path, source, "picked.wav", pick=[2, 0])[1]), x[:, [2, 0]])
    mono = read(run(tmp_path, source, "mono.wav", downmix=True, dither=False)[1])[:, 0]
    assert np.array_equal(mono, np.rint(x.mean(axis=1)).astype(np.int16))
    with pytest.raises(AudioFileError, match="has 3 channels, no channel 4"):
        run(tmp_path, source, pick=[0, 3])
    assert sorted(os.listdir(tmp_path)) == ["mono.wav", "picked.wav", "three.wav"]


@pytest.mark.parametrize("format, ext", [("WAV", "wav"), ("WAVEX", "wav"), ("AIFF", "aiff"), ("FLAC", "flac"),
                                         ("OGG", "ogg")])
def test_truncated_input_fails_unless_allowed(tmp_path, format, ext):
    source = tmp_path / f"in.{ext}"
    write(source, music(40000), format=format)
    result, _ = run(tmp_path, source, "whole.wav")
    assert result.warnings == [] and result.frames == 40000
    source.write_bytes(source.read_bytes()[:len(source.read_bytes()) // 2])
    (tmp_path / "out.wav").write_bytes(b"keep me")
    with pytest.raises(TruncatedError, match=r"in\.\w+: (truncated|damaged).*--allow-truncated"):
        run(tmp_path, source)
    assert (tmp_path / "out.wav").read_bytes() == b"keep me" and len(os.listdir(tmp_path)) == 3
    result, target = run(tmp_path, source, allow_truncated=True)
    assert 0 < result.frames < 40000 and len(read(target)) == result.frames
    assert len(result.warnings) == 1 and str(result.frames) in result.warnings[0]


def test_streamed_and_empty_files_are_whole(tmp_path):
    # a writer that could not seek back leaves the largest size in the header
    streamed = tmp_path / "streamed.wav"
    write(streamed, music(1000), 8000)
    raw = bytearray(streamed.read_bytes())
    raw[4:8] = raw[40:44] = b"\xff\xff\xff\xff"
    streamed.write_bytes(bytes(raw))
    assert run(tmp_path, streamed)[0].frames == 1000
    empty = write(tmp_path / "empty.wav", np.zeros((0, 2)), 44100)
    for name in ("out.wav", "out.aiff", "out.ogg"):
        assert run(tmp_path, empty, name, effect=LateEcho(300, 0))[0].frames == 0 and sf.info(str(tmp_path / name))
    with pytest.raises(AudioFileError, match="out.flac: libsndfile writes no FLAC file without frames"):
        run(tmp_path, empty, "out.flac")


@given(frames=st.integers(0, 3000), latency=st.integers(0, 700), echo=st.integers(0, 500),
       block=st.integers(1, 1024), tail=st.one_of(st.none(), st.integers(0, 900)))
def test_stream_is_aligned_and_carries_the_tail(tmp_path_factory, frames, latency, echo, block, tail):
    tmp_path = tmp_path_factory.mktemp("stream")
    x = music(frames, rate=8000)
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(audiofile, "BLOCK_FRAMES", block)
        result, target = run(tmp_path, write(tmp_path / "in.wav", x, 8000), effect=LateEcho(latency, echo),
                             tail_s=None if tail is None else tail / 8000)
    length = frames + (echo if tail is None else tail)
    expected = np.zeros((length + echo, 2), dtype=np.int32)
    expected[:frames] += x
    if echo:
        expected[echo:echo + frames] += x // 2
    assert result.frames == length and np.array_equal(read(target), np.clip(expected[:length], -32768, 32767))


def test_output_may_be_the_input_and_modes_are_kept_or_follow_the_umask(tmp_path):
    x = music(5000, 1)
    source = write(tmp_path / "in.flac", x, subtype="PCM_24")
    os.chmod(source, 0o640)
    run(tmp_path, source, "in.flac", effect=LateEcho(0, 100), dither=False)
    assert np.array_equal(read(source)[100:], np.clip(x[100:] + x[:-100] // 2, -32768, 32767))
    assert sf.info(source).subtype == "PCM_24" and os.stat(source).st_mode & 0o777 == 0o640
    old = os.umask(0o027)
    try:
        audiofile.write(str(tmp_path / "new.wav"), np.zeros((4, 2), np.int16), 48000)
    finally:
        os.umask(old)
    assert os.stat(tmp_path / "new.wav").st_mode & 0o777 == 0o640 and sorted(os.listdir(tmp_path)) == \
        ["in.flac", "new.wav"]


def batch_inputs(tmp_path, count):
    paths = [write(tmp_path / f"f{k}.wav", music(3000 + 100 * k, 1 + k % 2, seed=k), 16000) for k in range(count)]
    (tmp_path / "bad.wav").write_text("no audio")
    return paths[:2] + [str(tmp_path / "bad.wav")] + paths[2:]


def check_batch(tmp_path, results, inputs):
    assert [r.source for r in results] == inputs and [r.ok for r in results].count(False) == 1
    for result in results:
        if not result.ok:
            assert result.source.endswith("bad.wav") and "not an audio file" in result.error
            assert not os.path.exists(result.target)
            continue
        single, target = run(tmp_path, result.source, "single.flac", effect=LateEcho(5, 40), tail_s=None)
        assert result.frames == single.frames and np.array_equal(read(result.target), read(target))


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
