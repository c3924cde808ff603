"""Options of the effect classes: their description, their checks and their
parsing from command-line text.

An option is declared in a class body as a descriptor (``FloatOption``,
``IntOption``, ``BoolOption``, ``ChoiceOption``); the descriptor holds an
``OptionInfo`` and makes the option a settable, checked attribute of every
instance.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Generic, Optional, Tuple, TypeVar, Union, overload

if TYPE_CHECKING:
    from divavova._base import Effect

T = TypeVar("T")

KINDS = ("float", "int", "bool", "choice")
TRUE_WORDS = ("1", "true", "yes", "on")
FALSE_WORDS = ("0", "false", "no", "off")


def _number_text(value: float) -> str:
    return str(int(value)) if float(value).is_integer() and abs(value) < 1e15 else f"{value:g}"


@dataclass(frozen=True)
class OptionInfo:
    """One option of an effect class.

    ``kind`` is "float", "int", "bool" or "choice".  ``low`` and ``high`` bound
    the value (None where unbounded); ``below_rate``, when set, is the share of
    the sample rate that the value must stay below (0.5 for frequencies up to
    half the rate), checked when the effect is prepared for a rate; 0 stays
    allowed where 0 means "off".  A "choice" takes one of ``choices`` by name,
    or, where ``numbered`` is set, by its position in ``choices`` (the core's
    own numbering).  ``restarts`` marks options that the core can only change
    by rebuilding the effect, so a change clears its state.
    """

    name: str
    unit: str
    default: object
    help: str
    kind: str
    low: Optional[float] = None
    high: Optional[float] = None
    choices: Tuple[str, ...] = ()
    below_rate: Optional[float] = None
    numbered: bool = False
    restarts: bool = False

    def check(self, value: object, owner: str = "") -> Any:
        """The value in its canonical type (float, int, bool or str); TypeError
        for a value of the wrong type, ValueError for one out of range."""
        where = f"{owner}: " if owner else ""
        if self.kind == "choice":
            return self._choice(value, where)
        if self.kind == "bool":
            if isinstance(value, bool) or type(value).__name__ == "bool_":
                return bool(value)
            if isinstance(value, numbers.Integral) and int(value) in (0, 1):
                return bool(value)
            raise TypeError(f"{where}{self.name} takes True or False, not {value!r}")
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"{where}{self.name} takes a number, not {value!r}")
        if self.kind == "int":
            if not isinstance(value, numbers.Integral):
                raise TypeError(f"{where}{self.name} takes a whole number, not {value!r}")
            number: Union[int, float] = int(value)
        else:
            number = float(value)
            if not math.isfinite(number):
                raise ValueError(f"{where}{self.name} must be a finite number, not {value!r}")
        if (self.low is not None and number < self.low) or (self.high is not None and number > self.high):
            raise ValueError(f"{where}{self.name}={_number_text(number)} is outside {self.range_text()}")
        return number

    def _choice(self, value: object, where: str) -> str:
        if isinstance(value, str):
            name = value.strip().lower()
            if name in self.choices:
                return name
        elif self.numbered and isinstance(value, numbers.Integral) and not isinstance(value, bool):
            if 0 <= int(value) < len(self.choices):
                return self.choices[int(value)]
        else:
            raise TypeError(f"{where}{self.name} takes a name ({self.range_text()}), not {value!r}")
        raise ValueError(f"{where}{self.name}={value!r} is not one of {self.range_text()}")

    def check_rate(self, value: object, sample_rate: int, owner: str = "") -> None:
        """ValueError if the value does not fit this sample rate."""
        if self.below_rate is None or not isinstance(value, (int, float)) or value <= 0:
            return
        limit = self.below_rate * sample_rate
        if value >= limit:
            where = f"{owner}: " if owner else ""
            share = {0.5: "half the sample rate", 0.25: "a quarter of the sample rate",
                     1.0: "the sample rate"}.get(self.below_rate, f"{self.below_rate:g} x the sample rate")
            raise ValueError(f"{where}{self.name}={_number_text(float(value))} {self.unit} must be below {share} "
                             f"({_number_text(limit)} {self.unit} at {sample_rate} Hz)")

    def range_text(self) -> str:
        if self.kind == "choice":
            names = ", ".join(self.choices)
            return f"{names} (or 0 .. {len(self.choices) - 1})" if self.numbered else names
        if self.kind == "bool":
            return "True or False"
        unit = f" {self.unit}" if self.unit else ""
        low = "-inf" if self.low is None else _number_text(self.low)
        if self.high is not None:
            high = _number_text(self.high)
        elif self.below_rate is not None:
            high = {0.5: "rate/2", 0.25: "rate/4", 1.0: "rate"}.get(self.below_rate, f"{self.below_rate:g} x rate")
        else:
            high = "inf"
        text = f"{low} .. {high}{unit}"
        if self.below_rate is not None and self.high is not None:
            text += f", below {self.below_rate:g} x the rate"
        return text

    def default_text(self) -> str:
        if isinstance(self.default, float):
            return _number_text(self.default)
        return str(self.default)

    def describe(self) -> str:
        """One line: the range (with unit), the default and what the option does."""
        restart = " Changing it restarts the effect." if self.restarts else ""
        return f"{self.name}: {self.range_text()}, default {self.default_text()}; {self.help}.{restart}"

    def parse(self, text: str) -> Any:
        """The value written as command-line text (NAME=VALUE), checked; a
        ValueError with a one-line message naming the option otherwise."""
        word = text.strip()
        value: object
        if self.kind == "bool":
            if word.lower() in TRUE_WORDS:
                return True
            if word.lower() in FALSE_WORDS:
                return False
            raise ValueError(f"option {self.name}: {text!r} is not true or false (1/0, yes/no, on/off)")
        if self.kind == "choice":
            value = int(word) if self.numbered and word.lstrip("-").isdigit() else word
        elif self.kind == "int":
            try:
                value = int(word)
            except ValueError:
                raise ValueError(f"option {self.name}: {text!r} is not a whole number") from None
        else:
            try:
                value = float(word)
            except ValueError:
                raise ValueError(f"option {self.name}: {text!r} is not a number") from None
        try:
            return self.check(value)
        except TypeError as exc:  # a choice given as a number it does not take
            raise ValueError(f"option {exc}") from None
        except ValueError as exc:
            raise ValueError(f"option {exc}") from None


class Option(Generic[T]):
    """A descriptor that makes one option a checked attribute of an effect.

    Reading gives the current value; assigning checks it and applies it at the
    effect's next call, keeping the effect's state (options marked
    ``restarts`` rebuild it).
    """

    def __init__(self, kind: str, unit: str, default: T, help: str, **limits: Any) -> None:
        assert kind in KINDS
        self.kind, self.unit, self.default, self.help, self.limits = kind, unit, default, help, limits
        self.name = ""
        self.info = OptionInfo("", unit, default, help, kind, **limits)

    def __set_name__(self, owner: type, name: str) -> None:
        self.name = name
        self.info = OptionInfo(name, self.unit, self.default, self.help, self.kind, **self.limits)
        self.info.check(self.default, owner.__name__)
        self.__doc__ = self.info.describe()

    @overload
    def __get__(self, instance: None, owner: type) -> "Option[T]": ...
    @overload
    def __get__(self, instance: "Effect", owner: type) -> T: ...

    def __get__(self, instance: Optional["Effect"], owner: type) -> Any:
        if instance is None:
            return self
        return instance._values[self.name]

    def __set__(self, instance: "Effect", value: T) -> None:
        instance._set_option(self.name, value)


class Removed:
    """Takes an option of a base class away in a subclass (LowPass has no
    ``type``): reading or setting it is an AttributeError."""

    def __set_name__(self, owner: type, name: str) -> None:
        self.owner, self.name = owner.__name__, name

    def __get__(self, instance: object, owner: type) -> Any:
        if instance is None:
            return self
        raise AttributeError(f"{self.owner} has no option {self.name!r}")

    def __set__(self, instance: object, value: object) -> None:
        raise AttributeError(f"{self.owner} has no option {self.name!r}")


def FloatOption(unit: str, default: float, low: Optional[float], high: Optional[float], help: str,
                **extra: Any) -> Option[float]:
    return Option("float", unit, float(default), help, low=low, high=high, **extra)


def IntOption(unit: str, default: int, low: Optional[int], high: Optional[int], help: str,
              **extra: Any) -> Option[int]:
    return Option("int", unit, default, help, low=low, high=high, **extra)


def BoolOption(default: bool, help: str) -> Option[bool]:
    return Option("bool", "", default, help)


def ChoiceOption(choices: Tuple[str, ...], default: str, help: str, *, numbered: bool = False,
                 **extra: Any) -> Option[str]:
    return Option("choice", "", default, help, choices=choices, numbered=numbered, **extra)


def mix_option(default: float, law: str) -> Option[float]:
    """The ``mix`` of every class that has one: 0 is the dry signal only, 1 the
    wet signal only; ``law`` says what lies between for this class."""
    return FloatOption("", default, 0.0, 1.0, f"0 dry only, 1 wet only; {law}")


# The two laws a mix follows between its ends.
CROSSFADE = "in between a crossfade (dry 1 - mix, wet mix)"
BOTH_AT_HALF = ("the core's dry/wet law at twice the value: dry min(2 - 2 mix, 1), wet min(2 mix, 1), "
                "so 0.5 gives both at full level")
