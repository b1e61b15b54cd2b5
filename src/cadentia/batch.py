"""Tracking many files: work units, executors, and the files they write.

A dataset is a list of files, each tracked on its own. :func:`track_file`
is the unit of work: a module-level function that takes a path and
options and returns a :class:`FileResult` of plain arrays, so it pickles
and runs the same in this thread, in a thread or process pool, or on a
Dask cluster. A file that cannot be read or tracked gives a result with
``error`` set instead of an exception, so one bad file never stops a batch.

Each worker builds the state space once per set of options and keeps it
(:func:`_tracker`): threads of one process share it, every process (a pool
worker, a Dask worker) builds its own on first use. Building it takes a
few milliseconds, about what tracking a short file takes, and the first
build in a process also pays for importing the tracker.

Outputs are written atomically: the text goes to a temporary file in the
destination folder and is renamed over the destination, so a reader or an
interrupted run sees either the whole file or none. That is what makes
resuming safe: an output that exists is complete, and is skipped.
"""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import multiprocessing
import os
import signal
import tempfile
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Literal

import numpy as np
import numpy.typing as npt

__all__ = [
    "AUDIO_SUFFIXES",
    "DEFAULT_SUFFIX",
    "FileResult",
    "expand_paths",
    "format_result",
    "iter_track_files",
    "check_outputs",
    "default_jobs",
    "executor_for",
    "output_path",
    "track_file",
    "track_files",
    "write_result",
]

Kind = Literal["beats", "downbeats"]
KINDS = ("beats", "downbeats")
DEFAULT_SUFFIX = ".beats"
DEFAULT_FPS = 100.0
# Formats libsndfile reads (soundfile, the `audio` extra); plain WAV also
# reads without it.
AUDIO_SUFFIXES = (
    ".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".mp3", ".aif", ".aiff",
    ".aifc", ".au", ".snd", ".w64", ".rf64", ".caf",
)  # fmt: skip
# A few units per worker keep every worker busy without holding the whole
# dataset's futures (and their results) in memory at once.
_PENDING_PER_WORKER = 4
_CACHE_SIZE = 8


@dataclass(frozen=True, eq=False)
class FileResult:
    """The outcome of tracking one file.

    Attributes
    ----------
    path : str
        The input path, as given.
    beats : numpy.ndarray or None
        float64 beat times in seconds; None when the file failed.
    positions : numpy.ndarray or None
        int64 position of every beat in its bar (1 is the downbeat) for
        ``kind="downbeats"``; None for beats and when the file failed.
    error : str or None
        A one-line message naming the file when it failed, None on success.
    """

    path: str
    beats: npt.NDArray[np.float64] | None
    positions: npt.NDArray[np.int64] | None = None
    error: str | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


def _check_kind(kind: str) -> None:
    if kind not in KINDS:
        raise ValueError(f"kind must be 'beats' or 'downbeats', got {kind!r}")


def _options_key(kind: str, fps: float, options: dict) -> tuple | None:
    # Lists (meters, say) compare as tuples.
    items = ((k, tuple(v) if isinstance(v, list) else v) for k, v in sorted(options.items()))
    key = (kind, float(fps), tuple(items))
    try:
        hash(key)
    except TypeError:  # an unhashable option value: build afresh each time
        return None
    return key


_cache: dict[tuple, Callable] = {}
_cache_lock = threading.Lock()


