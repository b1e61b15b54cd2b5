"""Training examples: the network's input frames and beat targets of rendered pieces.

Pieces come from ``eval/trainset.py``: ``<split>/<name>.flac`` with its
``.beats`` (``time position``, position 1 on downbeats) and ``.json``
(written last, so its presence marks a finished piece). Their spectrograms
are computed once and cached as ``.npz`` beside the training run.

Tempo augmentation by analysis hop: a training piece is analysed at
``100 * scale`` frames per second (``scale`` drawn per piece) and its frames
are then treated as 100 per second, which plays it ``1 / scale`` times as
fast with beats still exact (``time * 100 * scale``). Validation pieces are
analysed at 100 fps.
"""

from __future__ import annotations

import functools
import os
import zlib
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import soundfile

from cadentia.frontend.network.features import spectrogram

FPS = 100.0
SCALES = (0.8, 1.2)


@dataclass
class Example:
    name: str
    spec: np.ndarray  # (frames, bands) float16
    beats: np.ndarray  # frame positions, float
    downbeats: np.ndarray
    split: str = ""

    @functools.cached_property
    def meter(self) -> int:
        """Beats per bar: the median count between consecutive downbeats (0 with under two)."""
        if self.downbeats.size < 2:
            return 0
        return int(np.median(np.diff(np.searchsorted(self.beats, self.downbeats))))


def _validation(split: str) -> bool:
    """Validation splits (``valid``, ``valid-voice``) are analysed once, at 100 fps."""
    return split.startswith("valid")


def _scale(split: str, name: str, seed: int, variant: int = 0) -> float:
    if _validation(split):
        return 1.0
    rng = np.random.default_rng([seed, zlib.crc32(name.encode())] + ([variant] if variant else []))
    return float(np.exp(rng.uniform(np.log(SCALES[0]), np.log(SCALES[1]))))


def _compute(audio: Path, cached: Path, scale: float) -> None:
    signal, rate = soundfile.read(audio, dtype="float32", always_2d=True)
    rows = np.loadtxt(audio.with_suffix(".beats"), ndmin=2)
    times, positions = rows[:, 0], rows[:, 1]
    spec = spectrogram(signal, rate, FPS * scale)
    tmp = cached.with_name(cached.name + f".{os.getpid()}.tmp.npz")
    np.savez(tmp, spec=spec.astype(np.float16), beats=times * FPS * scale,
             downbeats=times[positions == 1] * FPS * scale, scale=scale)
    os.replace(tmp, cached)


def load_split(data: Path, cache: Path, split: str, seed: int = 0, known: dict | None = None,
               variants: int = 1) -> dict[str, Example]:
    """Every finished piece of ``split``, computing spectrograms not cached yet.

    With ``variants`` > 1, each training piece comes that many times, each
    analysed at its own hop scale (validation pieces come once, unscaled).
    """
    examples = dict(known or {})
    folder = data / split
    (cache / split).mkdir(parents=True, exist_ok=True)
    for meta in sorted(folder.glob("*.json")):
        audio = meta.with_suffix(".flac")
        if meta.stem == "index" or not audio.exists():
            continue
        for variant in range(1 if _validation(split) else variants):
            name = meta.stem + (f"~{variant}" if variant else "")
            if name in examples:
                continue
            cached = cache / split / f"{name}.npz"
            if not cached.exists():
                _compute(audio, cached, _scale(split, meta.stem, seed, variant))
            with np.load(cached) as z:
                examples[name] = Example(name, z["spec"], z["beats"], z["downbeats"], split)
    return examples


def targets(example: Example, start: int, frames: int) -> np.ndarray:
    """(frames, 2) beat and downbeat targets: 1 at the nearest frame, 0.5 beside it."""
    out = np.zeros((frames, 2), dtype=np.float32)
    for column, positions in enumerate((example.beats, example.downbeats)):
        index = np.round(positions).astype(np.int64) - start
        for offset, value in ((-1, 0.5), (1, 0.5), (0, 1.0)):
            at = index + offset
            at = at[(at >= 0) & (at < frames)]
            out[at, column] = np.maximum(out[at, column], value)
    return out


def tempo(beats: np.ndarray, start: int, frames: int, fps: float = FPS) -> float:
    """Tempo (BPM) of the beats inside an excerpt from their median interval; NaN if under four beats."""
    inside = beats[(beats >= start) & (beats < start + frames)]
    if inside.size < 4:
        return float("nan")
    return 60.0 * fps / float(np.median(np.diff(inside)))


def draw_chances(examples: list[Example], meter_weights: dict[int, float] | None = None,
                 split_weights: dict[str, float] | None = None) -> np.ndarray:
    """Each piece's chance of being drawn: its length, times ``meter_weights``
    of its beats per bar and ``split_weights`` of its split (1 for one not
    listed), normalised."""
    lengths = np.array([e.spec.shape[0] for e in examples], dtype=np.float64)
    if meter_weights:
        lengths *= [meter_weights.get(e.meter, 1.0) for e in examples]
    if split_weights:
        lengths *= [split_weights.get(e.split, 1.0) for e in examples]
    return lengths / lengths.sum()


def batch(examples: list[Example], rng: np.random.Generator, size: int,
          frames: int, eq_db: float = 0.0,
          chances: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Random excerpts (zero-padded past a piece's end), their targets and tempi (NaN: none).

    Pieces are drawn by ``chances`` (default: in proportion to their length);
    compute them once per set of examples, not once per batch.

    Every excerpt gets a random gain; with ``eq_db`` also a random smooth
    equaliser across the bands (a tilt and a bell, each up to ``eq_db``).
    """
    x = np.zeros((size, frames, examples[0].spec.shape[1]), dtype=np.float32)
    y = np.zeros((size, frames, 2), dtype=np.float32)
    bpm = np.full(size, np.nan)
    bands = np.linspace(-1.0, 1.0, x.shape[2])
    picks = rng.choice(len(examples), size=size, p=draw_chances(examples) if chances is None else chances)
    for row, pick in enumerate(picks):
        example = examples[pick]
        total = example.spec.shape[0]
        start = int(rng.integers(-frames // 4, max(1, total - frames * 3 // 4)))
        lo, hi = max(0, start), min(total, start + frames)
        x[row, lo - start : hi - start] = example.spec[lo:hi]
        y[row] = targets(example, start, frames)
        bpm[row] = tempo(example.beats, start, frames)
        # Gain augmentation, exact in the compressed domain: log1p(g * expm1(v)).
        db = rng.uniform(-20.0, 6.0)
        if eq_db:
            centre, width = rng.uniform(-1.0, 1.0), rng.uniform(0.1, 0.5)
            db = db + rng.uniform(-eq_db, eq_db) * bands \
                + rng.uniform(-eq_db, eq_db) * np.exp(-0.5 * ((bands - centre) / width) ** 2)
        gain = np.asarray(10.0 ** (db / 20.0), dtype=np.float32)
        x[row] = np.log1p(gain * np.expm1(x[row]))
    return x, y, bpm
