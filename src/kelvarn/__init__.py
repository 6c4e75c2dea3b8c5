"""kelvarn: fast value types for HTTP headers, cookies and URLs."""

# os is loaded by every interpreter at start-up; pathlib would add ~15 ms to
# each import of the package for one path join.
import os as _os

__all__ = ["get_include"]


def get_include() -> str:
    """Directory of the C/C++ declaration headers of the native modules."""
    return _os.path.join(_os.path.dirname(_os.path.abspath(__file__)), "include")
