"""Downbeat and meter tracking: the bar-pointer model against a dense
construction from its definition, decoding of synthetic bars, the stream,
the audio activation and the command line."""

import json
import re

import numpy as np
import pytest

from cadentia import cli
from cadentia.frontend import downbeat_activation
from cadentia.model.bars import DOWNBEAT_COLUMN, downbeat_state_space
from cadentia.model.observation import check_downbeat_activation, downbeat_observation_densities
from cadentia.testing import synthesize_clicks
from cadentia.track.downbeats import DownbeatStream, track_downbeats
from cadentia.evaluate import downbeat_f_measure, f_measure
from cadentia.model.observation import MIN_DENSITY
from reference import ForwardReference, viterbi_reference
from cadentia.model import _kernels
from cadentia.model.tempo import (BEAT_COLUMN, NO_BEAT_COLUMN, as_tempo_prior, beat_intervals,
                                 tempo_change_weights)

# ---------------------------------------------------------------- state space


def _dense_model(fps, min_bpm, max_bpm, meters, meter_change, prior, observation_lambda=16.0):
    """The model written out state by state from its definition, as a dense matrix."""
    intervals = beat_intervals(fps, min_bpm, max_bpm)
    weight = tempo_change_weights(intervals)
    states = [(k, j, b, p) for k, m in enumerate(meters) for j, L in enumerate(intervals)
              for b in range(m) for p in range(L)]
    index = {s: n for n, s in enumerate(states)}
    trans = np.zeros((len(states), len(states)))
    prior = as_tempo_prior(prior)
    for (k, j, b, p), n in index.items():
        m, L = meters[k], intervals[j]
        if p + 1 < L:
            trans[n, index[k, j, b, p + 1]] = 1.0
            continue
        for i, Li in enumerate(intervals):
            cost = 1.0 if prior is None else np.exp(prior.log_weights(60 * fps / Li, Li / fps))
            if b + 1 < m:
                trans[n, index[k, i, b + 1, 0]] += weight[j, i] * cost
                continue
            for k2 in range(len(meters)):
                share = 1 - meter_change if k2 == k else meter_change / (len(meters) - 1)
                trans[n, index[k2, i, 0, 0]] += weight[j, i] * cost * share
    columns = [NO_BEAT_COLUMN if p * observation_lambda >= intervals[j]
               else DOWNBEAT_COLUMN if b == 0 else BEAT_COLUMN for (k, j, b, p) in states]
    return trans, np.array(columns), states


@pytest.mark.parametrize("meters, meter_change, prior", [
    ((3, 4), 0.0, None),
    ((3, 4), 0.1, None),
    ((2, 3, 5), 0.05, (100.0, 0.5)),
    ((4,), 0.0, (120.0, 1.0)),
])
def test_state_space_matches_dense_construction(meters, meter_change, prior):
    fps, lo, hi = 20, 90, 200
    space = downbeat_state_space(fps, lo, hi, beats_per_bar=meters, meter_change=meter_change,
                                 tempo_prior=prior)
    trans, columns, states = _dense_model(fps, lo, hi, meters, meter_change, prior)
    n = len(states)
    ptr = space.ptr.astype(np.int64)
    dest = np.repeat(np.arange(n), np.diff(ptr))
    built = np.zeros((n, n))
    built[space.pred.astype(np.int64), dest] = space.prob
    np.testing.assert_allclose(built, trans, rtol=1e-6, atol=0)
    expected = np.log(trans[space.pred.astype(np.int64), dest])
    np.testing.assert_allclose(space.log_prob, expected, rtol=1e-6, atol=1e-9)
    assert (space.columns == columns).all()
    assert [tuple(x) for x in zip(space.state_meter, space.state_lane, space.state_beat,
                                  space.state_position)] == \
        [(meters[k], j, b, p) for (k, j, b, p) in states]
    # Sources ascending within a destination; interior states exactly the plain shift.
    for s in range(n):
        assert (np.diff(space.pred[ptr[s]:ptr[s + 1]].astype(np.int64)) > 0).all()
    interior = space.state_position > 0
    assert (np.diff(ptr)[interior] == 1).all() and (space.log_prob[ptr[:-1][interior]] == 0).all()
    # Every meter is equally likely a priori.
    totals = np.bincount(np.searchsorted(meters, space.state_meter) if len(meters) > 1 else
                         np.zeros(n, int), weights=space.initial.astype(np.float64))
    np.testing.assert_allclose(totals, 1 / len(meters), rtol=1e-5)
    for name in ("ptr", "pred", "columns"):
        assert getattr(space, name).dtype == np.uint32
    for name in ("prob", "log_prob", "initial", "log_initial"):
        assert getattr(space, name).dtype == np.float32


