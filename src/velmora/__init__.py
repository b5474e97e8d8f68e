"""velmora: fast, ordered, case-insensitive HTTP header collections.

The collection type lives in the native module ``velmora.headers``.  C and
C++ extensions that build on it find its public header through
:func:`get_include`.
"""

import os

__all__ = ["__version__", "get_include"]

__version__ = "0.1.0"


def get_include() -> str:
    """Absolute path of the directory holding ``velmora/*.h``."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")
