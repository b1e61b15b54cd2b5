"""Live tracking from audio: the truncation property, `cadentia live`
through a pipe, `beats --online` end to end, and bad input on both."""

import io
import json
import re
import subprocess
import sys
import wave

import numpy as np
import pytest

import signals
from cadentia import cli
from cadentia.io.audio import audio_blocks, write_wav
from cadentia.evaluate import evaluate
from cadentia.track.beats import AudioBeatStream
from cadentia.track.downbeats import AudioDownbeatStream


@pytest.fixture(scope="module")
def piece():
    return signals.drums(124, noise=0.02, seed=4)


def _wav_bytes(signal, rate, channels=1):
    pcm = np.round(np.clip(signal, -1, 1) * 32767).astype("<i2")
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as wav:
        wav.setnchannels(channels)
        wav.setsampwidth(2)
        wav.setframerate(rate)
        wav.writeframes(np.repeat(pcm, channels).tobytes())
    return buffer.getvalue()


def _live(stdin: bytes, *arguments: str):
    done = subprocess.run([sys.executable, "-m", "cadentia.cli", "live", *arguments],
                          input=stdin, capture_output=True)
    lines = [line.split() for line in done.stdout.decode().splitlines()]
    return done.returncode, np.array(lines, dtype=float).reshape(-1, 2), done.stderr.decode()


def _reported(stream, signal, block, until=None):
    """Beats and the number of samples pushed when each was reported."""
    beats, seen = [], []
    for start in range(0, signal.size if until is None else until, block):
        times, _ = stream.process(signal[start : min(start + block, until or signal.size)])
        beats.extend(times)
        seen.extend([min(start + block, until or signal.size)] * times.size)
    return np.array(beats), np.array(seen)


@pytest.fixture(scope="module")
def reported_whole(piece):
    return _reported(AudioBeatStream(piece.sample_rate), piece.signal, 441)


@pytest.mark.parametrize("cut_seconds", [4.37, 11.0, 17.9])
def test_beats_reported_before_a_cut_do_not_depend_on_what_follows(piece, reported_whole, cut_seconds):
    rate, block = piece.sample_rate, 441
    cut = round(cut_seconds * rate)
    full, seen = reported_whole
    stream = AudioBeatStream(rate)
    early, _ = _reported(stream, piece.signal, block, until=cut)
    np.testing.assert_array_equal(early, full[seen <= cut])
    # Ending the stream at the cut adds beats, all after the ones already out.
    last, _ = stream.finish()
    assert early.size == 0 or last.size == 0 or last[0] > early[-1]


def test_live_through_a_pipe_matches_beats_online(piece, tmp_path):
    code, lines, err = _live(_wav_bytes(piece.signal, piece.sample_rate))
    assert code == 0, err
    assert evaluate(piece.beats, lines[:, 0], use_mir_eval=False)["f_measure"] >= 0.9
    assert np.all(np.abs(lines[5:, 1] - 124) < 5)
    path = tmp_path / "piece.wav"
    write_wav(path, piece.signal, piece.sample_rate)
    online = subprocess.run([sys.executable, "-m", "cadentia.cli", "beats", str(path), "--online"],
                            capture_output=True, text=True, check=True)
    np.testing.assert_array_equal(np.array(online.stdout.split(), dtype=float), lines[:, 0])


def _cli(arguments, stdin=b""):
    return subprocess.run([sys.executable, "-m", "cadentia.cli", *arguments], input=stdin, capture_output=True)


@pytest.mark.parametrize("arguments", [["beats", "--online"], ["downbeats", "--format", "json"], ["live"]])
def test_audio_piped_to_dash_is_tracked_as_its_file(piece, tmp_path, arguments):
    path = tmp_path / "piece.wav"
    write_wav(path, piece.signal[: 12 * piece.sample_rate], piece.sample_rate)
    audio = path.read_bytes()
    piped = _cli([arguments[0], "-", *arguments[1:]], audio)
    named = _cli(arguments, audio) if arguments[0] == "live" else _cli([arguments[0], str(path), *arguments[1:]])
    assert piped.returncode == named.returncode == 0, piped.stderr
    if "json" in arguments:
        piped_json, named_json = json.loads(piped.stdout), json.loads(named.stdout)
        assert piped_json.pop("file") == "-" and named_json.pop("file") == str(path)
        assert piped_json == named_json and len(piped_json["beats"]) > 10
    else:
        assert piped.stdout == named.stdout and piped.stdout.count(b"\n") > 10


