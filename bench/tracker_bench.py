"""Whole-tracker benchmark: seconds of audio tracked per second of compute.

    python bench/tracker_bench.py [--seconds 300] [--repeat 3]

Times each stage on a synthetic drum-and-click piece (onset strength from
audio, offline Viterbi tracking, live streaming in one-second chunks) and
reports the real-time factor of each and of the offline and live pipelines.
Before timing, it checks the tracker finds the piece's beats, so a fast
but broken build does not report a figure.
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from model import synthetic_activation  # noqa: E402

from cadentia.audio import synthesize_clicks  # noqa: E402
from cadentia.evaluate import f_measure  # noqa: E402
from cadentia.onset import onset_strength  # noqa: E402
from cadentia.tracker import BeatStream, track_beats  # noqa: E402

FPS = 100.0


def _best_time(function, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def _stream(activation: np.ndarray) -> np.ndarray:
    stream = BeatStream(FPS)
    chunk = int(FPS)
    return np.concatenate([stream.process(activation[i : i + chunk]) for i in range(0, activation.size, chunk)])


def _score(truth: np.ndarray, beats: np.ndarray) -> float:
    # Skip the first 5 s, where any tracker is still settling.
    return f_measure(truth[truth >= 5.0], beats[beats >= 5.0])[0]


def run(seconds: float = 300.0, repeat: int = 3) -> dict:
    """Real-time factors (audio seconds per compute second) of each stage."""
    signal, sample_rate, truth = synthesize_clicks(110.0, seconds, end_bpm=135.0, change="ramp", noise=0.02)
    activation = onset_strength(signal, sample_rate, FPS)
    offline_f = _score(truth, track_beats(activation, FPS).beats)
    live_f = _score(truth, _stream(activation))
    if offline_f < 0.9:
        raise SystemExit(f"tracker_bench: offline F-measure {offline_f:.3f} on the benchmark piece; refusing to time a broken tracker")

    onset = _best_time(lambda: onset_strength(signal, sample_rate, FPS), repeat)
    offline = _best_time(lambda: track_beats(activation, FPS), repeat)
    live = _best_time(lambda: _stream(activation), repeat)
    model = synthetic_activation(int(seconds * FPS))
    offline_synthetic = _best_time(lambda: track_beats(model, FPS), repeat)
    return {
        "seconds": seconds,
        "offline_f": offline_f,
        "live_f": live_f,
        "onset": seconds / onset,
        "offline_tracking": seconds / offline,
        "live_tracking": seconds / live,
        "offline_tracking_synthetic": seconds / offline_synthetic,
        "offline_pipeline": seconds / (onset + offline),
        "live_pipeline": seconds / (onset + live),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=300.0, help="length of the test piece")
    parser.add_argument("--repeat", type=int, default=3, help="timing runs per stage (best is kept)")
    args = parser.parse_args(argv)
    r = run(args.seconds, args.repeat)
    print(f"tracker: {r['seconds']:g} s piece, F-measure offline {r['offline_f']:.3f}, live {r['live_f']:.3f}")
    print("  seconds of audio per second of compute (higher is faster):")
    for key, label in [
        ("onset", "onset strength (audio -> activation)"),
        ("offline_tracking", "offline tracking (Viterbi + beats)"),
        ("offline_tracking_synthetic", "offline tracking, synthetic activation"),
        ("live_tracking", "live tracking (forward, 1 s chunks)"),
        ("offline_pipeline", "offline pipeline (onset + tracking)"),
        ("live_pipeline", "live pipeline (onset + tracking)"),
    ]:
        print(f"  {label:42s} {r[key]:10.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
