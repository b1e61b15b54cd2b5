"""Onset front-end variants and tempo priors on the rendered evaluation set.

    python bench/onset_variants.py [--quick] [--variants NAME ...] [--priors]

Reads the rendered set (``eval/``, rendered on first use), computes the
activation of every piece with each front-end variant in memory, tracks it
offline and live, and prints the mean F-measure, CMLt, AMLt (mir_eval,
beats after 5 s) and the share of pieces whose tempo octave is right, the
same figures ``eval/beats.py`` prints through the command line (offline
beats at the path's beat state, as the command line places beats of audio). With
``--priors`` it keeps the default front end and varies the tempo prior.
This is how the front end's design and the default prior were chosen.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "eval"))

import evalset  # noqa: E402
import harness  # noqa: E402

from cadentia.frontend.flux import DESIGN, OnsetStream  # noqa: E402
from cadentia.io.audio import audio_blocks  # noqa: E402
from cadentia.model.tempo import tempo_state_space  # noqa: E402
from cadentia.track.beats import BeatStream, track_beats  # noqa: E402

FPS = 100.0

VARIANTS = {
    "default": {},
    "max-filter-3": {"max_filter_bands": 3},
    "whitening": {"whitening_seconds": 10.0},
    "lag-2": {"lag_seconds": 0.02},
    "no-smoothing": {"smooth_seconds": 0.0},
    "smooth-40ms": {"smooth_seconds": 0.04},
    "baseline-0.25s": {"baseline_seconds": 0.25, "baseline_scale": 1.0},
    "no-baseline": {"baseline_scale": 0.0},
    "baseline-half": {"baseline_scale": 0.5},
    "baseline-full": {"baseline_scale": 1.0},
    "level-5s": {"level_seconds": 5.0},
    "level-forever": {"level_seconds": 1e9},
    "24-bands": {"bands_per_octave": 24},
    "6-bands": {"bands_per_octave": 6},
    "linear": {"exponent": 1.0},
    "top-8k": {"max_frequency": 8000.0},
    "top-4k": {"max_frequency": 4000.0},
    "top-2k": {"max_frequency": 2000.0},
    "top-1k": {"max_frequency": 1000.0},
}

PRIORS = {
    "none": None,
    "120/1.0": (120.0, 1.0),
    "120/0.7": (120.0, 0.7),
    "120/0.5": (120.0, 0.5),
    "110/0.7": (110.0, 0.7),
    "110/0.5": (110.0, 0.5),
    "100/0.7": (100.0, 0.7),
}


def _load(pieces, folder: Path) -> list[tuple[str, np.ndarray, int, np.ndarray, float]]:
    paths = evalset.render_all(pieces, folder, jobs=2)
    loaded = []
    for piece, path in zip(pieces, paths):
        blocks, rate = [], None
        for block, rate in audio_blocks(path):
            blocks.append(block.copy())
        reference, _ = evalset.read_beats(Path(path).with_suffix(".beats"))
        loaded.append((piece.name, np.concatenate(blocks), rate, reference, evalset.annotated_tempo(reference)))
    return loaded


def activation(signal: np.ndarray, rate: int, design) -> np.ndarray:
    stream = OnsetStream(rate, FPS, _design=design)
    return np.concatenate((stream.process(signal), stream.finish()))


def score(loaded, activations, prior="default") -> dict:
    options = {} if prior == "default" else {"tempo_prior": prior}
    space = tempo_state_space(fps=FPS, **options)
    rows = {"offline": [], "online": []}
    for (name, _, _, reference, true_tempo), act in zip(loaded, activations):
        offline = track_beats(act, FPS, state_space=space, placement="state")  # as `cadentia beats`
        tempo = float(np.median(offline.beat_tempo)) if offline.beats.size else None
        rows["offline"].append((harness.beat_scores(reference, offline.beats), harness.octave(tempo, true_tempo)))
        times, bpm = BeatStream(FPS, state_space=space).process(act, with_tempo=True)
        tempo = float(np.median(bpm)) if times.size else None
        rows["online"].append((harness.beat_scores(reference, times), harness.octave(tempo, true_tempo)))
    summary = {}
    for mode, results in rows.items():
        summary[mode] = {
            key: float(np.mean([r[0][key] for r in results])) for key in ("f", "cmlt", "amlt")
        }
        summary[mode]["octave"] = float(np.mean([r[1] == "ok" for r in results]))
        summary[mode]["per_piece"] = [(name, r[0]["f"], r[1]) for (name, *_), r in zip(loaded, results)]
    return summary


def _line(label: str, summary: dict, seconds: float) -> str:
    cells = []
    for mode in ("offline", "online"):
        s = summary[mode]
        cells.append(f"{s['f']:.3f} {s['cmlt']:.3f} {s['amlt']:.3f} {s['octave']:5.0%}")
    return f"{label:16s} | " + " | ".join(cells) + f" | {seconds:5.1f} s"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the three short CI pieces only")
    parser.add_argument("--variants", nargs="+", default=list(VARIANTS), choices=list(VARIANTS))
    parser.add_argument("--priors", action="store_true", help="vary the tempo prior instead")
    parser.add_argument("--pieces", action="store_true", help="also print per-piece F and octave")
    args = parser.parse_args(argv)
    loaded = _load(evalset.select(args.quick), evalset.CACHE / ("quick" if args.quick else "full"))
    print(f"{len(loaded)} pieces; mean F, CMLt, AMLt, octave right; offline | live")
    if args.priors:
        acts = [activation(signal, rate, DESIGN) for _, signal, rate, *_ in loaded]
        for label, prior in PRIORS.items():
            start = time.perf_counter()
            summary = score(loaded, acts, prior)
            print(_line(f"prior {label}", summary, time.perf_counter() - start), flush=True)
            if args.pieces:
                _pieces(summary)
        return 0
    for label in args.variants:
        design = dataclasses.replace(DESIGN, **VARIANTS[label])
        start = time.perf_counter()
        acts = [activation(signal, rate, design) for _, signal, rate, *_ in loaded]
        summary = score(loaded, acts)
        print(_line(label, summary, time.perf_counter() - start), flush=True)
        if args.pieces:
            _pieces(summary)
    return 0


def _pieces(summary: dict) -> None:
    for (name, f_off, oct_off), (_, f_on, oct_on) in zip(summary["offline"]["per_piece"],
                                                          summary["online"]["per_piece"]):
        print(f"    {name:26s} {f_off:.3f} {oct_off:>5s}  {f_on:.3f} {oct_on:>5s}")


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    sys.exit(main())
