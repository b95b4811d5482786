"""Finding messages in streams with other octets around them."""

import pytest

import _skerrow
from bufr_builder import message


A = message(descriptors=[1001], data=b"\x01")
B = message(descriptors=[1002, 1003], data=b"\x02\x03", centre=7)
EDITION3 = b"BUFR\x00\x00\x0c\x03" + b"\x00" * 4


def lengths(data: bytes) -> list[int]:
    return [m.total_length for m in _skerrow.parse_all_bytes(data)]


def error_text(data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        _skerrow.parse_all_bytes(data)
    return info.value.args[0]


@pytest.mark.parametrize(
    "stream, expected",
    [
        (b"", []),
        (b"BUF", []),
        (b"no marker at all, only junk" * 100, []),
        (A + B, [len(A), len(B)]),
        (b"junk" + A + b"\r\r\n" + B + b"trailing junk", [len(A), len(B)]),
        (b"\x00" * 1000 + A, [len(A)]),
        (A + b"BUF", [len(A)]),
    ],
    ids=["empty", "three-octets", "junk-only", "back-to-back", "junk-around", "leading", "partial-marker"],
)
def test_streams(stream, expected):
    assert lengths(stream) == expected


def test_messages_come_in_stream_order_with_their_headers():
    first, second = _skerrow.parse_all_bytes(b"GTS header\r\r\n" + A + b"\r\r\n" + B)
    assert first.unexpanded_descriptors == [1001]
    assert second.unexpanded_descriptors == [1002, 1003] and second.originating_centre == 7


def test_marker_inside_a_message_is_not_a_new_message():
    inner = message(section2=b"xxBUFR\x00\x00\x10\x04yy", data=b"BUFR7777")
    assert lengths(inner + A) == [len(inner), len(A)]


@pytest.mark.parametrize(
    "stream, text",
    [
        (A + b"BUFR", "message is too short to be BUFR"),
        (A + b"BUFR\x00\x00\x10", "message is too short to be BUFR"),
        (A + B[:-1], f"section 0 at offset {len(A)} is truncated"),
        (b"xx" + A[:10], "section 0 at offset 2 is truncated"),
        (EDITION3 + A, "unsupported BUFR edition 3; only edition 4 is implemented"),
        # Scanning comes first: a framing fault of a later message is found
        # before an earlier message is parsed.
        (A[:-1] + b"8" + A[:-1], f"section 0 at offset {len(A)} is truncated"),
        (b"BUFR\x00\x00\x05\x04junk", "message is too short to be BUFR"),
        (b"BUFR\x00\x00\x00\x04junk", "message is too short to be BUFR"),
    ],
    ids=["marker-at-end", "marker-7-from-end", "last-cut-short", "first-cut-short",
         "edition3-first", "scan-before-parse", "declared-5", "declared-0"],
)
def test_stream_failures(stream, text):
    assert error_text(stream) == text


def test_bad_terminator_in_first_message_reported_when_stream_frames():
    bad = A[:-4] + b"7778"
    assert error_text(bad + B) == "section 5 terminator is not 7777"


def test_file_with_two_messages(tmp_path):
    path = tmp_path / "two.bufr"
    path.write_bytes(A + b"\n" + B)
    assert [m.total_length for m in _skerrow.parse_all_file(str(path))] == [len(A), len(B)]
    with pytest.raises(ValueError, match=f"^declared length {len(A)} does not match buffer length"):
        _skerrow.parse_file(str(path))
