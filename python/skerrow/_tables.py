"""Where skerrow's tables come from.

WMO tables (Table B, Table D, code and flag tables) of every master table
version ship with the package in one file, so decoding needs no system
package. Local tables of originating centres are not WMO's to publish; they
come from an ecCodes definitions tree when one is available.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path

BUNDLE_PATH = Path(__file__).resolve().parent / "data" / "wmo_tables.tsv"


class TableVersionWarning(UserWarning):
    """A message names a master table version newer than any bundled one.

    WMO only adds entries from version 38 on, so the newest bundled tables
    read such a message correctly unless it uses an entry added since.
    """


def _installed_definition_roots() -> list[Path]:
    """The places ecCodes' definitions usually live."""
    prefixes = [Path(sys.prefix), Path("/usr/local"), Path("/usr"), Path("/opt/homebrew")]
    conda = os.environ.get("CONDA_PREFIX")
    if conda:
        prefixes.insert(0, Path(conda))
    roots: list[Path] = []
    for prefix in prefixes:
        root = prefix / "share" / "eccodes" / "definitions"
        if root not in roots:
            roots.append(root)
    return roots


def local_definition_roots(definitions: str | os.PathLike[str] | None) -> list[str]:
    """The ecCodes definitions roots searched for local tables, in order:
    `definitions` alone when given; else every entry of
    $ECCODES_DEFINITION_PATH (colon-separated, as ecCodes reads it); else the
    usual installed locations."""
    if definitions is not None:
        return [os.fspath(definitions)]
    from_environment = os.environ.get("ECCODES_DEFINITION_PATH")
    if from_environment:
        return [entry for entry in from_environment.split(os.pathsep) if entry]
    return [str(root) for root in _installed_definition_roots()]


def local_table_directory(root: str, header_fields: dict[str, int | None]) -> str | None:
    """The local table directory of a message under `root` (it may not
    exist), or None when the message names no local tables."""
    local_version = header_fields["local_tables_version_number"] or 0
    if local_version == 0:
        return None
    name = str(local_version)
    if header_fields["master_tables_version_number"] == 19:
        name = "19-" + name
    return os.path.join(root, "bufr", "tables", str(header_fields["master_table_number"]),
                        "local", name, str(header_fields["originating_centre"]),
                        str(header_fields["originating_subcentre"] or 0))
