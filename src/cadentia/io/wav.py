"""The one reader of WAV and raw PCM, for files and for streams alike.

``cadentia live`` reads standard input as the bytes arrive, the file
commands read files in blocks; both parse the header with
:func:`read_wav_header` and decode the samples with :func:`pcm_blocks`, so
a WAV that one of them reads, the other reads the same way.

A header is a few fields a corrupted file can set to anything, so every
field is checked before it is used: the sample rate and the channel count
must be plausible, the sample width one this reader decodes, the block
alignment consistent with them. Samples are read in blocks of bounded
size whatever the header claims, so no header can make reading take more
memory than a block, or more time than reading the file. Data that ends
before the size the header announces is an error, raised after the whole
frames before it have been yielded: a live reader reports the beats they
gave first; a file command reports the file as truncated and writes
nothing.
"""

from __future__ import annotations

import struct
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ..errors import AudioError, TruncatedAudio

__all__ = [
    "MAX_CHANNELS",
    "MAX_SAMPLE_RATE",
    "NotWav",
    "UnsupportedWav",
    "WavFormat",
    "check_audio_format",
    "pcm_blocks",
    "pcm_to_float32",
    "read_wav_header",
]

# Far above any recording (768 kHz is the fastest converters run) and any
# channel layout (22.2 is 24), far below what a corrupted field can say.
MAX_SAMPLE_RATE = 768_000
MAX_CHANNELS = 256
# At most this many bytes are asked for at a time.
BLOCK_BYTES = 1 << 18

_WAV_PCM, _WAV_FLOAT, _WAV_EXTENSIBLE = 1, 3, 0xFFFE
_PCM_TYPES: dict[int, np.dtype[Any]] = {1: np.dtype(np.uint8), 2: np.dtype("<i2"), 4: np.dtype("<i4")}


class NotWav(AudioError):
    """The input does not start with a RIFF/RF64 WAVE header."""


class UnsupportedWav(AudioError):
    """A well-formed WAV header of a sample encoding this reader does not decode."""


@dataclass(frozen=True)
class WavFormat:
    """What a WAV header says about the samples after it."""

    width: int  # bytes per sample
    floating: bool
    channels: int
    sample_rate: int
    data_bytes: int | None  # None: the data runs to the end of the input


def check_audio_format(sample_rate: float, channels: int, name: str) -> None:
    """Refuse a sample rate or channel count no audio has, before anything is allocated.

    Raises
    ------
    AudioError
        The sample rate is not in (0, :data:`MAX_SAMPLE_RATE`] or the
        channel count not in [1, :data:`MAX_CHANNELS`].
    """
    if not 0 < sample_rate <= MAX_SAMPLE_RATE:
        raise AudioError(f"cannot read audio from {name}: implausible sample rate {sample_rate:g} Hz "
                         f"(at most {MAX_SAMPLE_RATE:,})")
    if not 1 <= channels <= MAX_CHANNELS:
        raise AudioError(f"cannot read audio from {name}: implausible channel count {channels} "
                         f"(at most {MAX_CHANNELS})")


def _read_exact(read: Callable[[int], bytes], count: int) -> bytes:
    """Up to ``count`` bytes; fewer only at the end of the input."""
    parts, got = [], 0
    while got < count:
        part = read(count - got)
        if not part:
            break
        parts.append(part)
        got += len(part)
    return b"".join(parts)


