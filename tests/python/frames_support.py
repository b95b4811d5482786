"""Messages and tables for the DataFrame, convert, Dask and notebook tests:
a radiosonde-like report built with our writer."""

from __future__ import annotations

from bufr_builder import Message
from decode_support import bits

ELEMENTS = {
    1001: "blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7",
    1002: "stationNumber|long|WMO STATION NUMBER|Numeric|0|0|10",
    1015: "stationOrSiteName|string|STATION OR SITE NAME|CCITT IA5|0|0|64",
    4001: "year|long|YEAR|a|0|0|12",
    4002: "month|long|MONTH|mon|0|0|4",
    4003: "day|long|DAY|d|0|0|6",
    5001: "latitude|double|LATITUDE|deg|2|-9000|15",
    6001: "longitude|double|LONGITUDE|deg|2|-18000|16",
    7004: "pressure|long|PRESSURE|Pa|-1|0|14",
    7032: "heightOfSensor|double|HEIGHT OF SENSOR|m|2|0|16",
    8023: "firstOrderStatistics|table|FIRST-ORDER STATISTICS|CODE TABLE|0|0|6",
    12101: "airTemperature|double|TEMPERATURE|K|2|0|16",
    11002: "windSpeed|double|WIND SPEED|m/s|1|0|12",
    31001: "delayedDescriptorReplicationFactor|long|DELAYED DESCRIPTOR REPLICATION FACTOR|Numeric|0|0|8",
}


def sounding(station: int = 123, levels=((85000, 28000, 52), (70000, 27000, 101), (50000, None, 153))) -> bytes:
    """Block 7, a station, a date and place, then pressure, temperature and
    wind speed at each level (1-03-NNN)."""
    fields = [(7, 7), (station, 10), (2024, 12), (5, 4), (17, 6), (4500 + 9000, 15), (700 + 18000, 16)]
    for p, t, w in levels:
        fields += [(p // 10, 14), ((1 << 16) - 1 if t is None else t, 16), (w, 12)]
    return Message(
        descriptors=[1001, 1002, 4001, 4002, 4003, 5001, 6001, 103000 + len(levels), 7004, 12101, 11002],
        data=bits(*fields),
    ).build()
