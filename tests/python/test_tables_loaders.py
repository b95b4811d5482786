"""The ecCodes and WMO CSV loaders and the table selection, on small table
trees written by the tests."""

from __future__ import annotations

import os
from pathlib import Path

import pytest

import _skerrow
from _skerrow import TableSet
from bufr_builder import message
from conftest import IO, PARSE
from table_files import write_table_dir


ELEMENTS = (
    "#code|abbreviation|type|name|unit|scale|reference|width\n"
    "001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7\n"
    "001002|stationNumber|long|WMO STATION NUMBER|Numeric|0|0|10\n"
    "012101|airTemperature|double|TEMPERATURE|K|2|0|16\n"
)
SEQUENCES = '"301001" = [  001001, 001002 ]\n'


def table_dir(
    path: Path,
    elements: str | bytes | None = ELEMENTS,
    sequences: str | bytes | None = SEQUENCES,
    codetables: dict[str | int, str | bytes] | None = None,
) -> str:
    return write_table_dir(path, elements, sequences, codetables)


def load_error(path: str) -> str:
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(path)
    assert len(info.value.args) == 1
    return info.value.args[0]


# ------------------------------------------------------------- element.table


def test_element_fields_are_copied_as_read(tmp_path):
    d = table_dir(
        tmp_path,
        elements="001001|abbr | lng|Name, with \"quotes\"|unit|-3|-9223372036854775808|65535\n",
    )
    t = TableSet.from_eccodes(d)
    e = t.get_element(1001)
    assert (e.code, e.abbreviation, e.element_type, e.name, e.unit) == (
        1001, "abbr ", " lng", 'Name, with "quotes"', "unit",
    )
    assert (e.scale, e.reference, e.width) == (-3, -(2**63), 65535)


def test_short_records_are_skipped_and_extra_fields_ignored(tmp_path):
    d = table_dir(
        tmp_path,
        elements=(
            "001001|a|long|A|Numeric|0|0|7|x|y|z\n"
            "001002|b|long|B|Numeric|0|0\n"  # 7 fields: skipped
            "001003|c|long|C|Numeric|1|2|3\n"  # 8 fields after 11: still loads
        ),
    )
    t = TableSet.from_eccodes(d)
    assert t.element_count == 2
    assert t.get_element(1002) is None
    assert t.get_element(1003).width == 3


def test_later_duplicate_element_replaces_the_earlier(tmp_path):
    d = table_dir(
        tmp_path,
        elements="001001|a|long|FIRST|u|0|0|7\n001001|b|long|SECOND|u|1|2|8\n",
    )
    t = TableSet.from_eccodes(d)
    assert t.element_count == 1
    assert (t.get_element(1001).name, t.get_element(1001).width) == ("SECOND", 8)


def test_quote_inside_unquoted_field_is_text(tmp_path):
    d = table_dir(tmp_path, elements='020131|iceAge|long|ICE AGE ("A" PARAMETER)|s|0|0|7\n')
    assert TableSet.from_eccodes(d).get_element(20131).name == 'ICE AGE ("A" PARAMETER)'


def test_crlf_and_cr_line_ends(tmp_path):
    d = table_dir(
        tmp_path,
        elements="001001|a|long|A|u|0|0|7\r\n001002|b|long|B|u|0|0|8\r001003|c|long|C|u|0|0|9",
        sequences='"301001" = [ 1001,\r\n 1002 ]\r\n',
    )
    t = TableSet.from_eccodes(d)
    assert [t.get_element(c).width for c in (1001, 1002, 1003)] == [7, 8, 9]
    assert t.get_sequence(301001).members == [1001, 1002]


@pytest.mark.parametrize(
    ("row", "message"),
    [
        ("|a|long|A|u|0|0|7", "bad descriptor code : cannot parse integer from empty string"),
        ("1-01-001|a|long|A|u|0|0|7",
         "bad descriptor code 1-01-001: invalid digit found in string"),
        ("001001|a|long|A|u|x|0|7", "bad i32 x: invalid digit found in string"),
        ("001001|a|long|A|u|0|99999999999999999999|7",
         "bad i64 99999999999999999999: number too large to fit in target type"),
        ("001001|a|long|A|u|0|0|3 ", "bad u16 3 : invalid digit found in string"),
        ("001001|a|long|A|u|0|0|-1", "bad u16 -1: invalid digit found in string"),
        ("001001|a|long|A|u|0|0|65536", "bad u16 65536: number too large to fit in target type"),
        ("001001|a|long|A|u|2147483648|0|7",
         "bad i32 2147483648: number too large to fit in target type"),
    ],
)
def test_bad_element_cells(tmp_path, row, message):
    d = table_dir(tmp_path, elements=row + "\n")
    assert load_error(d) == PARSE + message


