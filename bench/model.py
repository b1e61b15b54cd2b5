"""The benchmark model shared by the kernel and tracker benchmarks.

The default tempo state space of the beat tracker (55-215 BPM at 100 fps:
82 lanes, 5,617 states, 2 observation columns) in both domains, and a
synthetic beat activation to feed it. Kept small and stable: other
benchmarks import it.
"""

from __future__ import annotations

import numpy as np

from cadentia.observation import observation_densities
from cadentia.statespace import tempo_state_space

__all__ = ["benchmark_model", "synthetic_activation", "benchmark_densities"]

FPS = 100.0


def benchmark_model() -> dict:
    """The default tempo state space as kernel arrays.

    Keys: ``pred``, ``ptr``, ``columns`` (uint32); ``log_prob``, ``prob``,
    ``log_initial``, ``initial`` (float32); ``num_states``, ``num_lanes``,
    ``num_columns`` (int). Fresh, writable, C-contiguous arrays on every call.
    """
    space = tempo_state_space(fps=FPS)
    return {
        "pred": space.pred,
        "ptr": space.ptr,
        "log_prob": space.log_prob,
        "prob": space.prob,
        "columns": space.columns,
        "log_initial": space.log_initial,
        "initial": space.initial,
        "num_states": space.num_states,
        "num_lanes": space.num_lanes,
        "num_columns": 2,
    }


def synthetic_activation(num_frames: int = 30000, seed: int = 0) -> np.ndarray:
    """A beat-like activation (float32, values in [0, 1]): 5 minutes at 100 fps by default.

    Peaks a few frames wide at a tempo that drifts around 120 BPM, some beats
    left out, over a low noise floor: the decoders see realistic evidence,
    not uniform noise, and the same input on every run.
    """
    rng = np.random.default_rng(seed)
    activation = 0.05 * rng.random(num_frames)
    position = 10.0
    while position < num_frames:
        if rng.random() > 0.1:
            frame = int(position)
            peak = 0.6 + 0.4 * rng.random()
            for offset, weight in ((-1, 0.5), (0, 1.0), (1, 0.5)):
                if 0 <= frame + offset < num_frames:
                    activation[frame + offset] = max(activation[frame + offset], weight * peak)
        bpm = 120.0 + 15.0 * np.sin(position / (FPS * 40.0))
        position += 60.0 * FPS / bpm
    return activation.astype(np.float32)


def benchmark_densities(activation: np.ndarray, *, log: bool) -> np.ndarray:
    """Observation densities (frames, 2), float32: log for decode, linear for ForwardDecoder."""
    return observation_densities(activation, log=log)
