"""The command line as a user meets it: every model option on every tracking
command and meaning what the library means, --version, python -m cadentia,
errors that name the path, and beats made audible."""

import dataclasses
import json
import subprocess
import sys

import numpy as np
import pytest

from cadentia import TempoModel, cli, track_beats, track_downbeats
from cadentia.cli.options import option_name
from cadentia.io.audio import read_audio, write_wav
from cadentia.testing import synthesize_clicks

MODEL_OPTIONS = [option_name(f.name) for f in dataclasses.fields(TempoModel) if "help" in f.metadata]


@pytest.mark.parametrize("command", ["beats", "downbeats", "live"])
def test_every_tracking_command_takes_every_model_option(command, capsys):
    with pytest.raises(SystemExit):
        cli.main([command, "--help"])
    text = " ".join(capsys.readouterr().out.split())
    for option in [*MODEL_OPTIONS, "--no-tempo-prior", "--front-end {flux,network}", "--fps"]:
        assert option in text, option
    assert "(default: 16)" in text and "(default: 100)" in text


@pytest.mark.parametrize("kind, options", [
    ("beats", {"num_tempi": 40, "transition_lambda": 30.0, "observation_lambda": 8.0, "tempo_prior": None}),
    ("beats", {"min_bpm": 80.0, "max_bpm": 160.0, "tempo_prior": (100.0, 0.5)}),
    ("downbeats", {"num_tempi": 30, "observation_lambda": 12.0, "meter_change": 0.01}),
])
def test_the_options_mean_what_the_library_means(tmp_path, capsys, kind, options):
    rng = np.random.default_rng(7)
    frames = 2000
    activation = rng.uniform(0, 0.05, (frames, 2) if kind == "downbeats" else frames)
    for i, frame in enumerate(range(13, frames, 47)):
        activation[frame] = (0.0, 0.8) if kind == "downbeats" and i % 4 == 0 else (0.8, 0.0) if kind == "downbeats" else 0.8
    np.save(tmp_path / "act.npy", activation)
    arguments = []
    for name, value in options.items():
        if value is None:
            arguments.append(f"--no-{option_name(name)[2:]}")
        else:
            arguments += [option_name(name), *map(str, np.atleast_1d(value))]
    assert cli.main([kind, str(tmp_path / "act.npy"), "--format", "json", *arguments]) == 0
    report = json.loads(capsys.readouterr().out)
    track = (track_downbeats if kind == "downbeats" else track_beats)(activation, **options)
    np.testing.assert_array_equal(report["beats"], np.round(track.beats, 3))


def test_version_and_python_m_cadentia():
    from cadentia import __version__

    for module in ("cadentia", "cadentia.cli"):
        done = subprocess.run([sys.executable, "-m", module, "--version"], capture_output=True, text=True)
        assert done.returncode == 0 and done.stdout == f"cadentia {__version__}\n", done.stderr


@pytest.mark.parametrize("missing", ["detection", "reference"])
def test_evaluate_names_the_missing_path(tmp_path, capsys, missing):
    (tmp_path / "song.beats").write_text("1.0\n2.0\n")
    paths = {"detection": str(tmp_path / "song.beats"), "reference": str(tmp_path)}
    paths[missing] = str(tmp_path / "nowhere")
    assert cli.main(["evaluate", paths["detection"], "--reference", paths["reference"]]) == 1
    assert capsys.readouterr().err == f"cadentia: error: no such {missing} file or folder: {paths[missing]}\n"


@pytest.mark.parametrize("kind", ["beats", "downbeats"])
def test_sonify_puts_a_click_on_every_beat(tmp_path, capsys, kind):
    signal, rate, _ = synthesize_clicks(100.0, 10.0, end_bpm=None, sample_rate=16000)
    music = tmp_path / "music.wav"
    write_wav(music, signal, rate)
    heard = tmp_path / "heard.wav"
    assert cli.main([kind, str(music), "--sonify", str(tmp_path / "nowhere" / "heard.wav")]) == 1
    captured = capsys.readouterr()
    assert captured.out == "" and "cannot write sound" in captured.err  # refused before tracking
    assert cli.main([kind, str(music), "--sonify", str(heard)]) == 0
    lines = [line.split() for line in capsys.readouterr().out.splitlines()]
    beats = np.array([float(line[0]) for line in lines])
    out, out_rate = read_audio(heard)
    original, _ = read_audio(music)
    assert out_rate == rate and out.size == original.size
    clicks = out - 0.7 * original  # what was added, up to 16-bit rounding
    loud = np.flatnonzero(np.abs(clicks) > 0.05) / rate
    starts = loud[np.concatenate(([True], np.diff(loud) > 0.05))]
    np.testing.assert_allclose(starts, beats, atol=2 / rate)
    if kind == "downbeats":  # downbeats louder than the other beats
        peaks = np.array([np.abs(clicks[round(b * rate): round(b * rate) + 480]).max() for b in beats])
        downbeat = np.array([line[1] == "1" for line in lines])
        assert peaks[downbeat].min() > peaks[~downbeat].max()
