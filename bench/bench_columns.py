"""Message.columns() speed, threads and memory, beside ecCodes' array path.

    PYTHONPATH=build/dev:python python3 bench/bench_columns.py [--min-time S]

Sets: the corpus' compressed messages, the large satellite message, and the
SYNOP and TEMP uncompressed ones (top-level files ecCodes decodes). Rates
count numeric and text values put into columns, from message bytes to numpy
arrays (tables already in the process cache). ecCodes runs in Debian's
/usr/bin/python3: open, skipExtraKeyAttributes, unpack, then codes_get_array
of every data key. Threads: the compressed set split into two halves of
equal work, decoded four times over by one pool thread each, against one
pool thread doing both, in alternating rounds (--thread-rounds). keys=: columns() of three names per message (the first, the middle and the last) against all
of them, on the compressed sets. read_columns: the whole set merged into one
dict, beside the per-message figure, counting the same values. Python's
floor: the dict of numpy views alone, made from a block of zeros under the
same names, which bounds what columns() can reach on that set.
"""

from __future__ import annotations

import argparse
import csv
import json
import statistics
import subprocess
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy

import skerrow
from skerrow._structure import _call_arguments

HERE = Path(__file__).resolve().parent
CORPUS = HERE.parent.parent / "shared" / "corpus"
SYSTEM_PYTHON = "/usr/bin/python3"

ECCODES_PASS = """
import json, sys, time
import eccodes
datas = [open(p, "rb").read() for p in sys.argv[2:]]
def one_pass():
    for data in datas:
        h = eccodes.codes_new_from_message(data)
        eccodes.codes_set(h, "skipExtraKeyAttributes", 1)
        eccodes.codes_set(h, "unpack", 1)
        it = eccodes.codes_bufr_keys_iterator_new(h)
        names = []
        while eccodes.codes_bufr_keys_iterator_next(it):
            name = eccodes.codes_bufr_keys_iterator_get_name(it)
            if name.startswith("#"):
                names.append(name)
        eccodes.codes_bufr_keys_iterator_delete(it)
        for name in names:
            if eccodes.codes_get_native_type(h, name) is str:
                eccodes.codes_get_string_array(h, name)
            else:
                eccodes.codes_get_double_array(h, name)
        eccodes.codes_release(h)
best, best_cpu = float("inf"), float("inf")
for _ in range(3):
    count, start, cpu = 0, time.perf_counter(), time.process_time()
    while True:
        one_pass(); count += 1
        if time.perf_counter() - start >= float(sys.argv[1]):
            break
    best = min(best, (time.perf_counter() - start) / count)
    best_cpu = min(best_cpu, (time.process_time() - cpu) / count)
print(json.dumps([best, best_cpu]))
"""


def sets() -> dict[str, list[Path]]:
    rows = [r for r in csv.DictReader(open(CORPUS / "MANIFEST.tsv"), delimiter="\t")
            if "/" not in r["file"] and r["eccodes_decodes"] == "yes"]
    compressed = [CORPUS / r["file"] for r in rows if r["compressed"] == "yes"]
    largest = max(compressed, key=lambda p: next(skerrow.messages(p)).header.number_of_subsets)
    return {
        "compressed set": compressed,
        f"large satellite message ({largest.name})": [largest],
        "SYNOP uncompressed": [CORPUS / r["file"] for r in rows
                               if r["kind"] == "synop" and r["compressed"] == "no"],
        "TEMP uncompressed": [CORPUS / r["file"] for r in rows
                              if r["kind"] == "temp" and r["compressed"] == "no"],
    }


