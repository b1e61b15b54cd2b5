"""Tracking audio held in memory, as :func:`cadentia.batch.track_path` tracks an audio file."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from .batch import Kind, Source, _track
from .errors import CadentiaError
from .frontend import DEFAULT_FRONT_END, analyse, analyse_bars, get_front_end, run_bar_stream, run_stream
from .frontend.files import check_fps
from .model.options import DEFAULT_FPS
from .results import FileResult

__all__ = ["track_audio"]


def track_audio(
    signal: npt.ArrayLike,
    sample_rate: float,
    *,
    kind: Kind = "beats",
    fps: float = DEFAULT_FPS,
    online: bool = False,
    front_end: str = DEFAULT_FRONT_END,
    keep_activation: bool = False,
    tempo_hint: bool = True,
    threshold: float | None = None,
    **options: Any,
) -> FileResult:
    """Track audio held in memory as :func:`track_path` tracks an audio file.

    Parameters
    ----------
    signal : array_like
        Samples, full scale 1: 1-D, or (samples, channels), mixed down as
        a file's channels are. The same float32 samples as a file's give
        the same result as that file.
    sample_rate : float
        Samples per second.
    kind, fps, online, front_end, keep_activation, tempo_hint, threshold, **options
        As for :func:`track_path`.

    Returns
    -------
    FileResult
        As for :func:`track_path`, with ``path`` ``"<signal>"``.

    Raises
    ------
    ValueError
        Bad options, or audio that cannot be tracked.

    Examples
    --------
    >>> from cadentia import track_audio
    >>> from cadentia.testing import synthesize_clicks
    >>> signal, rate, _ = synthesize_clicks(120.0, 10.0, end_bpm=None)
    >>> result = track_audio(signal, rate)
    >>> round(result.tempo)
    120
    """
    audio = np.asarray(signal, dtype=np.float32)
    if audio.ndim not in (1, 2) or audio.shape[0] == 0 or audio.ndim == 2 and audio.shape[1] == 0:
        raise CadentiaError(f"signal must be samples or (samples, channels), not of shape {audio.shape}")
    check_fps(fps, sample_rate, "the sample rate")
    design = get_front_end(front_end)
    # As a file is read: mixed to float32 mono for the whole-signal analyses,
    # as given (a block of any shape) for a causal stream.
    mono = audio.mean(axis=1, dtype=np.float32) if audio.ndim == 2 else audio

    def source(analysed: bool, bars: bool) -> Source:
        if bars:
            if online:
                return run_bar_stream(sample_rate, fps, [audio], front_end=front_end)
            return analyse_bars(mono, sample_rate, fps, front_end=front_end)
        if analysed:
            return *analyse(mono, sample_rate, fps, downbeats=kind == "downbeats", front_end=front_end), None
        if kind == "downbeats":
            if not online or design.downbeat_stream is None:
                return design.downbeats(mono, sample_rate, fps, online=online), None, None
            return *run_stream(design.downbeat_stream(sample_rate, fps), [audio]), None
        if not (online or design.causal):
            return design.activation(mono, sample_rate, fps), None, None
        activation, heard = run_stream(design.stream(sample_rate, fps), [audio])
        return activation, heard if online else None, None

    return _track("<signal>", source, True, kind=kind, fps=fps, online=online, front_end=front_end,
                  beat_includes_downbeats=False, keep_activation=keep_activation, tempo_hint=tempo_hint,
                  threshold=threshold, options=options)
