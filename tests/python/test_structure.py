"""Subsets and columns of skerrow.messages' messages, on messages built with
our writer: keys and ranks, missing values, texts, meanings, differing
subsets, threads and bad input."""

from __future__ import annotations

import math
import threading


import pytest
from bufr_builder import Message
from decode_support import bits, damaged_copies, table_dir

import skerrow

numpy = pytest.importorskip("numpy")
pytestmark = pytest.mark.filterwarnings("error")


@pytest.fixture(scope="module")
def root(tmp_path_factory) -> str:
    base = tmp_path_factory.mktemp("defs")
    table_dir(base / "bufr/tables/0/wmo/35")
    return str(base)


def one(data: bytes, root: str) -> skerrow.Message:
    [message] = skerrow.messages(data, definitions=root)
    return message


def compressed(root: str) -> skerrow.Message:
    # Three subsets: 001001 (6, 7, missing), 012101 twice, 001015 ("ABC", missing,
    # "CDE"), 020003 (5 HAZE in all).
    data = bits(
        (6, 7), (2, 6), (0, 2), (1, 2), (3, 2),
        (27000, 16), (5, 6), (0, 5), (5, 5), (15, 5),
        (28000, 16), (0, 6),
        (0, 24), (3, 6), b"ABC", b"\xff\xff\xff", b"CDE",
        (5, 9), (0, 6),
    )
    return one(Message(edition=3, descriptors=[1001, 12101, 12101, 1015, 20003], data=data,
                       subsets=3, compressed=True).build(), root)


def test_compressed_columns_by_key_and_rank(root):
    columns = compressed(root).columns()
    assert list(columns) == ["blockNumber", "airTemperature", "#2#airTemperature",
                             "stationName", "presentWeather"]
    assert columns["blockNumber"].dtype == numpy.float64
    assert [None if math.isnan(x) else x for x in columns["blockNumber"]] == [6.0, 7.0, None]
    assert columns["airTemperature"].tolist() == [270.0, 270.05, 270.15]
    assert columns["#2#airTemperature"].tolist() == [280.0] * 3
    assert columns["stationName"].dtype == object
    assert columns["stationName"].tolist() == ["ABC", None, "CDE"]
    assert columns["presentWeather"].tolist() == [5.0] * 3


def test_meanings_and_a_choice_of_keys(root):
    message = compressed(root)
    columns = message.columns(meanings=True)
    assert columns["presentWeather"].tolist() == ["HAZE"] * 3
    assert columns["airTemperature"].dtype == numpy.float64
    chosen = message.columns(["#2#airTemperature", "001001", "presentWeather"])
    assert list(chosen) == ["blockNumber", "#2#airTemperature", "presentWeather"]
    assert list(message.columns(["#1#airTemperature"])) == ["airTemperature"]
    with pytest.raises(KeyError, match="noSuchKey"):
        message.columns(["airTemperature", "noSuchKey"])
    with pytest.raises(KeyError, match="#3#airTemperature"):
        message.columns(["#3#airTemperature"])


def test_differing_subsets_give_every_name_with_missing_elsewhere(root):
    # Subset 1 repeats 012101 once, subset 2 three times.
    data = bits((1, 8), (27000, 16), (3, 8), (27100, 16), (27200, 16), (27300, 16))
    message = one(Message(edition=4, descriptors=[101000, 31001, 12101], data=data,
                          subsets=2).build(), root)
    columns = message.columns()
    assert list(columns) == ["delayedReplicationFactor", "airTemperature",
                             "#2#airTemperature", "#3#airTemperature"]
    assert columns["airTemperature"].tolist() == [270.0, 271.0]
    assert [math.isnan(x) for x in columns["#3#airTemperature"]] == [True, False]
    subsets = message.subsets()
    assert [len(s) for s in subsets] == [2, 4]
    assert subsets[1].get("airTemperature", rank=3).number == 273.0
    assert subsets[1]["#2#airTemperature"].number == 272.0
    assert subsets[0].get("airTemperature", rank=2) is None


def test_subsets_concatenated_are_the_values(root):
    message = compressed(root)
    subsets = message.subsets()
    assert len(subsets) == 3
    flat = [repr(v.decoded) for s in subsets for v in s]
    assert flat == [repr(v) for v in message.values()]
    first = subsets[0]
    assert first["airTemperature"].number == 270.0
    assert first["012101"].unit == "K"
    assert first[3].key == "stationName" and first[3].text == "ABC" and first[3].number is None
    assert first["presentWeather"].meaning == "HAZE"
    assert subsets[2]["blockNumber"].number is None
    assert first.keys() == ["blockNumber", "airTemperature", "airTemperature", "stationName",
                            "presentWeather"]
    with pytest.raises(KeyError, match="dewpointTemperature"):
        first["dewpointTemperature"]
    with pytest.raises(IndexError):
        first[5]


