"""End to end on the real table trees: the ecCodes definitions of Debian's
libeccodes-data, the WMO BUFR4 CSV tables and the corpus messages."""

from __future__ import annotations

import csv
import re
from pathlib import Path

import pytest

import _skerrow
from _skerrow import TableSet
from bufr_builder import message
from conftest import CORPUS, ECCODES_DEFINITIONS, WMO_CSV, needs_corpus, needs_eccodes

TABLES = ECCODES_DEFINITIONS / "bufr" / "tables" / "0"
WMO_DIRS = sorted(TABLES.glob("wmo/*"), key=lambda p: int(p.name)) if TABLES.is_dir() else []
LOCAL_DIRS = sorted(TABLES.glob("local/*/*/*")) if TABLES.is_dir() else []
NEWEST_WMO = WMO_DIRS[-1] if WMO_DIRS else None


# Independent counts, by the simplest reading of each format that fits the
# files of the tree (no quoted fields hold a "|" there).
def element_codes(path: Path) -> set[int]:
    codes = set()
    for line in path.read_text(encoding="utf-8").splitlines():
        fields = line.split("|")
        if line.startswith("#") or len(fields) < 8:
            continue
        codes.add(int(fields[0]))
    return codes


def sequence_codes(path: Path) -> set[int]:
    text = path.read_text(encoding="utf-8")
    return {int(code) for code in re.findall(r'^\s*"?(\d+)"?\s*=\s*\[', text, re.M)}


def code_table_codes(path: Path) -> set[int]:
    return {int(p.stem) for p in path.glob("*.table")} if path.is_dir() else set()


def counts(directory: Path) -> tuple[int, int, int]:
    return (
        len(element_codes(directory / "element.table")),
        len(sequence_codes(directory / "sequence.def")),
        len(code_table_codes(directory / "codetables")),
    )


def first_meanings(directory: Path) -> dict[int, tuple[int, str]]:
    """Code -> (first raw value, its meaning) of every code-table file that
    has a line of three words or more."""
    first = {}
    for path in (directory / "codetables").glob("*.table"):
        for line in path.read_text(encoding="utf-8").splitlines():
            words = line.split()
            if len(words) >= 3 and words[0].isdigit():
                first[int(path.stem)] = (int(words[0]), " ".join(words[2:]))
                break
    return first


def header(master_version: int, local_version: int = 0, centre: int = 0, subcentre: int = 0):
    return _skerrow.parse_bytes(
        message(master_version=master_version, local_version=local_version, centre=centre,
                subcentre=subcentre)
    )


@needs_eccodes
@pytest.mark.parametrize("directory", WMO_DIRS, ids=lambda p: f"wmo-{p.name}")
def test_every_wmo_directory_loads(directory):
    elements, sequences, code_tables = counts(directory)
    t = TableSet.from_eccodes(str(directory))
    assert (t.element_count, t.sequence_count) == (elements, sequences)
    first = first_meanings(directory)
    assert len(first) >= code_tables - 1  # at most one table file without entries
    for code, (raw, meaning) in first.items():
        assert t.get_meaning(code, raw) == meaning, code
    through_root = TableSet.from_definitions(str(ECCODES_DEFINITIONS), header(int(directory.name)))
    assert (through_root.element_count, through_root.sequence_count) == (elements, sequences)


@needs_eccodes
def test_newest_wmo_directory_values():
    # Hand-checked against the files of version 39 of the Debian tree.
    t = TableSet.from_eccodes(str(TABLES / "wmo" / "39"))
    assert repr(t) == "TableSet(elements=1746, sequences=613)"
    e = t.get_element(12101)
    assert (e.abbreviation, e.element_type, e.name, e.unit, e.scale, e.reference, e.width) == (
        "airTemperature", "double", "TEMPERATURE/AIR TEMPERATURE", "K", 2, 0, 16,
    )
    assert t.get_element(5001).reference == -9000000
    assert t.get_sequence(301011).members == [4001, 4002, 4003]
    assert t.get_meaning(1003, 0) == "ANTARCTICA"
    assert t.get_meaning(20011, 0) == "0"
    assert t.expand([301090])[:4] == [1001, 1002, 1015, 2001]


@needs_eccodes
def test_quote_inside_field_in_versions_7_to_15():
    for version in (7, 13, 15):
        name = TableSet.from_eccodes(str(TABLES / "wmo" / str(version))).get_element(20096).name
        assert '"A"' in name


def local_header(directory: Path):
    version, centre, subcentre = directory.relative_to(TABLES / "local").parts
    if version.startswith("19-"):
        return header(19, int(version[3:]), int(centre), int(subcentre)), TABLES / "wmo" / "19"
    return header(39, int(version), int(centre), int(subcentre)), TABLES / "wmo" / "39"


