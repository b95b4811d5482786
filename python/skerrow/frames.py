"""BUFR observations as pandas DataFrames: ``read_bufr``.

The generic reader turns the values of each subset into observations. BUFR
writes an observation as a run of coordinates (classes 01 to 09: station,
time, position, height or pressure) followed by what was measured there; a
coordinate that comes again starts a new observation at its own depth, and
everything recorded deeper than it is dropped. A radiosonde report therefore
gives one row per level, a SYNOP report one row per sensor height asked for.
The flat reader gives one row per subset, with every value under its ranked
name (``#2#airTemperature``).

pandas is imported only when a DataFrame is built, so ``import skerrow`` stays
free of it.
"""

from __future__ import annotations

import datetime as _dt
import math
import os
import struct
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Callable, Iterable, Iterator, Mapping, Sequence, Union

import _skerrow
from skerrow import _native
from skerrow._messages import Message, _read, _tables, bundled_tables, bundled_versions, scan

if TYPE_CHECKING:
    import pandas

Row = dict[str, Any]

# Header keys under ecCodes' names, as the flat reader lists them first.
HEADER_KEYS: dict[str, Callable[[Any], Any]] = {
    "edition": lambda h: h.edition,
    "masterTableNumber": lambda h: h.master_table_number,
    "bufrHeaderCentre": lambda h: h.originating_centre,
    "bufrHeaderSubCentre": lambda h: h.originating_subcentre,
    "updateSequenceNumber": lambda h: h.update_sequence_number,
    "dataCategory": lambda h: h.data_category,
    "internationalDataSubCategory": lambda h: h.international_data_subcategory,
    "dataSubCategory": lambda h: h.local_data_subcategory,
    "masterTablesVersionNumber": lambda h: h.master_tables_version_number,
    "localTablesVersionNumber": lambda h: h.local_tables_version_number,
    "typicalYear": lambda h: h.typical_year,
    "typicalMonth": lambda h: h.typical_month,
    "typicalDay": lambda h: h.typical_day,
    "typicalHour": lambda h: h.typical_hour,
    "typicalMinute": lambda h: h.typical_minute,
    "typicalSecond": lambda h: h.typical_second or 0,
    "typicalDate": lambda h: f"{h.typical_year:04d}{h.typical_month:02d}{h.typical_day:02d}",
    "typicalTime": lambda h: f"{h.typical_hour:02d}{h.typical_minute:02d}{h.typical_second or 0:02d}",
    "numberOfSubsets": lambda h: h.number_of_subsets,
    "observedData": lambda h: int(h.observed_data),
    "compressedData": lambda h: int(h.compressed_data),
}


# Keys of the local section 2 that ECMWF (centre 98) writes into its messages,
# under ecCodes' names. The section holds the message's key in ECMWF's
# archive: its RDB type and subtype, the observation's date and time, a
# position, the station or platform identifier (`ident`) of a single report
# (a satellite message, or any of several subsets, has a box instead: two
# corners), and the times the report reached the archive. Each entry is
# (first bit, width in bits, reference, scale) within the section, counting
# from its first octet; `ident` is eight characters from octet 20.
_LOCAL_FIELDS: dict[str, tuple[int, int, int, int]] = {
    "rdbType": (32, 8, 0, 0),
    "oldSubtype": (40, 8, 0, 0),
    "rdbSubtype": (40, 8, 0, 0),
    "localYear": (48, 12, 0, 0),
    "localMonth": (60, 4, 0, 0),
    "localDay": (64, 6, 0, 0),
    "localHour": (70, 5, 0, 0),
    "localMinute": (75, 6, 0, 0),
    "localSecond": (81, 6, 0, 0),
    "rdbtimeDay": (304, 6, 0, 0),
    "rdbtimeHour": (310, 5, 0, 0),
    "rdbtimeMinute": (315, 6, 0, 0),
    "rdbtimeSecond": (321, 6, 0, 0),
    "rectimeDay": (328, 6, 0, 0),
    "rectimeHour": (334, 5, 0, 0),
    "rectimeMinute": (339, 6, 0, 0),
    "rectimeSecond": (345, 6, 0, 0),
    "qualityControl": (384, 8, 0, 0),
}
_SINGLE_REPORT_FIELDS = {
    "localLongitude": (88, 26, -18000000, 5),
    "localLatitude": (120, 25, -9000000, 5),
}
_BOX_FIELDS = {
    "localLongitude1": (88, 26, -18000000, 5),
    "localLatitude1": (120, 25, -9000000, 5),
    "localLongitude2": (152, 26, -18000000, 5),
    "localLatitude2": (184, 25, -9000000, 5),
}
# RDB types of satellite data, which have the box whatever their subsets.
_SATELLITE_RDB_TYPES = frozenset({2, 3, 8, 12, 30})
_IDENT_OCTETS = slice(19, 27)
LOCAL_KEYS = (*_LOCAL_FIELDS, *_SINGLE_REPORT_FIELDS, *_BOX_FIELDS, "ident")
# Keys of the message rather than of its subsets: filters on them pick messages.
MESSAGE_KEYS = dict.fromkeys([*HEADER_KEYS, *LOCAL_KEYS])


def local_section_keys(message: Message) -> dict[str, Any]:
    """The keys of an ECMWF local section 2: empty for a message of another
    centre or without one. A key whose bits lie beyond the section's end is
    left out, so a short or damaged section gives what it has."""
    h = message.header
    if h.originating_centre != 98 or not h.local_section_present or h.section2_length < 4:
        return {}
    start = message.offset + 8 + h.section1_length
    octets = message._data[start : min(start + h.section2_length, message.offset + message._length)]
    number = int.from_bytes(octets, "big")
    size = len(octets) * 8

    def field(first: int, width: int, reference: int, scale: int) -> Any:
        raw = (number >> (size - first - width)) & ((1 << width) - 1)
        return (raw + reference) / 10**scale if scale else raw + reference

    keys = {k: field(*f) for k, f in _LOCAL_FIELDS.items() if f[0] + f[1] <= size}
    single = h.number_of_subsets == 1 and keys.get("rdbType") not in _SATELLITE_RDB_TYPES
    position = _SINGLE_REPORT_FIELDS if single else _BOX_FIELDS
    keys.update((k, field(*f)) for k, f in position.items() if f[0] + f[1] <= size)
    if single and len(octets) >= _IDENT_OCTETS.stop:
        # As texts of the data read: an octet beyond ASCII becomes "?".
        ident = bytes(c if c < 0x80 else 0x3F for c in octets[_IDENT_OCTETS]).decode("ascii")
        ident = ident.partition("\x00")[0].strip()
        keys["ident"] = ident or None
    return keys


