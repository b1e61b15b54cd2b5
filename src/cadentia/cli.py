"""The ``cadentia`` command line.

    cadentia beats FILE [--fps FPS] [--format text|json] [--online]
                        [--plot PNG] [--min-bpm BPM] [--max-bpm BPM]
                        [--tempo-prior CENTRE WIDTH | --no-tempo-prior]
    cadentia downbeats FILE [--beats-per-bar N ...] [the options of beats]
    cadentia live [--rate HZ [--channels N] [--format s16le|f32le] | --device DEV]
                  [--fps FPS] [tempo options]

``downbeats`` takes audio or a two-column activation (beat that is not a
downbeat, downbeat) and prints each beat with its position in the bar.

FILE is audio (anything soundfile reads; plain WAV works without it) or a
beat activation computed elsewhere, one value in [0, 1] per frame, as
``.npy`` or as text (``.txt``, ``.csv``, ``.act``, ``.dat``). ``--fps`` is
the activation's frame rate, or the rate at which the onset strength of
audio is computed.

``live`` reads audio from standard input, a WAV stream or raw PCM (with
``--rate``), as ``arecord`` or ``ffmpeg -f s16le -`` write it, and prints
every beat as soon as it is known: its time and the current tempo, one
flushed line each. With the ``live`` extra (sounddevice), ``--device``
reads a sound card instead.

    cadentia beats|downbeats FILE... [-o DIR] [--jobs N] [--overwrite]
                             [--progress | --no-progress] [--suffix .beats]
    cadentia evaluate DETECTION... --reference DIR [--format table|json|csv]
                      [--window 0.07]

With several FILEs, a folder or ``-o``, every result goes to its own file
(see :mod:`cadentia.batch`); a file that fails is one line on stderr and
the rest go on. ``evaluate`` scores beat files against annotations paired
by file stem.

Every problem with the input ends in a one-line message on stderr and a
non-zero exit status, never a traceback; beats already printed stay
printed.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys

import numpy as np

from .audio import ACTIVATION_SUFFIXES

__all__ = ["main", "load_activation", "load_downbeat_activation", "ACTIVATION_SUFFIXES"]

# Live mode feeds the stream one second at a time, as an audio callback would.
_ONLINE_CHUNK_SECONDS = 1.0
# Bytes asked of standard input at a time: a read returns whatever is there,
# so this bounds the block, not the latency.
_LIVE_READ_BYTES = 1 << 14
_RAW_FORMATS = {"s16le": (2, False), "f32le": (4, True)}


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
    _add_tempo_options(beats)
    _add_batch_options(beats)

    live = commands.add_parser(
        "live",
        help="track beats live from standard input or a sound card",
        description="Print each beat (time in seconds, tempo in BPM) as soon as it is known, "
                    "from a WAV stream or raw PCM on standard input, or from a sound card.",
    )
    source = live.add_argument_group("input (default: a WAV stream on standard input)")
    source.add_argument("--rate", type=_positive, metavar="HZ",
                        help="raw PCM on standard input at this sample rate")
    source.add_argument("--channels", type=_channel_count, metavar="N",
                        help="raw PCM: interleaved channels (default: 1)")
    source.add_argument("--format", dest="pcm_format", choices=tuple(_RAW_FORMATS),
                        help="raw PCM: sample format (default: s16le)")
    source.add_argument("--device", metavar="DEV",
                        help="read this sound card (index or name) instead; needs the live extra")
    live.add_argument("--fps", type=_positive, default=100.0,
                      help="activation frames per second (default: 100)")
    _add_tempo_options(live)
    live.set_defaults(run=_live_command)
    _add_downbeats_parser(commands)
    _add_evaluate_command(commands)
    return parser


def _channel_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number, got {text!r}") from None
    if not 1 <= value <= 256:
        raise argparse.ArgumentTypeError(f"must be between 1 and 256, got {text!r}")
    return value


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
    from .audio import AudioError
    from .audio import load_activation as load

    try:
        return load(path)
    except AudioError as exc:
        raise CommandError(str(exc)) from None


def _activation_for(path: str, fps: float) -> np.ndarray:
    from .audio import AudioError, file_activation

    try:
        return file_activation(path, fps)
    except AudioError as exc:
        raise CommandError(str(exc)) from None


def _track_audio_online(path: str, args, space) -> tuple[np.ndarray, dict]:
    """Audio through the causal front end and the live tracker, block by block."""
    from .audio import AudioError, audio_blocks
    from .onset import OnsetStream
    from .tracker import BeatStream

    beats, tempi, frames = [], [], []
    onsets = tracker = None

    def push(activation: np.ndarray) -> None:
        times, bpm = tracker.process(activation, with_tempo=True)
        beats.extend(times)
        tempi.extend(bpm)
        frames.append(activation)

    try:
        for block, sample_rate in audio_blocks(path):
            if onsets is None:
                if args.fps > sample_rate:
                    raise CommandError(f"--fps {args.fps:g} is above the sample rate of {path} ({sample_rate} Hz)")
                onsets, tracker = OnsetStream(sample_rate, args.fps), BeatStream(args.fps, state_space=space)
            push(onsets.process(block))
        push(onsets.finish())
    except AudioError as exc:
        raise CommandError(str(exc)) from None
    except ValueError as exc:
        raise CommandError(f"{path}: {exc}") from None
    result = {"beats": np.asarray(beats), "beat_tempo": np.asarray(tempi), "frame_tempo": None}
    return np.concatenate(frames), result


def _state_space(args):
    from .statespace import tempo_state_space

    try:
        return tempo_state_space(fps=args.fps, **_tempo_options(args))
    except ValueError as exc:
        raise CommandError(f"impossible tempo range: {exc}") from None


def _track(activation: np.ndarray, args, space) -> dict:
    from .tracker import BeatStream, track_beats

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
        # Beats of audio sit where the path enters the beat state: the onset
        # strength peaks after a note starts (see track_beats).
        placement = "peak" if args.file.lower().endswith(ACTIVATION_SUFFIXES) else "state"
        track = track_beats(activation, args.fps, state_space=space, placement=placement)
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
    space = _state_space(args)  # refuse a bad tempo model before reading the file
    if args.online and not args.file.lower().endswith(ACTIVATION_SUFFIXES) and os.path.exists(args.file):
        activation, result = _track_audio_online(args.file, args, space)
    else:
        activation = _check_activation(_activation_for(args.file, args.fps), args.file)
        result = _track(activation, args, space)
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


def _live_command(args) -> int:
    from .tracker import AudioBeatStream

    space = _state_space(args)
    if args.device is not None:
        if args.channels is not None or args.pcm_format is not None:
            raise CommandError("--channels and --format describe raw PCM on standard input, not --device")
        source = _device_blocks(args)
    else:
        source = _stdin_blocks(args)
    stream = None
    out = sys.stdout
    try:
        for block, sample_rate in source:
            if stream is None:
                if args.fps > sample_rate:
                    raise CommandError(f"--fps {args.fps:g} is above the input's sample rate ({sample_rate:g} Hz)")
                stream = AudioBeatStream(sample_rate, args.fps, state_space=space)
            _print_live(out, *stream.process(block))
    except _InputEnded as ended:
        # Whatever complete audio came still counts; then say what was wrong.
        if stream is not None:
            _print_live(out, *stream.finish())
        raise CommandError(str(ended)) from None
    except ValueError as exc:
        raise CommandError(f"standard input: {exc}") from None
    if stream is None:
        raise CommandError("no audio on standard input")
    _print_live(out, *stream.finish())
    return 0


def _print_live(out, times: np.ndarray, bpm: np.ndarray) -> None:
    if times.size:
        out.write("".join(f"{t:.3f} {b:.1f}\n" for t, b in zip(times, bpm)))
        out.flush()


class _InputEnded(Exception):
    """Standard input ended badly after some audio; finish, then report this."""


def _read_exact(fd: int, count: int) -> bytes:
    """Up to `count` bytes; fewer only at the end of the input."""
    parts, got = [], 0
    while got < count:
        part = os.read(fd, count - got)
        if not part:
            break
        parts.append(part)
        got += len(part)
    return b"".join(parts)


def _stdin_blocks(args):
    """(float32 block, sample rate) from standard input, as the bytes arrive."""
    from .audio import pcm_to_float32

    fd = sys.stdin.fileno()
    if args.rate is not None:
        width, floating = _RAW_FORMATS[args.pcm_format or "s16le"]
        channels, sample_rate, remaining = args.channels or 1, args.rate, None
    else:
        if args.channels is not None or args.pcm_format is not None:
            raise CommandError("--channels and --format describe raw PCM: give its --rate too")
        width, floating, channels, sample_rate, remaining = _wav_header(fd)
    frame_bytes = width * channels
    pending = b""
    while remaining is None or remaining > 0:
        want = _LIVE_READ_BYTES if remaining is None else min(_LIVE_READ_BYTES, remaining)
        data = os.read(fd, want)
        if not data:
            break
        if remaining is not None:
            remaining -= len(data)
        data = pending + data
        usable = len(data) - len(data) % frame_bytes
        pending = data[usable:]
        if usable:
            yield pcm_to_float32(data[:usable], width, channels, floating=floating), sample_rate
    if pending:
        raise _InputEnded(
            f"standard input ended in the middle of a sample frame ({len(pending)} of {frame_bytes} bytes)"
        )
    if remaining:
        raise _InputEnded(f"standard input ended {remaining} bytes before the end of the WAV data")


_WAV_PCM, _WAV_FLOAT, _WAV_EXTENSIBLE = 1, 3, 0xFFFE


def _wav_header(fd: int) -> tuple[int, bool, int, float, int | None]:
    """Read a WAV stream's header: (sample width, float?, channels, rate, data bytes or None)."""
    import struct

    not_wav = "standard input is not a WAV stream (for raw PCM give --rate, --channels and --format)"
    head = _read_exact(fd, 12)
    if not head:
        raise CommandError("no audio on standard input")
    if len(head) < 12 or head[:4] not in (b"RIFF", b"RF64") or head[8:12] != b"WAVE":
        raise CommandError(not_wav)
    fmt = None
    while True:
        chunk = _read_exact(fd, 8)
        if len(chunk) < 8:
            raise CommandError("standard input: WAV stream ended before its audio data")
        name, size = chunk[:4], struct.unpack("<I", chunk[4:])[0]
        if name == b"data":
            break
        if name == b"fmt ":
            if not 16 <= size <= 1024:
                raise CommandError(f"standard input: WAV format chunk of {size} bytes")
            fmt = _read_exact(fd, size + size % 2)
            if len(fmt) < size:
                raise CommandError("standard input: WAV stream ended inside its header")
            continue
        while size > 0:  # skip any other chunk, padded to an even size
            skipped = len(_read_exact(fd, min(size + size % 2, 1 << 16)))
            if not skipped:
                raise CommandError("standard input: WAV stream ended inside its header")
            size -= skipped
    if fmt is None:
        raise CommandError("standard input: WAV stream has no format chunk before its data")
    tag, channels, rate, _, _, bits = struct.unpack("<HHIIHH", fmt[:16])
    if tag == _WAV_EXTENSIBLE and len(fmt) >= 26:
        tag = struct.unpack("<H", fmt[24:26])[0]
    width = bits // 8
    floating = tag == _WAV_FLOAT
    if not ((tag == _WAV_PCM and bits in (8, 16, 24, 32)) or (floating and bits in (32, 64))):
        raise CommandError(f"standard input: unsupported WAV sample format (format {tag}, {bits} bits)")
    if channels < 1 or rate < 1:
        raise CommandError(f"standard input: WAV stream with {channels} channels at {rate} Hz")
    # Streams written on the fly leave the size 0 or all ones: read to the end.
    remaining = None if size in (0, 0xFFFFFFFF) or head[:4] == b"RF64" else size
    return width, floating, channels, float(rate), remaining


