"""Effects over audio files: one file streamed in constant memory, or many
files in parallel on worker processes or a cluster.

`process_file` reads the input in blocks, runs them through an effect (or a
`Chain`) with its state carried from block to block, drops the first
``latency_frames`` of output, runs silence through after the input for the
latency and the requested tail, and writes the output as it goes to a
temporary file that replaces the destination once complete.  Memory stays
the same whatever the file's length.

`process_files` does that for many files with one chain.  The core holds
the interpreter lock while it computes, so the files run in parallel in
worker processes: a `concurrent.futures.ProcessPoolExecutor` of ``jobs``
workers by default, or any executor given, such as a Dask cluster's::

    from dask.distributed import Client
    with Client("tcp://scheduler:8786") as client:
        divavova.process_files(paths, "out", chain, executor=client.get_executor())

Each worker builds its own copy of the chain from the effects' classes and
option values, so the chain travels as a recipe, not as engine state.
"""

from __future__ import annotations

import itertools
import multiprocessing
import os
import sys
import threading
from concurrent.futures import Executor, ProcessPoolExecutor, as_completed
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from divavova import audiofile
from divavova.audiofile import AudioFileError
from divavova._base import Effect
from divavova.chain import Chain

Progress = Callable[[int, int, int], None]
# (class, option values) of an effect, (class, [recipes]) of a chain
Recipe = Tuple[type, Union[Dict[str, Any], List[Any]]]


@dataclass
class FileResult:
    """What became of one file: ``error`` is None when it was written."""
    source: str
    target: str
    frames: int = 0                       # frames written
    warnings: List[str] = field(default_factory=list)
    error: Optional[str] = None

    @property
    def ok(self) -> bool:
        return self.error is None


def _without_latency(effect: Effect, blocks: Iterable[np.ndarray], sample_rate: int,
                     latency: int) -> Iterator[np.ndarray]:
    """The effect's output of ``blocks`` with the first ``latency`` frames dropped."""
    skip = latency
    for block in blocks:
        out = effect.process(block, sample_rate)
        if skip:
            cut = min(skip, len(out))
            out, skip = out[cut:], skip - cut
        if len(out):
            yield out


def _silence(frames: int, channels: int, block_frames: int) -> Iterator[np.ndarray]:
    for start in range(0, frames, block_frames):
        yield np.zeros((min(block_frames, frames - start), channels), dtype=np.int16)


def process_file(source: str, target: str, effect: Effect, *, subtype: Optional[str] = None,
                 tail_s: Optional[float] = 0.0, pick: Optional[Sequence[int]] = None, downmix: bool = False,
                 dither: bool = True, allow_truncated: bool = False,
                 progress: Optional[Progress] = None) -> FileResult:
    """Streams ``source`` through ``effect`` into ``target`` (format by its
    extension, see `audiofile.output_format`) and returns what was written.

    The output is aligned with the input (the effect's latency is removed)
    and as long as it plus ``tail_s`` seconds, or plus the effect's own
    ``tail_frames`` (the time its output takes to decay to -60 dB) when
    ``tail_s`` is None.  ``pick``, ``downmix``, ``dither`` and
    ``allow_truncated`` are those of `audiofile.Reader`.  ``progress`` is
    called after every block with (frames of the block, frames of the file
    as its header gives them, sample rate).  Every failure raises
    AudioFileError with one line naming the file, a rate the effect cannot
    run at included."""
    if tail_s is not None and not tail_s >= 0:
        raise ValueError(f"tail_s must be a number of seconds of at least 0 (or None), not {tail_s!r}")
    audiofile.output_format(target, subtype)              # an unwritable name fails before any reading
    with audiofile.Reader(source, allow_truncated=allow_truncated) as reader:
        channels = reader.select(pick, downmix, dither)
        reader.require_mono_or_stereo()
        format, subtype = audiofile.output_format(target, subtype, reader.subtype)
        rate = reader.sample_rate
        try:
            effect.prepare(rate, channels)
        except ValueError as exc:
            raise AudioFileError(f"{source}: {exc}") from None
        latency = effect.latency_frames
        tail = effect.tail_frames if tail_s is None else round(tail_s * rate)
        written = 0
        with audiofile.atomic_writer(target, format, subtype, rate, effect.output_channels(channels)) as handle:
            stream = itertools.chain(_reported(reader, progress),
                                     _silence(latency + tail, channels, audiofile.BLOCK_FRAMES))
            for out in _without_latency(effect, stream, rate, latency):
                handle.write(out)
                written += len(out)
        return FileResult(source, target, written, reader.warnings)


def _reported(reader: audiofile.Reader, progress: Optional[Progress]) -> Iterator[np.ndarray]:
    for block in reader.blocks():
        yield block
        if progress:
            progress(len(block), reader.frames, reader.sample_rate)


