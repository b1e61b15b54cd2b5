"""What the beat and the downbeat trackers share.

Both decode a state space whose states carry a lane (a tempo), a phase or
position since the last beat, and a beat region. Offline, the Viterbi
kernel gives the most probable path and every stretch of it in a beat
region is one beat (:func:`beats_from_path`). Live, :class:`ForwardStream`
pushes observation densities through the forward decoder and reports a
beat once per visit of the most probable state to a beat region;
:class:`AudioStream` feeds it a front end's activation of audio blocks.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import replace
from typing import Any, Generic, Protocol, TypeVar

import numpy as np
import numpy.typing as npt

from ..frontend import ActivationStream
from ..model import _kernels
from ..model.options import TempoModel, TempoPrior, into_range

__all__ = [
    "AudioStream",
    "BEAT_PLACEMENTS",
    "ForwardStream",
    "HEARD_TEMPO_HOLD",
    "HEARD_TEMPO_STEP",
    "HEARD_TEMPO_WIDTH",
    "StateSpace",
    "TrackTempo",
    "beats_from_path",
    "check_placement",
    "check_threshold",
    "heard_tempo_models",
    "resolve_state_space",
    "viterbi",
    "within_activity",
]


class StateSpace(Protocol):
    """The fields of a built state space that the trackers read."""

    @property
    def fps(self) -> float: ...
    @property
    def intervals(self) -> npt.NDArray[np.int64]: ...
    @property
    def state_lane(self) -> npt.NDArray[np.int64]: ...
    @property
    def state_phase(self) -> npt.NDArray[np.int64]: ...
    @property
    def state_bpm(self) -> npt.NDArray[np.float64]: ...
    @property
    def beat_region(self) -> npt.NDArray[np.bool_]: ...
    @property
    def ptr(self) -> npt.NDArray[np.uint32]: ...
    @property
    def pred(self) -> npt.NDArray[np.uint32]: ...
    @property
    def prob(self) -> npt.NDArray[np.float32]: ...
    @property
    def log_prob(self) -> npt.NDArray[np.float32]: ...
    @property
    def columns(self) -> npt.NDArray[np.uint32]: ...
    @property
    def initial(self) -> npt.NDArray[np.float32]: ...
    @property
    def log_initial(self) -> npt.NDArray[np.float32]: ...


S = TypeVar("S", bound=StateSpace)
R = TypeVar("R")


def resolve_state_space(
    state_space: S | None, fps: float, build: Callable[..., S], options: dict[str, Any]
) -> S:
    """``state_space`` if it was built for ``fps``, else one built from the options.

    Raises
    ------
    TypeError
        Both a state space and model options.
    ValueError
        The state space was built for another frame rate.
    """
    if state_space is None:
        return build(fps, **options)
    if options:
        raise TypeError("give either state_space or model options, not both")
    if state_space.fps != float(fps):
        raise ValueError(f"state_space was built for {state_space.fps:g} fps, not {fps:g}")
    return state_space


def viterbi(space: StateSpace, log_dens: npt.NDArray[np.float32]) -> tuple[npt.NDArray[np.int64], float]:
    """The most probable state path of the whole observation, and its log score."""
    path, log_probability = _kernels.decode(
        space.pred, space.ptr, space.log_prob, log_dens, space.columns, space.log_initial
    )
    return np.asarray(path, dtype=np.int64), float(log_probability)


class TrackTempo:
    """The tempo at each beat, for results with ``beats``, ``tempo`` per frame and ``fps``."""

    beats: npt.NDArray[np.float64]
    tempo: npt.NDArray[np.float64]
    path: npt.NDArray[np.int64]
    fps: float

    @property
    def frame_times(self) -> npt.NDArray[np.float64]:
        """Time in seconds of every frame."""
        return np.arange(self.path.shape[0]) / self.fps

    @property
    def beat_tempo(self) -> npt.NDArray[np.float64]:
        """Tempo in BPM at each beat."""
        frames = np.minimum(np.round(self.beats * self.fps).astype(np.int64), self.tempo.size - 1)
        return self.tempo[frames]


BEAT_PLACEMENTS = ("peak", "state")


def check_placement(placement: str) -> bool:
    """Whether beats go at the activation peak (True) or where the path enters the beat state."""
    if placement not in BEAT_PLACEMENTS:
        raise ValueError(f"placement must be one of {BEAT_PLACEMENTS}, got {placement!r}")
    return placement == "peak"


def beats_from_path(
    path: npt.NDArray[np.int64], activation: npt.NDArray[np.float64], space: StateSpace, *, at_peak: bool = True
) -> npt.NDArray[np.int64]:
    """Beat frames of a decoded path: one per stretch of frames in a beat region.

    Parameters
    ----------
    path : numpy.ndarray
        The decoded state of every frame.
    activation : numpy.ndarray
        The evidence of a beat at every frame (for bars, beat plus downbeat).
    space : StateSpace
        The model the path was decoded in.
    at_peak : bool
        Place each beat at the frame of the largest activation within its
        stretch (the first such frame on ties), or else at the frame where
        the path was (or, for a stretch cut off by the start, would have
        been) in the lane's beat state.

    Returns
    -------
    numpy.ndarray
        int64 beat frames; a beat that would fall before frame 0 is dropped,
        stretches cut off by the start or end of the sequence count too.
    """
    in_region = space.beat_region[path]
    # A stretch also ends where a lane's beat state is re-entered, in case a
    # beat region ever lasts a whole lane.
    entering = in_region & (space.state_phase[path] == 0)
    starts = np.flatnonzero(in_region & (np.concatenate(([True], ~in_region[:-1])) | entering))
    if starts.size == 0:
        return np.zeros(0, dtype=np.int64)
    if not at_peak:
        frames = starts - space.state_phase[path[starts]]
        return frames[frames >= 0]
    marks = np.zeros(path.size, dtype=np.int64)
    marks[starts] = 1
    stretch = np.cumsum(marks) - 1
    frames = np.flatnonzero(in_region)
    ids = stretch[frames]
    # Argmax per stretch: sort by (stretch, -activation, frame) and keep the first of each.
    order = np.lexsort((frames, -activation[frames], ids))
    first = np.concatenate(([True], ids[order][1:] != ids[order][:-1]))
    return frames[order][first]


# A beat this close outside the active span still counts as inside it (the
# peak of a soft first or last beat may sit a frame or two from where its
# activation first or last reaches the threshold).
ACTIVITY_TOLERANCE = 0.05


def check_threshold(threshold: float) -> float:
    """``threshold`` as a float in [0, 1]; ValueError otherwise."""
    value = float(threshold)
    if not 0.0 <= value <= 1.0:  # also rejects NaN
        raise ValueError(f"threshold must be in [0, 1], got {threshold!r}")
    return value


def within_activity(
    frames: npt.NDArray[np.int64], activity: npt.NDArray[np.float64], threshold: float, fps: float
) -> npt.NDArray[np.bool_]:
    """Which beat frames lie in the active span of a piece.

    The span runs from the first frame whose ``activity`` reaches
    ``threshold`` to the last, widened by ``ACTIVITY_TOLERANCE`` seconds on
    both sides. A threshold of 0 keeps every beat; an activation that never
    reaches the threshold keeps none.
    """
    if threshold <= 0.0:
        return np.ones(frames.shape, dtype=bool)
    active = np.flatnonzero(activity >= threshold)
    if active.size == 0:
        return np.zeros(frames.shape, dtype=bool)
    tolerance = round(ACTIVITY_TOLERANCE * fps)
    return (frames >= active[0] - tolerance) & (frames <= active[-1] + tolerance)


# Live, a tempo heard as the music goes (the causal network's tempo head)
# steers the decoder: beside the model's own decoder, one per tempo prior
# HEARD_TEMPO_WIDTH octaves wide, centred at most HEARD_TEMPO_STEP octaves
# apart across the model's range, and each frame's state is that of the
# decoder centred nearest the tempo heard by then (moved into the range by
# octaves, as offline). The decoder in use changes only when the tempo
# heard strays more than HEARD_TEMPO_HOLD octaves from its centre: a heard
# tempo wavering between two neighbouring centres keeps one decoder, whose
# beats do not jump, and a heard octave still moves it. Chosen on the
# validation split and on produced game music (see the model card).
HEARD_TEMPO_STEP = 1.0 / 3.0
HEARD_TEMPO_WIDTH = 0.3
HEARD_TEMPO_HOLD = 0.5


def heard_tempo_models(model: TempoModel) -> tuple[npt.NDArray[np.float64], tuple[TempoModel, ...]]:
    """The centres of the tempo priors of a model's heard-tempo decoders, and their models.

    Each model is ``model`` with its tempo prior combined with one
    ``HEARD_TEMPO_WIDTH`` octaves wide at the centre (or that one alone).
    """
    octaves = math.log2(model.max_bpm / model.min_bpm)
    count = math.ceil(octaves / HEARD_TEMPO_STEP - 1e-9) + 1
    centres = model.min_bpm * 2.0 ** np.linspace(0.0, octaves, count)
    models = []
    for centre in centres:
        heard = TempoPrior(float(centre), HEARD_TEMPO_WIDTH)
        prior = heard if model.tempo_prior is None else model.tempo_prior.combine(heard)
        models.append(replace(model, tempo_prior=prior))
    return centres, tuple(models)


class ForwardStream(Generic[S]):
    """What the live trackers on the forward decoder share.

    ``frames_since_beat`` gives, per state, how many frames ago the beat of
    its beat region fell; a beat is reported once per visit of the belief
    to a beat region, at that frame.

    ``others`` are models of the same states with other transition weights
    (the tempo priors centred at ``centres``, see :func:`heard_tempo_models`).
    Their decoders follow every frame beside the model's own, and
    ``_step`` takes each frame's state from the one :meth:`_choose` picks
    for the tempo heard by then: each has heard the whole stream, so
    changing decoder keeps the beat's phase.
    """

    def __init__(self, space: S, frames_since_beat: npt.NDArray[np.int64], others: Sequence[S] = (),
                 centres: npt.NDArray[np.float64] | None = None) -> None:
        self.state_space = space
        self._centres = centres
        self._decoders = [_kernels.ForwardDecoder(s.pred, s.ptr, s.prob, s.columns, s.initial)
                          for s in (space, *others)]
        self._frames_since_beat = frames_since_beat
        self._half_interval = space.intervals[space.state_lane] // 2
        self._state_bpm = space.state_bpm
        self.reset()

    @property
    def fps(self) -> float:
        return self.state_space.fps

    @property
    def num_frames(self) -> int:
        """Frames processed since the start of the stream."""
        return self._num_frames

    @property
    def tempo(self) -> float | None:
        """Tempo in BPM of the most recent frame's state, None before any frame."""
        if self._last_state is None:
            return None
        return float(self._state_bpm[self._last_state])

    def reset(self) -> None:
        """Start a new stream."""
        for decoder in self._decoders:
            decoder.reset()
        self._num_frames = 0
        self._last_beat: int | None = None  # frame of the last reported beat
        self._last_state: int | None = None
        self._current = 0  # the decoder in use: 0 the model's own, i the (i-1)-th centre's

    def _choose(self, heard: npt.ArrayLike | None, frames: int) -> npt.NDArray[np.int64] | None:
        """The decoder of every frame (0: the model's own, until a tempo is heard); None: no tempo heard."""
        if heard is None:
            return None
        if self._centres is None:
            raise ValueError("heard tempi need a stream built with hear_tempo=True")
        bpm = np.asarray(heard, dtype=np.float64)
        if bpm.shape != (frames,):
            raise ValueError(f"heard must have one tempo per frame ({frames}), got shape {bpm.shape}")
        if np.any(bpm <= 0) or np.any(np.isinf(bpm)):
            raise ValueError("heard tempi must be positive and finite (NaN: none)")
        centres = np.log2(self._centres)
        key = np.nan_to_num(bpm, nan=-1.0)
        # One decision per stretch of the same heard tempo, not per frame.
        starts = np.flatnonzero(np.concatenate(([True], key[1:] != key[:-1])))
        choice = np.empty(frames, dtype=np.int64)
        for start, stop in zip(starts.tolist(), [*starts[1:].tolist(), frames]):
            if key[start] > 0:
                octave = math.log2(into_range(float(key[start]), *self._centres[[0, -1]].tolist()))
                if self._current == 0 or abs(octave - centres[self._current - 1]) > HEARD_TEMPO_HOLD:
                    self._current = 1 + int(np.abs(centres - octave).argmin())
            choice[start:stop] = self._current
        return choice

    def _step(self, dens: npt.NDArray[np.float32],
              choice: npt.NDArray[np.int64] | None = None) -> tuple[list[int], list[int]]:
        """Push observation densities; the newly known beat frames and their states.

        ``choice`` gives for every frame the decoder whose state counts (0:
        the model's own, i: ``others[i - 1]``); None: the model's own.
        """
        space = self.state_space
        found = [np.asarray(decoder.step(dens), dtype=np.int64) for decoder in self._decoders]
        states = found[0] if choice is None else np.stack(found)[choice, np.arange(found[0].size)]
        first_frame = self._num_frames
        self._num_frames += states.size
        self._last_state = int(states[-1])

        beats: list[int] = []
        beat_states: list[int] = []
        for offset in np.flatnonzero(space.beat_region[states]):
            state = int(states[offset])
            beat = int(first_frame + offset - self._frames_since_beat[state])
            # One report per beat: the belief may hop between neighbouring
            # phases or lanes while it stays in the same beat region.
            if self._last_beat is None or beat - self._last_beat > self._half_interval[state]:
                self._last_beat = beat
                if beat >= 0:  # not a beat from before the stream began
                    beats.append(beat)
                    beat_states.append(state)
        return beats, beat_states


class AudioStream(Generic[R]):
    """What live tracking from audio shares: a front end's causal activation of the
    blocks, fed to a tracker's stream; ``_track`` turns the frames into the result."""

    def __init__(self, activation: ActivationStream, tracker: ForwardStream[Any]) -> None:
        self._activation, self._tracker = activation, tracker

    @property
    def latency(self) -> float:
        """Seconds of audio after a frame's time needed before it is decoded."""
        return self._activation.latency

    def reset(self) -> None:
        """Start a new stream."""
        self._tracker.reset()
        self._activation.reset()

    def process(self, block: npt.ArrayLike) -> R:
        """Push audio (samples, or samples by channels); return the newly known beats."""
        return self._track(self._activation.process(block))

    def finish(self) -> R:
        """End the audio (as if silence followed); return the last beats."""
        return self._track(self._activation.finish())

    def _track(self, frames: npt.NDArray[np.float64]) -> R:
        raise NotImplementedError
