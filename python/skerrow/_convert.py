"""``skerrow convert``: BUFR files to Parquet, CSV or JSON lines.

Files are read in blocks and decoded a chunk of messages at a time, so memory
stays bounded whatever the size of the input. The output is written under a
temporary name beside the target and renamed at the end: a conversion that is
killed leaves nothing under the output name, and the temporary file a killed
one leaves is removed by the next conversion to the same output.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import signal
import stat
import sys
import tempfile
import time
from typing import Any, Callable, Iterator, TextIO

from skerrow import _native, frames
from skerrow._messages import Header, Message, _tables

BLOCK_SIZE = 1 << 24  # octets read from a file at a time
CHUNK_MESSAGES = 500  # messages decoded per chunk (one Parquet row group)
CHUNK_CELLS = 4_000_000  # rows x columns held at most, whatever the messages


def stream_messages(path: str, tables: Any, block_size: int = BLOCK_SIZE) -> Iterator[tuple[int, Message | ValueError]]:
    """(file offset, message or framing error) for each message of `path`,
    reading `block_size` octets at a time. Each message gets its own bytes,
    so the blocks can go as soon as their messages are framed."""
    with open(path, "rb") as f:
        buffer = b""
        base = 0  # file offset of buffer[0]
        eof = False
        while True:
            if not eof:
                more = f.read(block_size)
                eof = not more
                buffer += more
            position = 0
            incomplete = False
            while True:
                try:
                    found = _native.next_message(buffer, position)
                except ValueError as exc:
                    # A message that runs past what has been read: read on,
                    # unless the file has ended.
                    if not eof:
                        incomplete = True
                        break
                    start = buffer.find(b"BUFR", position)
                    yield base + max(start, position), ValueError(_strip_offset(str(exc)))
                    return
                if found is None:
                    break
                offset, length = found
                data = buffer[offset : offset + length]
                position = offset + length
                try:
                    header = Header._make(_native.frame(data, 0, length))
                except ValueError as exc:
                    yield base + offset, ValueError(_strip_offset(str(exc)))
                    continue
                yield base + offset, Message(data, 0, length, header, tables)
            if eof:
                return
            # Keep what may still start a message: the incomplete one, or a
            # marker cut by the end of the block.
            keep = buffer.find(b"BUFR", position) if incomplete else max(position, len(buffer) - 3)
            base += keep
            buffer = buffer[keep:]


def _strip_offset(text: str) -> str:
    """The error without its "message at offset N: " prefix, which counts
    from the start of a block rather than of the file."""
    prefix = "message at offset "
    if text.startswith(prefix):
        _, sep, rest = text.partition(": ")
        if sep:
            return rest
    return text


# --- column types -------------------------------------------------------------

_STRING_HEADER_KEYS = {"typicalDate", "typicalTime"}


class KeyTypes:
    """The type and unit of each key, from the latest WMO tables present:
    text for character elements, integers for elements of scale 0 or less
    (counts, codes, flags), floats otherwise."""

    def __init__(self) -> None:
        self.kind: dict[str, str] = {}
        self.unit: dict[str, str] = {}
        tables = frames._TYPES._table_set()
        if tables is None:
            return
        for x in range(64):
            for y in range(256):
                element = tables.get_element(x * 1000 + y)
                if element is None:
                    continue
                key = element.abbreviation or f"{element.code:06d}"
                if element.unit == "CCITT IA5":
                    kind = "string"
                else:
                    kind = "int" if element.scale <= 0 else "float"
                # Several elements can share a key (wind speed in m/s, km/h
                # and knots): the column must hold the values of all.
                earlier = self.kind.get(key, kind)
                self.kind[key] = kind if earlier == kind else ("string" if "string" in (kind, earlier) else "float")
                self.unit.setdefault(key, element.unit)

    @staticmethod
    def _base(name: str) -> str:
        key = name.rpartition("#")[2] if name.startswith("#") else name
        return key.rpartition("->")[2]  # a qualifier's own key, nested ones too

    def kind_of(self, name: str) -> str:
        if name in frames.HEADER_KEYS or name == "subsetNumber":
            return "string" if name in _STRING_HEADER_KEYS else "int"
        if name in frames.LOCAL_KEYS:
            return "string" if name == "ident" else "float" if name.startswith("localL") else "int"
        if name in ("data_datetime", "typical_datetime"):
            return "timestamp"
        if name == "WMO_station_id":
            return "int"
        if name == "WIGOS_station_id":
            return "string"
        if name == "geometry":
            return "list"
        return self.kind.get(self._base(name), "float")

    def unit_of(self, name: str) -> str:
        return self.unit.get(self._base(name), "")


def _arrow_type(kind: str) -> Any:
    import pyarrow as pa

    return {
        "string": pa.string(),
        "int": pa.int64(),
        "float": pa.float64(),
        "timestamp": pa.timestamp("us"),
        "list": pa.list_(pa.float64()),
    }[kind]


def _fit(value: Any, kind: str) -> Any:
    """`value` as `kind`, or None when it cannot be (text in a number column)."""
    if value is None:
        return None
    try:
        if kind == "int":
            number = float(value)
            return int(number) if number.is_integer() else None
        if kind == "float":
            return float(value)
        if kind == "string":
            return str(value)
    except (TypeError, ValueError):
        return None
    return value


# --- writers ------------------------------------------------------------------


class _Writer:
    def __init__(self, path: str, columns: list[str], types: KeyTypes) -> None:
        self.columns = columns
        self.kinds = [types.kind_of(c) for c in columns]
        self.types = types

    def write(self, rows: list[dict[str, Any]]) -> None:
        raise NotImplementedError

    def close(self, table_versions: list[Any]) -> None:
        raise NotImplementedError


class _ParquetWriter(_Writer):
    def __init__(self, path: str, columns: list[str], types: KeyTypes) -> None:
        super().__init__(path, columns, types)
        import pyarrow as pa
        import pyarrow.parquet as pq

        self._pa = pa
        units = {c: types.unit_of(c) for c in columns if types.unit_of(c)}
        fields = [
            pa.field(c, _arrow_type(k), metadata={"unit": units[c]} if c in units else None)
            for c, k in zip(columns, self.kinds)
        ]
        self.schema = pa.schema(fields, metadata={"skerrow.units": json.dumps(units)})
        self._writer = pq.ParquetWriter(path, self.schema)

    def write(self, rows: list[dict[str, Any]]) -> None:
        pa = self._pa
        arrays = []
        for column, kind, field in zip(self.columns, self.kinds, self.schema):
            values = [row.get(column) for row in rows]
            if kind in ("int", "float", "string"):
                values = [_fit(v, kind) for v in values]
            elif kind == "timestamp":
                values = [None if v is None else v.to_pydatetime() for v in values]
            arrays.append(pa.array(values, type=field.type))
        table = pa.Table.from_arrays(arrays, schema=self.schema)
        # One row group per chunk.
        self._writer.write_table(table, row_group_size=max(1, len(rows)))

    def close(self, table_versions: list[Any]) -> None:
        self._writer.add_key_value_metadata({"skerrow.table_versions": json.dumps(table_versions)})
        self._writer.close()


def _text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, list):
        return json.dumps(value)
    if hasattr(value, "isoformat"):
        return str(value.isoformat())
    return str(value)


class _CsvWriter(_Writer):
    def __init__(self, path: str, columns: list[str], types: KeyTypes) -> None:
        super().__init__(path, columns, types)
        self._file: TextIO = open(path, "w", newline="", encoding="utf-8")
        self._csv = csv.writer(self._file)
        self._csv.writerow(columns)

    def write(self, rows: list[dict[str, Any]]) -> None:
        self._csv.writerows([[_text(row.get(c)) for c in self.columns] for row in rows])

    def close(self, table_versions: list[Any]) -> None:
        self._file.close()


def _json_value(value: Any) -> Any:
    if hasattr(value, "isoformat"):
        return value.isoformat()
    return value


class _JsonLinesWriter(_Writer):
    def __init__(self, path: str, columns: list[str], types: KeyTypes) -> None:
        super().__init__(path, columns, types)
        self._file: TextIO = open(path, "w", encoding="utf-8")

    def write(self, rows: list[dict[str, Any]]) -> None:
        out = io.StringIO()
        for row in rows:
            line = {c: _json_value(row[c]) for c in self.columns if row.get(c) is not None}
            out.write(json.dumps(line, allow_nan=False, default=str))
            out.write("\n")
        self._file.write(out.getvalue())

    def close(self, table_versions: list[Any]) -> None:
        self._file.close()


WRITERS: dict[str, Callable[[str, list[str], KeyTypes], _Writer]] = {
    "parquet": _ParquetWriter,
    "csv": _CsvWriter,
    "jsonl": _JsonLinesWriter,
}


# --- the command ----------------------------------------------------------------


class _Progress:
    """A one-line progress report on a terminal; silent otherwise."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._live = stream.isatty()
        self._start = time.monotonic()
        self.messages = 0
        self.octets = 0
        self.errors = 0

    def show(self, final: bool = False) -> None:
        if not self._live:
            return
        elapsed = max(time.monotonic() - self._start, 1e-9)
        self._stream.write(
            f"\r{self.messages} messages  {self.octets / 1e6:.1f} MB  "
            f"{self.octets / 1e6 / elapsed:.1f} MB/s  {self.errors} errors"
            + ("\n" if final else "")
        )
        self._stream.flush()


