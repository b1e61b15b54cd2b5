"""The beat tracker built on the kernels: state space, observation model,
offline and live tracking, accuracy on synthetic pieces, command line."""

import functools
import json
import math
import re
import subprocess
import sys

import numpy as np
import pytest

import signals
from cadentia import cli, demo
from cadentia.errors import AudioError
from cadentia.io.audio import read_audio, write_wav
from cadentia.testing import click_beat_times
from cadentia.evaluate import evaluate, f_measure
from cadentia.frontend.flux import onset_strength
from cadentia.model.observation import MIN_DENSITY, observation_densities
from cadentia.model.tempo import (BEAT_COLUMN, DEFAULT_TEMPO_PRIOR, NO_BEAT_COLUMN, TempoPrior, as_tempo_prior,
                                 beat_intervals, tempo_change_weights, tempo_prior_log_weights,
                                 tempo_state_space)
from cadentia.track.beats import BeatStream, beats_from_path, track_beats
from cadentia.track.downbeats import DownbeatStream, track_downbeats

# ---------------------------------------------------------------- state space


def test_default_state_space_size_and_dtypes():
    space = tempo_state_space()
    assert (space.num_lanes, space.num_states) == (82, 5617)
    assert space.intervals[0] == 28 and space.intervals[-1] == 109
    for name, dtype in [("ptr", np.uint32), ("pred", np.uint32), ("columns", np.uint32),
                        ("prob", np.float32), ("log_prob", np.float32),
                        ("initial", np.float32), ("log_initial", np.float32)]:
        array = getattr(space, name)
        assert array.dtype == dtype and array.ndim == 1, name
        # The kernels refuse anything else.
        assert array.flags.c_contiguous and array.flags.writeable, name


@pytest.mark.parametrize("options", [
    {},
    {"fps": 50, "min_bpm": 60, "max_bpm": 180},
    {"num_tempi": 40},
    {"transition_lambda": 0.0},
    {"transition_lambda": 1000.0, "observation_lambda": 4},
    {"fps": 10, "min_bpm": 100, "max_bpm": 600},  # one-frame lanes
])
def test_transition_model_is_well_formed(options):
    space = tempo_state_space(tempo_prior=None, **options)
    ptr = space.ptr.astype(np.int64)
    pred = space.pred.astype(np.int64)
    n = space.num_states
    assert ptr[0] == 0 and ptr[-1] == pred.size and (np.diff(ptr) >= 1).all()
    assert space.columns.size == space.initial.size == n
    first = np.zeros(n, bool)
    first[space.first_states] = True
    # Interior states: one edge from s-1, exactly the identity weight in both domains.
    interior = np.flatnonzero(~first)
    assert (np.diff(ptr)[interior] == 1).all()
    assert (pred[ptr[interior]] == interior - 1).all()
    assert (space.prob[ptr[interior]] == 1.0).all() and (space.log_prob[ptr[interior]] == 0.0).all()
    # Beat states are reached from lane ends only, and every lane end's
    # outgoing probabilities sum to one.
    edges = np.concatenate([np.arange(ptr[s], ptr[s + 1]) for s in space.first_states])
    assert np.isin(pred[edges], space.last_states).all()
    out = np.bincount(pred[edges], weights=space.prob[edges].astype(np.float64), minlength=n)
    np.testing.assert_allclose(out[space.last_states], 1.0, rtol=1e-6)
    np.testing.assert_allclose(np.exp(space.log_prob), space.prob, rtol=1e-6)
    # Beat region: the first interval / observation_lambda phases of every lane.
    expected = space.state_phase * space.observation_lambda < space.intervals[space.state_lane]
    assert (space.beat_region == expected).all()
    assert (space.columns == np.where(expected, BEAT_COLUMN, NO_BEAT_COLUMN)).all()
    assert space.beat_region[space.first_states].all()
    np.testing.assert_allclose(space.initial.sum(dtype=np.float64), 1.0, rtol=1e-5)


