"""Compressed data: columns of one value per subset, laid out subset by
subset."""

import random

import pytest
from decode_support import bits, decode, items, table_dir

import _skerrow
from conftest import PARSE



@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    return _skerrow.TableSet.from_eccodes(table_dir(tmp_path_factory.mktemp("t")))


def comp(tables, descriptors, *fields, subsets=2):
    return decode(tables, descriptors, bits(*fields), subsets=subsets, compressed=True)


@pytest.mark.parametrize(
    "code,width,r0,increments,expect",
    [
        (5001, 12, 1000, [0, 5], [(1000, 90.0), (1005, 90.5)]),
        (5001, 12, 1000, [0, 7], [(1000, 90.0), (1000, None)]),  # all ones: missing, raw R0
        (31001, 8, 200, [0, 7], [(200, 200.0), (207, 207.0)]),  # class 31 is never missing
        # 64 bits have no missing code: all ones is a number.
        (11002, 64, 2**64 - 1, [0, 0], [(2**64 - 1, 2.0**64)] * 2),
    ],
)
def test_numeric_column(tables, code, width, r0, increments, expect):
    values = comp(tables, [code], (r0, width), (3, 6), *[(i, 3) for i in increments])
    assert [(v.raw, v.raw_value) for v in values] == expect


def test_missing_reference_makes_every_subset_missing(tables):
    values = comp(tables, [5001, 31001], (4095, 12), (0, 6), (255, 8), (0, 6), subsets=3)
    assert [(v.descriptor, v.raw, v.raw_value) for v in values] == [
        (5001, 4095, None), (31001, 255, 255.0)
    ] * 3


def test_code_table_meaning_for_every_subset(tables):
    a, b = comp(tables, [20003], (5, 9), (2, 6), (0, 2), (3, 2))
    assert (a.raw, a.raw_value, a.raw_meaning, a.data) == (5, 5.0, "HAZE", "HAZE")
    assert (b.raw, b.raw_value, b.raw_meaning, b.data) == (5, None, "HAZE", "HAZE")


def test_zero_width_column_reads_only_nbinc(tables):
    values = comp(tables, [201121, 1001, 201000, 1001], (0, 6), (9, 7), (0, 6))
    assert items(values) == [(1001, 0, None, None), (1001, 9, 9.0, None)] * 2


@pytest.mark.parametrize(
    "fields,texts",
    [
        ([b"AB ", (0, 6)], ["AB", "AB", "AB"]),
        ([b"XXX", (2, 6), b"AB", b"\xff\xff", b"\xc3A"], ["AB", None, "?A"]),
    ],
)
def test_character_column(tables, fields, texts):
    values = comp(tables, [1015], *fields, subsets=3)
    assert [v.raw_text for v in values] == texts
    assert [v.raw_value for v in values] == [1003.0, 2003.0, 3003.0]
    assert all(v.raw is None for v in values)


# A text of 9 bits: its last octet holds one bit, left-aligned (0x80).
@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
def test_text_with_a_partial_last_octet(tmp_path, compressed):
    tables = _skerrow.TableSet.from_eccodes(table_dir(
        tmp_path, elements={1015: "stationName|string|STATION NAME|CCITT IA5|0|0|9"},
        sequences={}, code_tables={}))
    fields = [b"A", (1, 1)] + ([(0, 6)] if compressed else [])
    [v] = decode(tables, [1015], bits(*fields), compressed=compressed)
    assert (v.raw_text, v.raw_value) == ("A?", 1001.0)


def test_locators_count_columns(tables):
    values = comp(tables, [1015, 1015], b"AAA", (0, 6), b"BBB", (0, 6), subsets=3)
    assert [v.raw_value for v in values] == [1003.0, 4003.0, 2003.0, 5003.0, 3003.0, 6003.0]


def test_layout_is_subset_by_subset(tables):
    values = comp(tables, [1001, 222000, 5001], (1, 7), (2, 6), (0, 2), (1, 2),
                  (200, 12), (0, 6))
    assert [(v.descriptor, v.raw) for v in values] == [
        (1001, 1), (222000, 0), (5001, 200), (1001, 2), (222000, 0), (5001, 200)
    ]


