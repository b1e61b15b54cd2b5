"""Two beats to the bar, or four: the choice the bar-pointer decoder gets wrong.

A march in 2/4 and a rock song in 4/4 look alike to the decoder: both put
their strongest beats on 1 and 3 of a four-beat bar, and the longer bar
explains the activation as well as the shorter, so nearly every 2/4 piece
comes out in 4 (on the validation renders, 2/4 pieces' downbeat F 0.64
against 0.95 with their own meter). What tells them apart is how often
the harmony moves: chords change at bar lines far more often than inside
bars (Goto, "An audio-based real-time beat tracking system for music with
or without drum-sounds", JNMR 2001). So in 2/4 heard as 4, the harmony
changes on beat 3 about as often as on beat 1; in 4/4 seldom.

:class:`BarEvidence` weighs that with how strongly the network's downbeat
output marks beat 3 against beat 1, bar by bar, in a logistic regression
(:class:`MeterHint`) trained on the rendered training split's pieces as
the decoder found them (``train/meter.py``), shipped as
``network/weights/meter.npz``. Offline tracking of audio with the network
asks it when the meters are the default and the decoder chose 4; a bar
heard as two becomes two bars in 2, the beats unchanged.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from functools import lru_cache
from importlib import resources
from pathlib import Path

import numpy as np
import numpy.typing as npt
from scipy.ndimage import maximum_filter1d

from .flux_downbeat import frame_chroma

__all__ = ["FEATURES", "BarEvidence", "MeterHint", "shipped_meter_hint"]

# Harmony per beat needs no finer frames than this.
CHROMA_FPS = 20.0
# Harmony is compared over this many beats either side of a beat: a chord
# held through a bar in 4 is the same either side of its beat 3.
_SPAN_BEATS = 2
# Fewer beats say too little about the bar.
_MIN_BEATS = 8
# The downbeat output at a beat is its largest within this many frames
# either side (at 100 fps): the beats sit on the activation's peaks, give
# or take a frame of the decoder's grid.
_NEAR_FRAMES = 2
_EPS = 1e-3

FEATURES = (
    "log downbeat 3/1", "log downbeat 2/1", "log downbeat 4/1", "log downbeat 3/(2,4)",
    "bars with downbeat 3 > 1/2 of 1", "bars with downbeat 3 > 1", "downbeat 1", "downbeat 3",
    "log harmony 3/1", "log harmony 2/1", "log harmony 4/1", "log harmony 3/(2,4)",
    "bars with harmony 3 > 1/2 of 1", "bars with harmony 3 > 1",
    "log beat-to-beat harmony 3/1", "log beat-to-beat harmony 3/(2,4)",
)
"""What :meth:`BarEvidence.features` measures of a piece decoded in 4, in order."""


def _by_position(values: np.ndarray, positions: np.ndarray, usable: np.ndarray) -> np.ndarray:
    return np.array([values[(positions == j) & usable].mean() if np.any((positions == j) & usable) else 0.0
                     for j in (1, 2, 3, 4)])


def _ratios(means: np.ndarray) -> list[float]:
    one, two, three, four = means + _EPS
    return [math.log(three / one), math.log(two / one), math.log(four / one),
            math.log(three / (0.5 * (two + four)))]


def _bars(values: np.ndarray, positions: np.ndarray, usable: np.ndarray) -> list[float]:
    """Of the bars whose beats 1 and 3 are both usable: the share whose 3 reaches half of 1, and 1."""
    ones = np.flatnonzero((positions[:-2] == 1) & (positions[2:] == 3) & usable[:-2] & usable[2:])
    if ones.size == 0:
        return [0.0, 0.0]
    first, third = values[ones], values[ones + 2]
    return [float(np.mean(third > 0.5 * first)), float(np.mean(third > first))]


def _cosine_distance(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    # Unlike flux_downbeat's, a silent side counts as a full change: the
    # hint was fitted so.
    norms = np.linalg.norm(a, axis=1) * np.linalg.norm(b, axis=1)
    return 1.0 - np.einsum("ij,ij->i", a, b) / np.maximum(norms, 1e-12)


class BarEvidence:
    """What a piece says about its bars beyond the decoder's choice.

    Parameters
    ----------
    downbeat : array_like
        The network's downbeat probability of every frame.
    fps : float
        Its frames per second.
    chroma : array_like
        (frames, 12) pitch-class energy at :data:`CHROMA_FPS`
        (:func:`cadentia.frontend.flux_downbeat.frame_chroma`).
    """

    def __init__(self, downbeat: npt.ArrayLike, fps: float, chroma: npt.ArrayLike) -> None:
        self.downbeat = np.asarray(downbeat, dtype=np.float64)
        self.fps = float(fps)
        self.chroma = np.asarray(chroma, dtype=np.float64)

    @classmethod
    def of_audio(cls, signal: npt.ArrayLike, sample_rate: float, activation: npt.ArrayLike,
                 fps: float) -> "BarEvidence":
        """The evidence of a mono signal and its offline two-column activation (beat, downbeat)."""
        samples = np.asarray(signal, dtype=np.float32)
        frames = math.ceil(samples.size * CHROMA_FPS / sample_rate)
        return cls(np.asarray(activation)[:, 1], fps, frame_chroma(samples, sample_rate, CHROMA_FPS, frames))

    def features(self, beats: npt.ArrayLike, positions: npt.ArrayLike) -> np.ndarray | None:
        """The :data:`FEATURES` of beats decoded in 4; None for fewer than 8 beats."""
        times = np.asarray(beats, dtype=np.float64)
        pos = np.asarray(positions, dtype=np.int64)
        if times.size < _MIN_BEATS:
            return None
        frame = np.clip(np.round(times * self.fps).astype(np.int64), 0, self.downbeat.size - 1)
        near = maximum_filter1d(self.downbeat, 2 * _NEAR_FRAMES + 1, mode="nearest")[frame]
        everywhere = np.ones(times.size, dtype=bool)
        down = _by_position(near, pos, everywhere)
        values = _ratios(down) + _bars(near, pos, everywhere) + [float(down[0]), float(down[2])]

        # Mean chroma from each beat to the next (the last to a median beat later), unit length.
        rows = self.chroma.shape[0]
        ends = np.append(times[1:], times[-1] + np.median(np.diff(times)))
        first = np.clip(np.round(times * CHROMA_FPS).astype(np.int64), 0, rows)
        last = np.clip(np.round(ends * CHROMA_FPS).astype(np.int64), 0, rows)
        total = np.concatenate((np.zeros((1, 12)), np.cumsum(self.chroma, axis=0)))
        counts = np.maximum(last - first, 1)[:, np.newaxis]
        per_beat = np.where(last[:, np.newaxis] > first[:, np.newaxis], (total[last] - total[first]) / counts,
                            self.chroma[np.minimum(first, rows - 1)] if rows else 0.0)
        per_beat /= np.maximum(np.linalg.norm(per_beat, axis=1, keepdims=True), 1e-12)

        span = _SPAN_BEATS
        inner = np.arange(times.size)
        usable = (inner >= span) & (inner < times.size - span)
        cumulative = np.concatenate((np.zeros((1, 12)), np.cumsum(per_beat, axis=0)))
        at = np.clip(inner, span, times.size - span)
        change = np.where(usable, _cosine_distance(cumulative[at] - cumulative[at - span],
                                                   cumulative[at + span] - cumulative[at]), 0.0)
        harmony = _by_position(change, pos, usable)
        values += _ratios(harmony) + _bars(change, pos, usable)
        step = np.zeros(times.size)
        step[1:] = 1.0 - np.einsum("ij,ij->i", per_beat[1:], per_beat[:-1])
        step_usable = inner >= 1
        ratios = _ratios(_by_position(step, pos, step_usable))
        values += [ratios[0], ratios[3]]
        return np.array(values)

    def beats_per_bar(self, beats: npt.ArrayLike, positions: npt.ArrayLike, meter: int,
                      hint: "MeterHint | None" = None) -> int:
        """2 where beats decoded in 4 are heard as bars of two, else ``meter``."""
        if meter != 4:
            return meter
        values = self.features(beats, positions)
        if values is None:
            return meter
        hint = hint or shipped_meter_hint()
        return 2 if hint.probability_of_two(values) > hint.threshold else meter


@dataclass(frozen=True)
class MeterHint:
    """A logistic regression on standardised :data:`FEATURES`: the probability of two beats to the bar.

    A piece is told in 2 when that probability exceeds ``threshold``.
    """

    mean: np.ndarray
    scale: np.ndarray
    weight: np.ndarray
    bias: float
    threshold: float = 0.5

    def probability_of_two(self, values: npt.ArrayLike) -> float:
        """The probability that a piece decoded in 4 has two beats to the bar."""
        z = float(((np.asarray(values, dtype=np.float64) - self.mean) / self.scale) @ self.weight) + self.bias
        return 1.0 / (1.0 + math.exp(-min(max(z, -100.0), 100.0)))

    def save(self, path: str | Path) -> None:
        """Write the parameters, with the feature names, as an ``.npz`` file."""
        np.savez(path, mean=self.mean, scale=self.scale, weight=self.weight, bias=np.float64(self.bias),
                 threshold=np.float64(self.threshold), features=json.dumps(FEATURES))

    @classmethod
    def load(cls, path: str | Path) -> "MeterHint":
        """Load parameters saved by :meth:`save`; refused if measured on other features."""
        with np.load(path, allow_pickle=False) as data:
            if tuple(json.loads(str(data["features"]))) != FEATURES:
                raise ValueError(f"{path}: the meter hint was trained on other features")
            return cls(data["mean"], data["scale"], data["weight"], float(data["bias"]), float(data["threshold"]))


@lru_cache(maxsize=None)
def shipped_meter_hint() -> MeterHint:
    """The meter hint shipped with cadentia, loaded once per process."""
    weights = resources.files("cadentia.frontend.network") / "weights" / "meter.npz"
    with resources.as_file(weights) as path:
        return MeterHint.load(path)
