"""The learned front end: NumPy inference against the training framework, the
causal stream's block independence, the shipped weights, and no framework at
run time."""

import dataclasses
import importlib.util
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, strategies as st

from cadentia.frontend.network import (ARCHITECTURES, Network, NetworkActivationStream, network_activation,
                          shipped_network, spectrogram)

from signals import drums

ROOT = Path(__file__).resolve().parent.parent


def random_network(variant: str, seed: int = 0) -> Network:
    architecture = ARCHITECTURES[variant]
    rng = np.random.default_rng(seed)
    return Network(architecture, {name: rng.normal(0.0, 0.3, shape) for name, shape
                                  in architecture.parameter_shapes().items()})


def _training_module(name: str = "model"):
    # By path, under a name of its own: train/ is scripts, not a package.
    spec = importlib.util.spec_from_file_location(f"train_{name}", ROOT / "train" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up there
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("variant", sorted(ARCHITECTURES))
def test_numpy_inference_equals_training_forward_pass(variant):
    torch = pytest.importorskip("torch")
    BeatNetwork = _training_module().BeatNetwork
    torch.manual_seed(1)
    model = BeatNetwork(ARCHITECTURES[variant]).eval()
    spec = torch.rand(1, 900, ARCHITECTURES[variant].bands) * 4
    with torch.no_grad():
        logits, tempo_logits = model.forward_with_tempo(spec)
    got, tempo = Network(ARCHITECTURES[variant], model.numpy_parameters()).analyse(spec[0].numpy())
    np.testing.assert_allclose(got, torch.sigmoid(logits)[0].numpy(), atol=2e-6)
    np.testing.assert_allclose(tempo, torch.softmax(tempo_logits[0].double(), 0).numpy(), atol=1e-6)


@pytest.mark.parametrize("variant", sorted(ARCHITECTURES))
def test_widening_keeps_the_function(variant):
    pytest.importorskip("torch")
    widen = _training_module().widen
    narrow = random_network(variant)
    a = narrow.architecture
    wide = dataclasses.replace(a, channels=a.channels + 13,
                               conv_channels=(a.conv_channels[0] + 5, a.conv_channels[1] + 9))
    grown = Network(wide, widen(narrow.parameters, narrow.architecture, wide, np.random.default_rng(3)))
    spec = np.random.default_rng(4).random((700, 64), dtype=np.float32) * 4
    # Float32 sums over more, split terms: equal to rounding, which the deep stack amplifies a little.
    for got, want in zip(grown.analyse(spec), narrow.analyse(spec)):
        np.testing.assert_allclose(got, want, atol=1e-4)


def test_interpolation_runs_from_start_to_tuned():
    interpolate = _training_module("interpolate").interpolate
    start, tuned = random_network("offline", 1), random_network("offline", 2)
    for alpha, want in ((0.0, start), (1.0, tuned)):
        got = interpolate(start, tuned, alpha)
        assert all(np.array_equal(got.parameters[k], want.parameters[k]) for k in want.parameters)
    with pytest.raises(ValueError, match="differ in shape"):
        interpolate(start, random_network("causal"), 0.5)


def test_offline_chunks_equal_one_pass(monkeypatch):
    # Long pieces run in overlapping chunks; the overlap must cover the receptive field.
    import cadentia.frontend.network.inference as inference
    network = random_network("offline")
    spec = np.random.default_rng(2).random((1500, 64), dtype=np.float32) * 4
    whole, tempo = network.analyse(spec)
    monkeypatch.setattr(inference, "_CHUNK_FRAMES", 256)
    chunked, chunked_tempo = network.analyse(spec)
    np.testing.assert_allclose(chunked, whole, atol=1e-5)
    np.testing.assert_allclose(chunked_tempo, tempo, atol=1e-6)


@pytest.mark.numpy_only
@given(st.lists(st.integers(1, 3000), min_size=1, max_size=12))
def test_causal_stream_is_the_same_in_any_blocks(cuts):
    signal = drums(118, seed=4).signal[:44100 * 3].astype(np.float32)
    whole = network_activation(signal, 44100, online=True)
    one = NetworkActivationStream(44100)
    one.process(signal)
    heard_whole = one.heard_tempo
    one.finish()
    heard_whole = np.concatenate([heard_whole, one.heard_tempo])
    # The tempo head speaks from frame 200 on, once a second.
    assert np.isnan(heard_whole[:200]).all() and np.isfinite(heard_whole[200:]).all()
    stream = NetworkActivationStream(44100)
    parts, heard = [], []
    for block in [*np.split(signal, np.cumsum(cuts)[np.cumsum(cuts) < signal.size]), None]:
        parts.append(stream.finish() if block is None else stream.process(block))
        heard.append(stream.heard_tempo)
    assert np.array_equal(np.concatenate(parts), whole)
    assert np.array_equal(np.concatenate(heard), heard_whole, equal_nan=True)


def test_stream_hears_the_recurrence_of_its_beats():
    # A head that also reads the autocorrelation of the beat output, summed
    # frame by frame across chunks; a history shorter than the chunks and longer.
    architecture = dataclasses.replace(ARCHITECTURES["causal"], tempo_lags=(3, 120))
    rng = np.random.default_rng(2)
    network = Network(architecture, {name: rng.normal(0.0, 0.3, shape)
                                     for name, shape in architecture.parameter_shapes().items()})
    spec = rng.random((400, 64), dtype=np.float32) * 4
    stream = network.stream()
    beat = np.concatenate([stream.process(chunk)[:, 0] for chunk in np.split(spec, [7, 150, 151, 390])])
    beat = beat.astype(np.float64)
    products = [beat[lag:] @ beat[: beat.size - lag] for lag in range(3, 120)]
    np.testing.assert_allclose(stream._tempo_inputs()[architecture.channels :],
                               np.array(products) / (beat @ beat + 1e-9), rtol=1e-10)
    np.testing.assert_array_equal(stream.tempo(), network.analyse(spec)[1])


def test_causal_network_has_no_look_ahead():
    network = random_network("causal", seed=3)
    spec = np.random.default_rng(5).random((400, 64), dtype=np.float32) * 4
    changed = spec.copy()
    changed[300:] = 0.0
    assert np.array_equal(network(spec)[:300], network(changed)[:300])


@pytest.mark.parametrize("online", [False, True])
def test_shipped_network_tracks_a_drum_loop(online):
    from cadentia import track_beats

    piece = drums(124, seed=7)
    activation = network_activation(piece.signal, piece.sample_rate, online=online)
    assert activation.shape == (int(np.ceil(piece.signal.size * 100 / piece.sample_rate)), 2)
    beats = track_beats(activation[:, 0], 100).beats
    hits = sum(np.abs(beats - t).min() < 0.07 for t in piece.beats if t > 3)
    assert hits >= 0.9 * np.sum(piece.beats > 3)


@pytest.mark.parametrize("bad, message", [
    (np.zeros((10, 63), np.float32), "spectrogram must have shape (frames, 64), got (10, 63)"),
    (np.zeros(64, np.float32), "spectrogram must have shape (frames, 64), got (64,)"),
])
def test_bad_spectrogram(bad, message):
    with pytest.raises(ValueError) as info:
        shipped_network("offline")(bad)
    assert str(info.value) == message


def test_bad_parameters():
    architecture = ARCHITECTURES["offline"]
    shapes = architecture.parameter_shapes()
    with pytest.raises(ValueError, match="missing: head.bias"):
        Network(architecture, {k: np.zeros(s) for k, s in shapes.items() if k != "head.bias"})
    with pytest.raises(ValueError, match=r"head.bias has shape \(3,\), expected \(2,\)"):
        Network(architecture, {**{k: np.zeros(s) for k, s in shapes.items()}, "head.bias": np.zeros(3)})


def test_spectrogram_shape_does_not_depend_on_sample_rate():
    for rate in (16000, 22050, 44100, 48000):
        signal = np.random.default_rng(rate).normal(0, 0.1, rate)
        assert spectrogram(signal, rate).shape == (100, 64)


def test_tracking_imports_no_machine_learning_framework(tmp_path):
    script = (
        "import sys, numpy as np\n"
        "from cadentia import track_beats\n"
        "from cadentia.frontend.network import network_activation\n"
        "a = network_activation(np.random.default_rng(0).normal(0, .1, 44100 * 3), 44100)\n"
        "track_beats(a[:, 0], 100)\n"
        "loaded = {'torch', 'jax', 'tensorflow', 'keras', 'onnxruntime'} & set(sys.modules)\n"
        "assert not loaded, loaded\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, env={**os.environ, "PYTHONWARNINGS": "error"})


@given(st.floats(30, 300), st.floats(0.1, 2), st.floats(30, 300), st.floats(0.1, 2))
def test_combined_prior_is_the_product_of_both(centre_a, width_a, centre_b, width_b):
    from cadentia import TempoPrior
    a, b = TempoPrior(centre_a, width_a), TempoPrior(centre_b, width_b)
    bpm = np.geomspace(40, 250, 7)
    # Log-densities add, up to a constant.
    difference = a.log_density(bpm) + b.log_density(bpm) - a.combine(b).log_density(bpm)
    np.testing.assert_allclose(difference, difference[0], atol=1e-6 * (1 + abs(difference[0])))


@given(st.floats(10, 1000), st.floats(40, 80), st.floats(160, 300), st.booleans())
def test_a_heard_tempo_beyond_the_range_moves_into_it_by_octaves(heard, low, high, as_model):
    from cadentia import TempoModel, TempoPrior
    from cadentia.model.options import with_heard_tempo
    options = {"min_bpm": low, "max_bpm": high, "tempo_prior": None}
    if as_model:
        options = {"model": TempoModel(**options)}
    combined = with_heard_tempo(options, TempoPrior(heard, 0.2))
    prior = combined["model"].tempo_prior if as_model else combined["tempo_prior"]
    octaves = math.log2(prior.centre_bpm / heard)
    assert prior.width == 0.2 and low <= prior.centre_bpm <= high and abs(octaves - round(octaves)) < 1e-9
    if low <= heard <= high:
        assert prior.centre_bpm == heard


@pytest.mark.parametrize("kind", ["beats", "downbeats"])
def test_offline_audio_tracking_takes_the_tempo_heard(tmp_path, monkeypatch, kind):
    # A front end that hears half the played tempo, and is sure of it,
    # halves the beats; told not to listen, the tracker keeps the tempo.
    import dataclasses
    import soundfile
    from cadentia import TempoPrior, batch, frontend

    piece = drums(150, seed=3)
    path = tmp_path / "loop.wav"
    soundfile.write(path, piece.signal, piece.sample_rate)
    design = frontend.FRONT_ENDS["network"]
    heard = []

    def analyse(signal, sample_rate, fps, *, downbeats=False):
        activation, prior = design.analyse(signal, sample_rate, fps, downbeats=downbeats)
        heard.append(prior)
        return activation, TempoPrior(75.0, 0.15)

    monkeypatch.setitem(frontend.FRONT_ENDS, "network", dataclasses.replace(design, analyse=analyse))
    hinted = batch.track_path(path, kind=kind)
    plain = batch.track_path(path, kind=kind, tempo_hint=False)
    assert 70 < hinted.tempo < 80 and 140 < plain.tempo < 160
    # One pass of the network per file, none for the tempo when told not to
    # listen; downbeats still analyse once for the bars (test below).
    assert len(heard) == (2 if kind == "downbeats" else 1)


@pytest.mark.parametrize("options, online, front_end, asked", [
    ({}, False, "network", True),
    ({"beats_per_bar": (3, 4)}, False, "network", False),
    ({}, True, "network", True),
    ({"beats_per_bar": (3, 4)}, True, "network", False),
    ({}, False, "flux", False),
])
def test_a_bar_heard_as_two_is_told_as_two_bars(tmp_path, monkeypatch, options, online, front_end, asked):
    # Only network downbeats with the tracker's own meters ask; the answer
    # relabels the bars (live, from the first judgement on) and keeps every beat.
    import soundfile
    from cadentia import batch
    from cadentia.frontend.meter import LIVE_MIN_BEATS, BarEvidence

    piece = drums(124, seed=7)
    path = tmp_path / "loop.wav"
    soundfile.write(path, piece.signal, piece.sample_rate)
    calls = []

    def hears_two(self, beats, positions, meter, hint=None):
        calls.append(meter)
        return 2 if meter == 4 else meter

    def hears_a_later_start(self, beats, positions, meter, hint=None):
        calls.append("shift")
        return 1

    monkeypatch.setattr(BarEvidence, "beats_per_bar", hears_two)
    monkeypatch.setattr(BarEvidence, "downbeat_shift", hears_a_later_start)
    plain = batch.track_path(path, kind="downbeats", beats_per_bar=(3, 4), online=online, front_end=front_end)
    assert not calls
    told = batch.track_path(path, kind="downbeats", online=online, front_end=front_end, **options)
    np.testing.assert_array_equal(told.beats, plain.beats)
    meter = plain.beats_per_bar
    first = LIVE_MIN_BEATS if online else 0
    if asked:
        assert set(calls) == ({4} if meter == 4 else {"shift"})
        assert len(calls) == 1 or online  # live asks at every judgement
    else:
        assert calls == []
    if asked:
        # Bars in 4 become two bars in 2; others start on their beat 2 (live,
        # where the decoder keeps a bar in 4 or 3 for a while, from the first judgement).
        assert told.beats_per_bar == (2 if meter == 4 else meter)
        moved = (plain.positions - 1) % 2 + 1 if meter == 4 else (plain.positions - 2) % meter + 1
        np.testing.assert_array_equal(told.positions[:first], plain.positions[:first])
        assert np.mean(told.positions[first:] == moved[first:]) >= (0.9 if online else 1.0)
    else:
        assert told.beats_per_bar == plain.beats_per_bar
        np.testing.assert_array_equal(told.positions, plain.positions)


@pytest.mark.parametrize("arguments, asked", [([], True), (["--beats-per-bar", "3", "4"], False), (["--online"], True),
                                              (["--online", "--beats-per-bar", "3", "4"], False)])
def test_the_command_asks_the_meter_hint_unless_given_meters(tmp_path, monkeypatch, capsys, arguments, asked):
    import json
    import soundfile
    from cadentia import cli
    from cadentia.frontend.meter import BarEvidence

    piece = drums(124, seed=7)
    path = tmp_path / "loop.wav"
    soundfile.write(path, piece.signal, piece.sample_rate)
    monkeypatch.setattr(BarEvidence, "beats_per_bar", lambda self, beats, positions, meter, hint=None: 2)
    assert cli.main(["downbeats", str(path), "--format", "json", *arguments]) == 0
    assert (json.loads(capsys.readouterr().out)["beats_per_bar"] == 2) == asked


def test_bar_hint_weights_and_features(tmp_path):
    from cadentia.frontend.meter import BarEvidence, MeterHint, PhaseHint, shipped_meter_hint, shipped_phase_hint

    for hint in (shipped_meter_hint(), shipped_phase_hint()):
        kind = type(hint)
        assert hint.weight.shape == hint.mean.shape == hint.scale.shape == (len(kind.names),)
        # Saved and loaded alike; refused when trained on other features.
        hint.save(tmp_path / "hint.npz")
        loaded = kind.load(tmp_path / "hint.npz")
        for name in ("mean", "scale", "weight", "bias", "threshold"):
            np.testing.assert_array_equal(getattr(loaded, name), getattr(hint, name))
        np.savez(tmp_path / "other.npz", mean=hint.mean, scale=hint.scale, weight=hint.weight, bias=hint.bias,
                 features='["something else"]')
        with pytest.raises(ValueError, match=f"{kind.what} was trained on other features"):
            kind.load(tmp_path / "other.npz")
    assert isinstance(shipped_meter_hint(), MeterHint) and isinstance(shipped_phase_hint(), PhaseHint)
    # Bars in 4 whose downbeat output and harmony move every two beats, and
    # those that move every four: the first heard as 2, the second not.
    beats = np.arange(1, 33) * 0.5
    positions = (np.arange(32) % 4) + 1
    for period, expected in ((2, 2), (4, 4)):
        downbeat, chroma = _bars_heard(beats, period)
        evidence = BarEvidence(downbeat, 100.0, chroma)
        assert evidence.features(beats[:7], positions[:7]) is None
        assert evidence.beats_per_bar(beats, positions, 4) == expected
        assert evidence.beats_per_bar(beats, positions, 3) == 3
        if period == 4:
            # Bars decoded where they start, and decoded a beat early (their
            # start labelled 2): the second start a beat later.
            assert evidence.downbeat_shift(beats, positions, 4) == 0
            late = positions % 4 + 1
            assert evidence.downbeat_shift(beats, late, 4) == 1
            assert evidence.phase_features(beats[:7], positions[:7], 4) is None


def _bars_heard(beats, period):
    """Downbeat output at 100 fps and chroma at 20 fps of bars of ``period`` beats, a new triad a bar
    (values as the network gives them: a linear hint does not extrapolate)."""
    downbeat = np.zeros(round(beats[-1] * 100) + 100)
    downbeat[np.round(beats * 100).astype(int)] = 0.15
    downbeat[np.round(beats[::period] * 100).astype(int)] = 0.5
    chroma = np.full((downbeat.size // 5, 12), 0.3)
    for bar, start in enumerate(beats[::period]):  # round the circle of fourths
        chroma[int(start * 20):, :] = 0.3
        chroma[int(start * 20):, [5 * bar % 12, (5 * bar + 4) % 12, (5 * bar + 7) % 12]] = 1.0
    return downbeat, chroma


def test_live_bars_start_where_the_hint_hears_them_whatever_the_blocks():
    from cadentia.frontend.meter import LIVE_MIN_BEATS, BarPhaseStream

    # Bars decoded a beat late (their first beat numbered 4).
    beats = np.arange(1, 81) * 0.5
    true = np.arange(80) % 4 + 1
    late = (true + 2) % 4 + 1
    downbeat, chroma = _bars_heard(beats, 4)
    whole = BarPhaseStream(44100, 100.0)
    whole.push_chroma(chroma)
    whole.push_downbeat(downbeat)
    at_once = whole.relabel(beats, late)
    np.testing.assert_array_equal(at_once, np.concatenate((late[:LIVE_MIN_BEATS], true[LIVE_MIN_BEATS:])))
    assert whole.beats_per_bar(4) == 4
    # Beat by beat, each as a stream reports it: only what it makes known
    # has arrived, and what no later judgement reads is forgotten.
    stream = BarPhaseStream(44100, 100.0)
    frames = rows = 0
    by_beat = []
    for time, position in zip(beats, late):
        upto, rows_upto = round(time * 100) + 1, int((time - stream._chroma_lag) * 20) + 1
        stream.push_downbeat(downbeat[frames:upto])
        stream.push_chroma(chroma[rows:rows_upto])
        frames, rows = upto, rows_upto
        by_beat.append(stream.relabel([time], [position]))
    np.testing.assert_array_equal(np.concatenate(by_beat), at_once)
    assert stream._downbeat.size < 20 * 100
    # Without beats, what it keeps stays bounded.
    stream.reset()
    for _ in range(200):
        stream.push_downbeat(np.zeros(1000))
        stream.relabel([], [])
    assert stream._downbeat.size < 60 * 100


# (observation_lambda, shortest beat interval in frames): 215 BPM is 28
# frames, 200 BPM 30.
@pytest.mark.parametrize("given, online, front_end, expected", [
    ({}, False, "network", (24.0, 28)),
    ({"observation_lambda": 16.0}, False, "network", (16.0, 28)),
    ({}, True, "network", (24.0, 28)),
    ({"max_bpm": 200.0, "observation_lambda": 16.0}, True, "network", (16.0, 30)),
    ({}, False, "flux", (16.0, 28)),
    ({}, True, "flux", (16.0, 28)),
])
def test_front_end_defaults_yield_to_given_options(tmp_path, monkeypatch, given, online, front_end, expected):
    import soundfile
    from cadentia import batch

    path = tmp_path / "loop.wav"
    piece = drums(100, seed=3)
    soundfile.write(path, piece.signal[: piece.sample_rate * 4], piece.sample_rate)
    spaces = []
    tracker = batch._tracker
    monkeypatch.setattr(batch, "_tracker", lambda *args: spaces.append(tracker(*args)) or spaces[-1])
    batch.track_path(path, online=online, front_end=front_end, tempo_hint=False, **given)
    assert [(space.observation_lambda, int(space.intervals.min())) for space in spaces] == [expected]


@pytest.mark.parametrize("front_end, flags, max_bpm", [("network", [], 215.0), ("flux", [], None),
                                                       ("network", ["--max-bpm", "200"], 200.0)])
def test_live_tracking_takes_the_front_ends_live_defaults(monkeypatch, front_end, flags, max_bpm):
    from cadentia import AudioBeatStream, AudioDownbeatStream, frontend
    from cadentia.cli import live, main

    given = {"max_bpm": 200.0} if flags else {}
    stream = AudioBeatStream(44100, front_end=front_end, **given)
    assert int(stream.beats.state_space.intervals.min()) == round(6000 / (max_bpm or 215.0))
    # The beat model's own live defaults do not reach the bar-pointer model.
    beat_lambda = frontend.FRONT_ENDS[front_end].live_beat_defaults.get("observation_lambda", 16.0)
    assert stream.beats.state_space.observation_lambda == beat_lambda
    if front_end == "network":
        assert AudioDownbeatStream(44100, **given).bars.state_space.observation_lambda == 16.0

    built = []
    monkeypatch.setattr(live, "build_model", lambda kind, fps, **options: built.append(options))
    monkeypatch.setattr(live, "_stdin_blocks", lambda args: iter(()))  # stop before any audio
    main(["live", "--front-end", front_end, *flags])
    assert [options.get("max_bpm") for options in built] == [max_bpm]


@pytest.mark.parametrize("meter, by_split", [(2, False), (3, False), (4, False), (3, True)])
def test_training_draws_pieces_by_their_beats_per_bar_or_split(meter, by_split):
    data = _training_module("data")
    beats = np.arange(1.0, 2000.0, 50.0)
    # A pickup of one beat: the meter is counted between downbeats, not from the start.
    pieces = [data.Example(str(m), np.zeros((2000, 4), np.float16), beats, beats[1::m], f"split{m}")
              for m in (2, 3, 4)]
    assert [p.meter for p in pieces] == [2, 3, 4]
    weights = (None, {f"split{meter}": 1e9}) if by_split else ({meter: 1e9}, None)
    _, y, _ = data.batch(pieces, np.random.default_rng(0), 300, 500, chances=data.draw_chances(pieces, *weights))
    # Every excerpt comes from the favoured piece: its downbeat spacing shows in the targets.
    steps = {int(np.diff(np.flatnonzero(row[:, 1] == 1)).min()) for row in y if (row[:, 1] == 1).sum() > 1}
    assert steps == {50 * meter}


def test_training_refuses_weights_for_splits_it_does_not_load(tmp_path, capsys):
    pytest.importorskip("torch")
    train = _training_module("train")
    with pytest.raises(SystemExit):
        train.main(["--out", str(tmp_path / "run"), "--splits", "train,modules", "--split-weights", "module:2"])
    assert "not in --splits: module" in capsys.readouterr().err
    assert not (tmp_path / "run").exists()
