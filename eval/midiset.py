"""Human-composed music with exact beats: game soundtracks written as MIDI.

    python eval/midiset.py [--out DIR] [--seconds S] [--jobs N]

The generator's pieces are ours: their tempi are log-uniform, their forms
and grooves what we wrote. Music that people composed has neither, and
some of it ships in Debian as MIDI with a notated tempo map:
``openttd-openmsx`` (OpenMSX, GPL-2) and ``freedoom`` (its music lumps,
BSD-3), and ``planetblupi-music-midi`` with ``planetblupi-music-ogg``
(GPL-3+), whose Ogg files are the authors' own renderings of those MIDI
files, sample-aligned with them (beat F 0.99+ at zero offset wherever the
tracker has the octave).

Two folders in the format of the training set's splits (``<stem>.flac``
and ``<stem>.beats``, so ``eval/frontends.py --set valid --valid DIR``
scores them):

- ``fluidr3``: every MIDI file of the first two packages rendered through
  FluidR3 GM, the timbre no network here trains on;
- ``blupi``: the Planet Blupi Ogg files as their authors rendered them.

The annotated beat is the notated one: the time signature's unit, or a
dotted quarter in 6/8, 9/8 and 12/8; bars from tick 0, 4/4 where no time
signature is given. Files whose notes do not keep to their own grid
(fewer than 90 % of onsets on a sixteenth or an eighth-note triplet,
after a constant delay; the converted Doom tracks, whose tempo is the
converter's clock) are left
out, since their notated beat is no one's. Each piece keeps its first
``--seconds`` (90) from its first note. None of these packages is held
out.
"""

from __future__ import annotations

import argparse
import bisect
import os
import struct
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import evalset  # noqa: E402
import harness  # noqa: E402

SOURCES = {
    "openmsx": Path("/usr/share/games/openttd/baseset/openmsx"),
    "freedoom": Path("/usr/share/games/doom"),
    "blupi": Path("/usr/share/planetblupi/music"),
}
PACKAGES = "openttd-openmsx freedoom planetblupi-music-midi planetblupi-music-ogg"
DEFAULT_OUT = Path("/work/data/midiset")
ON_GRID = 0.9


def wad_music(path: Path) -> dict[str, bytes]:
    """The MIDI music lumps (``D_*``) of a Doom WAD, by lump name."""
    data = path.read_bytes()
    _, count, directory = struct.unpack_from("<4sii", data)
    lumps = {}
    for k in range(count):
        offset, size, raw = struct.unpack_from("<ii8s", data, directory + 16 * k)
        name = raw.rstrip(b"\0").decode("ascii", "replace")
        if name.startswith("D_") and data[offset:offset + 4] == b"MThd":
            lumps[name[2:].lower()] = data[offset:offset + size]
    return lumps


def midi_files() -> dict[str, bytes]:
    """Every MIDI file of the packages, distinct by content, by stem."""
    found: dict[str, bytes] = {}
    for path in sorted(SOURCES["openmsx"].glob("*.mid")):
        found[f"openmsx-{path.stem}"] = path.read_bytes()
    for wad in sorted(SOURCES["freedoom"].glob("freedoom*.wad")):
        for name, data in wad_music(wad).items():
            found.setdefault(f"freedoom-{name}", data)
    unique: dict[bytes, str] = {}
    for stem, data in found.items():
        unique.setdefault(data, stem)
    return {stem: data for data, stem in unique.items()}


