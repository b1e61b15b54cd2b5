"""Reading and writing audio, and synthetic test pieces with known beats.

Audio is read with ``soundfile`` (the ``audio`` extra). Plain PCM WAV files
can also be read and written with the standard library, so the demo and the
tests work without it.
"""

from __future__ import annotations

import math
import os
import wave

import numpy as np

__all__ = ["AudioError", "read_audio", "write_wav", "click_beat_times", "synthesize_clicks"]


class AudioError(ValueError):
    """An audio file is missing, unreadable or empty."""


def read_audio(path) -> tuple[np.ndarray, int]:
    """Read an audio file as (float64 mono signal, sample rate)."""
    path = os.fspath(path)
    if not os.path.exists(path):
        raise AudioError(f"no such file: {path}")
    if os.path.isdir(path):
        raise AudioError(f"is a directory, not an audio file: {path}")
    try:
        import soundfile
    except ImportError:
        soundfile = None
    if soundfile is not None:
        try:
            signal, sample_rate = soundfile.read(path, dtype="float64", always_2d=True)
        except (RuntimeError, TypeError, ValueError, OSError) as exc:
            # LibsndfileError is a RuntimeError; its text says what went wrong.
            raise AudioError(f"cannot read audio from {path}: {exc}") from None
    elif path.lower().endswith(".wav"):
        signal, sample_rate = _read_pcm_wav(path)
    else:
        raise AudioError(
            f"cannot read {path}: reading this format needs the soundfile package "
            "(pip install 'cadentia[audio]')"
        )
    if signal.shape[0] == 0:
        raise AudioError(f"audio file has no samples: {path}")
    return signal.mean(axis=1), int(sample_rate)


def _read_pcm_wav(path: str) -> tuple[np.ndarray, int]:
    try:
        with wave.open(path, "rb") as wav:
            width = wav.getsampwidth()
            channels = wav.getnchannels()
            sample_rate = wav.getframerate()
            raw = wav.readframes(wav.getnframes())
    except (wave.Error, EOFError, OSError) as exc:
        raise AudioError(f"cannot read audio from {path}: {exc}") from None
    if width == 1:
        data = (np.frombuffer(raw, np.uint8).astype(np.float64) - 128.0) / 128.0
    elif width == 2:
        data = np.frombuffer(raw, "<i2") / 32768.0
    elif width == 4:
        data = np.frombuffer(raw, "<i4") / 2147483648.0
    else:
        raise AudioError(
            f"cannot read {path}: {8 * width}-bit WAV needs the soundfile package "
            "(pip install 'cadentia[audio]')"
        )
    return data.reshape(-1, channels), sample_rate


def write_wav(path, signal, sample_rate: int) -> None:
    """Write a mono signal in [-1, 1] as a 16-bit PCM WAV file."""
    samples = np.clip(np.asarray(signal, dtype=np.float64), -1.0, 1.0)
    pcm = np.round(samples * 32767.0).astype("<i2")
    with wave.open(os.fspath(path), "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(2)
        wav.setframerate(int(sample_rate))
        wav.writeframes(pcm.tobytes())


def click_beat_times(
    bpm: float,
    duration: float,
    *,
    end_bpm: float | None = None,
    change: str = "step",
    change_time: float | None = None,
    start: float = 0.3,
) -> np.ndarray:
    """Beat times in seconds of a metronome from ``start`` to ``duration``.

    Without ``end_bpm`` the tempo is constant. With it, the tempo either
    jumps from ``bpm`` to ``end_bpm`` at ``change_time`` (default: half way;
    ``change="step"``) or glides linearly between them over the whole piece
    (``change="ramp"``).
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


def _click(sample_rate: int, frequency: float, length: float = 0.03) -> np.ndarray:
    """A metronome tick: a broadband attack over a short decaying tone."""
    t = np.arange(int(length * sample_rate)) / sample_rate
    tone = np.sin(2 * np.pi * frequency * t) * np.exp(-t / (length / 5))
    # Fixed seed: every tick of a piece sounds the same.
    attack = np.random.default_rng(1).uniform(-1.0, 1.0, t.size) * np.exp(-t / 0.001)
    return 0.6 * tone + 0.4 * attack


def synthesize_clicks(
    bpm: float = 100.0,
    duration: float = 20.0,
    *,
    end_bpm: float | None = 130.0,
    change: str = "step",
    sample_rate: int = 22050,
    noise: float = 0.0,
    seed: int = 0,
) -> tuple[np.ndarray, int, np.ndarray]:
    """A metronome test piece: (signal, sample rate, beat times in seconds).

    Every beat is a short 1 kHz click, the first of every four an accented
    1.5 kHz one; clicks peak near 0.5. ``noise`` is the RMS of white noise
    added on top. The tempo changes as in :func:`click_beat_times`.
    """
    beats = click_beat_times(bpm, duration, end_bpm=end_bpm, change=change)
    signal = np.zeros(int(round(duration * sample_rate)))
    plain, accent = _click(sample_rate, 1000.0), _click(sample_rate, 1500.0)
    for i, beat in enumerate(beats):
        click = 0.5 * accent if i % 4 == 0 else 0.35 * plain
        at = int(round(beat * sample_rate))
        end = min(signal.size, at + click.size)
        signal[at:end] += click[: end - at]
    if noise > 0:
        signal += np.random.default_rng(seed).normal(0.0, noise, signal.size)
    return signal.astype(np.float32), sample_rate, beats