def _parse_filter(text: str) -> tuple[str, Any]:
    key, sep, value = text.partition("=")
    if not sep or not key:
        raise argparse.ArgumentTypeError(f"a filter is KEY=VALUE, not {text!r}")
    parsed: Any = value
    for convert in (int, float):
        try:
            parsed = convert(value)
            break
        except ValueError:
            continue
    return key, parsed


def _setup(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="BUFR files to convert")
    parser.add_argument("--to", choices=sorted(WRITERS), required=True, help="output format")
    parser.add_argument("-o", "--output", required=True, metavar="OUT", help="output file")
    parser.add_argument("--columns", help="comma-separated keys (required by the generic reader)")
    parser.add_argument(
        "--filter", action="append", default=[], type=_parse_filter, metavar="KEY=VALUE",
        help="keep observations whose KEY equals VALUE (repeatable; all must hold)",
    )
    parser.add_argument("--reader", choices=("generic", "flat"), help="default: generic with --columns, else flat")
    parser.add_argument("--strict", action="store_true", help="stop at the first message that fails")
    parser.add_argument("--chunk", type=int, default=CHUNK_MESSAGES, help="messages per chunk (row group)")
    parser.add_argument("--definitions", default=None, help="ecCodes definitions root for the tables")


class _Failed(Exception):
    pass


