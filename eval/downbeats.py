"""Downbeat and meter tracking: synthetic activations and the rendered set.

    python eval/downbeats.py [--quick] [--synthetic | --audio] [--online] [--jobs N]
                             [--pieces SUBSTRING] [--stub] [--cli-args="ARGS"] [--json FILE]

(a) Synthetic two-column activations with known bars, as a joint
beat/downbeat network would give them at 100 frames per second: column 0
the probability of a beat that is not a downbeat, column 1 of a downbeat.
Every piece has its own meter (3 or 4), tempo (constant, a step or a
ramp), pickup, peak heights and timing jitter, missing beats, spurious
peaks, downbeat evidence leaking into the beat column and the other way,
and a noise floor. Each goes through
``cadentia.track_downbeats(activation, fps, beats_per_bar=(3, 4))``; the
script prints beat F, downbeat F (mir_eval, after 5 s) and whether the
meter is right, against the targets: beat F >= 0.98, downbeat F >= 0.95,
meter right on every piece. ``--stub`` (or a cadentia without
``track_downbeats``) uses a plain peak picker instead, to test the script.

(b) The rendered set from audio, through ``cadentia downbeats WAV --format
json`` (its own audio downbeat activation): beat F, downbeat F and meter
per piece. Skipped, with a note, when the command line cannot do it yet.
"""

from __future__ import annotations

import argparse
import json
import shlex
import sys
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import numpy.typing as npt

sys.path.insert(0, str(Path(__file__).resolve().parent))

import evalset  # noqa: E402
import harness  # noqa: E402

FPS = 100.0
BEAT_F_TARGET = 0.98
DOWNBEAT_F_TARGET = 0.95


@dataclass(frozen=True)
class Synthetic:
    """One synthetic activation: meter, tempo course and how degraded it is."""

    name: str
    meter: int
    tempo: float
    seconds: float
    end_tempo: float | None = None
    change: str = "step"  # with end_tempo: "step" half way or "ramp" over the piece
    missing: float = 0.05  # share of beats with no peak at all
    spurious: float = 0.05  # false peaks per beat
    leak: float = 0.15  # share of a peak's mass in the wrong column
    noise: float = 0.03  # noise floor amplitude
    jitter: float = 0.01  # timing jitter of the peaks, seconds (standard deviation)
    seed: int = 0


SYNTHETIC: tuple[Synthetic, ...] = (
    Synthetic("4-120", 4, 120, 40, seed=1),
    Synthetic("3-90", 3, 90, 40, seed=2),
    Synthetic("4-72", 4, 72, 50, seed=3),
    Synthetic("3-150", 3, 150, 40, seed=4),
    Synthetic("4-175", 4, 175, 40, seed=5),
    Synthetic("3-60", 3, 60, 60, seed=6),
    Synthetic("4-step-100-130", 4, 100, 50, end_tempo=130, seed=7),
    Synthetic("3-step-140-110", 3, 140, 50, end_tempo=110, seed=8),
    Synthetic("4-ramp-90-120", 4, 90, 50, end_tempo=120, change="ramp", seed=9),
    Synthetic("3-ramp-128-100", 3, 128, 50, end_tempo=100, change="ramp", seed=10),
    Synthetic("4-noisy-110", 4, 110, 45, missing=0.15, spurious=0.15, noise=0.08, seed=11),
    Synthetic("3-noisy-100", 3, 100, 45, missing=0.15, spurious=0.15, noise=0.08, seed=12),
    Synthetic("4-leaky-132", 4, 132, 40, leak=0.35, seed=13),
    Synthetic("3-leaky-84", 3, 84, 45, leak=0.35, seed=14),
    Synthetic("4-jitter-96", 4, 96, 45, jitter=0.02, seed=15),
    Synthetic("3-jitter-116", 3, 116, 45, jitter=0.02, seed=16),
    # Harder: much of the evidence missing, misplaced or in the wrong column.
    Synthetic("4-hard-104", 4, 104, 45, missing=0.3, spurious=0.3, leak=0.45, noise=0.15, jitter=0.02, seed=17),
    Synthetic("3-hard-132", 3, 132, 45, missing=0.3, spurious=0.3, leak=0.45, noise=0.15, jitter=0.02, seed=18),
    Synthetic("4-hard-ramp-80-110", 4, 80, 50, end_tempo=110, change="ramp", missing=0.3, spurious=0.3,
              leak=0.45, noise=0.15, jitter=0.02, seed=19),
    Synthetic("3-hard-step-96-120", 3, 96, 50, end_tempo=120, missing=0.3, spurious=0.3, leak=0.45,
              noise=0.15, jitter=0.02, seed=20),
)
QUICK_SYNTHETIC: tuple[Synthetic, ...] = (
    Synthetic("q4-step-110-130", 4, 110, 20, end_tempo=130, seed=101),
    Synthetic("q3-100", 3, 100, 20, seed=102),
)


