"""Tracker modules with exact beats: composed music played on recorded samples.

    python eval/modset.py [--out DIR] [--seconds S] [--jobs N] [--part all|training|checking]

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
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
import midiset  # noqa: E402

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


def render(stem: str, path: Path, out: Path, seconds: float, tempi: tuple[float, float] | None = None) -> str:
    """Play one module into ``out`` (if its beat is within ``tempi``); a line saying what was done."""
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
    midiset.write_piece(target, midiset.cut(signal, RATE, first, seconds), RATE, times, positions, first, seconds)
    # Written last: a piece with its .json is whole (as the training set's are).
    target.with_suffix(".json").write_text(json.dumps({
        "name": stem, "source": str(path), "rows_per_beat": per_beat,
        "beats_per_bar": int(positions.max()), "tempo": tempo, "start": first}, indent=1) + "\n")
    return f"{stem}: {tempo:.1f} BPM"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT)
    parser.add_argument("--seconds", type=float, default=90.0, help="length kept from each piece's first sound")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--part", choices=("all", "training", "checking"), default="all",
                        help="every package, or the training packages' pieces at 60-160 BPM, or the others")
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
                              [TRAINING_TEMPI if args.part == "training" else None] * len(pieces)))
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(harness.run_main(main))
