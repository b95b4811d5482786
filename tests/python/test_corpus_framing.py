"""End to end over the real messages of the shared corpus, and robustness of
the framing against truncated and bit-flipped copies of them."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _skerrow
from conftest import CORPUS, corpus_manifest, needs_corpus

ROWS = corpus_manifest()

# Manifest column -> BufrMessage attribute.
HEADER_COLUMNS = {
    "edition": "edition",
    "subsets": "number_of_subsets",
    "master_table": "master_table_number",
    "master_version": "master_tables_version_number",
    "local_version": "local_tables_version_number",
    "centre": "originating_centre",
    "subcentre": "originating_subcentre",
    "data_category": "data_category",
    "int_subcategory": "international_data_subcategory",
    "local_subcategory": "local_data_subcategory",
}


def expected_error(outcome: str) -> str:
    """The manifest's outcome notation, e.g. Truncated(3,14), as our text."""
    outcome = outcome.removeprefix("message 0: ")
    if outcome.startswith("UnsupportedEdition("):
        edition = outcome[len("UnsupportedEdition(") : -1]
        return f"unsupported BUFR edition {edition}; only edition 4 is implemented"
    if outcome.startswith("Truncated("):
        section, offset = outcome[len("Truncated(") : -1].split(",")
        return f"section {section} at offset {offset} is truncated"
    raise AssertionError(f"unknown outcome {outcome}")


@needs_corpus
@pytest.mark.parametrize("row", ROWS, ids=[r["file"] for r in ROWS])
def test_corpus_file_frames_as_listed(row):
    path = str(CORPUS / row["file"])
    if row["expected_parse"] != "ok":
        with pytest.raises(ValueError) as info:
            _skerrow.parse_all_file(path)
        assert info.value.args[0] == expected_error(row["expected_parse"])
        return
    messages = _skerrow.parse_all_file(path)
    assert len(messages) == int(row["messages"])
    if row["messages"] != "1":
        return
    (m,) = messages
    assert _skerrow.parse_file(path).total_length == m.total_length
    for column, attribute in HEADER_COLUMNS.items():
        assert getattr(m, attribute) == int(row[column]), column
    assert m.compressed_data == (row["compressed"] == "yes")
    assert m.unexpanded_descriptors == [int(d) for d in row["unexpanded_descriptors"].split()]
    section2 = [f for f in row["features"].split(";") if f.startswith("section2(")]
    assert m.local_section_present == bool(section2)
    if section2:
        assert m.section2_length == int(section2[0][len("section2(") : -1])
    padded = "s3-pad-octet" in row["features"].split(";")
    assert ((m.section3_length - 7) % 2 == 1) == padded


def _single_messages() -> list[bytes]:
    return [
        (CORPUS / r["file"]).read_bytes()
        for r in ROWS
        if r["messages"] == "1" and r["expected_parse"] == "ok" and "/" not in r["file"]
    ]


@needs_corpus
def test_truncated_and_bit_flipped_corpus_messages_never_crash():
    rng = random.Random(20240517)
    cases = 0
    for data in _single_messages():
        cuts = {0, 1, 4, 7, 8, 11, 17, 24, 25, 29, 30, len(data) - 1, len(data) - 4}
        cuts.update(rng.randrange(len(data)) for _ in range(12))
        for cut in sorted(c for c in cuts if 0 <= c < len(data)):
            piece = data[:cut]
            for candidate in (piece, piece[:4] + len(piece).to_bytes(3, "big") + piece[7:]):
                try:
                    _skerrow.parse_bytes(candidate)
                except ValueError:
                    pass
                try:
                    _skerrow.parse_all_bytes(candidate)
                except ValueError:
                    pass
                cases += 1
        header_end = min(len(data), 64)
        for _ in range(40):
            flipped = bytearray(data)
            bit = rng.randrange(header_end * 8)
            flipped[bit // 8] ^= 1 << (bit % 8)
            for function in (_skerrow.parse_bytes, _skerrow.parse_all_bytes):
                try:
                    function(bytes(flipped))
                except ValueError:
                    pass
            cases += 1
    assert cases > 1000


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=200))
def test_arbitrary_bytes_parse_or_raise_value_error(data):
    for candidate in (data, b"BUFR" + data, b"BUFR" + (8 + len(data)).to_bytes(3, "big") + b"\x04" + data):
        for function in (_skerrow.parse_bytes, _skerrow.parse_all_bytes):
            try:
                function(candidate)
            except ValueError:
                pass
