# The helper module that shares _skerrow's library (loaded by skerrow/__init__.py).
from collections.abc import Iterable
from typing import Any

import _skerrow

HeaderFields = tuple[
    int, int, int, int, int, int | None, int, bool, int, int | None, int, int, int, int, int,
    int, int, int, int | None, int, int, int, bool, bool, list[int], int, int, int,
]

def next_message(data: bytes, position: int) -> tuple[int, int] | None: ...
def frame(data: bytes, offset: int, length: int) -> HeaderFields: ...
def decode(
    data: bytes, offset: int, length: int, tables: _skerrow.TableSet | str | tuple[str, list[str]]
) -> tuple[list[_skerrow.DecodedValue], tuple[int, ...]]: ...
def bundled_versions(bundle: str) -> tuple[int, ...]: ...
def bundled_tables(bundle: str, version: int) -> _skerrow.TableSet: ...
def structure(
    data: bytes, offset: int, length: int, tables: _skerrow.TableSet | str | tuple[str, list[str]]
) -> tuple[
    list[_skerrow.DecodedValue], tuple[int, ...], list[str], list[str], list[str], list[int]
]: ...
# (owner capsule, address, runs) of each block of numbers.
NumberChunks = list[tuple[object, int, int]]
ColumnsResult = tuple[
    NumberChunks, int, tuple[int, ...] | None, list[str], list[tuple[int, list[object]]]
]

def columns(
    data: bytes,
    offset: int,
    length: int,
    tables: _skerrow.TableSet | str | tuple[str, list[str]],
    keys: Iterable[str] | None,
    meanings: bool,
) -> ColumnsResult: ...
MessageArguments = tuple[bytes, int, int, _skerrow.TableSet | str | tuple[str, list[str]]]

def read_columns(
    messages: list[MessageArguments],
    keys: Iterable[str] | None,
    meanings: bool,
) -> ColumnsResult: ...
def rows(
    data: bytes,
    ranges: bytes,
    tables: _skerrow.TableSet | str | tuple[str, list[str]],
    names: list[str],
    filtered: bytes | None,
    split_repeats: bool,
) -> tuple[bytes, bytes, list[tuple[int, str]], list[int], list[str], Any]: ...
def walk_rows(plan: Any, passes: bytes) -> tuple[int, bytes, bytes, bytes]: ...
def flat_rows(
    data: bytes,
    ranges: bytes,
    tables: _skerrow.TableSet | str | tuple[str, list[str]],
    qualifiers: bool,
) -> tuple[list[str], list[str], bytes, bytes, bytes, list[tuple[int, str]], bytes, bytes]: ...
