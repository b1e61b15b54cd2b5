"""The activation of a file: audio through a front end, or an activation as saved.

Audio is read in blocks (:func:`cadentia.io.audio.audio_blocks`); a causal
front end turns them into activation frames as they come, so memory stays
bounded whatever the length of the file. The downbeat activation looks
ahead offline, so it takes the whole file as float32 mono, the least
memory such an analysis can take.
"""

from __future__ import annotations

import itertools
import os
from collections.abc import Callable, Iterator
from typing import TypeVar

import numpy as np
import numpy.typing as npt

from ..errors import AudioError
from ..io.activations import is_activation, load_activation, load_downbeat_activation
from ..io.audio import audio_blocks, check_path, read_mono
from ..model.options import DEFAULT_FPS, TempoPrior
from . import DEFAULT_FRONT_END, analyse, analyse_bars, get_front_end, run_bar_stream, run_stream
from .meter import BarEvidence, BarPhaseStream

__all__ = ["check_fps", "file_activation", "file_analysis", "file_bar_analysis", "file_bar_stream",
           "file_downbeat_activation", "file_stream"]

T = TypeVar("T")


def check_fps(fps: float, sample_rate: float, rate_name: str) -> None:
    """Refuse an activation frame rate above the audio's sample rate.

    Raises
    ------
    AudioError
        Saying ``fps ... is above {rate_name} (... Hz)``.
    """
    if fps > sample_rate:
        raise AudioError(f"fps {fps:g} is above {rate_name} ({sample_rate:g} Hz)")


def file_activation(
    path: str | os.PathLike[str],
    fps: float = DEFAULT_FPS,
    *,
    online: bool = False,
    front_end: str = DEFAULT_FRONT_END,
) -> npt.NDArray[np.float64]:
    """The beat activation of an audio file or of a saved activation.

    Parameters
    ----------
    path : str or os.PathLike
        Audio, or an activation (``.npy``, ``.txt``, ``.csv``, ``.act``,
        ``.dat``: one value in [0, 1] per frame at ``fps``), which is
        returned as read.
    fps : float
        Frames per second of the activation.
    online : bool
        Whether the activation is for live tracking: the front end's causal
        stream, even where its offline activation looks ahead.
    front_end : str
        A name in :data:`cadentia.frontend.FRONT_ENDS`.

    Returns
    -------
    numpy.ndarray
        One value per frame.

    Raises
    ------
    AudioError
        The file is missing, unreadable, truncated or empty, or ``fps``
        does not fit its sample rate; the message names the file.
    """
    path = check_path(path)
    if is_activation(path):
        return np.asarray(load_activation(path))
    design = get_front_end(front_end)
    if not (online or design.causal):
        return _whole_file(path, fps, lambda signal, sample_rate: design.activation(signal, sample_rate, fps))
    return file_stream(path, fps, front_end=front_end)[0]


def file_stream(
    path: str | os.PathLike[str], fps: float = DEFAULT_FPS, *, front_end: str = DEFAULT_FRONT_END,
    downbeats: bool = False,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64] | None]:
    """An audio file through a front end's causal stream, read in blocks.

    Parameters
    ----------
    path, fps, front_end
        As for :func:`file_activation`.
    downbeats : bool
        The front end's live downbeat stream (``downbeat_stream``) instead
        of its beat stream.

    Returns
    -------
    activation : numpy.ndarray
        As :func:`file_activation` with ``online=True``, or with
        ``downbeats`` as :func:`file_downbeat_activation` with ``online=True``.
    heard : numpy.ndarray or None
        The tempo in BPM heard by each frame (NaN: none yet), where the
        stream hears one (:func:`cadentia.frontend.heard_tempo`); else None.

    Raises
    ------
    AudioError
        As for :func:`file_activation`.
    ValueError
        ``downbeats`` of a front end that offers no live downbeats.
    """
    path = check_path(path)
    design = get_front_end(front_end)
    make = design.stream
    if downbeats:
        if design.downbeat_stream is None:
            raise ValueError(f"the {front_end} front end offers no live downbeats")
        make = design.downbeat_stream
    return _run_file(path, fps, lambda sample_rate, blocks: run_stream(make(sample_rate, fps), blocks))


def file_bar_stream(
    path: str | os.PathLike[str], fps: float = DEFAULT_FPS, *, front_end: str = DEFAULT_FRONT_END,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64] | None, BarPhaseStream | None]:
    """:func:`file_stream` for live downbeats, with the bar-phase stream that heard the same audio
    (:func:`cadentia.frontend.run_bar_stream`).

    Raises
    ------
    AudioError
        As for :func:`file_activation`.
    ValueError
        A front end that offers no live downbeats.
    """
    path = check_path(path)
    get_front_end(front_end)
    return _run_file(path, fps, lambda sample_rate, blocks: run_bar_stream(sample_rate, fps, blocks,
                                                                           front_end=front_end))


