#!/usr/bin/env python3
"""Rebuilds the bundled WMO BUFR tables (python/skerrow/data/wmo_tables.tsv).

    python3 tools/build_tables.py            # default source locations
    python3 tools/build_tables.py --help

Sources, by master table version:

* every version that has an ecCodes table directory (Debian's libeccodes-data
  tree for 2 to 39, ecCodes' own directories for 40 on): that directory,
  read by the same rules as skerrow's ecCodes loader. It carries the element
  keys (airTemperature, ...) and code tables already in ecCodes' form.
* every version newer than the newest ecCodes directory: that directory,
  changed by what WMO changed between the two releases in its CSV tables
  (Table B, Table D, code and flag tables). Entries WMO added get a key made
  from their name; code tables WMO changed are rewritten in ecCodes' form.

Where a version has both an ecCodes directory and WMO CSV files, the script
compares their Table B scales, references and widths and their Table D
members, and prints every difference.

The output is one UTF-8 text file of tab-separated lines. Versions share
almost every entry, so each distinct entry is written once with the first and
last version it belongs to (in the order of the bundled versions):

    skerrow-wmo-tables<TAB>1
    versions<TAB>2 6 7 ... 46
    B<TAB>from<TAB>to<TAB>code<TAB>key<TAB>type<TAB>name<TAB>unit<TAB>scale<TAB>reference<TAB>width
    D<TAB>from<TAB>to<TAB>code<TAB>member<TAB>member...
    C<TAB>from<TAB>to<TAB>code<TAB>raw value<TAB>meaning
    end<TAB><number of entry lines>

The last line lets a reader tell a whole file from a cut one.
"""

from __future__ import annotations

import argparse
import csv
import glob
import os
import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
SHARED = REPO.parent / "shared" / "tables"
DEFAULT_OUTPUT = REPO / "python" / "skerrow" / "data" / "wmo_tables.tsv"
MAGIC = "skerrow-wmo-tables"
FORMAT_VERSION = "1"

# (key, type, name, unit, scale, reference, width)
Element = tuple[str, str, str, str, int, int, int]


class Tables:
    def __init__(self) -> None:
        self.elements: dict[int, Element] = {}
        self.sequences: dict[int, tuple[int, ...]] = {}
        self.code_tables: dict[int, dict[int, str]] = {}


# --------------------------------------------------------------- ecCodes form


def parse_code(text: str) -> int:
    text = text.strip().strip('"')
    if not re.fullmatch(r"\+?[0-9]+", text):
        raise ValueError(f"bad descriptor code {text!r}")
    return int(text)


def read_element_table(path: Path, tables: Tables) -> None:
    with open(path, encoding="utf-8", newline="") as f:
        lines = [line for line in f.read().splitlines() if line and not line.startswith("#")]
    for record in csv.reader(lines, delimiter="|", quotechar='"'):
        if len(record) < 8:
            continue
        code = parse_code(record[0])
        tables.elements[code] = (
            record[1], record[2], record[3], record[4],
            int(record[5]), int(record[6]), int(record[7]),
        )


def read_sequence_file(path: Path, tables: Tables) -> None:
    pending = ""
    for line in path.read_text(encoding="utf-8").split("\n"):
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        pending = f"{pending} {line}" if pending else line
        if "]" not in pending:
            continue
        statement, pending = pending, ""
        if "=" not in statement:
            continue
        key, rest = statement.split("=", 1)
        if "[" not in rest or "]" not in rest:
            raise ValueError(f"{path}: bad statement {statement!r}")
        body = rest[rest.index("[") + 1 : rest.index("]")]
        members = tuple(parse_code(p) for p in (p.strip() for p in body.split(",")) if p)
        tables.sequences[parse_code(key.strip().strip('"'))] = members


def read_code_tables(directory: Path, tables: Tables) -> None:
    if not directory.exists():
        return
    for path in sorted(directory.glob("*.table"), key=lambda p: os.fsencode(p)):
        table: dict[int, str] = {}
        for line in path.read_text(encoding="utf-8").split("\n"):
            words = line.split()
            if len(words) < 3 or words[0].startswith("#"):
                continue
            table[int(words[0])] = " ".join(words[2:])
        tables.code_tables[parse_code(path.stem)] = table