def _device_blocks(args):
    """(float32 block, sample rate) from a sound card, through sounddevice."""
    try:
        import sounddevice
    except (ImportError, OSError) as exc:
        raise CommandError(f"--device needs the sounddevice package (pip install 'cadentia[live]'): {exc}") from None
    device = int(args.device) if args.device.isdigit() else args.device
    try:
        info = sounddevice.query_devices(device, "input")
        rate = float(args.rate or info["default_samplerate"])
        block = max(1, round(rate / args.fps))
        with sounddevice.InputStream(device=device, channels=1, samplerate=rate, dtype="float32",
                                     blocksize=block) as stream:
            while True:
                data, _ = stream.read(block)
                yield data, rate
    except (ValueError, sounddevice.PortAudioError) as exc:
        raise CommandError(f"sound card {args.device}: {exc}") from None


# The downbeats command.


def _add_downbeats_parser(commands) -> None:
    from .downbeats import DEFAULT_BEATS_PER_BAR, DEFAULT_METER_CHANGE

    parser = commands.add_parser(
        "downbeats",
        help="print the beats and their position in the bar (1 = downbeat)",
        description="Print beat times (seconds) and their position in the bar, 1 for a downbeat, "
                    "of an audio file or a two-column beat/downbeat activation.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE",
                        help="audio file, or activation (.npy of shape (frames, 2), or text with "
                             "two values per line: beat, downbeat); several files or folders for a batch")
    parser.add_argument("--fps", type=_positive, default=100.0,
                        help="frames per second of the activation (default: 100)")
    parser.add_argument("--format", choices=("text", "json"), default="text",
                        help="text: one 'time position' pair per line; json: beats, positions, meter, tempo")
    parser.add_argument("--online", action="store_true",
                        help="causal tracking, as a live stream would see it")
    parser.add_argument("--plot", metavar="PNG",
                        help="draw activation, beats, downbeats and tempo into this image (needs matplotlib)")
    parser.add_argument("--beats-per-bar", type=_whole, nargs="+", metavar="N",
                        default=list(DEFAULT_BEATS_PER_BAR),
                        help="meters to choose from (default: %s)" % " ".join(map(str, DEFAULT_BEATS_PER_BAR)))
    parser.add_argument("--meter-change", type=float, default=DEFAULT_METER_CHANGE,
                        help="probability of a change of meter at a bar line (default: %g)" % DEFAULT_METER_CHANGE)
    parser.add_argument("--beat-includes-downbeats", action="store_true",
                        help="the activation's first column is the probability of any beat, downbeats "
                             "included (default: of a beat that is not a downbeat)")
    _add_tempo_options(parser)
    _add_model_options(parser)
    _add_batch_options(parser)
    parser.set_defaults(run=_downbeats_command)