def test_element_table_reader_errors_name_file_and_line(tmp_path):
    d = table_dir(tmp_path, elements=b"001001|a|long|A|u|0|0|7\n001002|b|long|\xff|u|0|0|7\n")
    assert load_error(d) == f"{PARSE}{d}/element.table: line 2: record is not valid UTF-8"
    d = table_dir(tmp_path / "t", elements='001001|a|long|"A|u|0|0|7\n')
    assert load_error(d) == (
        f"{PARSE}{d}/element.table: line 1: quoted field is not closed before the end of file"
    )


@pytest.mark.parametrize(
    "row",
    [
        # "é" is C3 A9: each half alone, split by a separator, is no UTF-8,
        # although the octets of the record side by side would read as "é".
        b"001001|a|long|NAME \xc3|\xa9|0|0|7\n",
        b'001001|a|long|"NAME \xc3"|\xa9|0|0|7\n',
    ],
)
def test_field_split_inside_a_character_is_not_utf8(tmp_path, row):
    d = table_dir(tmp_path, elements=row)
    assert load_error(d) == f"{PARSE}{d}/element.table: line 1: record is not valid UTF-8"


def test_missing_and_directory_element_table(tmp_path):
    d = table_dir(tmp_path / "none", elements=None)
    assert load_error(d) == f"{PARSE}{d}/element.table: No such file or directory (os error 2)"
    d = table_dir(tmp_path / "dir", elements=None)
    os.mkdir(Path(d) / "element.table")
    assert load_error(d) == f"{PARSE}{d}/element.table: Is a directory (os error 21)"
    assert load_error(str(tmp_path / "absent")) == (
        f"{PARSE}{tmp_path}/absent/element.table: No such file or directory (os error 2)"
    )


# -------------------------------------------------------------- sequence.def


def test_sequence_statements(tmp_path):
    d = table_dir(
        tmp_path,
        sequences=(
            "# a comment\n"
            '"301001" = [  001001,\n'
            "     001002,\n"
            "  001003 ]\n"
            "301002 = [ 1001, 1002, ]\n"
            '"301003" = [ ]\n'
            "no equals sign here ]\n"
            '"301004" = [ 1 ] "301005" = [ 2 ]\n'
            '"301006" = [ 9 ]\n'
            '"301006" = [ 8, 7 ]\n'
            '"301007" = [ 1001'  # unfinished at the end: dropped
        ),
    )
    t = TableSet.from_eccodes(d)
    got = {c: t.get_sequence(c) for c in range(301001, 301008)}
    assert got[301001].members == [1001, 1002, 1003]
    assert got[301002].members == [1001, 1002]
    assert got[301003].members == []
    assert got[301004].members == [1]
    assert got[301005] is None  # a second statement on the line goes with the first
    assert got[301006].members == [8, 7]
    assert got[301007] is None
    assert t.sequence_count == 5


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ('"301001" = 001001, 001002 ]\n', '"301001" = 001001, 001002 ]'),
        ('"301001" = ] 001001 [\n', '"301001" = ] 001001 ['),
        ('"301001" =\n  ] [ 1001 ]\n', '"301001" = ] [ 1001 ]'),
        ('"30x001" = [ 1001 ]\n', "bad descriptor code 30x001: invalid digit found in string"),
        ('"301001" = [ 1001, 1-2 ]\n', "bad descriptor code 1-2: invalid digit found in string"),
    ],
)
def test_bad_sequence_statements(tmp_path, text, message):
    assert load_error(table_dir(tmp_path, sequences=text)) == PARSE + message


def test_sequence_file_io_errors(tmp_path):
    d = table_dir(tmp_path / "a", sequences=b'"301001" = [ 1001 ] # \xe9\n')
    assert load_error(d) == IO + "stream did not contain valid UTF-8"
    d = table_dir(tmp_path / "b", sequences=None)
    assert load_error(d) == IO + "No such file or directory (os error 2)"
    d = table_dir(tmp_path / "c", sequences=None)
    os.mkdir(Path(d) / "sequence.def")
    assert load_error(d) == IO + "Is a directory (os error 21)"


# --------------------------------------------------------------- code tables


