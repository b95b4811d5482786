"""Uncompressed data: elements, replication, operators, bitmaps, and the
operators the WMO regulations define that a bare walk would misread."""

import pytest
from decode_support import ELEMENTS, bits, decode, items, table_dir

import _skerrow
from conftest import PARSE



@pytest.fixture(scope="module")
def tables(tmp_path_factory):
    return _skerrow.TableSet.from_eccodes(table_dir(tmp_path_factory.mktemp("t")))


def one(tables, descriptors, *fields, subsets=1):
    return decode(tables, descriptors, bits(*fields), subsets=subsets)


# --------------------------------------------------------------- elements


@pytest.mark.parametrize(
    "code,field,raw,value",
    [
        (5001, (523, 12), 523, 42.3),  # (523 - 100) / 10
        (5001, (4095, 12), 4095, None),  # all ones: missing
        (12101, (27315, 16), 27315, 273.15),
        (1001, (127, 7), 127, None),
        (31001, (255, 8), 255, 255.0),  # class 31 is never missing
        (7004, (10132, 14), 10132, 101320.0),  # scale -1 divides by 0.1
    ],
)
def test_numeric_element(tables, code, field, raw, value):
    [v] = one(tables, [code], field)
    assert (v.descriptor, v.raw, v.raw_value, v.raw_text, v.raw_meaning) == (
        code, raw, value, None, None
    )


@pytest.mark.parametrize(
    "octets,text",
    [
        (b"A  ", "A"),
        (b"A\xc9 ", "A?"),
        (b"\xff\xff\xff", None),
        (b"\xffAB", "?AB"),  # missing only when every octet is all ones
        (b"   ", ""),
        (b" \x00B", " \x00B"),
        (b"AB\t", "AB"),
    ],
)
def test_character_element(tables, octets, text):
    [v] = one(tables, [1015], octets)
    assert (v.raw, v.raw_value, v.raw_text, v.raw_meaning) == (None, 1003.0, text, None)
    assert v.data == (text if text is not None else 1003.0)


def test_character_locator_runs_on_across_subsets(tables):
    values = one(tables, [1015, 1015], b"ABC", b"DEF", b"GHI", b"\xff\xff\xff", subsets=2)
    assert [v.raw_value for v in values] == [1003.0, 2003.0, 3003.0, 4003.0]
    assert [v.raw_text for v in values] == ["ABC", "DEF", "GHI", None]


def test_code_table_meaning_also_for_missing_values(tables):
    a, b, c = one(tables, [20003, 20003, 20003], (5, 9), (511, 9), (6, 9))
    assert (a.raw_value, a.raw_meaning, a.data) == (5.0, "HAZE", "HAZE")
    assert (b.raw_value, b.raw_meaning, b.data) == (None, "MISSING CODE", "MISSING CODE")
    assert (c.raw_meaning, c.data) == (None, 6.0)


@pytest.mark.parametrize("raw", [1, 2, 3])
def test_flag_tables_get_no_meaning(tables, raw):
    # The table is keyed by bit number: the value 1 is not "bit 1".
    [v] = one(tables, [2002], (raw, 4))
    assert (v.raw, v.raw_value, v.raw_meaning) == (raw, float(raw), None)
    assert tables.get_meaning(2002, 1) == "BIT ONE"


def test_element_not_in_table_b(tables):
    with pytest.raises(ValueError, match="^descriptor 012199 was not found in Table B$"):
        one(tables, [12199], (0, 8))


# --------------------------------------------------------------- replication


def test_fixed_replication(tables):
    values = one(tables, [102003, 1001, 5001], *[(k, 7) if i % 2 == 0 else (k, 12)
                                                  for i, k in enumerate(range(6))])
    assert [v.descriptor for v in values] == [1001, 5001] * 3
    assert [v.raw for v in values] == [0, 1, 2, 3, 4, 5]


