"""Downbeat and meter tracking on the bar-pointer model, offline and live.

:func:`track_downbeats` decodes a whole two-column activation (beat that is
not a downbeat, downbeat) with the Viterbi kernel and reads off the beats,
each beat's position in its bar and the meter; :class:`DownbeatStream`
does it causally on the forward decoder, chunk by chunk, and
:class:`AudioDownbeatStream` from audio blocks. The model is
:func:`cadentia.model.bars.downbeat_state_space`; what the trackers share
with the beat tracker lives in :mod:`cadentia.track.base`.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from functools import lru_cache
from typing import Any

import numpy as np
import numpy.typing as npt

from ..frontend import DEFAULT_FRONT_END, ActivationStream, get_front_end, heard_tempo, with_bar_phase
from ..frontend.meter import BarPhaseStream
from ..model.bars import DEFAULT_BEATS_PER_BAR, DownbeatStateSpace, check_meters, downbeat_state_space
from ..model.observation import check_downbeat_activation, densities
from ..model.options import DEFAULT_FPS, TempoModel
from .base import AudioStream, ForwardStream, TrackTempo, beats_from_path, check_placement, check_threshold
from .base import heard_tempo_models, resolve_state_space, viterbi, within_activity

__all__ = ["AudioDownbeatStream", "DownbeatStream", "DownbeatTrack", "track_downbeats"]


@dataclass(frozen=True, eq=False)
class DownbeatTrack(TrackTempo):
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

    beats: npt.NDArray[np.float64]  # beat times in seconds
    positions: npt.NDArray[np.int64]  # position of each beat in its bar, 1 = downbeat
    beats_per_bar: int  # the decoded meter (the one the path spends most frames in)
    tempo: npt.NDArray[np.float64]  # (frames,): tempo of the decoded path in BPM
    path: npt.NDArray[np.int64]  # (frames,): the decoded state of every frame
    log_probability: float  # log score of the path
    fps: float

    @property
    def downbeats(self) -> npt.NDArray[np.float64]:
        """Times of the downbeats in seconds."""
        return self.beats[self.positions == 1]


def _state_space(
    state_space: DownbeatStateSpace | None, fps: float, beats_per_bar: Sequence[int], options: dict[str, Any]
) -> DownbeatStateSpace:
    if state_space is None:
        return downbeat_state_space(fps, beats_per_bar=beats_per_bar, **options)
    if beats_per_bar is not DEFAULT_BEATS_PER_BAR and check_meters(beats_per_bar) != state_space.beats_per_bar:
        raise ValueError(
            f"state_space was built for beats_per_bar {state_space.beats_per_bar}, not {tuple(beats_per_bar)}"
        )
    return resolve_state_space(state_space, fps, downbeat_state_space, options)


def track_downbeats(
    activation: npt.ArrayLike,
    fps: float = DEFAULT_FPS,
    *,
    beats_per_bar: Sequence[int] = DEFAULT_BEATS_PER_BAR,
    beat_includes_downbeats: bool = False,
    state_space: DownbeatStateSpace | None = None,
    placement: str = "peak",
    threshold: float = 0.0,
    **options: Any,
) -> DownbeatTrack:
    """Track beats, downbeats and the meter of a whole activation offline.

    Parameters
    ----------
    activation : array_like, shape (frames, 2)
        Per frame, the probability of a beat that is not a downbeat and of a
        downbeat (or, with ``beat_includes_downbeats``, of any beat and of a
        downbeat); see :func:`cadentia.model.observation.check_downbeat_activation`.
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
        as for :func:`cadentia.track.beats.track_beats`: at the largest
        beat-or-downbeat activation (for a network's activation), or where
        the path enters the beat's first state (for the onset strength of
        audio, which peaks after a note starts).
    threshold : float
        Drop the beats before the first frame whose beat-or-downbeat
        activation reaches it and after the last, as for
        :func:`cadentia.track.beats.track_beats`; 0 keeps every beat.
    **options
        ``min_bpm``, ``max_bpm``, ``num_tempi``, ``transition_lambda``,
        ``observation_lambda``, ``transition_threshold``, ``meter_change``,
        ``tempo_prior``, or ``model=`` a ``TempoModel``: as
        :func:`cadentia.model.bars.downbeat_state_space` takes them.

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
    at_peak = check_placement(placement)
    threshold = check_threshold(threshold)
    space = _state_space(state_space, fps, beats_per_bar, options)
    values = check_downbeat_activation(activation, beat_includes_downbeats=beat_includes_downbeats)
    log_dens = densities(values, space.observation_lambda, log=True)
    path, log_probability = viterbi(space, log_dens)
    any_beat = values.sum(axis=1)
    frames = beats_from_path(path, any_beat, space, at_peak=at_peak)
    frames = frames[within_activity(frames, any_beat, threshold, space.fps)]
    meter_frames = np.bincount(space.state_meter[path])
    return DownbeatTrack(
        beats=frames / space.fps,
        positions=space.state_beat[path[frames]] + 1,
        beats_per_bar=int(np.argmax(meter_frames)),
        tempo=space.state_bpm[path],
        path=path,
        log_probability=log_probability,
        fps=space.fps,
    )