def read_eccodes_directory(directory: Path) -> Tables:
    tables = Tables()
    read_element_table(directory / "element.table", tables)
    read_sequence_file(directory / "sequence.def", tables)
    read_code_tables(directory / "codetables", tables)
    return tables


def eccodes_directories(debian_root: Path, newer_root: Path) -> dict[int, Path]:
    """Version -> table directory; directories of newer_root win."""
    found: dict[int, Path] = {}
    for root in (debian_root, newer_root):
        if not root.is_dir():
            continue
        for entry in root.iterdir():
            if entry.name.isdigit() and (entry / "element.table").is_file():
                found[int(entry.name)] = entry.resolve()
    return found


# ------------------------------------------------------------- WMO CSV form


def csv_rows(directory: Path, pattern: str) -> list[dict[str, str]]:
    rows: list[dict[str, str]] = []
    for name in sorted(glob.glob(str(directory / pattern))):
        with open(name, encoding="utf-8", newline="") as f:
            rows.extend(csv.DictReader(f))
    return rows


class WmoRelease:
    """Table B, Table D and code/flag tables of one WMO CSV release."""

    def __init__(self, directory: Path) -> None:
        self.elements = {int(r["FXY"]): r for r in csv_rows(directory, "BUFRCREX_TableB_en_*.csv")}
        self.sequences: dict[int, list[int]] = {}
        for r in csv_rows(directory, "BUFR_TableD_en_*.csv"):
            self.sequences.setdefault(int(r["FXY1"]), []).append(int(r["FXY2"]))
        self.code_tables: dict[int, list[tuple[str, ...]]] = {}
        for r in csv_rows(directory, "BUFRCREX_CodeFlag_en_*.csv"):
            entry = (r["CodeFigure"], r["EntryName_en"], r["EntryName_sub1_en"],
                     r["EntryName_sub2_en"])
            self.code_tables.setdefault(int(r["FXY"]), []).append(entry)

    def number_fields(self, code: int) -> tuple[int, int, int]:
        r = self.elements[code]
        return int(r["BUFR_Scale"]), int(r["BUFR_ReferenceValue"]), int(r["BUFR_DataWidth_Bits"])


def wmo_releases(root: Path) -> dict[int | str, Path]:
    found: dict[int | str, Path] = {}
    if root.is_dir():
        for entry in root.iterdir():
            if entry.name.isdigit():
                found[int(entry.name)] = entry
            elif entry.name.startswith("master"):
                found["master"] = entry
    return found


def ecc_text(text: str) -> str:
    """WMO text as ecCodes writes it: upper case (ASCII only), no double quotes,
    single blanks."""
    text = text.replace('"', "")
    return " ".join("".join(c.upper() if c.isascii() else c for c in text).split())


def key_from_name(name: str) -> str:
    """An ecCodes-style key for an element ecCodes has not named yet:
    the words of its name in lower camel case."""
    words = re.findall(r"[A-Za-z0-9]+", name)
    if not words:
        return ""
    first, rest = words[0], words[1:]
    return first.lower() + "".join(w[:1].upper() + w[1:].lower() for w in rest)


def element_from_csv(row: dict[str, str], key: str) -> Element:
    unit = row["BUFR_Unit"].strip()
    scale = int(row["BUFR_Scale"])
    kind = {"Code table": "table", "Flag table": "flag", "CCITT IA5": "string"}.get(
        unit, "double" if scale > 0 else "long")
    unit = {"Code table": "CODE TABLE", "Flag table": "FLAG TABLE"}.get(unit, unit)
    return (key, kind, ecc_text(row["ElementName_en"]), unit, scale,
            int(row["BUFR_ReferenceValue"]), int(row["BUFR_DataWidth_Bits"]))


