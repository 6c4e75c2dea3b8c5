"""URLs as byte strings: the ``URL`` value, its composition and the building helpers.

A ``URL`` is parsed once, at construction, by ``httptools.parse_url`` (looked up
on the module global ``httptools`` at each call). Absolute URLs must use the
schema ``http`` or ``https``; everything else is rejected with ``InvalidURL``.
"""

import types
from types import CapsuleType
from typing import Any, ClassVar, Final, overload

from typing_extensions import disjoint_base

httptools: types.ModuleType
__pyx_capi__: Final[dict[str, CapsuleType]]
__test__: dict[str, Any]

class InvalidURL(Exception):
    """A value that cannot be parsed as a URL, or whose schema is not ``http`` or ``https``."""

    def __init__(self, message: str | None) -> None:
        """Raises ``TypeError`` when ``message`` is neither ``str`` nor ``None``."""

@disjoint_base
class URL:
    """A URL parsed from bytes, with its components as read-only attributes.

    Components come without their delimiters. A ``URL`` is immutable and
    unhashable; two URLs are equal when their ``value`` is, and a ``URL`` never
    equals ``bytes`` or ``str``. The composition methods build the new bytes
    and parse them afresh, so each may also raise ``InvalidURL``.

    >>> u = URL(b"https://example.com:8443/a/b?x=1#top")
    >>> (u.schema, u.host, u.port, u.path, u.query, u.fragment)
    (b'https', b'example.com', 8443, b'/a/b', b'x=1', b'top')
    >>> URL(b"/api/") + b"/items"
    <URL b'/api/items'>
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def value(self) -> bytes:
        """The accepted input, with ``/`` put in front when it began with ``.``."""

    @property
    def schema(self) -> bytes | None:
        """``b"http"`` or ``b"https"``, or ``None`` for a relative URL."""

    @property
    def host(self) -> bytes | None:
        """The host without the port, or ``None`` for a relative URL."""

    @property
    def port(self) -> int:
        """The port, or 0 when the URL names none (never ``None``)."""

    @property
    def path(self) -> bytes | None:
        """The path with its leading ``/``, or ``None`` when there is none (as in ``http://example.com``)."""

    @property
    def query(self) -> bytes | None:
        """The query without ``?``, or ``None`` when there is none."""

    @property
    def fragment(self) -> bytes | None:
        """The fragment without ``#``, or ``None`` when there is none."""

    @property
    def is_absolute(self) -> bool:
        """Whether the URL has a schema."""

    def __init__(self, value: bytes) -> None:
        """Parse ``value``.

        Raises:
            InvalidURL: ``value`` is empty or ``None``, cannot be parsed, or has
                a schema other than ``http`` and ``https`` (case-sensitive).
            TypeError: ``value`` is not exactly ``bytes``.
            UnicodeDecodeError: ``value`` is rejected and is not UTF-8 either.
        """

    def __repr__(self) -> str:
        """``<URL b'...'>``."""

    def __str__(self) -> str:
        """The value decoded as UTF-8.

        Raises:
            UnicodeDecodeError: the value is not UTF-8.
        """

    def __eq__(self, other: object, /) -> bool:
        """Whether ``other`` is a ``URL`` with an equal ``value``."""

    def __ne__(self, other: object, /) -> bool:
        """The negation of ``==``."""
    # Composition: every result is a new URL, parsed afresh.
    def join(self, other: URL) -> URL:
        """This URL with the relative URL ``other`` appended, one ``/`` kept at the seam.

        The query and fragment of ``other`` pass through.

        >>> URL(b"http://example.com/api/").join(URL(b"/items?x=1"))
        <URL b'http://example.com/api/items?x=1'>

        Raises:
            ValueError: ``other`` is absolute, or this URL has a query or a fragment.
            TypeError: ``other`` is not a ``URL``.
        """

    def __add__(self, other: bytes | URL, /) -> URL:
        """``url + other`` is ``url.join(URL(other))`` for bytes and ``url.join(other)`` for a URL."""

    def base_url(self) -> URL:
        """The schema, host and port only; the default port (80 for http, 443 for https) is left out.

        >>> URL(b"http://example.com:8080/a?x=1").base_url()
        <URL b'http://example.com:8080'>

        Raises:
            ValueError: the URL is relative.
        """

    def with_host(self, host: bytes) -> URL:
        """This URL with another host (which may carry a port); the old port is dropped.

        Raises:
            ValueError: the URL is relative.
            TypeError: the URL has no path.
        """

    def with_scheme(self, schema: bytes) -> URL:
        """This URL with another schema; the old port, which belonged to the old schema, is dropped.

        Raises:
            ValueError: the URL is relative.
            InvalidURL: ``schema`` is not ``http`` or ``https``.
            TypeError: the URL has no path.
        """

    def with_query(self, query: bytes | None) -> URL:
        """This URL with another query, or none for ``None`` or ``b""``; the port is kept.

        Works on relative URLs too. User information is not carried over.

        >>> URL(b"http://[::1]:8000/items?page=1").with_query(b"page=2")
        <URL b'http://[::1]:8000/items?page=2'>

        Raises:
            TypeError: an absolute URL has no path.
        """

    def __reduce__(self) -> tuple[Any, ...]:
        """Support for ``pickle`` and ``copy``."""

    def __setstate__(self, __pyx_state: tuple[Any, ...] | None) -> None:
        """Restore the state made by ``__reduce__``."""

def build_absolute_url(scheme: bytes, host: bytes, base_path: bytes | None, path: bytes | None) -> URL:
    """The URL ``scheme://host`` + ``base_path`` + ``path``, with one ``/`` at each seam.

    >>> build_absolute_url(b"https", b"example.com", b"api/", b"v1")
    <URL b'https://example.com/api/v1'>

    Raises:
        InvalidURL: the result cannot be parsed or its schema is not ``http`` or ``https``.
        TypeError: an argument is not ``bytes``.
    """

@overload
def join_prefix(prefix: str | None, path: str) -> str:
    """Join a path prefix and a path with one ``/`` between them; the prefix gets a leading ``/``.

    An empty or ``None`` prefix returns ``path`` unchanged; an empty or
    ``None`` path gives the prefix followed by ``/``.

    >>> join_prefix("api", "x")
    '/api/x'
    """

@overload
def join_prefix(prefix: str | None, path: None) -> str | None: ...
def __pyx_unpickle_InvalidURL(__pyx_type: type, __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> InvalidURL:
    """Rebuild a pickled ``InvalidURL``; pickles refer to it by name."""

def __pyx_unpickle_URL(__pyx_type: type, __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> URL:
    """Rebuild a pickled ``URL``; pickles refer to it by name."""