def test_kernels_decode_the_model_as_the_reference_decoders_do():
    # The default grid has more than 512 beat-start states, and meter changes
    # add edges across sub-spaces: the kernels against the plain-NumPy
    # decoders, bit for bit.
    space = downbeat_state_space(meter_change=0.05)
    act = np.random.default_rng(0).uniform(0, 0.45, (150, 2))
    log_dens = downbeat_observation_densities(act, space.observation_lambda, log=True)
    args = (space.pred, space.ptr, space.log_prob, log_dens, space.columns, space.log_initial)
    path, score = _kernels.decode(*args)
    want_path, want_score = viterbi_reference(*args)
    np.testing.assert_array_equal(path, want_path)
    assert score == want_score
    dens = downbeat_observation_densities(act, space.observation_lambda)
    model = (space.pred, space.ptr, space.prob, space.columns, space.initial)
    np.testing.assert_array_equal(_kernels.ForwardDecoder(*model).step(dens), ForwardReference(*model).step(dens))


def test_default_model_size():
    space = downbeat_state_space()
    heads = space.state_position == 0
    assert (space.num_lanes, space.num_states, int(heads.sum())) == (82, 39_319, 574)
    assert space.num_edges - (space.num_states - int(heads.sum())) == 11_543


@pytest.mark.parametrize("options, message", [
    ({"beats_per_bar": (1, 4)}, "at least 2"),
    ({"beats_per_bar": 0}, "at least 2"),
    ({"beats_per_bar": ()}, "empty"),
    ({"beats_per_bar": (4, 4)}, "twice"),
    ({"beats_per_bar": (3.5,)}, "whole numbers"),
    ({"meter_change": 1.0}, "meter_change"),
    ({"min_bpm": 0.001}, "32-bit indices"),
    ({"fps": 2e8, "num_tempi": 3}, "32-bit indices"),
    ({"fps": 10000}, "more than cadentia builds"),  # tens of gigabytes to build
    ({"fps": 10000, "num_tempi": 1000}, "more than cadentia builds"),
])
def test_bad_models_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        downbeat_state_space(**options)


def test_prebuilt_state_space_must_match():
    space = downbeat_state_space(50, 60, 180, beats_per_bar=(4,))
    act = np.zeros((100, 2))
    assert track_downbeats(act, 50, state_space=space, beats_per_bar=[4]).fps == 50
    for kwargs, error in [({"beats_per_bar": (3, 4)}, ValueError), ({"min_bpm": 70}, TypeError)]:
        with pytest.raises(error):
            track_downbeats(act, 50, state_space=space, **kwargs)
    with pytest.raises(ValueError, match="placement"):
        track_downbeats(act, 50, state_space=space, placement="middle")
    with pytest.raises(ValueError, match="built for 50 fps, not 100"):
        DownbeatStream(100, state_space=space)


# ---------------------------------------------------------------- observation


def test_observation_densities_and_the_inclusive_convention():
    act = np.array([[0.2, 0.7], [0.0, 0.0], [0.5, 0.5], [1.0, 0.0]])
    dens = downbeat_observation_densities(act, 11.0)
    expected = np.stack([(1 - act.sum(1)) / 10, act[:, 0], act[:, 1]], axis=1)
    np.testing.assert_allclose(dens, np.maximum(expected, MIN_DENSITY), rtol=1e-6)
    inclusive = check_downbeat_activation([[0.9, 0.7], [0.3, 0.6]], beat_includes_downbeats=True)
    np.testing.assert_allclose(inclusive, [[0.2, 0.7], [0.0, 0.6]])


@pytest.mark.parametrize("activation, message", [
    (np.full(10, 0.1), "two values per frame"),
    (np.full((10, 3), 0.1), "two values per frame"),
    (np.zeros((0, 2)), "empty"),
    ([[0.6, 0.6]], "sum to 1.2"),
    ([[0.1, np.nan]], "non-finite"),
    ([[-0.1, 0.1]], r"\[0, 1\]"),
    ([["a", "b"]], "numeric"),
])
def test_bad_activations_are_refused(activation, message):
    with pytest.raises(ValueError, match=message):
        track_downbeats(activation)


# ---------------------------------------------------------------- decoding