def code_table_from_csv(entries: list[tuple[str, ...]]) -> dict[int, str]:
    """ecCodes keeps the entries whose code figure is one number, with the
    entry's name as meaning; ranges ("4-255") and notes are dropped."""
    table: dict[int, str] = {}
    for figure, name, _sub1, _sub2 in entries:
        if re.fullmatch(r"[0-9]+", figure.strip()) and ecc_text(name):
            table[int(figure)] = ecc_text(name)
    return table


def apply_release_changes(base: Tables, old: WmoRelease, new: WmoRelease) -> Tables:
    """`base` (the tables of the release `old`) changed as WMO changed `old`
    into `new`."""
    out = Tables()
    out.elements = dict(base.elements)
    out.sequences = dict(base.sequences)
    out.code_tables = dict(base.code_tables)
    for code in old.elements.keys() - new.elements.keys():
        out.elements.pop(code, None)
    for code, row in new.elements.items():
        before = old.elements.get(code)
        if before is not None and before == row and code in out.elements:
            continue
        key = base.elements[code][0] if code in base.elements else key_from_name(
            row["ElementName_en"])
        out.elements[code] = element_from_csv(row, key)
    for code in old.sequences.keys() - new.sequences.keys():
        out.sequences.pop(code, None)
    for code, members in new.sequences.items():
        if old.sequences.get(code) != members or code not in out.sequences:
            out.sequences[code] = tuple(members)
    for code in old.code_tables.keys() - new.code_tables.keys():
        out.code_tables.pop(code, None)
    for code, entries in new.code_tables.items():
        if old.code_tables.get(code) != entries or code not in out.code_tables:
            out.code_tables[code] = code_table_from_csv(entries)
    return out


def compare(version: int, tables: Tables, release: WmoRelease) -> list[str]:
    """The Table B and D differences that matter for decoding."""
    notes = []
    for code, row in sorted(release.elements.items()):
        if code not in tables.elements:
            notes.append(f"{version}: {code:06d} only in the WMO CSV")
            continue
        ecc = tables.elements[code][4:]
        if ecc != release.number_fields(code):
            notes.append(f"{version}: {code:06d} scale/reference/width ecCodes {ecc}"
                         f" WMO {release.number_fields(code)}")
    for code in sorted(tables.elements.keys() - release.elements.keys()):
        notes.append(f"{version}: {code:06d} only in ecCodes")
    for code, members in sorted(release.sequences.items()):
        if tables.sequences.get(code) != tuple(members):
            notes.append(f"{version}: sequence {code:06d} ecCodes {tables.sequences.get(code)}"
                         f" WMO {tuple(members)}")
    for code in sorted(tables.sequences.keys() - release.sequences.keys()):
        notes.append(f"{version}: sequence {code:06d} only in ecCodes")
    for code, entries in sorted(release.code_tables.items()):
        ecc = tables.code_tables.get(code, {})
        for raw, meaning in code_table_from_csv(entries).items():
            if ecc.get(raw, "").casefold() != meaning.casefold():
                notes.append(f"{version}: code table {code:06d} value {raw}: ecCodes"
                             f" {ecc.get(raw)!r} WMO {meaning!r}")
    return notes


# ------------------------------------------------------------------- output


def check_text(text: str, where: str) -> str:
    if "\t" in text or "\n" in text or "\r" in text:
        raise ValueError(f"{where}: a tab or line break in {text!r}")
    return text


def runs(versions: list[int], value_at) -> list[tuple[int, int, object]]:
    """(first, last, value) for each run of consecutive bundled versions that
    share a value; versions without the entry end a run."""
    out: list[tuple[int, int, object]] = []
    for v in versions:
        value = value_at(v)
        if value is None:
            continue
        if out and out[-1][2] == value and versions.index(out[-1][1]) + 1 == versions.index(v):
            out[-1] = (out[-1][0], v, value)
        else:
            out.append((v, v, value))
    return out


