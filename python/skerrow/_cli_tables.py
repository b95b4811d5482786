"""``skerrow expand`` and ``skerrow table``: explore BUFR tables from the shell."""

from __future__ import annotations

import argparse
import struct
import sys

import _skerrow


def _code(text: str) -> int:
    """A descriptor code typed as FXXYYY (001001) or F-XX-YYY (0-01-001)."""
    parts = text.split("-")
    try:
        if len(parts) == 3:
            f, x, y = (int(p, 10) for p in parts)
            return f * 100000 + x * 1000 + y
        if len(parts) == 1:
            return int(text, 10)
    except ValueError:
        pass
    raise argparse.ArgumentTypeError(f"not a descriptor code: {text!r}")


def _header_message(args: argparse.Namespace) -> bytes:
    """A minimal edition 4 message carrying only the header fields that
    choose the tables (master table and versions, centre), with no data.

    from_definitions picks tables from a parsed message; this lets a user ask
    for the tables of a version without having a message of it at hand.
    """
    section1 = struct.pack(
        ">BHHBBBBBBBHBBBBB",
        args.master_table, args.centre, args.subcentre, 0, 0, 0, 0, 0,
        args.master_version, args.local_version, 2000, 1, 1, 0, 0, 0,
    )
    section1 = (3 + len(section1)).to_bytes(3, "big") + section1
    section3 = (7).to_bytes(3, "big") + b"\0" + struct.pack(">HB", 1, 0x80)
    section4 = (4).to_bytes(3, "big") + b"\0"
    body = section1 + section3 + section4 + b"7777"
    return b"BUFR" + (8 + len(body)).to_bytes(3, "big") + b"\x04" + body


def _add_table_options(parser: argparse.ArgumentParser) -> None:
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--tables", metavar="DIR", help="an ecCodes table directory")
    where.add_argument("--wmo-csv", metavar="DIR", help="a directory of WMO BUFR4 CSV tables")
    where.add_argument(
        "--definitions", metavar="ROOT", help="an ecCodes definitions root (see --message)"
    )
    parser.add_argument(
        "--message", metavar="FILE",
        help="with --definitions: take the tables that fit the first message of FILE",
    )
    parser.add_argument("--master-table", type=int, default=0, metavar="N")
    parser.add_argument("--master-version", type=int, metavar="N",
                        help="with --definitions and no --message: the WMO table version")
    parser.add_argument("--local-version", type=int, default=0, metavar="N")
    parser.add_argument("--centre", type=int, default=0, metavar="N")
    parser.add_argument("--subcentre", type=int, default=0, metavar="N")


def _load(args: argparse.Namespace) -> tuple[_skerrow.TableSet, _skerrow.BufrMessage | None]:
    """The tables the options name, and the message they came from, if any."""
    if args.tables is not None:
        return _skerrow.TableSet.from_eccodes(args.tables), None
    if args.wmo_csv is not None:
        return _skerrow.TableSet.from_bufr4_45(args.wmo_csv), None
    if args.message is not None:
        with open(args.message, "rb") as f:
            messages = _skerrow.parse_all_bytes(f.read())
        if not messages:
            raise ValueError(f"{args.message}: no BUFR message found")
        message = messages[0]
    elif args.master_version is not None:
        message = _skerrow.parse_bytes(_header_message(args))
    else:
        raise ValueError("--definitions needs --message FILE or --master-version N")
    return _skerrow.TableSet.from_definitions(args.definitions, message), message


def _describe(tables: _skerrow.TableSet, code: int) -> str:
    if code == 999999:
        return "associated field"
    element = tables.get_element(code)
    if element is not None:
        return f"{element.name}\t{element.unit}"
    f = code // 100000
    if f == 2:
        return "operator"
    return "(not in Table B)" if f == 0 else ""


def _setup_expand(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "descriptors", nargs="*", type=_code, metavar="CODE",
        help="descriptor codes such as 301011 or 3-01-011 (default: the message's own)",
    )
    _add_table_options(parser)


def _run_expand(args: argparse.Namespace) -> int:
    try:
        tables, message = _load(args)
        codes = args.descriptors
        if not codes and message is not None:
            codes = message.unexpanded_descriptors
        expanded = tables.expand(codes)
    except (OSError, ValueError) as exc:
        print(f"skerrow: {exc}", file=sys.stderr)
        return 1
    for code in expanded:
        print(f"{code:06d}\t{_describe(tables, code)}".rstrip("\t"))
    return 0


def _setup_table(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("code", type=_code, metavar="CODE", help="element or sequence code")
    parser.add_argument(
        "raw", nargs="?", type=int, metavar="VALUE",
        help="a raw value of the element: show its code-table meaning",
    )
    _add_table_options(parser)


def _run_table(args: argparse.Namespace) -> int:
    try:
        tables, _ = _load(args)
    except (OSError, ValueError) as exc:
        print(f"skerrow: {exc}", file=sys.stderr)
        return 1
    code = args.code
    if args.raw is not None:
        meaning = tables.get_meaning(code, args.raw) if 0 <= args.raw < 1 << 64 else None
        if meaning is None:
            print(f"skerrow: no meaning for {code:06d} value {args.raw}", file=sys.stderr)
            return 1
        print(meaning)
        return 0
    element = tables.get_element(code)
    if element is not None:
        fields = ("abbreviation", "element_type", "name", "unit", "scale", "reference", "width")
        for field in fields:
            print(f"{field}\t{getattr(element, field)}")
        return 0
    sequence = tables.get_sequence(code)
    if sequence is not None:
        for member in sequence.members:
            print(f"{member:06d}\t{_describe(tables, member)}".rstrip("\t"))
        return 0
    print(f"skerrow: {code:06d} is neither in Table B nor in Table D", file=sys.stderr)
    return 1


# Entries of the command table: (help text, (parser set-up, runner)).
EXPAND_COMMAND = ("expand descriptors through Table D", (_setup_expand, _run_expand))
TABLE_COMMAND = ("show an element, a sequence or a code-table meaning", (_setup_table, _run_table))
