"""Passes of Message.columns() over a set of bench_columns (the corpus'
compressed set unless --set names another), for counting
instructions or sampling a profile of the passes alone: the difference
between two runs of different pass counts leaves out start-up and the
first decodings (which load tables).

    PYTHONPATH=build/dev:python valgrind --tool=callgrind python3 bench/columns_passes.py 1
    PYTHONPATH=build/dev:python valgrind --tool=callgrind python3 bench/columns_passes.py 4
    (instructions of a pass: the difference of the totals, divided by 3)

--keys asks for three names per message (the first, the middle and the
last), as bench_columns.py's keys= figure does.
"""

from __future__ import annotations

import argparse

from bench_columns import sets

import skerrow


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("passes", type=int)
    parser.add_argument("--keys", action="store_true")
    parser.add_argument("--set", default="compressed set", choices=list(sets()))
    args = parser.parse_args()
    messages = []
    for path in sets()[args.set]:
        message = next(skerrow.messages(path))
        try:
            names = list(message.columns())
        except ValueError:
            continue
        keys = [names[0], names[len(names) // 2], names[-1]] if names else []
        messages.append((message, keys if args.keys else None))
    for _ in range(args.passes):
        for message, keys in messages:
            message.columns(keys)


if __name__ == "__main__":
    main()
