"""skerrow.read_bufr: observations as rows, on messages built with our writer
(coordinates, filters, required columns, repeated elements, computed keys,
workers) and, where pdbufr and ecCodes are installed, against pdbufr on the
corpus."""

from __future__ import annotations

import math
import os
import subprocess
import sys
from pathlib import Path

import numpy
import pytest
from bufr_builder import BitWriter, Message
from conftest import CORPUS, corpus_manifest, needs_corpus
from decode_support import bits, table_dir
from frames_support import ELEMENTS, sounding

pandas = pytest.importorskip("pandas", reason="pandas not installed (pip install pandas)")

import skerrow  # noqa: E402
from skerrow.frames import read_bufr  # noqa: E402

@pytest.fixture(scope="module")
def root(tmp_path_factory) -> str:
    base = tmp_path_factory.mktemp("defs")
    table_dir(base / "bufr/tables/0/wmo/35", elements=ELEMENTS, sequences={}, code_tables={})
    return str(base)


def repeated_temperature() -> bytes:
    """A temperature at 2 m, then a standard deviation of temperature under
    first-order statistics 9: the same element twice, the second deeper."""
    return Message(
        descriptors=[1001, 1002, 7032, 12101, 8023, 12101],
        data=bits((7, 7), (123, 10), (200, 16), (28015, 16), (9, 6), (20, 16)),
    ).build()


def test_sounding_gives_one_row_per_level(root: str) -> None:
    df = read_bufr(sounding(), columns=["stationNumber", "pressure", "airTemperature"], definitions=root,
                   required_columns=False)
    assert df["pressure"].tolist() == [85000, 70000, 50000]
    assert df["airTemperature"].tolist()[:2] == [280.0, 270.0]
    assert math.isnan(df["airTemperature"].tolist()[2])
    assert df["stationNumber"].tolist() == [123] * 3
    # A missing value is still a value: the row stays with required columns.
    assert len(read_bufr(sounding(), columns=["pressure", "airTemperature"], definitions=root)) == 3


@pytest.mark.parametrize(
    "filters, pressures",
    [
        ({"pressure": 70000}, [70000]),
        ({"pressure": [85000, 50000]}, [85000, 50000]),
        ({"pressure": {50000}}, [50000]),
        ({"pressure": slice(50000, 70000)}, [70000, 50000]),
        ({"pressure": slice(None, 60000)}, [50000]),
        ({"windSpeed": lambda v: v > 10}, [70000, 50000]),
        ({"stationNumber": 123, "pressure": slice(70000, None)}, [85000, 70000]),
        ({"stationNumber": 124}, []),
        ({"blockNumber": 7, "windSpeed": 5.2}, [85000]),
        # Conditions that are not plain numbers are judged value by value.
        ({"pressure": 70000.0}, [70000]),
        ({"pressure": numpy.int64(50000)}, [50000]),
        ({"pressure": "70000"}, []),
        ({"pressure": [85000, "x"]}, [85000]),
        ({"pressure": slice("a", None)}, []),
        ({"pressure": float("nan")}, []),
    ],
)
def test_filters(root: str, filters, pressures) -> None:
    # Filters on keys that are not columns (stationNumber, windSpeed) hold too.
    df = read_bufr(sounding(), columns=["pressure"], filters=filters, definitions=root)
    assert (df["pressure"].tolist() if len(df) else []) == pressures


def named_station(name: bytes) -> bytes:
    """A station with an 8-character name, then two pressure levels."""
    return Message(
        descriptors=[1001, 1002, 1015, 7004, 12101, 7004, 12101],
        data=bits((7, 7), (123, 10), name, (8500, 14), (28000, 16), (7000, 14), (27000, 16)),
    ).build()


