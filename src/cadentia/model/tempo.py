"""The tempo/phase state space of the beat tracker, as arrays for the kernels.

Every beat interval the tracker may follow (in whole frames) gets a *lane*:
that many phase states laid out contiguously, one per frame of the beat
period. Inside a lane the phase advances from state s-1 to s with
probability 1, so almost every state is a plain shift and the kernels treat
it as such. Only the first state of a lane has several predecessors: the
last states of all lanes, weighted by how close their tempo is, so tempo can
change only at a beat.

The first ``interval / observation_lambda`` phases of a lane form its beat
region and read the beat observation column; the rest read the no-beat
column.

The transition model is emitted in compressed-sparse-row form by destination
state (``ptr``, ``pred``) in the dtypes the kernels take: uint32 indices and
float32 weights, both as log-probabilities (offline Viterbi) and as
probabilities (streaming forward decoder).

A tempo prior (:class:`TempoPrior`) resolves tempo octaves: music that fits
a beat at 70 BPM fits one at 140 BPM nearly as well, and listeners settle
the question by preferring tempi near the middle of the usual range. The
prior is log-normal in tempo and acts as a cost per second spent at a tempo,
charged on the edges into a lane's beat state (interior edges stay plain
phase advances, which the kernels rely on for speed). It has to act on every
beat: renormalising each source's outgoing weights would cancel a smooth
prior on the destination, and a prior on the initial distribution alone is
outweighed after a few seconds of music. Charging it per beat instead of per
second would favour slow lanes, which have fewer beats. The kernels do not
need a source's weights to sum to one: the Viterbi decoder only compares
scores and the forward decoder normalises its belief every frame.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from .options import DEFAULT_FPS, DEFAULT_TEMPO_PRIOR, TempoModel, TempoPrior, as_tempo_prior

__all__ = [
    "NO_BEAT_COLUMN",
    "BEAT_COLUMN",
    "NUM_COLUMNS",
    "DEFAULT_TEMPO_PRIOR",
    "TempoModel",
    "TempoPrior",
    "LaneShape",
    "TempoStateSpace",
    "as_tempo_prior",
    "beat_intervals",
    "check_index",
    "check_states",
    "tempo_change_weights",
    "tempo_lanes",
    "tempo_prior_log_weights",
    "tempo_state_space",
    "whole_frame_states",
]

NO_BEAT_COLUMN = 0
BEAT_COLUMN = 1
NUM_COLUMNS = 2

# The kernels index states and edges with 32-bit signed integers.
_MAX_INDEX = 2**31 - 1


def check_index(model: str, what: str, count: int) -> int:
    """``count`` if the kernels' 32-bit indices reach it, else ValueError."""
    if count > _MAX_INDEX:
        raise ValueError(
            f"the {model} needs {count:,} {what}, more than the kernels' 32-bit indices "
            f"reach ({_MAX_INDEX:,}); narrow the tempo range, lower fps or set num_tempi"
        )
    return count


# Building a model takes some hundred bytes per state and decoding a frame
# visits every state, so a model thousands of times the size of the default
# ones (5,617 states for beats, 39,319 for downbeats in 3 and 4) comes from
# an fps or tempo range far off: it is refused before memory runs out.
_MAX_STATES = 2**25


def check_states(model: str, count: int) -> int:
    """``count`` if a model of that many states is built, else ValueError."""
    check_index(model, "states", count)
    if count > _MAX_STATES:
        raise ValueError(
            f"the {model} needs {count:,} states, more than cadentia builds ({_MAX_STATES:,}); "
            "narrow the tempo range, lower fps or set num_tempi"
        )
    return count


def whole_frame_states(fps: float, model: TempoModel) -> int:
    """States in one beat of every lane when ``model.num_tempi`` is None, counted before listing them."""
    shortest, longest = (int(x) for x in beat_intervals(fps, model.min_bpm, model.max_bpm, 2)[[0, -1]])
    return (shortest + longest) * (longest - shortest + 1) // 2


