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


def _data_datetime(obs: Row) -> Any:
    if "year" not in obs:
        return None
    second = obs.get("second")
    return _datetime(
        obs.get("year"), obs.get("month"), obs.get("day"), obs.get("hour") or 0,
        obs.get("minute") or 0, 0 if second is None else second,
    )


def _wmo_station_id(obs: Row) -> Any:
    block, station = obs.get("blockNumber"), obs.get("stationNumber")
    if block is None or station is None:
        return None
    return int(block) * 1000 + int(station)


_WIGOS_PARTS = (
    "wigosIdentifierSeries",
    "wigosIssuerOfIdentifier",
    "wigosIssueNumber",
    "wigosLocalIdentifierCharacter",
)


def _wigos_station_id(obs: Row) -> Any:
    if not any(k in obs for k in _WIGOS_PARTS):
        return None
    numbers = ["*" if obs.get(k) is None else str(int(obs[k])) for k in _WIGOS_PARTS[:3]]
    return "-".join([*numbers, obs.get(_WIGOS_PARTS[3]) or ""])


_HEIGHT_KEYS = ("heightOfStationGroundAboveMeanSeaLevel", "heightOfStation", "height")


def _geometry(obs: Row) -> Any:
    lon, lat = obs.get("longitude"), obs.get("latitude")
    if lon is None or lat is None:
        return None
    height = next((obs[k] for k in _HEIGHT_KEYS if obs.get(k) is not None), None)
    return [lon, lat, height]


# The message's typical time rides along in each observation under a name no
# key can have.
_TYPICAL = "\0typical_datetime"

# Computed key -> (the keys it is made from, the function that makes it).
COMPUTED: dict[str, tuple[tuple[str, ...], Callable[[Row], Any]]] = {
    "data_datetime": (("year", "month", "day", "hour", "minute", "second"), _data_datetime),
    "WMO_station_id": (("blockNumber", "stationNumber"), _wmo_station_id),
    "WIGOS_station_id": (_WIGOS_PARTS, _wigos_station_id),
    "geometry": (("longitude", "latitude", *_HEIGHT_KEYS), _geometry),
    "typical_datetime": ((), lambda obs: obs.get(_TYPICAL)),
}


class Filter:
    """One condition on a key: equality, membership, an inclusive range or a predicate."""

    __slots__ = ("_test",)

    def __init__(self, condition: Any) -> None:
        self._test: Callable[[Any], bool]
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

    def match(self, value: Any) -> bool:
        if value is None or (isinstance(value, float) and math.isnan(value)):
            return False
        try:
            return bool(self._test(value))
        except TypeError:
            return False


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


def _python_value(v: _skerrow.DecodedValue, key: str) -> Any:
    text = v.raw_text
    if text is not None:
        # ecCodes ends a text at its first NUL and drops the padding blanks.
        text = text.partition("\x00")[0].strip()
        return text or None
    number = v.raw_value
    if number is None or v.raw is None:
        return None
    descriptor = v.descriptor
    integer = _INTEGERS.get(descriptor)
    if integer is None:
        integer = _INTEGERS[descriptor] = _TYPES.is_int(key, descriptor)
    if integer and number.is_integer():
        return int(number)
    return number


def _is_coordinate(descriptor: int) -> bool:
    return descriptor < 10000 and descriptor >= 1000


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
        self.header_filters = {k: f for k, f in self.filters.items() if k in HEADER_KEYS}
        wanted = set(self.columns) | set(self.filters)
        self.computed = [k for k in self.columns if k in COMPUTED]
        for name in list(wanted):
            if name in COMPUTED:
                wanted.discard(name)
                wanted.update(COMPUTED[name][0])
        # A qualifier comes with the value it qualifies.
        wanted.update(name.partition("->")[0] for name in list(wanted) if "->" in name)
        self.header_wanted = [k for k in HEADER_KEYS if k in wanted]
        self.data_wanted = wanted - set(HEADER_KEYS)
        # Filters the walk applies as values arrive; computed keys are checked on rows.
        self.walk_filters = {k: f for k, f in self.filters.items() if k not in COMPUTED and k not in HEADER_KEYS}
        self.row_filters = {k: f for k, f in self.filters.items() if k in COMPUTED}


def _structure(message: Message, info: dict[str, Any]) -> tuple[Any, ...]:
    """Decodes `message`; records the units of its keys in `info` the first
    time its descriptors are seen."""
    result = message._native_call(_native.structure)
    h = message.header
    layout = (h.master_tables_version_number, h.local_tables_version_number, h.originating_centre,
              tuple(h.unexpanded_descriptors))
    seen = info.setdefault("layouts", set())
    if layout not in seen:
        seen.add(layout)
        info.setdefault("units", {}).update(zip(result[2], result[3]))
        info.setdefault("table_versions", set()).add(
            (h.master_table_number, h.master_tables_version_number, h.local_tables_version_number,
             h.originating_centre)
        )
    return tuple(result)


