"""``cadentia beats`` and ``cadentia downbeats``: one file to standard output, or a batch."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import os
import shutil
import sys
import tempfile
from collections.abc import Iterator
from typing import Any

from .. import batch
from ..errors import AudioError, CadentiaError
from ..io.paths import check_folder
from ..plot import check_plot_target, plot_result
from ..results import format_result
from ..sonify import sonify_result
from .batch import run_batch
from .options import (UsageError, add_batch_options, add_input_options, add_meter_options, add_model_options,
                      as_usage_error, meter_options, model_options)

__all__ = ["add_track_commands"]

# The FILE that stands for audio on standard input.
STDIN = "-"


def _command(commands: Any, kind: batch.Kind, summary: str, description: str, inputs: str, formats: str
             ) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(kind, help=summary, description=description)
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help=f"audio file, or activation ({inputs}); several files or folders for a batch; "
                             f"'-' for audio on standard input")
    add_input_options(parser, formats)
    parser.set_defaults(run=lambda args: _track_command(args, kind))
    return parser


def add_track_commands(commands: Any) -> None:
    """The ``beats`` and ``downbeats`` commands."""
    beats = _command(
        commands, "beats", "print the beat times of an audio file or beat activation",
        "Print the beat times (seconds) of an audio file or a beat activation, or write them for many files.",
        ".npy or text, one value per frame", "text, one beat time per line; json, beats and tempo")
    add_model_options(beats)
    add_batch_options(beats)

    bars = _command(
        commands, "downbeats", "print the beats and their position in the bar (1 = downbeat)",
        "Print beat times (seconds) and their position in the bar, 1 for a downbeat, of an audio file "
        "or a two-column beat/downbeat activation, or write them for many files.",
        ".npy of shape (frames, 2), or text with two values per line: beat, downbeat",
        "text, one 'time position' pair per line; json, beats, positions, meter and tempo")
    meter = add_meter_options(bars)
    meter.add_argument("--beat-includes-downbeats", action="store_true",
                       help="the activation's first column is the probability of any beat, downbeats "
                            "included (default: of a beat that is not a downbeat)")
    add_model_options(bars)
    add_batch_options(bars)


def _options(args: argparse.Namespace, kind: batch.Kind) -> dict[str, Any]:
    """The options of :func:`cadentia.batch.track_path`, the model checked before any file is read."""
    options = model_options(args)
    if kind == "downbeats":
        options.update(meter_options(args))
    try:
        batch.build_model(kind, args.fps, **options)
    except ValueError as exc:
        raise as_usage_error("impossible tempo range" if kind == "beats" else "impossible downbeat model",
                             exc) from None
    if kind == "downbeats":
        options["beat_includes_downbeats"] = args.beat_includes_downbeats
    options.update(online=args.online, front_end=args.front_end, tempo_hint=args.tempo_hint, threshold=args.threshold)
    return options


@contextlib.contextmanager
def _spooled_stdin() -> Iterator[str]:
    """Standard input copied into a temporary file, which the audio readers can seek in."""
    if sys.stdin is None or sys.stdin.isatty():
        raise UsageError("FILE '-' reads audio from standard input, which is a terminal: pipe the audio in")
    with tempfile.TemporaryDirectory(prefix="cadentia-") as folder:
        path = os.path.join(folder, "stdin")
        with open(path, "wb") as spool:
            shutil.copyfileobj(sys.stdin.buffer, spool, 1 << 20)
        if not os.path.getsize(path):
            raise AudioError("no audio on standard input")
        yield path


def _track_command(args: argparse.Namespace, kind: batch.Kind) -> int:
    options = _options(args, kind)
    if args.output_dir == STDIN:
        raise UsageError("-o takes a folder; without it, one FILE's result goes to standard output")
    if STDIN in args.files and (len(args.files) > 1 or args.output_dir is not None):
        raise UsageError("'-' (audio on standard input) must be the only FILE, without -o")
    if len(args.files) > 1 or args.output_dir is not None or os.path.isdir(args.files[0]):
        single = [flag for flag in ("plot", "sonify") if getattr(args, flag) is not None]
        if single:
            raise UsageError(f"--{single[0]} needs one FILE and output to stdout (no -o)")
        return run_batch(args, kind, options)
    if args.plot is not None:
        check_plot_target(args.plot)
    if args.sonify is not None:
        check_folder(args.sonify, "sound")
    name = args.files[0]
    with _spooled_stdin() if name == STDIN else contextlib.nullcontext(name) as path:
        try:
            result = batch.track_path(path, kind=kind, fps=args.fps,
                                      keep_activation=args.plot is not None or args.sonify is not None, **options)
        except CadentiaError as exc:
            if path == name:
                raise
            raise type(exc)(str(exc).replace(path, "standard input")) from None
        shown = dataclasses.replace(result, path=name)
        sys.stdout.write(format_result(shown, args.format))
        sys.stdout.flush()
        if args.plot is not None:
            plot_result(result if path == name else dataclasses.replace(result, path="standard input"), args.plot)
        if args.sonify is not None:
            sonify_result(result, args.sonify)
    return 0
