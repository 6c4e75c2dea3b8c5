"""Cookies: the Cookie model, the SameSite mode, cookie dates and Set-Cookie parsing.

The model holds text (``str``); the wire forms (Set-Cookie values, dates) are
``bytes``. Writing a Set-Cookie value is offered to native code through
``__pyx_capi__``; ``kelvarn.cookie_header.write_set_cookie`` calls it from Python. The module globals ``quote``, ``unquote`` and
``parsedate_to_datetime`` (from the standard library) are looked up at each use.
"""

import datetime
import enum
from types import CapsuleType
from typing import Any, Final, SupportsInt

from typing_extensions import disjoint_base

__pyx_capi__: Final[dict[str, CapsuleType]]
__test__: dict[str, Any]

class CookieSameSiteMode(enum.IntFlag):
    """The SameSite attribute of a cookie.

    ``STRICT`` and ``NONE`` also make the written cookie ``Secure``. Iterating
    the class gives all four members, ``UNDEFINED`` first.
    """

    UNDEFINED = 0
    LAX = 1
    STRICT = 2
    NONE = 3

class CookieError(Exception):
    """Base class of the errors of this module; ``args`` holds the message alone."""

    def __init__(self, message: str | None) -> None:
        """Raises ``TypeError`` when ``message`` is neither ``str`` nor ``None``."""

class CookieValueExceedsMaximumLength(CookieError):
    """A cookie value longer than 4096 bytes once encoded as UTF-8, which clients ignore or truncate."""

    def __init__(self) -> None:
        """Takes no arguments: the message is fixed."""

@disjoint_base
class Cookie:
    """An HTTP cookie: a name, a value and the attributes of a Set-Cookie header.

    The name must be non-empty and the value at most 4096 bytes once encoded
    as UTF-8, at construction and at every later assignment. Cookies compare
    by name and value only; a cookie also equals its value as ``str`` or
    UTF-8 ``bytes``. Cookies are mutable and unhashable.

    >>> c = Cookie("sid", "abc", path="/", http_only=True, same_site=CookieSameSiteMode.LAX)
    >>> c == "abc"
    True
    """

    def __init__(
        self,
        name: str,
        value: str | None,
        expires: datetime.datetime | None = None,
        domain: str | None = None,
        path: str | None = None,
        http_only: object = False,
        secure: object = False,
        max_age: SupportsInt = -1,
        same_site: SupportsInt = 0,
    ) -> None:
        """Make a cookie. ``max_age`` -1 means no Max-Age; ``same_site`` is a ``CookieSameSiteMode``.

        Raises:
            ValueError: ``name`` is empty or ``None``.
            TypeError: an argument has the wrong type (``str`` subclasses are refused).
            CookieValueExceedsMaximumLength: ``value`` is over 4096 bytes in UTF-8.
            OverflowError: ``max_age`` does not fit 64 bits, or ``same_site`` 32 bits.
        """

    @property
    def name(self) -> str:
        """The cookie name, never empty.

        Raises (on assignment):
            ValueError: the new name is empty or ``None``.
            TypeError: the new name is not exactly ``str``.
        """

    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def value(self) -> str | None:
        """The cookie value as text (percent-decoded when parsed), or ``None`` for a cookie without one.

        Raises (on assignment):
            CookieValueExceedsMaximumLength: the new value is over 4096 bytes in UTF-8.
            TypeError: the new value is neither ``str`` nor ``None``.
        """

    @value.setter
    def value(self, value: str | None) -> None: ...
    @property
    def expires(self) -> datetime.datetime | None:
        """The Expires date, or ``None``; deleting it sets ``None``.

        Raises (on assignment):
            TypeError: the new value is not a ``datetime.datetime`` or ``None``.
        """

    @expires.setter
    def expires(self, value: datetime.datetime | None) -> None: ...
    @expires.deleter
    def expires(self) -> None: ...
    @property
    def domain(self) -> str | None:
        """The Domain attribute, or ``None``; deleting it sets ``None``.

        Raises (on assignment):
            TypeError: the new value is not exactly ``str`` or ``None``.
        """

    @domain.setter
    def domain(self, value: str | None) -> None: ...
    @domain.deleter
    def domain(self) -> None: ...
    @property
    def path(self) -> str | None:
        """The Path attribute, or ``None``; deleting it sets ``None``.

        Raises (on assignment):
            TypeError: the new value is not exactly ``str`` or ``None``.
        """

    @path.setter
    def path(self, value: str | None) -> None: ...
    @path.deleter
    def path(self) -> None: ...
    @property
    def http_only(self) -> bool:
        """The HttpOnly flag; assignment stores the truth value of any object."""

    @http_only.setter
    def http_only(self, value: object) -> None: ...
    @property
    def secure(self) -> bool:
        """The Secure flag; assignment stores the truth value of any object."""

    @secure.setter
    def secure(self, value: object) -> None: ...
    @property
    def max_age(self) -> int:
        """Max-Age in seconds, -1 when not set (every negative value is left out when written).

        Raises (on assignment):
            OverflowError: the new value does not fit 64 bits.
            TypeError: the new value has no integer conversion.
        """

    @max_age.setter
    def max_age(self, value: SupportsInt) -> None: ...
    @property
    def same_site(self) -> CookieSameSiteMode:
        """The SameSite mode; assignment takes a member or any 32-bit integer.

        Raises (on assignment):
            OverflowError: the new value does not fit 32 bits.
            TypeError: the new value has no integer conversion.
        """

    @same_site.setter
    def same_site(self, value: SupportsInt) -> None: ...
    def clone(self) -> Cookie:
        """A new ``Cookie`` (never a subclass) with the same name, value and attributes."""

    def __eq__(self, other: object, /) -> bool:
        """Whether ``other`` has the same name and value (a ``Cookie``), or is this cookie's value (``str``, UTF-8 ``bytes``).

        Raises:
            UnicodeDecodeError: ``other`` is ``bytes`` that are not UTF-8.
        """

    def __ne__(self, other: object, /) -> bool:
        """The negation of ``==``."""
    __hash__: None  # type: ignore[assignment]
    def __reduce__(self) -> tuple[Any, ...]:
        """Support for ``pickle`` and ``copy``."""

    def __setstate__(self, __pyx_state: tuple[Any, ...] | None) -> None:
        """Restore the state made by ``__reduce__``."""

