"""Train the causal network's tempo head: the tempo heard so far, for live tracking.

    python train/tempo_head.py --data DIR [--splits train,kits,voice,band,club]
                               [--valid valid,valid-voice,valid-band,valid-club]
                               [--l2 1e-4] [--jobs N] [--network FILE] [--out FILE]

The causal network stays as it is; only a head is added: a linear map from
its last features, averaged over every frame heard so far, and from the
autocorrelation of its beat output over the same frames at the beat
periods of 45-240 BPM (lags of 25 to 133 frames, divided by the output's
energy), to logits over the tempo bins of its architecture (as the
offline network's head, which averages the features over the whole piece). Live, the stream asks it once a second
(:class:`cadentia.frontend.network.NetworkStream`), so the examples are the
prefixes of every training piece (2, 3, 4, 6, 8, 12, 16, 24, 32, 48 and 64
seconds, and its last whole second), each against the annotated tempo of the
beats up to its end (the median inter-beat interval) as a Gaussian one bin
wide, each piece weighing one in all. A softmax regression with an L2
penalty on the standardised inputs, fitted with SciPy's L-BFGS: 12,528
weights need no framework.

The validation splits are only scored: the share of prefixes whose
likeliest bin is within 4 % (and within a quarter octave) of the annotated
tempo. Per-second sums of the features and of the autocorrelation's
products are cached beside the data
(``tempo-features.npz`` in each split's folder), keyed by the network's
weights.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
from concurrent.futures import ProcessPoolExecutor
from dataclasses import replace
from pathlib import Path

import numpy as np
from scipy.optimize import minimize

from cadentia.frontend.network import Network, spectrogram
from cadentia.frontend.network import inference
from cadentia.io.audio import read_mono

FPS = 100
PREFIXES = (2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64)
# Beat periods of 45-240 BPM, in frames at 100 fps: the live range when the head was fitted.
LAGS = (25, 134)
WEIGHTS = Path(__file__).resolve().parents[1] / "src/cadentia/frontend/network/weights"


def _body(network: Network) -> dict[str, np.ndarray]:
    return {k: v for k, v in network.parameters.items() if not k.startswith("tempo.")}


def _fingerprint(network: Network) -> str:
    body = {**network.architecture.to_dict(), "tempo_bins": 0, "tempo_lags": None, "cached_lags": LAGS}
    digest = hashlib.sha256(json.dumps(body).encode())
    for name, value in sorted(_body(network).items()):
        digest.update(name.encode() + value.tobytes())
    return digest.hexdigest()[:16]


Piece = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]


def piece(job: tuple[str, str]) -> Piece:
    """Per-second sums of the causal network's last features, of the beat output's products at
    every lag and of its squares, over one piece; and its beat times."""
    network_path, audio = job
    network = Network.load(network_path)
    signal, rate = read_mono(audio)
    spec = spectrogram(signal, rate, FPS, network.architecture.bands)

    def zeros(layer: int, x: np.ndarray, padding: tuple[int, int]) -> np.ndarray:
        return np.pad(x, (padding,) + ((0, 0),) * (x.ndim - 1))

    # The whole piece at once on BLAS: the stream's serial sums differ in
    # the last bits only, which no tempo choice notices.
    features = network._layers(np.ascontiguousarray(spec, dtype=np.float32), inference._blas_linear, zeros)
    beat = inference._sigmoid(inference._blas_linear(features, *network._head))[:, 0].astype(np.float64)
    frames = features.shape[0]
    products = inference.lag_products(beat, LAGS)
    seconds = -(-frames // FPS)

    def per_second(values: np.ndarray) -> np.ndarray:
        padded = np.zeros((seconds * FPS,) + values.shape[1:])
        padded[:frames] = values
        return padded.reshape(seconds, FPS, *values.shape[1:]).sum(axis=1)

    beats = np.loadtxt(Path(audio).with_suffix(".beats"), ndmin=2)[:, 0]
    return per_second(features), per_second(products), per_second(beat * beat), beats


NAMES = ("features", "products", "energy", "beats")


def split_features(folder: Path, network_path: Path, network: Network, jobs: int) -> list[Piece]:
    cache = folder / "tempo-features.npz"
    key = _fingerprint(network)
    if cache.exists():
        with np.load(cache) as stored:
            if str(stored["key"]) == key:
                count = int(stored["count"])
                return [tuple(stored[f"{name}{i}"] for name in NAMES) for i in range(count)]  # type: ignore[misc]
    paths = sorted(map(str, folder.glob("*.flac")))
    with ProcessPoolExecutor(max(1, jobs)) as pool:
        pieces = list(pool.map(piece, [(str(network_path), p) for p in paths], chunksize=8))
    arrays = {f"{name}{i}": value for i, values in enumerate(pieces) for name, value in zip(NAMES, values)}
    np.savez(cache, key=key, count=len(pieces), **arrays)
    return pieces


def examples(pieces: list[Piece]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The head's inputs for every prefix, the annotated tempo up to its end, and each row's weight."""
    x, bpm, weight = [], [], []
    for features, products, energy, beats in pieces:
        running = [np.cumsum(values, axis=0) for values in (features, products, energy)]
        # As the stream hears them (NetworkStream._tempo_inputs), at whole
        # seconds: the last second, maybe short, is left out.
        full = len(features) - 1
        ends = sorted({min(end, full) for end in (*PREFIXES, full)} - {0})
        rows = [(np.concatenate((running[0][end - 1] / (end * FPS),
                                 running[1][end - 1] / (running[2][end - 1] + inference._ENERGY_FLOOR))),
                 beats[beats <= end]) for end in ends]
        rows = [(mean, float(np.median(60.0 / np.diff(b)))) for mean, b in rows if b.size >= 4]
        for mean, tempo in rows:
            x.append(mean)
            bpm.append(tempo)
            weight.append(1.0 / len(rows))
    return np.array(x), np.array(bpm), np.array(weight)