def best_seconds(run, min_time: float) -> tuple[float, float]:
    """Best wall and best CPU seconds per run: on a loaded machine the CPU
    time of the process is the steadier figure."""
    best, best_cpu = float("inf"), float("inf")
    for _ in range(5):
        count, start, cpu = 0, time.perf_counter(), time.process_time()
        while True:
            run()
            count += 1
            if time.perf_counter() - start >= min_time:
                break
        best = min(best, (time.perf_counter() - start) / count)
        best_cpu = min(best_cpu, (time.process_time() - cpu) / count)
    return best, best_cpu


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--min-time", type=float, default=0.5)
    parser.add_argument("--thread-rounds", type=int, default=20)
    parser.add_argument("--only-threads", action="store_true")
    args = parser.parse_args()
    for name, paths in ({} if args.only_threads else sets()).items():
        messages = []
        for path in paths:
            message = next(skerrow.messages(path))
            try:
                message.columns()
            except ValueError:
                continue
            messages.append(message)
        values = sum(len(c) for m in messages for c in m.columns().values())
        columns = sum(len(m.columns()) for m in messages)
        numeric_bytes = sum(c.nbytes for m in messages for c in m.columns().values()
                            if c.dtype.kind == "f")

        def one_pass() -> None:
            for m in messages:
                m.columns()

        ours = best_seconds(one_pass, args.min_time)
        # What Python itself costs for such a result, with no decoding at
        # all: a numpy view and a dict slot per column (the names already
        # made, as columns() keeps them). No columns() can be faster.
        blocks = [(list(c), numpy.zeros((len(c), len(next(iter(c.values()))) if c else 0)))
                  for c in (m.columns() for m in messages)]

        def floor_pass() -> None:
            for names, block in blocks:
                dict(zip(names, block))

        floor = best_seconds(floor_pass, args.min_time)
        few = [(m, [names[0], names[len(names) // 2], names[-1]])
               for m in messages for names in [list(m.columns())] if names]

        def keys_pass() -> None:
            for m, keys in few:
                m.columns(keys)

        chosen = best_seconds(keys_pass, args.min_time)
        # Merged into one dict: for archives of uncompressed reports.
        merged = (best_seconds(lambda: skerrow.read_columns(messages), args.min_time)
                  if "uncompressed" in name else None)
        result = subprocess.run([SYSTEM_PYTHON, "-c", ECCODES_PASS, str(args.min_time),
                                 *[str(p) for p in paths]], capture_output=True, text=True,
                                check=False)
        nan = float("nan")
        eccodes = json.loads(result.stdout) if result.returncode == 0 else [nan, nan]
        print(f"{name}: {len(messages)} messages, {values:,} column entries"
              f" ({numeric_bytes / max(values, 1):.1f} bytes per entry of numeric columns)")
        for label, k in (("wall", 0), ("CPU", 1)):
            print(f"  {label:4} skerrow columns(): {values / ours[k] / 1e6:8.2f} M values/s;"
                  f"  ecCodes arrays: {values / eccodes[k] / 1e6:8.2f} M values/s;"
                  f"  ratio {eccodes[k] / ours[k]:6.1f}")
            print(f"  {label:4} Python's floor for this result (views and dict slots alone):"
                  f" {values / floor[k] / 1e6:8.2f} M values/s ({columns:,} columns)")
            if merged is not None:
                print(f"  {label:4} read_columns(set): {values / merged[k] / 1e6:8.2f} M values/s"
                      f" ({len(skerrow.read_columns(messages)):,} names)")
            print(f"  {label:4} columns(keys=3 names): {ours[k] / chosen[k]:6.1f} times faster"
                  f" than all ({chosen[k] * 1e3:.2f} ms against {ours[k] * 1e3:.2f} ms a pass)")

    compressed = [next(skerrow.messages(p)) for p in sets()["compressed set"]]

    def decode(part: list) -> None:
        for m in part:
            m.columns()

    # Two disjoint halves of the set of equal work (one message is about a
    # third of it, so splitting the list by position would leave one thread
    # with far more to do than the other), each thread its own half.
    halves: list[list] = [[], []]
    load = [0.0, 0.0]
    cost = [(best_seconds(m.columns, 0.01)[0], k) for k, m in enumerate(compressed)]
    for seconds, k in sorted(cost, reverse=True):
        lighter = load.index(min(load))
        halves[lighter].append(compressed[k])
        load[lighter] += seconds
    halves = [h * 4 for h in halves]
    print(f"threads: halves of {load[0] * 1e3:.1f} and {load[1] * 1e3:.1f} ms a pass")
    # Threads kept from round to round, as a pool keeps them: a new thread
    # would first fault in its own decoding room. One thread and two take
    # turns, so that both meet the same moments of a shared machine.
    pool = ThreadPoolExecutor(2)

    def two_threads() -> None:
        for future in [pool.submit(decode, half) for half in halves]:
            future.result()

    def one_thread() -> None:
        pool.submit(decode, halves[0] + halves[1]).result()

    one, two, ratios = float("inf"), float("inf"), []
    for _ in range(args.thread_rounds):
        start = time.perf_counter()
        one_thread()
        middle = time.perf_counter()
        two_threads()
        end = time.perf_counter()
        one, two = min(one, middle - start), min(two, end - middle)
        ratios.append((middle - start) / (end - middle))
    pool.shutdown()
    print(f"threads: two threads {one / two:.2f} times one thread's rate (best of"
          f" {args.thread_rounds} alternating rounds; median of the rounds' ratios"
          f" {statistics.median(ratios):.2f})")
    # What the interpreter lock bounds: the share of a pass spent outside
    # it (the core's decoding), measured by the core's own calls alone.
    natives = [m._native_call(_call_arguments) for m in compressed]
    from skerrow import _native

    def core_alone() -> None:
        for arguments in natives:
            _native.columns(*arguments, None, False)

    core = best_seconds(core_alone, args.min_time)[0]
    whole = best_seconds(lambda: decode(compressed), args.min_time)[0]
    print(f"threads: one pass {whole * 1e3:.2f} ms, of which the native call {core * 1e3:.2f} ms"
          f" (its decoding releases the lock; what Python makes of it holds it)")


if __name__ == "__main__":
    main()