def bar_grid(piece: Synthetic) -> tuple[np.ndarray, np.ndarray]:
    """(beat times, positions) of a synthetic piece; it may start mid-bar."""
    from cadentia.testing import click_beat_times

    rng = np.random.default_rng(piece.seed)
    times = click_beat_times(piece.tempo, piece.seconds, end_bpm=piece.end_tempo,
                             change=piece.change, start=float(rng.uniform(0.2, 1.0)))
    pickup = int(rng.integers(0, piece.meter))
    return times, (np.arange(times.size) + pickup) % piece.meter + 1


def synthetic_activation(piece: Synthetic) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(activation (frames, 2), beat times, positions) of a synthetic piece."""
    rng = np.random.default_rng(piece.seed + 1000)
    times, positions = bar_grid(piece)
    frames = int(np.ceil(piece.seconds * FPS))
    act = np.zeros((frames, 2))
    shape = np.array([0.15, 0.5, 1.0, 0.5, 0.15])  # a peak a few frames wide

    def peak(time: float, height: float, column: int, leak: float) -> None:
        at = int(round(time * FPS)) + np.arange(-2, 3)
        keep = (at >= 0) & (at < frames)
        act[at[keep], column] += (1 - leak) * height * shape[keep]
        act[at[keep], 1 - column] += leak * height * shape[keep]

    for time, position in zip(times, positions):
        if rng.random() < piece.missing:
            continue
        leak = piece.leak * rng.random()
        peak(time + rng.normal(0.0, piece.jitter), rng.uniform(0.4, 1.0), int(position == 1), leak)
    for time in rng.uniform(0, piece.seconds, rng.poisson(piece.spurious * times.size)):
        peak(time, rng.uniform(0.2, 0.6), int(rng.random() < 0.3), 0.0)
    act += rng.uniform(0.0, piece.noise, act.shape)
    # The two columns are shares of one probability.
    total = act.sum(axis=1, keepdims=True)
    act = np.where(total > 0.99, act * (0.99 / np.maximum(total, 1e-12)), act)
    return act, times, positions


def stub_track_downbeats(activation: npt.ArrayLike, fps: float = FPS, *,
                         beats_per_bar: tuple[int, ...] = (3, 4)) -> SimpleNamespace:
    """A plain peak picker with the result shape of ``cadentia.track_downbeats``.

    Beats are local maxima of the summed columns above 0.3, at least 0.25 s
    apart; the meter and the downbeat phase are the pair whose beats carry
    the most downbeat-column mass per bar. Only for testing this script.
    """
    act = np.asarray(activation, dtype=np.float64)
    total = act.sum(axis=1)
    candidates = np.flatnonzero((total > 0.3) & (total >= np.roll(total, 1)) & (total > np.roll(total, -1)))
    beats: list[int] = []
    for frame in candidates:
        if beats and frame - beats[-1] < 0.25 * fps:
            if total[frame] > total[beats[-1]]:
                beats[-1] = frame
            continue
        beats.append(int(frame))
    index = np.asarray(beats, dtype=np.int64)
    down = act[index, 1] if index.size else np.zeros(0)
    best = max(((down[phase::meter].sum() - down.sum() / meter, meter, phase)
                for meter in beats_per_bar for phase in range(meter)), default=(0, beats_per_bar[0], 0))
    _, meter, phase = best
    positions = (np.arange(index.size) - phase) % meter + 1
    tempo = 60.0 * fps / np.median(np.diff(index)) if index.size > 1 else 0.0
    return SimpleNamespace(beats=index / fps, positions=positions, beats_per_bar=meter,
                           tempo=np.full(act.shape[0], tempo))


def downbeat_tracker(stub: bool):
    """``cadentia.track_downbeats``, or the stub when asked or when cadentia has none."""
    if not stub:
        import cadentia

        function = getattr(cadentia, "track_downbeats", None)
        if function is not None:
            return function, "cadentia.track_downbeats"
    return stub_track_downbeats, "the stub peak picker (cadentia has no track_downbeats)" if not stub else "the stub peak picker"


def _scores(times: np.ndarray, positions: np.ndarray, meter: int, result) -> dict:
    est_beats = np.asarray(result.beats, dtype=np.float64)
    est_down = est_beats[np.asarray(result.positions) == 1]
    return {"beat_f": harness.f_measure(times, est_beats),
            "downbeat_f": harness.f_measure(times[positions == 1], est_down),
            "meter": meter, "meter_found": None if result.beats_per_bar is None else int(result.beats_per_bar)}


def run_synthetic(pieces, stub: bool) -> tuple[list[dict], str]:
    track, name = downbeat_tracker(stub)
    rows = []
    for piece in pieces:
        act, times, positions = synthetic_activation(piece)
        result = track(act, FPS, beats_per_bar=(3, 4))
        rows.append({"piece": piece.name, **_scores(times, positions, piece.meter, result)})
    return rows, name


def run_audio(pieces, folder: Path, online: bool, extra: list[str], jobs: int) -> list[dict]:
    def one(piece: evalset.Piece) -> dict:
        times, positions = evalset.read_beats(folder / f"{piece.name}.beats")
        try:
            result = harness.track_downbeats(folder / f"{piece.name}.wav", online=online, extra=extra)
        except harness.TrackerError as exc:
            return {"piece": piece.name, "error": str(exc), "beat_f": 0.0, "downbeat_f": 0.0,
                    "meter": piece.meter, "meter_found": None}
        return {"piece": piece.name, **_scores(times, positions, piece.meter, result)}

    with ThreadPoolExecutor(max(1, jobs)) as pool:
        return list(pool.map(one, pieces))


def report(title: str, rows: list[dict], targets: bool) -> dict:
    print(f"\n{title}")
    print(f"{'piece':26s} {'beat F':>6s} {'down F':>6s} {'meter':>5s} {'found':>5s}")
    for row in rows:
        found = "-" if row["meter_found"] is None else str(row["meter_found"])
        mark = "" if row["meter_found"] == row["meter"] else "  meter wrong"
        print(f"{row['piece']:26s} {row['beat_f']:6.3f} {row['downbeat_f']:6.3f} {row['meter']:5d} {found:>5s}{mark}")
        if "error" in row:
            print(f"    {row['error']}")
    summary = {"beat_f": float(np.mean([r["beat_f"] for r in rows])),
               "downbeat_f": float(np.mean([r["downbeat_f"] for r in rows])),
               "meter_right": float(np.mean([r["meter_found"] == r["meter"] for r in rows]))}
    print(f"mean beat F {summary['beat_f']:.3f}, mean downbeat F {summary['downbeat_f']:.3f}, "
          f"meter right on {sum(r['meter_found'] == r['meter'] for r in rows)} of {len(rows)} pieces")
    if targets:
        print(f"target: beat F       {harness.verdict(summary['beat_f'], BEAT_F_TARGET)}")
        print(f"target: downbeat F   {harness.verdict(summary['downbeat_f'], DOWNBEAT_F_TARGET)}")
        print(f"target: meter right  {harness.verdict(summary['meter_right'], 1.0)}")
    return summary


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few short pieces only")
    part = parser.add_mutually_exclusive_group()
    part.add_argument("--synthetic", action="store_true", help="only the synthetic activations")
    part.add_argument("--audio", action="store_true", help="only the rendered set")
    parser.add_argument("--online", action="store_true", help="rendered set: also track live")
    parser.add_argument("--stub", action="store_true", help="synthetic: the stub peak picker")
    parser.add_argument("--jobs", type=int, default=1, help="pieces tracked at a time (default 1)")
    parser.add_argument("--pieces", default="", help="only pieces whose name contains this")
    parser.add_argument("--cli-args", default="", help="extra options for `cadentia downbeats`, quoted")
    parser.add_argument("--out", default=None, help="cache folder of the rendered set")
    parser.add_argument("--json", default=None, help="also write the per-piece results here")
    args = parser.parse_args(argv)
    results: dict = {}
    synthetic = [] if args.audio else [p for p in (QUICK_SYNTHETIC if args.quick else SYNTHETIC) if args.pieces in p.name]
    rendered = [] if args.synthetic else [p for p in evalset.select(args.quick) if args.pieces in p.name]
    if not synthetic and not rendered:
        parser.error(f"no piece name contains {args.pieces!r}")

    if synthetic:
        rows, name = run_synthetic(synthetic, args.stub)
        results["synthetic"] = {"rows": rows, "summary": report(
            f"Synthetic activations at {FPS:g} fps ({len(rows)} pieces), {name}", rows, targets=True)}
    if rendered:
        pieces = rendered
        folder = Path(args.out) if args.out else evalset.CACHE / ("quick" if args.quick else "full")
        if not harness.has_command("downbeats"):
            print("\nRendered set: skipped, this cadentia has no `downbeats` command yet")
        else:
            evalset.render_all(pieces, folder, args.jobs)
            extra = shlex.split(args.cli_args)
            for online in (False, True) if args.online else (False,):
                mode = "online" if online else "offline"
                rows = run_audio(pieces, folder, online, extra, args.jobs)
                results[f"audio_{mode}"] = {"rows": rows, "summary": report(
                    f"Rendered set from audio, {mode} ({len(rows)} pieces), cadentia downbeats {' '.join(extra)}".rstrip(),
                    rows, targets=False)}
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(harness.run_main(main))