def _bars(meter, bpm, seconds, fps=100, *, seed=0, noise=0.1, missing=0.1, end_bpm=None):
    """A two-column activation with known beats: noisy peaks, some beats missing."""
    rng = np.random.default_rng(seed)
    times = [0.3]
    while times[-1] < seconds - 1:
        frac = times[-1] / seconds
        tempo = bpm if end_bpm is None else bpm + (end_bpm - bpm) * frac
        times.append(times[-1] + 60 / tempo)
    times = np.array(times)
    positions = np.arange(times.size) % meter + 1
    act = rng.uniform(0, noise, (round(seconds * fps), 2)) / 2
    for t, pos in zip(times, positions):
        if rng.random() < missing:
            continue
        f = round(t * fps)
        peak = rng.uniform(0.5, 0.95)
        act[f, :] = (0, peak) if pos == 1 else (peak, 0)
        act[f + 1, :] = act[f, :] / 2
    return act, times, positions


@pytest.mark.parametrize("meter, bpm, end_bpm", [(3, 90, None), (4, 128, None), (4, 100, 140), (3, 160, 120)])
def test_synthetic_bars_decode_to_meter_beats_and_downbeats(meter, bpm, end_bpm):
    act, times, positions = _bars(meter, bpm, 40, seed=meter * bpm, end_bpm=end_bpm)
    track = track_downbeats(act)
    assert track.beats_per_bar == meter
    assert f_measure(times, track.beats)[0] >= 0.98
    assert f_measure(times[positions == 1], track.downbeats)[0] >= 0.95
    assert track.beats.dtype == np.float64 and track.positions.dtype == np.int64
    assert track.tempo.shape == track.path.shape == (act.shape[0],)
    # Placed where the path enters each beat (whole-frame lanes drift a little), still within the window.
    entered = track_downbeats(act, placement="state")
    assert f_measure(times, entered.beats)[0] >= 0.98 and (entered.positions == track.positions).all()
    # The other convention, given the same information, decodes the same.
    inclusive = np.stack([act.sum(1), act[:, 1]], axis=1)
    again = track_downbeats(inclusive, beat_includes_downbeats=True)
    assert (again.beats == track.beats).all() and (again.positions == track.positions).all()


def test_meter_change_follows_a_piece_that_changes_meter():
    first, t1, _ = _bars(3, 120, 30, seed=1, missing=0)
    second, t2, _ = _bars(4, 120, 30, seed=2, missing=0)
    act = np.concatenate([first, second])
    track = track_downbeats(act, meter_change=1e-3)
    late = track.positions[track.beats > 40]
    early = track.positions[(track.beats > 5) & (track.beats < 25)]
    assert early.max() == 3 and late.max() == 4


@pytest.mark.parametrize("chunk", [1, 7, 100])
def test_stream_is_independent_of_chunking(chunk):
    act, times, positions = _bars(4, 110, 20, seed=3)
    space = downbeat_state_space(beats_per_bar=(3, 4))
    whole = DownbeatStream(state_space=space).process(act)
    stream = DownbeatStream(state_space=space)
    parts = [stream.process(act[i:i + chunk]) for i in range(0, act.shape[0], chunk)]
    np.testing.assert_array_equal(np.concatenate([p[0] for p in parts]), whole[0])
    np.testing.assert_array_equal(np.concatenate([p[1] for p in parts]), whole[1])
    assert stream.beats_per_bar == 4 and stream.num_frames == act.shape[0]
    late = whole[0] > 8
    assert f_measure(times[times > 8], whole[0][late])[0] >= 0.9
    assert f_measure(times[(times > 8) & (positions == 1)], whole[0][late & (whole[1] == 1)])[0] >= 0.9


def test_a_heard_tempo_steers_the_live_bars():
    # Bars in 4 at 70 BPM with weaker off-beats: the plain model counts them as beats at 140.
    act = np.zeros((3000, 2))
    for k in range(35):
        act[round(k * 6000 / 70), int(k % 4 == 0)] = 1.0
        act[round((k + 0.5) * 6000 / 70), 0] = 0.3
    options = dict(min_bpm=45.0, max_bpm=240.0)
    plain = DownbeatStream(**options).process(act)
    assert abs(60 / np.median(np.diff(plain[0][-10:])) / 140 - 1) < 0.05
    unheard = DownbeatStream(hear_tempo=True, **options).process(act, heard=np.full(3000, np.nan))
    for a, b in zip(plain, unheard):
        np.testing.assert_array_equal(a, b)
    heard = np.full(3000, 70.0)
    heard[:300] = np.nan
    whole = DownbeatStream(hear_tempo=True, **options).process(act, heard=heard)
    late = whole[0] > 10
    downbeats = np.arange(0, 35, 4) * 60 / 70
    assert f_measure(downbeats[downbeats > 10], whole[0][late & (whole[1] == 1)])[0] == 1.0
    stream = DownbeatStream(hear_tempo=True, **options)
    parts = [stream.process(act[i:i + 137], heard=heard[i:i + 137]) for i in range(0, 3000, 137)]
    for k in range(2):
        np.testing.assert_array_equal(np.concatenate([p[k] for p in parts]), whole[k])