def _message_value(message: Message, key: str) -> Any:
    """A header key, or a key of the local section (None where it has none)."""
    found = HEADER_KEYS.get(key)
    if found is not None:
        return found(message.header)
    return local_section_keys(message).get(key)


_TIMES: dict[tuple[Any, ...], Any] = {}


def _datetime(year: Any, month: Any, day: Any, hour: Any = 0, minute: Any = 0, second: Any = 0) -> Any:
    parts = (year, month, day, hour, minute, second)
    found = _TIMES.get(parts, _TIMES)
    if found is _TIMES:
        if len(_TIMES) > 4096:
            _TIMES.clear()
        found = _TIMES[parts] = _make_datetime(parts)
    return found


def _make_datetime(parts: tuple[Any, ...]) -> Any:
    import pandas

    if any(p is None for p in parts[:3]):
        return None
    try:
        y, mo, d, h, mi, se = (int(p) if p is not None else 0 for p in parts)
        return pandas.Timestamp(_dt.datetime(y, mo, d, h, mi, se))
    except (ValueError, OverflowError):
        return None


_WIGOS_PARTS = (
    "wigosIdentifierSeries",
    "wigosIssuerOfIdentifier",
    "wigosIssueNumber",
    "wigosLocalIdentifierCharacter",
)

_HEIGHT_KEYS = ("heightOfStationGroundAboveMeanSeaLevel", "heightOfStation", "height")

# Computed key -> the keys it is made from (see _computed_column).
COMPUTED: dict[str, tuple[str, ...]] = {
    "data_datetime": ("year", "month", "day", "hour", "minute", "second"),
    "WMO_station_id": ("blockNumber", "stationNumber"),
    "WIGOS_station_id": _WIGOS_PARTS,
    "geometry": ("longitude", "latitude", *_HEIGHT_KEYS),
    "typical_datetime": (),
}


class Filter:
    """One condition on a key: equality, membership, an inclusive range or a predicate."""

    __slots__ = ("_test", "_plain")

    def __init__(self, condition: Any) -> None:
        self._test: Callable[[Any], bool]
        # The condition as plain numbers, for whole arrays: ("equal", x),
        # ("member", [x, ...]), ("range", (low, high)), else ("", None).
        self._plain: tuple[str, Any] = ("", None)
        if callable(condition):
            pass
        elif isinstance(condition, slice):
            if all(b is None or _plain_number(b) for b in (condition.start, condition.stop)):
                self._plain = ("range", (condition.start, condition.stop))
        elif isinstance(condition, (list, tuple, set, frozenset)):
            if all(_plain_number(c) for c in condition):
                self._plain = ("member", list(condition))
        elif _plain_number(condition):
            self._plain = ("equal", condition)
        if callable(condition):
            self._test = condition
        elif isinstance(condition, slice):
            if condition.step is not None:
                raise ValueError("a range filter takes no step")
            low, high = condition.start, condition.stop
            self._test = lambda v: (low is None or v >= low) and (high is None or v <= high)
        elif isinstance(condition, (list, tuple, set, frozenset)):
            allowed = set(condition)
            self._test = lambda v: v in allowed
        else:
            self._test = lambda v: v == condition

    def mask(self, numbers: Any, integer: bool) -> Any:
        """match() over a float64 array (NaN for missing) at once where the
        condition is plain numbers; `integer` says the key reads as int."""
        import numpy

        kind, condition = self._plain
        if kind == "equal":
            return numbers == condition
        if kind == "member":
            return numpy.isin(numbers, condition)
        if kind == "range":
            low, high = condition
            held = ~numpy.isnan(numbers)
            if low is not None:
                held &= numbers >= low
            if high is not None:
                held &= numbers <= high
            return held
        values = _Column(numbers, None, "int" if integer else "float").python()
        return numpy.array([self.match(v) for v in values], dtype=bool)

    def match(self, value: Any) -> bool:
        if value is None or (isinstance(value, float) and math.isnan(value)):
            return False
        try:
            return bool(self._test(value))
        except TypeError:
            return False


def _plain_number(value: Any) -> bool:
    """A number that compares with float64 as it does with int and float."""
    return type(value) in (int, float) and math.isfinite(value) and abs(value) < 2**53


class _Types:
    """Which keys read as integers, as ecCodes reads them: elements whose
    Table B scale is not positive (counts, codes, flags). One WMO table
    version stands for all: an element's scale does not change between them."""

    def __init__(self) -> None:
        self._is_int: dict[int, bool] = {}
        self._tables: _skerrow.TableSet | None = None
        self._loaded = False

    def _table_set(self) -> _skerrow.TableSet | None:
        if not self._loaded:
            self._loaded = True
            try:
                self._tables = bundled_tables(bundled_versions()[-1])
            except ValueError:
                self._tables = None
        return self._tables

    def is_int(self, key: str, descriptor: int) -> bool:
        found = self._is_int.get(descriptor)
        if found is None:
            tables = self._table_set()
            element = None
            if tables is not None:
                try:
                    element = tables.get_element(descriptor)
                except (KeyError, ValueError):
                    element = None
            found = element is not None and element.scale <= 0
            self._is_int[descriptor] = found
        return found


_TYPES = _Types()


_INTEGERS: dict[int, bool] = {}  # descriptor -> read as an integer


