"""The skerrow command line."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

from bufr_builder import message
from skerrow import cli

REPO = Path(__file__).resolve().parents[2]
SAMPLE = REPO / "examples" / "sample.bufr"


def test_sample_is_what_its_generator_writes(tmp_path):
    subprocess.run([sys.executable, str(REPO / "examples" / "make_sample.py"), str(tmp_path / "s")],
                   check=True)
    assert (tmp_path / "s").read_bytes() == SAMPLE.read_bytes()


def test_info_lists_every_message_with_its_offset(capsys):
    assert cli.main(["info", str(SAMPLE)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3
    data = SAMPLE.read_bytes()
    offsets = [int(line.split("\toffset=")[1].split("\t")[0]) for line in lines]
    assert [data[o : o + 4] for o in offsets] == [b"BUFR"] * 3
    assert offsets[0] == data.index(b"BUFR")
    first = lines[0].split("\t")
    assert first[0] == str(SAMPLE)
    assert "edition=4" in first and "centre=98" in first and "subsets=1" in first
    assert "compressed=no" in first and "time=2024-05-17T12:00:00" in first
    assert first[-1].startswith("descriptors=001001 001002 001015 ")
    assert "subsets=2" in lines[2] and "compressed=yes" in lines[2]


def test_info_reports_bad_files_and_goes_on(tmp_path, capsys):
    bad = tmp_path / "bad.bufr"
    bad.write_bytes(message()[:-1] + b"8")
    missing = tmp_path / "missing.bufr"
    good = tmp_path / "good.bufr"
    good.write_bytes(b"junk" + message(descriptors=[1001], data=b"\x00"))
    status = cli.main(["info", str(bad), str(missing), str(good)])
    out, err = capsys.readouterr()
    assert status == 1
    assert err.splitlines() == [
        f"skerrow: {bad}: message at offset 0: section 5 terminator is not 7777",
        f"skerrow: {missing}: [Errno 2] No such file or directory: '{missing}'",
    ]
    assert out.startswith(f"{good}\toffset=4\t")


def test_module_entry_point_runs():
    env = dict(os.environ)
    result = subprocess.run([sys.executable, "-m", "skerrow", "info", str(SAMPLE)],
                            capture_output=True, text=True, env=env, check=False)
    assert result.returncode == 0, result.stderr
    assert len(result.stdout.splitlines()) == 3


def test_unknown_command_fails():
    with pytest.raises(SystemExit) as info:
        cli.main(["frobnicate"])
    assert info.value.code == 2