def tempo_prior_log_weights(
    bpm: npt.ArrayLike,
    seconds: npt.ArrayLike,
    tempo_prior: TempoPrior | tuple[float, float] | None = DEFAULT_TEMPO_PRIOR,
) -> np.ndarray:
    """Log-weights to add to the edges that start a stretch at each tempo.

    Parameters
    ----------
    bpm : array_like
        Tempo of each destination lane, in beats per minute.
    seconds : array_like
        How long one pass through the lane lasts (one beat for the tempo
        model, one bar for a bar-pointer model).
    tempo_prior : TempoPrior, (centre_bpm, width) or None
        The prior; None gives zeros (no prior).

    Returns
    -------
    numpy.ndarray
        float64 log-weights (<= 0), broadcast from ``bpm`` and ``seconds``.
        Add them to the log-weights of every edge into a lane's first state
        (multiply the probabilities by their exponential); the cost then
        accrues with time spent at a tempo, whatever the lane length.
    """
    prior = as_tempo_prior(tempo_prior)
    bpm, seconds = np.broadcast_arrays(np.asarray(bpm, np.float64), np.asarray(seconds, np.float64))
    if prior is None:
        return np.zeros(bpm.shape)
    return prior.log_weights(bpm, seconds)


def tempo_change_weights(
    intervals: npt.ArrayLike,
    transition_lambda: float = TempoModel.transition_lambda,
    transition_threshold: float = TempoModel.transition_threshold,
) -> np.ndarray:
    """Lane-to-lane tempo-change probabilities.

    Parameters
    ----------
    intervals : array_like
        Beat interval of every lane (frames, or any unit common to all).
    transition_lambda : float
        How strongly tempo changes are penalised (>= 0).
    transition_threshold : float
        Weights below this times the same-tempo weight are dropped.

    Returns
    -------
    numpy.ndarray
        float64 ``weight[j, i]``, the probability of moving from lane j to
        lane i at a beat: proportional to
        ``exp(-transition_lambda * |intervals[i] / intervals[j] - 1|)``,
        pruned, each row normalised to sum to one.
    """
    intervals = np.asarray(intervals, dtype=np.float64)
    if intervals.ndim != 1 or intervals.size == 0 or not (intervals > 0).all():
        raise ValueError("intervals must be a non-empty 1-D array of positive values")
    transition_lambda = float(transition_lambda)
    if not math.isfinite(transition_lambda) or transition_lambda < 0:
        raise ValueError(f"transition_lambda must be finite and >= 0, got {transition_lambda!r}")
    transition_threshold = float(transition_threshold)
    if not 0 <= transition_threshold < 1:
        raise ValueError(f"transition_threshold must lie in [0, 1), got {transition_threshold!r}")
    ratio = intervals[np.newaxis, :] / intervals[:, np.newaxis]
    weight = np.exp(-transition_lambda * np.abs(ratio - 1.0))
    weight[weight < transition_threshold] = 0.0  # the diagonal is 1 and always stays
    weight /= weight.sum(axis=1, keepdims=True)
    return weight


class LaneShape:
    """What the state spaces of beats and bars share: sizes, and the tempo of every state."""

    fps: float
    intervals: npt.NDArray[np.int64]  # beat interval of each lane in frames
    state_lane: npt.NDArray[np.int64]  # lane of every state
    pred: npt.NDArray[np.uint32]
    columns: npt.NDArray[np.uint32]

    @property
    def num_states(self) -> int:
        return int(self.columns.shape[0])

    @property
    def num_lanes(self) -> int:
        return int(self.intervals.shape[0])

    @property
    def num_edges(self) -> int:
        return int(self.pred.shape[0])

    @property
    def state_bpm(self) -> npt.NDArray[np.float64]:
        """Tempo in beats per minute of every state's lane."""
        return 60.0 * self.fps / self.intervals[self.state_lane]


@dataclass(frozen=True, eq=False)
class TempoStateSpace(LaneShape):
    """A built tempo state space; see :func:`tempo_state_space`.

    The arrays are plain writable NumPy arrays because the kernels only
    accept writable buffers; treat them as read-only.
    """

    fps: float
    transition_lambda: float
    observation_lambda: float
    intervals: np.ndarray  # int64 (lanes,): beat interval of each lane in frames
    first_states: np.ndarray  # int64 (lanes,): the beat state of each lane
    state_lane: np.ndarray  # int64 (N,): lane of every state
    state_phase: np.ndarray  # int64 (N,): frames since the lane's beat state
    beat_region: np.ndarray  # bool (N,): state reads the beat column
    ptr: np.ndarray  # uint32 (N+1,)
    pred: np.ndarray  # uint32 (E,)
    prob: np.ndarray  # float32 (E,)
    log_prob: np.ndarray  # float32 (E,)
    columns: np.ndarray  # uint32 (N,)
    initial: np.ndarray = field(repr=False)  # float32 (N,), uniform
    log_initial: np.ndarray = field(repr=False)  # float32 (N,)
    tempo_prior: TempoPrior | None = None
    model: TempoModel | None = field(default=None, repr=False)  # the options it was built from

    @property
    def last_states(self) -> npt.NDArray[np.int64]:
        return self.first_states + self.intervals - 1

    def __repr__(self) -> str:
        lo, hi = self.intervals[-1], self.intervals[0]
        return (
            f"TempoStateSpace({self.num_lanes} lanes, {self.num_states} states, "
            f"{self.num_edges} edges, {60 * self.fps / lo:.1f}-{60 * self.fps / hi:.1f} BPM "
            f"at {self.fps:g} fps)"
        )