class _Query:
    """What one call asks for: columns, filters, required columns, reader."""

    def __init__(
        self,
        columns: Sequence[str] | str,
        filters: Mapping[str, Any] | None,
        required_columns: bool | Iterable[str],
        reader: str,
    ) -> None:
        if reader not in ("generic", "flat"):
            raise ValueError(f"reader must be 'generic' or 'flat', not {reader!r}")
        self.reader = reader
        if isinstance(columns, str):
            columns = () if columns == "all" else (columns,)
        self.columns = list(columns)
        self.filters = {k: Filter(v) for k, v in (filters or {}).items()}
        if required_columns is True:
            self.required = set(self.columns)
        elif required_columns is False:
            self.required = set()
        else:
            self.required = set(required_columns)
        self.header_filters = {k: f for k, f in self.filters.items() if k in MESSAGE_KEYS}
        wanted = set(self.columns) | set(self.filters)
        self.computed = [k for k in self.columns if k in COMPUTED]
        for name in list(wanted):
            if name in COMPUTED:
                wanted.discard(name)
                wanted.update(COMPUTED[name])
        # A qualifier comes with the value it qualifies.
        wanted.update(name.partition("->")[0] for name in list(wanted) if "->" in name)
        self.header_wanted = [k for k in MESSAGE_KEYS if k in wanted]
        self.data_wanted = wanted - set(MESSAGE_KEYS)
        # The names the core walks, in a fixed order; filters the walk
        # applies as values arrive, by name index; computed keys are checked
        # on rows.
        self.names = sorted(self.data_wanted)
        self.index = {name: n for n, name in enumerate(self.names)}
        # Units are known under the key a value was read as: a qualifier's own.
        self.unit_keys = [name.rpartition("->")[2] for name in self.names]
        self.walk_filters = {k: f for k, f in self.filters.items()
                             if k not in COMPUTED and k not in MESSAGE_KEYS}
        self.walk_filter_list = [(self.index[k], f) for k, f in self.walk_filters.items()]
        self.filtered = (
            bytes(int(n in self.walk_filters) for n in self.names) if self.walk_filters else None
        )
        self.row_filters = {k: f for k, f in self.filters.items() if k in COMPUTED}
        # The flat reader names qualifiers ("#1#airTemperature->associatedField")
        # only when they are asked for: most queries want none.
        self.flat_qualifiers = any("->" in k for k in (*self.columns, *self.filters, *self.required))


def _new_layout(message: Message, info: dict[str, Any]) -> bool:
    """Records the message's table versions in `info`; True the first time
    its layout (tables and descriptors) is seen."""
    h = message.header
    layout = (h.master_tables_version_number, h.local_tables_version_number, h.originating_centre,
              tuple(h.unexpanded_descriptors))
    seen = info.setdefault("layouts", set())
    if layout in seen:
        return False
    seen.add(layout)
    info.setdefault("table_versions", set()).add(
        (h.master_table_number, h.master_tables_version_number, h.local_tables_version_number,
         h.originating_centre)
    )
    return True


def _header_row(message: Message, names: Iterable[str]) -> Row:
    h = message.header
    row = {}
    local: dict[str, Any] | None = None
    for k in names:
        found = HEADER_KEYS.get(k)
        if found is not None:
            row[k] = found(h)
            continue
        if local is None:
            local = local_section_keys(message)
        row[k] = local.get(k)
    return row


class _Part:
    """The observations of a run of messages as the core walked them: `cells`
    holds, per wanted name, the entry of each row or -1; `values` the number
    of each cell (NaN where none, missing or text), `texts` the texts by
    entry; `headers`, `typicals` and `counts` the header keys, typical time
    and rows of each message."""

    __slots__ = ("count", "values", "cells", "texts", "headers", "typicals", "counts")

    def __init__(self, count: int, values: Any, cells: Any, texts: list[tuple[int, str]],
                 headers: list[Row], typicals: list[Any], counts: list[int]) -> None:
        self.count = count
        self.values = values
        self.cells = cells
        self.texts = texts
        self.headers = headers
        self.typicals = typicals
        self.counts = counts


_TEXT_UNIT = "CCITT IA5"


# Messages decoded in one call of the core at most: few enough that a call's
# values stay far from the 2**31 entries rows can name, and its memory small.
_RUN = 1000


# A message's offset and length as the core reads ranges.
_RANGE = struct.Struct("=QQ")


def _tables_argument(data: Any, offset: int, length: int, tables: Any) -> Any:
    return tables


def _generic_parts(messages: Iterable[Message], query: _Query, split_repeats: bool,
                   info: dict[str, Any]) -> list[_Part]:
    """The observations of `messages`, those a header filter rejects left
    out. Runs of messages sharing their data and tables are decoded and
    walked in one call of the core, without the GIL; Python judges the
    filters on the filtered names' values alone."""
    runs: list[tuple[Any, Any, list[Message]]] = []
    for message in messages:
        if any(not f.match(_message_value(message, k)) for k, f in query.header_filters.items()):
            continue
        # The tables the message is decoded with, as its own calls choose them.
        tables = message._native_call(_tables_argument)
        if runs and runs[-1][0] is message._data and runs[-1][1] == tables and len(runs[-1][2]) < _RUN:
            runs[-1][2].append(message)
        else:
            runs.append((message._data, tables, [message]))
    return [_generic_part(data, tables, run, query, split_repeats, info) for data, tables, run in runs]


