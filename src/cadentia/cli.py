"""The ``cadentia`` command line.

    cadentia beats FILE [--fps FPS] [--format text|json] [--online]
                        [--plot PNG] [--min-bpm BPM] [--max-bpm BPM]
                        [--tempo-prior CENTRE WIDTH | --no-tempo-prior]

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
    beats.add_argument("file", metavar="FILE", help="audio file, or activation (.npy or text)")
    beats.add_argument("--fps", type=_positive, default=100.0,
                       help="frames per second of the activation (default: 100)")
    beats.add_argument("--format", choices=("text", "json"), default="text",
                       help="text: one beat time per line; json: beats and tempo")
    beats.add_argument("--online", action="store_true",
                       help="causal tracking, as a live stream would see it")
    beats.add_argument("--plot", metavar="PNG",
                       help="draw activation, beats and tempo into this image (needs matplotlib)")
    _add_tempo_options(beats)
    return parser


def _add_tempo_options(parser: argparse.ArgumentParser) -> None:
    """The tempo-model options, shared by every command that tracks beats."""
    from .statespace import DEFAULT_MAX_BPM, DEFAULT_MIN_BPM, DEFAULT_TEMPO_PRIOR

    group = parser.add_argument_group("tempo model")
    group.add_argument("--min-bpm", type=_positive, default=DEFAULT_MIN_BPM,
                       help=f"slowest tempo to consider (default: {DEFAULT_MIN_BPM:g})")
    group.add_argument("--max-bpm", type=_positive, default=DEFAULT_MAX_BPM,
                       help=f"fastest tempo to consider (default: {DEFAULT_MAX_BPM:g})")
    prior = group.add_mutually_exclusive_group()
    prior.add_argument("--tempo-prior", nargs=2, type=_positive, metavar=("CENTRE", "WIDTH"),
                       default=(DEFAULT_TEMPO_PRIOR.centre_bpm, DEFAULT_TEMPO_PRIOR.width),
                       help="log-normal tempo prior: most likely tempo in BPM and width in octaves "
                            f"(default: {DEFAULT_TEMPO_PRIOR.centre_bpm:g} {DEFAULT_TEMPO_PRIOR.width:g})")
    prior.add_argument("--no-tempo-prior", dest="tempo_prior", action="store_const", const=None,
                       help="no tempo prior: every tempo in the range equally likely")


def _tempo_options(args: argparse.Namespace) -> dict:
    """Keyword options for the tempo model from the options of :func:`_add_tempo_options`."""
    if args.min_bpm >= args.max_bpm:
        raise CommandError(
            f"impossible tempo range: --min-bpm {args.min_bpm:g} is not below --max-bpm {args.max_bpm:g}"
        )
    prior = None if args.tempo_prior is None else tuple(args.tempo_prior)
    return {"min_bpm": args.min_bpm, "max_bpm": args.max_bpm, "tempo_prior": prior}


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
        space = tempo_state_space(fps=args.fps, **_tempo_options(args))
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
    _tempo_options(args)  # refuse a bad range before reading the file
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


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
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
