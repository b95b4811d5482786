"""Decoding speed and memory of _skerrow beside ecCodes, in one run.

    PYTHONPATH=build/dev:python python3 bench/bench_decode.py [--min-time S]

For each set of messages, one worker process per decoder times whole passes
over the set (best of several, each at least --min-time seconds) and reports
the growth of its peak resident memory over the decoding. _skerrow runs
decode_values_with_tables with the tables of each message loaded once, before
timing. ecCodes runs in Debian's /usr/bin/python3 as its users call it:
codes_new_from_message, skipExtraKeyAttributes=1, unpack=1, then
numericValues and stringValues. Both rates count _skerrow's values for the
same messages, so they measure the same work.
"""

from __future__ import annotations

import argparse
import csv
import json
import re
import resource
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CORPUS = HERE.parent.parent / "shared" / "corpus"
DEFINITIONS = "/usr/share/eccodes/definitions"
SYSTEM_PYTHON = "/usr/bin/python3"


def corpus_sets(corpus: Path) -> dict[str, list[str]]:
    rows = [
        r for r in csv.DictReader(open(corpus / "MANIFEST.tsv"), delimiter="\t")
        if "/" not in r["file"] and r["eccodes_decodes"] == "yes"
    ]

    def subsets(r):
        return int(re.findall(r"\d+", r["subsets"])[0])

    def pick(kind, compressed):
        return [str(corpus / r["file"]) for r in rows
                if r["kind"] == kind and r["compressed"] == compressed]

    compressed = max((r for r in rows if r["compressed"] == "yes"), key=subsets)
    uncompressed = max((r for r in rows if r["compressed"] == "no"), key=subsets)
    return {
        "corpus (ecCodes decodes)": [str(corpus / r["file"]) for r in rows],
        "SYNOP uncompressed": pick("synop", "no"),
        "TEMP uncompressed": pick("temp", "no"),
        f"large compressed ({compressed['file']}, {subsets(compressed)} subsets)":
            [str(corpus / compressed["file"])],
        f"large uncompressed ({uncompressed['file']}, {subsets(uncompressed)} subsets)":
            [str(corpus / uncompressed["file"])],
    }


def peak_rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def timed_passes(run_pass, min_time: float) -> float:
    """Best seconds per pass over at least three rounds of >= min_time."""
    best = float("inf")
    for _ in range(3):
        passes, start = 0, time.perf_counter()
        while True:
            run_pass()
            passes += 1
            elapsed = time.perf_counter() - start
            if elapsed >= min_time:
                break
        best = min(best, elapsed / passes)
    return best


def worker_skerrow(files: list[str], min_time: float) -> dict:
    import _skerrow

    messages = [Path(f).read_bytes() for f in files]
    cache, tables = {}, []
    for data in messages:
        h = _skerrow.parse_bytes(data)
        key = (h.master_table_number, h.master_tables_version_number,
               h.local_tables_version_number, h.originating_centre, h.originating_subcentre)
        if key not in cache:
            cache[key] = _skerrow.TableSet.from_definitions(DEFINITIONS, h)
        tables.append(cache[key])
    pairs = list(zip(messages, tables))
    before = peak_rss_mb()
    values = sum(len(_skerrow.decode_values_with_tables(d, t)) for d, t in pairs)

    def run_pass():
        for d, t in pairs:
            _skerrow.decode_values_with_tables(d, t)

    seconds = timed_passes(run_pass, min_time)
    one = _skerrow.decode_values_with_tables(*pairs[0])[0]
    return {"values": values, "seconds": seconds, "peak_mb": peak_rss_mb() - before,
            "value_size": sys.getsizeof(one)}


def worker_eccodes(files: list[str], min_time: float) -> dict:
    import eccodes

    messages = [Path(f).read_bytes() for f in files]

    def decode(data):
        h = eccodes.codes_new_from_message(data)
        try:
            eccodes.codes_set(h, "skipExtraKeyAttributes", 1)
            eccodes.codes_set(h, "unpack", 1)
            n = len(eccodes.codes_get_array(h, "numericValues"))
            try:
                n += len(eccodes.codes_get_array(h, "stringValues"))
            except eccodes.CodesInternalError:
                pass
            return n
        finally:
            eccodes.codes_release(h)

    before = peak_rss_mb()
    items = sum(decode(d) for d in messages)

    def run_pass():
        for d in messages:
            decode(d)

    seconds = timed_passes(run_pass, min_time)
    return {"items": items, "seconds": seconds, "peak_mb": peak_rss_mb() - before}


def run_worker(python: str, kind: str, files: list[str], min_time: float) -> dict | None:
    cmd = [python, __file__, "--worker", kind, "--min-time", str(min_time), *files]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        print(f"{kind} worker failed: {proc.stderr.strip()[-400:]}", file=sys.stderr)
        return None
    return json.loads(proc.stdout)


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("--worker", choices=("skerrow", "eccodes"))
    ap.add_argument("--min-time", type=float, default=0.5)
    ap.add_argument("--corpus", default=str(CORPUS))
    ap.add_argument("files", nargs="*")
    args = ap.parse_args()
    if args.worker == "skerrow":
        print(json.dumps(worker_skerrow(args.files, args.min_time)))
        return 0
    if args.worker == "eccodes":
        print(json.dumps(worker_eccodes(args.files, args.min_time)))
        return 0

    sets = corpus_sets(Path(args.corpus))
    print("| set | messages | values | skerrow values/s | skerrow peak MB | ecCodes values/s "
          "| ecCodes peak MB | speed-up |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    size = None
    for name, files in sets.items():
        ours = run_worker(sys.executable, "skerrow", files, args.min_time)
        theirs = run_worker(SYSTEM_PYTHON, "eccodes", files, args.min_time)
        if ours is None:
            continue
        size = ours["value_size"]
        rate = ours["values"] / ours["seconds"]
        if theirs is not None:
            their_rate = ours["values"] / theirs["seconds"]
            tail = f"{their_rate:,.0f} | {theirs['peak_mb']:.1f} | {rate / their_rate:.1f}x"
        else:
            tail = "n/a | n/a | n/a"
        print(f"| {name} | {len(files)} | {ours['values']:,} | {rate:,.0f} | "
              f"{ours['peak_mb']:.1f} | {tail} |")
    print(f"\nsys.getsizeof(DecodedValue) = {size} bytes (names, meanings and texts shared "
          "per call)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
