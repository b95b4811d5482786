"""Columns of real messages against ecCodes' keys: every name both give,
ranks and qualifiers ("#2#pressure->percentConfidence") included, must hold
the same values, in every subset.

Names only one side gives, by cause: we keep the associated field
significance (031021) as a value of its own besides giving it to every
associated field ("->associatedField->associatedFieldSignificance") as
ecCodes does; and in a few satellite messages with several quality bitmaps
ecCodes counts values as further ranks that we attach as nested qualifiers."""

from __future__ import annotations

import json
import math
import subprocess
from collections import Counter
from pathlib import Path

import pytest
from conftest import CORPUS, corpus_manifest, needs_corpus, needs_eccodes

import skerrow

SYSTEM_PYTHON = "/usr/bin/python3"
ORACLE = Path(__file__).with_name("eccodes_columns.py")
# Decoded differently on purpose, as the corpus comparison of values records:
# the local 021192 after 2-06-008 of this profiler message.
KNOWN = {("pybufrkit-profiler-001-e3to4.bufr", "radarBackScatter")}
# Data description qualifiers (class 31) are never missing for us; ecCodes
# reads all ones as missing: 63 is all ones in the 6 bits of 031021.
ALL_ONES = {"associatedFieldSignificance": 63.0}


def eccodes_columns(paths: list[str]) -> dict[str, dict]:
    try:
        result = subprocess.run([SYSTEM_PYTHON, str(ORACLE), *paths], capture_output=True,
                                text=True, timeout=900, check=False)
    except OSError:
        pytest.skip(f"{SYSTEM_PYTHON} is not available")
    if result.returncode != 0:
        pytest.skip(f"{SYSTEM_PYTHON} cannot decode with eccodes: {result.stderr[-300:]}")
    return json.loads(result.stdout)


def text(value: str | None) -> str | None:
    # ecCodes ends a text at its first NUL and drops trailing blanks; an
    # empty text is our missing one; bytes that are not UTF-8 print
    # differently on each side.
    if value is None:
        return None
    value = value.split("\0")[0].rstrip()
    if set(value) <= {"\ufffd", "\xff", "?"}:
        # ecCodes' missing text is all ones up to the first NUL; we show the
        # octet that is not text as a replacement character.
        return None
    return value.encode("ascii", "replace").decode()


def same(ours: list, theirs: list) -> bool:
    if len(theirs) == 1 and len(ours) > 1:
        theirs = theirs * len(ours)
    if len(ours) != len(theirs):
        return False
    for a, b in zip(ours, theirs):
        if isinstance(a, str) or isinstance(b, str) or (a is None and b is None):
            if text(a) != text(b if not isinstance(b, float) else None) and not (
                    a is None and b is None):
                return False
        elif a is None or b is None:
            return False
        elif not math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-9):
            return False
    return True


def our_columns(path: str) -> dict[str, list] | None:
    """Our values under ecCodes' names: per subset for compressed and single
    subset messages; ranks counted over the whole message otherwise, as
    ecCodes counts them."""
    [message] = skerrow.messages(path)
    try:
        if message.header.compressed_data or message.header.number_of_subsets == 1:
            out = {}
            for name, array in message.columns().items():
                values = [None if isinstance(x, float) and math.isnan(x) else x
                          for x in array.tolist()]
                out[name if name.startswith("#") else f"#1#{name}"] = values
            return out
        counts: Counter[str] = Counter()
        out = {}
        for subset in message.subsets():
            whole: dict[str, str] = {}  # name in the subset -> name in the message
            for name, value in zip(subset.names(), subset):
                if not name:
                    continue
                head, arrow, qualifier = name.partition("->")
                if arrow:
                    if head not in whole:
                        continue
                    full = f"{whole[head]}->{qualifier}"
                else:
                    key = name.split("#")[-1]
                    counts[key] += 1
                    full = whole[name] = f"#{counts[key]}#{key}"
                out[full] = [value.text if value.text is not None else value.number]
        return out
    except ValueError:
        return None


def compare(paths: list[str]) -> tuple[int, list]:
    reference = eccodes_columns(paths)
    agreed, differences = 0, []
    for path in paths:
        ours = our_columns(path)
        if ours is None:
            continue
        for name, values in reference[path]["columns"].items():
            if name not in ours or isinstance(values, str):
                continue
            key = name.split("#")[-1].split("->")[0]
            if (Path(path).name, key) in KNOWN:
                continue
            qualifier = name.split("->")[-1]
            if qualifier in ALL_ONES:
                values = [ALL_ONES[qualifier] if v is None else v for v in values]
            if same(ours[name], values):
                agreed += 1
            else:
                differences.append((Path(path).name, name, ours[name][:3], values[:3]))
    return agreed, differences


@needs_corpus
@needs_eccodes
def test_columns_of_a_few_messages_agree_with_eccodes():
    names = ["pybufrkit-satwind-009.bufr", "pdbufr-synop-001.bufr", "wreport-temp-003.bufr",
             "eccodespy-satsurface-002.bufr"]
    agreed, differences = compare([str(CORPUS / n) for n in names])
    assert differences == []
    assert agreed > 500


@pytest.mark.slow
@needs_corpus
@needs_eccodes
def test_columns_of_the_corpus_agree_with_eccodes():
    paths = [str(CORPUS / r["file"]) for r in corpus_manifest()
             if "/" not in r["file"] and r["eccodes_decodes"] == "yes"]
    agreed, differences = compare(paths)
    assert differences == []
    assert agreed > 250_000
