"""Messages read with the bundled tables of their own master table version,
with no ecCodes tree on the machine (every definitions root points at an
empty directory)."""

import csv
import re
import warnings

import _skerrow
import pytest
import skerrow
from bufr_builder import BitWriter, Message
from conftest import CORPUS, ECCODES_DEFINITIONS, SHARED, corpus_manifest, needs_corpus, needs_eccodes

from skerrow import _native, _tables
from skerrow._messages import default_tables, scan


@pytest.fixture(autouse=True)
def no_eccodes_tree(tmp_path, monkeypatch):
    """No definitions root holds anything: only the bundle can serve."""
    empty = tmp_path / "no-definitions"
    empty.mkdir()
    monkeypatch.setenv("ECCODES_DEFINITION_PATH", str(empty))
    return empty


def decode(message: Message, **kwargs) -> list[_skerrow.DecodedValue]:
    (only,) = list(skerrow.messages(message.build(), **kwargs))
    return only.values()


def message(version: int, fields: list[tuple[int, int, int]], **kwargs) -> Message:
    """One subset: (descriptor, raw value, width in bits) for each element."""
    bits = BitWriter()
    for _, raw, width in fields:
        bits.write(raw, width)
    return Message(descriptors=[code for code, _, _ in fields], data=bits.to_bytes(),
                   master_version=version, **kwargs)


# The same element has other widths and references in other versions; the
# message is written with its own version's, so reading it with any other
# version's tables shifts or misreads every later value.
@pytest.mark.parametrize(
    "version, fields, expected",
    [
        # 014001-014004: 12 bits, reference -2048 in version 13; 17 bits later.
        (13, [(14001, 2100, 12), (14004, 2048, 12), (1001, 6, 7)], [52000, 0, 6]),
        (39, [(14001, 65600, 17), (14004, 65536, 17), (1001, 6, 7)], [64000, 0, 6]),
        # 001103 (IMO number) 14 bits and 002007 4 bits in version 17.
        (17, [(1103, 9000, 14), (2007, 3, 4), (1001, 6, 7)], [9000, 3, 6]),
        (39, [(1103, 9_000_000, 24), (2007, 3, 6), (1001, 6, 7)], [9_000_000, 3, 6]),
        # 015083: reference 0 in versions 36 and 37, -8192 from 38 on.
        (36, [(15083, 100, 14), (1001, 6, 7)], [0.001, 6]),
        (38, [(15083, 8292, 14), (1001, 6, 7)], [0.001, 6]),
    ],
)
def test_versions_whose_tables_differ(version, fields, expected):
    values = decode(message(version, fields))
    assert [v.descriptor for v in values] == [code for code, _, _ in fields]
    assert [v.raw_value for v in values] == pytest.approx(expected)


# One element WMO added in each version since 39: (version, code, name,
# scale, reference, width), as WMO's CSV tables give them.
ADDED = [
    (40, 5076, "SOLAR AZIMUTH IN INSTRUMENT REFERENCE FRAME", 2, 0, 16),
    (41, 3031, "CHANNEL BANDWIDTH, FULL WIDTH HALF MAXIMUM (FWHM)", 11, 0, 16),
    (42, 21167, "SUBSURFACE SCATTERING PROBABILITY", 0, 0, 7),
    (43, 11024, "AVERAGE U-COMPONENT AFTER THE VORTEX REMOVAL", 1, -4096, 13),
    (44, 12133, "ICE TEMPERATURE", 2, 0, 16),
    (45, 1159, "TYPICAL SIZE OF BALLOON ENVELOPE", 1, 0, 12),
    (46, 3035, "INCIDENCE ANGLE", 2, 0, 14),
]


@pytest.mark.parametrize("version, code, name, scale, reference, width", ADDED)
def test_elements_added_since_39(version, code, name, scale, reference, width):
    raw = 1234 % (1 << width - 1)
    (value,) = decode(message(version, [(code, raw, width)]))
    assert (value.descriptor, value.name) == (code, name)
    assert value.raw_value == pytest.approx((raw + reference) / 10**scale)
    with pytest.raises(ValueError, match=f"{code:06d}"):
        decode(message(version - 1, [(code, raw, width)]))


def test_a_newer_version_reads_with_the_newest_and_warns():
    newest = skerrow.bundled_versions()[-1]
    fields = [(3035, 4500, 14), (1001, 6, 7)]
    with pytest.warns(skerrow.TableVersionWarning, match=f"version {newest + 1}.*{newest}"):
        values = decode(message(newest + 1, fields))
    assert [v.raw_value for v in values] == pytest.approx([45.0, 6])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        decode(message(newest, fields))


def test_versions_from_13_to_the_newest_are_bundled():
    versions = skerrow.bundled_versions()
    assert set(range(13, 47)) <= set(versions)
    tables = skerrow.bundled_tables(13)
    assert tables.get_element(14001).width == 12
    assert tables.get_element(12101).abbreviation == "airTemperature"
    assert skerrow.bundled_tables(46).get_meaning(20003, 1) == (
        "CLOUDS GENERALLY DISSOLVING OR BECOMING LESS DEVELOPED")
    with pytest.raises(ValueError, match="no bundled WMO tables for master table version 5"):
        skerrow.bundled_tables(5)


