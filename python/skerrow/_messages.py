"""The messages of a BUFR file or byte string, editions 2, 3 and 4."""

from __future__ import annotations

import os
import re
import warnings
from typing import (
    TYPE_CHECKING,
    Any,
    BinaryIO,
    Callable,
    Iterable,
    Iterator,
    NamedTuple,
    TypeVar,
    Union,
)

import _skerrow
from skerrow import _native, _tables as _table_sources
from skerrow._structure import Subset, columns_from_native, split_subsets
from skerrow._tables import TableVersionWarning

if TYPE_CHECKING:
    import numpy

_T = TypeVar("_T")
Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, BinaryIO]
Definitions = Union[str, "os.PathLike[str]"]


class Bundled(NamedTuple):
    """Tables from the bundle: WMO tables of the message's version, local
    tables from the first of `local_roots` that has them. `tree`, an ecCodes
    definitions root the caller named, serves the WMO versions it has a
    directory for (its tables, local ones included, then stand for the
    message as ecCodes would read it); the bundle serves the others."""

    bundle: str
    local_roots: list[str]
    tree: str | None


# A TableSet for every message, an ecCodes definitions root, or the bundle.
Tables = Union[_skerrow.TableSet, str, Bundled]


def default_tables(definitions: Definitions | None = None) -> Bundled:
    """The bundled WMO tables, with local tables from `definitions` when
    given, else from $ECCODES_DEFINITION_PATH or the usual installed places."""
    return Bundled(
        str(_table_sources.BUNDLE_PATH),
        _table_sources.local_definition_roots(definitions),
        None if definitions is None else os.fspath(definitions),
    )


def bundled_versions() -> tuple[int, ...]:
    """The master table versions whose WMO tables ship with skerrow."""
    return _native.bundled_versions(str(_table_sources.BUNDLE_PATH))


def bundled_tables(version: int) -> _skerrow.TableSet:
    """The bundled WMO tables (Table B with ecCodes' element keys, Table D,
    code and flag tables) of one master table version, as a TableSet."""
    return _native.bundled_tables(str(_table_sources.BUNDLE_PATH), version)


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
        tables: Tables,
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
        return self._values_and_subset_starts()[0]

    def _values_and_subset_starts(self) -> tuple[list[_skerrow.DecodedValue], tuple[int, ...]]:
        return self._native_call(_native.decode)

    def _native_call(self, function: Callable[..., _T], *more: object) -> _T:
        """`function` of _native on this message with its tables: the
        bundled ones (warning for a version newer than the newest), or a
        definitions tree, or a TableSet."""
        tables = self._tables
        if not isinstance(tables, Bundled):
            return function(self._data, self.offset, self._length, tables, *more)
        h = self.header
        version = h.master_tables_version_number
        if tables.tree is not None and os.path.exists(
            os.path.join(tables.tree, "bufr", "tables", str(h.master_table_number), "wmo",
                         str(version))
        ):
            return function(self._data, self.offset, self._length, tables.tree, *more)
        newest = _native.bundled_versions(tables.bundle)[-1]
        if version > newest and h.master_table_number == 0:
            warnings.warn(
                f"message at offset {self.offset} names master table version {version}, newer"
                f" than the newest bundled ({newest}); it is read with version {newest}",
                TableVersionWarning,
                stacklevel=4,
            )
        try:
            return function(self._data, self.offset, self._length,
                            (tables.bundle, tables.local_roots), *more)
        except ValueError as exc:
            hint = _missing_local_tables(exc, self.header, tables.local_roots)
            if hint is None:
                raise
            raise ValueError(f"{exc}; {hint}") from None

    def subsets(self) -> list[Subset]:
        """The values subset by subset; see ``Subset``."""
        return split_subsets(*self._native_call(_native.structure))

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
        ``#n#key`` or a six-digit code, which stands for its key), and in a
        compressed message the decoding to the columns of their keys; a name
        no subset has raises KeyError.
        """
        wanted = None if keys is None else list(keys)
        return columns_from_native(self._native_call(_native.columns, wanted, meanings))


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


def _tables(definitions: Definitions | _skerrow.TableSet | None) -> Tables:
    if isinstance(definitions, _skerrow.TableSet):
        return definitions
    return default_tables(definitions)


_NOT_FOUND = re.compile(r"descriptor (\d{6,}) was not found in Table [BD]")


def _missing_local_tables(error: ValueError, header: Header, roots: list[str]) -> str | None:
    """Why a local descriptor has no definition, when no local tables were
    found: the places searched. None when that is not the cause."""
    found = _NOT_FOUND.search(str(error))
    if found is None:
        return None
    code = int(found.group(1))
    x, y = code // 1000 % 100, code % 1000
    if x < 48 and y < 192:
        return None  # a WMO descriptor: local tables would not define it
    fields = header._asdict()
    directories = [_table_sources.local_table_directory(root, fields) for root in roots]
    searched = [d for d in directories if d is not None]
    if any(os.path.isdir(d) for d in searched):
        return None
    if not searched:
        return (f"{code:06d} is a local descriptor and the message names no local table"
                " version")
    return (f"{code:06d} is a local descriptor and no local tables were found for centre"
            f" {header.originating_centre}, subcentre {header.originating_subcentre or 0},"
            f" local version {header.local_tables_version_number} (searched: "
            + ", ".join(searched) + ")")


def scan(
    data: bytes, tables: Tables
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
    object (read whole). Each message is read with the WMO tables of its own
    master table version, which ship with skerrow (a version newer than the
    newest bundled reads with the newest and warns with TableVersionWarning).
    Local tables come from the ecCodes definitions root `definitions`, else
    from $ECCODES_DEFINITION_PATH or the usual installed places. A root given
    as `definitions` also serves the WMO versions it has a directory for; a
    TableSet given as `definitions` is used for every message. Tables are
    loaded once per process and shared. A message that cannot be
    framed (editions 0 and 1, a section cut short, ...) raises ValueError
    naming its offset when the iteration reaches it. The source is read, and
    its type checked, before this function returns.
    """
    return _framed(_read(source), _tables(definitions))


def _framed(data: bytes, tables: Tables) -> Iterator[Message]:
    for item in scan(data, tables):
        if isinstance(item, tuple):
            raise item[1]
        yield item
