"""Downbeat and meter tracking: the bar-pointer model, offline and live.

The beat model's tempo lanes cover one beat; here a lane covers a whole bar.
For every meter (beats per bar) and every beat interval, a bar of
``beats * interval`` position states is laid out contiguously, so that
within a beat the position advances by one state per frame with probability
one: those states are plain shifts for the kernels. Tempo may change only
where one beat ends and the next begins, with the beat model's tempo-change
weights (:func:`cadentia.statespace.tempo_change_weights`): the last state of
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

import numpy as np
import numpy.typing as npt

from .model import _kernels
from .observation import MIN_DENSITY
from .statespace import (
    BEAT_COLUMN,
    DEFAULT_FPS,
    DEFAULT_MAX_BPM,
    DEFAULT_MIN_BPM,
    DEFAULT_OBSERVATION_LAMBDA,
    DEFAULT_TEMPO_PRIOR,
    DEFAULT_TRANSITION_LAMBDA,
    DEFAULT_TRANSITION_THRESHOLD,
    NO_BEAT_COLUMN,
    _MAX_INDEX,
    TempoPrior,
    TempoStateSpace,
    as_tempo_prior,
    beat_intervals,
    tempo_change_weights,
    tempo_prior_log_weights,
)
from .tracker import BEAT_PLACEMENTS, _ForwardStream, beats_from_path

__all__ = [
    "DOWNBEAT_COLUMN",
    "NUM_DOWNBEAT_COLUMNS",
    "DEFAULT_BEATS_PER_BAR",
    "DEFAULT_METER_CHANGE",
    "DownbeatStateSpace",
    "DownbeatTrack",
    "DownbeatStream",
    "check_downbeat_activation",
    "downbeat_observation_densities",
    "downbeat_state_space",
    "track_downbeats",
]

# NO_BEAT_COLUMN and BEAT_COLUMN as in the beat model; the downbeat column follows.
DOWNBEAT_COLUMN = 2
NUM_DOWNBEAT_COLUMNS = 3

DEFAULT_BEATS_PER_BAR = (3, 4)
DEFAULT_METER_CHANGE = 0.0
# A joint network's three softmax outputs can sum a few float32 roundings
# above one; rows further above are a different convention or a mistake.
_ROW_SUM_TOLERANCE = 1e-6


@dataclass(frozen=True, eq=False)
class DownbeatStateSpace:
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

    # The beat model's accessors read fields of the same names and meaning.
    num_states = TempoStateSpace.num_states
    num_lanes = TempoStateSpace.num_lanes
    num_edges = TempoStateSpace.num_edges
    state_bpm = TempoStateSpace.state_bpm

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


def _check_meters(beats_per_bar) -> tuple[int, ...]:
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
    min_bpm: float = DEFAULT_MIN_BPM,
    max_bpm: float = DEFAULT_MAX_BPM,
    num_tempi: int | None = None,
    transition_lambda: float = DEFAULT_TRANSITION_LAMBDA,
    observation_lambda: float = DEFAULT_OBSERVATION_LAMBDA,
    transition_threshold: float = DEFAULT_TRANSITION_THRESHOLD,
    beats_per_bar: Sequence[int] = DEFAULT_BEATS_PER_BAR,
    meter_change: float = DEFAULT_METER_CHANGE,
    tempo_prior: TempoPrior | tuple[float, float] | None = DEFAULT_TEMPO_PRIOR,
) -> DownbeatStateSpace:
    """Build the bar-pointer state space and its transition model.

    Parameters
    ----------
    fps, min_bpm, max_bpm, num_tempi
        The tempo grid, as :func:`cadentia.statespace.beat_intervals` builds it.
    transition_lambda, transition_threshold
        The tempo-change weights at every beat, as in the beat model
        (:func:`cadentia.statespace.tempo_change_weights`).
    observation_lambda : float
        The first ``1 / observation_lambda`` of every beat is its beat region.
    beats_per_bar : sequence of int
        The meters to consider, each at least 2.
    meter_change : float
        Probability, at every bar line, of moving to another meter (spread
        evenly over the others); 0 keeps each path in one meter.
    tempo_prior : TempoPrior, (centre_bpm, width) or None
        As in :func:`cadentia.statespace.tempo_state_space`: every edge into
        the first state of a beat in lane i is weighted by the prior for one
        beat at that lane's tempo, so the cost accrues per second as in the
        beat model; the initial distribution is weighted by the prior
        density. None gives the plain model.

    Returns
    -------
    DownbeatStateSpace
        With the defaults (55-215 BPM at 100 fps, meters 3 and 4): 82 lanes,
        39,319 states, 574 beat-start states and 11,543 tempo-change edges.

    Raises
    ------
    ValueError
        On a bad option, or when the model needs more states or edges than
        the kernels' 32-bit indices reach (checked before it is built).
    """
    meters = _check_meters(beats_per_bar)
    meter_change = float(meter_change)
    if not (math.isfinite(meter_change) and 0 <= meter_change < 1):
        raise ValueError(f"meter_change must lie in [0, 1), got {meter_change!r}")
    observation_lambda = float(observation_lambda)
    if not math.isfinite(observation_lambda) or observation_lambda <= 1:
        raise ValueError(f"observation_lambda must be finite and > 1, got {observation_lambda!r}")
    prior = as_tempo_prior(tempo_prior)
    bar_beats = sum(meters)
    if num_tempi is None:
        # Every whole-frame interval: count the states before listing the lanes.
        shortest, longest = (int(x) for x in beat_intervals(fps, min_bpm, max_bpm, 2)[[0, -1]])
        _check_index("states", bar_beats * (shortest + longest) * (longest - shortest + 1) // 2)
    intervals = beat_intervals(fps, min_bpm, max_bpm, num_tempi)
    fps = float(fps)
    num_lanes = int(intervals.shape[0])
    num_states = _check_index("states", bar_beats * int(intervals.sum()))
    # weight[j, i]: from the last state of a beat in lane j to the first of the next beat in lane i.
    weight = tempo_change_weights(intervals, transition_lambda, transition_threshold)
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
    return DownbeatStateSpace(
        fps=fps,
        transition_lambda=float(transition_lambda),
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
        log_prob=np.log(prob).astype(np.float32),
        columns=columns,
        initial=initial.astype(np.float32),
        log_initial=np.log(initial).astype(np.float32),
        tempo_prior=prior,
    )


def _check_index(what: str, count: int) -> int:
    if count > _MAX_INDEX:
        raise ValueError(
            f"the downbeat model needs {count:,} {what}, more than the kernels' 32-bit indices "
            f"reach ({_MAX_INDEX:,}); narrow the tempo range, lower fps or set num_tempi"
        )
    return count


def check_downbeat_activation(
    activation: npt.ArrayLike,
    name: str = "activation",
    *,
    beat_includes_downbeats: bool = False,
) -> np.ndarray:
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
    try:
        values = np.array(activation, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise ValueError(f"{name} must be numeric: {exc}") from None
    if values.ndim != 2 or values.shape[1] != 2:
        raise ValueError(
            f"{name} must be two values per frame (beat, downbeat), got shape {values.shape}"
        )
    if values.shape[0] == 0:
        raise ValueError(f"{name} is empty")
    bad = ~np.isfinite(values)
    if bad.any():
        frame = int(np.argmax(bad.any(axis=1)))
        raise ValueError(f"{name} has {int(bad.sum())} non-finite value(s), first at frame {frame}")
    if values.min() < 0 or values.max() > 1:
        raise ValueError(
            f"{name} values must lie in [0, 1], got range [{values.min():.6g}, {values.max():.6g}]"
        )
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
    observation_lambda: float = DEFAULT_OBSERVATION_LAMBDA,
    *,
    log: bool = False,
    beat_includes_downbeats: bool = False,
    min_density: float = MIN_DENSITY,
) -> np.ndarray:
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
    if not observation_lambda > 1:
        raise ValueError(f"observation_lambda must be > 1, got {observation_lambda!r}")
    return _densities(values, observation_lambda, log, min_density)


def _densities(values: np.ndarray, observation_lambda: float, log: bool, min_density: float = MIN_DENSITY):
    """Densities of a checked activation in the joint convention."""
    dens = np.empty((values.shape[0], NUM_DOWNBEAT_COLUMNS), dtype=np.float64)
    dens[:, BEAT_COLUMN] = values[:, 0]
    dens[:, DOWNBEAT_COLUMN] = values[:, 1]
    rest = np.maximum(1.0 - values[:, 0] - values[:, 1], 0.0)
    dens[:, NO_BEAT_COLUMN] = rest / (observation_lambda - 1.0)
    np.maximum(dens, min_density, out=dens)
    if log:
        np.log(dens, out=dens)
    return np.ascontiguousarray(dens, dtype=np.float32)


@dataclass(frozen=True, eq=False)
class DownbeatTrack:
    """The result of :func:`track_downbeats`.

    Attributes
    ----------
    beats : numpy.ndarray
        float64 beat times in seconds.
    positions : numpy.ndarray
        int64 position of each beat in its bar, 1 = downbeat.
    beats_per_bar : int
        The decoded meter (the one the path spends most frames in).
    tempo : numpy.ndarray
        float64 (frames,), the tempo of the decoded path in BPM.
    path : numpy.ndarray
        int64 (frames,), the decoded state of every frame.
    log_probability : float
        The log score of the path.
    fps : float
        Frames per second of the activation.
    """

    beats: np.ndarray  # float64: beat times in seconds
    positions: np.ndarray  # int64: position of each beat in its bar, 1 = downbeat
    beats_per_bar: int  # the decoded meter (the one the path spends most frames in)
    tempo: np.ndarray  # float64 (frames,): tempo of the decoded path in BPM
    path: np.ndarray  # int64 (frames,): the decoded state of every frame
    log_probability: float  # log score of the path
    fps: float

    @property
    def downbeats(self) -> np.ndarray:
        """Times of the downbeats in seconds."""
        return self.beats[self.positions == 1]

    @property
    def beat_tempo(self) -> np.ndarray:
        """Tempo in BPM at each beat."""
        frames = np.minimum(np.round(self.beats * self.fps).astype(np.int64), self.tempo.size - 1)
        return self.tempo[frames]


def _state_space(
    state_space: DownbeatStateSpace | None, fps: float, beats_per_bar, options: dict
) -> DownbeatStateSpace:
    if state_space is None:
        return downbeat_state_space(fps=fps, beats_per_bar=beats_per_bar, **options)
    if options:
        raise TypeError("give either state_space or model options, not both")
    if beats_per_bar is not DEFAULT_BEATS_PER_BAR and _check_meters(beats_per_bar) != state_space.beats_per_bar:
        raise ValueError(
            f"state_space was built for beats_per_bar {state_space.beats_per_bar}, not {tuple(beats_per_bar)}"
        )
    if state_space.fps != float(fps):
        raise ValueError(f"state_space was built for {state_space.fps:g} fps, not {fps:g}")
    return state_space


def track_downbeats(
    activation: npt.ArrayLike,
    fps: float = DEFAULT_FPS,
    *,
    beats_per_bar: Sequence[int] = DEFAULT_BEATS_PER_BAR,
    beat_includes_downbeats: bool = False,
    state_space: DownbeatStateSpace | None = None,
    placement: str = "peak",
    **options,
) -> DownbeatTrack:
    """Track beats, downbeats and the meter of a whole activation offline.

    Parameters
    ----------
    activation : array_like, shape (frames, 2)
        Per frame, the probability of a beat that is not a downbeat and of a
        downbeat (or, with ``beat_includes_downbeats``, of any beat and of a
        downbeat); see :func:`check_downbeat_activation`.
    fps : float
        Frames per second of the activation.
    beats_per_bar : sequence of int
        The meters to choose from.
    beat_includes_downbeats : bool
        The activation's column 0 includes the downbeats.
    state_space : DownbeatStateSpace, optional
        A prebuilt model, instead of ``beats_per_bar`` and ``options``.
    placement : {"peak", "state"}
        Where each beat goes within its visit of the path to a beat region,
        as for :func:`cadentia.tracker.track_beats`: at the largest
        beat-or-downbeat activation (for a network's activation), or where
        the path enters the beat's first state (for the onset strength of
        audio, which peaks after a note starts).
    **options
        ``min_bpm``, ``max_bpm``, ``num_tempi``, ``transition_lambda``,
        ``observation_lambda``, ``transition_threshold``, ``meter_change``,
        ``tempo_prior``: as :func:`downbeat_state_space` takes them.

    Returns
    -------
    DownbeatTrack
        Beat times, each beat's position in its bar (1 = downbeat), the
        meter and the tempo per frame.

    Examples
    --------
    >>> track = track_downbeats(activation, fps=100)   # doctest: +SKIP
    >>> track.beats_per_bar, track.downbeats[:4]        # doctest: +SKIP
    """
    if placement not in BEAT_PLACEMENTS:
        raise ValueError(f"placement must be one of {BEAT_PLACEMENTS}, got {placement!r}")
    space = _state_space(state_space, fps, beats_per_bar, options)
    values = check_downbeat_activation(activation, beat_includes_downbeats=beat_includes_downbeats)
    log_dens = _densities(values, space.observation_lambda, log=True)
    path, log_probability = _kernels.decode(
        space.pred, space.ptr, space.log_prob, log_dens, space.columns, space.log_initial
    )
    path = np.asarray(path, dtype=np.int64)
    frames = beats_from_path(path, values.sum(axis=1), space, at_peak=placement == "peak")
    meter_frames = np.bincount(space.state_meter[path])
    return DownbeatTrack(
        beats=frames / space.fps,
        positions=space.state_beat[path[frames]] + 1,
        beats_per_bar=int(np.argmax(meter_frames)),
        tempo=space.state_bpm[path],
        path=path,
        log_probability=float(log_probability),
        fps=space.fps,
    )


class DownbeatStream(_ForwardStream):
    """Causal beat and downbeat tracking over an activation arriving in chunks.

    Parameters
    ----------
    fps : float
        Frames per second of the activation.
    beats_per_bar : sequence of int
        The meters to choose from.
    beat_includes_downbeats : bool
        The activation's column 0 includes the downbeats.
    state_space : DownbeatStateSpace, optional
        A prebuilt model, instead of ``beats_per_bar`` and ``options``.
    **options
        As :func:`downbeat_state_space` takes them.

    Notes
    -----
    The forward decoder gives, for every frame, the most probable state given
    the frames so far; a beat is reported once per visit of that state to a
    beat region, at the frame where the state's position says the beat fell,
    with the state's beat in the bar. Nothing looks ahead, and the result
    does not depend on how the activation is cut into chunks.

    Examples
    --------
    >>> stream = DownbeatStream(fps=100)                # doctest: +SKIP
    >>> for chunk in chunks:                           # doctest: +SKIP
    ...     times, positions = stream.process(chunk)
    """

    def __init__(
        self,
        fps: float = DEFAULT_FPS,
        *,
        beats_per_bar: Sequence[int] = DEFAULT_BEATS_PER_BAR,
        beat_includes_downbeats: bool = False,
        state_space: DownbeatStateSpace | None = None,
        **options,
    ) -> None:
        self.beat_includes_downbeats = bool(beat_includes_downbeats)
        space = _state_space(state_space, fps, beats_per_bar, options)
        super().__init__(space, space.state_position)

    @property
    def beats_per_bar(self) -> int | None:
        """Meter of the most recent frame's state, None before any frame."""
        if self._last_state is None:
            return None
        return int(self.state_space.state_meter[self._last_state])

    def process(self, chunk: npt.ArrayLike) -> tuple[np.ndarray, np.ndarray]:
        """Push activation frames; return the newly known beats.

        Parameters
        ----------
        chunk : array_like, shape (frames, 2)
            The next frames of the activation, in the stream's convention.

        Returns
        -------
        times : numpy.ndarray
            float64 beat times in seconds from the start of the stream.
        positions : numpy.ndarray
            int64 position of each beat in its bar, 1 = downbeat.
        """
        if np.size(chunk) == 0:
            return np.zeros(0), np.zeros(0, dtype=np.int64)
        space = self.state_space
        values = check_downbeat_activation(
            chunk, "chunk", beat_includes_downbeats=self.beat_includes_downbeats
        )
        dens = _densities(values, space.observation_lambda, log=False)
        beats, states = self._step(dens)
        positions = [space.state_beat[state] + 1 for state in states]
        return np.asarray(beats, dtype=np.float64) / space.fps, np.asarray(positions, dtype=np.int64)
