"""A training set for the beat and downbeat network: thousands of seeded pieces.

Every piece is drawn at random from (seed, split, index) alone: a style, a
tempo (50 to 220 BPM, log-uniform) with a tempo curve (constant, a step, a
ramp or rubato, all under the players' drift), a meter (2, 3, 4, 6/8 felt in
two, 12/8 felt in four), a key, a form (intro, pickup, breakdowns, stop
bars, fills), instruments from plausible families, mixing levels, a
SoundFont and an audio augmentation chain. The notes are written as a
General MIDI file and rendered by FluidSynth, exactly as the evaluation set
(``evalset.py``) is; the beats come from the tempo map, never from audio.

Conventions are the evaluation set's: the annotated beat is the MIDI
quarter note of the generated file, which is the tapped pulse (the dotted
quarter in 6/8 and 12/8: those pieces are written with one MIDI beat per
dotted quarter); ``<stem>.beats`` has ``time position`` lines with 1 on
the downbeat, pickup beats included (a one-beat pickup in 4/4 is beat 4).

Splits differ in seed stream and in timbre: ``train`` renders through
MuseScore General Lite, TimGM6mb and the OPL-3 FM bank;
``valid`` through FluidR3 GM only, the SoundFont of the evaluation set;
``kits`` like ``train``, but its drums are played on one of two sampled
acoustic kits (the AVL Black Pearl and Red Zeppelin kits) rendered
apart and mixed in at a drawn level, since the General MIDI banks' kits
all sound alike and real recordings do not; ``voice`` like ``kits``, with
a sung line over the band (a choir or voice preset, or a reed, brass or
bowed lead phrased like a singer: phrases between breaths, syllables
anticipating the beat, scoops and delayed vibrato), since real songs are
sung and a voice's onsets do not follow the beat; ``valid-voice`` the
same sung lines through FluidR3 GM, to check that they do not throw the
network off; ``band`` guitar bands on the sampled kits, the guitars
through an amplifier and cabinet model (``amplifier``), and ``club``
electronic music on a synthesised drum machine (``drum_machine``), both
half of the time with a sung line; ``valid-band`` and ``valid-club`` the
same through FluidR3 GM, for measuring.

Run ``python eval/trainset.py --hours 20 --valid-hours 1.5 --out DIR``;
finished pieces are skipped, and ``DIR/<split>/index.json`` lists what is
there (refreshed as the run goes).
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import subprocess
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from typing import cast

import numpy as np
import numpy.typing as npt

sys.path.insert(0, str(Path(__file__).resolve().parent))

import evalset  # noqa: E402
from evalset import (  # noqa: E402
    CLAP, CLOSED_HAT, CRASH, HIGH_TOM, KICK, LOW_TOM, MAJOR, MINOR, OPEN_HAT, PEDAL_HAT, RIDE,
    PITCH_BEND, SAMPLE_RATE, SIDE_STICK, SNARE, STYLES, TAMBOURINE, TICKS_PER_BEAT, _Track, tick_times,
)

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "trainset"
# Bump when the generated music, the rendering or the augmentation changes.
TRAINSET_VERSION = 1
TPB = TICKS_PER_BEAT
GAP = TPB // 48  # between repeated notes, so each is struck anew
LEAD_IN_BEATS = 1  # silent beat before the first annotated beat (pickup or downbeat)
CLOSING_BEATS = 2
TAIL_SECONDS = 1.0
SPLIT_STREAM = {"train": 1, "valid": 2, "kits": 3, "voice": 4, "valid-voice": 5, "band": 6, "valid-band": 7,
                "club": 8, "valid-club": 9}

SF2, SF3 = Path("/usr/share/sounds/sf2"), Path("/usr/share/sounds/sf3")
# (path, licence, weight in its split)
SOUNDFONTS: dict[str, tuple[Path, str, float]] = {
    "MuseScore_General_Lite": (SF3 / "MuseScore_General_Lite.sf3", "MIT", 1.0),
    "TimGM6mb": (SF2 / "TimGM6mb.sf2", "GPL-2", 1.0),
    "OPL-3_FM_128M": (SF2 / "OPL-3_FM_128M.sf2", "GPL-3+", 0.5),
    "FluidR3_GM": (SF2 / "FluidR3_GM.sf2", "MIT", 1.0),
    # Drum kits (one preset, bank 0, General MIDI percussion keys): Debian's avldrums.lv2-soundfont.
    "Black_Pearl_4_LV2": (SF2 / "Black_Pearl_4_LV2.sf2", "GPL-2+", 1.0),
    "Red_Zeppelin_4_LV2": (SF2 / "Red_Zeppelin_4_LV2.sf2", "GPL-2+", 1.0),
}
SPLIT_SOUNDFONTS = {
    # FluidR3_GS.sf2 is left out: it holds only GS variation banks, no bank-0
    # GM presets and no drum kit, so alone it renders silence.
    "train": ("MuseScore_General_Lite", "TimGM6mb", "OPL-3_FM_128M"),
    "valid": ("FluidR3_GM",),
    "kits": ("MuseScore_General_Lite", "TimGM6mb", "OPL-3_FM_128M"),
    "voice": ("MuseScore_General_Lite", "TimGM6mb", "OPL-3_FM_128M"),
    "valid-voice": ("FluidR3_GM",),  # sung lines on the held-out SoundFont
    "band": ("MuseScore_General_Lite", "TimGM6mb", "OPL-3_FM_128M"),
    "valid-band": ("FluidR3_GM",),
    "club": ("MuseScore_General_Lite", "TimGM6mb", "OPL-3_FM_128M"),
    "valid-club": ("FluidR3_GM",),
}
KITS = ("Black_Pearl_4_LV2", "Red_Zeppelin_4_LV2")
SPLIT_KITS = {"kits": KITS, "voice": KITS, "band": KITS}  # splits whose drummed pieces play on a sampled kit
# Splits whose pieces have a sung line, and how many of them.
SPLIT_VOICE = {"voice": 1.0, "valid-voice": 1.0, "band": 0.5, "valid-band": 0.5, "club": 0.5, "valid-club": 0.5}
# Guitar bands: styles whose chords are mostly played on guitars, the
# guitars through an amplifier and speaker cabinet.
SPLIT_AMP = ("band", "valid-band")
# Electronic music: styles with a synth bass, their drums from a drum machine
# (synthesised here: sine-sweep kicks, noise hats and claps).
SPLIT_MACHINE = ("club", "valid-club")
SPLIT_HOURS = {"valid": 1.5, "valid-voice": 0.75, "valid-band": 0.5, "valid-club": 0.5, "train": 20.0, "kits": 4.0,
               "voice": 4.0, "band": 3.0, "club": 3.0}  # rendered in this order

# More GM percussion than evalset names.
LOW_FLOOR_TOM, HIGH_FLOOR_TOM, COWBELL, MUTE_CONGA, OPEN_CONGA, LOW_CONGA = 41, 43, 56, 62, 63, 64
HIGH_AGOGO, MARACAS, CLAVES, WOOD_BLOCK, CHINA = 67, 70, 75, 76, 52

PHRYGIAN = (0, 1, 3, 5, 7, 8, 10)
MIXOLYDIAN = (0, 2, 4, 5, 7, 9, 10)
DORIAN = (0, 2, 3, 5, 7, 9, 10)

# General MIDI program families: a piece takes any member of its style's family.
PIANOS = (0, 1, 2, 3, 4, 5)
ORGANS = (16, 17, 18, 19)
KEYS = PIANOS + ORGANS
CLEAN_GUITARS = (24, 25, 26, 27, 28)
DIST_GUITARS = (29, 30)
BASSES = (32, 33, 34, 35, 36, 37)
SYNTH_BASSES = (38, 39, 87)
BOWED = (40, 41, 42, 48, 49, 44)
BRASS = (56, 57, 59, 60, 61, 62, 63)
REEDS = (64, 65, 66, 67, 68, 69, 71)
PIPES = (72, 73, 74, 75, 78, 79)
SYNTH_LEADS = (80, 81, 82, 83, 84, 85, 86)
GUITARS = frozenset(range(24, 32))
VOICES = (52, 53, 54, 85)  # choir, voice oohs, synth voice, voice lead
SUNG_LEADS = (40, 56, 65, 66, 68, 71)  # instruments that can carry a sung line's phrasing
PADS = (48, 49, 50, 51, 52, 53, 88, 89, 90, 91, 92, 93, 94, 95)
MALLETS = (8, 9, 10, 11, 12, 13)
SQUEEZE = (21, 22, 23)
PLUCKED = (24, 25, 45, 46, 104, 105, 106, 107)
FAMILIES = (PIANOS, ORGANS, CLEAN_GUITARS, DIST_GUITARS, BASSES, SYNTH_BASSES, BOWED, BRASS,
            REEDS, PIPES, SYNTH_LEADS, PADS, MALLETS, SQUEEZE, PLUCKED)


def family_of(program: int) -> tuple[int, ...]:
    """The first family holding ``program`` (itself alone when none does)."""
    return next((f for f in FAMILIES if program in f), (program,))


# --------------------------------------------------------------------------
# Grooves: one style's bar on a grid of ``sub`` steps per beat (4: sixteenths;
# 6: a compound beat of three eighths, two steps each; 8: 32nds).
# --------------------------------------------------------------------------

Drums = tuple[tuple[int, tuple[int, ...], int], ...]


@dataclass(frozen=True)
class Groove:
    """A style: patterns, instrument families and the tempi it is played at."""

    meter: int
    tempo: tuple[float, float]  # plausible annotated BPM
    drums: tuple[Drums, ...]  # pattern options (a piece plays one in its first half, one after)
    bass: tuple[tuple[int, int, int], ...] | str  # (step, length, chord tone) or "walk"
    bass_family: tuple[int, ...]
    comp: tuple[tuple[int, int], ...]
    comp_family: tuple[int, ...]
    lead_family: tuple[int, ...] | None
    lead_rhythms: tuple[tuple[int, ...], ...]
    comp_mode: str = "chord"  # chord, power, arp or strum
    pad_family: tuple[int, ...] | None = None
    sub: int = 4
    period: int = 1  # bars one drum pattern spans (a two-bar clave)
    scales: tuple[tuple[int, ...], ...] = (MAJOR,)
    progressions: tuple[tuple[int, ...], ...] = ((0, 3, 4, 0),)
    sevenths: bool = False
    swing: bool = False
    comp_octave: int = 0
    fills: bool = True
    pushes: float = 0.0
    wobble: float = 0.012
    timing: float = 0.008
    drum_share: float = 0.9  # chance a piece of this style has its drums
    solo: bool = False  # one instrument plays every part
    weight: float = 1.0


def _eighths(meter: int, sub: int = 4) -> tuple[int, ...]:
    return tuple(range(0, meter * sub, sub // 2))


def _sixteenths(meter: int) -> tuple[int, ...]:
    return tuple(range(4 * meter))


# The evaluation set's styles, with their own patterns; only their tempi,
# instruments (within the family) and forms vary here.
_CLASSIC_TEMPI = {
    "rock": (80, 170), "pop": (70, 140), "electronic": (110, 180), "funk": (80, 125),
    "swing": (90, 220), "shuffle": (70, 140), "waltz": (80, 200), "country": (100, 220),
    "ballad": (50, 90), "piano": (50, 160), "strings": (50, 140), "folk": (70, 190),
    "hiphop": (70, 105), "punk": (150, 220), "dnb": (160, 180), "soul": (55, 90),
}


def _classic(name: str) -> Groove:
    s = STYLES[name]
    mode = "arp" if s.arpeggio else "power" if s.comp_program in DIST_GUITARS else "chord"
    return Groove(
        s.meter, _CLASSIC_TEMPI[name], (s.drums,) if s.drums else (), s.bass, family_of(s.bass_program),
        s.comp, family_of(s.comp_program), family_of(s.lead_program), s.lead_rhythms, comp_mode=mode,
        pad_family=family_of(s.pad_program) if s.pad_program is not None else None,
        scales=(s.scale,), progressions=(s.progression,), sevenths=s.sevenths, swing=s.swing,
        comp_octave=s.comp_octave, fills=s.fills, pushes=s.pushes, wobble=s.wobble, timing=s.timing,
        drum_share=0.85 if s.drums else 0.0)


Q4 = (0, 4, 8, 12)
E4 = _eighths(4)
S4 = _sixteenths(4)

GROOVES: dict[str, Groove] = {name: _classic(name) for name in STYLES}
GROOVES.update({
    # Metal: palm-muted power-chord chugs over double kick.
    "metal": Groove(
        4, (90, 210),
        (((KICK, S4, 100), (SNARE, (4, 12), 118), (CRASH, Q4, 76)),
         ((KICK, (0, 2, 3, 6, 8, 10, 11, 14), 104), (SNARE, (4, 12), 116), (CLOSED_HAT, E4, 80)),
         ((KICK, E4, 100), (SNARE, (4, 12), 115), (CHINA, Q4, 70))),
        tuple((s, 1, 0) for s in (0, 2, 3, 4, 6, 7, 8, 10, 11, 12, 14)), (33, 34),
        ((0, 1), (2, 1), (3, 1), (4, 1), (6, 1), (7, 1), (8, 1), (10, 1), (11, 1), (12, 2), (14, 2)),
        DIST_GUITARS, DIST_GUITARS, ((0, 4, 8, 12), (0, 2, 4, 6, 8, 10, 12, 14), (0, 6, 8)),
        comp_mode="power", comp_octave=-1, scales=(MINOR, PHRYGIAN),
        progressions=((0, 0, 5, 6), (0, 5, 6, 4), (0, 1, 0, 6)), pushes=0.15, wobble=0.006, timing=0.004),
    "hardrock": Groove(
        4, (80, 170),
        (((KICK, (0, 6, 8), 106), (SNARE, (4, 12), 110), (RIDE, E4, 70)),
         ((KICK, (0, 8, 10), 104), (SNARE, (4, 12), 108), (OPEN_HAT, E4, 62))),
        tuple((s, 2, 0) for s in E4), BASSES,
        ((0, 3), (3, 3), (6, 2), (8, 6), (14, 2)), DIST_GUITARS, DIST_GUITARS + SYNTH_LEADS[:2],
        ((0, 4, 8, 12), (0, 2, 4, 8, 10, 12), (0, 6, 8, 14)), comp_mode="power", comp_octave=-1,
        scales=(MIXOLYDIAN, MINOR), progressions=((0, 6, 3, 0), (0, 3, 6, 4)), pushes=0.3),
    # Electronic variants, on a strict grid.
    "house": Groove(
        4, (110, 132),
        (((KICK, Q4, 112), (CLAP, (4, 12), 90), (OPEN_HAT, (2, 6, 10, 14), 72), (CLOSED_HAT, S4, 40)),
         ((KICK, Q4, 112), (SNARE, (4, 12), 80), (CLOSED_HAT, (2, 6, 10, 14), 70), (TAMBOURINE, (2, 6, 10, 14), 50))),
        ((2, 2, 0), (6, 2, 0), (10, 2, 2), (14, 2, 0)), SYNTH_BASSES + (33,),
        ((3, 1), (6, 2), (10, 1), (12, 2)), KEYS, SYNTH_LEADS, ((0, 3, 6, 8, 11), (0, 8), (2, 6, 10, 14)),
        pad_family=PADS, scales=(MINOR, DORIAN), progressions=((0, 5, 3, 4), (0, 3)), sevenths=True,
        fills=False, wobble=0.0, timing=0.0),
    "techno": Groove(
        4, (120, 150),
        (((KICK, Q4, 118), (CLOSED_HAT, (2, 6, 10, 14), 76), (SIDE_STICK, (3, 11), 50)),
         ((KICK, Q4, 118), (OPEN_HAT, (2, 6, 10, 14), 70), (CLAP, (4, 12), 70), (CLOSED_HAT, S4, 36))),
        tuple((s, 1, 0) for s in (1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15)), SYNTH_BASSES,
        tuple((s, 2) for s in E4), SYNTH_LEADS, None, ((0,),), comp_mode="arp", pad_family=PADS[6:],
        scales=(MINOR, PHRYGIAN), progressions=((0,), (0, 0, 5, 5)), fills=False, wobble=0.0, timing=0.0),
    "trance": Groove(
        4, (125, 145),
        (((KICK, Q4, 114), (OPEN_HAT, (2, 6, 10, 14), 74), (CLAP, (4, 12), 84)),),
        tuple((s, 1, 0) for s in (2, 3, 6, 7, 10, 11, 14, 15)), SYNTH_BASSES,
        tuple((s, 1) for s in S4), SYNTH_LEADS, SYNTH_LEADS, ((0, 4, 8, 12), (0, 6, 12), (0, 2, 4, 8, 12)),
        comp_mode="arp", pad_family=PADS[6:], scales=(MINOR,), progressions=((0, 5, 2, 6), (0, 3, 5, 4)),
        fills=False, wobble=0.0, timing=0.0),
    "breakbeat": Groove(
        4, (110, 140),
        (((KICK, (0, 10), 110), (SNARE, (4, 12), 106), (SNARE, (7, 15), 40), (CLOSED_HAT, E4, 66)),
         ((KICK, (0, 3, 10), 110), (SNARE, (4, 12), 106), (CLOSED_HAT, S4, 50))),
        ((0, 3, 0), (3, 3, 0), (10, 2, 2), (12, 2, 0)), SYNTH_BASSES,
        ((0, 2), (6, 2), (10, 2)), BRASS[4:] + KEYS, SYNTH_LEADS + BRASS, ((0, 6, 8), (2, 6, 10, 14), (0, 8, 12)),
        scales=(MINOR, DORIAN), progressions=((0, 3), (0, 5, 6, 4)), wobble=0.0, timing=0.002),
    # Trap: 32nd-note grid, hi-hat rolls over a slow backbeat.
    "trap": Groove(
        4, (60, 85),
        (((KICK, (0, 14, 20), 116), (SNARE, (8, 24), 108),
          (CLOSED_HAT, tuple(range(0, 26, 4)) + (26, 27, 28, 29, 30, 31), 56)),
         ((KICK, (0, 6, 12, 22), 116), (CLAP, (8, 24), 104),
          (CLOSED_HAT, (0, 4, 8, 12, 14, 15, 16, 20, 24, 28, 29, 30, 31), 52))),
        ((0, 12, 0), (14, 6, 0), (20, 12, 0)), SYNTH_BASSES,
        ((0, 32),), PADS + (5, 11), SYNTH_LEADS + MALLETS, ((0, 8, 16, 24), (0, 12, 16), (4, 12, 20, 28)),
        sub=8, scales=(MINOR,), progressions=((0, 5, 3, 4), (0, 5)), fills=False, wobble=0.0, timing=0.002),
    "synthpop": Groove(
        4, (95, 135),
        (((KICK, (0, 8), 108), (SNARE, (4, 12), 100), (CLOSED_HAT, E4, 62)),
         ((KICK, Q4, 108), (CLAP, (4, 12), 96), (CLOSED_HAT, S4, 48))),
        tuple((s, 2, 0) for s in E4), SYNTH_BASSES,
        ((0, 4), (6, 2), (8, 4), (14, 2)), PADS[6:] + BRASS[4:] + (80, 81), SYNTH_LEADS,
        ((0, 4, 6, 8, 12), (2, 4, 8, 10), (0, 3, 6, 8, 12, 14)), scales=(MAJOR, MINOR),
        progressions=((0, 4, 5, 3), (0, 5, 3, 4)), pushes=0.2, wobble=0.0, timing=0.002),
    # Reggae one drop: kick and rim on the third beat, off-beat skank.
    "reggae": Groove(
        4, (60, 100),
        (((KICK, (8,), 100), (SIDE_STICK, (8,), 96), (CLOSED_HAT, E4, 60)),
         ((KICK, (0, 8), 100), (SNARE, (8,), 96), (CLOSED_HAT, E4, 56))),
        ((0, 3, 0), (4, 2, 2), (8, 3, 0), (11, 1, 1), (12, 2, 2)), BASSES + SYNTH_BASSES[:2],
        ((2, 1), (6, 1), (10, 1), (14, 1)), ORGANS + CLEAN_GUITARS, REEDS + BRASS + PIPES,
        ((0, 4, 6, 8), (2, 6, 10), (0, 8, 12)), scales=(MAJOR, MINOR),
        progressions=((0, 3), (0, 4, 3, 4), (0, 5, 3, 4)), fills=True),
    # Latin: son clave over two bars, congas, cowbell, piano montuno.
    "son": Groove(
        4, (85, 180),
        (((CLAVES, (0, 6, 12, 20, 24), 100), (MUTE_CONGA, (0, 8, 16, 24), 70),
          (OPEN_CONGA, (6, 7, 14, 15, 22, 23, 30, 31), 86), (COWBELL, tuple(range(0, 32, 4)), 70),
          (MARACAS, tuple(range(0, 32, 2)), 50)),
         ((CLAVES, (4, 8, 16, 22, 28), 100), (MUTE_CONGA, (0, 8, 16, 24), 70),
          (OPEN_CONGA, (6, 7, 14, 15, 22, 23, 30, 31), 86), (LOW_CONGA, (12, 28), 80),
          (MARACAS, tuple(range(0, 32, 2)), 50))),
        ((6, 6, 2), (12, 4, 0)), BASSES[:3],
        ((0, 2), (3, 2), (6, 2), (8, 2), (10, 2), (12, 2), (14, 2)), PIANOS, BRASS[:2] + REEDS[1:3] + (73,),
        ((0, 4, 6, 10), (2, 6, 8, 12), (0, 3, 6, 12)), comp_mode="arp", period=2,
        scales=(MINOR, MAJOR), progressions=((0, 3, 4, 3), (0, 4), (1, 4, 0, 0)), fills=False, pushes=0.2),
    "bossa": Groove(
        4, (100, 150),
        (((SIDE_STICK, (0, 6, 12, 20, 26), 80), (KICK, (0, 6, 8, 14, 16, 22, 24, 30), 70),
          (CLOSED_HAT, tuple(range(0, 32, 2)), 50)),),
        ((0, 6, 0), (6, 2, 2), (8, 6, 2), (14, 2, 0)), BASSES[:2],
        ((0, 3), (3, 3), (6, 2), (10, 3), (13, 3)), (24, 25, 0, 4), PIPES[:2] + REEDS[1:3] + (11,),
        ((0, 4, 6, 10), (2, 8, 12), (0, 6, 8)), comp_mode="strum", period=2, sevenths=True,
        progressions=((0, 1, 4, 0), (1, 4, 0, 5)), fills=False, pushes=0.3),
    "samba": Groove(
        2, (90, 130),
        (((HIGH_FLOOR_TOM, (0,), 90), (LOW_FLOOR_TOM, (4,), 112), (MARACAS, tuple(range(8)), 56),
          (TAMBOURINE, (0, 3, 4, 7), 66), (WOOD_BLOCK, (0, 2, 3, 5, 6), 74)),),
        ((0, 3, 0), (3, 1, 0), (4, 3, 2), (7, 1, 2)), BASSES[:3],
        ((0, 2), (3, 2), (6, 2)), CLEAN_GUITARS[:2], PIPES[:2] + BRASS[:2] + REEDS[1:3],
        ((0, 2, 3, 6), (0, 4, 6), (1, 3, 4, 6)), comp_mode="strum",
        progressions=((0, 4), (0, 3, 4, 0), (1, 4, 0, 0)), fills=False, pushes=0.3),
    "reggaeton": Groove(
        4, (85, 105),
        (((KICK, Q4, 112), (SNARE, (3, 6, 11, 14), 100), (CLOSED_HAT, E4, 56)),),
        ((0, 3, 0), (3, 3, 0), (6, 2, 0), (8, 3, 0), (11, 3, 2), (14, 2, 0)), SYNTH_BASSES,
        ((0, 3), (3, 3), (6, 2), (8, 3), (11, 3), (14, 2)), PADS + KEYS, SYNTH_LEADS + PLUCKED[4:],
        ((0, 3, 6, 8), (2, 6, 10), (0, 8, 11)), scales=(MINOR,), progressions=((0, 5, 2, 6), (0, 3, 4, 0)),
        fills=False, wobble=0.0, timing=0.002),
    # Jazz: walking bass, ride and hi-hat on 2 and 4, swung comping.
    "jazz": Groove(
        4, (80, 220),
        (((RIDE, (0, 4, 6, 8, 12, 14), 76), (PEDAL_HAT, (4, 12), 66), (KICK, Q4, 30)),
         ((RIDE, (0, 4, 6, 8, 12, 14), 72), (PEDAL_HAT, (4, 12), 64), (SNARE, (6, 14), 36))),
        "walk", (32, 33), ((0, 3), (6, 2)), (0, 1, 4, 26, 11), REEDS[1:3] + BRASS[:2] + (11, 73, 26),
        ((0, 2, 4, 6, 8, 10), (2, 6, 8, 12, 14), (0, 4, 6, 12)), sevenths=True, swing=True,
        progressions=((1, 4, 0, 0), (1, 4, 0, 5), (0, 5, 1, 4)), pushes=0.2, timing=0.01),
    "jazzwaltz": Groove(
        3, (90, 200),
        (((RIDE, (0, 4, 6, 8), 72), (PEDAL_HAT, (4,), 60), (KICK, (0,), 34)),),
        "walk", (32, 33), ((0, 3), (6, 2)), (0, 1, 4, 26, 11), REEDS[1:3] + (11, 73, 56),
        ((0, 4, 8), (2, 6, 8), (0, 6)), sevenths=True, swing=True,
        progressions=((1, 4, 0, 0), (0, 5, 1, 4)), timing=0.01),
    "jazzballad": Groove(
        4, (50, 80),
        (((SNARE, S4, 26), (PEDAL_HAT, (4, 12), 54), (KICK, (0, 8), 30)),),
        ((0, 8, 0), (8, 8, 2)), (32, 33), ((0, 8), (8, 8)), (0, 1, 4, 26, 11), REEDS[1:3] + (11, 73, 56, 57),
        ((0, 6, 8), (0, 8, 12), (2, 8)), sevenths=True, swing=True,
        progressions=((1, 4, 0, 5), (0, 5, 1, 4)), drum_share=0.7, wobble=0.02, timing=0.012),
    # Compound meters: the annotated beat is the dotted quarter (6 steps).
    "rock68": Groove(
        2, (50, 120),
        (((KICK, (0,), 100), (SNARE, (6,), 100), (CLOSED_HAT, _eighths(2, 6), 64)),
         ((KICK, (0, 4), 100), (SNARE, (6,), 100), (RIDE, _eighths(2, 6), 60))),
        ((0, 4, 0), (4, 2, 0), (6, 4, 2), (10, 2, 0)), BASSES,
        ((0, 4), (4, 2), (6, 4), (10, 2)), DIST_GUITARS + CLEAN_GUITARS, CLEAN_GUITARS + REEDS[1:3] + DIST_GUITARS,
        ((0, 4, 6), (0, 2, 4, 6, 8, 10), (0, 6)), sub=6, scales=(MAJOR, MINOR),
        progressions=((0, 5, 3, 4), (0, 3, 4, 4))),
    "jig": Groove(
        2, (80, 130),
        (((LOW_FLOOR_TOM, _eighths(2, 6), 70), (HIGH_FLOOR_TOM, (4, 10), 60)),),
        ((0, 4, 0), (6, 4, 2)), (32,) + CLEAN_GUITARS[:2],
        ((0, 2), (4, 2), (6, 2), (10, 2)), CLEAN_GUITARS[:2] + SQUEEZE[:1], (40, 73, 78, 21, 109, 110),
        ((0, 2, 4, 6, 8, 10), (0, 4, 6, 8, 10), (0, 2, 4, 6)), comp_mode="strum", sub=6,
        scales=(MAJOR, MIXOLYDIAN), progressions=((0, 0, 4, 4), (0, 6, 0, 4)), drum_share=0.3, wobble=0.015),
    "ballad128": Groove(
        4, (50, 80),
        (((KICK, (0, 14), 90), (SNARE, (6, 18), 90), (CLOSED_HAT, _eighths(4, 6), 50)),
         ((KICK, (0, 12), 88), (SIDE_STICK, (6, 18), 80), (RIDE, _eighths(4, 6), 52))),
        ((0, 6, 0), (6, 4, 2), (10, 2, 1), (12, 6, 0), (18, 6, 2)), BASSES[:3],
        tuple((s, 2) for s in _eighths(4, 6)), PIANOS, REEDS[1:3] + (40, 73, 52, 53),
        ((0, 6, 12), (0, 4, 6, 12, 18), (0, 12, 16)), sub=6, pad_family=PADS[:6],
        progressions=((0, 5, 3, 4), (0, 3, 0, 4)), drum_share=0.75, wobble=0.02),
    "blues128": Groove(
        4, (50, 80),
        (((KICK, (0, 12), 92), (SNARE, (6, 18), 96), (RIDE, (0, 4, 6, 10, 12, 16, 18, 22), 66)),),
        ((0, 4, 0), (4, 2, 1), (6, 4, 2), (10, 2, 3), (12, 4, 0), (16, 2, 1), (18, 4, 2), (22, 2, 3)), BASSES[:3],
        ((0, 4), (6, 4), (12, 4), (18, 4)), KEYS + CLEAN_GUITARS[2:], REEDS[1:3] + (22, 29, 27),
        ((0, 4, 6), (0, 6, 10, 12), (2, 6, 12, 18)), sub=6, sevenths=True,
        progressions=((0, 3, 0, 0, 3, 3, 0, 0, 4, 3, 0, 4),)),
    "afro68": Groove(
        4, (70, 130),
        (((HIGH_AGOGO, (0, 4, 8, 10, 14, 18, 22), 88), (LOW_CONGA, (0, 12), 90),
          (OPEN_CONGA, (8, 10, 20, 22), 80), (MARACAS, _eighths(4, 6), 48), (KICK, (0, 12), 90)),),
        ((0, 5, 0), (10, 2, 2), (12, 5, 0), (22, 2, 3)), BASSES[:3],
        tuple((s, 2) for s in _eighths(4, 6)), CLEAN_GUITARS[:3] + (12, 13), PIPES + (12, 108),
        ((0, 4, 6, 12), (0, 6, 12, 18), (2, 8, 14)), comp_mode="arp", sub=6,
        scales=(MAJOR, MIXOLYDIAN), progressions=((0, 3, 4, 3), (0, 4)), fills=False),
    # Meter 2: polka, march, country two-step.
    "polka": Groove(
        2, (90, 150),
        (((KICK, (0, 4), 100), (SNARE, (2, 6), 90), (CLOSED_HAT, (2, 6), 60)),),
        ((0, 2, 0), (4, 2, 2)), (58, 32, 33), ((2, 2), (6, 2)), SQUEEZE[:1] + PIANOS[:2] + BRASS[4:5],
        (21, 56, 71, 40, 22), ((0, 2, 4, 6), (0, 1, 2, 4, 6), (0, 4)),
        progressions=((0, 4, 4, 0), (0, 3, 4, 0))),
    "march": Groove(
        2, (96, 132),
        (((KICK, (0, 4), 104), (SNARE, (0, 2, 3, 4, 6, 7), 86), (CRASH, (0, 4), 64)),),
        ((0, 2, 0), (4, 2, 2)), (58, 57), ((2, 2), (6, 2)), (60, 61, 56, 57), (56, 73, 72, 71),
        ((0, 2, 4, 6), (0, 3, 4), (0, 4, 6)), progressions=((0, 4, 0, 3), (0, 0, 4, 4)), wobble=0.006),
    "twostep": Groove(
        2, (90, 200),
        (((KICK, (0, 4), 96), (SNARE, (2, 6), 80), (CLOSED_HAT, tuple(range(8)), 44)),),
        ((0, 2, 0), (4, 2, 2)), (32, 33), ((2, 2), (6, 2)), (25, 24, 105), (40, 22, 27, 105, 24),
        ((0, 2, 4, 6), (0, 3, 4, 6), (0, 4)), comp_mode="strum", progressions=((0, 3, 4, 0), (0, 0, 4, 4))),
    # Solo instruments: one program plays bass, harmony and melody.
    "solo_piano": Groove(
        4, (50, 170), (), ((0, 8, 0), (8, 8, 2)), PIANOS, tuple((s, 2) for s in E4), PIANOS, PIANOS,
        ((0, 4, 8, 12), (0, 6, 8), (0, 2, 4, 8, 12)), comp_mode="arp", scales=(MAJOR, MINOR),
        progressions=((0, 5, 1, 4), (0, 3, 4, 0), (0, 5, 3, 4)), fills=False, wobble=0.025, solo=True, drum_share=0),
    "stride_piano": Groove(
        4, (80, 200), (), ((0, 4, 0), (8, 4, 2)), PIANOS, ((4, 3), (12, 3)), PIANOS, PIANOS,
        ((0, 2, 4, 6, 8, 10), (0, 4, 8, 12), (2, 6, 8, 14)), swing=True, sevenths=True,
        progressions=((0, 5, 1, 4), (0, 3, 0, 4)), fills=False, wobble=0.02, solo=True, drum_share=0),
    "piano_waltz": Groove(
        3, (60, 180), (), ((0, 4, 0),), PIANOS, ((4, 3), (8, 3)), PIANOS, PIANOS,
        ((0, 4, 8), (0, 6, 8), (0, 2, 4, 8)), scales=(MAJOR, MINOR), progressions=((0, 3, 4, 0), (0, 5, 1, 4)),
        fills=False, wobble=0.025, solo=True, drum_share=0),
    "piano68": Groove(
        2, (50, 110), (), ((0, 6, 0), (6, 6, 2)), PIANOS, tuple((s, 2) for s in _eighths(2, 6)), PIANOS, PIANOS,
        ((0, 4, 6, 10), (0, 6), (0, 2, 4, 6)), comp_mode="arp", sub=6, scales=(MAJOR, MINOR),
        progressions=((0, 5, 3, 4), (0, 4)), fills=False, wobble=0.025, solo=True, drum_share=0),
    "solo_guitar": Groove(
        4, (60, 160), (), ((0, 4, 0), (8, 4, 2)), (24, 25), tuple((s, 2) for s in E4), (24, 25), (24, 25),
        ((0, 4, 8, 12), (0, 6, 8, 12), (2, 4, 8)), comp_mode="arp", scales=(MAJOR, MINOR),
        progressions=((0, 5, 3, 4), (0, 4, 5, 3)), fills=False, wobble=0.02, solo=True, drum_share=0),
    "strum_guitar": Groove(
        4, (70, 180), (), ((0, 2, 0), (8, 2, 2)), (25, 24, 26),
        ((0, 4), (4, 2), (6, 2), (10, 2), (12, 4)), (25, 24, 26), (25, 24, 26), ((0, 8), (0, 4, 8, 12)),
        comp_mode="strum", progressions=((0, 4, 5, 3), (0, 3, 4, 4)), fills=False, solo=True, drum_share=0),
    "guitar_waltz": Groove(
        3, (70, 190), (), ((0, 2, 0),), (24, 25), ((4, 2), (6, 2), (8, 2), (10, 2)), (24, 25), (24, 25),
        ((0, 4, 8), (0, 8)), comp_mode="arp", progressions=((0, 4, 3, 0), (0, 5, 1, 4)),
        fills=False, solo=True, drum_share=0),
    "string_ensemble": Groove(
        4, (50, 140), (), ((0, 4, 0), (8, 4, 2)), BOWED,
        ((0, 8), (8, 8)), BOWED, BOWED, ((0, 4, 8, 12), (0, 8), (0, 6, 8, 12)), comp_octave=-1,
        scales=(MINOR, MAJOR), progressions=((0, 3, 6, 4), (0, 5, 3, 4)), fills=False, wobble=0.025,
        solo=True, drum_share=0),
    "pizzicato": Groove(
        4, (70, 160), (), ((0, 2, 0), (8, 2, 2)), (45,), tuple((s, 2) for s in E4), (45,), (45, 40, 73),
        ((0, 4, 8, 12), (0, 2, 4, 8)), comp_mode="arp", scales=(MAJOR, MINOR),
        progressions=((0, 4, 5, 3), (0, 3, 4, 0)), fills=False, drum_share=0),
    "strings_waltz": Groove(
        3, (60, 170), (), ((0, 4, 0),), BOWED, ((4, 3), (8, 3)), BOWED, BOWED,
        ((0, 4, 8), (0, 8)), comp_octave=-1, progressions=((0, 3, 4, 0),), fills=False, wobble=0.02,
        solo=True, drum_share=0),
    # Sparse ballads: whole-bar chords, long melody notes, at most a light kit.
    "sparse_ballad": Groove(
        4, (50, 85),
        (((KICK, (0,), 70), (SIDE_STICK, (4, 12), 60)),),
        ((0, 16, 0),), BASSES[:3] + (0,), ((0, 16),), PIANOS + CLEAN_GUITARS[:2], PIPES[:2] + BOWED[:1] + (52, 53, 11),
        ((0, 8), (0,), (0, 12)), pad_family=PADS, scales=(MAJOR, MINOR),
        progressions=((0, 5, 3, 4), (0, 4, 5, 3)), fills=False, drum_share=0.3, wobble=0.025, timing=0.012),
    "sparse_waltz": Groove(
        3, (50, 100), (), ((0, 12, 0),), PIANOS, ((0, 12),), PIANOS + PADS[:3], PIPES[:2] + BOWED[:1] + (52, 11),
        ((0,), (0, 8)), pad_family=PADS, progressions=((0, 3, 4, 0), (0, 5, 3, 4)), fills=False,
        drum_share=0, wobble=0.025, timing=0.012),
})


# --------------------------------------------------------------------------
# Pieces: every choice drawn from (seed, split, index)
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class TrainPiece:
    """One piece: its music, tempo curve, sound and augmentation, all drawn up front."""

    name: str
    split: str
    index: int
    seed: int  # the music's own seed (notes, drift)
    style: str
    meter: int
    time_signature: str
    tempo: float  # annotated BPM at the first beat
    curve: str  # none, step, ramp or rubato
    curve_params: tuple[float, ...]
    bars: int
    key: int
    scale: int  # index into the style's scales
    progression: int
    drums: bool
    drum_patterns: tuple[int, int]
    intro: int
    pickup: int  # annotated beats before the first downbeat
    pickup_drums: bool
    breakdown: int  # first bar of a two-bar breakdown, or -1
    stops: tuple[int, ...]  # stop-time bars: everything on the downbeat, then silence
    phrase: int  # bars between fills
    ending: str  # "chord" or "cut"
    swing: float  # position of the off-beat eighth in the beat (0.5: straight)
    human: float  # scale of the timing spread
    wobble: float
    pushes: float
    parts: tuple[str, ...]
    programs: dict[str, int] = field(default_factory=dict)
    levels: dict[str, int] = field(default_factory=dict)  # CC7 per part
    velocity: dict[str, int] = field(default_factory=dict)  # offset per part
    soundfont: str = "FluidR3_GM"
    reverb: tuple[float, float] | None = None  # (room size, level), or off
    chorus: bool = False
    augment: dict = field(default_factory=dict)
    kit: tuple[str, float] | None = None  # a sampled drum kit and its level in dB, or the SoundFont's own
    voice: tuple[int, int] | None = None  # a sung line's program and CC7 level, or none
    amp: tuple[float, float, float, float] | None = None  # guitars' drive (dB), cabinet (Hz), bias, level (dB)
    machine: int | None = None  # the seed of a drum machine's sounds (drum_machine), or the SoundFont's kit

    @property
    def sub(self) -> int:
        return GROOVES[self.style].sub


def _log_uniform(rng: np.random.Generator, low: float, high: float) -> float:
    return float(math.exp(rng.uniform(math.log(low), math.log(high))))


def _choose_style(rng: np.random.Generator, tempo: float, only: str = "") -> str:
    """A style played at ``tempo``: the tempo is drawn first, so it stays log-uniform.

    ``only="band"``: styles whose chords are mostly played on guitars;
    ``"club"``: drummed styles with a synth bass (any, where none plays at ``tempo``).
    """
    names = [n for n, g in GROOVES.items() if g.tempo[0] <= tempo <= g.tempo[1]]
    if only == "band":
        names = [n for n in names if 2 * len(set(GROOVES[n].comp_family) & GUITARS) >= len(GROOVES[n].comp_family)]
    elif only == "club":
        names = [n for n in names if GROOVES[n].drums and GROOVES[n].bass_family == SYNTH_BASSES] or names
    # Narrow-range styles are favoured where they can play, so each gets its share;
    # drumless ones less, so most pieces have a kit.
    weights = np.array([GROOVES[n].weight * (1.0 if GROOVES[n].drums else 0.45)
                        / math.log(GROOVES[n].tempo[1] / GROOVES[n].tempo[0]) for n in names])
    return names[int(rng.choice(len(names), p=weights / weights.sum()))]


def plan_piece(split: str, index: int, seed: int = 0) -> TrainPiece:
    """Every random choice of piece ``index`` of ``split`` (deterministic)."""
    rng = np.random.default_rng([seed, SPLIT_STREAM[split], index])
    tempo = _log_uniform(rng, 50, 220)
    style = _choose_style(rng, tempo, "band" if split in SPLIT_AMP else "club" if split in SPLIT_MACHINE else "")
    g = GROOVES[style]
    compound = g.sub == 6
    time_signature = f"{3 * g.meter}/8" if compound else f"{g.meter}/4"
    drums = bool(g.drums) and rng.random() < g.drum_share
    curve = str(rng.choice(["none", "step", "ramp", "rubato"], p=[0.35, 0.15, 0.2, 0.3]))
    params: tuple[float, ...]
    if curve == "step":
        params = (float(rng.uniform(0.3, 0.7)), float(math.exp(rng.uniform(-0.25, 0.25))))
    elif curve == "ramp":
        start = float(rng.uniform(0.0, 0.4))
        params = (start, float(rng.uniform(start + 0.2, 1.0)), float(math.exp(rng.uniform(-0.3, 0.3))))
    elif curve == "rubato":
        # Three slow sinusoids in log tempo (periods of 2 to 16 bars), and
        # maybe a closing ritardando.
        periods = rng.uniform(2, 16, 3) * g.meter
        params = (float(rng.uniform(0.03, 0.1)), *map(float, periods), *map(float, rng.uniform(0, 2 * math.pi, 3)),
                  float(rng.uniform(0.7, 0.92) if rng.random() < 0.5 else 1.0))
    else:
        params = ()
    seconds = float(rng.uniform(20, 60))
    bars = max(4, round(seconds * tempo / 60.0 / g.meter))
    # The pickup is whole beats; compound bars are only two or four beats long.
    pickup = int(rng.integers(1, g.meter)) if g.meter > 1 and rng.random() < 0.3 else 0
    parts = ["bass", "comp"]
    if g.lead_family is not None and rng.random() < 0.85:
        parts.append("lead")
    if g.pad_family is not None and rng.random() < 0.7:
        parts.append("pad")
    if rng.random() < 0.1 and len(parts) > 2:
        parts.remove("bass" if rng.random() < 0.5 else "comp")
    programs: dict[str, int] = {}
    solo_program = int(rng.choice(g.comp_family))
    for part in ("bass", "comp", "lead", "pad"):
        fam = {"bass": g.bass_family, "comp": g.comp_family, "lead": g.lead_family, "pad": g.pad_family}[part]
        if fam is not None:
            if split in SPLIT_AMP and part in ("comp", "lead") and set(fam) & GUITARS:
                fam = tuple(p for p in fam if p in GUITARS)
            programs[part] = solo_program if g.solo else int(rng.choice(fam))
    levels = {p: int(rng.integers(55, 128)) for p in ("bass", "comp", "lead", "pad", "drums")}
    velocity = {p: int(rng.integers(-25, 11)) for p in ("bass", "comp", "lead", "pad", "drums")}
    names = SPLIT_SOUNDFONTS[split]
    available = [n for n in names if SOUNDFONTS[n][0].exists()]
    weights = np.array([SOUNDFONTS[n][2] for n in available])
    soundfont = available[int(rng.choice(len(available), p=weights / weights.sum()))]
    reverb = (float(rng.uniform(0.1, 0.9)), float(rng.uniform(0.2, 0.9))) if rng.random() < 0.6 else None
    chorus = bool(rng.random() < 0.3)
    n_patterns = max(1, len(g.drums))
    breakdown = int(rng.integers(bars // 3, max(bars // 3 + 1, bars - 3))) if bars >= 8 and rng.random() < 0.25 else -1
    stops = tuple(sorted({int(b) for b in rng.integers(2, bars - 1, int(rng.integers(1, 3)))})) \
        if bars >= 6 and rng.random() < 0.15 else ()
    kits = SPLIT_KITS.get(split, ())
    piece = TrainPiece(
        name=f"{split}-{seed:02d}-{index:05d}", split=split, index=index,
        seed=int(rng.integers(0, 2**31)), style=style, meter=g.meter, time_signature=time_signature,
        tempo=round(tempo, 3), curve=curve, curve_params=tuple(round(p, 5) for p in params), bars=bars,
        key=int(rng.integers(0, 12)), scale=int(rng.integers(0, len(g.scales))),
        progression=int(rng.integers(0, len(g.progressions))), drums=drums,
        drum_patterns=(int(rng.integers(0, n_patterns)), int(rng.integers(0, n_patterns))),
        intro=int(rng.choice([0, 0, 1, 2, 4])), pickup=pickup, pickup_drums=bool(rng.random() < 0.4),
        breakdown=breakdown, stops=stops, phrase=int(rng.choice([4, 8])),
        ending="chord" if rng.random() < 0.7 else "cut",
        swing=float(rng.uniform(0.58, 0.7)) if g.swing else 0.5,
        human=float(rng.uniform(0.3, 1.6)), wobble=g.wobble * float(rng.uniform(0.5, 1.5)),
        pushes=g.pushes * float(rng.uniform(0.5, 1.5)), parts=tuple(parts), programs=programs,
        levels=levels, velocity=velocity, soundfont=soundfont, reverb=reverb, chorus=chorus,
        augment=_plan_augment(rng),
        kit=(kits[int(rng.integers(len(kits)))], round(float(rng.uniform(-9, 3)), 2))
        if kits and drums else None)
    if split in SPLIT_VOICE and (SPLIT_VOICE[split] == 1.0 or rng.random() < SPLIT_VOICE[split]):
        # Drawn last, so the other splits' pieces keep their random streams.
        program = int(rng.choice(VOICES)) if rng.random() < 0.75 else int(rng.choice(SUNG_LEADS))
        piece = replace(piece, voice=(program, int(rng.integers(80, 128))))
        if "lead" in piece.parts and rng.random() < 0.6:  # the singer usually has the melody alone
            piece = replace(piece, parts=tuple(p for p in piece.parts if p != "lead"))
    if split in SPLIT_MACHINE and drums:
        piece = replace(piece, machine=int(rng.integers(0, 2**31)))
    if split in SPLIT_AMP:
        # From edge of break-up to high gain; a speaker rolls off at 2.5-6.5 kHz.
        piece = replace(piece, amp=(round(float(rng.uniform(6, 40)), 2), round(_log_uniform(rng, 2500, 6500), 1),
                                    round(float(rng.uniform(0, 0.4)), 3), round(float(rng.uniform(-4, 4)), 2)))
    # Refit the bar count to the drawn length now that the tempo curve is known.
    total = _duration(piece)
    bars = max(4, round(bars * seconds / max(total, 1e-3)))
    return replace(piece, bars=bars, breakdown=min(piece.breakdown, bars - 3) if piece.breakdown >= 0 else -1,
                   stops=tuple(b for b in piece.stops if b < bars - 1))


def _plan_augment(rng: np.random.Generator) -> dict:
    """The audio chain's settings: EQ, dynamics, noise, a lossy codec, gain, start."""
    eq = []
    for _ in range(int(rng.integers(0, 4))):
        kind = str(rng.choice(["lowshelf", "highshelf", "peak"]))
        freq = {"lowshelf": _log_uniform(rng, 60, 400), "highshelf": _log_uniform(rng, 1500, 10000),
                "peak": _log_uniform(rng, 150, 6000)}[kind]
        eq.append({"kind": kind, "freq": round(freq, 1), "gain_db": round(float(rng.uniform(-10, 10)), 2),
                   "q": round(float(rng.uniform(0.5, 3.0)), 2)})
    out: dict = {"eq": eq}
    if rng.random() < 0.35:
        out["compress"] = {"threshold_db": round(float(rng.uniform(-30, -10)), 1),
                           "ratio": round(float(rng.uniform(2, 8)), 2),
                           "release": round(float(rng.uniform(0.03, 0.3)), 3)}
    if rng.random() < 0.25:
        out["clip"] = {"drive": round(float(rng.uniform(1.5, 6)), 2)}
    if rng.random() < 0.6:
        out["noise"] = {"snr_db": round(float(rng.uniform(30, 60)), 1), "color": str(rng.choice(["white", "pink"]))}
    if rng.random() < 0.25:
        codec = str(rng.choice(["mp3", "ogg"]))
        rates = (48, 64, 96, 128, 160, 192) if codec == "mp3" else (48, 64, 80, 96, 128, 160)
        out["codec"] = {"format": codec, "kbps": int(rng.choice(rates))}
    out["peak_db"] = round(float(rng.uniform(-20, -0.5)), 2)
    # Start: a little extra silence, or the first seconds cut off.
    out["start"] = round(float(-rng.uniform(0, 4)) if rng.random() < 0.3 else float(rng.uniform(0, 0.5)), 3)
    return out


