"""Onset strength from audio: causal log-filterbank spectral flux.

This is the activation used when none is given: for every frame, how much
the log-compressed, log-frequency spectrum rose against a frame shortly
before it, summed over bands and scaled to 0..1. Percussive onsets, which
is where beats usually are, make it peak.

One causal pipeline serves both paths: :class:`OnsetStream` takes audio in
blocks of any size and returns the frames each block completes, and
:func:`onset_strength` pushes a whole signal through it. Every stage keeps
its state from block to block and computes each frame from the same inputs
in the same order, so the output is the same, bit for bit, however the
audio is cut into blocks, and frame t never depends on audio after
``t / fps + window / 2`` seconds.

The stages, and why:

- Frames of about 46 ms (a power of two in samples) under a Hann window,
  centred on ``t * sample_rate / fps``: the usual spectral-flux window,
  long enough to resolve pitch, short enough to place onsets within a
  frame or two. The hop may be fractional (220.5 samples at 22.05 kHz and
  100 fps); frame starts are rounded, which ``scipy.signal.ShortTimeFFT``
  cannot do, so frames are gathered from a strided view and transformed
  with ``scipy.fft.rfft`` in float32.
- A triangular filterbank of 12 bands per octave from 30 Hz to 16 kHz and
  ``log1p`` compression: loudness differences the ear hears as equal weigh
  equally, and one loud low note does not drown the rest. The filterbank
  and the sum over bands are sparse products, serial in band order.
- The rise of every band against the frame ``lag`` seconds back (10 ms),
  half-wave rectified and summed: plain spectral flux. A maximum filter
  over neighbouring bands (vibrato suppression) and adaptive whitening are
  built in as options; on the rendered evaluation set both scored worse
  (``bench/onset_variants.py``), so they are off.
- Normalisation is running and causal: the flux minus 0.75 of its mean
  over the last second (the noise floor drops away, onsets stand out;
  subtracting the whole mean, or a shorter one, lost beats that follow
  loud ones), a short causal smoothing that widens a peak forward in time
  without moving it (a beat region spans several frames, a click only one
  or two), divided by a peak level that decays over 30 s (a quiet passage
  still reaches the evidence level), and squared, which keeps the residue
  of the floor well below the tracker's evidence level while strong
  onsets stay near 1.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import as_strided
# scipy.signal and scipy.ndimage would do the window, the smoothing and the
# maximum filter, but importing them costs more than a whole 15-minute file
# takes to analyse; the few lines below do the same, bit-reproducibly.
import scipy.fft
import scipy.sparse

from ..model.options import DEFAULT_FPS

__all__ = ["OnsetStream", "onset_strength", "to_float32"]

_MIN_SAMPLE_RATE = 1000.0


@dataclass(frozen=True)
class _Design:
    """The front end's constants; times in seconds so any rate works."""

    window_seconds: float = 0.0464
    bands_per_octave: int = 12
    min_frequency: float = 30.0
    max_frequency: float = 16000.0
    # Magnitudes are sinusoid amplitudes (full scale 1) before log1p(compression * x).
    compression: float = 25.0
    max_filter_bands: int = 1  # 1: plain spectral flux; 3: vibrato suppression
    lag_seconds: float = 0.01
    whitening_seconds: float = 0.0  # 0: no adaptive whitening
    baseline_seconds: float = 1.0
    baseline_scale: float = 0.75
    smooth_seconds: float = 0.02
    level_seconds: float = 30.0  # time for the peak level to fall to 1/e
    # Below this peak level (flux summed over bands) the input counts as
    # silence or dither, not music: about one band rising by a factor of 2.
    level_floor: float = 0.5
    exponent: float = 2.0


DESIGN = _Design()
# Frames per transform call times frame size: bounds memory on long blocks,
# keeps the batch in cache and its temporaries small enough that the
# allocator reuses them instead of mapping fresh pages every batch.
_BATCH_SAMPLES = 1 << 16


def _log_filterbank(frame_size: int, sample_rate: float, design: _Design) -> scipy.sparse.csr_array:
    """Triangular filters, a fixed number per octave, as sparse (bins, bands) weights."""
    num_bins = frame_size // 2 + 1
    top = min(design.max_frequency, sample_rate / 2)
    per_octave = design.bands_per_octave
    num_centres = int(math.floor(per_octave * math.log2(top / design.min_frequency))) + 1
    centres = design.min_frequency * 2.0 ** (np.arange(num_centres) / per_octave)
    # Low bands closer than a bin apart collapse onto the same bin.
    bins = np.unique(np.round(centres * frame_size / sample_rate).astype(np.int64))
    bins = bins[bins < num_bins]
    weights = np.zeros((num_bins, max(bins.size - 2, 1)), dtype=np.float32)
    for band, (lo, mid, hi) in enumerate(zip(bins[:-2], bins[1:-1], bins[2:])):
        weights[lo : mid + 1, band] = np.linspace(0.0, 1.0, mid - lo + 1)
        weights[mid : hi + 1, band] = np.linspace(1.0, 0.0, hi - mid + 1)
        weights[:, band] /= weights[:, band].sum()
    return scipy.sparse.csr_array(weights)


