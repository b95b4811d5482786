"""Descriptor expansion through Table D, from TableSet.expand and from
expand_descriptors."""

from __future__ import annotations

from pathlib import Path

import pytest

import _skerrow
from _skerrow import TableSet
from conftest import PARSE

DEPTH = PARSE + "sequence expansion exceeded recursion depth"


def tables_with(tmp_path: Path, sequences: dict[int, list[int]]) -> str:
    lines = "".join(
        f'"{code:06d}" = [ {", ".join(f"{m:06d}" for m in members)} ]\n'
        for code, members in sequences.items()
    )
    (tmp_path / "element.table").write_text("001001|a|long|A|u|0|0|7\n")
    (tmp_path / "sequence.def").write_text(lines)
    return str(tmp_path)


@pytest.fixture
def table_path(tmp_path):
    return tables_with(
        tmp_path,
        {
            301001: [1001, 1002],
            301011: [4001, 4002, 4003],
            301090: [301001, 102000, 31001, 301011, 204008, 12101, 204000],
            300001: [300001],
            300002: [300003],
            300003: [300002, 1001],
            300010: [],
            300011: [400000],
        },
    )


@pytest.fixture
def tables(table_path):
    return TableSet.from_eccodes(table_path)


@pytest.mark.parametrize(
    ("codes", "expanded"),
    [
        ([], []),
        ([1001], [1001]),
        ([204008, 1001, 31021, 204000, 1002], [999999, 1001, 31021, 1002]),
        ([102000, 31001, 1001, 1002], [31001, 1001, 1002]),
        ([103002, 1001, 1002, 1003], [1001, 1002, 1003, 1001, 1002, 1003]),
        ([201132, 1001, 202129, 206008, 207001, 208016, 1002], [1001, 1002]),
        ([205010, 222000, 203014, 209000, 224255], [205010, 222000, 203014, 209000, 224255]),
        ([301001, 301011], [1001, 1002, 4001, 4002, 4003]),
        ([300010, 1001], [1001]),
        # Sequences inside replications and replications inside sequences.
        ([102002, 301001, 1003], [1001, 1002, 1003, 1001, 1002, 1003]),
        ([301090], [1001, 1002, 31001, 4001, 4002, 4003, 999999, 12101]),
        # The associated field stays in force across a fixed replication.
        ([204004, 102002, 1001, 31002], [999999, 1001, 31002, 999999, 1001, 31002]),
        # A replication count of zero in Y with X descriptors: delayed, factor first.
        ([101000, 31002, 301001], [31002, 1001, 1002]),
    ],
)
def test_expansion(tables, codes, expanded):
    assert tables.expand(codes) == expanded


@pytest.mark.parametrize(
    ("codes", "message"),
    [
        ([102000, 31001], "delayed replication descriptor 102000 is missing its replication factor "
                          "or replicated descriptors"),
        ([101000, 31001], "delayed replication descriptor 101000 is missing its replication factor "
                          "or replicated descriptors"),
        ([103002, 1001, 1002], "unsupported replication descriptor 103002"),
        ([100002, 1001], "unsupported replication descriptor 100002"),
        ([100000, 1001], "unsupported replication descriptor 100000"),
        ([301002], "descriptor 301002 was not found in Table D"),
        ([102002, 1001, 399999], "descriptor 399999 was not found in Table D"),
        ([999999], PARSE + "invalid descriptor 999999"),
        ([400000], PARSE + "invalid descriptor 400000"),
        ([1001, 1234567], PARSE + "invalid descriptor 1234567"),
        ([300001], DEPTH),
        ([300002], DEPTH),
        ([300011], PARSE + "invalid descriptor 400000"),
        # Nested fixed replications ask for 255**4 codes, or as many steps
        # that append nothing: stopped long before memory or time run out.
        ([104255, 103255, 102255, 101255, 1001], PARSE + "sequence expansion exceeded 2097152 steps"),
        ([104255, 103255, 102255, 101255, 201130], PARSE + "sequence expansion exceeded 2097152 steps"),
    ],
)
def test_expansion_errors(tables, codes, message):
    with pytest.raises(ValueError) as info:
        tables.expand(codes)
    assert info.value.args == (message,)


def test_code_with_f_of_256_is_an_element(tables):
    # F keeps its low 8 bits: 25600000 // 100000 == 256 -> F 0, an element.
    assert tables.expand([25601001]) == [25601001]


def chain(tmp_path: Path, length: int) -> TableSet:
    sequences = {300000 + i: [300000 + i + 1] for i in range(length - 1)}
    sequences[300000 + length - 1] = [1001]
    return TableSet.from_eccodes(tables_with(tmp_path, sequences))


def test_recursion_limit_is_64_levels_below_the_input(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    assert chain(tmp_path / "a", 64).expand([300000]) == [1001]
    with pytest.raises(ValueError) as info:
        chain(tmp_path / "b", 65).expand([300000])
    assert info.value.args == (DEPTH,)


@pytest.mark.parametrize(("length", "ok"), [(63, True), (64, False)])
def test_replication_body_is_one_level_deeper(tmp_path, length, ok):
    # The body of a replication is one level below the list that holds it, so
    # a chain of 64 sequences under a replication reaches depth 65.
    tables = chain(tmp_path, length)
    if ok:
        assert tables.expand([101001, 300000]) == [1001]
    else:
        with pytest.raises(ValueError, match="exceeded recursion depth"):
            tables.expand([101001, 300000])


def test_expand_accepts_sequences_of_index_objects(tables):
    class Codes:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return [301001, 1003][i]

    import collections.abc

    collections.abc.Sequence.register(Codes)
    assert tables.expand(Codes()) == [1001, 1002, 1003]
    assert tables.expand((301001,)) == [1001, 1002]
    assert tables.expand(range(1001, 1003)) == [1001, 1002]
    assert tables.expand([True]) == [1]


@pytest.mark.parametrize(
    ("descriptors", "error"),
    [
        ("1001", TypeError),
        (iter([1001]), TypeError),
        ({1001}, TypeError),
        ([1001.0], TypeError),
        (["001001"], TypeError),
        ([-1], OverflowError),
        ([2**32], OverflowError),
        (None, TypeError),
    ],
)
def test_expand_argument_errors(tables, descriptors, error):
    with pytest.raises(error):
        tables.expand(descriptors)


def test_expand_descriptors(table_path, tmp_path):
    assert _skerrow.expand_descriptors(table_path, [301001]) == [1001, 1002]
    assert _skerrow.expand_descriptors(table_dir=table_path, descriptors=[]) == []
    with pytest.raises(ValueError) as info:
        _skerrow.expand_descriptors(str(tmp_path / "nowhere"), [1001])
    assert info.value.args == (
        PARSE + f"{tmp_path}/nowhere/element.table: No such file or directory (os error 2)",
    )
    with pytest.raises(TypeError):
        _skerrow.expand_descriptors(tmp_path, [1001])
    with pytest.raises(TypeError):
        _skerrow.expand_descriptors(table_path, "301001")
    with pytest.raises(OverflowError):
        _skerrow.expand_descriptors(table_path, [4294967296])
    with pytest.raises(TypeError, match="missing required argument 'descriptors'"):
        _skerrow.expand_descriptors(table_path)
    # Arguments are converted before any file is read.
    with pytest.raises(OverflowError):
        _skerrow.expand_descriptors(str(tmp_path / "nowhere"), [-1])
