"""Reading and writing audio, and synthetic test pieces with known beats.

Audio is read with ``soundfile`` (the ``audio`` extra). Plain PCM WAV files
can also be read and written with the standard library, so the demo and the
tests work without it.

:func:`audio_blocks` reads a file a block at a time as float32, and
:func:`file_activation` turns an audio file (through the onset front end)
or a saved activation into a beat activation with memory bounded by the
block size, not by the length of the file.
"""

from __future__ import annotations

import math
import os
import wave
from collections.abc import Callable, Iterator

import numpy as np

__all__ = [
    "ACTIVATION_SUFFIXES",
    "AudioError",
    "audio_blocks",
    "file_activation",
    "load_activation",
    "pcm_to_float32",
    "read_audio",
    "write_wav",
    "click_beat_times",
    "synthesize_clicks",
]

# Beat activations computed elsewhere, one value per frame.
ACTIVATION_SUFFIXES = (".npy", ".txt", ".csv", ".act", ".dat")
# Samples per channel read at a time: 1.5 s at 44.1 kHz, a few MB at most.
BLOCK_FRAMES = 1 << 16


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


def _check_path(path) -> str:
    path = os.fspath(path)
    if not os.path.exists(path):
        raise AudioError(f"no such file: {path}")
    if os.path.isdir(path):
        raise AudioError(f"is a directory, not an audio file: {path}")
    return path


def audio_blocks(path, block_frames: int = BLOCK_FRAMES) -> Iterator[tuple[np.ndarray, int]]:
    """Read an audio file a block at a time.

    Parameters
    ----------
    path : str or os.PathLike
        The audio file: anything soundfile reads, or plain PCM WAV without it.
    block_frames : int
        Samples per channel in each block (the last may be shorter).

    Yields
    ------
    block : numpy.ndarray
        float32 of shape (samples, channels), full scale 1. The buffer is
        reused for the next block: copy it to keep it.
    sample_rate : int
        The file's sampling rate.

    Raises
    ------
    AudioError
        The file is missing, unreadable or has no samples.
    """
    path = _check_path(path)
    try:
        import soundfile
    except ImportError:
        soundfile = None
    if soundfile is None:
        if not path.lower().endswith(".wav"):
            raise AudioError(
                f"cannot read {path}: reading this format needs the soundfile package "
                "(pip install 'cadentia[audio]')"
            )
        yield from _pcm_wav_blocks(path, block_frames)
        return
    try:
        handle = soundfile.SoundFile(path)
    except (RuntimeError, TypeError, ValueError, OSError) as exc:
        # LibsndfileError is a RuntimeError; its text says what went wrong.
        raise AudioError(f"cannot read audio from {path}: {exc}") from None
    with handle:
        sample_rate = int(handle.samplerate)
        buffer = np.empty((block_frames, handle.channels), dtype=np.float32)
        empty = True
        while True:
            try:
                block = handle.read(block_frames, dtype="float32", always_2d=True, out=buffer)
            except (RuntimeError, ValueError, OSError) as exc:
                raise AudioError(f"cannot read audio from {path}: {exc}") from None
            if block.shape[0] == 0:
                break
            empty = False
            yield block, sample_rate
            if block.shape[0] < block_frames:
                break
        if empty:
            raise AudioError(f"audio file has no samples: {path}")


def _pcm_wav_blocks(path: str, block_frames: int) -> Iterator[tuple[np.ndarray, int]]:
    try:
        wav = wave.open(path, "rb")
    except (wave.Error, EOFError, OSError) as exc:
        raise AudioError(f"cannot read audio from {path}: {exc}") from None
    with wav:
        width, channels, sample_rate = wav.getsampwidth(), wav.getnchannels(), wav.getframerate()
        if width not in _PCM_TYPES:
            raise AudioError(
                f"cannot read {path}: {8 * width}-bit WAV needs the soundfile package "
                "(pip install 'cadentia[audio]')"
            )
        empty = True
        while True:
            try:
                raw = wav.readframes(block_frames)
            except (wave.Error, EOFError, OSError) as exc:
                raise AudioError(f"cannot read audio from {path}: {exc}") from None
            usable = len(raw) // (width * channels) * width * channels
            if usable == 0:
                break
            empty = False
            yield pcm_to_float32(raw[:usable], width, channels), sample_rate
        if empty:
            raise AudioError(f"audio file has no samples: {path}")


_PCM_TYPES = {1: np.uint8, 2: np.dtype("<i2"), 4: np.dtype("<i4")}