def _windows(values: np.ndarray, width: int) -> np.ndarray:
    """Read-only view of every run of `width` consecutive values (sliding_window_view
    without its per-call checks, which cost more than the work on short blocks)."""
    step = values.strides[0]
    return as_strided(values, (values.size - width + 1, width), (step, step), writeable=False)


def to_float32(block: npt.ArrayLike, name: str = "block") -> np.ndarray:
    """Audio samples as float32 of shape (samples, channels), full scale 1.

    Integer PCM is scaled by its type's range (unsigned 8-bit is offset
    binary); a 1-D block is one channel.
    """
    samples = np.asarray(block)
    if samples.dtype.kind in "iu":
        info = np.iinfo(samples.dtype)
        offset = 0.0 if samples.dtype.kind == "i" else (info.max + 1) / 2
        scale = 1.0 / (info.max + 1 - offset)
        samples = ((samples.astype(np.float32) - np.float32(offset)) * np.float32(scale)).astype(np.float32)
    elif samples.dtype.kind == "f" or samples.dtype.kind == "b":
        samples = samples.astype(np.float32, copy=False)
    else:
        raise ValueError(f"{name} must hold numeric audio samples, got dtype {samples.dtype}")
    if samples.ndim == 1:
        samples = samples[:, np.newaxis]
    if samples.ndim != 2:
        raise ValueError(f"{name} must be 1-D or (samples, channels), got shape {samples.shape}")
    return samples