def _whole(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number, got {text!r}") from None


def _add_model_options(parser: argparse.ArgumentParser) -> None:
    """The model options that the shared tempo options may not add yet."""
    from .statespace import DEFAULT_OBSERVATION_LAMBDA, DEFAULT_TRANSITION_LAMBDA

    have = parser._option_string_actions
    if "--num-tempi" not in have:
        parser.add_argument("--num-tempi", type=_whole, default=None,
                            help="number of log-spaced tempo lanes (default: every whole-frame interval)")
    if "--transition-lambda" not in have:
        parser.add_argument("--transition-lambda", type=float, default=DEFAULT_TRANSITION_LAMBDA,
                            help=f"tempo-change penalty (default: {DEFAULT_TRANSITION_LAMBDA:g})")
    if "--observation-lambda" not in have:
        parser.add_argument("--observation-lambda", type=float, default=DEFAULT_OBSERVATION_LAMBDA,
                            help="one beat in this many frames parts reads the activation "
                                 f"(default: {DEFAULT_OBSERVATION_LAMBDA:g})")


def load_downbeat_activation(path: str) -> np.ndarray:
    """Read a two-column activation saved as ``.npy`` or as text, two values per line.

    Parameters
    ----------
    path : str
        The file.

    Returns
    -------
    numpy.ndarray
        The values as stored, at least two columns; check them with
        :func:`cadentia.downbeats.check_downbeat_activation`.

    Raises
    ------
    CommandError
        The file is unreadable, empty, ragged, not numeric or one column.
    """
    from .audio import read_numbers

    def two_per_line(rows: list[list[str]]) -> np.ndarray:
        widths = {len(row) for row in rows}
        if len(widths) > 1:
            raise CommandError(f"activation in {path} has lines of {sorted(widths)} values; "
                               "give two per line (beat, downbeat)")
        return np.array(rows, dtype=np.float64)

    values = read_numbers(path, two_per_line, CommandError)
    if values.size == 0:
        raise CommandError(f"activation in {path} is empty")
    if values.ndim == 1 or (values.ndim == 2 and values.shape[1] == 1):
        raise CommandError(
            f"activation in {path} has one value per frame; downbeats needs two (beat, downbeat)"
        )
    return values


def _downbeat_activation_for(path: str, fps: float, online: bool = False) -> np.ndarray:
    from .audio import AudioError, audio_blocks
    from .downbeat_onset import downbeat_activation

    if not os.path.exists(path):
        raise CommandError(f"no such file: {path}")
    if path.lower().endswith(ACTIVATION_SUFFIXES):
        return load_downbeat_activation(path)
    try:
        # Mixed down a block at a time: the whole file as float32 mono is
        # the least memory the analysis (which looks ahead) can take.
        blocks = [(block.mean(axis=1, dtype=np.float32), rate) for block, rate in audio_blocks(path)]
    except AudioError as exc:
        raise CommandError(str(exc)) from None
    sample_rate = blocks[0][1]
    signal = np.concatenate([block for block, _ in blocks])
    del blocks
    if fps > sample_rate:
        raise CommandError(f"--fps {fps:g} is above the sample rate of {path} ({sample_rate} Hz)")
    try:
        return downbeat_activation(signal, sample_rate, fps, online=online)
    except ValueError as exc:
        raise CommandError(f"{path}: {exc}") from None


def _downbeats_command(args) -> int:
    from .downbeats import DownbeatStream, check_downbeat_activation, downbeat_state_space, track_downbeats

    if args.plot is not None:
        _check_plot_target(args.plot)
    options = _tempo_options(args)
    for name in ("num_tempi", "transition_lambda", "observation_lambda"):
        options.setdefault(name, getattr(args, name))
    try:
        space = downbeat_state_space(fps=args.fps, beats_per_bar=args.beats_per_bar,
                                     meter_change=args.meter_change, **options)
    except ValueError as exc:
        raise CommandError(f"impossible downbeat model: {exc}") from None
    activation = _downbeat_activation_for(args.file, args.fps, args.online)
    try:
        activation = check_downbeat_activation(activation, f"activation of {args.file}",
                                               beat_includes_downbeats=args.beat_includes_downbeats)
    except ValueError as exc:
        raise CommandError(str(exc)) from None
    if args.online:
        stream = DownbeatStream(args.fps, state_space=space)
        chunk = max(1, round(_ONLINE_CHUNK_SECONDS * args.fps))
        parts = [stream.process(activation[start : start + chunk])
                 for start in range(0, activation.shape[0], chunk)]
        beats = np.concatenate([p[0] for p in parts])
        positions = np.concatenate([p[1] for p in parts])
        meter = stream.beats_per_bar
        frame_tempo = None
    else:
        # As `beats` does: the onset strength of audio peaks after the note starts.
        placement = "peak" if args.file.lower().endswith(ACTIVATION_SUFFIXES) else "state"
        track = track_downbeats(activation, args.fps, state_space=space, placement=placement)
        beats, positions, meter, frame_tempo = track.beats, track.positions, track.beats_per_bar, track.tempo

    if args.format == "json":
        if frame_tempo is not None:
            tempo = float(np.median(frame_tempo))
        else:
            gaps = np.diff(beats)
            tempo = 60.0 / float(np.median(gaps)) if gaps.size else None
        print(json.dumps({
            "file": args.file,
            "fps": args.fps,
            "mode": "online" if args.online else "offline",
            "beats": [round(float(b), 3) for b in beats],
            "positions": [int(p) for p in positions],
            "beats_per_bar": meter,
            "tempo": None if tempo is None else round(tempo, 2),
        }))
    else:
        for beat, position in zip(beats, positions):
            print(f"{beat:.3f} {position}")
    if args.plot is not None:
        _plot_downbeats(args.plot, activation, args.fps, beats, positions, frame_tempo,
                        f"{os.path.basename(args.file)}: {meter} beats per bar")
    return 0


def _check_plot_target(png: str) -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CommandError("--plot needs matplotlib (pip install 'cadentia[plot]')") from None
    folder = os.path.dirname(os.path.abspath(png))
    if not os.path.isdir(folder):
        raise CommandError(f"cannot write plot {png}: no such directory {folder}")


def _plot_downbeats(png, activation, fps, beats, positions, frame_tempo, title) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    times = np.arange(activation.shape[0]) / fps
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(12, 6), sharex=True)
    top.plot(times, activation[:, 0], lw=0.8, color="0.4", label="beat")
    top.plot(times, activation[:, 1], lw=0.8, color="tab:orange", label="downbeat")
    for beat, position in zip(beats, positions):
        top.axvline(beat, color="tab:red" if position == 1 else "tab:blue",
                    lw=1.2 if position == 1 else 0.6, alpha=0.7)
    top.set_ylabel("activation")
    top.legend(loc="upper right")
    top.set_title(f"{title} (downbeats red, beats blue)")
    if frame_tempo is not None:
        bottom.plot(times, frame_tempo, color="tab:blue")
    elif len(beats) > 1:
        bottom.step(beats[1:], 60.0 / np.diff(beats), where="post", color="tab:blue")
    bottom.ticklabel_format(axis="y", useOffset=False)  # a steady tempo reads as itself
    bottom.set_ylabel("tempo (BPM)")
    bottom.set_xlabel("time (s)")
    fig.tight_layout()
    try:
        fig.savefig(png, dpi=100)
    except (OSError, ValueError) as exc:
        raise CommandError(f"cannot write plot {png}: {exc}") from None
    finally:
        plt.close(fig)


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