def _generic_part(data: bytes, tables: Any, messages: list[Message], query: _Query,
                  split_repeats: bool, info: dict[str, Any]) -> _Part:
    import numpy

    ranges = b"".join([_RANGE.pack(m.offset, m._length) for m in messages])
    try:
        numbers_bytes, entry_bytes, texts, descriptors, units, walked = _native.rows(
            data, ranges, tables, query.names, query.filtered, split_repeats
        )
    except ValueError:
        # Again one by one, for the error the message's own call gives.
        for m in messages:
            m._native_call(_one_message_rows, query)
        raise
    numbers = numpy.frombuffer(numbers_bytes, dtype=numpy.float64)
    if query.filtered is not None:
        entry_names = numpy.frombuffer(entry_bytes, dtype=numpy.uint32)
        text_of = dict(texts)
        passes = numpy.zeros(len(numbers), dtype=numpy.uint8)
        for index, f in query.walk_filter_list:
            where = numpy.flatnonzero(entry_names == index)
            if not len(where):
                continue
            if any(e in text_of for e in where.tolist()) or units[index] == _TEXT_UNIT:
                passes[where] = [f.match(text_of.get(e)) for e in where.tolist()]
            else:
                passes[where] = f.mask(numbers[where], _is_int(descriptors[index]))
        walked = _native.walk_rows(walked, passes.tobytes())
    count, cells, message_rows, cell_values = walked
    if any([_new_layout(m, info) for m in messages]):
        known = info.setdefault("units", {})
        known.update({key: unit for key, unit in zip(query.unit_keys, units) if unit})
    kinds = info.setdefault("kinds", {})
    if len(kinds) < len(query.names):
        for name, descriptor, unit in zip(query.names, descriptors, units):
            if descriptor and name not in kinds:
                kinds[name] = "text" if unit == _TEXT_UNIT else "int" if _is_int(descriptor) else "float"
    if texts:
        entry_names = numpy.frombuffer(entry_bytes, dtype=numpy.uint32)
        for e, _ in texts:
            kinds[query.names[entry_names[e]]] = "text"
    typicals: list[Any] = [None] * len(messages)
    if "typical_datetime" in query.computed or "typical_datetime" in query.row_filters:
        typicals = [_datetime(h.typical_year, h.typical_month, h.typical_day, h.typical_hour,
                              h.typical_minute, h.typical_second or 0)
                    for h in (m.header for m in messages)]
    shape = (len(query.names), count)
    cell_array = numpy.frombuffer(cells, dtype=numpy.int32).reshape(shape)
    values = numpy.frombuffer(cell_values, dtype=numpy.float64).reshape(shape)
    headers = [_header_row(m, query.header_wanted) for m in messages]
    counts = numpy.frombuffer(message_rows, dtype=numpy.int64).tolist()
    return _Part(count, values, cell_array, texts, headers, typicals, counts)


def _one_message_rows(data: bytes, offset: int, length: int, tables: Any, query: _Query) -> Any:
    ranges = _RANGE.pack(offset, length)
    return _native.rows(data, ranges, tables, query.names, None, False)


def _is_int(descriptor: int) -> bool:
    integer = _INTEGERS.get(descriptor)
    if integer is None:
        integer = _INTEGERS[descriptor] = _TYPES.is_int("", descriptor)
    return integer


class _Column:
    """One key over the rows of a call: values (float64 numbers, or a list
    for texts and objects) and whether each row holds the key."""

    __slots__ = ("values", "present", "kind")

    def __init__(self, values: Any, present: Any, kind: str) -> None:
        self.values = values
        self.present = present
        self.kind = kind  # "float", "int", "text" or "object"

    def python(self) -> list[Any]:
        """The values as ecCodes reads them: int for integer keys, None where missing."""
        if self.kind == "float":
            return [None if v != v else v for v in self.values.tolist()]
        if self.kind == "int":
            return [None if v != v else int(v) if v.is_integer() else v for v in self.values.tolist()]
        return list(self.values)

    def usable(self) -> Any:
        """Rows that hold a value that is not missing."""
        import numpy

        if self.kind in ("float", "int"):
            return self.present & ~numpy.isnan(self.values)
        return self.present & numpy.array([v is not None for v in self.values], dtype=bool)


def _observation_columns(parts: list[_Part], query: _Query, info: dict[str, Any]) -> tuple[dict[str, _Column], int]:
    """The wanted keys over the rows of `parts` (header keys included)."""
    import numpy

    total = sum(p.count for p in parts)
    kinds = info.get("kinds", {})
    columns: dict[str, _Column] = {}
    if query.names:
        if parts:
            numbers = numpy.concatenate([p.values for p in parts], axis=1)
            held = numpy.concatenate([p.cells for p in parts], axis=1) >= 0
        else:
            numbers = numpy.empty((len(query.names), 0))
            held = numpy.empty((len(query.names), 0), dtype=bool)
        for n, name in enumerate(query.names):
            kind = kinds.get(name, "float")
            if kind == "text":
                texts: list[Any] = []
                for p in parts:
                    text_of = dict(p.texts)
                    texts += [text_of.get(e) for e in p.cells[n].tolist()]
                columns[name] = _Column(texts, held[n], "text")
            else:
                columns[name] = _Column(numbers[n], held[n], kind)
    always = numpy.ones(total, dtype=bool)
    for name in query.header_wanted:
        values: list[Any] = []
        for p in parts:
            for header, count in zip(p.headers, p.counts):
                values += [header[name]] * count
        present = always if name in HEADER_KEYS else numpy.array([v is not None for v in values], dtype=bool)
        columns[name] = _Column(values, present, "object")
    return columns, total


def _absent(total: int) -> _Column:
    import numpy

    return _Column(numpy.full(total, numpy.nan), numpy.zeros(total, dtype=bool), "float")