def test_code_tables(tmp_path):
    d = table_dir(
        tmp_path,
        codetables={
            "1003.table": "0 0 ANTARCTICA\n1 1  REGION   I\n# 2 2 comment\n\n5 5\n6\n",
            "20011.table": "7 7 LOW CLOUD\u00a0\n18446744073709551615 x  ALL\tBITS \n",
            "8001.TABLE": "0 0 NOT READ\n",
            "notes.txt": "0 0 NOT READ\n",
        },
    )
    t = TableSet.from_eccodes(d)
    assert t.get_meaning(1003, 0) == "ANTARCTICA"
    assert t.get_meaning(1003, 1) == "REGION I"
    assert t.get_meaning(1003, 2) is None
    assert t.get_meaning(1003, 5) is None  # two words: no meaning, skipped
    assert t.get_meaning(20011, 7) == "LOW CLOUD"  # U+00A0 is stripped as white space
    assert t.get_meaning(20011, 2**64 - 1) == "ALL BITS"
    assert t.get_meaning(8001, 0) is None
    assert t.get_meaning(1004, 0) is None


def test_code_table_file_that_sorts_later_wins_whole(tmp_path):
    d = table_dir(
        tmp_path,
        codetables={"001003.table": "0 0 PADDED\n9 9 ONLY PADDED\n", "1003.table": "0 0 PLAIN\n"},
    )
    t = TableSet.from_eccodes(d)
    assert t.get_meaning(1003, 0) == "PLAIN"
    assert t.get_meaning(1003, 9) is None


@pytest.mark.parametrize(
    ("files", "message"),
    [
        ({"1003.table": "x 0 MEANING\n"},
         PARSE + "bad code table key x: invalid digit found in string"),
        ({"1003.table": "18446744073709551616 0 BIG\n"},
         PARSE + "bad code table key 18446744073709551616: number too large to fit in target type"),
        ({"1x3.table": "0 0 A\n"},
         PARSE + "bad descriptor code 1x3: invalid digit found in string"),
        ({"1003.table": b"0 0 \xff\n"}, IO + "stream did not contain valid UTF-8"),
    ],
)
def test_bad_code_tables(tmp_path, files, message):
    assert load_error(table_dir(tmp_path, codetables=files)) == message


def test_code_tables_as_file_and_table_as_directory(tmp_path):
    d = table_dir(tmp_path / "a")
    (Path(d) / "codetables").write_text("not a directory")
    assert load_error(d) == IO + "Not a directory (os error 20)"
    d = table_dir(tmp_path / "b", codetables={})
    os.mkdir(Path(d) / "codetables" / "1003.table")
    assert load_error(d) == IO + "Is a directory (os error 21)"


def test_missing_codetables_is_no_error(tmp_path):
    t = TableSet.from_eccodes(table_dir(tmp_path))
    assert (t.element_count, t.sequence_count, t.get_meaning(1001, 0)) == (3, 1, None)


# ------------------------------------------------------------------ WMO CSV

B_HEADER = (
    "ClassNo,ClassName_en,FXY,ElementName_en,BUFR_Unit,BUFR_Scale,BUFR_ReferenceValue,"
    "BUFR_DataWidth_Bits\n"
)
D_HEADER = "Category,CategoryOfSequences_en,FXY1,Title_en,SubTitle_en,FXY2\n"


def wmo_dir(path: Path, files: dict[str, str | bytes]) -> str:
    path.mkdir(parents=True, exist_ok=True)
    for name, content in files.items():
        data = content.encode() if isinstance(content, str) else content
        (path / name).write_bytes(data)
    return str(path)


