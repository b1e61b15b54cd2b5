"""The training-set generator (eval/trainset.py): one short piece, and its alignment."""

import shutil
import sys
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "eval"))

pytest.importorskip("mido")
pytest.importorskip("scipy")
import evalset  # noqa: E402
import trainset  # noqa: E402

if shutil.which("fluidsynth") is None or not evalset.SOUNDFONT.exists():
    pytest.skip("rendering needs fluidsynth and fluid-soundfont-gm (make eval-deps)", allow_module_level=True)
if shutil.which("ffmpeg") is None:
    pytest.skip("the augmentation chain's lossy round trip needs ffmpeg", allow_module_level=True)

# A hard chain: every EQ kind, compression, clipping, noise at 30 dB, an mp3 at
# 64 kbit/s and the first second and a bit cut off.
HARSH = {
    "eq": [{"kind": "lowshelf", "freq": 200.0, "gain_db": 9.0, "q": 0.7},
           {"kind": "peak", "freq": 2000.0, "gain_db": -8.0, "q": 2.0},
           {"kind": "highshelf", "freq": 5000.0, "gain_db": 9.0, "q": 0.7}],
    "compress": {"threshold_db": -25.0, "ratio": 6.0, "release": 0.05}, "clip": {"drive": 5.0},
    "noise": {"snr_db": 30.0, "color": "pink"}, "codec": {"format": "mp3", "kbps": 64},
    "peak_db": -12.0, "start": -1.3,
}


def test_a_short_piece_renders_with_aligned_annotations(tmp_path):
    # A drummed 4/4 piece with a pickup, on a ramp, cut short to six bars.
    piece = next(p for p in (trainset.plan_piece("valid", i, seed=7) for i in range(200))
                 if p.drums and p.meter == 4 and p.pickup and p.curve == "ramp" and p.tempo > 90)
    piece = replace(piece, bars=6, breakdown=-1, stops=(), augment=HARSH)
    row = trainset.render_piece(piece, tmp_path)
    times, positions = evalset.read_beats(tmp_path / f"{piece.name}.beats")
    assert row["duration"] > 0 and np.all(np.diff(times) > 0)
    # Bar positions count up through the bar; the first downbeat is the first
    # bar's, after the pickup, shifted by the cut-off start.
    assert np.array_equal(positions, (positions[0] - 1 + np.arange(positions.size)) % 4 + 1)
    grid, bar_positions = trainset.beat_grid(piece)
    grid = grid + HARSH["start"]
    expected = grid[(grid >= 0) & (bar_positions == 1)][0]
    first = int(np.flatnonzero(positions == 1)[0])
    assert abs(times[first] - expected) < 1e-3
    # Clicks on the same tempo map through the same chain land within 5 ms.
    offsets = trainset.probe_alignment(piece)
    assert np.abs(offsets).max() < 0.005


@pytest.mark.skipif(not trainset.SOUNDFONTS["Black_Pearl_4_LV2"][0].exists(),
                    reason="the sampled kits need avldrums.lv2-soundfont")
def test_a_piece_on_a_sampled_kit_stays_aligned(tmp_path):
    # The kit is rendered apart from the band and mixed in; its strokes must
    # land on the tempo map as the SoundFont's own kit does.
    piece = next(p for p in (trainset.plan_piece("kits", i, seed=7) for i in range(50)) if p.kit)
    piece = replace(piece, bars=4, breakdown=-1, stops=(), kit=("Black_Pearl_4_LV2", 0.0),
                    augment={"eq": [], "peak_db": -3.0, "start": 0.0})
    row = trainset.render_piece(piece, tmp_path)
    assert row["kit"] == "Black_Pearl_4_LV2" and row["duration"] > 0
    assert np.abs(trainset.probe_alignment(piece)).max() < 0.005


@pytest.mark.parametrize("split, program, note", [("valid-band", 28, 40), ("valid-club", None, 39)])
def test_amplified_guitars_and_drum_machines_stay_aligned(split, program, note):
    # Palm-muted low E through the highest gain the splits draw; a drum machine's clap.
    piece = trainset.plan_piece(split, 0, seed=7)
    assert (piece.amp if program else piece.machine) is not None
    assert trainset.plan_piece("valid", 0, seed=7).amp is None and trainset.plan_piece("valid", 0, seed=7).machine is None
    if program:
        piece = replace(piece, amp=(40.0, 2500.0, 0.4, 0.0))
    piece = replace(piece, augment={"eq": [], "peak_db": -3.0, "start": 0.0})
    assert np.abs(trainset.probe_alignment(piece, note=note, program=program)).max() < 0.005


def test_a_sung_line_leaves_the_band_alone_and_reaches_the_midi_file(tmp_path):
    import mido

    piece = trainset.plan_piece("valid-voice", 0, seed=7)
    assert piece.voice is not None and trainset.plan_piece("valid", 0, seed=7).voice is None
    with_voice = trainset.arrange(piece)
    band = trainset.arrange(replace(piece, voice=None))
    voice = [t for t in with_voice if t.channel == 4]
    assert [t.notes for t in with_voice if t.channel != 4] == [t.notes for t in band]
    assert voice and voice[0].notes and voice[0].controls
    evalset.write_midi(piece, tmp_path / "sung.mid", tracks=voice, events=trainset.tempo_events(piece))
    kinds = {m.type for track in mido.MidiFile(tmp_path / "sung.mid").tracks for m in track}
    assert {"pitchwheel", "control_change", "note_on"} <= kinds
