"""Tracking results, and the files they are written to.

A :class:`FileResult` is what tracking one file gives: plain arrays, so it
pickles and crosses process boundaries. :func:`format_result` gives the
text a command prints or a batch writes, in the field's formats: one beat
time per line (``time position`` for downbeats), or one JSON object.

Outputs are written atomically: the text goes to a temporary file in the
destination folder and is renamed over the destination, so a reader or an
interrupted run sees either the whole file or none. Each output carries a
record of what wrote it (the command and every option that changes its
content) in an extended attribute, which readers of the file never see; a
batch skips an existing output only when its record matches, so a rerun
resumes, and an output of another command or other options is never taken
for a result.
"""

from __future__ import annotations

import json
import os
import tempfile
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from .model.options import DEFAULT_FPS

__all__ = ["FORMATS", "FileResult", "format_result", "read_record", "write_result"]

FORMATS = ("text", "json")
# The extended attribute that holds an output's record.
_RECORD = "user.cadentia.result"


@dataclass(frozen=True, eq=False)
class FileResult:
    """The outcome of tracking one file.

    Attributes
    ----------
    path : str
        The input path, as given.
    beats : numpy.ndarray or None
        float64 beat times in seconds; None when the file failed.
    positions : numpy.ndarray or None
        int64 position of every beat in its bar (1 is the downbeat) for
        downbeats; None for beats and when the file failed.
    error : str or None
        A one-line message naming the file when it failed, None on success.
    beat_tempo : numpy.ndarray or None
        Tempo in BPM at each beat (beats only).
    tempo : float or None
        The piece's tempo in BPM, None without beats.
    beats_per_bar : int or None
        The decoded meter (downbeats only).
    fps : float
        Frames per second of the activation.
    online : bool
        Whether the causal, streaming trackers gave the result.
    activation, frame_tempo : numpy.ndarray or None
        The activation tracked and the decoded tempo of every frame
        (offline only), when asked for (for plots).
    """

    path: str
    beats: npt.NDArray[np.float64] | None
    positions: npt.NDArray[np.int64] | None = None
    error: str | None = None
    beat_tempo: npt.NDArray[np.float64] | None = None
    tempo: float | None = None
    beats_per_bar: int | None = None
    fps: float = DEFAULT_FPS
    online: bool = False
    activation: npt.NDArray[np.float64] | None = field(default=None, repr=False)
    frame_tempo: npt.NDArray[np.float64] | None = field(default=None, repr=False)

    @property
    def ok(self) -> bool:
        """Whether the file was tracked."""
        return self.error is None


def format_result(result: FileResult, fmt: str = "text") -> str:
    """The text of a result, as printed and as written.

    Parameters
    ----------
    result : FileResult
        A successful result.
    fmt : {"text", "json"}
        ``text``: one beat per line, ``time`` or ``time position``;
        ``json``: one object with the beats, the tempo and the mode (and
        the positions and meter for downbeats), on one line.

    Returns
    -------
    str
        The text, ending in a newline.
    """
    if result.beats is None:
        raise ValueError(f"no beats to format: {result.error}")
    if fmt == "text":
        if result.positions is None:
            return "".join(f"{t:.3f}\n" for t in result.beats)
        return "".join(f"{t:.3f} {int(p)}\n" for t, p in zip(result.beats, result.positions))
    if fmt != "json":
        raise ValueError(f"format must be one of {FORMATS}, got {fmt!r}")
    report: dict[str, Any] = {
        "file": result.path,
        "fps": result.fps,
        "mode": "online" if result.online else "offline",
        "beats": [round(float(b), 3) for b in result.beats],
    }
    if result.positions is not None:
        report["positions"] = [int(p) for p in result.positions]
        report["beats_per_bar"] = result.beats_per_bar
    report["tempo"] = None if result.tempo is None else round(result.tempo, 2)
    if result.positions is None:
        tempi = () if result.beat_tempo is None else result.beat_tempo
        report["beat_tempo"] = [round(float(t), 2) for t in tempi]
    return json.dumps(report) + "\n"


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


_UMASK = _umask()


def write_result(
    result: FileResult, destination: str | os.PathLike[str], fmt: str = "text", *, record: str | None = None
) -> None:
    """Write a result to ``destination`` atomically (temporary file, then rename).

    Parameters
    ----------
    result : FileResult
        A successful result.
    destination : str or os.PathLike
        The output file. A reader never sees it partly written, and an
        interrupted or failed write leaves whatever was there before.
    fmt : {"text", "json"}
        As for :func:`format_result`.
    record : str, optional
        What wrote it, kept with the file (see :func:`read_record`); where
        the file system keeps no extended attributes, the file is written
        without it.
    """
    text = format_result(result, fmt)
    destination = os.fspath(destination)
    folder, name = os.path.split(os.path.abspath(destination))
    # Hidden and with a suffix no input has, so a rerun over the folder never
    # mistakes a leftover for an input.
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as handle:
            handle.write(text)
        os.chmod(temporary, 0o666 & ~_UMASK)  # mkstemp makes it private
        if record is not None:
            try:
                os.setxattr(temporary, _RECORD, record.encode())
            except (OSError, AttributeError):  # no extended attributes here (or not on Linux)
                pass
        # No fsync: renaming a closed file is atomic against an interrupted
        # process, which is what resuming needs.
        os.replace(temporary, destination)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def read_record(path: str | os.PathLike[str]) -> str | None:
    """The record :func:`write_result` kept with an output, None if it has none."""
    try:
        return os.getxattr(path, _RECORD).decode(errors="replace")
    except (OSError, AttributeError):
        return None