class OnsetStream:
    """Causal onset strength over audio that arrives in blocks.

    >>> stream = OnsetStream(44100)                     # doctest: +SKIP
    >>> for block in blocks:                            # doctest: +SKIP
    ...     frames = stream.process(block)              # the frames it completes
    >>> last = stream.finish()                          # the frames the end completes

    Parameters
    ----------
    sample_rate : float
        Sampling rate of the audio, in Hz (at least 1 kHz).
    fps : float
        Activation frames per second; frame t is centred on ``t / fps``
        seconds.

    Notes
    -----
    Blocks are 1-D (mono) or (samples, channels), float or integer PCM; all
    blocks of a stream have the same number of channels, which are averaged.
    Frame t is returned as soon as the audio up to ``t / fps + latency``
    seconds has arrived; :meth:`finish` pads the end with silence and
    returns the rest, ``ceil(samples * fps / sample_rate)`` frames in all.
    """

    def __init__(self, sample_rate: float, fps: float = DEFAULT_FPS, *, _design: _Design = DESIGN):
        sample_rate = float(sample_rate)
        fps = float(fps)
        if not (math.isfinite(sample_rate) and sample_rate >= _MIN_SAMPLE_RATE):
            raise ValueError(f"sample rate must be at least {_MIN_SAMPLE_RATE:g} Hz, got {sample_rate:g}")
        if not (math.isfinite(fps) and 0 < fps <= sample_rate):
            raise ValueError(f"fps must be positive and at most the sample rate, got {fps:g}")
        self.sample_rate = sample_rate
        self.fps = fps
        self._design = d = _design
        self.frame_size = 1 << round(math.log2(d.window_seconds * sample_rate))
        self._hop = sample_rate / fps
        window = np.hanning(self.frame_size)
        # Scale so a full-scale sinusoid has magnitude 1 whatever the frame size.
        self._window = (window * (2.0 / window.sum())).astype(np.float32)
        filterbank = _log_filterbank(self.frame_size, sample_rate, d)
        # Bins above the top band carry no weight: skip their magnitudes.
        self._num_bins = int(filterbank.nonzero()[0].max()) + 1 if filterbank.nnz else 1
        self._filterbank_t = scipy.sparse.csr_array(filterbank.T[:, : self._num_bins])
        num_bands = self._filterbank_t.shape[0]
        self._band_sum = scipy.sparse.csr_array(np.ones((1, num_bands), dtype=np.float32))
        self._lag = max(1, round(d.lag_seconds * fps))
        self._baseline_frames = max(1, round(d.baseline_seconds * fps))
        taps = max(1, round(3 * d.smooth_seconds * fps))
        # Oldest first, to line up with the frames of a sliding window.
        self._smooth = np.exp(-np.arange(taps)[::-1] / max(d.smooth_seconds * fps, 1e-9))
        self._log_decay = -1.0 / (d.level_seconds * fps)
        # Reused for every batch of frames: fresh large arrays would cost
        # page faults on every batch.
        self._batch = max(8, _BATCH_SAMPLES // self.frame_size)
        self._work = np.empty((self._batch, self.frame_size), dtype=np.float32)
        if d.whitening_seconds > 0:
            self._white_log_decay = -1.0 / (d.whitening_seconds * fps)
        self.reset()

    @property
    def latency(self) -> float:
        """Seconds of audio after a frame's centre needed before it is returned."""
        return (self.frame_size - self.frame_size // 2) / self.sample_rate

    @property
    def num_frames(self) -> int:
        """Frames returned since the start of the stream."""
        return self._next_frame

    @property
    def num_samples(self) -> int:
        """Samples received since the start of the stream."""
        return self._received

    def reset(self) -> None:
        """Start a new stream."""
        # The buffer holds samples of the signal with frame_size // 2 zeros
        # in front, from padded index _buffer_start on.
        self._buffer = np.zeros(self.frame_size // 2, dtype=np.float32)
        self._buffer_start = 0
        self._received = 0
        self._channels: int | None = None
        self._next_frame = 0
        self._finished = False
        self._history: np.ndarray | None = None  # the last `lag` frames of (max-filtered) bands
        self._flux_history = np.zeros(self._baseline_frames - 1)
        self._smooth_history = np.zeros(self._smooth.size - 1)
        self._level_max = -math.inf  # running max of log(level) - t * log_decay
        self._white_max: np.ndarray | None = None

    def process(self, block: npt.ArrayLike) -> np.ndarray:
        """Push audio; return the activation frames it completes (float64 in [0, 1])."""
        if self._finished:
            raise ValueError("the stream is finished; call reset() to start a new one")
        samples = to_float32(block)
        if self._channels is None:
            self._channels = samples.shape[1]
        elif samples.shape[1] != self._channels and samples.shape[0]:
            raise ValueError(f"block has {samples.shape[1]} channels, the stream {self._channels}")
        if samples.shape[0] == 0:
            return self._no_frames()
        if not np.isfinite(samples).all():
            raise ValueError("audio has non-finite samples")
        # The mix goes straight into the grown buffer; a serial sum over the
        # channels, the same in any blocks.
        kept = self._buffer.size
        buffer = np.empty(kept + samples.shape[0], dtype=np.float32)
        buffer[:kept] = self._buffer
        mono = buffer[kept:]
        if samples.shape[1] == 1:
            mono[:] = samples[:, 0]
        else:
            np.add(samples[:, 0], samples[:, 1], out=mono)
            for channel in range(2, samples.shape[1]):
                mono += samples[:, channel]
            mono *= np.float32(1.0 / samples.shape[1])
        self._received += samples.shape[0]
        self._buffer = buffer
        return self._frames(self._computable(self._buffer_start + self._buffer.size))

    def finish(self) -> np.ndarray:
        """End the stream: return the remaining frames, the end padded with silence."""
        if self._finished:
            return self._no_frames()
        self._finished = True
        total = math.ceil(self._received / self._hop - 1e-9) if self._received else 0
        if total <= self._next_frame:
            return self._no_frames()
        end = round((total - 1) * self._hop) + self.frame_size
        pad = end - (self._buffer_start + self._buffer.size)
        if pad > 0:
            self._buffer = np.concatenate((self._buffer, np.zeros(pad, dtype=np.float32)))
        return self._frames(total)

    def _computable(self, available: int) -> int:
        """Number of frames whose window lies inside the first `available` padded samples."""
        count = max(0, math.floor((available - self.frame_size) / self._hop) + 1)
        while count > 0 and round((count - 1) * self._hop) + self.frame_size > available:
            count -= 1
        while round(count * self._hop) + self.frame_size <= available:
            count += 1
        return count

    def _frames(self, stop: int) -> np.ndarray:
        first = self._next_frame
        if stop <= first:
            return self._no_frames()
        parts = []
        view = _windows(self._buffer, self.frame_size)
        whole_hop = int(self._hop) if self._hop == int(self._hop) else 0
        for lo in range(first, stop, self._batch):
            hi = min(stop, lo + self._batch)
            frames = self._work[: hi - lo]
            if whole_hop:  # frames as a strided view: windowed without a gather
                start = lo * whole_hop - self._buffer_start
                source = view[start : start + (hi - lo - 1) * whole_hop + 1 : whole_hop]
            else:
                source = view[np.round(np.arange(lo, hi) * self._hop).astype(np.int64) - self._buffer_start]
            np.multiply(source, self._window, out=frames)
            parts.append(self._flux(frames))
        self._next_frame = stop
        keep_from = round(stop * self._hop)
        self._buffer = self._buffer[keep_from - self._buffer_start :].copy()
        self._buffer_start = keep_from
        return self._normalise(np.concatenate(parts), first)

    def _no_frames(self) -> np.ndarray:
        """What process and finish return when they complete no frame."""
        return np.zeros(0)

    def _band_magnitudes(self, frames: np.ndarray) -> np.ndarray:
        """Filterbank magnitudes (bands, frames) of windowed frames: sparse products
        with the frames as contiguous columns, each a serial sum in bin order."""
        # (samples, frames): the transform runs down contiguous columns.
        spectrum = scipy.fft.rfft(frames.T, axis=0, overwrite_x=True)
        return self._filterbank_t @ np.abs(spectrum[: self._num_bins])

    def _flux(self, frames: np.ndarray) -> np.ndarray:
        """Raw spectral flux of consecutive frames, continuing from the last call.

        ``frames`` are windowed already. Works on (bands, frames) arrays, so the filterbank and the sum over
        bands are sparse products with the frames as contiguous columns:
        each output is then a serial sum in band order, the same for any
        number of frames at once.
        """
        d = self._design
        bands = self._band_magnitudes(frames)
        if d.whitening_seconds > 0:
            bands = self._whiten(bands)
        bands = np.log1p(np.float32(d.compression) * bands)
        reference = bands
        for _ in range(d.max_filter_bands // 2):  # widen by one band on each side
            wider = reference.copy()
            np.maximum(wider[1:], reference[:-1], out=wider[1:])
            np.maximum(wider[:-1], reference[1:], out=wider[:-1])
            reference = wider
        if self._history is None:
            # No rise into the first frames: compare them with the first.
            self._history = np.repeat(reference[:, :1], self._lag, axis=1)
        earlier = np.concatenate((self._history, reference), axis=1)
        rise = np.maximum(bands - earlier[:, : bands.shape[1]], np.float32(0.0))
        self._history = earlier[:, -self._lag :]
        return (self._band_sum @ rise)[0].astype(np.float64)

    def _whiten(self, bands: np.ndarray) -> np.ndarray:
        """Divide each band by its decaying running peak (adaptive whitening)."""
        frames = np.arange(self._next_frame, self._next_frame + bands.shape[1])
        log_bands = np.log(np.maximum(bands, 1e-4, dtype=np.float64))
        shifted = log_bands - frames * self._white_log_decay
        if self._white_max is not None:
            shifted = np.hstack((self._white_max, shifted))
        running = np.maximum.accumulate(shifted, axis=1)[:, -bands.shape[1] :]
        self._white_max = running[:, -1:]
        peak = np.exp(running + frames * self._white_log_decay)
        return (bands / peak).astype(np.float32)

    def _normalise(self, flux: np.ndarray, first: int) -> np.ndarray:
        """Running normalisation of raw flux frames first, first + 1, ..."""
        d = self._design
        # Onsets over the mean of the last baseline_seconds (the noise floor).
        padded = np.concatenate((self._flux_history, flux))
        baseline = _windows(padded, self._baseline_frames).mean(axis=1)
        self._flux_history = padded[padded.size - self._flux_history.size :]
        onset = np.maximum(flux - self._design.baseline_scale * baseline, 0.0)
        # Causal smoothing: a peak stays where it is and spreads forward.
        padded = np.concatenate((self._smooth_history, onset))
        onset = (_windows(padded, self._smooth.size) * self._smooth).sum(axis=1)
        self._smooth_history = padded[padded.size - self._smooth_history.size :]
        # Peak level decaying by exp(log_decay) a frame: in the log domain a
        # running maximum of log(x[k]) - k * log_decay, exact in any blocks.
        frames = np.arange(first, first + onset.size)
        shifted = np.log(np.maximum(onset, d.level_floor)) - frames * self._log_decay
        running = np.maximum.accumulate(np.maximum(shifted, self._level_max))
        self._level_max = float(running[-1])
        level = np.exp(running + frames * self._log_decay)
        return np.minimum(onset / level, 1.0) ** d.exponent


def onset_strength(signal: npt.ArrayLike, sample_rate: float, fps: float = DEFAULT_FPS) -> np.ndarray:
    """Onset-strength activation of ``signal``: one value in [0, 1] per frame.

    Parameters
    ----------
    signal : array_like
        Audio, 1-D (mono) or (samples, channels), which is mixed down.
    sample_rate : float
        Its sampling rate in Hz.
    fps : float
        Frames per second of the activation.

    Returns
    -------
    numpy.ndarray
        float64, ``ceil(len(signal) * fps / sample_rate)`` frames; frame t is
        centred on sample ``t * sample_rate / fps``. The same values
        :class:`OnsetStream` gives for the signal in any blocks. Silence
        gives all zeros.
    """
    stream = OnsetStream(sample_rate, fps)
    samples = to_float32(signal, "signal")
    if samples.shape[0] == 0:
        raise ValueError("signal is empty")
    if not np.isfinite(samples).all():
        raise ValueError("signal has non-finite samples")
    return np.concatenate((stream.process(samples), stream.finish()))
