"""``skerrow dump``: print the decoded values of every message of BUFR files."""

from __future__ import annotations

import argparse
import json
import sys
from typing import TextIO

import _skerrow
from skerrow._messages import Tables, default_tables, scan
from skerrow._structure import Subset, Value

# Units that say what kind of value it is rather than what it measures; the
# value's text shows that already.
_NO_UNIT = {"", "numeric", "ccitt ia5"}


def _shown_unit(unit: str) -> str:
    lower = unit.lower()
    if lower in _NO_UNIT or "code table" in lower or "flag table" in lower:
        return ""
    return unit


def _value_text(value: Value) -> str:
    v = value.decoded
    if v.raw_text is not None:
        return json.dumps(v.raw_text)
    if v.raw is None:
        return "missing"  # character data: raw_value is only its locator
    if v.raw_value is None:
        return "missing"
    number = repr(v.raw_value)
    if v.raw_meaning is not None:
        return f"{number} {json.dumps(v.raw_meaning)}"
    unit = _shown_unit(value.unit)
    return f"{number} {unit}" if unit else number


def _value_record(value: Value) -> dict[str, object]:
    v = value.decoded
    record: dict[str, object] = {
        "descriptor": v.descriptor,
        "key": value.key,
        "name": v.name,
        "unit": value.unit,
        "raw": v.raw,
        "raw_value": v.raw_value,
        "raw_text": v.raw_text,
        "raw_meaning": v.raw_meaning,
    }
    qualifiers = value.qualifiers
    if qualifiers:
        record["qualifiers"] = {name: _value_record(q) for name, q in qualifiers.items()}
    return record


def _subset_records(subset: Subset) -> list[dict[str, object]]:
    """The values of a subset, each qualifier inside the value it qualifies."""
    return [_value_record(v) for i, v in enumerate(subset) if not subset.is_qualifier(i)]


def _setup(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="BUFR files to decode")
    source = parser.add_mutually_exclusive_group()
    source.add_argument(
        "--definitions",
        metavar="ROOT",
        default=None,
        help="ecCodes definitions root for local tables (default: $ECCODES_DEFINITION_PATH,"
        " else the usual installed places); WMO tables are bundled",
    )
    source.add_argument("--tables", metavar="DIR", help="one ecCodes table directory for all")
    parser.add_argument("--json", action="store_true", help="one JSON object per message")


def _run(args: argparse.Namespace) -> int:
    tables: Tables = default_tables(args.definitions)
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
                        subsets = item.subsets()
                    except ValueError as exc:
                        error = exc
                    else:
                        _print(out, path, item.header.compressed_data, offset, subsets, args.json)
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
    subsets: list[Subset],
    as_json: bool,
) -> None:
    if as_json:
        record = {
            "file": path,
            "offset": offset,
            "compressed": compressed,
            "subsets": [_subset_records(subset) for subset in subsets],
        }
        out.write(json.dumps(record) + "\n")
        return
    count = sum(len(subset) for subset in subsets)
    out.write(
        f"# {path} offset={offset} subsets={len(subsets)}"
        f" compressed={'yes' if compressed else 'no'}"
        f" values={count}\n"
    )
    for number, subset in enumerate(subsets, 1):
        out.writelines(
            f"{number}\t{v.descriptor:06d}\t{v.name}\t{_value_text(v)}\n" for v in subset
        )


DUMP_COMMAND = (
    "print the decoded values of every message, one per line",
    (_setup, _run),
)
