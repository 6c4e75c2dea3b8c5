"""Headers against the collections a framework would otherwise use.

Every implementation gets the same 15 typical request headers. kelvarn and
starlette work on bytes names, multidict and werkzeug on text names, as each
is used in practice. Mutations start from a fresh collection built from the
same list, so "add", "set" and "remove" include that build.
"""

from kelvarn.headers import Header, Headers

TITLE = "Headers (15 request headers)"

RAW = [
    (b"Host", b"example.com"),
    (b"User-Agent", b"Mozilla/5.0 (X11; Linux x86_64) Gecko/20100101 Firefox/120.0"),
    (b"Accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"Accept-Language", b"en-US,en;q=0.5"),
    (b"Accept-Encoding", b"gzip, deflate, br"),
    (b"Connection", b"keep-alive"),
    (b"Upgrade-Insecure-Requests", b"1"),
    (b"Sec-Fetch-Dest", b"document"),
    (b"Sec-Fetch-Mode", b"navigate"),
    (b"Sec-Fetch-Site", b"none"),
    (b"Sec-Fetch-User", b"?1"),
    (b"Cookie", b"session=abc123; theme=dark"),
    (b"Cache-Control", b"max-age=0"),
    (b"Content-Type", b"text/plain; charset=utf-8"),
    (b"Content-Length", b"42"),
]
TEXT = [(k.decode(), v.decode()) for k, v in RAW]
LOWER = [(k.lower(), v) for k, v in RAW]

PRESENT, MISSING = b"content-type", b"x-missing"
PRESENT_S, MISSING_S = PRESENT.decode(), MISSING.decode()


def cases():
    import multidict
    import starlette.datastructures as sd
    import werkzeug.datastructures as wd

    k = Headers(list(RAW))
    m = multidict.CIMultiDict(TEXT)
    w = wd.Headers(TEXT)
    s = sd.Headers(raw=LOWER)
    other_k = Headers([(b"X-Extra", b"1"), (b"X-Other", b"2")])
    other_m = multidict.CIMultiDict([("X-Extra", "1"), ("X-Other", "2")])

    def k_add():
        h = Headers(list(RAW))
        h.add(b"X-Request-Id", b"42")

    def m_add():
        h = multidict.CIMultiDict(TEXT)
        h.add("X-Request-Id", "42")

    def w_add():
        h = wd.Headers(TEXT)
        h.add("X-Request-Id", "42")

    def s_add():
        h = sd.MutableHeaders(raw=list(LOWER))
        h.append("x-request-id", "42")

    def k_set():
        h = Headers(list(RAW))
        h.set(b"Content-Type", b"application/json")

    def m_set():
        h = multidict.CIMultiDict(TEXT)
        h["Content-Type"] = "application/json"

    def w_set():
        h = wd.Headers(TEXT)
        h.set("Content-Type", "application/json")

    def s_set():
        h = sd.MutableHeaders(raw=list(LOWER))
        h["content-type"] = "application/json"

    def k_remove():
        h = Headers(list(RAW))
        h.remove(b"Cookie")

    def m_remove():
        h = multidict.CIMultiDict(TEXT)
        h.popall("Cookie", None)

    def w_remove():
        h = wd.Headers(TEXT)
        h.remove("Cookie")

    def s_remove():
        h = sd.MutableHeaders(raw=list(LOWER))
        del h["cookie"]

    def k_workload():
        # what a request handler does: wrap the parsed list, four lookups,
        # two membership tests, one set, one add (bench/instructions.py
        # counts the same statements)
        h = Headers(list(RAW))
        h.get_first(b"host")
        h.get_first(PRESENT)
        h.get_first(b"accept-encoding")
        h.get_first(MISSING)
        b"cookie" in h
        b"authorization" in h
        h.set(b"content-type", b"application/json")
        h.add(b"x-request-id", b"42")

    def m_workload():
        h = multidict.CIMultiDict(list(TEXT))
        h.get("host")
        h.get(PRESENT_S)
        h.get("accept-encoding")
        h.get(MISSING_S)
        "cookie" in h
        "authorization" in h
        h["content-type"] = "application/json"
        h.add("x-request-id", "42")

    return [
        ("build from list", {
            "kelvarn": lambda: Headers(list(RAW)),
            "multidict": lambda: multidict.CIMultiDict(TEXT),
            "werkzeug": lambda: wd.Headers(TEXT),
            "starlette": lambda: sd.Headers(raw=list(LOWER)),
        }),
        ("get (present)", {
            "kelvarn": lambda: k.get(PRESENT),
            "multidict": lambda: m.getall(PRESENT_S, ()),
            "werkzeug": lambda: w.getlist(PRESENT_S),
            "starlette": lambda: s.getlist(PRESENT_S),
        }),
        ("get (missing)", {
            "kelvarn": lambda: k.get(MISSING),
            "multidict": lambda: m.getall(MISSING_S, ()),
            "werkzeug": lambda: w.getlist(MISSING_S),
            "starlette": lambda: s.getlist(MISSING_S),
        }),
        ("get_first (present)", {
            "kelvarn": lambda: k.get_first(PRESENT),
            "multidict": lambda: m.get(PRESENT_S),
            "werkzeug": lambda: w.get(PRESENT_S),
            "starlette": lambda: s.get(PRESENT_S),
        }),
        ("get_first (missing)", {
            "kelvarn": lambda: k.get_first(MISSING),
            "multidict": lambda: m.get(MISSING_S),
            "werkzeug": lambda: w.get(MISSING_S),
            "starlette": lambda: s.get(MISSING_S),
        }),
        ("contains (present)", {
            "kelvarn": lambda: PRESENT in k,
            "multidict": lambda: PRESENT_S in m,
            "werkzeug": lambda: PRESENT_S in w,
            "starlette": lambda: PRESENT_S in s,
        }),
        ("contains (missing)", {
            "kelvarn": lambda: MISSING in k,
            "multidict": lambda: MISSING_S in m,
            "werkzeug": lambda: MISSING_S in w,
            "starlette": lambda: MISSING_S in s,
        }),
        ("build + add", {"kelvarn": k_add, "multidict": m_add, "werkzeug": w_add, "starlette": s_add}),
        ("build + set", {"kelvarn": k_set, "multidict": m_set, "werkzeug": w_set, "starlette": s_set}),
        ("build + remove", {"kelvarn": k_remove, "multidict": m_remove, "werkzeug": w_remove, "starlette": s_remove}),
        ("iterate entries", {
            "kelvarn": lambda: list(k),
            "multidict": lambda: list(m.items()),
            "werkzeug": lambda: list(w),
            "starlette": lambda: list(s.items()),
        }),
        ("clone", {
            "kelvarn": lambda: k.clone(),
            "multidict": lambda: m.copy(),
            "werkzeug": lambda: w.copy(),
            "starlette": lambda: s.mutablecopy(),
        }),
        ("+ (two headers)", {
            "kelvarn": lambda: k + other_k,
            "multidict": lambda: _md_plus(m, other_m),
        }),
        ("+ Header", {
            "kelvarn": lambda: k + Header(b"X-Extra", b"1"),
        }),
        ("request workload", {"kelvarn": k_workload, "multidict": m_workload}),
    ]


def _md_plus(a, b):
    c = a.copy()
    c.extend(b)
    return c
