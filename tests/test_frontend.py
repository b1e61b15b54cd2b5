"""The front-end registry: one entry in FRONT_ENDS reaches every path from
audio to beats (command line offline, --online and batch, downbeats,
file_activation, AudioBeatStream), as a new front end will need."""

import json
import math

import numpy as np
import pytest

from cadentia import AudioBeatStream, cli, file_activation
from cadentia.errors import CadentiaError
from cadentia.frontend import FRONT_ENDS, FrontEnd, activation_stream
from cadentia.io.audio import write_wav

PERIOD = 37  # frames between pulses: 162 BPM at 100 fps, far from what silence gives


def _pulses(first, stop):
    frames = np.arange(first, stop)
    return np.where(frames % PERIOD == 10, 1.0, 0.0)


class Pulses:
    """A front end that hears a beat every PERIOD frames, whatever the audio."""

    latency = 0.0

    def __init__(self, sample_rate, fps):
        self.sample_rate, self.fps = sample_rate, fps
        self.reset()

    def reset(self):
        self.received = self.sent = 0

    def process(self, block):
        self.received += np.shape(block)[0]
        return self._upto(math.floor(self.received * self.fps / self.sample_rate))

    def finish(self):
        return self._upto(math.ceil(self.received * self.fps / self.sample_rate))

    def _upto(self, stop):
        first, self.sent = self.sent, max(self.sent, stop)
        return _pulses(first, self.sent)


def _whole(signal, sample_rate, fps):
    return _pulses(0, math.ceil(np.shape(signal)[0] * fps / sample_rate))


def _bars(signal, sample_rate, fps, online=False):
    beat = _whole(signal, sample_rate, fps)
    downbeat = (np.arange(beat.size) % (4 * PERIOD) == 10) * beat
    return np.stack([0.9 * (beat - downbeat), 0.9 * downbeat], axis=1)


@pytest.fixture
def silence(tmp_path, monkeypatch):
    monkeypatch.setitem(FRONT_ENDS, "pulses", FrontEnd(Pulses, _whole, _bars, "a beat every 0.37 s"))
    path = tmp_path / "silence.wav"
    write_wav(path, np.zeros(8000 * 12), 8000)  # the flux front end hears no beat in it
    return str(path)


def _steady(beats):
    assert len(beats) > 20 and abs(np.median(np.diff(beats)) - PERIOD / 100) < 0.011, beats


@pytest.mark.parametrize("kind, extra", [("beats", []), ("beats", ["--online"]), ("downbeats", []),
                                         ("downbeats", ["--online"])])
def test_the_command_line_reaches_a_registered_front_end(silence, capsys, tmp_path, kind, extra):
    assert cli.main([kind, silence, "--front-end", "pulses", "--format", "json", *extra]) == 0
    report = json.loads(capsys.readouterr().out)
    _steady(report["beats"])
    if kind == "downbeats":
        assert report["beats_per_bar"] == 4
    out = tmp_path / "out"
    assert cli.main([kind, silence, "-o", str(out), "--front-end", "pulses", "--format", "json", *extra]) == 0
    assert json.loads((out / "silence.json").read_text())["beats"] == report["beats"]


def test_the_library_reaches_a_registered_front_end(silence):
    np.testing.assert_array_equal(file_activation(silence, front_end="pulses"), _pulses(0, 1200))
    np.testing.assert_array_equal(file_activation(silence, front_end="pulses", online=True), _pulses(0, 1200))
    stream = AudioBeatStream(8000, front_end="pulses")
    times = [stream.process(np.zeros(800))[0] for _ in range(120)]
    _steady(np.concatenate(times + [stream.finish()[0]]))
    with pytest.raises(CadentiaError, match="unknown front end 'nothing'; choose from flux, network, pulses"):
        activation_stream(8000, front_end="nothing")
