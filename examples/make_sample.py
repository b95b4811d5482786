"""Writes examples/sample.bufr: three small synthetic SYNOP-like messages with
bulletin-style junk between them, made with the test suite's BUFR writer.

    python3 examples/make_sample.py [OUTPUT]

Values (WMO master table 0, version 35 element widths): station 06.240
"SCHIPHOL" and 10.384 "BERLIN", 2024-05-17 12:00, position, air temperature,
pressure, wind and cloud cover.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

from bufr_builder import BitWriter, Message  # noqa: E402

DESCRIPTORS = [1001, 1002, 1015, 4001, 4002, 4003, 4004, 4005, 5001, 6001, 12101, 10004, 11001,
               11002, 20010]  # fmt: skip

STATIONS = [
    # block, station, name, lat, lon, temperature K, pressure Pa, wind dir, speed m/s, cloud %
    (6, 240, b"SCHIPHOL", 52.31667, 4.78333, 288.15, 101320, 240, 5.6, 75),
    (10, 384, b"BERLIN", 52.46667, 13.4, 291.35, 101150, 270, 3.1, None),
]


def write_subset(bits: BitWriter, station) -> None:
    block, number, name, lat, lon, temperature, pressure, direction, speed, cloud = station
    bits.write(block, 7).write(number, 10).write_bytes(name.ljust(20), 160)
    bits.write(2024, 12).write(5, 4).write(17, 6).write(12, 5).write(0, 6)
    bits.write(round(lat * 1e5) + 9000000, 25).write(round(lon * 1e5) + 18000000, 26)
    bits.write(round(temperature * 100), 16).write(pressure // 10, 14)
    bits.write(direction, 9).write(round(speed * 10), 12)
    if cloud is None:
        bits.write_missing(7)
    else:
        bits.write(cloud, 7)


def uncompressed(stations) -> bytes:
    bits = BitWriter()
    for station in stations:
        write_subset(bits, station)
    return Message(descriptors=DESCRIPTORS, data=bits.to_bytes(), subsets=len(stations),
                   data_category=0, international_subcategory=2, master_version=35,
                   year=2024, month=5, day=17, hour=12, minute=0, second=0).build()


def compressed() -> bytes:
    """Both stations in one compressed message: per element a reference
    value, a 6-bit increment width, then one increment per subset."""
    bits = BitWriter()
    columns = [[], [], [], [], [], [], [], [], [], [], [], [], [], [], []]
    for station in STATIONS:
        block, number, name, lat, lon, temperature, pressure, direction, speed, cloud = station
        raw = [block, number, name.ljust(20), 2024, 5, 17, 12, 0, round(lat * 1e5) + 9000000,
               round(lon * 1e5) + 18000000, round(temperature * 100), pressure // 10, direction,
               round(speed * 10), cloud]  # fmt: skip
        for column, value in zip(columns, raw):
            column.append(value)
    widths = [7, 10, 160, 12, 4, 6, 5, 6, 25, 26, 16, 14, 9, 12, 7]
    for column, width in zip(columns, widths):
        if isinstance(column[0], bytes):
            bits.write_bytes(bytes(20), width).write(20, 6)
            for text in column:
                bits.write_bytes(text, 160)
            continue
        present = [v for v in column if v is not None]
        low = min(present)
        spread = max(present) - low
        increment_width = max(spread.bit_length(), 1) + (1 if None in column else 0)
        if spread == 0 and None not in column:
            bits.write(low, width).write(0, 6)
            continue
        bits.write(low, width).write(increment_width, 6)
        for v in column:
            if v is None:
                bits.write_missing(increment_width)
            else:
                bits.write(v - low, increment_width)
    return Message(descriptors=DESCRIPTORS, data=bits.to_bytes(), subsets=len(STATIONS),
                   compressed=True, data_category=0, international_subcategory=2,
                   master_version=35, year=2024, month=5, day=17, hour=12, minute=0,
                   second=0).build()


def sample() -> bytes:
    header = b"\x01\r\r\n001\r\r\nSMNL01 EHDB 171200\r\r\n"
    return (header + uncompressed(STATIONS[:1]) + b"\r\r\n\x03" + header
            + uncompressed(STATIONS) + b"\r\r\n\x03" + header + compressed() + b"\r\r\n\x03")


if __name__ == "__main__":
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("sample.bufr")
    target.write_bytes(sample())
