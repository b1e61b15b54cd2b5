"""The one audio reader: every WAV encoding as soundfile reads it, with or
without soundfile; truncated files refused whole; and no header, however
corrupted, costs more than the file's own size."""

import math
import struct
import sys
import time
import tracemalloc

import numpy as np
import pytest
from hypothesis import example, given, strategies as st

from cadentia import cli
from cadentia.errors import AudioError
from cadentia.frontend.files import file_activation
from cadentia.io.audio import audio_blocks
from cadentia.testing import synthesize_clicks

# soundfile subtype, bytes per sample, float?
ENCODINGS = [("PCM_U8", 1, False), ("PCM_16", 2, False), ("PCM_24", 3, False), ("PCM_32", 4, False),
             ("FLOAT", 4, True), ("DOUBLE", 8, True)]


def _wav(samples, rate, width, floating, *, extensible=False, data_bytes=None):
    """A WAV file's bytes, written from its definition: (samples, channels) in [-1, 1)."""
    channels = samples.shape[1]
    if floating:
        data = samples.astype("<f4" if width == 4 else "<f8").tobytes()
    elif width == 1:
        data = np.round(samples * 128 + 128).clip(0, 255).astype(np.uint8).tobytes()
    else:
        full = np.round(samples * 2.0 ** (8 * width - 1)).clip(-(2 ** (8 * width - 1)), 2 ** (8 * width - 1) - 1)
        data = b"".join(int(v).to_bytes(width, "little", signed=True) for v in full.astype(np.int64).ravel())
    tag = 3 if floating else 1
    fmt = struct.pack("<HHIIHH", 0xFFFE if extensible else tag, channels, rate, rate * width * channels,
                      width * channels, 8 * width)
    if extensible:
        fmt += struct.pack("<HHIH", 22, 8 * width, 0, tag) + bytes.fromhex("000000001000800000aa00389b71")
    size = len(data) if data_bytes is None else data_bytes
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", size) + data
    return b"RIFF" + struct.pack("<I", 4 + len(body) - 4) + body


@pytest.fixture(scope="module")
def clicks():
    signal, rate, _ = synthesize_clicks(110.0, 3.0, end_bpm=None, sample_rate=8000, noise=0.01)
    return np.stack([signal, -0.5 * signal, 0.25 * signal], axis=1).astype(np.float64), rate


@pytest.mark.parametrize("subtype, width, floating", ENCODINGS)
@pytest.mark.parametrize("extensible", [False, True])
def test_every_wav_encoding_reads_as_soundfile_reads_it(tmp_path, monkeypatch, clicks, subtype, width, floating,
                                                        extensible):
    soundfile = pytest.importorskip("soundfile")
    signal, rate = clicks
    path = tmp_path / "x.wav"
    path.write_bytes(_wav(signal, rate, width, floating, extensible=extensible))
    expected, expected_rate = soundfile.read(path, dtype="float32", always_2d=True)
    monkeypatch.setitem(sys.modules, "soundfile", None)  # no [audio] extra
    blocks = [(block.copy(), block_rate) for block, block_rate in audio_blocks(path, block_frames=1000)]
    assert {r for _, r in blocks} == {expected_rate}
    np.testing.assert_array_equal(np.concatenate([b for b, _ in blocks]), expected)


def test_rf64_data_ends_where_its_ds64_chunk_says(tmp_path, monkeypatch, clicks):
    soundfile = pytest.importorskip("soundfile")
    path = tmp_path / "x.wav"
    soundfile.write(path, clicks[0], clicks[1], format="RF64", subtype="PCM_16")
    expected, _ = soundfile.read(path, dtype="float32", always_2d=True)
    with open(path, "ab") as handle:  # metadata after the audio, as editors add it
        handle.write(b"LIST" + struct.pack("<I", 16) + b"INFOISFT" + struct.pack("<I", 4) + b"test")
    monkeypatch.setitem(sys.modules, "soundfile", None)
    np.testing.assert_array_equal(np.concatenate([b.copy() for b, _ in audio_blocks(path)]), expected)


@pytest.mark.parametrize("use_soundfile", [False, True])
def test_a_truncated_wav_is_an_error_and_nothing_is_written(tmp_path, monkeypatch, clicks, capsys, use_soundfile):
    if use_soundfile:
        pytest.importorskip("soundfile")
    else:
        monkeypatch.setitem(sys.modules, "soundfile", None)
    signal, rate = clicks
    whole = _wav(signal, rate, 2, False)
    path = tmp_path / "cut.wav"
    path.write_bytes(whole[: len(whole) // 3])  # the header promises three times what is there
    with pytest.raises(AudioError, match="truncated"):
        file_activation(path)
    assert cli.main(["beats", str(path)]) == 1
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.count("\n") == 1 and "cut.wav is truncated" in captured.err
    (tmp_path / "whole.wav").write_bytes(whole)
    assert cli.main(["beats", str(path), str(tmp_path / "whole.wav"), "-o", str(tmp_path / "out")]) == 1
    assert capsys.readouterr().err.splitlines()[-1] == "cadentia: 1 done, 0 skipped, 1 failed"
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["whole.beats"]


def _small_wav():
    signal, rate, _ = synthesize_clicks(120.0, 0.5, end_bpm=None, sample_rate=8000)
    return _wav(np.stack([signal, signal], axis=1).astype(np.float64), rate, 2, False)


SMALL = _small_wav()
RATE, CHANNELS, ALIGN, BITS, SIZE = 24, 22, 32, 34, 40  # offsets of header fields


@given(st.lists(st.tuples(st.integers(0, 43), st.integers(0, 255)), min_size=1, max_size=6))
@example([(RATE + i, b) for i, b in enumerate(struct.pack("<I", 1_390_000_000))])  # a 1.39 GHz sample rate
@example([(CHANNELS, 0xFF), (CHANNELS + 1, 0xFF)])  # 65,535 channels
@example([(SIZE + 3, 0x7F)])  # 2 GB of data promised
@example([(BITS, 64), (ALIGN, 16)])  # 64-bit integer samples
def test_no_corrupted_header_costs_more_than_the_file(tmp_path_factory, corruption):
    data = bytearray(SMALL)
    for offset, value in corruption:
        data[offset] = value
    path = tmp_path_factory.mktemp("corrupt") / "x.wav"
    path.write_bytes(bytes(data))
    tracemalloc.start()
    started = time.process_time()
    try:
        activation = file_activation(path)
    except AudioError as exc:
        assert "\n" not in str(exc) and str(path) in str(exc)
    else:
        # Never more frames than the file has samples, at the most for its bytes.
        assert activation.size <= math.ceil(len(data) / 2 * 100 / 1000) + 1
    finally:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    assert peak < 32 * 2**20, f"{peak / 2**20:.0f} MB for a {len(data)}-byte file"
    assert time.process_time() - started < 5.0
