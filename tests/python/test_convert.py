"""skerrow convert: Parquet, CSV and JSON lines in chunks, failing messages
reported and skipped, the output renamed into place only when complete; and
the block reader under it."""

from __future__ import annotations

import json
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from conftest import CORPUS, REPO, needs_corpus
from decode_support import table_dir
from frames_support import ELEMENTS, sounding

pandas = pytest.importorskip("pandas", reason="pandas not installed (pip install pandas)")

from skerrow import read_bufr  # noqa: E402
from skerrow._convert import stream_messages  # noqa: E402
from skerrow._messages import scan  # noqa: E402

COLUMNS = "stationNumber,pressure,airTemperature,windSpeed,data_datetime"


@pytest.fixture(scope="module")
def root(tmp_path_factory) -> str:
    base = tmp_path_factory.mktemp("defs")
    table_dir(base / "bufr/tables/0/wmo/35", elements=ELEMENTS, sequences={}, code_tables={})
    return str(base)


def convert(*args: str, check_status: int | None = 0) -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-m", "skerrow", "convert", *args], capture_output=True,
                          text=True, env=env, cwd=REPO)
    if check_status is not None:
        assert done.returncode == check_status, done.stderr
    return done


def corrupt() -> bytes:
    """A sounding whose section 4 lost its last octets: it frames, then
    fails to decode."""
    good = bytearray(sounding(station=999))
    cut = 6
    offset = 8
    for _ in range(2):  # over sections 1 and 3 (there is no section 2)
        offset += int.from_bytes(good[offset : offset + 3], "big")
    length = int.from_bytes(good[offset : offset + 3], "big") - cut
    good[offset : offset + 3] = length.to_bytes(3, "big")
    data = good[: offset + length] + b"7777"
    data[4:7] = len(data).to_bytes(3, "big")
    return bytes(data)


def test_corrupt_message_frames_but_fails(root: str) -> None:
    [message] = [m for m in scan(corrupt(), root)]
    with pytest.raises(ValueError):
        message.values()


def test_parquet_reads_back_as_read_bufr(root: str, tmp_path: Path) -> None:
    pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow not installed")
    files = []
    for n in range(3):
        p = tmp_path / f"in{n}.bufr"
        p.write_bytes(b"".join(sounding(station=10 * n + k) for k in range(5)))
        files.append(str(p))
    out = tmp_path / "out.parquet"
    convert(*files, "--to", "parquet", "--columns", COLUMNS, "--definitions", root, "--chunk", "4",
            "-o", str(out))
    expected = read_bufr(files, columns=COLUMNS.split(","), definitions=root)
    table = pq.read_table(out)
    assert pq.ParquetFile(out).metadata.num_row_groups == 4  # 15 messages in chunks of 4
    assert table.schema.field("airTemperature").metadata == {b"unit": b"K"}
    footer = pq.ParquetFile(out).metadata.metadata
    assert json.loads(footer[b"skerrow.table_versions"]) == [[0, 35, 0, 98]]
    for frame in (table.to_pandas(), pandas.read_parquet(out)):
        assert list(frame.columns) == list(expected.columns)
        for column in expected.columns:
            for a, b in zip(frame[column].tolist(), expected[column].tolist()):
                assert a == b or (a != a and b != b), column


def test_mixed_good_and_corrupt(root: str, tmp_path: Path) -> None:
    good = sounding(station=1)
    bad = corrupt()
    source = tmp_path / "mixed.bufr"
    source.write_bytes(good + b"GARBAGE" + bad + good + bad[:30])
    out = tmp_path / "out.csv"
    done = convert(str(source), "--to", "csv", "--columns", COLUMNS, "--definitions", root,
                   "-o", str(out), check_status=1)
    offset_bad = len(good) + 7
    assert f"{source}: offset {offset_bad}:" in done.stderr
    assert f"{source}: offset {2 * len(good) + 7 + len(bad)}:" in done.stderr  # the cut one
    assert "2 of the messages failed" in done.stderr
    lines = out.read_text().splitlines()
    assert lines[0] == COLUMNS
    assert len(lines) == 1 + 6 and all(line.startswith("1,") for line in lines[1:])
    # --strict: the first failure is fatal and nothing is written.
    strict = tmp_path / "strict.csv"
    convert(str(source), "--to", "csv", "--columns", COLUMNS, "--definitions", root, "--strict",
            "-o", str(strict), check_status=1)
    assert not strict.exists()
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []


def test_jsonl_and_quiet_when_not_a_terminal(root: str, tmp_path: Path) -> None:
    source = tmp_path / "in.bufr"
    source.write_bytes(sounding(station=5))
    out = tmp_path / "out.jsonl"
    done = convert(str(source), "--to", "jsonl", "--columns", COLUMNS, "--filter", "pressure=70000",
                   "--definitions", root, "-o", str(out))
    assert done.stderr == "" and done.stdout == ""
    [line] = out.read_text().splitlines()
    assert json.loads(line) == {"stationNumber": 5, "pressure": 70000, "airTemperature": 270.0,
                                "windSpeed": 10.1, "data_datetime": "2024-05-17T00:00:00"}


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGKILL])
def test_killed_conversion_leaves_no_output(root: str, tmp_path: Path, sig: int) -> None:
    source = tmp_path / "big.bufr"
    source.write_bytes(sounding() * 20000)
    out = tmp_path / "out.csv"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen(
        [sys.executable, "-m", "skerrow", "convert", str(source), "--to", "csv", "--columns", COLUMNS,
         "--definitions", root, "--chunk", "50", "-o", str(out)],
        env=env, stderr=subprocess.DEVNULL,
    )
    deadline = time.monotonic() + 60
    while not any(p.name.endswith(".part") and p.stat().st_size > 0 for p in tmp_path.iterdir()):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.02)
    proc.send_signal(sig)
    proc.wait()
    assert not out.exists()
    leftovers = [p.name for p in tmp_path.iterdir() if p.name.endswith(".part")]
    assert leftovers == ([] if sig == signal.SIGTERM else leftovers)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_next_conversion_removes_what_a_killed_one_left(root: str, tmp_path: Path) -> None:
    big = tmp_path / "big.bufr"
    big.write_bytes(sounding() * 20000)
    waiting = tmp_path / "waiting.bufr"
    os.mkfifo(waiting)  # a conversion reading it waits for a writer, alive
    out = tmp_path / "out.csv"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))

    def start(source: Path) -> tuple[subprocess.Popen[bytes], Path]:
        before = set(tmp_path.glob("*.part"))
        proc = subprocess.Popen(
            [sys.executable, "-m", "skerrow", "convert", str(source), "--to", "csv", "--columns",
             COLUMNS, "--definitions", root, "--chunk", "50", "-o", str(out)],
            env=env, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 60
        while not (parts := list(set(tmp_path.glob("*.part")) - before)):
            assert proc.poll() is None and time.monotonic() < deadline
            time.sleep(0.02)
        return proc, parts[0]

    killed, dead_part = start(big)
    killed.kill()
    killed.wait()
    live, live_part = start(waiting)
    try:
        other = tmp_path / ".elsewhere.csv.x1.part"
        other.write_text("another output's")
        # All look old: only the lock tells the live conversion's file.
        for part in (dead_part, live_part, other):
            os.utime(part, (time.time() - 3600, time.time() - 3600))
        small = tmp_path / "small.bufr"
        small.write_bytes(sounding())
        convert(str(small), "--to", "csv", "--columns", COLUMNS, "--definitions", root, "-o", str(out))
        assert out.exists() and not dead_part.exists()
        assert live_part.exists() and other.exists()
        # A leftover younger than the grace period may not be locked yet: kept.
        young = tmp_path / ".out.csv.young.part"
        young.write_text("")
        convert(str(small), "--to", "csv", "--columns", COLUMNS, "--definitions", root, "-o", str(out))
        assert young.exists() and live_part.exists()
    finally:
        live.kill()
        live.wait()


@pytest.mark.parametrize("block", [5, 64, 1000, 1 << 20])
def test_block_reader_matches_scan(root: str, tmp_path: Path, block: int) -> None:
    messages = [sounding(station=n) for n in range(4)]
    data = b"head" + messages[0] + b"BUF" + messages[1] + messages[2] + b"x" * 300 + messages[3] + b"BUFR\0"
    path = tmp_path / "s.bufr"
    path.write_bytes(data)
    found = list(stream_messages(str(path), root, block_size=block))
    offsets = [data.index(m) for m in messages]
    assert [o for o, m in found[:4]] == offsets
    assert [m.bytes() for _, m in found[:4]] == messages
    assert len(found) == 5 and isinstance(found[4][1], ValueError)
    assert found[4][0] == len(data) - 5


def test_usage_errors(root: str, tmp_path: Path) -> None:
    done = convert("x.bufr", "--to", "csv", "--reader", "generic", "-o", str(tmp_path / "o"),
                   check_status=2)
    assert "needs --columns" in done.stderr
    done = convert(str(tmp_path / "missing.bufr"), "--to", "csv", "--columns", "pressure", "-o",
                   str(tmp_path / "o.csv"), check_status=1)
    assert "missing.bufr" in done.stderr


@needs_corpus
def test_corpus_to_parquet_and_csv(tmp_path: Path) -> None:
    pytest.importorskip("pyarrow", reason="pyarrow not installed")
    files = sorted(str(p) for p in CORPUS.glob("*-temp-*.bufr"))
    columns = "WMO_station_id,data_datetime,pressure,airTemperature,windSpeed"
    out = tmp_path / "temp.parquet"
    convert(*files, "--to", "parquet", "--columns", columns, "-o", str(out))
    expected = read_bufr(files, columns=columns.split(","))
    got = pandas.read_parquet(out)
    assert len(got) == len(expected) > 1000
    for column in expected.columns:
        for a, b in zip(got[column].tolist(), expected[column].tolist()):
            assert a == b or (isinstance(a, float) and math.isnan(a) and b != b), column
    flat = tmp_path / "synop.csv"
    synops = sorted(str(p) for p in CORPUS.glob("pdbufr-synop-00*.bufr"))
    convert(*synops, "--to", "csv", "--reader", "flat", "-o", str(flat))
    header = flat.read_text().splitlines()[0].split(",")
    assert header[:2] == ["edition", "masterTableNumber"] and "#1#airTemperature" in header