# --- many files ----------------------------------------------------------------------

def recipe(effect: Effect) -> Recipe:
    """A picklable description of an effect or chain: its class and option
    values, nested for chains."""
    if isinstance(effect, Chain):
        return (type(effect), [recipe(inner) for inner in effect])
    return (type(effect), {name: getattr(effect, name) for name in type(effect).OPTIONS})


def build(made: Recipe) -> Effect:
    """A fresh effect (or chain) from its recipe."""
    cls, content = made
    effect: Effect = cls([build(inner) for inner in content]) if isinstance(content, list) else cls(**content)
    return effect


def _process_one(made: Recipe, source: str, target: str, options: Dict[str, Any]) -> FileResult:
    """One file in a worker; any failure becomes the result's error."""
    try:
        return process_file(source, target, build(made), **options)
    except AudioFileError as exc:
        return FileResult(source, target, error=str(exc))
    except Exception as exc:  # noqa: BLE001 - one bad file must not stop the batch
        return FileResult(source, target, error=f"{source}: {exc.strerror if isinstance(exc, OSError) else exc}")


def targets_for(inputs: Sequence[str], outdir: str, extension: Optional[str] = None) -> List[str]:
    """OUTDIR/NAME for every input (the extension replaced if given); two
    inputs that would write the same file are an error."""
    out: List[str] = []
    seen: Dict[str, str] = {}
    for source in inputs:
        name = os.path.basename(source)
        if extension:
            name = os.path.splitext(name)[0] + (extension if extension.startswith(".") else "." + extension)
        target = os.path.join(outdir, name)
        key = os.path.normcase(os.path.abspath(target))
        if key in seen:
            raise AudioFileError(f"{source}: would overwrite the output of {seen[key]} ({target})")
        seen[key] = source
        out.append(target)
    return out


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # pragma: no cover - not on Linux
        return os.cpu_count() or 1


def _worker_context() -> Any:
    """Forked workers on Linux while this process runs no other thread: they
    start at once with the modules already imported, where the default from
    Python 3.14 on (forkserver) imports numpy, soundfile and the effects
    again in each.  With threads running, forking could deadlock: then the
    platform's default."""
    if sys.platform.startswith("linux") and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    return None


def process_files(inputs: Iterable[str], outdir: str, chain: Effect, *, executor: Optional[Executor] = None,
                  jobs: Optional[int] = None, extension: Optional[str] = None,
                  progress: Optional[Callable[[FileResult], None]] = None, **options: Any) -> List[FileResult]:
    """Runs every input through ``chain`` into ``outdir`` (created if
    missing) under its own name, the extension replaced by ``extension`` if
    given, and returns one FileResult per input in input order: a file that
    fails is reported there and the others still complete.

    The files run on ``executor`` (any `concurrent.futures.Executor`, for
    example a Dask client's ``get_executor()``), else on ``jobs`` worker
    processes (default: the CPUs this process may use; 1 runs them here).
    ``options`` are those of `process_file` (``subtype``, ``tail_s``,
    ``pick``, ``downmix``, ``dither``, ``allow_truncated``); ``progress`` is
    called with each result as it comes in.  Names that cannot be written
    and two inputs with one output name raise AudioFileError before any
    work."""
    inputs = [os.fspath(path) for path in inputs]
    targets = targets_for(inputs, outdir, extension)
    for target in targets:
        audiofile.output_format(target, options.get("subtype"))
    if jobs is not None and jobs < 1:
        raise ValueError(f"jobs must be at least 1, not {jobs}")
    try:
        os.makedirs(outdir, exist_ok=True)
    except OSError as exc:
        raise AudioFileError(f"{outdir}: {exc.strerror or exc}") from None
    made = recipe(chain)
    results: Dict[int, FileResult] = {}

    def done(index: int, result: FileResult) -> None:
        results[index] = result
        if progress:
            progress(result)

    workers = min(jobs or default_jobs(), len(inputs))
    if executor is None and workers <= 1:
        for index, (source, target) in enumerate(zip(inputs, targets)):
            done(index, _process_one(made, source, target, options))
        return [results[index] for index in range(len(inputs))]
    pool = executor or ProcessPoolExecutor(max_workers=workers, mp_context=_worker_context())
    try:
        futures = {pool.submit(_process_one, made, source, target, options): index
                   for index, (source, target) in enumerate(zip(inputs, targets))}
        for future in as_completed(futures):
            index = futures[future]
            try:
                result = future.result()
            except Exception as exc:  # noqa: BLE001 - a worker that died takes only its file
                result = FileResult(inputs[index], targets[index], error=f"{inputs[index]}: worker failed ({exc})")
            done(index, result)
    finally:
        if executor is None:
            pool.shutdown()
    return [results[index] for index in range(len(inputs))]
