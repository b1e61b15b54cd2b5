"""The network of :mod:`cadentia.frontend.network.architecture` as a PyTorch module, for training.

Parameter names and shapes are those of ``Architecture.parameter_shapes()``,
so a state dict saves straight into the ``.npz`` that
:class:`cadentia.frontend.network.inference.Network` runs. Every layer pads its own input
in time with zeros, as the NumPy inference does (on both sides offline, in
front when causal).
"""

from __future__ import annotations

import dataclasses

import numpy as np
import torch
from torch import nn
from torch.nn import functional as F

from cadentia.frontend.network.architecture import Architecture


class BeatNetwork(nn.Module):
    def __init__(self, architecture: Architecture, dropout: float = 0.1) -> None:
        super().__init__()
        a = self.architecture = architecture
        if a.tempo_lags is not None:
            # The autocorrelation-reading head is fitted on the frozen network (train/tempo_head.py).
            raise ValueError("the framework model trains no tempo head that reads tempo_lags")
        into = 1
        for i, out in enumerate(a.conv_channels):
            setattr(self, f"conv{i}", nn.Conv2d(into, out, (a.conv_time, a.conv_freq)))
            into = out
        self.proj = nn.Conv1d(a.features, a.channels, 1)
        for i, d in enumerate(a.dilations):
            setattr(self, f"tcn{i}", nn.Conv1d(a.channels, a.channels, a.kernel, dilation=d))
        self.head = nn.Conv1d(a.channels, len(a.outputs), 1)
        if a.tempo_bins:
            self.tempo = nn.Conv1d(a.channels, a.tempo_bins, 1)
        self.dropout = nn.Dropout(dropout)
        # Beats fill a few per cent of frames: start the logits near that rate.
        nn.init.constant_(self.head.bias, -3.0)

    def forward(self, spectrogram: torch.Tensor) -> torch.Tensor:
        """(batch, frames, bands) -> logits (batch, frames, outputs)."""
        return self.head(self.features(spectrogram)).transpose(1, 2)

    def forward_with_tempo(self, spectrogram: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Beat logits as :meth:`forward`, and tempo logits (batch, tempo_bins) of each whole excerpt."""
        x = self.features(spectrogram)
        return self.head(x).transpose(1, 2), self.tempo(x.mean(dim=2, keepdim=True))[:, :, 0]

    def features(self, spectrogram: torch.Tensor) -> torch.Tensor:
        """(batch, frames, bands) -> the last features (batch, channels, frames)."""
        a = self.architecture
        x = spectrogram.unsqueeze(1)  # (batch, 1, frames, bands)
        for i in range(len(a.conv_channels)):
            before, after = a.time_padding(a.conv_time)
            x = F.relu(getattr(self, f"conv{i}")(F.pad(x, (0, 0, before, after))))
            x = F.max_pool2d(x, (1, a.pool))
        batch, channels, frames, bands = x.shape
        x = x.permute(0, 1, 3, 2).reshape(batch, channels * bands, frames)  # channel-major features
        x = self.dropout(F.relu(self.proj(x)))
        for i, d in enumerate(a.dilations):
            h = F.relu(getattr(self, f"tcn{i}")(F.pad(x, a.time_padding(a.kernel, d))))
            x = x + self.dropout(h)
        return x

    def numpy_parameters(self) -> dict:
        return {name: value.detach().cpu().numpy().astype("float32") for name, value in self.state_dict().items()}


def widen(parameters: dict, old: Architecture, new: Architecture, rng: np.random.Generator) -> dict:
    """Parameters of ``old`` grown to ``new``'s channels (2-D and per frame), computing the same function.

    Net2Net widening (Chen, Goodfellow and Shlens, ICLR 2016): every new
    channel copies an old one, its producing weights and bias copied, and
    each consumer's weights on a copied channel split between the copies.
    The split is random per weight (30 to 70 %) rather than even, so the
    copies get different gradients and grow apart; the sum, and with it
    the function, stays as it was up to rounding. A copied 2-D channel
    stays a copy through the ReLU and the pooling, so the projection
    splits its weights on every band of it.
    """
    same = dataclasses.replace(old, channels=new.channels, conv_channels=new.conv_channels)
    if (same != new or new.channels < old.channels or len(new.conv_channels) != len(old.conv_channels)
            or any(n < o for n, o in zip(new.conv_channels, old.conv_channels))):
        raise ValueError(f"can only widen the channels, from {old.conv_channels} and {old.channels} up")

    def copies(old_count: int, new_count: int) -> np.ndarray:
        """The old channel each new one copies: first themselves, then random ones."""
        return np.concatenate([np.arange(old_count), rng.integers(0, old_count, new_count - old_count)])

    def split(weight: np.ndarray, source: np.ndarray) -> np.ndarray:
        """Input axis 1 grown; each old input's weight shared among its copies."""
        share = rng.uniform(0.3, 0.7, (weight.shape[0], source.size) + weight.shape[2:])
        totals = np.zeros(weight.shape)
        np.add.at(totals, (slice(None), source), share)
        return (weight[:, source] * (share / totals[:, source])).astype(np.float32)

    grown = {name: np.array(value) for name, value in parameters.items()}
    into = np.zeros(1, dtype=np.int64)  # the spectrogram: one input channel, never copied
    for i, (was, now) in enumerate(zip(old.conv_channels, new.conv_channels)):
        source = copies(was, now)
        grown[f"conv{i}.weight"] = split(parameters[f"conv{i}.weight"], into)[source]
        grown[f"conv{i}.bias"] = parameters[f"conv{i}.bias"][source]
        into = source
    bands = old.conv_bands(len(old.conv_channels) - 1)[1]
    features = (into[:, None] * bands + np.arange(bands)).ravel()  # channel-major, as flattened
    source = copies(old.channels, new.channels)
    grown["proj.weight"] = split(parameters["proj.weight"], features)[source]
    grown["proj.bias"] = parameters["proj.bias"][source]
    for i in range(len(old.dilations)):
        grown[f"tcn{i}.weight"] = split(parameters[f"tcn{i}.weight"], source)[source]
        grown[f"tcn{i}.bias"] = parameters[f"tcn{i}.bias"][source]
    for head in ("head", "tempo"):
        if f"{head}.weight" in parameters:
            grown[f"{head}.weight"] = split(parameters[f"{head}.weight"], source)
    return grown
