"""Many files at once: track_files on every kind of executor, atomic
writes and resuming, the batch command line, and evaluation by file stem."""

import concurrent.futures as cf
import json
import logging
import multiprocessing
import os
import tempfile
import wave

import numpy as np
import pytest

from cadentia import batch, cli, track_audio
from cadentia.io.audio import audio_blocks, write_wav
from cadentia.testing import click_beat_times, synthesize_clicks
from cadentia.evaluate import evaluate_files


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """Short click tracks and an activation, with a corrupt file in the middle."""
    folder = tmp_path_factory.mktemp("inputs")
    paths = []
    for i, bpm in enumerate((96, 120, 140)):
        signal, rate, _ = synthesize_clicks(bpm, 8.0, end_bpm=None, sample_rate=16000)
        write_wav(folder / f"clicks{i}.wav", signal, rate)
        paths.append(str(folder / f"clicks{i}.wav"))
    (folder / "corrupt.wav").write_bytes(b"RIFF\x00\x00\x00\x00WAVEjunk")
    activation = np.zeros(800)
    activation[::50] = 1.0
    np.save(folder / "pulse.npy", activation)
    paths[2:2] = [str(folder / "corrupt.wav"), str(folder / "pulse.npy")]
    return paths


def _same(results, expected):
    assert [r.path for r in results] == [r.path for r in expected]
    for got, want in zip(results, expected):
        assert got.error == want.error
        if want.ok:
            np.testing.assert_array_equal(got.beats, want.beats)
            assert got.positions is None


@pytest.fixture(params=["threads", "processes", "dask"])
def executor(request):
    if request.param == "threads":
        with cf.ThreadPoolExecutor(2) as pool:
            yield pool
    elif request.param == "processes":
        # Not fork: the test process has threads by now.
        with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("forkserver")) as pool:
            yield pool
    else:
        distributed = pytest.importorskip("distributed")
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=None, silence_logs=logging.ERROR,
        ) as cluster, distributed.Client(cluster) as client:
            yield client.get_executor()


def test_executors_give_the_serial_results(inputs, executor):
    serial = batch.track_files(inputs + ["missing.wav"], max_bpm=180)
    assert [r.ok for r in serial] == [True, True, False, True, True, False]
    assert all(r.path in r.error and "\n" not in r.error for r in serial if not r.ok)
    _same(batch.track_files(inputs + ["missing.wav"], executor=executor, max_bpm=180), serial)


def test_the_state_space_is_built_once_per_process(inputs, monkeypatch):
    built = []
    build = batch._build_tracker
    monkeypatch.setattr(batch, "_cache", {})
    monkeypatch.setattr(batch, "_build_tracker", lambda *a: built.append(a) or build(*a))
    with cf.ThreadPoolExecutor(2) as pool:
        batch.track_files(inputs * 2, executor=pool, min_bpm=60)
    # Once per model: audio and activations may differ (the front end's
    # offline defaults, the tempo it hears), but no model is built twice.
    assert 1 <= len(built) == len({repr(b) for b in built}) <= 1 + len(inputs)


def test_pool_workers_leave_the_cores_to_the_pool():
    from threadpoolctl import threadpool_info

    from cadentia.pool import executor_for

    with executor_for(2) as executor:
        found = [executor.submit(threadpool_info).result() for _ in range(4)]
    blas = [pool["num_threads"] for info in found for pool in info if pool["user_api"] == "blas"]
    assert blas and set(blas) == {1}


def test_options_are_refused_before_any_work(inputs):
    with pytest.raises(ValueError, match="min_bpm"):
        batch.track_files(inputs, min_bpm=200, max_bpm=100)
    with pytest.raises(ValueError, match="kind"):
        batch.track_files(inputs, kind="bars")
    with pytest.raises(ValueError, match="threshold"):
        batch.track_files(inputs, threshold=1.5)


def test_an_interrupted_write_leaves_the_old_file(tmp_path, monkeypatch):
    target = tmp_path / "a.beats"
    result = batch.FileResult("a.wav", np.array([0.5, 1.0]))
    batch.write_result(result, target)
    assert target.read_text() == "0.500\n1.000\n"

    def interrupted(src, dst):
        raise KeyboardInterrupt

    monkeypatch.setattr(os, "replace", interrupted)
    with pytest.raises(KeyboardInterrupt):
        batch.write_result(batch.FileResult("a.wav", np.array([2.0])), target)
    assert target.read_text() == "0.500\n1.000\n"
    assert os.listdir(tmp_path) == ["a.beats"]


