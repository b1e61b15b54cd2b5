"""Synthetic test pieces with known beat times, made on the fly.

Metronome clicks and drum-kit patterns from 60 to 200 BPM, with tempo
changes, syncopation, missing beats and added noise. Every piece carries
its ground-truth beat times; nothing is downloaded.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from cadentia.testing import click_beat_times, synthesize_clicks

SAMPLE_RATE = 22050
DURATION = 30.0


@dataclass(frozen=True)
class Piece:
    name: str
    signal: np.ndarray
    sample_rate: int
    beats: np.ndarray  # ground truth, seconds


def _decay(length: float, tau: float) -> np.ndarray:
    t = np.arange(int(length * SAMPLE_RATE)) / SAMPLE_RATE
    return t, np.exp(-t / tau)


def _kick() -> np.ndarray:
    t, env = _decay(0.25, 0.06)
    # Pitch falls from 150 Hz to about 50 Hz, like a struck bass drum.
    phase = 2 * np.pi * (50 * t + 100 * 0.03 * (1 - np.exp(-t / 0.03)))
    return 0.9 * np.sin(phase) * env


def _snare(rng) -> np.ndarray:
    t, env = _decay(0.2, 0.04)
    return 0.5 * (0.7 * rng.uniform(-1, 1, t.size) + 0.3 * np.sin(2 * np.pi * 190 * t)) * env


def _hat(rng) -> np.ndarray:
    t, env = _decay(0.05, 0.01)
    return 0.15 * np.diff(rng.uniform(-1, 1, t.size + 1)) * env


# Onsets per bar in beats (0 = the downbeat); a bar has four beats.
PATTERNS = {
    "rock": {"kick": [0, 2], "snare": [1, 3], "hat": [0, 0.5, 1, 1.5, 2, 2.5, 3, 3.5]},
    # Kicks pushed off the beat, a sixteenth and an eighth early.
    "syncopated": {"kick": [0, 0.75, 2.5], "snare": [1, 3], "hat": [0, 0.5, 1, 1.5, 2, 2.5, 3, 3.5]},
    # Hats only between the beats, as in disco.
    "offbeat": {"kick": [0, 1, 2, 3], "snare": [1, 3], "hat": [0.5, 1.5, 2.5, 3.5]},
}


def drums(
    bpm: float,
    *,
    end_bpm: float | None = None,
    pattern: str = "rock",
    missing: float = 0.0,
    noise: float = 0.0,
    seed: int = 0,
) -> Piece:
    """A drum-kit loop. ``missing`` is the fraction of beats left silent."""
    rng = np.random.default_rng(seed)
    beats = click_beat_times(bpm, DURATION, end_bpm=end_bpm)
    # Positions between beats are interpolated, so off-beats follow tempo changes.
    grid = np.append(beats, beats[-1] + (beats[-1] - beats[-2]))
    sounds = {"kick": _kick(), "snare": _snare(rng), "hat": _hat(rng)}
    silent = rng.random(beats.size) < missing
    signal = np.zeros(int(DURATION * SAMPLE_RATE))
    for index in range(beats.size):
        if silent[index]:
            continue
        for name, positions in PATTERNS[pattern].items():
            for position in positions:
                if int(position) != index % 4:
                    continue
                frac = position - int(position)
                at = grid[index] + frac * (grid[index + 1] - grid[index])
                start = int(round(at * SAMPLE_RATE))
                sound = sounds[name][: max(0, signal.size - start)]
                signal[start : start + sound.size] += sound
    if noise:
        signal += rng.normal(0.0, noise, signal.size)
    label = f"drums-{pattern}-{bpm:g}" + (f"-to-{end_bpm:g}" if end_bpm else "")
    label += f"-missing{missing:g}" if missing else ""
    label += f"-noise{noise:g}" if noise else ""
    return Piece(label, signal, SAMPLE_RATE, beats)


def clicks(
    bpm: float,
    *,
    end_bpm: float | None = None,
    change: str = "step",
    missing: float = 0.0,
    noise: float = 0.0,
    seed: int = 0,
) -> Piece:
    """A metronome; ``missing`` is the fraction of clicks left out."""
    signal, sample_rate, beats = synthesize_clicks(
        bpm, DURATION, end_bpm=end_bpm, change=change, sample_rate=SAMPLE_RATE, seed=seed
    )
    signal = signal.astype(np.float64)
    rng = np.random.default_rng(seed + 1)
    if missing:
        for beat in beats[rng.random(beats.size) < missing]:
            start = int(round(beat * sample_rate))
            signal[start : start + int(0.05 * sample_rate)] = 0.0
    if noise:
        signal += rng.normal(0.0, noise, signal.size)
    label = f"clicks-{bpm:g}" + (f"-{change}-to-{end_bpm:g}" if end_bpm else "")
    label += f"-missing{missing:g}" if missing else ""
    label += f"-noise{noise:g}" if noise else ""
    return Piece(label, signal, sample_rate, beats)


def clean_pieces() -> list[Piece]:
    return [
        *(clicks(bpm) for bpm in (60, 75, 90, 110, 128, 150, 175, 200)),
        clicks(90, end_bpm=140),
        clicks(160, end_bpm=120),
        clicks(100, end_bpm=130, change="ramp"),
        clicks(120, missing=0.2, seed=3),
        drums(95),
        drums(128),
        drums(170),
        drums(110, pattern="syncopated"),
        drums(84, pattern="offbeat"),
        drums(124, pattern="offbeat"),
        drums(100, end_bpm=125),
        drums(120, missing=0.15, seed=5),
    ]


def noisy_pieces() -> list[Piece]:
    return [
        clicks(60, noise=0.05, seed=11),
        clicks(100, noise=0.1, seed=12),
        clicks(140, noise=0.1, seed=13),
        clicks(190, noise=0.1, seed=14),
        clicks(90, end_bpm=140, noise=0.1, seed=15),
        clicks(120, missing=0.2, noise=0.05, seed=16),
        drums(95, noise=0.1, seed=17),
        drums(128, noise=0.2, seed=18),
        drums(110, pattern="syncopated", noise=0.1, seed=19),
        drums(100, end_bpm=125, noise=0.1, seed=20),
    ]
