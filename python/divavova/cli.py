"""The divavova command: effect chains over audio files, batches over many
files, facts about files, the demo piece and response plots.

Exit status: 0 when everything was done, 1 when a file could not be read,
processed or written (one line on stderr names the file and the cause), 2
for a command line that does not parse (unknown effects and options and
values out of range included).
"""

from __future__ import annotations

import argparse
import shutil
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple, Type

from divavova import EFFECTS, Chain, Effect, audiofile, batch
from divavova.audiofile import AudioFileError

PROG = "divavova"


class UsageError(Exception):
    """A command line that cannot be run as given (exit status 2)."""


# --- chains from the command line ------------------------------------------------------

def find_effect(name: str) -> Type[Effect]:
    if name not in EFFECTS:
        raise UsageError(f"unknown effect {name!r}; `divavova fx --list` shows them")
    return EFFECTS[name]


def make_effect(name: str, pairs: Sequence[str]) -> Effect:
    """One effect from its name and NAME=VALUE texts."""
    cls = find_effect(name)
    options: Dict[str, object] = {}
    for pair in pairs:
        key, sep, text = pair.partition("=")
        if not sep or not key:
            raise UsageError(f"{name}: options are NAME=VALUE, not {pair!r}")
        if key not in cls.OPTIONS:
            raise UsageError(f"{name}: unknown option {key!r} (options: {', '.join(cls.OPTIONS) or 'none'})")
        if key in options:
            raise UsageError(f"{name}: option {key!r} is given twice")
        try:
            options[key] = cls.OPTIONS[key].parse(text)
        except ValueError as exc:
            raise UsageError(f"{name}: {exc}") from None
    try:
        return cls(**options)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"{name}: {exc}") from None


def split_chain(tokens: Sequence[str]) -> List[Tuple[str, List[str]]]:
    """[(effect name, [NAME=VALUE, ...]), ...] from sox-style tokens."""
    groups: List[Tuple[str, List[str]]] = []
    for token in tokens:
        if "=" in token:
            if not groups:
                raise UsageError(f"{token!r} comes before any effect; give the effect's name first")
            groups[-1][1].append(token)
        elif token.startswith("-"):
            raise UsageError(f"{token!r}: options of the command go before the chain")
        else:
            groups.append((token, []))
    return groups


def parse_chain(tokens: Sequence[str], first: Sequence[str] = ()) -> Chain:
    """A Chain from tokens ``EFFECT NAME=VALUE ... EFFECT ...``; ``first``
    adds NAME=VALUE texts to the first effect (from --set and --mix)."""
    groups = split_chain(tokens)
    if first:
        if not groups:
            raise UsageError("--set and --mix need an effect to apply to")
        groups[0] = (groups[0][0], list(first) + groups[0][1])
    for name, _ in groups:
        if not find_effect(name).STREAMS:
            raise UsageError(f"{name} works on whole signals only, not on a file streamed in blocks")
    return Chain([make_effect(name, pairs) for name, pairs in groups])


# --- shared options ----------------------------------------------------------------------

def parse_channels(text: Optional[str]) -> Optional[List[int]]:
    if text is None:
        return None
    try:
        numbers = [int(part) for part in text.split(",")]
    except ValueError:
        raise UsageError(f"--channels takes channel numbers from 1, such as 1,2 or 3; not {text!r}") from None
    if not 1 <= len(numbers) <= 2 or min(numbers) < 1:
        raise UsageError(f"--channels takes one or two channel numbers from 1, not {text!r}")
    return [number - 1 for number in numbers]


def parse_tail(text: str) -> Optional[float]:
    if text == "auto":
        return None
    try:
        seconds = float(text)
    except ValueError:
        seconds = -1.0
    if not 0 <= seconds <= 3600:
        raise UsageError(f"--tail takes seconds from 0 to 3600 or 'auto', not {text!r}")
    return seconds


