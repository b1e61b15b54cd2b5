"""The learned front end's speed: real-time factors and live latency, one core.

    python bench/network_bench.py [--seconds 120] [--repeat 3]

On a synthetic drum piece (44.1 kHz) it times, each as seconds of audio per
second of compute (best of ``--repeat``):

- the spectrogram, the offline network, and both together;
- audio to beats end to end offline (network, its tempo hint combined
  into the model, which is then built, and Viterbi tracking), and the same
  with the spectral-flux front end, measured in the same run;
- the causal network over the whole piece, as ``--online`` runs it;
- live tracking of the whole piece (``AudioBeatStream`` and
  ``AudioDownbeatStream``, the live defaults), following the tempo the
  causal network hears and without;
- the live path block by block (512-sample blocks, as a sound card gives
  them): the compute time of each block through spectrogram, causal
  network and forward tracker (beats, then downbeats, following the heard
  tempo), median and 95th percentile.

Set ``OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1`` for a one-core figure
(the Makefile's ``bench`` target does).
"""

from __future__ import annotations

import argparse
import os
import sys
import time

import numpy as np

from cadentia import FRONT_ENDS, AudioBeatStream, AudioDownbeatStream, analyse, onset_strength, track_beats
from cadentia.frontend.network import network_activation, shipped_network, spectrogram
from cadentia.model.options import with_heard_tempo

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests")]
from signals import drums  # noqa: E402
from tracker_bench import _best_time as _best  # noqa: E402

RATE = 44100


def network_beats(signal: np.ndarray) -> np.ndarray:
    """Offline beats of audio as ``cadentia beats`` finds them."""
    activation, heard = analyse(signal, RATE)
    options = dict(FRONT_ENDS["network"].offline_defaults)
    if heard is not None:
        options = with_heard_tempo(options, heard)
    return track_beats(activation, 100, placement="peak", **options).beats


def live(signal: np.ndarray, tempo_hint: bool, stream_type: type = AudioBeatStream) -> np.ndarray:
    """Live beats of the whole signal in one block, as ``--online`` finds them."""
    stream = stream_type(RATE, tempo_hint=tempo_hint)
    return np.concatenate([stream.process(signal)[0], stream.finish()[0]])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Time the learned front end.")
    parser.add_argument("--seconds", type=float, default=120.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)
    loop = drums(126, seed=1).signal
    signal = np.tile(loop, int(np.ceil(args.seconds * RATE / loop.size)))[: int(args.seconds * RATE)]
    signal = signal.astype(np.float32)
    seconds = signal.size / RATE
    offline = shipped_network("offline")
    spec = spectrogram(signal, RATE)
    rows = [
        ("spectrogram", lambda: spectrogram(signal, RATE)),
        ("offline network", lambda: offline(spec)),
        ("spectrogram + offline network", lambda: network_activation(signal, RATE)),
        ("audio to beats, network", lambda: network_beats(signal)),
        ("audio to beats, flux", lambda: track_beats(onset_strength(signal, RATE), 100, placement="state")),
        ("causal network, whole piece", lambda: network_activation(signal, RATE, online=True)),
        ("live, heard tempo", lambda: live(signal, True)),
        ("live, no heard tempo", lambda: live(signal, False)),
        ("live downbeats, heard tempo", lambda: live(signal, True, AudioDownbeatStream)),
        ("live downbeats, no heard tempo", lambda: live(signal, False, AudioDownbeatStream)),
    ]
    print(f"{'stage':32s} {'x real time':>12s}")
    for label, function in rows:
        print(f"{label:32s} {seconds / _best(function, args.repeat):12.0f}")
    # Live: per-block compute time.
    block = 512
    for stream in (AudioBeatStream(RATE), AudioDownbeatStream(RATE)):
        times = []
        for start in range(0, min(signal.size, 60 * RATE), block):
            begin = time.perf_counter()
            stream.process(signal[start : start + block])
            times.append(time.perf_counter() - begin)
        times_ms = 1000 * np.array(times)
        print(f"{type(stream).__name__}, block of {block} samples ({1000 * block / RATE:.1f} ms): compute median "
              f"{np.median(times_ms):.2f} ms, p95 {np.percentile(times_ms, 95):.2f} ms, "
              f"max {times_ms.max():.2f} ms; look-ahead 0 frames, spectrogram window latency "
              f"{1000 * stream.latency:.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