@pytest.mark.parametrize(
    "name, filters, expected",
    [
        (b"  PADOVA", {}, ["PADOVA", "PADOVA"]),
        (b"PADOVA\x00X", {"stationOrSiteName": "PADOVA"}, ["PADOVA", "PADOVA"]),
        (b"PADOVA  ", {"stationOrSiteName": ["ROMA", "PADOVA"]}, ["PADOVA", "PADOVA"]),
        (b"ROMA    ", {"stationOrSiteName": "PADOVA"}, []),
        (b"ROMA    ", {"stationOrSiteName": lambda s: s.startswith("RO")}, ["ROMA", "ROMA"]),
        (b"\xff" * 8, {}, [None, None]),
        (b"        ", {"stationOrSiteName": lambda s: True}, []),
    ],
)
def test_text_columns_and_filters(root: str, name: bytes, filters, expected) -> None:
    # A text ends at its first NUL and loses its blanks; an empty or
    # missing text is None and passes no filter.
    df = read_bufr(named_station(name), columns=["stationOrSiteName", "pressure"], filters=filters,
                   definitions=root, required_columns=False)
    assert (df["stationOrSiteName"].tolist() if len(df) else []) == expected
    if expected:
        assert df["pressure"].tolist() == [85000, 70000]


def test_integer_element_with_changed_scale_keeps_its_fraction(root: str) -> None:
    # 2-02-130 raises the scale of pressure (an integer in the tables) by 2:
    # 12345 reads as 1234.5, which must not become 1234.
    message = Message(
        descriptors=[1001, 202130, 7004, 202000, 7004],
        data=bits((7, 7), (12345, 14), (8500, 14)),
    ).build()
    df = read_bufr(message, columns=["pressure"], definitions=root)
    assert df["pressure"].tolist() == [1234.5, 85000]