def check_observation_lambda(observation_lambda: float) -> float:
    """``observation_lambda`` as a float, or ValueError unless finite and above 1."""
    value = float(observation_lambda)
    if not math.isfinite(value) or value <= 1:
        raise ValueError(f"observation_lambda must be finite and > 1, got {observation_lambda!r}")
    return value


def _check_positive(name: str, value: float) -> float:
    value = float(value)
    if not math.isfinite(value) or value <= 0:
        raise ValueError(f"{name} must be a positive finite number, got {value!r}")
    return value


def beat_intervals(
    fps: float = DEFAULT_FPS,
    min_bpm: float = TempoModel.min_bpm,
    max_bpm: float = TempoModel.max_bpm,
    num_tempi: int | None = None,
) -> np.ndarray:
    """Beat intervals in frames, ascending, for the tempo range.

    Parameters
    ----------
    fps : float
        Frames per second.
    min_bpm, max_bpm : float
        The tempo range in beats per minute.
    num_tempi : int, optional
        That many logarithmically spaced intervals, rounded to whole frames
        with duplicates removed; None gives every whole-frame interval from
        the fastest to the slowest tempo.

    Returns
    -------
    numpy.ndarray
        int64 intervals in frames.
    """
    fps = _check_positive("fps", fps)
    min_bpm = _check_positive("min_bpm", min_bpm)
    max_bpm = _check_positive("max_bpm", max_bpm)
    if min_bpm >= max_bpm:
        raise ValueError(f"min_bpm ({min_bpm:g}) must be below max_bpm ({max_bpm:g})")
    shortest = round(60.0 * fps / max_bpm)
    longest = round(60.0 * fps / min_bpm)
    if shortest < 1:
        raise ValueError(
            f"max_bpm {max_bpm:g} is too fast for {fps:g} frames per second: "
            "a beat must last at least one frame"
        )
    if num_tempi is None:
        return np.arange(shortest, longest + 1, dtype=np.int64)
    if isinstance(num_tempi, bool) or int(num_tempi) != num_tempi or num_tempi < 1:
        raise ValueError(f"num_tempi must be a positive integer, got {num_tempi!r}")
    spaced = np.geomspace(shortest, longest, int(num_tempi))
    return np.unique(np.round(spaced).astype(np.int64))


