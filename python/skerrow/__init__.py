"""skerrow: a fast, exact BUFR decoder.

``skerrow.messages`` reads the messages of a file or byte string, editions 2,
3 and 4. The classes and functions of the extension module ``_skerrow``
(edition 4) are re-exported; the command line is ``python -m skerrow``.
"""

import importlib.machinery as _machinery
import importlib.util as _util
import sys as _sys

import _skerrow
from _skerrow import *  # noqa: F401,F403
from _skerrow import __all__ as _extension_all


def _load_native() -> None:
    """Loads the package's helper module from _skerrow's own library.

    One library serves both, so they share the DecodedValue type and the
    table cache; the interpreter finds the helper's entry point by the last
    part of its name.
    """
    name = "skerrow._native"
    if name in _sys.modules:
        return
    path = _skerrow.__file__
    if path is None:
        raise ImportError("_skerrow has no file to load skerrow._native from")
    loader = _machinery.ExtensionFileLoader(name, path)
    module_spec = _util.spec_from_file_location(name, path, loader=loader)
    if module_spec is None:
        raise ImportError(f"cannot load skerrow._native from {path}")
    module = _util.module_from_spec(module_spec)
    loader.exec_module(module)
    _sys.modules[name] = module


_load_native()

from skerrow._messages import (  # noqa: E402
    Header,
    Message,
    bundled_tables,
    bundled_versions,
    messages,
)
from skerrow._structure import Subset, Value, read_columns  # noqa: E402
from skerrow._tables import TableVersionWarning  # noqa: E402
from skerrow.frames import read_bufr  # noqa: E402

__all__ = [
    *_extension_all,
    "Header",
    "Message",
    "Subset",
    "TableVersionWarning",
    "Value",
    "bundled_tables",
    "bundled_versions",
    "messages",
    "read_bufr",
    "read_columns",
]
__version__ = "0.1.0"
