"""``skerrow dump``: print the decoded values of every message of BUFR files."""

from __future__ import annotations

import argparse
import json
import sys
from typing import TextIO

import _skerrow
from skerrow._messages import default_definitions, scan


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
        default=None,
        help=f"ecCodes definitions root to choose tables from (default {default_definitions()})",
    )
    source.add_argument("--tables", metavar="DIR", help="one ecCodes table directory for all")
    parser.add_argument("--json", action="store_true", help="one JSON object per message")


def _run(args: argparse.Namespace) -> int:
    tables: _skerrow.TableSet | str = args.definitions or default_definitions()
    if args.tables is not None:
        try:
            tables = _skerrow.TableSet.from_eccodes(args.tables)
        except (OSError, ValueError) as exc:
            print(f"skerrow: {args.tables}: {exc}", file=sys.stderr)
            return 1

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
        try:
            for item in scan(data, tables):
                if isinstance(item, tuple):
                    offset, error = item
                else:
                    offset = item.offset
                    try:
                        values, starts = item._values_and_subset_starts()
                    except ValueError as exc:
                        error = exc
                    else:
                        _print(out, path, item.header.compressed_data, offset, values, starts,
                               args.json)
                        continue
                print(f"skerrow: {path}: {error}", file=sys.stderr)
                if args.json:
                    out.write(json.dumps({"file": path, "offset": offset, "error": str(error)}))
                    out.write("\n")
                status = 1
        except ValueError as exc:  # the scan cannot go on
            print(f"skerrow: {path}: {exc}", file=sys.stderr)
            status = 1
    return status


def _print(
    out: TextIO,
    path: str,
    compressed: bool,
    offset: int,
    values: list[_skerrow.DecodedValue],
    starts: tuple[int, ...],
    as_json: bool,
) -> None:
    subset_of = [0] * len(values)
    for number, start in enumerate(starts, 1):
        end = starts[number] if number < len(starts) else len(values)
        subset_of[start:end] = [number] * (end - start)
    if as_json:
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
            "subsets": len(starts),
            "compressed": compressed,
            "values": items,
        }
        out.write(json.dumps(record) + "\n")
        return
    out.write(
        f"# {path} offset={offset} subsets={len(starts)}"
        f" compressed={'yes' if compressed else 'no'}"
        f" values={len(values)}\n"
    )
    out.writelines(
        f"{s}\t{v.descriptor:06d}\t{v.name}\t{_value_text(v)}\n"
        for s, v in zip(subset_of, values)
    )


DUMP_COMMAND = (
    "print the decoded values of every message, one per line",
    (_setup, _run),
)