def _write_beats(path, times, positions=None):
    rows = [f"{t:.4f}" if positions is None else f"{t:.4f}\t{p}" for t, p in
            zip(times, positions if positions is not None else times)]
    path.write_text("\n".join(rows) + "\n")


def test_evaluation_pairs_by_stem_and_reports_the_unpaired(tmp_path, capsys):
    detections, references = tmp_path / "det", tmp_path / "ref"
    detections.mkdir()
    (references / "sub").mkdir(parents=True)
    times = click_beat_times(120, 20.0)
    bars = np.arange(times.size) % 4 + 1
    _write_beats(detections / "both.beats", times, bars)
    _write_beats(references / "sub" / "both.beats", times, bars)
    _write_beats(detections / "half.beats", times[::2])
    _write_beats(references / "half.txt", times, bars)
    _write_beats(detections / "lonely.beats", times)
    _write_beats(references / "unsung.beats", times)

    report = evaluate_files([detections], [references])
    assert [row["file"] for row in report.rows] == ["both", "half"]
    both, half = report.rows
    assert both["f_measure"] == both["amlt"] == both["downbeat_f_measure"] == 1.0
    assert half["downbeat_f_measure"] is None and half["cmlt"] == 0.0 and half["amlt"] == 1.0
    assert report.mean["downbeat_f_measure"] == 1.0
    assert report.mean["f_measure"] == pytest.approx((1.0 + half["f_measure"]) / 2)
    assert report.missing_detections == [str(references / "unsung.beats")]
    assert report.missing_references == [str(detections / "lonely.beats")]

    _write_beats(references / "lonely.txt", times)
    _write_beats(references / "lonely.beats", times)
    with pytest.raises(ValueError, match="two reference files for 'lonely'"):
        evaluate_files([detections], [references])


def _outputs(folder):
    return sorted(os.listdir(folder))


def test_batch_command_writes_resumes_and_reports(inputs, tmp_path, capsys):
    out = tmp_path / "out"
    arguments = ["beats", *inputs, "missing.wav", "-o", str(out), "--jobs", "2", "--max-bpm", "180",
                 "--progress"]
    assert cli.main(arguments) == 1
    captured = capsys.readouterr()
    assert captured.out == "" and "6/6" in captured.err  # the bar is on stderr only
    errors = [line for line in captured.err.splitlines() if line.startswith("cadentia: error: ")]
    assert len(errors) == 2 and "corrupt.wav" in errors[0] + errors[1]
    assert captured.err.splitlines()[-1] == "cadentia: 4 done, 0 skipped, 2 failed"
    assert _outputs(out) == ["clicks0.beats", "clicks1.beats", "clicks2.beats", "pulse.beats"]
    for result in batch.track_files(inputs, max_bpm=180):
        if result.ok:
            assert (out / "pulse.beats" if result.path.endswith(".npy") else
                    out / (os.path.basename(result.path)[:-4] + ".beats")).read_text() == batch.format_result(result)

    # One file to standard output gives what the batch wrote.
    for path, name in ((inputs[0], "clicks0.beats"), (inputs[3], "pulse.beats")):
        assert cli.main(["beats", path, "--max-bpm", "180"]) == 0
        assert capsys.readouterr().out == (out / name).read_text()

    # A rerun skips what is there; --overwrite redoes it. The folder form
    # finds the same inputs.
    (out / "pulse.beats").write_text("kept\n")
    folder = os.path.dirname(inputs[0])
    assert cli.main(["beats", folder, "-o", str(out), "--jobs", "1", "--max-bpm", "180"]) == 1
    assert capsys.readouterr().err.splitlines()[-1] == "cadentia: 0 done, 4 skipped, 1 failed"
    assert (out / "pulse.beats").read_text() == "kept\n"
    assert cli.main(["beats", folder, "-o", str(out), "--overwrite", "--max-bpm", "180"]) == 1
    assert capsys.readouterr().err.splitlines()[-1] == "cadentia: 4 done, 0 skipped, 1 failed"
    assert (out / "pulse.beats").read_text() != "kept\n"
    assert _outputs(out) == ["clicks0.beats", "clicks1.beats", "clicks2.beats", "pulse.beats"]


