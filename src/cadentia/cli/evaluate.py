"""``cadentia evaluate``: scores of beat files against annotations, paired by file stem."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from ..errors import CadentiaError
from ..evaluate import F_MEASURE_WINDOW, evaluate_files, render_report
from .options import positive

__all__ = ["add_evaluate_command"]


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
    for path in report.missing_detections:
        print(f"cadentia: warning: no detection for {path}", file=sys.stderr)
    for path in report.missing_references:
        print(f"cadentia: warning: no reference for {path}", file=sys.stderr)
    if not report.rows:
        raise CadentiaError("no detection has a reference with the same file name")
    sys.stdout.write(render_report(report, args.format))
    return 0
