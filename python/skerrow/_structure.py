"""Subsets of a message as sequences of values that know their keys."""

from __future__ import annotations

import os
from itertools import chain
from typing import TYPE_CHECKING, Any, Iterable, Iterator, Sequence, cast, overload

import _skerrow
from skerrow import _native

if TYPE_CHECKING:
    import numpy

    from skerrow._messages import Definitions


class Value:
    """One decoded value with its key and unit.

    ``number`` is the scaled value of a numeric element (None when missing),
    ``text`` the text of a character element, ``meaning`` the code-table
    meaning of a code. ``decoded`` is the ``_skerrow.DecodedValue`` itself.
    """

    __slots__ = ("decoded", "key", "unit", "_subset", "_index")

    def __init__(
        self, decoded: _skerrow.DecodedValue, key: str, unit: str, subset: Subset, index: int
    ) -> None:
        self.decoded = decoded
        self.key = key
        self.unit = unit
        self._subset = subset
        self._index = index

    @property
    def qualifiers(self) -> dict[str, Value]:
        """The values that qualify this one, by qualifier name: the key of a
        quality element (``percentConfidence``), ``associatedField``, or the
        kind of marker (``substitutedValue``, ``firstOrderStatisticalValue``,
        ``differenceStatisticalValue``, ``replacedRetainedValue``)."""
        return self._subset._qualifiers_of(self._index)

    @property
    def descriptor(self) -> int:
        return self.decoded.descriptor

    @property
    def name(self) -> str:
        return self.decoded.name

    @property
    def number(self) -> float | None:
        d = self.decoded
        return None if d.raw is None and d.descriptor != 999999 else d.raw_value

    @property
    def text(self) -> str | None:
        return self.decoded.raw_text

    @property
    def meaning(self) -> str | None:
        return self.decoded.raw_meaning

    def __repr__(self) -> str:
        shown: object = self.text if self.text is not None else self.number
        unit = f" {self.unit}" if self.unit and self.text is None and shown is not None else ""
        return f"<Value {self.key}={shown!r}{unit}>"


def _split_rank(key: str) -> tuple[str, int]:
    """("airTemperature", 2) for "#2#airTemperature"; rank 1 without one."""
    if key.startswith("#"):
        rank, sep, rest = key[1:].partition("#")
        if sep and rank.isdigit() and int(rank) > 0:
            return rest, int(rank)
    return key, 1


class Subset(Sequence[Value]):
    """The values of one subset, in order.

    Index it by position, or look a value up by key: ``subset["airTemperature"]``
    is the first occurrence, ``subset.get("airTemperature", rank=2)`` the
    second (``subset["#2#airTemperature"]`` the same). The six-digit code of
    an element is accepted in place of its key.
    """

    __slots__ = ("_values", "_keys", "_units", "_names", "_refers", "_index", "_qualified")

    def __init__(
        self,
        values: list[_skerrow.DecodedValue],
        keys: list[str],
        units: list[str],
        names: list[str],
        refers: list[int],
    ) -> None:
        self._values = values
        self._keys = keys
        self._units = units
        self._names = names
        self._refers = refers
        self._index: dict[str, int] | None = None
        self._qualified: dict[int, list[int]] | None = None

    def __len__(self) -> int:
        return len(self._values)

    @overload
    def __getitem__(self, index: int) -> Value: ...
    @overload
    def __getitem__(self, index: slice) -> list[Value]: ...
    @overload
    def __getitem__(self, index: str) -> Value: ...
    def __getitem__(self, index: int | slice | str) -> Value | list[Value]:
        if isinstance(index, str):
            key, rank = _split_rank(index)
            found = self.get(key, rank=rank)
            if found is None:
                raise KeyError(index)
            return found
        if isinstance(index, slice):
            return [self._value(i) for i in range(*index.indices(len(self._values)))]
        if index < 0:
            index += len(self._values)
        if not 0 <= index < len(self._values):
            raise IndexError("subset index out of range")
        return self._value(index)

    def __iter__(self) -> Iterator[Value]:
        return (self._value(i) for i in range(len(self._values)))

    def _value(self, i: int) -> Value:
        return Value(self._values[i], self._keys[i], self._units[i], self, i)

    def _qualifiers_of(self, i: int) -> dict[str, Value]:
        if self._qualified is None:
            self._qualified = {}
            for j, target in enumerate(self._refers):
                if target >= 0:
                    self._qualified.setdefault(target, []).append(j)
        prefix = len(self._names[i]) + 2
        return {self._names[j][prefix:]: self._value(j) for j in self._qualified.get(i, [])}

    def is_qualifier(self, index: int) -> bool:
        """True when the value at `index` qualifies another one."""
        return self._refers[index] >= 0

    def get(self, key: str, rank: int = 1, default: Value | None = None) -> Value | None:
        """The `rank`-th value of `key` (a key or a six-digit code), or
        `default`. Qualifiers are reached through their value
        (``subset["airTemperature->percentConfidence"]`` or ``.qualifiers``)
        and do not count as occurrences."""
        if self._index is None:
            self._index = {name: i for i, name in enumerate(self._names) if name}
        if len(key) == 6 and key.isdigit():
            code = int(key)
            for i, v in enumerate(self._values):
                if v.descriptor == code and self._names[i]:
                    key = self._keys[i]
                    break
        base, arrow, qualifier = key.partition("->")
        name = base if rank == 1 else f"#{rank}#{base}"
        found = self._index.get(name + arrow + qualifier)
        return default if found is None else self._value(found)

    def names(self) -> list[str]:
        """The name of every value within the subset, as ``columns()`` names
        them (empty for the values operators emit for themselves)."""
        return list(self._names)

    def keys(self) -> list[str]:
        """The key of every value, in order."""
        return list(self._keys)

    @property
    def values(self) -> list[_skerrow.DecodedValue]:
        """The ``_skerrow.DecodedValue`` objects of the subset."""
        return list(self._values)


