"""skerrow.messages: editions 2, 3 and 4 from paths, bytes and files, built
with our writer; the same values as _skerrow gives edition 4; bad input."""

from __future__ import annotations

import io
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest
from bufr_builder import Message
from decode_support import bits, damaged_copies, table_dir

import _skerrow
import skerrow

DESCRIPTORS = [301001, 1015]  # block number and temperature, then a text
DATA = bits((6, 7), (27315, 16), b"ABC")


@pytest.fixture
def root(tmp_path: Path) -> str:
    """A definitions root holding master table 0, version 35, and a local
    version 1 of centre 98 whose 001001 is 10 bits wide."""
    table_dir(tmp_path / "defs/bufr/tables/0/wmo/35")
    table_dir(
        tmp_path / "defs/bufr/tables/0/local/1/98/0",
        elements={1001: "blockNumber|long|LOCAL BLOCK NUMBER|Numeric|0|0|10"},
        sequences={},
        code_tables={},
    )
    return str(tmp_path / "defs")


def build(edition: int, **fields) -> bytes:
    fields.setdefault("descriptors", DESCRIPTORS)
    fields.setdefault("data", DATA)
    return Message(edition=edition, **fields).build()


@pytest.mark.parametrize("edition", [2, 3, 4])
def test_each_edition_decodes_as_edition_4(root, edition):
    expected = _skerrow.decode_values_with_definitions(build(4), root)
    [message] = skerrow.messages(build(edition), definitions=root)
    values = message.values()
    assert all(isinstance(v, _skerrow.DecodedValue) for v in values)
    assert [repr(v) for v in values] == [repr(v) for v in expected]
    assert [v.name for v in values] == ["WMO BLOCK NUMBER", "TEMPERATURE", "STATION NAME"]


@pytest.mark.parametrize(
    ("edition", "absent", "subcentre"),
    [
        (2, {"originating_subcentre", "international_data_subcategory", "typical_second"}, None),
        (3, {"international_data_subcategory", "typical_second"}, 7),
        (4, set(), 7),
    ],
)
def test_header_fields_of_each_edition(root, edition, absent, subcentre):
    data = build(edition, centre=254, subcentre=7, update_sequence=3, data_category=2,
                 local_subcategory=9, master_version=35, local_version=0, year=2024, month=11,
                 day=30, hour=23, minute=59)
    [message] = skerrow.messages(data, definitions=root)
    h = message.header
    assert {name for name, value in h._asdict().items() if value is None} == absent
    assert (h.edition, h.total_length, h.originating_centre, h.originating_subcentre) == (
        edition, len(data), 254, subcentre)
    assert (h.update_sequence_number, h.data_category, h.local_data_subcategory) == (3, 2, 9)
    assert (h.typical_year, h.typical_month, h.typical_day, h.typical_hour,
            h.typical_minute) == (2024, 11, 30, 23, 59)
    assert h.unexpanded_descriptors == DESCRIPTORS and h.number_of_subsets == 1
    if edition == 4:
        assert h == tuple(getattr(_skerrow.parse_bytes(data), name) for name in h._fields)


@pytest.mark.parametrize(("edition", "layout"), [(3, 3), (2, 2)])
@pytest.mark.parametrize(("year_of_century", "year"), [(0, 2000), (13, 2013), (95, 2095),
                                                       (99, 2099), (100, 2000)])
def test_year_of_century(edition, layout, year_of_century, year):
    data = build(edition, year_of_century=year_of_century)
    assert next(skerrow.messages(data)).header.typical_year == year


def test_local_tables_follow_the_edition_3_centre_octets(root):
    # The local 001001 is 10 bits wide: decoding succeeds only when centre
    # 98 and subcentre 0 are read from the right octets.
    data = build(3, local_version=1, descriptors=[1001], data=bits((517, 10)))
    [message] = skerrow.messages(data, definitions=root)
    assert [v.raw for v in message.values()] == [517]


def test_section_2_flag_of_edition_3(root):
    data = build(3, section2=b"local data")
    [message] = skerrow.messages(data, definitions=root)
    assert message.header.local_section_present and message.header.section2_length == 14
    assert len(message.values()) == 3


def test_sources_junk_and_order(root, tmp_path):
    stream = b"GTS header" + build(3) + b"\r\r\n" + build(4, descriptors=[1001],
                                                           data=bits((9, 7))) + build(2) + b"NNNN"
    path = tmp_path / "stream.bufr"
    path.write_bytes(stream)
    sources = [stream, str(path), path, io.BytesIO(stream), bytearray(stream)]
    for source in sources:
        found = list(skerrow.messages(source, definitions=Path(root)))
        assert [m.header.edition for m in found] == [3, 4, 2]
        assert [stream[m.offset:m.offset + 4] for m in found] == [b"BUFR"] * 3
        assert found[0].offset == len(b"GTS header")
        assert found[1].values()[0].raw == 9
    with open(path, "rb") as f:
        assert len(list(skerrow.messages(f, definitions=root))) == 3


@pytest.mark.parametrize("source", [12, io.StringIO("BUFR")])
def test_sources_of_the_wrong_kind(source):
    with pytest.raises(TypeError):
        skerrow.messages(source)


