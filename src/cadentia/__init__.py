"""cadentia: hidden-Markov-model beat and tempo tracking."""

__version__ = "0.1.0"

# Many files at once (batch).
from .batch import FileResult, track_file, track_files  # noqa: E402
from .evaluate import EvaluationReport, evaluate_files, load_beats  # noqa: E402
