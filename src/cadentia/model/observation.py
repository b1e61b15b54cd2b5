"""The observation models: how an activation becomes per-frame densities.

A beat activation holds, for every frame, a value in [0, 1] saying how much
that frame looks like a beat. States in a lane's beat region read it
directly; the other states share what is left, ``1 - activation``, spread
over the ``observation_lambda - 1`` parts of the lane outside the beat
region. The result has one row per frame and one column per observation
column of the state space (no-beat, beat), as the kernels take it.

The bar-pointer model reads two values per frame, the probabilities of a
beat that is not a downbeat and of a downbeat; its no-beat states share
what is left, with the same floor, and it has a third column.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from .bars import DOWNBEAT_COLUMN, NUM_DOWNBEAT_COLUMNS
from .options import TempoModel
from .tempo import BEAT_COLUMN, NO_BEAT_COLUMN, NUM_COLUMNS, check_observation_lambda

__all__ = [
    "MIN_DENSITY",
    "check_activation",
    "check_downbeat_activation",
    "downbeat_observation_densities",
    "observation_densities",
]

# Densities are clipped to this, so a beat over a silent frame (activation 0)
# costs a bounded penalty instead of ruling the path out: music leaves beats
# silent, and with a harsher floor the decoder would rather halve the tempo
# than cross one. It also keeps the forward belief from dying out.
MIN_DENSITY = 1e-3


def _as_values(activation: Any, name: str, ndmin: int) -> npt.NDArray[np.float64]:
    """A float64 copy of the activation, or ValueError if it is not numeric."""
    try:
        return np.array(activation, dtype=np.float64, ndmin=ndmin)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name} must be numeric: {exc}") from None


def _check_values(values: npt.NDArray[np.float64], name: str) -> None:
    """Refuse an empty activation, non-finite values and values outside [0, 1]."""
    if values.shape[0] == 0:
        raise ValueError(f"{name} is empty")
    bad = ~np.isfinite(values)
    if bad.any():
        frame = int(np.argmax(bad.reshape(values.shape[0], -1).any(axis=1)))
        raise ValueError(f"{name} has {int(bad.sum())} non-finite value(s), first at frame {frame}")
    if values.min() < 0 or values.max() > 1:
        raise ValueError(
            f"{name} values must lie in [0, 1], got range [{values.min():.6g}, {values.max():.6g}]"
        )


def check_activation(activation: npt.ArrayLike, name: str = "activation") -> npt.NDArray[np.float64]:
    """Return the activation as a 1-D float64 array, or raise ValueError.

    Parameters
    ----------
    activation : array_like
        One value in [0, 1] per frame (a row or column vector also does).
    name : str
        What to call it in error messages.

    Returns
    -------
    numpy.ndarray
        float64 (frames,).
    """
    values = _as_values(activation, name, 0)
    if values.ndim == 2 and 1 in values.shape:
        values = values.reshape(-1)
    if values.ndim != 1:
        raise ValueError(f"{name} must be one value per frame, got shape {values.shape}")
    _check_values(values, name)
    return values


def observation_densities(
    activation: npt.ArrayLike,
    observation_lambda: float = TempoModel.observation_lambda,
    *,
    log: bool = False,
    min_density: float = MIN_DENSITY,
) -> npt.NDArray[np.float32]:
    """Per-frame observation densities, float32 of shape (frames, 2).

    Parameters
    ----------
    activation : array_like
        One value in [0, 1] per frame; see :func:`check_activation`.
    observation_lambda : float
        Column ``BEAT_COLUMN`` is the activation, column ``NO_BEAT_COLUMN``
        ``(1 - activation) / (observation_lambda - 1)``.
    log : bool
        Return natural logarithms, for the Viterbi decoder.
    min_density : float
        Floor of every density.

    Returns
    -------
    numpy.ndarray
        float32 (frames, 2), C-contiguous, as the kernels take it.
    """
    values = check_activation(activation)
    return densities(values[:, np.newaxis], observation_lambda, log=log, min_density=min_density)


def densities(
    values: npt.NDArray[np.float64],
    observation_lambda: float,
    *,
    log: bool,
    min_density: float = MIN_DENSITY,
) -> npt.NDArray[np.float32]:
    """Densities of a checked activation: one column (beat) or two (beat, downbeat).

    The beat columns read the activation's columns, the no-beat column what
    they leave, spread over the ``observation_lambda - 1`` parts of a beat
    outside its beat region; every density is clipped below at ``min_density``.
    """
    observation_lambda = check_observation_lambda(observation_lambda)
    width = values.shape[1]
    dens = np.empty((values.shape[0], NUM_COLUMNS if width == 1 else NUM_DOWNBEAT_COLUMNS), dtype=np.float64)
    dens[:, BEAT_COLUMN] = values[:, 0]
    if width == 2:  # the joint convention: beats that are not downbeats, downbeats
        dens[:, DOWNBEAT_COLUMN] = values[:, 1]
    rest = 1.0 - values[:, 0]
    if width == 2:
        rest = np.maximum(rest - values[:, 1], 0.0)
    dens[:, NO_BEAT_COLUMN] = rest / (observation_lambda - 1.0)
    np.maximum(dens, min_density, out=dens)
    if log:
        np.log(dens, out=dens)
    return np.ascontiguousarray(dens, dtype=np.float32)


# A joint network's three softmax outputs can sum a few float32 roundings
# above one; rows further above are a different convention or a mistake.
_ROW_SUM_TOLERANCE = 1e-6


def check_downbeat_activation(
    activation: npt.ArrayLike,
    name: str = "activation",
    *,
    beat_includes_downbeats: bool = False,
) -> npt.NDArray[np.float64]:
    """Validate a two-column activation and return it in the joint convention.

    Parameters
    ----------
    activation : array_like, shape (frames, 2)
        Per frame, values in [0, 1]. By default column 0 is the probability
        of a beat that is not a downbeat and column 1 that of a downbeat;
        their sum must not exceed 1.
    name : str
        What to call the activation in error messages.
    beat_includes_downbeats : bool
        Column 0 is instead the probability of any beat, downbeats included
        (a beat network plus a separate downbeat network). It becomes
        ``max(column 0 - column 1, 0)``, the part of the beat probability
        the downbeat does not explain.

    Returns
    -------
    numpy.ndarray
        float64 (frames, 2): non-downbeat beat and downbeat probabilities.
    """
    values = _as_values(activation, name, 0)
    if values.ndim != 2 or values.shape[1] != 2:
        raise ValueError(
            f"{name} must be two values per frame (beat, downbeat), got shape {values.shape}"
        )
    _check_values(values, name)
    if beat_includes_downbeats:
        values[:, 0] = np.maximum(values[:, 0] - values[:, 1], 0.0)
    else:
        total = values.sum(axis=1)
        over = total > 1.0 + _ROW_SUM_TOLERANCE
        if over.any():
            frame = int(np.argmax(over))
            raise ValueError(
                f"{name}: beat and downbeat probabilities sum to {total[frame]:.6g} > 1 at frame {frame} "
                "(if column 0 includes the downbeats, say so: beat_includes_downbeats / "
                "--beat-includes-downbeats)"
            )
    return values


def downbeat_observation_densities(
    activation: npt.ArrayLike,
    observation_lambda: float = TempoModel.observation_lambda,
    *,
    log: bool = False,
    beat_includes_downbeats: bool = False,
    min_density: float = MIN_DENSITY,
) -> npt.NDArray[np.float32]:
    """Per-frame observation densities of the bar-pointer model.

    Parameters
    ----------
    activation : array_like, shape (frames, 2)
        See :func:`check_downbeat_activation`.
    observation_lambda : float
        The no-beat density is ``(1 - beat - downbeat) / (observation_lambda - 1)``.
    log : bool
        Return natural logarithms, for the Viterbi decoder.
    beat_includes_downbeats : bool
        The other activation convention; see :func:`check_downbeat_activation`.
    min_density : float
        Floor of every density, as in the beat model.

    Returns
    -------
    numpy.ndarray
        float32 (frames, 3), columns no-beat, beat, downbeat.
    """
    values = check_downbeat_activation(activation, beat_includes_downbeats=beat_includes_downbeats)
    return densities(values, observation_lambda, log=log, min_density=min_density)
