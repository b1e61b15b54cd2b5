"""Sweep the tracker's options over one front end's activations of the validation split.

    python eval/tune.py [--front-end network] [--valid DIR] [--limit N] [--online] [--threshold X ...]

Computes each piece's offline beat activation (and the tempo the front end
hears) once, then tracks it with every combination of the options below
and prints the mean beat F, CMLt, AMLt and the share of pieces with the
tempo octave right, best first. ``hint_spread`` sets the width of the
prior centred on the tempo the network hears (its multiple of the tempo
head's spread; see ``cadentia.frontend.network.tempo_hint``), combined
with ``tempo_prior`` as offline tracking of audio does (None: not used). The evaluation set stays out of
it, so figures on it remain unseen.

With ``--online`` the activation is the live one (the causal network, as
``cadentia live`` hears it) and it is tracked as live tracking does
(``BeatStream``: forward decoding following the tempo the stream hears
frame by frame, or not with ``--no-heard-tempo``; no placement, and
``--hint-spread`` does not apply).
"""

from __future__ import annotations

import argparse
import itertools
import sys
from pathlib import Path

import numpy as np
import soundfile

sys.path.insert(0, str(Path(__file__).resolve().parent))
import evalset  # noqa: E402
import harness  # noqa: E402

from cadentia import BeatStream, frontend, track_beats  # noqa: E402
from cadentia.frontend.network import shipped_network, spectrogram, tempo_hint  # noqa: E402
from cadentia.model.options import with_heard_tempo  # noqa: E402

GRID = {
    "observation_lambda": (8.0, 16.0, 32.0),
    "tempo_prior": ((120.0, 1.0), (110.0, 1.5), None),
    "transition_lambda": (30.0, 100.0),
    "placement": ("peak", "state"),
    "hint_spread": (None, 2.0),
}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--front-end", default="network")
    parser.add_argument("--valid", type=Path, default=Path("/work/data/trainset/valid"))
    parser.add_argument("--limit", type=int, default=0)
    parser.add_argument("--observation-lambda", type=float, nargs="+", default=None,
                        help="values to try instead of the grid's")
    parser.add_argument("--placement", nargs="+", default=None, help="values to try instead of the grid's")
    parser.add_argument("--hint-spread", type=float, nargs="+", default=None,
                        help="values to try instead of the grid's (and no hint)")
    parser.add_argument("--min-bpm", type=float, nargs="+", default=None, help="slowest tempi to try")
    parser.add_argument("--max-bpm", type=float, nargs="+", default=None, help="fastest tempi to try")
    parser.add_argument("--threshold", type=float, nargs="+", default=None,
                        help="offline activity thresholds to try (default: the front end's)")
    parser.add_argument("--online", action="store_true", help="the live activation, tracked as live")
    parser.add_argument("--no-heard-tempo", dest="heard_tempo", action="store_false",
                        help="--online: do not follow the tempo the stream hears")
    parser.add_argument("--tempo-prior", type=float, nargs="+", default=None, metavar="X",
                        help="priors to try, as pairs of centre BPM and width in octaves (0 0: none)")
    args = parser.parse_args(argv)
    grid = dict(GRID)
    if args.observation_lambda:
        grid["observation_lambda"] = tuple(args.observation_lambda)
    if args.placement:
        grid["placement"] = tuple(args.placement)
    if args.hint_spread:
        grid["hint_spread"] = (None, *args.hint_spread)
    if args.tempo_prior:
        if len(args.tempo_prior) % 2:
            parser.error("--tempo-prior takes pairs: centre BPM and width in octaves")
        pairs = np.reshape(args.tempo_prior, (-1, 2))
        grid["tempo_prior"] = tuple(None if c == 0 else (float(c), float(w)) for c, w in pairs)
    grid["threshold"] = tuple(args.threshold or (frontend.get_front_end(args.front_end).threshold,))
    if args.online:
        # Live tracking has neither a hint, a choice of placement nor a threshold.
        grid["placement"], grid["hint_spread"], grid["threshold"] = ("online",), (None,), (0.0,)
    for name in ("min_bpm", "max_bpm"):
        if getattr(args, name):
            grid[name] = tuple(getattr(args, name))
    pieces = []
    network = shipped_network("offline")
    for path in sorted(args.valid.glob("*.flac"))[: args.limit or None]:
        signal, rate = soundfile.read(path, dtype="float32")
        times, _ = evalset.read_beats(path.with_suffix(".beats"))
        if args.online:
            stream = frontend.activation_stream(rate, 100.0, front_end=args.front_end)
            activation, heard_by = frontend.run_stream(stream, [signal])
            heard = heard_by if args.heard_tempo else None
        elif args.front_end == "network":
            both, heard = network.analyse(spectrogram(signal, rate))
            activation = both[:, 0].astype(np.float64)
        else:
            activation, heard = frontend.analyse(signal, rate, front_end=args.front_end)
        pieces.append((times, evalset.annotated_tempo(times), activation, heard))
    if not pieces:
        parser.error(f"no .flac pieces in {args.valid}")
    rows = []
    for values in itertools.product(*grid.values()):
        options = dict(zip(grid, values))
        placement, spread, threshold = options.pop("placement"), options.pop("hint_spread"), options.pop("threshold")
        scores = []
        for times, true_tempo, activation, heard in pieces:
            if placement == "online":
                beats = BeatStream(100.0, hear_tempo=heard is not None, **options).process(activation, heard=heard)
            else:
                model = options if heard is None or spread is None else with_heard_tempo(
                    options, tempo_hint(heard, network.architecture, spread))
                beats = track_beats(activation, 100.0, placement=placement, threshold=threshold, **model).beats
            s = harness.beat_scores(times, beats)
            scores.append((s["f"], s["cmlt"], s["amlt"], harness.octave(harness.beats_tempo(beats), true_tempo) == "ok"))
        rows.append((np.mean(scores, axis=0), dict(zip(grid, values))))
    rows.sort(key=lambda row: -row[0][0])
    print(f"{len(pieces)} pieces, front end {args.front_end}: F CMLt AMLt octave-right options")
    for mean, options in rows:
        print(f"{mean[0]:.3f} {mean[1]:.3f} {mean[2]:.3f} {100 * mean[3]:3.0f} % {options}")
    return 0


if __name__ == "__main__":
    sys.exit(harness.run_main(main))
