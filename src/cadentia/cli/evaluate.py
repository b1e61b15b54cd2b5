"""``cadentia evaluate``: scores of beat files against annotations, paired by file stem."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ..errors import CadentiaError
from ..evaluate import F_MEASURE_WINDOW, evaluate_files, render_report
from .options import positive

__all__ = ["add_evaluate_command"]

# Scoring a few files against a whole annotated set leaves most annotations
# unpaired: name the first few, count the rest (--format json lists them all).
UNPAIRED_NAMED = 5


def add_evaluate_command(commands: Any) -> None:
    """The ``evaluate`` command."""
    evaluate = commands.add_parser(
        "evaluate",
        help="score beat files against annotations, paired by file name",
        description="Score detected beats against reference annotations (mir_eval), paired by "
                    "file stem; per-file and mean scores, and the files left unpaired.",
    )
    evaluate.add_argument("detections", nargs="+", metavar="DETECTION",
                          help="beat files (time [position] per line), or folders of them")
    evaluate.add_argument("--reference", required=True, metavar="DIR", action="append",
                          help="annotation file or folder (searched recursively); may be repeated")
    evaluate.add_argument("--format", choices=("table", "json", "csv"), default="table",
                          help="output format (default: table)")
    evaluate.add_argument("--window", type=positive, default=F_MEASURE_WINDOW,
                          help=f"F-measure tolerance in seconds (default: {F_MEASURE_WINDOW:g})")
    evaluate.set_defaults(run=_evaluate_command)


def _evaluate_command(args: argparse.Namespace) -> int:
    try:
        report = evaluate_files(args.detections, args.reference, window=args.window)
    except ImportError as exc:
        raise CadentiaError(str(exc)) from None
    _warn_unpaired("no detection for", report.missing_detections)
    _warn_unpaired("no reference for", report.missing_references)
    if not report.rows:
        raise CadentiaError("no detection has a reference with the same file name")
    sys.stdout.write(render_report(report, args.format))
    return 0


def _warn_unpaired(what: str, paths: list[str]) -> None:
    for path in paths[:UNPAIRED_NAMED]:
        print(f"cadentia: warning: {what} {path}", file=sys.stderr)
    if len(paths) > UNPAIRED_NAMED:
        print(f"cadentia: warning: {what} {len(paths) - UNPAIRED_NAMED} more files", file=sys.stderr)
