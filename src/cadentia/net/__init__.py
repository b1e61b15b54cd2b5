"""A learned beat and downbeat activation from audio, run on NumPy.

:func:`network_activation` turns a whole signal into the network's beat and
downbeat probabilities (offline: the non-causal network, which hears both
sides of every frame); :class:`NetworkActivationStream` does the same for
audio arriving in blocks with the causal network, block by block, the same
bits whatever the blocks. Column 0 is the probability of a beat
(downbeats included), column 1 of a downbeat: ``track_beats`` takes column
0, ``track_downbeats`` both with ``beat_includes_downbeats=True``.

The shipped parameters and how they were trained: ``weights/MODEL_CARD.md``.
"""

from __future__ import annotations

from functools import lru_cache

import numpy as np
import numpy.typing as npt

from .architecture import ARCHITECTURES, Architecture
from .features import SpectrogramStream, spectrogram
from .inference import Network, NetworkStream, load_network

__all__ = [
    "ARCHITECTURES", "Architecture", "Network", "NetworkActivationStream", "NetworkStream", "SpectrogramStream",
    "load_network", "network_activation", "spectrogram", "shipped_network",
]


@lru_cache(maxsize=None)
def shipped_network(variant: str) -> Network:
    """The shipped ``"offline"`` or ``"causal"`` network, loaded once per process."""
    return load_network(variant)


def network_activation(signal: npt.ArrayLike, sample_rate: float, fps: float = 100.0, *,
                       online: bool = False) -> np.ndarray:
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


class NetworkActivationStream:
    """The causal network over audio arriving in blocks.

    ``process(block)`` returns the (frames, 2) probabilities of the frames
    the block completes; ``finish()`` those the end of the audio completes.

    Parameters
    ----------
    sample_rate : float
        Sampling rate of the audio in Hz.
    fps : float
        Frames per second.
    network : Network, optional
        A causal network; the shipped one by default.
    """

    def __init__(self, sample_rate: float, fps: float = 100.0, *, network: Network | None = None) -> None:
        network = network or shipped_network("causal")
        self.spectrogram = SpectrogramStream(sample_rate, fps, network.architecture.bands)
        self.network = network.stream()

    @property
    def latency(self) -> float:
        """Seconds of audio after a frame's centre needed before it is returned."""
        return self.spectrogram.latency

    @property
    def num_frames(self) -> int:
        return self.spectrogram.num_frames

    def reset(self) -> None:
        self.spectrogram.reset()
        self.network.reset()

    def process(self, block: npt.ArrayLike) -> np.ndarray:
        return self.network.process(self.spectrogram.process(block))

    def finish(self) -> np.ndarray:
        return self.network.process(self.spectrogram.finish())
