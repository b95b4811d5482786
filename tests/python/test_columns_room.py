"""columns() keeps the room of one message's records and columns (per
thread) for the next: whatever came before, in whichever thread, a message
must give the columns a first decoding in a fresh thread gives."""

from __future__ import annotations

import threading

import pytest
from bufr_builder import Message
from decode_support import bits, table_dir
from test_columns_keys import MARKED, STEERED, compressed, same

import skerrow

pytest.importorskip("numpy")


def wide(temperatures: int) -> bytes:
    """A compressed message of three subsets: a station name, a code-table
    value, then many temperatures (ranked names), the same in every subset."""
    items: list = [b"ABC", (0, 6), (5, 9), (0, 6)]
    for k in range(temperatures):
        items += [(27000 + k, 16), (0, 6)]
    return Message(descriptors=[1015, 20003] + [12101] * temperatures,
                   data=bits(*items),
                   subsets=3, compressed=True).build()


def rows(subsets: int, most: int) -> bytes:
    """An uncompressed message whose subsets differ: subset k replicates
    (37 k mod most) + 1 temperatures, so that later ranks are absent from
    many subsets, and columns times subsets exceeds the room of one chunk."""
    items: list = []
    for k in range(subsets):
        count = (37 * k) % most + 1
        items += [(count, 8)] + [(27000 + 3 * k + j, 16) for j in range(count)]
    return Message(descriptors=[101000, 31001, 12101], data=bits(*items),
                   subsets=subsets).build()


def uncompressed(descriptors: list[int], items: list[tuple[int, int]]) -> bytes:
    """Two uncompressed subsets of the same items, the first one more in
    the second."""
    first, width = items[0]
    return Message(descriptors=descriptors, subsets=2,
                   data=bits(*items, (first + 1, width), *items[1:])).build()


MESSAGES = {
    "rows": rows(50, 100),
    "few rows": rows(3, 4),
    "steered rows": uncompressed(*STEERED),
    "marked rows": uncompressed(*MARKED),
    "wide": wide(700),
    "narrow": wide(3),
    "steered": compressed(*STEERED),
    "marked": compressed(*MARKED),
    "cut short": wide(700)[:-300],
}


@pytest.fixture(scope="module")
def root(tmp_path_factory) -> str:
    base = tmp_path_factory.mktemp("defs")
    table_dir(base / "bufr/tables/0/wmo/35")
    return str(base)


def columns(root: str, name: str, how: str) -> dict:
    [message] = skerrow.messages(MESSAGES[name], definitions=root)
    if how == "keys":
        names = list(message.columns())
        return message.columns([names[0], names[len(names) // 2], names[-1]])
    return message.columns(meanings=how == "meanings")


def in_fresh_thread(task):
    out = {}
    thread = threading.Thread(target=lambda: out.setdefault("result", task()))
    thread.start()
    thread.join()
    return out["result"]


@pytest.mark.parametrize("how", ["all", "meanings", "keys"])
@pytest.mark.parametrize("order", [
    ["wide", "narrow", "wide", "narrow"],
    ["narrow", "steered", "wide", "marked", "steered"],
    ["wide", "cut short", "marked", "wide", "cut short", "narrow"],
    ["rows", "few rows", "steered rows", "rows", "marked rows", "wide", "few rows"],
])
def test_columns_after_other_messages_equal_a_first_decoding(root, order, how):
    first = {name: in_fresh_thread(lambda name=name: columns(root, name, how))
             for name in set(order) - {"cut short"}}
    for name in order:
        if name == "cut short":
            with pytest.raises(ValueError):
                columns(root, name, how)
        else:
            assert same(columns(root, name, how), first[name]), name


def test_threads_decoding_in_turn_keep_their_own_room(root):
    first = {name: columns(root, name, "all")
             for name in ("wide", "narrow", "steered", "rows", "few rows")}
    failures: list[str] = []

    def work(order: list[str]) -> None:
        for _ in range(15):
            for name in order:
                if not same(columns(root, name, "all"), first[name]):
                    failures.append(name)

    threads = [threading.Thread(target=work, args=(o,))
               for o in (["wide", "narrow", "rows"],
                         ["narrow", "steered", "few rows", "wide", "rows"])]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.parametrize("before", [[], ["rows"], ["few rows", "wide", "steered rows"]])
def test_subsets_that_differ_give_each_rank_where_it_occurs(root, before):
    import numpy

    for name in before:
        columns(root, name, "all")
    got = columns(root, "rows", "all")
    counts = [(37 * k) % 100 + 1 for k in range(50)]
    numpy.testing.assert_array_equal(got["delayedReplicationFactor"], counts)
    for rank in (1, 2, 50, 100):
        name = "airTemperature" if rank == 1 else f"#{rank}#airTemperature"
        expected = [(27000 + 3 * k + rank - 1) / 100 if rank <= n else numpy.nan
                    for k, n in enumerate(counts)]
        numpy.testing.assert_array_equal(got[name], expected)


def test_uncompressed_qualifiers_get_their_own_columns(root):
    # The significance 031021 gave an associated field is a column of its
    # own beside 031021's, and quality values qualify the ranks they mark.
    got = {name: values.tolist() for name, values in columns(root, "steered rows", "all").items()}
    assert got["associatedFieldSignificance"] == [1.0, 1.0]
    assert got["windSpeed->associatedField"] == [7.0, 7.0]
    assert got["windSpeed->associatedField->associatedFieldSignificance"] == [1.0, 1.0]
    assert got["#2#airTemperature->percentConfidence"] == [90.0, 90.0]
    assert got["#3#airTemperature->percentConfidence"] == [80.0, 80.0]
    assert got["airTemperature"] == [288.15, 288.16]