def _computed_column(name: str, columns: Mapping[str, _Column], parts: list[_Part], total: int) -> _Column:
    """A computed key over all rows; a row holds it where it has a value."""
    import numpy
    import pandas

    def get(key: str) -> _Column:
        return columns.get(key) or _absent(total)

    if name == "typical_datetime":
        values: list[Any] = []
        for p in parts:
            for typical, count in zip(p.typicals, p.counts):
                values += [typical] * count
        stamps = pandas.to_datetime(pandas.Series(values, dtype=object))
        return _Column(stamps, stamps.notna().to_numpy(), "object")
    if name == "data_datetime":
        year = get("year")
        fields = [year.values, *(get(k).values for k in ("month", "day", "hour", "minute", "second"))]
        usable = year.present & ~numpy.isnan(fields[0]) & ~numpy.isnan(fields[1]) & ~numpy.isnan(fields[2])
        stamps = numpy.full(total, numpy.datetime64("NaT"), dtype="datetime64[ns]")
        rows = numpy.flatnonzero(usable)
        if len(rows):
            stamps[rows] = _timestamps(*(numpy.nan_to_num(f[rows], nan=0.0) for f in fields))
        stamp_series = pandas.Series(stamps)
        return _Column(stamp_series, ~numpy.isnat(stamps), "object")
    if name == "WMO_station_id":
        block, station = get("blockNumber"), get("stationNumber")
        usable = block.usable() & station.usable()
        wmo = numpy.where(usable, numpy.trunc(block.values) * 1000 + numpy.trunc(station.values), numpy.nan)
        return _Column(wmo, usable, "int")
    if name == "WIGOS_station_id":
        held = [get(k) for k in _WIGOS_PARTS]
        anywhere = held[0].present | held[1].present | held[2].present | held[3].present
        numbers = [c.python() for c in held[:3]]
        local = held[3].python()
        ids: list[Any] = [None] * total
        for r in numpy.flatnonzero(anywhere).tolist():
            ids[r] = "-".join(["*" if v[r] is None else str(int(v[r])) for v in numbers] + [local[r] or ""])
        return _Column(ids, anywhere, "object")
    if name == "geometry":
        lon, lat = get("longitude"), get("latitude")
        usable = lon.usable() & lat.usable()
        heights = [get(k) for k in _HEIGHT_KEYS]
        lons, lats = lon.python(), lat.python()
        height_values = [h.python() for h in heights]
        points: list[Any] = [None] * total
        for r in numpy.flatnonzero(usable).tolist():
            height = next((v[r] for v in height_values if v[r] is not None), None)
            points[r] = [lons[r], lats[r], height]
        return _Column(points, usable, "object")
    raise KeyError(name)


def _timestamps(year: Any, month: Any, day: Any, hour: Any, minute: Any, second: Any) -> Any:
    """datetime64[ns] of the fields (float arrays, fractions dropped), NaT
    where they name no time (month 13, 31 April, hour 24) or one outside the
    nanosecond range (1678 to 2261)."""
    import numpy

    y, mo, d, h, mi, se = (numpy.trunc(f).clip(-1, 1 << 20).astype(numpy.int64)
                           for f in (year, month, day, hour, minute, second))
    valid = ((y >= 1678) & (y <= 2261) & (mo >= 1) & (mo <= 12) & (d >= 1) & (h >= 0) & (h <= 23)
             & (mi >= 0) & (mi <= 59) & (se >= 0) & (se <= 59))
    months = numpy.where(valid, (y - 1970) * 12 + mo - 1, 0).astype("datetime64[M]")
    first = months.astype("datetime64[D]")
    length = ((months + 1).astype("datetime64[D]") - first).astype(numpy.int64)
    valid &= d <= length
    seconds = ((d - 1) * 86400 + h * 3600 + mi * 60 + se).astype("timedelta64[s]")
    stamps = (first.astype("datetime64[ns]") + seconds.astype("timedelta64[ns]"))
    stamps[~valid] = numpy.datetime64("NaT")
    return stamps


def _row_table(parts: list[_Part], query: _Query, info: dict[str, Any]) -> tuple[dict[str, _Column], int]:
    """The rows of `parts`: the columns some row holds, in the order asked
    for, cut to the rows kept, and the number of rows."""
    import numpy

    columns, total = _observation_columns(parts, query, info)
    for name in dict.fromkeys([*query.computed, *query.row_filters]):
        columns[name] = _computed_column(name, columns, parts, total)
    keep = numpy.ones(total, dtype=bool)
    for name, f in query.row_filters.items():
        column = columns[name]
        held = column.values.tolist() if hasattr(column.values, "tolist") else column.values
        keep &= numpy.array([bool(p) and f.match(v) for v, p in zip(held, column.present)], dtype=bool)
    wanted = [c for c in dict.fromkeys(query.columns) if c in columns]
    if wanted:
        keep &= numpy.logical_or.reduce([columns[c].present for c in wanted])
    else:
        keep[:] = False  # a row holds only the columns asked for: none
    for name in query.required:
        keep &= columns[name].present if name in wanted else False
    rows = numpy.flatnonzero(keep)
    out: dict[str, _Column] = {}
    for name in wanted:
        column = columns[name]
        present = column.present[rows]
        if not present.any():
            continue
        if isinstance(column.values, numpy.ndarray):
            values: Any = column.values[rows]
        elif hasattr(column.values, "iloc"):
            values = column.values.iloc[rows].reset_index(drop=True)
        else:
            values = [column.values[r] for r in rows.tolist()]
        out[name] = _Column(values, present, column.kind)
    return out, len(rows)


def _frame_values(column: _Column) -> Any:
    """A column as the DataFrame gets it: integers as int64 where every row
    has one, other numbers float64 with NaN, objects with None."""
    import numpy

    if column.kind in ("float", "int"):
        values = column.values
        if column.kind == "int" and column.present.all() and (values == numpy.trunc(values)).all():
            return values.astype(numpy.int64)  # NaN fails the test
        return values
    if hasattr(column.values, "iloc"):
        return column.values
    if column.present.all():
        return column.values
    return [v if p else None for v, p in zip(column.values, column.present.tolist())]


def _generic_rows(message: Message, query: _Query, split_repeats: bool, info: dict[str, Any]) -> list[Row]:
    """The observations of one message as dicts of the keys each holds (for
    writers that take rows)."""
    table, count = _row_table(_generic_parts([message], query, split_repeats, info), query, info)
    names = list(table)
    lists = []
    for column in table.values():
        if hasattr(column.values, "iloc"):
            values = [None if v is None or v != v else v for v in column.values.tolist()]
        else:
            values = column.python()
        lists.append([v for v in values])
    presences = [c.present.tolist() for c in table.values()]
    rows: list[Row] = []
    for r in range(count):
        rows.append({n: lists[k][r] for k, n in enumerate(names) if presences[k][r]})
    return rows


