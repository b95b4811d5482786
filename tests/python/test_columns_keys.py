"""columns(keys=...) of compressed messages steps over the columns not asked
for; what it returns must equal the full columns cut down to those names,
whatever the keys: random choices, ranked names, qualifiers, six-digit
codes, names whose columns follow bitmaps, replications and operators."""

from __future__ import annotations

import random

import pytest
from bufr_builder import Message
from conftest import CORPUS, corpus_manifest, needs_corpus
from decode_support import bits, damaged_copies, table_dir

import skerrow

numpy = pytest.importorskip("numpy")


def same(got: dict, want: dict) -> bool:
    if list(got) != list(want):
        return False
    for name, column in want.items():
        other = got[name]
        if column.dtype != other.dtype:
            return False
        if column.dtype.kind == "f":
            if not numpy.array_equal(column, other, equal_nan=True):
                return False
        elif column.tolist() != other.tolist():
            return False
    return True


def key_sets(names: list[str], rng: random.Random) -> list[list[str]]:
    """Choices of names: a few at random, the ranked ones, the qualifiers,
    one name alone, the last name (after every operator and bitmap)."""
    ranked = [n for n in names if n.startswith("#")]
    qualifiers = [n for n in names if "->" in n]
    sets = [rng.sample(names, min(len(names), k)) for k in (1, 3, 12)]
    sets += [ranked[:: max(1, len(ranked) // 5)], qualifiers[:6], [names[-1]]]
    return [s for s in sets if s]


def check_keys(message: skerrow.Message, rng: random.Random) -> None:
    full = message.columns()
    for keys in key_sets(list(full), rng):
        # In the order the message has them, as columns() returns them.
        want = {name: full[name] for name in full if name in keys}
        assert same(message.columns(keys), want), keys


def compressed_corpus() -> list[str]:
    return [r["file"] for r in corpus_manifest()
            if r["compressed"] == "yes" and r["expected_parse"] == "ok"]


@needs_corpus
def test_keys_of_every_compressed_corpus_message_give_the_full_columns_cut_down():
    rng = random.Random(9)
    checked = 0
    for name in compressed_corpus():
        for message in skerrow.messages(CORPUS / name):
            try:
                message.columns()
            except ValueError:
                continue  # what the package cannot decode is tested elsewhere
            check_keys(message, rng)
            checked += 1
    assert checked >= 60


@pytest.fixture(scope="module")
def root(tmp_path_factory) -> str:
    base = tmp_path_factory.mktemp("defs")
    table_dir(base / "bufr/tables/0/wmo/35")
    return str(base)


def compressed(descriptors: list[int], items: list[tuple[int, int]]) -> bytes:
    """A compressed message of two subsets whose items are the same in both,
    except the first, which is one more in the second subset."""
    first, width = items[0]
    packed = [(first, width), (1, 6), (0, 1), (1, 1)]
    for raw, width in items[1:]:
        packed += [(raw, width), (0, 6)]
    return Message(descriptors=descriptors, data=bits(*packed), subsets=2,
                   compressed=True).build()


# A delayed replication of two temperatures and pressures, quality
# information for the temperatures after a bitmap, an associated field with
# its significance, and a 2-01 width change before the last pressure.
STEERED = (
    [12101, 102000, 31001, 12101, 7004, 222000, 101004, 31031, 33007, 33007,
     204008, 31021, 11002, 204000, 201130, 7004, 201000],
    [(28815, 16), (2, 8), (28000, 16), (9000, 14), (29000, 16), (9100, 14),
     (0, 1), (1, 1), (0, 1), (1, 1), (90, 7), (80, 7),
     (1, 6), (7, 8), (50, 64), (9500, 16)],
)


# Two wind speeds, the second substituted after a 2-23-000 bitmap, then a
# third: the substituted value qualifies and does not count as a rank.
MARKED = (
    [11002, 11002, 223000, 101002, 31031, 223255, 11002],
    [(40, 64), (50, 64), (1, 1), (0, 1), (55, 64), (60, 64)],
)


@pytest.mark.parametrize("keys", [
    ["#3#windSpeed"],
    ["#2#windSpeed->substitutedValue"],
    ["windSpeed", "#3#windSpeed"],
    ["#2#windSpeed", "#2#dataPresentIndicator"],
])
def test_keys_by_rank_around_a_marker(root, keys):
    [message] = skerrow.messages(compressed(*MARKED), definitions=root)
    full = message.columns()
    assert full["#2#windSpeed->substitutedValue"].tolist() == [55.0, 55.0]
    assert full["#3#windSpeed"].tolist() == [60.0, 60.0]
    assert same(message.columns(keys), {n: full[n] for n in full if n in keys})


@pytest.mark.parametrize("keys", [
    ["#3#pressure"],
    ["#3#airTemperature"],
    ["#2#airTemperature->percentConfidence"],
    ["windSpeed->associatedField", "012101"],
    ["windSpeed->associatedField->associatedFieldSignificance", "pressure"],
    ["#2#pressure", "windSpeed", "delayedReplicationFactor"],
])
def test_keys_after_replications_bitmaps_and_operators(root, keys):
    [message] = skerrow.messages(compressed(*STEERED), definitions=root)
    full = message.columns()
    got = message.columns(keys)
    names = [("airTemperature" if k == "012101" else k) for k in keys]
    assert same(got, {n: full[n] for n in full if n in names})
    assert len(got) == len(keys)


def test_a_key_no_subset_has_is_a_key_error(root):
    [message] = skerrow.messages(compressed(*STEERED), definitions=root)
    with pytest.raises(KeyError, match="#4#airTemperature"):
        message.columns(["windSpeed", "#4#airTemperature"])
    with pytest.raises(KeyError, match="noSuchKey"):
        message.columns(["noSuchKey"])


@pytest.mark.filterwarnings("ignore::skerrow.TableVersionWarning")
def test_damaged_messages_through_keys_and_read_columns(root):
    # Cut short and with single bits flipped: stepping over unwanted columns
    # and merging must fail as cleanly as decoding everything.
    raw = compressed(*STEERED)
    for case in damaged_copies(raw, seed=5, flips=200, step=3):
        try:
            for message in skerrow.messages(case, definitions=root):
                try:
                    message.columns(["#3#pressure", "windSpeed"])
                except KeyError:
                    pass
            skerrow.read_columns(case, definitions=root)
        except ValueError as exc:
            assert str(exc).startswith("message at offset "), exc