def _build_tracker(kind: str, fps: float, options: dict) -> Callable[[np.ndarray, bool], tuple]:
    """A function from (activation, from audio?) to (beats, positions) for these options."""
    if kind == "beats":
        from .statespace import tempo_state_space
        from .tracker import track_beats

        space = tempo_state_space(fps=fps, **options)

        def track(activation: np.ndarray, from_audio: bool) -> tuple:
            # Placed as `cadentia beats FILE` places them: onset strength
            # peaks after the attack, a given activation at the beat.
            placement = "state" if from_audio else "peak"
            return track_beats(activation, fps, state_space=space, placement=placement).beats, None

        return track

    from .downbeats import downbeat_state_space, track_downbeats

    # How to read the activation is per call; everything else is the model.
    per_call = {k: options[k] for k in ("beat_includes_downbeats",) if k in options}
    model = {k: v for k, v in options.items() if k not in per_call}
    bar_space = downbeat_state_space(fps=fps, **model)

    def track_bars(activation: np.ndarray, from_audio: bool) -> tuple:
        placement = "state" if from_audio else "peak"  # as for beats
        result = track_downbeats(activation, fps, state_space=bar_space, placement=placement, **per_call)
        return result.beats, np.asarray(result.positions, dtype=np.int64)

    return track_bars


def _tracker(kind: str, fps: float, options: dict) -> Callable[[np.ndarray, bool], tuple]:
    """The tracker for these options, built once per process and kept."""
    key = _options_key(kind, fps, options)
    if key is None:
        return _build_tracker(kind, fps, options)
    # One lock for all keys: threads asking for the same model wait for the
    # first to build it instead of each building their own.
    with _cache_lock:
        track = _cache.get(key)
        if track is None:
            track = _build_tracker(kind, fps, options)
            if len(_cache) >= _CACHE_SIZE:
                _cache.pop(next(iter(_cache)))
            _cache[key] = track
    return track


def _read_activation(path: str, fps: float, kind: str = "beats") -> np.ndarray:
    """The activation of an audio or activation file (the one place that reads inputs)."""
    if kind == "downbeats":
        from .cli import _downbeat_activation_for

        return _downbeat_activation_for(path, fps)
    from .audio import file_activation  # audio in blocks: memory bounded on long recordings

    return file_activation(path, fps)


def _one_line(path: str, exc: BaseException) -> str:
    from .cli import CommandError

    text = str(exc) if isinstance(exc, (CommandError, ValueError, OSError)) else (
        f"unexpected {type(exc).__name__}: {exc}"
    )
    if isinstance(exc, MemoryError):
        text = "out of memory (is the input very long?)"
    text = " ".join(text.split())
    return text if path in text else f"{path}: {text}"


def track_file(path: str | os.PathLike, *, kind: Kind = "beats", fps: float = DEFAULT_FPS, **options) -> FileResult:
    """Track one audio or activation file; never raises for a bad file.

    Parameters
    ----------
    path : str or os.PathLike
        Audio, or a beat activation as ``.npy`` or text (see ``cadentia beats``).
    kind : {"beats", "downbeats"}
        Beats alone, or beats with their positions in the bar.
    fps : float
        Frames per second of the activation (or of the onset strength
        computed from audio).
    **options
        Passed to the tracker: the tempo-model options of
        :func:`cadentia.statespace.tempo_state_space` for beats, those of
        ``track_downbeats`` for downbeats.

    Returns
    -------
    FileResult
        The beats, or ``error`` set to a one-line message naming the file.
    """
    path = os.fspath(path)
    _check_kind(kind)
    try:
        track = _tracker(kind, fps, options)
        from .audio import ACTIVATION_SUFFIXES

        from_audio = not path.lower().endswith(ACTIVATION_SUFFIXES)
        beats, positions = track(_read_activation(path, fps, kind), from_audio)
        return FileResult(path, np.asarray(beats, dtype=np.float64), positions)
    except Exception as exc:  # noqa: BLE001 -- a failed file is a result, not a crash
        return FileResult(path, None, None, _one_line(path, exc))


def _work_unit(path: str, kind: Kind, fps: float, options: dict) -> FileResult:
    # Positional only: some executors (Dask's) read keywords of their own.
    return track_file(path, kind=kind, fps=fps, **options)


def _executor_workers(executor: cf.Executor) -> int:
    """How many units the executor runs at once, as far as it says."""
    count = getattr(executor, "_max_workers", None)  # thread and process pools
    client = getattr(executor, "_client", None)  # a Dask cluster's executor
    if count is None and client is not None:
        try:
            count = sum(client.nthreads().values())
        except Exception:  # noqa: BLE001 -- only a hint
            count = None
    return max(1, count or default_jobs())