def _header_row(message: Message, names: Iterable[str]) -> Row:
    h = message.header
    return {k: HEADER_KEYS[k](h) for k in names}


_COORDINATE = 1
_WANTED = 2
_ROLES: dict[frozenset[str], dict[str, int]] = {}


def _roles(wanted: set[str]) -> dict[str, int]:
    """Key -> whether it is a coordinate and whether it is wanted, kept per
    set of wanted keys so that each key is looked at once."""
    frozen = frozenset(wanted)
    found = _ROLES.get(frozen)
    if found is None:
        if len(_ROLES) > 64:
            _ROLES.clear()
        found = _ROLES.setdefault(frozen, {})
    return found


Plan = list[tuple[int, str, int, bool, str]]


def _plan(
    begin: int, end: int, values: Any, keys: list[str], names: list[str] | None,
    refers: list[int] | None, roles: dict[str, int], wanted: set[str],
) -> Plan:
    """The wanted values of one subset in order, as (index, name, depth, is a
    coordinate, the key that gives the value's type).

    The depth follows the coordinates: a coordinate new to the subset goes
    one deeper than the innermost one; one seen before takes back its own
    depth and closes the coordinates opened after it. A non-coordinate value
    sits just below the innermost coordinate. A qualifier (quality
    information, substituted and statistics values, associated fields) is
    not part of the walk: it follows the value it qualifies, under
    ``key->qualifier``.
    """
    qualifiers: dict[int, list[tuple[int, str]]] = {}
    qualifiers_wanted = {n for n in wanted if "->" in n}
    if refers is not None and names is not None and qualifiers_wanted:
        for i in range(begin, end):
            target = refers[i]
            if target >= 0:
                name = names[i]
                if name.startswith("#"):
                    name = name[name.index("#", 1) + 1 :]
                if name in qualifiers_wanted:
                    held = qualifiers.setdefault(begin + target, [])
                    if all(name != n for _, n in held):  # the first of a kind
                        held.append((i, name))
    stack: dict[str, int] = {}
    plan: Plan = []
    for i in range(begin, end):
        key = keys[i]
        role = roles.get(key)
        if role is None:
            role = (_COORDINATE if _is_coordinate(values[i].descriptor) else 0) | (
                _WANTED if key in wanted else 0
            )
            roles[key] = role
        if not role or (refers is not None and refers[i] >= 0):
            continue
        if role & _COORDINATE:
            if key in stack:
                while True:
                    name, depth = stack.popitem()
                    if name == key:
                        break
                stack[key] = depth
            else:
                depth = len(stack) + 1
                stack[key] = depth
            if not role & _WANTED:
                continue
            plan.append((i, key, depth, True, key))
        else:
            d = values[i].descriptor
            if d >= 100000 and d < 300000 and key.isdigit():
                continue  # an operator's own record, no observation
            depth = len(stack) + 1
            plan.append((i, key, depth, False, key))
        for j, name in qualifiers.get(i, ()):
            plan.append((j, name, depth, False, keys[j]))
    return plan


_PLANS: dict[frozenset[str], dict[tuple[Any, ...], Plan]] = {}


def _plans(wanted: set[str]) -> dict[tuple[Any, ...], Plan]:
    frozen = frozenset(wanted)
    found = _PLANS.get(frozen)
    if found is None:
        if len(_PLANS) > 16:
            _PLANS.clear()
        found = _PLANS.setdefault(frozen, {})
    return found


