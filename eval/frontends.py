"""Both front ends, offline and live, on pieces with exact beats: per piece and mean.

    python eval/frontends.py [--set evalset|valid|both] [--valid DIR] [--jobs N]
                             [--front-ends network,flux] [--modes offline,online]
                             [--pieces SUBSTRING] [--limit N] [--json FILE]
                             [--beats-per-bar N [N ...] | --annotated-meter]

For every piece and every (front end, mode) it tracks beats and downbeats
from the audio through the Python API, exactly as the command line does
(``cadentia beats`` / ``cadentia downbeats`` with ``--front-end``, with and
without ``--online``), and prints the beat F-measure, CMLt and AMLt
(mir_eval, both lists trimmed at 5 s), the downbeat F-measure and whether
the tempo octave is right (median inter-beat interval against the annotated
tempo), then the means, and downbeat F by the pieces' meter.
``--annotated-meter`` decodes each piece's downbeats with its own annotated
beats per bar alone: what a perfect choice of meter would give.

Sets: ``evalset`` is the rendered evaluation set (``eval/evalset.py``, 26
pieces, FluidR3 GM); ``valid`` is the training set's validation split
(``eval/trainset.py``: held-out SoundFont and seeds, never trained on).
Neither is the held-out real music kept for independent evaluation.
"""

from __future__ import annotations

import argparse
import json
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import evalset  # noqa: E402
import harness  # noqa: E402

from cadentia import batch  # noqa: E402

FPS = 100.0
DEFAULT_VALID = Path("/work/data/trainset/valid")


def _downbeat_f(times: np.ndarray, positions: np.ndarray, beats: np.ndarray, found: np.ndarray) -> float:
    return harness.f_measure(times[positions == 1], beats[found == 1])


def score_piece(audio: str, front_ends: list[str], modes: list[str],
                meters: tuple[int, ...] | str | None = None) -> dict:
    """Scores of one piece for every front end and mode (``meters="annotated"``: the piece's own)."""
    path = Path(audio)
    times, positions = evalset.read_beats(path.with_suffix(".beats"))
    true_tempo = evalset.annotated_tempo(times)
    row: dict = {"piece": path.stem, "true_tempo": true_tempo, "meter": int(positions.max())}
    if meters == "annotated":
        meters = (row["meter"],)
    bars = {} if meters is None else {"beats_per_bar": meters}
    for front_end in front_ends:
        for mode in modes:
            # The command line's own path (--online or not), the front end's
            # defaults and, offline, the tempo it hears included.
            online = mode == "online"
            beats = batch.track_path(path, kind="beats", fps=FPS, online=online, front_end=front_end).beats
            track = batch.track_path(path, kind="downbeats", fps=FPS, online=online, front_end=front_end, **bars)
            found_beats, found_positions = track.beats, track.positions
            scores = harness.beat_scores(times, beats)
            tempo = harness.beats_tempo(beats)
            scores["octave"] = harness.octave(tempo, true_tempo)
            scores["downbeat_f"] = _downbeat_f(times, positions, found_beats, found_positions)
            row[f"{front_end}/{mode}"] = scores
    return row


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--set", choices=("evalset", "valid", "both"), default="both")
    parser.add_argument("--valid", type=Path, default=DEFAULT_VALID, help="folder of the validation split")
    parser.add_argument("--front-ends", default="network,flux")
    parser.add_argument("--modes", default="offline,online")
    parser.add_argument("--pieces", default="", help="only pieces whose name contains this")
    parser.add_argument("--limit", type=int, default=0, help="at most this many pieces of each set")
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--json", default=None)
    bars = parser.add_mutually_exclusive_group()
    bars.add_argument("--beats-per-bar", type=int, nargs="+", default=None,
                      help="meters to decode downbeats with (default: the tracker's)")
    bars.add_argument("--annotated-meter", action="store_true",
                      help="decode each piece's downbeats with its annotated meter alone")
    args = parser.parse_args(argv)
    front_ends, modes = args.front_ends.split(","), args.modes.split(",")
    sets: dict[str, list[Path]] = {}
    if args.set in ("evalset", "both"):
        folder = evalset.CACHE / "full"
        evalset.render_all(evalset.PIECES, folder, args.jobs)
        sets["evalset"] = [folder / f"{p.name}.wav" for p in evalset.PIECES]
    if args.set in ("valid", "both"):
        sets["valid"] = sorted(args.valid.glob("*.flac"))
    columns = [f"{f}/{m}" for f in front_ends for m in modes]
    meters = "annotated" if args.annotated_meter else None if args.beats_per_bar is None else tuple(args.beats_per_bar)
    results = {}
    with ProcessPoolExecutor(max(1, args.jobs)) as pool:
        for name, paths in sets.items():
            paths = [p for p in paths if args.pieces in p.stem][: args.limit or None]
            rows = list(pool.map(score_piece, map(str, paths), [front_ends] * len(paths), [modes] * len(paths),
                                 [meters] * len(paths)))
            print(f"\n{name}: {len(rows)} pieces; per column F / CMLt / AMLt / downbeat F / octave")
            print(f"{'piece':34s} {'tempo':>6s} " + " ".join(f"{c:>32s}" for c in columns))
            for row in rows:
                cells = " ".join(f"{row[c]['f']:6.3f} {row[c]['cmlt']:5.3f} {row[c]['amlt']:5.3f} "
                                 f"{row[c]['downbeat_f']:5.3f} {row[c]['octave']:>6s}" for c in columns)
                print(f"{row['piece'][:34]:34s} {row['true_tempo']:6.1f} {cells}")
            by_meter = {m: [r for r in rows if r["meter"] == m] for m in sorted({r["meter"] for r in rows})}
            summary = {}
            for c in columns:
                cells = [row[c] for row in rows]
                summary[c] = {k: float(np.mean([r[k] for r in cells])) for k in ("f", "cmlt", "amlt", "downbeat_f")}
                summary[c]["octave_right"] = float(np.mean([r["octave"] == "ok" for r in cells]))
                s = summary[c]
                print(f"  mean {c:16s} F {s['f']:.3f}  CMLt {s['cmlt']:.3f}  AMLt {s['amlt']:.3f}  "
                      f"downbeat F {s['downbeat_f']:.3f}  octave right {100 * s['octave_right']:.0f} %")
                print("       downbeat F by meter: " + "  ".join(
                    f"{m}: {np.mean([r[c]['downbeat_f'] for r in group]):.3f} ({len(group)})"
                    for m, group in by_meter.items()))
            results[name] = {"pieces": rows, "summary": summary}
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(harness.run_main(main))
