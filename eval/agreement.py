"""Recordings without annotations: how far each way of tracking agrees with the offline network.

    python eval/agreement.py FILE... [--jobs N] [--json FILE] [--downbeats]

Real music with trustworthy beat annotations is scarce; produced music
without any is not (game soundtracks, free albums). This tracks each file
offline and live with both front ends, through the command line as the
other scripts do, and prints per file the tempo each finds (median
inter-beat interval after 5 s) and the beat F-measure, CMLt and AMLt of
each against the offline network's beats, then the means.

``--downbeats`` also tracks each file's downbeats with the network,
offline and live (``cadentia downbeats``, with and without ``--online``),
and prints the live downbeats' F-measure against the offline ones, beside
the F of the live bar stream's beats and its tempo.

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


def agree(path: str, downbeats: bool = False) -> dict:
    """Tempo of every way of tracking ``path``, and its scores against the offline network
    (with ``downbeats``, also the live bars' against the offline bars)."""
    beats = {_name(f, o): harness.track_beats(path, online=o, extra=["--front-end", f]).beats for f, o in WAYS}
    reference = beats[_name(*WAYS[0])]
    row: dict = {"file": Path(path).name}
    for way, found in beats.items():
        row[way] = {"tempo": harness.beats_tempo(found), **harness.beat_scores(reference, found)}
    if downbeats:
        offline, live = (harness.track_downbeats(path, online=o) for o in (False, True))
        row["bars"] = {"tempo": harness.beats_tempo(live.beats), "offline_tempo": harness.beats_tempo(offline.beats),
                       "f": harness.f_measure(offline.beats, live.beats),
                       "downbeat_f": harness.f_measure(offline.beats[offline.positions == 1],
                                                       live.beats[live.positions == 1])}
    return row


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--json", default=None, help="write the rows here too")
    parser.add_argument("--downbeats", action="store_true", help="also the network's live downbeats against offline")
    args = parser.parse_args(argv)
    ways = [_name(f, o) for f, o in WAYS]
    print(f"{'file':34s} " + "  ".join(f"{w:>27s}" for w in ways))
    print(f"{'':34s} " + "  ".join(f"{'BPM     F  CMLt  AMLt':>27s}" for _ in ways))
    with ProcessPoolExecutor(max(1, args.jobs)) as pool:
        rows = list(pool.map(agree, args.files, [args.downbeats] * len(args.files)))
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
    if args.downbeats:
        print(f"{'file':34s} {'offline BPM':>11s} {'live BPM':>9s} {'beat F':>7s} {'downbeat F':>10s}  (network downbeats)")
        for row in rows:
            bars = row["bars"]
            tempi = ["-" if bars[k] is None else f"{bars[k]:.1f}" for k in ("offline_tempo", "tempo")]
            print(f"{row['file'][:34]:34s} {tempi[0]:>11s} {tempi[1]:>9s} {bars['f']:7.3f} {bars['downbeat_f']:10.3f}")
        print(f"  mean network/online downbeats against network/offline: beat F "
              f"{np.mean([r['bars']['f'] for r in rows]):.3f}  downbeat F "
              f"{np.mean([r['bars']['downbeat_f'] for r in rows]):.3f}")
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(harness.run_main(main))
