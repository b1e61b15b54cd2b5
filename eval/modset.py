"""Tracker modules with exact beats: composed music played on recorded samples.

    python eval/modset.py [--out DIR] [--seconds S] [--jobs N] [--part all|training|checking] [--sing]

The generator's pieces and the MIDI files of ``midiset.py`` sound through
General MIDI banks. A tracker module carries its own instruments, most of
them recorded (drum breaks, guitars, voices, synthesisers sampled from the
record), and its timing is exact: every row of a pattern starts a fixed
number of ticks after the last, at the speed and tempo its effects set.
Debian ships a few hundred modules with its games (the packages in
``PACKAGES``; none is held out). ``libopenmpt`` (Debian's ``libopenmpt0``,
through ctypes) plays each one once, as the game does, and this script
writes its first ``--seconds`` (90) as ``<package>-<name>.flac`` beside
``<package>-<name>.beats``, the format ``eval/frontends.py --set valid
--valid DIR`` scores.

The times are libopenmpt's own: the audio is rendered in blocks of 32
samples and each row starts in the middle of the block in which the
player's current row changes (within 0.4 ms). Which rows are beats is
the composer's choice and modules seldom say. Impulse Tracker files name
their rows per beat and per bar (the pattern highlight); other formats
get the trackers' habit, 4 rows per beat and 4 beats per bar. Where that
beat runs faster than ``FASTEST_BPM``, twice as many rows make a beat
(speed 3 at tempo 125 is eighths at 250 BPM: the beat a listener taps is
125). So the annotated octave is a convention here, more than elsewhere:
read AMLt beside F and CMLt. Bars count from each pattern's first row.
Modules shorter than ``SHORTEST`` seconds (jingles) and duplicates are
left out. ``--part`` splits by package, for training on modules and
checking on the others (``TRAINING_PACKAGES``).

``--sing`` writes each piece with a sung line over it (``<name>-sung``):
the generator's singer (``trainset``'s voice split, its training
SoundFonts; FluidR3 GM with ``--part checking`` or ``all``) in the
module's key and on its beats, on the pitch classes loudest in each bar.
Real songs are sung over recorded instruments; without this, every sung
line the network hears is over a General MIDI band.
"""

from __future__ import annotations

import argparse
import ctypes
import functools
import hashlib
import json
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ProcessPoolExecutor
from dataclasses import replace
from pathlib import Path
from typing import cast

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import evalset  # noqa: E402
import harness  # noqa: E402
import midiset  # noqa: E402
import trainset  # noqa: E402
from cadentia.frontend.flux_downbeat import frame_chroma  # noqa: E402

PACKAGES = (
    "armagetronad ballz-data biniax2-data bomberclone-data bugsquish ceferino-data circuslinux-data "
    "criticalmass-data cuyo-data dodgindiamond2 flobopuyo freedroid-data gemdropx gl-117-data gltron "
    "gweled heroes-sound-tracks ironseed-data madbomber-data monsterz-data njam-data open-invaders-data "
    "pachi-data pathogen pekka-kana-2-data penguin-command pingus-data rafkill-data ri-li-data solarwolf "
    "tecnoballz-data tomatoes-data tuxtype-data vectoroids vodovod"
).split()
# A split by package for training on modules (with --part): these, whose
# beats are 60-160 BPM (above, the rows' octave is a guess a network should
# not learn), train; the other packages check.
TRAINING_PACKAGES = frozenset((
    "ballz-data bomberclone-data bugsquish ceferino-data circuslinux-data cuyo-data freedroid-data gemdropx "
    "gltron heroes-sound-tracks ironseed-data madbomber-data monsterz-data njam-data pathogen pekka-kana-2-data "
    "penguin-command"
).split())
TRAINING_TEMPI = (60.0, 160.0)
SUFFIXES = {".mod", ".xm", ".s3m", ".it", ".mptm"}
DEFAULT_OUT = Path("/work/data/modset")
RATE = 44100
BLOCK = 32
FASTEST_BPM = 200.0
SHORTEST = 20.0
# Krumhansl and Kessler's key profiles, from C: a module's key for its singer.
KEY_PROFILES = ((evalset.MAJOR, (6.35, 2.23, 3.48, 2.33, 4.38, 4.09, 2.52, 5.19, 2.39, 3.66, 2.29, 2.88)),
                (evalset.MINOR, (6.33, 2.68, 3.52, 5.38, 2.60, 3.53, 2.54, 4.75, 3.98, 2.69, 3.34, 3.17)))
