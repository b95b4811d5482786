"""Throughput of message scanning and header parsing, beside ecCodes.

    python3 bench/bench_parse.py [--size-mb 100] [--repeat 3]

Builds three streams in memory (and in a temporary folder for ecCodes):
  corpus  the single messages of ../shared/corpus, repeated, with 0-64 octets
          of junk (GTS-like headers and random octets) between them;
  small   tiny synthetic messages (one descriptor, one subset) back to back
          with short junk, the case where per-message cost dominates;
  junk    random octets without any "BUFR" marker: the marker search alone.
Times parse_all_bytes on each (best of --repeat) and, when the Python
`eccodes` package is importable (pip install eccodes), ecCodes counting the
messages of the same file and reading a few header keys of each.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import tempfile
import time
from pathlib import Path

import _skerrow

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "python"))
from bufr_builder import message  # noqa: E402

CORPUS = Path(os.environ.get("SKERROW_SHARED", REPO.parent / "shared")) / "corpus"


def junk(rng: random.Random, n: int) -> bytes:
    data = bytes(rng.getrandbits(8) for _ in range(n))
    return data.replace(b"BUFR", b"BUFX")


def corpus_stream(size: int, rng: random.Random) -> bytes:
    messages = []
    for path in sorted(CORPUS.glob("*.bufr")):
        data = path.read_bytes()
        try:
            _skerrow.parse_bytes(data)
        except ValueError:
            continue
        messages.append(data)
    parts, total = [], 0
    separators = [b"\r\r\n", junk(rng, 64), b"\x01\r\r\n123\r\r\nIUSN01 EGRR 010000\r\r\n", b""]
    while total < size:
        m = messages[rng.randrange(len(messages))]
        sep = separators[rng.randrange(len(separators))]
        parts += [m, sep]
        total += len(m) + len(sep)
    return b"".join(parts)


def small_stream(size: int) -> bytes:
    one = message(descriptors=[1001], data=b"\x01") + b"\r\n"
    return one * (size // len(one))


def best_of(repeat: int, function):
    best = float("inf")
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        best = min(best, time.perf_counter() - start)
    return best, result


def eccodes_headers(path: str, limit: int | None):
    """ecCodes as its users read headers: count, then open each message and
    get a few keys."""
    import eccodes

    start = time.perf_counter()
    with open(path, "rb") as f:
        count = eccodes.codes_count_in_file(f)
    count_seconds = time.perf_counter() - start
    read = 0
    start = time.perf_counter()
    with open(path, "rb") as f:
        while limit is None or read < limit:
            h = eccodes.codes_bufr_new_from_file(f)
            if h is None:
                break
            eccodes.codes_get(h, "edition")
            eccodes.codes_get(h, "totalLength")
            eccodes.codes_get(h, "bufrHeaderCentre")
            eccodes.codes_get(h, "numberOfSubsets")
            eccodes.codes_get(h, "compressedData")
            eccodes.codes_release(h)
            read += 1
    return count, count / count_seconds, read / (time.perf_counter() - start)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mb", type=float, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--eccodes-limit", type=int, default=20000,
                        help="messages ecCodes reads per stream (it is slow)")
    args = parser.parse_args()
    size = int(args.size_mb * 1e6)
    rng = random.Random(1)
    streams = {
        "corpus": corpus_stream(size, rng),
        "small": small_stream(size),
        "junk": junk(rng, 1_000_000) * max(1, size // 1_000_000),
    }
    try:
        import eccodes  # noqa: F401

        have_eccodes = True
    except ImportError:
        have_eccodes = False
    print(f"{'stream':8} {'MB':>7} {'messages':>9} {'skerrow MB/s':>13} {'skerrow msg/s':>14}"
          f" {'ecCodes msg/s':>14} {'ecCodes count/s':>15}")
    with tempfile.TemporaryDirectory() as folder:
        for name, data in streams.items():
            seconds, messages = best_of(args.repeat, lambda: _skerrow.parse_all_bytes(data))
            rate = len(messages) / seconds
            ecc = "-"
            if have_eccodes and messages:
                path = os.path.join(folder, name + ".bufr")
                Path(path).write_bytes(data)
                _, count_rate, read_rate = eccodes_headers(path, args.eccodes_limit)
                ecc = f"{read_rate:14,.0f} {count_rate:14,.0f}"
            print(f"{name:8} {len(data) / 1e6:7.1f} {len(messages):9} {len(data) / 1e6 / seconds:13,.0f}"
                  f" {rate:14,.0f} {ecc:>14}")


if __name__ == "__main__":
    main()
