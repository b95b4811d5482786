"""Framing of single messages: header fields, every failure with its text."""

import pytest

import _skerrow
from bufr_builder import Message, frame, message, relabel


def parse(data: bytes):
    return _skerrow.parse_bytes(data)


def error_text(data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        parse(data)
    assert len(info.value.args) == 1
    return info.value.args[0]


def test_header_fields_come_from_their_offsets():
    m = parse(
        message(
            descriptors=[307080, 1001],
            data=b"\x12\x34\x56",
            subsets=3,
            master_table=1,
            centre=0x1234,
            subcentre=0xABCD,
            update_sequence=7,
            data_category=2,
            international_subcategory=9,
            local_subcategory=10,
            master_version=33,
            local_version=5,
            year=1999,
            month=12,
            day=31,
            hour=23,
            minute=59,
            second=58,
            section2=b"local stuff",
            observed=False,
            compressed=True,
        )
    )
    assert (m.edition, m.section1_length, m.master_table_number) == (4, 22, 1)
    assert (m.originating_centre, m.originating_subcentre) == (0x1234, 0xABCD)
    assert m.update_sequence_number == 7
    assert m.local_section_present is True
    assert (m.data_category, m.international_data_subcategory, m.local_data_subcategory) == (
        2,
        9,
        10,
    )
    assert (m.master_tables_version_number, m.local_tables_version_number) == (33, 5)
    assert (m.typical_year, m.typical_month, m.typical_day) == (1999, 12, 31)
    assert (m.typical_hour, m.typical_minute, m.typical_second) == (23, 59, 58)
    assert m.section2_length == 4 + len(b"local stuff")
    assert m.section3_length == 7 + 4
    assert m.number_of_subsets == 3
    assert m.observed_data is False and m.compressed_data is True
    assert m.unexpanded_descriptors == [307080, 1001]
    assert m.section4_length == 4 + 3
    # 8 (section 0) + 22 + 15 + 11 = 56: section 4 starts there, data 4 later.
    assert m.section4_data_offset == 60
    assert m.section4_data_length == 3
    assert m.total_length == 8 + 22 + 15 + 11 + 7 + 4


@pytest.mark.parametrize(
    "octets, code",
    [(b"\xc1\x0b", 301011), (b"\x01\x01", 1001), (b"\xff\xff", 363255), (b"\x00\x00", 0)],
)
def test_descriptor_octets_convert_to_codes(octets, code):
    # Splice the raw octets in place of a descriptor to hit every bit pattern.
    raw = bytearray(message(descriptors=[1001]))
    s3 = 8 + 22
    raw[s3 + 7 : s3 + 9] = octets
    assert parse(bytes(raw)).unexpanded_descriptors == [code]


@pytest.mark.parametrize("flag", [1, 2, 0x40, 0xFF])
def test_any_nonzero_section1_flag_makes_section2_present(flag):
    m = parse(message(section2=b"xy", section1_flags=flag))
    assert m.local_section_present is True
    assert m.section2_length == 6


def test_zero_flag_means_no_section2():
    m = parse(message(section1_flags=0))
    assert m.local_section_present is False and m.section2_length == 0


def test_section3_padding_octet_is_ignored():
    # Edition 3 producers padded section 3 to even length; many edition 4
    # messages keep the habit.
    m = parse(message(descriptors=[1001, 1002, 1003], section3_pad=b"\x00"))
    assert m.section3_length == 7 + 6 + 1
    assert m.unexpanded_descriptors == [1001, 1002, 1003]
    # A lone padding octet leaves no descriptor.
    assert parse(message(section3_pad=b"\x20")).unexpanded_descriptors == []


def test_section3_of_seven_octets_has_no_descriptors():
    m = parse(message())
    assert m.section3_length == 7 and m.unexpanded_descriptors == []


def test_section4_of_declared_length_3_passes():
    data = bytearray(message(data=b""))
    s4 = 8 + 22 + 7
    data[s4 : s4 + 3] = b"\x00\x00\x03"
    # The terminator must follow 3 octets in: shift "7777" one octet earlier.
    fixed = bytes(data[: s4 + 3]) + b"7777"
    fixed = relabel(fixed)
    m = parse(fixed)
    assert m.section4_length == 3
    assert m.section4_data_length == 0
    assert m.section4_data_offset == s4 + 4


def test_octets_after_terminator_within_declared_length_are_ignored():
    m = parse(message(trailing=b"junk"))
    assert m.total_length == len(message()) + 4


def _valid() -> bytes:
    return message(descriptors=[1001], data=b"\x01\x02")


FAILURES = [
    pytest.param(b"", "message is too short to be BUFR", id="empty"),
    pytest.param(b"BUFR\x00\x00\x07", "message is too short to be BUFR", id="7-octets"),
    pytest.param(b"BUFR\x00\x00\x08\x04", "section 1 at offset 8 is truncated", id="8-octets"),
    pytest.param(b"XBUFR" + _valid()[5:], "missing BUFR marker", id="marker"),
    pytest.param(b"BUFX" + _valid()[4:], "missing BUFR marker", id="marker-last-octet"),
    pytest.param(
        b"BUFR\x00\x00\x02\x03",
        "unsupported BUFR edition 3; only edition 4 is implemented",
        id="edition-before-length",
    ),
    pytest.param(
        _valid() + b"\x00",
        f"declared length {len(_valid())} does not match buffer length {len(_valid()) + 1}",
        id="trailing-octet",
    ),
    pytest.param(
        relabel(_valid(), len(_valid()) + 1),
        f"declared length {len(_valid()) + 1} does not match buffer length {len(_valid())}",
        id="declared-one-more",
    ),
    pytest.param(
        relabel(b"BUFR\x00\x00\x00\x04\x00\x00", 10),
        "section 1 at offset 8 is truncated",
        id="10-octets",
    ),
    pytest.param(
        relabel(b"BUFR\x00\x00\x00\x04\x00\x00\x64" + b"\x00" * 20, 31),
        "section 1 at offset 8 is truncated",
        id="section1-past-end",
    ),
    pytest.param(
        relabel(b"BUFR\x00\x00\x00\x04\x00\x00\x03" + b"\x00" * 5, 16),
        "section 1 at offset 8 is truncated",
        id="16-octets",
    ),
    # 17 octets still cannot hold the flag octet (18); 18 can, then the year
    # (23 and 24) is missing.
    pytest.param(
        relabel(b"BUFR\x00\x00\x00\x04\x00\x00\x03" + b"\x00" * 6, 17),
        "section 1 at offset 8 is truncated",
        id="17-octets",
    ),
    pytest.param(
        relabel(b"BUFR\x00\x00\x00\x04\x00\x00\x03" + b"\x00" * 7, 18),
        "section 0 at offset 23 is truncated",
        id="18-octets",
    ),
    pytest.param(
        relabel(b"BUFR\x00\x00\x00\x04\x00\x00\x03" + b"\x00" * 13, 24),
        "section 0 at offset 23 is truncated",
        id="24-octets",
    ),
]


@pytest.mark.parametrize("data, text", FAILURES)
def test_framing_failures(data, text):
    assert error_text(data) == text


def _section1(flags=0) -> bytes:
    return Message(section1_flags=flags).section1()


@pytest.mark.parametrize(
    "body, text",
    [
        # Section 2 declared longer than what is left.
        (_section1(0x80) + b"\x00\x01\x00\x00" + b"\x00" * 10, "section 2 at offset 30 is truncated"),
        # Section 2 length field itself cut short.
        (_section1(0x80) + b"\x00", "section 2 at offset 30 is truncated"),
        # Section 3 shorter than its 7 fixed octets.
        (_section1() + b"\x00\x00\x06\x00\x00\x01\x80" + b"7777", "section 3 at offset 30 is truncated"),
        # Section 3 running past the end.
        (_section1() + b"\x00\x00\x20\x00\x00\x01\x80", "section 3 at offset 30 is truncated"),
        # Section 4 running past the end.
        (_section1() + Message().section3() + b"\x00\x00\x40\x00", "section 4 at offset 37 is truncated"),
        # Section 4 length field missing.
        (_section1() + Message().section3() + b"\x00", "section 4 at offset 37 is truncated"),
        # No room for the terminator.
        (_section1() + Message().section3() + b"\x00\x00\x04\x00" + b"777", "section 5 at offset 41 is truncated"),
        (_section1() + Message().section3() + b"\x00\x00\x04\x00" + b"7778", "section 5 terminator is not 7777"),
        # "7777" present but not right after section 4.
        (_section1() + Message().section3() + b"\x00\x00\x04\x00" + b"x7777", "section 5 terminator is not 7777"),
    ],
    ids=["s2-long", "s2-cut", "s3-short", "s3-long", "s4-long", "s4-cut", "s5-cut", "s5-bad", "s5-late"],
)
def test_section_failures(body, text):
    assert error_text(frame(body)) == text


def test_short_message_that_frames_but_lacks_section1_fields():
    # Section 1 claims 3 octets, sections 3 to 5 follow: 8+3+7+4+4 = 26 octets,
    # too short to hold the fixed section 1 fields at offsets up to 29.
    body = b"\x00\x00\x03" + b"\x00\x00\x07\x00\x00\x01\x00" + b"\x00\x00\x04\x00" + b"7777"
    data = frame(body)
    assert len(data) == 26
    assert error_text(data) == "section 1 at offset 8 is truncated"


def test_repr_and_str():
    m = parse(message(descriptors=[307080, 1001]))
    text = f"BufrMessage(edition=4, length={m.total_length}, subsets=1, descriptors=[307080, 1001])"
    assert repr(m) == text and str(m) == text
    assert repr(parse(message())).endswith(", descriptors=[])")


def test_attributes_are_read_only_and_fixed():
    m = parse(message(descriptors=[1001]))
    for name in ("total_length", "edition", "unexpanded_descriptors", "compressed_data"):
        with pytest.raises(AttributeError):
            setattr(m, name, 1)
    with pytest.raises(AttributeError):
        m.new_attribute = 1
    descriptors = m.unexpanded_descriptors
    descriptors.append(5)
    assert m.unexpanded_descriptors == [1001]
    assert m.unexpanded_descriptors is not m.unexpanded_descriptors


def test_class_cannot_be_instantiated_or_subclassed():
    with pytest.raises(TypeError):
        _skerrow.BufrMessage()
    with pytest.raises(TypeError):

        class Sub(_skerrow.BufrMessage):  # noqa: F841
            pass

    with pytest.raises((TypeError, AttributeError)):
        _skerrow.BufrMessage.edition = 5
    assert _skerrow.BufrMessage.__name__ == "BufrMessage"
    assert _skerrow.BufrMessage.__module__ == "_skerrow"
    assert _skerrow.BufrMessage.__doc__ is None


def test_attribute_order_and_types():
    m = parse(message(section2=b"x"))
    names = [n for n in vars(_skerrow.BufrMessage) if not n.startswith("_")]
    assert names == [
        "total_length", "edition", "section1_length", "master_table_number",
        "originating_centre", "originating_subcentre", "update_sequence_number",
        "local_section_present", "data_category", "international_data_subcategory",
        "local_data_subcategory", "master_tables_version_number", "local_tables_version_number",
        "typical_year", "typical_month", "typical_day", "typical_hour", "typical_minute",
        "typical_second", "section2_length", "section3_length", "number_of_subsets",
        "observed_data", "compressed_data", "unexpanded_descriptors", "section4_length",
        "section4_data_offset", "section4_data_length",
    ]  # fmt: skip
    for name in names:
        value = getattr(m, name)
        expected = bool if name in ("local_section_present", "observed_data", "compressed_data") else (
            list if name == "unexpanded_descriptors" else int
        )
        assert type(value) is expected, name