class _FlatColumn:
    """One name over the subsets of a run: `values` float64 (NaN where
    missing), or an object array of texts (None where missing) when `text`;
    `present` where the subset has the name at all; `integer` where every
    value of it reads as an integer key."""

    __slots__ = ("values", "present", "text", "integer")

    def __init__(self, values: Any, present: Any, text: bool, integer: bool) -> None:
        self.values = values
        self.present = present
        self.text = text
        self.integer = integer

    def held(self) -> Any:
        """Subsets with a value that is not missing."""
        import numpy

        if self.text:
            return numpy.array([v is not None for v in self.values.tolist()], dtype=bool)
        return ~numpy.isnan(self.values)

    def matches(self, f: Filter) -> Any:
        """Subsets whose value passes `f` (a missing one never does)."""
        import numpy

        if self.text:
            return numpy.array([f.match(v) for v in self.values.tolist()], dtype=bool)
        return f.mask(self.values, self.integer)

    def take(self, rows: Any) -> _FlatColumn:
        return _FlatColumn(self.values[rows], self.present[rows], self.text, self.integer)


class _FlatPart:
    """The flat rows of a run of messages that a query keeps: `columns` by
    name in the order the rows' keys first appear (header keys and
    ``subsetNumber`` as lists, the others _FlatColumn), and `count` rows."""

    __slots__ = ("columns", "count")

    def __init__(self, columns: dict[str, Any], count: int) -> None:
        self.columns = columns
        self.count = count


def _flat_parts(messages: Iterable[Message], query: _Query, info: dict[str, Any]) -> list[_FlatPart]:
    """The flat rows of `messages`, those a header filter rejects left out;
    runs of messages sharing their data and tables go to the core together."""
    runs: list[tuple[Any, Any, list[Message]]] = []
    for message in messages:
        if any(not f.match(_message_value(message, k)) for k, f in query.header_filters.items()):
            continue
        tables = message._native_call(_tables_argument)
        if runs and runs[-1][0] is message._data and runs[-1][1] == tables and len(runs[-1][2]) < _RUN:
            runs[-1][2].append(message)
        else:
            runs.append((message._data, tables, [message]))
    return [_flat_part(data, tables, run, query, info) for data, tables, run in runs]


def _flat_part(data: bytes, tables: Any, messages: list[Message], query: _Query,
               info: dict[str, Any]) -> _FlatPart:
    import numpy

    ranges = b"".join([_RANGE.pack(m.offset, m._length) for m in messages])
    try:
        (names, units, name_bytes, number_bytes, descriptor_bytes, texts, end_bytes,
         subset_bytes) = _native.flat_rows(data, ranges, tables, query.flat_qualifiers)
    except ValueError:
        # Again one by one, for the error the message's own call gives.
        for m in messages:
            m._native_call(_native.structure)
        raise
    if any([_new_layout(m, info) for m in messages]):
        info.setdefault("units", {}).update((n.rpartition("#")[2], u) for n, u in zip(names, units))
    entry_names = numpy.frombuffer(name_bytes, dtype=numpy.uint32)
    numbers = numpy.frombuffer(number_bytes, dtype=numpy.float64)
    descriptors = numpy.frombuffer(descriptor_bytes, dtype=numpy.uint32)
    ends = numpy.frombuffer(end_bytes, dtype=numpy.uint64).astype(numpy.int64)
    message_subsets = numpy.frombuffer(subset_bytes, dtype=numpy.uint64).astype(numpy.int64)
    total = len(ends)
    entry_subset = numpy.repeat(numpy.arange(total), numpy.diff(ends, prepend=0))
    codes = numpy.unique(descriptors)
    integer_codes = codes[numpy.array([_is_int(int(c)) for c in codes.tolist()], dtype=bool)]
    integer_entries = numpy.isin(descriptors, integer_codes)
    text_entries = {e: t for e, t in texts}
    text_names = set(entry_names[list(text_entries)].tolist()) if text_entries else set()
    text_names.update(n for n, unit in enumerate(units) if unit == _TEXT_UNIT)

    # Each name's entries, by sorting entries on their name.
    by_name = numpy.argsort(entry_names, kind="stable")
    bounds = numpy.cumsum(numpy.bincount(entry_names, minlength=len(names)))
    columns: dict[str, _FlatColumn] = {}
    for n, name in enumerate(names):
        entries = by_name[(bounds[n - 1] if n else 0):bounds[n]]
        subsets = entry_subset[entries]
        present = numpy.zeros(total, dtype=bool)
        present[subsets] = True
        if n in text_names:
            values: Any = numpy.full(total, None, dtype=object)
            values[subsets] = [text_entries.get(e) for e in entries.tolist()]
        else:
            values = numpy.full(total, numpy.nan)
            values[subsets] = numbers[entries]
        columns[name] = _FlatColumn(values, present, n in text_names, bool(integer_entries[entries].all()))

    asked = {*query.columns, *query.filters, *query.required}
    headers = [_header_row(m, [*HEADER_KEYS, *(k for k in LOCAL_KEYS if k in asked)]) for m in messages]
    subset_numbers = numpy.concatenate([numpy.arange(1, c + 1) for c in message_subsets.tolist()]
                                       + [numpy.zeros(0, dtype=numpy.int64)])
    message_of = numpy.repeat(numpy.arange(len(messages)), message_subsets)

    def header_values(key: str) -> list[Any]:
        return [headers[m][key] for m in message_of.tolist()]

    def plain(key: str) -> bool:
        return key in HEADER_KEYS or key == "subsetNumber"

    keep = numpy.ones(total, dtype=bool)
    for key, f in query.filters.items():
        if key in MESSAGE_KEYS:
            continue  # judged on the messages
        if key == "subsetNumber":
            keep &= f.mask(subset_numbers.astype(numpy.float64), True)
            continue
        # A ranked name judges the subsets that have it; a plain key holds
        # where any rank of it matches.
        held = numpy.zeros(total, dtype=bool)
        suffix = "#" + key
        for name, column in columns.items():
            if name.endswith(suffix):
                held |= column.present & column.matches(f)
        exact = columns.get(key)
        if exact is not None:
            held = numpy.where(exact.present, exact.matches(f), held)
        keep &= held
    for key in query.required:
        if key in LOCAL_KEYS:
            keep &= numpy.array([v is not None for v in header_values(key)], dtype=bool)
        elif not plain(key):
            keep &= columns[key].present if key in columns else False
    if query.columns:
        # A row holds at least one of the columns asked for.
        some = numpy.zeros(total, dtype=bool)
        for key in query.columns:
            if key == "subsetNumber":
                some[:] = True
            elif key in MESSAGE_KEYS:
                some |= numpy.array([v is not None for v in header_values(key)], dtype=bool)
            elif key in columns:
                some |= columns[key].held()
        keep &= some
    rows = numpy.flatnonzero(keep)
    if not len(rows):
        return _FlatPart({}, 0)

    if query.columns:
        wanted = list(dict.fromkeys(query.columns))
    else:
        # The names of the rows kept, in the order they first appear.
        kept_names = [name for name, c in columns.items() if c.present[rows].any()]
        kept_entries = numpy.flatnonzero(keep[entry_subset])
        first = dict(zip(*numpy.unique(entry_names[kept_entries], return_index=True)))
        order = {names[int(n)]: int(i) for n, i in first.items()}
        kept_names.sort(key=lambda name: order[name])
        wanted = [*HEADER_KEYS, "subsetNumber", *kept_names]
    out: dict[str, Any] = {}
    for key in wanted:
        if key == "subsetNumber":
            out[key] = subset_numbers[rows].tolist()
        elif key in MESSAGE_KEYS:
            values = header_values(key)
            out[key] = [values[r] for r in rows.tolist()]
        else:
            column = columns.get(key) or _FlatColumn(numpy.full(total, numpy.nan), keep, False, False)
            out[key] = column.take(rows)
            if query.columns:
                out[key].present = numpy.ones(len(rows), dtype=bool)  # asked for: every row has it
    return _FlatPart(out, len(rows))