@needs_eccodes
@pytest.mark.parametrize("directory", LOCAL_DIRS, ids=lambda p: str(p.relative_to(TABLES)))
def test_every_local_directory_loads_over_its_wmo_tables(directory):
    msg, wmo = local_header(directory)
    if directory == TABLES / "local" / "19-1" / "254" / "0":
        # Its widths carry a trailing blank ("3 "), which the strict parser refuses.
        with pytest.raises(ValueError) as info:
            TableSet.from_definitions(str(ECCODES_DEFINITIONS), msg)
        assert info.value.args == (
            "csv/table parse error: bad u16 3 : invalid digit found in string",
        )
        return
    elements = element_codes(wmo / "element.table")
    sequences = sequence_codes(wmo / "sequence.def")
    if (directory / "element.table").exists():
        elements |= element_codes(directory / "element.table")
    if (directory / "sequence.def").exists():
        sequences |= sequence_codes(directory / "sequence.def")
    t = TableSet.from_definitions(str(ECCODES_DEFINITIONS), msg)
    assert (t.element_count, t.sequence_count) == (len(elements), len(sequences))


@needs_eccodes
def test_ecmwf_local_tables_mix_8_and_11_fields():
    t = TableSet.from_definitions(str(ECCODES_DEFINITIONS), header(39, 4, 98, 0))
    lines = (TABLES / "local" / "4" / "98" / "0" / "element.table").read_text().splitlines()
    rows = [line.split("|") for line in lines if line and not line.startswith("#")]
    assert {len(r) for r in rows} == {8, 11}
    for row in rows:
        e = t.get_element(int(row[0]))
        assert (e.name, e.scale, e.reference, e.width) == (
            row[3], int(row[5]), int(row[6]), int(row[7])
        )


@pytest.fixture(scope="module")
def wmo45() -> TableSet:
    if not (WMO_CSV / "45").is_dir():
        pytest.skip("WMO CSV tables not present")
    return TableSet.from_bufr4_45(str(WMO_CSV / "45"))


def test_wmo_csv_45(wmo45):
    assert (wmo45.element_count, wmo45.sequence_count) == (1855, 660)
    b_codes, d_codes = set(), set()
    for path in (WMO_CSV / "45").glob("BUFRCREX_TableB_en_*.csv"):
        with open(path, newline="", encoding="utf-8") as f:
            b_codes |= {int(row[2]) for row in list(csv.reader(f))[1:]}
    for path in (WMO_CSV / "45").glob("BUFR_TableD_en_*.csv"):
        with open(path, newline="", encoding="utf-8") as f:
            d_codes |= {int(row[2]) for row in list(csv.reader(f))[1:]}
    assert (len(b_codes), len(d_codes)) == (1855, 660)
    e = wmo45.get_element(1001)
    assert (e.name, e.unit, e.element_type, e.abbreviation, e.width) == (
        "WMO block number", "Numeric", "long", "", 7,
    )
    assert wmo45.get_element(2001).element_type == "code"
    assert wmo45.get_element(2002).element_type == "flags"
    assert wmo45.get_element(1015).element_type == "string"
    assert wmo45.get_element(14001).name == "Long-wave radiation, integrated over 24 hours"
    assert wmo45.get_sequence(301001).members == [1001, 1002]
    assert wmo45.get_meaning(2001, 0) is None


@needs_eccodes
def test_wmo_csv_agrees_with_ecmwf_tables(wmo45):
    # The tree's newest version (39) is older than 45; every element both
    # define must have the same scale, reference and width, and every
    # sequence of 39 the same members.
    eccodes = TableSet.from_eccodes(str(TABLES / "wmo" / "39"))
    disagreements = []
    for code in element_codes(TABLES / "wmo" / "39" / "element.table"):
        a, b = eccodes.get_element(code), wmo45.get_element(code)
        if b is not None and (a.scale, a.reference, a.width) != (b.scale, b.reference, b.width):
            disagreements.append(code)
    assert disagreements == []
    missing = [c for c in element_codes(TABLES / "wmo" / "39" / "element.table")
               if wmo45.get_element(c) is None]
    assert missing == []
    for code in sequence_codes(TABLES / "wmo" / "39" / "sequence.def"):
        assert wmo45.get_sequence(code).members == eccodes.get_sequence(code).members


def corpus_messages():
    if not CORPUS.is_dir():
        return []
    found = []
    for path in sorted(CORPUS.glob("*.bufr")):
        try:
            messages = _skerrow.parse_all_file(str(path))
        except (OSError, ValueError):
            continue  # the corpus holds deliberately broken files too
        found += [(path.name, i, m) for i, m in enumerate(messages)]
    return found


@needs_corpus
@needs_eccodes
def test_from_definitions_for_every_corpus_message():
    loaded = 0
    for name, index, m in corpus_messages():
        master = TABLES.parent / str(m.master_table_number)
        wmo = master / "wmo" / str(m.master_tables_version_number)
        if not wmo.exists():
            continue
        t = TableSet.from_definitions(str(ECCODES_DEFINITIONS), m)
        # Every message's own descriptors must expand with its own tables.
        assert t.expand(m.unexpanded_descriptors), (name, index)
        loaded += 1
    assert loaded > 200


@needs_corpus
@needs_eccodes
def test_satsurface_message_uses_ecmwf_local_tables():
    m = _skerrow.parse_file(str(CORPUS / "eccodespy-satsurface-002.bufr"))
    assert (m.local_tables_version_number, m.originating_centre) == (4, 98)
    t = TableSet.from_definitions(str(ECCODES_DEFINITIONS), m)
    local = element_codes(TABLES / "local" / "4" / "98" / "0" / "element.table")
    assert all(t.get_element(c) is not None for c in local)