@pytest.mark.parametrize("factor", [0, 1, 3])
def test_delayed_replication(tables, factor):
    values = one(tables, [101000, 31001, 1001, 1001], (factor, 8),
                 *[(k + 1, 7) for k in range(factor)], (99, 7))
    assert [v.descriptor for v in values] == [31001] + [1001] * (factor + 1)
    assert [v.raw for v in values] == [factor] + list(range(1, factor + 1)) + [99]


# A factor that is no number (a table that makes it text) replicates nothing.
@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
def test_delayed_replication_factor_that_is_text(tmp_path, compressed):
    tables = _skerrow.TableSet.from_eccodes(table_dir(
        tmp_path, elements={31001: "factor|string|FACTOR AS TEXT|CCITT IA5|0|0|8",
                            1001: ELEMENTS[1001]}, sequences={}, code_tables={}))
    fields = [b"A", (5, 7)] if not compressed else [b"A", (0, 6), (5, 7), (0, 6)]
    values = decode(tables, [101000, 31001, 1001, 1001], bits(*fields), compressed=compressed)
    assert [(v.descriptor, v.raw_text, v.raw) for v in values] == [(31001, "A", None), (1001, None, 5)]


@pytest.mark.parametrize(
    "descriptors,message",
    [
        ([101000, 31001], "delayed replication descriptor 101000 is missing its replication "
                          "factor or replicated descriptors"),
        ([102000, 31001], "unsupported replication descriptor 102000"),
        ([100000, 1001, 1001], "unsupported replication descriptor 100000"),
        ([103002, 1001, 1001], "unsupported replication descriptor 103002"),
        ([301199], "descriptor 301199 was not found in Table D"),
        ([300001], PARSE + "descriptor decode exceeded recursion depth"),
        ([101000, 12199, 1001], "descriptor 012199 was not found in Table B"),
    ],
)
def test_structure_errors(tables, descriptors, message):
    with pytest.raises(ValueError) as info:
        one(tables, descriptors, (1, 8), (1, 7), (1, 7))
    assert info.value.args == (message,)


def test_invalid_descriptor_from_table_d(tmp_path):
    t = _skerrow.TableSet.from_eccodes(table_dir(tmp_path, sequences={301005: [1001, 400000]}))
    with pytest.raises(ValueError, match=f"^{PARSE}invalid descriptor 400000$"):
        decode(t, [301005], bits((1, 7)))


@pytest.mark.parametrize("depth,ok", [(64, True), (65, False)])
def test_nesting_limit(tmp_path, depth, ok):
    # 3-01-001 .. 3-01-depth each hold the next; the last holds 001001.
    seqs = {301000 + k: [301000 + k + 1] for k in range(1, depth)}
    seqs[301000 + depth] = [1001]
    t = _skerrow.TableSet.from_eccodes(table_dir(tmp_path, sequences=seqs))
    if ok:
        assert [v.raw for v in decode(t, [301001], bits((5, 7)))] == [5]
    else:
        with pytest.raises(ValueError, match="exceeded recursion depth"):
            decode(t, [301001], bits((5, 7)))


# --------------------------------------------------------------- operators


@pytest.mark.parametrize(
    "ops,fields,raw,value",
    [
        ([201130], [(1000, 18)], 1000, 10.0),  # 16 + 2 bits
        ([201130, 201000], [(1000, 16)], 1000, 10.0),
        ([202129], [(1000, 16)], 1000, 1.0),  # scale 2 + 1
        ([202127], [(1000, 16)], 1000, 100.0),  # scale 2 - 1
        ([206012], [(1000, 12)], 1000, 10.0),
        ([206012], [(4095, 12)], 4095, None),
        ([207002], [(1000, 23)], 1000, 0.1),  # 16 + 7 bits, scale 4
        ([207002, 207000], [(1000, 16)], 1000, 10.0),
    ],
)
def test_width_scale_operators(tables, ops, fields, raw, value):
    values = one(tables, ops + [12101], *fields)
    assert [(v.raw, v.raw_value) for v in values] == [(raw, value)]