def datetime_to_cookie_format(value: datetime.datetime) -> bytes:
    """The cookie date text of ``value``, in GMT, without microseconds.

    A naive ``value`` is taken as UTC; an aware one is converted to UTC first.

    >>> datetime_to_cookie_format(datetime.datetime(2015, 10, 21, 7, 28))
    b'Wed, 21 Oct 2015 07:28:00 GMT'
    """

def datetime_from_cookie_format(value: bytes) -> datetime.datetime:
    """Read cookie date text into a naive ``datetime``.

    A zone in the text is dropped without shifting the clock time.

    >>> datetime_from_cookie_format(b"Wed, 21 Oct 2015 07:28:00 GMT")
    datetime.datetime(2015, 10, 21, 7, 28)

    Raises:
        ValueError: the text is not a date.
        UnicodeDecodeError: ``value`` is not UTF-8.
    """

def parse_cookie(raw_value: bytes) -> Cookie:
    """Parse one Set-Cookie header value (without the header name) into a ``Cookie``.

    Name and value are percent-decoded; attribute names ignore case; unknown
    attributes are ignored.

    >>> c = parse_cookie(b"id=a%20b; Path=/; HttpOnly")
    >>> (c.name, c.value, c.path, c.http_only)
    ('id', 'a b', '/', True)

    Raises:
        ValueError: the first fragment has no ``=``, the name is empty, or
            Max-Age or Expires cannot be read.
        OverflowError: Max-Age does not fit 64 bits.
        UnicodeDecodeError: a part is not UTF-8.
        CookieValueExceedsMaximumLength: the value is over 4096 bytes in UTF-8.
    """

def __pyx_unpickle_Cookie(__pyx_type: type[Cookie], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None) -> Cookie:
    """Rebuild a pickled ``Cookie``; pickles refer to it by name."""

def __pyx_unpickle_CookieError(
    __pyx_type: type[CookieError], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> CookieError:
    """Rebuild a pickled ``CookieError``; pickles refer to it by name."""

def __pyx_unpickle_CookieValueExceedsMaximumLength(
    __pyx_type: type[CookieValueExceedsMaximumLength], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> CookieValueExceedsMaximumLength:
    """Rebuild a pickled ``CookieValueExceedsMaximumLength``; pickles refer to it by name."""
