"""Files through the command line: memory and speed of a long file, and the
speed-up of a batch on two worker processes.

    python bench/files.py [--quick] [--repeat N] [--only memory|batch] [--chain "EFFECT ..."]

memory  A 10-minute stereo 16-bit WAV at 48 kHz through `divavova fx ... tank`:
        peak resident memory (/usr/bin/time -f %M) and time, beside the same
        frames through TankState alone with the whole file in memory (read,
        256-frame blocks, written), the way the command worked before it
        streamed.
batch   40 one-minute stereo WAVs through `divavova batch ... -- tank` (or
        --chain) with --jobs 1 and --jobs 2, alternating, `--repeat` times
        (default 3); medians and the speed-up.  The start-up of the command
        (the interpreter, numpy, soundfile, the effects: about 0.3 s of one
        CPU) does not run in parallel, so a light chain gains less than a
        heavy one.  The load average is printed before every run: other
        work on the machine shows in the figures.

--quick uses a 1-minute file and 10 files of 10 s.  Needs /usr/bin/time.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np
import soundfile as sf

RATE = 48000
HERE = pathlib.Path(__file__).resolve().parent

# the old way: the whole file in memory, the engine over 256-frame blocks
WHOLE_FILE = """
import sys, numpy as np, soundfile as sf, _divavova as core
data, rate = sf.read(sys.argv[1], dtype="int16")
tank = core.TankState(sample_rate=rate, channel_count=2)
tank.finish()
raw = data.tobytes()
step = 256 * 4
out = b"".join(tank.process(raw[i:i + step]) for i in range(0, len(raw), step))
sf.write(sys.argv[2], np.frombuffer(out, dtype=np.int16).reshape(-1, 2), rate)
"""


def music(path: pathlib.Path, seconds: float, seed: int) -> None:
    """Chords with a little noise, written in blocks (the file never sits in memory)."""
    rng = np.random.default_rng(seed)
    frames = int(seconds * RATE)
    with sf.SoundFile(str(path), "w", RATE, 2, "PCM_16") as handle:
        for start in range(0, frames, 10 * RATE):
            t = np.arange(start, min(frames, start + 10 * RATE)) / RATE
            tone = sum(0.12 * np.sin(2 * np.pi * f * t) for f in (220.0, 277.2, 329.6))
            block = tone[:, None] + rng.uniform(-0.05, 0.05, (len(t), 2))
            handle.write((block * 32767).astype(np.int16))


def load() -> str:
    return " ".join(f"{v:.2f}" for v in os.getloadavg())


def timed(command: list) -> tuple:
    """(peak resident MB, wall s, cpu s) of one run."""
    report = tempfile.NamedTemporaryFile(suffix=".time", delete=False)
    report.close()
    started = time.perf_counter()
    subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%M %U %S", *command], check=True,
                   stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - started
    kilobytes, user, system = pathlib.Path(report.name).read_text().split()[-3:]
    os.unlink(report.name)
    return int(kilobytes) / 1024, wall, float(user) + float(system)


def divavova(*args: str) -> list:
    return [sys.executable, "-m", "divavova", *args]


def bench_memory(work: pathlib.Path, seconds: float, repeat: int) -> None:
    source = work / "long.wav"
    music(source, seconds, 1)
    print(f"memory: {seconds / 60:g}-minute stereo 16-bit WAV at {RATE} Hz through tank "
          f"({source.stat().st_size / 2 ** 20:.0f} MiB)")
    print(f"{'run':<34}{'peak MB':>9}{'wall s':>9}{'cpu s':>8}  load before")
    for _ in range(repeat):
        for label, command in (("divavova fx (streamed)", divavova("fx", str(source), str(work / "out.wav"),
                                                                     "tank", "--quiet")),
                               ("TankState, whole file in memory",
                                [sys.executable, "-c", WHOLE_FILE, str(source), str(work / "ref.wav")])):
            before = load()
            peak, wall, cpu = timed(command)
            print(f"{label:<34}{peak:>9.1f}{wall:>9.2f}{cpu:>8.2f}  {before}", flush=True)


def bench_batch(work: pathlib.Path, count: int, seconds: float, repeat: int, chain: list) -> None:
    inputs = []
    for k in range(count):
        path = work / "in" / f"take{k:02d}.wav"
        path.parent.mkdir(exist_ok=True)
        music(path, seconds, 100 + k)
        inputs.append(str(path))
    print(f"batch: {count} stereo WAVs of {seconds:g} s through {' '.join(chain)}, {os.cpu_count()} CPUs")
    print(f"{'run':<14}{'wall s':>9}{'cpu s':>8}  load before")
    walls: dict = {1: [], 2: []}
    for _ in range(repeat):
        for jobs in (1, 2):
            before = load()
            _, wall, cpu = timed(divavova("batch", str(work / f"out{jobs}"), *inputs, "--jobs", str(jobs),
                                          "--quiet", "--", *chain))
            walls[jobs].append(wall)
            print(f"--jobs {jobs:<7}{wall:>9.2f}{cpu:>8.2f}  {before}", flush=True)
    one, two = statistics.median(walls[1]), statistics.median(walls[2])
    print(f"median: --jobs 1 {one:.2f} s, --jobs 2 {two:.2f} s: {one / two:.2f}x faster with 2 jobs "
          f"(best pair {min(walls[1]) / min(walls[2]):.2f}x)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", choices=("memory", "batch"))
    parser.add_argument("--chain", default="tank", help="the batch's chain (default: tank)")
    args = parser.parse_args()
    import _divavova
    print(f"environment: python {sys.version.split()[0]}; _divavova {_divavova.__version__} "
          f"({_divavova.__revision__}); soundfile {sf.__version__} (libsndfile {sf.__libsndfile_version__})")
    with tempfile.TemporaryDirectory(prefix="divavova-bench-") as folder:
        work = pathlib.Path(folder)
        if args.only != "batch":
            bench_memory(work, 60 if args.quick else 600, args.repeat)
        if args.only != "memory":
            bench_batch(work, 10 if args.quick else 40, 10 if args.quick else 60, args.repeat, args.chain.split())
    return 0


if __name__ == "__main__":
    sys.exit(main())
