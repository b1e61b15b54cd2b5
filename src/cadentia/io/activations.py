"""Activations computed elsewhere (a neural network's, say), read from files.

A beat activation is one value per frame, a downbeat activation two (beat
that is not a downbeat, downbeat), saved as ``.npy`` or as text: values
separated by white space or commas, one frame per line (a beat activation
may also be all on one line).
"""

from __future__ import annotations

import os
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

from ..errors import AudioError
from .audio import check_path

__all__ = ["ACTIVATION_SUFFIXES", "is_activation", "load_activation", "load_downbeat_activation", "read_numbers"]

ACTIVATION_SUFFIXES = (".npy", ".txt", ".csv", ".act", ".dat")


def is_activation(path: str | os.PathLike[str]) -> bool:
    """Whether ``path`` names an activation file rather than audio, by its suffix."""
    return os.fspath(path).lower().endswith(ACTIVATION_SUFFIXES)


def read_numbers(path: str, from_rows: Callable[[list[list[str]]], npt.NDArray[np.float64]]) -> npt.NDArray[np.generic]:
    """Read a numeric array saved as ``.npy`` or as text.

    Parameters
    ----------
    path : str
        The file.
    from_rows : callable
        Turns the text's rows of values (commas count as spaces, blank
        lines are skipped) into an array, raising AudioError for a layout
        it refuses.

    Returns
    -------
    numpy.ndarray
        The values as stored.

    Raises
    ------
    AudioError
        The file cannot be read or is not numeric; the message names it.
    """
    path = check_path(path)
    try:
        if path.lower().endswith(".npy"):
            values = np.load(path, allow_pickle=False)
        else:
            with open(path, encoding="utf-8") as handle:
                rows = [row for row in (line.replace(",", " ").split() for line in handle) if row]
            values = from_rows(rows)
    except AudioError:
        raise
    except (OSError, ValueError, UnicodeDecodeError) as exc:
        raise AudioError(f"cannot read activation from {path}: {exc}") from None
    values = np.asarray(values)
    if values.dtype.kind not in "biuf":
        raise AudioError(f"activation in {path} is not numeric (dtype {values.dtype})")
    return values


def load_activation(path: str | os.PathLike[str]) -> npt.NDArray[np.generic]:
    """Read a beat activation saved as ``.npy`` or as text, one value per frame.

    Parameters
    ----------
    path : str or os.PathLike
        The file.

    Returns
    -------
    numpy.ndarray
        The values as stored; the trackers check them.

    Raises
    ------
    AudioError
        The file is missing, unreadable, or not one number per frame.
    """
    path = os.fspath(path)

    def one_per_frame(rows: list[list[str]]) -> npt.NDArray[np.float64]:
        if len(rows) > 1 and any(len(row) != 1 for row in rows):
            raise AudioError(
                f"activation in {path} must be one value per frame: one per line, or all on one line"
            )
        return np.array([value for row in rows for value in row], dtype=np.float64)

    return read_numbers(path, one_per_frame)


def load_downbeat_activation(path: str | os.PathLike[str]) -> npt.NDArray[np.generic]:
    """Read a two-column activation saved as ``.npy`` or as text, two values per line.

    Parameters
    ----------
    path : str or os.PathLike
        The file: ``.npy`` of shape (frames, 2), or text.

    Returns
    -------
    numpy.ndarray
        The values as stored, at least two columns; check them with
        :func:`cadentia.model.observation.check_downbeat_activation`.

    Raises
    ------
    AudioError
        The file is missing, unreadable, empty, ragged, not numeric or one column.
    """
    path = os.fspath(path)

    def two_per_line(rows: list[list[str]]) -> npt.NDArray[np.float64]:
        widths = {len(row) for row in rows}
        if len(widths) > 1:
            raise AudioError(f"activation in {path} has lines of {sorted(widths)} values; "
                             "give two per line (beat, downbeat)")
        return np.array(rows, dtype=np.float64)

    values = read_numbers(path, two_per_line)
    if values.size == 0:
        raise AudioError(f"activation in {path} is empty")
    if values.ndim == 1 or (values.ndim == 2 and values.shape[1] == 1):
        raise AudioError(f"activation in {path} has one value per frame; downbeats needs two (beat, downbeat)")
    return values