def notated_beats(path: Path, *, delayed: bool = True) -> tuple[np.ndarray, np.ndarray, float, float]:
    """(beat times, positions, first onset in seconds, share of onsets on the grid) of a MIDI file.

    With ``delayed``, the beats move with a constant delay of the notes
    (the sound of the file itself); without, they stay on the notated grid.
    """
    import mido

    midi = mido.MidiFile(path)
    resolution = midi.ticks_per_beat
    tempi, signatures, onsets = [(0, 500000)], [(0, 4, 4)], []
    end = 0
    for track in midi.tracks:
        tick = 0
        for message in track:
            tick += message.time
            if message.type == "set_tempo":
                tempi.append((tick, message.tempo))
            elif message.type == "time_signature":
                signatures.append((tick, message.numerator, message.denominator))
            elif message.type == "note_on" and message.velocity > 0:
                onsets.append(tick)
        end = max(end, tick)
    tempi.sort(key=lambda e: e[0])
    signatures.sort(key=lambda e: e[0])
    # The generator's tempo-map integration, at its resolution.
    scale = evalset.TICKS_PER_BEAT / resolution
    events = [(t * scale, us) for t, us in tempi]

    def seconds(ticks: np.ndarray) -> np.ndarray:
        return evalset.tick_times(ticks * scale, events)

    changes = [t for t, _, _ in signatures]
    ticks, positions = [], []
    tick, k, current = 0, 0, -1
    while tick <= end:
        latest = bisect.bisect_right(changes, tick) - 1
        if latest != current:
            current, k = latest, 0  # a new signature starts a bar
        _, numerator, denominator = signatures[current]
        compound = denominator == 8 and numerator in (6, 9, 12)
        ticks.append(tick)
        positions.append(k % (numerator // 3 if compound else numerator) + 1)
        tick, k = tick + resolution * 4 // denominator * (3 if compound else 1), k + 1
    onset_ticks = np.array(onsets, dtype=np.float64)
    sixteenth, triplet = resolution / 4, resolution / 3
    # Some files play every note a constant few ticks late: measure the grid
    # from the commonest phase within a sixteenth.
    phases = np.floor((onset_ticks % sixteenth) / sixteenth * 24)
    delay = np.bincount(phases.astype(np.int64), minlength=24).argmax() * sixteenth / 24 if len(onsets) else 0.0
    onset_ticks = onset_ticks - delay
    on_grid = np.minimum(np.abs(onset_ticks / sixteenth - np.round(onset_ticks / sixteenth)) * sixteenth,
                         np.abs(onset_ticks / triplet - np.round(onset_ticks / triplet)) * triplet)
    share = float(np.mean(on_grid <= resolution / 48)) if len(onsets) else 0.0
    first = float(seconds(np.array([min(onsets)], dtype=np.float64))[0]) if onsets else 0.0
    beats = np.array(ticks, dtype=np.float64) + (delay if delayed else 0.0)
    return seconds(beats), np.array(positions), first, share


def cut(signal: np.ndarray, rate: int, start: float, seconds: float) -> np.ndarray:
    return signal[int(round(start * rate)):int(round((start + seconds) * rate))]


def write_piece(stem: Path, signal: np.ndarray, rate: int, times: np.ndarray, positions: np.ndarray,
           start: float, seconds: float) -> None:
    import soundfile

    keep = (times >= start) & (times < start + seconds)
    peak = max(float(np.max(np.abs(signal))), 1e-9)
    soundfile.write(stem.with_suffix(".flac"), signal * (0.89 / peak), rate, subtype="PCM_16", format="FLAC")
    evalset.write_beats(stem.with_suffix(".beats"), times[keep] - start, positions[keep])


def render_fluidr3(stem: str, data: bytes, out: Path, seconds: float) -> str:
    """Render one MIDI file into ``out``; a line saying what was done."""
    import soundfile

    target = out / stem
    if target.with_suffix(".beats").exists():
        return f"{stem}: cached"
    with tempfile.TemporaryDirectory() as scratch:
        midi, wav = Path(scratch) / "piece.mid", Path(scratch) / "piece.wav"
        midi.write_bytes(data)
        try:
            times, positions, first, share = notated_beats(midi)
        except (OSError, EOFError, ValueError) as error:
            return f"{stem}: unreadable ({error})"
        if share < ON_GRID:
            return f"{stem}: left out, {100 * share:.0f} % of onsets on the grid"
        evalset._fluidsynth(midi, wav)
        signal, rate = soundfile.read(wav, dtype="float64")
    times = times + evalset.RENDER_OFFSET
    write_piece(target, cut(signal.mean(axis=1), rate, first, seconds), rate, times, positions, first, seconds)
    return f"{stem}: {harness.beats_tempo(times):.1f} BPM"


def copy_blupi(path: Path, out: Path, seconds: float) -> str:
    """Cut one Planet Blupi Ogg and annotate it from its MIDI file."""
    import soundfile

    target = out / f"blupi-{path.stem}"
    if target.with_suffix(".beats").exists():
        return f"{target.name}: cached"
    # Their authors rendered them without the MIDI files' constant delay.
    times, positions, first, share = notated_beats(path.with_suffix(".mid"), delayed=False)
    if share < ON_GRID:
        return f"{target.name}: left out, {100 * share:.0f} % of onsets on the grid"
    signal, rate = soundfile.read(path, dtype="float64", always_2d=True)
    write_piece(target, cut(signal.mean(axis=1), rate, first, seconds), rate, times, positions, first, seconds)
    return f"{target.name}: {harness.beats_tempo(times):.1f} BPM"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    parser.add_argument("--seconds", type=float, default=90.0, help="length kept from each piece's first note")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    args = parser.parse_args(argv)
    missing = [name for name, folder in SOURCES.items() if not folder.is_dir()]
    if missing:
        raise SystemExit(f"missing {', '.join(missing)}: apt-get install {PACKAGES}")
    evalset.ensure_renderer()
    (args.out / "fluidr3").mkdir(parents=True, exist_ok=True)
    (args.out / "blupi").mkdir(parents=True, exist_ok=True)
    pieces = midi_files()
    with ThreadPoolExecutor(max(1, args.jobs)) as pool:
        lines = list(pool.map(lambda item: render_fluidr3(*item, args.out / "fluidr3", args.seconds),
                              pieces.items()))
        lines += list(pool.map(lambda path: copy_blupi(path, args.out / "blupi", args.seconds),
                               sorted(SOURCES["blupi"].glob("*.ogg"))))
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(harness.run_main(main))
