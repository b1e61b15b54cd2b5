"""Trackers on the compiled kernels: beats (:mod:`.beats`) and bars (:mod:`.downbeats`), offline and live."""
