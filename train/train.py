"""Train the beat and downbeat network (PyTorch on the CPU).

    python train/train.py --variant offline --data /work/data/trainset --out build/train/offline

Samples random excerpts of the training split, logs the loss, and every
``--eval-every`` steps runs the whole validation split (held-out SoundFont
and seeds) through the network and cadentia's trackers, logging beat F,
CMLt, AMLt and downbeat F. The best parameters by mean beat + downbeat F
are saved as ``best.npz`` (the format the package ships), the latest as
``last.npz``; ``last.pt``
holds everything needed to resume (``--resume``). New pieces appearing in
the data folder while training runs are picked up at each evaluation.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import math
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import torch
from torch.nn import functional as F

sys.path.insert(0, str(Path(__file__).resolve().parent))
import data as trainset  # noqa: E402
from model import BeatNetwork, widen  # noqa: E402

from cadentia.frontend.network.architecture import ARCHITECTURES  # noqa: E402
from cadentia.frontend.network.inference import Network  # noqa: E402


def _octave_right(beats: np.ndarray, true_bpm: float) -> bool:
    return beats.size > 2 and abs(60.0 / float(np.median(np.diff(beats))) / true_bpm - 1) < 0.08


def evaluate(model: BeatNetwork, examples: dict, fps: float = trainset.FPS) -> dict:
    """Mean validation scores; with a tempo head also its accuracy (within 4 %) and
    beat F and octave when the tracker's tempo prior is centred on it."""
    import mir_eval
    from cadentia import track_beats, track_downbeats

    a = model.architecture
    model.eval()
    scores = []
    with torch.no_grad():
        for example in examples.values():
            logits, tempo_logits = (model.forward_with_tempo if a.tempo_bins else lambda s: (model(s), None))(
                torch.from_numpy(example.spec.astype(np.float32))[None])
            probs = torch.sigmoid(logits)[0].numpy()
            beats = track_beats(probs[:, 0], fps).beats
            reference = example.beats / fps
            true_bpm = trainset.tempo(example.beats, 0, example.spec.shape[0])
            f = mir_eval.beat.f_measure(reference, beats)
            cmlc, cmlt, amlc, amlt = mir_eval.beat.continuity(reference, beats)
            activation = np.stack([probs[:, 0], np.minimum(probs[:, 1], probs[:, 0])], axis=1)
            downbeats = track_downbeats(activation, fps, beat_includes_downbeats=True).downbeats
            df = mir_eval.beat.f_measure(example.downbeats / fps, downbeats)
            row = [f, cmlt, amlt, df, _octave_right(beats, true_bpm)]
            if tempo_logits is not None:
                bpm = a.tempo_bpm[int(tempo_logits[0].argmax())]
                prior_beats = track_beats(probs[:, 0], fps, tempo_prior=(bpm, 0.5)).beats
                row += [abs(bpm / true_bpm - 1) < 0.04, mir_eval.beat.f_measure(reference, prior_beats),
                        _octave_right(prior_beats, true_bpm)]
            scores.append(row)
    model.train()
    mean = np.mean(scores, axis=0)
    names = ["F", "CMLt", "AMLt", "downbeat_F", "octave", "tempo_acc", "F_tempo_prior", "octave_tempo_prior"]
    return {**dict(zip(names, mean)), "pieces": len(scores)}


def tempo_targets(bpm: np.ndarray, architecture) -> tuple[torch.Tensor, torch.Tensor]:
    """Soft tempo targets (a Gaussian one bin wide around each excerpt's tempo) and which rows have one."""
    known = np.isfinite(bpm)
    position = np.log2(np.where(known, bpm, architecture.tempo_min_bpm) / architecture.tempo_min_bpm)
    position *= architecture.tempo_bins_per_octave
    bins = np.arange(architecture.tempo_bins)
    weights = np.exp(-0.5 * (bins[None, :] - position[:, None]) ** 2)
    weights /= weights.sum(axis=1, keepdims=True)
    return torch.from_numpy(weights.astype(np.float32)), torch.from_numpy(known)


