"""Small ecCodes-format table directories and message builders for the
decoding tests."""

from __future__ import annotations

import random
from pathlib import Path

import _skerrow
from bufr_builder import BitWriter, Message
from table_files import write_table_dir

# code|abbreviation|type|name|unit|scale|reference|width
ELEMENTS = {
    1001: "blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7",
    1015: "stationName|string|STATION NAME|CCITT IA5|0|0|24",
    12101: "airTemperature|double|TEMPERATURE|K|2|0|16",
    5001: "latitude|double|LATITUDE|deg|1|-100|12",
    31001: "delayedReplicationFactor|long|DELAYED DESCRIPTOR REPLICATION FACTOR|Numeric|0|0|8",
    31002: "extendedDelayedReplicationFactor|long|EXTENDED FACTOR|Numeric|0|0|64",
    31021: "associatedFieldSignificance|table|ASSOCIATED FIELD SIGNIFICANCE|CODE TABLE|0|0|6",
    31031: "dataPresentIndicator|flag|DATA PRESENT INDICATOR|FLAG TABLE|0|0|1",
    33007: "percentConfidence|long|PER CENT CONFIDENCE|%|0|0|7",
    20003: "presentWeather|table|PRESENT WEATHER|CODE TABLE|0|0|9",
    2002: "windInstrument|flag|TYPE OF INSTRUMENTATION|Flag table|0|0|4",
    8001: "verticalSignificance|table|VERTICAL SIGNIFICANCE|code table|0|0|7",
    7004: "pressure|long|PRESSURE|Pa|-1|0|14",
    11001: "windDirection|long|WIND DIRECTION|deg|0|0|63",
    11002: "windSpeed|long|WIND SPEED|m/s|0|0|64",
}

CODE_TABLES = {
    20003: "5 5 HAZE\n511 511 MISSING CODE\n",
    2002: "1 1 BIT ONE\n2 2 BIT TWO\n",
    8001: "32 32 SIGNIFICANT\n",
    31021: "1 1 QUALITY\n",
}

SEQUENCES = {301001: [1001, 12101], 300001: [300001]}


def table_dir(
    path: Path,
    elements: dict[int, str] | None = None,
    sequences: dict[int, list[int]] | None = None,
    code_tables: dict[int, str] | None = None,
) -> str:
    """Writes an ecCodes table directory (these tables unless given) and
    returns its path."""
    return write_table_dir(
        path,
        ELEMENTS if elements is None else elements,
        SEQUENCES if sequences is None else sequences,
        CODE_TABLES if code_tables is None else code_tables,
    )


def bits(*fields) -> bytes:
    """Section 4 data from (value, width) pairs and bytes (8 bits per octet)."""
    w = BitWriter()
    for f in fields:
        if isinstance(f, bytes):
            w.write_bytes(f)
        else:
            w.write(*f)
    return w.to_bytes()


def decode(tables, descriptors, data=b"", subsets=1, compressed=False):
    msg = Message(descriptors=descriptors, data=data, subsets=subsets, compressed=compressed)
    return _skerrow.decode_values_with_tables(msg.build(), tables)


def items(values):
    """(descriptor, raw, raw_value, raw_text) of each value."""
    return [(v.descriptor, v.raw, v.raw_value, v.raw_text) for v in values]


def damaged_copies(data: bytes, *, seed: int, flips: int, step: int = 1, most_bits: int = 1) -> list[bytes]:
    """`data` cut short at every `step`-th length, then `flips` copies with
    one to `most_bits` bits flipped at random places: the inputs a decoder
    must reject cleanly."""
    rng = random.Random(seed)
    cases = [data[:n] for n in range(0, len(data), step)]
    for _ in range(flips):
        damaged = bytearray(data)
        for _ in range(rng.randint(1, most_bits)):
            damaged[rng.randrange(len(damaged))] ^= 1 << rng.randrange(8)
        cases.append(bytes(damaged))
    return cases
