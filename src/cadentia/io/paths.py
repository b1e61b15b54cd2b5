"""Inputs and outputs of many files: folders expanded, outputs named and checked.

A folder given as an input stands for the audio files and ``.npy``
activations inside it (text activations share their suffixes with notes and
annotations, so they are taken from a folder only when a pattern asks for
them); files given by name are taken as they are.
"""

from __future__ import annotations

import fnmatch
import os
import tempfile
from collections.abc import Callable, Iterable, Sequence

from ..errors import CadentiaError

__all__ = ["AUDIO_SUFFIXES", "DEFAULT_SUFFIX", "check_folder", "check_outputs", "check_writable", "expand_paths", "output_path"]

# Formats libsndfile reads (soundfile, the `audio` extra); WAV also reads without it.
AUDIO_SUFFIXES = (
    ".wav", ".wave", ".flac", ".ogg", ".oga", ".opus", ".mp3", ".aif", ".aiff",
    ".aifc", ".au", ".snd", ".w64", ".rf64", ".caf",
)  # fmt: skip
DEFAULT_SUFFIX = ".beats"
# What a folder stands for when no pattern is given.
FOLDER_SUFFIXES = (*AUDIO_SUFFIXES, ".npy")


def output_path(path: str | os.PathLike[str], out_dir: str | os.PathLike[str] | None, suffix: str = DEFAULT_SUFFIX
) -> str:
    """Where the result for ``path`` goes: its stem plus ``suffix``, in ``out_dir`` or beside it.

    Parameters
    ----------
    path : str or os.PathLike
        The input.
    out_dir : str or os.PathLike, optional
        The output folder; None puts the result beside its input.
    suffix : str
        The result's file-name ending, such as ``.beats``.

    Returns
    -------
    str
        The output path.
    """
    path = os.fspath(path)
    folder = os.path.dirname(path) if out_dir is None else os.fspath(out_dir)
    stem = os.path.splitext(os.path.basename(path))[0]
    return os.path.join(folder, stem + suffix)


def expand_paths(
    paths: Iterable[str | os.PathLike[str]],
    *,
    exclude_suffix: str | None = DEFAULT_SUFFIX,
    pattern: str | None = None,
    keep: Callable[[str], bool] | None = None,
) -> list[str]:
    """Replace every directory among ``paths`` by the inputs inside it.

    Parameters
    ----------
    paths : iterable of str or os.PathLike
        Files and folders. Files are kept as given, in order, whether or
        not they exist (tracking reports a missing file).
    exclude_suffix : str, optional
        Files in a folder ending in this (the outputs of an earlier run)
        are left out.
    pattern : str, optional
        A shell pattern (``*.txt``) for the names of the files a folder
        stands for, instead of its audio files and ``.npy`` activations.
    keep : callable, optional
        A test on file names that replaces both.

    Returns
    -------
    list of str
        Folders searched recursively, their files sorted by path; hidden
        files and folders are left out.
    """
    if keep is None:
        def keep(name: str) -> bool:
            lower = name.lower()
            if exclude_suffix and lower.endswith(exclude_suffix.lower()):
                return False
            return fnmatch.fnmatch(name, pattern) if pattern else lower.endswith(FOLDER_SUFFIXES)

    expanded: list[str] = []
    for path in [os.fspath(p) for p in paths]:
        if not os.path.isdir(path):
            expanded.append(path)
            continue
        found: list[str] = []
        for root, dirs, files in os.walk(path):
            dirs[:] = [d for d in dirs if not d.startswith(".")]
            found.extend(os.path.join(root, f) for f in files if not f.startswith(".") and keep(f))
        expanded.extend(sorted(found))
    return expanded


def check_outputs(paths: Sequence[str], outputs: Sequence[str]) -> None:
    """Refuse outputs that two inputs share, or that are inputs.

    Raises
    ------
    CadentiaError
        Naming the two paths.
    """
    inputs = {os.path.realpath(p): p for p in paths}
    seen: dict[str, str] = {}
    for path, out in zip(paths, outputs):
        real = os.path.realpath(out)
        if real in inputs:
            raise CadentiaError(f"output {out} for {path} would overwrite the input {inputs[real]}")
        if real in seen:
            raise CadentiaError(f"{seen[real]} and {path} would both be written to {out}")
        seen[real] = path


def check_folder(path: str, what: str) -> None:
    """Refuse a file to be written into a folder that does not exist, before any work.

    Raises
    ------
    CadentiaError
        Saying ``cannot write {what} {path}: no such directory ...``.
    """
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise CadentiaError(f"cannot write {what} {path}: no such directory {folder}")


def check_writable(outputs: Iterable[str]) -> None:
    """Create the outputs' folders and check a file can be written in each, before any work.

    Raises
    ------
    CadentiaError
        A folder cannot be created or written to; the message names it.
    """
    for folder in sorted({os.path.dirname(os.path.abspath(out)) for out in outputs}):
        try:
            os.makedirs(folder, exist_ok=True)
            # Trying is the only sure test: permissions, read-only mounts
            # and quotas all answer it.
            fd, probe = tempfile.mkstemp(prefix=".cadentia-", suffix=".part", dir=folder)
            os.close(fd)
            os.unlink(probe)
        except OSError as exc:
            raise CadentiaError(f"cannot write results to {folder}: {exc.strerror or exc}") from None
