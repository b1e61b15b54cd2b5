"""Synthetic test pieces with known beats: metronomes with tempo changes.

Used by the demonstration, the tests and the benchmarks; every piece is
reproducible from its arguments.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from .sonify import mix_clicks

__all__ = ["click_beat_times", "synthesize_clicks"]


def click_beat_times(
    bpm: float,
    duration: float,
    *,
    end_bpm: float | None = None,
    change: str = "step",
    change_time: float | None = None,
    start: float = 0.3,
) -> npt.NDArray[np.float64]:
    """Beat times in seconds of a metronome from ``start`` to ``duration``.

    Parameters
    ----------
    bpm : float
        The tempo at the start.
    duration : float
        Seconds; no beat at or after it.
    end_bpm : float, optional
        The tempo at the end; None keeps ``bpm`` throughout.
    change : {"step", "ramp"}
        The tempo jumps to ``end_bpm`` at ``change_time`` (default: half
        way), or glides linearly to it over the whole piece.
    change_time : float, optional
        When a step happens, in seconds.
    start : float
        The first beat, in seconds.

    Returns
    -------
    numpy.ndarray
        float64 beat times.
    """
    if not (bpm > 0 and duration > 0):
        raise ValueError("bpm and duration must be positive")
    if end_bpm is None:
        end_bpm, change = bpm, "step"
    if not end_bpm > 0:
        raise ValueError("end_bpm must be positive")
    times = [start]
    if change == "step":
        switch = duration / 2 if change_time is None else change_time
        while True:
            t = times[-1]
            # A beat interval belongs to the tempo in force where it starts.
            nxt = t + 60.0 / (bpm if t < switch else end_bpm)
            if nxt >= duration:
                break
            times.append(nxt)
    elif change == "ramp":
        slope = (end_bpm - bpm) / duration  # BPM per second
        while True:
            t = times[-1]
            tempo = bpm + slope * t
            # Advance one beat: solve integral of tempo/60 over [t, t + d] = 1.
            if abs(slope) < 1e-12:
                d = 60.0 / tempo
            else:
                d = (-tempo + math.sqrt(tempo * tempo + 120.0 * slope)) / slope
            if t + d >= duration:
                break
            times.append(t + d)
    else:
        raise ValueError(f"change must be 'step' or 'ramp', got {change!r}")
    return np.asarray(times)


def synthesize_clicks(
    bpm: float = 100.0,
    duration: float = 20.0,
    *,
    end_bpm: float | None = 130.0,
    change: str = "step",
    sample_rate: int = 22050,
    noise: float = 0.0,
    seed: int = 0,
) -> tuple[npt.NDArray[np.float32], int, npt.NDArray[np.float64]]:
    """A metronome test piece with known beats.

    Every beat is a short 1 kHz click, the first of every four an accented
    1.5 kHz one; clicks peak near 0.5.

    Parameters
    ----------
    bpm, duration, end_bpm, change
        The beats, as for :func:`click_beat_times`.
    sample_rate : int
        Samples per second.
    noise : float
        RMS of white noise added on top.
    seed : int
        Of the noise.

    Returns
    -------
    signal : numpy.ndarray
        float32 mono audio.
    sample_rate : int
        As given.
    beats : numpy.ndarray
        float64 beat times in seconds.
    """
    beats = click_beat_times(bpm, duration, end_bpm=end_bpm, change=change)
    bars = np.arange(beats.size) % 4 + 1
    signal = mix_clicks(np.zeros(int(round(duration * sample_rate))), sample_rate, beats, bars)
    if noise > 0:
        signal += np.random.default_rng(seed).normal(0.0, noise, signal.size)
    return signal.astype(np.float32), sample_rate, beats
