"""The divavova command: render a demo, run an effect over a WAV file, plot a response."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile

from divavova import effects, wav


def progress_bar(label, stream=None):
    """A bar redrawn in place on a terminal; quarter steps on lines elsewhere."""
    stream = stream or sys.stderr
    live = stream.isatty()
    state = {"last": -1}

    def show(done, total):
        percent = 100 * done // max(1, total)
        shown = percent if live else percent // 25 * 25
        if shown == state["last"]:
            return
        state["last"] = shown
        if live:
            filled = percent // 4
            stream.write(f"\r{label} [{'#' * filled}{'.' * (25 - filled)}] {percent:3d}%")
            if done >= total:
                stream.write("\n")
        else:
            stream.write(f"{label}: {shown}%\n")
        stream.flush()
    return show


def parse_settings(pairs):
    values = {}
    for pair in pairs or []:
        name, sep, text = pair.partition("=")
        if not sep or not name:
            raise SystemExit(f"divavova: --set takes NAME=VALUE, not {pair!r}")
        if name.strip() in values:
            raise SystemExit(f"divavova: option {name.strip()!r} is given twice")
        try:
            values[name.strip()] = float(text)
        except ValueError:
            raise SystemExit(f"divavova: option {name!r}: {text!r} is not a number") from None
    return values


def command_demo(args):
    from divavova import demo
    if not 0 < args.seconds <= 600:
        fail("demo", "--seconds must be above 0 and at most 600")
    audio = wav.Audio(demo.render(args.seconds), 2, demo.RATE)
    try:
        wav.write(args.output, audio)
    except OSError as exc:
        fail("demo", f"{args.output}: {exc.strerror or exc}")
    print(f"wrote {args.output}: {audio.frame_count / demo.RATE:.1f} s, stereo, {demo.RATE} Hz")
    return 0


def list_effects():
    for name, effect in sorted(effects.EFFECTS.items()):
        print(f"{name}: {effect.description}")
        for option_name, option in effect.options.items():
            unit = f" {option.unit}" if option.unit else ""
            extra = f"  ({option.help})" if option.help else ""
            print(f"    {option_name:<26} {option.low:g} .. {option.high:g}{unit}, default {option.default:g}{extra}")
    return 0


def fail(command, message):
    raise SystemExit(f"divavova {command}: {message}")


def find_effect(command, name):
    if name not in effects.EFFECTS:
        fail(command, f"unknown effect {name!r}; `divavova fx --list` shows them")
    return effects.EFFECTS[name]


def command_fx(args):
    if args.list:
        return list_effects()
    if not (args.input and args.output and args.effect):
        fail("fx", "give IN.wav OUT.wav EFFECT (or --list)")
    effect = find_effect("fx", args.effect)
    if not 0 <= args.tail <= 600:
        fail("fx", "--tail must be 0 to 600 seconds")
    values = parse_settings(args.set)
    if args.mix is not None:
        if "mix" in values:
            fail("fx", "option 'mix' is given twice (--mix and --set mix=)")
        values["mix"] = args.mix
    try:
        values = effects.settle(effect, values)
        audio = wav.read(args.input)
        processor = effect.build(audio.sample_rate, audio.channels, values)
    except (wav.WavError, ValueError) as exc:
        fail("fx", exc)
    long_file = audio.frame_count > 5 * audio.sample_rate
    show = progress_bar(args.effect) if long_file and not args.quiet else None
    tail = round(args.tail * audio.sample_rate)
    out = effects.run(processor, audio.frames, audio.channels, show, tail)
    try:
        wav.write(args.output, wav.Audio(out, audio.channels, audio.sample_rate))
    except OSError as exc:
        fail("fx", f"{args.output}: {exc.strerror or exc}")
    if not args.quiet:
        print(f"wrote {args.output}: {args.effect} over {audio.frame_count + tail} frames")
    return 0


IMPULSE_LEVEL = 8192  # an impulse at -12 dBFS keeps the nonlinear stages gentle


def impulse_response(effect, values, rate, frames):
    """The effect's mono response to one impulse, in full-scale units."""
    import array
    processor = effect.build(rate, 1, values)
    impulse = array.array("h", bytes(2 * frames))
    impulse[0] = IMPULSE_LEVEL
    out = array.array("h")
    out.frombytes(effects.run(processor, impulse.tobytes(), 1))
    return [v / IMPULSE_LEVEL for v in out]


