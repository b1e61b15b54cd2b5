"""The network of :mod:`cadentia.frontend.network.architecture` as a PyTorch module, for training.

Parameter names and shapes are those of ``Architecture.parameter_shapes()``,
so a state dict saves straight into the ``.npz`` that
:class:`cadentia.frontend.network.inference.Network` runs. Every layer pads its own input
in time with zeros, as the NumPy inference does (on both sides offline, in
front when causal).
"""

from __future__ import annotations

import torch
from torch import nn
from torch.nn import functional as F

from cadentia.frontend.network.architecture import Architecture


class BeatNetwork(nn.Module):
    def __init__(self, architecture: Architecture, dropout: float = 0.1) -> None:
        super().__init__()
        a = self.architecture = architecture
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
