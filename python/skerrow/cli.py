"""The ``skerrow`` command line: explore BUFR files from the shell.

Every subcommand is a thin layer over ``_skerrow``; none parses BUFR itself.
"""

from __future__ import annotations

import argparse
import sys
from typing import Callable, Sequence

from skerrow._cli_dump import DUMP_COMMAND
from skerrow._cli_tables import EXPAND_COMMAND, TABLE_COMMAND
from skerrow._messages import Message, default_definitions, scan

# Subcommand name -> (set-up of its parser, the function that runs it).
Command = tuple[Callable[[argparse.ArgumentParser], None], Callable[[argparse.Namespace], int]]


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _setup_info(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE", help="BUFR files to list")


def _run_info(args: argparse.Namespace) -> int:
    status = 0
    for path in args.files:
        try:
            data = _read(path)
            # Frame the whole file first, so a bad file prints no partial list.
            found: list[Message] = []
            for item in scan(data, default_definitions()):
                if isinstance(item, tuple):
                    raise item[1]
                found.append(item)
        except (OSError, ValueError) as exc:
            print(f"skerrow: {path}: {exc}", file=sys.stderr)
            status = 1
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
    return status


COMMANDS: dict[str, tuple[str, Command]] = {
    "info": ("list the messages of BUFR files with their headers", (_setup_info, _run_info)),
    "expand": EXPAND_COMMAND,
    "table": TABLE_COMMAND,
    "dump": DUMP_COMMAND,
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
