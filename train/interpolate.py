"""Interpolate two parameter files of the same network, weight by weight.

    python train/interpolate.py START.npz TUNED.npz --alpha 0.3 --out MIXED.npz

``(1 - alpha) * START + alpha * TUNED`` for every parameter: a fine-tune
pulled part of the way back to the parameters it started from (Wortsman
et al., "Robust fine-tuning of zero-shot models", CVPR 2022). Both files
come from one run's start and end, so the straight line between them stays
in one basin; ``alpha`` trades what the fine-tune learnt against what it
forgot (see the model card).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from cadentia.frontend.network.inference import Network


def interpolate(start: Network, tuned: Network, alpha: float) -> Network:
    """The network whose every parameter is ``(1 - alpha) * start + alpha * tuned``."""
    if start.architecture != tuned.architecture or start.parameters.keys() != tuned.parameters.keys():
        raise ValueError("the two networks differ in shape; interpolate a run's start and end")
    return Network(start.architecture, {
        name: ((1 - alpha) * value + alpha * tuned.parameters[name]).astype(value.dtype)
        for name, value in start.parameters.items()
    })


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("start", type=Path)
    parser.add_argument("tuned", type=Path)
    parser.add_argument("--alpha", type=float, required=True, help="0: the start, 1: the fine-tuned parameters")
    parser.add_argument("--out", type=Path, required=True)
    args = parser.parse_args(argv)
    interpolate(Network.load(args.start), Network.load(args.tuned), args.alpha).save(args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
