"""Downbeat and meter tracking: the bar-pointer model, offline and live.

The beat model's tempo lanes cover one beat; here a lane covers a whole bar.
For every meter (beats per bar) and every beat interval, a bar of
``beats * interval`` position states is laid out contiguously, so that
within a beat the position advances by one state per frame with probability
one: those states are plain shifts for the kernels. Tempo may change only
where one beat ends and the next begins, with the beat model's tempo-change
weights (:func:`cadentia.model.tempo.tempo_change_weights`): the last state of
beat b in lane j reaches the first state of beat b + 1 (wrapping to the
bar's first beat) in every lane i. Tempo changing at beats rather than at
bar lines follows the music, and keeps the boundary states to one per beat.

Meters are disjoint sub-spaces of one model, equally likely a priori, so a
single Viterbi pass decodes beats and downbeats and picks the meter; the
meters compete on how well their downbeat states line up with the downbeat
activation. ``meter_change`` lets the path move to another meter at a bar
line, for pieces that change meter.

There are three observation columns. The first ``1 / observation_lambda``
of every beat is its beat region: the bar's first beat reads the downbeat
column, the other beats the beat column, every other state the no-beat
column. The activation has two values per frame, the probabilities of a
beat that is not a downbeat and of a downbeat (the convention of the joint
beat/downbeat networks, whose three outputs sum to one); the no-beat states
share what is left, as in the beat model, with the same floor.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .options import DEFAULT_FPS, TempoModel, TempoPrior
from .tempo import (
    BEAT_COLUMN,
    NO_BEAT_COLUMN,
    LaneShape,
    check_index,
    check_observation_lambda,
    check_states,
    tempo_lanes,
    tempo_prior_log_weights,
    whole_frame_states,
)

__all__ = [
    "DEFAULT_BEATS_PER_BAR",
    "DEFAULT_METER_CHANGE",
    "DOWNBEAT_COLUMN",
    "NUM_DOWNBEAT_COLUMNS",
    "DownbeatStateSpace",
    "check_meters",
    "downbeat_state_space",
]

# NO_BEAT_COLUMN and BEAT_COLUMN as in the beat model; the downbeat column follows.
DOWNBEAT_COLUMN = 2
NUM_DOWNBEAT_COLUMNS = 3

DEFAULT_BEATS_PER_BAR = (3, 4)
DEFAULT_METER_CHANGE = 0.0


@dataclass(frozen=True, eq=False)
class DownbeatStateSpace(LaneShape):
    """A built bar-pointer state space; see :func:`downbeat_state_space`.

    The arrays are plain writable NumPy arrays because the kernels only
    accept writable buffers; treat them as read-only.
    """

    fps: float
    transition_lambda: float
    observation_lambda: float
    beats_per_bar: tuple[int, ...]  # the meters, in the order of their sub-spaces
    meter_change: float
    intervals: np.ndarray  # int64 (lanes,): beat interval of each lane in frames
    state_meter: np.ndarray  # int64 (N,): beats per bar of every state's meter
    state_beat: np.ndarray  # int64 (N,): beat within the bar, 0 = downbeat
    state_position: np.ndarray  # int64 (N,): frames since the beat began
    state_lane: np.ndarray  # int64 (N,): tempo lane of every state
    beat_region: np.ndarray  # bool (N,): state reads the beat or downbeat column
    ptr: np.ndarray  # uint32 (N+1,)
    pred: np.ndarray  # uint32 (E,)
    prob: np.ndarray  # float32 (E,)
    log_prob: np.ndarray  # float32 (E,)
    columns: np.ndarray  # uint32 (N,)
    initial: np.ndarray = field(repr=False)  # float32 (N,)
    log_initial: np.ndarray = field(repr=False)  # float32 (N,)
    tempo_prior: TempoPrior | None = None
    model: TempoModel | None = field(default=None, repr=False)  # the tempo options it was built from

    @property
    def state_phase(self) -> np.ndarray:
        """Frames since the beat began: the beat model's name for ``state_position``."""
        return self.state_position

    def __repr__(self) -> str:
        lo, hi = self.intervals[-1], self.intervals[0]
        meters = "/".join(str(m) for m in self.beats_per_bar)
        return (
            f"DownbeatStateSpace(meters {meters}, {self.num_lanes} lanes, {self.num_states} states, "
            f"{self.num_edges} edges, {60 * self.fps / lo:.1f}-{60 * self.fps / hi:.1f} BPM "
            f"at {self.fps:g} fps)"
        )


