"""The messages of a BUFR file or byte string, editions 2, 3 and 4."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, BinaryIO, Iterable, Iterator, NamedTuple, Union

import _skerrow
from skerrow import _native
from skerrow._structure import Subset, split_subsets

if TYPE_CHECKING:
    import numpy

Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]
Definitions = Union[str, "os.PathLike[str]"]


def default_definitions() -> str:
    """The ecCodes definitions root that tables come from when none is given."""
    return "/usr/share/eccodes/definitions"


class Header(NamedTuple):
    """The fields of sections 0 to 4 under the names of ``_skerrow.BufrMessage``.

    A field the message's edition does not have is None: editions 2 and 3
    have no international data subcategory and no seconds, and edition 2 no
    originating subcentre. Editions 2 and 3 store the year of the century
    only. It is read as ecCodes reads it, as a year of the 21st century
    (95 reads as 2095, so data from the 1900s read 100 years late; the year
    of the century is ``typical_year % 100``), except that 100, which WMO
    prescribes for the year 2000, reads as 2000 and not as 2100.
    """

    total_length: int
    edition: int
    section1_length: int
    master_table_number: int
    originating_centre: int
    originating_subcentre: int | None
    update_sequence_number: int
    local_section_present: bool
    data_category: int
    international_data_subcategory: int | None
    local_data_subcategory: int
    master_tables_version_number: int
    local_tables_version_number: int
    typical_year: int
    typical_month: int
    typical_day: int
    typical_hour: int
    typical_minute: int
    typical_second: int | None
    section2_length: int
    section3_length: int
    number_of_subsets: int
    observed_data: bool
    compressed_data: bool
    unexpanded_descriptors: list[int]
    section4_length: int
    section4_data_offset: int
    section4_data_length: int


class Message:
    """One message of a stream: where it starts, its header, and its values."""

    __slots__ = ("offset", "header", "_data", "_length", "_tables")

    def __init__(
        self,
        data: bytes,
        offset: int,
        length: int,
        header: Header,
        tables: _skerrow.TableSet | str,
    ) -> None:
        self._data = data
        self.offset = offset
        self._length = length
        self.header = header
        self._tables = tables

    def __repr__(self) -> str:
        h = self.header
        return (
            f"<skerrow.Message offset={self.offset} edition={h.edition}"
            f" subsets={h.number_of_subsets} length={h.total_length}>"
        )

    def _repr_html_(self) -> str:
        from skerrow._html import message_html

        return message_html(self)

    def bytes(self) -> bytes:
        """The octets of the message."""
        return self._data[self.offset : self.offset + self._length]

    def values(self) -> list[_skerrow.DecodedValue]:
        """All decoded values, subset after subset, as ``_skerrow`` gives them
        for an edition 4 message. A failure raises ValueError naming the
        message's offset."""
        return _native.decode(self._data, self.offset, self._length, self._tables)[0]

    def subsets(self) -> list[Subset]:
        """The values subset by subset; see ``Subset``."""
        return split_subsets(*_native.structure(self._data, self.offset, self._length, self._tables))

    def columns(
        self, keys: Iterable[str] | None = None, *, meanings: bool = False
    ) -> dict[str, numpy.ndarray[Any, Any]]:
        """The values as columns, one entry per subset.

        Names are ecCodes' keys: the key for its first occurrence in a subset,
        ``#n#key`` for the n-th, and ``name->qualifier`` for quality
        information, substituted, statistics and difference values and
        associated fields attached to the value they qualify. Numbers are float64 arrays (read-only), NaN
        where a value is missing or a subset lacks the name; texts are object
        arrays of ``str`` with None for missing. Codes keep their numbers;
        with ``meanings=True`` code and flag table columns hold the meanings
        (or None) instead. `keys` limits the result to those names (a key,
        ``#n#key`` or a six-digit code, which stands for its key); a name no
        subset has raises KeyError.
        """
        import numpy

        wanted = None if keys is None else list(keys)
        numbers, numeric, count, names, others = _native.columns(
            self._data, self.offset, self._length, self._tables, wanted, meanings
        )
        # One block for all numeric columns; its rows are the columns (views).
        block = numpy.frombuffer(numbers, dtype=numpy.float64).reshape(numeric, count)
        columns: list[numpy.ndarray[Any, Any]] = list(block)
        for position, payload in others:  # in increasing position
            column = numpy.empty(count, dtype=object)
            column[:] = payload
            columns.insert(position, column)
        return dict(zip(names, columns))


def _read(source: Source) -> bytes:
    if isinstance(source, bytes):
        return source
    if isinstance(source, (bytearray, memoryview)):
        return bytes(source)
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            return f.read()
    read = getattr(source, "read", None)
    if read is None:
        raise TypeError(
            "source must be a path, bytes or a binary file object, not "
            f"{type(source).__name__}"
        )
    data = read()
    if not isinstance(data, bytes):
        raise TypeError(f"source must be opened in binary mode: read() gave {type(data).__name__}")
    return data


def _tables(definitions: Definitions | _skerrow.TableSet | None) -> _skerrow.TableSet | str:
    if definitions is None:
        return default_definitions()
    if isinstance(definitions, _skerrow.TableSet):
        return definitions
    return os.fspath(definitions)


def scan(
    data: bytes, tables: _skerrow.TableSet | str
) -> Iterator[Message | tuple[int, ValueError]]:
    """Each message of `data` in order, or (offset, error) for one that does
    not frame; scanning stops at an error that leaves no way to go on (a
    message that runs past the end of the data)."""
    position = 0
    while True:
        found = _native.next_message(data, position)
        if found is None:
            return
        offset, length = found
        position = offset + length
        try:
            header = Header._make(_native.frame(data, offset, length))
        except ValueError as exc:
            yield offset, exc
            continue
        yield Message(data, offset, length, header, tables)


def messages(
    source: Source,
    *,
    definitions: Definitions | None = None,
) -> Iterator[Message]:
    """Yields one ``Message`` per BUFR message of edition 2, 3 or 4 in
    `source`, in stream order; bytes between messages are skipped.

    `source` is a path (``str`` or path-like), ``bytes`` or a binary file
    object (read whole). `definitions` is an ecCodes definitions root to take
    tables from (default: the system's ecCodes tree); the tables that fit each
    message are loaded once per process and shared. A message that cannot be
    framed (editions 0 and 1, a section cut short, ...) raises ValueError
    naming its offset when the iteration reaches it. The source is read, and
    its type checked, before this function returns.
    """
    return _framed(_read(source), _tables(definitions))


def _framed(data: bytes, tables: _skerrow.TableSet | str) -> Iterator[Message]:
    for item in scan(data, tables):
        if isinstance(item, tuple):
            raise item[1]
        yield item
