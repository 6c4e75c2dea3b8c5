"""Set-Cookie writing through the C function table, against werkzeug and the standard library.

`write_cookie_for_response` exists only at C level, so kelvarn is measured
through the C++ consumer of the native interface (tests/consumers), built on
first use into build/consumers: once per call from Python, and in a C loop.
werkzeug's `dump_cookie` gets the same attributes; `http.cookies.Morsel` is
built once (its value quoted then) and measured by `OutputString()` alone,
with its expiry already given as text (Morsel does not format dates).
"""

import datetime
import os
import sys
from http.cookies import Morsel, SimpleCookie

from kelvarn.cookies import Cookie, CookieSameSiteMode

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests", "consumers"))
import consumer_build  # noqa: E402

from werkzeug.http import dump_cookie  # noqa: E402

TITLE = "Set-Cookie writing (write_cookie_for_response through the C interface)"

EXPIRES = datetime.datetime(2030, 10, 21, 7, 28)
LOOP = 100

# label, name, value, attributes (None: not set)
COOKIES = [
    ("id=42, no attributes", "id", "42", {}),
    ("session: Path, Max-Age, HttpOnly, Secure, Lax", "session", "a1b2c3d4e5f6",
     dict(path="/", max_age=3600, http_only=True, secure=True, same_site="Lax")),
    ("all attributes, quoted value", "sid", "a b;c/d",
     dict(expires=EXPIRES, max_age=0, domain="example.com", path="/app", http_only=True, same_site="Strict")),
]
MODES = {None: CookieSameSiteMode.UNDEFINED, "Lax": CookieSameSiteMode.LAX, "Strict": CookieSameSiteMode.STRICT}


def _kelvarn(name, value, a):
    return Cookie(name, value, a.get("expires"), a.get("domain"), a.get("path"), a.get("http_only", False),
                  a.get("secure", False), a.get("max_age", -1), MODES[a.get("same_site")])


def _werkzeug(name, value, a):
    kwargs = dict(max_age=a.get("max_age"), expires=a.get("expires"), path=a.get("path"), domain=a.get("domain"),
                  secure=a.get("secure", False) or a.get("same_site") == "Strict", httponly=a.get("http_only", False),
                  sync_expires=False, samesite=a.get("same_site"))
    return lambda: dump_cookie(name, value, **kwargs)


def _morsel(name, value, a):
    m = Morsel()
    m.set(name, value, SimpleCookie().value_encode(value)[1])
    if "expires" in a:
        m["expires"] = a["expires"].strftime("%a, %d %b %Y %H:%M:%S GMT")
    for key, attr in (("max_age", "max-age"), ("domain", "domain"), ("path", "path"), ("same_site", "samesite")):
        if key in a:
            m[attr] = a[key]
    m["httponly"] = a.get("http_only", False)
    m["secure"] = a.get("secure", False) or a.get("same_site") == "Strict"
    return m.OutputString


def cases():
    consumer = consumer_build.import_cached_cpp()
    write, loop = consumer.write_cookie_for_response, consumer.write_cookie_loop
    rows = []
    for label, name, value, attrs in COOKIES:
        cookie = _kelvarn(name, value, attrs)
        rows.append((label, {
            "kelvarn": lambda c=cookie: write(c),
            "werkzeug": _werkzeug(name, value, attrs),
            "Morsel": _morsel(name, value, attrs),
        }))
    label, name, value, attrs = COOKIES[1]
    cookie, dump, output = _kelvarn(name, value, attrs), _werkzeug(name, value, attrs), _morsel(name, value, attrs)

    def dump_loop():
        for _ in range(LOOP):
            dump()

    def output_loop():
        for _ in range(LOOP):
            output()

    rows.append((f"{LOOP} × session (kelvarn: C loop)", {
        "kelvarn": lambda: loop(cookie, LOOP),
        "werkzeug": dump_loop,
        "Morsel": output_loop,
    }))
    return rows
