"""What a real client stores from the Set-Cookie values we write: the standard library's cookie jar.

The same table drives the browser suite in tests/interop (``make interop``).
"""

import ctypes
import datetime as dt
import http.client
import http.cookiejar
import io
import time
import types
import urllib.parse
import urllib.request
import warnings

import pytest

import kelvarn.cookies as kc
from kelvarn.cookie_header import parse_cookie_header, write_set_cookie
from kelvarn.cookies import Cookie, CookieSameSiteMode as Mode
from support import capi_function

write = capi_function(kc, "write_cookie_for_response", ctypes.py_object, ctypes.py_object)

HOST = "www.example.test"
DEFAULT_PATH = "/set"  # cookies are set from /set/<case>: one without Path gets the default path /set
PAIR_LIMIT = 4096  # browsers ignore a cookie whose name and value together are longer than this,
LIFETIME_CAP = 400 * 86400  # and keep none for longer than this many seconds (400 days)
# A request path carries every other character (and all non-ASCII text) percent-encoded; a cookie's path
# matches it only when written the same way.
PATH_KEPT = "".join(c for c in map(chr, range(0x21, 0x7F)) if c not in '"#<>?`{}')

UTC, EAST2, WEST5 = dt.timezone.utc, dt.timezone(dt.timedelta(hours=2)), dt.timezone(dt.timedelta(hours=-5))
NOW = int(time.time())
# SOON: an hour ahead, so that a zone offset read as GMT moves it hours off, or into the past.
SOON, LATER, FAR = NOW + 3600, NOW + 3 * 86400, NOW + 500 * 86400


def naive(ts):
    return dt.datetime.fromtimestamp(ts, UTC).replace(tzinfo=None)


# id: Cookie keyword arguments. Each SameSite mode appears with and
# without Secure; the other attributes and the awkward texts are spread over
# the rows instead of multiplied with them.
MATRIX = {
    "undefined": dict(name="sid", value="plain"),
    "undefined-secure": dict(name="sid", value="plain", secure=True, http_only=True),
    "lax": dict(name="sid", value="plain", same_site=Mode.LAX, path="/"),
    "lax-secure": dict(name="sid", value="plain", same_site=Mode.LAX, secure=True, domain="example.test"),
    "strict": dict(name="sid", value="plain", same_site=Mode.STRICT, http_only=True),
    "strict-secure": dict(name="sid", value="plain", same_site=Mode.STRICT, secure=True, path="/docs"),
    "none": dict(name="sid", value="plain", same_site=Mode.NONE, domain="example.test", path="/"),
    "none-secure": dict(name="sid", value="plain", same_site=Mode.NONE, secure=True, max_age=600),
    "expires-naive": dict(name="e", value="1", expires=naive(LATER), path="/docs"),
    "expires-utc": dict(name="e", value="1", expires=dt.datetime.fromtimestamp(LATER, UTC)),
    "expires-far": dict(name="e", value="1", expires=naive(FAR)),
    "expires-east": dict(name="e", value="1", expires=dt.datetime.fromtimestamp(SOON, EAST2)),
    "expires-west": dict(name="e", value="1", expires=dt.datetime.fromtimestamp(SOON, WEST5), http_only=True),
    "max-age-0": dict(name="m", value="1", max_age=0, path="/"),
    "max-age": dict(name="m", value="1", max_age=3600, domain="example.test"),
    # Max-Age wins over Expires, whichever instant is sooner.
    "max-age-over-expires": dict(name="m", value="1", expires=naive(LATER), max_age=60),
    "max-age-0-over-expires": dict(name="m", value="1", expires=naive(LATER), max_age=0),
    "spaces": dict(name="a b", value=" lead and trail "),
    "quotes": dict(name="q", value='"quoted" \'single\''),
    "separators": dict(name="k;=", value="a;b=c, d\\e"),
    "percent": dict(name="p%", value="100% sure %25 %zz"),
    "non-ascii": dict(name="név", value="größe € 😀", same_site=Mode.LAX),
    # Browsers count the bytes of the name and the value, without the "=".
    "at-limit": dict(name="n", value="x" * (PAIR_LIMIT - 1)),
    "over-limit": dict(name="n", value="x" * PAIR_LIMIT),
    "over-limit-encoded": dict(name="n", value="é" * 2048),
    # Sent back only for the request path as a browser writes it.
    "path-space": dict(name="p", value="1", path="/x/a b"),
    "path-non-ascii": dict(name="p", value="1", path="/x/café", http_only=True),
    "path-escapes": dict(name="p", value="1", path='/x/{a}<b>"c"`d`%41'),
}
CASES = [pytest.param(name, kwargs, id=name) for name, kwargs in MATRIX.items()]


