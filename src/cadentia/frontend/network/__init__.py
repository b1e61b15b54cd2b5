"""A learned beat and downbeat activation from audio, run on NumPy.

A temporal convolutional network (:mod:`.architecture`) over log mel bands
(:mod:`.features`), trained on rendered music with exact beats and shipped
as two ``.npz`` files of parameters (``weights/``, with a model card), run
without any machine-learning framework (:mod:`.inference`):

- offline, the non-causal network, which hears both sides of every frame;
- online, the causal network: frame t hears nothing after it, so it runs
  live block by block, and gives the same bits whatever the blocks.

Each frame gets two probabilities: a beat (downbeats included) and a
downbeat. As a registered front end (``front_end="network"``) they become
the beat activation (the first) and the bar-pointer model's two columns
(beat that is not a downbeat, downbeat).

The offline network also says which tempo it hears in the whole piece (its
tempo head): :func:`analyse` turns that into a :class:`TempoPrior` centred
there, which offline tracking combines with the model's own prior. The
decoder alone tends to double slow pieces wherever the off-beats carry a
little activation; the tempo head, trained on the annotated tempo, knows
the octave better. The causal network's head hears the tempo of the audio
so far: its stream says, with every frame, the tempo heard by then
(``heard_tempo``), which live beat tracking follows
(:class:`cadentia.track.beats.BeatStream`'s ``hear_tempo``).
"""

from __future__ import annotations

import math
from functools import lru_cache
from typing import Any

import numpy as np
import numpy.typing as npt

from ...model.observation import check_downbeat_activation
from ...model.options import DEFAULT_FPS, TempoPrior
from .architecture import ARCHITECTURES, Architecture
from .features import SpectrogramStream, spectrogram
from .inference import Network, NetworkStream, load_network

__all__ = [
    "ARCHITECTURES", "Architecture", "BeatActivationStream", "DownbeatActivationStream", "Network", "NetworkActivationStream",
    "NetworkStream", "SpectrogramStream", "TEMPO_HINT_SPREAD", "TEMPO_HINT_WIDTHS", "analyse", "beat_activation",
    "downbeat_activation", "load_network", "network_activation", "shipped_network", "spectrogram", "tempo_hint",
]

# The prior centred on the tempo the network hears is TEMPO_HINT_SPREAD
# times as wide as the tempo head's own spread (the standard deviation of
# log2 tempo under its output), within TEMPO_HINT_WIDTHS octaves: sure of
# one tempo, the head overrules off-beats that look like beats; torn
# between octaves, it leaves the choice to the decoder. Chosen on the
# validation split (eval/tune.py --hint-spread).
TEMPO_HINT_SPREAD = 2.0
TEMPO_HINT_WIDTHS = (0.15, 1.5)


@lru_cache(maxsize=None)
def shipped_network(variant: str) -> Network:
    """The shipped ``"offline"`` or ``"causal"`` network, loaded once per process."""
    return load_network(variant)


def network_activation(signal: npt.ArrayLike, sample_rate: float, fps: float = DEFAULT_FPS, *,
                       online: bool = False) -> npt.NDArray[np.float32]:
    """Beat and downbeat probabilities of a whole signal, (frames, 2) float32.

    Parameters
    ----------
    signal : array_like
        Audio, 1-D or (samples, channels), float or integer PCM.
    sample_rate : float
        Its sampling rate in Hz.
    fps : float
        Frames per second; the network was trained at 100.
    online : bool
        Use the causal network (frame t hears nothing after it), as
        :class:`NetworkActivationStream` does; the result equals the
        stream's for any blocks.

    Returns
    -------
    numpy.ndarray
        ``ceil(samples * fps / sample_rate)`` frames; column 0 the beat
        probability (downbeats included), column 1 the downbeat probability.
    """
    network = shipped_network("causal" if online else "offline")
    return network(spectrogram(signal, sample_rate, fps, network.architecture.bands))


def tempo_hint(probabilities: npt.ArrayLike, architecture: Architecture,
               spread: float = TEMPO_HINT_SPREAD) -> TempoPrior:
    """A tempo prior from a tempo head's output: centred on its most probable bin.

    Parameters
    ----------
    probabilities : array_like
        One probability per bin of ``architecture.tempo_bpm``
        (:meth:`Network.analyse`).
    architecture : Architecture
        The network's, for its tempo bins.
    spread : float
        The prior's width as a multiple of the head's own spread (standard
        deviation of log2 tempo), clipped to :data:`TEMPO_HINT_WIDTHS`.

    Returns
    -------
    TempoPrior
    """
    p = np.asarray(probabilities, dtype=np.float64)
    octaves = np.log2(np.asarray(architecture.tempo_bpm))
    mean = float(np.sum(p * octaves))
    deviation = math.sqrt(float(np.sum(p * (octaves - mean) ** 2)))
    width = min(max(spread * deviation, TEMPO_HINT_WIDTHS[0]), TEMPO_HINT_WIDTHS[1])
    return TempoPrior(architecture.tempo_bpm[int(np.argmax(p))], width)