def test_local_descriptor_without_local_tables_names_it_and_the_places_searched(tmp_path):
    local = message(35, [(1001, 6, 7), (48001, 5, 10)], local_version=1, centre=98)
    with pytest.raises(ValueError) as caught:
        decode(local, definitions=tmp_path)
    text = str(caught.value)
    assert "048001" in text
    assert str(tmp_path / "bufr" / "tables" / "0" / "local" / "1" / "98" / "0") in text

    directory = tmp_path / "bufr" / "tables" / "0" / "local" / "1" / "98" / "0"
    directory.mkdir(parents=True)
    (directory / "element.table").write_text("048001|localThing|long|LOCAL THING|m|1|0|10\n")
    values = decode(local, definitions=tmp_path)
    assert [(v.descriptor, v.raw_value) for v in values] == [(1001, 6), (48001, 0.5)]


@pytest.mark.parametrize(
    "content, error",
    [
        (None, "cannot read the bundled WMO tables"),
        (b"", "are damaged: line 1: not a skerrow table bundle"),
        (b"skerrow-wmo-tables\t1\nversions\t35\nB\t35\t35\t001001\n", "cut short"),
        (b"skerrow-wmo-tables\t1\nversions\t35\nB\t35\t35\t001001\tk\tlong\tN\tU\t0\t0\t\xff7\n"
         b"end\t1\n", "not valid UTF-8|bad u16"),
    ],
)
def test_missing_or_damaged_bundle_is_a_clear_error(tmp_path, monkeypatch, content, error):
    path = tmp_path / "wmo_tables.tsv"
    if content is not None:
        path.write_bytes(content)
    monkeypatch.setattr(_tables, "BUNDLE_PATH", path)
    with pytest.raises(ValueError, match=error) as caught:
        decode(message(35, [(1001, 6, 7)]))
    assert str(path) in str(caught.value)


@needs_corpus
@pytest.mark.skipif(not (SHARED / "tables" / "wmo-bufr4-versions").is_dir(),
                    reason="WMO CSV releases in ../shared not present")
def test_newest_code_tables_hold_every_wmo_entry():
    master = SHARED / "tables" / "wmo-bufr4-versions" / "master-3e4dcd0"
    tables = skerrow.bundled_tables(skerrow.bundled_versions()[-1])
    # Tables that depend on another element list a figure once per case; as
    # in ecCodes, the last one stands.
    wmo: dict[tuple[int, int], str] = {}
    for path in sorted(master.glob("BUFRCREX_CodeFlag_en_*.csv")):
        with open(path, encoding="utf-8", newline="") as f:
            for row in csv.DictReader(f):
                figure, name = row["CodeFigure"].strip(), row["EntryName_en"]
                if re.fullmatch(r"[0-9]+", figure) and name.strip():
                    wmo[int(row["FXY"]), int(figure)] = " ".join(name.replace('"', "").split())
    assert len(wmo) > 5000
    for (code, figure), name in wmo.items():
        meaning = tables.get_meaning(code, figure)
        assert meaning is not None and meaning.casefold() == name.casefold(), (code, figure)


def corpus_files() -> list[str]:
    return [row["file"] for row in corpus_manifest() if row.get("file")]


@pytest.mark.slow
@needs_corpus
@needs_eccodes
@pytest.mark.parametrize("name", corpus_files() or ["(none)"])
def test_corpus_reads_as_through_debians_tree(name, monkeypatch):
    monkeypatch.delenv("ECCODES_DEFINITION_PATH")
    data = (CORPUS / name).read_bytes()
    for m in scan(data, default_tables()):
        if isinstance(m, tuple):
            continue  # does not frame: nothing to decode either way
        try:
            through_tree = _native.decode(data, m.offset, m.header.total_length,
                                          str(ECCODES_DEFINITIONS))[0]
        except ValueError:
            with pytest.raises(ValueError):
                m.values()
            continue
        bundled = m.values()
        assert [fields(v) for v in bundled] == [fields(v) for v in through_tree]


def fields(v: _skerrow.DecodedValue) -> tuple:
    return (v.descriptor, v.name, v.raw, v.raw_value, v.raw_text, v.raw_meaning, v.data)


def test_decode_values_with_definitions_reads_a_changed_table_file_at_once(tmp_path):
    from decode_support import bits, table_dir

    wmo = tmp_path / "bufr" / "tables" / "0" / "wmo" / "35"
    table_dir(wmo, elements={1001: "blockNumber|long|FIRST|Numeric|0|0|7"})
    data = Message(descriptors=[1001], data=bits((6, 7))).build()
    names = []
    for name in ["SECOND", "THIRD"]:  # no pause: the cache looks at the files every call
        names.append(_skerrow.decode_values_with_definitions(data, str(tmp_path))[0].name)
        table_dir(wmo, elements={1001: f"blockNumber|long|{name}|Numeric|0|0|7"})
    names.append(_skerrow.decode_values_with_definitions(data, str(tmp_path))[0].name)
    assert names == ["FIRST", "SECOND", "THIRD"]


def test_dump_of_the_sample_needs_no_eccodes(capsys):
    from pathlib import Path

    from skerrow import cli

    sample = Path(__file__).resolve().parents[2] / "examples" / "sample.bufr"
    assert cli.main(["dump", str(sample)]) == 0
    out = capsys.readouterr().out
    assert '"SCHIPHOL' in out and "012101" in out and "288.15" in out


def test_subsets_and_columns_read_with_the_message_version():
    pytest.importorskip("numpy")
    data = message(13, [(14001, 2100, 12), (1001, 6, 7)]).build()
    (only,) = list(skerrow.messages(data))
    columns = only.columns()
    assert list(columns["longWaveRadiationIntegratedOver24Hours"]) == [52000]
    assert only.subsets()[0]["blockNumber"].number == 6