def _subset_entries(message: Message, wanted: set[str], info: dict[str, Any]) -> Iterator[list[tuple[str, int, Any, bool]]]:
    """For each subset, the wanted values in order as (name, depth, value,
    is a coordinate); see ``_plan``."""
    result = _structure(message, info)
    values, starts, keys = result[:3]
    names, refers = (result[4], result[5]) if len(result) >= 6 else (None, None)
    ends = (*starts[1:], len(values))
    roles = _roles(wanted)
    plans = _plans(wanted)
    qualifiers_wanted = any("->" in n for n in wanted)
    # Compressed data holds the same values in every subset, a fixed step
    # apart: the plan of the first subset serves all.
    step = starts[1] - starts[0] if len(starts) > 1 else 0
    uniform = (
        message.header.compressed_data
        and len(starts) > 1
        and all(b - a == step for a, b in zip(starts, ends))
    )
    first: Plan | None = None
    for begin, end in zip(starts, ends):
        if uniform:
            if first is None:
                first = _plan(begin, end, values, keys, names, refers, roles, wanted)
            shift = begin - starts[0]
            yield [(n, d, _python_value(values[i + shift], t), c) for i, n, d, c, t in first]
        else:
            # Reports of one station network share their layout: the plan of
            # a layout seen before is reused, its indices counted from the
            # subset's start.
            layout: tuple[Any, ...] = (
                tuple(keys[begin:end]),
                None if refers is None else tuple(refers[begin:end]),
                tuple(names[begin:end]) if qualifiers_wanted and names is not None else None,
            )
            plan = plans.get(layout)
            if plan is None:
                if len(plans) > 256:
                    plans.clear()
                found = _plan(begin, end, values, keys, names, refers, roles, wanted)
                plan = plans[layout] = [(i - begin, n, d, c, t) for i, n, d, c, t in found]
            yield [(n, d, _python_value(values[begin + i], t), c) for i, n, d, c, t in plan]


def _observations(
    entries: list[tuple[str, int, Any, bool]], base: Row, filters: Mapping[str, Filter], split_repeats: bool
) -> Iterator[Row]:
    """The observations of one subset.

    `current` holds the keys of the observation being read, in the order they
    arrived, and `depths` the depth of each arrival. A value at a depth above
    the last one, or at the same depth under a name already held, completes
    the observation (when every filtered key is in it) and unwinds it to that
    depth. A filter that fails skips everything below it until the walk comes
    back up. With `split_repeats`, a name already held arriving deeper also
    completes the observation first, so no value overwrites another: that
    row holds what came up to the earlier value and the values after it up
    to the next coordinate, which belongs to the new value's context.
    """
    coordinates: set[str] = set()
    current: Row = dict(base)
    depths: list[int] = [0]
    failed_depth: int | None = None
    for name, depth, value, is_coord in entries:
        if is_coord:
            coordinates.add(name)
        if failed_depth is not None:
            if depth > failed_depth:
                continue
            failed_depth = None
        closes = depth < depths[-1] or (depth == depths[-1] and name in current)
        if split_repeats and not closes and name in current:
            if all(k in current for k in filters):
                yield _up_to_context(current, name, coordinates)
        if closes:
            if all(k in current for k in filters):
                yield dict(current)
            while len(current) > len(base) and (
                depth < depths[-1] or (depth == depths[-1] and name in current)
            ):
                current.popitem()
                depths.pop()
        f = filters.get(name)
        if f is not None and not f.match(value):
            failed_depth = depth
            continue
        current[name] = value
        depths.append(depth)
    if all(k in current for k in filters):
        yield current


def _up_to_context(current: Row, name: str, coordinates: set[str]) -> Row:
    row: Row = {}
    seen = False
    for key, value in current.items():
        if seen and key in coordinates:
            break
        row[key] = value
        seen = seen or key == name
    return row


def _generic_rows(message: Message, query: _Query, split_repeats: bool, info: dict[str, Any]) -> list[Row]:
    header = _header_row(message, query.header_wanted)
    for k, f in query.header_filters.items():
        if not f.match(HEADER_KEYS[k](message.header)):
            return []
    if "typical_datetime" in query.computed or "typical_datetime" in query.row_filters:
        h = message.header
        header[_TYPICAL] = _datetime(
            h.typical_year, h.typical_month, h.typical_day, h.typical_hour, h.typical_minute,
            h.typical_second or 0,
        )
    rows: list[Row] = []
    columns = query.columns
    column_set = set(columns)
    for entries in _subset_entries(message, query.data_wanted, info):
        for obs in _observations(entries, header, query.walk_filters, split_repeats):
            for name in (*query.computed, *query.row_filters):
                value = COMPUTED[name][1](obs)
                if value is not None:
                    obs[name] = value
            if any(not f.match(obs.get(k)) for k, f in query.row_filters.items()):
                continue
            row = {k: v for k, v in obs.items() if k in column_set}
            for name in query.computed:
                if name in obs:
                    row[name] = obs[name]
            if not row or (query.required and not query.required.issubset(row)):
                continue
            rows.append(row)
    return rows


def _ranked(name: str) -> str:
    return name if name.startswith("#") else "#1#" + name


_REPLICATION_KEYS = frozenset(
    {
        "delayedDescriptorReplicationFactor",
        "shortDelayedDescriptorReplicationFactor",
        "extendedDelayedDescriptorReplicationFactor",
        "delayedDescriptorAndDataRepetitionFactor",
        "extendedDelayedDescriptorAndDataRepetitionFactor",
    }
)