@pytest.mark.parametrize(
    "date, kept, stamp",
    [
        ((2024, 5, 17), 3, pandas.Timestamp("2024-05-17")),
        ((2024, 2, 29), 3, pandas.Timestamp("2024-02-29")),
        ((2024, 13, 1), 0, None),  # no such month: no time, and the row needs one
        ((2023, 2, 29), 0, None),
        ((2024, 4, 31), 0, None),
        ((4095, 15, 63), 0, None),  # all missing
    ],
)
def test_data_datetime_of_bad_dates(root: str, date, kept: int, stamp) -> None:
    fields = [(7, 7), (123, 10), *zip(date, (12, 4, 6)), (13500, 15), (18700, 16)]
    fields += [f for p in (85000, 70000, 50000) for f in ((p // 10, 14), (28000, 16), (52, 12))]
    message = Message(
        descriptors=[1001, 1002, 4001, 4002, 4003, 5001, 6001, 103003, 7004, 12101, 11002],
        data=bits(*fields),
    ).build()
    columns = ["data_datetime", "pressure"]
    assert len(read_bufr(message, columns=columns, definitions=root)) == kept
    loose = read_bufr(message, columns=columns, definitions=root, required_columns=False)
    assert len(loose) == 3
    if stamp is None:
        assert list(loose.columns) == ["pressure"]
    else:
        assert loose["data_datetime"].tolist() == [stamp] * 3


def test_required_columns_list_and_false(root: str) -> None:
    cols = ["pressure", "airTemperature", "dewpointTemperature"]
    assert len(read_bufr(sounding(), columns=cols, definitions=root)) == 0
    assert len(read_bufr(sounding(), columns=cols, required_columns=["pressure"], definitions=root)) == 3
    df = read_bufr(sounding(), columns=cols, required_columns=False, definitions=root)
    assert list(df.columns) == ["pressure", "airTemperature"]


def test_repeated_element_deeper_keeps_both_values(root: str) -> None:
    # Both temperatures stay, each in its own row; pdbufr's behaviour
    # (the second replaces the first) is available with split_repeats=False.
    df = read_bufr(repeated_temperature(), columns=["airTemperature"], definitions=root)
    assert df["airTemperature"].tolist() == [280.15, 0.2]
    merged = read_bufr(repeated_temperature(), columns=["airTemperature"], definitions=root,
                       split_repeats=False)
    assert merged["airTemperature"].tolist() == [0.2]
    both = read_bufr(repeated_temperature(), columns=["heightOfSensor", "firstOrderStatistics",
                                                     "airTemperature"], definitions=root,
                     required_columns=["airTemperature"])
    first = both.to_dict("records")[0]
    assert (first["heightOfSensor"], first["airTemperature"]) == (2.0, 280.15)
    assert math.isnan(first["firstOrderStatistics"])  # the statistic belongs to the second value
    assert both.to_dict("records")[1]["firstOrderStatistics"] == 9


def test_computed_keys_and_attrs(root: str) -> None:
    df = read_bufr(sounding(), columns=["WMO_station_id", "data_datetime", "geometry",
                                        "typical_datetime", "airTemperature"], definitions=root)
    row = df.iloc[0]
    assert row["WMO_station_id"] == 7123
    assert row["data_datetime"] == pandas.Timestamp("2024-05-17")
    assert row["typical_datetime"] == pandas.Timestamp("2024-05-17 12:30:15")
    assert list(row["geometry"]) == [7.0, 45.0, None]
    assert df.attrs["units"]["airTemperature"] == "K"
    assert df.attrs["table_versions"] == [(0, 35, 0, 98)]
    assert len(read_bufr(sounding(), columns=["pressure"], filters={"data_datetime": slice(
        pandas.Timestamp("2024-05-17"), None)}, definitions=root)) == 3


def test_flat_reader_ranks_per_subset(root: str) -> None:
    df = read_bufr(sounding(), reader="flat", definitions=root)
    assert len(df) == 1
    assert df.loc[0, "#3#pressure"] == 50000 and df.loc[0, "#2#airTemperature"] == 270.0
    assert df.loc[0, "subsetNumber"] == 1 and df.loc[0, "typicalDate"] == "20240517"
    picked = read_bufr(sounding(), columns=["#1#pressure", "#2#pressure"], reader="flat",
                       filters={"windSpeed": 15.3}, definitions=root)
    assert picked.to_dict("records") == [{"#1#pressure": 85000, "#2#pressure": 70000}]


def replicated_levels() -> bytes:
    """Two subsets: one pressure level, then two (the second missing)."""
    return Message(
        descriptors=[1001, 1002, 101000, 31001, 7004], subsets=2,
        data=bits((7, 7), (123, 10), (1, 8), (8500, 14), (7, 7), (124, 10), (2, 8), (8500, 14),
                  ((1 << 14) - 1, 14)),
    ).build()


@pytest.mark.parametrize(
    "columns, filters, required, stations",
    [
        ((), None, ["#2#pressure"], [124]),  # the name with its value missing: present
        ((), {"pressure": 85000}, True, [123, 124]),  # any rank may match
        ((), {"#2#pressure": lambda p: True}, False, []),  # a missing value matches nothing
        (["#1#stationNumber", "#2#pressure"], None, False, [123, 124]),
        (["#1#stationNumber", "#2#pressure"], None, True, [124]),
        (["#2#pressure", "#3#pressure"], None, False, []),  # rows with no value asked for go
        (["#1#stationNumber", "subsetNumber"], {"subsetNumber": 2}, True, [124]),
    ],
)
def test_flat_reader_subsets_that_differ(root: str, columns, filters, required, stations) -> None:
    df = read_bufr(replicated_levels(), columns=[*columns], filters=filters, required_columns=required,
                   reader="flat", definitions=root)
    assert (df["#1#stationNumber"].tolist() if len(df) else []) == stations
    if not columns and len(df):
        assert "#1#delayedDescriptorReplicationFactor" not in df.columns
        assert list(df.columns[-3:]) == ["#1#stationNumber", "#1#pressure", "#2#pressure"]
        assert df["#1#pressure"].dtype == "int64" and df["subsetNumber"].tolist() == [1, 2][-len(df):]


@pytest.mark.parametrize("workers", [1, 2, 3])
def test_sources_and_workers_agree(root: str, tmp_path: Path, workers: int) -> None:
    paths = []
    for n in range(4):
        p = tmp_path / f"f{n}.bufr"
        p.write_bytes(sounding(station=100 + n) + b"junk" + sounding(station=200 + n))
        paths.append(str(p))
    cols = ["stationNumber", "pressure", "airTemperature"]
    expected = [s for n in range(4) for s in (100 + n, 200 + n) for _ in range(3)]
    df = read_bufr(paths, columns=cols, definitions=root, workers=workers)
    assert df["stationNumber"].tolist() == expected
    one = read_bufr(paths[0], columns=cols, definitions=root, workers=workers)
    assert one["stationNumber"].tolist() == expected[:6]
    listed = read_bufr(skerrow.messages(paths[1], definitions=root), columns=cols, workers=workers)
    assert listed["stationNumber"].tolist() == expected[6:12]


def test_worker_threads_are_kept_between_calls(root: str) -> None:
    import threading

    def ours() -> set[str]:
        return {t.name for t in threading.enumerate() if t.name.startswith("skerrow")}

    def read() -> None:
        read_bufr([sounding(station=n) for n in range(4)], columns=["stationNumber"], definitions=root,
                  workers=2)

    read()
    before = ours()
    for _ in range(3):
        read()
    assert before and ours() == before
    for count in range(2, 9):  # pools of many sizes: only the last few are kept
        read_bufr([sounding(), sounding()], columns=["stationNumber"], definitions=root, workers=count)
    assert len(ours()) <= 5 + 6 + 7 + 8


def _stations_in_child(data: bytes, root: str) -> list[int]:
    return read_bufr([data, data], columns=["stationNumber"], definitions=root,
                     workers=2)["stationNumber"].tolist()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_workers_in_a_forked_child(root: str) -> None:
    """Process pools fork: the child must not wait on its parent's threads."""
    import multiprocessing

    data = sounding(station=7)
    assert _stations_in_child(data, root) == [7, 7]  # the parent's pool exists now
    with multiprocessing.get_context("fork").Pool(1) as pool:
        assert pool.apply_async(_stations_in_child, (data, root)).get(timeout=60) == [7, 7]


def test_bad_arguments(root: str) -> None:
    with pytest.raises(ValueError, match="reader"):
        read_bufr(sounding(), columns=["pressure"], reader="wide", definitions=root)
    with pytest.raises(ValueError, match="columns"):
        read_bufr(sounding(), definitions=root)
    with pytest.raises(ValueError, match="offset 0"):
        read_bufr(sounding()[:40] + b"7777", columns=["pressure"], definitions=root)
    # Messages of a file are decoded together; the error names the one that failed.
    good = sounding()
    with pytest.raises(ValueError, match=f"offset {len(good)}:"):
        read_bufr(good + sounding()[:40] + b"7777", columns=["pressure"], definitions=root)
    # Workers take the largest source first; the error is still the first in
    # the order of the sources.
    broken = sounding()[:40] + b"7777"
    with pytest.raises(ValueError, match="offset 0:"):
        read_bufr([broken, good * 3 + broken], columns=["pressure"], definitions=root, workers=2)


# The core calls of both readers take a run of messages as byte ranges of
# one buffer; ranges that do not fit it are refused before anything is read.
@pytest.mark.parametrize("call, extra", [("rows", (["pressure"], None, True)), ("flat_rows", (False,))])
@pytest.mark.parametrize("ranges, expected", [
    (lambda size: numpy.array([0], dtype=numpy.uint64), "an offset and a length per message"),
    (lambda size: numpy.array([1, size], dtype=numpy.uint64), "outside the data"),
    (lambda size: numpy.array([size + 1, 0], dtype=numpy.uint64), "outside the data"),
])
def test_core_calls_refuse_ranges_outside_the_data(root: str, call, extra, ranges, expected) -> None:
    from skerrow import _native

    message = next(skerrow.messages(sounding(), definitions=root))

    def run(data: bytes, offset: int, length: int, tables: object) -> object:
        return getattr(_native, call)(data, ranges(len(data)).tobytes(), tables, *extra)

    with pytest.raises(ValueError, match=expected):
        message._native_call(run)


def test_import_does_not_import_pandas() -> None:
    code = "import sys, skerrow, skerrow.frames; print('pandas' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


# --- against pdbufr on the corpus -------------------------------------------

def _decodable(pattern: str) -> list[Path]:
    ok = {row["file"] for row in corpus_manifest() if row["eccodes_decodes"] == "yes"}
    return [p for p in sorted(CORPUS.glob(pattern)) if p.name in ok]


def _same_value(a, b) -> bool:
    missing = lambda v: v is None or (isinstance(v, float) and math.isnan(v))  # noqa: E731
    if missing(a) or missing(b):
        return missing(a) and missing(b)
    if isinstance(a, (list, tuple)) or isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(_same_value(x, y) for x, y in zip(a, b))
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        return abs(a - b) <= 1e-9 * max(1.0, abs(b))
    return bool(a == b)


def assert_same_frame(ours, theirs, where: str) -> None:
    assert len(ours) == len(theirs), where
    if not len(ours):
        return
    assert sorted(ours.columns) == sorted(theirs.columns), where
    for column in theirs.columns:
        for i, (a, b) in enumerate(zip(ours[column].tolist(), theirs[column].tolist())):
            assert _same_value(a, b), f"{where}: row {i} {column}: {a!r} != {b!r}"


CASES = [
    ("*synop*", ["stationNumber", "latitude", "longitude", "airTemperature"], {}, True),
    ("*synop*", ["WMO_station_id", "data_datetime", "geometry", "airTemperature", "dewpointTemperature"], {}, True),
    ("*synop*", ["heightOfSensorAboveLocalGroundOrDeckOfMarinePlatform", "airTemperature"], {}, False),
    ("*synop*", ["stationNumber", "windSpeed"], {"windSpeed": slice(1, 5)}, True),
    ("*synop*", ["WMO_station_id", "typical_datetime", "pressureReducedToMeanSeaLevel"],
     {"blockNumber": [6, 7, 10, 16]}, False),
    ("*temp*", ["pressure", "airTemperature", "dewpointTemperature", "windSpeed"], {}, True),
    ("*temp*", ["WMO_station_id", "pressure", "airTemperature"], {"pressure": slice(10000, 50000)}, True),
    ("*temp*", ["pressure", "airTemperature"], {"airTemperature": lambda t: t < 220}, False),
    ("*temp*", ["data_datetime", "pressure", "windSpeed"], {"pressure": [85000, 70000, 50000]}, True),
    ("*-a[mci][dr][ar]*", ["latitude", "longitude", "flightLevel", "airTemperature", "data_datetime"], {}, True),
    ("*satsounding*", ["latitude", "longitude", "brightnessTemperature"], {}, True),
    ("*satsounding*", ["latitude", "brightnessTemperature"], {"latitude": slice(0, 90)}, True),
    ("*satwind*", ["latitude", "longitude", "pressure", "windSpeed"], {}, True),
    ("*ship*", ["latitude", "longitude", "airTemperature", "data_datetime"], {}, True),
    ("*buoy*", ["latitude", "longitude", "oceanographicWaterTemperature"], {}, False),
]


@needs_corpus
@pytest.mark.parametrize("pattern, columns, filters, required", CASES,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(CASES)])
def test_against_pdbufr(pattern, columns, filters, required) -> None:
    pdbufr = pytest.importorskip("pdbufr", reason="pdbufr not installed (pip install pdbufr)")
    files = _decodable(pattern)
    assert files
    import warnings

    for path in files:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            theirs = pdbufr.read_bufr(str(path), columns=columns, filters=filters, required_columns=required)
        ours = read_bufr(path, columns=columns, filters=filters, required_columns=required,
                         split_repeats=False)
        assert_same_frame(ours, theirs, path.name)


@needs_corpus
def test_against_pdbufr_flat_ranked_columns() -> None:
    pdbufr = pytest.importorskip("pdbufr", reason="pdbufr not installed (pip install pdbufr)")
    columns = ["#1#stationNumber", "#1#airTemperature", "#2#pressure", "#1#year"]
    for path in _decodable("*-synop-*") + _decodable("*-temp-*"):
        theirs = pdbufr.read_bufr(str(path), columns=columns, required_columns=False, reader="flat")
        ours = read_bufr(path, columns=columns, required_columns=False, reader="flat")
        assert_same_frame(ours, theirs, path.name)


@needs_corpus
def test_qualifier_columns_ride_with_their_value() -> None:
    path = CORPUS / "eccodespy-satwind-001-e3to4.bufr"
    columns = ["latitude", "pressure", "pressure->percentConfidence", "windSpeed->percentConfidence"]
    df = read_bufr(path, columns=columns)
    [message] = skerrow.messages(path)
    subsets = message.subsets()
    assert len(df) == len(subsets) == 128
    for row, subset in zip(df.to_dict("records"), subsets):
        assert row["pressure"] == subset["pressure"].number
        for column in columns[2:]:
            key, _, qualifier = column.partition("->")
            assert row[column] == subset[key].qualifiers[qualifier].number
    # A qualifier alone brings its value's context, not its value.
    alone = read_bufr(path, columns=["windSpeed->percentConfidence"])
    assert list(alone.columns) == ["windSpeed->percentConfidence"] and len(alone) == 128


# --- deliberate differences from pdbufr, each shown on a corpus message ------

def _pdbufr(path: Path, **kwargs):
    pdbufr = pytest.importorskip("pdbufr", reason="pdbufr not installed (pip install pdbufr)")
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pdbufr.read_bufr(str(path), **kwargs)


@needs_corpus
def test_difference_a_repeated_element_is_not_lost() -> None:
    # The station's 1.5 m temperature, then a standard deviation of
    # temperature under first-order statistics: pdbufr keeps only the last.
    path = CORPUS / "pdbufr-synop-001.bufr"
    assert _pdbufr(path, columns=["airTemperature"])["airTemperature"].tolist() == [0.2]
    ours = read_bufr(path, columns=["airTemperature"])["airTemperature"].tolist()
    assert ours == pytest.approx([282.65, 0.2])


@needs_corpus
def test_difference_quality_values_are_qualifiers_not_values() -> None:
    # ecCodes' key list names the quality information of 2-22-000 after the
    # element it qualifies; pdbufr then reads it as more pressures.
    path = CORPUS / "eccodespy-satwind-001-e3to4.bufr"
    columns = ["latitude", "pressure"]
    theirs = _pdbufr(path, columns=columns, required_columns=False)
    ours = read_bufr(path, columns=columns, required_columns=False)
    [message] = skerrow.messages(path)
    genuine = {v.number for s in message.subsets() for i, v in enumerate(s)
               if v.key == "pressure" and not s.is_qualifier(i)}
    assert set(ours["pressure"].dropna()) <= genuine
    assert len(theirs) > len(ours)


@needs_corpus
def test_difference_geometry_height_is_the_station_height() -> None:
    path = CORPUS / "dballe-temp-005.bufr"
    theirs = _pdbufr(path, columns=["geometry"])["geometry"].iloc[0]
    ours = read_bufr(path, columns=["geometry"])["geometry"].iloc[0]
    assert theirs[2] == 0.0 and ours == pytest.approx([11.61667, 44.65, 10])


# --- associated fields, against pdbufr ---------------------------------------

ASSOCIATED = ["pdbufr-synop-030-e3to4.bufr", "pdbufr-synop-033.bufr"]
SIGNIFICANCE = "airTemperature->associatedField->associatedFieldSignificance"


@needs_corpus
@pytest.mark.parametrize("name", ASSOCIATED)
@pytest.mark.parametrize(
    "columns, filters, reader",
    [
        (["stationNumber", "airTemperature", "airTemperature->associatedField", SIGNIFICANCE], {}, "generic"),
        (["windSpeed", "windSpeed->associatedField", "airTemperature->associatedField",
          "dewpointTemperature->associatedField"], {}, "generic"),
        (["airTemperature", "dewpointTemperature"], {"airTemperature->associatedField": [0, 262143]},
         "generic"),
        (["WMO_station_id", "WIGOS_station_id", "data_datetime", "airTemperature"], {}, "generic"),
        (["#1#airTemperature", "#1#airTemperature->associatedField", "#1#windSpeed->associatedField",
          "#1#" + SIGNIFICANCE], {}, "flat"),
    ],
)
def test_associated_fields_against_pdbufr(name: str, columns, filters, reader) -> None:
    path = CORPUS / name
    theirs = _pdbufr(path, columns=columns, filters=filters, required_columns=False, reader=reader)
    ours = read_bufr(path, columns=columns, filters=filters, required_columns=False, reader=reader,
                     split_repeats=False)
    assert len(theirs)
    assert_same_frame(ours, theirs, name)


@needs_corpus
def test_difference_associated_field_significance_is_a_key_of_its_own() -> None:
    # ecCodes attaches 0-31-021 to the associated fields that follow it;
    # pdbufr therefore cannot select or filter it alone. Here it is a key,
    # and its all-ones value (code table 031021: missing) reads as missing
    # as it does nested under an associated field.
    path = CORPUS / "pdbufr-synop-033.bufr"
    assert len(_pdbufr(path, columns=["airTemperature"], filters={"associatedFieldSignificance": 7})) == 0
    ours = read_bufr(path, columns=["associatedFieldSignificance"], required_columns=False)
    [message] = skerrow.messages(path)
    written = [v.number for v in message.subsets()[0] if v.key == "associatedFieldSignificance"]
    assert len(ours) == len(written) > 1 and set(written) == {63}
    assert ours["associatedFieldSignificance"].isna().all()


@needs_corpus
def test_difference_two_elements_of_one_key_keep_both_values() -> None:
    # 0-13-003 (93 %) then 0-13-009 (missing) are both relativeHumidity at
    # 2 m: pdbufr loses the 93 %; here the first value keeps its own row.
    path = CORPUS / "pdbufr-synop-033.bufr"
    columns = ["windSpeed", "relativeHumidity"]
    assert 93 not in _pdbufr(path, columns=columns, required_columns=False)["relativeHumidity"].tolist()
    ours = read_bufr(path, columns=columns, required_columns=False, split_repeats=False)
    assert ours["relativeHumidity"].tolist()[0] == 93


@needs_corpus
@pytest.mark.parametrize("name", ASSOCIATED)
def test_difference_flat_reader_lists_associated_fields(name: str) -> None:
    # pdbufr's flat reader lists no associated field unless asked for by its
    # qualified name; here every one also has a ranked column of its own.
    # The columns both list hold the same values (but for the blank text).
    path = CORPUS / name
    theirs = _pdbufr(path, reader="flat", required_columns=False)
    ours = read_bufr(path, reader="flat", required_columns=False)
    assert not any("associatedField" in c for c in theirs.columns)
    assert "#1#associatedField" in ours.columns and "#1#associatedFieldSignificance" in ours.columns
    # pdbufr lists ECMWF's section 2 keys too (some are here when asked for).
    assert not [c for c in set(theirs.columns) - set(ours.columns) if c.startswith("#")]
    common = [c for c in theirs.columns if c in ours.columns and c != "#1#wigosLocalIdentifierCharacter"]
    assert len(common) > 70
    assert_same_frame(ours[common], theirs[common], name)


@needs_corpus
@pytest.mark.parametrize("reader, column", [("generic", "wigosLocalIdentifierCharacter"),
                                            ("flat", "#1#wigosLocalIdentifierCharacter")])
def test_difference_an_empty_text_is_missing(reader: str, column: str) -> None:
    # The WIGOS local identifier of this report is blank: pdbufr gives "",
    # here it is missing, as an absent text is (isna() finds both).
    path = CORPUS / "pdbufr-synop-030-e3to4.bufr"
    assert _pdbufr(path, columns=[column], required_columns=False, reader=reader)[column].tolist() == [""]
    ours = read_bufr(path, columns=[column, "#1#latitude" if reader == "flat" else "latitude"],
                     required_columns=False, reader=reader)
    assert ours[column].isna().all()


# --- ECMWF local section 2 keys ----------------------------------------------

def _section2(rdb_type: int, subtype: int, ident: bytes, latitude: float, longitude: float) -> bytes:
    """The 48 octets after the section 2 header as ECMWF writes them."""
    w = BitWriter()
    w.write(rdb_type, 8).write(subtype, 8)
    w.write(2024, 12).write(5, 4).write(17, 6).write(12, 5).write(30, 6).write(15, 6).write(0, 1)
    w.write(round(longitude * 100000) + 18000000, 26).write(0, 6)
    w.write(round(latitude * 100000) + 9000000, 25).write(0, 7)
    w.write_bytes(ident.ljust(8))
    w.write_bytes(bytes(11))  # unused for a single report
    w.write(17, 6).write(13, 5).write(1, 6).write(2, 6).write(0, 1)  # into the archive
    w.write(17, 6).write(12, 5).write(59, 6).write(58, 6).write(0, 1)  # received
    w.write_bytes(bytes(4)).write(70, 8).write_bytes(bytes(3))
    return w.to_bytes()


def _local(section2: bytes | None, centre: int = 98) -> bytes:
    return Message(descriptors=[1001, 1002, 7004, 12101], centre=centre, section2=section2,
                   data=bits((7, 7), (123, 10), (8500, 14), (28000, 16))).build()


def test_local_section_keys_select_and_filter(root: str) -> None:
    station = _local(_section2(1, 170, b" 07123", 45.5, -7.25))
    ship = _local(_section2(1, 11, b"WYM9567", 60.7, -147.5))
    other = _local(None)
    stream = station + ship + other
    columns = ["ident", "rdbType", "rdbSubtype", "localLatitude", "localLongitude", "rdbtimeHour",
               "rectimeSecond", "pressure"]
    df = read_bufr(stream, columns=columns, definitions=root, required_columns=False)
    assert df.to_dict("records")[:2] == [
        {"ident": "07123", "rdbType": 1, "rdbSubtype": 170, "localLatitude": 45.5, "localLongitude": -7.25,
         "rdbtimeHour": 13, "rectimeSecond": 58, "pressure": 85000},
        {"ident": "WYM9567", "rdbType": 1, "rdbSubtype": 11, "localLatitude": 60.7,
         "localLongitude": -147.5, "rdbtimeHour": 13, "rectimeSecond": 58, "pressure": 85000}]
    assert df["ident"].isna().tolist() == [False, False, True]
    # A key filtered on picks messages; one without the section has no ident.
    for reader, column in (("generic", "pressure"), ("flat", "#1#pressure")):
        picked = read_bufr(stream, columns=["ident", column], filters={"ident": ["WYM9567", "X"]},
                           definitions=root, reader=reader)
        assert picked.to_dict("records") == [{"ident": "WYM9567", column: 85000}]
        assert len(read_bufr(stream, columns=[column], filters={"rdbtimeMinute": slice(1, 1)},
                             definitions=root, reader=reader)) == 2
    # Required: a message without the key gives no row.
    assert len(read_bufr(stream, columns=["ident", "pressure"], definitions=root)) == 2


def test_info_prints_local_section_keys(root: str, tmp_path: Path, capsys) -> None:
    from skerrow.cli import main

    path = tmp_path / "two.bufr"
    path.write_bytes(_local(_section2(1, 170, b"07123", 45.5, -7.25)) + _local(None))
    assert main(["info", "-p", "ident,rdbType,localLongitude,bufrHeaderCentre", str(path)]) == 0
    assert capsys.readouterr().out.splitlines() == ["07123\t1\t-7.25\t98", "None\tNone\tNone\t98"]


@pytest.mark.parametrize(
    "section2, centre, expected",
    [
        (b"", 98, {}),  # a section of its header alone
        (b"\x01\xaa\x7e", 98, {"rdbType": 1, "rdbSubtype": 170}),  # cut short: what it holds
        (_section2(1, 170, b"\xff\x80ABC", 0, 0)[:24], 98, {"rdbType": 1, "ident": "??ABC"}),
        (_section2(1, 170, b"07123", 0, 0), 80, {}),  # another centre's layout: unknown
    ],
)
def test_local_section_of_odd_content(root: str, section2: bytes, centre: int, expected) -> None:
    [message] = skerrow.messages(_local(section2, centre), definitions=root)
    keys = skerrow.frames.local_section_keys(message)
    assert {k: keys[k] for k in expected if k in keys} == expected and set(expected) <= set(keys)
    if not expected:
        assert keys == {}
    df = read_bufr(message, columns=["ident", "rdbType", "pressure"], required_columns=False)
    assert df["pressure"].tolist() == [85000]


@needs_corpus
@pytest.mark.parametrize("name", ["pdbufr-synop-030-e3to4.bufr", "pybufrkit-ship-001-e3to4.bufr",
                                  "eccodespy-buoy-002-e3to4.bufr", "pybufrkit-gnss-001-e3to4.bufr"])
@pytest.mark.parametrize("reader", ["generic", "flat"])
def test_local_section_keys_against_pdbufr(name: str, reader: str) -> None:
    path = CORPUS / name
    [message] = list(skerrow.messages(path))[:1]
    keys = skerrow.frames.local_section_keys(message)
    columns = [k for k in ("ident", "rdbType", "oldSubtype", "localLatitude", "localLongitude",
                           "localLatitude2", "rdbtimeMinute", "rectimeHour", "localDay") if k in keys]
    columns.append("#1#latitude" if reader == "flat" else "latitude")
    filters = {columns[0]: keys[columns[0]], "rdbType": slice(1, 12)}
    theirs = _pdbufr(path, columns=columns, filters=filters, reader=reader, required_columns=False)
    ours = read_bufr(path, columns=columns, filters=filters, reader=reader, required_columns=False,
                     split_repeats=False)
    assert len(theirs)
    assert_same_frame(ours, theirs, name)