def _weights(key: type) -> Callable[[str], dict]:
    """Parse ``KEY:WEIGHT,...`` into a dict, keys converted by ``key``."""
    def parse(text: str) -> dict:
        pairs = (item.split(":") for item in text.split(","))
        return {key(name): float(weight) for name, weight in pairs}
    return parse


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--variant", choices=sorted(ARCHITECTURES), default="offline")
    parser.add_argument("--data", type=Path, default=Path("/work/data/trainset"))
    parser.add_argument("--cache", type=Path, default=None, help="spectrogram cache (default DATA/../features)")
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--minutes", type=float, default=80.0, help="stop after this much wall time")
    parser.add_argument("--steps", type=int, default=100000)
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--frames", type=int, default=1500)
    parser.add_argument("--lr", type=float, default=2e-3)
    parser.add_argument("--eval-every", type=int, default=600)
    parser.add_argument("--valid-pieces", type=int, default=60, help="validate on this many pieces, evenly spread")
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--resume", action="store_true")
    parser.add_argument("--init", type=Path, default=None, help="start from these parameters (an .npz from a run)")
    parser.add_argument("--splits", default="train", help="training splits of the data folder, comma-separated")
    parser.add_argument("--eq-db", type=float, default=0.0, help="random per-excerpt equaliser, up to this many dB")
    parser.add_argument("--variants", type=int, default=1, help="hop-scale variants of every training piece")
    parser.add_argument("--channels", type=int, default=None,
                        help="features per frame (default the architecture's); wider than --init's grows them")
    parser.add_argument("--conv-channels", type=lambda text: tuple(int(v) for v in text.split(",")), default=None,
                        help="channels of each 2-D convolution, comma-separated; wider than --init's grows them")
    parser.add_argument("--tempo-weight", type=float, default=0.05,
                        help="weight of the tempo head's loss; 0 trains the variant without a tempo head")
    parser.add_argument("--meter-weights", type=_weights(int), default=None,
                        help="draw pieces of these beats per bar more often, e.g. 2:2.5,3:1.5 (others 1)")
    parser.add_argument("--split-weights", type=_weights(str), default=None,
                        help="draw pieces of these splits more often, e.g. modules:3 (others 1)")
    parser.add_argument("--downbeat-weight", type=float, default=1.0,
                        help="weight of the downbeat column's loss against the beat column's")
    args = parser.parse_args(argv)
    unknown = sorted(set(args.split_weights or ()) - set(args.splits.split(",")))
    if unknown:  # a misspelt split would otherwise train quietly without its weight
        parser.error(f"--split-weights names splits not in --splits: {', '.join(unknown)}")

    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    rng = np.random.default_rng(args.seed)
    cache = args.cache or args.data.parent / "features"
    args.out.mkdir(parents=True, exist_ok=True)
    architecture = ARCHITECTURES[args.variant]
    if args.tempo_weight == 0:
        architecture = dataclasses.replace(architecture, tempo_bins=0)
    if args.channels is not None:
        architecture = dataclasses.replace(architecture, channels=args.channels)
    if args.conv_channels is not None:
        architecture = dataclasses.replace(architecture, conv_channels=args.conv_channels)
    model = BeatNetwork(architecture)
    if args.init is not None:
        start = Network.load(args.init)
        parameters = start.parameters
        old = dataclasses.replace(start.architecture, tempo_bins=architecture.tempo_bins)
        if (old.channels, old.conv_channels) != (architecture.channels, architecture.conv_channels):
            parameters = widen({k: v for k, v in parameters.items() if k in old.parameter_shapes()},
                               old, architecture, rng)
            print(f"widened {args.init} from {old.conv_channels} and {old.channels} to "
                  f"{architecture.conv_channels} and {architecture.channels} channels", flush=True)
        initial = {k: torch.from_numpy(v) for k, v in parameters.items()}
        missing = model.load_state_dict(initial, strict=False).missing_keys
        print(f"initialised from {args.init}; new: {', '.join(missing) or 'none'}", flush=True)
    optimiser = torch.optim.AdamW(model.parameters(), lr=args.lr, weight_decay=1e-4)
    step, best = 0, -1.0
    if args.resume and (args.out / "last.pt").exists():
        state = torch.load(args.out / "last.pt", weights_only=False)
        model.load_state_dict(state["model"])
        optimiser.load_state_dict(state["optimiser"])
        step, best = state["step"], state["best"]
        rng = np.random.default_rng([args.seed, step])
    log = open(args.out / "log.jsonl", "a")
    started = time.monotonic()
    def load_training(known: dict | None = None) -> tuple[dict, list, np.ndarray]:
        """The training examples by name, as a list, and each one's chance of being drawn."""
        examples = dict(known or {})
        for split in args.splits.split(","):
            examples = trainset.load_split(args.data, cache, split, args.seed, examples, args.variants)
        pieces = list(examples.values())
        return examples, pieces, trainset.draw_chances(pieces, args.meter_weights, args.split_weights)

    train, pieces, chances = load_training()
    valid = trainset.load_split(args.data, cache, "valid", args.seed)
    names = sorted(valid)
    step_size = max(1, len(names) // max(1, args.valid_pieces))
    valid = {name: valid[name] for name in names[::step_size][: args.valid_pieces]}
    print(f"{len(train)} training pieces, {len(valid)} validation pieces", flush=True)
    budget = args.minutes * 60
    column_weight = torch.tensor([1.0, args.downbeat_weight])
    running = 0.0
    while step < args.steps:
        elapsed = time.monotonic() - started
        # Cosine decay over the wall-time budget, with a short warm-up.
        progress = min(1.0, elapsed / budget)
        lr = args.lr * min(1.0, (step + 1) / 200) * 0.5 * (1 + math.cos(math.pi * progress))
        for group in optimiser.param_groups:
            group["lr"] = lr
        x, y, bpm = trainset.batch(pieces, rng, args.batch, args.frames, args.eq_db, chances)
        if architecture.tempo_bins:
            logits, tempo_logits = model.forward_with_tempo(torch.from_numpy(x))
        else:
            logits = model(torch.from_numpy(x))
        loss = F.binary_cross_entropy_with_logits(logits, torch.from_numpy(y), weight=column_weight)
        if architecture.tempo_bins:
            target, known = tempo_targets(bpm, architecture)
            if known.any():
                tempo_loss = -(target[known] * F.log_softmax(tempo_logits[known], dim=1)).sum(dim=1).mean()
                loss = loss + args.tempo_weight * tempo_loss
        optimiser.zero_grad()
        loss.backward()
        optimiser.step()
        step += 1
        running = 0.98 * running + 0.02 * loss.item() if step > 1 else loss.item()
        done = elapsed > budget or step >= args.steps
        if step % args.eval_every == 0 or done:
            scores = evaluate(model, valid)
            row = {"step": step, "minutes": round(elapsed / 60, 1), "loss": round(running, 5), "lr": lr,
                   "train_pieces": len(train), **{k: round(float(v), 4) for k, v in scores.items()}}
            print(json.dumps(row), flush=True)
            log.write(json.dumps(row) + "\n")
            log.flush()
            score = scores["F"] + scores["downbeat_F"]
            current = Network(architecture, model.numpy_parameters())
            if score > best:
                best = score
                current.save(args.out / "best.npz")
            current.save(args.out / "last.npz")
            torch.save({"model": model.state_dict(), "optimiser": optimiser.state_dict(), "step": step,
                        "best": best}, args.out / "last.pt")
            train, pieces, chances = load_training(train)
        elif step % 50 == 0:
            print(f"step {step} loss {running:.4f} lr {lr:.2e} {elapsed / 60:.1f} min", flush=True)
        if done:
            break
    return 0


if __name__ == "__main__":
    sys.exit(main())
