"""The options of the tempo model, defined once.

:class:`TempoModel` holds every option the beat model and the bar-pointer
model share, with its default; both builders take it (or its fields as
keywords), the trackers and the batch pass it through, and the command
line generates its options from the fields, so a new option is a field
here and its use in the builders.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, fields, replace
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["DEFAULT_FPS", "DEFAULT_TEMPO_PRIOR", "TempoModel", "TempoPrior", "as_tempo_prior", "into_range",
           "with_heard_tempo"]

# Frames per second of an activation, and of the onset strength computed from audio.
DEFAULT_FPS = 100.0


@dataclass(frozen=True)
class TempoPrior:
    """A log-normal prior over tempo, charged per second spent at a tempo.

    Parameters
    ----------
    centre_bpm : float
        The most likely tempo, in beats per minute.
    width : float
        Standard deviation of ``log2(tempo)``, in octaves.

    Notes
    -----
    A stretch of ``seconds`` at tempo ``bpm`` costs
    ``0.5 * (log2(bpm / centre_bpm) / width) ** 2`` in log-probability per
    beat of the centre tempo it lasts, so one beat at the centre tempo costs
    nothing and the cost of a path grows with time, not with its number of
    beats.
    """

    centre_bpm: float
    width: float

    def __post_init__(self) -> None:
        for name in ("centre_bpm", "width"):
            value = getattr(self, name)
            try:
                value = float(value)
            except (TypeError, ValueError):
                raise ValueError(f"tempo prior {name} must be a number, got {value!r}") from None
            if not (math.isfinite(value) and value > 0):
                raise ValueError(f"tempo prior {name} must be a positive finite number, got {value!r}")
            object.__setattr__(self, name, value)

    def combine(self, other: "TempoPrior") -> "TempoPrior":
        """Both priors at once: the product of the two log-normal densities.

        Their precisions (``width ** -2``) add, and the centre is the
        precision-weighted mean of the two centres in octaves.
        """
        precisions = self.width ** -2, other.width ** -2
        octaves = (math.log2(self.centre_bpm) * precisions[0] + math.log2(other.centre_bpm) * precisions[1])
        total = precisions[0] + precisions[1]
        return TempoPrior(2.0 ** (octaves / total), total ** -0.5)

    def log_density(self, bpm: npt.ArrayLike) -> np.ndarray:
        """Unnormalised log-density of the prior at ``bpm``: 0 at the centre."""
        z = np.log2(np.asarray(bpm, dtype=np.float64) / self.centre_bpm) / self.width
        return -0.5 * z * z

    def log_weights(self, bpm: npt.ArrayLike, seconds: npt.ArrayLike) -> np.ndarray:
        """Log-weight (<= 0) of a stretch of ``seconds`` spent at ``bpm``."""
        beats = np.asarray(seconds, dtype=np.float64) * (self.centre_bpm / 60.0)
        return self.log_density(bpm) * beats


# On by default: tempo octave errors are the tracker's most common failure
# on music. Chosen on the rendered evaluation set (see README).
DEFAULT_TEMPO_PRIOR = TempoPrior(centre_bpm=120.0, width=1.0)


def as_tempo_prior(tempo_prior: TempoPrior | tuple[float, float] | None) -> TempoPrior | None:
    """A :class:`TempoPrior` from itself, a ``(centre_bpm, width)`` pair or None."""
    if tempo_prior is None or isinstance(tempo_prior, TempoPrior):
        return tempo_prior
    try:
        centre_bpm, width = tempo_prior
    except (TypeError, ValueError):
        raise ValueError(
            f"tempo_prior must be a TempoPrior, a (centre_bpm, width) pair or None, got {tempo_prior!r}"
        ) from None
    return TempoPrior(centre_bpm, width)



def into_range(bpm: float, low: float, high: float) -> float:
    """``bpm`` moved by whole octaves into [low, high], as far as it goes.

    A tempo heard beyond the model's range is the pulse at another
    metrical level; a prior centred there would drag every path to the
    range's edge, off the beats.
    """
    while bpm > high and bpm / 2 >= low:
        bpm /= 2
    while bpm < low and bpm * 2 <= high:
        bpm *= 2
    return bpm


def with_heard_tempo(options: dict[str, Any], heard: TempoPrior) -> dict[str, Any]:
    """Model options (``model=`` or its fields) with their tempo prior combined with ``heard``.

    ``heard`` is the prior a front end gives for the tempo it hears
    (:func:`cadentia.frontend.analyse`); where the options have no prior
    (``tempo_prior=None``) it applies alone. A heard tempo outside the
    model's range is moved into it by octaves first: what is heard there
    is the pulse at another metrical level, and a prior centred beyond the
    range would drag every path to its edge, off the beats.
    """
    model = options.get("model")
    prior = model.tempo_prior if model is not None else as_tempo_prior(options.get("tempo_prior", DEFAULT_TEMPO_PRIOR))
    defaults = {f.name: f.default for f in fields(TempoModel)}
    low, high = (float(getattr(model, name) if model is not None else options.get(name, defaults[name]))
                 for name in ("min_bpm", "max_bpm"))
    heard = TempoPrior(into_range(heard.centre_bpm, low, high), heard.width)
    combined = heard if prior is None else prior.combine(heard)
    if model is not None:
        return {**options, "model": replace(model, tempo_prior=combined)}
    return {**options, "tempo_prior": combined}


@dataclass(frozen=True)
class TempoModel:
    """The tempo model's options: tempo grid, tempo changes, observation and prior.

    Parameters
    ----------
    min_bpm, max_bpm : float
        The tempo range, in beats per minute.
    num_tempi : int, optional
        That many logarithmically spaced tempo lanes; None gives one lane
        for every whole-frame beat interval.
    transition_lambda : float
        How strongly tempo changes are penalised (see
        :func:`cadentia.model.tempo.tempo_change_weights`).
    observation_lambda : float
        The first ``1 / observation_lambda`` of every beat is its beat region.
    transition_threshold : float
        Tempo-change weights below this times the same-tempo weight are dropped.
    tempo_prior : TempoPrior, (centre_bpm, width) or None
        The log-normal tempo prior; None gives every tempo the same weight.

    Notes
    -----
    Each field's ``metadata["help"]`` is its command-line help (and
    ``metadata["metavar"]`` what its value is called there); a field
    without help is a library option only. The values are checked where the
    models are built, with messages that name the option.
    """

    min_bpm: float = field(default=55.0, metadata={"help": "slowest tempo to consider", "metavar": "BPM"})
    max_bpm: float = field(default=215.0, metadata={"help": "fastest tempo to consider", "metavar": "BPM"})
    num_tempi: int | None = field(default=None, metadata={
        "help": "number of log-spaced tempo lanes (default: one per whole-frame beat interval)"})
    transition_lambda: float = field(default=100.0, metadata={
        "help": "penalty on tempo changes at a beat; 0 makes every change as likely as none"})
    observation_lambda: float = field(default=16.0, metadata={
        "help": "the first 1/N of every beat is its beat region, which reads the activation"})
    # Weights this far below the same-tempo weight vanish next to it in
    # single precision, so keeping their edges would only cost time.
    transition_threshold: float = float(np.finfo(np.float32).eps)
    tempo_prior: TempoPrior | None = field(default=DEFAULT_TEMPO_PRIOR, metadata={
        "help": "log-normal tempo prior: most likely tempo in BPM and width in octaves"})

    def __post_init__(self) -> None:
        object.__setattr__(self, "tempo_prior", as_tempo_prior(self.tempo_prior))

    @classmethod
    def of(cls, model: TempoModel | None = None, *args: Any, **options: Any) -> TempoModel:
        """A model from a :class:`TempoModel`, or from field values given by position or name.

        Positional values follow the field order (``min_bpm``, ``max_bpm``,
        ``num_tempi``, ...), as the builders have always taken them.

        Raises
        ------
        TypeError
            ``model`` together with options, more values than fields, or an
            unknown option.
        """
        if model is not None:
            if args or options:
                raise TypeError("give either a TempoModel or tempo options, not both")
            return model
        names = [f.name for f in fields(cls)]
        if len(args) > len(names):
            raise TypeError(f"at most {len(names)} tempo options by position, got {len(args)}")
        for name, value in zip(names, args):
            if name in options:
                raise TypeError(f"tempo option {name!r} given twice")
            options[name] = value
        return cls(**options)

    def options(self) -> dict[str, Any]:
        """The fields as plain keyword options (the prior as a pair or None)."""
        values = {f.name: getattr(self, f.name) for f in fields(self)}
        prior = self.tempo_prior
        values["tempo_prior"] = None if prior is None else (prior.centre_bpm, prior.width)
        return values
