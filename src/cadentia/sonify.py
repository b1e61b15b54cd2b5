"""Beats made audible: the input with a click on every beat.

The check a listener makes by ear: clicks that fall with the music are
right, clicks that drift or sit between the notes are not. Downbeats get a
higher, louder click.
"""

from __future__ import annotations

import os
from typing import Any

import numpy as np
import numpy.typing as npt

from .errors import CadentiaError
from .io.activations import is_activation
from .io.audio import read_mono, write_wav
from .results import FileResult

__all__ = ["click", "mix_clicks", "sonify_result"]

# The rate of the clicks written alone, over an activation.
CLICK_RATE = 22050


def click(sample_rate: float, frequency: float, length: float = 0.03) -> npt.NDArray[np.float64]:
    """A metronome tick: a broadband attack over a short decaying tone.

    Parameters
    ----------
    sample_rate : float
        Samples per second.
    frequency : float
        Pitch of the tone in Hz.
    length : float
        Seconds.

    Returns
    -------
    numpy.ndarray
        float64 samples, peak near 1.
    """
    t = np.arange(int(length * sample_rate)) / sample_rate
    tone = np.sin(2 * np.pi * frequency * t) * np.exp(-t / (length / 5))
    # Fixed seed: every tick of a piece sounds the same.
    attack = np.random.default_rng(1).uniform(-1.0, 1.0, t.size) * np.exp(-t / 0.001)
    return 0.6 * tone + 0.4 * attack


def mix_clicks(
    signal: npt.ArrayLike,
    sample_rate: float,
    beats: npt.ArrayLike,
    positions: npt.ArrayLike | None = None,
) -> npt.NDArray[np.float64]:
    """``signal`` with a click added at every beat.

    Parameters
    ----------
    signal : array_like
        Mono audio.
    sample_rate : float
        Its sampling rate in Hz.
    beats : array_like
        Beat times in seconds.
    positions : array_like, optional
        Position of every beat in its bar: position 1 gets the accented click.

    Returns
    -------
    numpy.ndarray
        float64, the signal at 0.7 plus the clicks, scaled down if it would clip.
    """
    out = 0.7 * np.asarray(signal, dtype=np.float64)
    plain, accent = 0.35 * click(sample_rate, 1000.0), 0.5 * click(sample_rate, 1500.0)
    marks = np.zeros(np.size(beats), dtype=bool) if positions is None else np.asarray(positions) == 1
    for beat, downbeat in zip(np.asarray(beats, dtype=np.float64), marks):
        tick = accent if downbeat else plain
        at = int(round(beat * sample_rate))
        end = min(out.size, at + tick.size)
        if 0 <= at < end:
            out[at:end] += tick[: end - at]
    peak = float(np.abs(out).max()) if out.size else 0.0
    return out / peak if peak > 1.0 else out


def sonify_result(result: FileResult, destination: str | os.PathLike[str]) -> None:
    """Write the input of a result with its beats as clicks, a mono 16-bit WAV.

    Parameters
    ----------
    result : FileResult
        A successful result. Over audio the clicks are mixed into the input;
        over an activation they are written alone, as long as it lasts.
    destination : str or os.PathLike
        The WAV file.

    Raises
    ------
    CadentiaError
        The file cannot be written.
    """
    if result.beats is None:
        raise ValueError(f"no beats to sonify: {result.error}")
    if is_activation(result.path):
        frames = 0 if result.activation is None else result.activation.shape[0]
        duration = max(frames / result.fps, float(result.beats[-1]) + 0.1 if result.beats.size else 0.0)
        signal: npt.NDArray[np.floating[Any]] = np.zeros(int(duration * CLICK_RATE))
        sample_rate = float(CLICK_RATE)
    else:
        signal, rate = read_mono(result.path)
        sample_rate = float(rate)
    try:
        write_wav(destination, mix_clicks(signal, sample_rate, result.beats, result.positions), int(sample_rate))
    except OSError as exc:
        raise CadentiaError(f"cannot write {os.fspath(destination)}: {exc.strerror or exc}") from None