def iter_track_files(
    paths: Iterable[str | os.PathLike],
    *,
    kind: Kind = "beats",
    executor: cf.Executor | None = None,
    workers: int | None = None,
    **options,
) -> Iterator[tuple[int, FileResult]]:
    """Track files, yielding ``(index, result)`` as each one finishes.

    Like :func:`track_files`, but results come in completion order, so a
    caller can write each one out and drop it. At most a few units per
    worker (``workers``, default: the executor's or the CPU count) are
    submitted ahead, so memory does not grow with the number of files.
    Bad options raise ValueError here, before any file is read.
    """
    paths = [os.fspath(p) for p in paths]
    _check_kind(kind)
    fps = options.pop("fps", DEFAULT_FPS)
    _tracker(kind, fps, options)  # refuse bad options before any work
    if executor is None:
        return ((i, track_file(p, kind=kind, fps=fps, **options)) for i, p in enumerate(paths))
    limit = _PENDING_PER_WORKER * (workers or _executor_workers(executor))
    return _submitted(paths, kind, fps, options, executor, limit)


def _submitted(
    paths: list[str], kind: str, fps: float, options: dict, executor: cf.Executor, limit: int
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
    paths: Iterable[str | os.PathLike],
    *,
    kind: Kind = "beats",
    executor: cf.Executor | None = None,
    **options,
) -> list[FileResult]:
    """Track many audio or activation files; one result per input, in input order.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        The files (directories are not expanded here; see :func:`expand_paths`).
    kind : {"beats", "downbeats"}
        Beats alone, or beats with their positions in the bar.
    executor : concurrent.futures.Executor, optional
        Where the files are tracked: a thread or process pool, or a Dask
        cluster's ``Client.get_executor()``. None tracks them one after the
        other in the calling thread.
    **options
        ``fps`` and the tracker's options, as for :func:`track_file`.

    Returns
    -------
    list of FileResult
        A failed file has ``error`` set; the others are unaffected.

    Examples
    --------
    >>> from concurrent.futures import ProcessPoolExecutor
    >>> with ProcessPoolExecutor(2) as pool:                      # doctest: +SKIP
    ...     results = track_files(["a.wav", "b.wav"], executor=pool, max_bpm=180)
    >>> [r.beats for r in results if r.ok]                        # doctest: +SKIP
    """
    paths = list(paths)
    results: list[FileResult | None] = [None] * len(paths)
    for index, result in iter_track_files(paths, kind=kind, executor=executor, **options):
        results[index] = result
    return results  # type: ignore[return-value]


def format_result(result: FileResult) -> str:
    """The text of a ``.beats`` file: one beat per line, ``time`` or ``time position``."""
    if result.beats is None:
        raise ValueError(f"no beats to format: {result.error}")
    if result.positions is None:
        return "".join(f"{t:.3f}\n" for t in result.beats)
    return "".join(f"{t:.3f} {int(p)}\n" for t, p in zip(result.beats, result.positions))


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_UMASK = _umask()


def write_result(result: FileResult, destination: str | os.PathLike) -> None:
    """Write a result to ``destination`` atomically (temporary file, then rename).

    A reader never sees a partly written file, and an interrupted or failed
    write leaves whatever was there before.
    """
    text = format_result(result)
    destination = os.fspath(destination)
    folder, name = os.path.split(os.path.abspath(destination))
    # Hidden and with a suffix no input has, so a rerun over the folder never
    # mistakes a leftover for an input.
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as handle:
            handle.write(text)
        os.chmod(temporary, 0o666 & ~_UMASK)  # mkstemp makes it private
        # No fsync: renaming a closed file is atomic against an interrupted
        # process, which is what resuming needs.
        os.replace(temporary, destination)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def output_path(path: str | os.PathLike, out_dir: str | os.PathLike | None, suffix: str = DEFAULT_SUFFIX) -> str:
    """Where the result for ``path`` goes: its stem plus ``suffix``, in ``out_dir`` or beside it."""
    path = os.fspath(path)
    folder = os.path.dirname(path) if out_dir is None else os.fspath(out_dir)
    stem = os.path.splitext(os.path.basename(path))[0]
    return os.path.join(folder, stem + suffix)


