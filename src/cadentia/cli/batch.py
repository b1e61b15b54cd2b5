"""Many files at once: ``cadentia beats|downbeats FILE... [-o DIR]``."""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any

from tqdm import tqdm

from .. import batch
from ..errors import CadentiaError
from ..frontend import get_front_end
from ..io.paths import DEFAULT_SUFFIX, check_outputs, check_writable, expand_paths, output_path
from ..results import read_record, write_result
from .options import UsageError

__all__ = ["run_batch"]


def _record(kind: str, args: argparse.Namespace, options: dict[str, Any]) -> str:
    """What a result's content depends on: the command, its format, frame rate and options."""
    return json.dumps({"kind": kind, "format": args.format, "fps": args.fps, **options}, sort_keys=True)


def run_batch(args: argparse.Namespace, kind: batch.Kind, options: dict[str, Any]) -> int:
    """Track every input into its own result file; 1 if any failed."""
    suffix = args.suffix if args.suffix is not None else (".json" if args.format == "json" else DEFAULT_SUFFIX)
    if not suffix or os.sep in suffix:
        raise UsageError(f"--suffix must be a file name ending, got {suffix!r}")
    get_front_end(args.front_end)
    files = expand_paths(args.files, exclude_suffix=suffix, pattern=args.pattern)
    if not files:
        what = f"files matching {args.pattern!r}" if args.pattern else "audio or .npy files"
        raise CadentiaError(f"no {what} in {', '.join(args.files)}")
    outputs = [output_path(f, args.output_dir, suffix) for f in files]
    check_outputs(files, outputs)
    record = _record(kind, args, options)
    todo = list(range(len(files)))
    if not args.overwrite:
        existing = [i for i in todo if os.path.exists(outputs[i])]
        records = {i: read_record(outputs[i]) for i in existing}
        other = [i for i in existing if records[i] != record]
        if other:
            # Without a record: written by hand, by an older cadentia, or on
            # a file system that keeps no extended attributes.
            how = ("has no record of what wrote it" if records[other[0]] is None
                   else "was written by another command or with other options")
            raise CadentiaError(
                f"{len(other)} existing result(s) were not written by `cadentia {kind}` with these options "
                f"({outputs[other[0]]} {how}): give --overwrite to replace them, or another -o or --suffix")
        todo = [i for i in todo if i not in set(existing)]
    check_writable(outputs[i] for i in todo)
    skipped = len(files) - len(todo)
    jobs = min(args.jobs or batch.default_jobs(), max(1, len(todo)))
    done = failed = 0
    with batch.executor_for(jobs, kind) as executor:
        results = batch.iter_track_files([files[i] for i in todo], kind=kind, executor=executor,
                                         fps=args.fps, **options)
        show = sys.stderr.isatty() if args.progress is None else args.progress
        with tqdm(total=len(todo), disable=not show, file=sys.stderr, unit="file", dynamic_ncols=True) as bar:
            try:
                for index, result in results:
                    destination = outputs[todo[index]]
                    message = result.error
                    if message is None:
                        try:
                            write_result(result, destination, args.format, record=record)
                        except OSError as exc:
                            message = f"cannot write {destination}: {exc}"
                    if message is None:
                        done += 1
                    else:
                        failed += 1
                        bar.write(f"cadentia: error: {message}", file=sys.stderr)
                    bar.update()
            except KeyboardInterrupt:
                # What is written is whole; a rerun picks up the rest.
                bar.close()
                print(f"cadentia: interrupted: {done} done, {skipped} skipped, "
                      f"{failed} failed, {len(todo) - done - failed} left", file=sys.stderr)
                raise
    print(f"cadentia: {done} done, {skipped} skipped, {failed} failed", file=sys.stderr)
    return 1 if failed else 0
