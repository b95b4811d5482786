"""Where the messages of a byte stream stand."""

from __future__ import annotations

from typing import Iterator


def find_messages(data: bytes) -> Iterator[tuple[int, bytes]]:
    """Yields (offset, message bytes) by the module's own scanning rule.

    The module reports headers but not where each message starts; the offset
    is what a user needs to find a message again, so we locate each one the
    way the scanner does ("BUFR", then the declared length) and let the
    module validate it.
    """
    pos = 0
    while True:
        start = data.find(b"BUFR", pos)
        if start < 0 or start + 8 > len(data):
            return
        length = int.from_bytes(data[start + 4 : start + 7], "big")
        yield start, data[start : start + length]
        pos = start + max(length, 1)
