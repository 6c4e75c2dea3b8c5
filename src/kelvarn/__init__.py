"""kelvarn: fast value types for HTTP headers, cookies and URLs."""

from pathlib import Path

__all__ = ["get_include"]


def get_include() -> str:
    """Directory of the C/C++ declaration headers of the native modules."""
    return str(Path(__file__).parent / "include")
