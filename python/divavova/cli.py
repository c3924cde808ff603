"""The divavova command: render a demo, run an effect over a WAV file, plot a response."""

from __future__ import annotations

import argparse
import math
import os
import sys

from divavova import effects, wav


def progress_bar(label):
    state = {"last": -1}

    def show(done, total):
        percent = 100 * done // max(1, total)
        if percent != state["last"]:
            state["last"] = percent
            filled = percent // 4
            sys.stderr.write(f"\r{label} [{'#' * filled}{'.' * (25 - filled)}] {percent:3d}%")
            if done >= total:
                sys.stderr.write("\n")
            sys.stderr.flush()
    return show


def parse_settings(pairs):
    values = {}
    for pair in pairs or []:
        name, sep, text = pair.partition("=")
        if not sep or not name:
            raise SystemExit(f"divavova: --set takes NAME=VALUE, not {pair!r}")
        try:
            values[name.strip()] = float(text)
        except ValueError:
            raise SystemExit(f"divavova: option {name!r}: {text!r} is not a number") from None
    return values


def command_demo(args):
    from divavova import demo
    audio = wav.Audio(demo.render(args.seconds), 2, demo.RATE)
    wav.write(args.output, audio)
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


def command_fx(args):
    if args.list:
        return list_effects()
    if not (args.input and args.output and args.effect):
        raise SystemExit("divavova fx: give IN.wav OUT.wav EFFECT (or --list)")
    if args.effect not in effects.EFFECTS:
        raise SystemExit(f"divavova fx: unknown effect {args.effect!r}; `divavova fx --list` shows them")
    values = parse_settings(args.set)
    if args.mix is not None:
        values["mix"] = args.mix
    effect = effects.EFFECTS[args.effect]
    try:
        values = effects.settle(effect, values)
    except effects.UnknownOption as exc:
        raise SystemExit(f"divavova fx: {exc.args[0]}") from None
    try:
        audio = wav.read(args.input)
    except wav.WavError as exc:
        raise SystemExit(f"divavova fx: {exc}") from None
    frames, channels = audio.frames, audio.channels
    import _divavova as core
    if effect.channels and effect.channels != channels:
        frames = core.remix_s16(frames, channels, effect.channels)
        channels = effect.channels
    processor = effect.build(audio.sample_rate, channels, values)
    show = progress_bar(args.effect) if audio.frame_count > 5 * audio.sample_rate and not args.quiet else None
    out = effects.run(processor, frames, channels, show)
    if channels != audio.channels:
        out = core.remix_s16(out, channels, audio.channels)
    wav.write(args.output, wav.Audio(out, audio.channels, audio.sample_rate))
    if not args.quiet:
        print(f"wrote {args.output}: {args.effect} over {audio.frame_count} frames")
    return 0


def impulse_response(effect_name, values, rate, frames):
    import array
    effect = effects.EFFECTS[effect_name]
    values = effects.settle(effect, values)
    processor = effect.build(rate, 1, values)
    impulse = array.array("h", [0] * frames)
    impulse[0] = 16384
    out = array.array("h", effects.run(processor, impulse.tobytes(), 1))
    return [v / 16384 for v in out]


def magnitude_db(response, rate, points=512):
    freqs, mags = [], []
    n = len(response)
    for k in range(1, points):
        f = rate / 2 * k / points
        w = 2 * math.pi * f / rate
        re = sum(v * math.cos(w * i) for i, v in enumerate(response))
        im = sum(v * math.sin(w * i) for i, v in enumerate(response))
        freqs.append(f)
        mags.append(20 * math.log10(max(1e-9, math.hypot(re, im))))
    return freqs, mags


def command_response(args):
    if args.effect not in effects.EFFECTS:
        raise SystemExit(f"divavova response: unknown effect {args.effect!r}; `divavova fx --list` shows them")
    effect = effects.EFFECTS[args.effect]
    if not effect.linear:
        raise SystemExit(f"divavova response: {args.effect} is not linear; its impulse response says little")
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise SystemExit("divavova response: plotting needs matplotlib (pip install 'divavova[plot]')") from None
    try:
        response = impulse_response(args.effect, parse_settings(args.set), args.rate, args.frames)
    except effects.UnknownOption as exc:
        raise SystemExit(f"divavova response: {exc.args[0]}") from None
    analysed = response[: min(len(response), 4096)]
    freqs, mags = magnitude_db(analysed, args.rate, 256)
    figure, (top, bottom) = plt.subplots(2, 1, figsize=(8, 6))
    top.plot([i / args.rate * 1000 for i in range(len(response))], response, linewidth=0.8)
    top.set_xlabel("time (ms)")
    top.set_ylabel("impulse response")
    bottom.semilogx(freqs, mags, linewidth=0.8)
    bottom.set_xlabel("frequency (Hz)")
    bottom.set_ylabel("magnitude (dB)")
    bottom.grid(True, which="both", alpha=0.3)
    figure.suptitle(f"{args.effect} at {args.rate} Hz")
    figure.tight_layout()
    tmp = args.png + ".part"
    try:
        figure.savefig(tmp, format="png", dpi=100)
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
    fx.add_argument("--quiet", action="store_true", help="no progress bar or summary")
    fx.set_defaults(run=command_fx)

    response = sub.add_parser("response", help="plot the impulse and magnitude response of a linear effect")
    response.add_argument("effect", metavar="EFFECT")
    response.add_argument("--set", action="append", metavar="NAME=VALUE")
    response.add_argument("--png", required=True, metavar="OUT.png")
    response.add_argument("--rate", type=int, default=48000)
    response.add_argument("--frames", type=int, default=8192)
    response.set_defaults(run=command_response)

    args = parser.parse_args(argv)
    return args.run(args)
