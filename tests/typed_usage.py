# pyright: strict
"""Typed use of the public API, checked by ``mypy --strict`` and ``pyright --strict`` and run as a script.

``assert_type`` states what a type checker infers from the stubs; running the
file shows that the runtime agrees.
"""

import datetime
import pickle
from typing import assert_type

import kelvarn
from kelvarn.cookie_header import parse_cookie_header, write_set_cookie
from kelvarn.cookies import (
    Cookie,
    CookieError,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
    datetime_from_cookie_format,
    datetime_to_cookie_format,
    parse_cookie,
)
from kelvarn.headers import Header, Headers
from kelvarn.url import URL, InvalidURL, build_absolute_url, join_prefix


def headers() -> None:
    h = Headers([(b"Content-Type", b"text/html")])
    h.add(b"Set-Cookie", b"a=1")
    h[b"X-Id"] = b"7"
    assert_type(h.values, list[tuple[bytes, bytes]])
    assert_type(h[b"content-type"], tuple[bytes, ...])
    assert_type(h.get_first(b"missing"), bytes | None)
    single: bytes = h.get_single(b"x-id")
    assert single == b"7" and b"set-cookie" in h and h.keys() == (b"Content-Type", b"Set-Cookie", b"X-Id")
    for name, value in h:
        assert_type(name, bytes)
        assert_type(value, bytes)
    header = Header(b"Accept", b"*/*")
    name, value = header
    assert (name, value) == (header.name, header.value) and header == Header(b"accept", b"*/*")
    both: Headers = h + header + (b"Vary", b"Accept") + [(b"A", b"1")]
    both += Headers([(b"B", b"2")])
    both.add_many({b"C": b"3"})
    both.add_many([header, (b"D", b"4")])
    both.update({b"E": b"5"})
    both.merge([(b"F", b"6"), None])
    del both[b"a"]
    assert len(both.clone().values) == len(both.values) == 11
    try:
        h.get_single(b"missing")
    except ValueError as error:
        assert str(error) == "Headers does not contain one header with the given key"


def cookies() -> None:
    cookie = Cookie("sid", "abc", path="/", http_only=True, same_site=CookieSameSiteMode.LAX)
    assert_type(cookie.name, str)
    assert_type(cookie.value, str | None)
    assert_type(cookie.domain, str | None)
    assert_type(cookie.same_site, CookieSameSiteMode)
    cookie.expires = datetime.datetime(2015, 10, 21, 7, 28)
    cookie.max_age = 60
    del cookie.domain
    assert cookie == "abc" and cookie.clone() == cookie and pickle.loads(pickle.dumps(cookie)) == cookie
    parsed = parse_cookie(b"id=a%20b; Path=/; HttpOnly; SameSite=Strict")
    assert (parsed.name, parsed.value, parsed.path, parsed.same_site) == ("id", "a b", "/", CookieSameSiteMode.STRICT)
    text = datetime_to_cookie_format(datetime.datetime(2015, 10, 21, 7, 28))
    assert datetime_from_cookie_format(text) == datetime.datetime(2015, 10, 21, 7, 28)
    try:
        Cookie("big", "x" * 4097)
    except CookieValueExceedsMaximumLength as error:
        assert isinstance(error, CookieError)
    assert_type(write_set_cookie(cookie), bytes)
    assert_type(parse_cookie_header(None), dict[str, str])
    assert parse_cookie_header(write_set_cookie(Cookie("a b", "é"))) == {"a b": "é"}


def urls() -> None:
    u = URL(b"https://example.com:8443/a/b?x=1#top")
    assert_type(u.value, bytes)
    assert_type(u.host, bytes | None)
    assert_type(u.port, int)
    assert u.is_absolute and u.port == 8443 and u.query == b"x=1"
    assert u.base_url() == URL(b"https://example.com:8443")
    assert URL(b"/api/") + b"/items" == URL(b"/api/").join(URL(b"/items"))
    assert u.with_query(None).value == b"https://example.com:8443/a/b#top"
    assert u.with_host(b"other.example").with_scheme(b"http").value == b"http://other.example/a/b?x=1#top"
    assert build_absolute_url(b"https", b"example.com", b"api/", b"v1").path == b"/api/v1"
    assert_type(join_prefix("api", "x"), str)
    assert_type(join_prefix("api", None), str | None)
    assert str(u) == "https://example.com:8443/a/b?x=1#top"
    try:
        URL(b"ftp://example.com/")
    except InvalidURL as error:
        assert str(error).endswith("Expected http or https schema; got instead ftp")
    assert_type(kelvarn.__version__, str)


if __name__ == "__main__":
    headers()
    cookies()
    urls()
    print("ok")
