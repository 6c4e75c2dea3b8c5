"""The cookie round trip from Python: the request's Cookie header read, Set-Cookie values written.

``parse_cookie_header`` reads the value of the ``Cookie`` header a client
sends; ``write_set_cookie`` writes the value of a ``Set-Cookie`` header for a
``kelvarn.cookies.Cookie``, the same bytes as the C-level
``write_cookie_for_response`` of ``kelvarn.cookies``, which it calls.

>>> from kelvarn.cookies import Cookie
>>> header = write_set_cookie(Cookie("sid", "a b;c", path="/"))
>>> header
b'sid=a%20b%3Bc; Path=/'
>>> parse_cookie_header(b"sid=a%20b%3Bc; theme=dark")
{'sid': 'a b;c', 'theme': 'dark'}
"""

from typing import Any

from kelvarn.cookies import Cookie

__test__: dict[str, Any]

def write_set_cookie(cookie: Cookie) -> bytes:
    """The Set-Cookie header value of ``cookie`` (without the header name).

    Name and value are percent-encoded with ``urllib.parse.quote``; the
    attributes follow in a fixed order. An aware ``expires`` is written in
    UTC. Browsers drop a cookie whose written name and value exceed 4096
    bytes: such a cookie is still written, with a ``UserWarning``.

    >>> from kelvarn.cookies import Cookie, CookieSameSiteMode
    >>> write_set_cookie(Cookie("id", "42", path="/", http_only=True, same_site=CookieSameSiteMode.LAX))
    b'id=42; Path=/; HttpOnly; SameSite=Lax'

    Raises:
        TypeError: ``cookie`` is not a ``Cookie`` (``None`` included), or its value is ``None``.
        ValueError: ``domain`` or ``path`` holds ``;`` or a control character.
        UnicodeEncodeError: ``domain`` or ``path`` is not encodable as UTF-8.
    """

def parse_cookie_header(value: bytes | None) -> dict[str, str]:
    """The cookies of one ``Cookie`` request header value, by name.

    The value is split at every ``;``, each pair at its first ``=``; spaces
    and tabs around names and values are dropped, then one pair of double
    quotes around a value. A pair without ``=`` is a nameless cookie (name
    ``""``); a pair that leaves name and value empty is skipped. Names and
    values are percent-decoded to bytes read as UTF-8, invalid sequences
    becoming U+FFFD; ``+`` stays. Of two pairs with the same name the first
    is kept: browsers send the cookie with the most specific path first.
    ``None`` gives ``{}``; no ``bytes`` value raises.

    >>> parse_cookie_header(b'a=1; b="x y"; a=2; solo; c=caf%C3%A9')
    {'a': '1', 'b': 'x y', '': 'solo', 'c': 'café'}

    Raises:
        TypeError: ``value`` is neither ``bytes`` nor ``None``.
    """