def test_two_zero_seven_multiplies_the_reference(tables):
    # Width 12 + 7, scale 1 + 2, reference -100 * 100.
    [v] = one(tables, [207002, 5001], (10523, 19))
    assert (v.raw, v.raw_value) == (10523, 0.523)


def test_local_width_governs_one_element(tables):
    values = one(tables, [206003, 1001, 1001], (5, 3), (100, 7))
    assert [v.raw for v in values] == [5, 100]


@pytest.mark.parametrize(
    "ops",
    [[201130], [202129], [207002]],
)
def test_code_and_flag_tables_keep_their_width_scale_and_reference(tables, ops):
    values = one(tables, ops + [20003, 2002, 8001], (5, 9), (2, 4), (32, 7))
    assert [(v.raw, v.raw_value, v.raw_meaning) for v in values] == [
        (5, 5.0, "HAZE"), (2, 2.0, None), (32, 32.0, "SIGNIFICANT")
    ]


@pytest.mark.parametrize(
    "unit,is_table,meaning",
    [
        ("Common CODE TABLE C-1", True, "CENTRE FIVE"),
        ("CODE TABLE defined by originating/generating centre", True, "CENTRE FIVE"),
        ("code table", True, "CENTRE FIVE"),
        ("Flag table (local)", True, None),  # flag tables have no whole-value meaning
        ("Code", False, None),  # not a table unit: 2-01-130 widens it to 10 bits
    ],
)
def test_units_that_name_a_code_or_flag_table(tmp_path, unit, is_table, meaning):
    tables = _skerrow.TableSet.from_eccodes(table_dir(
        tmp_path, elements={1033: f"centre|table|ORIGINATING CENTRE|{unit}|0|0|8"},
        sequences={}, code_tables={1033: "5 5 CENTRE FIVE\n"}))
    # 201130 (two more bits) and 202129 (scale one more) leave table
    # entries alone: 8 bits with scale 0, so the code reads as 5.
    fields = (5, 8) if is_table else (5 << 2, 10)
    [v] = one(tables, [201130, 202129, 1033], fields)
    if is_table:
        assert (v.raw, v.raw_value, v.raw_meaning) == (5, 5.0, meaning)
    else:
        assert (v.raw, v.raw_value, v.raw_meaning) == (20, 2.0, None)


def test_local_width_still_applies_to_code_tables(tables):
    [v] = one(tables, [206004, 20003], (5, 4))
    assert (v.raw, v.raw_meaning) == (5, "HAZE")


def test_character_width_operator(tables):
    values = one(tables, [208005, 1015, 208000, 1015], b"HELLO", b"ABC")
    assert [v.raw_text for v in values] == ["HELLO", "ABC"]
    assert [v.raw_value for v in values] == [1005.0, 2003.0]


def test_associated_field(tables):
    values = one(tables, [204002, 31021, 12101, 101000, 31001, 1001, 204000, 1001],
                 (1, 6), (3, 2), (27315, 16), (1, 8), (1, 2), (7, 7), (9, 7))
    assert [(v.descriptor, v.name, v.raw, v.raw_value) for v in values] == [
        (31021, "ASSOCIATED FIELD SIGNIFICANCE", 1, 1.0),
        (999999, "associatedField", 3, 3.0),
        (12101, "TEMPERATURE", 27315, 273.15),
        (31001, "DELAYED DESCRIPTOR REPLICATION FACTOR", 1, 1.0),
        (999999, "associatedField", 1, 1.0),
        (1001, "WMO BLOCK NUMBER", 7, 7.0),
        (1001, "WMO BLOCK NUMBER", 9, 9.0),
    ]


