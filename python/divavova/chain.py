"""Chain: effects in series, itself an effect."""

from __future__ import annotations

from typing import Any, Iterable, Iterator, List, MutableSequence, Set, Union, overload

from divavova._base import USAGE, Effect, all_effects


class Chain(Effect, MutableSequence[Effect]):
    """Effects in series: the output of each is the input of the next.

    A chain is a list of effects (indexing, ``len``, ``append``, ``insert``,
    ``remove``, ``pop``, ``extend``, slices read as lists) and is itself an
    effect: callable, streamable with ``process``, nestable in other chains.
    Its latency is the sum of its members' (removed in whole-signal calls)
    and its tail the sum of their tails.  Members changed, added or moved keep
    their state; one added later is prepared on the chain's next call.  An
    effect instance can be in a chain only once (its state is its own).  A
    chain converts float audio to 16 bits once on the way in and back once on
    the way out; between its members the audio stays int16.

    Example::

        board = Chain([Compressor(threshold_db=-20), Delay(delay_ms=300), PlateReverb()])
        wet = board(audio, 48000)

    """

    _NOTES = USAGE

    def __init__(self, effects: Iterable[Effect] = ()) -> None:
        super().__init__()
        self._effects: List[Effect] = []
        self._stale = False
        self.extend(effects)

    # --- the list ----------------------------------------------------------

    def __len__(self) -> int:
        return len(self._effects)

    @overload
    def __getitem__(self, index: int) -> Effect: ...
    @overload
    def __getitem__(self, index: slice) -> List[Effect]: ...

    def __getitem__(self, index: Union[int, slice]) -> Union[Effect, List[Effect]]:
        return self._effects[index]

    def __setitem__(self, index: Any, value: Any) -> None:
        trial = list(self._effects)
        trial[index] = list(value) if isinstance(index, slice) else value
        self._check_members(trial)
        self._effects = trial
        self._changed()

    def __delitem__(self, index: Union[int, slice]) -> None:
        del self._effects[index]
        self._changed()

    def insert(self, index: int, value: Effect) -> None:
        trial = list(self._effects)
        trial.insert(index, value)
        self._check_members(trial)
        self._effects = trial
        self._changed()

    def __iter__(self) -> Iterator[Effect]:
        return iter(self._effects)

    def __repr__(self) -> str:
        return f"Chain({self._effects!r})"

    def _check_members(self, members: List[Any]) -> None:
        seen: Set[int] = {id(self)}
        for part in all_effects(members):
            if not isinstance(part, Effect):
                raise TypeError(f"a chain holds effects, not {type(part).__name__}")
            if id(part) in seen:
                raise ValueError(f"{type(part).__name__} is already in this chain (an effect's state is its own: "
                                 f"make another instance)")
            seen.add(id(part))

    def _changed(self) -> None:
        self._stale = True
        self._fast = None

    # --- the effect --------------------------------------------------------

    def _streams(self) -> bool:
        return all(effect._streams() for effect in self._effects)

    def output_channels(self, channels: int) -> int:
        for effect in self._effects:
            channels = effect.output_channels(channels)
        return channels

    def _build(self, sample_rate: int, channels: int) -> None:
        for effect in self._effects:
            effect.prepare(sample_rate, channels)
            channels = effect.output_channels(channels)
        self._stale = False

    def _apply(self, names: Set[str]) -> None:
        pass

    def _reset(self) -> None:
        self._build(self._rate, self._channels)

    def _ensure(self) -> None:
        """Prepares the members that joined or moved since the chain was prepared."""
        channels = self._channels
        for effect in self._effects:
            if (effect.sample_rate, effect.channels) != (self._rate, channels):
                effect.prepare(self._rate, channels)
            channels = effect.output_channels(channels)
        self._stale = False
        self._arm()

    def _run(self, block: Any, frames: int) -> bytes:
        if self._stale:
            self._ensure()
        for effect in self._effects:
            fast = effect._fast   # a member ready for its shortcut runs its engine straight
            if fast is not None and fast[2] is not None:
                block = fast[2](block)
                fast[3].clock += frames
            else:
                block = effect._stream(block, frames)
        return block if isinstance(block, bytes) else bytes(block)

    def _latency(self) -> int:
        if self._stale:
            self._ensure()
        return sum(effect._latency() for effect in self._effects)

    def _tail(self) -> int:
        if self._stale:
            self._ensure()
        return sum(effect.tail_frames for effect in self._effects)
