"""Tracking files: the one path from a file to its result, and many files at once.

:func:`track_path` reads one audio or activation file through the front
end and tracks it, offline or live, beats or downbeats; the command line
calls it for one file and :func:`track_file` wraps it as the unit of work
of a batch: a module-level function that takes a path and options and
returns a :class:`~cadentia.results.FileResult` of plain arrays, so it
pickles and runs the same in this thread, in a thread or process pool, or
on a Dask cluster. A file that cannot be read or tracked gives a result
with ``error`` set instead of an exception, so one bad file never stops a
batch.

Each worker builds the state space once per set of options and keeps it
(:func:`_tracker`): threads of one process share it, every process (a pool
worker, a Dask worker) builds its own on first use. Building it takes a
few milliseconds, about what tracking a short file takes, and the first
build in a process also pays for importing the tracker.
"""

from __future__ import annotations

import concurrent.futures as cf
import os
import threading
from collections.abc import Callable, Iterable, Iterator
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from .frontend import DEFAULT_FRONT_END, get_front_end
from .frontend.files import (file_activation, file_analysis, file_bar_analysis, file_bar_stream, file_downbeat_activation,
                             file_stream)
from .frontend.meter import BarEvidence, BarPhaseStream
from .io.activations import is_activation
from .io.paths import AUDIO_SUFFIXES, DEFAULT_SUFFIX, check_outputs, expand_paths, output_path
from .model.bars import DownbeatStateSpace, downbeat_state_space
from .model.observation import check_activation, check_downbeat_activation
from .model.options import DEFAULT_FPS, TempoPrior, with_heard_tempo
from .model.tempo import TempoStateSpace, tempo_state_space
from .pool import default_jobs, executor_for, executor_workers
from .results import FileResult, format_result, write_result
from .track.base import check_threshold
from .track.beats import BeatStream, track_beats
from .track.downbeats import DownbeatStream, track_downbeats

__all__ = [
    "AUDIO_SUFFIXES",
    "DEFAULT_SUFFIX",
    "FileResult",
    "build_model",
    "check_outputs",
    "default_jobs",
    "executor_for",
    "expand_paths",
    "format_result",
    "iter_track_files",
    "output_path",
    "track_file",
    "track_files",
    "track_path",
    "write_result",
]

Kind = Literal["beats", "downbeats"]
KINDS = ("beats", "downbeats")
# How a file is read, per call; every other option is the model's.
READ_OPTIONS = ("online", "front_end", "beat_includes_downbeats", "keep_activation", "tempo_hint", "threshold")
# Live tracking of a file feeds the stream a second at a time, as an audio
# callback would; the result does not depend on it.
ONLINE_CHUNK_SECONDS = 1.0
# A few units per worker keep every worker busy without holding the whole
# dataset's futures (and their results) in memory at once.
_PENDING_PER_WORKER = 4
_CACHE_SIZE = 8


def _check_kind(kind: str) -> None:
    if kind not in KINDS:
        raise ValueError(f"kind must be 'beats' or 'downbeats', got {kind!r}")


def _options_key(kind: str, fps: float, options: dict[str, Any]) -> tuple[Any, ...] | None:
    # Lists (meters, say) compare as tuples.
    items = ((k, tuple(v) if isinstance(v, list) else v) for k, v in sorted(options.items()))
    key = (kind, float(fps), tuple(items))
    try:
        hash(key)
    except TypeError:  # an unhashable option value: build afresh each time
        return None
    return key


_cache: dict[tuple[Any, ...], TempoStateSpace | DownbeatStateSpace] = {}
_cache_lock = threading.Lock()


def _build_tracker(kind: str, fps: float, options: dict[str, Any]) -> TempoStateSpace | DownbeatStateSpace:
    """The state space of these model options."""
    if kind == "beats":
        return tempo_state_space(fps, **options)
    return downbeat_state_space(fps, **options)


