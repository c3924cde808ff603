"""Throughput of _divavova against the libraries a user would pick instead.

    python bench/run.py [--quick] [--json FILE] [--only NAME]

Every module bench/bench_*.py contributes rows (see harness.Row).  For each
row the table shows million frames per second for _divavova and each peer,
and the ratio of _divavova to the fastest peer (above 1 means faster).
"""

from __future__ import annotations

import argparse
import importlib
import json
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from harness import mframes_per_s, seconds_per_call  # noqa: E402


def collect(quick: bool, only: str | None):
    for path in sorted(HERE.glob("bench_*.py")):
        module = importlib.import_module(path.stem)
        for row in module.rows(quick):
            if only and only not in row.component:
                continue
            yield row


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="short timings (the whole run in under a minute)")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("--only", metavar="NAME", help="only components whose name contains NAME")
    args = parser.parse_args()
    budget = 0.05 if args.quick else 0.4

    results = []
    header = f"{'component':<28}{'variant':<22}{'Mframes/s':>11}  {'peers (Mframes/s)':<44}{'ratio':>7}"
    print(header)
    print("-" * len(header))
    for row in collect(args.quick, args.only):
        ours = mframes_per_s(row.frames, seconds_per_call(row.run, budget))
        peers = {name: mframes_per_s(row.frames, seconds_per_call(fn, budget)) for name, fn in row.peers.items()}
        best = max(peers.values()) if peers else None
        ratio = ours / best if best else None
        peer_text = ", ".join(f"{name} {value:.1f}" for name, value in peers.items())
        ratio_text = f"{ratio:.2f}x" if ratio else "-"
        print(f"{row.component:<28}{row.variant:<22}{ours:>11.1f}  {peer_text:<44}{ratio_text:>7}", flush=True)
        results.append({"component": row.component, "variant": row.variant, "frames": row.frames,
                        "mframes_per_s": ours, "peers": peers, "ratio_to_fastest_peer": ratio})
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
