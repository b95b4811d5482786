"""The one writer of ecCodes-layout table directories for the tests.

Each file is given as raw text or octets (written as they are, so a test can
break any rule of the format), as a mapping the writer formats (rows keyed by
code), or as None to leave the file out."""

from __future__ import annotations

from pathlib import Path

ELEMENT_HEADER = "#code|abbreviation|type|name|unit|scale|reference|width\n"

Content = str | bytes | None


def element_rows(rows: dict[int, str]) -> str:
    """element.table text from {code: "abbreviation|type|name|unit|scale|reference|width"}."""
    return ELEMENT_HEADER + "".join(f"{code:06d}|{row}\n" for code, row in rows.items())


def sequence_statements(sequences: dict[int, list[int]]) -> str:
    """sequence.def text from {code: [members]}."""
    return "".join(
        f'"{code:06d}" = [ {", ".join(f"{m:06d}" for m in members)} ]\n'
        for code, members in sequences.items()
    )


def _write(path: Path, content: str | bytes) -> None:
    path.write_bytes(content.encode() if isinstance(content, str) else content)


def write_table_dir(
    path: Path,
    elements: Content | dict[int, str],
    sequences: Content | dict[int, list[int]],
    codetables: dict[str | int, str | bytes] | None = None,
) -> str:
    """Writes element.table, sequence.def and codetables/ (a code key names
    the file "<code>.table"; a str key is the file name) and returns the path."""
    path.mkdir(parents=True, exist_ok=True)
    if isinstance(elements, dict):
        elements = element_rows(elements)
    if isinstance(sequences, dict):
        sequences = sequence_statements(sequences)
    if elements is not None:
        _write(path / "element.table", elements)
    if sequences is not None:
        _write(path / "sequence.def", sequences)
    if codetables is not None:
        (path / "codetables").mkdir(exist_ok=True)
        for name, content in codetables.items():
            _write(path / "codetables" / (f"{name}.table" if isinstance(name, int) else name), content)
    return str(path)