CHROMA_FPS = 20.0
SUNG_LEVEL_DB = (-8.0, 2.0)  # the line's loudness against the module's


def module_files(packages: tuple[str, ...] | list[str] = PACKAGES) -> dict[str, Path]:
    """Every module the installed ``packages`` hold, by ``<package>-<name>``, without duplicates."""
    found: dict[str, Path] = {}
    seen: set[str] = set()
    for package in packages:
        listing = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True).stdout
        for line in sorted(listing.splitlines()):
            path = Path(line)
            if path.suffix.lower() in SUFFIXES and path.is_file():
                digest = hashlib.sha256(path.read_bytes()).hexdigest()
                if digest not in seen:
                    seen.add(digest)
                    found[f"{package.removesuffix('-data')}-{path.stem.lower()}"] = path
    return found


@functools.cache
def _library() -> ctypes.CDLL:
    lib = ctypes.CDLL("libopenmpt.so.0")
    module, c_int32 = ctypes.c_void_p, ctypes.c_int32
    lib.openmpt_module_create_from_memory2.restype = module
    lib.openmpt_module_create_from_memory2.argtypes = [
        ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
        ctypes.c_void_p, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_char_p), ctypes.c_void_p]
    for name in ("order", "row"):
        getter = getattr(lib, f"openmpt_module_get_current_{name}")
        getter.restype, getter.argtypes = c_int32, [module]
    lib.openmpt_module_read_float_stereo.restype = ctypes.c_size_t
    # The two channels are addresses into NumPy buffers (see play).
    lib.openmpt_module_read_float_stereo.argtypes = [
        module, c_int32, ctypes.c_size_t, ctypes.c_void_p, ctypes.c_void_p]
    lib.openmpt_module_destroy.argtypes = [module]
    return lib


def play(data: bytes, seconds: float) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The module played once (at most ``seconds`` of it): mono audio at ``RATE``, and each row's start and index."""
    lib = _library()
    error, message = ctypes.c_int(0), ctypes.c_char_p()
    silent = ctypes.cast(lib.openmpt_log_func_silent, ctypes.c_void_p)
    module = lib.openmpt_module_create_from_memory2(data, len(data), silent, None, None, None,
                                                    ctypes.byref(error), ctypes.byref(message), None)
    if not module:
        raise ValueError(f"libopenmpt cannot read it (error {error.value})")
    # The player writes each block straight into the two channels; they
    # are mixed once at the end.
    left, right = (np.zeros(int(seconds * RATE) + BLOCK, np.float32) for _ in range(2))
    starts, rows = [], []
    done, last = 0, None
    try:
        while done < seconds * RATE and (got := lib.openmpt_module_read_float_stereo(
                module, RATE, BLOCK, left.ctypes.data + left.itemsize * done,
                right.ctypes.data + right.itemsize * done)):
            now = (lib.openmpt_module_get_current_order(module), lib.openmpt_module_get_current_row(module))
            if now != last:
                starts.append((done + got / 2) / RATE)
                rows.append(now[1])
                last = now
            done += got
    finally:
        lib.openmpt_module_destroy(module)
    signal = (left[:done] + right[:done]) / 2
    return signal.astype(np.float64), np.array(starts), np.array(rows)


def highlight(data: bytes) -> tuple[int, int]:
    """Rows per beat and per bar: an Impulse Tracker file's highlight, else the habit, 4 and 16."""
    if data[:4] == b"IMPM" and 0 < data[0x1E] <= data[0x1F] and data[0x1F] % data[0x1E] == 0:
        return data[0x1E], data[0x1F]
    return 4, 16


