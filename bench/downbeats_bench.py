"""Downbeat-model benchmark: the bar-pointer model's kernel speed beside the beat model's.

    python bench/downbeats_bench.py [--seconds 600] [--repeat 3]

Builds the default downbeat model (55-215 BPM, meters 3 and 4, 100 fps) and
the default beat model, and times on the same synthetic piece, in one run:
``decode`` and the forward decoder (``step`` over the whole piece in one
chunk) on each, then ``track_downbeats`` and ``DownbeatStream`` (one-second
chunks) end to end. Before timing it checks that the downbeat tracker finds
the piece's meter and downbeats, so a broken build reports nothing.
Figures are microseconds per frame and real-time factors (seconds of
activation per second of compute); the ratios compare the two models.
"""

from __future__ import annotations

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workloads import benchmark_densities, benchmark_model, synthetic_activation  # noqa: E402
from tracker_bench import _best_time  # noqa: E402

from cadentia.model.bars import downbeat_state_space  # noqa: E402
from cadentia.model.observation import check_downbeat_activation, densities  # noqa: E402
from cadentia.track.downbeats import DownbeatStream, track_downbeats  # noqa: E402
from cadentia.evaluate import f_measure  # noqa: E402
from cadentia.model import _kernels  # noqa: E402

FPS = 100.0


def _piece(num_frames: int, meter: int = 4, bpm: float = 124.0) -> tuple[np.ndarray, np.ndarray]:
    """A 4/4 activation with a gentle tempo drift and noise; returns it and its downbeat times."""
    rng = np.random.default_rng(0)
    act = rng.uniform(0.0, 0.04, (num_frames, 2))
    t, times = 0.5, []
    while t * FPS < num_frames - 2:
        times.append(t)
        t += 60.0 / (bpm + 6.0 * np.sin(t / 30.0))
    times = np.array(times)
    for i, t in enumerate(times):
        f = round(t * FPS)
        act[f] = (0.0, 0.9) if i % meter == 0 else (0.9, 0.0)
    return act, times[::meter]


def run(seconds: float, repeat: int) -> dict:
    frames = int(seconds * FPS)
    act, downbeats = _piece(frames)
    space = downbeat_state_space(fps=FPS)
    track = track_downbeats(act, FPS, state_space=space)
    score = f_measure(downbeats[downbeats > 5], track.downbeats[track.downbeats > 5])[0]
    if track.beats_per_bar != 4 or score < 0.95:
        raise SystemExit(f"downbeats_bench: meter {track.beats_per_bar}, downbeat F {score:.3f}; "
                         "refusing to time a broken tracker")
    values = check_downbeat_activation(act)
    log_dens = densities(values, space.observation_lambda, log=True)
    dens = densities(values, space.observation_lambda, log=False)
    beat = benchmark_model()
    beat_act = synthetic_activation(frames)
    beat_log_dens = benchmark_densities(beat_act, log=True)
    beat_dens = benchmark_densities(beat_act, log=False)

    def forward(pred, ptr, prob, columns, initial, d):
        return lambda: _kernels.ForwardDecoder(pred, ptr, prob, columns, initial).step(d)

    def stream():
        s = DownbeatStream(FPS, state_space=space)
        for i in range(0, frames, int(FPS)):
            s.process(act[i : i + int(FPS)])

    times = {
        "decode": _best_time(lambda: _kernels.decode(space.pred, space.ptr, space.log_prob, log_dens,
                                                     space.columns, space.log_initial), repeat),
        "forward": _best_time(forward(space.pred, space.ptr, space.prob, space.columns, space.initial,
                                      dens), repeat),
        "beat_decode": _best_time(lambda: _kernels.decode(beat["pred"], beat["ptr"], beat["log_prob"],
                                                          beat_log_dens, beat["columns"],
                                                          beat["log_initial"]), repeat),
        "beat_forward": _best_time(forward(beat["pred"], beat["ptr"], beat["prob"], beat["columns"],
                                           beat["initial"], beat_dens), repeat),
        "track_downbeats": _best_time(lambda: track_downbeats(act, FPS, state_space=space), repeat),
        "stream": _best_time(stream, repeat),
    }
    heads = int((space.state_position == 0).sum())
    return {"seconds": seconds, "frames": frames, "space": space, "heads": heads,
            "boundary_edges": space.num_edges - (space.num_states - heads), "score": score, "times": times}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=600.0, help="length of the test piece")
    parser.add_argument("--repeat", type=int, default=3, help="timing runs per figure (best is kept)")
    args = parser.parse_args(argv)
    r = run(args.seconds, args.repeat)
    space, t, n = r["space"], r["times"], r["frames"]
    print(f"downbeat model: {space.num_states:,} states, {r['heads']} beat-start states, "
          f"{r['boundary_edges']:,} tempo-change edges; {r['seconds']:g} s piece, downbeat F {r['score']:.3f}")
    print(f"  {'figure':44s} {'us/frame':>9s} {'x real time':>12s}")
    for key, label in [
        ("decode", "decode (Viterbi kernel)"),
        ("forward", "forward filter (one chunk)"),
        ("track_downbeats", "track_downbeats end to end"),
        ("stream", "DownbeatStream end to end, 1 s chunks"),
        ("beat_decode", "beat model: decode"),
        ("beat_forward", "beat model: forward filter"),
    ]:
        per_frame = t[key] / n
        print(f"  {label:44s} {per_frame * 1e6:9.2f} {1.0 / (FPS * per_frame):12.0f}")
    print(f"  downbeat / beat model, per frame: decode {t['decode'] / t['beat_decode']:.2f}, "
          f"forward {t['forward'] / t['beat_forward']:.2f} (states {space.num_states / 5617:.2f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