# --------------------------------------------------------------------------
# Tempo map and beats
# --------------------------------------------------------------------------


def _beat_count(piece: TrainPiece) -> int:
    """Annotated beats in the music: pickup, bars, the closing downbeat (or the cut bar)."""
    return piece.pickup + piece.bars * piece.meter + (1 if piece.ending == "chord" else piece.meter)


def tempo_curve(piece: TrainPiece) -> np.ndarray:
    """BPM of every beat (a few past the end, for the closing chord's ring)."""
    n = _beat_count(piece) + CLOSING_BEATS + 2
    k = np.arange(n, dtype=np.float64)
    share = k / max(n - 1, 1)
    log_bpm = np.full(n, math.log(piece.tempo))
    p = piece.curve_params
    if piece.curve == "step":
        at = piece.pickup + round(p[0] * piece.bars) * piece.meter  # on a downbeat
        log_bpm[at:] += math.log(p[1])
    elif piece.curve == "ramp":
        log_bpm += math.log(p[2]) * np.clip((share - p[0]) / (p[1] - p[0]), 0, 1)
    elif piece.curve == "rubato":
        depth, periods, phases, ritardando = p[0], p[1:4], p[4:7], p[7]
        wave = sum(np.sin(2 * math.pi * k / T + ph) - math.sin(ph) for T, ph in zip(periods, phases))
        log_bpm += depth / math.sqrt(1.5) * wave
        if ritardando < 1.0:
            tail = 2 * piece.meter
            end = _beat_count(piece)
            ramp = np.clip((k - (end - tail)) / tail, 0, 1)
            log_bpm += math.log(ritardando) * ramp
    if piece.wobble > 0:
        # Players' drift, as in the evaluation set: a slow autoregression.
        rng = np.random.default_rng(piece.seed + 7919)
        keep, drift = 0.9, np.zeros(n)
        noise = rng.normal(0.0, piece.wobble * math.sqrt(1 - keep**2), n)
        for i in range(1, n):
            drift[i] = keep * drift[i - 1] + noise[i]
        log_bpm += drift
    return np.clip(np.exp(log_bpm), 40.0, 240.0)


