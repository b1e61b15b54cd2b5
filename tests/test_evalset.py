"""The rendered evaluation set (eval/): annotations against the audio, and the scripts' quick runs."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "eval"))

pytest.importorskip("mido")
import downbeats  # noqa: E402  (eval/downbeats.py)
import evalset  # noqa: E402
import harness  # noqa: E402

if shutil.which("fluidsynth") is None or not evalset.SOUNDFONT.exists():
    pytest.skip("the rendered set needs FluidSynth and the General MIDI SoundFont, Debian packages "
                "fluidsynth and fluid-soundfont-gm: `make eval-deps` installs them (as root); CI does",
                allow_module_level=True)

# A drummed piece with a tempo ramp and players' drift, and a 3/4 piece without drums.
PIECES = {p.name: p for p in evalset.QUICK_PIECES[:2]}


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    out = tmp_path_factory.mktemp("evalset")
    evalset.render_all(list(PIECES.values()), out, jobs=2)
    return out


@pytest.mark.parametrize("name", PIECES)
def test_annotations_sit_on_the_rendered_onsets(folder, name):
    piece = PIECES[name]
    # Clicks rendered on the piece's own tempo map land where the annotations say.
    offsets = evalset.probe_offsets(piece)
    assert np.abs(offsets - evalset.RENDER_OFFSET).max() < 0.003
    times, positions = evalset.read_beats(folder / f"{name}.beats")
    # And the music itself has its onsets there (the check sees a shift).
    wav = folder / f"{name}.wav"
    assert abs(evalset.mix_lag(wav, times)) <= 0.015
    assert abs(evalset.mix_lag(wav, times + 0.03) + 0.03) <= 0.015
    assert np.all(np.diff(times) > 0)
    assert positions[0] == 1 and positions[-1] == 1
    assert np.array_equal(positions, np.arange(positions.size) % piece.meter + 1)


def test_beats_files_use_the_fields_format(folder):
    for name in PIECES:
        lines = (folder / f"{name}.beats").read_text().splitlines()
        assert lines and all(re.fullmatch(r"\d+\.\d{3} [1-4]", line) for line in lines)


def test_tick_times_integrate_the_tempo_map():
    rng = np.random.default_rng(0)
    starts = np.concatenate(([0], np.sort(rng.choice(np.arange(1, 200_000), 40, replace=False))))
    events = [(int(t), int(us)) for t, us in zip(starts, rng.integers(300_000, 1_000_000, starts.size))]
    ticks = rng.integers(0, 250_000, 50)
    # Reference: sum the whole segments before each tick, then the part of its own.
    expected = []
    for tick in ticks:
        seconds = 0.0
        for (start, us), (end, _) in zip(events, events[1:] + [(np.inf, 0)]):
            seconds += max(0, min(tick, end) - start) * us / 1e6 / evalset.TICKS_PER_BEAT
        expected.append(seconds)
    np.testing.assert_allclose(evalset.tick_times(ticks, events), expected, rtol=1e-12)


@pytest.mark.parametrize("name", PIECES)
def test_midi_files_are_annotated_from_their_own_tempo_map(tmp_path, name):
    import midiset

    # The generator's MIDI read back as any MIDI file is: the same beats
    # after the lead-in, and its bars.
    piece = PIECES[name]
    evalset.write_midi(piece, tmp_path / "piece.mid")
    times, positions, _, _ = midiset.notated_beats(tmp_path / "piece.mid", delayed=False)
    expected = evalset.beat_grid(piece)[0] - evalset.RENDER_OFFSET
    np.testing.assert_allclose(times[evalset.LEAD_IN_BEATS:][: expected.size], expected, atol=1e-9)
    assert set(positions) == set(range(1, piece.meter + 1))


def test_the_network_keeps_the_octave_of_composed_music(tmp_path):
    import midiset
    from cadentia import batch

    if not midiset.SOURCES["openmsx"].is_dir():
        pytest.skip("needs Debian's openttd-openmsx (CI installs it)")
    # Notated at 109 BPM; a tempo range up to 240 BPM doubled it.
    stem = "openmsx-be_sharp_bw_redfarn"
    midiset.render_fluidr3(stem, midiset.midi_files()[stem], tmp_path, 20.0)
    times, _ = evalset.read_beats(tmp_path / f"{stem}.beats")
    beats = batch.track_path(tmp_path / f"{stem}.flac").beats
    assert harness.f_measure(times, beats) > 0.95


def test_module_rows_are_the_beats_heard(tmp_path):
    import modset
    from cadentia import batch

    source = Path("/usr/share/games/biniax2/music/biniax_common05.it")
    if not source.is_file():
        pytest.skip("needs Debian's biniax2-data and libopenmpt0 (CI installs them)")
    # Row times from the player, the beat from the file's highlight: the
    # tracker hears the same beats, so neither is off by a block or a row.
    assert modset.render("biniax2-common05", source, tmp_path, 20.0).endswith("125.0 BPM")
    times, positions = evalset.read_beats(tmp_path / "biniax2-common05.beats")
    assert set(positions) == {1, 2, 3, 4}
    beats = batch.track_path(tmp_path / "biniax2-common05.flac").beats
    assert harness.f_measure(times, beats) > 0.95


def test_a_sung_line_over_a_module_lands_on_its_beats(monkeypatch):
    import modset
    import trainset
    from dataclasses import replace

    source = Path("/usr/share/games/biniax2/music/biniax_common05.it")
    if not source.is_file():
        pytest.skip("needs Debian's biniax2-data and libopenmpt0 (CI installs them)")
    data = source.read_bytes()
    signal, starts, rows = modset.play(data, 20.0)
    times, positions, _ = modset.beats_of_rows(starts, rows, *modset.highlight(data))
    # Cut in, so that the line starts well after the audio; a woodblock sings, so its notes show.
    cut = times[1] + 0.1
    keep = times >= cut
    plan, sing = trainset.plan_piece, trainset._sung_line
    monkeypatch.setattr(trainset, "plan_piece", lambda split, index: replace(
        plan(split, index), voice=(115, 127), reverb=None, chorus=False))
    tracks = []
    monkeypatch.setattr(trainset, "_sung_line", lambda *a: tracks.append(sing(*a)) or tracks[-1])
    line, _ = modset.sung_line(signal[round(cut * modset.RATE):], times[keep] - cut, positions[keep], "valid-voice", 3)
    beats = times[keep][np.flatnonzero(positions[keep] == 1)[0]:] - cut
    events = [(k * trainset.TPB, round(float(b - a) * 1e6)) for k, (a, b) in enumerate(zip(beats, beats[1:]))]
    planned = evalset.tick_times([tick for tick, *_ in tracks[0].notes], events) + beats[0]
    peaks = np.abs(line[:line.size // 44 * 44]).reshape(-1, 44).max(axis=1)
    onsets = np.flatnonzero((peaks[1:] > 4 * peaks[:-1]) & (peaks[1:] > 0.01 * peaks.max())) * 44 / modset.RATE
    planned = planned[planned < line.size / modset.RATE - 0.1]
    assert planned.size > 10
    assert max(np.abs(onsets - t).min() for t in planned) < 0.005


def test_a_sung_line_stops_where_the_music_pauses():
    import modset

    # 12 s of beats, 28 s of nothing (a tempo event mido could not hold), 10 s more.
    times = np.concatenate((np.arange(0.0, 12.0, 0.5), np.arange(40.0, 50.0, 0.5)))
    signal = np.random.default_rng(0).normal(0.0, 0.1, 50 * modset.RATE)
    line, _ = modset.sung_line(signal, times, np.arange(times.size) % 4 + 1, "valid-voice", 1)
    assert np.abs(line[:12 * modset.RATE]).max() > 0 and not line[20 * modset.RATE:].any()


def test_generation_is_deterministic(tmp_path):
    piece = evalset.PIECES[0]
    for name in ("a.mid", "b.mid"):
        evalset.write_midi(piece, tmp_path / name)
    assert (tmp_path / "a.mid").read_bytes() == (tmp_path / "b.mid").read_bytes()


@pytest.mark.parametrize("script, arguments, expect", [
    ("beats.py", ["--pieces", "waltz"], "target: live mean F"),
    ("downbeats.py", ["--synthetic"], "target: meter right"),
    ("downbeats.py", ["--synthetic", "--stub"], "stub peak picker"),
    ("downbeats.py", ["--audio", "--pieces", "waltz"], "Rendered set"),
])
def test_scripts_run_quick(folder, script, arguments, expect):
    done = subprocess.run([sys.executable, str(ROOT / "eval" / script), "--quick", "--out", str(folder), *arguments],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert expect in done.stdout


@pytest.mark.parametrize("piece", evalset.PIECES + evalset.QUICK_PIECES, ids=lambda p: p.name)
def test_every_piece_keeps_its_plan(piece):
    times, positions = evalset.beat_grid(piece)
    assert times.size == piece.bars * piece.meter + 1 and np.all(np.diff(times) > 0)
    assert np.array_equal(positions, np.arange(times.size) % piece.meter + 1)
    # The players' drift stays a drift: within 8 % of the planned tempo.
    bpm = 60.0 / np.diff(times)
    planned = [piece.tempo] + ([piece.end_tempo] if piece.end_tempo else [])
    assert min(planned) / 1.08 <= bpm.min() and bpm.max() <= max(planned) * 1.08
    if piece.end_tempo:
        assert abs(np.median(bpm[-piece.meter:]) / piece.end_tempo - 1) < 0.08
    # The drums wait for the intro and rest in the breakdown.
    drums = [t for t in evalset.compose(piece) if t.channel == 9]
    if drums:
        # Bar of each drum note; one played a little early still belongs to its bar.
        bar_ticks = piece.meter * evalset.TICKS_PER_BEAT
        bars = {(tick - evalset.LEAD_IN_BEATS * evalset.TICKS_PER_BEAT + evalset.TICKS_PER_BEAT // 8) // bar_ticks
                for tick, *_ in drums[0].notes}
        assert min(bars) == min(piece.intro, piece.bars - 1)
        if piece.breakdown:
            assert int(0.6 * piece.bars) not in bars
    else:
        assert not piece.drums or not evalset.STYLES[piece.style].drums


def test_beats_files_round_trip(tmp_path):
    times, positions = evalset.beat_grid(evalset.QUICK_PIECES[1])
    evalset.write_beats(tmp_path / "x.beats", times, positions)
    read, read_positions = evalset.read_beats(tmp_path / "x.beats")
    np.testing.assert_allclose(read, times, atol=5e-4)
    assert np.array_equal(read_positions, positions)


def test_metrics_agree_with_cadentia_evaluate():
    from cadentia.evaluate import evaluate

    rng = np.random.default_rng(3)
    reference = np.cumsum(rng.uniform(0.45, 0.55, 60))
    for estimated in (reference + rng.normal(0, 0.03, 60), reference[::2], reference + 0.25, np.zeros(0)):
        ours, theirs = harness.beat_scores(reference, estimated), evaluate(reference, estimated, use_mir_eval=True)
        assert (ours["f"], ours["cmlt"], ours["amlt"]) == (theirs["f_measure"], theirs["cmlt"], theirs["amlt"])


@pytest.mark.parametrize("found, label", [(120, "ok"), (129, "ok"), (131, "x1.09"), (240, "x2"), (61, "x1/2"),
                                          (180, "x3/2"), (None, "none"), (0.0, "none")])
def test_octave_labels(found, label):
    assert harness.octave(found, 120.0) == label


@pytest.mark.parametrize("synthetic", downbeats.SYNTHETIC, ids=lambda s: s.name)
def test_synthetic_activations_are_probabilities_with_the_bars(synthetic):
    act, times, positions = downbeats.synthetic_activation(synthetic)
    assert act.shape == (int(np.ceil(synthetic.seconds * downbeats.FPS)), 2)
    assert act.min() >= 0 and act.sum(axis=1).max() <= 0.99 + 1e-9
    # Downbeats carry the downbeat column: most of them are its strongest frames.
    frames = np.round(times[positions == 1] * downbeats.FPS).astype(int)
    assert np.mean(act[frames, 1] > act[frames, 0]) > 0.6


def test_stub_recovers_clean_bars():
    clean = downbeats.Synthetic("clean", 3, 110, 30, missing=0, spurious=0, leak=0, noise=0, jitter=0, seed=5)
    act, times, positions = downbeats.synthetic_activation(clean)
    result = downbeats.stub_track_downbeats(act, downbeats.FPS)
    assert result.beats_per_bar == 3
    np.testing.assert_allclose(result.beats, np.round(times * 100) / 100, atol=0.011)
    assert np.array_equal(result.positions, positions)
