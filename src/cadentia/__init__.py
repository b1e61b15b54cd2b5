"""cadentia: hidden-Markov-model beat and tempo tracking."""

__version__ = "0.1.0"

# Beat tracking (tempo model, tracker).
from .statespace import (  # noqa: E402
    DEFAULT_TEMPO_PRIOR,
    TempoPrior,
    TempoStateSpace,
    tempo_change_weights,
    tempo_prior_log_weights,
    tempo_state_space,
)
from .tracker import AudioBeatStream, BeatStream, BeatTrack, track_beats  # noqa: E402
from .onset import OnsetStream, onset_strength  # noqa: E402
from .audio import audio_blocks, file_activation, load_activation  # noqa: E402