def _tracker(kind: str, fps: float, options: dict[str, Any]) -> TempoStateSpace | DownbeatStateSpace:
    """The state space for these options, built once per process and kept."""
    options = {k: v for k, v in options.items() if k not in READ_OPTIONS}
    key = _options_key(kind, fps, options)
    if key is None:
        return _build_tracker(kind, fps, options)
    # One lock for all keys: threads asking for the same model wait for the
    # first to build it instead of each building their own.
    with _cache_lock:
        space = _cache.get(key)
        if space is None:
            space = _build_tracker(kind, fps, options)
            if len(_cache) >= _CACHE_SIZE:
                _cache.pop(next(iter(_cache)))
            _cache[key] = space
    return space


def build_model(kind: Kind, fps: float = DEFAULT_FPS, **options: Any) -> TempoStateSpace | DownbeatStateSpace:
    """The state space of these options, built once per process and kept.

    Parameters
    ----------
    kind : {"beats", "downbeats"}
        The tempo model, or the bar-pointer model.
    fps : float
        Frames per second of the activation.
    **options
        As for :func:`track_path` (the options of how a file is read are
        ignored).

    Returns
    -------
    TempoStateSpace or DownbeatStateSpace
        The model.

    Raises
    ------
    ValueError
        The options make no model; the message names the bad one.
    """
    _check_kind(kind)
    return _tracker(kind, fps, options)


def _online_chunks(activation: npt.NDArray[np.float64], heard: npt.NDArray[np.float64] | None, fps: float
                   ) -> Iterator[tuple[npt.NDArray[np.float64], npt.NDArray[np.float64] | None]]:
    """The activation in chunks as a live stream takes them, each with the tempo heard by its frames (or None)."""
    size = max(1, round(ONLINE_CHUNK_SECONDS * fps))
    for start in range(0, activation.shape[0], size):
        yield activation[start : start + size], None if heard is None else heard[start : start + size]


def track_path(
    path: str | os.PathLike[str],
    *,
    kind: Kind = "beats",
    fps: float = DEFAULT_FPS,
    online: bool = False,
    front_end: str = DEFAULT_FRONT_END,
    beat_includes_downbeats: bool = False,
    keep_activation: bool = False,
    tempo_hint: bool = True,
    threshold: float | None = None,
    **options: Any,
) -> FileResult:
    """Track one audio or activation file; raise on a bad file.

    Parameters
    ----------
    path : str or os.PathLike
        Audio, or an activation as ``.npy`` or text: one value per frame
        for beats, two (beat that is not a downbeat, downbeat) for downbeats.
    kind : {"beats", "downbeats"}
        Beats alone, or beats with their positions in the bar.
    fps : float
        Frames per second of the activation (or of the activation computed
        from audio).
    online : bool
        Track causally, as a live stream would, in place of the offline
        Viterbi decoding.
    front_end : str
        How audio becomes an activation: a name in
        :data:`cadentia.frontend.FRONT_ENDS`.
    beat_includes_downbeats : bool
        For downbeats: the activation's first column includes the downbeats.
    keep_activation : bool
        Keep the activation and the tempo per frame in the result (for plots).
    tempo_hint : bool
        Offline, on audio, combine the model's tempo prior with the one
        centred on the tempo the front end hears in the whole file
        (:func:`cadentia.frontend.analyse`; the network hears one, flux
        none). With ``tempo_prior=None`` the heard one alone applies.
    threshold : float, optional
        Offline, no beats before the first frame whose activation reaches it
        or after the last (:func:`cadentia.track.beats.track_beats`). None:
        the front end's ``threshold`` for audio, 0 for an activation.
    **options
        The model: ``model=`` a :class:`cadentia.model.options.TempoModel`
        or its fields, and for downbeats ``beats_per_bar`` and
        ``meter_change``. Fields not given take the front end's
        ``offline_defaults`` or ``live_defaults`` when tracking audio, then
        the model's defaults.

    Returns
    -------
    FileResult
        The beats, their tempo, and for downbeats their positions and the meter.

    Raises
    ------
    ValueError
        Bad options, or a file that cannot be read or tracked
        (:class:`cadentia.errors.CadentiaError` and its kinds name the file).
    """
    path = os.fspath(path)

    def source(analysed: bool, bars: bool) -> Source:
        if bars:
            if online:
                return file_bar_stream(path, fps, front_end=front_end)
            return file_bar_analysis(path, fps, front_end=front_end)
        if analysed:
            return *file_analysis(path, fps, downbeats=kind == "downbeats", front_end=front_end), None
        streams = kind == "beats" or get_front_end(front_end).downbeat_stream is not None
        if online and streams and not is_activation(path):
            return *file_stream(path, fps, front_end=front_end, downbeats=kind == "downbeats"), None
        read = file_activation if kind == "beats" else file_downbeat_activation
        return read(path, fps, online=online, front_end=front_end), None, None

    return _track(path, source, not is_activation(path), kind=kind, fps=fps, online=online, front_end=front_end,
                  beat_includes_downbeats=beat_includes_downbeats, keep_activation=keep_activation,
                  tempo_hint=tempo_hint, threshold=threshold, options=options)


