"""Onset strength from audio: log-magnitude spectral flux.

This is the activation used when none is given: for every frame, how much
the log-magnitude spectrum rose since the frame before, summed over
frequency bands and scaled to 0..1. Percussive onsets, which is where beats
usually are, make it peak.

The tracker reads the activation as a beat probability, and a frame whose
activation is above about 1 / observation_lambda counts as evidence *for* a
beat. Raw flux does not behave like that: broadband noise gives every frame
a sizeable flux. So the flux is taken relative to its local mean (onsets
stand out from the noise floor, the floor itself drops to zero), smoothed
over a few frames (a beat region spans several frames, a click only one or
two) and squared after normalising, which keeps the residue of the floor
well below the evidence level while strong onsets stay near 1.
"""

from __future__ import annotations

import math

import numpy as np

__all__ = ["onset_strength"]

# About 46 ms, the usual spectral-flux window: long enough to resolve
# pitch, short enough to keep onsets within a frame or two.
_WINDOW_SECONDS = 0.0464
_BANDS_PER_OCTAVE = 12
_MIN_FREQUENCY = 30.0
_MAX_FREQUENCY = 16000.0
# Magnitudes are sinusoid amplitudes (full scale 1) before log1p(_COMPRESSION * x).
_COMPRESSION = 25.0
_BASELINE_SECONDS = 0.5
_SMOOTH_FRAMES = 5
# Frames per FFT call, to bound memory on long files.
_BLOCK_FRAMES = 512


def _log_filterbank(frame_size: int, sample_rate: float) -> np.ndarray:
    """Triangular filters, a fixed number per octave, as (bins, bands) weights."""
    num_bins = frame_size // 2 + 1
    top = min(_MAX_FREQUENCY, sample_rate / 2)
    num_centres = int(math.floor(_BANDS_PER_OCTAVE * math.log2(top / _MIN_FREQUENCY))) + 1
    centres = _MIN_FREQUENCY * 2.0 ** (np.arange(num_centres) / _BANDS_PER_OCTAVE)
    # Low bands closer than a bin apart collapse onto the same bin.
    bins = np.unique(np.round(centres * frame_size / sample_rate).astype(np.int64))
    bins = bins[bins < num_bins]
    weights = np.zeros((num_bins, max(bins.size - 2, 0)))
    for band, (lo, mid, hi) in enumerate(zip(bins[:-2], bins[1:-1], bins[2:])):
        weights[lo : mid + 1, band] = np.linspace(0.0, 1.0, mid - lo + 1)
        weights[mid : hi + 1, band] = np.linspace(1.0, 0.0, hi - mid + 1)
        weights[:, band] /= weights[:, band].sum()
    return weights


def onset_strength(signal, sample_rate: float, fps: float = 100.0) -> np.ndarray:
    """Onset-strength activation of ``signal``: one value in [0, 1] per frame.

    ``signal`` is 1-D (mono) or 2-D (samples, channels), which is mixed down.
    Frame t is centred on sample ``t * sample_rate / fps``; there are
    ``ceil(len(signal) * fps / sample_rate)`` frames. Silence gives all zeros.
    """
    audio = np.asarray(signal, dtype=np.float64)
    if audio.ndim == 2:
        audio = audio.mean(axis=1)
    if audio.ndim != 1:
        raise ValueError(f"signal must be 1-D or (samples, channels), got shape {np.shape(signal)}")
    sample_rate = float(sample_rate)
    fps = float(fps)
    if not (math.isfinite(sample_rate) and sample_rate >= 1000):
        raise ValueError(f"sample rate must be at least 1000 Hz, got {sample_rate:g}")
    if not (math.isfinite(fps) and 0 < fps <= sample_rate):
        raise ValueError(f"fps must be positive and at most the sample rate, got {fps:g}")
    if audio.size == 0:
        raise ValueError("signal is empty")
    if not np.isfinite(audio).all():
        raise ValueError("signal has non-finite samples")

    frame_size = 1 << round(math.log2(_WINDOW_SECONDS * sample_rate))
    hop = sample_rate / fps
    num_frames = math.ceil(audio.size / hop)
    padded = np.concatenate((np.zeros(frame_size // 2), audio, np.zeros(frame_size)))
    starts = np.round(np.arange(num_frames) * hop).astype(np.int64)
    window = np.hanning(frame_size)
    # Scale so a full-scale sinusoid has magnitude 1 whatever the frame size.
    window *= 2.0 / window.sum()
    filterbank = _log_filterbank(frame_size, sample_rate)
    offsets = np.arange(frame_size)

    flux = np.zeros(num_frames)
    previous = None
    for block in range(0, num_frames, _BLOCK_FRAMES):
        frames = padded[starts[block : block + _BLOCK_FRAMES, np.newaxis] + offsets]
        bands = np.abs(np.fft.rfft(frames * window, axis=1)) @ filterbank
        bands = np.log1p(_COMPRESSION * bands)
        if previous is None:
            previous = bands[:1]  # no rise into the first frame
        rise = np.diff(np.concatenate((previous, bands)), axis=0)
        flux[block : block + frames.shape[0]] = np.maximum(rise, 0.0).sum(axis=1)
        previous = bands[-1:]

    width = max(1, round(_BASELINE_SECONDS * fps)) | 1  # odd, so it stays centred
    baseline = np.convolve(flux, np.full(width, 1.0 / width), mode="same")
    flux = np.maximum(flux - baseline, 0.0)
    flux = np.convolve(flux, np.hanning(_SMOOTH_FRAMES + 2)[1:-1], mode="same")
    peak = flux.max()
    if peak <= 0:
        return np.zeros(num_frames)
    return (flux / peak) ** 2
