"""The onset front end: block-size independence, causality, any channel
count and sample rate, bad audio, and reading files in blocks."""

import math
import sys

import numpy as np
import pytest

import signals
from cadentia.errors import AudioError
from cadentia.frontend.files import file_activation
from cadentia.frontend.flux import OnsetStream, onset_strength, to_float32
from cadentia.io.audio import audio_blocks, write_wav


@pytest.fixture(scope="module")
def piece():
    return signals.drums(110, noise=0.05, seed=2)


def _streamed(signal, rate, sizes, fps=100.0):
    stream, parts, start, k = OnsetStream(rate, fps), [], 0, 0
    while start < signal.shape[0]:
        size = sizes[k % len(sizes)]
        parts.append(stream.process(signal[start : start + size]))
        start, k = start + size, k + 1
    parts.append(stream.finish())
    return np.concatenate(parts)


@pytest.mark.parametrize("sizes", [[1, 5, 333], [441], [4096, 7], [10**7]])
def test_blocks_of_any_size_give_the_same_bits(piece, sizes):
    whole = onset_strength(piece.signal, piece.sample_rate)
    signal = piece.signal[: 8 * piece.sample_rate]
    np.testing.assert_array_equal(_streamed(signal, piece.sample_rate, sizes),
                                  onset_strength(signal, piece.sample_rate))
    assert whole.size == math.ceil(piece.signal.size * 100 / piece.sample_rate)
    assert 0 <= whole.min() and whole.max() <= 1


def test_frames_never_depend_on_later_audio(piece):
    whole = onset_strength(piece.signal, piece.sample_rate)
    for cut in (1000, 54321, 3 * piece.sample_rate + 17):
        stream = OnsetStream(piece.sample_rate)
        early = stream.process(piece.signal[:cut])
        # Every frame whose window the audio so far covers, and no other.
        assert early.size == math.floor((cut - stream.latency * piece.sample_rate) * 100 / piece.sample_rate) + 1
        np.testing.assert_array_equal(early, whole[: early.size])


@pytest.mark.parametrize("rate", [8000, 22050, 44100, 96000, 192000])
@pytest.mark.parametrize("channels", [1, 2, 6])
def test_any_rate_and_channel_count(rate, channels):
    beats = np.arange(0.5, 4.0, 0.5)
    t = np.arange(int(4.0 * rate)) / rate
    mono = sum(np.sin(2 * np.pi * 800 * (t - b)) * np.exp(-(t - b) / 0.02) * (t >= b) for b in beats)
    audio = np.repeat(0.4 * mono[:, np.newaxis], channels, axis=1) if channels > 1 else 0.4 * mono
    activation = onset_strength(audio.astype(np.float32), rate)
    assert activation.size == 400 and np.isfinite(activation).all()
    peaks = [int(np.argmax(activation[round(b * 100) - 4 : round(b * 100) + 5])) - 4 for b in beats]
    assert max(map(abs, peaks)) <= 2
    np.testing.assert_array_equal(
        _streamed(audio, rate, [rate // 7 + 1]), activation)


@pytest.mark.parametrize("name, signal", [
    ("silence", np.zeros(22050)),
    ("dc", np.full(22050, 0.7)),
    ("clipped", np.clip(3 * np.sin(np.arange(44100) / 5.0), -1, 1)),
    ("one sample", np.array([0.5])),
    ("full-scale noise", np.random.default_rng(0).uniform(-1, 1, 22050)),
])
def test_odd_but_valid_audio(name, signal):
    activation = onset_strength(signal, 22050)
    assert activation.size == math.ceil(signal.size * 100 / 22050)
    assert np.isfinite(activation).all() and activation.min() >= 0 and activation.max() <= 1
    if name == "silence":
        assert not activation.any()


def test_integer_pcm_is_scaled_to_full_scale():
    pcm = np.array([[-32768, 16384], [0, 32767]], dtype=np.int16)
    np.testing.assert_allclose(to_float32(pcm), pcm / 32768.0)
    np.testing.assert_allclose(to_float32(np.array([0, 128, 255], np.uint8))[:, 0], [-1, 0, 127 / 128])


def test_stream_refuses_what_it_cannot_use():
    stream = OnsetStream(22050)
    stream.process(np.zeros((100, 2)))
    with pytest.raises(ValueError, match="3 channels, the stream 2"):
        stream.process(np.zeros((100, 3)))
    with pytest.raises(ValueError, match="non-finite"):
        stream.process(np.array([[0.0, np.nan]]))
    stream.finish()
    with pytest.raises(ValueError, match="finished"):
        stream.process(np.zeros(10))
    stream.reset()
    assert stream.process(np.zeros(0)).size == 0 and stream.num_frames == 0
    for rate, fps in [(500, 100), (22050, 0), (22050, 30000)]:
        with pytest.raises(ValueError):
            OnsetStream(rate, fps)


@pytest.mark.parametrize("use_soundfile", [False, True])
def test_file_activation_reads_in_blocks(tmp_path, monkeypatch, piece, use_soundfile):
    if use_soundfile:
        pytest.importorskip("soundfile")
    else:
        monkeypatch.setitem(sys.modules, "soundfile", None)
    path = tmp_path / "piece.wav"
    write_wav(path, piece.signal, piece.sample_rate)
    blocks = [block.copy() for block, _ in audio_blocks(path, block_frames=10000)]
    assert {b.shape[0] for b in blocks[:-1]} == {10000} and blocks[0].dtype == np.float32
    audio = np.concatenate(blocks)
    np.testing.assert_array_equal(file_activation(path, front_end="flux"), onset_strength(audio, piece.sample_rate))
    np.save(tmp_path / "act.npy", np.array([0.1, 0.9]))
    np.testing.assert_array_equal(file_activation(tmp_path / "act.npy"), [0.1, 0.9])
    (tmp_path / "empty.wav").write_bytes(b"")
    for bad, message in [("missing.wav", "no such file"), ("empty.wav", "cannot read audio|no samples")]:
        with pytest.raises(AudioError, match=message):
            file_activation(tmp_path / bad)
    with pytest.raises(AudioError, match="above the sample rate"):
        file_activation(path, fps=50000)
