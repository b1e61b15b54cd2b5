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

The same two cues place the bar line. Where a style's bass and chords
anticipate the bar (son's tumbao lands the next chord on beat 4), the
network's downbeat output can lead the true one by a beat, and the decoder
follows it. :class:`PhaseHint` weighs, for each other beat of the bar,
how much more the harmony changes and the downbeat output rises there
than on the decoder's beat 1 (``network/weights/phase.npz``); the bar is
moved when it is more likely than not that another beat starts it.

Live, :class:`BarPhaseStream` asks both hints as the beats come, about
the last bars heard, and numbers the next beats from their answers.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass
from functools import lru_cache
from importlib import resources
from pathlib import Path
from typing import ClassVar, Self

import numpy as np
import numpy.typing as npt
from scipy.ndimage import maximum_filter1d

from .flux_downbeat import ChromaStream, frame_chroma

__all__ = ["FEATURES", "LIVE_EVERY_BEATS", "LIVE_MIN_BEATS", "LIVE_WINDOW_BEATS", "LIVE_WINDOW_SECONDS", "PHASE_FEATURES",
           "BarEvidence", "BarPhaseStream", "MeterHint", "PhaseHint", "shipped_meter_hint", "shipped_phase_hint"]

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
# Live, the bar is judged every this many beats, from this many on, on the
# last this many. Live downbeat F on the validation split and on composed
# music changes by less than 0.01 over windows of 24 to 48 beats and
# judgements every beat or every four.
LIVE_EVERY_BEATS = 4
LIVE_MIN_BEATS = 16
LIVE_WINDOW_BEATS = 32
# ... of those heard in the last this many seconds (32 beats at 45 BPM),
# so that what a stream keeps is bounded however sparse its beats.
LIVE_WINDOW_SECONDS = 45.0

FEATURES = (
    "log downbeat 3/1", "log downbeat 2/1", "log downbeat 4/1", "log downbeat 3/(2,4)",
    "bars with downbeat 3 > 1/2 of 1", "bars with downbeat 3 > 1", "downbeat 1", "downbeat 3",
    "log harmony 3/1", "log harmony 2/1", "log harmony 4/1", "log harmony 3/(2,4)",
    "bars with harmony 3 > 1/2 of 1", "bars with harmony 3 > 1",
    "log beat-to-beat harmony 3/1", "log beat-to-beat harmony 3/(2,4)",
)
"""What :meth:`BarEvidence.features` measures of a piece decoded in 4, in order."""

PHASE_FEATURES = (
    "log downbeat c/1", "log harmony c/1", "log beat-to-beat harmony c/1",
    "bars with downbeat c > 1", "bars with beat-to-beat harmony c > 1",
    "log beat-to-beat harmony c/others", "log downbeat c/others", "downbeat 1",
    "three beats to the bar", "c is beat 2", "c is the last beat",
)
"""What :meth:`BarEvidence.phase_features` measures of each other beat c of a decoded bar, in order."""


def _by_position(values: np.ndarray, positions: np.ndarray, usable: np.ndarray, meter: int = 4) -> np.ndarray:
    return np.array([values[(positions == j) & usable].mean() if np.any((positions == j) & usable) else 0.0
                     for j in range(1, meter + 1)])


def _share_above(first: np.ndarray, later: np.ndarray) -> float:
    """The share of bars whose later beat's value exceeds beat 1's (a half when none is measured)."""
    return float(np.mean(later > first)) if first.size else 0.5


def _ratios(means: np.ndarray) -> list[float]:
    one, two, three, four = means + _EPS
    return [math.log(three / one), math.log(two / one), math.log(four / one),
            math.log(three / (0.5 * (two + four)))]


def _bar_pairs(values: np.ndarray, positions: np.ndarray, usable: np.ndarray,
               later: int) -> tuple[np.ndarray, np.ndarray]:
    """The values at beat 1 and at beat ``later`` of every bar where both are usable."""
    gap = later - 1
    ones = np.flatnonzero((positions[:-gap] == 1) & (positions[gap:] == later) & usable[:-gap] & usable[gap:])
    return values[ones], values[ones + gap]


def _bars(values: np.ndarray, positions: np.ndarray, usable: np.ndarray) -> list[float]:
    """Of the bars whose beats 1 and 3 are both usable: the share whose 3 reaches half of 1, and 1."""
    first, third = _bar_pairs(values, positions, usable, 3)
    if first.size == 0:
        return [0.0, 0.0]
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
    first_frame, first_chroma : int
        The frames of ``downbeat`` and the rows of ``chroma`` start there (a
        stretch of a longer stream); beat times count from the stream's start.
    """

    def __init__(self, downbeat: npt.ArrayLike, fps: float, chroma: npt.ArrayLike, *,
                 first_frame: int = 0, first_chroma: int = 0) -> None:
        self.downbeat = np.asarray(downbeat, dtype=np.float64)
        self.fps = float(fps)
        self.chroma = np.asarray(chroma, dtype=np.float64)
        self.first_frame, self.first_chroma = int(first_frame), int(first_chroma)

    @classmethod
    def of_audio(cls, signal: npt.ArrayLike, sample_rate: float, activation: npt.ArrayLike,
                 fps: float) -> "BarEvidence":
        """The evidence of a mono signal and its offline two-column activation (beat, downbeat)."""
        samples = np.asarray(signal, dtype=np.float32)
        frames = math.ceil(samples.size * CHROMA_FPS / sample_rate)
        return cls(np.asarray(activation)[:, 1], fps, frame_chroma(samples, sample_rate, CHROMA_FPS, frames))

    def _per_beat(self, times: np.ndarray) -> tuple[np.ndarray, ...]:
        """At every beat: the downbeat output near it, the harmonic change over two beats either side
        and where it is measured, and the change from the beat before and where it is measured."""
        frame = np.clip(np.round(times * self.fps).astype(np.int64) - self.first_frame, 0, self.downbeat.size - 1)
        near = maximum_filter1d(self.downbeat, 2 * _NEAR_FRAMES + 1, mode="nearest")[frame]

        # Mean chroma from each beat to the next (the last to a median beat later), unit length.
        rows = self.chroma.shape[0]
        ends = np.append(times[1:], times[-1] + np.median(np.diff(times)))
        first = np.clip(np.round(times * CHROMA_FPS).astype(np.int64) - self.first_chroma, 0, rows)
        last = np.clip(np.round(ends * CHROMA_FPS).astype(np.int64) - self.first_chroma, 0, rows)
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
        step = np.zeros(times.size)
        step[1:] = 1.0 - np.einsum("ij,ij->i", per_beat[1:], per_beat[:-1])
        return near, change, usable, step, inner >= 1

    def features(self, beats: npt.ArrayLike, positions: npt.ArrayLike) -> np.ndarray | None:
        """The :data:`FEATURES` of beats decoded in 4; None for fewer than 8 beats."""
        times = np.asarray(beats, dtype=np.float64)
        pos = np.asarray(positions, dtype=np.int64)
        if times.size < _MIN_BEATS:
            return None
        near, change, usable, step, step_usable = self._per_beat(times)
        everywhere = np.ones(times.size, dtype=bool)
        down = _by_position(near, pos, everywhere)
        values = _ratios(down) + _bars(near, pos, everywhere) + [float(down[0]), float(down[2])]
        harmony = _by_position(change, pos, usable)
        values += _ratios(harmony) + _bars(change, pos, usable)
        ratios = _ratios(_by_position(step, pos, step_usable))
        values += [ratios[0], ratios[3]]
        return np.array(values)

    def phase_features(self, beats: npt.ArrayLike, positions: npt.ArrayLike, meter: int) -> np.ndarray | None:
        """The :data:`PHASE_FEATURES` of beats 2 to ``meter`` (one row each) of beats decoded in
        ``meter`` (3 or 4); None for fewer than 8 beats."""
        times = np.asarray(beats, dtype=np.float64)
        pos = np.asarray(positions, dtype=np.int64)
        if times.size < _MIN_BEATS or meter not in (3, 4):
            return None
        near, change, usable, step, step_usable = self._per_beat(times)
        everywhere = np.ones(times.size, dtype=bool)
        down = _by_position(near, pos, everywhere, meter)
        harmony = _by_position(change, pos, usable, meter)
        steps = _by_position(step, pos, step_usable, meter)
        rows = []
        for c in range(2, meter + 1):
            others = [j for j in range(1, meter) if j != c - 1]
            rows.append([
                math.log((down[c - 1] + _EPS) / (down[0] + _EPS)),
                math.log((harmony[c - 1] + _EPS) / (harmony[0] + _EPS)),
                math.log((steps[c - 1] + _EPS) / (steps[0] + _EPS)),
                _share_above(*_bar_pairs(near, pos, everywhere, c)),
                _share_above(*_bar_pairs(step, pos, step_usable, c)),
                math.log((steps[c - 1] + _EPS) / (steps[others].max() + _EPS)),
                math.log((down[c - 1] + _EPS) / (down[others].max() + _EPS)),
                float(down[0]), float(meter == 3), float(c == 2), float(c == meter),
            ])
        return np.array(rows)

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

    def downbeat_shift(self, beats: npt.ArrayLike, positions: npt.ArrayLike, meter: int,
                       hint: "PhaseHint | None" = None) -> int:
        """How many beats after the decoded beat 1 the bar is heard to start (0: where decoded)."""
        rows = self.phase_features(beats, positions, meter)
        if rows is None:
            return 0
        hint = hint or shipped_phase_hint()
        chances = hint.probabilities(rows)
        best = int(np.argmax(chances))
        return best + 1 if chances[best] > hint.threshold else 0

    def bars(self, beats: npt.ArrayLike, positions: npt.ArrayLike, meter: int,
             meter_hint: "MeterHint | None" = None, phase_hint: "PhaseHint | None" = None
             ) -> tuple[npt.NDArray[np.int64], int]:
        """The positions and meter of decoded beats as the hints (the shipped ones if None) hear them.

        A bar in 4 heard as two becomes two bars in 2 (:meth:`beats_per_bar`);
        otherwise a bar heard to start on another beat starts there
        (:meth:`downbeat_shift`). The beats stay where they are.
        """
        pos = np.asarray(positions, dtype=np.int64)
        if meter == 4 and self.beats_per_bar(beats, pos, meter, meter_hint) == 2:
            return (pos - 1) % 2 + 1, 2
        shift = self.downbeat_shift(beats, pos, meter, phase_hint)
        return ((pos - 1 - shift) % meter + 1 if shift else pos), meter


class BarPhaseStream:
    """Live: the bars as the hints hear them, judged as the stream goes.

    The live decoder's bar line follows the causal downbeat output, which
    on composed music often settles a beat or two away from the notated
    one. Every :data:`LIVE_EVERY_BEATS` beats from the
    :data:`LIVE_MIN_BEATS`-th on, the hints weigh the harmony and downbeat
    output of the last :data:`LIVE_WINDOW_BEATS` beats (of those in the
    last :data:`LIVE_WINDOW_SECONDS`) as :meth:`BarEvidence.bars` does
    offline, and number the beats up to the next judgement: bars in 4
    heard as two are numbered as two bars in 2, other bars from the beat
    heard to start them. A beat's number depends only on
    what its report makes known: the frames up to the beat, and the chroma
    up to the beat's time less the chroma's own latency. So it is the same
    in any blocks, and nothing waits for it.

    Parameters
    ----------
    sample_rate : float
        Sampling rate of the audio in Hz.
    fps : float
        Frame rate of the downbeat output.
    hint, meter_hint : PhaseHint, MeterHint, optional
        The shipped ones if None.
    horizon : float
        The longest, in seconds, that a beat's report may trail the beat
        (a forward decoder's longest beat interval is enough): what is
        older than that and the window is forgotten.

    Notes
    -----
    Feed it in order: the audio (:meth:`push_audio`, :meth:`finish_audio`),
    the downbeat output of the frames the audio completed
    (:meth:`push_downbeat`), then the decoder's beats of those frames
    (:meth:`relabel`).
    """

    def __init__(self, sample_rate: float, fps: float, hint: "PhaseHint | None" = None, *,
                 meter_hint: "MeterHint | None" = None, horizon: float = 10.0) -> None:
        self.fps = float(fps)
        self.horizon = float(horizon)
        self._meter_hint = meter_hint
        self._chroma_stream = ChromaStream(sample_rate, CHROMA_FPS)
        # Chroma rows known by a beat's report: up to its time less this.
        self._chroma_lag = self._chroma_stream.latency
        self._hint = hint
        self.reset()

    def reset(self) -> None:
        """Start a new stream."""
        self._chroma_stream.reset()
        self._beats = 0  # beats numbered so far
        self._times: list[float] = []  # the last LIVE_WINDOW_BEATS of them
        self._positions: list[int] = []
        self._downbeat, self._first_frame = np.zeros(0), 0
        self._chroma, self._first_chroma = np.zeros((0, 12)), 0
        self._shift = 0
        self._two = False  # bars in 4 heard as two bars in 2

    def beats_per_bar(self, decoded: int | None) -> int | None:
        """The meter of the last beats numbered, for the decoder's ``decoded``."""
        return 2 if self._two and decoded == 4 else decoded

    def push_audio(self, block: npt.ArrayLike) -> None:
        """Push audio (samples, or samples by channels)."""
        self.push_chroma(self._chroma_stream.process(block))

    def finish_audio(self) -> None:
        """End the audio (as if silence followed)."""
        self.push_chroma(self._chroma_stream.finish())

    def push_chroma(self, rows: npt.ArrayLike) -> None:
        """Push the next (rows, 12) pitch-class energy at :data:`CHROMA_FPS` (what :meth:`push_audio` does)."""
        self._chroma = np.concatenate((self._chroma, np.asarray(rows, dtype=np.float64).reshape(-1, 12)))

    def push_downbeat(self, values: npt.ArrayLike) -> None:
        """Push the downbeat output of the next frames."""
        self._downbeat = np.concatenate((self._downbeat, np.asarray(values, dtype=np.float64)))

    def relabel(self, times: npt.ArrayLike, positions: npt.ArrayLike) -> npt.NDArray[np.int64]:
        """The positions of the decoder's next beats, numbered as the hints hear the bars."""
        out = np.array(positions, dtype=np.int64)
        for k, (time, position) in enumerate(zip(np.asarray(times, dtype=np.float64).tolist(), out.tolist())):
            if self._beats >= LIVE_MIN_BEATS and self._beats % LIVE_EVERY_BEATS == 0:
                self._two, self._shift = self._judge(time)
            meter = max(self._positions[-8:] + [position])  # of the last bars
            if self._two and meter == 4:
                out[k] = (position - 1) % 2 + 1
            elif self._shift:
                out[k] = (position - 1 - self._shift) % meter + 1
            self._beats += 1
            self._times = (self._times + [time])[-LIVE_WINDOW_BEATS:]
            self._positions = (self._positions + [position])[-LIVE_WINDOW_BEATS:]
        self._trim()
        return out

    def _judge(self, now: float) -> tuple[bool, int]:
        """Whether the last beats' bars in 4 are heard as two bars in 2, and else how many beats
        after the decoder's beat 1 they start, judged at ``now``."""
        times = np.array(self._times)
        recent = times >= now - LIVE_WINDOW_SECONDS
        times, positions = times[recent], np.array(self._positions, dtype=np.int64)[recent]
        meter = int(positions.max()) if positions.size else 0
        if meter not in (3, 4):
            return False, 0
        # Stretches fixed by the beats alone, so the same in any blocks.
        first_frame = max(0, round(times[0] * self.fps) - _NEAR_FRAMES)
        end_frame = round(now * self.fps) + 1
        first_chroma = max(0, round(times[0] * CHROMA_FPS))
        end_chroma = max(first_chroma, math.floor((now - self._chroma_lag) * CHROMA_FPS) + 1)
        evidence = BarEvidence(
            self._downbeat[first_frame - self._first_frame : end_frame - self._first_frame], self.fps,
            self._chroma[first_chroma - self._first_chroma : end_chroma - self._first_chroma],
            first_frame=first_frame, first_chroma=first_chroma)
        told, told_meter = evidence.bars(times, positions, meter, self._meter_hint, self._hint)
        if told_meter != meter:
            return True, 0
        return False, int(positions[-1] - told[-1]) % meter

    def _trim(self) -> None:
        """Forget the frames no later judgement reads."""
        # Later windows hold only beats kept or still to come, which fall
        # no earlier than `horizon` before the last frame, and they reach
        # back LIVE_WINDOW_SECONDS from their last beat.
        end = (self._first_frame + self._downbeat.size) / self.fps
        oldest = end - self.horizon - LIVE_WINDOW_SECONDS
        if self._times:
            oldest = max(oldest, self._times[0])
        frame = max(self._first_frame, min(round(oldest * self.fps) - _NEAR_FRAMES,
                                           self._first_frame + self._downbeat.size))
        self._downbeat = self._downbeat[frame - self._first_frame :]
        self._first_frame = frame
        row = max(self._first_chroma, min(round(oldest * CHROMA_FPS), self._first_chroma + self._chroma.shape[0]))
        self._chroma = self._chroma[row - self._first_chroma :]
        self._first_chroma = row


@dataclass(frozen=True)
class _Logistic:
    """A logistic regression on standardised features, saved with their names."""

    mean: np.ndarray
    scale: np.ndarray
    weight: np.ndarray
    bias: float
    threshold: float = 0.5

    names: ClassVar[tuple[str, ...]] = ()
    what: ClassVar[str] = ""

    def _probability(self, values: npt.ArrayLike) -> np.ndarray:
        z = ((np.asarray(values, dtype=np.float64) - self.mean) / self.scale) @ self.weight + self.bias
        return 1.0 / (1.0 + np.exp(-np.clip(z, -100.0, 100.0)))

    def save(self, path: str | Path) -> None:
        """Write the parameters, with the feature names, as an ``.npz`` file."""
        np.savez(path, mean=self.mean, scale=self.scale, weight=self.weight, bias=np.float64(self.bias),
                 threshold=np.float64(self.threshold), features=json.dumps(self.names))

    @classmethod
    def load(cls, path: str | Path) -> Self:
        """Load parameters saved by :meth:`save`; refused if measured on other features."""
        with np.load(path, allow_pickle=False) as data:
            if tuple(json.loads(str(data["features"]))) != cls.names:
                raise ValueError(f"{path}: the {cls.what} was trained on other features")
            return cls(data["mean"], data["scale"], data["weight"], float(data["bias"]), float(data["threshold"]))


class MeterHint(_Logistic):
    """A logistic regression on standardised :data:`FEATURES`: the probability of two beats to the bar.

    A piece is told in 2 when that probability exceeds ``threshold``.
    """

    names = FEATURES
    what = "meter hint"

    def probability_of_two(self, values: npt.ArrayLike) -> float:
        """The probability that a piece decoded in 4 has two beats to the bar."""
        return float(self._probability(values))


class PhaseHint(_Logistic):
    """A logistic regression on standardised :data:`PHASE_FEATURES`: the probability that a bar
    starts on another of its decoded beats.

    A bar moves to its likeliest other start when that probability exceeds ``threshold``.
    """

    names = PHASE_FEATURES
    what = "phase hint"

    def probabilities(self, rows: npt.ArrayLike) -> np.ndarray:
        """For each row of :meth:`BarEvidence.phase_features`, the probability that its beat starts the bar."""
        return np.atleast_1d(self._probability(rows))


@lru_cache(maxsize=None)
def shipped_meter_hint() -> MeterHint:
    """The meter hint shipped with cadentia, loaded once per process."""
    weights = resources.files("cadentia.frontend.network") / "weights" / "meter.npz"
    with resources.as_file(weights) as path:
        return MeterHint.load(path)


@lru_cache(maxsize=None)
def shipped_phase_hint() -> PhaseHint:
    """The phase hint shipped with cadentia, loaded once per process."""
    weights = resources.files("cadentia.frontend.network") / "weights" / "phase.npz"
    with resources.as_file(weights) as path:
        return PhaseHint.load(path)
