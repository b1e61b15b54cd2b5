"""Reading and writing audio files.

WAV, in any PCM or float encoding, is read by :mod:`cadentia.io.wav`, the
reader ``cadentia live`` uses, so it needs nothing beyond NumPy; every
other format through ``soundfile`` (the ``audio`` extra). Either way the
file is read a block at a time as float32, with the sample rate and
channel count checked before anything is allocated, so memory is bounded
by the block size, not by the file or its header.
"""

from __future__ import annotations

import os
import wave
from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

from ..errors import AudioError
from .wav import NotWav, UnsupportedWav, check_audio_format, pcm_blocks, read_wav_header

__all__ = ["BLOCK_FRAMES", "audio_blocks", "check_path", "read_audio", "read_mono", "write_wav"]

# Samples per channel read at a time: 1.5 s at 44.1 kHz, a few MB at most.
BLOCK_FRAMES = 1 << 16
_NEEDS_SOUNDFILE = "reading this format needs the soundfile package (pip install 'cadentia[audio]')"


def check_path(path: str | os.PathLike[str]) -> str:
    """The path as a string, or AudioError if it is missing or a folder."""
    path = os.fspath(path)
    if not os.path.exists(path):
        raise AudioError(f"no such file: {path}")
    if os.path.isdir(path):
        raise AudioError(f"is a directory, not an audio file: {path}")
    return path


def audio_blocks(
    path: str | os.PathLike[str], block_frames: int = BLOCK_FRAMES
) -> Iterator[tuple[npt.NDArray[np.float32], int]]:
    """Read an audio file a block at a time.

    Parameters
    ----------
    path : str or os.PathLike
        The audio file: WAV, or anything soundfile reads.
    block_frames : int
        Samples per channel in each block (the last may be shorter; many
        channels make blocks shorter, to bound their size in bytes).

    Yields
    ------
    block : numpy.ndarray
        float32 of shape (samples, channels), full scale 1. The buffer may
        be reused for the next block: copy it to keep it.
    sample_rate : int
        The file's sampling rate.

    Raises
    ------
    AudioError
        The file is missing, unreadable, implausible, truncated or has no
        samples; the message names it.
    """
    path = check_path(path)
    empty = True
    for block, sample_rate in _blocks(path, block_frames):
        empty = False
        yield block, sample_rate
    if empty:
        raise AudioError(f"audio file has no samples: {path}")


def _blocks(path: str, block_frames: int) -> Iterator[tuple[npt.NDArray[np.float32], int]]:
    try:
        handle = open(path, "rb")
    except OSError as exc:
        raise AudioError(f"cannot read audio from {path}: {exc.strerror}") from None
    with handle:
        try:
            fmt = read_wav_header(handle.read, path)
        except (NotWav, UnsupportedWav) as exc:
            not_wav = exc
        else:
            block_bytes = block_frames * fmt.width * fmt.channels
            for block in pcm_blocks(handle.read, fmt, path, block_bytes=block_bytes):
                yield block, fmt.sample_rate
            return
    yield from _soundfile_blocks(path, block_frames, not_wav)


def _soundfile_blocks(
    path: str, block_frames: int, not_wav: AudioError
) -> Iterator[tuple[npt.NDArray[np.float32], int]]:
    try:
        import soundfile
    except ImportError:
        soundfile = None
    if soundfile is None:
        if isinstance(not_wav, UnsupportedWav) or path.lower().endswith((".wav", ".wave")):
            raise AudioError(f"{not_wav} (other formats and encodings need the soundfile package: "
                             "pip install 'cadentia[audio]')")
        raise AudioError(f"cannot read {path}: {_NEEDS_SOUNDFILE}")
    try:
        handle = soundfile.SoundFile(path)
    except (RuntimeError, TypeError, ValueError, OSError) as exc:
        # LibsndfileError is a RuntimeError; its text says what went wrong.
        raise AudioError(f"cannot read audio from {path}: {exc}") from None
    with handle:
        sample_rate = int(handle.samplerate)
        check_audio_format(sample_rate, handle.channels, path)
        block_frames = max(1, min(block_frames, block_frames * 2 // handle.channels))
        buffer = np.empty((block_frames, handle.channels), dtype=np.float32)
        while True:
            try:
                block = handle.read(block_frames, dtype="float32", always_2d=True, out=buffer)
            except (RuntimeError, ValueError, OSError) as exc:
                raise AudioError(f"cannot read audio from {path}: {exc}") from None
            if block.shape[0] == 0:
                break
            yield block, sample_rate
            if block.shape[0] < block_frames:
                break


def read_audio(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.float64], int]:
    """Read a whole audio file as (float64 mono signal, sample rate).

    Parameters
    ----------
    path : str or os.PathLike
        The audio file, as for :func:`audio_blocks`.

    Returns
    -------
    signal : numpy.ndarray
        float64 (samples,), the channels averaged.
    sample_rate : int
        The file's sampling rate.
    """
    blocks, sample_rate = [], 0
    for block, sample_rate in audio_blocks(path):
        blocks.append(block.mean(axis=1, dtype=np.float64))
    return np.concatenate(blocks), sample_rate


def read_mono(path: str | os.PathLike[str]) -> tuple[npt.NDArray[np.float32], int]:
    """Read a whole audio file as (float32 mono signal, sample rate), mixed down a block at a time.

    The whole file as float32 mono is the least memory an analysis that
    looks ahead can take.
    """
    blocks, sample_rate = [], 0
    for block, sample_rate in audio_blocks(path):
        blocks.append(block.mean(axis=1, dtype=np.float32))
    return np.concatenate(blocks), sample_rate


def write_wav(path: str | os.PathLike[str], signal: npt.ArrayLike, sample_rate: int) -> None:
    """Write a mono signal in [-1, 1] as a 16-bit PCM WAV file.

    Parameters
    ----------
    path : str or os.PathLike
        Where to write.
    signal : array_like
        Samples, clipped to [-1, 1].
    sample_rate : int
        Samples per second.
    """
    samples = np.clip(np.asarray(signal, dtype=np.float64), -1.0, 1.0)
    pcm = np.round(samples * 32767.0).astype("<i2")
    with wave.open(os.fspath(path), "wb") as wav:
        wav.setnchannels(1)
        wav.setsampwidth(2)
        wav.setframerate(int(sample_rate))
        wav.writeframes(pcm.tobytes())
