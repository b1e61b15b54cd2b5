"""What the evaluation scripts share: the seam to cadentia, and the metrics.

The trackers are reached through cadentia's public command line
(``python -m cadentia.cli beats FILE --format json [--online]``), the seam
that stays put while the Python API behind it changes: a new front end, a
tempo prior or a causal onset stream reach the evaluation as soon as the
command line uses them, and ``--cli-args`` passes new options through.
Each call is its own process, so ``--jobs`` runs pieces side by side.

Metrics are mir_eval's, on the field's conventions: beats before 5 s are
ignored (``mir_eval.beat.trim_beats``), F-measure with a 70 ms window, and
the continuity scores CMLt and AMLt.
"""

from __future__ import annotations

import json
import math
import subprocess
import sys
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

# A found tempo within 8 % of the annotated one has the right octave (the
# tolerance of the field's tempo-estimation evaluations).
TEMPO_TOLERANCE = 0.08


class TrackerError(RuntimeError):
    """The tracker failed on a file; the message is its one-line error."""


@dataclass(frozen=True)
class Tracked:
    """What a tracker returned for one file."""

    beats: np.ndarray  # seconds
    tempo: float | None  # BPM, the median of the decoded tempo at the beats
    positions: np.ndarray | None = None  # position in the bar, 1 = downbeat
    beats_per_bar: int | None = None


def _cli(arguments: list[str]) -> dict:
    command = [sys.executable, "-m", "cadentia.cli", *arguments]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise TrackerError(done.stderr.strip().splitlines()[-1] if done.stderr.strip() else
                           f"exit status {done.returncode}")
    return json.loads(done.stdout)


def has_command(name: str) -> bool:
    """Whether the installed cadentia command line has a sub-command ``name``."""
    done = subprocess.run([sys.executable, "-m", "cadentia.cli", name, "--help"],
                          capture_output=True, text=True)
    return done.returncode == 0


def track_beats(path: Path | str, *, online: bool, extra: list[str] = ()) -> Tracked:
    """Beats and tempo of an audio file from ``cadentia beats``."""
    report = _cli(["beats", str(path), "--format", "json", *(["--online"] if online else []), *extra])
    return Tracked(np.asarray(report["beats"], dtype=np.float64), report.get("tempo"))


def track_downbeats(path: Path | str, *, online: bool, extra: list[str] = ()) -> Tracked:
    """Beats, bar positions and meter of an audio file from ``cadentia downbeats``."""
    report = _cli(["downbeats", str(path), "--format", "json", *(["--online"] if online else []), *extra])
    tempo = report.get("tempo")
    if isinstance(tempo, list):  # a tempo per frame or per beat
        tempo = float(np.median(tempo)) if tempo else None
    return Tracked(np.asarray(report["beats"], dtype=np.float64), tempo,
                   np.asarray(report["positions"], dtype=np.int64), report.get("beats_per_bar"))


def _trimmed(times: npt.ArrayLike) -> np.ndarray:
    import mir_eval.beat

    return mir_eval.beat.trim_beats(np.sort(np.asarray(times, dtype=np.float64)))


def beat_scores(reference: npt.ArrayLike, estimated: npt.ArrayLike) -> dict[str, float]:
    """F-measure, CMLt and AMLt (mir_eval) of estimated beats, both trimmed at 5 s."""
    import mir_eval.beat

    ref, est = _trimmed(reference), _trimmed(estimated)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # empty lists: the scores say it
        _, cmlt, _, amlt = mir_eval.beat.continuity(ref, est)
        return {"f": float(mir_eval.beat.f_measure(ref, est)), "cmlt": float(cmlt), "amlt": float(amlt)}


def f_measure(reference: npt.ArrayLike, estimated: npt.ArrayLike) -> float:
    """mir_eval's beat F-measure (70 ms window), both lists trimmed at 5 s."""
    import mir_eval.beat

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return float(mir_eval.beat.f_measure(_trimmed(reference), _trimmed(estimated)))


def beats_tempo(beats: npt.ArrayLike) -> float | None:
    """Tempo of a beat list in BPM: 60 over the median inter-beat interval (None for under 3 beats)."""
    beats = np.asarray(beats, dtype=np.float64)
    return 60.0 / float(np.median(np.diff(beats))) if beats.size > 2 else None


def octave(found: float | None, true: float) -> str:
    """'ok' within TEMPO_TOLERANCE, else 'x2', 'x1/2', 'x3', 'x1/3', ... or '?'."""
    if found is None or not math.isfinite(found) or found <= 0:
        return "none"
    ratio = found / true
    for name, value in (("ok", 1.0), ("x2", 2.0), ("x1/2", 0.5), ("x3", 3.0), ("x1/3", 1 / 3),
                        ("x3/2", 1.5), ("x2/3", 2 / 3)):
        if abs(ratio / value - 1.0) <= TEMPO_TOLERANCE:
            return name
    return f"x{ratio:.2f}"


def run_main(main, argv: list[str] | None = None) -> int:
    """Run a script's ``main``; a missing renderer or package ends in one line, not a traceback."""
    try:
        return main(argv)
    except (RuntimeError, ImportError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1


def verdict(value: float, target: float) -> str:
    return f"{value:.3f} (target >= {target:g}: {'met' if value >= target else 'MISSED'})"