def tempo_events(piece: TrainPiece) -> list[tuple[int, int]]:
    """(tick, microseconds per beat) events: one per beat whose tempo changes."""
    bpm = tempo_curve(piece)
    lead = LEAD_IN_BEATS * TPB
    events = [(0, round(60e6 / bpm[0]))]
    for k in range(1, bpm.size):
        us = round(60e6 / bpm[k])
        if us != events[-1][1]:
            events.append((lead + k * TPB, us))
    return events


def _duration(piece: TrainPiece) -> float:
    """Seconds of the rendered music before the start is shifted."""
    events = tempo_events(piece)
    if piece.ending == "chord":
        last = (LEAD_IN_BEATS + _beat_count(piece) - 1 + CLOSING_BEATS) * TPB
        return float(tick_times(last, events)) + TAIL_SECONDS
    return float(tick_times((LEAD_IN_BEATS + _beat_count(piece)) * TPB, events)) - 0.25 * 60 / piece.tempo


def beat_grid(piece: TrainPiece) -> tuple[np.ndarray, np.ndarray]:
    """(seconds, position in bar) of every annotated beat in the rendered MIDI's time."""
    count = _beat_count(piece)
    ticks = (LEAD_IN_BEATS + np.arange(count)) * TPB
    times = tick_times(ticks, tempo_events(piece)) + evalset.RENDER_OFFSET
    positions = (np.arange(count) - piece.pickup) % piece.meter + 1
    return times, positions


