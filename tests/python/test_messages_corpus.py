"""skerrow.messages on real edition 2 and 3 messages: each edition 3
original decodes to exactly its converted edition 4 twin's values, and its
header agrees with ecCodes."""

from __future__ import annotations

import json
import subprocess

import pytest
from conftest import CORPUS, ECCODES_DEFINITIONS, needs_corpus, needs_eccodes

import _skerrow
import skerrow
from skerrow import cli

TWINS = CORPUS / "edition3-twins"
EDITION3 = CORPUS / "edition3"
SYSTEM_PYTHON = "/usr/bin/python3"
DEFS = str(ECCODES_DEFINITIONS)


def twin_pairs() -> list[tuple[str, str]]:
    path = TWINS / "TWINS.tsv"
    if not path.is_file():
        return []
    rows = [line.split("\t") for line in path.read_text(encoding="utf-8").splitlines()[1:]]
    return [(row[0], row[1]) for row in rows if row]


def outcome(decode) -> list[tuple] | str:
    try:
        return [(v.descriptor, v.name, v.raw, v.raw_value, v.raw_text, v.raw_meaning)
                for v in decode()]
    except ValueError as exc:
        return str(exc).removeprefix("message at offset 0: ")


@needs_corpus
@needs_eccodes
def test_every_edition_3_twin_decodes_to_its_twins_values():
    pairs = twin_pairs()
    assert len(pairs) == 172
    decoded = 0
    for original, twin in pairs:
        [message] = skerrow.messages(TWINS / original)
        assert message.header.edition == 3, original
        got = outcome(message.values)
        expected = outcome(lambda: _skerrow.decode_values_with_definitions(
            (CORPUS / twin).read_bytes(), DEFS))
        assert got == expected, original
        decoded += isinstance(got, list)
    assert decoded > 150


# ecCodes' header keys, read by the system interpreter that has its bindings.
ECCODES_HEADERS = """
import json, sys
import eccodes
KEYS = ["edition", "bufrHeaderCentre", "bufrHeaderSubCentre", "typicalYear", "typicalDate",
        "typicalTime", "dataCategory", "dataSubCategory", "masterTablesVersionNumber",
        "localTablesVersionNumber", "updateSequenceNumber", "masterTableNumber"]
out = {}
for path in sys.argv[1:]:
    with open(path, "rb") as f:
        handle = eccodes.codes_bufr_new_from_file(f)
    keys = {}
    for key in KEYS:
        try:
            keys[key] = eccodes.codes_get(handle, key)
        except eccodes.KeyValueNotFoundError:
            keys[key] = None
    eccodes.codes_release(handle)
    out[path] = keys
print(json.dumps(out))
"""


def eccodes_headers(paths: list[str]) -> dict[str, dict]:
    try:
        result = subprocess.run([SYSTEM_PYTHON, "-c", ECCODES_HEADERS, *paths],
                                capture_output=True, text=True, timeout=300, check=False)
    except OSError:
        pytest.skip(f"{SYSTEM_PYTHON} is not available")
    if result.returncode != 0:
        pytest.skip(f"{SYSTEM_PYTHON} cannot read headers with eccodes: {result.stderr[-200:]}")
    return json.loads(result.stdout)


@needs_corpus
def test_headers_agree_with_eccodes():
    paths = [str(TWINS / original) for original, _ in twin_pairs()]
    paths += [str(p) for p in sorted(EDITION3.glob("*.bufr"))]
    reference = eccodes_headers(paths)
    for path in paths:
        [message] = skerrow.messages(path)
        h, keys = message.header, reference[path]
        assert keys["edition"] == h.edition, path
        assert keys["bufrHeaderCentre"] == h.originating_centre, path
        assert keys["bufrHeaderSubCentre"] == (h.originating_subcentre or 0), path
        assert keys["dataCategory"] == h.data_category, path
        assert keys["dataSubCategory"] == h.local_data_subcategory, path
        assert keys["masterTablesVersionNumber"] == h.master_tables_version_number, path
        assert keys["localTablesVersionNumber"] == h.local_tables_version_number, path
        assert keys["updateSequenceNumber"] == h.update_sequence_number, path
        assert keys["masterTableNumber"] == h.master_table_number, path
        if keys["typicalYear"] is not None:
            assert keys["typicalYear"] == h.typical_year, path
            date = f"{h.typical_year:04d}{h.typical_month:02d}{h.typical_day:02d}"
            assert keys["typicalDate"] == date, path
            assert keys["typicalTime"] == f"{h.typical_hour:02d}{h.typical_minute:02d}00", path
        assert h.typical_second is None and h.international_data_subcategory is None


@needs_corpus
@needs_eccodes
def test_edition_2_message_frames_then_names_the_unknown_local_sequence():
    [message] = skerrow.messages(EDITION3 / "wreport-radar-001-e2.bufr")
    assert message.header.edition == 2 and message.header.originating_subcentre is None
    with pytest.raises(ValueError) as info:
        message.values()
    assert str(info.value).startswith(
        "message at offset 0: descriptor 321193 was not found in Table D; 321193 is a local"
        " descriptor and no local tables were found for centre 65535")


@needs_corpus
def test_every_other_edition_3_message_frames():
    paths = sorted(EDITION3.glob("*-e3.bufr"))
    assert len(paths) == 11
    for path in paths:
        [message] = skerrow.messages(path)
        assert message.header.edition == 3


@needs_corpus
def test_info_and_dump_read_edition_3(capsys):
    path = TWINS / "dballe-ship-001-e3.bufr"
    assert cli.main(["info", str(path)]) == 0
    line = capsys.readouterr().out
    assert "\tedition=3\t" in line and "\ttime=2013-03-19T09:00\t" in line
    if ECCODES_DEFINITIONS.is_dir():
        assert cli.main(["dump", str(path)]) == 0
        out = capsys.readouterr().out.splitlines()
        assert out[0] == f"# {path} offset=0 subsets=1 compressed=no values=120"
        assert out[1] == '1\t001011\tSHIP OR MOBILE LAND STATION IDENTIFIER\t"BATFR54"'