def test_downbeats_batch_writes_times_and_positions(inputs, tmp_path, capsys):
    out = tmp_path / "out"
    assert cli.main(["downbeats", *inputs[:2], "-o", str(out), "--jobs", "2", "--beats-per-bar", "3", "4"]) == 0
    for result in batch.track_files(inputs[:2], kind="downbeats", beats_per_bar=[3, 4]):
        assert set(result.positions) <= {1, 2, 3, 4} and result.positions.size == result.beats.size
        name = os.path.basename(result.path)[:-4] + ".beats"
        assert (out / name).read_text() == batch.format_result(result)
    assert cli.main(["downbeats", inputs[0], "--beats-per-bar", "3", "4"]) == 0
    assert capsys.readouterr().out == (out / "clicks0.beats").read_text()


# --format json and --online work on a batch now (test_batch_formats_and_modes); a plot is of one file.
@pytest.mark.parametrize("extra, message, status", [
    (["--plot", "x.png"], "--plot needs one FILE", 2),
    (["--fps", "1"], "--max-bpm 215 is too fast", 2),
    (["SAME"], "would both be written to", 1),
])
def test_batch_command_refuses_before_any_work(inputs, tmp_path, extra, message, status, capsys):
    if extra == ["SAME"]:
        twin = tmp_path / "twin"
        twin.mkdir()
        np.save(twin / "pulse.npy", np.zeros(10))
        extra = []
        inputs = inputs + [str(twin / "pulse.npy")]
    out = tmp_path / "out"
    assert cli.main(["beats", *inputs, "-o", str(out), *extra]) == status
    err = capsys.readouterr().err
    assert err.startswith("cadentia: error: ") and err.count("\n") == 1 and message in err
    assert not out.exists() or _outputs(out) == []


def test_evaluate_command(tmp_path, capsys):
    times = click_beat_times(100, 15.0)
    (tmp_path / "ref").mkdir()
    _write_beats(tmp_path / "song.beats", times + 0.01)
    _write_beats(tmp_path / "ref" / "song.beats", times)
    _write_beats(tmp_path / "ref" / "other.beats", times)
    assert cli.main(["evaluate", str(tmp_path / "song.beats"), "--reference", str(tmp_path / "ref"),
                     "--format", "json"]) == 0
    captured = capsys.readouterr()
    report = json.loads(captured.out)
    assert report["pairs"] == 1 and report["mean"]["f_measure"] == 1.0
    assert report["missing_detections"] == [str(tmp_path / "ref" / "other.beats")]
    assert "no detection for" in captured.err
    assert cli.main(["evaluate", str(tmp_path / "song.beats"), "--reference", str(tmp_path / "ref"),
                     "--window", "0.005"]) == 0
    assert capsys.readouterr().out.splitlines()[1].split()[1] == "0.000"
    # A few files scored against a large annotated set: the unpaired are counted, not all named.
    for k in range(7):
        _write_beats(tmp_path / "ref" / f"extra{k}.beats", times)
    assert cli.main(["evaluate", str(tmp_path / "song.beats"), "--reference", str(tmp_path / "ref")]) == 0
    assert capsys.readouterr().err.splitlines()[-1] == "cadentia: warning: no detection for 3 more files"


@pytest.mark.parametrize("second, status", [
    (["beats", "--max-bpm", "180"], 0),  # the same command and options: resumed
    (["downbeats"], 1),
    (["beats", "--max-bpm", "200"], 1),
    (["beats", "--max-bpm", "180", "--online"], 1),
])
def test_resume_keeps_only_results_of_the_same_command_and_options(inputs, tmp_path, capsys, second, status):
    out = tmp_path / "out"
    files = inputs[:2]
    assert cli.main(["beats", *files, "-o", str(out), "--max-bpm", "180"]) == 0
    before = {name: (out / name).read_text() for name in _outputs(out)}
    capsys.readouterr()
    assert cli.main([second[0], *files, "-o", str(out), *second[1:]]) == status
    err = capsys.readouterr().err
    if status == 0:
        assert err.splitlines()[-1] == "cadentia: 0 done, 2 skipped, 0 failed"
    else:
        assert err.count("\n") == 1 and "were not written by" in err and "--overwrite" in err
    assert {name: (out / name).read_text() for name in _outputs(out)} == before
    assert cli.main([second[0], *files, "-o", str(out), "--overwrite", *second[1:]]) == 0


