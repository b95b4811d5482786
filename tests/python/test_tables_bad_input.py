"""Table files are user input: truncated, random and hostile files give a
ValueError (or load), never a crash or a hang."""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _skerrow import TableSet
from conftest import ECCODES_DEFINITIONS, PARSE, needs_eccodes
from table_files import write_table_dir

WMO39 = ECCODES_DEFINITIONS / "bufr" / "tables" / "0" / "wmo" / "39"
GOOD_ELEMENTS = b"001001|a|long|A|u|0|0|7\n"
GOOD_SEQUENCES = b'"301001" = [ 001001 ]\n'


def write_dir(path: Path, elements: bytes, sequences: bytes, codetable: bytes | None = None):
    return write_table_dir(path, elements, sequences, None if codetable is None else {1003: codetable})


def loads_or_value_error(path: str) -> TableSet | None:
    try:
        return TableSet.from_eccodes(path)
    except ValueError as exc:
        assert len(exc.args) == 1 and isinstance(exc.args[0], str)
        return None


@needs_eccodes
@pytest.mark.parametrize("name", ["element.table", "sequence.def", "codetables/1003.table"])
def test_truncated_real_files(tmp_path, name):
    # Every cut of the first few kilobytes of a real file: a shorter table or
    # an error, never a crash.
    original = (WMO39 / name).read_bytes()[:3000]
    base = tmp_path / "t"
    shutil.copytree(WMO39, base, symlinks=False)
    for cut in range(0, len(original), 7):
        (base / name).write_bytes(original[:cut])
        loaded = loads_or_value_error(str(base))
        if name == "element.table" and loaded is not None:
            assert loaded.element_count <= original[:cut].count(b"\n") + 1


def test_truncated_quoted_field_and_statement(tmp_path):
    d = write_dir(tmp_path / "a", b'001001|a|long|"UNFINISHED', GOOD_SEQUENCES)
    with pytest.raises(ValueError, match="quoted field is not closed"):
        TableSet.from_eccodes(d)
    d = write_dir(tmp_path / "b", GOOD_ELEMENTS, b'"301001" = [ 001001,\n 001002')
    assert TableSet.from_eccodes(d).sequence_count == 0


@pytest.mark.parametrize(
    "cell",
    ["9" * 30, "-" + "9" * 30, "+" * 3, "1e5", "0x10", "١٢", "\uff11"],
)
def test_strange_numbers_are_refused(tmp_path, cell):
    d = write_dir(tmp_path, f"001001|a|long|A|u|{cell}|0|7\n".encode(), GOOD_SEQUENCES)
    with pytest.raises(ValueError, match=r"^csv/table parse error: bad i32 "):
        TableSet.from_eccodes(d)


def test_self_containing_sequences_end_in_the_depth_error(tmp_path):
    d = write_dir(
        tmp_path,
        GOOD_ELEMENTS,
        b'"300001" = [ 001001, 300002 ]\n"300002" = [ 102002, 001001, 300001 ]\n',
    )
    t = TableSet.from_eccodes(d)
    with pytest.raises(ValueError) as info:
        t.expand([300001])
    assert info.value.args == (
        PARSE + "sequence expansion exceeded recursion depth",
    )


FUZZ = settings(
    max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
# Bytes drawn mostly from the characters the formats care about.
table_bytes = st.lists(
    st.one_of(
        st.sampled_from([b"|", b'"', b"\n", b"\r", b"#", b"=", b"[", b"]", b",", b" ", b"\xc2\xa0",
                         b"001001", b"-", b"+", b"9999999999", b"\xff", b"\xe2\x80", b"0", b"7"]),
        st.binary(max_size=4),
    ),
    max_size=60,
).map(b"".join)


@FUZZ
@given(data=table_bytes)
def test_fuzz_element_table(tmp_path, data):
    loads_or_value_error(write_dir(tmp_path, data, GOOD_SEQUENCES))


@FUZZ
@given(data=table_bytes)
def test_fuzz_sequence_file(tmp_path, data):
    t = loads_or_value_error(write_dir(tmp_path, GOOD_ELEMENTS, data))
    if t is not None:
        assert t.sequence_count <= data.count(b"]")


@FUZZ
@given(data=table_bytes)
def test_fuzz_code_table(tmp_path, data):
    t = loads_or_value_error(write_dir(tmp_path, GOOD_ELEMENTS, GOOD_SEQUENCES, data))
    if t is not None:
        assert t.get_meaning(1003, 2**64 - 1) is None or b"18446744073709551615" in data


@FUZZ
@given(data=table_bytes, header=st.booleans())
def test_fuzz_wmo_csv(tmp_path, data, header):
    head = b"a,b,FXY,name,unit,scale,ref,width\n" if header else b""
    (tmp_path / "BUFRCREX_TableB_en_00.csv").write_bytes(head + data)
    (tmp_path / "BUFR_TableD_en_00.csv").write_bytes(b"a,b,FXY1,c,d,FXY2\n" + data)
    try:
        TableSet.from_bufr4_45(str(tmp_path))
    except ValueError:
        pass