@pytest.mark.parametrize(
    "factor_fields,expect",
    [
        ([(2, 8), (0, 6)], 2),
        ([(255, 8), (0, 6)], 255),  # class 31: all ones is 255
    ],
)
def test_delayed_replication_with_equal_factors(tables, factor_fields, expect):
    # Each repetition is a constant column of its own value, in order.
    reps = [field for k in range(expect) for field in ((k % 128, 7), (0, 6))]
    values = comp(tables, [101000, 31001, 1001], *factor_fields, *reps, subsets=3)
    subset = [(31001, expect, float(expect))] + [(1001, k % 128, float(k % 128))
                                                  for k in range(expect)]
    # 127 is all ones in 7 bits: missing.
    subset = [(c, r, None if c == 1001 and r == 127 else v) for c, r, v in subset]
    assert [(v.descriptor, v.raw, v.raw_value) for v in values] == subset * 3


@pytest.mark.parametrize(
    "descriptors,fields,outcome",
    [
        ([101000, 31001, 1001], [(2, 8), (1, 6), (0, 1), (1, 1)], "vary"),
        # A factor element outside class 31 can be missing: first present,
        # second missing varies; a missing first gives factor 0.
        ([101000, 1001, 5001], [(2, 7), (1, 6), (0, 1), (1, 1)], "vary"),
        ([101000, 1001, 5001], [(127, 7), (0, 6)], 0),
    ],
)
def test_varying_factors(tables, descriptors, fields, outcome):
    if outcome == "vary":
        with pytest.raises(ValueError) as info:
            comp(tables, descriptors, *fields)
        assert info.value.args == (
            PARSE + "compressed delayed replication with varying factors is not implemented",
        )
    else:
        assert len(comp(tables, descriptors, *fields)) == 2


def test_zero_subsets_still_read_every_item(tables):
    assert comp(tables, [1001, 101000, 31001, 1001], (1, 7), (0, 6), (3, 8), (0, 6), subsets=0) == []
    with pytest.raises(ValueError, match="not enough bits"):
        comp(tables, [1001, 1001], (1, 7), (0, 6), subsets=0)


def test_associated_field_column(tables):
    values = comp(tables, [204008, 31021, 1001], (1, 6), (0, 6), (200, 8), (1, 6), (0, 1), (1, 1),
                  (5, 7), (0, 6))
    assert [(v.descriptor, v.name, v.raw) for v in values] == [
        (31021, "ASSOCIATED FIELD SIGNIFICANCE", 1), (999999, "associatedField", 200),
        (1001, "WMO BLOCK NUMBER", 5),
        (31021, "ASSOCIATED FIELD SIGNIFICANCE", 1), (999999, "associatedField", 201),
        (1001, "WMO BLOCK NUMBER", 5),
    ]


def test_operator_columns(tables):
    values = comp(tables, [222000], subsets=3)
    assert items(values) == [(222000, 0, 0.0, None)] * 3


def test_signify_character_column(tables):
    values = comp(tables, [205002, 1015], b"XY", (2, 6), b"AB", b"CD", b"ABC", (0, 6))
    assert [(v.descriptor, v.name, v.raw_text, v.raw_value) for v in values] == [
        (205002, "signifyCharacter", "AB", 1002.0), (1015, "STATION NAME", "ABC", 3003.0),
        (205002, "signifyCharacter", "CD", 2002.0), (1015, "STATION NAME", "ABC", 4003.0),
    ]


def test_new_reference_values_have_no_increments(tables):
    # The new reference is read once, YYY bits, with no increment width.
    values = comp(tables, [203010, 5001, 203255, 5001], (1, 1), (50, 9), (523, 12), (0, 6))
    assert [v.raw_value for v in values] == [47.3, 47.3]


def test_bitmap_in_compressed_data(tables):
    values = comp(
        tables,
        [1001, 1001, 236000, 101000, 31001, 31031, 223000, 223255],
        (1, 7), (0, 6), (2, 7), (0, 6), (2, 8), (0, 6), (1, 1), (0, 6), (0, 1), (0, 6),
        (40, 7), (2, 6), (0, 2), (1, 2),
    )
    # Bitmap (1, 0) anchored after the two elements: the marker takes the
    # second 001001, one value per subset.
    common = [(1001, 1), (1001, 2), (236000, 0), (31001, 2), (31031, 1), (31031, 0), (223000, 0)]
    assert [(v.descriptor, v.raw) for v in values] == common + [(1001, 40)] + common + [(1001, 41)]


