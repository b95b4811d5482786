import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

REPO = Path(__file__).resolve().parents[2]
SHARED = Path(os.environ.get("SKERROW_SHARED", REPO.parent / "shared"))
CORPUS = SHARED / "corpus"
WMO_CSV = SHARED / "tables" / "wmo-bufr4"
ECCODES_DEFINITIONS = Path("/usr/share/eccodes/definitions")

# The prefixes the module's error texts begin with: free-text errors (also
# the decoder's and the bit reader's) and I/O failures while loading tables.
PARSE = "csv/table parse error: "
IO = "io error: "

needs_corpus = pytest.mark.skipif(not CORPUS.is_dir(), reason="shared corpus not present")
needs_eccodes = pytest.mark.skipif(
    not ECCODES_DEFINITIONS.is_dir(), reason="ecCodes definitions (libeccodes-data) not installed"
)


def corpus_manifest() -> list[dict[str, str]]:
    """The rows of the corpus MANIFEST.tsv, as dicts keyed by column title."""
    path = CORPUS / "MANIFEST.tsv"
    if not path.is_file():
        return []
    lines = path.read_text(encoding="utf-8").splitlines()
    header = lines[0].split("\t")
    return [dict(zip(header, line.split("\t"))) for line in lines[1:] if line]