def _flat_rows(message: Message, query: _Query, info: dict[str, Any]) -> list[Row]:
    for k, f in query.header_filters.items():
        if not f.match(HEADER_KEYS[k](message.header)):
            return []
    values, starts, keys = _structure(message, info)[:3]
    ends = (*starts[1:], len(values))
    header = _header_row(message, HEADER_KEYS)
    rows: list[Row] = []
    for s, (begin, end) in enumerate(zip(starts, ends)):
        row: Row = dict(header)
        row["subsetNumber"] = s + 1
        ranks: dict[str, int] = {}
        for i in range(begin, end):
            key = keys[i]
            v = values[i]
            if key in _REPLICATION_KEYS or (v.descriptor >= 100000 and v.descriptor < 300000):
                continue
            rank = ranks.get(key, 0) + 1
            ranks[key] = rank
            row[f"#{rank}#{key}"] = _python_value(v, key)
        if not _flat_match(row, query):
            continue
        if query.required and not query.required.issubset(row):
            continue
        if query.columns:
            if all(row.get(k) is None for k in query.columns):
                continue
            row = {k: row.get(k) for k in query.columns}
        rows.append(row)
    return rows


def _flat_match(row: Row, query: _Query) -> bool:
    """A filter on a plain key holds when any rank of it matches."""
    for key, f in query.filters.items():
        if key in row:
            if not f.match(row[key]):
                return False
            continue
        suffix = "#" + key
        if not any(k.endswith(suffix) and f.match(v) for k, v in row.items()):
            return False
    return True


Source = Union[str, "os.PathLike[str]", bytes, Message, Iterable[Any]]


def _sources(source: Any) -> list[Any]:
    """The independent pieces of `source`: files, byte strings or messages."""
    if isinstance(source, (str, os.PathLike, bytes, bytearray, memoryview, Message)):
        return [source]
    return list(source)


def _messages_of(piece: Any, definitions: Any) -> Iterator[Message]:
    if isinstance(piece, Message):
        yield piece
        return
    for item in scan(_read(piece), _tables(definitions)):
        if isinstance(item, tuple):
            raise item[1]
        yield item


def _rows_of(piece: Any, query: _Query, definitions: Any, split_repeats: bool, info: dict[str, Any]) -> list[Row]:
    rows: list[Row] = []
    for message in _messages_of(piece, definitions):
        if query.reader == "flat":
            rows.extend(_flat_rows(message, query, info))
        else:
            rows.extend(_generic_rows(message, query, split_repeats, info))
    return rows


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
    ``bufrHeaderCentre``, ...), qualifiers (``airTemperature->percentConfidence``)
    and the computed keys ``data_datetime``, ``typical_datetime``,
    ``WMO_station_id``, ``WIGOS_station_id`` and ``geometry``.

    `filters` maps keys to conditions, all of which must hold: a scalar is
    equality, a list, tuple or set membership, a ``slice`` an inclusive
    range, a callable a predicate. A key filtered on need not be a column.

    `required_columns`: True drops rows that lack any column, False keeps
    them, a list names the columns a row must have.

    `reader` is ``"generic"`` (one row per observation; coordinates set the
    context, so a sounding gives one row per level) or ``"flat"`` (one row
    per subset, every value under its ranked name, ``#1#airTemperature``).

    `workers` reads that many files (or messages, for one file) at once in
    threads; decoding releases the GIL. ``df.attrs["units"]`` maps keys to
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
    if len(pieces) == 1 and workers > 1 and not isinstance(pieces[0], Message):
        pieces = list(_messages_of(pieces[0], definitions))
    infos: list[dict[str, Any]] = [{} for _ in pieces]
    if workers > 1 and len(pieces) > 1:
        with ThreadPoolExecutor(max_workers=workers) as pool:
            parts = list(
                pool.map(
                    lambda i: _rows_of(pieces[i], query, definitions, split_repeats, infos[i]),
                    range(len(pieces)),
                )
            )
    else:
        parts = [_rows_of(p, query, definitions, split_repeats, infos[i]) for i, p in enumerate(pieces)]
    rows = [row for part in parts for row in part]
    frame = pandas.DataFrame(rows)
    units: dict[str, str] = {}
    versions: set[Any] = set()
    for info in infos:
        units.update(info.get("units", {}))
        versions |= info.get("table_versions", set())
    frame.attrs["units"] = {c: _unit_of(c, units) for c in frame.columns if _unit_of(c, units)}
    frame.attrs["table_versions"] = sorted(versions)
    return frame


def _unit_of(column: str, units: Mapping[str, str]) -> str:
    key = column.rpartition("#")[2]
    return units.get(key.partition("->")[2] or key, "")
