"""kelvarn.url: join, +, base_url, with_host/query/scheme, the building
helpers, and the typed method table and C function table seen from native
code."""

import ctypes
import traceback

import pytest

import kelvarn.url as url_module
from kelvarn.url import URL, InvalidURL, build_absolute_url, join_prefix
from support import assert_no_leaks, capi_function, capsule_name, cut, run_reinit_on_bytes_warning, vtable_slot

PARSE = "The value cannot be parsed as URL ("
NONE_RIGHT = "can't concat NoneType to bytes"
NONE_LEFT = "unsupported operand type(s) for +: 'NoneType' and 'bytes'"


def values(u):
    return u.value


# ---------------------------------------------------------------------------
# join and +


@pytest.mark.parametrize("base, other, result", [
    (b"/api/", b"/items", b"/api/items"),
    (b"/api", b"/items", b"/api/items"),
    (b"/a//", b"/b", b"/a//b"),
    (b"/a/", b"/b?x=1#f", b"/a/b?x=1#f"),
    (b"http://h", b"/b", b"http://h/b"),
    (b"/a?", b"/b", b"/a?/b"),
    (b"http://h:8080/a/", b"/b", b"http://h:8080/a/b"),
])
def test_join(base, other, result):
    joined = URL(base).join(URL(other))
    assert type(joined) is URL and joined.value == result
    assert (URL(base) + other).value == result and (URL(base) + URL(other)).value == result
    assert URL(base).join(other=URL(other)).value == result


@pytest.mark.parametrize("base, other, message", [
    (b"/a", b"http://h/x", "Cannot concatenate to an absolute URL (b'/a' + b'http://h/x')"),
    (b"/a?x=1", b"http://h/", "Cannot concatenate to an absolute URL (b'/a?x=1' + b'http://h/')"),
    *[(b"/a", b"http://h/" + b"x" * n,
       f"Cannot concatenate to an absolute URL (b'/a' + {cut(repr(b'http://h/' + b'x' * n))})") for n in (187, 188, 189)],
    (b"/a?x=1", b"/b", "Cannot concatenate a URL with query or fragment to another URL portion"),
    (b"/a#f", b"/b", "Cannot concatenate a URL with query or fragment to another URL portion"),
])
def test_join_refused(base, other, message):
    with pytest.raises(ValueError) as info:
        URL(base).join(URL(other))
    assert str(info.value) == message


@pytest.mark.parametrize("call, error, message", [
    # None is let through by the argument check and refused by the body
    (lambda: URL(b"/a").join(None), TypeError,
     "Argument 'other' has incorrect type (expected kelvarn.url.URL, got NoneType)"),
    (lambda: URL(b"/a").join(b"/b"), TypeError,
     "Argument 'other' has incorrect type (expected kelvarn.url.URL, got bytes)"),
    (lambda: URL(b"/a").join(), TypeError, "join() takes exactly 1 positional argument (0 given)"),
    (lambda: URL.join(1, URL(b"/a")), TypeError,
     "descriptor 'join' for 'kelvarn.url.URL' objects doesn't apply to a 'int' object"),
    (lambda: URL(b"/a") + b"", InvalidURL, "Input empty or null."),
    (lambda: URL(b"/a") + "/b", TypeError, "unsupported operand type(s) for +: 'kelvarn.url.URL' and 'str'"),
    (lambda: URL(b"/a") + type("B", (bytes,), {})(b"/b"), TypeError,
     "Argument 'value' has incorrect type (expected bytes, got B)"),
    (lambda: b"/a" + URL(b"/b"), TypeError, "can't concat kelvarn.url.URL to bytes"),
    (lambda: URL(b"/a?q") + b"/b", ValueError,
     "Cannot concatenate a URL with query or fragment to another URL portion"),
])
def test_join_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_add_returns_not_implemented():
    assert URL(b"/a").__add__(1) is NotImplemented
    assert URL(b"/a").__radd__(URL(b"/b")) is NotImplemented

    class Sub(URL):
        pass

    assert (Sub(b"/a") + b"/b").value == b"/a/b" and Sub(b"/a").__radd__(URL(b"/b")) is NotImplemented
    with pytest.raises(TypeError):
        1 + Sub(b"/a")


class Overriding(URL):
    def join(self, other):
        return self.result

    def base_url(self):
        return self.result

    def with_host(self, host):
        return self.result

    def with_scheme(self, schema):
        return self.result

    def with_query(self, query):
        return self.result


def overriding(result, raw=b"http://h/p"):
    o = Overriding(raw)
    o.result = result
    return o