def targets(bpm: np.ndarray, network: Network) -> np.ndarray:
    """A Gaussian one bin wide around each tempo, over the head's bins (as the offline head learns)."""
    a = network.architecture
    position = np.log2(bpm / a.tempo_min_bpm) * a.tempo_bins_per_octave
    weights = np.exp(-0.5 * (np.arange(a.tempo_bins)[None, :] - position[:, None]) ** 2)
    return weights / weights.sum(axis=1, keepdims=True)


def fit(x: np.ndarray, target: np.ndarray, weight: np.ndarray, l2: float) -> tuple[np.ndarray, np.ndarray]:
    """Softmax regression, L2 on the weights (not the biases) of standardised features; raw-feature weights and biases."""
    mean, scale = x.mean(axis=0), x.std(axis=0)
    scale[scale == 0] = 1.0
    z = (x - mean) / scale
    d, k = z.shape[1], target.shape[1]
    share = weight / weight.sum()

    def loss(theta: np.ndarray) -> tuple[float, np.ndarray]:
        w, b = theta[: d * k].reshape(d, k), theta[d * k :]
        logits = z @ w + b
        logits -= logits.max(axis=1, keepdims=True)
        log_p = logits - np.log(np.exp(logits).sum(axis=1, keepdims=True))
        value = -float((share[:, None] * target * log_p).sum()) + 0.5 * l2 * float((w * w).sum())
        grad = (np.exp(log_p) - target) * share[:, None]
        return value, np.concatenate(((z.T @ grad + l2 * w).ravel(), grad.sum(axis=0)))

    result = minimize(loss, np.zeros(d * k + k), jac=True, method="L-BFGS-B", options={"maxiter": 3000})
    w, b = result.x[: d * k].reshape(d, k), result.x[d * k :]
    return w / scale[:, None], b - (mean / scale) @ w


def score(x: np.ndarray, bpm: np.ndarray, head: tuple[np.ndarray, np.ndarray], network: Network) -> tuple[float, float]:
    heard = np.asarray(network.architecture.tempo_bpm)[np.argmax(x @ head[0] + head[1], axis=1)]
    ratio = heard / bpm
    return float(np.mean(np.abs(ratio - 1) <= 0.04)), float(np.mean(np.abs(np.log2(ratio)) <= 0.25))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", type=Path, default=Path("/work/data/trainset"))
    parser.add_argument("--splits", default="train,kits,voice,band,club")
    parser.add_argument("--valid", default="valid,valid-voice,valid-band,valid-club")
    parser.add_argument("--l2", type=float, default=1e-4)
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--network", type=Path, default=WEIGHTS / "causal.npz")
    parser.add_argument("--out", type=Path, default=None, help="write the network with the new head here")
    args = parser.parse_args(argv)
    network = Network.load(args.network)
    if not network.architecture.causal:
        parser.error(f"{args.network} is not a causal network")
    architecture = replace(network.architecture, tempo_bins=network.architecture.tempo_bins or 72, tempo_lags=LAGS)
    network = Network(architecture, {
        **_body(network),
        "tempo.weight": np.zeros((architecture.tempo_bins, architecture.tempo_inputs, 1), np.float32),
        "tempo.bias": np.zeros(architecture.tempo_bins, np.float32)})

    def rows(names: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        parts = [examples(split_features(args.data / s, args.network, network, args.jobs)) for s in names.split(",")]
        return tuple(np.concatenate([p[i] for p in parts]) for i in range(3))  # type: ignore[return-value]

    x, bpm, weight = rows(args.splits)
    print(f"{x.shape[0]} prefixes of the training splits", flush=True)
    head = fit(x, targets(bpm, network), weight, args.l2)
    print(f"l2 {args.l2:g}: within 4 % / a quarter octave: training {'%.3f / %.3f' % score(x, bpm, head, network)}")
    for split in args.valid.split(","):
        vx, vbpm, _ = rows(split)
        print(f"  {split}: {'%.3f / %.3f' % score(vx, vbpm, head, network)}")
    if args.out is not None:
        parameters = {**_body(network), "tempo.weight": head[0].T[:, :, None].astype(np.float32),
                      "tempo.bias": head[1].astype(np.float32)}
        Network(network.architecture, parameters).save(args.out)
        print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
