"""The Python face of the table model: TableSet, ElementDefinition,
SequenceDefinition and Descriptor."""

from __future__ import annotations

import inspect
import sys
from pathlib import Path

import pytest

import _skerrow
from _skerrow import Descriptor, ElementDefinition, SequenceDefinition, TableSet
from bufr_builder import message


def test_empty_table_set():
    t = TableSet()
    assert (t.element_count, t.sequence_count) == (0, 0)
    assert repr(t) == str(t) == "TableSet(elements=0, sequences=0)"
    assert t.get_element(1001) is None
    assert t.get_sequence(301001) is None
    assert t.get_meaning(1003, 0) is None
    assert t.expand([]) == []
    with pytest.raises(ValueError, match="^descriptor 301001 was not found in Table D$"):
        t.expand([301001])


@pytest.mark.parametrize(
    ("args", "kwargs"), [((1,), {}), ((), {"path": "x"})]
)
def test_table_set_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        TableSet(*args, **kwargs)


@pytest.fixture
def tables(tmp_path: Path) -> TableSet:
    (tmp_path / "element.table").write_text(
        "001001|blockNumber|long|WMO BLOCK NUMBER|Numeric|0|0|7\n"
        # Quoted, so that the CR and LF inside are name text, not line ends.
        '001015|stationName|string|"NAME ""Q"" \\ \t\r\n\x00\x0b\x7f é\u00a0\u200b\u0301 日"|CCITT IA5|0|0|160\n'
        "012101|airTemperature|double|TEMPERATURE|K|2|-99|16\n",
        encoding="utf-8",
        newline="",
    )
    (tmp_path / "sequence.def").write_text('"301001" = [ 001001, 001002 ]\n"301002" = [ ]\n')
    (tmp_path / "codetables").mkdir()
    (tmp_path / "codetables" / "1003.table").write_text("0 0 ANTARCTICA\n")
    return TableSet.from_eccodes(str(tmp_path))


def test_element_definition(tables):
    e = tables.get_element(12101)
    assert type(e) is ElementDefinition
    assert (e.code, e.abbreviation, e.element_type, e.name, e.unit) == (
        12101, "airTemperature", "double", "TEMPERATURE", "K",
    )
    assert (e.scale, e.reference, e.width) == (2, -99, 16)
    assert repr(e) == str(e) == 'ElementDefinition(012101, name="TEMPERATURE")'
    # A copy: a second lookup gives a new, equal-valued object.
    assert tables.get_element(12101) is not e




def test_element_repr_escapes_name(tables):
    e = tables.get_element(1015)
    assert repr(e) == (
        'ElementDefinition(001015, name="NAME \\"Q\\" \\\\ \\t\\r\\n\\0\\u{b}\\u{7f} é'
        '\\u{a0}\\u{200b}\u0301 日")'
    )


def test_sequence_definition(tables):
    s = tables.get_sequence(301001)
    assert type(s) is SequenceDefinition
    assert (s.code, s.members) == (301001, [1001, 1002])
    assert repr(s) == "SequenceDefinition(301001, members=[1001, 1002])"
    assert repr(tables.get_sequence(301002)) == "SequenceDefinition(301002, members=[])"
    members = s.members
    members.append(5)
    assert s.members == [1001, 1002]
    assert s.members is not s.members


def test_get_meaning(tables):
    assert tables.get_meaning(1003, 0) == "ANTARCTICA"
    assert tables.get_meaning(code=1003, raw=1) is None
    assert tables.get_meaning(1004, 0) is None
    assert tables.get_meaning(1003, 2**64 - 1) is None
    with pytest.raises(OverflowError):
        tables.get_meaning(1003, 2**64)
    with pytest.raises(OverflowError):
        tables.get_meaning(1003, -1)


@pytest.mark.parametrize("method", ["get_element", "get_sequence"])
@pytest.mark.parametrize(
    ("code", "error"),
    [
        ("001001", TypeError),
        (Descriptor(0, 1, 1), TypeError),
        (1001.0, TypeError),
        (None, TypeError),
        (-1, OverflowError),
        (2**32, OverflowError),
    ],
)
def test_lookup_argument_errors(tables, method, code, error):
    with pytest.raises(error):
        getattr(tables, method)(code)


def test_lookup_by_keyword_and_upper_bound(tables):
    assert tables.get_element(code=1001).code == 1001
    assert tables.get_element(2**32 - 1) is None
    with pytest.raises(TypeError, match="missing required argument 'code'"):
        tables.get_element()


@pytest.mark.parametrize(
    ("cls", "attrs"),
    [
        (ElementDefinition, ["code", "abbreviation", "element_type", "name", "unit", "scale",
                             "reference", "width"]),
        (SequenceDefinition, ["code", "members"]),
        (TableSet, ["element_count", "sequence_count"]),
        (Descriptor, ["f", "x", "y", "fxy"]),
    ],
)
def test_attributes_are_read_only(tables, cls, attrs):
    obj = {
        ElementDefinition: tables.get_element(1001),
        SequenceDefinition: tables.get_sequence(301001),
        TableSet: tables,
        Descriptor: Descriptor(0, 1, 1),
    }[cls]
    for attr in attrs:
        before = getattr(obj, attr)
        with pytest.raises(AttributeError):
            setattr(obj, attr, before)
        assert getattr(obj, attr) == before
    with pytest.raises((AttributeError, TypeError)):
        obj.extra = 1
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert cls.__module__ == "_skerrow"
    assert cls.__name__ == cls.__qualname__


