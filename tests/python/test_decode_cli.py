"""skerrow dump."""

import json

import pytest
from bufr_builder import Message
from conftest import CORPUS, ECCODES_DEFINITIONS, needs_corpus, needs_eccodes
from decode_support import bits, table_dir

from skerrow.cli import main


@pytest.fixture
def files(tmp_path):
    tdir = table_dir(tmp_path / "tables")
    good = Message(descriptors=[1001, 1015], data=bits((6, 7), b"ABC")).build()
    two = Message(
        descriptors=[101000, 31001, 1001], data=bits((1, 8), (5, 7), (2, 8), (6, 7), (7, 7)),
        subsets=2,
    ).build()
    bad = Message(descriptors=[1001, 12101], data=bits((6, 7))).build()
    path = tmp_path / "mixed.bufr"
    path.write_bytes(b"junk" + good + bad + two)
    return tdir, path, len(good)


def test_dump_text(files, capsys):
    tdir, path, good_length = files
    status = main(["dump", "--tables", tdir, str(path)])
    out, err = capsys.readouterr()
    assert status == 1
    assert err == (
        f"skerrow: {path}: message at offset {4 + good_length}: csv/table parse error: not "
        "enough bits while reading section 4 at bit 7 for width 16 (8 bits available)\n"
    )
    lines = [line for line in out.splitlines() if not line.startswith("#")]
    assert lines == [
        "1\t001001\tWMO BLOCK NUMBER\t6.0",
        '1\t001015\tSTATION NAME\t"ABC"',
        "1\t031001\tDELAYED DESCRIPTOR REPLICATION FACTOR\t1.0",
        "1\t001001\tWMO BLOCK NUMBER\t5.0",
        "2\t031001\tDELAYED DESCRIPTOR REPLICATION FACTOR\t2.0",
        "2\t001001\tWMO BLOCK NUMBER\t6.0",
        "2\t001001\tWMO BLOCK NUMBER\t7.0",
    ]
    assert out.splitlines()[0] == f"# {path} offset=4 subsets=1 compressed=no values=2"


def test_dump_json(files, capsys):
    tdir, path, _ = files
    assert main(["dump", "--json", "--tables", tdir, str(path)]) == 1
    records = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [r["offset"] for r in records][0] == 4
    assert "error" in records[1] and "subsets" not in records[1]
    assert [[v["raw"] for v in subset] for subset in records[2]["subsets"]] == [[1, 5], [2, 6, 7]]
    assert records[0]["subsets"][0][1] == {
        "descriptor": 1015, "key": "stationName", "name": "STATION NAME", "unit": "CCITT IA5",
        "raw": None, "raw_value": 1003.0, "raw_text": "ABC", "raw_meaning": None,
    }


def test_json_attaches_qualifiers_to_what_they_qualify(tmp_path, capsys):
    tdir = table_dir(tmp_path / "tables")
    path = tmp_path / "q.bufr"
    # Quality information after 2-22-000: a per cent confidence for 012101.
    path.write_bytes(Message(descriptors=[12101, 1001, 222000, 101002, 31031, 33007],
                             data=bits((28815, 16), (6, 7), (0, 1), (1, 1), (95, 7))).build())
    assert main(["dump", "--json", "--tables", tdir, str(path)]) == 0
    [subset] = json.loads(capsys.readouterr().out)["subsets"]
    assert [v["key"] for v in subset] == [
        "airTemperature", "blockNumber", "222000", "dataPresentIndicator", "dataPresentIndicator"]
    confidence = subset[0]["qualifiers"]["percentConfidence"]
    assert (confidence["descriptor"], confidence["raw"]) == (33007, 95)


def test_units_beside_values(tmp_path, capsys):
    tdir = table_dir(tmp_path / "tables")
    path = tmp_path / "t.bufr"
    path.write_bytes(Message(descriptors=[12101, 20003], data=bits((28815, 16), (5, 9))).build())
    assert main(["dump", "--tables", tdir, str(path)]) == 0
    assert capsys.readouterr().out.splitlines()[1:] == [
        "1\t012101\tTEMPERATURE\t288.15 K",
        '1\t020003\tPRESENT WEATHER\t5.0 "HAZE"',
    ]


def test_missing_file_and_missing_tables(files, capsys, tmp_path):
    tdir, path, _ = files
    assert main(["dump", "--tables", tdir, str(tmp_path / "none.bufr"), str(path)]) == 1
    out, err = capsys.readouterr()
    assert err.startswith(f"skerrow: {tmp_path / 'none.bufr'}: ")
    assert "WMO BLOCK NUMBER" in out  # the other file still printed
    assert main(["dump", "--tables", str(tmp_path / "nowhere"), str(path)]) == 1
    assert "element.table" in capsys.readouterr().err


@needs_corpus
@needs_eccodes
def test_dump_corpus_with_definitions(capsys):
    path = CORPUS / "pybufrkit-satwind-009.bufr"  # compressed, 1000 subsets
    assert main(["dump", "--definitions", str(ECCODES_DEFINITIONS), str(path)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == f"# {path} offset=0 subsets=1000 compressed=yes values=254000"
    assert lines[1].startswith("1\t") and lines[-1].startswith("1000\t")