# Given meters, the decoder's bars; the tracker's own, numbered where the harmony says they start.
@pytest.mark.parametrize("meters", [["--beats-per-bar", "2", "4"], []])
def test_live_downbeats_are_those_of_downbeats_online_whatever_the_blocks(piece, tmp_path, meters):
    path = tmp_path / "piece.wav"
    write_wav(path, piece.signal[: 15 * piece.sample_rate], piece.sample_rate)
    signal = np.concatenate([block.copy() for block, _ in audio_blocks(path)])  # the file's own samples
    online = _cli(["downbeats", str(path), "--online", *meters])
    live = _cli(["live", "--downbeats", *meters], path.read_bytes())
    assert live.returncode == online.returncode == 0, live.stderr
    assert live.stdout == online.stdout and live.stdout.count(b" 1\n") > 3
    found = []
    for block in (441, 8000):
        stream = AudioDownbeatStream(piece.sample_rate, **({"beats_per_bar": (2, 4)} if meters else {}))
        assert (stream.phase is None) == bool(meters)
        parts = [stream.process(signal[i : i + block]) for i in range(0, signal.shape[0], block)]
        parts.append(stream.finish())
        found.append(np.column_stack([np.concatenate([np.round(t, 3) for t, _ in parts]),
                                      np.concatenate([p for _, p in parts])]))
    np.testing.assert_array_equal(found[0], found[1])
    np.testing.assert_array_equal(found[0], np.array(online.stdout.split(), dtype=float).reshape(-1, 2))


@pytest.mark.parametrize("arguments, stdin, pattern, status", [
    (["beats", "-"], b"", "no audio on standard input", 1),
    (["beats", "-"], b"not audio at all", "cannot read audio from standard input", 1),
    (["beats", "-", "other.wav"], b"", "must be the only FILE", 2),
    (["downbeats", "-o", "-", "song.wav"], b"", "-o takes a folder", 2),
    (["live", "-", "--device", "0"], b"", "two inputs", 2),
    (["live", "--downbeats", "--front-end", "flux"], b"", "offers no live downbeats", 2),
    (["live", "--beats-per-bar", "3"], b"", "go with --downbeats", 2),
])
def test_misused_inputs_and_options_are_one_line(arguments, stdin, pattern, status):
    done = _cli(arguments, stdin)
    assert done.returncode == status and done.stdout == b""
    _one_line_error(done.stderr.decode(), pattern)


@pytest.mark.parametrize("fmt, channels", [("s16le", 1), ("s16le", 2), ("f32le", 6)])
def test_live_reads_raw_pcm(piece, fmt, channels):
    signal = np.repeat(piece.signal[: 10 * piece.sample_rate, np.newaxis], channels, axis=1)
    data = (np.round(signal * 32767).astype("<i2") if fmt == "s16le" else signal.astype("<f4")).tobytes()
    code, lines, err = _live(data, "--rate", str(piece.sample_rate), "--channels", str(channels), "--format", fmt)
    assert code == 0, err
    truth = piece.beats[piece.beats < 10]
    assert evaluate(truth, lines[:, 0], use_mir_eval=False)["f_measure"] >= 0.85


def _one_line_error(err, pattern):
    assert err.startswith("cadentia: error: ") and err.count("\n") == 1 and "Traceback" not in err, err
    assert re.search(pattern, err), err