def test_wmo_csv_tables(tmp_path):
    d = wmo_dir(
        tmp_path,
        {
            "BUFRCREX_TableB_en_00.csv": B_HEADER
            + '01,Id,001001,"Block, ""number""",Numeric,0,0,7\n'
            + "02,I,002001,Type,Code table,0,0,2\n"
            + "02,I,002002,Flags,Flag table,0,0,4\n"
            + "02,I,002003,Other,code table,0,0,4\n"
            + "01,Id,001015,Name,CCITT IA5,0,0,160\n",
            "BUFRCREX_TableB_en_01.csv": B_HEADER + "01,Id,001001,Later,m,-1,-40,16\n",
            "bufrcrex_TableB_en_02.csv": B_HEADER + "01,Id,001003,NOT READ,m,0,0,1\n",
            "BUFRCREX_TableB_en_03.CSV": B_HEADER + "01,Id,001004,NOT READ,m,0,0,1\n",
            "BUFR_TableD_en_00.csv": D_HEADER
            + "01,S,301001,,,001001\n01,S,301002,,,002001\n01,S,301001,,,001002\n"
            + "01,S,301003,,,001001\n",
            "BUFR_TableD_en_01.csv": D_HEADER + "01,S,301003,,,001015\n",
        },
    )
    t = TableSet.from_bufr4_45(d)
    assert (t.element_count, t.sequence_count) == (5, 3)
    e = t.get_element(1001)
    assert (e.name, e.unit, e.scale, e.reference, e.width, e.abbreviation, e.element_type) == (
        "Later", "m", -1, -40, 16, "", "long",
    )
    types = [t.get_element(c).element_type for c in (2001, 2002, 2003, 1015)]
    assert types == ["code", "flags", "long", "string"]
    assert t.get_sequence(301001).members == [1001, 1002]
    assert t.get_sequence(301002).members == [2001]
    assert t.get_sequence(301003).members == [1015]  # the later file's members only
    assert t.get_meaning(2001, 0) is None


def test_wmo_csv_empty_directory_and_errors(tmp_path):
    t = TableSet.from_bufr4_45(wmo_dir(tmp_path / "empty", {}))
    assert (t.element_count, t.sequence_count) == (0, 0)
    short = B_HEADER + "01,Id,001001,A,m,0,0\n"
    d = wmo_dir(tmp_path / "short", {"BUFRCREX_TableB_en_00.csv": short})
    with pytest.raises(ValueError) as info:
        TableSet.from_bufr4_45(d)
    assert info.value.args == (
        f"{PARSE}{d}/BUFRCREX_TableB_en_00.csv: line 2: record has 7 fields, but the first "
        "record has 8",
    )
    d = wmo_dir(tmp_path / "fxy", {"BUFRCREX_TableB_en_00.csv": B_HEADER + "01,Id,,A,m,0,0,7\n"})
    with pytest.raises(ValueError) as info:
        TableSet.from_bufr4_45(d)
    assert info.value.args == (
        PARSE + "bad descriptor code : cannot parse integer from empty string",
    )
    with pytest.raises(ValueError) as info:
        TableSet.from_bufr4_45(str(tmp_path / "absent"))
    assert info.value.args == (IO + "No such file or directory (os error 2)",)

def test_wmo_csv_field_split_inside_a_character_is_not_utf8(tmp_path):
    row = b"01,Id,001001,NAME \xc3,\xa9,0,0,7\n"
    d = wmo_dir(tmp_path, {"BUFRCREX_TableB_en_00.csv": B_HEADER.encode() + row})
    with pytest.raises(ValueError) as info:
        TableSet.from_bufr4_45(d)
    assert info.value.args == (
        f"{PARSE}{d}/BUFRCREX_TableB_en_00.csv: line 2: record is not valid UTF-8",
    )



# ------------------------------------------------------------ table selection


def tree(root: Path) -> Path:
    tables = root / "bufr" / "tables" / "0"
    table_dir(tables / "wmo" / "35", codetables={"1003.table": "0 0 WMO\n1 1 WMO ONE\n"})
    return tables


def header(**fields) -> _skerrow.BufrMessage:
    return _skerrow.parse_bytes(message(**fields))


def test_wmo_only(tmp_path):
    tree(tmp_path)
    t = TableSet.from_definitions(str(tmp_path), header(master_version=35))
    assert (t.element_count, t.sequence_count, t.get_meaning(1003, 1)) == (3, 1, "WMO ONE")


@pytest.mark.parametrize("local_version", [1, 0])
def test_local_tables_lay_over_wmo(tmp_path, local_version):
    tables = tree(tmp_path)
    local = tables / "local" / "1" / "98" / "0"
    table_dir(
        local,
        elements="001001|x|long|LOCAL BLOCK|u|0|0|9\n048001|y|long|LOCAL ONLY|u|0|0|3\n",
        sequences=None,
        codetables={"1003.table": "0 0 LOCAL\n"},
    )
    t = TableSet.from_definitions(
        str(tmp_path), header(master_version=35, local_version=local_version, centre=98)
    )
    if local_version == 0:
        assert (t.element_count, t.get_element(1001).name) == (3, "WMO BLOCK NUMBER")
        return
    assert t.element_count == 4
    assert t.get_element(1001).name == "LOCAL BLOCK"
    assert t.get_sequence(301001).members == [1001, 1002]  # WMO sequences stay
    assert t.get_meaning(1003, 0) == "LOCAL"
    assert t.get_meaning(1003, 1) is None  # the code table is replaced whole