@pytest.mark.parametrize("depth,ok", [(64, True), (65, False)])
def test_compressed_nesting_limit(tmp_path, depth, ok):
    seqs = {301000 + k: [301000 + k + 1] for k in range(1, depth)}
    seqs[301000 + depth] = [1001]
    t = _skerrow.TableSet.from_eccodes(table_dir(tmp_path, sequences=seqs))
    data = bits((5, 7), (0, 6))
    if ok:
        assert len(decode(t, [301001], data, subsets=2, compressed=True)) == 2
    else:
        with pytest.raises(ValueError) as info:
            decode(t, [301001], data, subsets=2, compressed=True)
        assert info.value.args == (PARSE + "compressed descriptor decode exceeded recursion depth",)


def test_nbinc_read_past_the_end(tables):
    with pytest.raises(ValueError) as info:
        comp(tables, [1001], (1, 7))
    assert info.value.args == (
        PARSE + "not enough bits while reading section 4 at bit 7 for width 6 (8 bits available)",
    )


@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
def test_associated_field_before_a_delayed_replication_factor(tables, compressed):
    # A factor outside class 31 carries the associated field in uncompressed
    # data only; compressed data has no column for it.
    descriptors = [204002, 101000, 1001, 31021, 204000]
    if compressed:
        values = comp(tables, descriptors, (1, 7), (0, 6), (9, 6), (0, 6), subsets=1)
        assert items(values) == [(1001, 1, 1.0, None), (31021, 9, 9.0, None)]
    else:
        values = decode(tables, descriptors, bits((3, 2), (1, 7), (9, 6)))
        assert items(values) == [(999999, 3, 3.0, None), (1001, 1, 1.0, None),
                                 (31021, 9, 9.0, None)]


def test_bitmap_entry_of_zero_subsets_marks_data_present(tables):
    # Without subsets a 031031 column has no value; its entry counts as 0, so
    # the marker still reads its (empty) column: reference and NBINC.
    descriptors = [1001, 236000, 101001, 31031, 223000, 223255]
    fields = [(5, 7), (0, 6), (0, 1), (0, 6)]
    assert comp(tables, descriptors, *fields, (5, 7), (0, 6), subsets=0) == []
    with pytest.raises(ValueError, match="not enough bits"):
        comp(tables, descriptors + [1001], *fields, (5, 7), (0, 6), subsets=0)
    with pytest.raises(ValueError, match="not enough bits"):
        comp(tables, descriptors, *fields, subsets=0)


@pytest.mark.parametrize("operators,ok", [(2, True), (3, False), (63, False)])
def test_operator_values_that_read_no_bits_are_bounded(tables, operators, ok):
    # 65535 subsets make each operator descriptor 65535 values for no bits of
    # data: a message of 173 octets asked for 4 million of them. Two full
    # columns are allowed beyond one value per bit of section 4.
    descriptors = [222000] * operators
    if ok:
        assert len(comp(tables, descriptors, subsets=65535)) == operators * 65535
    else:
        with pytest.raises(ValueError, match=f"^{PARSE}decoding exceeds the bound on operator "
                                             "values of the message \\(131072 values for 0 bits"):
            comp(tables, descriptors, subsets=65535)


# Elements of every kind of plain read: negative reference (5001), negative
# scale (7004), class 31 (never missing), code and flag tables, and widths
# at the edge of exact 64-bit sums (11001: 63 bits; 11002: 64).
PLAIN = [(1001, 7), (12101, 16), (5001, 12), (7004, 14), (31001, 8), (20003, 9),
         (2002, 4), (33007, 7), (11001, 63), (11002, 64)]


@pytest.mark.parametrize("seed", range(6))
def test_uncompressed_values_equal_the_compressed_encoding_of_the_same_subset(tables, seed):
    # Uncompressed numbers are read one by one, compressed columns by a loop
    # of their own over the increments: both must give the same records.
    rng = random.Random(seed)
    raws = []
    for _, width in PLAIN:
        kind = rng.randrange(4)
        raws.append((1 << width) - 1 if kind == 0 else 5 if kind == 1 else rng.randrange(1 << width))
    descriptors = [code for code, _ in PLAIN]
    plain = decode(tables, descriptors, bits(*[(raw, w) for raw, (_, w) in zip(raws, PLAIN)]))
    packed = [field for raw, (_, w) in zip(raws, PLAIN) for field in ((raw, w), (0, 6))]
    compressed = comp(tables, descriptors, *packed, subsets=1)
    assert [(v.descriptor, v.raw, v.raw_value, v.raw_meaning) for v in plain] == \
        [(v.descriptor, v.raw, v.raw_value, v.raw_meaning) for v in compressed]
