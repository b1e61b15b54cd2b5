"""The network's input: log-magnitude mel bands at 100 frames per second.

The frames are cut exactly as the onset front end cuts them
(:class:`cadentia.frontend.flux.OnsetStream`: about 46 ms under a Hann window,
centred on ``t / fps``, causal and the same bit for bit in any blocks of
audio), so the live network sees the very frames the offline one does.
What differs is the filterbank: a fixed number of triangular bands, evenly
spaced on the mel scale from 30 Hz to 11 kHz, whatever the sampling rate
(the network's input must not change shape with it). Below about 1 kHz
the mel scale is nearly linear, so no band is narrower than an FFT bin at
the usual rates; a band that still falls between two bins takes their
linearly interpolated magnitude. Bands above the Nyquist frequency stay
zero. Magnitudes are compressed with ``log1p(25 x)`` as the onset front end
does (full-scale sinusoid: x = 1).
"""

from __future__ import annotations

import math
import numpy as np
import numpy.typing as npt
import scipy.sparse

from ...model.options import DEFAULT_FPS
from ..flux import OnsetStream, to_float32

__all__ = ["MIN_FREQUENCY", "MAX_FREQUENCY", "SpectrogramStream", "mel_filterbank", "spectrogram"]

MIN_FREQUENCY = 30.0
MAX_FREQUENCY = 11000.0
_COMPRESSION = np.float32(25.0)


def _mel(hz: float) -> float:
    return 2595.0 * math.log10(1.0 + hz / 700.0)


def _hz(mel: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    return 700.0 * (10.0 ** (mel / 2595.0) - 1.0)


def mel_filterbank(frame_size: int, sample_rate: float, bands: int) -> np.ndarray:
    """(bins, bands) triangular weights, each band's weights summing to 1 (or all 0 above Nyquist)."""
    edges = _hz(np.linspace(_mel(MIN_FREQUENCY), _mel(MAX_FREQUENCY), bands + 2))
    bins = np.arange(frame_size // 2 + 1) * sample_rate / frame_size
    weights = np.zeros((bins.size, bands))
    for band in range(bands):
        lo, mid, hi = edges[band : band + 3]
        if mid >= sample_rate / 2:
            continue
        rising = (bins - lo) / (mid - lo)
        falling = (hi - bins) / (hi - mid)
        column = np.maximum(0.0, np.minimum(rising, falling))
        if not column.any():  # narrower than a bin: interpolate at the centre
            position = mid * frame_size / sample_rate
            below = int(position)
            column[below] = 1.0 - (position - below)
            column[below + 1] = position - below
        weights[:, band] = column / column.sum()
    return weights.astype(np.float32)


class SpectrogramStream(OnsetStream):
    """Log mel bands of audio arriving in blocks: ``process`` returns (frames, bands) float32.

    Parameters
    ----------
    sample_rate : float
        Sampling rate of the audio in Hz.
    fps : float
        Frames per second.
    bands : int
        Number of mel bands.

    Notes
    -----
    Frame timing, latency and block independence are those of
    :class:`cadentia.frontend.flux.OnsetStream`; only the per-frame values differ.
    """

    def __init__(self, sample_rate: float, fps: float = DEFAULT_FPS, bands: int = 64) -> None:
        self.bands = int(bands)
        super().__init__(sample_rate, fps)
        weights = mel_filterbank(self.frame_size, self.sample_rate, self.bands)
        used = np.flatnonzero(weights.any(axis=1))
        self._num_bins = int(used.max()) + 1
        self._filterbank_t = scipy.sparse.csr_array(weights[: self._num_bins].T)

    # The onset stream cuts and transforms the frames batch by batch; here
    # each batch's bands are the output, with no flux or normalisation.
    def _flux(self, frames: np.ndarray) -> np.ndarray:
        return np.log1p(_COMPRESSION * self._band_magnitudes(frames)).T

    def _normalise(self, flux: np.ndarray, first: int) -> np.ndarray:
        return np.ascontiguousarray(flux, dtype=np.float32)

    def _no_frames(self) -> np.ndarray:
        return np.zeros((0, self.bands), dtype=np.float32)


def spectrogram(signal: npt.ArrayLike, sample_rate: float, fps: float = DEFAULT_FPS, bands: int = 64) -> np.ndarray:
    """Log mel bands of a whole signal, (frames, bands) float32, as :class:`SpectrogramStream` gives them."""
    samples = to_float32(signal, "signal")
    if samples.shape[0] == 0:
        raise ValueError("signal is empty")
    stream = SpectrogramStream(sample_rate, fps, bands)
    return np.concatenate((stream.process(samples), stream.finish()))
