"""Scoring detected beats against known beat times.

The field reports the metrics of ``mir_eval.beat``: F-measure with a 70 ms
tolerance window, and the continuity scores CMLt (correct metrical level)
and AMLt (allowed metrical levels, which forgive double or half tempo and
off-beat tracking). When ``mir_eval`` is installed (the ``eval`` extra)
:func:`evaluate` uses it; otherwise it falls back to a built-in F-measure
with the same window and matching.

As ``mir_eval`` does, beats in the first 5 seconds are ignored by default:
every tracker needs a few beats to settle.

For a dataset, :func:`evaluate_files` pairs detection files with annotation
files by file stem, scores every pair with the full set of ``mir_eval``
beat metrics (F-measure, Cemgil, P-score, CMLt, AMLt, information gain)
and, where both sides give positions in the bar, the downbeat F-measure.
Files left without a partner are listed in the report, never dropped.
"""

from __future__ import annotations

import json
import math
import os
import warnings
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import CadentiaError
from .io.paths import expand_paths

__all__ = [
    "ANNOTATION_SUFFIXES",
    "F_MEASURE_WINDOW",
    "METRICS",
    "MIN_BEAT_TIME",
    "EvaluationReport",
    "downbeat_f_measure",
    "evaluate",
    "evaluate_files",
    "f_measure",
    "have_mir_eval",
    "load_beats",
    "render_report",
]

F_MEASURE_WINDOW = 0.07
MIN_BEAT_TIME = 5.0


def have_mir_eval() -> bool:
    try:
        import mir_eval.beat  # noqa: F401
    except ImportError:
        return False
    return True


def _times(beats: npt.ArrayLike, name: str) -> npt.NDArray[np.float64]:
    values = np.asarray(beats, dtype=np.float64).reshape(-1)
    if not np.isfinite(values).all():
        raise ValueError(f"{name} beat times must be finite")
    return np.sort(values)


def f_measure(
    reference: npt.ArrayLike, estimated: npt.ArrayLike, window: float = F_MEASURE_WINDOW
) -> tuple[float, float, float]:
    """(F-measure, precision, recall) of ``estimated`` against ``reference`` beats.

    Parameters
    ----------
    reference, estimated : array_like
        Beat times in seconds; nothing is trimmed here.
    window : float
        Each reference beat matches at most one estimated beat within this
        many seconds, and the other way round; the matching is as large as
        possible.

    Returns
    -------
    (float, float, float)
        F-measure, precision and recall; two empty lists score 0, as in mir_eval.
    """
    ref = _times(reference, "reference")
    est = _times(estimated, "estimated")
    # On a line, matching greedily from the left gives a maximum matching:
    # the leftmost unmatched pair within reach never blocks a better one.
    matched = i = j = 0
    while i < ref.size and j < est.size:
        if abs(est[j] - ref[i]) <= window:
            matched += 1
            i += 1
            j += 1
        elif est[j] < ref[i]:
            j += 1
        else:
            i += 1
    if matched == 0:
        return 0.0, 0.0, 0.0
    precision = matched / est.size
    recall = matched / ref.size
    return 2 * precision * recall / (precision + recall), precision, recall


# Metrics of a dataset report, in column order: evaluate()'s keys and headings.
METRICS = {
    "f_measure": "F-measure",
    "cemgil": "Cemgil",
    "p_score": "P-score",
    "cmlt": "CMLt",
    "amlt": "AMLt",
    "information_gain": "InfGain",
    "downbeat_f_measure": "Downbeat F",
}
# Suffixes of beat files, detections and annotations alike, when a folder is given.
ANNOTATION_SUFFIXES = (".beats", ".txt", ".csv")


def load_beats(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64] | None]:
    """Read a beat file: ``time`` or ``time position`` per line.

    Parameters
    ----------
    path : str or os.PathLike
        The file. Fields may be separated by white space or commas; blank
        lines and lines starting with ``#`` are skipped.

    Returns
    -------
    times : numpy.ndarray
        float64 seconds; an empty file is an empty list of beats.
    positions : numpy.ndarray or None
        int64 positions in the bar (1 is the downbeat) when every line has
        a numeric second field, else None.

    Raises
    ------
    ValueError
        The file cannot be read, or a time is not a finite number.
    """
    path = os.fspath(path)
    times, positions = [], []
    try:
        with open(path, encoding="utf-8") as handle:
            for number, line in enumerate(handle, 1):
                fields = line.replace(",", " ").split()
                if not fields or fields[0].startswith("#"):
                    continue
                try:
                    times.append(float(fields[0]))
                except ValueError:
                    raise ValueError(f"cannot read beats from {path}: line {number} starts with {fields[0]!r}") from None
                try:
                    positions.append(float(fields[1]) if len(fields) > 1 else math.nan)
                except ValueError:
                    positions.append(math.nan)
    except (OSError, UnicodeDecodeError) as exc:
        raise ValueError(f"cannot read beats from {path}: {exc}") from None
    beats = np.asarray(times, dtype=np.float64)
    if not np.isfinite(beats).all():
        raise ValueError(f"cannot read beats from {path}: beat times must be finite")
    where = np.asarray(positions, dtype=np.float64)
    if where.size == 0 or not np.isfinite(where).all():
        return beats, None
    return beats, np.round(where).astype(np.int64)


