"""kelvarn: fast value types for HTTP headers, cookies and URLs."""

# os is loaded by every interpreter at start-up; pathlib would add ~15 ms to
# each import of the package for one path join.
import os as _os

__all__ = ["__version__", "get_include"]

__version__: str
"""The installed distribution's version, for example ``"0.2.0"``."""


def get_include() -> str:
    """Directory of the C/C++ declaration headers of the native modules."""
    return _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "include")


def __getattr__(name: str) -> str:
    # __version__ is read from the installed metadata on first use:
    # importlib.metadata costs more to import than the whole package.
    if name == "__version__":
        from importlib.metadata import version

        globals()["__version__"] = found = version("kelvarn")
        return found
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