def tempo_lanes(fps: float, model: TempoModel) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The tempo lanes of a model, as the beat and the bar-pointer models share them.

    Parameters
    ----------
    fps : float
        Frames per second.
    model : TempoModel
        The tempo range, grid and tempo-change options.

    Returns
    -------
    intervals : numpy.ndarray
        int64 beat interval of every lane, in frames (:func:`beat_intervals`).
    weight : numpy.ndarray
        float64 ``weight[j, i]``, the probability of moving from lane j to
        lane i at a beat (:func:`tempo_change_weights`).
    """
    intervals = beat_intervals(fps, model.min_bpm, model.max_bpm, model.num_tempi)
    return intervals, tempo_change_weights(intervals, model.transition_lambda, model.transition_threshold)


def tempo_state_space(
    fps: float = DEFAULT_FPS, *args: Any, model: TempoModel | None = None, **options: Any
) -> TempoStateSpace:
    """Build the tempo state space and its transition model.

    Parameters
    ----------
    fps : float
        Frames per second of the activation.
    *args, model, **options
        A :class:`TempoModel` (``model=``), or its fields by position
        (``min_bpm``, ``max_bpm``, ``num_tempi``, ...) or by name.

    Returns
    -------
    TempoStateSpace
        The lanes, the per-state fields and the transition model in the
        kernels' dtypes.

    Raises
    ------
    ValueError
        An option is out of range, or the model needs more states than
        cadentia builds (2**25, checked before it is built) or more edges
        than the kernels' 32-bit indices reach.

    Notes
    -----
    ``transition_lambda`` sets how strongly tempo changes are penalised: the
    last state of lane j reaches the first state of lane i with probability
    proportional to ``exp(-transition_lambda * |interval_i / interval_j - 1|)``,
    normalised over i; weights below ``transition_threshold`` times the
    same-tempo weight are dropped before normalising. A fraction
    ``1 / observation_lambda`` of every lane is its beat region.

    ``tempo_prior`` (a :class:`TempoPrior` or a ``(centre_bpm, width)``
    pair) multiplies every edge into the first state of lane i by
    ``exp(tempo_prior_log_weights(bpm_i, interval_i / fps))`` and weights the
    initial distribution by ``exp(log_density(bpm_i))``; the edges out of a
    lane then sum to less than one, a cost per second spent away from the
    centre tempo. ``None`` gives the plain model: a uniform initial
    distribution and normalised tempo changes.

    With the defaults (55-215 BPM at 100 fps) this is 82 lanes and 5,617
    states.

    Measured on the rendered evaluation set (README, "Tempo prior"): the
    default prior leaves the share of pieces with the right tempo octave
    (88 %) and offline F (0.942 without, 0.941 with) as they are and lifts
    live F from 0.909 to 0.911; narrower priors trade one octave error for
    another.
    """
    model = TempoModel.of(model, *args, **options)
    prior = model.tempo_prior
    observation_lambda = check_observation_lambda(model.observation_lambda)
    if model.num_tempi is None:
        check_states("tempo model", whole_frame_states(fps, model))
    # weight[j, i]: from the last state of lane j to the first state of lane i.
    intervals, weight = tempo_lanes(fps, model)
    fps = float(fps)
    transition_lambda = float(model.transition_lambda)

    num_lanes = intervals.shape[0]
    num_states = check_states("tempo model", int(intervals.sum()))

    first_states = np.concatenate(([0], np.cumsum(intervals)[:-1])).astype(np.int64)
    last_states = first_states + intervals - 1
    state_lane = np.repeat(np.arange(num_lanes, dtype=np.int64), intervals)
    state_phase = np.arange(num_states, dtype=np.int64) - first_states[state_lane]
    # phase / interval < 1 / observation_lambda, without a division.
    beat_region = state_phase * observation_lambda < intervals[state_lane]
    columns = np.where(beat_region, BEAT_COLUMN, NO_BEAT_COLUMN).astype(np.uint32)

    # CSR by destination. A lane's first state takes the edges of one column
    # of `weight` (sources ascending); every other state has the single edge
    # from s-1 with probability 1.
    into_lane = weight.T  # into_lane[i, j] = weight[j, i]
    num_in = np.ones(num_states, dtype=np.int64)
    num_in[first_states] = np.count_nonzero(into_lane, axis=1)
    ptr = np.zeros(num_states + 1, dtype=np.int64)
    np.cumsum(num_in, out=ptr[1:])
    num_edges = check_index("tempo model", "transitions", int(ptr[-1]))

    pred = np.arange(-1, num_states - 1, dtype=np.int64)  # the s-1 edge of each state
    pred = np.repeat(pred, num_in)
    prob = np.ones(num_edges, dtype=np.float64)
    lane_to, lane_from = np.nonzero(into_lane)  # row-major: by destination, then source
    edge = ptr[first_states[lane_to]] + _rank_within(lane_to)
    pred[edge] = last_states[lane_from]
    prob[edge] = into_lane[lane_to, lane_from]

    log_prob = np.log(prob, dtype=np.float64)
    if prior is None:
        initial = np.full(num_states, 1.0 / num_states)
    else:
        lane_bpm = 60.0 * fps / intervals
        entry = tempo_prior_log_weights(lane_bpm, intervals / fps, prior)
        log_prob[edge] += entry[lane_to]
        prob[edge] *= np.exp(entry[lane_to])
        initial = np.exp(prior.log_density(lane_bpm))[state_lane]
        initial /= initial.sum()
    return TempoStateSpace(
        fps=fps,
        transition_lambda=transition_lambda,
        observation_lambda=observation_lambda,
        intervals=intervals,
        first_states=first_states,
        state_lane=state_lane,
        state_phase=state_phase,
        beat_region=beat_region,
        ptr=ptr.astype(np.uint32),
        pred=pred.astype(np.uint32),
        prob=prob.astype(np.float32),
        log_prob=log_prob.astype(np.float32),
        columns=columns,
        initial=initial.astype(np.float32),
        log_initial=np.log(initial).astype(np.float32),
        tempo_prior=prior,
        model=model,
    )


def _rank_within(groups: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
    """Position of each element within its run of equal, sorted group labels."""
    starts: npt.NDArray[np.int64] = np.flatnonzero(np.concatenate(([True], groups[1:] != groups[:-1])))
    counts = np.asarray(np.diff(np.concatenate((starts, [groups.shape[0]]))), dtype=np.int64)
    return np.arange(groups.shape[0]) - np.repeat(starts, counts)
