"""The ``cadentia`` command line.

    cadentia beats FILE [--fps FPS] [--format text|json] [--online]
                        [--plot PNG] [--min-bpm BPM] [--max-bpm BPM]

FILE is audio (anything soundfile reads; plain WAV works without it) or a
beat activation computed elsewhere, one value in [0, 1] per frame, as
``.npy`` or as text (``.txt``, ``.csv``, ``.act``, ``.dat``). ``--fps`` is
the activation's frame rate, or the rate at which the onset strength of
audio is computed.

Every problem with the input ends in a one-line message on stderr and a
non-zero exit status, never a traceback.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys

import numpy as np

__all__ = ["main", "load_activation", "ACTIVATION_SUFFIXES"]

ACTIVATION_SUFFIXES = (".npy", ".txt", ".csv", ".act", ".dat")
# Live mode feeds the stream one second at a time, as an audio callback would.
_ONLINE_CHUNK_SECONDS = 1.0


class CommandError(Exception):
    """A problem to report to the user as a one-line message."""


def _positive(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, got {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="cadentia", description="Beat and tempo tracking.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    beats = commands.add_parser(
        "beats",
        help="print the beat times of an audio file or beat activation",
        description="Print the beat times (seconds) of an audio file or a beat activation.",
    )
    beats.add_argument("files", nargs="+", metavar="FILE",
                       help="audio file, or activation (.npy or text); several files or folders for a batch")
    beats.add_argument("--fps", type=_positive, default=100.0,
                       help="frames per second of the activation (default: 100)")
    beats.add_argument("--format", choices=("text", "json"), default="text",
                       help="text: one beat time per line; json: beats and tempo")
    beats.add_argument("--online", action="store_true",
                       help="causal tracking, as a live stream would see it")
    beats.add_argument("--plot", metavar="PNG",
                       help="draw activation, beats and tempo into this image (needs matplotlib)")
    beats.add_argument("--min-bpm", type=_positive, default=55.0,
                       help="slowest tempo to consider (default: 55)")
    beats.add_argument("--max-bpm", type=_positive, default=215.0,
                       help="fastest tempo to consider (default: 215)")
    _add_batch_options(beats)
    _add_evaluate_command(commands)
    return parser


def load_activation(path: str) -> np.ndarray:
    """Read a beat activation saved as ``.npy`` or as text, one value per frame."""
    try:
        if path.lower().endswith(".npy"):
            values = np.load(path, allow_pickle=False)
        else:
            with open(path, encoding="utf-8") as handle:
                rows = [line.replace(",", " ").split() for line in handle]
            rows = [row for row in rows if row]
            if len(rows) > 1 and any(len(row) != 1 for row in rows):
                raise CommandError(
                    f"activation in {path} must be one value per frame: one per line, or all on one line"
                )
            values = np.array([value for row in rows for value in row], dtype=np.float64)
    except (OSError, ValueError, UnicodeDecodeError) as exc:
        raise CommandError(f"cannot read activation from {path}: {exc}") from None
    values = np.asarray(values)
    if values.dtype.kind not in "biuf":
        raise CommandError(f"activation in {path} is not numeric (dtype {values.dtype})")
    return values


def _activation_for(path: str, fps: float) -> np.ndarray:
    from .audio import AudioError, read_audio
    from .onset import onset_strength

    if not os.path.exists(path):
        raise CommandError(f"no such file: {path}")
    if path.lower().endswith(ACTIVATION_SUFFIXES):
        return load_activation(path)
    try:
        signal, sample_rate = read_audio(path)
    except AudioError as exc:
        raise CommandError(str(exc)) from None
    if fps > sample_rate:
        raise CommandError(f"--fps {fps:g} is above the sample rate of {path} ({sample_rate} Hz)")
    try:
        return onset_strength(signal, sample_rate, fps)
    except ValueError as exc:
        raise CommandError(f"{path}: {exc}") from None


def _track(activation: np.ndarray, args) -> dict:
    from .statespace import tempo_state_space
    from .tracker import BeatStream, track_beats

    try:
        space = tempo_state_space(fps=args.fps, min_bpm=args.min_bpm, max_bpm=args.max_bpm)
    except ValueError as exc:
        raise CommandError(f"impossible tempo range: {exc}") from None
    try:
        if args.online:
            stream = BeatStream(args.fps, state_space=space)
            chunk = max(1, round(_ONLINE_CHUNK_SECONDS * args.fps))
            beats, tempi = [], []
            for start in range(0, activation.size, chunk):
                times, bpm = stream.process(activation[start : start + chunk], with_tempo=True)
                beats.extend(times)
                tempi.extend(bpm)
            return {"beats": np.asarray(beats), "beat_tempo": np.asarray(tempi), "frame_tempo": None}
        track = track_beats(activation, args.fps, state_space=space)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    return {"beats": track.beats, "beat_tempo": track.beat_tempo, "frame_tempo": track.tempo}


def _check_activation(activation: np.ndarray, path: str) -> np.ndarray:
    from .observation import check_activation

    try:
        return check_activation(activation, f"activation of {path}")
    except ValueError as exc:
        raise CommandError(str(exc)) from None


def _plot(png: str, activation: np.ndarray, fps: float, result: dict, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    times = np.arange(activation.size) / fps
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(12, 6), sharex=True)
    top.plot(times, activation, lw=0.8, color="0.3", label="activation")
    for beat in result["beats"]:
        top.axvline(beat, color="tab:red", lw=0.8, alpha=0.7)
    top.set_ylabel("activation")
    top.set_title(f"{title}: {len(result['beats'])} beats (red)")
    if result["frame_tempo"] is not None:
        bottom.plot(times, result["frame_tempo"], color="tab:blue")
    else:
        bottom.step(result["beats"], result["beat_tempo"], where="post", color="tab:blue")
    bottom.set_ylabel("tempo (BPM)")
    bottom.set_xlabel("time (s)")
    fig.tight_layout()
    try:
        fig.savefig(png, dpi=100)
    except (OSError, ValueError) as exc:
        raise CommandError(f"cannot write plot {png}: {exc}") from None
    finally:
        plt.close(fig)


def _beats_command(args) -> int:
    if args.plot is not None:
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            raise CommandError("--plot needs matplotlib (pip install 'cadentia[plot]')") from None
        folder = os.path.dirname(os.path.abspath(args.plot))
        if not os.path.isdir(folder):
            raise CommandError(f"cannot write plot {args.plot}: no such directory {folder}")
    if args.min_bpm >= args.max_bpm:
        raise CommandError(
            f"impossible tempo range: --min-bpm {args.min_bpm:g} is not below --max-bpm {args.max_bpm:g}"
        )
    activation = _check_activation(_activation_for(args.file, args.fps), args.file)
    result = _track(activation, args)
    beats = result["beats"]

    if args.format == "json":
        tempo = float(np.median(result["beat_tempo"])) if beats.size else None
        report = {
            "file": args.file,
            "fps": args.fps,
            "mode": "online" if args.online else "offline",
            "beats": [round(float(b), 3) for b in beats],
            "tempo": None if tempo is None else round(tempo, 2),
            "beat_tempo": [round(float(t), 2) for t in result["beat_tempo"]],
        }
        print(json.dumps(report))
    else:
        for beat in beats:
            print(f"{beat:.3f}")
    if args.plot is not None:
        _plot(args.plot, activation, args.fps, result, os.path.basename(args.file))
    return 0


# Many files at once (`cadentia beats FILE... -o DIR`) and scoring them.


def _add_batch_options(parser: argparse.ArgumentParser) -> None:
    from .batch import DEFAULT_SUFFIX

    group = parser.add_argument_group(
        "several files",
        "With several FILEs, a folder, or -o, each result goes to a file named after its input.",
    )
    group.add_argument("-o", "--output-dir", metavar="DIR",
                       help="write the results here (default: beside each input)")
    group.add_argument("--jobs", "-j", type=_jobs, default=None, metavar="N",
                       help="files tracked at once (default: the number of CPUs)")
    group.add_argument("--overwrite", action="store_true",
                       help="replace existing results (default: skip them, so a batch resumes)")
    group.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                       help="progress bar on stderr (default: when stderr is a terminal)")
    group.add_argument("--suffix", default=DEFAULT_SUFFIX,
                       help=f"suffix of the result files (default: {DEFAULT_SUFFIX})")


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {text!r}")
    return value


def _is_batch(args) -> bool:
    return len(args.files) > 1 or args.output_dir is not None or os.path.isdir(args.files[0])


def _batch_command(args, kind: str, options: dict) -> int:
    from . import batch

    single = [flag for flag, given in (("--format json", args.format != "text"),
                                       ("--online", args.online), ("--plot", args.plot)) if given]
    if single:
        raise CommandError(f"{single[0]} needs one FILE and output to stdout (no -o)")
    if not args.suffix or os.sep in args.suffix:
        raise CommandError(f"--suffix must be a file name ending, got {args.suffix!r}")
    files = batch.expand_paths(args.files, exclude_suffix=args.suffix)
    if not files:
        raise CommandError(f"no audio or activation files in {', '.join(args.files)}")
    outputs = [batch.output_path(f, args.output_dir, args.suffix) for f in files]
    try:
        batch.check_outputs(files, outputs)
        if args.output_dir is not None:
            os.makedirs(args.output_dir, exist_ok=True)
    except (ValueError, OSError) as exc:
        raise CommandError(str(exc)) from None
    todo = [(f, out) for f, out in zip(files, outputs) if args.overwrite or not os.path.exists(out)]
    jobs = min(args.jobs or batch.default_jobs(), max(1, len(todo)))
    done = failed = 0
    with batch.executor_for(jobs) as executor:
        try:
            results = batch.iter_track_files(
                [f for f, _ in todo], kind=kind, executor=executor, fps=args.fps, **options
            )
        except ValueError as exc:
            raise CommandError(str(exc)) from None
        with _progress(args, len(todo)) as bar:
            for index, result in results:
                message = result.error
                if message is None:
                    try:
                        batch.write_result(result, todo[index][1])
                    except OSError as exc:
                        message = f"cannot write {todo[index][1]}: {exc}"
                if message is None:
                    done += 1
                else:
                    failed += 1
                    bar.write(f"cadentia: error: {message}", file=sys.stderr)
                bar.update()
    print(f"cadentia: {done} done, {len(files) - len(todo)} skipped, {failed} failed", file=sys.stderr)
    return 1 if failed else 0


def _progress(args, total: int):
    from tqdm import tqdm

    show = sys.stderr.isatty() if args.progress is None else args.progress
    return tqdm(total=total, disable=not show, file=sys.stderr, unit="file", dynamic_ncols=True)


def _add_evaluate_command(commands) -> None:
    from .evaluate import F_MEASURE_WINDOW

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
    evaluate.add_argument("--window", type=_positive, default=F_MEASURE_WINDOW,
                          help=f"F-measure tolerance in seconds (default: {F_MEASURE_WINDOW:g})")


def _evaluate_command(args) -> int:
    from .evaluate import evaluate_files, render_report

    try:
        report = evaluate_files(args.detections, args.reference, window=args.window)
    except (ValueError, ImportError) as exc:
        raise CommandError(str(exc)) from None
    for path in report.missing_detections:
        print(f"cadentia: warning: no detection for {path}", file=sys.stderr)
    for path in report.missing_references:
        print(f"cadentia: warning: no reference for {path}", file=sys.stderr)
    if not report.rows:
        raise CommandError("no detection has a reference with the same file name")
    sys.stdout.write(render_report(report, args.format))
    return 0


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "evaluate":
            return _evaluate_command(args)
        if _is_batch(args):
            return _batch_command(args, "beats", {"min_bpm": args.min_bpm, "max_bpm": args.max_bpm})
        args.file = args.files[0]
        return _beats_command(args)
    except CommandError as exc:
        print(f"cadentia: error: {exc}", file=sys.stderr)
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


if __name__ == "__main__":
    sys.exit(main())