def _batch_options(args, kind: str) -> dict:
    """The tracker's keyword options from the command's own."""
    options = _tempo_options(args)
    if kind == "downbeats":
        for name in ("num_tempi", "transition_lambda", "observation_lambda", "meter_change",
                     "beat_includes_downbeats"):
            options[name] = getattr(args, name)
        options["beats_per_bar"] = tuple(args.beats_per_bar)
    return options


def _batch_command(args, kind: str) -> int:
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
    with batch.executor_for(jobs, kind) as executor:
        try:
            results = batch.iter_track_files(
                [f for f, _ in todo], kind=kind, executor=executor, fps=args.fps, **_batch_options(args, kind)
            )
        except ValueError as exc:
            raise CommandError(str(exc)) from None
        with _progress(args, len(todo)) as bar:
            try:
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
            except KeyboardInterrupt:
                # What is written is whole; a rerun picks up the rest.
                bar.close()
                print(f"cadentia: interrupted: {done} done, {len(files) - len(todo)} skipped, "
                      f"{failed} failed, {len(todo) - done - failed} left", file=sys.stderr)
                raise
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
        if args.command != "live" and _is_batch(args):
            return _batch_command(args, args.command)
        if args.command != "live":
            args.file = args.files[0]
        return getattr(args, "run", _beats_command)(args)
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
