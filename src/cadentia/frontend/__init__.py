"""Front ends: from audio to the activations the trackers read.

Every path from audio to an activation goes through this registry: the
command line (``beats``, ``downbeats``, ``live``, ``--online``), the batch,
:func:`cadentia.frontend.files.file_activation` and
:class:`cadentia.track.beats.AudioBeatStream`. A front end is a
:class:`FrontEnd` of three functions, registered by name in
:data:`FRONT_ENDS`; the command line offers the names as the choices of
``--front-end`` and the library takes them as ``front_end=``.

- ``stream(sample_rate, fps)``: a causal beat activation over audio in
  blocks (an :class:`ActivationStream`), for live tracking and for files
  read in bounded memory;
- ``activation(signal, sample_rate, fps)``: the beat activation of a whole
  signal, one value in [0, 1] per frame;
- ``downbeats(signal, sample_rate, fps, online=...)``: the two-column
  activation of the bar-pointer model (beat that is not a downbeat,
  downbeat) of a whole mono float32 signal.

A front end may also hear the tempo of a whole signal: its optional
``analyse(signal, sample_rate, fps, downbeats=...)`` returns the offline
activation (beats, or the two downbeat columns) with a
:class:`cadentia.model.options.TempoPrior` centred on that tempo, in one
pass (:func:`analyse`). Offline tracking of audio combines it with the
model's prior unless told not to.

``flux`` is log-filterbank spectral flux (:mod:`cadentia.frontend.flux`),
with a downbeat share from harmonic change and bass
(:mod:`cadentia.frontend.flux_downbeat`); ``network`` a temporal
convolutional network trained on music with exact beats
(:mod:`cadentia.frontend.network`), run on NumPy.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from ..errors import CadentiaError
from ..model.options import DEFAULT_FPS, TempoPrior
from . import flux, flux_downbeat, network
from .meter import BarEvidence, BarPhaseStream

__all__ = [
    "DEFAULT_FRONT_END",
    "FRONT_ENDS",
    "ActivationStream",
    "FrontEnd",
    "activation_stream",
    "analyse",
    "analyse_bars",
    "beat_activation",
    "downbeat_activation",
    "get_front_end",
    "heard_tempo",
    "run_bar_stream",
    "run_stream",
    "with_bar_phase",
]


class ActivationStream(Protocol):
    """A causal beat activation over audio that arrives in blocks."""

    @property
    def latency(self) -> float:
        """Seconds of audio after a frame's time needed before it is returned."""
        ...

    def process(self, block: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Push audio (samples, or samples by channels); return the frames it completes."""
        ...

    def finish(self) -> npt.NDArray[np.float64]:
        """End the audio; return the remaining frames."""
        ...

    def reset(self) -> None:
        """Start a new stream."""
        ...


def heard_tempo(stream: ActivationStream) -> npt.NDArray[np.float64] | None:
    """The tempo in BPM a stream had heard by each frame it last returned; None if it hears none.

    A stream that hears the tempo as the audio goes (the network's) says,
    after each ``process`` or ``finish``, one tempo per frame returned in
    its ``heard_tempo`` (NaN: none heard yet).
    """
    heard: npt.NDArray[np.float64] | None = getattr(stream, "heard_tempo", None)
    return heard


def run_stream(stream: ActivationStream, blocks: Iterable[npt.ArrayLike]
               ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64] | None]:
    """A stream's frames of all the blocks and of its finish, and the tempo heard by each (None if it hears none)."""
    frames, heard = [], []
    for block in blocks:
        frames.append(stream.process(block))
        heard.append(heard_tempo(stream))
    frames.append(stream.finish())
    heard.append(heard_tempo(stream))
    known = [h for h in heard if h is not None]
    return np.concatenate(frames), np.concatenate(known) if len(known) == len(heard) else None


@dataclass(frozen=True)
class FrontEnd:
    """One way from audio to activations; see the module's description."""

    stream: Callable[[float, float], ActivationStream]
    activation: Callable[[npt.ArrayLike, float, float], npt.NDArray[np.float64]]
    downbeats: Callable[..., npt.NDArray[np.float64]]
    description: str
    # Where offline tracking places a beat of this front end's activation
    # (see track_beats): "state" suits spectral flux, whose peaks trail the
    # beat; a network trained on the beat frames peaks on them.
    placement: str = "state"
    # Offline, no beats before the first frame whose activation reaches this
    # or after the last (see track_beats); 0 keeps them all.
    threshold: float = 0.0
    # Whether the stream's frames are the offline activation too, so files
    # can be read in blocks with bounded memory; a front end that looks
    # ahead offline says False and is given the whole signal.
    causal: bool = True
    # Offline activation and the tempo heard in the whole signal, at once
    # (see the module's description); None: the front end hears no tempo.
    analyse: Callable[..., tuple[npt.NDArray[np.float64], TempoPrior | None]] | None = None
    # Tempo-model options that suit this front end's offline activation
    # better than the model's defaults; options given explicitly win.
    offline_defaults: Mapping[str, Any] = field(default_factory=dict)
    # The same for live tracking of its stream (and --online).
    live_defaults: Mapping[str, Any] = field(default_factory=dict)
    # Live, for the beat model alone, on top of live_defaults.
    live_beat_defaults: Mapping[str, Any] = field(default_factory=dict)
    # A causal stream of the bar-pointer model's two columns (beat that is
    # not a downbeat, downbeat) for live downbeats; None: none offered.
    downbeat_stream: Callable[[float, float], ActivationStream] | None = None
    # What a piece says about its bars beyond the decoder, from the mono
    # signal and its offline two columns (see cadentia.frontend.meter):
    # offline, with the default meters, a bar it hears as two bars in 2
    # is told as two, and a bar it hears start on another beat starts
    # there. None: the decoder's bars stand.
    bar_evidence: Callable[[npt.NDArray[np.float32], float, npt.NDArray[np.float64], float], BarEvidence] | None = None

    def model_options(self, options: Mapping[str, Any], online: bool, kind: str = "beats") -> dict[str, Any]:
        """``options`` with this front end's defaults, offline or live, for the fields not given.

        ``kind`` is ``"beats"`` or ``"downbeats"``: the model they are for.
        A whole ``model=`` is taken as given.
        """
        if "model" in options:
            return dict(options)
        if not online:
            return {**self.offline_defaults, **options}
        return {**self.live_defaults, **(self.live_beat_defaults if kind == "beats" else {}), **options}


FRONT_ENDS: dict[str, FrontEnd] = {
    "flux": FrontEnd(
        stream=flux.OnsetStream,
        activation=flux.onset_strength,
        downbeats=flux_downbeat.downbeat_activation,
        description="log-filterbank spectral flux; downbeats from harmonic change and bass",
    ),
    "network": FrontEnd(
        stream=network.BeatActivationStream,
        downbeat_stream=network.DownbeatActivationStream,
        activation=network.beat_activation,
        downbeats=network.downbeat_activation,
        description="a temporal convolutional network trained on music with exact beats (offline: hears "
                    "both sides of a frame; live: the causal network)",
        placement="peak",
        causal=False,
        analyse=network.analyse,
        # The network puts some activation on off-beats where it is unsure;
        # a narrower beat region keeps the decoder from doubling the tempo
        # there (validation split: F +0.014, CMLt +0.04; see eval/tune.py).
        # Live it helps on the validation split and hurts on the evaluation
        # set, so live keeps the model's default. The tempo it hears keeps
        # the octave (tempo_hint), which lets the range take in slow
        # ballads (F +0.028, octave 82 -> 86 %). The top is the field's
        # 215 BPM: up to 240 served the generator's tempi, drawn evenly up
        # to there, but on music people composed (eval/midiset.py) it let
        # the decoder double pieces at 110-120 BPM (octave right 67 -> 75 %
        # of 75 pieces, 71 -> 86 % of 7 with their authors' audio).
        offline_defaults={"observation_lambda": 24.0, "min_bpm": 45.0, "max_bpm": 215.0},
        # Live, the causal network's beats hold up at those tempi too: the
        # same range moved F on the validation split from 0.867 to 0.892
        # and the octave from 76 to 82 % (eval/tune.py --online).
        live_defaults={"min_bpm": 45.0, "max_bpm": 215.0},
        # Live beats: the offline beat region and no tempo prior hold the
        # octave better than lambda 16 and the prior at 120 BPM on all four
        # validation splits (the main one: F 0.897 -> 0.907, CMLt 0.773 ->
        # 0.799, octave 82 -> 85 %), not on the small evaluation set (F
        # 0.945 -> 0.940). Freer tempo changes scored higher still but made
        # the tempo shown jitter. The bar-pointer model keeps the model's
        # defaults: it did worse with a narrower beat region (live downbeat
        # F 0.803 -> 0.780 at 32).
        live_beat_defaults={"observation_lambda": 24.0, "tempo_prior": None},
        # The network's activation falls to near 0 once the music stops; the
        # offline path does not, and went on beating through every last
        # chord's decay. Trimming there lifts the validation split's F from
        # 0.940 to 0.955 (0.2 to 0.4 all do; the lowest keeps the most of
        # a quiet intro). Live beats need their activation peak already.
        threshold=0.2,
        # Trained on this network's downbeat output; on the validation
        # split it lifts the downbeat F of 2/4 pieces and of bars decoded a
        # beat off (see the model card).
        bar_evidence=BarEvidence.of_audio,
    ),
}
DEFAULT_FRONT_END = "network"


def get_front_end(name: str) -> FrontEnd:
    """The registered front end called ``name``.

    Raises
    ------
    CadentiaError
        No front end has that name; the message lists those that do.
    """
    try:
        return FRONT_ENDS[name]
    except (KeyError, TypeError):
        raise CadentiaError(f"unknown front end {name!r}; choose from {', '.join(FRONT_ENDS)}") from None


def run_bar_stream(sample_rate: float, fps: float, blocks: Iterable[npt.ArrayLike], *,
                   front_end: str = DEFAULT_FRONT_END
                   ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64] | None, BarPhaseStream | None]:
    """:func:`run_stream` of a front end's live downbeat stream, with a
    :class:`~cadentia.frontend.meter.BarPhaseStream` that heard the same blocks, ready
    for the downbeat output and the beats (None where the front end has no evidence about the bars).

    Raises
    ------
    ValueError
        A front end that offers no live downbeats, or bad audio.
    """
    design = get_front_end(front_end)
    if design.downbeat_stream is None:
        raise ValueError(f"the {front_end} front end offers no live downbeats")
    stream = design.downbeat_stream(sample_rate, fps)
    if design.bar_evidence is None:
        return *run_stream(stream, blocks), None
    phase = BarPhaseStream(sample_rate, fps)
    return *run_stream(with_bar_phase(stream, phase), blocks), phase


def with_bar_phase(stream: ActivationStream, phase: BarPhaseStream) -> ActivationStream:
    """``stream`` whose audio, once it took it, goes to ``phase`` too (which it resets with itself)."""
    return _WithBars(stream, phase)


class _WithBars:
    """A live downbeat stream whose audio, once it took it, goes to a bar-phase stream too."""

    def __init__(self, stream: ActivationStream, phase: BarPhaseStream) -> None:
        self.stream, self.phase = stream, phase

    @property
    def latency(self) -> float:
        return self.stream.latency

    @property
    def heard_tempo(self) -> npt.NDArray[np.float64] | None:
        return heard_tempo(self.stream)

    def reset(self) -> None:
        self.stream.reset()
        self.phase.reset()

    def process(self, block: npt.ArrayLike) -> npt.NDArray[np.float64]:
        frames = self.stream.process(block)
        self.phase.push_audio(block)
        return frames

    def finish(self) -> npt.NDArray[np.float64]:
        frames = self.stream.finish()
        self.phase.finish_audio()
        return frames


def activation_stream(
    sample_rate: float, fps: float = DEFAULT_FPS, *, front_end: str = DEFAULT_FRONT_END
) -> ActivationStream:
    """A causal beat-activation stream over audio blocks of any size.

    Parameters
    ----------
    sample_rate : float
        Sampling rate of the audio in Hz.
    fps : float
        Activation frames per second.
    front_end : str
        A name in :data:`FRONT_ENDS`.

    Returns
    -------
    ActivationStream
        ``process(block)`` returns the frames each block completes,
        ``finish()`` the rest.
    """
    return get_front_end(front_end).stream(sample_rate, fps)


def beat_activation(
    signal: npt.ArrayLike, sample_rate: float, fps: float = DEFAULT_FPS, *, front_end: str = DEFAULT_FRONT_END
) -> npt.NDArray[np.float64]:
    """The beat activation of a whole signal: one value in [0, 1] per frame.

    Parameters
    ----------
    signal : array_like
        Audio, 1-D (mono) or (samples, channels).
    sample_rate, fps, front_end
        As for :func:`activation_stream`.

    Returns
    -------
    numpy.ndarray
        float64 (frames,).
    """
    return get_front_end(front_end).activation(signal, sample_rate, fps)


def downbeat_activation(
    signal: npt.ArrayLike,
    sample_rate: float,
    fps: float = DEFAULT_FPS,
    *,
    online: bool = False,
    front_end: str = DEFAULT_FRONT_END,
) -> npt.NDArray[np.float64]:
    """Beat and downbeat activation of ``signal``, for the bar-pointer model.

    Parameters
    ----------
    signal, sample_rate, fps, front_end
        As for :func:`beat_activation`; the signal is mixed down.
    online : bool
        Use no audio after a frame beyond the front end's latency, for live
        tracking.

    Returns
    -------
    numpy.ndarray
        float64 (frames, 2): column 0 the evidence of a beat that is not a
        downbeat, column 1 of a downbeat.
    """
    return get_front_end(front_end).downbeats(signal, sample_rate, fps, online=online)


def analyse(
    signal: npt.ArrayLike,
    sample_rate: float,
    fps: float = DEFAULT_FPS,
    *,
    downbeats: bool = False,
    front_end: str = DEFAULT_FRONT_END,
) -> tuple[npt.NDArray[np.float64], TempoPrior | None]:
    """The offline activation of ``signal`` and the tempo the front end hears in it.

    Parameters
    ----------
    signal, sample_rate, fps, front_end
        As for :func:`downbeat_activation`.
    downbeats : bool
        The two columns of :func:`downbeat_activation` instead of the beat
        activation of :func:`beat_activation`.

    Returns
    -------
    activation : numpy.ndarray
        As :func:`beat_activation` or :func:`downbeat_activation` (offline).
    prior : TempoPrior or None
        A prior centred on the tempo heard, for
        :meth:`~cadentia.model.options.TempoPrior.combine` with the model's;
        None where the front end hears none.

    Examples
    --------
    >>> import cadentia
    >>> from cadentia.testing import synthesize_clicks
    >>> signal, rate, _ = synthesize_clicks(70.0, 20.0, end_bpm=None)
    >>> activation, heard = cadentia.analyse(signal, rate)
    >>> prior = cadentia.DEFAULT_TEMPO_PRIOR if heard is None else cadentia.DEFAULT_TEMPO_PRIOR.combine(heard)
    >>> beats = cadentia.track_beats(activation, 100.0, tempo_prior=prior, placement="peak").beats
    """
    design = get_front_end(front_end)
    if design.analyse is not None:
        return design.analyse(signal, sample_rate, fps, downbeats=downbeats)
    if downbeats:
        return design.downbeats(signal, sample_rate, fps, online=False), None
    return design.activation(signal, sample_rate, fps), None


def analyse_bars(
    signal: npt.NDArray[np.float32], sample_rate: float, fps: float = DEFAULT_FPS, *, front_end: str = DEFAULT_FRONT_END,
) -> tuple[npt.NDArray[np.float64], TempoPrior | None, BarEvidence | None]:
    """:func:`analyse` of a mono float32 signal for downbeats, with the front end's evidence about its bars.

    Returns
    -------
    activation, prior
        As :func:`analyse` with ``downbeats=True``.
    evidence : BarEvidence or None
        See :attr:`FrontEnd.bar_evidence`; None where the front end has none.
    """
    design = get_front_end(front_end)
    activation, prior = analyse(signal, sample_rate, fps, downbeats=True, front_end=front_end)
    evidence = None if design.bar_evidence is None else design.bar_evidence(signal, sample_rate, activation, fps)
    return activation, prior, evidence