# --------------------------------------------------------------------------
# Music
# --------------------------------------------------------------------------


def _chord(scale: tuple[int, ...], key: int, degree: int, sevenths: bool) -> list[int]:
    """Pitches of the chord on ``degree`` (root near C3), stacked thirds in the scale."""
    pitches = []
    for i in range(4 if sevenths else 3):
        d = degree + 2 * i
        pitches.append(48 + key % 12 + scale[d % 7] + 12 * (d // 7))
    return [p - 12 for p in pitches] if pitches[0] > 54 else pitches


def _tone(chord: list[int], index: int) -> int:
    octave, i = divmod(index, len(chord))
    return chord[i] + 12 * octave


def arrange(piece: TrainPiece) -> list[_Track]:
    """The notes of a piece, seeded by ``piece.seed``.

    Bar 0 starts ``LEAD_IN_BEATS + pickup`` beats in. The form: an intro
    without drums and bass, the band with one drum pattern in the first half
    and another after, a crash after every fill (each ``phrase`` bars), an
    optional two-bar breakdown without drums, stop-time bars, and an ending
    on a held chord or cut in the middle of a bar.
    """
    g = GROOVES[piece.style]
    rng = np.random.default_rng(piece.seed)
    meter, sub = g.meter, g.sub
    bar_steps, bar_ticks = meter * sub, meter * TPB
    origin = (LEAD_IN_BEATS + piece.pickup) * TPB
    scale = g.scales[piece.scale]
    progression = g.progressions[piece.progression]
    ticks_per_second = TPB * piece.tempo / 60.0
    channels = {"bass": 0, "comp": 1, "lead": 2, "pad": 3}
    tracks = {part: _Track(ch, piece.programs.get(part), piece.levels[part]) for part, ch in channels.items()}
    drums = _Track(9, None, piece.levels["drums"])
    vel = piece.velocity

    def at(bar_tick: int, step: float) -> int:
        beat, rest = divmod(step, sub)
        frac = rest / sub
        if piece.swing != 0.5 and sub == 4 and rest:
            # Swung eighths (and the sixteenths between them).
            s = piece.swing
            frac = {1: s / 2, 2: s, 3: s + (1 - s) / 2}[int(rest)]
        return bar_tick + int(round((beat + frac) * TPB))

    def human(tick: int, spread: float) -> int:
        spread *= piece.human
        return max(0, tick + int(round(rng.normal(0.0, spread) * ticks_per_second))) if spread > 0 else tick

    def chord_of(bar: int) -> list[int]:
        return _chord(scale, piece.key, progression[bar % len(progression)], g.sevenths)

    def add(part: str, tick: int, length: int, pitch: int, velocity: int) -> None:
        if part in piece.parts:
            tracks[part].add(tick, length, pitch, velocity + vel[part])

    last_bar = piece.bars if piece.ending == "chord" else piece.bars + 1  # a cut piece plays one bar more
    breakdown = range(piece.breakdown, piece.breakdown + 2) if piece.breakdown >= 0 else range(0)
    pushed = [0 < b < last_bar and rng.random() < piece.pushes for b in range(last_bar + 2)]
    phrase = [int(i) for i in rng.integers(0, len(g.lead_rhythms), 4)]
    degree = 7 + int(rng.integers(0, 3))
    octave = 12 * (1 + g.comp_octave)
    unit = sub // 4 if sub != 6 else 2  # a fill's note: a sixteenth, or an eighth in compound time
    kit_on = piece.drums and bool(g.drums)

    if piece.pickup:
        # A melody (in the lead's sound, or the comp's) running into the first downbeat.
        part = "lead" if "lead" in piece.parts else "comp"
        target = chord_of(0)[0] + 12 * (2 if part == "lead" else 1)
        step_len = TPB // 2 if rng.random() < 0.6 else TPB
        n = piece.pickup * TPB // step_len
        for i in range(n):
            tick = origin - (n - i) * step_len
            pitch = target - [1, 2, 3, 5, 7, 8, 10, 12][min(n - 1 - i, 7)] + (0 if part == "lead" else 0)
            tracks[part].add(human(tick, g.timing), step_len - 2 * GAP, pitch, 84 + vel[part])
        if kit_on and piece.pickup_drums and piece.intro == 0:
            for i in range(4 * piece.pickup if sub != 6 else 3 * piece.pickup):
                tick = origin - (i + 1) * (TPB // (4 if sub != 6 else 3))
                drums.add(tick, TPB // 8, SNARE if i % 3 else HIGH_TOM, 70 + 4 * (i % 4) + vel["drums"])

    for bar in range(last_bar + 1):
        tick = origin + bar * bar_ticks
        chord = chord_of(bar)
        closing = piece.ending == "chord" and bar == piece.bars
        if piece.ending == "cut" and bar == last_bar:
            break
        band = bar >= min(piece.intro, piece.bars - 1)
        stop = bar in piece.stops
        if kit_on and band and bar not in breakdown:
            after_fill = bar % piece.phrase == 0 or bar == piece.intro or (bar - 2) in breakdown[:1]
            if after_fill or closing or stop:
                drums.add(tick, TPB // 4, CRASH, 100 + vel["drums"])
            fill = g.fills and bar % piece.phrase == piece.phrase - 1 and not closing and not stop
            fill_from = bar_steps - (sub if rng.random() < 0.6 else 2 * sub)
            pattern = g.drums[piece.drum_patterns[0 if bar < piece.bars // 2 else 1]]
            offset = (bar % g.period) * bar_steps
            for note, steps, velocity in pattern:
                for step in steps:
                    step -= offset
                    if not 0 <= step < bar_steps or ((closing or stop) and step > 0):
                        continue
                    if fill and step >= fill_from and note != KICK:
                        continue
                    accent = 8 if step % sub == 0 else 0
                    drums.add(human(at(tick, step), g.timing / 2), TPB // 4, note,
                              velocity + accent + vel["drums"] + int(rng.integers(-6, 7)))
            if fill:
                toms = (SNARE, HIGH_TOM, LOW_TOM, LOW_FLOOR_TOM)
                kind = int(rng.integers(0, 3))
                for j, step in enumerate(range(fill_from, bar_steps, unit)):
                    if kind == 0:
                        drum = SNARE
                    elif kind == 1:
                        drum = toms[min(3, 4 * (step - fill_from) // (bar_steps - fill_from))]
                    else:
                        drum = SNARE if j % 2 == 0 else (HIGH_TOM if j % 4 == 1 else LOW_TOM)
                    drums.add(human(at(tick, step), g.timing / 2), TPB // 8, drum,
                              80 + 4 * (j % 4) + vel["drums"] + int(rng.integers(-5, 6)))
        if closing:
            length = CLOSING_BEATS * TPB
            add("bass", tick, length, chord[0] - 12, 96)
            for p in chord:
                add("comp", tick, length, p + octave, 90)
                add("pad", tick, length, p + 12, 70)
            add("lead", tick, length, chord[0] + 24, 92)
            break
        if stop:
            # Stop time: one short hit, the melody carries on alone.
            add("bass", tick, TPB // 2, chord[0] - 12, 100)
            for p in chord:
                add("comp", tick, TPB // 2, p + octave, 96)
        if not stop and (band or not kit_on):
            if g.bass == "walk":
                # Quarter notes through the chord, the last a half step off the next root.
                nxt = chord_of(bar + 1)[0]
                for beat in range(meter):
                    if beat == 0:
                        pitch = chord[0]
                    elif beat == meter - 1:
                        pitch = nxt + (1 if rng.random() < 0.5 else -1)
                    else:
                        pitch = _tone(chord, int(rng.integers(1, len(chord) + 1)))
                    add("bass", human(tick + beat * TPB, g.timing), TPB - GAP, pitch - 12, 90 + int(rng.integers(-6, 7)))
            elif not isinstance(g.bass, str):
                for step, length, tone in g.bass:
                    add("bass", human(at(tick, step), g.timing), length * TPB // sub - GAP,
                        _tone(chord, tone) - 12, 92 + int(rng.integers(-6, 7)))
        next_chord = chord_of(bar + 1)
        arp = g.comp_mode == "arp"
        for i, (step, length) in enumerate(g.comp if not stop else ()):
            if not arp and pushed[bar] and step == 0:
                continue
            if not arp and pushed[bar + 1] and step >= bar_steps - sub // 2:
                continue
            start = human(at(tick, step), g.timing)
            span = length * TPB // sub
            if arp:
                pitch = _tone(chord, i % (len(chord) + 1)) + octave - 12 + 12 * (i // 4 % 2)
                add("comp", start, span, pitch, 72 + int(rng.integers(-6, 7)))
            else:
                _strike(piece, tracks["comp"], g.comp_mode, start, span - GAP, chord, octave, rng,
                        ticks_per_second, "comp" in piece.parts)
        if pushed[bar + 1] and not arp and not stop:
            start = human(at(tick, bar_steps - sub // 2), g.timing)
            _strike(piece, tracks["comp"], g.comp_mode, start, TPB // 2 + g.comp[0][1] * TPB // sub - GAP,
                    next_chord, octave, rng, ticks_per_second, "comp" in piece.parts)
        if not stop:
            for p in chord:
                add("pad", tick, bar_ticks, p + 12, 58)
        # Melody: rests in the first bar (unless it has a pickup) and now and then.
        if (bar == 0 and not piece.pickup) or rng.random() < 0.15:
            continue
        onsets = g.lead_rhythms[phrase[bar % 4] if rng.random() < 0.8 else int(rng.integers(0, len(g.lead_rhythms)))]
        classes = {p % 12 for p in chord}
        for i, step in enumerate(onsets):
            nxt = onsets[i + 1] if i + 1 < len(onsets) else bar_steps
            degree = int(np.clip(degree + rng.choice((-2, -1, -1, 0, 1, 1, 2)), 4, 13))
            pitch = _melody_pitch(piece.key, scale, degree, classes if step % sub == 0 else None)
            length = min(nxt - step, 3 * sub // 2) * TPB // sub - 2 * GAP
            add("lead", human(at(tick, step), g.timing), length, pitch, 88 + int(rng.integers(-8, 9)))
    out = [t for part, t in tracks.items() if t.notes]
    if piece.voice is not None:
        out.append(_sung_line(piece, origin, chord_of, at))
    return out + ([drums] if drums.notes else [])


def _melody_pitch(key: int, scale: tuple[int, ...], degree: int, chord_classes: set[int] | None) -> int:
    """A melody note at scale ``degree`` (7: the tonic above middle C's octave);
    given the chord's pitch classes (on the beat), the nearest chord tone below."""
    pitch = 60 + key % 12 + scale[degree % 7] + 12 * (degree // 7 - 1)
    while chord_classes is not None and pitch % 12 not in chord_classes:
        pitch -= 1
    return pitch


def _sung_line(piece: TrainPiece, origin: int, chord_of: Callable[[int], list[int]],
               at: Callable[[int, float], int]) -> _Track:
    """A singer's line: phrases of one to four bars between breaths, syllables
    of one to four eighths (some anticipating the beat by a sixteenth),
    delayed vibrato on held notes, some notes scooped up into pitch, loose
    timing behind the beat.

    Its random stream is its own, so the band's notes are those the piece
    would have without it.
    """
    assert piece.voice is not None
    g = GROOVES[piece.style]
    rng = np.random.default_rng([piece.seed, 4])
    track = _Track(4, piece.voice[0], piece.voice[1])
    sub, bar_steps = g.sub, g.meter * g.sub
    eighth = sub // 2 if sub != 6 else 2
    bar_eighths = bar_steps // eighth
    scale = g.scales[piece.scale]
    ticks_per_second = TPB * piece.tempo / 60.0
    spread, lag = 0.02 * ticks_per_second, rng.uniform(0.0, 0.02) * ticks_per_second  # singers sit back
    first = max(piece.intro, 0 if piece.pickup else 1)
    degree = 7 + int(rng.integers(0, 4))
    bar = first
    while bar < piece.bars:
        span = min(int(rng.choice([1, 2, 2, 4])), piece.bars - bar)
        if rng.random() < 0.25:  # the singer breathes for a phrase
            bar += span
            continue
        loudness = int(rng.integers(-15, 10))
        position = int(rng.choice([0, 0, 1, 2]))
        end = span * bar_eighths - int(rng.integers(1, 4))
        while position < end:
            length = int(rng.choice([1, 1, 1, 2, 2, 3, 4]))
            if position + length >= end:
                length = max(1, end - position)
            step = position * eighth
            if position > 0 and length > 1 and step % sub == 0 and rng.random() < 0.3:
                step -= eighth // 2 if eighth > 1 else 1  # anticipate the beat
            bar_of, step = divmod(step, bar_steps)
            tick = at(origin + (bar + bar_of) * g.meter * TPB, step)
            tick = max(0, int(round(tick + lag + rng.normal(0.0, spread))))
            degree = int(np.clip(degree + rng.choice((-2, -1, -1, 0, 0, 1, 1, 2)), 4, 13))
            on_beat = (position * eighth) % sub == 0
            classes = {p % 12 for p in chord_of(bar + bar_of)} if on_beat else None
            pitch = _melody_pitch(piece.key, scale, degree, classes)
            ticks = length * eighth * TPB // sub - 2 * GAP
            if rng.random() < 0.3:  # a scoop from below into the note
                for ms, bend in ((0, -int(rng.integers(900, 2500))), (35, -600), (80, 0)):
                    track.controls.append((tick + int(ms / 1000 * ticks_per_second), PITCH_BEND, bend))
            track.controls.append((tick, 1, 0))
            if ticks > 0.35 * ticks_per_second:  # vibrato sets in on held notes
                depth = int(rng.integers(30, 90))
                for k in range(1, 4):
                    track.controls.append((tick + int((0.12 + 0.08 * k) * ticks_per_second), 1, depth * k // 3))
            track.add(tick, ticks, pitch, 92 + loudness + int(rng.integers(-10, 11)))
            position += length
        bar += span
    return track


def _strike(piece: TrainPiece, track: _Track, mode: str, tick: int, length: int, chord: list[int], octave: int,
            rng: np.random.Generator, ticks_per_second: float, audible: bool) -> None:
    """One chord: a power chord, a strum (strings a few ms apart), or all notes at once."""
    if not audible:
        return
    velocity = 76 + piece.velocity["comp"]
    if mode == "power":
        for p in (chord[0], chord[0] + 7, chord[0] + 12):
            track.add(tick, length, p + octave, velocity + 4)
    elif mode == "strum":
        up = rng.random() < 0.3
        spread = rng.uniform(0.006, 0.018) * ticks_per_second
        for j, p in enumerate(reversed(chord) if up else chord):
            track.add(tick + int(j * spread), max(1, length - int(j * spread)), p + octave,
                      velocity - 4 * j + int(rng.integers(-5, 6)))
    else:
        for p in chord:
            track.add(tick, length, p + octave, velocity - 6 + int(rng.integers(-5, 6)))


# --------------------------------------------------------------------------
# Audio: augmentation chain
# --------------------------------------------------------------------------


def biquad(kind: str, freq: float, gain_db: float, q: float, rate: float = SAMPLE_RATE) -> np.ndarray:
    """Second-order-section coefficients (1 x 6) of a shelf or peak filter (Audio EQ Cookbook)."""
    a = 10 ** (gain_db / 40)
    w = 2 * math.pi * freq / rate
    cos, alpha = math.cos(w), math.sin(w) / (2 * q)
    if kind == "peak":
        b = [1 + alpha * a, -2 * cos, 1 - alpha * a]
        den = [1 + alpha / a, -2 * cos, 1 - alpha / a]
    else:
        sq = 2 * math.sqrt(a) * alpha
        sign = 1 if kind == "lowshelf" else -1
        b = [a * ((a + 1) - sign * (a - 1) * cos + sq), sign * 2 * a * ((a - 1) - sign * (a + 1) * cos),
             a * ((a + 1) - sign * (a - 1) * cos - sq)]
        den = [(a + 1) + sign * (a - 1) * cos + sq, -sign * 2 * ((a - 1) + sign * (a + 1) * cos),
               (a + 1) + sign * (a - 1) * cos - sq]
    return np.array([[*(np.array(b) / den[0]), 1.0, den[1] / den[0], den[2] / den[0]]])


def amplifier(x: np.ndarray, drive_db: float, cabinet_hz: float, bias: float, rate: float = SAMPLE_RATE) -> np.ndarray:
    """A guitar amplifier and speaker cabinet on ``x``, at ``x``'s RMS level.

    A tight low end into asymmetric soft clipping ``drive_db`` above the
    stem's peak (the General MIDI banks' guitars are single notes recorded
    apart; chords through one saturating stage intermodulate as a real
    amplifier's do), then a speaker's roll-off and the mid-range presence
    of a guitar cabinet. Every filter is causal and short, so the onsets
    stay where they were.
    """
    from scipy import signal as sps

    peak, level = float(np.max(np.abs(x), initial=0.0)), math.sqrt(float(np.mean(x * x))) if x.size else 0.0
    if peak == 0.0:
        return x
    y = sps.sosfilt(sps.butter(2, 110, "highpass", fs=rate, output="sos"), x)
    y = np.tanh(10 ** (drive_db / 20) / peak * y + bias) - math.tanh(bias)
    y = sps.sosfilt(np.vstack((sps.butter(4, cabinet_hz, "lowpass", fs=rate, output="sos"),
                               biquad("peak", 1800, 4.0, 1.0, rate),
                               sps.butter(2, 80, "highpass", fs=rate, output="sos"))), y)
    return y * (level / max(math.sqrt(float(np.mean(y * y))), 1e-12))


# General MIDI percussion keys by the drum machine voice that plays them.
MACHINE_VOICES = {"kick": (35, 36), "snare": (38, 40), "clap": (39,), "rim": (37, 75, 76, 77),
                  "hat": (42, 44, 54, 69, 70, 82), "open": (46,), "cymbal": (49, 51, 52, 53, 55, 57, 59),
                  "tom": (41, 43, 45, 47, 48, 50), "bell": (56, 67, 68)}


def drum_machine(times: npt.ArrayLike, keys: list[int], velocities: list[float], seed: int,
                 rate: float = SAMPLE_RATE) -> np.ndarray:
    """A drum machine playing General MIDI percussion ``keys`` at ``times`` (s).

    Electronic music's drums are synthesised, not played: a kick is a sine
    swept down from a punch to a sub-bass hum, hats and claps are filtered
    noise, and every hit of a voice is the same sound. The General MIDI
    banks' kits have no such kick. ``seed`` draws one machine: its kick's
    pitch, sweep, length, click and drive, the snare's tone, the hats'
    brightness and lengths. Each sound starts at its time and is at full
    level within a millisecond.
    """
    from scipy import signal as sps

    rng = np.random.default_rng([seed, 23])
    t = np.arange(int(1.5 * rate)) / rate

    def noise(seconds: float, low: float, high: float) -> np.ndarray:
        n = rng.standard_normal(int(seconds * rate))
        return sps.sosfilt(sps.butter(2, [low, min(high, 0.45 * rate)], "bandpass", fs=rate, output="sos"), n)

    def sweep(top: float, bottom: float, fall: float, decay: float) -> np.ndarray:
        hz = bottom + (top - bottom) * np.exp(-t / fall)
        return np.sin(2 * np.pi * np.cumsum(hz) / rate) * np.exp(-t / decay)

    def shaped(x: np.ndarray, decay: float) -> np.ndarray:
        x = x * np.exp(-np.arange(x.size) / rate / decay)
        return x / max(float(np.max(np.abs(x))), 1e-12)

    kick = sweep(rng.uniform(100, 250), rng.uniform(40, 62), rng.uniform(0.015, 0.06), rng.uniform(0.12, 0.6))
    click = noise(0.004, 1500, 9000)
    kick[:click.size] += rng.uniform(0, 0.5) * click / max(float(np.max(np.abs(click))), 1e-12)
    if rng.random() < 0.5:
        drive = rng.uniform(1.5, 6)
        kick = np.tanh(drive * kick) / math.tanh(drive)
    tone = sweep(*(rng.uniform(170, 260) * np.array([1.3, 1.0])), 0.01, rng.uniform(0.04, 0.1))[:int(0.3 * rate)]
    snare = 0.6 * tone + shaped(noise(0.3, rng.uniform(800, 2000), rng.uniform(6000, 12000)), rng.uniform(0.06, 0.2))
    burst = np.concatenate([shaped(noise(0.011, 900, 5000), 0.003) for _ in range(3)])
    clap = np.concatenate((burst, shaped(noise(0.3, 900, 5000), rng.uniform(0.05, 0.15))))
    bright = rng.uniform(5000, 9000)
    sounds = {
        "kick": kick / np.max(np.abs(kick)), "snare": snare, "clap": clap,
        "rim": shaped(noise(0.05, 1500, 4000), 0.008),
        "hat": 0.6 * shaped(noise(0.15, bright, 18000), rng.uniform(0.015, 0.05)),
        "open": 0.6 * shaped(noise(0.8, bright, 18000), rng.uniform(0.15, 0.4)),
        "cymbal": 0.5 * shaped(noise(1.5, rng.uniform(3000, 6000), 18000), rng.uniform(0.4, 1.2)),
        "tom": sweep(rng.uniform(150, 300), rng.uniform(80, 140), 0.03, 0.25)[:int(0.6 * rate)],
        "bell": 0.5 * shaped(np.sign(np.sin(2 * np.pi * 560 * t[:int(0.3 * rate)]))
                             + np.sign(np.sin(2 * np.pi * 845 * t[:int(0.3 * rate)])), 0.08),
    }
    voice_of = {key: name for name, keys in MACHINE_VOICES.items() for key in keys}
    starts = np.round(np.asarray(times, dtype=np.float64) * rate).astype(np.int64)
    out = np.zeros(int(starts.max(initial=0)) + int(1.5 * rate) + 1)
    for start, key, velocity in zip(starts, keys, velocities):
        sound = sounds[voice_of.get(key, "hat")]
        out[start:start + sound.size] += (velocity / 127) ** 1.5 * sound
    return 0.5 * out


def _normalise(x: np.ndarray, peak_db: float = 0.0) -> np.ndarray:
    peak = np.abs(x).max()
    return x * (10 ** (peak_db / 20) / peak) if peak > 0 else x


def lossy_round_trip(x: np.ndarray, codec: str, kbps: int, rate: int = SAMPLE_RATE) -> tuple[np.ndarray, int]:
    """Encode and decode ``x`` with ffmpeg; return it realigned to ``x`` and the lag removed (samples).

    Decoders should drop the encoder's delay themselves; the lag is measured
    by cross-correlation anyway and taken out, so the annotations hold.
    """
    import soundfile
    from scipy import signal as sps

    with tempfile.TemporaryDirectory() as tmp:
        src, enc, dec = Path(tmp) / "in.wav", Path(tmp) / f"enc.{codec}", Path(tmp) / "out.wav"
        soundfile.write(src, x, rate, subtype="FLOAT")
        lib = {"mp3": "libmp3lame", "ogg": "libvorbis"}[codec]
        for cmd in (["-i", str(src), "-c:a", lib, "-b:a", f"{kbps}k", str(enc)],
                    ["-i", str(enc), "-c:a", "pcm_f32le", "-ar", str(rate), str(dec)]):
            done = subprocess.run(["ffmpeg", "-v", "error", "-y", *cmd], capture_output=True, text=True)
            if done.returncode != 0:
                raise RuntimeError(f"ffmpeg failed: {done.stderr.strip()}")
        y, _ = soundfile.read(dec, dtype="float64", always_2d=True)
    y = y.mean(axis=1)
    # Lag of y behind x, searched within +-50 ms on up to 20 s from the middle.
    reach = rate // 20
    mid = x.size // 2
    lo, hi = max(0, mid - 10 * rate), min(x.size, mid + 10 * rate)
    a, b = x[lo:hi], y[lo:min(hi, y.size)]
    corr = sps.correlate(b, a, mode="full", method="fft")
    zero = a.size - 1
    window = corr[zero - reach: zero + reach + 1]
    lag = int(np.argmax(window)) - reach
    y = y[lag:] if lag >= 0 else np.concatenate((np.zeros(-lag), y))
    y = y[:x.size] if y.size >= x.size else np.concatenate((y, np.zeros(x.size - y.size)))
    return y, lag


def augment(x: np.ndarray, settings: dict, seed: int, rate: int = SAMPLE_RATE) -> tuple[np.ndarray, dict]:
    """The augmentation chain on mono ``x``; returns the audio and what was measured on the way.

    Every step keeps the onsets where they were: the EQ runs forwards and
    backwards (zero phase), the compressor has no look-ahead, the clipper
    is memoryless, and a codec's lag is measured and removed.
    """
    from scipy import signal as sps

    rng = np.random.default_rng([seed, 17])
    measured: dict = {}
    x = _normalise(x)
    for band in settings.get("eq", ()):
        # Forward and backward: half the gain each way.
        sos = biquad(band["kind"], band["freq"], band["gain_db"] / 2, band["q"], rate)
        x = sps.sosfiltfilt(sos, x)
    x = _normalise(x)
    if "compress" in settings:
        c = settings["compress"]
        keep = math.exp(-1.0 / (c["release"] * rate))
        power = sps.lfilter([1 - keep], [1, -keep], x * x)
        level = 10 * np.log10(np.maximum(power, 1e-12)) + 3.0  # RMS of a sine to its peak
        over = np.maximum(level - c["threshold_db"], 0.0)
        x = _normalise(x * 10 ** (-over * (1 - 1 / c["ratio"]) / 20))
    if "clip" in settings:
        d = settings["clip"]["drive"]
        x = np.tanh(d * x) / math.tanh(d)
    if "noise" in settings:
        n = settings["noise"]
        noise = rng.standard_normal(x.size)
        if n["color"] == "pink":
            spectrum = np.fft.rfft(noise)
            spectrum[1:] /= np.sqrt(np.arange(1, spectrum.size))
            spectrum[0] = 0
            noise = np.fft.irfft(spectrum, x.size)
        rms = math.sqrt(float(np.mean(x * x)))
        x = x + noise * (rms / 10 ** (n["snr_db"] / 20) / math.sqrt(float(np.mean(noise * noise))))
    x = _normalise(x, -1.0)
    if "codec" in settings:
        x, lag = lossy_round_trip(x, settings["codec"]["format"], settings["codec"]["kbps"], rate)
        measured["codec_lag_samples"] = lag
    x = _normalise(x, settings["peak_db"])
    return x, measured


# --------------------------------------------------------------------------
# Rendering and the cache
# --------------------------------------------------------------------------


def fingerprint(piece: TrainPiece) -> str:
    fields = asdict(piece)
    for key in ("kit", "voice", "amp", "machine"):
        if fields[key] is None:
            del fields[key]  # so pieces rendered before these existed stay cached
    text = json.dumps([fields, TRAINSET_VERSION, evalset.RENDER_OFFSET, SAMPLE_RATE])
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def _fluid_options(piece: TrainPiece) -> tuple[str, ...]:
    opts = ["-C", "1" if piece.chorus else "0"]
    if SOUNDFONTS[piece.soundfont][0].suffix == ".sf3":
        # Decode only the samples the piece's presets use: an SF3 bank's Vorbis
        # samples otherwise take seconds to decode per piece. The output is
        # bit for bit the same (checked); for SF2 banks it is not, so they load whole.
        opts += ["-o", "synth.dynamic-sample-loading=1"]
    if piece.reverb is None:
        return (*opts, "-R", "0")
    return (*opts, "-R", "1", "-o", f"synth.reverb.room-size={piece.reverb[0]:.3f}",
            "-o", f"synth.reverb.level={piece.reverb[1]:.3f}")


def synthesize(piece: TrainPiece, tracks: list[_Track] | None = None) -> np.ndarray:
    """The piece through FluidSynth with its SoundFont, mono, cut to its end (before augmentation)."""
    import soundfile

    tracks = arrange(piece) if tracks is None else tracks
    drums = [t for t in tracks if t.channel == 9]
    # Drums played elsewhere (a sampled kit, the drum machine) leave the SoundFont's stem;
    # amplified guitars get a stem of their own.
    band = [t for t in tracks if t.channel != 9] if piece.kit is not None or piece.machine is not None else tracks
    guitars = [t for t in band if t.channel != 9 and t.program in GUITARS] if piece.amp is not None else []
    stems: list[tuple[TrainPiece, list[_Track], float, tuple[float, float, float] | None]] = \
        [(piece, [t for t in band if t not in guitars], 1.0, None)]
    if piece.amp is not None:
        stems.append((piece, guitars, 10 ** (piece.amp[3] / 20), piece.amp[:3]))
    if piece.kit is not None:
        # The kit's one preset sits at bank 0, program 0: its notes move off the percussion channel.
        moved = [_Track(0, 0, t.volume) for t in drums]
        for m, t in zip(moved, drums):
            m.notes = t.notes
        stems.append((replace(piece, soundfont=piece.kit[0]), moved, 10 ** (piece.kit[1] / 20), None))
    x, rate = np.zeros(0), SAMPLE_RATE
    with tempfile.TemporaryDirectory() as tmp:
        midi, wav = Path(tmp) / "piece.mid", Path(tmp) / "piece.wav"
        for sound, notes, gain, amp in stems:
            if not any(t.notes for t in notes):
                continue
            # write_midi takes only the meter from the piece when given tracks and tempo events.
            evalset.write_midi(cast(evalset.Piece, piece), midi, tracks=notes, events=tempo_events(piece))
            evalset._fluidsynth(midi, wav, soundfont=SOUNDFONTS[sound.soundfont][0], options=_fluid_options(sound))
            signal, rate = soundfile.read(wav, dtype="float64", always_2d=True)
            stem = signal.mean(axis=1)
            if amp is not None:
                stem = amplifier(stem, *amp, rate=rate)
            stem = gain * stem
            x = np.pad(x, (0, max(0, stem.size - x.size)))
            x[:stem.size] += stem
    hits = [(tick, pitch, velocity * t.volume / 127) for t in drums for tick, _, pitch, velocity in t.notes]
    if piece.machine is not None and hits:
        ticks, keys, levels = zip(*hits)
        played = drum_machine(evalset.tick_times(ticks, tempo_events(piece)) + evalset.RENDER_OFFSET,
                              list(keys), list(levels), piece.machine, rate)
        x = np.pad(x, (0, max(0, played.size - x.size)))
        x[:played.size] += played
    end = min(x.size, round(_duration(piece) * rate))
    x = x[:end]
    fade = min(x.size, rate // 2)
    x[x.size - fade:] *= np.linspace(1.0, 0.0, fade)
    return x


def beat_annotations(piece: TrainPiece, samples: int) -> tuple[np.ndarray, np.ndarray]:
    """The beats of the finished audio (``samples`` long): shifted by its start, inside it."""
    times, positions = beat_grid(piece)
    times = times + _start_samples(piece) / SAMPLE_RATE
    # A cut piece's beats stop before its fade gets deep.
    limit = samples / SAMPLE_RATE - (0.25 if piece.ending == "cut" else 0.0)
    keep = (times >= 0) & (times <= limit)
    return times[keep], positions[keep]


def _start_samples(piece: TrainPiece) -> int:
    return round(piece.augment["start"] * SAMPLE_RATE)


def _shift(x: np.ndarray, samples: int) -> np.ndarray:
    return np.concatenate((np.zeros(samples), x)) if samples >= 0 else x[-samples:]


def render_piece(piece: TrainPiece, folder: Path) -> dict:
    """Render one piece into ``folder`` unless it is there; return its manifest row."""
    import soundfile

    stem = folder / piece.name
    flac, meta = stem.with_suffix(".flac"), stem.with_suffix(".json")
    fp = fingerprint(piece)
    if flac.exists() and meta.exists():
        try:
            row = json.loads(meta.read_text())
            if row["fingerprint"] == fp:
                return _row(row)
        except (ValueError, KeyError):
            pass
    x = synthesize(piece)
    x, measured = augment(x, piece.augment, piece.seed)
    x = _shift(x, _start_samples(piece))
    times, positions = beat_annotations(piece, x.size)
    tmp = stem.with_suffix(".tmp.flac")
    soundfile.write(tmp, x, SAMPLE_RATE, subtype="PCM_16", format="FLAC")
    os.replace(tmp, flac)
    evalset.write_beats(stem.with_suffix(".beats"), times, positions)
    tempi = 60.0 / np.diff(times) if times.size > 1 else np.array([piece.tempo])
    row = {**asdict(piece), "fingerprint": fp, "version": TRAINSET_VERSION,
           "soundfont_file": str(SOUNDFONTS[piece.soundfont][0]), "soundfont_licence": SOUNDFONTS[piece.soundfont][1],
           **({"kit_file": str(SOUNDFONTS[piece.kit[0]][0]), "kit_licence": SOUNDFONTS[piece.kit[0]][1]}
              if piece.kit else {}),
           "annotated_tempo": round(float(np.median(tempi)), 3),
           "tempo_range": [round(float(tempi.min()), 2), round(float(tempi.max()), 2)],
           "beats": int(times.size), "downbeats": int((positions == 1).sum()),
           "duration": round(x.size / SAMPLE_RATE, 3), "measured": measured}
    meta.write_text(json.dumps(row, indent=1))
    return _row(row)


def _row(meta: dict) -> dict:
    keys = ("name", "style", "meter", "time_signature", "soundfont", "drums", "annotated_tempo", "duration",
            "beats", "curve", "pickup")
    return {k: meta[k] for k in keys} | {"codec": meta["augment"].get("codec", {}).get("format"),
                                         "kit": (meta.get("kit") or [None])[0]}


def probe_alignment(piece: TrainPiece, settings: dict | None = None, *, note: int | None = None,
                    program: int | None = None) -> np.ndarray:
    """Audio onset minus annotation of every beat of a click track made like ``piece``.

    The click track has the piece's tempo map, SoundFont (or kit) and start, one
    woodblock note (a side stick on a kit) on every annotated beat, and goes through the
    augmentation chain (``settings``, the piece's own by default). With
    ``program``, the clicks are that instrument's ``note`` instead (a guitar
    plays through the piece's amplifier). The result is what every step of
    rendering and augmentation adds to the annotations: near zero.
    """
    dry = replace(piece, reverb=None, chorus=False, ending="chord")
    if note is None:
        note = 76 if piece.kit is None else SIDE_STICK  # a high woodblock; the sampled kits have none
    clicks = _Track(9 if program is None else 0, program, 127)
    for k in range(_beat_count(dry)):
        clicks.add((LEAD_IN_BEATS + k) * TPB, TPB // 8, note, 120)
    x = synthesize(dry, [clicks])
    x, _ = augment(x, piece.augment if settings is None else settings, piece.seed)
    x = _shift(x, _start_samples(piece))
    times, _ = beat_annotations(dry, x.size)
    onsets = evalset.click_onsets(x, SAMPLE_RATE, threshold=0.1, gap=min(0.1, 0.5 * float(np.diff(times).min())))
    if onsets.size != times.size:
        raise RuntimeError(f"{piece.name}: {onsets.size} clicks heard, {times.size} annotated")
    return onsets - times


def plan_split(split: str, hours: float, seed: int = 0) -> list[TrainPiece]:
    """Pieces 0, 1, ... of a split until their planned audio reaches ``hours``."""
    pieces, total, index = [], 0.0, 0
    while total < hours * 3600:
        piece = plan_piece(split, index, seed)
        pieces.append(piece)
        total += _duration(piece) + piece.augment["start"]
        index += 1
    return pieces


def write_index(folder: Path, split: str, rows: list[dict], planned: int) -> None:
    """The split's manifest: one row per finished piece, and totals."""
    rows = sorted(rows, key=lambda r: r["name"])
    body = {"split": split, "pieces": len(rows), "planned": planned,
            "hours": round(sum(r["duration"] for r in rows) / 3600, 4),
            "soundfonts": {n: SOUNDFONTS[n][1] for n in SPLIT_SOUNDFONTS[split] + SPLIT_KITS.get(split, ())},
            "version": TRAINSET_VERSION, "rows": rows}
    tmp = folder / "index.json.tmp"
    tmp.write_text(json.dumps(body, indent=0))
    os.replace(tmp, folder / "index.json")


def render_split(split: str, pieces: list[TrainPiece], out: Path, jobs: int = 1, every: int = 20) -> list[dict]:
    """Render a split (cached), refreshing its manifest every ``every`` pieces."""
    folder = out / split
    folder.mkdir(parents=True, exist_ok=True)
    rows: list[dict] = []
    begun, audio = time.monotonic(), 0.0
    with ThreadPoolExecutor(max(1, jobs)) as pool:
        for i, row in enumerate(pool.map(lambda p: (render_piece(p, folder), time.monotonic())[0], pieces)):
            rows.append(row)
            audio += row["duration"]
            if (i + 1) % every == 0 or i + 1 == len(pieces):
                write_index(folder, split, rows, len(pieces))
                wall = time.monotonic() - begun
                print(f"[{split} {i + 1}/{len(pieces)}] {audio / 3600:.2f} h, {wall / 60:.1f} min, "
                      f"{audio / max(wall, 1e-9):.1f} audio s per s (cached pieces count as fast)", flush=True)
    return rows


def summary(rows: list[dict], split: str) -> str:
    """Hours per style, SoundFont and meter, and the tempo histogram."""
    hours = sum(r["duration"] for r in rows) / 3600
    lines = [f"{split}: {len(rows)} pieces, {hours:.2f} h, "
             f"{100 * sum(not r['drums'] for r in rows) / max(len(rows), 1):.0f} % without drums, "
             f"{100 * sum(r['codec'] is not None for r in rows) / max(len(rows), 1):.0f} % through a codec, "
             f"{100 * sum(r['pickup'] > 0 for r in rows) / max(len(rows), 1):.0f} % with a pickup"]
    for key in ("style", "soundfont", "kit", "time_signature", "curve"):
        per: Counter = Counter()
        for r in rows:
            per[r[key]] += r["duration"] / 3600
        lines.append(f"  {key}: " + ", ".join(f"{k} {v:.2f}" for k, v in sorted(per.items(), key=lambda kv: -kv[1])))
    edges = np.array([40, 60, 80, 100, 120, 140, 160, 180, 200, 245])
    counts, _ = np.histogram([r["annotated_tempo"] for r in rows], bins=edges)
    lines.append("  tempo (BPM: pieces): " + ", ".join(f"{a}-{b}: {c}" for a, b, c in zip(edges[:-1], edges[1:], counts)))
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Render the training set (valid split first, then train).")
    flags = {split: "--hours" if split == "train" else f"--{split}-hours" for split in SPLIT_HOURS}
    for split, flag in flags.items():
        parser.add_argument(flag, type=float, default=SPLIT_HOURS[split], help=f"{split} split, hours of audio")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--jobs", type=int, default=1, help="FluidSynth processes at a time")
    parser.add_argument("--out", default=None, help=f"output folder (default {CACHE})")
    parser.add_argument("--quick", action="store_true", help="a few minutes of each split")
    parser.add_argument("--splits", default=",".join(SPLIT_HOURS), help="which splits, in order")
    args = parser.parse_args(argv)
    unknown = set(args.splits.split(",")) - set(SPLIT_HOURS)
    if unknown:
        parser.error(f"unknown split {', '.join(sorted(unknown))}; the splits are {', '.join(SPLIT_HOURS)}")
    hours = {split: getattr(args, flag[2:].replace("-", "_")) for split, flag in flags.items()}
    if args.quick:
        hours = {split: 0.05 if split == "train" else 0.03 for split in SPLIT_HOURS}
    out = Path(args.out) if args.out else CACHE / ("quick" if args.quick else "full")
    evalset.ensure_renderer()
    report = []
    for split in args.splits.split(","):
        pieces = plan_split(split, hours[split], args.seed)
        print(f"{split}: {len(pieces)} pieces planned into {out / split}", flush=True)
        begun = time.monotonic()
        rows = render_split(split, pieces, out, args.jobs)
        wall = time.monotonic() - begun
        report.append(summary(rows, split) + f"\n  wall {wall / 60:.1f} min")
    print("\n".join(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