@pytest.mark.parametrize("cls", [ElementDefinition, SequenceDefinition])
def test_definitions_are_not_instantiable(cls):
    with pytest.raises(TypeError):
        cls()


def test_descriptor():
    d = Descriptor(3, 1, 11)
    assert (d.f, d.x, d.y, d.fxy) == (3, 1, 11, 301011)
    assert repr(d) == str(d) == "Descriptor(301011)"
    assert repr(Descriptor(0, 1, 1)) == "Descriptor(001001)"
    assert repr(Descriptor(f=255, x=255, y=255)) == "Descriptor(25755255)"
    assert Descriptor(9, 99, 0).fxy == 999000
    e = Descriptor.from_fxy(1300)
    assert (e.f, e.x, e.y, e.fxy) == (0, 1, 44, 1044)
    assert repr(Descriptor.from_fxy(301011)) == "Descriptor(301011)"
    assert Descriptor.from_fxy(25600000).f == 0  # 256 keeps its low 8 bits
    # 4294967295: F 42949 -> 197 (mod 256), X 67, Y 295 -> 39.
    top = Descriptor.from_fxy(4294967295)
    assert (top.f, top.x, top.y, top.fxy) == (197, 67, 39, 19767039)
    assert Descriptor.from_fxy(code=1001).fxy == 1001
    assert d.from_fxy(1001).fxy == 1001  # static: callable on an instance too
    assert Descriptor(0, 1, 1) != Descriptor(0, 1, 1)  # no comparison of its own


@pytest.mark.parametrize(
    ("args", "error"),
    [
        ((256, 0, 0), OverflowError),
        ((0, -1, 0), OverflowError),
        ((0, 0, 1.0), TypeError),
        ((0, 0, "1"), TypeError),
        ((0, 0), TypeError),
        ((0, 0, 0, 0), TypeError),
    ],
)
def test_descriptor_argument_errors(args, error):
    with pytest.raises(error):
        Descriptor(*args)


@pytest.mark.parametrize(("code", "error"), [(-1, OverflowError), (2**32, OverflowError),
                                             ("301011", TypeError), (3.0, TypeError)])
def test_from_fxy_argument_errors(code, error):
    with pytest.raises(error):
        Descriptor.from_fxy(code)


def test_text_signatures():
    sig = lambda f: str(inspect.signature(f))  # noqa: E731
    assert sig(TableSet) == "()"
    assert sig(TableSet.from_eccodes) == "(path)"
    assert sig(TableSet.from_bufr4_45) == "(path)"
    assert sig(TableSet.from_definitions) == "(path, message)"
    assert sig(TableSet().get_element) == "(code)"
    assert sig(TableSet().get_sequence) == "(code)"
    assert sig(TableSet().get_meaning) == "(code, raw)"
    assert sig(TableSet().expand) == "(descriptors)"
    assert sig(Descriptor) == "(f, x, y)"
    assert sig(Descriptor.from_fxy) == "(code)"
    assert sig(_skerrow.expand_descriptors) == "(table_dir, descriptors)"
    assert _skerrow.expand_descriptors.__doc__ is None
    assert TableSet.get_element.__doc__ is None
    assert TableSet.from_eccodes.__doc__ is None


@pytest.mark.parametrize("method", ["from_eccodes", "from_bufr4_45"])
def test_loaders_refuse_non_str_paths(tmp_path, method):
    with pytest.raises(TypeError):
        getattr(TableSet, method)(tmp_path)
    with pytest.raises(TypeError):
        getattr(TableSet, method)(str(tmp_path).encode())
    with pytest.raises(UnicodeEncodeError):
        getattr(TableSet, method)("\udc80")

    class Sub(str):
        pass

    with pytest.raises(ValueError):  # a str subclass is accepted as a path
        getattr(TableSet, method)(Sub(tmp_path / "absent"))


def test_from_definitions_needs_a_message(tmp_path):
    with pytest.raises(TypeError, match="argument 'message' must be BufrMessage, not bytes"):
        TableSet.from_definitions(str(tmp_path), message())
    with pytest.raises(TypeError):
        TableSet.from_definitions(tmp_path, _skerrow.parse_bytes(message()))
    with pytest.raises(ValueError) as info:
        TableSet.from_definitions(path=str(tmp_path), message=_skerrow.parse_bytes(message()))
    assert info.value.args == (
        f"csv/table parse error: ecCodes table directory does not exist: "
        f"{tmp_path}/bufr/tables/0/wmo/35",
    )


def test_failed_calls_leave_no_references(tables, tmp_path):
    probe = object()
    count = sys.getrefcount(probe)
    for _ in range(50):
        with pytest.raises(TypeError):
            tables.get_element(probe)
        with pytest.raises(TypeError):
            tables.expand([probe])
        with pytest.raises(TypeError):
            TableSet.from_definitions(str(tmp_path), probe)
    assert sys.getrefcount(probe) == count