def _run_file(path: str, fps: float, run: Callable[[float, Iterator[npt.NDArray[np.float32]]], T]) -> T:
    """``run(sample_rate, blocks)`` of the audio file's blocks, its ValueError told as an AudioError."""
    blocks = audio_blocks(path)
    try:
        first, sample_rate = next(blocks)  # audio_blocks yields a block or raises
        check_fps(fps, sample_rate, f"the sample rate of {path}")
        return run(sample_rate, itertools.chain([first], (block for block, _ in blocks)))
    except AudioError:
        raise
    except ValueError as exc:
        raise AudioError(f"{path}: {exc}") from None


def file_downbeat_activation(
    path: str | os.PathLike[str],
    fps: float = DEFAULT_FPS,
    *,
    online: bool = False,
    front_end: str = DEFAULT_FRONT_END,
) -> npt.NDArray[np.generic]:
    """The two-column activation (beat that is not a downbeat, downbeat) of a file.

    Parameters
    ----------
    path : str or os.PathLike
        Audio, or a two-column activation (``.npy`` of shape (frames, 2), or
        text with two values per line), returned as read.
    fps, online, front_end
        As for :func:`file_activation`.

    Returns
    -------
    numpy.ndarray
        (frames, 2); check it with
        :func:`cadentia.model.observation.check_downbeat_activation`.

    Raises
    ------
    AudioError
        As for :func:`file_activation`.
    """
    path = check_path(path)
    if is_activation(path):
        return load_downbeat_activation(path)
    design = get_front_end(front_end)
    return _whole_file(path, fps, lambda signal, sample_rate: design.downbeats(signal, sample_rate, fps,
                                                                              online=online))


def file_analysis(
    path: str | os.PathLike[str],
    fps: float = DEFAULT_FPS,
    *,
    downbeats: bool = False,
    front_end: str = DEFAULT_FRONT_END,
) -> tuple[npt.NDArray[np.generic], TempoPrior | None]:
    """The offline activation of a file and the tempo the front end hears in it.

    Parameters
    ----------
    path : str or os.PathLike
        Audio, or a saved activation (returned as read, with no prior).
    fps, front_end
        As for :func:`file_activation`.
    downbeats : bool
        The two-column activation of :func:`file_downbeat_activation`.

    Returns
    -------
    activation : numpy.ndarray
        As :func:`file_activation` or :func:`file_downbeat_activation`.
    prior : TempoPrior or None
        See :func:`cadentia.frontend.analyse`.

    Raises
    ------
    AudioError
        As for :func:`file_activation`.
    """
    path = check_path(path)
    if is_activation(path):
        return (load_downbeat_activation(path) if downbeats else np.asarray(load_activation(path))), None
    get_front_end(front_end)  # an unknown name is refused before the file is read
    return _whole_file(path, fps, lambda signal, sample_rate: analyse(signal, sample_rate, fps, downbeats=downbeats,
                                                                     front_end=front_end))


def file_bar_analysis(
    path: str | os.PathLike[str], fps: float = DEFAULT_FPS, *, front_end: str = DEFAULT_FRONT_END,
) -> tuple[npt.NDArray[np.float64], TempoPrior | None, BarEvidence | None]:
    """:func:`file_analysis` of an audio file for downbeats, with the front end's evidence about its bars
    (:func:`cadentia.frontend.analyse_bars`), the file read once.

    Raises
    ------
    AudioError
        As for :func:`file_activation`.
    """
    path = check_path(path)
    get_front_end(front_end)
    return _whole_file(path, fps, lambda signal, sample_rate: analyse_bars(signal, sample_rate, fps,
                                                                          front_end=front_end))


def _whole_file(path: str, fps: float, compute: Callable[[npt.NDArray[np.float32], float], T]) -> T:
    """``compute(signal, sample_rate)`` of the whole file as float32 mono, named as :func:`_named` names."""
    signal, sample_rate = read_mono(path)
    check_fps(fps, sample_rate, f"the sample rate of {path}")
    return _named(path, lambda: compute(signal, sample_rate))


def _named(path: str, compute: Callable[[], T]) -> T:
    """The front end's result, its ValueError told as an AudioError naming the file."""
    try:
        return compute()
    except AudioError:
        raise
    except ValueError as exc:
        raise AudioError(f"{path}: {exc}") from None