@dataclass
class EvaluationReport:
    """Scores of a set of detection files against their annotations.

    ``rows`` has one dict per pair (``file``: the stem, ``detection``,
    ``reference``, and a score per key of :data:`METRICS`, None where it does
    not apply); ``mean`` the mean of every metric over the pairs that have
    it; ``missing_detections`` the annotations no detection was paired with
    and ``missing_references`` the reverse.
    """

    rows: list[dict] = field(default_factory=list)
    mean: dict = field(default_factory=dict)
    missing_detections: list[str] = field(default_factory=list)
    missing_references: list[str] = field(default_factory=list)


def _beat_files(paths: Iterable[str | os.PathLike[str]], what: str) -> list[str]:
    paths = [os.fspath(p) for p in paths]
    for path in paths:
        if not os.path.exists(path):
            raise CadentiaError(f"no such {what} file or folder: {path}")

    def keep(name: str) -> bool:
        return name.lower().endswith(ANNOTATION_SUFFIXES)

    return expand_paths(paths, keep=keep)


def _by_stem(paths: Sequence[str], what: str) -> dict[str, str]:
    stems: dict[str, str] = {}
    for path in paths:
        stem = os.path.splitext(os.path.basename(path))[0]
        if stem in stems and os.path.realpath(stems[stem]) != os.path.realpath(path):
            raise ValueError(f"two {what} files for {stem!r}: {stems[stem]} and {path}")
        stems[stem] = path
    return stems


def evaluate_files(
    detections: Iterable[str | os.PathLike],
    references: Iterable[str | os.PathLike],
    *,
    window: float = F_MEASURE_WINDOW,
    min_beat_time: float = MIN_BEAT_TIME,
) -> EvaluationReport:
    """Score detection files against annotation files, paired by file stem.

    Parameters
    ----------
    detections, references : iterable of str or os.PathLike
        Beat files (see :func:`load_beats`), or folders searched recursively
        for files ending in one of :data:`ANNOTATION_SUFFIXES`.
    window : float
        The F-measure's tolerance in seconds (also used for downbeats).
    min_beat_time : float
        Beats before this time (seconds) are ignored on both sides.

    Returns
    -------
    EvaluationReport
        Per-pair and mean scores (mir_eval), and the unpaired files.

    Raises
    ------
    ValueError
        A path does not exist, a file cannot be read, two files on one side
        share a stem, or the window is not positive; nothing is scored then.
    ImportError
        mir_eval is not installed.
    """
    if not (math.isfinite(window) and window > 0):
        raise ValueError(f"window must be a positive number of seconds, got {window!r}")
    if not have_mir_eval():
        raise ImportError("scoring needs mir_eval (pip install 'cadentia[eval]')")
    found = _by_stem(_beat_files(detections, "detection"), "detection")
    truth = _by_stem(_beat_files(references, "reference"), "reference")
    report = EvaluationReport(
        missing_detections=[truth[s] for s in truth if s not in found],
        missing_references=[found[s] for s in found if s not in truth],
    )
    for stem in sorted(set(found) & set(truth)):
        est, est_pos = load_beats(found[stem])
        ref, ref_pos = load_beats(truth[stem])
        scores = evaluate(ref, est, min_beat_time=min_beat_time, use_mir_eval=True, window=window)
        row: dict[str, Any] = {"file": stem, "detection": found[stem], "reference": truth[stem]}
        row.update({key: scores.get(key) for key in METRICS})
        if est_pos is not None and ref_pos is not None:
            row["downbeat_f_measure"] = evaluate(
                ref[ref_pos == 1], est[est_pos == 1],
                min_beat_time=min_beat_time, use_mir_eval=True, window=window,
            )["f_measure"]
        report.rows.append(row)
    for key in METRICS:
        values = [row[key] for row in report.rows if row[key] is not None]
        report.mean[key] = float(np.mean(values)) if values else None
    return report