@pytest.mark.parametrize("options", [{}, {"fps": 50, "min_bpm": 60, "max_bpm": 180}, {"num_tempi": 40}])
@pytest.mark.parametrize("prior", [DEFAULT_TEMPO_PRIOR, (90.0, 0.5)])
def test_tempo_prior_charges_time_spent_away_from_the_centre(options, prior):
    plain, space = tempo_state_space(tempo_prior=None, **options), tempo_state_space(tempo_prior=prior, **options)
    np.testing.assert_array_equal(space.ptr, plain.ptr)
    np.testing.assert_array_equal(space.pred, plain.pred)
    # Only the edges into beat states change, so the kernels' interior shift stays.
    lane_of_edge = np.repeat(space.state_lane, np.diff(space.ptr.astype(np.int64)))
    into_beat = np.repeat(space.state_phase == 0, np.diff(space.ptr.astype(np.int64)))
    np.testing.assert_array_equal(space.prob[~into_beat], plain.prob[~into_beat])
    bpm = 60 * space.fps / space.intervals
    entry = tempo_prior_log_weights(bpm, space.intervals / space.fps, prior)[lane_of_edge[into_beat]]
    np.testing.assert_allclose(space.log_prob[into_beat], plain.log_prob[into_beat] + entry, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(space.prob, np.exp(space.log_prob), rtol=1e-5)
    # The cost is per second: one second in any lane costs its log-density
    # times the centre tempo's beats per second, however many beats it has.
    centre, width = (prior.centre_bpm, prior.width) if isinstance(prior, TempoPrior) else prior
    per_second = tempo_prior_log_weights(bpm, space.intervals / space.fps, prior) * space.fps / space.intervals
    np.testing.assert_allclose(per_second, -0.5 * (np.log2(bpm / centre) / width) ** 2 * centre / 60)
    lane_density = np.exp(-0.5 * (np.log2(space.state_bpm / centre) / width) ** 2)
    np.testing.assert_allclose(space.initial, lane_density / lane_density.sum(), rtol=1e-5)
    assert space.tempo_prior == as_tempo_prior(prior)


@pytest.mark.parametrize("prior, message", [((0, 1), "centre_bpm"), ((120, -1), "width"),
                                            ((120, math.inf), "width"), ((1, 2, 3), "pair"), ("x", "pair")])
def test_bad_tempo_priors_are_refused(prior, message):
    with pytest.raises(ValueError, match=message):
        tempo_state_space(tempo_prior=prior)


def test_tempo_change_weights_are_row_normalised():
    weight = tempo_change_weights(beat_intervals())
    np.testing.assert_allclose(weight.sum(axis=1), 1.0)
    assert (np.argmax(weight, axis=1) == np.arange(weight.shape[0])).all()


def test_tempo_changes_are_penalised_by_size_and_pruned():
    space = tempo_state_space()
    ptr, pred = space.ptr.astype(np.int64), space.pred.astype(np.int64)
    lane = 40
    edges = np.arange(ptr[space.first_states[lane]], ptr[space.first_states[lane] + 1])
    sources = space.state_lane[pred[edges]]
    distance = np.abs(sources - lane)
    # The same tempo is most likely, and further lanes are less likely.
    assert sources[np.argmax(space.prob[edges])] == lane
    order = np.argsort(distance, kind="stable")
    assert (np.diff(space.prob[edges][order][::2]) <= 0).all()
    assert distance.max() < 20  # pruned, not all 82 lanes
    dense = tempo_state_space(transition_threshold=0.0)
    assert dense.num_edges == space.num_states - space.num_lanes + space.num_lanes**2


def test_num_tempi_spaces_lanes_logarithmically():
    intervals = beat_intervals(num_tempi=30)
    assert intervals.size <= 30 and intervals[0] == 28 and intervals[-1] == 109
    ratios = intervals[1:] / intervals[:-1]
    assert ratios.max() / ratios.min() < 1.5 and (ratios > 1).all()


@pytest.mark.parametrize("options, message", [
    ({"min_bpm": 120, "max_bpm": 120}, "must be below max_bpm"),
    ({"min_bpm": 200, "max_bpm": 100}, "must be below max_bpm"),
    ({"min_bpm": -5}, "min_bpm must be a positive"),
    ({"max_bpm": math.nan}, "max_bpm must be a positive"),
    ({"fps": 0}, "fps must be a positive"),
    ({"fps": 1, "max_bpm": 215}, "too fast"),
    ({"num_tempi": 0}, "num_tempi"),
    ({"observation_lambda": 1}, "observation_lambda"),
    ({"transition_lambda": -1}, "transition_lambda"),
    ({"fps": 10000}, "more than cadentia builds"),  # before listing 10,834 lanes
])
def test_impossible_state_spaces_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        tempo_state_space(**options)


# ---------------------------------------------------------- observation model


def test_observation_densities():
    activation = np.array([0.0, 0.25, 1.0])
    dens = observation_densities(activation, 16)
    assert dens.dtype == np.float32 and dens.shape == (3, 2) and dens.flags.c_contiguous
    np.testing.assert_allclose(dens[:, BEAT_COLUMN], [MIN_DENSITY, 0.25, 1.0], rtol=1e-6)
    np.testing.assert_allclose(dens[:, NO_BEAT_COLUMN], [1 / 15, 0.05, MIN_DENSITY], rtol=1e-6)
    log = observation_densities(activation, 16, log=True)
    assert np.isfinite(log).all()
    np.testing.assert_allclose(np.exp(log), dens, rtol=1e-5)


@pytest.mark.parametrize("activation, message", [
    ([], "empty"),
    ([0.5, np.nan], "non-finite"),
    ([0.5, np.inf], "non-finite"),
    ([0.5, 1.5], r"\[0, 1\]"),
    ([-0.1, 0.5], r"\[0, 1\]"),
    (np.zeros((3, 3)), "one value per frame"),
    (["a", "b"], "numeric"),
])
def test_bad_activations_are_refused(activation, message):
    with pytest.raises(ValueError, match=message):
        track_beats(activation)
    if np.size(activation):  # an empty chunk is just no news for a stream
        with pytest.raises(ValueError, match=message):
            BeatStream().process(activation)


# ------------------------------------------------------------ offline beats


def _pulse(num_frames, period, offset, width=1):
    activation = np.zeros(num_frames)
    for centre in range(offset, num_frames, period):
        activation[max(0, centre - width + 1) : centre + width] = 1.0
    return activation


def test_viterbi_path_follows_the_model_and_finds_the_pulses():
    space = tempo_state_space()
    activation = _pulse(3000, 50, 17)
    track = track_beats(activation, state_space=space)
    path = track.path
    # Every step of the path is an edge of the transition model.
    ptr, pred = space.ptr.astype(np.int64), space.pred.astype(np.int64)
    for t in range(1, path.size):
        sources = pred[ptr[path[t]] : ptr[path[t] + 1]]
        assert path[t - 1] in sources
    np.testing.assert_array_equal(np.round(track.beats * 100), np.arange(17, 3000, 50))
    # The last interval may bend: a shorter lane's shorter beat region
    # crosses fewer empty frames, and nothing follows to pay for the change.
    assert np.all(track.tempo[17:2867] == 120.0)
    assert np.all(track.beat_tempo[:-2] == 120.0)
    assert np.isfinite(track.log_probability)


def test_beats_sit_on_the_activation_peak_within_the_beat_region():
    space = tempo_state_space()
    lane = int(np.flatnonzero(space.intervals == 64)[0])  # beat region of 4 frames
    first = space.first_states[lane]
    phases = np.r_[np.arange(62, 64), np.tile(np.arange(64), 3)]
    path = first + phases  # starts 2 frames before a beat
    activation = np.zeros(path.size)
    activation[[2 + 2, 66 + 0, 66 + 1, 130 + 3]] = [0.9, 0.5, 0.5, 0.7]  # tie: earlier frame
    np.testing.assert_array_equal(beats_from_path(path, activation, space), [4, 66, 133])
    # At the beat state instead: where the path enters phase 0, as live.
    np.testing.assert_array_equal(beats_from_path(path, activation, space, at_peak=False), [2, 66, 130])
    np.testing.assert_array_equal(beats_from_path(path[3:], activation[3:], space, at_peak=False), [63, 127])
    with pytest.raises(ValueError, match="placement"):
        track_beats(activation, placement="middle")


@pytest.mark.parametrize("kind", ["beats", "downbeats"])
def test_threshold_keeps_the_beats_where_the_music_is(kind):
    # 120 BPM from 10 s to 20 s, near-silence for 10 s either side: the
    # path beats on through the silence, the threshold drops those beats.
    activation = np.full(3000, 0.01)
    activation[1000:2000:50] = 0.9
    if kind == "beats":
        track = functools.partial(track_beats, activation)
    else:
        values = np.stack([activation, np.full(3000, 0.005)], axis=1)
        values[1000:2000:200] = [0.0, 0.9]
        track = functools.partial(track_downbeats, values)
    every, trimmed = track(), track(threshold=0.5)
    assert every.beats.min() < 9.0 and every.beats.max() > 21.0
    inside = (every.beats >= 9.95) & (every.beats <= 19.55)  # the active span and 50 ms
    np.testing.assert_array_equal(trimmed.beats, every.beats[inside])
    np.testing.assert_array_equal(trimmed.path, every.path)
    if kind == "downbeats":
        np.testing.assert_array_equal(trimmed.positions, every.positions[inside])
    for bad in (-0.1, 1.5, math.nan):
        with pytest.raises(ValueError, match="threshold"):
            track(threshold=bad)


# ---------------------------------------------------------------- streaming


def test_stream_is_causal_and_independent_of_chunking():
    piece = signals.clicks(100, end_bpm=130)
    activation = onset_strength(piece.signal, piece.sample_rate)
    whole = BeatStream().process(activation)
    assert whole.size > 30
    for sizes in ([1], [7], [100, 3, 250], [len(activation)]):
        stream, got, start, k = BeatStream(), [], 0, 0
        while start < activation.size:
            size = sizes[k % len(sizes)]
            new = stream.process(activation[start : start + size])
            # Nothing is reported ahead of the frames pushed so far.
            assert np.all(new <= (start + size) / 100)
            got.append(new)
            start, k = start + size, k + 1
        np.testing.assert_array_equal(np.concatenate(got), whole)
    stream = BeatStream()
    stream.process(activation[:1234])
    assert stream.process([]).size == 0 and stream.num_frames == 1234
    stream.reset()
    np.testing.assert_array_equal(stream.process(activation), whole)
    times, tempi = BeatStream().process(activation, with_tempo=True)
    assert times.size == tempi.size and 95 <= tempi[5] <= 105 and 125 <= tempi[-1] <= 135


def _pulse_and_offbeats(bpm, seconds=30.0, offbeat=0.3):
    """Beats at ``bpm`` and weaker off-beats, which the plain model takes for beats too."""
    activation = np.zeros(int(seconds * 100))
    period = 6000 / bpm
    for k in range(int(seconds * 100 / period)):
        activation[round(k * period)] = 1.0
        activation[min(round((k + 0.5) * period), activation.size - 1)] = offbeat
    return activation


def test_a_heard_tempo_steers_the_live_decoder():
    activation = _pulse_and_offbeats(70)
    options = dict(min_bpm=45.0, max_bpm=240.0, tempo_prior=None)
    plain = BeatStream(**options).process(activation, with_tempo=True)
    assert abs(np.median(plain[1][-10:]) / 140 - 1) < 0.05
    # Nothing heard: the model's own decoder, bit for bit.
    unheard = BeatStream(hear_tempo=True, **options).process(activation, with_tempo=True,
                                                             heard=np.full(activation.size, np.nan))
    for a, b in zip(plain, unheard):
        np.testing.assert_array_equal(a, b)
    found = {}
    for heard_bpm in (70, 140, 280):
        heard = np.full(activation.size, float(heard_bpm))
        heard[:300] = np.nan
        whole = found[heard_bpm] = BeatStream(hear_tempo=True, **options).process(activation, with_tempo=True,
                                                                                  heard=heard)
        # 280 BPM is beyond the range: heard as 140, an octave down.
        assert abs(np.median(whole[1][-10:]) / min(heard_bpm, 140) - 1) < 0.05
        stream, parts = BeatStream(hear_tempo=True, **options), []
        for start in range(0, activation.size, 137):
            parts.append(stream.process(activation[start : start + 137], with_tempo=True,
                                        heard=heard[start : start + 137]))
        np.testing.assert_array_equal(np.concatenate([p[0] for p in parts]), whole[0])
    np.testing.assert_array_equal(found[280][0], found[140][0])
    # A heard tempo wavering within half an octave of the decoder in use keeps it.
    wavering = np.where(np.arange(activation.size) // 100 % 2 == 1, 70.0, 84.0)
    wavering[:300] = np.nan
    kept = BeatStream(hear_tempo=True, **options).process(activation, with_tempo=True, heard=wavering)
    np.testing.assert_array_equal(kept[0], found[70][0])


@pytest.mark.parametrize("stream, frames", [(BeatStream, np.zeros(10)), (DownbeatStream, np.zeros((10, 2)))])
@pytest.mark.parametrize("hear, heard, message", [
    (False, np.full(10, 100.0), "heard tempi need a stream built with hear_tempo=True"),
    (True, np.full(9, 100.0), r"heard must have one tempo per frame \(10\), got shape \(9,\)"),
    (True, np.full(10, -1.0), "heard tempi must be positive and finite"),
    (True, np.full(10, np.inf), "heard tempi must be positive and finite"),
])
def test_bad_heard_tempi(stream, frames, hear, heard, message):
    with pytest.raises(ValueError, match=message):
        stream(hear_tempo=hear).process(frames, heard=heard)


def test_state_space_must_match_the_frame_rate():
    with pytest.raises(ValueError, match="built for 100 fps"):
        track_beats(np.zeros(10), fps=50, state_space=tempo_state_space())
    with pytest.raises(TypeError, match="not both"):
        BeatStream(state_space=tempo_state_space(), min_bpm=60)


# ------------------------------------------------------ accuracy on test pieces

CLEAN = signals.clean_pieces()
NOISY = signals.noisy_pieces()


def _scores(piece):
    activation = onset_strength(piece.signal, piece.sample_rate)
    offline = evaluate(piece.beats, track_beats(activation).beats, use_mir_eval=False)
    live = evaluate(piece.beats, BeatStream().process(activation), use_mir_eval=False)
    return offline["f_measure"], live["f_measure"]


@pytest.fixture(scope="module")
def scores():
    return {piece.name: _scores(piece) for piece in CLEAN + NOISY}


@pytest.mark.parametrize("piece", CLEAN + NOISY, ids=lambda p: p.name)
def test_each_piece_is_tracked_offline(piece, scores):
    assert scores[piece.name][0] >= 0.95


@pytest.mark.parametrize("pieces, offline_target, live_floor", [
    (CLEAN, 0.95, 0.9),
    (NOISY, 0.9, 0.85),
])
def test_mean_f_measure_meets_targets(pieces, offline_target, live_floor, scores):
    offline = np.mean([scores[p.name][0] for p in pieces])
    live = np.mean([scores[p.name][1] for p in pieces])
    print(f"\nmean F-measure over {len(pieces)} pieces: offline {offline:.3f}, live {live:.3f}")
    assert offline >= offline_target and live >= live_floor


# ------------------------------------------------------------- onset, audio


def test_onset_strength_peaks_at_clicks():
    piece = signals.clicks(120)
    signal, rate, beats = piece.signal, piece.sample_rate, piece.beats
    activation = onset_strength(signal, rate)
    assert activation.size == math.ceil(signal.size * 100 / rate)
    assert activation.min() >= 0 and activation.max() == 1
    peaks = [int(np.argmax(activation[f - 5 : f + 6])) - 5 for f in np.round(beats * 100).astype(int)[1:-1]]
    assert max(map(abs, peaks)) <= 2
    assert not onset_strength(np.zeros(22050), rate).any()


@pytest.mark.parametrize("signal, rate, message", [
    (np.zeros(0), 22050, "empty"),
    (np.array([0.0, np.nan]), 22050, "non-finite"),
    (np.zeros(100), 100, "sample rate"),
])
def test_onset_strength_refuses_bad_audio(signal, rate, message):
    with pytest.raises(ValueError, match=message):
        onset_strength(signal, rate)


@pytest.mark.parametrize("bpm, end_bpm, change", [(120, None, "step"), (90, 140, "step"), (100, 150, "ramp")])
def test_click_beat_times_follow_the_tempo(bpm, end_bpm, change):
    beats = click_beat_times(bpm, 20.0, end_bpm=end_bpm, change=change)
    tempo = 60 / np.diff(beats)
    assert tempo[0] == pytest.approx(bpm, rel=0.03)
    assert tempo[-1] == pytest.approx(end_bpm or bpm, rel=0.03)
    assert (np.diff(tempo) >= -1e-9).all() and beats[-1] < 20.0


@pytest.mark.parametrize("use_soundfile", [False, True])
def test_wav_round_trip(tmp_path, monkeypatch, use_soundfile):
    if use_soundfile:
        pytest.importorskip("soundfile")
    else:
        monkeypatch.setitem(sys.modules, "soundfile", None)
    signal = 0.5 * np.sin(np.arange(4000) / 10)
    write_wav(tmp_path / "x.wav", signal, 8000)
    back, rate = read_audio(tmp_path / "x.wav")
    assert rate == 8000
    np.testing.assert_allclose(back, signal, atol=1 / 32767)
    (tmp_path / "junk.wav").write_bytes(b"not audio at all")
    with pytest.raises(AudioError, match="cannot read audio"):
        read_audio(tmp_path / "junk.wav")
    with pytest.raises(AudioError, match="no such file"):
        read_audio(tmp_path / "missing.wav")


# ---------------------------------------------------------------- evaluation


@pytest.mark.parametrize("reference, estimated, expected", [
    ([1.0, 2.0, 3.0], [1.05, 2.0, 2.95], 1.0),
    ([1.0, 2.0, 3.0], [1.08, 2.1], 0.0),
    ([1.0, 2.0, 3.0, 4.0], [1.0, 1.01, 2.0], 2 * (2 / 3) * 0.5 / (2 / 3 + 0.5)),
    ([], [1.0], 0.0),
])
def test_builtin_f_measure(reference, estimated, expected):
    assert f_measure(reference, estimated)[0] == pytest.approx(expected)


def test_builtin_f_measure_agrees_with_mir_eval():
    mir_eval_beat = pytest.importorskip("mir_eval.beat")
    rng = np.random.default_rng(1)
    for _ in range(50):
        reference = np.sort(rng.uniform(0, 30, rng.integers(1, 60)))
        estimated = np.sort(np.r_[reference + rng.normal(0, 0.05, reference.size), rng.uniform(0, 30, 5)])
        expected = mir_eval_beat.f_measure(reference, estimated)
        assert f_measure(reference, estimated)[0] == pytest.approx(expected)
    scores = evaluate(reference, estimated)
    assert scores["backend"] == "mir_eval" and {"cmlt", "amlt"} <= scores.keys()


# ------------------------------------------------------------- command line


@pytest.fixture(scope="module")
def wav(tmp_path_factory):
    piece = signals.clicks(110, end_bpm=130)
    path = tmp_path_factory.mktemp("cli") / "piece.wav"
    write_wav(path, piece.signal, piece.sample_rate)
    return str(path), piece.beats


@pytest.mark.parametrize("extra", [[], ["--online"]])
def test_cli_prints_beats(wav, extra, capsys):
    path, truth = wav
    assert cli.main(["beats", path, *extra]) == 0
    beats = np.array(capsys.readouterr().out.split(), dtype=float)
    assert evaluate(truth, beats, use_mir_eval=False)["f_measure"] >= 0.95
    assert cli.main(["beats", path, "--format", "json", *extra]) == 0
    report = json.loads(capsys.readouterr().out)
    np.testing.assert_allclose(report["beats"], beats, atol=1e-3)
    assert len(report["beat_tempo"]) == len(beats) and 105 <= report["tempo"] <= 135


@pytest.mark.parametrize("suffix", [".npy", ".txt", ".csv"])
def test_cli_reads_activations(tmp_path, suffix, capsys):
    activation = _pulse(2000, 25, 10, width=2) * 0.9
    path = tmp_path / f"act{suffix}"
    if suffix == ".npy":
        np.save(path, activation)
    else:
        path.write_text((",\n" if suffix == ".csv" else "\n").join(map(str, activation)))
    assert cli.main(["beats", str(path), "--fps", "50"]) == 0
    beats = np.array(capsys.readouterr().out.split(), dtype=float)
    np.testing.assert_allclose(np.diff(beats), 0.5, atol=0.021)


# Exit status 1 for an input that cannot be tracked, 2 for options that make no model.
@pytest.mark.parametrize("content, arguments, message, status", [
    (None, [], "no such file", 1),
    (b"garbage", [], "cannot read audio", 1),
    ("", [], "empty", 1),
    ("0.5\nnan\n", [], "non-finite", 1),
    ("0.5\n2.0\n", [], r"\[0, 1\]", 1),
    ("0.5\nabc\n", [], "cannot read activation", 1),
    ("0.0 0.5\n0.01 0.7\n", [], "one value per frame", 1),
    ("0.5\n", ["--min-bpm", "200", "--max-bpm", "100"], "impossible tempo range: --min-bpm .*--max-bpm", 2),
    ("0.5\n", ["--fps", "1"], "impossible tempo range.*--max-bpm 215 is too fast", 2),
    ("0.5\n", ["--observation-lambda", "1"], "--observation-lambda must be", 2),
])
def test_cli_errors_are_one_line_messages(tmp_path, content, arguments, message, status, capsys):
    path = tmp_path / ("in.wav" if isinstance(content, bytes) or content is None else "in.txt")
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content is not None:
        path.write_text(content)
    assert cli.main(["beats", str(path), *arguments]) == status
    err = capsys.readouterr().err
    assert err.startswith("cadentia: error: ") and err.count("\n") == 1
    assert re.search(message, err), err


def test_cli_as_a_process_never_shows_a_traceback(tmp_path):
    bad = tmp_path / "bad.npy"
    np.save(bad, np.array([np.nan]))
    for arguments in (["beats", str(bad)], ["beats", str(bad), "--fps", "-3"]):
        done = subprocess.run([sys.executable, "-m", "cadentia.cli", *arguments],
                              capture_output=True, text=True)
        assert done.returncode != 0 and "Traceback" not in done.stderr and done.stderr


def test_cli_plot(wav, tmp_path):
    pytest.importorskip("matplotlib")
    png = tmp_path / "beats.png"
    assert cli.main(["beats", wav[0], "--online", "--plot", str(png)]) == 0
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_runs_end_to_end(tmp_path, capsys):
    assert demo.main(["--out", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert out.count("  F-measure ") == 2 and (tmp_path / "demo.wav").exists()