def read_wav_header(read: Callable[[int], bytes], name: str) -> WavFormat:
    """Read a WAV header up to the start of its sample data.

    Parameters
    ----------
    read : callable
        ``read(n)`` returns up to ``n`` bytes, empty at the end of the input.
    name : str
        What to call the input in messages: a path, or ``standard input``.

    Returns
    -------
    WavFormat
        The sample encoding and the size of the data, checked.

    Raises
    ------
    NotWav
        The input is empty or not WAV.
    UnsupportedWav
        A sample encoding other than 8/16/24/32-bit PCM or 32/64-bit float.
    AudioError
        An implausible or inconsistent header, or one cut short.
    """
    head = _read_exact(read, 12)
    if not head:
        raise NotWav(f"cannot read audio from {name}: no audio (it is empty)")
    if len(head) < 12 or head[:4] not in (b"RIFF", b"RF64") or head[8:12] != b"WAVE":
        raise NotWav(f"cannot read audio from {name}: not a WAV stream or file")
    ended = f"cannot read audio from {name}: it ended inside its WAV header"
    fmt = None
    wide_size = None  # RF64: the data size, in the ds64 chunk
    while True:
        chunk = _read_exact(read, 8)
        if len(chunk) < 8:
            raise AudioError(ended if fmt is None else f"cannot read audio from {name}: it ended before its audio data")
        chunk_name, size = chunk[:4], struct.unpack("<I", chunk[4:])[0]
        if chunk_name == b"data":
            break
        if chunk_name == b"ds64" and head[:4] == b"RF64" and 28 <= size <= 1024:
            ds64 = _read_exact(read, size + size % 2)
            if len(ds64) < size:
                raise AudioError(ended)
            wide_size = struct.unpack("<Q", ds64[8:16])[0]
            continue
        if chunk_name == b"fmt ":
            if not 16 <= size <= 1024:
                raise AudioError(f"cannot read audio from {name}: WAV format chunk of {size} bytes")
            fmt = _read_exact(read, size + size % 2)
            if len(fmt) < size:
                raise AudioError(ended)
            continue
        # Any other chunk is skipped, padded to an even size; a size past
        # the end of the input ends here.
        size += size % 2
        while size > 0:
            skipped = len(_read_exact(read, min(size, BLOCK_BYTES)))
            if not skipped:
                raise AudioError(ended)
            size -= skipped
    if fmt is None:
        raise AudioError(f"cannot read audio from {name}: WAV data comes before its format chunk")
    tag, channels, rate, _, align, bits = struct.unpack("<HHIIHH", fmt[:16])
    if tag == _WAV_EXTENSIBLE and len(fmt) >= 26:
        tag = struct.unpack("<H", fmt[24:26])[0]
    check_audio_format(rate, channels, name)
    floating = tag == _WAV_FLOAT
    if not ((tag == _WAV_PCM and bits in (8, 16, 24, 32)) or (floating and bits in (32, 64))):
        raise UnsupportedWav(f"cannot read audio from {name}: unsupported WAV sample format "
                             f"(format {tag}, {bits} bits)")
    width = bits // 8
    if align != width * channels:
        raise AudioError(f"cannot read audio from {name}: WAV header says {align} bytes per frame "
                         f"for {channels} channels of {bits} bits")
    if size == 0xFFFFFFFF and wide_size not in (None, 0, 2**64 - 1):
        size = wide_size
    # Streams written on the fly leave the size 0 or all ones: read to the end.
    data_bytes = None if size in (0, 0xFFFFFFFF) else size
    return WavFormat(width, floating, channels, rate, data_bytes)


def pcm_to_float32(raw: bytes, width: int, channels: int, *, floating: bool = False) -> npt.NDArray[np.float32]:
    """Little-endian interleaved PCM bytes as float32 (samples, channels), full scale 1.

    Parameters
    ----------
    raw : bytes
        Whole sample frames.
    width : int
        Bytes per sample: 1 (unsigned), 2, 3 or 4 (signed), or 4 or 8 with
        ``floating=True``.
    channels : int
        Interleaved channels.
    floating : bool
        IEEE float samples instead of integers.

    Returns
    -------
    numpy.ndarray
        float32 (samples, channels).
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


def pcm_blocks(
    read: Callable[[int], bytes], fmt: WavFormat, name: str, *, block_bytes: int = BLOCK_BYTES
) -> Iterator[npt.NDArray[np.float32]]:
    """Decode sample data as it is read, a block at a time.

    Parameters
    ----------
    read : callable
        ``read(n)`` returns up to ``n`` bytes (fewer whenever the input has
        no more yet), empty at the end.
    fmt : WavFormat
        The encoding; ``data_bytes`` None reads to the end of the input.
    name : str
        What to call the input in messages.
    block_bytes : int
        The most bytes asked for at a time (rounded down to whole frames).

    Yields
    ------
    numpy.ndarray
        float32 (samples, channels), full scale 1, each block as it arrives.

    Raises
    ------
    TruncatedAudio
        After the last whole frame, when the input ends inside a frame or
        before the announced size.
    """
    frame_bytes = fmt.width * fmt.channels
    block_bytes = max(frame_bytes, block_bytes // frame_bytes * frame_bytes)
    remaining = fmt.data_bytes
    pending = b""
    while remaining is None or remaining > 0:
        data = read(block_bytes if remaining is None else min(block_bytes, remaining))
        if not data:
            break
        if remaining is not None:
            remaining -= len(data)
        data = pending + data
        usable = len(data) - len(data) % frame_bytes
        pending = data[usable:]
        if usable:
            yield pcm_to_float32(data[:usable], fmt.width, fmt.channels, floating=fmt.floating)
    if remaining:
        raise TruncatedAudio(f"{name} is truncated: it ends {remaining:,} bytes before the end of "
                             "the audio data its header announces")
    if pending and fmt.data_bytes is None:
        raise TruncatedAudio(f"{name} ended in the middle of a sample frame "
                             f"({len(pending)} of {frame_bytes} bytes)")