def test_associated_field_ends_with_its_subset(tables):
    # 2-04-008 is still in force when the first subset ends; the second
    # subset starts without it, so its first temperature has no field.
    descriptors = [12101, 204008, 31021, 12101]
    data = bits((28815, 16), (1, 6), (5, 8), (28915, 16), (29015, 16), (1, 6), (6, 8), (29115, 16))
    values = decode(tables, descriptors, data, subsets=2)
    assert [v.raw_value for v in values if v.descriptor == 12101] == [288.15, 289.15, 290.15, 291.15]
    assert [v.raw for v in values if v.descriptor == 999999] == [5, 6]


@pytest.mark.parametrize(
    "op,emits",
    [
        (222000, True), (222001, False), (223000, True), (224000, True), (225000, True),
        (232000, True), (226005, True), (227000, True), (229000, True), (230000, True),
        (231000, True), (233000, True), (234000, True), (235000, True), (235001, True),
        (236000, True), (236001, False), (237000, True), (237255, True), (238000, True),
        (239000, True), (240000, True), (241000, True), (242000, True), (262000, True),
        (262001, False), (200000, False), (210000, False), (228000, False), (243000, False),
        (263000, False), (205000, False), (209000, False), (221000, False),
    ],
)
def test_operator_values(tables, op, emits):
    values = one(tables, [op, 1001], (3, 7))
    expect = [(op, 0, 0.0, None)] if emits else []
    assert items(values) == expect + [(1001, 3, 3.0, None)]
    if emits:
        assert (values[0].name, repr(values[0])) == ("operator", f"DecodedValue({op}, Some(0.0))")


def test_operators_end_with_the_subset(tables):
    values = one(tables, [201130, 1001], (5, 9), subsets=1) + one(
        tables, [1001, 201130, 1001], (1, 7), (2, 9), (3, 7), (4, 9), subsets=2
    )
    assert [v.raw for v in values] == [5, 1, 2, 3, 4]


@pytest.mark.parametrize(
    "op,message",
    [
        (221005, "operator 221005 (data not present) is not supported"),
        (209032, "operator 209032 (IEEE floating point data) is not supported"),
    ],
)
def test_operators_that_shape_the_data_fail_clearly(tables, op, message):
    with pytest.raises(ValueError) as info:
        one(tables, [op, 1001], (3, 7))
    assert info.value.args == (PARSE + message,)


# --------------------------------------------------------------- 2-05 texts


def test_signify_character(tables):
    values = one(tables, [1015, 205003, 208010, 205002, 1015], b"AB ", b"XYZ", b"Q\xff", b"CDE       ")
    assert [(v.descriptor, v.name, v.raw, v.raw_value, v.raw_text) for v in values] == [
        (1015, "STATION NAME", None, 1003.0, "AB"),
        (205003, "signifyCharacter", None, 2003.0, "XYZ"),
        (205002, "signifyCharacter", None, 3002.0, "Q?"),  # 2-08 does not widen it
        (1015, "STATION NAME", None, 4010.0, "CDE"),
    ]


def test_signify_character_keeps_local_width_and_history(tables):
    # No associated field before the text; 2-06 still governs the element
    # after it; the text is not in the history the bitmap refers to.
    values = one(
        tables,
        [204001, 206003, 205001, 1001, 204000, 236000, 101000, 31001, 31031, 223000, 223255],
        b"Z", (1, 1), (5, 3), (1, 8), (0, 1), (6, 7),
    )
    assert [(v.descriptor, v.raw, v.raw_text) for v in values] == [
        (205001, None, "Z"), (999999, 1, None), (1001, 5, None), (236000, 0, None),
        (31001, 1, None), (31031, 0, None), (223000, 0, None), (1001, 6, None),
    ]


def test_missing_signify_character(tables):
    [v] = one(tables, [205002], b"\xff\xff")
    assert (v.raw_text, v.raw_value, v.data) == (None, 1002.0, 1002.0)


# --------------------------------------------------------------- 2-03 new references