def split_subsets(
    values: list[_skerrow.DecodedValue],
    starts: tuple[int, ...],
    keys: list[str],
    units: list[str],
    names: list[str],
    refers: list[int],
) -> list[Subset]:
    ends = (*starts[1:], len(values))
    return [
        Subset(values[a:b], keys[a:b], units[a:b], names[a:b], refers[a:b])
        for a, b in zip(starts, ends)
    ]


class _NumberBlock:
    """numpy's view of a block of float64 numbers the core decoded: its
    array interface, and the capsule that frees the block with the last
    array over it."""

    __slots__ = ("__array_interface__", "_owner")

    def __init__(self, owner: object, address: int, count: int) -> None:
        self._owner = owner
        self.__array_interface__ = {
            "version": 3,
            "shape": (count,),
            "typestr": "=f8",
            "data": (address, True),  # read-only
        }


def columns_from_native(result: _native.ColumnsResult) -> dict[str, numpy.ndarray[Any, Any]]:
    """The dict of columns from what ``_native.columns`` returns: the
    numeric columns are runs of the blocks the core filled (views, no copy),
    the others object arrays of str or None."""
    import numpy

    chunks, count, order, names, others = result
    blocks = [numpy.asarray(_NumberBlock(owner, address, rows * count)).reshape(rows, count)
              for owner, address, rows in chunks]
    if order is None and not others:
        # Every column a run, in order: the dict takes the rows of the blocks
        # as they come, without a list of tens of thousands in between.
        return dict(zip(names, blocks[0] if len(blocks) == 1 else chain.from_iterable(blocks)))
    runs: list[numpy.ndarray[Any, Any]] = []
    for block in blocks:
        runs.extend(block)
    columns = runs if order is None else [runs[i] for i in order]
    for position, payload in others:  # in increasing position
        column = numpy.empty(count, dtype=object)
        column[:] = payload
        columns.insert(position, column)
    return dict(zip(names, columns))


def read_columns(
    source: object,
    keys: Iterable[str] | None = None,
    *,
    meanings: bool = False,
    definitions: Definitions | None = None,
) -> dict[str, numpy.ndarray[Any, Any]]:
    """The columns of every subset of every message of `source`, merged.

    `source` is a path, ``bytes``, what ``skerrow.messages`` returns, or a
    list of these or of messages. Names are those of ``Message.columns()``
    (ranks count within each subset); each array has one entry per subset
    of every message in order, NaN (numbers) or None (texts) where a message
    lacks the name. `keys` and `meanings` are as for ``Message.columns()``:
    a name that no subset of any message has raises KeyError. `definitions`
    is as for ``skerrow.messages`` (for paths and bytes). The messages are
    decoded and merged by the core with the interpreter lock released. A
    message that cannot be decoded raises ValueError naming its offset.
    """
    from skerrow import _messages

    if isinstance(source, (list, tuple)):
        found: list[_messages.Message] = []
        for item in source:
            if isinstance(item, _messages.Message):
                found.append(item)
            else:
                found.extend(_messages.messages(item, definitions=definitions))
    elif isinstance(source, (str, bytes, bytearray, memoryview, os.PathLike)):
        found = list(_messages.messages(source, definitions=definitions))
    else:
        found = list(source)  # type: ignore[call-overload]
    # Each message with the tables argument its own decoding would take.
    calls = [m._native_call(_call_arguments) for m in found]
    wanted = None if keys is None else list(keys)
    return columns_from_native(_native.read_columns(calls, wanted, meanings))


def _call_arguments(*arguments: object) -> _native.MessageArguments:
    """The arguments a _native function on one message is called with."""
    return cast("_native.MessageArguments", arguments)