def test_add_uses_join_override():
    marker = URL(b"/marker")
    assert (overriding(marker, b"/a") + b"/b") is marker
    assert (overriding(None, b"/a") + URL(b"/b")) is None
    with pytest.raises(TypeError, match=r"^Cannot convert str to kelvarn\.url\.URL$"):
        overriding("x", b"/a") + b"/b"

    class Plain(URL):
        pass

    assert type(Plain(b"/a") + b"/b") is URL and type(Plain(b"/a").join(Plain(b"/b"))) is URL


def test_failure_names_the_operation():
    with pytest.raises(InvalidURL) as info:
        URL(b"http://h/p").with_host(b"")
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["kelvarn.url.URL.with_host", "kelvarn.url.URL.__init__"]


# ---------------------------------------------------------------------------
# base_url


@pytest.mark.parametrize("raw, base", [
    (b"http://h:80/p?q#f", b"http://h"),
    (b"https://h:443/p", b"https://h"),
    (b"http://h:443/p", b"http://h:443"),
    (b"https://h:80/p", b"https://h:80"),
    (b"https://h:8443/p", b"https://h:8443"),
    (b"http://u:pw@h/p", b"http://h"),
    (b"http://h", b"http://h"),
])
def test_base_url(raw, base):
    u = URL(raw).base_url()
    assert u.value == base and u.path is None and u.query is None and u.fragment is None


@pytest.mark.parametrize("call, error, message", [
    (lambda: URL(b"/a").base_url(), ValueError, "This URL is relative. Cannot extract a base URL (without path)."),
    (lambda: URL(b"http://h/").base_url(1), TypeError, "base_url() takes exactly 0 positional arguments (1 given)"),
    (lambda: URL(b"http://h/").base_url(x=1), TypeError, "base_url() got an unexpected keyword argument 'x'"),
    (lambda: url_module.__pyx_unpickle_URL(URL, 0x9303E4B, (None, None, True, None, 0, None, b"http", b"v"))
     .base_url(), TypeError, NONE_RIGHT),
])
def test_base_url_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# with_host, with_query, with_scheme


@pytest.mark.parametrize("raw, call, result", [
    (b"http://h:8080/p?q=1#f", lambda u: u.with_host(b"x"), b"http://x/p?q=1#f"),
    (b"http://h/p", lambda u: u.with_host(host=b"x:81"), b"http://x:81/p"),
    (b"https://h:8443/p?q", lambda u: u.with_query(b"n=2"), b"https://h:8443/p?n=2"),
    (b"http://u:pw@[::1]:80/p?q#f", lambda u: slot(4, 1)(u, b"n", 1), b"http://[::1]:80/p?n#f"),
    (b"http://u:pw@[::1]:81/p#f", lambda u: slot(3, 1)(u, b"https", 0), b"https://[::1]/p#f"),
    (b"https://u:pw@[::1]:8443/a", lambda u: slot(1, 0)(u, 0), b"https://[::1]:8443"),
    (b"http://h/p?q#f", lambda u: u.with_query(None), b"http://h/p#f"),
    (b"http://h/p?q#f", lambda u: u.with_query(query=b""), b"http://h/p#f"),
    (b"/p?q#f", lambda u: u.with_query(b"z"), b"/p?z#f"),
    (b"/p?q", lambda u: u.with_query(None), b"/p"),
    (b"http://h:81/p?q#f", lambda u: u.with_scheme(b"https"), b"https://h/p?q#f"),
    (b"https://h/p", lambda u: u.with_scheme(schema=b"http"), b"http://h/p"),
])
def test_rebuilds(raw, call, result):
    u = call(URL(raw))
    assert type(u) is URL and u.value == result


