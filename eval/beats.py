"""Beat tracking from audio on the rendered set: per-piece scores and the targets.

    python eval/beats.py [--quick] [--online | --offline] [--jobs N]
                         [--pieces SUBSTRING] [--cli-args="ARGS"] [--json FILE]
                         [--compare EARLIER.json]

Renders the set when it is not cached (``build/evalset``), runs
``cadentia beats FILE --format json`` on every piece offline and with
``--online`` (both unless one is asked for), and prints per piece the
F-measure, CMLt and AMLt (mir_eval, beats after 5 s), the tempo found (the
median of the decoded tempo at the beats) against the annotated tempo and
whether its octave is right, then the means against the targets: offline
mean F >= 0.90 with the octave right on >= 90 % of pieces, live mean
F >= 0.80. ``--cli-args`` passes options to ``cadentia beats`` unchanged
(for example a tempo prior's settings). ``--quick`` uses the three short
pieces that CI renders.
"""

from __future__ import annotations

import argparse
import json
import shlex
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import evalset  # noqa: E402
import harness  # noqa: E402

OFFLINE_F_TARGET = 0.90
OCTAVE_TARGET = 0.90
ONLINE_F_TARGET = 0.80


def evaluate_piece(piece: evalset.Piece, folder: Path, modes: list[str], extra: list[str]) -> dict:
    """Scores of one piece in each mode, as a dict per mode."""
    wav = folder / f"{piece.name}.wav"
    reference, _ = evalset.read_beats(folder / f"{piece.name}.beats")
    true_tempo = evalset.annotated_tempo(reference)
    row: dict = {"piece": piece.name, "style": piece.style, "meter": piece.meter,
                 "true_tempo": true_tempo, "alternative": piece.alternative}
    for mode in modes:
        try:
            tracked = harness.track_beats(wav, online=mode == "online", extra=extra)
        except harness.TrackerError as exc:
            row[mode] = {"error": str(exc), "f": 0.0, "cmlt": 0.0, "amlt": 0.0, "tempo": None, "octave": "none"}
            continue
        scores = harness.beat_scores(reference, tracked.beats)
        row[mode] = {**scores, "tempo": tracked.tempo, "octave": harness.octave(tracked.tempo, true_tempo)}
    return row


def _cell(result: dict) -> str:
    tempo = "-" if result["tempo"] is None else f"{result['tempo']:.1f}"
    return f"{result['f']:6.3f} {result['cmlt']:5.3f} {result['amlt']:5.3f} {tempo:>6s} {result['octave']:>5s}"


def summarise(rows: list[dict], modes: list[str]) -> dict:
    """Mean scores and the share of octave-right pieces per mode."""
    summary = {}
    for mode in modes:
        results = [row[mode] for row in rows]
        summary[mode] = {key: float(np.mean([r[key] for r in results])) for key in ("f", "cmlt", "amlt")}
        summary[mode]["octave_right"] = float(np.mean([r["octave"] == "ok" for r in results]))
        plain = [row[mode] for row in rows if not row["alternative"]]
        summary[mode]["octave_right_plain"] = float(np.mean([r["octave"] == "ok" for r in plain])) if plain else None
    return summary


def compare(rows: list[dict], earlier: dict, modes: list[str]) -> None:
    """Print the change of F (and of octave) of every piece also in ``earlier``."""
    before = {row["piece"]: row for row in earlier["pieces"]}
    print("\nchange of F against the earlier run (pieces in both):")
    for mode in modes:
        pairs = [(row, before[row["piece"]]) for row in rows if mode in before.get(row["piece"], {})]
        for now, then in pairs:
            delta = now[mode]["f"] - then[mode]["f"]
            octave = "" if now[mode]["octave"] == then[mode]["octave"] else f"  octave {then[mode]['octave']} -> {now[mode]['octave']}"
            if abs(delta) >= 0.005 or octave:
                print(f"  {mode:8s} {now['piece']:26s} {then[mode]['f']:.3f} -> {now[mode]['f']:.3f} ({delta:+.3f}){octave}")
        if pairs:
            mean = np.mean([now[mode]["f"] - then[mode]["f"] for now, then in pairs])
            print(f"  {mode:8s} mean change of F over {len(pairs)} pieces: {mean:+.3f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the three short pieces only")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--online", action="store_true", help="live tracking only")
    mode.add_argument("--offline", action="store_true", help="offline tracking only")
    parser.add_argument("--jobs", type=int, default=1, help="pieces tracked at a time (default 1)")
    parser.add_argument("--pieces", default="", help="only pieces whose name contains this")
    parser.add_argument("--cli-args", default="", help="extra options for `cadentia beats`, quoted")
    parser.add_argument("--out", default=None, help="cache folder of the rendered set")
    parser.add_argument("--json", default=None, help="also write the per-piece results here")
    parser.add_argument("--compare", default=None, metavar="JSON",
                        help="also print each piece's change of F against an earlier --json file")
    args = parser.parse_args(argv)

    modes = ["online"] if args.online else ["offline"] if args.offline else ["offline", "online"]
    pieces = [p for p in evalset.select(args.quick) if args.pieces in p.name]
    if not pieces:
        parser.error(f"no piece name contains {args.pieces!r}")
    folder = Path(args.out) if args.out else evalset.CACHE / ("quick" if args.quick else "full")
    evalset.render_all(pieces, folder, args.jobs)
    extra = shlex.split(args.cli_args)

    with ThreadPoolExecutor(max(1, args.jobs)) as pool:
        rows = list(pool.map(lambda p: evaluate_piece(p, folder, modes, extra), pieces))

    heading = " | ".join(f"{m + ':':8s}{'F':>6s} {'CMLt':>5s} {'AMLt':>5s} {'tempo':>6s} {'oct':>5s}" for m in modes)
    print(f"{'piece':26s} {'m':>1s} {'true':>6s}  | {heading}")
    for row in rows:
        cells = " | ".join(f"{'':8s}{_cell(row[m])}" for m in modes)
        alt = {"double": "*2", "half": "/2"}.get(row["alternative"], "")
        print(f"{row['piece']:26s} {row['meter']:1d} {row['true_tempo']:6.1f}{alt:2s}| {cells}")
        for m in modes:
            if "error" in row[m]:
                print(f"    {m}: {row[m]['error']}")
    summary = summarise(rows, modes)
    plain = sum(not row["alternative"] for row in rows)
    print(f"\n{len(rows)} pieces (*2, /2: a listener might also tap at double or half this tempo); "
          f"cadentia beats {' '.join(extra)}".rstrip())
    for m in modes:
        s = summary[m]
        print(f"{m:8s} mean F {s['f']:.3f}, CMLt {s['cmlt']:.3f}, AMLt {s['amlt']:.3f}, "
              f"octave right on {100 * s['octave_right']:.0f} % of pieces"
              + ("" if s["octave_right_plain"] is None else
                 f" ({100 * s['octave_right_plain']:.0f} % of the {plain} without an alternative octave)"))
    if "offline" in modes:
        print(f"target: offline mean F {harness.verdict(summary['offline']['f'], OFFLINE_F_TARGET)}")
        print(f"target: octave right  {harness.verdict(summary['offline']['octave_right'], OCTAVE_TARGET)}")
    if "online" in modes:
        print(f"target: live mean F    {harness.verdict(summary['online']['f'], ONLINE_F_TARGET)}")
    if args.compare:
        compare(rows, json.loads(Path(args.compare).read_text()), modes)
    if args.json:
        Path(args.json).write_text(json.dumps({"pieces": rows, "summary": summary}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(harness.run_main(main))
