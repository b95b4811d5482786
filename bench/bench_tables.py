"""Timings of table loading and expansion, in milliseconds per call.

    PYTHONPATH=build/dev:python python3 bench/bench_tables.py

Reads the ecCodes definitions of Debian's libeccodes-data and the shared
corpus. Each figure is the best of several rounds, to keep the noise of a
shared machine out.
"""

from __future__ import annotations

import sys
import timeit
from pathlib import Path

import _skerrow

DEFINITIONS = Path("/usr/share/eccodes/definitions")
WMO = DEFINITIONS / "bufr" / "tables" / "0" / "wmo"
CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
# A message with ECMWF local tables (local version 4, centre 98).
LOCAL_MESSAGE = CORPUS / "eccodespy-satsurface-002.bufr"
# IASI level 1c: the longest expansion of the WMO tables (about 17,700 codes).
SATELLITE_SEQUENCE = 340007


def best_ms(call, number: int, repeat: int = 7) -> float:
    return min(timeit.repeat(call, number=number, repeat=repeat)) / number * 1000


def main() -> int:
    newest = max(WMO.iterdir(), key=lambda p: int(p.name))
    tables = _skerrow.TableSet.from_eccodes(str(newest))
    print(f"from_eccodes({newest}): {tables!r}")
    print(f"  {best_ms(lambda: _skerrow.TableSet.from_eccodes(str(newest)), 20):.2f} ms per call")

    message = _skerrow.parse_file(str(LOCAL_MESSAGE))
    local = _skerrow.TableSet.from_definitions(str(DEFINITIONS), message)
    print(
        f"from_definitions({LOCAL_MESSAGE.name}: master {message.master_tables_version_number}, "
        f"local {message.local_tables_version_number}, centre {message.originating_centre}): "
        f"{local!r}"
    )
    call = lambda: _skerrow.TableSet.from_definitions(str(DEFINITIONS), message)  # noqa: E731
    print(f"  {best_ms(call, 20):.2f} ms per call")

    expanded = tables.expand([SATELLITE_SEQUENCE])
    print(f"expand([{SATELLITE_SEQUENCE}]) -> {len(expanded)} codes")
    print(f"  {best_ms(lambda: tables.expand([SATELLITE_SEQUENCE]), 200):.3f} ms per call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