def pcm_to_float32(raw: bytes, width: int, channels: int, *, floating: bool = False) -> np.ndarray:
    """Little-endian interleaved PCM bytes as float32 (samples, channels), full scale 1.

    ``width`` is bytes per sample: 1 (unsigned), 2, 3 or 4 (signed), or 4 or
    8 with ``floating=True``.
    """
    if floating:
        data = np.frombuffer(raw, "<f4" if width == 4 else "<f8").astype(np.float32)
    elif width == 3:
        triples = np.frombuffer(raw, np.uint8).reshape(-1, 3)
        padded = np.zeros((triples.shape[0], 4), dtype=np.uint8)
        padded[:, 1:] = triples  # the sample in the high bytes of an int32
        data = padded.view("<i4").reshape(-1).astype(np.float32) * np.float32(2.0**-31)
    elif width == 1:
        data = (np.frombuffer(raw, np.uint8).astype(np.float32) - np.float32(128.0)) * np.float32(1 / 128)
    else:
        dtype = _PCM_TYPES[width]
        data = np.frombuffer(raw, dtype).astype(np.float32) * np.float32(2.0 ** (1 - 8 * width))
    return data.reshape(-1, channels)


def load_activation(path) -> np.ndarray:
    """Read a beat activation saved as ``.npy`` or as text, one value per frame.

    Raises
    ------
    AudioError
        The file is missing, unreadable, or not one number per frame.
    """
    path = _check_path(path)

    def one_per_frame(rows: list[list[str]]) -> np.ndarray:
        if len(rows) > 1 and any(len(row) != 1 for row in rows):
            raise AudioError(
                f"activation in {path} must be one value per frame: one per line, or all on one line"
            )
        return np.array([value for row in rows for value in row], dtype=np.float64)

    return read_numbers(path, one_per_frame, AudioError)


def read_numbers(
    path: str,
    from_rows: Callable[[list[list[str]]], np.ndarray],
    error: type[Exception],
) -> np.ndarray:
    """Read a numeric array saved as ``.npy`` or as text.

    Text is split into rows of values (commas count as spaces, blank lines
    are skipped) and ``from_rows`` turns them into an array, raising
    ``error`` for a layout it refuses. Every failure is raised as ``error``
    with a one-line message naming the file.
    """
    try:
        if path.lower().endswith(".npy"):
            values = np.load(path, allow_pickle=False)
        else:
            with open(path, encoding="utf-8") as handle:
                rows = [row for row in (line.replace(",", " ").split() for line in handle) if row]
            values = from_rows(rows)
    except error:
        raise
    except (OSError, ValueError, UnicodeDecodeError) as exc:
        raise error(f"cannot read activation from {path}: {exc}") from None
    values = np.asarray(values)
    if values.dtype.kind not in "biuf":
        raise error(f"activation in {path} is not numeric (dtype {values.dtype})")
    return values


def file_activation(path, fps: float = 100.0, *, online: bool = False) -> np.ndarray:
    """The beat activation of an audio file or of a saved activation.

    Parameters
    ----------
    path : str or os.PathLike
        Audio, or an activation (``.npy``, ``.txt``, ``.csv``, ``.act``,
        ``.dat``: one value in [0, 1] per frame at ``fps``), which is
        returned as read.
    fps : float
        Frames per second of the activation.
    online : bool
        Whether the activation is for live tracking. The front end is
        causal either way, so both give the same values today; the flag
        keeps callers right if the offline front end ever looks ahead.

    Returns
    -------
    numpy.ndarray
        One value per frame. Audio is read and analysed a block at a time,
        so memory stays bounded whatever the file's length.

    Raises
    ------
    AudioError
        The file is missing, unreadable or empty, or ``fps`` does not fit
        its sample rate; the message names the file.
    """
    from .onset import OnsetStream

    path = _check_path(path)
    if path.lower().endswith(ACTIVATION_SUFFIXES):
        return load_activation(path)
    stream = None
    parts = []
    try:
        for block, sample_rate in audio_blocks(path):
            if stream is None:
                if fps > sample_rate:
                    raise AudioError(f"fps {fps:g} is above the sample rate of {path} ({sample_rate} Hz)")
                stream = OnsetStream(sample_rate, fps)
            parts.append(stream.process(block))
        parts.append(stream.finish())
    except AudioError:
        raise
    except ValueError as exc:
        raise AudioError(f"{path}: {exc}") from None
    return np.concatenate(parts)


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