def add_file_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--subtype", help="sample format of the output (default: the input's where the output "
                                          "format has it, else the format's default); see `divavova formats`")
    parser.add_argument("--tail", default="0", metavar="SECONDS|auto",
                        help="run silence through after the input for this long, so reverb and delay tails are "
                             "kept; 'auto' until the output has decayed to -60 dB (default 0: as long as the input)")
    parser.add_argument("--no-dither", dest="dither", action="store_false",
                        help="round deeper samples (24/32-bit, float, lossy) to 16 bits without TPDF dither")
    parser.add_argument("--channels", metavar="LIST", help="process these channels of the input, from 1: "
                                                             "one or two, such as 1,2 or 3")
    parser.add_argument("--downmix", action="store_true", help="average all channels of the input to mono")
    parser.add_argument("--allow-truncated", action="store_true",
                        help="process what a truncated or damaged input holds (a warning, exit status 0)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar and no summary")


def file_options(args: argparse.Namespace) -> Dict[str, Any]:
    if args.channels is not None and args.downmix:
        raise UsageError("--channels and --downmix exclude each other")
    return {"subtype": args.subtype, "tail_s": parse_tail(args.tail), "pick": parse_channels(args.channels),
            "downmix": args.downmix, "dither": args.dither, "allow_truncated": args.allow_truncated}


def warn(command: str, message: str) -> None:
    print(f"{PROG} {command}: warning: {message}", file=sys.stderr)


class _NoBar:
    def update(self, n: float = 1) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(live: bool, **options: Any) -> Any:
    """A tqdm bar on stderr if ``live``, else one that draws nothing (and
    tqdm is not even imported)."""
    if not live:
        return _NoBar()
    from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    tqdm.monitor_interval = 0        # no monitor thread: batches fork their workers
    # a terminal that reports no width gets the usual 80 columns, not an empty bar
    return tqdm(file=sys.stderr, ncols=shutil.get_terminal_size().columns, **options)