@pytest.mark.parametrize("call, error, message", [
    (lambda: URL(b"/a").with_host(b"x"), ValueError, "This URL is not absolute."),
    (lambda: URL(b"/a").with_scheme(b"ftp"), ValueError, "This URL is not absolute."),
    (lambda: URL(b"http://h/p").with_scheme(b"ftp"), InvalidURL, "Expected http or https schema; got instead ftp"),
    (lambda: URL(b"http://h/p").with_scheme(b"\xff"), UnicodeDecodeError, None),
    (lambda: URL(b"http://h/p").with_scheme(b""), InvalidURL, PARSE + "://h/p): invalid url b'://h/p'"),
    (lambda: URL(b"http://h/p").with_scheme(None), TypeError, NONE_LEFT),
    (lambda: URL(b"http://h/p").with_host(None), TypeError, NONE_RIGHT),
    (lambda: URL(b"http://h").with_host(b"x"), TypeError, NONE_RIGHT),
    (lambda: URL(b"http://h").with_query(b"x"), TypeError, NONE_RIGHT),
    (lambda: URL(b"http://h").with_scheme(b"https"), TypeError, NONE_RIGHT),
    (lambda: URL(b"http://h/p").with_host("x"), TypeError,
     "Argument 'host' has incorrect type (expected bytes, got str)"),
    (lambda: URL(b"http://h/p").with_query(1), TypeError,
     "Argument 'query' has incorrect type (expected bytes, got int)"),
    (lambda: URL(b"http://h/p").with_scheme(bytearray()), TypeError,
     "Argument 'schema' has incorrect type (expected bytes, got bytearray)"),
    (lambda: URL(b"http://h/p").with_scheme(scheme=b"http"), TypeError,
     "with_scheme() got an unexpected keyword argument 'scheme'"),
    (lambda: URL(b"http://h/p").with_host(b"x y"), InvalidURL, PARSE + "http://x y/p): invalid url b'http://x y/p'"),
    *[(lambda n=n: URL(b"/p").with_query(b" " * n), InvalidURL,
       PARSE + cut("/p?" + " " * n) + "): " + cut(f"invalid url {b'/p?' + b' ' * n!r}")) for n in (196, 197, 198)],
    *[(lambda n=n: URL(b"http://h/").with_scheme(b"f" * n), InvalidURL,
       "Expected http or https schema; got instead " + cut("f" * n)) for n in (199, 200, 201)],
])
def test_rebuild_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    if error is InvalidURL and not message.startswith(PARSE):
        assert info.value.__context__ is None  # the schema error is not wrapped


def test_relative_with_query_without_path():
    # a relative URL whose path is missing (only reachable through the state)
    u = url_module.__pyx_unpickle_URL(URL, 0x9303E4B, (None, None, False, None, 0, None, None, b"v"))
    with pytest.raises(InvalidURL, match=r"^Input empty or null\.$"):
        u.with_query(None)
    with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for \+: 'NoneType' and 'bytes'$"):
        u.with_query(b"q")


# ---------------------------------------------------------------------------
# build_absolute_url and join_prefix


@pytest.mark.parametrize("base_path, path, value", [
    (None, None, b"http://h/"),
    (b"", b"", b"http://h/"),
    (b"/", b"x", b"http://h/x"),
    (b"api/", b"/v", b"http://h/api/v"),
    (b"/api", b"v", b"http://h/api/v"),
    (b"/api//", b"/v", b"http://h/api//v"),
    (b"api", b"//v", b"http://h/api//v"),
    (None, b"a/b?q#f", b"http://h/a/b?q#f"),
])
def test_build_absolute_url(base_path, path, value):
    u = build_absolute_url(b"http", b"h", base_path, path)
    assert type(u) is URL and u.value == value
    assert build_absolute_url(scheme=b"http", host=b"h", base_path=base_path, path=path).value == value


def test_build_absolute_url_with_port():
    u = build_absolute_url(b"https", b"h:8443", None, None)
    assert u.port == 8443 and u.path == b"/" and u.host == b"h"