def test_keys_of_elements_without_one_are_their_codes(tmp_path):
    table_dir(tmp_path / "bufr/tables/0/wmo/35",
              elements={1001: "|long|WMO BLOCK NUMBER|Numeric|0|0|7"})
    message = one(Message(descriptors=[1001], data=bits((6, 7))).build(), str(tmp_path))
    assert list(message.columns()) == ["001001"]
    assert message.subsets()[0]["001001"].number == 6.0


# An element Table B lacks, read with the width 2-06 announced, has no unit.
def test_unknown_local_element_has_no_unit(root):
    message = one(Message(descriptors=[206008, 1200, 1001], data=bits((200, 8), (6, 7))).build(), root)
    [unknown, block] = message.subsets()[0]
    assert (unknown.number, unknown.unit, block.number) == (200.0, "", 6.0)


def as_text(columns: dict[str, numpy.ndarray]) -> dict[str, str]:
    return {name: repr(array.tolist()) for name, array in columns.items()}


def test_threads_give_the_results_of_one_thread(root):
    messages = [compressed(root)]
    for factor in range(1, 6):
        data = bits((factor, 8), *[(27000 + k, 16) for k in range(factor)])
        messages.append(one(Message(descriptors=[101000, 31001, 12101], data=data).build(), root))
    expected = [[repr(v) for v in m.values()] for m in messages]
    expected_columns = [as_text(m.columns()) for m in messages]
    failures: list[str] = []

    def decode(start: int) -> None:
        for round_number in range(200):
            k = (start + round_number) % len(messages)
            if [repr(v) for v in messages[k].values()] != expected[k]:
                failures.append(f"values of {k}")

    def read_columns() -> None:
        for round_number in range(200):
            k = round_number % len(messages)
            if as_text(messages[k].columns()) != expected_columns[k]:
                failures.append(f"columns of {k}")

    threads = [threading.Thread(target=decode, args=(0,)), threading.Thread(target=decode, args=(3,)),
               threading.Thread(target=read_columns)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_truncated_and_mutated_messages_through_subsets_and_columns(root):
    good = compressed(root)
    data = good.bytes() if hasattr(good, "bytes") else None
    raw = Message(edition=3, descriptors=[1001, 12101, 1015], compressed=True, subsets=2,
                  data=bits((6, 7), (1, 6), (0, 1), (1, 1), (27000, 16), (0, 6),
                            (0, 16), (1, 6), b"A", b"B")).build()
    assert data is None or data
    for case in damaged_copies(raw, seed=11, flips=300):
        try:
            for message in skerrow.messages(case, definitions=root):
                message.subsets()
                message.columns()
                message.columns(meanings=True)
        except ValueError as exc:
            assert str(exc).startswith("message at offset "), exc


def test_columns_arrays_are_wrapped_not_copied(root):
    columns = compressed(root).columns()
    assert not columns["airTemperature"].flags.writeable
    base = columns["airTemperature"].base
    assert isinstance(base, (bytes, numpy.ndarray))





# Quality information after 2-22-000 for temperature and wind direction, then
# a substituted wind speed after 2-23-000, then one more wind speed.
QUALIFIED = [
    (12101, 28815, 16), (7004, 10000, 14), (11001, 180, 63), (11002, 50, 64),
    (222000, None, 0), (101004, None, 0), (31031, 0, 1), (31031, 1, 1), (31031, 0, 1),
    (31031, 1, 1), (33007, 90, 7), (33007, 80, 7),
    (223000, None, 0), (101004, None, 0), (31031, 1, 1), (31031, 1, 1), (31031, 1, 1),
    (31031, 0, 1), (223255, 60, 64), (11002, 70, 64),
]


def qualified(compressed: bool) -> bytes:
    # Each bitmap is one 031031 replicated four times.
    descriptors = [12101, 7004, 11001, 11002, 222000, 101004, 31031, 33007, 33007,
                   223000, 101004, 31031, 223255, 11002]
    items = [(raw, width) for _, raw, width in QUALIFIED if raw is not None]
    if compressed:
        packed = []
        for raw, width in items:
            packed += [(raw, width), (0, 6)]  # the same in both subsets
        return Message(descriptors=descriptors, data=bits(*packed), subsets=2,
                       compressed=True).build()
    return Message(descriptors=descriptors, data=bits(*items)).build()


@pytest.mark.parametrize("compressed", [False, True])
def test_qualifiers_are_named_after_what_they_qualify(root, compressed):
    message = one(qualified(compressed), root)
    columns = message.columns()
    assert columns["airTemperature->percentConfidence"].tolist()[0] == 90.0
    assert columns["windDirection->percentConfidence"].tolist()[0] == 80.0
    assert columns["windSpeed->substitutedValue"].tolist()[0] == 60.0
    assert columns["windSpeed"].tolist()[0] == 50.0
    assert columns["#2#windSpeed"].tolist()[0] == 70.0
    assert "percentConfidence" not in columns and "#3#windSpeed" not in columns
    subset = message.subsets()[0]
    temperature = subset["airTemperature"]
    assert temperature.qualifiers["percentConfidence"].number == 90.0
    assert subset["windSpeed"].qualifiers["substitutedValue"].number == 60.0
    assert subset.get("windSpeed", rank=2).number == 70.0
    assert subset["windDirection->percentConfidence"].number == 80.0
    assert subset["pressure"].qualifiers == {}


def test_compressed_message_of_no_subsets(root):
    data = bits((6, 7), (0, 6))
    message = one(Message(descriptors=[1001], data=data, subsets=0, compressed=True).build(),
                  root)
    assert message.columns() == {} and message.subsets() == []


@pytest.mark.parametrize("compressed", [False, True])
def test_associated_field_qualifies_the_element_after_it(root, compressed):
    descriptors = [204008, 31021, 12101, 204000]
    items = [(1, 6), (5, 8), (28815, 16)]
    if compressed:
        data = bits(*[f for item in items for f in (item, (0, 6))])
    else:
        data = bits(*items)
    message = one(Message(descriptors=descriptors, data=data, subsets=1 + compressed,
                          compressed=compressed).build(), root)
    columns = message.columns()
    assert columns["airTemperature->associatedField"].tolist()[0] == 5.0
    assert columns["airTemperature->associatedField->associatedFieldSignificance"].tolist()[0] == 1
    assert columns["airTemperature"].tolist()[0] == 288.15
    qualifiers = message.subsets()[0]["airTemperature"].qualifiers
    assert qualifiers["associatedField"].number == 5.0


def test_a_bitmap_defined_by_2_36_000_ends_with_its_subset(root):
    # After 2-36-000 every 031031 of the subset lengthens the bitmap; the next
    # subset starts without one, so its leading 031031 is a plain element and
    # the three entries mark the same elements as in the first subset.
    descriptors = [31031, 12101, 1001, 222000, 236000, 101003, 31031, 33007]
    subset = [(0, 1), (28815, 16), (6, 7), (1, 1), (0, 1), (1, 1)]
    data = bits(*subset, (90, 7), *subset, (91, 7))
    message = one(Message(descriptors=descriptors, data=data, subsets=2).build(), root)
    confidences = [s["airTemperature"].qualifiers["percentConfidence"].number
                   for s in message.subsets()]
    assert confidences == [90.0, 91.0]
    assert not any(s["blockNumber"].qualifiers for s in message.subsets())


def test_a_2_36_000_bitmap_longer_than_what_precedes_it_starts_at_the_first(root):
    # Three entries for two elements: the bitmap starts at the first element
    # of the subset, so its first entry marks the temperature.
    descriptors = [12101, 1001, 222000, 236000, 101003, 31031, 33007]
    data = bits((28815, 16), (6, 7), (0, 1), (1, 1), (1, 1), (90, 7))
    [subset] = one(Message(descriptors=descriptors, data=data).build(), root).subsets()
    assert subset["airTemperature"].qualifiers["percentConfidence"].number == 90.0
    assert not subset["blockNumber"].qualifiers


def test_characters_of_2_05_are_a_text_column(root):
    # Compressed: a reference text, the increment width in octets, then one
    # text per subset.
    data = bits(b"XY", (2, 6), b"AB", b"CD", b"ABC", (0, 6))
    message = one(Message(descriptors=[205002, 1015], data=data, subsets=2, compressed=True).build(),
                  root)
    columns = message.columns()
    assert columns["text"].tolist() == ["AB", "CD"]
    assert columns["stationName"].tolist() == ["ABC", "ABC"]
