"""Cost of loading the bundled WMO tables of one master table version.

    PYTHONPATH=build/dev:python python3 bench/bench_bundle.py [--repeat N] [--wheel WHEEL]

For each bundled version, a fresh interpreter decodes a one-element message of
that version twice through skerrow.messages: the first decoding reads the
bundle and builds that version's tables, the second finds them in the
process's cache. The load cost is the difference of the best of --repeat
runs of each (wall clock, and CPU time of the thread, which a busy machine
inflates less). Also prints the bundle's size and, with --wheel, the wheel's.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "python"))

from bufr_builder import BitWriter, Message  # noqa: E402

CHILD = """
import sys, time, warnings
warnings.simplefilter("ignore")
import skerrow
[message] = skerrow.messages(open(sys.argv[1], "rb").read())
c0 = time.thread_time(); t0 = time.perf_counter(); message.values()
c1 = time.thread_time(); t1 = time.perf_counter(); message.values()
c2 = time.thread_time(); t2 = time.perf_counter()
print(t1 - t0, t2 - t1, c1 - c0, c2 - c1)
"""


def run(path: str) -> tuple[float, float, float, float]:
    """Seconds of the first and second decodings, wall clock then CPU."""
    out = subprocess.run([sys.executable, "-c", CHILD, path], check=True, capture_output=True,
                         text=True, env={**os.environ, "ECCODES_DEFINITION_PATH": "/nonexistent"})
    first, second, cpu_first, cpu_second = map(float, out.stdout.split())
    return first, second, cpu_first, cpu_second


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--wheel", type=Path)
    args = parser.parse_args()

    import skerrow
    from skerrow._tables import BUNDLE_PATH

    print(f"bundle {BUNDLE_PATH.name}: {BUNDLE_PATH.stat().st_size / 1e6:.2f} MB")
    if args.wheel:
        print(f"wheel {args.wheel.name}: {args.wheel.stat().st_size / 1e6:.2f} MB")
    loads, cpu_loads = [], []
    with tempfile.TemporaryDirectory() as tmp:
        print("version  load ms  (CPU ms)  second decoding ms   [best of runs; load = first"
              " decoding - second]")
        for version in skerrow.bundled_versions():
            path = os.path.join(tmp, f"{version}.bufr")
            data = BitWriter().write(6, 7).to_bytes()
            Path(path).write_bytes(Message(descriptors=[1001], data=data,
                                           master_version=version).build())
            runs = [run(path) for _ in range(args.repeat)]
            second = min(r[1] for r in runs) * 1e3
            load = min(r[0] for r in runs) * 1e3 - second
            cpu = (min(r[2] for r in runs) - min(r[3] for r in runs)) * 1e3
            loads.append(load)
            cpu_loads.append(cpu)
            print(f"{version:7d}  {load:7.2f}  ({cpu:6.2f})  {second:8.3f}")
    print(f"load ms over all versions: median {statistics.median(loads):.2f},"
          f" worst {max(loads):.2f}; CPU median {statistics.median(cpu_loads):.2f},"
          f" worst {max(cpu_loads):.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
