"""skerrow: a fast, exact BUFR edition 4 decoder.

The classes and functions are those of the extension module ``_skerrow``;
this package re-exports them and adds the command line (``python -m skerrow``).
"""

from _skerrow import *  # noqa: F401,F403
from _skerrow import __all__ as _extension_all

__all__ = list(_extension_all)
__version__ = "0.1.0"