# A bank is a model per centre (eight over 45-215 BPM), some megabytes each: keep a few.
@lru_cache(maxsize=4)
def _heard_tempo_spaces(fps: float, model: TempoModel, beats_per_bar: tuple[int, ...], meter_change: float
                        ) -> tuple[npt.NDArray[np.float64], tuple[DownbeatStateSpace, ...]]:
    """The centres of the tempo priors of a bar model's heard-tempo decoders, and their models."""
    centres, models = heard_tempo_models(model)
    return centres, tuple(downbeat_state_space(fps, beats_per_bar=beats_per_bar, meter_change=meter_change, model=m)
                          for m in models)


class DownbeatStream(ForwardStream[DownbeatStateSpace]):
    """Causal beat and downbeat tracking over an activation arriving in chunks.

    Parameters
    ----------
    fps, beats_per_bar, beat_includes_downbeats, state_space, **options
        The activation's frame rate and convention, and the model, as for
        :func:`track_downbeats`.
    hear_tempo : bool
        Follow a tempo heard as the stream goes (``process(..., heard=)``),
        as :class:`cadentia.track.beats.BeatStream` does: beside the
        model's own decoder run decoders whose tempo prior is centred
        across its range, and each frame takes its state from the one
        centred nearest the tempo heard by then.

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
        hear_tempo: bool = False,
        **options: Any,
    ) -> None:
        self.beat_includes_downbeats = bool(beat_includes_downbeats)
        space = _state_space(state_space, fps, beats_per_bar, options)
        centres: npt.NDArray[np.float64] | None = None
        others: tuple[DownbeatStateSpace, ...] = ()
        if hear_tempo:
            if space.model is None:
                raise ValueError("hear_tempo needs a state space built by downbeat_state_space")
            centres, others = _heard_tempo_spaces(space.fps, space.model, space.beats_per_bar, space.meter_change)
        super().__init__(space, space.state_position, others, centres)

    @property
    def beats_per_bar(self) -> int | None:
        """Meter of the most recent frame's state, None before any frame."""
        if self._last_state is None:
            return None
        return int(self.state_space.state_meter[self._last_state])

    def process(self, chunk: npt.ArrayLike, *, heard: npt.ArrayLike | None = None
                ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
        """Push activation frames; return the newly known beats.

        Parameters
        ----------
        chunk : array_like, shape (frames, 2)
            The next frames of the activation, in the stream's convention.
        heard : array_like, optional
            With ``hear_tempo``: the tempo in BPM heard by each frame of
            the chunk (NaN: none yet, the model's own decoder); None: none.

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
        choice = self._choose(heard, values.shape[0])
        dens = densities(values, space.observation_lambda, log=False)
        beats, states = self._step(dens, choice)
        positions = [int(space.state_beat[state]) + 1 for state in states]
        return np.asarray(beats, dtype=np.float64) / space.fps, np.asarray(positions, dtype=np.int64)


class AudioDownbeatStream(AudioStream[tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]]):
    """Live beat and downbeat tracking from audio: a front end's downbeat stream into :class:`DownbeatStream`.

    Parameters
    ----------
    sample_rate : float
        Sampling rate of the audio in Hz.
    fps : float
        Activation frame rate.
    beats_per_bar, state_space, **options
        The bar-pointer model, as for :class:`DownbeatStream`. Fields not
        given take the front end's ``live_defaults``, then the model's.
    front_end : str
        A name in :data:`cadentia.frontend.FRONT_ENDS` that offers live
        downbeats (the network does).
    tempo_hint : bool
        Where the front end hears the tempo as the audio goes (the network
        does), follow it (:class:`DownbeatStream`'s ``hear_tempo``).
    bar_phase : bool, optional
        Where the front end has evidence about the bars (the network does),
        number the beats as it hears the bars: from where it hears them
        start, and bars in 4 it hears as two as bars in 2
        (:class:`cadentia.frontend.meter.BarPhaseStream`). None: when the
        meters are the default (neither ``beats_per_bar`` nor
        ``state_space`` given), as offline tracking does.

    Raises
    ------
    ValueError
        The front end offers no live downbeat activation, or the options
        make no model.

    Notes
    -----
    Each call returns the beats (seconds from the start) that the audio so
    far made known, with their positions in the bar, 1 = downbeat: those
    of ``cadentia downbeats --online``, whatever the blocks' sizes.

    Examples
    --------
    >>> stream = AudioDownbeatStream(44100)             # doctest: +SKIP
    >>> for block in blocks:                            # doctest: +SKIP
    ...     times, positions = stream.process(block)
    >>> times, positions = stream.finish()              # doctest: +SKIP
    """

    def __init__(self, sample_rate: float, fps: float = DEFAULT_FPS, *,
                 beats_per_bar: Sequence[int] = DEFAULT_BEATS_PER_BAR, state_space: DownbeatStateSpace | None = None,
                 front_end: str = DEFAULT_FRONT_END, tempo_hint: bool = True, bar_phase: bool | None = None,
                 **options: Any):
        design = get_front_end(front_end)
        if bar_phase is None:
            bar_phase = state_space is None and tuple(beats_per_bar) == DEFAULT_BEATS_PER_BAR
        if design.downbeat_stream is None:
            raise ValueError(f"the {front_end} front end offers no live downbeats")
        if state_space is None:
            options = design.model_options(options, online=True, kind="downbeats")
        self.activation = design.downbeat_stream(sample_rate, fps)
        self._hears = tempo_hint and heard_tempo(self.activation) is not None
        self.bars = DownbeatStream(fps, beats_per_bar=beats_per_bar, state_space=state_space,
                                   hear_tempo=self._hears, **options)
        self.phase: BarPhaseStream | None = None
        audio: ActivationStream = self.activation
        if bar_phase and design.bar_evidence is not None:
            # A beat is reported within its beat interval.
            longest = float(self.bars.state_space.intervals.max()) / self.bars.state_space.fps
            self.phase = BarPhaseStream(sample_rate, fps, horizon=longest)
            audio = with_bar_phase(self.activation, self.phase)
        super().__init__(audio, self.bars)

    @property
    def beats_per_bar(self) -> int | None:
        """Meter of the most recent frame's state (as the bars are numbered), None before any frame."""
        meter = self.bars.beats_per_bar
        return meter if self.phase is None else self.phase.beats_per_bar(meter)

    def _track(self, frames: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
        times, positions = self.bars.process(frames, heard=heard_tempo(self.activation) if self._hears else None)
        if self.phase is None:
            return times, positions
        self.phase.push_downbeat(frames[:, 1])
        return times, self.phase.relabel(times, positions)
