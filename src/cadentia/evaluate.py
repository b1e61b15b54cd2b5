"""Scoring detected beats against known beat times.

The field reports the metrics of ``mir_eval.beat``: F-measure with a 70 ms
tolerance window, and the continuity scores CMLt (correct metrical level)
and AMLt (allowed metrical levels, which forgive double or half tempo and
off-beat tracking). When ``mir_eval`` is installed (the ``eval`` extra)
:func:`evaluate` uses it; otherwise it falls back to a built-in F-measure
with the same window and matching.

As ``mir_eval`` does, beats in the first 5 seconds are ignored by default:
every tracker needs a few beats to settle.
"""

from __future__ import annotations

import warnings

import numpy as np

__all__ = ["F_MEASURE_WINDOW", "MIN_BEAT_TIME", "f_measure", "evaluate", "have_mir_eval"]

F_MEASURE_WINDOW = 0.07
MIN_BEAT_TIME = 5.0


def have_mir_eval() -> bool:
    try:
        import mir_eval.beat  # noqa: F401
    except ImportError:
        return False
    return True


def _times(beats, name: str) -> np.ndarray:
    values = np.asarray(beats, dtype=np.float64).reshape(-1)
    if not np.isfinite(values).all():
        raise ValueError(f"{name} beat times must be finite")
    return np.sort(values)


def f_measure(reference, estimated, window: float = F_MEASURE_WINDOW) -> tuple[float, float, float]:
    """(F-measure, precision, recall) of ``estimated`` against ``reference`` beats.

    Each reference beat matches at most one estimated beat within ``window``
    seconds, and the other way round; the matching is as large as possible.
    Nothing is trimmed here. Two empty lists score 0, as in mir_eval.
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


def evaluate(
    reference,
    estimated,
    *,
    min_beat_time: float = MIN_BEAT_TIME,
    use_mir_eval: bool | None = None,
) -> dict:
    """Score estimated beat times against reference beat times (seconds).

    Returns a dict with ``f_measure``, ``precision`` and ``recall`` always,
    plus ``cmlt``, ``amlt`` and ``p_score`` when mir_eval is used, and
    ``backend`` naming which was used. ``use_mir_eval`` forces the choice;
    by default mir_eval is used when it is installed.
    """
    ref = _times(reference, "reference")
    est = _times(estimated, "estimated")
    ref = ref[ref >= min_beat_time]
    est = est[est >= min_beat_time]
    if use_mir_eval is None:
        use_mir_eval = have_mir_eval()
    f, precision, recall = f_measure(ref, est)
    scores = {"f_measure": f, "precision": precision, "recall": recall, "backend": "builtin"}
    if use_mir_eval:
        import mir_eval.beat

        with warnings.catch_warnings():
            # mir_eval warns about empty beat lists; the scores say it anyway.
            warnings.simplefilter("ignore")
            scores["f_measure"] = float(mir_eval.beat.f_measure(ref, est, F_MEASURE_WINDOW))
            _, cmlt, _, amlt = mir_eval.beat.continuity(ref, est)
            scores["cmlt"] = float(cmlt)
            scores["amlt"] = float(amlt)
            scores["p_score"] = float(mir_eval.beat.p_score(ref, est))
        scores["backend"] = "mir_eval"
    return scores


def downbeat_f_measure(
    reference,
    estimated,
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
    ref = _times(reference, "reference")
    est = _times(estimated, "estimated")
    ref = ref[ref >= min_beat_time]
    est = est[est >= min_beat_time]
    if use_mir_eval is None:
        use_mir_eval = have_mir_eval()
    if not use_mir_eval:
        return f_measure(ref, est)[0]
    import mir_eval.beat

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return float(mir_eval.beat.f_measure(ref, est, F_MEASURE_WINDOW))