def test_new_reference_values(tables):
    values = one(
        tables,
        [203010, 5001, 12101, 203255, 5001, 12101, 203000, 5001],
        (1, 1), (50, 9),  # 005001: -50
        (0, 1), (300, 9),  # 012101: +300
        (523, 12), (100, 16), (523, 12),
    )
    assert [(v.descriptor, v.raw, v.raw_value) for v in values] == [
        (5001, 523, 47.3),  # (523 - 50) / 10
        (12101, 100, 4.0),  # (100 + 300) / 100
        (5001, 523, 42.3),  # back to -100
    ]


def test_new_reference_is_multiplied_by_two_zero_seven(tables):
    # New reference -10, times 10 under 2-07-001; width 12 + 4, scale 1 + 1.
    [v] = one(tables, [207001, 203008, 5001, 203255, 5001], (1, 1), (10, 7), (40, 16))
    assert (v.raw, v.raw_value) == (40, -0.6)


def test_new_references_end_with_the_subset(tables):
    values = one(tables, [5001, 203010, 5001, 203255], (523, 12), (1, 1), (50, 9),
                 (523, 12), (1, 1), (50, 9), subsets=2)
    assert [v.raw_value for v in values] == [42.3, 42.3]


# A new reference is a sign bit and a magnitude of YYY - 1 bits; it must fit
# a signed 64-bit integer, and a magnitude wider than 64 bits is read in parts.
@pytest.mark.parametrize("op,sign,magnitude,reference", [
    (203065, 1, 2**63, -2**63),
    (203065, 0, 2**63 - 1, 2**63 - 1),
    (203065, 0, 2**63, None),
    (203065, 1, 2**63 + 1, None),
    (203100, 1, 7, -7),  # 99 bits: 64, then 35
    (203100, 0, 2**64 + 5, None),
    (203200, 0, 2**198, None),  # beyond 128 bits
])
def test_new_reference_values_at_the_edge_of_64_bits(tables, op, sign, magnitude, reference):
    fields = [(sign, 1), (magnitude, op - 203001), (523, 12)]
    if reference is None:
        with pytest.raises(ValueError) as info:
            one(tables, [op, 5001, 203255, 5001], *fields)
        assert info.value.args == (
            f"{PARSE}new reference value of operator {op} for 005001 does not fit in 64 bits",)
    else:
        [v] = one(tables, [op, 5001, 203255, 5001], *fields)
        assert (v.raw, v.raw_value) == (523, float(reference + 523) / 10.0)


# --------------------------------------------------------------- bitmaps


def six_elements():
    return [1001] * 6, [(k, 7) for k in (11, 12, 13, 14, 15, 16)]


def test_bitmap_markers_refer_back_through_the_history(tables):
    d, f = six_elements()
    values = one(
        tables,
        d + [236000, 101000, 31001, 31031, 223000, 223255, 223255, 223255],
        *f, (4, 8), (1, 1), (0, 1), (1, 1), (0, 1), (90, 7), (91, 7),
    )
    assert [(v.descriptor, v.raw) for v in values[6:]] == [
        (236000, 0), (31001, 4), (31031, 1), (31031, 0), (31031, 1), (31031, 0),
        (223000, 0), (1001, 90), (1001, 91),
    ]
    # The bitmap covers E3..E6 (start = 6 - 4 = 2), so entries 1 and 3
    # select E4 and E6; the third marker finds no entry and reads nothing.


def test_two_two_five_differences(tables):
    # A difference of 012101 (width 16) is 17 bits with reference -2^16.
    values = one(
        tables,
        [12101, 236000, 101000, 31001, 31031, 225000, 225255],
        (27315, 16), (1, 8), (0, 1), (65536 + 150, 17),
    )
    assert (values[-1].descriptor, values[-1].raw, values[-1].raw_value) == (12101, 65686, 1.5)


