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
import evalset  # noqa: E402

if shutil.which("fluidsynth") is None or not evalset.SOUNDFONT.exists():
    pytest.skip("rendering needs fluidsynth and fluid-soundfont-gm (make eval-deps)", allow_module_level=True)

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
    offsets = evalset.probe_offsets(piece, folder)
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


def test_generation_is_deterministic(tmp_path):
    piece = evalset.PIECES[0]
    for name in ("a.mid", "b.mid"):
        evalset.write_midi(piece, tmp_path / name)
    assert (tmp_path / "a.mid").read_bytes() == (tmp_path / "b.mid").read_bytes()


@pytest.mark.parametrize("script, arguments, expect", [
    ("beats.py", ["--pieces", "waltz"], "target: live mean F"),
    ("downbeats.py", ["--synthetic"], "target: meter right"),
    ("downbeats.py", ["--synthetic", "--stub"], "stub peak picker"),
])
def test_scripts_run_quick(folder, script, arguments, expect):
    done = subprocess.run([sys.executable, str(ROOT / "eval" / script), "--quick", "--out", str(folder), *arguments],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert expect in done.stdout
