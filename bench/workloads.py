"""The benchmark model shared by the kernel and tracker benchmarks.

The default tempo state space of the beat tracker (55-215 BPM at 100 fps:
82 lanes, 5,617 states, 2 observation columns) in both domains, and a
synthetic beat activation to feed it. Kept small and stable: other
benchmarks import it.
"""

from __future__ import annotations

import numpy as np

from cadentia.model.observation import observation_densities
from cadentia.model.tempo import tempo_state_space

__all__ = ["benchmark_model", "synthetic_activation", "benchmark_densities", "downbeat_model",
           "synthetic_downbeat_activation", "downbeat_densities", "write_model_files"]

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


# ---------------------------------------------------------------------------
# The downbeat model: bars of beats over the same tempo lanes

NO_BEAT, BEAT, DOWNBEAT = 0, 1, 2


def downbeat_model(beats_per_bar: tuple[int, ...] = (3, 4), observation_lambda: float = 16.0,
                   fps: float = FPS) -> dict:
    """The bar-pointer model at the beat model's tempo grid, as kernel arrays.

    For every meter and every tempo lane a bar of ``beats x interval``
    position states, laid out contiguously: within a beat the position
    advances by one state per frame with probability 1, and tempo may change
    only from the last state of a beat to the first state of the next (the
    bar's first after its last), with the beat model's tempo-change weights.
    Meters are disjoint and equally likely. Three observation columns: the
    beat region of the bar's first beat reads DOWNBEAT, that of the other
    beats BEAT, every other state NO_BEAT. At 55-215 BPM, meters 3 and 4:
    39,319 states, 574 boundary states, 11,543 boundary edges.

    Same keys as :func:`benchmark_model` (``num_columns`` is 3). A lower
    ``fps`` gives a small model of the same shape, for tests.
    """
    space = tempo_state_space(fps=fps)
    intervals = space.intervals
    num_lanes = intervals.shape[0]
    # into[i, j]: the weight from the end of a beat in lane j to the start
    # of the next beat in lane i, and its log, from the beat model's edges.
    into = np.zeros((num_lanes, num_lanes), dtype=np.float32)
    log_into = np.full((num_lanes, num_lanes), -np.inf, dtype=np.float32)
    lane_of_last = {int(s): j for j, s in enumerate(space.last_states)}
    for i, first in enumerate(space.first_states):
        for e in range(int(space.ptr[first]), int(space.ptr[first + 1])):
            j = lane_of_last[int(space.pred[e])]
            into[i, j] = space.prob[e]
            log_into[i, j] = space.log_prob[e]

    starts = []  # (meter block, lane) -> first state of its bar
    total = 0
    for beats in beats_per_bar:
        row = []
        for interval in intervals:
            row.append(total)
            total += beats * int(interval)
        starts.append(row)
    num_states = total

    columns = np.full(num_states, NO_BEAT, dtype=np.uint32)
    incoming = [None] * num_states  # boundary states: (sources, prob, log_prob)
    for m, beats in enumerate(beats_per_bar):
        for i, interval in enumerate(intervals):
            interval = int(interval)
            region = int(np.count_nonzero(np.arange(interval) * observation_lambda < interval))
            for b in range(beats):
                first = starts[m][i] + b * interval
                columns[first:first + region] = DOWNBEAT if b == 0 else BEAT
                prev_beat = (b - 1) % beats
                sources = [j for j in range(num_lanes) if into[i, j] > 0]
                incoming[first] = (
                    [starts[m][j] + (prev_beat + 1) * int(intervals[j]) - 1 for j in sources],
                    [into[i, j] for j in sources], [log_into[i, j] for j in sources])
    counts = np.array([1 if inc is None else len(inc[0]) for inc in incoming], dtype=np.int64)
    ptr = np.concatenate(([0], np.cumsum(counts)))
    pred = np.empty(ptr[-1], dtype=np.uint32)
    prob = np.ones(ptr[-1], dtype=np.float32)
    log_prob = np.zeros(ptr[-1], dtype=np.float32)
    plain = np.array([inc is None for inc in incoming])
    pred[ptr[:-1][plain]] = np.flatnonzero(plain) - 1
    for s in np.flatnonzero(~plain):
        lo, hi = ptr[s], ptr[s + 1]
        pred[lo:hi], prob[lo:hi], log_prob[lo:hi] = incoming[s]
    initial = np.full(num_states, 1.0 / num_states, dtype=np.float32)
    return {
        "pred": pred, "ptr": ptr.astype(np.uint32), "log_prob": log_prob, "prob": prob,
        "columns": columns, "log_initial": np.log(initial), "initial": initial,
        "num_states": num_states, "num_lanes": num_lanes, "num_columns": 3,
    }