def _flat_rows(message: Message, query: _Query, info: dict[str, Any]) -> list[Row]:
    """The flat rows of one message as dicts of the keys each subset has
    (for writers that take rows)."""
    rows: list[Row] = []
    for part in _flat_parts([message], query, info):
        lists = []
        for name, column in part.columns.items():
            if isinstance(column, list):
                lists.append((name, column, None))
                continue
            values = column.values.tolist()
            if not column.text:
                values = [None if v != v else int(v) if column.integer and v.is_integer() else v
                          for v in values]
            lists.append((name, values, column.present.tolist()))
        for r in range(part.count):
            rows.append({name: values[r] for name, values, present in lists if present is None or present[r]})
    return rows


def _flat_frame_values(pieces: list[tuple[Any, int]]) -> Any:
    """One column of the flat frame from its pieces (None where a part
    lacks it): integers as int64 where every row has one, other numbers
    float64 with NaN, texts with None."""
    import numpy

    if all(isinstance(p, list) or p is None for p, _ in pieces):
        out: list[Any] = []
        for p, count in pieces:
            out += [None] * count if p is None else p
        return out
    text = any(isinstance(p, _FlatColumn) and p.text for p, _ in pieces)
    arrays = []
    integer = True
    for p, count in pieces:
        if p is None or isinstance(p, list):
            arrays.append(numpy.full(count, None if text else numpy.nan, dtype=object if text else float))
            integer = False
            continue
        integer = integer and p.integer
        if text and not p.text:
            values = numpy.array([None if v != v else v for v in p.values.tolist()], dtype=object)
        else:
            values = p.values
        arrays.append(values)
    values = numpy.concatenate(arrays) if arrays else numpy.zeros(0)
    everywhere = all(isinstance(p, _FlatColumn) and p.present.all() for p, _ in pieces)
    if text:
        if not everywhere and all(v is None for v in values.tolist()):
            return numpy.full(len(values), numpy.nan)  # as pandas makes None beside absent keys
        return values
    if integer and len(values) and not numpy.isnan(values).any() and (values == numpy.trunc(values)).all():
        return values.astype(numpy.int64)
    if everywhere and numpy.isnan(values).all():
        return numpy.full(len(values), None, dtype=object)  # as pandas makes a column of None alone
    return values


Source = Union[str, "os.PathLike[str]", bytes, Message, Iterable[Any]]


def _sources(source: Any) -> list[Any]:
    """The independent pieces of `source`: files, byte strings or messages."""
    if isinstance(source, (str, os.PathLike, bytes, bytearray, memoryview, Message)):
        return [source]
    return list(source)


class _Chunk(list):  # type: ignore[type-arg]
    """Messages of one file read together by one worker."""


