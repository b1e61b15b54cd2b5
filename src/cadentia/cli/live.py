"""``cadentia live``: beats as soon as they are known, from standard input or a sound card."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterator
from typing import Any, TextIO

import numpy as np
import numpy.typing as npt

from ..batch import Kind, build_model
from ..errors import AudioError, TruncatedAudio
from ..frontend import get_front_end
from ..frontend.files import check_fps
from ..io.wav import WavFormat, pcm_blocks, read_wav_header
from ..model.bars import DEFAULT_METER_CHANGE, DownbeatStateSpace
from ..model.tempo import TempoStateSpace
from ..track.beats import AudioBeatStream
from ..track.downbeats import AudioDownbeatStream
from .options import (UsageError, add_front_end_options, add_meter_options, add_model_options, add_tempo_hint_option,
                      as_usage_error, bounded, meter_options, model_options, positive)

__all__ = ["add_live_command"]

# Bytes asked of standard input at a time: a read returns whatever is there,
# so this bounds the block, not the latency.
_LIVE_READ_BYTES = 1 << 14
_RAW_FORMATS = {"s16le": (2, False), "f32le": (4, True)}


def add_live_command(commands: Any) -> None:
    """The ``live`` command."""
    live = commands.add_parser(
        "live",
        help="track beats live from standard input or a sound card",
        description="Print each beat (time in seconds, tempo in BPM) as soon as it is known, "
                    "from a WAV stream or raw PCM on standard input, or from a sound card; with "
                    "--downbeats, each beat's time and position in the bar (1 = downbeat).",
    )
    live.add_argument("input", nargs="?", choices=("-",), metavar="-", help="standard input (the default)")
    source = live.add_argument_group("input (default: a WAV stream on standard input)")
    source.add_argument("--rate", type=positive, metavar="HZ",
                        help="raw PCM on standard input at this sample rate")
    source.add_argument("--channels", type=bounded(1, 256), metavar="N",
                        help="raw PCM: interleaved channels (default: 1)")
    source.add_argument("--pcm-format", dest="pcm_format", choices=tuple(_RAW_FORMATS),
                        help="raw PCM: sample format (default: s16le)")
    # The name it had first; --format means the output format elsewhere.
    source.add_argument("--format", dest="pcm_format", choices=tuple(_RAW_FORMATS), help=argparse.SUPPRESS)
    source.add_argument("--device", metavar="DEV",
                        help="read this sound card (index or name) instead; needs the live extra")
    add_front_end_options(live, "the activation")
    add_tempo_hint_option(live)
    meter = add_meter_options(live)
    meter.add_argument("--downbeats", action="store_true",
                       help="print 'time position' (1 = downbeat) for every beat, as `cadentia downbeats "
                            "--online` would, instead of 'time tempo'")
    add_model_options(live)
    live.set_defaults(run=_live_command)


def _live_command(args: argparse.Namespace) -> int:
    options = model_options(args)
    if args.rate is not None:
        # Before the model: a frame rate far above the audio's would make it huge.
        check_fps(args.fps, args.rate, "the input's sample rate")
    design = get_front_end(args.front_end)
    if args.downbeats:
        if design.downbeat_stream is None:
            raise UsageError(f"--downbeats: the {args.front_end} front end offers no live downbeats")
        options.update(meter_options(args))
    elif args.beats_per_bar is not None or args.meter_change != DEFAULT_METER_CHANGE:
        raise UsageError("--beats-per-bar and --meter-change go with --downbeats")
    try:
        kind: Kind = "downbeats" if args.downbeats else "beats"
        space = build_model(kind, args.fps, **design.model_options(options, online=True, kind=kind))
    except ValueError as exc:
        raise as_usage_error("impossible downbeat model" if args.downbeats else "impossible tempo range",
                             exc) from None
    if args.device is not None:
        if args.input is not None:
            raise UsageError("'-' (standard input) and --device are two inputs: give one")
        if args.channels is not None or args.pcm_format is not None:
            raise UsageError("--channels and --pcm-format describe raw PCM on standard input, not --device")
        source = _device_blocks(args)
    elif args.rate is None and (args.channels is not None or args.pcm_format is not None):
        raise UsageError("--channels and --pcm-format describe raw PCM: give its --rate too")
    else:
        source = _stdin_blocks(args)
    stream: AudioBeatStream | AudioDownbeatStream | None = None
    out = sys.stdout
    try:
        for block, sample_rate in source:
            if stream is None:
                check_fps(args.fps, sample_rate, "the input's sample rate")
                stream = _audio_stream(sample_rate, args, space)
            _print_live(out, *stream.process(block))
    except TruncatedAudio:
        # Whatever complete audio came still counts; then say what was wrong.
        if stream is not None:
            _print_live(out, *stream.finish())
        raise
    except AudioError:
        raise
    except ValueError as exc:
        raise AudioError(f"standard input: {exc}") from None
    if stream is None:
        raise AudioError("no audio on standard input")
    _print_live(out, *stream.finish())
    return 0


def _audio_stream(sample_rate: float, args: argparse.Namespace,
                  space: TempoStateSpace | DownbeatStateSpace) -> AudioBeatStream | AudioDownbeatStream:
    if isinstance(space, DownbeatStateSpace):
        return AudioDownbeatStream(sample_rate, args.fps, state_space=space, front_end=args.front_end,
                                   tempo_hint=args.tempo_hint, bar_phase=args.beats_per_bar is None)
    return AudioBeatStream(sample_rate, args.fps, state_space=space, front_end=args.front_end,
                           tempo_hint=args.tempo_hint)


def _print_live(out: TextIO, times: npt.NDArray[np.float64], values: npt.NDArray[np.generic]) -> None:
    """Each beat's time and tempo, or (positions, as integers) its position in the bar."""
    if times.size:
        form = "{:.3f} {}\n" if values.dtype.kind == "i" else "{:.3f} {:.1f}\n"
        out.write("".join(form.format(t, v) for t, v in zip(times, values)))
        out.flush()


def _stdin_blocks(args: argparse.Namespace) -> Iterator[tuple[npt.NDArray[np.float32], float]]:
    """(float32 block, sample rate) from standard input, as the bytes arrive."""
    fd = sys.stdin.fileno()

    def read(count: int) -> bytes:
        return os.read(fd, count)

    if args.rate is not None:
        width, floating = _RAW_FORMATS[args.pcm_format or "s16le"]
        fmt = WavFormat(width, floating, args.channels or 1, args.rate, None)
    else:
        fmt = read_wav_header(read, "standard input")
    for block in pcm_blocks(read, fmt, "standard input", block_bytes=_LIVE_READ_BYTES):
        yield block, fmt.sample_rate


def _device_blocks(args: argparse.Namespace) -> Iterator[tuple[npt.NDArray[np.float32], float]]:
    """(float32 block, sample rate) from a sound card, through sounddevice."""
    try:
        import sounddevice
    except (ImportError, OSError) as exc:
        raise AudioError(f"--device needs the sounddevice package (pip install 'cadentia[live]'): {exc}") from None
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
        raise AudioError(f"sound card {args.device}: {exc}") from None
