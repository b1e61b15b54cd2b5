"""Whole-tracker benchmark: seconds of audio tracked per second of compute.

    python bench/tracker_bench.py [--seconds 300] [--repeat 3] [--file-minutes 15]

Times each stage on a synthetic drum-and-click piece (onset strength from
audio, offline Viterbi tracking, live streaming in one-second chunks) and
reports the real-time factor of each and of the offline and live pipelines.
Then it writes a 16-bit stereo 44.1 kHz WAV of ``--file-minutes`` and times
``cadentia beats FILE`` on it with each front end as a user runs it (a new
process: start-up, reading, front end, tracking), and measures the live
latency of the default front end (``AudioBeatStream``): the audio is
fed in 10 ms blocks, as a sound card delivers it, and for every beat the
live tracker reports, the audio time at which it was reported minus the
time of the beat. Before timing, it checks the tracker finds the piece's
beats, so a fast but broken build does not report a figure.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from workloads import synthetic_activation  # noqa: E402

from cadentia.testing import synthesize_clicks  # noqa: E402
from cadentia.evaluate import f_measure  # noqa: E402
from cadentia.frontend import FRONT_ENDS  # noqa: E402
from cadentia.frontend.flux import onset_strength  # noqa: E402
from cadentia.track.beats import AudioBeatStream, BeatStream, track_beats  # noqa: E402

FPS = 100.0


def _best_time(function, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


def _stream(activation: np.ndarray) -> np.ndarray:
    stream = BeatStream(FPS)
    chunk = int(FPS)
    return np.concatenate([stream.process(activation[i : i + chunk]) for i in range(0, activation.size, chunk)])


def _score(truth: np.ndarray, beats: np.ndarray) -> float:
    # Skip the first 5 s, where any tracker is still settling.
    return f_measure(truth[truth >= 5.0], beats[beats >= 5.0])[0]


def _latency(signal: np.ndarray, sample_rate: int, truth: np.ndarray) -> tuple[float, float, float]:
    """Median and 95th-percentile report delay of the live beats, and their F-measure."""
    block = sample_rate // 100
    stream = AudioBeatStream(sample_rate, FPS)
    delays, beats = [], []
    for start in range(0, signal.size, block):
        times, _ = stream.process(signal[start : start + block])
        heard = min(start + block, signal.size) / sample_rate
        delays.extend(heard - times)
        beats.extend(times)
    return float(np.median(delays)), float(np.percentile(delays, 95)), _score(truth, np.asarray(beats))


def _command_seconds(minutes: float, repeat: int, front_end: str) -> tuple[float, float]:
    """Real-time factors, wall and CPU, of `cadentia beats FILE --front-end F` on a 16-bit stereo WAV."""
    import soundfile

    seconds = 60.0 * minutes
    signal, rate, _ = synthesize_clicks(96.0, seconds, end_bpm=128.0, change="ramp", sample_rate=44100, noise=0.02)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "long.wav")
        soundfile.write(path, np.stack([signal, 0.8 * signal], axis=1), rate, subtype="PCM_16")
        command = [sys.executable, "-m", "cadentia.cli", "beats", path, "--front-end", front_end]
        wall = cpu = float("inf")
        for _ in range(repeat):
            before = os.times()
            start = time.perf_counter()
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
            wall = min(wall, time.perf_counter() - start)
            after = os.times()
            cpu = min(cpu, (after.children_user - before.children_user) + (after.children_system - before.children_system))
    return seconds / wall, seconds / cpu


def run(seconds: float = 300.0, repeat: int = 3, file_minutes: float = 15.0) -> dict:
    """Real-time factors (audio seconds per compute second) of each stage."""
    signal, sample_rate, truth = synthesize_clicks(110.0, seconds, end_bpm=135.0, change="ramp", noise=0.02)
    activation = onset_strength(signal, sample_rate, FPS)
    offline_f = _score(truth, track_beats(activation, FPS).beats)
    live_f = _score(truth, _stream(activation))
    if offline_f < 0.9:
        raise SystemExit(f"tracker_bench: offline F-measure {offline_f:.3f} on the benchmark piece; refusing to time a broken tracker")

    onset = _best_time(lambda: onset_strength(signal, sample_rate, FPS), repeat)
    offline = _best_time(lambda: track_beats(activation, FPS), repeat)
    live = _best_time(lambda: _stream(activation), repeat)
    model = synthetic_activation(int(seconds * FPS))
    offline_synthetic = _best_time(lambda: track_beats(model, FPS), repeat)
    latency, latency_95, latency_f = _latency(signal, sample_rate, truth)
    commands = {f: _command_seconds(file_minutes, repeat, f) for f in FRONT_ENDS} if file_minutes > 0 else {}
    return {
        "latency": latency,
        "latency_95": latency_95,
        "latency_f": latency_f,
        "file_minutes": file_minutes,
        "commands": commands,
        "seconds": seconds,
        "offline_f": offline_f,
        "live_f": live_f,
        "onset": seconds / onset,
        "offline_tracking": seconds / offline,
        "live_tracking": seconds / live,
        "offline_tracking_synthetic": seconds / offline_synthetic,
        "offline_pipeline": seconds / (onset + offline),
        "live_pipeline": seconds / (onset + live),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=300.0, help="length of the test piece")
    parser.add_argument("--repeat", type=int, default=3, help="timing runs per stage (best is kept)")
    parser.add_argument("--file-minutes", type=float, default=15.0,
                        help="length of the WAV for the end-to-end command timing (0: skip it)")
    args = parser.parse_args(argv)
    r = run(args.seconds, args.repeat, args.file_minutes)
    print(f"tracker: {r['seconds']:g} s piece, F-measure offline {r['offline_f']:.3f}, live {r['live_f']:.3f}")
    print("  seconds of audio per second of compute (higher is faster):")
    for key, label in [
        ("onset", "onset strength (audio -> activation)"),
        ("offline_tracking", "offline tracking (Viterbi + beats)"),
        ("offline_tracking_synthetic", "offline tracking, synthetic activation"),
        ("live_tracking", "live tracking (forward, 1 s chunks)"),
        ("offline_pipeline", "offline pipeline (onset + tracking)"),
        ("live_pipeline", "live pipeline (onset + tracking)"),
    ]:
        print(f"  {label:42s} {r[key]:10.1f}x")
    for front_end, (wall, cpu) in r["commands"].items():
        print(f"  {'cadentia beats FILE, ' + format(r['file_minutes'], 'g') + ' min WAV, ' + front_end + ' (wall)':50s} "
              f"{wall:10.1f}x")
        print(f"  {'  the same, CPU time (user + system)':50s} {cpu:10.1f}x")
    print(f"  live latency (audio time reported - beat time, 10 ms blocks): median {1000 * r['latency']:.0f} ms, "
          f"95th percentile {1000 * r['latency_95']:.0f} ms (F-measure {r['latency_f']:.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
