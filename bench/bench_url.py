"""URL parsing and composition against yarl, urllib.parse and bare httptools.

Construction: kelvarn's `URL(bytes)` against `yarl.URL(str)`,
`urllib.parse.urlsplit(bytes)` and `httptools.parse_url(bytes)`. The last is
the parser kelvarn calls, so its column is the floor: everything kelvarn adds
on top of it (argument check, schema check, field reads and the instance) is
the difference.

Composition: `join`, `with_query` and `base_url` against yarl's `join`,
`with_query` and `origin()`.

yarl and urllib keep least-recently-used caches keyed by the input string (and
yarl caches `origin()` on the instance); with the same input on every call
they would measure a dictionary lookup. This module therefore makes them do
their work on every call, as kelvarn does: the uncached functions are put in
place of the cached ones for the benchmark process only, and the instance
cache of `origin()` is emptied before each call (one dict pop, counted in
yarl's time).
"""

import urllib.parse

import httptools
import yarl
import yarl._url as yarl_url

from kelvarn.url import URL

TITLE = "URL (parse once, then field reads and concatenations)"

RELATIVE = b"/api/v1/items?page=2&sort=desc#results"
ABSOLUTE = b"https://example.com:8443/api/v1/items?page=2&sort=desc#results"
LONG = (b"https://assets.example.com:8443/" + b"/".join(b"segment%02d" % i for i in range(40)) + b"/file.tar.gz?"
        + b"&".join(b"key%02d=value%02d" % (i, i) for i in range(40)) + b"#" + b"f" * 64)

# Base and relative part for join, per case.
JOINS = {
    "relative path": (b"/api/", b"/v1/items"),
    "absolute, port, query, fragment": (b"https://example.com:8443/api/", b"/v1/items?page=2&sort=desc#results"),
    "long URL": (LONG.split(b"?")[0].rsplit(b"/", 1)[0] + b"/", b"/" + LONG.rsplit(b"/", 1)[1]),
}


def _uncache():
    for name in ("encode_url", "pre_encoded_url", "from_parts"):
        fn = getattr(yarl_url, name)
        setattr(yarl_url, name, getattr(fn, "__wrapped__", fn))
    urlsplit = getattr(urllib.parse.urlsplit, "__wrapped__", urllib.parse.urlsplit)
    return urlsplit


def _yarl_relative(part):
    # yarl's join is RFC 3986 resolution: a relative reference without the
    # leading slash gives the same result as kelvarn's concatenation.
    return yarl.URL(part.decode().lstrip("/"))


def cases():
    urlsplit = _uncache()
    parse_url = httptools.parse_url
    out = []
    inputs = {"relative path, query, fragment": RELATIVE, "absolute, port, query, fragment": ABSOLUTE,
              "long URL": LONG}

    for label, raw in inputs.items():
        text = raw.decode()
        assert URL(raw).value == raw and str(yarl.URL(text)) == text
        out.append((f"construct: {label}", {
            "kelvarn": lambda raw=raw: URL(raw),
            "yarl": lambda text=text: yarl.URL(text),
            "urllib urlsplit": lambda raw=raw: urlsplit(raw),
            "httptools.parse_url (floor)": lambda raw=raw: parse_url(raw),
        }))

    for label, (base, part) in JOINS.items():
        k_base, k_part = URL(base), URL(part)
        y_base, y_part = yarl.URL(base.decode()), _yarl_relative(part)
        assert str(k_base.join(k_part)) == str(y_base.join(y_part))
        out.append((f"join: {label}", {
            "kelvarn": lambda a=k_base, b=k_part: a.join(b),
            "yarl": lambda a=y_base, b=y_part: a.join(b),
        }))

    for label, raw in inputs.items():
        k, y = URL(raw), yarl.URL(raw.decode())
        assert k.with_query(b"page=3").query == y.with_query("page=3").raw_query_string.encode()
        out.append((f"with_query: {label}", {
            "kelvarn": lambda k=k: k.with_query(b"page=3"),
            "yarl": lambda y=y: y.with_query("page=3"),
        }))

    for label, raw in inputs.items():
        if not raw.startswith(b"http"):
            continue  # a relative URL has no base
        k, y = URL(raw), yarl.URL(raw.decode())
        assert str(k.base_url()) == str(y.origin())

        def origin(y=y):
            y._cache.pop("_origin", None)
            return y.origin()

        out.append((f"base_url / origin(): {label}", {
            "kelvarn": lambda k=k: k.base_url(),
            "yarl": origin,
        }))
    return out
