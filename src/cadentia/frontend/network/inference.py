"""Running the network on NumPy: no machine-learning framework at run time.

Every layer of :mod:`cadentia.frontend.network.architecture` is a convolution, and every
convolution here is one affine map of an ``im2col`` matrix (the input
windows laid out as rows). Two implementations of that map share all the
rest:

- offline, a BLAS matrix product (fast; the network runs on the whole
  piece, cut into overlapping chunks so memory stays bounded however long
  the piece is);
- live, an explicit serial sum, bias first and then one input column after
  another, each product and sum rounded to float32 on its own. Its result
  for a frame is the same whatever the other rows of the matrix are, so the
  causal network gives the same bits however the audio is cut into blocks.
  (A BLAS product may sum in a different order for a different number of
  rows.)

Between blocks, :class:`NetworkStream` keeps the last frames of every
layer's input, exactly the zeros-or-history that the whole-piece run pads
with; the causal network therefore has no look-ahead at all.

A network with a tempo head (``Architecture.tempo_bins``) also gives a
probability over tempo bins: the softmax of the head applied to the last
features averaged over every frame heard (:meth:`Network.analyse`,
:meth:`NetworkStream.tempo`). Offline the average is summed in float64
chunk by chunk. A stream adds it up frame by frame, so the tempo it hears
by each frame (:attr:`NetworkStream.heard_tempo`) is the same whatever the
blocks.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from importlib import resources
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

from .architecture import ARCHITECTURES, Architecture

__all__ = ["Network", "NetworkStream", "lag_products", "load_network"]

Linear = Callable[[np.ndarray, np.ndarray, np.ndarray], np.ndarray]
# Offline chunk length in frames (plus the receptive field either side):
# bounds the temporaries at a few tens of megabytes.
_CHUNK_FRAMES = 16384


def _blas_linear(rows: np.ndarray, weight: np.ndarray, bias: np.ndarray) -> np.ndarray:
    out = rows @ weight
    out += bias
    return out


def _serial_linear(rows: np.ndarray, weight: np.ndarray, bias: np.ndarray) -> np.ndarray:
    columns = np.ascontiguousarray(rows.T)
    out = np.empty((rows.shape[0], weight.shape[1]), dtype=np.float32)
    out[:] = bias
    term = np.empty_like(out)
    for column, row_of_weights in zip(columns, weight):
        np.multiply(column[:, np.newaxis], row_of_weights, out=term)
        out += term
    return out


# A stream's tempo head speaks once every HEARD_PERIOD frames (a second at
# the network's 100 fps), from HEARD_FROM frames on, and what it says
# holds until it speaks again: often enough to follow the music, seldom
# enough to cost nothing.
HEARD_PERIOD = 100
HEARD_FROM = 200

# Added to the beat output's energy before dividing its autocorrelation by
# it: silence reads as no recurrence rather than as 0 / 0.
_ENERGY_FLOOR = 1e-9

def lag_products(beat: np.ndarray, lags: tuple[int, int]) -> np.ndarray:
    """``beat[t] * beat[t - lag]`` for every frame t and every lag in ``range(*lags)``, (frames, lags);
    0 where t - lag falls before the first frame (silence before the start)."""
    frames = beat.shape[0]
    products = np.zeros((frames, lags[1] - lags[0]))
    for column, lag in enumerate(range(*lags)):
        products[lag:, column] = beat[lag:] * beat[: frames - lag]
    return products


def _head_inputs(feature_sum: np.ndarray, frames: int, products: np.ndarray, energy: float) -> np.ndarray:
    """What the tempo head reads: the mean features, then (with lags) the autocorrelation over the energy."""
    inputs = feature_sum / max(frames, 1)
    return np.concatenate((inputs, products / (energy + _ENERGY_FLOOR))) if products.size else inputs


# Beyond this the float32 sigmoid is 0 or 1 anyway; clipping keeps exp finite.
_LOGIT_LIMIT = 100.0


def _sigmoid(logits: np.ndarray) -> np.ndarray:
    clipped = np.clip(logits.astype(np.float64), -_LOGIT_LIMIT, _LOGIT_LIMIT)
    return (1.0 / (1.0 + np.exp(-clipped))).astype(np.float32)


def _serial_sigmoid(logits: np.ndarray) -> np.ndarray:
    # One libm call per value: NumPy's vector exp may round a value
    # differently from its scalar tail loop, i.e. by where in a block it sits.
    limit = _LOGIT_LIMIT
    values = [1.0 / (1.0 + math.exp(-min(max(v, -limit), limit))) for v in logits.ravel().tolist()]
    return np.array(values, dtype=np.float64).astype(np.float32).reshape(logits.shape)


class Network:
    """A trained network: its :class:`Architecture` and parameters, run on NumPy.

    Parameters
    ----------
    architecture : Architecture
        The layers.
    parameters : mapping of str to array_like
        Every parameter of ``architecture.parameter_shapes()``, float32, in
        the training framework's (out, in, kernel...) layout.
    """

    def __init__(self, architecture: Architecture, parameters: dict[str, npt.ArrayLike]) -> None:
        self.architecture = a = architecture
        shapes = a.parameter_shapes()
        missing = sorted(set(shapes) - set(parameters))
        if missing:
            raise ValueError(f"network parameters missing: {', '.join(missing)}")
        p = {}
        for name, shape in shapes.items():
            value = np.asarray(parameters[name], dtype=np.float32)
            if value.shape != shape:
                raise ValueError(f"network parameter {name} has shape {value.shape}, expected {shape}")
            p[name] = value
        self.parameters = p
        # As (inputs, outputs) matrices whose rows follow the im2col column order.
        self._conv = [(p[f"conv{i}.weight"].reshape(p[f"conv{i}.weight"].shape[0], -1).T.copy(),
                       p[f"conv{i}.bias"]) for i in range(len(a.conv_channels))]
        self._proj = (p["proj.weight"][:, :, 0].T.copy(), p["proj.bias"])
        self._tcn = [(p[f"tcn{i}.weight"].transpose(2, 1, 0).reshape(-1, a.channels).copy(), p[f"tcn{i}.bias"])
                     for i in range(len(a.dilations))]
        self._head = (p["head.weight"][:, :, 0].T.copy(), p["head.bias"])
        self._tempo = ((p["tempo.weight"][:, :, 0].T.astype(np.float64), p["tempo.bias"].astype(np.float64))
                       if a.tempo_bins else None)

    @classmethod
    def load(cls, path: str | Path) -> "Network":
        """Load a network saved by :meth:`save` (an ``.npz`` file)."""
        with np.load(path, allow_pickle=False) as data:
            architecture = Architecture.from_dict(json.loads(str(data["architecture"])))
            return cls(architecture, {k: data[k] for k in data.files if k != "architecture"})

    def save(self, path: str | Path) -> None:
        """Write the architecture and parameters as an ``.npz`` file."""
        arrays: dict[str, Any] = {"architecture": json.dumps(self.architecture.to_dict()), **self.parameters}
        np.savez(path, **arrays)

    def _layers(self, spectrogram: np.ndarray, linear: Linear, pad: Callable[[int, np.ndarray, tuple[int, int]], np.ndarray]) -> np.ndarray:
        """The last features (frames, channels) of spectrogram frames; ``pad(layer, x, (before, after))``
        supplies each layer's input with the frames its kernel reaches beyond ``x``."""
        a = self.architecture
        frames = spectrogram.shape[0]
        x = spectrogram[:, :, np.newaxis]
        layer = 0
        for weight, bias in self._conv:
            padded = pad(layer, x, a.time_padding(a.conv_time))
            layer += 1
            windows = sliding_window_view(padded, (a.conv_time, a.conv_freq), axis=(0, 1))
            bands = windows.shape[1]
            rows = windows.reshape(frames * bands, -1)
            y = linear(rows, weight, bias).reshape(frames, bands, -1)
            np.maximum(y, 0.0, out=y)
            kept = bands // a.pool
            x = y[:, 0 : kept * a.pool : a.pool]
            for offset in range(1, a.pool):
                x = np.maximum(x, y[:, offset : kept * a.pool : a.pool])
        # Channel-major, as the framework flattens (channels, bands).
        x = linear(np.ascontiguousarray(x.transpose(0, 2, 1)).reshape(frames, -1), *self._proj)
        np.maximum(x, 0.0, out=x)
        for dilation, (weight, bias) in zip(a.dilations, self._tcn):
            padded = pad(layer, x, a.time_padding(a.kernel, dilation))
            layer += 1
            rows = np.concatenate([padded[k * dilation : k * dilation + frames] for k in range(a.kernel)], axis=1)
            h = linear(rows, weight, bias)
            np.maximum(h, 0.0, out=h)
            x = x + h
        return x

    def _tempo_logits(self, inputs: np.ndarray) -> np.ndarray:
        if self._tempo is None:
            raise ValueError("this network has no tempo head")
        return inputs @ self._tempo[0] + self._tempo[1]

    def _tempo_probabilities(self, inputs: np.ndarray) -> np.ndarray:
        logits = self._tempo_logits(inputs)
        weights = np.exp(logits - logits.max())
        return weights / weights.sum()

    def __call__(self, spectrogram: npt.ArrayLike) -> np.ndarray:
        """Output probabilities (frames, outputs) of a whole spectrogram, float32.

        The offline network runs on BLAS in overlapping chunks; a causal one
        runs as its stream does, so the result equals any chunked stream's.
        """
        return self._run(self._check(spectrogram))[0]

    def analyse(self, spectrogram: npt.ArrayLike) -> tuple[np.ndarray, np.ndarray | None]:
        """Output probabilities as :meth:`__call__`, and the tempo head's probability of every
        bin of ``architecture.tempo_bpm`` over the whole spectrogram (None without a tempo head)."""
        out, inputs = self._run(self._check(spectrogram))
        return out, None if self._tempo is None else self._tempo_probabilities(inputs)

    def _run(self, spec: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Output probabilities of a whole spectrogram, and what the tempo head reads of it."""
        if self.architecture.causal:
            stream = self.stream()
            return stream.process(spec), stream._tempo_inputs()
        reach = self.architecture.reach
        out = np.empty((spec.shape[0], len(self.architecture.outputs)), dtype=np.float32)
        feature_sum = np.zeros(self.architecture.channels)

        def zeros(layer: int, x: np.ndarray, padding: tuple[int, int]) -> np.ndarray:
            return np.pad(x, ((padding[0], padding[1]),) + ((0, 0),) * (x.ndim - 1))

        # Zeros at a chunk's inner edges disturb no more than `reach` frames
        # inwards: those come from the neighbouring chunk's run instead.
        for start in range(0, spec.shape[0], _CHUNK_FRAMES):
            stop = min(start + _CHUNK_FRAMES, spec.shape[0])
            lo, hi = max(0, start - reach), min(spec.shape[0], stop + reach)
            features = self._layers(spec[lo:hi], _blas_linear, zeros)[start - lo : stop - lo]
            feature_sum += features.sum(axis=0, dtype=np.float64)
            out[start:stop] = _sigmoid(_blas_linear(features, *self._head))
        lags = self.architecture.tempo_lags or (0, 0)
        beat = out[:, 0].astype(np.float64)
        return out, _head_inputs(feature_sum, spec.shape[0], lag_products(beat, lags).sum(axis=0), float(beat @ beat))

    def stream(self) -> "NetworkStream":
        """A :class:`NetworkStream` running this (causal) network frame by frame."""
        return NetworkStream(self)

    def _check(self, spectrogram: npt.ArrayLike) -> np.ndarray:
        spec = np.ascontiguousarray(spectrogram, dtype=np.float32)
        if spec.ndim != 2 or spec.shape[1] != self.architecture.bands:
            raise ValueError(f"spectrogram must have shape (frames, {self.architecture.bands}), got {spec.shape}")
        return spec


class NetworkStream:
    """A causal network over spectrogram frames arriving in chunks of any size.

    ``process(frames)`` returns the output probabilities of those frames,
    the same bits whatever the chunks. With a tempo head, ``heard_tempo``
    then holds the tempo in BPM that the head had heard by each of them
    (its likeliest bin, updated every ``HEARD_PERIOD`` frames from frame
    ``HEARD_FROM`` on; NaN before), also the same whatever the chunks.
    """

    def __init__(self, network: Network) -> None:
        if not network.architecture.causal:
            raise ValueError("only a causal network runs as a stream")
        self.network = network
        self.reset()

    def reset(self) -> None:
        """Start a new stream: every layer's past is silence (zeros)."""
        self._history: dict[int, np.ndarray] = {}
        a = self.network.architecture
        self._feature_sum = np.zeros(a.channels)
        self._frames = 0
        # For the autocorrelation: the last beat outputs (zeros before the
        # start), and the running sums of products at each lag and of squares.
        self._lags = a.tempo_lags or (0, 0)
        self._beats = np.zeros(max(self._lags[1] - 1, 0))
        self._products = np.zeros(self._lags[1] - self._lags[0])
        self._energy = 0.0
        self._heard = math.nan
        self.heard_tempo = np.zeros(0)

    def tempo(self) -> np.ndarray:
        """The tempo head's probability of every bin of ``architecture.tempo_bpm``, over the frames so far.

        Raises
        ------
        ValueError
            The network has no tempo head.
        """
        return self.network._tempo_probabilities(self._tempo_inputs())

    def _tempo_inputs(self) -> np.ndarray:
        return _head_inputs(self._feature_sum, self._frames, self._products, self._energy)

    def _pad(self, layer: int, x: np.ndarray, padding: tuple[int, int]) -> np.ndarray:
        before = padding[0]
        history = self._history.get(layer)
        if history is None:
            history = np.zeros((before,) + x.shape[1:], dtype=np.float32)
        padded = np.concatenate((history, x.astype(np.float32, copy=False)))
        self._history[layer] = padded[padded.shape[0] - before :]
        return padded

    def process(self, spectrogram: npt.ArrayLike) -> np.ndarray:
        """Output probabilities (frames, outputs) of the next spectrogram frames."""
        spec = self.network._check(spectrogram)
        self.heard_tempo = np.zeros(0)
        if spec.shape[0] == 0:
            return np.zeros((0, len(self.network.architecture.outputs)), dtype=np.float32)
        features = self.network._layers(spec, _serial_linear, self._pad)
        out = _serial_sigmoid(_serial_linear(features, *self.network._head))
        if self.network._tempo is not None:  # nothing to hear the tempo with otherwise
            self._hear(features, out[:, 0])
        return out

    def _hear(self, features: np.ndarray, beat: np.ndarray) -> None:
        # Running sums, one frame at a time (accumulate does not regroup):
        # row k holds the sums over the frames before the chunk's k-th.
        first, count = self._frames, features.shape[0]
        history = np.concatenate((self._beats, beat.astype(np.float64)))
        now = history[self._beats.size :]
        running = np.cumsum(np.vstack((self._feature_sum, features.astype(np.float64))), axis=0)
        products = np.cumsum(np.vstack((self._products, lag_products(history, self._lags)[self._beats.size :])), axis=0)
        energy = np.cumsum(np.concatenate(([self._energy], now * now)))
        heard = np.full(count, self._heard)
        bpm = self.network.architecture.tempo_bpm
        start = max(HEARD_FROM, -(-(first + 1) // HEARD_PERIOD) * HEARD_PERIOD)
        for frames in range(start, first + count + 1, HEARD_PERIOD):
            # Heard over `frames` frames: it holds from the next frame on.
            row = frames - first
            inputs = _head_inputs(running[row], frames, products[row], float(energy[row]))
            self._heard = bpm[int(np.argmax(self.network._tempo_logits(inputs)))]
            heard[row:] = self._heard
        self._beats = history[history.size - self._beats.size :]
        self._feature_sum, self._products, self._energy = running[-1], products[-1], float(energy[-1])
        self._frames, self.heard_tempo = first + count, heard


def load_network(variant: str = "offline") -> Network:
    """The network shipped with cadentia: ``"offline"`` or ``"causal"``."""
    if variant not in ARCHITECTURES:
        raise ValueError(f"network variant must be one of {', '.join(ARCHITECTURES)}, got {variant!r}")
    with resources.as_file(resources.files(__package__) / "weights" / f"{variant}.npz") as path:
        return Network.load(path)
