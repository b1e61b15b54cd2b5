"""cadentia: hidden-Markov-model beat and tempo tracking."""

__version__ = "0.1.0"