@pytest.mark.parametrize(
    "code,width,raw,value",
    [
        (11001, 63, 2**63 + 5, 5.0),  # reference -2^63, 64 bits
        (11001, 63, 0, -(2.0**63)),
    ],
)
def test_two_two_five_on_wide_elements_is_exact(tables, code, width, raw, value):
    values = one(
        tables,
        [code, 236000, 101000, 31001, 31031, 225000, 225255],
        (0, width), (1, 8), (0, 1), (raw, width + 1),
    )
    assert (values[-1].raw, values[-1].raw_value) == (raw, value)


def test_two_two_five_on_sixty_four_bits_reads_too_wide(tables):
    with pytest.raises(ValueError, match=f"^{PARSE}cannot read 65 bits into u64$"):
        one(tables, [11002, 236000, 101000, 31001, 31031, 225000, 225255],
            (0, 64), (1, 8), (0, 1), (0, 64), (0, 8))


# At the widest width Table B can give, a difference cannot grow by a bit:
# it keeps that width, too wide to read. (2-06 lets the element itself be read.)
def test_two_two_five_on_the_widest_element(tmp_path):
    tables = _skerrow.TableSet.from_eccodes(table_dir(
        tmp_path, elements={1: "wide|long|WIDE|u|0|0|65535", 31001: ELEMENTS[31001],
                            31031: ELEMENTS[31031]}, sequences={}, code_tables={}))
    with pytest.raises(ValueError) as info:
        decode(tables, [206008, 1, 236000, 101000, 31001, 31031, 225000, 225255],
               bits((5, 8), (1, 8), (0, 1)))
    assert info.value.args == (f"{PARSE}cannot read 65535 bits into u64",)


def test_second_marker_operator_restarts_with_two_three_seven(tables):
    d, f = six_elements()
    values = one(
        tables,
        d + [236000, 101000, 31001, 31031, 223000, 223255, 237000, 224000, 224255],
        *f, (2, 8), (0, 1), (1, 1), (50, 7), (51, 7),
    )
    # Bitmap of 2 entries anchored at 6: E5 (entry 0) both times.
    assert [(v.descriptor, v.raw) for v in values[-5:]] == [
        (223000, 0), (1001, 50), (237000, 0), (224000, 0), (1001, 51)
    ]


def test_bitmap_right_after_two_two_three_is_its_own(tables):
    # Without 2-36-000 the bitmap after 2-23-000 belongs to it and ends at
    # the last element before the operator: entries (1, 0) mark E6.
    d, f = six_elements()
    values = one(tables, d + [223000, 101000, 31001, 31031, 223255, 1001],
                 *f, (2, 8), (1, 1), (0, 1), (99, 7), (17, 7))
    assert [(v.descriptor, v.raw) for v in values[6:]] == [
        (223000, 0), (31001, 2), (31031, 1), (31031, 0), (1001, 99), (1001, 17)]


def test_bitmap_reference_outside_history(tables):
    with pytest.raises(ValueError, match=f"^{PARSE}bitmap reference is outside descriptor history$"):
        one(tables, [1001, 236000, 101000, 31001, 31031, 223000, 223255],
            (1, 7), (3, 8), (1, 1), (1, 1), (0, 1))


# --------------------------------------------------------------- 2-06 stand-in


def test_unknown_local_element_after_two_zero_six(tables):
    values = one(tables, [206010, 48197, 206004, 31197, 206008, 48197, 1001],
                 (1000, 10), (15, 4), (255, 8), (3, 7))
    assert [(v.descriptor, v.name, v.raw, v.raw_value, v.raw_meaning) for v in values] == [
        (48197, "unknown", 1000, 1000.0, None),
        (31197, "unknown", 15, 15.0, None),  # class 31: all ones is a value
        (48197, "unknown", 255, None, None),
        (1001, "WMO BLOCK NUMBER", 3, 3.0, None),
    ]


def test_stand_in_enters_the_history(tables):
    values = one(tables, [206006, 48197, 236000, 101000, 31001, 31031, 223000, 223255],
                 (33, 6), (1, 8), (0, 1), (34, 6))
    assert (values[-1].descriptor, values[-1].name, values[-1].raw) == (48197, "unknown", 34)


