"""A picture of a result: the activation with the beats over it, the tempo below.

Needs matplotlib (the ``plot`` extra), imported only here; nothing else in
the package imports this module.
"""

from __future__ import annotations

import os

import numpy as np

from .errors import CadentiaError
from .io.paths import check_folder
from .results import FileResult

__all__ = ["check_plot_target", "plot_result"]


def check_plot_target(png: str) -> None:
    """Refuse a plot that cannot be drawn or written, before any work.

    Raises
    ------
    CadentiaError
        matplotlib is missing, or the image's folder does not exist.
    """
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CadentiaError("--plot needs matplotlib (pip install 'cadentia[plot]')") from None
    check_folder(png, "plot")


def plot_result(result: FileResult, png: str) -> None:
    """Draw a result kept with its activation into a PNG image.

    Parameters
    ----------
    result : FileResult
        From :func:`cadentia.batch.track_path` with ``keep_activation=True``.
        Beats are red; with positions, downbeats red and the other beats blue.
    png : str
        The image file.

    Raises
    ------
    CadentiaError
        The image cannot be written.
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    activation, beats = result.activation, result.beats
    if activation is None or beats is None:
        raise ValueError("plot_result needs a result with its activation and beats")
    name = os.path.basename(result.path)
    times = np.arange(activation.shape[0]) / result.fps
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(12, 6), sharex=True)
    if result.positions is None:
        top.plot(times, activation, lw=0.8, color="0.3", label="activation")
        for beat in beats:
            top.axvline(beat, color="tab:red", lw=0.8, alpha=0.7)
        top.set_title(f"{name}: {len(beats)} beats (red)")
    else:
        top.plot(times, activation[:, 0], lw=0.8, color="0.4", label="beat")
        top.plot(times, activation[:, 1], lw=0.8, color="tab:orange", label="downbeat")
        for beat, position in zip(beats, result.positions):
            top.axvline(beat, color="tab:red" if position == 1 else "tab:blue",
                        lw=1.2 if position == 1 else 0.6, alpha=0.7)
        top.legend(loc="upper right")
        top.set_title(f"{name}: {result.beats_per_bar} beats per bar (downbeats red, beats blue)")
    top.set_ylabel("activation")
    if result.frame_tempo is not None:
        bottom.plot(times, result.frame_tempo, color="tab:blue")
    elif result.beat_tempo is not None:
        bottom.step(beats, result.beat_tempo, where="post", color="tab:blue")
    elif len(beats) > 1:
        bottom.step(beats[1:], 60.0 / np.diff(beats), where="post", color="tab:blue")
    bottom.ticklabel_format(axis="y", useOffset=False)  # a steady tempo reads as itself
    bottom.set_ylabel("tempo (BPM)")
    bottom.set_xlabel("time (s)")
    fig.tight_layout()
    try:
        fig.savefig(png, dpi=100)
    except (OSError, ValueError) as exc:
        raise CadentiaError(f"cannot write plot {png}: {exc}") from None
    finally:
        plt.close(fig)