def render_report(report: EvaluationReport, fmt: str = "table") -> str:
    """The report as text.

    Parameters
    ----------
    report : EvaluationReport
        From :func:`evaluate_files`.
    fmt : {"table", "csv", "json"}
        An aligned table, CSV, or JSON with the unpaired files too.

    Returns
    -------
    str
        The text, ending in a newline.
    """
    if fmt == "json":
        return json.dumps(
            {
                "files": report.rows,
                "mean": report.mean,
                "pairs": len(report.rows),
                "missing_detections": report.missing_detections,
                "missing_references": report.missing_references,
            },
            indent=2,
        ) + "\n"
    mean_row = {"file": f"mean ({len(report.rows)} files)", **report.mean}
    rows = report.rows + [mean_row]
    if fmt == "csv":
        lines = [",".join(["file", *METRICS])]
        for row in rows:
            cells = ["" if row[k] is None else f"{row[k]:.4f}" for k in METRICS]
            name = row["file"] if "," not in row["file"] else '"' + row["file"].replace('"', '""') + '"'
            lines.append(",".join([name, *cells]))
        return "\n".join(lines) + "\n"
    if fmt != "table":
        raise ValueError(f"format must be 'table', 'csv' or 'json', got {fmt!r}")
    width = max(len(row["file"]) for row in rows)
    heading = "  ".join([f"{'file':<{width}}", *(f"{h:>10}" for h in METRICS.values())])
    lines = [heading]
    for row in rows:
        cells = [f"{'-' if row[k] is None else format(row[k], '.3f'):>10}" for k in METRICS]
        if row is mean_row:
            lines.append("-" * len(heading))
        lines.append("  ".join([f"{row['file']:<{width}}", *cells]))
    return "\n".join(lines) + "\n"


def evaluate(
    reference: npt.ArrayLike,
    estimated: npt.ArrayLike,
    *,
    min_beat_time: float = MIN_BEAT_TIME,
    use_mir_eval: bool | None = None,
    window: float = F_MEASURE_WINDOW,
) -> dict:
    """Score estimated beat times against reference beat times (seconds).

    Parameters
    ----------
    reference, estimated : array_like
        Beat times in seconds.
    min_beat_time : float
        Beats before this time are dropped from both.
    use_mir_eval : bool, optional
        Force mir_eval (True) or the built-in F-measure alone (False); by
        default mir_eval when it is installed.
    window : float
        The F-measure's tolerance in seconds.

    Returns
    -------
    dict
        ``f_measure``, ``precision`` and ``recall`` always, plus ``cmlt``,
        ``amlt``, ``p_score``, ``cemgil`` and ``information_gain``
        (mir_eval's, normalised to [0, 1]) when mir_eval is used, and
        ``backend`` naming which was used.
    """
    ref = _times(reference, "reference")
    est = _times(estimated, "estimated")
    ref = ref[ref >= min_beat_time]
    est = est[est >= min_beat_time]
    if use_mir_eval is None:
        use_mir_eval = have_mir_eval()
    f, precision, recall = f_measure(ref, est, window)
    scores = {"f_measure": f, "precision": precision, "recall": recall, "backend": "builtin"}
    if use_mir_eval:
        import mir_eval.beat

        with warnings.catch_warnings():
            # mir_eval warns about empty beat lists; the scores say it anyway.
            warnings.simplefilter("ignore")
            scores["f_measure"] = float(mir_eval.beat.f_measure(ref, est, window))
            _, cmlt, _, amlt = mir_eval.beat.continuity(ref, est)
            scores["cmlt"] = float(cmlt)
            scores["amlt"] = float(amlt)
            scores["p_score"] = float(mir_eval.beat.p_score(ref, est))
            scores["cemgil"] = float(mir_eval.beat.cemgil(ref, est)[0])
            scores["information_gain"] = float(mir_eval.beat.information_gain(ref, est))
        scores["backend"] = "mir_eval"
    return scores


def downbeat_f_measure(
    reference: npt.ArrayLike,
    estimated: npt.ArrayLike,
    *,
    min_beat_time: float = MIN_BEAT_TIME,
    use_mir_eval: bool | None = None,
) -> float:
    """F-measure of estimated downbeat times against reference downbeat times.

    The field scores downbeats as beats: ``mir_eval.beat.f_measure`` with
    the same 70 ms window, on the downbeats alone.

    Parameters
    ----------
    reference, estimated : array_like
        Downbeat times in seconds.
    min_beat_time : float
        Downbeats before this time are dropped from both, as in :func:`evaluate`.
    use_mir_eval : bool, optional
        Force mir_eval (True) or the built-in :func:`f_measure` (False),
        which give the same number; by default mir_eval when installed.

    Returns
    -------
    float
        The F-measure, 0 when either list is empty.
    """
    scores = evaluate(reference, estimated, min_beat_time=min_beat_time, use_mir_eval=use_mir_eval)
    return float(scores["f_measure"])