def showing_progress(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


class FileProgress:
    """A bar of the seconds done, for files longer than five seconds."""

    def __init__(self, label: str, quiet: bool) -> None:
        self.label, self.quiet = label, quiet
        self.bar: Any = None

    def __call__(self, frames: int, total: int, rate: int) -> None:
        if self.bar is None:
            self.bar = progress_bar(showing_progress(self.quiet) and total > 5 * rate, total=round(total / rate, 1),
                                    desc=self.label, bar_format="{desc}: {percentage:3.0f}%|{bar}| "
                                                                "{n:.1f}/{total:.1f} s [{elapsed}<{remaining}]")
        self.bar.update(frames / rate)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# --- commands ------------------------------------------------------------------------

def list_effects(names: Sequence[str]) -> int:
    if names:
        for name in names:
            cls = find_effect(name)
            print(f"{name}: {summary(cls)}")
            for info in cls.OPTIONS.values():
                print(f"    {info.describe()}")
        return 0
    width = max(map(len, EFFECTS))
    for name, cls in sorted(EFFECTS.items()):
        print(f"{name:<{width}}  {summary(cls)}")
    print("\n`divavova fx --list EFFECT` shows an effect's options with units, ranges and defaults.")
    return 0


def summary(cls: type) -> str:
    """The first sentence of the class's documentation."""
    paragraph = " ".join((cls.__doc__ or "").strip().split("\n\n")[0].split())
    return paragraph.split(". ")[0].rstrip(".") + "." if paragraph else cls.__name__


def command_fx(args: argparse.Namespace) -> int:
    named = [token for token in (args.input, args.output, *args.chain) if token is not None]
    if args.list:
        return list_effects(named)
    if args.input is None or args.output is None:
        raise UsageError("give IN OUT [EFFECT [NAME=VALUE ...] ...], or --list")
    first = list(args.set or []) + ([f"mix={args.mix}"] if args.mix is not None else [])
    chain = parse_chain(args.chain, first)
    options = file_options(args)
    progress = FileProgress(args.output, args.quiet)
    try:
        result = batch.process_file(args.input, args.output, chain, progress=progress, **options)
    finally:
        progress.close()
    for message in result.warnings:
        warn("fx", message)
    if not args.quiet:
        names = " ".join(name for name, _ in split_chain(args.chain)) or "no effect"
        print(f"wrote {args.output}: {names}, {result.frames} frames")
    return 0


def command_batch(args: argparse.Namespace, chain_tokens: Sequence[str]) -> int:
    chain = parse_chain(chain_tokens)
    options = file_options(args)
    if args.jobs is not None and args.jobs < 1:
        raise UsageError(f"--jobs must be at least 1, not {args.jobs}")
    bar = progress_bar(showing_progress(args.quiet), total=len(args.inputs), desc="files", unit="file", leave=False)
    try:
        results = batch.process_files(args.inputs, args.outdir, chain, jobs=args.jobs, extension=args.format,
                                      progress=lambda result: bar.update(), **options)
    finally:
        bar.close()
    failed = [result for result in results if not result.ok]
    for result in results:
        for message in result.warnings:
            warn("batch", message)
    for result in failed:
        print(f"{PROG} batch: {result.error}", file=sys.stderr)
    if failed:
        print(f"{PROG} batch: {len(failed)} of {len(results)} files failed", file=sys.stderr)
    elif not args.quiet:
        print(f"wrote {len(results)} file{'s' if len(results) != 1 else ''} to {args.outdir}")
    return 1 if failed else 0


def command_info(args: argparse.Namespace) -> int:
    status = 0
    for index, path in enumerate(args.files):
        try:
            lines, warnings = audiofile.describe(path)
        except AudioFileError as exc:
            print(f"{PROG} info: {exc}", file=sys.stderr)
            status = 1
            continue
        if index:
            print()
        print("\n".join(lines))
        for message in warnings:
            warn("info", message.replace("; processed what was read", ""))
            status = 1
    return status


def formats_text(read: bool = True) -> str:
    """The formats libsndfile reads here (if ``read``) and those written by extension."""
    import soundfile as sf  # type: ignore[import-untyped, unused-ignore]
    lines = []
    if read:
        lines += [f"read (libsndfile {sf.__libsndfile_version__}), whatever the file's name:",
                  *(f"  {name:<6} {text}" for name, text in sorted(sf.available_formats().items()))]
    lines.append("write, by the output's extension (--subtype picks the sample format):")
    for extension in audiofile.writable_extensions():
        format, implied = audiofile.WRITE_FORMATS[extension]
        subtypes = [implied] if implied else audiofile.writable_subtypes(format)
        default = implied or sf.default_subtype(format)
        lines.append(f"  {extension:<6} {format:<5} " + ", ".join(
            f"{name} (default)" if name == default else name for name in subtypes))
    return "\n".join(lines)


def command_formats(args: argparse.Namespace) -> int:
    print(formats_text())
    return 0


def command_demo(args: argparse.Namespace) -> int:
    from divavova import demo
    if not 0 < args.seconds <= 600:
        raise UsageError("--seconds must be above 0 and at most 600")
    audio = demo.piece(args.seconds)
    audiofile.write(args.output, audio, demo.RATE)
    print(f"wrote {args.output}: {len(audio) / demo.RATE:.1f} s, stereo, {demo.RATE} Hz")
    return 0


def command_response(args: argparse.Namespace) -> int:
    from divavova import response
    first = list(args.set or [])
    tokens = [args.effect, *args.options]
    groups = split_chain(tokens)
    if len(groups) != 1:
        raise UsageError("response takes one effect and its NAME=VALUE options")
    name, pairs = groups[0][0], first + groups[0][1]
    effect = make_effect(name, pairs)
    title = f"{name} at {args.rate} Hz" + (f" ({', '.join(pairs)})" if pairs else "")
    try:
        response.plot(name, effect, args.png, rate=args.rate, frames=args.frames, title=title)
    except ValueError as exc:
        raise UsageError(str(exc)) from None
    print(f"wrote {args.png}")
    return 0


# --- the parser ------------------------------------------------------------------------

def build_parser() -> Tuple[argparse.ArgumentParser, Dict[str, argparse.ArgumentParser]]:
    parser = argparse.ArgumentParser(prog=PROG, description="Run the divavova effects over audio files.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    fx = sub.add_parser("fx", help="run a chain of effects over an audio file",
                        formatter_class=argparse.RawDescriptionHelpFormatter,
                        usage="%(prog)s IN OUT [EFFECT [NAME=VALUE ...] ...] [options]\n"
                              "       %(prog)s --list [EFFECT]",
                        description="Runs the effects in order over IN and writes OUT, in the format its "
                                    "extension names, aligned with IN (every latency removed).",
                        epilog=formats_text(read=False) + "\n\n`divavova formats` lists the formats read.")
    fx.add_argument("input", metavar="IN", nargs="?")
    fx.add_argument("output", metavar="OUT", nargs="?")
    fx.add_argument("chain", metavar="EFFECT NAME=VALUE", nargs="*", help="effects, each followed by its options")
    fx.add_argument("--list", action="store_true", help="list the effects, or one effect's options")
    fx.add_argument("--set", action="append", metavar="NAME=VALUE", help="an option of the first effect")
    fx.add_argument("--mix", help="shorthand for --set mix=VALUE")
    add_file_options(fx)
    fx.set_defaults(run=command_fx)

    bt = sub.add_parser("batch", help="run one chain over many files in parallel",
                        usage="%(prog)s OUTDIR IN... [options] -- [EFFECT [NAME=VALUE ...] ...]",
                        description="Runs the chain after `--` over every IN, writing OUTDIR/NAME; the files go "
                                    "in parallel worker processes.  The failures are listed at the end; the "
                                    "exit status is 0 only if every file was written.")
    bt.add_argument("outdir", metavar="OUTDIR")
    bt.add_argument("inputs", metavar="IN", nargs="+")
    bt.add_argument("--jobs", type=int, help="worker processes (default: the number of CPUs)")
    bt.add_argument("--format", metavar="EXT", help="extension of the outputs, such as flac (default: the input's)")
    add_file_options(bt)
    bt.set_defaults(run=command_batch)

    info = sub.add_parser("info", help="print format, rate, channels, length and levels of audio files")
    info.add_argument("files", metavar="FILE", nargs="+")
    info.set_defaults(run=command_info)

    formats = sub.add_parser("formats", help="list the formats read and written")
    formats.set_defaults(run=command_formats)

    demo = sub.add_parser("demo", help="render a short demonstration piece")
    demo.add_argument("output", metavar="OUT")
    demo.add_argument("--seconds", type=float, default=7.0, help="length in seconds (default 7)")
    demo.set_defaults(run=command_demo)

    response = sub.add_parser("response", help="plot the impulse and magnitude response of a linear effect")
    response.add_argument("effect", metavar="EFFECT")
    response.add_argument("options", metavar="NAME=VALUE", nargs="*")
    response.add_argument("--set", action="append", metavar="NAME=VALUE")
    response.add_argument("--png", required=True, metavar="OUT.png")
    response.add_argument("--rate", type=int, default=48000, help="sample rate in Hz (default 48000)")
    response.add_argument("--frames", type=int, help="length of the response (default: long enough for the "
                                                     "effect's delay and its decay to -60 dB)")
    response.set_defaults(run=command_response)
    return parser, sub.choices


def main(argv: Optional[Sequence[str]] = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    parser, commands = build_parser()
    command = argv[0] if argv else None
    if command not in commands:
        parser.parse_args(argv)               # help, or the usage error for a missing or unknown command
        return 2
    rest, chain = argv[1:], []
    if command == "batch" and "--" in rest:
        split = rest.index("--")
        rest, chain = rest[:split], rest[split + 1:]
    # options may come anywhere between the positional arguments (`fx IN OUT tank --quiet decay=0.8`)
    args = commands[command].parse_intermixed_args(rest)
    try:
        status: int = args.run(args, chain) if command == "batch" else args.run(args)
        return status
    except UsageError as exc:
        print(f"{PROG} {command}: {exc}", file=sys.stderr)
        return 2
    except AudioFileError as exc:
        print(f"{PROG} {command}: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:  # e.g. `divavova fx --list | head`
        sys.stdout = None
        return 0
    except KeyboardInterrupt:
        return 130
