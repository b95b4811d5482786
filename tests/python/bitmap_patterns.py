"""Messages with bitmaps in the forms WMO practice writes them, for the
decoding tests and their ecCodes cross-check.

A pattern is a descriptor list and its data items in stream order, each item
a width and one raw integer per subset; the same items give the uncompressed
layout (subset after subset) and the compressed one (column after column).
"""

from __future__ import annotations

from bufr_builder import BitWriter, Message

# Real WMO Table B rows (master table version 35), so ecCodes reads the
# messages with the same definitions the tests give the decoder.
ELEMENTS = {
    1031: "centre|table|IDENTIFICATION OF ORIGINATING/GENERATING CENTRE|CODE TABLE|0|0|16",
    8023: "firstOrderStatistics|table|FIRST-ORDER STATISTICS|CODE TABLE|0|0|6",
    10004: "nonCoordinatePressure|long|PRESSURE|Pa|-1|0|14",
    11001: "windDirection|long|WIND DIRECTION|deg|0|0|9",
    11002: "windSpeed|double|WIND SPEED|m/s|1|0|12",
    12101: "airTemperature|double|TEMPERATURE/AIR TEMPERATURE|K|2|0|16",
    31001: "delayedDescriptorReplicationFactor|long|DELAYED DESCRIPTOR REPLICATION FACTOR|"
           "Numeric|0|0|8",
    31002: "extendedDelayedDescriptorReplicationFactor|long|EXTENDED DELAYED DESCRIPTOR "
           "REPLICATION FACTOR|Numeric|0|0|16",
    31031: "dataPresentIndicator|flag|DATA PRESENT INDICATOR|FLAG TABLE|0|0|1",
    33007: "percentConfidence|long|PER CENT CONFIDENCE|%|0|0|7",
}
WIDTH = {code: int(row.rsplit("|", 1)[1]) for code, row in ELEMENTS.items()}

# Four observed elements, three subsets: temperature, pressure, wind
# direction and speed.
OBSERVED = [12101, 10004, 11001, 11002]
OBSERVED_RAW = [[28815, 28915, 29015], [10130, 10120, 10110], [180, 190, 200], [50, 55, 60]]


def item(code: int, *raw: int, width: int | None = None):
    return (WIDTH[code] if width is None else width, list(raw) * (3 if len(raw) == 1 else 1))


def observed():
    return [item(c, *r) for c, r in zip(OBSERVED, OBSERVED_RAW)]


def bitmap(*entries: int):
    return [item(31031, e) for e in entries]


# name: (descriptors, data items)
PATTERNS = {
    # Quality information, then substituted values with their own bitmap.
    "quality_then_substitution": (
        OBSERVED + [222000, 101004, 31031, 33007, 33007,
                    223000, 101004, 31031, 223255, 11002],
        observed() + bitmap(0, 1, 0, 1) + [item(33007, 70), item(33007, 80)]
        + bitmap(1, 1, 1, 0) + [item(11002, 60, 61, 62), item(11002, 70)],
    ),
    # Counted by delayed replications, as radiosonde reports write them.
    "delayed_bitmaps": (
        OBSERVED + [222000, 101000, 31002, 31031, 1031, 101000, 31002, 33007,
                    223000, 101000, 31002, 31031, 1031, 101000, 31002, 223255],
        observed() + [item(31002, 4)] + bitmap(1, 1, 0, 1) + [item(1031, 98), item(31002, 1),
                                                              item(33007, 90)]
        + [item(31002, 4)] + bitmap(0, 1, 1, 0) + [item(1031, 98), item(31002, 1),
                                                   item(12101, 27315, 27415, 27515)],
    ),
    "first_order_statistics": (
        OBSERVED + [224000, 101004, 31031, 8023, 224255, 224255],
        observed() + bitmap(0, 0, 1, 1) + [item(8023, 2), item(12101, 100, 110, 120),
                                           item(10004, 5)],
    ),
    "differences": (
        OBSERVED + [225000, 101004, 31031, 225255],
        observed() + bitmap(1, 1, 0, 1) + [item(11001, 520, 500, 505, width=10)],
    ),
    "replaced_values": (
        OBSERVED + [232000, 101004, 31031, 232255],
        observed() + bitmap(0, 1, 1, 1) + [item(12101, 27000, 27100, 27200)],
    ),
    # 2-37-000 uses the last bitmap again.
    "reused_bitmap": (
        OBSERVED + [223000, 101004, 31031, 223255, 223255, 224000, 237000, 8023, 224255, 224255],
        observed() + bitmap(0, 1, 1, 0) + [item(12101, 28000), item(11002, 40), item(8023, 4),
                                           item(12101, 10), item(11002, 3)],
    ),
    # A bitmap announced by 2-36-000 and reused by 2-37-000.
    "defined_bitmap": (
        OBSERVED + [222000, 236000, 101004, 31031, 33007, 33007,
                    223000, 237000, 223255, 223255],
        observed() + bitmap(0, 1, 0, 1) + [item(33007, 70), item(33007, 80),
                                           item(12101, 28000), item(11001, 170)],
    ),
    # A substitution bitmap of its own after a 2-36-000 quality bitmap: it
    # refers back to the observed elements as well.
    "own_bitmap_after_defined": (
        OBSERVED + [222000, 236000, 101004, 31031, 33007, 33007,
                    223000, 101004, 31031, 223255, 223255],
        observed() + bitmap(0, 1, 0, 1) + [item(33007, 70), item(33007, 80)]
        + bitmap(1, 0, 1, 0) + [item(10004, 10000), item(11002, 45)],
    ),
}


def section4(items, subsets: int, compressed: bool) -> bytes:
    w = BitWriter()
    if not compressed:
        for s in range(subsets):
            for width, raw in items:
                w.write(raw[s], width)
        return w.to_bytes()
    for width, raw in items:
        column = raw[:subsets]
        low = min(column)
        spread = max(column) - low
        if spread == 0:
            w.write(low, width).write(0, 6)
            continue
        nbinc = (spread + 1).bit_length()  # all ones stays free for "missing"
        w.write(low, width).write(nbinc, 6)
        for value in column:
            w.write(value - low, nbinc)
    return w.to_bytes()


def build(name: str, compressed: bool, subsets: int = 3) -> bytes:
    descriptors, items = PATTERNS[name]
    return Message(descriptors=descriptors, data=section4(items, subsets, compressed),
                   subsets=subsets, compressed=compressed).build()
