"""The DecodedValue class and the three decoding functions as Python sees
them: argument rules, errors, attributes and text forms."""

import gc
import pathlib
import sys

import pytest
from bufr_builder import Message
from conftest import CORPUS, ECCODES_DEFINITIONS, needs_corpus, needs_eccodes
from decode_support import bits, decode, table_dir

import _skerrow
from _skerrow import DecodedValue

REPR_ELEMENTS = {
    1001: "blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|14",
    1015: "stationName|string|STATION NAME|CCITT IA5|0|0|80",
    10001: "a|double|A|u|5|0|8",
    10002: "b|double|B|u|6|0|8",
    10003: "c|long|C|u|0|10000000000000000|2",
    10004: "d|long|D|u|0|-100000000000000000|1",
    10005: "e|long|E|u|0|12345678901234567|1",
    12101: "airTemperature|double|TEMPERATURE|K|2|0|16",
    20003: "presentWeather|table|PRESENT WEATHER|CODE TABLE|0|0|9",
}


@pytest.fixture(scope="module")
def tdir(tmp_path_factory):
    return table_dir(
        tmp_path_factory.mktemp("t"),
        elements=REPR_ELEMENTS,
        code_tables={
            20003: '5 5 HAZE\n7 7 caf\u00e9\u00adx\u0301 "q" \\ \u200b\n'
            # Halfwidth HA with its voiced sound mark; Bengali KA with the
            # vowel sign AA: both signs extend the letter before them.
            '9 9 \uff8a\uff9e \u0995\u09be\n'
        },
    )


@pytest.fixture(scope="module")
def tables(tdir):
    return _skerrow.TableSet.from_eccodes(tdir)


def simple_message(**kw) -> bytes:
    return Message(descriptors=[1001], data=bits((6, 14)), **kw).build()


# --------------------------------------------------------------- the functions


def test_three_functions_agree(tdir, tables):
    data = simple_message()
    for values in (
        _skerrow.decode_values(data, tdir),
        _skerrow.decode_values(data=data, table_dir=tdir),
        _skerrow.decode_values_with_tables(data, tables),
        _skerrow.decode_values_with_tables(tables=tables, data=data),
    ):
        assert [(v.descriptor, v.raw, v.raw_value) for v in values] == [(1001, 6, 6.0)]


@pytest.mark.parametrize(
    "call",
    [
        lambda d, t, ts: _skerrow.decode_values(bytearray(d), t),
        lambda d, t, ts: _skerrow.decode_values(memoryview(d), t),
        lambda d, t, ts: _skerrow.decode_values(d, pathlib.Path(t)),
        lambda d, t, ts: _skerrow.decode_values(d, t.encode()),
        lambda d, t, ts: _skerrow.decode_values(d),
        lambda d, t, ts: _skerrow.decode_values(d, t, t),
        lambda d, t, ts: _skerrow.decode_values(d, table_dir=t, nope=1),
        lambda d, t, ts: _skerrow.decode_values(d, data=d),
        lambda d, t, ts: _skerrow.decode_values_with_tables(d, t),
        lambda d, t, ts: _skerrow.decode_values_with_tables(bytearray(d), ts),
        lambda d, t, ts: _skerrow.decode_values_with_definitions(d, pathlib.Path(t)),
        lambda d, t, ts: _skerrow.decode_values_with_definitions(d, None),
    ],
)
def test_argument_types(tdir, tables, call):
    with pytest.raises(TypeError):
        call(simple_message(), tdir, tables)


def test_type_error_names_the_parameter(tdir, tables):
    with pytest.raises(TypeError, match="'tables'"):
        _skerrow.decode_values_with_tables(simple_message(), tdir)
    with pytest.raises(TypeError, match="'data'"):
        _skerrow.decode_values_with_tables(bytearray(), tables)
    with pytest.raises(TypeError, match="'definitions_root'"):
        _skerrow.decode_values_with_definitions(b"", 1)


def test_arguments_are_converted_before_any_work(tdir):
    # Bad data but a wrong table_dir type: TypeError, not the data's error.
    with pytest.raises(TypeError):
        _skerrow.decode_values(b"", 5)


def test_bytes_subclass_and_str_subclass(tdir):
    class B(bytes):
        pass

    class S(str):
        pass

    assert len(_skerrow.decode_values(B(simple_message()), S(tdir))) == 1


@pytest.mark.parametrize(
    "data,message",
    [
        (b"", "missing BUFR marker"),
        (b"no marker here at all", "missing BUFR marker"),
        (b"xxBUFR\x00", "message is too short to be BUFR"),
    ],
)
def test_no_message(tables, data, message):
    with pytest.raises(ValueError) as info:
        _skerrow.decode_values_with_tables(data, tables)
    assert info.value.args == (message,)


def test_a_broken_later_message_fails_the_call(tables):
    first = simple_message()
    second = Message(descriptors=[1001], data=bits((7, 14))).build()
    with pytest.raises(ValueError) as info:
        _skerrow.decode_values_with_tables(first + b"junk" + second[:-3], tables)
    assert info.value.args == (f"section 0 at offset {len(first) + 4} is truncated",)
    values = _skerrow.decode_values_with_tables(first + b"junk" + second + b"tail", tables)
    assert [v.raw for v in values] == [6]


def test_message_errors_come_before_table_errors(tmp_path):
    bad = simple_message()[:-1] + b"8"
    with pytest.raises(ValueError, match="^section 5 terminator is not 7777$"):
        _skerrow.decode_values(bad, str(tmp_path / "nowhere"))
    with pytest.raises(ValueError, match="^csv/table parse error: .*nowhere/element.table"):
        _skerrow.decode_values(simple_message(), str(tmp_path / "nowhere"))


