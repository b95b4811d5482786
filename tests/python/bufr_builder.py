"""A small BUFR writer for tests: a bit writer plus section assembly.

Section 1 follows the layout of edition 4, 3 or 2 (see Message.section1).

Every field can be overridden, so a test can build a valid message and then
break exactly one rule of the framing.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field


class BitWriter:
    """Writes unsigned integers of any width, most significant bit first."""

    def __init__(self) -> None:
        self._value = 0
        self._bits = 0

    def write(self, value: int, width: int) -> "BitWriter":
        if width == 0:
            return self
        if value < 0 or value >= (1 << width):
            raise ValueError(f"{value} does not fit in {width} bits")
        self._value = (self._value << width) | value
        self._bits += width
        return self

    def write_missing(self, width: int) -> "BitWriter":
        return self.write((1 << width) - 1, width)

    def write_bytes(self, data: bytes, width: int | None = None) -> "BitWriter":
        """Writes `data` as `width` bits (default 8 per octet), left-aligned."""
        if width is None:
            width = 8 * len(data)
        padded = data.ljust((width + 7) // 8, b"\0")
        as_int = int.from_bytes(padded, "big") if padded else 0
        extra = 8 * len(padded) - width
        return self.write(as_int >> extra, width)

    @property
    def bit_length(self) -> int:
        return self._bits

    def to_bytes(self) -> bytes:
        """The bits written so far, zero-padded to a whole octet."""
        pad = (-self._bits) % 8
        return ((self._value << pad)).to_bytes((self._bits + pad) // 8, "big")


def descriptor_octets(code: int) -> bytes:
    f, rest = divmod(code, 100000)
    x, y = divmod(rest, 1000)
    return bytes([(f << 6) | x, y])


def u24(n: int) -> bytes:
    return n.to_bytes(3, "big")


@dataclass
class Message:
    """The fields of one edition 4 message; build() assembles the octets."""

    descriptors: list[int] = field(default_factory=list)
    data: bytes = b""
    subsets: int = 1
    compressed: bool = False
    observed: bool = True
    edition: int = 4
    master_table: int = 0
    centre: int = 98
    subcentre: int = 0
    update_sequence: int = 0
    section2: bytes | None = None  # content after the 4-octet header
    section1_flags: int | None = None  # default: 0x80 if section 2 else 0
    data_category: int = 0
    international_subcategory: int = 1
    local_subcategory: int = 2
    master_version: int = 35
    local_version: int = 0
    year: int = 2024
    month: int = 5
    day: int = 17
    hour: int = 12
    minute: int = 30
    second: int = 15
    year_of_century: int | None = None  # editions 2 and 3; default year % 100
    section1_layout: int | None = None  # 2, 3 or 4; default: the edition's own, else 4
    section1_extra: bytes = b""
    section3_pad: bytes = b""  # octets after the descriptors (padding)
    terminator: bytes = b"7777"
    trailing: bytes = b""  # octets after 7777, counted in the total length
    total_length: int | None = None  # override of the declared length

    def section1(self) -> bytes:
        flags = self.section1_flags
        if flags is None:
            flags = 0x80 if self.section2 is not None else 0
        layout = self.section1_layout
        if layout is None:
            layout = self.edition if self.edition in (2, 3) else 4
        if layout in (2, 3):
            # Editions 2 and 3: one-octet year of century, no international
            # subcategory and no seconds; edition 3 splits the centre into
            # subcentre and centre octets, edition 2 has a 16-bit centre. The
            # section is padded to an even length, as those editions require.
            centre = (
                struct.pack(">BB", self.subcentre, self.centre)
                if layout == 3
                else struct.pack(">H", self.centre)
            )
            year = self.year % 100 if self.year_of_century is None else self.year_of_century
            body = (
                struct.pack(">B", self.master_table)
                + centre
                + struct.pack(
                    ">BBBBBBBBBBB",
                    self.update_sequence,
                    flags,
                    self.data_category,
                    self.local_subcategory,
                    self.master_version,
                    self.local_version,
                    year,
                    self.month,
                    self.day,
                    self.hour,
                    self.minute,
                )
                + b"\0"
                + self.section1_extra
            )
            return u24(3 + len(body)) + body
        body = struct.pack(
            ">BHHBBBBBBBHBBBBB",
            self.master_table,
            self.centre,
            self.subcentre,
            self.update_sequence,
            flags,
            self.data_category,
            self.international_subcategory,
            self.local_subcategory,
            self.master_version,
            self.local_version,
            self.year,
            self.month,
            self.day,
            self.hour,
            self.minute,
            self.second,
        )
        body += self.section1_extra
        return u24(3 + len(body)) + body

    def section2_octets(self) -> bytes:
        if self.section2 is None:
            return b""
        return u24(4 + len(self.section2)) + b"\0" + self.section2

    def section3(self) -> bytes:
        flags = (0x80 if self.observed else 0) | (0x40 if self.compressed else 0)
        body = b"\0" + struct.pack(">HB", self.subsets, flags)
        body += b"".join(descriptor_octets(d) for d in self.descriptors) + self.section3_pad
        return u24(3 + len(body)) + body

    def section4(self) -> bytes:
        return u24(4 + len(self.data)) + b"\0" + self.data

    def build(self) -> bytes:
        body = (
            self.section1()
            + self.section2_octets()
            + self.section3()
            + self.section4()
            + self.terminator
            + self.trailing
        )
        total = 8 + len(body) if self.total_length is None else self.total_length
        return b"BUFR" + u24(total) + bytes([self.edition]) + body


def message(**fields) -> bytes:
    return Message(**fields).build()


def frame(body: bytes, edition: int = 4) -> bytes:
    """Section 0 before `body` (sections 1 to 5 as given), declaring the
    length of the whole."""
    return b"BUFR" + u24(8 + len(body)) + bytes([edition]) + body


def relabel(data: bytes, length: int | None = None) -> bytes:
    """`data` with its declared total length replaced (default: its own)."""
    return data[:4] + u24(len(data) if length is None else length) + data[7:]
