"""skerrow expand and skerrow table."""

from __future__ import annotations

from pathlib import Path

import pytest

from bufr_builder import message
from skerrow.cli import main


@pytest.fixture
def root(tmp_path: Path) -> Path:
    d = tmp_path / "bufr" / "tables" / "0" / "wmo" / "35"
    d.mkdir(parents=True)
    (d / "element.table").write_text(
        "001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7\n"
        "001002|stationNumber|long|WMO STATION NUMBER|Numeric|0|0|10\n"
        "001003|region|table|WMO REGION NUMBER|CODE TABLE|0|0|3\n"
    )
    (d / "sequence.def").write_text('"301001" = [ 001001, 001002 ]\n')
    (d / "codetables").mkdir()
    (d / "codetables" / "1003.table").write_text("1 1 REGION I\n")
    (d.parent / "36").write_text("35\n")
    return tmp_path


def test_expand_with_table_directory(root, capsys):
    tables = root / "bufr" / "tables" / "0" / "wmo" / "35"
    assert main(["expand", "--tables", str(tables), "3-01-001", "204002", "001003", "222000"]) == 0
    assert capsys.readouterr().out == (
        "001001\tWMO BLOCK NUMBER\tNumeric\n"
        "001002\tWMO STATION NUMBER\tNumeric\n"
        "999999\tassociated field\n"
        "001003\tWMO REGION NUMBER\tCODE TABLE\n"
        "222000\toperator\n"
    )


def test_expand_with_definitions_and_version_alias(root, capsys):
    assert main(["expand", "--definitions", str(root), "--master-version", "36", "301001"]) == 0
    assert capsys.readouterr().out.splitlines()[0] == "001001\tWMO BLOCK NUMBER\tNumeric"


def test_expand_a_message_file(root, tmp_path, capsys):
    path = tmp_path / "m.bufr"
    path.write_bytes(message(master_version=35, descriptors=[301001, 1003]))
    assert main(["expand", "--definitions", str(root), "--message", str(path)]) == 0
    assert [line.split("\t")[0] for line in capsys.readouterr().out.splitlines()] == [
        "001001", "001002", "001003",
    ]


def test_expand_errors(root, tmp_path, capsys):
    tables = root / "bufr" / "tables" / "0" / "wmo" / "35"
    junk = tmp_path / "junk.bufr"
    junk.write_bytes(b"no message here")
    assert main(["expand", "--definitions", str(root), "--message", str(junk)]) == 1
    assert capsys.readouterr().err == f"skerrow: {junk}: no BUFR message found\n"
    assert main(["expand", "--tables", str(tables), "301002"]) == 1
    assert capsys.readouterr().err == "skerrow: descriptor 301002 was not found in Table D\n"
    assert main(["expand", "--definitions", str(root), "301001"]) == 1
    assert "needs --message FILE or --master-version N" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        main(["expand", "--tables", str(tables), "x-1"])


def test_table_shows_element_sequence_and_meaning(root, capsys):
    tables = str(root / "bufr" / "tables" / "0" / "wmo" / "35")
    assert main(["table", "--tables", tables, "001003"]) == 0
    out = capsys.readouterr().out
    assert "name\tWMO REGION NUMBER\n" in out and "width\t3\n" in out
    assert main(["table", "--tables", tables, "301001"]) == 0
    assert capsys.readouterr().out == (
        "001001\tWMO BLOCK NUMBER\tNumeric\n001002\tWMO STATION NUMBER\tNumeric\n"
    )
    assert main(["table", "--tables", tables, "1003", "1"]) == 0
    assert capsys.readouterr().out == "REGION I\n"
    assert main(["table", "--tables", tables, "1003", "2"]) == 1
    assert capsys.readouterr().err == "skerrow: no meaning for 001003 value 2\n"
    assert main(["table", "--tables", tables, "048001"]) == 1
    assert "neither in Table B nor in Table D" in capsys.readouterr().err