def _run(args: argparse.Namespace) -> int:
    columns = [c for c in (args.columns or "").split(",") if c]
    reader = args.reader or ("generic" if columns else "flat")
    if reader == "generic" and not columns:
        print("skerrow convert: the generic reader needs --columns", file=sys.stderr)
        return 2
    if args.to == "parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            print("skerrow convert: Parquet needs pyarrow (pip install skerrow[parquet])", file=sys.stderr)
            return 2
    query = frames._Query(columns, dict(args.filter), True, reader)
    tables = _tables(args.definitions)
    types = KeyTypes()
    progress = _Progress(sys.stderr)
    failures: list[str] = []

    def fail(where: str, message: str) -> None:
        progress.errors += 1
        text = f"skerrow: {where}: {message}"
        failures.append(text)
        if progress._live:
            sys.stderr.write("\r")
        print(text, file=sys.stderr)
        if args.strict:
            raise _Failed(text)

    def messages() -> Iterator[tuple[str, int, Message]]:
        for path in args.files:
            try:
                for offset, item in stream_messages(path, tables):
                    if isinstance(item, ValueError):
                        fail(f"{path}: offset {offset}", str(item))
                    else:
                        yield path, offset, item
            except OSError as exc:
                fail(path, exc.strerror or str(exc))

    def rows_of(path: str, offset: int, message: Message, info: dict[str, Any]) -> list[dict[str, Any]]:
        try:
            if reader == "flat":
                return frames._flat_rows(message, query, info)
            return frames._generic_rows(message, query, True, info)
        except ValueError as exc:
            fail(f"{path}: offset {offset}", _strip_offset(str(exc)))
            return []

    if not columns:
        # The flat reader's columns are every name any message has: one pass
        # to collect them, so that the output has one schema.
        seen: dict[str, None] = {}
        try:
            for path, offset, message in messages():
                for row in rows_of(path, offset, message, {}):
                    seen.update(dict.fromkeys(row))
        except _Failed:
            return 1
        columns = list(seen)
        failures.clear()
        progress.errors = 0

    target = os.path.abspath(args.output)
    prefix = f".{os.path.basename(target)}."
    _remove_dead_parts(os.path.dirname(target), prefix)
    handle, temporary = tempfile.mkstemp(dir=os.path.dirname(target), prefix=prefix, suffix=".part")
    # Held locked for the whole conversion: a later one sees it is alive.
    _lock(handle, wait=True)
    previous = signal.signal(signal.SIGTERM, _terminate)
    info: dict[str, Any] = {}
    try:
        writer = WRITERS[args.to](temporary, columns, types)
        chunk: list[dict[str, Any]] = []
        count = 0
        for path, offset, message in messages():
            chunk.extend(rows_of(path, offset, message, info))
            progress.messages += 1
            progress.octets += message.header.total_length
            count += 1
            # A chunk ends after --chunk messages, or sooner when its cells
            # would pass CHUNK_CELLS (flat rows of wide messages).
            if count >= args.chunk or len(chunk) * len(columns) >= CHUNK_CELLS:
                if chunk:
                    writer.write(chunk)
                chunk, count = [], 0
                progress.show()
        if chunk:
            writer.write(chunk)
        writer.close(sorted(info.get("table_versions", set())))
        progress.show(final=True)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # as an ordinary new file, not mkstemp's 0600
        os.replace(temporary, target)
    except _Failed:
        return 1
    finally:
        signal.signal(signal.SIGTERM, previous)
        if os.path.exists(temporary):
            os.unlink(temporary)
        os.close(handle)
    if failures:
        print(f"skerrow convert: {len(failures)} of the messages failed", file=sys.stderr)
        return 1
    return 0


