"""skerrow info -p/--json, and a message's HTML form for notebooks."""

from __future__ import annotations

import json
from pathlib import Path

import pytest
from decode_support import table_dir
from frames_support import ELEMENTS, sounding

import skerrow
from skerrow.cli import main


@pytest.fixture(scope="module")
def root(tmp_path_factory) -> str:
    base = tmp_path_factory.mktemp("defs")
    table_dir(base / "bufr/tables/0/wmo/35", elements=ELEMENTS, sequences={}, code_tables={})
    return str(base)


def test_info_keys_and_json(tmp_path: Path, capsys) -> None:
    path = tmp_path / "two.bufr"
    first = sounding(station=1)
    path.write_bytes(first + b"junk" + sounding(station=2))
    assert main(["info", "-p", "offset,edition,bufrHeaderCentre,typicalDate,typicalTime,numberOfSubsets",
                 str(path)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines == ["0\t4\t98\t20240517\t123015\t1", f"{len(first) + 4}\t4\t98\t20240517\t123015\t1"]
    assert main(["info", "--json", str(path)]) == 0
    listed = json.loads(capsys.readouterr().out)
    assert [m["offset"] for m in listed] == [0, len(first) + 4]
    assert listed[0]["dataCategory"] == 0 and listed[0]["unexpandedDescriptors"][0] == "001001"
    assert main(["info", "-p", "edition,nosuchkey", str(path)]) == 2
    assert "nosuchkey" in capsys.readouterr().err


def test_html_shows_header_and_subsets(root: str) -> None:
    [message] = skerrow.messages(sounding(levels=((85000, 28000, 52),)), definitions=root)
    html = message._repr_html_()
    assert "<th style='text-align:left'>edition</th><td>4</td>" in html
    assert "<tr><td>airTemperature</td><td>K</td><td>280.0</td></tr>" in html
    assert "<th>subset 1</th>" in html and "subset 2" not in html
    # Tables without the message's elements: the header still shows.
    [other] = skerrow.messages(sounding(), definitions=str(Path(root).parent / "missing"))
    assert "cannot decode" in other._repr_html_() and "edition" in other._repr_html_()