def expected(cookie, sent, browser=False):
    """What a client that got the cookie's header between the instants `sent` stores, or None; `expires` is the
    range of instants (seconds since the epoch) the cookie may expire at, None for a session cookie."""
    name, value = urllib.parse.quote(cookie.name), urllib.parse.quote(cookie.value)
    if cookie.max_age == 0 or browser and len(name + value) > PAIR_LIMIT:
        return None
    e = cookie.expires
    expires = (tuple(s + cookie.max_age for s in sent) if cookie.max_age > 0
               else None if e is None else ((e if e.tzinfo else e.replace(tzinfo=UTC)).timestamp() // 1,) * 2)
    if browser and expires:
        expires = tuple(min(e, s + LIFETIME_CAP) for e, s in zip(expires, sent))
    mode = {Mode.LAX: "Lax", Mode.STRICT: "Strict", Mode.NONE: "None"}.get(cookie.same_site)
    return dict(name=name, value=value, domain="." + cookie.domain if cookie.domain else HOST,
                path=urllib.parse.quote(cookie.path or DEFAULT_PATH, PATH_KEPT), secure=cookie.secure or mode in ("Strict", "None"),
                http_only=cookie.http_only, expires=expires, same_site=mode, text=(cookie.name, cookie.value))


def check(stored, want):
    """Compare what a client stored (a dict of the keys of `expected`) with what it should hold."""
    if want is None or stored is None:
        assert stored == want, "the client kept nothing" if stored is None else "it kept a cookie to be dropped"
        return
    for key in ("name", "value", "domain", "path", "secure", "http_only", "same_site"):
        assert stored[key] == want[key], key
    assert (stored["expires"] is None) == (want["expires"] is None), "session or persistent"
    if want["expires"] is not None:
        assert want["expires"][0] - 1 <= stored["expires"] <= want["expires"][1] + 1, "expiry instant"
    # The name and the value arrive percent-encoded; decoding gives the text back.
    assert tuple(map(urllib.parse.unquote, (stored["name"], stored["value"]))) == want["text"]


def sent_back(want):
    """The Cookie header a client sends with a request for the cookie's own path (given as typed, unencoded)."""
    return None if want is None else f"{want['name']}={want['value']}"


@pytest.mark.parametrize("case,kwargs", CASES)
def test_cookie_jar_stores_what_was_written(case, kwargs):
    cookie = Cookie(**kwargs)
    with warnings.catch_warnings(record=True, action="always") as caught:
        header = write(cookie)
    jar = http.cookiejar.CookieJar()
    sent = time.time()
    # Header lines reach the jar as http.client parses them: ISO-8859-1 text.
    message = http.client.parse_headers(io.BytesIO(b"Set-Cookie: " + header + b"\r\n\r\n"))
    jar.extract_cookies(types.SimpleNamespace(info=lambda: message),
                        urllib.request.Request(f"https://{HOST}{DEFAULT_PATH}/{case}"))
    want = expected(cookie, (sent, time.time()))
    stored = [dict(name=c.name, value=c.value, domain=c.domain, path=c.path, secure=c.secure,
                   http_only=c.has_nonstandard_attr("HttpOnly"), expires=c.expires,
                   # The jar keeps SameSite as an attribute it does not act on.
                   same_site=c.get_nonstandard_attr("SameSite")) for c in jar]
    assert len(stored) <= 1
    # Unlike a browser, the jar keeps a pair of any length, for any lifetime.
    check(stored[0] if stored else None, want)
    request = urllib.request.Request(f"https://{HOST}{cookie.path or DEFAULT_PATH}")
    jar.add_cookie_header(request)
    assert request.get_header("Cookie") == sent_back(want)
    # The writer still returns the bytes, but says when browsers will drop them.
    too_long = len(header.partition(b"; ")[0]) - 1 > PAIR_LIMIT
    assert [w.category for w in caught] == ([UserWarning] if too_long else [])


# The round trip from Python: written with write_set_cookie, sent back by the client in its Cookie header, read with
# parse_cookie_header. Beside the matrix: a JSON-like value, and a nameless cookie, which browsers send as its value
# alone (the writer writes "=value"; the jar drops a Set-Cookie whose name is empty).
Nameless = type("Nameless", (Cookie,), {"name": property(lambda self: "", lambda self, value: None)})
ROUND_TRIPS = [pytest.param(cls, kwargs, id=case) for case, (cls, kwargs) in {
    **{case: (Cookie, kwargs) for case, kwargs in MATRIX.items()},
    "json": (Cookie, dict(name="prefs", value='{"theme": "dark", "ids": [1, 2], "q": "a;b=c %"}')),
    "nameless": (Nameless, dict(name="-", value="solo ; value"))}.items()]


def round_trip(cookie, browser=False):
    """The path to send the cookie back to, and what parse_cookie_header must read from the client's header."""
    kept = expected(cookie, (time.time(),) * 2, browser) is not None and (browser or cookie.name)
    return f"{(cookie.path or DEFAULT_PATH).rstrip('/')}/echo", {cookie.name: cookie.value} if kept else {}


@pytest.mark.parametrize("cls,kwargs", ROUND_TRIPS)
def test_cookie_jar_sends_back_what_was_written(cls, kwargs):
    cookie, jar = cls(**kwargs), http.cookiejar.CookieJar()
    with warnings.catch_warnings(action="ignore", category=UserWarning):
        message = http.client.parse_headers(io.BytesIO(b"Set-Cookie: " + write_set_cookie(cookie) + b"\r\n\r\n"))
    jar.extract_cookies(types.SimpleNamespace(info=lambda: message), urllib.request.Request(f"https://{HOST}{DEFAULT_PATH}/x"))
    path, want = round_trip(cookie)
    jar.add_cookie_header(request := urllib.request.Request(f"https://{HOST}{path}"))
    assert parse_cookie_header(request.get_header("Cookie", "").encode("latin-1")) == want
