"""cadentia: hidden-Markov-model beat and tempo tracking."""

import importlib

__version__ = "0.1.0"

# The public names and the submodule each lives in. They load on first use
# (PEP 562): importing a submodule, the compiled kernels above all, must not
# import the rest of the package first, or a failure there would mask the
# kernels' own start-up errors.
_EXPORTS = {
    # Beat tracking (tempo model, tracker).
    **dict.fromkeys(
        ("DEFAULT_TEMPO_PRIOR", "TempoPrior", "TempoStateSpace", "as_tempo_prior", "tempo_change_weights",
         "tempo_prior_log_weights", "tempo_state_space"),
        "statespace",
    ),
    **dict.fromkeys(("AudioBeatStream", "BeatStream", "BeatTrack", "track_beats"), "tracker"),
    **dict.fromkeys(("OnsetStream", "onset_strength"), "onset"),
    **dict.fromkeys(("audio_blocks", "file_activation", "load_activation"), "audio"),
    # Downbeat and meter tracking (bar-pointer model, audio downbeat activation).
    "downbeat_activation": "downbeat_onset",
    **dict.fromkeys(
        ("DownbeatStateSpace", "DownbeatStream", "DownbeatTrack", "downbeat_state_space", "track_downbeats"),
        "downbeats",
    ),
    "downbeat_f_measure": "evaluate",
    # Many files at once (batch).
    "FileResult": "batch",
    "track_file": "batch",
    "track_files": "batch",
    "EvaluationReport": "evaluate",
    "evaluate_files": "evaluate",
    "load_beats": "evaluate",
}

__all__ = sorted(_EXPORTS)


def __getattr__(name: str):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{module}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_EXPORTS})