def test_zero_subsets(tables):
    assert _skerrow.decode_values_with_tables(simple_message(subsets=0), tables) == []


@needs_corpus
@needs_eccodes
def test_with_definitions_chooses_the_tables():
    data = (CORPUS / "dballe-synop-001.bufr").read_bytes()
    values = _skerrow.decode_values_with_definitions(data, str(ECCODES_DEFINITIONS))
    by_code = {v.descriptor: v for v in values}
    # Station 07181 (NANCY-OCHEY), hand-read from the message.
    assert (by_code[1001].raw_value, by_code[1002].raw_value) == (7.0, 181.0)
    assert by_code[1015].raw_text == "NANCY-OCHEY"
    assert by_code[2001].raw_meaning == "MANNED STATION"


# --------------------------------------------------------------- DecodedValue


def test_class_is_sealed(tables):
    [v] = _skerrow.decode_values_with_tables(simple_message(), tables)
    assert type(v) is DecodedValue
    assert DecodedValue.__module__ == "_skerrow"
    with pytest.raises(TypeError):
        DecodedValue()
    with pytest.raises(TypeError):
        type("Sub", (DecodedValue,), {})
    for name in ("descriptor", "name", "raw", "raw_value", "raw_text", "raw_meaning", "data"):
        with pytest.raises(AttributeError):
            setattr(v, name, 1)
    with pytest.raises(AttributeError):
        v.other = 1
    assert v == v and v != _skerrow.decode_values_with_tables(simple_message(), tables)[0]


def test_small_objects_share_their_names(tables):
    values = decode(tables, [1001] * 3, bits((1, 14), (2, 14), (3, 14)))
    assert sys.getsizeof(values[0]) <= 64
    assert values[0].name is values[2].name
    assert values[0].name == "WMO BLOCK NUMBER"


def test_values_outlive_the_table_set(tdir):
    values = _skerrow.decode_values(simple_message(), tdir)
    assert values[0].name == "WMO BLOCK NUMBER"


@pytest.mark.parametrize(
    "code,field,text",
    [
        (1001, (6, 14), "DecodedValue(001001, Some(6.0))"),
        (1001, (12345, 14), "DecodedValue(001001, Some(12345.0))"),
        (1001, (16383, 14), "DecodedValue(001001, None)"),
        (12101, (27315, 16), "DecodedValue(012101, Some(273.15))"),
        (10001, (1, 8), "DecodedValue(010001, Some(1e-5))"),
        (10001, (15, 8), "DecodedValue(010001, Some(0.00015))"),
        (10001, (10, 8), "DecodedValue(010001, Some(0.0001))"),
        (10002, (15, 8), "DecodedValue(010002, Some(1.5e-5))"),
        (10003, (0, 2), "DecodedValue(010003, Some(1e16))"),
        (10003, (2, 2), "DecodedValue(010003, Some(1.0000000000000002e16))"),
        (10004, (0, 1), "DecodedValue(010004, Some(-1e17))"),
        (10005, (0, 1), "DecodedValue(010005, Some(1.2345678901234568e16))"),
        (20003, (5, 9), 'DecodedValue(020003, "HAZE")'),
        (20003, (7, 9), 'DecodedValue(020003, "caf\u00e9\\u{ad}x\\u{301} \\"q\\" \\\\ \\u{200b}")'),
        (20003, (9, 9), 'DecodedValue(020003, "\uff8a\\u{ff9e} \u0995\\u{9be}")'),
    ],
)
def test_repr(tables, code, field, text):
    [v] = decode(tables, [code], bits(field))
    assert repr(v) == text
    assert str(v) == text


def test_repr_escapes_in_texts(tables):
    [v] = decode(tables, [1015], bits(b'A\t"\\\x0b\r\n\x00Z\x7f'))
    assert v.raw_text == 'A\t"\\\x0b\r\n\x00Z\x7f'
    assert repr(v) == 'DecodedValue(001015, "A\\t\\"\\\\\\u{b}\\r\\n\\0Z\\u{7f}")'


def test_repr_of_a_missing_text(tables):
    [v] = decode(tables, [1015], bits(b"\xff" * 10))
    assert (repr(v), v.raw, v.raw_text, v.data) == ("DecodedValue(001015, Some(1010.0))", None, None,
                                                    1010.0)


def test_repr_of_an_associated_field(tables):
    values = decode(tables, [204003, 1001], bits((7, 3), (6, 14)))
    assert [repr(v) for v in values] == [
        "DecodedValue(999999, Some(7.0))", "DecodedValue(001001, Some(6.0))"
    ]


def test_data_prefers_text_then_meaning_then_value(tables):
    a, b, c, d = decode(tables, [1015, 20003, 20003, 1001],
                        bits(b"HELLO     ", (5, 9), (6, 9), (16383, 14)))
    assert (a.data, b.data, c.data, d.data) == ("HELLO", "HAZE", 6.0, None)
    assert (b.raw_value, b.raw_meaning) == (5.0, "HAZE")


def test_failed_decoding_leaves_no_references(tables):
    data = Message(descriptors=[1001] * 3, data=bits((1, 14))).build()
    # Frames of earlier failed tests may hold the tables in garbage cycles
    # that a collection during the loop would free.
    gc.collect()
    before = sys.getrefcount(tables)
    for _ in range(50):
        with pytest.raises(ValueError):
            _skerrow.decode_values_with_tables(data, tables)
    gc.collect()
    assert sys.getrefcount(tables) == before


# --------------------------------------------------------------- expand_descriptors


@pytest.mark.parametrize("item", ["001001", 1001.0, None, b"\x01"])
def test_expand_descriptors_item_type_error_names_the_parameter(tdir, item):
    with pytest.raises(TypeError, match="'descriptors'"):
        _skerrow.expand_descriptors(tdir, [1001, item])
