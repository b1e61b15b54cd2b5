"""The command line's options, each defined once.

The tempo-model options are generated from the fields of
:class:`cadentia.model.options.TempoModel`, with its defaults and help
texts, so every tracking command takes every one of them; the options of
the input and of a batch are added here for every command that has them.
A usage error is a :class:`UsageError`: one line naming the option, exit
status 2.
"""

from __future__ import annotations

import argparse
import math
import re
from collections.abc import Callable
from dataclasses import MISSING, fields
from typing import Any

from ..errors import CadentiaError
from ..frontend import DEFAULT_FRONT_END, FRONT_ENDS
from ..io.paths import DEFAULT_SUFFIX
from ..model.bars import DEFAULT_BEATS_PER_BAR, DEFAULT_METER_CHANGE
from ..model.options import DEFAULT_FPS, TempoModel, TempoPrior
from ..results import FORMATS

__all__ = [
    "UsageError",
    "add_batch_options",
    "add_input_options",
    "add_model_options",
    "add_tempo_hint_option",
    "as_usage_error",
    "model_options",
    "option_name",
    "positive",
    "whole",
]


class UsageError(CadentiaError):
    """Options that do not fit together or do not make a model; exit status 2."""


def option_name(parameter: str) -> str:
    """The command-line option of a library parameter: ``max_bpm`` is ``--max-bpm``."""
    return "--" + parameter.replace("_", "-")


# Library parameters that are options of the command line, as messages name them.
_PARAMETERS = re.compile(r"\b(" + "|".join(
    [f.name for f in fields(TempoModel)] + ["fps", "beats_per_bar", "meter_change"]) + r")\b")


def as_usage_error(prefix: str, exc: Exception) -> UsageError:
    """A library's refusal of options, told with the options' names."""
    return UsageError(f"{prefix}: " + _PARAMETERS.sub(lambda m: option_name(m.group(1)), str(exc)))


