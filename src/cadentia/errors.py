"""The package's one family of errors.

Library code raises :class:`CadentiaError` (a ``ValueError``, so callers
that caught ``ValueError`` before still do) or one of its kinds; the
command line turns any of them into a one-line message and an exit status.
"""

from __future__ import annotations

__all__ = ["AudioError", "CadentiaError", "TruncatedAudio"]


class CadentiaError(ValueError):
    """A problem with the input or the options, told in one line."""


class AudioError(CadentiaError):
    """An audio or activation file is missing, unreadable, implausible or empty."""


class TruncatedAudio(AudioError):
    """Audio ended before its header said it would, or inside a sample frame.

    Raised after every whole frame before the end has been yielded, so a
    live reader can report the beats those frames gave before the error.
    """