# A temporary file younger than this may belong to a conversion that has
# created it but not locked it yet.
_PART_GRACE_SECONDS = 10.0


def _lock(handle: int, wait: bool) -> bool:
    """Takes the exclusive lock of an open file; False when another process
    holds it (and `wait` is false). Without fcntl (Windows), claims nothing."""
    try:
        import fcntl
    except ImportError:
        return False
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except OSError:
        return False
    return True


def _remove_dead_parts(directory: str, prefix: str) -> None:
    """Deletes the temporary files that conversions to the same output left
    when they were killed (SIGKILL gives no chance to clean up). A live
    conversion holds its file locked; a file that nobody holds, old enough
    to have been locked by its maker, is a leftover."""
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        if not (name.startswith(prefix) and name.endswith(".part")):
            continue
        path = os.path.join(directory, name)
        try:
            handle = os.open(path, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0))
        except OSError:
            continue  # gone already, or not a plain file we may read
        try:
            info = os.fstat(handle)
            if (stat.S_ISREG(info.st_mode) and time.time() - info.st_mtime > _PART_GRACE_SECONDS
                    and _lock(handle, wait=False)):
                os.unlink(path)
        except OSError:
            pass
        finally:
            os.close(handle)


def _terminate(signum: int, frame: Any) -> None:
    raise SystemExit(128 + signum)


CONVERT_COMMAND = (
    "convert BUFR files to Parquet, CSV or JSON lines",
    (_setup, _run),
)
