"""skerrow.messages(...).values() against decode_values_with_tables.

    PYTHONPATH=build/dev:python python3 bench/bench_messages.py [--min-time S] [--rounds N]

Both decode the same in-memory messages: every top-level corpus file that
ecCodes decodes, and the edition 3 originals of the converted ones.
decode_values_with_tables gets tables loaded once per choice of tables
(master table and versions, centre), before timing; skerrow.messages frames each message, takes its tables from the
process cache (filled by a first, untimed pass) and decodes it. The ratio of
the two rates is what the package costs over the bare module.
"""

from __future__ import annotations

import argparse
import csv
import time
from pathlib import Path

import _skerrow
import skerrow

HERE = Path(__file__).resolve().parent
CORPUS = HERE.parent.parent / "shared" / "corpus"
DEFINITIONS = "/usr/share/eccodes/definitions"


def best_seconds(passes: dict[str, object], min_time: float, rounds: int) -> dict[str, float]:
    """Best seconds per pass of each function. The functions take turns, round
    after round and in a rotating order, so that load from other processes on
    the machine, and the state one pass leaves the allocator in for the
    next, fall on all of them alike."""
    best = {name: float("inf") for name in passes}
    names = list(passes)
    for round_number in range(rounds):
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            run_pass = passes[name]
            count, start = 0, time.perf_counter()
            while True:
                run_pass()  # type: ignore[operator]
                count += 1
                elapsed = time.perf_counter() - start
                if elapsed >= min_time:
                    break
            best[name] = min(best[name], elapsed / count)
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--min-time", type=float, default=0.5)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    rows = [r for r in csv.DictReader(open(CORPUS / "MANIFEST.tsv"), delimiter="\t")
            if "/" not in r["file"] and r["eccodes_decodes"] == "yes"]
    edition4 = [(CORPUS / r["file"]).read_bytes() for r in rows]
    # Tables loaded once for each choice of tables, as a user of the module
    # would keep them.
    loaded: dict[tuple[int, ...], _skerrow.TableSet] = {}
    tables = []
    for d in edition4:
        h = _skerrow.parse_bytes(d)
        key = (h.master_table_number, h.master_tables_version_number,
               h.local_tables_version_number, h.originating_centre, h.originating_subcentre)
        if key not in loaded:
            loaded[key] = _skerrow.TableSet.from_definitions(DEFINITIONS, h)
        tables.append(loaded[key])
    twins = [line.split("\t")[0] for line in
             (CORPUS / "edition3-twins/TWINS.tsv").read_text().splitlines()[1:]]
    converted = {r["file"] for r in rows}
    edition3 = [(CORPUS / "edition3-twins" / t).read_bytes() for t in twins
                if t.replace("-e3.bufr", "-e3to4.bufr") in converted]

    def module_pass() -> int:
        return sum(len(_skerrow.decode_values_with_tables(d, t)) for d, t in zip(edition4, tables))

    def package_pass(stream: list[bytes]):
        def run() -> int:
            return sum(len(m.values()) for d in stream for m in skerrow.messages(d))
        return run

    counts = {"module": module_pass(), "package": package_pass(edition4)()}
    assert counts["module"] == counts["package"], counts
    print(f"{len(edition4)} messages, {counts['module']:,} values;"
          f" {len(edition3)} edition 3 originals, {package_pass(edition3)():,} values")
    values3 = package_pass(edition3)()
    best = best_seconds({"module": module_pass, "package": package_pass(edition4),
                         "edition 3": package_pass(edition3)}, args.min_time, args.rounds)
    rate = counts["module"] / best["module"]
    package = counts["package"] / best["package"]
    print(f"decode_values_with_tables (tables loaded once): {rate / 1e6:7.2f} M values/s")
    print(f"skerrow.messages(...).values(), edition 4:      {package / 1e6:7.2f} M values/s"
          f"  ratio {package / rate:.3f}")
    print(f"skerrow.messages(...).values(), edition 3:      "
          f"{values3 / best['edition 3'] / 1e6:7.2f} M values/s")

if __name__ == "__main__":
    main()