def analyse(signal: npt.ArrayLike, sample_rate: float, fps: float = DEFAULT_FPS, *,
            downbeats: bool = False) -> tuple[npt.NDArray[np.float64], TempoPrior | None]:
    """The offline activation of a whole signal and the tempo the network hears in it, in one pass.

    Parameters
    ----------
    signal : array_like
        Audio, 1-D or (samples, channels).
    sample_rate : float
        Its sampling rate in Hz.
    fps : float
        Frames per second.
    downbeats : bool
        Return the bar-pointer model's two columns (as
        :func:`downbeat_activation`) instead of the beat activation (as
        :func:`beat_activation`).

    Returns
    -------
    activation : numpy.ndarray
        float64, (frames,) or (frames, 2).
    prior : TempoPrior or None
        :func:`tempo_hint` of the network's tempo head over the whole
        signal; None if the network has none.
    """
    network = shipped_network("offline")
    both, tempo = network.analyse(spectrogram(signal, sample_rate, fps, network.architecture.bands))
    return _columns(both, downbeats), None if tempo is None else tempo_hint(tempo, network.architecture)


def _columns(both: np.ndarray, downbeats: bool) -> npt.NDArray[np.float64]:
    """The beat activation, or the bar-pointer model's two columns, of the network's output."""
    if downbeats:
        # Column 0 includes the downbeats: the trackers' own conversion takes them out.
        return check_downbeat_activation(both, "network activation", beat_includes_downbeats=True)
    return both[:, 0].astype(np.float64)


def beat_activation(signal: npt.ArrayLike, sample_rate: float, fps: float = DEFAULT_FPS) -> npt.NDArray[np.float64]:
    """The offline network's beat probability of every frame, float64 (frames,)."""
    return _columns(network_activation(signal, sample_rate, fps), downbeats=False)


def downbeat_activation(signal: npt.ArrayLike, sample_rate: float, fps: float = DEFAULT_FPS, *,
                        online: bool = False) -> npt.NDArray[np.float64]:
    """(frames, 2) float64: the probability of a beat that is not a downbeat, and of a downbeat."""
    return _columns(network_activation(signal, sample_rate, fps, online=online), downbeats=True)


class NetworkActivationStream:
    """The causal network over audio arriving in blocks.

    ``process(block)`` returns the (frames, 2) probabilities of the frames
    the block completes, ``finish()`` those the end of the audio completes;
    the same bits as :func:`network_activation` with ``online=True``.

    Parameters
    ----------
    sample_rate : float
        Sampling rate of the audio in Hz.
    fps : float
        Frames per second.
    network : Network, optional
        A causal network; the shipped one by default.
    """

    def __init__(self, sample_rate: float, fps: float = DEFAULT_FPS, *, network: Network | None = None) -> None:
        network = network or shipped_network("causal")
        self.spectrogram = SpectrogramStream(sample_rate, fps, network.architecture.bands)
        self.network = network.stream()

    @property
    def latency(self) -> float:
        """Seconds of audio after a frame's centre needed before it is returned."""
        return self.spectrogram.latency

    @property
    def heard_tempo(self) -> npt.NDArray[np.float64] | None:
        """The tempo in BPM the network had heard by each frame last returned (NaN: none yet);
        None if it has no tempo head."""
        return self.network.heard_tempo if self.network.network._tempo is not None else None

    def reset(self) -> None:
        """Start a new stream."""
        self.spectrogram.reset()
        self.network.reset()

    def process(self, block: npt.ArrayLike) -> npt.NDArray[np.floating[Any]]:
        """Push audio; return the probabilities (float32) of the frames it completes."""
        return self.network.process(self.spectrogram.process(block))

    def finish(self) -> npt.NDArray[np.floating[Any]]:
        """End the audio; return the probabilities (float32) of the remaining frames."""
        return self.network.process(self.spectrogram.finish())


class BeatActivationStream(NetworkActivationStream):
    """The causal network's beat probability over audio in blocks, float64 (frames,).

    The network's entry in the front-end registry
    (:class:`cadentia.frontend.ActivationStream`).
    """

    def process(self, block: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Push audio; return the beat probabilities of the frames it completes."""
        return super().process(block)[:, 0].astype(np.float64)

    def finish(self) -> npt.NDArray[np.float64]:
        """End the audio; return the beat probabilities of the remaining frames."""
        return super().finish()[:, 0].astype(np.float64)


class DownbeatActivationStream(NetworkActivationStream):
    """The causal network's two columns for the bar-pointer model over audio in blocks, float64 (frames, 2).

    The same bits as :func:`downbeat_activation` with ``online=True``: beat
    that is not a downbeat, and downbeat.
    """

    def process(self, block: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Push audio; return the two columns of the frames it completes."""
        return _two_columns(super().process(block))

    def finish(self) -> npt.NDArray[np.float64]:
        """End the audio; return the two columns of the remaining frames."""
        return _two_columns(super().finish())


def _two_columns(both: np.ndarray) -> npt.NDArray[np.float64]:
    return _columns(both, downbeats=True) if both.shape[0] else np.zeros((0, 2))
