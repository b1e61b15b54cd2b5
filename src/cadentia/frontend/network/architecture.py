"""The beat and downbeat network: one definition for training and inference.

A temporal convolutional network in the manner of Davies and Böck (2019)
and Böck and Davies (2020), small enough to run on NumPy far faster than
real time:

1. Input: log-magnitude mel bands at 100 frames per second
   (:mod:`cadentia.frontend.network.features`), shape (frames, bands).
2. Two 2-D convolutions over (time, frequency), each followed by a ReLU
   and a maximum over groups of ``pool`` neighbouring bands: local
   spectral shapes (a kick, a chord onset) wherever they sit in pitch.
3. A projection of the remaining bands and channels to ``channels``
   features per frame (a 1 x 1 convolution), with a ReLU.
4. A stack of dilated 1-D convolutions over time with residual
   connections, ``x + relu(conv(x))``; dilations double layer by layer,
   so the last frames see several seconds of context: enough for the
   network to learn the pulse, not only the onsets.
5. A 1 x 1 convolution to two logits per frame: beat (downbeats included)
   and downbeat; their sigmoids are the activations the trackers take.
6. Optionally (``tempo_bins`` > 0), a tempo head: the last features
   averaged over time, then a linear map to logits over log-spaced tempo
   bins; their softmax is the network's belief about the excerpt's tempo.
   Trained beside the beat outputs, it tells the tracker which tempo
   octave the network hears. With ``tempo_lags`` (lo, hi), the head also
   reads the autocorrelation of the beat output at lags lo to hi - 1
   frames over the same span, divided by its energy: how strongly the
   network's own beats recur at each beat period.

The *offline* variant centres every kernel on its frame (it hears the
future as well as the past); the *causal* variant puts the whole kernel on
past frames, so frame t depends on nothing after it: it runs live, block by
block, with no look-ahead beyond the spectrogram's own window.

This module holds only the shape of the network: its hyperparameters and
the name and shape of every parameter. The training script builds its
framework model from the same :class:`Architecture`, and
:mod:`cadentia.frontend.network.inference` runs the saved parameters on NumPy.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any

__all__ = ["Architecture", "ARCHITECTURES"]


@dataclass(frozen=True)
class Architecture:
    """Hyperparameters of the network; see the module docstring for the layers."""

    causal: bool
    bands: int = 64
    conv_channels: tuple[int, int] = (12, 12)
    conv_time: int = 3  # kernel extent in frames of the 2-D convolutions
    conv_freq: int = 3  # ... and in bands
    pool: int = 3
    channels: int = 32
    kernel: int = 3
    dilations: tuple[int, ...] = (1, 2, 4, 8, 16, 32, 64, 128, 256)
    outputs: tuple[str, ...] = ("beat", "downbeat")
    tempo_bins: int = 0
    tempo_min_bpm: float = 40.0
    tempo_bins_per_octave: int = 24
    tempo_lags: tuple[int, int] | None = None

    @property
    def tempo_bpm(self) -> tuple[float, ...]:
        """Centre tempo of every bin of the tempo head, in beats per minute."""
        return tuple(self.tempo_min_bpm * 2.0 ** (i / self.tempo_bins_per_octave) for i in range(self.tempo_bins))

    @property
    def tempo_inputs(self) -> int:
        """Values the tempo head reads: the mean features, and the autocorrelation's lags if any."""
        lags = self.tempo_lags
        return self.channels + (0 if lags is None else lags[1] - lags[0])

    def conv_bands(self, layer: int) -> tuple[int, int]:
        """Bands going into, and coming out of (after pooling), 2-D convolution ``layer``."""
        bands = self.bands
        for index in range(layer + 1):
            into = bands
            bands = (bands - self.conv_freq + 1) // self.pool
        return into, bands

    @property
    def features(self) -> int:
        """Values per frame after the 2-D convolutions, flattened (channel-major)."""
        return self.conv_channels[-1] * self.conv_bands(len(self.conv_channels) - 1)[1]

    def time_padding(self, extent: int, dilation: int = 1) -> tuple[int, int]:
        """Frames of zeros before and after the input of a kernel ``extent`` frames long."""
        reach = (extent - 1) * dilation
        return (reach, 0) if self.causal else (reach // 2, reach - reach // 2)

    @property
    def receptive_field(self) -> int:
        """Frames of input that one output frame depends on."""
        return 1 + len(self.conv_channels) * (self.conv_time - 1) + sum(
            (self.kernel - 1) * d for d in self.dilations)

    @property
    def reach(self) -> int:
        """Frames on either side of an output frame that it may depend on (its later side is 0 when causal)."""
        return max(self.time_padding(self.conv_time)[0] * len(self.conv_channels)
                   + sum(self.time_padding(self.kernel, d)[0] for d in self.dilations),
                   self.time_padding(self.conv_time)[1] * len(self.conv_channels)
                   + sum(self.time_padding(self.kernel, d)[1] for d in self.dilations))

    def parameter_shapes(self) -> dict[str, tuple[int, ...]]:
        """Name and shape of every parameter, in the framework's (out, in, kernel...) layout."""
        shapes: dict[str, tuple[int, ...]] = {}
        into = 1
        for i, out in enumerate(self.conv_channels):
            shapes[f"conv{i}.weight"] = (out, into, self.conv_time, self.conv_freq)
            shapes[f"conv{i}.bias"] = (out,)
            into = out
        shapes["proj.weight"] = (self.channels, self.features, 1)
        shapes["proj.bias"] = (self.channels,)
        for i in range(len(self.dilations)):
            shapes[f"tcn{i}.weight"] = (self.channels, self.channels, self.kernel)
            shapes[f"tcn{i}.bias"] = (self.channels,)
        shapes["head.weight"] = (len(self.outputs), self.channels, 1)
        shapes["head.bias"] = (len(self.outputs),)
        if self.tempo_bins:
            shapes["tempo.weight"] = (self.tempo_bins, self.tempo_inputs, 1)
            shapes["tempo.bias"] = (self.tempo_bins,)
        return shapes

    def to_dict(self) -> dict[str, Any]:
        return asdict(self)

    @classmethod
    def from_dict(cls, values: dict[str, Any]) -> "Architecture":
        fields: dict[str, Any] = {k: tuple(v) if isinstance(v, list) else v for k, v in values.items()}
        return cls(**fields)


ARCHITECTURES = {
    "offline": Architecture(causal=False, tempo_bins=72),
    "causal": Architecture(causal=True, tempo_bins=72),
}
