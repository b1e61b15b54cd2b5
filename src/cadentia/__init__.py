"""cadentia: hidden-Markov-model beat, downbeat and tempo tracking.

The package in layers, each importing only those below it:

- :mod:`cadentia.errors`: the one error family;
- :mod:`cadentia.model`: the compiled kernels, the options of the tempo
  model (:class:`TempoModel`), the state spaces of beats and bars and their
  observation models;
- :mod:`cadentia.io`: audio files and streams, activation files, the paths
  of a batch;
- :mod:`cadentia.frontend`: audio to activations, a registry of front ends;
- :mod:`cadentia.track`: the offline trackers and the live streams;
- :mod:`cadentia.results`, :mod:`cadentia.batch` (and
  :mod:`cadentia.arrays` for audio in memory), :mod:`cadentia.evaluate`,
  :mod:`cadentia.plot`, :mod:`cadentia.sonify`: files in and out;
- :mod:`cadentia.cli`: the command line, on top.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

# The public names and the submodule each lives in. They load on first use
# (PEP 562): importing a submodule, the compiled kernels above all, must not
# import the rest of the package first, or a failure there would mask the
# kernels' own start-up errors.
_EXPORTS = {
    **dict.fromkeys(("AudioError", "CadentiaError"), "errors"),
    # The tempo model and its state spaces.
    **dict.fromkeys(("DEFAULT_FPS", "DEFAULT_TEMPO_PRIOR", "TempoModel", "TempoPrior", "as_tempo_prior"),
                    "model.options"),
    **dict.fromkeys(("TempoStateSpace", "tempo_change_weights", "tempo_prior_log_weights", "tempo_state_space"),
                    "model.tempo"),
    **dict.fromkeys(("DownbeatStateSpace", "downbeat_state_space"), "model.bars"),
    # Audio to activations.
    **dict.fromkeys(("DEFAULT_FRONT_END", "FRONT_ENDS", "activation_stream", "analyse", "analyse_bars",
                     "beat_activation", "downbeat_activation", "heard_tempo"), "frontend"),
    **dict.fromkeys(("BarEvidence", "BarPhaseStream", "MeterHint", "PhaseHint"), "frontend.meter"),
    **dict.fromkeys(("OnsetStream", "onset_strength"), "frontend.flux"),
    **dict.fromkeys(("NetworkActivationStream", "network_activation"), "frontend.network"),
    **dict.fromkeys(("file_activation", "file_analysis", "file_bar_analysis", "file_bar_stream",
                     "file_downbeat_activation", "file_stream"), "frontend.files"),
    **dict.fromkeys(("audio_blocks",), "io.audio"),
    **dict.fromkeys(("load_activation", "load_downbeat_activation"), "io.activations"),
    # Tracking.
    **dict.fromkeys(("AudioBeatStream", "BeatStream", "BeatTrack", "track_beats"), "track.beats"),
    **dict.fromkeys(("AudioDownbeatStream", "DownbeatStream", "DownbeatTrack", "track_downbeats"), "track.downbeats"),
    # Many files at once, and scoring them.
    "FileResult": "results",
    **dict.fromkeys(("track_file", "track_files", "track_path"), "batch"),
    "track_audio": "arrays",
    **dict.fromkeys(("EvaluationReport", "downbeat_f_measure", "evaluate_files", "load_beats"), "evaluate"),
}

__all__ = sorted(_EXPORTS)

if TYPE_CHECKING:  # what the lazy loader gives, for type checkers
    from .arrays import track_audio
    from .batch import track_file, track_files, track_path
    from .errors import AudioError, CadentiaError
    from .evaluate import EvaluationReport, downbeat_f_measure, evaluate_files, load_beats
    from .frontend import (DEFAULT_FRONT_END, FRONT_ENDS, activation_stream, analyse, analyse_bars, beat_activation,
                           downbeat_activation, heard_tempo)
    from .frontend.files import (file_activation, file_analysis, file_bar_analysis, file_bar_stream,
                                 file_downbeat_activation, file_stream)
    from .frontend.meter import BarEvidence, BarPhaseStream, MeterHint, PhaseHint
    from .frontend.flux import OnsetStream, onset_strength
    from .frontend.network import NetworkActivationStream, network_activation
    from .io.activations import load_activation, load_downbeat_activation
    from .io.audio import audio_blocks
    from .model.bars import DownbeatStateSpace, downbeat_state_space
    from .model.options import DEFAULT_FPS, DEFAULT_TEMPO_PRIOR, TempoModel, TempoPrior, as_tempo_prior
    from .model.tempo import TempoStateSpace, tempo_change_weights, tempo_prior_log_weights, tempo_state_space
    from .results import FileResult
    from .track.beats import AudioBeatStream, BeatStream, BeatTrack, track_beats
    from .track.downbeats import AudioDownbeatStream, DownbeatStream, DownbeatTrack, track_downbeats


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_EXPORTS})