def _chunked(pieces: list[Any], workers: int) -> list[Any]:
    """Runs of consecutive messages made into chunks, a few per worker: the
    messages of a chunk go to the core in one call."""
    out: list[Any] = []
    run: list[Message] = []
    for piece in [*pieces, None]:
        if isinstance(piece, Message):
            run.append(piece)
            continue
        if run:
            size = max(1, -(-len(run) // (workers * 4))) if workers > 1 else len(run)
            out += [_Chunk(run[i : i + size]) for i in range(0, len(run), size)]
            run = []
        if piece is not None:
            out.append(piece)
    return out


def _messages_of(piece: Any, tables: Any) -> Iterator[Message]:
    """The messages of one piece, with `tables` (resolved once per call:
    finding the definitions roots costs more than decoding a message)."""
    if isinstance(piece, Message):
        yield piece
        return
    if isinstance(piece, _Chunk):
        yield from piece
        return
    for item in scan(_read(piece), tables):
        if isinstance(item, tuple):
            raise item[1]
        yield item


def _rows_of(piece: Any, query: _Query, tables: Any, split_repeats: bool, info: dict[str, Any]) -> list[Any]:
    """The flat rows (dicts) or the generic parts of one piece."""
    if query.reader == "flat":
        return _flat_parts(_messages_of(piece, tables), query, info)
    return _generic_parts(_messages_of(piece, tables), query, split_repeats, info)


def _work_size(piece: Any) -> int:
    """About how much decoding a piece takes: its size in octets."""
    if isinstance(piece, Message):
        return piece._length
    if isinstance(piece, _Chunk):
        return sum(m._length for m in piece)
    if isinstance(piece, (bytes, bytearray, memoryview)):
        return len(piece)
    try:
        return os.stat(piece).st_size
    except (OSError, TypeError, ValueError):
        return 0  # a file object, or a path that fails when read


_POOLS: dict[int, ThreadPoolExecutor] = {}
_POOLS_LOCK = threading.Lock()


def _forget_pools() -> None:
    """In a forked child: it has none of its parent's threads, so a pool
    made before the fork would queue work that no thread ever runs (and the
    lock may have been held by a thread that is gone)."""
    global _POOLS_LOCK
    _POOLS.clear()
    _POOLS_LOCK = threading.Lock()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_pools)


def _pool(workers: int) -> ThreadPoolExecutor:
    """The threads of `workers` workers, kept from call to call: each thread
    keeps its decoding room between messages, which a new thread would have
    to fault in again."""
    with _POOLS_LOCK:
        pool = _POOLS.get(workers)
        if pool is None:
            if len(_POOLS) >= 4:
                # The oldest pool's threads end once their work is done.
                _POOLS.pop(next(iter(_POOLS))).shutdown(wait=False)
            pool = _POOLS[workers] = ThreadPoolExecutor(max_workers=workers,
                                                        thread_name_prefix="skerrow")
        return pool


def read_bufr(
    source: Source,
    columns: Sequence[str] | str = (),
    filters: Mapping[str, Any] | None = None,
    required_columns: bool | Iterable[str] = True,
    reader: str = "generic",
    *,
    workers: int = 1,
    definitions: Any = None,
    split_repeats: bool = True,
) -> pandas.DataFrame:
    """Reads BUFR observations into a pandas DataFrame.

    `source` is a path, a list of paths, ``bytes``, a ``Message`` or what
    ``skerrow.messages`` yields. `columns` names the keys to return: element
    keys (``airTemperature``), header keys (``typicalDate``,
    ``bufrHeaderCentre``, ...), the keys of ECMWF's local section 2
    (``ident``, ``rdbType``, ``rdbSubtype``, ``localLatitude``, ``rdbtimeHour``,
    ...: missing for messages without one), qualifiers
    (``airTemperature->percentConfidence``, and an associated field's
    significance ``airTemperature->associatedField->associatedFieldSignificance``)
    and the computed keys ``data_datetime``, ``typical_datetime``,
    ``WMO_station_id``, ``WIGOS_station_id`` and ``geometry``.

    `filters` maps keys to conditions, all of which must hold: a scalar is
    equality, a list, tuple or set membership, a ``slice`` an inclusive
    range, a callable a predicate. A key filtered on need not be a column.

    `required_columns`: True drops rows that lack any column, False keeps
    them, a list names the columns a row must have.

    `reader` is ``"generic"`` (one row per observation; coordinates set the
    context, so a sounding gives one row per level) or ``"flat"`` (one row
    per subset, every value under its ranked name, ``#1#airTemperature``;
    qualifiers under theirs, ``#1#airTemperature->associatedField``, when
    asked for).

    `workers` reads that many files (or messages, for one file) at once in
    threads, largest first; decoding releases the GIL, and the threads are
    kept for later calls. ``df.attrs["units"]`` maps keys to
    units and ``df.attrs["table_versions"]`` lists the (master table, master
    version, local version, centre) of the messages read.

    With `split_repeats` (the default), a value of a key already in the
    observation arriving deeper in the subset (another temperature under
    statistics or another sensor height) starts its own row instead of
    replacing the first.
    """
    import pandas

    query = _Query(columns, filters, required_columns, reader)
    if query.reader == "generic" and not query.columns:
        raise ValueError("the generic reader needs columns")
    pieces = _sources(source)
    tables = _tables(definitions)
    if len(pieces) == 1 and workers > 1 and not isinstance(pieces[0], Message):
        pieces = list(_messages_of(pieces[0], tables))
    if any(isinstance(p, Message) for p in pieces):
        pieces = _chunked(pieces, workers)
    infos: list[dict[str, Any]] = [{} for _ in pieces]
    if workers > 1 and len(pieces) > 1:
        # Largest first, so that the last pieces to finish are small ones
        # and no worker waits long on another at the end.
        order = sorted(range(len(pieces)), key=lambda i: -_work_size(pieces[i]))
        pool = _pool(workers)
        futures = {i: pool.submit(_rows_of, pieces[i], query, tables, split_repeats, infos[i])
                   for i in order}
        try:
            # The first error in the order of the source is the one raised.
            parts = [futures[i].result() for i in range(len(pieces))]
        except BaseException:
            for future in futures.values():
                future.cancel()
            raise
    else:
        parts = [_rows_of(p, query, tables, split_repeats, infos[i]) for i, p in enumerate(pieces)]
    units: dict[str, str] = {}
    versions: set[Any] = set()
    merged: dict[str, Any] = {"kinds": {}}
    for info in infos:
        units.update(info.get("units", {}))
        versions |= info.get("table_versions", set())
        for name, kind in info.get("kinds", {}).items():
            # A key that is text anywhere is a text column.
            if merged["kinds"].get(name) != "text":
                merged["kinds"][name] = kind
    if query.reader == "flat":
        flat = [p for part in parts for p in part if p.count]
        names = list(dict.fromkeys(name for p in flat for name in p.columns))
        frame = pandas.DataFrame({name: _flat_frame_values([(p.columns.get(name), p.count) for p in flat])
                                  for name in names}, index=pandas.RangeIndex(sum(p.count for p in flat)))
    else:
        table, count = _row_table([p for part in parts for p in part], query, merged)
        frame = pandas.DataFrame({name: _frame_values(c) for name, c in table.items()},
                                 index=pandas.RangeIndex(count))
    frame.attrs["units"] = {c: _unit_of(c, units) for c in frame.columns if _unit_of(c, units)}
    frame.attrs["table_versions"] = sorted(versions)
    return frame


def _unit_of(column: str, units: Mapping[str, str]) -> str:
    key = column.rpartition("#")[2]
    return units.get(key.partition("->")[2] or key, "")
