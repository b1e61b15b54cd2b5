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

# Downbeat and meter tracking (bar-pointer model, audio downbeat activation).
from .downbeat_onset import downbeat_activation  # noqa: E402
from .downbeats import (  # noqa: E402
    DownbeatStateSpace,
    DownbeatStream,
    DownbeatTrack,
    downbeat_state_space,
    track_downbeats,
)
from .evaluate import downbeat_f_measure  # noqa: E402