def test_unknown_element_without_two_zero_six(tables):
    with pytest.raises(ValueError, match="^descriptor 048197 was not found in Table B$"):
        one(tables, [48197], (0, 8))


# --------------------------------------------------------------- arithmetic and bounds


def test_two_zero_seven_with_large_y_is_exact(tables):
    # Under 2-06-010 the width is 10; reference -100 * 10^20, scale 1 + 20:
    # (-10^22 + 7) / 10^21 rounds to -10.0 only because the sum was exact
    # before it became a double.
    [v] = one(tables, [207020, 206010, 5001], (7, 10))
    assert (v.raw, v.raw_value) == (7, -10.0)


def test_zero_width_element(tables):
    # 2-01-121 takes 7 bits off the 7-bit block number: nothing is read, and
    # the value counts as missing; the 8-bit class 31 element keeps 1 bit.
    values = one(tables, [201121, 1001, 31001, 201000, 1001], (1, 1), (5, 7))
    assert items(values) == [(1001, 0, None, None), (31001, 1, 1.0, None), (1001, 5, 5.0, None)]


# The bounds for 64 bits of section 4: 16 units a bit plus 2^18, and one
# operator value a bit plus two columns of 65536.
@pytest.mark.parametrize("body,bound", [
    (201130, "the work bound of the message (263168 steps and values"),  # walk steps only
    (222000, "the bound on operator values of the message (131136 values"),  # no bits read
])
def test_huge_replication_factor_ends_in_a_bound(tables, body, bound):
    with pytest.raises(ValueError) as info:
        one(tables, [101000, 31002, body], (2**64 - 1, 64))
    assert info.value.args == (f"{PARSE}decoding exceeds {bound} for 64 bits of section 4)",)


def test_many_subsets_of_operators(tables):
    values = one(tables, [222000], subsets=65535)
    assert len(values) == 65535 and values[-1].descriptor == 222000


def test_zero_subsets(tables):
    assert one(tables, [1001], subsets=0) == []


def test_running_out_of_data(tables):
    with pytest.raises(ValueError) as info:
        one(tables, [1001, 12101], (1, 7))
    assert info.value.args == (
        PARSE + "not enough bits while reading section 4 at bit 7 for width 16 (8 bits available)",
    )


@pytest.mark.parametrize("compressed", [False, True], ids=["uncompressed", "compressed"])
@pytest.mark.parametrize("scale,ops,ok", [
    (-400, [], False),  # 10^-400 is 0 as a double: values would be 0/0
    (400, [], False),  # 10^400 is infinite
    (307, [], True),
    (200, [202255], False),  # 200 + 127 (the unit is no flag table here)
    (-307, [], True),
])
def test_scales_beyond_a_double(tmp_path, compressed, scale, ops, ok):
    tables = _skerrow.TableSet.from_eccodes(table_dir(
        tmp_path, elements={31031: f"dataPresentIndicator|flag|DATA PRESENT|"
                                   f"{'Numeric' if ops else 'FLAG TABLE'}|{scale}|0|1",
                            1001: "blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7"},
        sequences={}, code_tables={}))
    descriptors = ops + [1001, 236000, 101001, 31031, 223000, 223255]
    fields = [(5, 7), (0, 1), (6, 7)] if not compressed else [
        (5, 7), (0, 6), (0, 1), (0, 6), (6, 7), (0, 6)]
    if ok:
        values = decode(tables, descriptors, bits(*fields), compressed=compressed)
        assert [(v.descriptor, v.raw) for v in values][-1] == (1001, 6)
    else:
        with pytest.raises(ValueError, match=f"^{PARSE}scale {scale + 127 * bool(ops)} of element "
                                             "031031 is beyond what a double can represent$"):
            decode(tables, descriptors, bits(*fields), compressed=compressed)
