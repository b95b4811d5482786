"""The ``skerrow`` command line: explore BUFR files from the shell.

Every subcommand is a thin layer over ``_skerrow``; none parses BUFR itself.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Callable, Sequence

from skerrow._cli_dump import DUMP_COMMAND
from skerrow._cli_tables import EXPAND_COMMAND, TABLE_COMMAND
from skerrow._convert import CONVERT_COMMAND
from skerrow._messages import Message, default_tables, scan

# Subcommand name -> (set-up of its parser, the function that runs it).
Command = tuple[Callable[[argparse.ArgumentParser], None], Callable[[argparse.Namespace], int]]


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _setup_info(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="BUFR files to list")
    parser.add_argument(
        "-p", dest="keys", metavar="KEY,...",
        help="print only these header keys (ecCodes names: edition, bufrHeaderCentre, "
        "dataCategory, typicalDate, numberOfSubsets, ...; also file and offset)",
    )
    parser.add_argument("--json", action="store_true", help="one JSON array of messages")


def _header_keys(path: str, message: Message, keys: list[str] | None) -> dict[str, object]:
    from skerrow.frames import HEADER_KEYS, LOCAL_KEYS, local_section_keys

    every: dict[str, object] = {"file": path, "offset": message.offset}
    every.update((k, f(message.header)) for k, f in HEADER_KEYS.items())
    every["unexpandedDescriptors"] = [f"{d:06d}" for d in message.header.unexpanded_descriptors]
    if keys is None:
        return every
    if any(k in LOCAL_KEYS for k in keys):
        every.update(local_section_keys(message))  # ECMWF's section 2: ident, rdbType, ...
    return {k: every.get(k) for k in keys}


def _run_info(args: argparse.Namespace) -> int:
    status = 0
    keys = None if args.keys is None else [k for k in args.keys.split(",") if k]
    if keys is not None:
        from skerrow.frames import MESSAGE_KEYS

        unknown = [k for k in keys if k not in MESSAGE_KEYS and k not in ("file", "offset", "unexpandedDescriptors")]
        if unknown:
            print(f"skerrow: unknown header key {unknown[0]!r}", file=sys.stderr)
            return 2
    listed: list[dict[str, object]] = []
    for path in args.files:
        try:
            data = _read(path)
            # Frame the whole file first, so a bad file prints no partial list.
            found: list[Message] = []
            for item in scan(data, default_tables()):
                if isinstance(item, tuple):
                    raise item[1]
                found.append(item)
        except (OSError, ValueError) as exc:
            print(f"skerrow: {path}: {exc}", file=sys.stderr)
            status = 1
            continue
        if keys is not None or args.json:
            for message in found:
                row = _header_keys(path, message, keys)
                if args.json:
                    listed.append(row)
                else:
                    print("\t".join(" ".join(v) if isinstance(v, list) else str(v) for v in row.values()))
            continue
        for message in found:
            m = message.header
            second = "" if m.typical_second is None else f":{m.typical_second:02d}"
            when = (
                f"{m.typical_year:04d}-{m.typical_month:02d}-{m.typical_day:02d}"
                f"T{m.typical_hour:02d}:{m.typical_minute:02d}{second}"
            )
            descriptors = " ".join(f"{d:06d}" for d in m.unexpanded_descriptors)
            print(
                f"{path}\toffset={message.offset}\tlength={m.total_length}\tedition={m.edition}"
                f"\tcentre={m.originating_centre}\tcategory={m.data_category}"
                f"\tsubsets={m.number_of_subsets}"
                f"\tcompressed={'yes' if m.compressed_data else 'no'}"
                f"\ttime={when}\tdescriptors={descriptors}"
            )
    if args.json:
        json.dump(listed, sys.stdout, indent=1)
        print()
    return status


COMMANDS: dict[str, tuple[str, Command]] = {
    "info": ("list the messages of BUFR files with their headers", (_setup_info, _run_info)),
    "expand": EXPAND_COMMAND,
    "table": TABLE_COMMAND,
    "dump": DUMP_COMMAND,
    "convert": CONVERT_COMMAND,
}


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="skerrow", description="Decode BUFR data (editions 2, 3 and 4).")
    sub = parser.add_subparsers(dest="command", required=True)
    for name, (help_text, (setup, _)) in COMMANDS.items():
        setup(sub.add_parser(name, help=help_text, description=help_text))
    args = parser.parse_args(argv)
    try:
        return COMMANDS[args.command][1][1](args)
    except BrokenPipeError:
        return 1


if __name__ == "__main__":
    sys.exit(main())