def beats_of_rows(starts: np.ndarray, rows: np.ndarray, per_beat: int, per_bar: int
                  ) -> tuple[np.ndarray, np.ndarray, int]:
    """Beat times, positions in the bar and rows per beat, at a beat no faster than ``FASTEST_BPM``."""
    beats_per_bar = per_bar // per_beat
    while True:
        on = rows % per_beat == 0
        tempo = harness.beats_tempo(starts[on]) or 0.0
        if tempo <= FASTEST_BPM or per_beat * 2 > 64:
            break
        per_beat *= 2
        beats_per_bar = max(1, beats_per_bar // 2)
    return starts[on], (rows[on] // per_beat) % beats_per_bar + 1, per_beat


def sung_line(signal: np.ndarray, times: np.ndarray, positions: np.ndarray, split: str, index: int
              ) -> tuple[np.ndarray, dict] | None:
    """The generator's singer over a played module: the line's audio, as long as ``signal``, and what it is.

    The singer of piece ``index`` of ``split`` (``trainset.plan_piece``:
    its voice, SoundFont and reverb) sings in the module's key (the best
    fitting key profile) and meter, on its beats (a tempo event per beat),
    each bar's strong notes on the three loudest pitch classes there. None
    where the module has fewer than four bars before its first long pause
    or the generator no style in its meter.
    """
    import soundfile

    meter = int(positions.max()) if positions.size else 0
    downbeats = np.flatnonzero(positions == 1)
    if not downbeats.size or times.size - downbeats[0] < 4 * meter + 1:
        return None
    beats = times[downbeats[0]:]
    # The singer stops where the music does (a pattern delay, a long pause).
    gaps = np.diff(beats)
    beats = beats[:np.argmax(np.append(gaps > 2 * np.median(gaps), True)) + 1]
    if beats.size < 4 * meter + 1:
        return None
    chroma = np.roll(frame_chroma(signal, RATE, CHROMA_FPS, int(signal.size / RATE * CHROMA_FPS) + 1), -3, axis=1)
    fits = [(float(np.corrcoef(chroma.sum(axis=0), np.roll(profile, key))[0, 1]), key, scale)
            for scale, profile in KEY_PROFILES for key in range(12)]
    _, key, scale = max(fits)
    # Where the generator has no style in the module's meter (2, mostly), a sung bar is two of its bars.
    for sung_meter in (meter, 2 * meter):
        styles = sorted(name for name, g in trainset.GROOVES.items()
                        if g.meter == sung_meter and g.sub == 4 and scale in g.scales)
        if styles:
            break
    else:
        return None
    plan = trainset.plan_piece(split, index)
    style = styles[int(np.random.default_rng([plan.seed, 5]).integers(len(styles)))]
    sub = trainset.GROOVES[style].sub
    meter = sung_meter
    piece = replace(plan, style=style, meter=meter, tempo=float(60.0 / np.median(np.diff(beats))),
                    bars=(beats.size - 1) // meter, key=key, scale=trainset.GROOVES[style].scales.index(scale),
                    intro=0, pickup=0)

    def chord_of(bar: int) -> list[int]:
        span = beats[[bar * meter, min((bar + 1) * meter, beats.size - 1)]] * CHROMA_FPS
        return [int(c) for c in np.argsort(chroma[round(span[0]):round(span[1]) + 1].sum(axis=0))[-3:]]

    # Tick 0 is the first downbeat; the line's bar ticks and steps to ticks, straight.
    track = trainset._sung_line(piece, 0, chord_of, lambda bar_tick, step: bar_tick + round(step * trainset.TPB / sub))
    events = [(k * trainset.TPB, round(float(b - a) * 1e6)) for k, (a, b) in enumerate(zip(beats, beats[1:]))]
    with tempfile.TemporaryDirectory() as tmp:
        midi, wav = Path(tmp) / "line.mid", Path(tmp) / "line.wav"
        evalset.write_midi(cast(evalset.Piece, piece), midi, tracks=[track], events=events)
        evalset._fluidsynth(midi, wav, soundfont=trainset.SOUNDFONTS[piece.soundfont][0],
                            options=trainset._fluid_options(piece))
        rendered, rate = soundfile.read(wav, dtype="float64", always_2d=True)
    assert rate == RATE
    # FluidSynth sounds tick 0 RENDER_OFFSET in: the line starts that much before the first downbeat.
    shift = round((beats[0] - evalset.RENDER_OFFSET) * RATE)
    line = np.zeros(signal.size)
    part = rendered.mean(axis=1)[max(0, -shift):signal.size - shift]
    line[max(0, shift):max(0, shift) + part.size] = part
    level = float(np.random.default_rng([plan.seed, 6]).uniform(*SUNG_LEVEL_DB))
    line *= np.sqrt(np.mean(signal ** 2) / max(float(np.mean(line ** 2)), 1e-12)) * 10 ** (level / 20)
    return line, {"voice": piece.voice[0] if piece.voice else None, "soundfont": piece.soundfont, "key": key,
                  "mode": "major" if scale == evalset.MAJOR else "minor", "style": style, "level_db": round(level, 2),
                  "notes": len(track.notes)}


def render(stem: str, path: Path, out: Path, seconds: float, tempi: tuple[float, float] | None = None,
           sing: str = "") -> str:
    """Play one module into ``out`` (if its beat is within ``tempi``), sung over by a
    singer of split ``sing`` if given (``sung_line``); a line saying what was done."""
    stem = f"{stem}-sung" if sing else stem
    target = out / stem
    if target.with_suffix(".json").exists():
        return f"{stem}: cached"
    data = path.read_bytes()
    try:
        signal, starts, rows = play(data, seconds + 30.0)
    except (OSError, ValueError) as error:
        return f"{stem}: unreadable ({error})"
    if len(signal) < SHORTEST * RATE:
        return f"{stem}: left out, {len(signal) / RATE:.1f} s"
    times, positions, per_beat = beats_of_rows(starts, rows, *highlight(data))
    tempo = harness.beats_tempo(times) or 0.0
    if tempi is not None and not tempi[0] <= tempo <= tempi[1]:
        return f"{stem}: left out, {tempo:.1f} BPM"
    sounding = np.flatnonzero(np.abs(signal) > 1e-4)
    first = float(sounding[0]) / RATE if sounding.size else 0.0
    signal = midiset.cut(signal, RATE, first, seconds)
    singer = {}
    if sing:
        keep = (times >= first) & (times < first + seconds)
        index = int(hashlib.sha256(stem.encode()).hexdigest()[:8], 16)
        sung = sung_line(signal, times[keep] - first, positions[keep], sing, index)
        if sung is None:
            return f"{stem}: left out, no sung line ({int(positions.max())} beats per bar)"
        signal, singer = signal + sung[0], {"singer": sung[1]}
    midiset.write_piece(target, signal, RATE, times, positions, first, seconds)
    # Written last: a piece with its .json is whole (as the training set's are).
    target.with_suffix(".json").write_text(json.dumps({
        "name": stem, "source": str(path), "rows_per_beat": per_beat,
        "beats_per_bar": int(positions.max()), "tempo": tempo, "start": first, **singer}, indent=1) + "\n")
    return f"{stem}: {tempo:.1f} BPM"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    parser.add_argument("--seconds", type=float, default=90.0, help="length kept from each piece's first sound")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--part", choices=("all", "training", "checking"), default="all",
                        help="every package, or the training packages' pieces at 60-160 BPM, or the others")
    parser.add_argument("--sing", action="store_true",
                        help="add the generator's sung line to each piece (<name>-sung): its training "
                             "SoundFonts for --part training, FluidR3 GM otherwise")
    args = parser.parse_args(argv)
    try:
        _library()
    except OSError:
        raise SystemExit("libopenmpt is missing: apt-get install libopenmpt0") from None
    packages = [p for p in PACKAGES if args.part == "all" or (p in TRAINING_PACKAGES) == (args.part == "training")]
    pieces = module_files(packages)
    if not pieces:
        raise SystemExit(f"no modules found: apt-get install {' '.join(PACKAGES)}")
    args.out.mkdir(parents=True, exist_ok=True)
    with ProcessPoolExecutor(max(1, args.jobs)) as pool:
        lines = list(pool.map(render, pieces, pieces.values(), [args.out] * len(pieces),
                              [args.seconds] * len(pieces),
                              [TRAINING_TEMPI if args.part == "training" else None] * len(pieces),
                              [("voice" if args.part == "training" else "valid-voice") if args.sing else ""]
                              * len(pieces)))
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(harness.run_main(main))
