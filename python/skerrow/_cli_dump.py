"""``skerrow dump``: print the decoded values of every message of BUFR files."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Callable

import _skerrow
from skerrow._messages import find_messages

DEFAULT_DEFINITIONS = "/usr/share/eccodes/definitions"


def _with_subsets(raw: bytes, header: _skerrow.BufrMessage, count: int) -> bytes:
    """The message with its section 3 subset count replaced by `count`."""
    at = 8 + header.section1_length + header.section2_length + 4
    return raw[:at] + count.to_bytes(2, "big") + raw[at + 2 :]


# Finding uncompressed subset boundaries one prefix at a time costs about
# subsets * values / 2 decoded values; past this the subset number shows "?".
_BOUNDARY_WORK = 100_000_000


def _subset_starts(
    raw: bytes,
    header: _skerrow.BufrMessage,
    values: list[_skerrow.DecodedValue],
    decode: Callable[[bytes], list[_skerrow.DecodedValue]],
) -> list[int] | None:
    """Index of the first value of every subset, or None if too costly.

    The values carry no subset number. Compressed subsets all have the same
    length. Uncompressed ones may differ (delayed replication), so the first
    k subsets are decoded on their own (the data of subset k starts where
    subset k - 1 ends, so a smaller subset count decodes a prefix). When
    every subset turns out as long as the first, one decode settles it.
    """
    n = header.number_of_subsets
    if n == 0:
        return []
    if header.compressed_data or n == 1:
        step = len(values) // n
        return [i * step for i in range(n)]
    first = len(decode(_with_subsets(raw, header, 1)))
    codes = [v.descriptor for v in values]
    if first * n == len(values) and all(
        codes[i] == codes[i % first] for i in range(len(codes))
    ) and (n < 3 or len(decode(_with_subsets(raw, header, n - 1))) == first * (n - 1)):
        return [i * first for i in range(n)]
    if n * len(values) // 2 > _BOUNDARY_WORK:
        return None
    return [0] + [len(decode(_with_subsets(raw, header, k))) for k in range(1, n)]


def _value_text(v: _skerrow.DecodedValue) -> str:
    if v.raw_text is not None:
        return json.dumps(v.raw_text)
    if v.raw is None:
        return "missing"  # character data: raw_value is only its locator
    number = repr(v.raw_value) if v.raw_value is not None else "missing"
    if v.raw_meaning is not None:
        return f"{number} {json.dumps(v.raw_meaning)}"
    return number


def _setup(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="BUFR files to decode")
    source = parser.add_mutually_exclusive_group()
    source.add_argument(
        "--definitions",
        metavar="ROOT",
        default=DEFAULT_DEFINITIONS,
        help=f"ecCodes definitions root to choose tables from (default {DEFAULT_DEFINITIONS})",
    )
    source.add_argument("--tables", metavar="DIR", help="one ecCodes table directory for all")
    parser.add_argument("--json", action="store_true", help="one JSON object per message")


def _run(args: argparse.Namespace) -> int:
    fixed = None
    if args.tables is not None:
        try:
            fixed = _skerrow.TableSet.from_eccodes(args.tables)
        except (OSError, ValueError) as exc:
            print(f"skerrow: {args.tables}: {exc}", file=sys.stderr)
            return 1
    cache: dict[tuple[int, ...], _skerrow.TableSet] = {}

    def tables_for(header: _skerrow.BufrMessage) -> _skerrow.TableSet:
        if fixed is not None:
            return fixed
        key = (
            header.master_table_number,
            header.master_tables_version_number,
            header.local_tables_version_number,
            header.originating_centre,
            header.originating_subcentre,
        )
        if key not in cache:
            cache[key] = _skerrow.TableSet.from_definitions(args.definitions, header)
        return cache[key]

    status = 0
    out = sys.stdout
    for path in args.files:
        try:
            with open(path, "rb") as f:
                data = f.read()
        except OSError as exc:
            print(f"skerrow: {path}: {exc}", file=sys.stderr)
            status = 1
            continue
        for offset, raw in find_messages(data):
            try:
                header = _skerrow.parse_bytes(raw)
                tables = tables_for(header)

                def decode(
                    b: bytes, tables: _skerrow.TableSet = tables
                ) -> list[_skerrow.DecodedValue]:
                    return _skerrow.decode_values_with_tables(b, tables)

                values = decode(raw)
                starts = _subset_starts(raw, header, values, decode)
            except ValueError as exc:
                print(f"skerrow: {path}: message at offset {offset}: {exc}", file=sys.stderr)
                if args.json:
                    out.write(json.dumps({"file": path, "offset": offset, "error": str(exc)}) + "\n")
                status = 1
                continue
            subset_of: list[int | str] = ["?" if starts is None else 0] * len(values)
            bounds = starts or []
            for number, start in enumerate(bounds, 1):
                end = bounds[number] if number < len(bounds) else len(values)
                subset_of[start:end] = [number] * (end - start)
            if args.json:
                items = [
                    {
                        "subset": s,
                        "descriptor": v.descriptor,
                        "name": v.name,
                        "raw": v.raw,
                        "raw_value": v.raw_value,
                        "raw_text": v.raw_text,
                        "raw_meaning": v.raw_meaning,
                    }
                    for s, v in zip(subset_of, values)
                ]
                record = {
                    "file": path,
                    "offset": offset,
                    "subsets": header.number_of_subsets,
                    "compressed": header.compressed_data,
                    "values": items,
                }
                out.write(json.dumps(record) + "\n")
                continue
            out.write(
                f"# {path} offset={offset} subsets={header.number_of_subsets}"
                f" compressed={'yes' if header.compressed_data else 'no'}"
                f" values={len(values)}\n"
            )
            out.writelines(
                f"{s}\t{v.descriptor:06d}\t{v.name}\t{_value_text(v)}\n"
                for s, v in zip(subset_of, values)
            )
    return status


DUMP_COMMAND = (
    "print the decoded values of every message, one per line",
    (_setup, _run),
)
