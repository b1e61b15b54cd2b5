"""Recordings without annotations: how far each way of tracking agrees with the offline network.

    python eval/agreement.py FILE... [--jobs N] [--json FILE]

Real music with trustworthy beat annotations is scarce; produced music
without any is not (game soundtracks, free albums). This tracks each file
offline and live with both front ends, through the command line as the
other scripts do, and prints per file the tempo each finds (median
inter-beat interval after 5 s) and the beat F-measure, CMLt and AMLt of
each against the offline network's beats, then the means.

Agreement is not accuracy: two trackers can agree on the off-beats.
What it shows is where they part: a tempo octave (F near 0.67, AMLt
high), a phase on the off-beats (F and AMLt near 0), or a path that
wanders (CMLt low). Which one is right takes a look at the music: a
four-on-the-floor kick marks the beat, off-beat open hats do not.
"""

from __future__ import annotations

import argparse
import json
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import harness  # noqa: E402

WAYS = (("network", False), ("network", True), ("flux", False), ("flux", True))


def _name(front_end: str, online: bool) -> str:
    return f"{front_end}/{'online' if online else 'offline'}"


def agree(path: str) -> dict:
    """Tempo of every way of tracking ``path``, and its scores against the offline network."""
    beats = {_name(f, o): harness.track_beats(path, online=o, extra=["--front-end", f]).beats for f, o in WAYS}
    reference = beats[_name(*WAYS[0])]
    row: dict = {"file": Path(path).name}
    for way, found in beats.items():
        row[way] = {"tempo": harness.beats_tempo(found), **harness.beat_scores(reference, found)}
    return row


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--json", default=None, help="write the rows here too")
    args = parser.parse_args(argv)
    ways = [_name(f, o) for f, o in WAYS]
    print(f"{'file':34s} " + "  ".join(f"{w:>27s}" for w in ways))
    print(f"{'':34s} " + "  ".join(f"{'BPM     F  CMLt  AMLt':>27s}" for _ in ways))
    with ProcessPoolExecutor(max(1, args.jobs)) as pool:
        rows = list(pool.map(agree, args.files))
    for row in rows:
        cells = []
        for w in ways:
            c = row[w]
            tempo = "-" if c["tempo"] is None else f"{c['tempo']:.1f}"
            cells.append(f"{tempo:>9s} {c['f']:.3f} {c['cmlt']:.3f} {c['amlt']:.3f}")
        print(f"{row['file'][:34]:34s} " + "  ".join(f"{c:>27s}" for c in cells))
    for w in ways[1:]:
        means = {k: float(np.mean([r[w][k] for r in rows])) for k in ("f", "cmlt", "amlt")}
        print(f"  mean {w:16s} against network/offline: F {means['f']:.3f}  CMLt {means['cmlt']:.3f}  "
              f"AMLt {means['amlt']:.3f}")
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(harness.run_main(main))