def check_meters(beats_per_bar: Any) -> tuple[int, ...]:
    """The meters as a tuple of distinct whole numbers of at least 2, or ValueError."""
    if isinstance(beats_per_bar, (int, np.integer)) and not isinstance(beats_per_bar, bool):
        beats_per_bar = (beats_per_bar,)
    try:
        meters = tuple(beats_per_bar)
    except TypeError:
        raise ValueError(f"beats_per_bar must be a sequence of integers, got {beats_per_bar!r}") from None
    if not meters:
        raise ValueError("beats_per_bar is empty: give at least one meter")
    for m in meters:
        if isinstance(m, bool) or not isinstance(m, (int, np.integer, float)) or int(m) != m:
            raise ValueError(f"beats per bar must be whole numbers, got {m!r}")
        if m < 2:
            raise ValueError(f"beats per bar must be at least 2 (a bar of one beat has no downbeat), got {m!r}")
    meters = tuple(int(m) for m in meters)
    if len(set(meters)) != len(meters):
        raise ValueError(f"beats_per_bar lists a meter twice: {meters}")
    return meters


def downbeat_state_space(
    fps: float = DEFAULT_FPS,
    *args: Any,
    model: TempoModel | None = None,
    beats_per_bar: Sequence[int] = DEFAULT_BEATS_PER_BAR,
    meter_change: float = DEFAULT_METER_CHANGE,
    **options: Any,
) -> DownbeatStateSpace:
    """Build the bar-pointer state space and its transition model.

    Parameters
    ----------
    fps : float
        Frames per second of the activation.
    *args, model, **options
        The tempo model (:class:`cadentia.model.options.TempoModel`), or its
        fields by position or name, as for
        :func:`cadentia.model.tempo.tempo_state_space`: the tempo grid,
        the tempo-change weights at every beat, and the beat region (the
        first ``1 / observation_lambda`` of every beat).
    beats_per_bar : sequence of int
        The meters to consider, each at least 2.
    meter_change : float
        Probability, at every bar line, of moving to another meter (spread
        evenly over the others); 0 keeps each path in one meter.

    Returns
    -------
    DownbeatStateSpace
        With the defaults (55-215 BPM at 100 fps, meters 3 and 4): 82 lanes,
        39,319 states, 574 beat-start states and 11,543 tempo-change edges.

    Raises
    ------
    ValueError
        On a bad option, or when the model needs more states than cadentia
        builds (2**25) or more edges than the kernels' 32-bit indices reach
        (checked before it is built).

    Notes
    -----
    The tempo prior acts as in the beat model: every edge into the first
    state of a beat in lane i is weighted by the prior for one beat at that
    lane's tempo, so the cost accrues per second; the initial distribution
    is weighted by the prior density.
    """
    model = TempoModel.of(model, *args, **options)
    meters = check_meters(beats_per_bar)
    meter_change = float(meter_change)
    if not (math.isfinite(meter_change) and 0 <= meter_change < 1):
        raise ValueError(f"meter_change must lie in [0, 1), got {meter_change!r}")
    observation_lambda = check_observation_lambda(model.observation_lambda)
    prior = model.tempo_prior
    bar_beats = sum(meters)
    if model.num_tempi is None:
        # Every whole-frame interval: count the states before listing the lanes.
        check_states("downbeat model", bar_beats * whole_frame_states(fps, model))
    # weight[j, i]: from the last state of a beat in lane j to the first of the next beat in lane i.
    intervals, weight = tempo_lanes(fps, model)
    fps = float(fps)
    num_lanes = int(intervals.shape[0])
    num_states = check_states("downbeat model", bar_beats * int(intervals.sum()))
    src_lane, dst_lane = np.nonzero(weight)
    num_heads = bar_beats * num_lanes  # beat-start states
    num_meters = len(meters)
    crossings = num_meters * (num_meters - 1) if meter_change > 0 else 0
    num_boundary = (bar_beats + crossings) * src_lane.size
    num_edges = _check_index("transitions", num_states - num_heads + num_boundary)

    # Blocks of one bar each, meter-major, then lane, then beat, then position.
    meter_arr = np.asarray(meters, dtype=np.int64)
    block_size = (meter_arr[:, np.newaxis] * intervals[np.newaxis, :]).reshape(-1)
    block_start = np.concatenate(([0], np.cumsum(block_size)[:-1])).astype(np.int64)
    block = np.repeat(np.arange(block_size.size, dtype=np.int64), block_size)
    state_lane = block % num_lanes
    state_meter_index = block // num_lanes
    offset = np.arange(num_states, dtype=np.int64) - block_start[block]
    lane_interval = intervals[state_lane]
    state_beat = offset // lane_interval
    state_position = offset - state_beat * lane_interval
    # position / interval < 1 / observation_lambda, without a division.
    beat_region = state_position * observation_lambda < lane_interval
    columns = np.where(
        beat_region, np.where(state_beat == 0, DOWNBEAT_COLUMN, BEAT_COLUMN), NO_BEAT_COLUMN
    ).astype(np.uint32)

    def first_of_beat(meter: int, lane: np.ndarray, beat: int) -> np.ndarray:
        return block_start[meter * num_lanes + lane] + beat * intervals[lane]

    # Tempo-change edges, with their weights. The prior charges one beat at
    # the destination lane's tempo on every edge that starts a beat.
    prior_log = tempo_prior_log_weights(60.0 * fps / intervals, intervals / fps, prior)
    edge_weight = weight[src_lane, dst_lane] * np.exp(prior_log[dst_lane])
    dst_parts, src_parts, weight_parts = [], [], []
    for k, m in enumerate(meters):
        for b in range(m):
            dst_parts.append(first_of_beat(k, dst_lane, b))
            # The last state of the beat before: one frame before the first state of beat b.
            src_parts.append(first_of_beat(k, src_lane, (b - 1) % m + 1) - 1)
            stay = 1.0 - meter_change if b == 0 else 1.0
            weight_parts.append(edge_weight * stay)
            if b == 0 and crossings:
                for k2, m2 in enumerate(meters):
                    if k2 != k:
                        dst_parts.append(first_of_beat(k, dst_lane, 0))
                        src_parts.append(first_of_beat(k2, src_lane, m2) - 1)
                        weight_parts.append(edge_weight * (meter_change / (num_meters - 1)))
    interior = np.flatnonzero(state_position != 0)
    dst = np.concatenate(dst_parts + [interior])
    src = np.concatenate(src_parts + [interior - 1])
    prob = np.concatenate(weight_parts + [np.ones(interior.size)])
    # CSR by destination, sources ascending within a destination.
    order = np.lexsort((src, dst))
    dst, src, prob = dst[order], src[order], prob[order]
    assert dst.size == num_edges
    ptr = np.zeros(num_states + 1, dtype=np.int64)
    np.cumsum(np.bincount(dst, minlength=num_states), out=ptr[1:])

    # Uniform over meters, then over each meter's states (weighted by the prior).
    if prior is None:
        initial = np.ones(num_states)
    else:
        initial = np.exp(prior.log_density(60.0 * fps / lane_interval))
    meter_total = np.bincount(state_meter_index, weights=initial, minlength=num_meters)
    initial = initial / (meter_total[state_meter_index] * num_meters)
    # A narrow tempo prior can take a weight to 0: its log is -inf, a path never taken.
    with np.errstate(divide="ignore"):
        log_prob, log_initial = np.log(prob).astype(np.float32), np.log(initial).astype(np.float32)
    return DownbeatStateSpace(
        fps=fps,
        transition_lambda=float(model.transition_lambda),
        observation_lambda=observation_lambda,
        beats_per_bar=meters,
        meter_change=meter_change,
        intervals=intervals,
        state_meter=meter_arr[state_meter_index],
        state_beat=state_beat,
        state_position=state_position,
        state_lane=state_lane,
        beat_region=beat_region,
        ptr=ptr.astype(np.uint32),
        pred=src.astype(np.uint32),
        prob=prob.astype(np.float32),
        log_prob=log_prob,
        columns=columns,
        initial=initial.astype(np.float32),
        log_initial=log_initial,
        tempo_prior=prior,
        model=model,
    )


def _check_index(what: str, count: int) -> int:
    return check_index("downbeat model", what, count)