# What a front end gives of a file or signal: the activation, the tempo it
# hears (offline, a prior from the whole; live beats, the tempo heard by
# each frame) and its evidence about the bars (downbeats: offline the
# whole piece's, live a stream that heard its audio).
Source = tuple[npt.NDArray[np.generic], TempoPrior | npt.NDArray[np.float64] | None,
               BarEvidence | BarPhaseStream | None]


def _track(
    path: str, source: Callable[[bool, bool], Source], audio: bool, *,
    kind: Kind, fps: float, online: bool, front_end: str, beat_includes_downbeats: bool, keep_activation: bool,
    tempo_hint: bool, threshold: float | None, options: dict[str, Any],
) -> FileResult:
    """Track ``source(analysed, bars)``: the front end's offline analysis with the tempo it hears
    (and with ``bars``, its evidence about the bars), or the activation of ``kind`` and ``online`` alone."""
    _check_kind(kind)
    threshold = None if threshold is None else check_threshold(threshold)
    design = get_front_end(front_end)
    if audio:
        options = design.model_options(options, online, kind)
    space = _tracker(kind, fps, options)
    # With the meters left to the tracker, a bar in 4 the front end hears as
    # two bars in 2 is told as two, and a bar it hears start on another beat
    # starts there (cadentia.frontend.meter); live, from what is heard so far.
    hear_bars = (kind == "downbeats" and audio and design.bar_evidence is not None
                 and "beats_per_bar" not in options)
    analysed = (hear_bars and not online) or (tempo_hint and not online and audio and design.analyse is not None)
    raw, heard, evidence = source(analysed, hear_bars)
    if not tempo_hint:
        heard = None
    if isinstance(heard, TempoPrior):
        space = _tracker(kind, fps, with_heard_tempo(options, heard))
    # Beats of audio sit where the front end's activation says they are
    # (spectral flux peaks after a note starts: there, where the path enters
    # the beat state; see track_beats). Those of a given activation stay at
    # its peak.
    placement = design.placement if audio else "peak"
    if threshold is None:
        threshold = design.threshold if audio else 0.0
    frame_tempo = beat_tempo = positions = None
    meter = None
    heard_by = heard if isinstance(heard, np.ndarray) else None  # live: the tempo heard by each frame
    if kind == "beats":
        assert isinstance(space, TempoStateSpace)
        activation = check_activation(raw, f"activation of {path}")
        if online:
            stream = BeatStream(fps, state_space=space, hear_tempo=heard_by is not None)
            parts = [stream.process(chunk, with_tempo=True, heard=bpm)
                     for chunk, bpm in _online_chunks(activation, heard_by, fps)]
            beats = np.concatenate([p[0] for p in parts])
            beat_tempo = np.concatenate([p[1] for p in parts])
        else:
            track = track_beats(activation, fps, state_space=space, placement=placement, threshold=threshold)
            beats, beat_tempo, frame_tempo = track.beats, track.beat_tempo, track.tempo
        tempo = float(np.median(beat_tempo)) if beats.size else None
    else:
        assert isinstance(space, DownbeatStateSpace)
        activation = check_downbeat_activation(
            raw, f"activation of {path}", beat_includes_downbeats=beat_includes_downbeats,
        )
        if online:
            bars = DownbeatStream(fps, state_space=space, hear_tempo=heard_by is not None)
            found = [bars.process(chunk, heard=bpm) for chunk, bpm in _online_chunks(activation, heard_by, fps)]
            beats = np.concatenate([p[0] for p in found])
            positions = np.concatenate([p[1] for p in found])
            meter = bars.beats_per_bar
            if isinstance(evidence, BarPhaseStream):
                evidence.push_downbeat(activation[:, 1])
                positions = evidence.relabel(beats, positions)
                meter = evidence.beats_per_bar(meter)
            gaps = np.diff(beats)
            tempo = 60.0 / float(np.median(gaps)) if gaps.size else None
        else:
            bar_track = track_downbeats(activation, fps, state_space=space, placement=placement, threshold=threshold)
            beats, positions, meter = bar_track.beats, bar_track.positions, bar_track.beats_per_bar
            if isinstance(evidence, BarEvidence) and meter is not None:
                positions, meter = evidence.bars(beats, positions, meter)
            frame_tempo = bar_track.tempo
            tempo = float(np.median(frame_tempo))
    return FileResult(
        path, np.asarray(beats, dtype=np.float64),
        None if positions is None else np.asarray(positions, dtype=np.int64),
        beat_tempo=beat_tempo, tempo=tempo, beats_per_bar=meter, fps=float(fps), online=online,
        activation=activation if keep_activation else None,
        frame_tempo=frame_tempo if keep_activation else None,
    )


