"""BUFR archives as Dask DataFrames: ``skerrow.dask.read_bufr``.

One partition per file, or per chunk of messages of a file. Each partition is
read by ``skerrow.read_bufr`` wherever Dask runs it, on threads or on the
workers of a ``distributed`` cluster, and takes the declared column types, so
that partitions agree with each other and with the meta whatever they hold.
Needs ``pip install skerrow[dask]``.
"""

from __future__ import annotations

import glob
import os
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

from skerrow import _native
from skerrow._messages import _read, _tables, scan

if TYPE_CHECKING:
    import dask.dataframe
    import pandas

__all__ = ["read_bufr"]

# Column kind (see skerrow._convert.KeyTypes) -> pandas dtype of the meta.
# Numbers are float64 so that a missing value is NaN in every partition; the
# geometry is an Arrow list, which Dask leaves alone (it would turn an object
# column of lists into strings).
_DTYPES = {
    "string": "object",
    "int": "float64",
    "float": "float64",
    "timestamp": "datetime64[ns]",
    "list": "list",
}


def _dtype(kind: str) -> Any:
    if kind == "list":
        import pandas
        import pyarrow

        return pandas.ArrowDtype(pyarrow.list_(pyarrow.float64()))
    return _DTYPES[kind]


def _meta(columns: Sequence[str]) -> pandas.DataFrame:
    import pandas

    from skerrow._convert import KeyTypes

    types = KeyTypes()
    return pandas.DataFrame(
        {c: pandas.Series([], dtype=_dtype(types.kind_of(c))) for c in columns}
    )


def _conform(frame: pandas.DataFrame, meta: pandas.DataFrame) -> pandas.DataFrame:
    """`frame` with exactly the columns and dtypes of `meta`."""
    import pandas

    out = {}
    for column, dtype in meta.dtypes.items():
        if column in frame:
            series = frame[column]
        else:
            series = pandas.Series([None] * len(frame), index=frame.index, dtype="object")
        if str(dtype) == "float64":
            series = pandas.to_numeric(series, errors="coerce").astype("float64")
        elif str(dtype).startswith("datetime64"):
            series = pandas.to_datetime(series).astype(dtype)
        elif isinstance(dtype, pandas.ArrowDtype):
            series = pandas.Series(series.tolist(), index=frame.index, dtype=dtype)
        else:
            series = series.astype("object").where(series.notna(), None)
        out[column] = series
    return pandas.DataFrame(out, index=pandas.RangeIndex(len(frame)))


class _Partition:
    """Reads one piece: a whole file, or messages [start, stop) of it."""

    def __init__(self, meta: pandas.DataFrame, options: Mapping[str, Any]) -> None:
        self.meta = meta
        self.options = dict(options)

    def __call__(self, piece: tuple[str, int, int | None]) -> pandas.DataFrame:
        from skerrow.frames import read_bufr as read_frame

        path, start, stop = piece
        definitions = self.options.get("definitions")
        if start == 0 and stop is None:
            source: Any = path
        else:
            found = list(scan(_read(path), _tables(definitions)))[start:stop]
            for item in found:
                if isinstance(item, tuple):
                    raise item[1]
            source = found
        frame = read_frame(source, **self.options)
        return _conform(frame, self.meta)


def _count_messages(path: str) -> int:
    data = _read(path)
    count, position = 0, 0
    while True:
        found = _native.next_message(data, position)
        if found is None:
            return count
        count += 1
        position = found[0] + found[1]


def _expand(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    if isinstance(paths, (str, os.PathLike)):
        text = os.fspath(paths)
        matched = sorted(glob.glob(text))
        return matched if matched else [text]
    return [os.fspath(p) for p in paths]


def read_bufr(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    columns: Sequence[str],
    filters: Mapping[str, Any] | None = None,
    required_columns: bool | Iterable[str] = True,
    reader: str = "generic",
    *,
    messages_per_partition: int | None = None,
    definitions: Any = None,
) -> dask.dataframe.DataFrame:
    """A Dask DataFrame of the observations of `paths` (a list of files or a
    glob pattern), with the arguments of ``skerrow.read_bufr``.

    There is one partition per file, or, with `messages_per_partition`, one
    per run of that many messages of a file. `columns` must be given: they
    fix the meta (texts as objects, times as datetime64, numbers as float64
    with NaN where missing). Filters run inside each partition.
    """
    import dask.dataframe as dd

    if not columns:
        raise ValueError("skerrow.dask.read_bufr needs columns: they declare the meta")
    files = _expand(paths)
    if not files:
        raise ValueError("no files to read")
    pieces: list[tuple[str, int, int | None]] = []
    for path in files:
        if messages_per_partition is None:
            pieces.append((path, 0, None))
            continue
        if messages_per_partition < 1:
            raise ValueError("messages_per_partition must be at least 1")
        count = _count_messages(path)
        for start in range(0, max(count, 1), messages_per_partition):
            pieces.append((path, start, start + messages_per_partition))
    meta = _meta(list(columns))
    options = {
        "columns": list(columns),
        "filters": dict(filters or {}),
        "required_columns": required_columns,
        "reader": reader,
        "definitions": definitions,
    }
    frame: dask.dataframe.DataFrame = dd.from_map(  # type: ignore[no-untyped-call]
        _Partition(meta, options), pieces, meta=meta, label="skerrow-read-bufr", enforce_metadata=False
    )
    return frame
