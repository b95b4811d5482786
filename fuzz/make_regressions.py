"""Writes the regression inputs of the fuzz targets that are easier to build
than to type: BUFR messages from the tests' writer, and table files that a
fuzzing campaign found troublesome, rebuilt small and directed.

    python3 fuzz/make_regressions.py

The outputs are committed; run this again only to change them.
"""

from __future__ import annotations

import pathlib
import random
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

from bufr_builder import BitWriter, Message  # noqa: E402

# Fixed replications nested three deep: 1-44-111 around 1-39-032 around
# 1-27-190. Unrolled that is about 18 million codes, past the expansion's
# step bound, reached only after a long walk.
NESTED_FIXED_REPLICATIONS = (
    [144111, 139032, 127190] + [12101] * 27 + [1001] * 11 + [4001] * 4
)

# Section 1 of 3 octets, a section 2 of 4 whose presence flag is the third
# octet of section 3, an empty section 3 and a section 4 of 3 octets.
SHORTEST_FRAMING = (
    b"BUFR" + (29).to_bytes(3, "big") + b"\x04"
    + b"\0\0\x03" + b"\0\0\x04\0" + b"\0\0\x07\0\0\x01\x80" + b"\0\0\x03" + b"7777"
)

# Elements, replications, operators and sequences that interact: factors,
# bitmaps, associated fields, changed widths and references.
HOSTILE_POOL = [
    1001, 1015, 5001, 12101, 31001, 31002, 31000, 31031, 33007, 20003, 8021, 48001,
    101000, 102000, 110000, 163000, 101255, 104255, 163255, 100000,
    201000, 201100, 201255, 202129, 203005, 203255, 203000, 204008, 204000, 205010, 206064,
    206000, 207255, 207019, 208255, 222000, 223255, 224255, 225255, 232255, 235000, 236000,
    237000, 237255, 221005, 209032, 301001, 301011, 303050, 309052, 307080, 300000,
]


def package_seeds() -> dict[str, bytes]:
    """Messages of editions 2, 3 and 4 whose values are all well formed, so
    that the package target starts from keys, names and columns that exist."""
    # Edition 4, two subsets that differ: a delayed replication of one and of
    # three temperatures, and an associated field before each.
    rows = BitWriter()
    for subset, temperatures in enumerate(([28815], [27315, 27415, 27515])):
        rows.write(2024, 12).write(5, 4).write(17, 6).write(10, 7).write(123 + subset, 10)
        rows.write(len(temperatures), 8)
        for t in temperatures:
            rows.write(1, 6).write(3, 8).write(t, 16)
    edition4 = Message(
        descriptors=[301011, 1001, 1002, 101000, 31001, 204008, 31021, 12101, 204000],
        data=rows.to_bytes(), subsets=2, master_version=35,
    ).build()
    # Edition 3, three compressed subsets: a constant, a small spread, a
    # missing increment and a station name of 20 characters each.
    packed = BitWriter().write(10, 7).write(0, 6)
    packed.write(100, 10).write(3, 6).write(1, 3).write(2, 3).write(7, 3)
    packed.write(28000, 16).write(10, 6).write(100, 10).write(200, 10).write_missing(10)
    packed.write(0, 160).write(20, 6)
    for name in (b"NORTH POINT", b"HARBOUR", b"LIGHTHOUSE"):
        packed.write_bytes(name.ljust(20), 160)
    edition3 = Message(
        edition=3, descriptors=[1001, 1002, 12101, 1015], data=packed.to_bytes(), subsets=3,
        compressed=True, master_version=13,
    ).build()
    # Edition 2, one subset with a quality bitmap: the last two of four
    # elements get a percent confidence each.
    quality = BitWriter().write(10, 7).write(123, 10).write(28815, 16).write(27315, 16)
    quality.write(1, 1).write(1, 1).write(0, 1).write(0, 1).write(98, 16).write(1, 8)
    quality.write(70, 7).write(100, 7)
    edition2 = Message(
        edition=2,
        descriptors=[1001, 1002, 12101, 12103, 222000, 236000, 101004, 31031, 1031, 1032,
                     101002, 33007],
        data=quality.to_bytes(), master_version=13,
    ).build()
    seeds = {"edition4-rows.bufr": edition4, "edition3-compressed.bufr": edition3,
             "edition2-quality.bufr": edition2}
    # The first octet chooses the call (modulo 3) and the names wanted (bits
    # 2 and 3): each call on every message, then the columns for a present
    # subset of the names, and for it with an absent name and a code.
    every = edition4 + edition3 + edition2
    for choice, name in ((0, "plain"), (1, "structure"), (2, "columns"),
                         (5, "columns-wanted"), (8, "columns-wanted-unknown")):
        seeds[f"{name}.bin"] = bytes([choice]) + every
    return seeds


def write(path: pathlib.Path, data: bytes) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def main() -> None:
    out = HERE / "regressions"
    write(
        out / "decode" / "nested-fixed-replications.bufr",
        Message(descriptors=NESTED_FIXED_REPLICATIONS, master_version=39, data=bytes(346)).build(),
    )
    # Fixed replications nested so that the walk takes exactly as many steps
    # as the expansion allows, then one descriptor more: the slowest list
    # that still fails quickly, and the one that found the bound too loose.
    write(
        out / "decode" / "expansion-at-step-bound.bufr",
        Message(descriptors=[103127, 102086, 101191, 1001, 1002], master_version=39,
                data=bytes(64)).build(),
    )
    # Operators that read no bits, 63 of them for each of 65535 compressed
    # subsets: millions of values from a message of under 200 octets.
    write(
        out / "decode" / "operator-values-amplified.bufr",
        Message(
            descriptors=[222000] * 63, subsets=65535, compressed=True, master_version=39,
            data=b"\0\0",
        ).build(),
    )
    # The shortest framing that passes every section check: 29 octets, one
    # short of the last fixed field of section 1.
    write(out / "scan_parse" / "sections-end-at-octet-29.bufr", SHORTEST_FRAMING)
    write(out / "scan_parse" / "near-miss-marker.bufr", b"BUFx" + Message().build()[4:])
    # Seeds: random lists from the pool over random data, both layouts.
    rng = random.Random(4)
    for k in range(12):
        descriptors = [rng.choice(HOSTILE_POOL) for _ in range(rng.randrange(1, 12))]
        data = bytes(rng.randrange(256) for _ in range(rng.choice((3, 40, 400))))
        write(
            HERE / "seeds" / "decode" / f"operators-{k:02d}.bufr",
            Message(descriptors=descriptors, data=data, subsets=rng.choice((1, 2, 7)),
                    compressed=k % 2 == 1, master_version=35).build(),
        )
    for name, data in package_seeds().items():
        write(HERE / "seeds" / "package" / name, data)
    members = ", ".join(f"{code:06d}" for code in NESTED_FIXED_REPLICATIONS)
    write(
        out / "sequence_def" / "nested-fixed-replications.def",
        f'"340001" = [ {members} ]\n'.encode(),
    )
    # A statement whose "[" is never closed: every later line joins it.
    write(
        out / "sequence_def" / "unclosed-statement.def",
        b'"300002" = [ 000002,\n' + b"000003,\n" * 200,
    )


if __name__ == "__main__":
    main()