def _is_input(name: str, exclude_suffix: str | None) -> bool:
    from .audio import ACTIVATION_SUFFIXES

    lower = name.lower()
    if exclude_suffix and lower.endswith(exclude_suffix.lower()):
        return False
    return lower.endswith(AUDIO_SUFFIXES) or lower.endswith(ACTIVATION_SUFFIXES)


def expand_paths(
    paths: Iterable[str | os.PathLike],
    *,
    exclude_suffix: str | None = DEFAULT_SUFFIX,
    keep: Callable[[str], bool] | None = None,
) -> list[str]:
    """Replace every directory among ``paths`` by the inputs inside it.

    A directory is searched recursively for audio and activation files,
    sorted by path; hidden files and folders are left out, and so are files
    ending in ``exclude_suffix`` (the outputs of an earlier run). ``keep``,
    a test on file names, replaces that choice. Other paths are kept as
    given, in order, whether or not they exist: tracking reports a missing
    file.
    """
    if keep is None:
        def keep(name: str) -> bool:
            return _is_input(name, exclude_suffix)

    expanded: list[str] = []
    for path in map(os.fspath, paths):
        if not os.path.isdir(path):
            expanded.append(path)
            continue
        found = []
        for root, dirs, files in os.walk(path):
            dirs[:] = [d for d in dirs if not d.startswith(".")]
            found.extend(os.path.join(root, f) for f in files if not f.startswith(".") and keep(f))
        expanded.extend(sorted(found))
    return expanded


def check_outputs(paths: Sequence[str], outputs: Sequence[str]) -> None:
    """Raise ValueError if two inputs share an output, or an output is an input."""
    inputs = {os.path.realpath(p): p for p in paths}
    seen: dict[str, str] = {}
    for path, out in zip(paths, outputs):
        real = os.path.realpath(out)
        if real in inputs:
            raise ValueError(f"output {out} for {path} would overwrite the input {inputs[real]}")
        if real in seen:
            raise ValueError(f"{seen[real]} and {path} would both be written to {out}")
        seen[real] = path


@contextlib.contextmanager
def executor_for(jobs: int, kind: Kind = "beats") -> Iterator[cf.Executor | None]:
    """The pool ``cadentia beats --jobs`` runs on: None (this thread) for one job.

    Processes, not threads: the kernels and the FFT run without the GIL,
    but the front end's Python between them holds it often enough that two
    threads track 1.2 to 1.35 times the files of one, two warm processes
    twice as many (see the README for the measurements). The workers fork from
    a server that has imported the tracker already, so each starts at once
    and builds its state space on its first file. On an error or interrupt
    the files not yet started are dropped; those running finish.
    """
    if jobs <= 1:
        yield None
        return
    pool = cf.ProcessPoolExecutor(jobs, mp_context=_worker_context(kind), initializer=_ignore_interrupts)
    try:
        yield pool
    except BaseException:
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown(wait=True)


def _worker_context(kind: str) -> multiprocessing.context.BaseContext:
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    # Never plain fork: the caller has threads (tqdm's monitor, for one).
    context = multiprocessing.get_context("forkserver")
    tracker = "cadentia.tracker" if kind == "beats" else "cadentia.downbeats"
    context.set_forkserver_preload(["cadentia.batch", "cadentia.audio", "cadentia.onset", tracker])
    return context


def _ignore_interrupts() -> None:
    # Ctrl-C reaches the whole process group; the main process alone acts
    # on it, letting the running files finish.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def default_jobs() -> int:
    """The number of CPUs this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1