def test_live_bad_input_keeps_the_beats_printed(piece):
    rate = piece.sample_rate
    raw = np.round(piece.signal[: 8 * rate] * 32767).astype("<i2").tobytes()
    _, clean, _ = _live(raw, "--rate", str(rate))
    code, lines, err = _live(raw + b"\x01", "--rate", str(rate))
    assert code == 1 and clean.shape[0] > 5
    np.testing.assert_array_equal(lines, clean)
    _one_line_error(err, "middle of a sample frame")
    floats = piece.signal[: 8 * rate].astype("<f4")
    floats[6 * rate] = np.nan
    code, lines, err = _live(floats.tobytes(), "--rate", str(rate), "--format", "f32le")
    assert code == 1 and lines.shape[0] >= 5 and lines[-1, 0] < 6.0
    _one_line_error(err, "non-finite")
    for stdin, arguments, pattern, status in [
        (b"", [], "no audio", 1),
        (b"this is not a wav stream at all", [], "not a WAV stream", 1),
        (_wav_bytes(piece.signal, rate)[:30], [], "ended", 1),
        (b"", ["--channels", "2"], "give its --rate", 2),  # a usage error
    ]:
        code, lines, err = _live(stdin, *arguments)
        assert code == status and lines.size == 0
        _one_line_error(err, pattern)


def test_live_refuses_a_frame_rate_above_the_raw_rate_before_building_the_model(monkeypatch, capsys):
    # At 10,000 fps the tempo model alone would take half a minute to build.
    from cadentia.cli import live

    monkeypatch.setattr(live, "build_model", lambda *a, **k: pytest.fail("model built"))
    assert cli.main(["live", "--rate", "8000", "--fps", "10000"]) == 1
    _one_line_error(capsys.readouterr().err, "above the input's sample rate")


@pytest.mark.parametrize("name, seconds, rate, channels", [
    ("silence", 5.0, 22050, 1),
    ("dc", 5.0, 22050, 2),
    ("clipped", 5.0, 44100, 2),
    ("shorter than a beat", 0.2, 44100, 1),
    ("5.1", 6.0, 48000, 6),
    ("8 kHz", 6.0, 8000, 1),
    ("192 kHz", 3.0, 192000, 2),
])
@pytest.mark.parametrize("online", [False, True])
def test_beats_on_odd_audio_gives_a_result(tmp_path, capsys, name, seconds, rate, channels, online):
    soundfile = pytest.importorskip("soundfile")
    t = np.arange(int(seconds * rate)) / rate
    mono = {"silence": 0 * t, "dc": 0 * t + 0.5, "clipped": np.clip(4 * np.sin(2 * np.pi * 2 * t), -1, 1)}.get(
        name, 0.5 * np.sin(2 * np.pi * 440 * t) * (np.mod(t, 0.5) < 0.05))
    path = tmp_path / "odd.wav"
    soundfile.write(path, np.repeat(mono[:, np.newaxis], channels, axis=1), rate, subtype="PCM_16")
    assert cli.main(["beats", str(path), "--format", "json", *(["--online"] if online else [])]) == 0
    assert '"beats"' in capsys.readouterr().out


def test_tempo_prior_options(tmp_path, capsys):
    path = tmp_path / "act.txt"
    activation = np.zeros(3000)
    activation[17::45] = 0.9
    path.write_text("\n".join(map(str, activation)))
    for options in ([], ["--no-tempo-prior"], ["--tempo-prior", "90", "0.5"]):
        assert cli.main(["beats", str(path), "--format", "json", *options]) == 0
        assert 130 <= __import__("json").loads(capsys.readouterr().out)["tempo"] <= 137
    with pytest.raises(SystemExit):
        cli.main(["beats", str(path), "--tempo-prior", "0", "1"])
    with pytest.raises(SystemExit):
        cli.main(["beats", str(path), "--tempo-prior", "120", "1", "--no-tempo-prior"])


def test_device_needs_the_live_extra(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "sounddevice", None)
    assert cli.main(["live", "--device", "0"]) == 1
    _one_line_error(capsys.readouterr().err, r"needs the sounddevice package .*cadentia\[live\]")
    assert cli.main(["live", "--device", "0", "--channels", "2"]) == 2  # a usage error
    _one_line_error(capsys.readouterr().err, "not --device")
