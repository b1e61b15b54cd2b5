"""The observation model: how a beat activation becomes per-frame densities.

A beat activation holds, for every frame, a value in [0, 1] saying how much
that frame looks like a beat. States in a lane's beat region read it
directly; the other states share what is left, ``1 - activation``, spread
over the ``observation_lambda - 1`` parts of the lane outside the beat
region. The result has one row per frame and one column per observation
column of the state space (no-beat, beat), as the kernels take it.
"""

from __future__ import annotations

import numpy as np

from .statespace import BEAT_COLUMN, NO_BEAT_COLUMN, NUM_COLUMNS

__all__ = ["MIN_DENSITY", "check_activation", "observation_densities"]

# Densities are clipped to this, so a beat over a silent frame (activation 0)
# costs a bounded penalty instead of ruling the path out: music leaves beats
# silent, and with a harsher floor the decoder would rather halve the tempo
# than cross one. It also keeps the forward belief from dying out.
MIN_DENSITY = 1e-3


def check_activation(activation, name: str = "activation") -> np.ndarray:
    """Return the activation as a 1-D float64 array, or raise ValueError."""
    try:
        values = np.asarray(activation, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name} must be numeric: {exc}") from None
    if values.ndim == 2 and 1 in values.shape:
        values = values.reshape(-1)
    if values.ndim != 1:
        raise ValueError(f"{name} must be one value per frame, got shape {values.shape}")
    if values.size == 0:
        raise ValueError(f"{name} is empty")
    bad = ~np.isfinite(values)
    if bad.any():
        raise ValueError(f"{name} has {int(bad.sum())} non-finite value(s), first at frame {int(np.argmax(bad))}")
    if values.min() < 0 or values.max() > 1:
        raise ValueError(
            f"{name} values must lie in [0, 1], got range [{values.min():.6g}, {values.max():.6g}]"
        )
    return values


def observation_densities(
    activation,
    observation_lambda: float = 16.0,
    *,
    log: bool = False,
    min_density: float = MIN_DENSITY,
) -> np.ndarray:
    """Per-frame observation densities, float32 of shape (frames, 2).

    Column ``BEAT_COLUMN`` is the activation, column ``NO_BEAT_COLUMN`` is
    ``(1 - activation) / (observation_lambda - 1)``; both are clipped below at
    ``min_density``. With ``log=True`` the natural logarithms are returned,
    for the Viterbi decoder.
    """
    values = check_activation(activation)
    if not observation_lambda > 1:
        raise ValueError(f"observation_lambda must be > 1, got {observation_lambda!r}")
    dens = np.empty((values.shape[0], NUM_COLUMNS), dtype=np.float64)
    dens[:, BEAT_COLUMN] = values
    dens[:, NO_BEAT_COLUMN] = (1.0 - values) / (observation_lambda - 1.0)
    np.maximum(dens, min_density, out=dens)
    if log:
        np.log(dens, out=dens)
    return np.ascontiguousarray(dens, dtype=np.float32)