def write_bundle(per_version: dict[int, Tables], output: Path) -> int:
    versions = sorted(per_version)
    lines: list[str] = []
    codes = sorted(set().union(*(t.elements for t in per_version.values())))
    for code in codes:
        for first, last, e in runs(versions, lambda v: per_version[v].elements.get(code)):
            fields = [check_text(str(x), f"element {code:06d}") for x in e]  # type: ignore[union-attr]
            lines.append("\t".join(["B", str(first), str(last), f"{code:06d}", *fields]))
    codes = sorted(set().union(*(t.sequences for t in per_version.values())))
    for code in codes:
        for first, last, members in runs(versions, lambda v: per_version[v].sequences.get(code)):
            lines.append("\t".join(["D", str(first), str(last), f"{code:06d}",
                                    *(f"{m:06d}" for m in members)]))  # type: ignore[union-attr]
    codes = sorted(set().union(*(t.code_tables for t in per_version.values())))
    for code in codes:
        raws = sorted(set().union(*(t.code_tables.get(code, {}) for t in per_version.values())))
        for raw in raws:
            def meaning(v: int, code: int = code, raw: int = raw) -> str | None:
                return per_version[v].code_tables.get(code, {}).get(raw)
            for first, last, text in runs(versions, meaning):
                lines.append("\t".join(["C", str(first), str(last), f"{code:06d}", str(raw),
                                        check_text(str(text), f"code table {code:06d}")]))
    header = [f"{MAGIC}\t{FORMAT_VERSION}", "versions\t" + " ".join(map(str, versions))]
    output.parent.mkdir(parents=True, exist_ok=True)
    text = "\n".join(header + lines + [f"end\t{len(lines)}"]) + "\n"
    output.write_bytes(text.encode("utf-8"))
    return len(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--eccodes-definitions", type=Path,
                        default=Path("/usr/share/eccodes/definitions"),
                        help="an ecCodes definitions root (Debian's libeccodes-data)")
    parser.add_argument("--eccodes-newer", type=Path, default=SHARED / "eccodes-wmo-newer",
                        help="more ecCodes WMO table directories, one per version")
    parser.add_argument("--wmo-csv", type=Path, default=SHARED / "wmo-bufr4-versions",
                        help="WMO CSV releases, one directory per version (and master-*)")
    parser.add_argument("--master-version", type=int, default=46,
                        help="the version number the WMO master snapshot stands for")
    parser.add_argument("-o", "--output", type=Path, default=DEFAULT_OUTPUT)
    args = parser.parse_args(argv)

    eccodes = eccodes_directories(args.eccodes_definitions / "bufr" / "tables" / "0" / "wmo",
                                  args.eccodes_newer)
    if not eccodes:
        parser.error("no ecCodes table directory found")
    releases = wmo_releases(args.wmo_csv)
    if "master" in releases:
        releases[args.master_version] = releases.pop("master")

    per_version: dict[int, Tables] = {}
    for version, directory in sorted(eccodes.items()):
        per_version[version] = read_eccodes_directory(directory)
        print(f"version {version}: ecCodes {directory}")
    newest = max(eccodes)
    loaded: dict[int, WmoRelease] = {}

    def release(v: int) -> WmoRelease:
        if v not in loaded:
            loaded[v] = WmoRelease(releases[v])  # type: ignore[index]
        return loaded[v]

    for version in sorted(v for v in releases if isinstance(v, int) and v > newest):
        if newest not in releases:
            parser.error(f"version {version} needs the WMO CSV of {newest} to compare against")
        per_version[version] = apply_release_changes(per_version[newest], release(newest),
                                                     release(version))
        print(f"version {version}: ecCodes {newest} changed as WMO CSV {newest} -> {version}")

    differences = []
    for version in sorted(v for v in releases if isinstance(v, int) and v in eccodes):
        differences += compare(version, per_version[version], release(version))
    print(f"ecCodes against WMO CSV where both exist: {len(differences)} differences")
    for note in differences:
        print("  " + note)

    count = write_bundle(per_version, args.output)
    size = args.output.stat().st_size
    print(f"wrote {args.output}: {len(per_version)} versions, {count} entries, {size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