def synthetic_downbeat_activation(num_frames: int = 30000, seed: int = 0,
                                  beats_per_bar: int = 4) -> np.ndarray:
    """A two-column activation (frames, 2), float32: column 0 a beat that is
    not a downbeat, column 1 a downbeat; the beats of
    :func:`synthetic_activation`, every ``beats_per_bar``-th a downbeat."""
    beat = synthetic_activation(num_frames, seed).astype(np.float64)
    peaks = np.flatnonzero((beat[1:-1] > 0.3) & (beat[1:-1] >= beat[:-2]) & (beat[1:-1] >= beat[2:])) + 1
    act = np.zeros((num_frames, 2))
    act[:, 0] = 0.5 * beat
    for k, frame in enumerate(peaks):
        column = 1 if k % beats_per_bar == 0 else 0
        lo, hi = max(frame - 1, 0), min(frame + 2, num_frames)
        act[lo:hi, column] = beat[lo:hi]
        act[lo:hi, 1 - column] = 0.02
    return act.astype(np.float32)


def downbeat_densities(activation: np.ndarray, *, log: bool,
                       observation_lambda: float = 16.0, min_density: float = 1e-7) -> np.ndarray:
    """Observation densities (frames, 3), float32, for :func:`downbeat_model`."""
    act = np.asarray(activation, dtype=np.float64)
    dens = np.empty((act.shape[0], 3))
    dens[:, BEAT] = act[:, 0]
    dens[:, DOWNBEAT] = act[:, 1]
    dens[:, NO_BEAT] = (1.0 - act[:, 0] - act[:, 1]) / (observation_lambda - 1.0)
    np.maximum(dens, min_density, out=dens)
    if log:
        np.log(dens, out=dens)
    return np.ascontiguousarray(dens, dtype=np.float32)


# ---------------------------------------------------------------------------
# The model files the C++ harness reads

_DTYPES = {np.dtype(np.uint32): ("u32", "<u4"), np.dtype(np.int64): ("i64", "<i8"),
           np.dtype(np.float32): ("f32", "<f4")}

_ARRAYS = (("pred", np.uint32), ("ptr", np.uint32), ("log_prob", np.float32),
           ("prob", np.float32), ("columns", np.uint32), ("log_initial", np.float32),
           ("initial", np.float32))


def write_model_files(out, model, vit, fwd, log_dens, dens, renorm_period=1024):
    """Writes a model, its two layouts and both densities into directory
    ``out`` as kernels_bench.cpp reads them: model.txt lists the scalars and
    arrays, each array raw little-endian in <name>.bin beside it."""
    out.mkdir(parents=True, exist_ok=True)
    arrays = {name: np.ascontiguousarray(model[name], dtype=dtype) for name, dtype in _ARRAYS}
    arrays.update(log_dens=np.ascontiguousarray(log_dens, dtype=np.float32),
                  dens=np.ascontiguousarray(dens, dtype=np.float32))
    arrays.update({"vit_" + k: np.asarray(v) for k, v in vit.items()})
    arrays.update({"fwd_" + k: np.asarray(v) for k, v in fwd.items()})
    lines = [f"scalar num_states {len(arrays['ptr']) - 1}",
             f"scalar num_frames {arrays['log_dens'].shape[0]}",
             f"scalar num_cols {arrays['log_dens'].shape[1]}",
             f"scalar renorm_period {renorm_period}"]
    for name, array in arrays.items():
        kind, little = _DTYPES[array.dtype]
        array.astype(little).tofile(out / f"{name}.bin")
        lines.append(f"array {name} {kind} {array.size}")
    (out / "model.txt").write_text("\n".join(lines) + "\n")