# ---------------------------------------------------------------- audio, evaluation


def test_audio_downbeat_activation_shape_and_sum():
    from cadentia.frontend.flux import onset_strength

    signal, rate, _ = synthesize_clicks(120.0, 8.0, end_bpm=None)
    act = downbeat_activation(signal, rate, 100, front_end="flux")
    np.testing.assert_allclose(act.sum(1), onset_strength(signal, rate, 100), atol=1e-12)
    assert act.min() >= 0 and act.max() <= 1
    assert (downbeat_activation(np.zeros(8000), 8000, front_end="flux") == 0).all()


def test_live_audio_activation_uses_no_later_audio():
    signal, rate, _ = synthesize_clicks(120.0, 6.0, end_bpm=None, noise=0.01)
    whole = downbeat_activation(signal, rate, 100, online=True)
    cut = round(4.0 * rate)
    part = downbeat_activation(signal[:cut], rate, 100, online=True)
    # Frames whose analysis window ends before the cut (0.1 s covers it) are final.
    np.testing.assert_array_equal(part[:390], whole[:390])


def test_downbeat_f_measure_backends_agree():
    ref = np.arange(6.0, 30, 2.0)
    est = np.concatenate([ref[:-3] + 0.05, [40.0]])
    assert downbeat_f_measure(ref, est, use_mir_eval=False) == pytest.approx(
        downbeat_f_measure(ref, est, use_mir_eval=True))


# ---------------------------------------------------------------- command line


@pytest.fixture(scope="module")
def activation_file(tmp_path_factory):
    act, times, positions = _bars(4, 120, 20, seed=5, missing=0)
    path = tmp_path_factory.mktemp("downbeats") / "act.npy"
    np.save(path, act)
    return str(path), times, positions


@pytest.mark.parametrize("online", [False, True])
def test_cli_prints_beats_and_positions(activation_file, online, capsys, tmp_path):
    path, times, positions = activation_file
    extra = ["--online"] if online else []
    assert cli.main(["downbeats", path, *extra]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert all(re.fullmatch(r"\d+\.\d{3} [1-4]", line) for line in lines)
    assert cli.main(["downbeats", path, "--format", "json", "--num-tempi", "60", *extra]) == 0
    report = json.loads(capsys.readouterr().out)
    assert report["beats_per_bar"] == 4 and report["tempo"] == pytest.approx(120, rel=0.03)
    assert len(report["beats"]) == len(report["positions"]) == len(lines)
    # Text and JSON agree with each other and with the bars.
    assert [f"{b:.3f} {p}" for b, p in zip(report["beats"], report["positions"])] == lines
    down = np.array(report["beats"])[np.array(report["positions"]) == 1]
    assert f_measure(times[(positions == 1) & (times > 6)], down[down > 6])[0] == 1.0


# Exit status 1 for an input that cannot be tracked, 2 for options that make no model.
@pytest.mark.parametrize("content, arguments, message, status", [
    (np.full(100, 0.1), [], "has one value per frame; downbeats needs two", 1),
    (np.full((100, 2), 0.6), [], "sum to 1.2 > 1 at frame 0", 1),
    (np.full((100, 2), 0.1), ["--beats-per-bar", "1"], "beats per bar must be at least 2", 2),
    (np.full((100, 2), 0.1), ["--beats-per-bar", "0", "4"], "beats per bar must be at least 2", 2),
    (np.full((100, 2), 0.1), ["--meter-change", "1"], "--meter-change must lie in", 2),
    (np.zeros((0, 2)), [], "is empty", 1),
    (np.array([[0.1, np.inf]] * 10), [], "non-finite", 1),
    ("0.1 0.2\n0.3\n", [], "lines of [1, 2] values", 1),
])
def test_cli_errors_are_one_line_messages(tmp_path, content, arguments, message, status, capsys):
    if isinstance(content, str):
        path = tmp_path / "act.txt"
        path.write_text(content)
    else:
        path = tmp_path / "act.npy"
        np.save(path, content)
    assert cli.main(["downbeats", str(path), *arguments]) == status
    err = capsys.readouterr().err
    assert err.startswith("cadentia: error: ") and err.count("\n") == 1 and message in err


def test_cli_plot_and_audio(tmp_path, capsys):
    from cadentia.io.audio import write_wav

    signal, rate, _ = synthesize_clicks(120.0, 8.0, end_bpm=None)
    wav = tmp_path / "clicks.wav"
    write_wav(wav, signal, rate)
    png = tmp_path / "bars.png"
    assert cli.main(["downbeats", str(wav), "--plot", str(png)]) == 0
    assert png.stat().st_size > 0 and capsys.readouterr().out.strip()