def command_response(args):
    effect = find_effect("response", args.effect)
    if args.rate < 1000 or not 16 <= args.frames <= 10_000_000:
        fail("response", "--rate must be at least 1000 Hz and --frames 16 to 10000000")
    if not effect.linear:
        fail("response", f"{args.effect} is not linear; an impulse response does not describe it")
    try:
        values = effects.settle(effect, parse_settings(args.set))
    except ValueError as exc:
        fail("response", exc)
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import numpy as np
    except ImportError:
        fail("response", "plotting needs matplotlib: pip install 'divavova[plot]' (or pip install matplotlib)")
    try:
        response = np.array(impulse_response(effect, values, args.rate, args.frames))
    except ValueError as exc:
        fail("response", exc)
    spectrum = np.fft.rfft(response)
    freqs = np.fft.rfftfreq(len(response), 1 / args.rate)
    magnitude = 20 * np.log10(np.maximum(np.abs(spectrum), 1e-6))
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6.5))
    top.plot(np.arange(len(response)) / args.rate * 1000, response, linewidth=0.7)
    top.set_xlabel("time (ms)")
    top.set_ylabel("impulse response")
    top.grid(True, alpha=0.3)
    bottom.semilogx(freqs[1:], magnitude[1:], linewidth=0.8)
    bottom.set_xlim(10, args.rate / 2)
    bottom.set_xlabel("frequency (Hz)")
    bottom.set_ylabel("magnitude (dB)")
    bottom.grid(True, which="both", alpha=0.3)
    settings = ", ".join(f"{name}={value:g}" for name, value in sorted(parse_settings(args.set).items()))
    figure.suptitle(f"{args.effect} at {args.rate} Hz" + (f" ({settings})" if settings else ""))
    figure.tight_layout()
    directory = os.path.dirname(os.path.abspath(args.png))
    try:
        fd, tmp = tempfile.mkstemp(suffix=".png.part", dir=directory)
    except OSError as exc:
        fail("response", f"{args.png}: {exc.strerror or exc}")
    try:
        with os.fdopen(fd, "wb") as handle:
            figure.savefig(handle, format="png", dpi=100)
        os.chmod(tmp, wav.publishable_mode())
        os.replace(tmp, args.png)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    print(f"wrote {args.png}")
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="divavova", description="Render and process audio with _divavova.")
    sub = parser.add_subparsers(dest="command", required=True)

    demo = sub.add_parser("demo", help="render a short demonstration piece to a WAV file")
    demo.add_argument("output", metavar="OUT.wav")
    demo.add_argument("--seconds", type=float, default=7.0, help="length in seconds (default 7)")
    demo.set_defaults(run=command_demo)

    fx = sub.add_parser("fx", help="run an engine or effect over a 16-bit PCM WAV file")
    fx.add_argument("input", metavar="IN.wav", nargs="?")
    fx.add_argument("output", metavar="OUT.wav", nargs="?")
    fx.add_argument("effect", metavar="EFFECT", nargs="?")
    fx.add_argument("--set", action="append", metavar="NAME=VALUE", help="an option by name (repeatable)")
    fx.add_argument("--mix", type=float, help="shorthand for --set mix=VALUE")
    fx.add_argument("--list", action="store_true", help="list the effects and their options")
    fx.add_argument("--tail", type=float, default=0.0, metavar="SECONDS",
                    help="seconds of silence run through after the input (reverb and delay tails)")
    fx.add_argument("--quiet", action="store_true", help="no progress bar or summary")
    fx.set_defaults(run=command_fx)

    response = sub.add_parser("response", help="plot the impulse and magnitude response of a linear effect")
    response.add_argument("effect", metavar="EFFECT")
    response.add_argument("--set", action="append", metavar="NAME=VALUE")
    response.add_argument("--png", required=True, metavar="OUT.png")
    response.add_argument("--rate", type=int, default=48000, help="sample rate in Hz (default 48000)")
    response.add_argument("--frames", type=int, default=8192, help="length of the response (default 8192)")
    response.set_defaults(run=command_response)

    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except BrokenPipeError:  # e.g. `divavova fx --list | head`
        sys.stdout = None
        return 0
