"""End to end over the real messages of the shared corpus, and robustness of
the framing against truncated and bit-flipped copies of them."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _skerrow
from bufr_builder import frame, relabel
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


def _error(function, data) -> str | None:
    try:
        function(data)
    except ValueError as exc:
        return exc.args[0]
    return None


def _fields(m) -> tuple:
    return tuple(getattr(m, name) for name in dir(m) if not name.startswith("_"))


@needs_corpus
def test_truncated_corpus_messages_fail_as_their_length_says():
    rng = random.Random(20240517)
    for data in _single_messages():
        declared = len(data)
        cuts = {0, 1, 3, 4, 7, 8, 11, 17, 24, 25, 29, 30, declared - 1, declared - 4}
        cuts.update(rng.randrange(declared) for _ in range(12))
        for cut in sorted(c for c in cuts if 0 <= c < declared):
            piece = data[:cut]
            # Cut short under its declared length: parsing compares lengths,
            # scanning finds a message that runs past the end.
            want = (
                "message is too short to be BUFR" if cut <= 7
                else f"declared length {declared} does not match buffer length {cut}"
            )
            assert _error(_skerrow.parse_bytes, piece) == want
            if cut < 4:
                assert _skerrow.parse_all_bytes(piece) == []
            else:
                want = "message is too short to be BUFR" if cut < 8 else "section 0 at offset 0 is truncated"
                assert _error(_skerrow.parse_all_bytes, piece) == want
            if cut < 8:
                continue
            # Relabelled to its new length, the piece is one whole range: both
            # functions fail in the same section, which lies past the cut.
            relabelled = relabel(piece)
            text = _error(_skerrow.parse_bytes, relabelled)
            assert text is not None and text.startswith("section "), (cut, text)
            assert _error(_skerrow.parse_all_bytes, relabelled) == text


@needs_corpus
def test_bit_flips_in_the_header_agree_between_single_and_all():
    rng = random.Random(20240517)
    for data in _single_messages():
        for _ in range(40):
            flipped = bytearray(data)
            bit = rng.randrange(min(len(data), 64) * 8)
            flipped[bit // 8] ^= 1 << (bit % 8)
            flipped = bytes(flipped)
            octet = bit // 8
            single = _error(_skerrow.parse_bytes, flipped)
            if octet < 4:
                assert single == "missing BUFR marker"
            elif octet < 7:
                assert single.startswith("declared length ")
            elif octet == 7:
                assert single == f"unsupported BUFR edition {flipped[7]}; only edition 4 is implemented"
            else:
                # The framing is unchanged, so scanning finds the one message
                # and parse_all agrees with parse_bytes, record or error.
                assert _error(_skerrow.parse_all_bytes, flipped) == single
                if single is None:
                    (m,) = _skerrow.parse_all_bytes(flipped)
                    assert _fields(m) == _fields(_skerrow.parse_bytes(flipped))


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=200))
def test_arbitrary_bytes_parse_or_raise_value_error(data):
    for candidate in (data, b"BUFR" + data, frame(data)):
        for function in (_skerrow.parse_bytes, _skerrow.parse_all_bytes):
            try:
                function(candidate)
            except ValueError:
                pass