def test_missing_local_directory_and_version_19_name(tmp_path):
    tables = tree(tmp_path)
    os.symlink("35", tables / "wmo" / "19")
    table_dir(tables / "local" / "19-1" / "98" / "0", elements="048001|y|long|V19|u|0|0|3\n",
              sequences=None)
    msg = header(master_version=19, local_version=1, centre=98)
    t = TableSet.from_definitions(str(tmp_path), msg)
    assert t.get_element(48001).name == "V19"
    msg = header(master_version=35, local_version=1, centre=7)
    t = TableSet.from_definitions(str(tmp_path), msg)
    assert t.element_count == 3


def test_local_errors_pass_through(tmp_path):
    tables = tree(tmp_path)
    local = tables / "local" / "1" / "98" / "0"
    table_dir(local, elements="x|y|long|BAD|u|0|0|3\n", sequences=None)
    with pytest.raises(ValueError) as info:
        TableSet.from_definitions(str(tmp_path), header(master_version=35, local_version=1))
    assert info.value.args == (PARSE + "bad descriptor code x: invalid digit found in string",)


def test_alias_files(tmp_path):
    tables = tree(tmp_path)
    (tables / "wmo" / "36").write_text("35\n")
    (tables / "wmo" / "37").write_text("  36 \n")
    (tables / "wmo" / "38").write_text("../35\n")
    (tables / "wmo" / "40").write_text("\n")
    (tables / "wmo" / "41").write_text("42")
    (tables / "wmo" / "42").write_text("41")
    (tables / "wmo" / "43").write_bytes(b"\xff")
    root = str(tmp_path)
    wmo = f"{tmp_path}/bufr/tables/0/wmo"
    for version in (36, 37):
        assert TableSet.from_definitions(root, header(master_version=version)).element_count == 3
    cases = {
        38: PARSE + f"invalid ecCodes table alias {wmo}/38 -> ../35",
        39: PARSE + f"ecCodes table directory does not exist: {wmo}/39",
        40: PARSE + f"invalid ecCodes table alias {wmo}/40 -> ",
        41: PARSE + f"ecCodes table aliases starting at {wmo}/41 loop or chain more than 16 times",
        43: IO + "stream did not contain valid UTF-8",
    }
    for version, text in cases.items():
        with pytest.raises(ValueError) as info:
            TableSet.from_definitions(root, header(master_version=version))
        assert info.value.args == (text,)


def test_self_alias_stops(tmp_path):
    tables = tree(tmp_path)
    (tables / "wmo" / "36").write_text("36")
    with pytest.raises(ValueError, match="loop or chain more than 16 times"):
        TableSet.from_definitions(str(tmp_path), header(master_version=36))


def test_alias_chain_of_sixteen_resolves(tmp_path):
    tables = tree(tmp_path)
    for i in range(16):
        (tables / "wmo" / str(100 + i)).write_text(str(101 + i) if i < 15 else "35")
    t = TableSet.from_definitions(str(tmp_path), header(master_version=100))
    assert t.element_count == 3


# ------------------------------------------------------- paths holding a NUL

NUL = "file name contained an unexpected NUL byte"


def test_paths_with_nul_name_nothing_on_disk(tmp_path):
    # The system would take such a name only up to the NUL: "dir\0junk"
    # would load the tables of "dir", which the caller did not name.
    row = "01,I,001001,A,m,0,0,7\n"
    wmo = wmo_dir(tmp_path / "csv", {"BUFRCREX_TableB_en_00.csv": B_HEADER + row})
    with pytest.raises(ValueError) as info:
        TableSet.from_bufr4_45(wmo + "\0junk")
    assert info.value.args == (IO + NUL,)

    d = table_dir(tmp_path / "ecc")
    with pytest.raises(ValueError) as info:
        TableSet.from_eccodes(d + "/element.table\0")
    assert info.value.args == (PARSE + f"{d}/element.table\0/element.table: {NUL}",)

    tree(tmp_path / "defs")
    root = str(tmp_path / "defs")
    with pytest.raises(ValueError) as info:
        TableSet.from_definitions(root + "\0junk", header(master_version=35))
    assert info.value.args == (
        PARSE + f"ecCodes table directory does not exist: {root}\0junk/bufr/tables/0/wmo/35",
    )