@pytest.mark.parametrize(
    ("edition", "text"),
    [
        (0, "BUFR edition 0 is not supported: editions 0 and 1 carry no message length"),
        (1, "BUFR edition 1 is not supported: editions 0 and 1 carry no message length"),
        (5, "unsupported BUFR edition 5; editions 2, 3 and 4 are implemented"),
    ],
)
def test_editions_without_support_are_named(edition, text):
    data = build(4) + b"xx" + build(edition)
    found = skerrow.messages(data)
    assert next(found).header.edition == 4
    with pytest.raises(ValueError) as info:
        next(found)
    assert str(info.value) == f"message at offset {len(build(4)) + 2}: {text}"


@pytest.mark.parametrize(
    ("edition", "extra", "holds", "needs"),
    [(3, -2, 16, 17), (2, -5, 13, 17), (4, -1, 21, 22)],
)
def test_section_1_too_short_for_its_edition(edition, extra, holds, needs):
    good = Message(edition=edition, descriptors=DESCRIPTORS, data=DATA)
    body = good.section1()
    short = body[: len(body) + extra]
    short = (len(short)).to_bytes(3, "big") + short[3:]
    rest = good.build()[8 + len(body):]
    data = b"BUFR" + (8 + len(short) + len(rest)).to_bytes(3, "big") + bytes([edition]) + short
    data += rest
    with pytest.raises(ValueError) as info:
        list(skerrow.messages(data))
    assert str(info.value) == (
        f"message at offset 0: section 1 of this edition {edition} message holds {holds} octets, "
        f"fewer than the {needs} its fields need"
    )


def test_decoding_errors_name_the_offset(root):
    data = b"\0" * 5 + build(3, descriptors=[1001, 12101], data=bits((6, 7)))
    [message] = skerrow.messages(data, definitions=root)
    with pytest.raises(ValueError, match=r"^message at offset 5: csv/table parse error: not enough"):
        message.values()
    # A version the tree lacks is read with the bundled tables of that version.
    other = build(3, master_version=34, descriptors=[1001], data=bits((6, 7)))
    [value] = next(skerrow.messages(other, definitions=root)).values()
    assert (value.name, value.raw_value) == ("WMO BLOCK NUMBER", 6)


@pytest.mark.parametrize(
    ("tail", "text"),
    [
        (b"BUFR\0\0\0\3", "message at offset {}: message is too short to be BUFR"),
        (b"BUFR\0\0\x07\3xxxxxxx", "message at offset {}: message is too short to be BUFR"),
        (b"BUFR\0\0\x0a\3xxxxxx", "message at offset {}: section 1 at offset 8 is truncated"),
        # The length of section 1 cut short at the very end of the data.
        (b"BUFR\0\0\x0a\3\0\0", "message at offset {}: section 1 at offset 8 is truncated"),
        (b"BUFR\0\1\0\3xxxx", "message at offset {0}: section 0 at offset {0} is truncated"),
    ],
)
def test_scanner_errors_after_good_messages(tail, text):
    head = build(3)
    found = skerrow.messages(head + tail)
    assert next(found).offset == 0
    with pytest.raises(ValueError) as info:
        next(found)
    assert str(info.value) == text.format(len(head))


def test_truncated_and_mutated_edition_3_messages_never_crash(root):
    good = build(3, section2=b"ab", descriptors=[101000, 31001, 1015],
                 data=bits((3, 8), b"ABC", b"DEF", b"GHI"))
    for case in damaged_copies(good, seed=7, flips=400, most_bits=3):
        try:
            for message in skerrow.messages(case, definitions=root):
                message.values()
        except ValueError as exc:
            assert str(exc).startswith("message at offset "), exc


def test_tables_are_read_again_when_a_file_changes(tmp_path):
    defs = tmp_path / "defs"
    wmo = defs / "bufr/tables/0/wmo/35"
    table_dir(wmo)
    data = build(3, descriptors=[1001], data=bits((6, 7)))
    assert next(skerrow.messages(data, definitions=defs)).values()[0].name == "WMO BLOCK NUMBER"
    table_dir(wmo, elements={1001: "blockNumber|long|RENAMED|Numeric|0|0|7"})
    stamp = time.time() + 5
    os.utime(wmo / "element.table", (stamp, stamp))
    time.sleep(1.1)  # the cache trusts what it loaded for a second
    assert next(skerrow.messages(data, definitions=defs)).values()[0].name == "RENAMED"


def test_first_import_in_a_sub_interpreter_is_refused():
    script = textwrap.dedent(
        """
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("unavailable")
            raise SystemExit(0)
        sub = interpreters.create()
        for name in ("_skerrow", "skerrow"):
            try:
                interpreters.run_string(sub, f"import {name}")
            except interpreters.RunFailedError as exc:
                print("refused", exc)
            else:
                print("accepted")
        import _skerrow, skerrow
        print("main", len(_skerrow.__all__))
        """
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env=dict(os.environ), timeout=120, check=False)
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "unavailable":
        pytest.skip("this Python has no _xxsubinterpreters")
    lines = result.stdout.splitlines()
    refusal = "ImportError'>: _skerrow cannot be loaded in a sub-interpreter"
    assert lines[0].startswith("refused") and lines[0].endswith(refusal)
    assert lines[1].startswith("refused") and lines[1].endswith(refusal)
    assert lines[2] == "main 14"
