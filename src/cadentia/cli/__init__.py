"""The ``cadentia`` command line: each command parses, calls the library, prints.

    cadentia beats FILE... [--format text|json] [--online] [--front-end NAME]
                           [--plot PNG] [--sonify WAV] [tempo-model options]
                           [-o DIR] [--jobs N] [--overwrite] [--suffix S] [--pattern GLOB]
    cadentia downbeats FILE... [--beats-per-bar N ...] [--meter-change P] [the options of beats]
    cadentia live [--rate HZ [--channels N] [--pcm-format s16le|f32le] | --device DEV]
                  [--fps FPS] [--front-end NAME] [tempo-model options]
    cadentia evaluate DETECTION... --reference DIR [--format table|json|csv] [--window 0.07]

FILE is audio or an activation computed elsewhere (``.npy`` or text). One
file prints to standard output; several files, a folder or ``-o`` write
one result file per input. Every problem ends in a one-line message on
standard error, never a traceback: exit status 2 for options that do not
fit, 1 for an input that cannot be read or tracked. Beats already printed
stay printed.
"""

from __future__ import annotations

import argparse
import os
import sys

from .. import __version__
from .evaluate import add_evaluate_command
from .live import add_live_command
from .options import UsageError
from .track import add_track_commands

__all__ = ["main"]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="cadentia", description="Beat, downbeat and tempo tracking.")
    parser.add_argument("--version", action="version", version=f"cadentia {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    add_track_commands(commands)
    add_live_command(commands)
    add_evaluate_command(commands)
    return parser


def main(argv: list[str] | None = None) -> int:
    """Run the command line; return the exit status.

    Parameters
    ----------
    argv : list of str, optional
        The arguments after the program name; default ``sys.argv[1:]``.

    Returns
    -------
    int
        0 on success, 1 when an input failed, 2 for a usage error, 130 when
        interrupted. argparse's own usage errors exit through SystemExit.
    """
    args = _parser().parse_args(argv)
    try:
        return int(args.run(args))
    except UsageError as exc:
        print(f"cadentia: error: {exc}", file=sys.stderr)
        return 2
    except ValueError as exc:  # CadentiaError and the library's refusals: one line each
        print(f"cadentia: error: {' '.join(str(exc).split())}", file=sys.stderr)
        return 1
    except MemoryError:
        print("cadentia: error: out of memory (is the input very long?)", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # Output closed early, as with `cadentia beats x.wav | head`; keep the
        # interpreter's final flush from complaining about it.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except Exception as exc:  # the promise is: a message, never a traceback
        print(f"cadentia: error: unexpected {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
