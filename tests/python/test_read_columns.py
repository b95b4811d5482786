"""skerrow.read_columns: the columns of many messages merged in the core must
equal the per-message columns() put end to end, with missing entries where
a message lacks a name, whatever the mix of templates and layouts."""

from __future__ import annotations

import math
import threading

import pytest
from bufr_builder import Message
from conftest import CORPUS, corpus_manifest, needs_corpus
from decode_support import bits, table_dir

import skerrow

numpy = pytest.importorskip("numpy")


def concatenated(messages: list[skerrow.Message], **options) -> dict[str, list]:
    """The per-message columns end to end, as lists (NaN as None)."""
    per = [(m.columns(**options), m.header.number_of_subsets) for m in messages]
    names: dict[str, None] = {}
    for columns, _ in per:
        names.update(dict.fromkeys(columns))
    out = {}
    for name in names:
        entries: list = []
        for columns, count in per:
            entries += columns[name].tolist() if name in columns else [None] * count
        out[name] = [None if isinstance(e, float) and math.isnan(e) else e for e in entries]
    return out


def as_lists(columns: dict[str, numpy.ndarray]) -> dict[str, list]:
    return {name: [None if isinstance(e, float) and math.isnan(e) else e
                   for e in column.tolist()] for name, column in columns.items()}


def corpus_set(kind: str, compressed: str) -> list:
    return [CORPUS / r["file"] for r in corpus_manifest()
            if "/" not in r["file"] and r["kind"] == kind and r["compressed"] == compressed
            and r["eccodes_decodes"] == "yes"]


def decodable(paths: list) -> list[skerrow.Message]:
    found = []
    for path in paths:
        for message in skerrow.messages(path):
            try:
                message.columns()
            except ValueError:
                continue
            found.append(message)
    return found


@needs_corpus
@pytest.mark.parametrize("kind, compressed", [("synop", "no"), ("temp", "no"), (None, "yes")])
def test_corpus_sets_equal_their_messages_columns_end_to_end(kind, compressed):
    if kind is None:  # a mix of compressed templates
        paths = [CORPUS / r["file"] for r in corpus_manifest()
                 if "/" not in r["file"] and r["compressed"] == "yes"
                 and r["eccodes_decodes"] == "yes"][:12]
    else:
        paths = corpus_set(kind, compressed)
    messages = decodable(paths)
    assert messages
    merged = skerrow.read_columns(messages)
    assert list(merged) == list(concatenated(messages))
    assert as_lists(merged) == concatenated(messages)
    numeric = [c for c in merged.values() if c.dtype.kind == "f"]
    assert all(not c.flags.writeable for c in numeric)


@pytest.fixture(scope="module")
def root(tmp_path_factory) -> str:
    base = tmp_path_factory.mktemp("defs")
    table_dir(base / "bufr/tables/0/wmo/35")
    return str(base)


def templates() -> bytes:
    """Three messages of differing templates and layouts: uncompressed
    stations with a delayed replication of temperatures (two and one), a
    compressed message of names and temperatures, and one of a code."""
    first = Message(descriptors=[1001, 101000, 31001, 12101], subsets=2, data=bits(
        (6, 7), (2, 8), (27000, 16), (27100, 16),
        (7, 7), (1, 8), (28000, 16),
    )).build()
    second = Message(descriptors=[1015, 12101], subsets=3, compressed=True, data=bits(
        (0, 24), (3, 6), b"ABC", b"\xff\xff\xff", b"CDE",
        (29000, 16), (1, 6), (0, 1), (1, 1), (0, 1),
    )).build()
    third = Message(descriptors=[20003], data=bits((5, 9))).build()
    return first + second + third


def test_messages_of_differing_templates_merge_with_missing_elsewhere(root):
    data = templates()
    merged = skerrow.read_columns(data, definitions=root)
    assert as_lists(merged) == {
        "blockNumber": [6.0, 7.0, None, None, None, None],
        "delayedReplicationFactor": [2.0, 1.0, None, None, None, None],
        "airTemperature": [270.0, 280.0, 290.0, None, 290.0, None],
        "#2#airTemperature": [271.0, None, None, None, None, None],
        "stationName": [None, None, "ABC", None, "CDE", None],
        "presentWeather": [None] * 5 + [5.0],
    }
    assert merged["stationName"].dtype == object
    messages = list(skerrow.messages(data, definitions=root))
    assert as_lists(merged) == concatenated(messages)
    meanings = skerrow.read_columns(data, meanings=True, definitions=root)
    assert meanings["presentWeather"].tolist() == [None] * 5 + ["HAZE"]
    assert as_lists(meanings) == concatenated(messages, meanings=True)


def test_sources_of_every_form_give_the_same_columns(root, tmp_path):
    data = templates()
    path = tmp_path / "set.bufr"
    path.write_bytes(data)
    want = as_lists(skerrow.read_columns(data, definitions=root))
    assert as_lists(skerrow.read_columns(path, definitions=root)) == want
    assert as_lists(skerrow.read_columns(str(path), definitions=root)) == want
    assert as_lists(skerrow.read_columns(skerrow.messages(data, definitions=root))) == want
    twice = as_lists(skerrow.read_columns([path, data], definitions=root))
    assert twice == {name: column * 2 for name, column in want.items()}
    assert skerrow.read_columns([]) == {}


@pytest.mark.parametrize("keys", [
    ["#2#airTemperature"],
    ["stationName", "012101"],
    ["presentWeather", "blockNumber"],
])
def test_keys_choose_columns_across_messages(root, keys):
    data = templates()
    full = as_lists(skerrow.read_columns(data, definitions=root))
    names = [("airTemperature" if k == "012101" else k) for k in keys]
    got = as_lists(skerrow.read_columns(data, keys, definitions=root))
    assert got == {name: column for name, column in full.items() if name in names}


def test_a_key_no_message_has_is_a_key_error(root):
    with pytest.raises(KeyError, match="#3#airTemperature"):
        skerrow.read_columns(templates(), ["airTemperature", "#3#airTemperature"],
                             definitions=root)


def test_a_broken_message_names_its_offset(root):
    data = templates()
    last = list(skerrow.messages(data, definitions=root))[-1]
    # The last message's template asks for more bits than its section 4 has.
    broken = data[: last.offset] + Message(descriptors=[20003, 20003, 20003],
                                           data=bits((5, 9))).build()
    with pytest.raises(ValueError, match=f"message at offset {last.offset}"):
        skerrow.read_columns(broken, definitions=root)


def test_threads_merging_at_once_give_one_thread_s_columns(root):
    data = templates() * 20
    want = as_lists(skerrow.read_columns(data, definitions=root))
    got: list = []

    def merge() -> None:
        for _ in range(5):
            got.append(as_lists(skerrow.read_columns(data, definitions=root)))

    threads = [threading.Thread(target=merge) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(got) == 15 and all(g == want for g in got)
