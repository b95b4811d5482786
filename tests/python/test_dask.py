"""skerrow.dask.read_bufr on a two-worker distributed.LocalCluster (thread
workers in one process, which start in a fraction of the time of process
workers), against skerrow.read_bufr on the same files."""

from __future__ import annotations

from pathlib import Path

import pytest
from decode_support import table_dir
from frames_support import ELEMENTS, sounding

pandas = pytest.importorskip("pandas", reason="pandas not installed (pip install pandas)")
pytest.importorskip("dask.dataframe", reason="dask[dataframe] not installed")
distributed = pytest.importorskip("distributed", reason="distributed not installed")

import skerrow  # noqa: E402
import skerrow.dask  # noqa: E402

COLUMNS = ["stationNumber", "pressure", "airTemperature", "data_datetime", "geometry"]


@pytest.fixture(scope="module")
def root(tmp_path_factory) -> str:
    base = tmp_path_factory.mktemp("defs")
    table_dir(base / "bufr/tables/0/wmo/35", elements=ELEMENTS, sequences={}, code_tables={})
    return str(base)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def files(tmp_path: Path) -> list[str]:
    out = []
    for n in range(3):
        p = tmp_path / f"in{n}.bufr"
        p.write_bytes(b"".join(sounding(station=10 * n + k) for k in range(5)))
        out.append(str(p))
    return out


def same(frame, expected) -> None:
    assert list(frame.columns) == list(expected.columns)
    assert len(frame) == len(expected)
    for column in expected.columns:
        for a, b in zip(frame[column].tolist(), expected[column].tolist()):
            if isinstance(b, list):
                assert list(a) == b, column
            elif pandas.isna(b):
                assert pandas.isna(a), column
            else:
                assert a == b, column


@pytest.mark.parametrize("per_partition, partitions", [(None, 3), (2, 9), (5, 3)])
def test_cluster_matches_read_bufr(root: str, tmp_path: Path, client, per_partition, partitions) -> None:
    paths = files(tmp_path)
    ddf = skerrow.dask.read_bufr(paths, COLUMNS, definitions=root, messages_per_partition=per_partition,
                                 filters={"pressure": slice(60000, None)})
    assert ddf.npartitions == partitions
    assert list(ddf.columns) == COLUMNS
    got = client.compute(ddf).result().reset_index(drop=True)
    expected = skerrow.read_bufr(paths, columns=COLUMNS, definitions=root, filters={"pressure": slice(60000, None)})
    same(got, expected)
    # A glob pattern names the same files.
    pattern = skerrow.dask.read_bufr(str(tmp_path / "in*.bufr"), COLUMNS, definitions=root)
    assert pattern.npartitions == 3


def test_partition_without_a_column_still_fits_the_meta(root: str, tmp_path: Path, client) -> None:
    paths = files(tmp_path)
    ddf = skerrow.dask.read_bufr(paths, ["pressure", "dewpointTemperature"], required_columns=False,
                                 definitions=root)
    got = client.compute(ddf).result()
    assert len(got) == 45 and got["dewpointTemperature"].isna().all()
    with pytest.raises(ValueError, match="columns"):
        skerrow.dask.read_bufr(paths, [], definitions=root)