def _one_line(path: str, exc: BaseException) -> str:
    text = str(exc) if isinstance(exc, (ValueError, OSError)) else f"unexpected {type(exc).__name__}: {exc}"
    if isinstance(exc, MemoryError):
        text = "out of memory (is the input very long?)"
    text = " ".join(text.split())
    return text if path in text else f"{path}: {text}"


def track_file(path: str | os.PathLike[str], *, kind: Kind = "beats", fps: float = DEFAULT_FPS,
               **options: Any) -> FileResult:
    """Track one audio or activation file; never raises for a bad file.

    Parameters
    ----------
    path : str or os.PathLike
        Audio, or an activation as ``.npy`` or text (see ``cadentia beats``).
    kind : {"beats", "downbeats"}
        Beats alone, or beats with their positions in the bar.
    fps : float
        Frames per second of the activation (or of the activation computed
        from audio).
    **options
        As for :func:`track_path`: ``online``, ``front_end``, and the model.

    Returns
    -------
    FileResult
        The beats, or ``error`` set to a one-line message naming the file.
    """
    path = os.fspath(path)
    _check_kind(kind)
    try:
        return track_path(path, kind=kind, fps=fps, **options)
    except Exception as exc:  # noqa: BLE001 -- a failed file is a result, not a crash
        return FileResult(path, None, None, _one_line(path, exc))


def _work_unit(path: str, kind: Kind, fps: float, options: dict[str, Any]) -> FileResult:
    # Positional only: some executors (Dask's) read keywords of their own.
    return track_file(path, kind=kind, fps=fps, **options)