def test_a_folder_stands_for_its_audio_and_npy_files_unless_a_pattern_is_given(inputs, tmp_path, capsys):
    folder = tmp_path / "music"
    folder.mkdir()
    (folder / "clicks.wav").write_bytes(open(inputs[0], "rb").read())
    np.save(folder / "pulse.npy", np.load(inputs[3]))
    (folder / "README.txt").write_text("Recorded in the hall.\n")
    (folder / "clicks.csv").write_text("0.5,1\n1.0,2\n")  # annotations beside the audio
    assert batch.expand_paths([folder]) == [str(folder / "clicks.wav"), str(folder / "pulse.npy")]
    assert batch.expand_paths([folder], pattern="*.txt") == [str(folder / "README.txt")]
    assert cli.main(["beats", str(folder), "-o", str(tmp_path / "out")]) == 0
    assert capsys.readouterr().err.splitlines()[-1] == "cadentia: 2 done, 0 skipped, 0 failed"


@pytest.mark.parametrize("kind, extra, suffix", [
    ("beats", ["--format", "json"], ".json"),
    ("beats", ["--online"], ".beats"),
    ("downbeats", ["--online", "--format", "json"], ".json"),
])
def test_batch_writes_what_one_file_prints(inputs, tmp_path, capsys, kind, extra, suffix):
    files = [inputs[0], inputs[3]] if kind == "beats" else [inputs[0]]
    out = tmp_path / "out"
    assert cli.main([kind, *files, "-o", str(out), *extra]) == 0
    capsys.readouterr()
    for path in files:
        assert cli.main([kind, path, *extra]) == 0
        name = os.path.splitext(os.path.basename(path))[0] + suffix
        assert (out / name).read_text() == capsys.readouterr().out


def test_an_unwritable_output_folder_is_refused_before_any_work(inputs, tmp_path, monkeypatch, capsys):
    out = tmp_path / "out"
    mkstemp = tempfile.mkstemp

    def refused(*args, dir=None, **kwargs):  # a read-only folder, whoever runs the test
        if dir is not None and os.path.abspath(dir) == str(out):
            raise PermissionError(13, "Permission denied")
        return mkstemp(*args, dir=dir, **kwargs)

    tracked = []
    monkeypatch.setattr("tempfile.mkstemp", refused)
    monkeypatch.setattr(batch, "track_path", lambda *a, **k: tracked.append(a))
    assert cli.main(["beats", inputs[0], inputs[3], "-o", str(out), "--jobs", "1"]) == 1
    err = capsys.readouterr().err
    assert err == f"cadentia: error: cannot write results to {out}: Permission denied\n" and tracked == []


@pytest.mark.parametrize("kind, online, front_end", [
    ("beats", False, "network"), ("downbeats", True, "network"), ("beats", True, "flux"), ("downbeats", False, "flux"),
])
def test_audio_in_memory_is_tracked_as_its_file(tmp_path, kind, online, front_end):
    clicks, rate, _ = synthesize_clicks(128, 12.0, end_bpm=None, sample_rate=22050)
    stereo = np.stack([clicks, 0.5 * np.roll(clicks, 7)], axis=1)
    path = tmp_path / "stereo.wav"
    with wave.open(str(path), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(np.round(np.clip(stereo, -1, 1) * 32767).astype("<i2").tobytes())
    samples = np.concatenate([block.copy() for block, _ in audio_blocks(path)])
    got = track_audio(samples, rate, kind=kind, online=online, front_end=front_end)
    want = batch.track_path(path, kind=kind, online=online, front_end=front_end)
    assert got.path == "<signal>" and got.beats.size > 10 and got.tempo == want.tempo
    np.testing.assert_array_equal(got.beats, want.beats)
    if kind == "downbeats":
        np.testing.assert_array_equal(got.positions, want.positions)


@pytest.mark.parametrize("signal, rate, message", [
    (np.zeros(0), 44100, "shape"), (np.zeros((4410, 2, 2)), 44100, "shape"), (np.zeros((4410, 0)), 44100, "shape"),
    (np.zeros(4410), 50, "above the sample rate"), (np.full(44100, np.nan), 44100, "finite"),
])
def test_audio_in_memory_that_cannot_be_tracked_is_refused(signal, rate, message):
    with pytest.raises(ValueError, match=message):
        track_audio(signal, rate)