def number(text: str) -> float:
    """A finite number (argparse type)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text!r}")
    return value


def positive(text: str) -> float:
    """A finite positive number (argparse type)."""
    value = number(text)
    if value <= 0:
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}")
    return value


def fraction(text: str) -> float:
    """A number in [0, 1] (argparse type)."""
    value = number(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text!r}")
    return value


def whole(text: str) -> int:
    """A whole number (argparse type)."""
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number, got {text!r}") from None


def bounded(low: int, high: int) -> Callable[[str], int]:
    """A whole number in [low, high] (argparse type)."""
    def parse(text: str) -> int:
        value = whole(text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be between {low} and {high}, got {text!r}")
        return value
    return parse


def _shown(value: Any) -> str:
    if value is None:
        return "none"
    if isinstance(value, tuple):
        return " ".join(f"{v:g}" for v in value)
    return f"{value:g}"


def _front_end_defaults(name: str) -> str:
    """``; 24 offline with the network front end``: where a front end changes a default."""
    parts = []
    for front_end, design in FRONT_ENDS.items():
        given = [(mode, defaults[name]) for mode, defaults in (
            ("offline", design.offline_defaults), ("live", design.live_defaults),
            ("live (beats)", design.live_beat_defaults)) if name in defaults]
        if len(given) == 2 and given[0][1] == given[1][1]:
            parts.append(f"; {_shown(given[0][1])} with the {front_end} front end")
            continue
        parts += [f"; {_shown(value)} {mode} with the {front_end} front end" for mode, value in given]
    return "".join(parts)


def add_model_options(parser: argparse.ArgumentParser) -> None:
    """The tempo-model options, one per :class:`TempoModel` field that has a help text.

    An option not given is absent from the namespace (not set to its
    default), so the library's defaults, the front end's among them, apply.
    """
    group = parser.add_argument_group("tempo model")
    for entry in fields(TempoModel):
        help_text = entry.metadata.get("help")
        if help_text is None:  # a library option only
            continue
        flag = option_name(entry.name)
        default = entry.default
        if isinstance(default, TempoPrior):
            prior = group.add_mutually_exclusive_group()
            prior.add_argument(flag, dest=entry.name, nargs=2, type=positive, metavar=("CENTRE", "WIDTH"),
                               default=argparse.SUPPRESS,
                               help=f"{help_text} (default: {default.centre_bpm:g} {default.width:g}"
                                    f"{_front_end_defaults(entry.name)})")
            prior.add_argument(f"--no-{flag[2:]}", dest=entry.name, action="store_const", const=None,
                               default=argparse.SUPPRESS,
                               help=f"no {flag[2:].replace('-', ' ')}: every tempo in the range equally likely")
            continue
        kind = whole if "int" in str(entry.type) else number
        shown = "" if default is None or default is MISSING else f" (default: {default:g}){_front_end_defaults(entry.name)}"
        metavar = entry.metadata.get("metavar", "N" if kind is whole else "X")
        group.add_argument(flag, dest=entry.name, type=kind, default=argparse.SUPPRESS, metavar=metavar,
                           help=help_text + shown)


def model_options(args: argparse.Namespace) -> dict[str, Any]:
    """The :class:`TempoModel` fields given with the options of :func:`add_model_options`."""
    options = {entry.name: getattr(args, entry.name) for entry in fields(TempoModel)
               if "help" in entry.metadata and hasattr(args, entry.name)}
    if options.get("tempo_prior") is not None:
        options["tempo_prior"] = tuple(options["tempo_prior"])
    return options


def add_front_end_options(parser: argparse.ArgumentParser, what: str) -> None:
    """``--fps`` and ``--front-end``."""
    parser.add_argument("--fps", type=positive, default=DEFAULT_FPS,
                        help=f"frames per second of {what} (default: {DEFAULT_FPS:g})")
    parser.add_argument("--front-end", choices=tuple(FRONT_ENDS), default=DEFAULT_FRONT_END,
                        help=f"how audio becomes an activation (default: {DEFAULT_FRONT_END})")


def add_tempo_hint_option(parser: argparse.ArgumentParser) -> None:
    """``--no-tempo-hint``: track without the tempo the front end hears."""
    parser.add_argument("--no-tempo-hint", dest="tempo_hint", action="store_false",
                        help="ignore the tempo the network front end hears: offline, keep the tempo prior "
                             "as given instead of combining it with one centred on the tempo of the whole "
                             "file; live, decode without following the tempo heard so far")


def add_input_options(parser: argparse.ArgumentParser, formats: str) -> None:
    """The options of a command that tracks files: output format, mode, plot and sonification."""
    add_front_end_options(parser, "the activation, given or computed from audio")
    parser.add_argument("--format", choices=FORMATS, default="text",
                        help=f"output: {formats} (default: text)")
    parser.add_argument("--online", action="store_true",
                        help="causal tracking, as a live stream would see it (default: offline)")
    add_tempo_hint_option(parser)
    parser.add_argument("--threshold", type=fraction, default=None,
                        help="offline, no beats before the first frame whose activation reaches this or "
                             "after the last (default: "
                             + ", ".join(f"{design.threshold:g} for {name}" for name, design in FRONT_ENDS.items())
                             + " audio; 0 for activation files)")
    parser.add_argument("--plot", metavar="PNG",
                        help="draw the activation, the beats and the tempo into this image "
                             "(one file only; needs matplotlib)")
    parser.add_argument("--sonify", metavar="WAV",
                        help="write the input with a click on every beat (accented on downbeats), "
                             "to check by ear (one file only)")


def add_batch_options(parser: argparse.ArgumentParser) -> None:
    """The options of many files at once."""
    group = parser.add_argument_group(
        "several files",
        "With several FILEs, a folder, or -o, each result goes to a file named after its input. "
        "An existing result is kept only if the same command with the same options wrote it.",
    )
    group.add_argument("-o", "--output-dir", metavar="DIR",
                       help="write the results here (default: beside each input)")
    group.add_argument("--jobs", "-j", type=bounded(1, 1 << 16), default=None, metavar="N",
                       help="files tracked at once (default: the number of CPUs)")
    group.add_argument("--overwrite", action="store_true",
                       help="replace existing results (default: skip those this command wrote with "
                            "these options, so a batch resumes, and refuse others)")
    group.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                       help="progress bar on stderr (default: when stderr is a terminal)")
    group.add_argument("--suffix", default=None,
                       help=f"suffix of the result files (default: {DEFAULT_SUFFIX}, .json with --format json)")
    group.add_argument("--pattern", metavar="GLOB",
                       help="the files a folder stands for, as a shell pattern such as '*.txt' "
                            "(default: its audio files and .npy activations)")


def meter_options(args: argparse.Namespace) -> dict[str, Any]:
    """The bar-pointer model's options of :func:`add_meter_options`; meters only when given (the
    tracker's own default lets the network front end hear a bar in 2)."""
    options: dict[str, Any] = {"meter_change": args.meter_change}
    if args.beats_per_bar is not None:
        options["beats_per_bar"] = tuple(args.beats_per_bar)
    return options


def add_meter_options(parser: argparse.ArgumentParser) -> argparse._ArgumentGroup:
    """The bar-pointer model's options: the meters to choose from and how often they change."""
    meter = parser.add_argument_group("meter")
    meter.add_argument("--beats-per-bar", type=whole, nargs="+", metavar="N", default=None,
                       help="meters to choose from (default: %s; with the network front end, bars in 4 whose "
                            "harmony and downbeats move every two beats are given in 2, and bars are numbered from "
                            "the beat those say starts them, live from the bars heard so far; meters given here "
                            "are taken as they are)" % " ".join(map(str, DEFAULT_BEATS_PER_BAR)))
    meter.add_argument("--meter-change", type=number, default=DEFAULT_METER_CHANGE, metavar="P",
                       help=f"probability of a change of meter at a bar line (default: {DEFAULT_METER_CHANGE:g})")
    return meter