def iter_track_files(
    paths: Iterable[str | os.PathLike[str]],
    *,
    kind: Kind = "beats",
    executor: cf.Executor | None = None,
    workers: int | None = None,
    **options: Any,
) -> Iterator[tuple[int, FileResult]]:
    """Track files, yielding ``(index, result)`` as each one finishes.

    Like :func:`track_files`, but results come in completion order, so a
    caller can write each one out and drop it. At most a few units per
    worker (``workers``, default: the executor's or the CPU count) are
    submitted ahead, so memory does not grow with the number of files.
    Bad options raise ValueError here, before any file is read.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        The files.
    kind : {"beats", "downbeats"}
        Beats alone, or beats with their positions in the bar.
    executor : concurrent.futures.Executor, optional
        Where the files are tracked; None: one after the other, here.
    workers : int, optional
        How many units the executor runs at once.
    **options
        ``fps`` and the options of :func:`track_path`.

    Yields
    ------
    (int, FileResult)
        The index of the input, and its result.
    """
    names = [os.fspath(p) for p in paths]
    _check_kind(kind)
    fps = options.pop("fps", DEFAULT_FPS)
    get_front_end(options.get("front_end", DEFAULT_FRONT_END))
    check_threshold(options.get("threshold") or 0.0)
    _tracker(kind, fps, options)  # refuse bad options before any work
    if executor is None:
        return ((i, track_file(p, kind=kind, fps=fps, **options)) for i, p in enumerate(names))
    limit = _PENDING_PER_WORKER * (workers or executor_workers(executor))
    return _submitted(names, kind, fps, options, executor, limit)


def _submitted(
    paths: list[str], kind: Kind, fps: float, options: dict[str, Any], executor: cf.Executor, limit: int
) -> Iterator[tuple[int, FileResult]]:
    pending: dict[cf.Future, int] = {}
    upcoming = iter(enumerate(paths))
    try:
        while True:
            for index, path in upcoming:
                pending[executor.submit(_work_unit, path, kind, fps, options)] = index
                if len(pending) >= limit:
                    break
            if not pending:
                return
            done, _ = cf.wait(pending, return_when=cf.FIRST_COMPLETED)
            for future in done:
                index = pending.pop(future)
                try:
                    result = future.result()
                except Exception as exc:  # noqa: BLE001 -- the worker itself failed
                    result = FileResult(paths[index], None, None, _one_line(paths[index], exc))
                yield index, result
    finally:
        for future in pending:
            future.cancel()


def track_files(
    paths: Iterable[str | os.PathLike[str]],
    *,
    kind: Kind = "beats",
    executor: cf.Executor | None = None,
    **options: Any,
) -> list[FileResult]:
    """Track many audio or activation files; one result per input, in input order.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        The files (directories are not expanded here; see :func:`cadentia.io.paths.expand_paths`).
    kind : {"beats", "downbeats"}
        Beats alone, or beats with their positions in the bar.
    executor : concurrent.futures.Executor, optional
        Where the files are tracked: a thread or process pool, or a Dask
        cluster's ``Client.get_executor()``. None tracks them one after the
        other in the calling thread. :func:`cadentia.pool.executor_for` makes
        the command line's pool; a process pool of your own wants
        ``threadpoolctl.threadpool_limits(1)`` as its initializer, or every
        worker's BLAS threads (the network's matrix products) fight over
        the same cores.
    **options
        ``fps`` and the options of :func:`track_path`.

    Returns
    -------
    list of FileResult
        A failed file has ``error`` set; the others are unaffected.

    Examples
    --------
    >>> from cadentia.pool import executor_for
    >>> with executor_for(2) as pool:                             # doctest: +SKIP
    ...     results = track_files(["a.wav", "b.wav"], executor=pool, max_bpm=180)
    >>> [r.beats for r in results if r.ok]                        # doctest: +SKIP
    """
    paths = [os.fspath(p) for p in paths]
    results: list[FileResult | None] = [None] * len(paths)
    for index, result in iter_track_files(paths, kind=kind, executor=executor, **options):
        results[index] = result
    return results  # type: ignore[return-value]