@pytest.mark.parametrize("args, error, message", [
    ((b"ftp", b"h", None, None), InvalidURL, PARSE + "ftp://h/): Expected http or https schema; got instead ftp"),
    ((None, b"h", None, None), TypeError, NONE_LEFT),
    ((b"http", None, None, None), TypeError, NONE_RIGHT),
    (("http", b"h", None, None), TypeError, "Argument 'scheme' has incorrect type (expected bytes, got str)"),
    ((b"http", b"h", None, 1), TypeError, "Argument 'path' has incorrect type (expected bytes, got int)"),
    ((b"http", b"h", None), TypeError, "build_absolute_url() takes exactly 4 positional arguments (3 given)"),
])
def test_build_absolute_url_errors(args, error, message):
    with pytest.raises(error) as info:
        build_absolute_url(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("prefix, path, result", [
    (None, "x", "x"), ("", "x", "x"), (None, None, None), ("", None, None),
    ("api", "x", "/api/x"), ("/api/", "/x", "/api/x"), ("/api", "/x", "/api/x"), ("/api/", "x", "/api/x"),
    ("/", "/x", "/x"), ("/", "", "//"), ("/api", "", "/api/"), ("/api", None, "/api/"), ("/api/", "", "/api//"),
    ("/api/", "/", "/api/"), ("é", "ü", "/é/ü"), ("/\U0001f600/", "/x", "/\U0001f600/x"), ("/a", "/\u4e2d", "/a/\u4e2d"),
])
def test_join_prefix(prefix, path, result):
    assert join_prefix(prefix, path) == result
    assert join_prefix(prefix=prefix, path=path) == result


def test_join_prefix_returns_path_itself():
    path = "no-slash"
    assert join_prefix(None, path) is path


@pytest.mark.parametrize("args, message", [
    ((b"/a", "x"), "Argument 'prefix' has incorrect type (expected str, got bytes)"),
    (("/a", 1), "Argument 'path' has incorrect type (expected str, got int)"),
    (("/a",), "join_prefix() takes exactly 2 positional arguments (1 given)"),
])
def test_join_prefix_errors(args, message):
    with pytest.raises(TypeError) as info:
        join_prefix(*args)
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# C function table and typed method table, called as native code would

P = ctypes.py_object
I = ctypes.c_int


def test_capi_table():
    capi = url_module.__pyx_capi__
    assert list(capi) == ["build_absolute_url", "join_prefix"]
    assert capsule_name(capi["build_absolute_url"]) == (
        "struct __pyx_obj_7kelvarn_3url_URL *(PyObject *, PyObject *, PyObject *, PyObject *, int __pyx_skip_dispatch)")
    assert capsule_name(capi["join_prefix"]) == "PyObject *(PyObject *, PyObject *, int __pyx_skip_dispatch)"
    assert capsule_name(URL.__dict__["__pyx_vtable__"]) is None


@pytest.mark.parametrize("flag", [0, 1])
def test_capi_functions(flag):
    build = capi_function(url_module, "build_absolute_url", P, P, P, P, P, I)
    assert build(b"http", b"h", b"api/", b"v", flag).value == b"http://h/api/v"
    with pytest.raises(InvalidURL):
        build(b"ftp", b"h", None, None, flag)
    # a native caller passing the wrong type gets the argument error, not a crash
    with pytest.raises(TypeError, match=r"^Argument 'path' has incorrect type \(expected bytes, got str\)$"):
        build(b"http", b"h", None, "v", flag)
    prefix = capi_function(url_module, "join_prefix", P, P, P, I)
    assert prefix("api", "x", flag) == "/api/x" and prefix(None, None, flag) is None
    with pytest.raises(TypeError, match=r"^Argument 'prefix' has incorrect type \(expected str, got bytes\)$"):
        prefix(b"api", "x", flag)


SLOTS = [
    (0, "join", lambda: (URL(b"/b"),), b"/a/b"),
    (1, "base_url", lambda: (), b"http://h:81"),
    (2, "with_host", lambda: (b"x",), b"http://x/a/"),
    (3, "with_scheme", lambda: (b"https",), b"https://h/a/"),
    (4, "with_query", lambda: (b"n",), b"http://h:81/a/?n"),
]


def slot(index, nargs):
    return vtable_slot(URL, index, P, P, *([P] * nargs), I)


@pytest.mark.parametrize("index, name, args, expected", SLOTS)
def test_typed_slots(index, name, args, expected):
    call = slot(index, len(args()))
    raw = b"/a/" if name == "join" else b"http://h:81/a/"
    base = URL(raw)
    for flag in (0, 1):
        result = call(base, *args(), flag)
        assert type(result) is URL and result.value == expected
    # a Python subclass: flag 0 takes the override, flag 1 the built-in body
    marker = URL(b"/marker")
    sub = overriding(marker, raw)
    assert call(sub, *args(), 0) is marker
    assert call(sub, *args(), 1).value == expected
    sub.result = 3
    with pytest.raises(TypeError, match=r"^Cannot convert int to kelvarn\.url\.URL$"):
        call(sub, *args(), 0)
    sub.result = None
    assert call(sub, *args(), 0) is None


@pytest.mark.parametrize("flag", [0, 1])
def test_typed_slot_errors(flag):
    join = slot(0, 1)
    with pytest.raises(TypeError, match=r"expected kelvarn\.url\.URL, got NoneType"):
        join(URL(b"/a"), None, flag)
    with pytest.raises(ValueError, match="This URL is relative"):
        slot(1, 0)(URL(b"/a"), flag)
    with pytest.raises(InvalidURL, match="^Expected http or https schema; got instead ftp$"):
        slot(3, 1)(URL(b"http://h/"), b"ftp", flag)
    with pytest.raises(TypeError, match=r"^Argument 'host' has incorrect type \(expected bytes, got str\)$"):
        slot(2, 1)(URL(b"http://h/"), "x", flag)


# ---------------------------------------------------------------------------
# Reference leaks of every operation and error path

A = URL(b"http://h:81/a/?q#f")
R = URL(b"/a/")
NOPATH = URL(b"http://h")
MARKER = URL(b"/m")

LEAK_CASES = {
    "join": lambda: R.join(URL(b"/b")),
    "join-slash": lambda: URL(b"/a").join(URL(b"/b")),
    "join-absolute": lambda: R.join(A),
    "join-query": lambda: A.join(R),
    "join-none": lambda: R.join(None),
    "join-unparsable": lambda: URL(b"/a").join(URL(b"/\xff")),
    "add-bytes": lambda: R + b"/b",
    "add-url": lambda: R + R,
    "add-empty": lambda: R + b"",
    "add-str": lambda: R + "x",
    "add-override": lambda: overriding(MARKER, b"/a") + b"/b",
    "add-override-bad": lambda: overriding("x", b"/a") + b"/b",
    "base_url": lambda: A.base_url(),
    "base_url-relative": lambda: R.base_url(),
    "with_host": lambda: A.with_host(b"x"),
    "with_host-none": lambda: A.with_host(None),
    "with_host-nopath": lambda: NOPATH.with_host(b"x"),
    "with_host-relative": lambda: R.with_host(b"x"),
    "with_query": lambda: A.with_query(b"n"),
    "with_query-ipv6": lambda: ((v := URL(b"http://[::1]:81/a")).base_url(), v.with_scheme(b"https"), v.with_query(b" " * 300)),
    "with_query-relative": lambda: R.with_query(b"n"),
    "with_query-wrong-type": lambda: R.with_query("n"),
    "with_scheme": lambda: A.with_scheme(b"https"),
    "with_scheme-ftp": lambda: A.with_scheme(b"ftp"),
    "with_scheme-none": lambda: A.with_scheme(None),
    "with_scheme-empty": lambda: A.with_scheme(b""),
    "build_absolute_url": lambda: build_absolute_url(b"http", b"h", b"api/", b"v"),
    "build_absolute_url-ftp": lambda: build_absolute_url(b"ftp", b"h", None, None),
    "build_absolute_url-none": lambda: build_absolute_url(b"http", None, None, None),
    "join_prefix": lambda: join_prefix("api", "/x"),
    "join_prefix-empty": lambda: join_prefix("/api", ""),
    "join_prefix-wrong-type": lambda: join_prefix(b"/api", ""),
}


@pytest.mark.parametrize("name", list(LEAK_CASES))
def test_no_leaks(name):
    assert_no_leaks(LEAK_CASES[name])


@pytest.mark.parametrize("index, name, args, expected", SLOTS)
def test_no_leaks_through_slots(index, name, args, expected):
    call = slot(index, len(args()))
    base = URL(b"/a/" if name == "join" else b"http://h:81/a/")
    sub = overriding(MARKER, base.value)
    bad = overriding(3, base.value)
    relative = URL(b"/r")

    def run():
        for flag in (0, 1):
            call(base, *args(), flag)
            call(sub, *args(), flag)
            for target in (bad, relative):
                try:
                    call(target, *args(), 0)
                except (TypeError, ValueError):
                    pass

    assert_no_leaks(run)


def test_no_leaks_through_capi():
    build = capi_function(url_module, "build_absolute_url", P, P, P, P, P, I)
    prefix = capi_function(url_module, "join_prefix", P, P, P, I)
    assert_no_leaks(build, b"http", b"h", b"a", b"b", 0)
    assert_no_leaks(build, b"ftp", b"h", b"a", b"b", 0)
    assert_no_leaks(build, b"http", b"h", 1, b"b", 0)
    assert_no_leaks(prefix, "a", "b", 0)
    assert_no_leaks(prefix, 1, "b", 0)


# ---------------------------------------------------------------------------
# Text forms of stored bytes in messages: with -b, str() of bytes warns, and a
# warning hook may re-initialise the URL whose field is being shown


def test_join_message_holds_the_value_across_a_bytes_warning():
    run_reinit_on_bytes_warning(
        "from kelvarn.url import URL; other = URL(fresh('http://example.com/')); "
        "base = URL(fresh('/base/')); obj = other; new = (b'http://replaced.example/',)",
        "base.join(other)",
        "result == \"Cannot concatenate to an absolute URL (b'/base/\" + 'x' * 40 + \"' + b'http://example.com/\""
        " + 'x' * 40 + \"')\"",
    )
