"""The C-level interface, exercised by two native consumers built against the
installed package: a C++ module that uses the declaration headers
(``kelvarn.get_include()``) and a Cython module that cimports the shipped
``.pxd`` files. Both offer the same functions (tests/consumers), so every
case below runs through each of them.
"""

import datetime
import os
import subprocess
import sys
import sysconfig
import textwrap
import tomllib
from pathlib import Path

import pytest

import kelvarn
import kelvarn.cookies
import kelvarn.headers
import kelvarn.url
from kelvarn.cookies import Cookie, CookieSameSiteMode
from kelvarn.headers import Header, Headers
from kelvarn.url import URL

from support import assert_no_leaks

sys.path.insert(0, str(Path(__file__).parent / "consumers"))
import consumer_build  # noqa: E402

# ---------------------------------------------------------------------------
# Building and importing the consumers


@pytest.fixture(scope="session")
def cpp(tmp_path_factory):
    path = consumer_build.build_cpp(tmp_path_factory.mktemp("cpp"))
    sys.path.insert(0, str(path))
    import kv_consumer

    return kv_consumer


@pytest.fixture(scope="session")
def cython_dir(tmp_path_factory):
    pytest.importorskip("Cython", reason="Cython is needed to build the Cython consumer")
    return consumer_build.build_cython(tmp_path_factory.mktemp("cython"))


@pytest.fixture(scope="session")
def cy(cython_dir):
    sys.path.insert(0, str(cython_dir))
    import kv_cyconsumer

    return kv_cyconsumer


@pytest.fixture(params=["cpp", "cython"])
def consumer(request):
    return request.getfixturevalue("cpp" if request.param == "cpp" else "cy")


def test_headers_are_installed_and_usable_from_c():
    """The declaration headers compile as C too, warning-free and pedantic."""
    include = Path(kelvarn.get_include())
    names = sorted(p.name for p in include.glob("*.h"))
    assert names == ["cookies.h", "headers.h", "kelvarn_capi.h", "url.h"]
    for name in names:
        subprocess.run([os.environ.get("CC", "cc"), "-std=c11", "-fsyntax-only", "-Wall", "-Wextra", "-Wpedantic",
                        "-Werror", "-isystem", sysconfig.get_paths()["include"], "-I", str(include), "-x", "c", "-"],
                       input=f'#include "{name}"\n', text=True, check=True)


def test_pxd_files_are_installed():
    package = Path(kelvarn.__file__).parent
    for name in ("headers", "cookies", "url"):
        assert (package / f"{name}.pxd").is_file()


def test_import_loads_nothing_beyond_the_dependencies():
    """Start-up cost: the package and its modules bring in no module of their own."""
    code = ("import sys, datetime, email.utils, urllib.parse, httptools; before = set(sys.modules); "
            "import kelvarn.headers, kelvarn.cookies, kelvarn.url; print(sorted(set(sys.modules) - before))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "['kelvarn', 'kelvarn.cookies', 'kelvarn.headers', 'kelvarn.url']\n"
    assert kelvarn.get_include() == os.path.join(os.path.dirname(kelvarn.__file__), "include")


def test_license_is_declared():
    root = Path(__file__).resolve().parent.parent
    project = tomllib.loads((root / "pyproject.toml").read_text())["project"]
    assert (project["license"], project["license-files"]) == ("MIT", ["LICENSE"])
    assert (root / "LICENSE").read_text().startswith("MIT License\n\nCopyright (c) 2026 The kelvarn developers\n")


# ---------------------------------------------------------------------------
# Headers: every slot, flag 0 and 1, on a base instance and on a subclass

VALUES = [(b"A", b"1"), (b"b", b"2")]
HEADERS_MARKER = Headers([(b"marker", b"")])
# What the overrides below return; the results of add/set/remove/merge are discarded.
HEADERS_OVERRIDES = {
    "keys": (b"override",),
    "clone": HEADERS_MARKER,
    "get": (b"override",),
    "get_tuples": [(b"override", b"")],
    "add": None,
    "set": None,
    "get_single": b"override",
    "get_first": b"override",
    "remove": None,
    "merge": None,
    "contains": True,
}
HEADERS_SLOTS = [
    ("keys", ()),
    ("clone", ()),
    ("get", (b"a",)),
    ("get_tuples", (b"B",)),
    ("add", (b"c", b"3")),
    ("set", (b"a", b"9")),
    ("get_single", (b"b",)),
    ("get_first", (b"a",)),
    ("remove", (b"a",)),
    ("merge", ([(b"x", b"y")],)),
    ("contains", (b"missing",)),
]


def _recording(slot, result):
    def method(self, *args):
        self.calls.append((slot, *args))
        return "ignored" if result is None else ("truthy" if result is True else result)

    return method


class OverridingHeaders(Headers):
    locals().update({slot: _recording(slot, result) for slot, result in HEADERS_OVERRIDES.items()})

    def __init__(self, values=None):
        super().__init__(values)
        self.calls = []


class PlainSubHeaders(Headers):
    """A Python subclass without overrides: flag 0 finds the module's own methods."""


@pytest.mark.parametrize("flag", [0, 1])
@pytest.mark.parametrize("cls", [Headers, PlainSubHeaders, OverridingHeaders])
@pytest.mark.parametrize("slot,args", HEADERS_SLOTS)
def test_headers_slot(consumer, cls, flag, slot, args):
    h = cls(list(VALUES))
    reference = cls(list(VALUES))
    # The unbound method of the module's class runs the built-in body.
    expected = getattr(Headers, slot)(reference, *args)
    result = consumer.headers_call(slot, flag, h, *args)
    if cls is OverridingHeaders and flag == 0:
        assert result is HEADERS_OVERRIDES[slot] if slot == "clone" else result == HEADERS_OVERRIDES[slot]
        assert h.calls == [(slot, *args)]
        assert h.values == VALUES
        return
    if slot == "clone":
        assert type(result) is type(expected) and result.values == expected.values
        assert result.values is not h.values
    else:
        assert result == expected and type(result) is type(expected)
    # The body's own internal calls (set calls contains, remove and add) go
    # through the table with the check, as the Python-level call's do.
    assert h.values == reference.values
    assert getattr(h, "calls", None) == getattr(reference, "calls", None)


def _returning(value):
    return lambda self, *args: value


@pytest.mark.parametrize("slot,args,override,error,message", [
    ("get", (b"a",), [], TypeError, "Expected tuple, got list"),
    ("keys", (), [], TypeError, "Expected tuple, got list"),
    ("get_tuples", (b"a",), (), TypeError, "Expected list, got tuple"),
    ("get_first", (b"a",), "s", TypeError, "Expected bytes, got str"),
    ("get_single", (b"a",), "s", TypeError, "Expected bytes, got str"),
    ("clone", (), "x", TypeError, "Cannot convert str to kelvarn.headers.Headers"),
    ("get", (b"a",), ValueError("from override"), ValueError, "from override"),
    ("add", (b"a", b"b"), ValueError("from override"), ValueError, "from override"),
    ("contains", (b"a",), ValueError("from override"), ValueError, "from override"),
])
def test_headers_override_result_checked(consumer, slot, args, override, error, message):
    if isinstance(override, Exception):
        def method(self, *args):
            raise override
    else:
        method = _returning(override)
    cls = type("Sub", (Headers,), {slot: method})
    h = cls(list(VALUES))
    with pytest.raises(error) as info:
        consumer.headers_call(slot, 0, h, *args)
    assert str(info.value) == message
    # The same call with the flag set never sees the override.
    consumer.headers_call(slot, 1, h, *args)


# Failures of each result convention: NULL, an exception left after a void
# call, and an exception left after the int result of contains.
@pytest.mark.parametrize("values,slot,args,error,message", [
    (VALUES, "get_single", (b"missing",), ValueError, "Headers does not contain one header with the given key"),
    ([(b"a", b"1"), (b"A", b"2")], "get_single", (b"a",), ValueError,
     "Headers contains more than one header with the given key"),
    ([1], "get", (b"a",), TypeError, "Expected tuple, got int"),
    (None, "add", (b"a", b"b"), AttributeError, "'NoneType' object has no attribute 'append'"),
    (VALUES, "merge", ([1],), TypeError, "Expected tuple, got int"),
    (None, "remove", (b"a",), TypeError, "'NoneType' object is not iterable"),
    (None, "contains", (b"a",), TypeError, "'NoneType' object is not iterable"),
    ([(b"a",)], "contains", (b"a",), ValueError, "need more than 1 value to unpack"),
])
@pytest.mark.parametrize("flag", [0, 1])
def test_headers_slot_failures(consumer, values, slot, args, error, message, flag):
    h = Headers.__new__(Headers) if values is None else Headers(list(values))
    with pytest.raises(error) as info:
        consumer.headers_call(slot, flag, h, *args)
    assert str(info.value) == message


def test_headers_fields(consumer):
    values = list(VALUES)
    h = Headers(values)
    assert consumer.headers_values(h) is values
    assert consumer.headers_values(Headers.__new__(Headers)) is None
    assert consumer.header_fields(Header(b"Name", b"v")) == (b"Name", b"v")
    assert consumer.header_fields(Header(None, None)) == (None, None)


# ---------------------------------------------------------------------------
# Cookies: the six C function table entries


@pytest.mark.parametrize("raw,fields", [
    (b"id=a%20b; Path=/; HttpOnly", ("id", "a b", None, None, "/", 1, 0, -1, 0)),
    (b"a=b; Max-Age=0; Secure; SameSite=STRICT; Domain=x.org",
     ("a", "b", None, "x.org", None, 0, 1, 0, 2)),
    (b"a=b; Expires=Wed, 21 Oct 2015 07:28:00 GMT",
     ("a", "b", datetime.datetime(2015, 10, 21, 7, 28), None, None, 0, 0, -1, 0)),
])
@pytest.mark.parametrize("flag", [0, 1])
def test_parse_cookie(consumer, raw, fields, flag):
    cookie = consumer.parse_cookie(raw, flag)
    assert type(cookie) is Cookie
    assert consumer.cookie_fields(cookie) == fields


def test_parse_cookie_failure(consumer):
    with pytest.raises(ValueError) as info:
        consumer.parse_cookie(b"abc", 0)
    assert str(info.value) == "Invalid name=value fragment: b'abc'"


def test_cookie_dates(consumer):
    moment = datetime.datetime(2015, 10, 21, 7, 28, 0, 500000)
    assert consumer.datetime_to_cookie_format(moment, 0) == b"Wed, 21 Oct 2015 07:28:00 GMT"
    assert consumer.datetime_from_cookie_format(b"Wed, 21 Oct 2015 07:28:00 GMT", 1) == moment.replace(microsecond=0)
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'strftime'$"):
        consumer.datetime_to_cookie_format(None, 0)
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'decode'$"):
        consumer.datetime_from_cookie_format(None, 0)


@pytest.mark.parametrize("kwargs,written", [
    (dict(name="id", value="42"), b"id=42"),
    (dict(name="a b", value="x;y"), b"a%20b=x%3By"),
    (dict(name="id", value="a b", path="/", http_only=True, same_site=CookieSameSiteMode.STRICT),
     b"id=a%20b; Path=/; HttpOnly; Secure; SameSite=Strict"),
    (dict(name="a", value="b", max_age=0, domain="", same_site=CookieSameSiteMode.NONE),
     b"a=b; Max-Age=0; Secure; SameSite=None"),
    (dict(name="a", value="b", expires=datetime.datetime(2015, 10, 21, 7, 28), same_site=7),
     b"a=b; Expires=Wed, 21 Oct 2015 07:28:00 GMT"),
])
def test_write_cookie_for_response(consumer, kwargs, written):
    assert consumer.write_cookie_for_response(Cookie(**kwargs)) == written


def test_write_cookie_for_response_reads_name_through_subclass(consumer):
    class Renamed(Cookie):
        name = property(lambda self: "renamed", Cookie.name.__set__)

    assert consumer.write_cookie_for_response(Renamed("id", "1", path="/p")) == b"renamed=1; Path=/p"


def test_write_cookie_for_response_failure(consumer):
    with pytest.raises(TypeError, match="^quote_from_bytes\\(\\) expected bytes$"):
        consumer.write_cookie_for_response(Cookie("id", None))
    consumer.write_cookie_loop(Cookie("id", "1"), 3)
    with pytest.raises(TypeError):
        consumer.write_cookie_loop(Cookie("id", None), 3)


@pytest.mark.parametrize("value,separator,result", [
    (b"a=b=c", b"=", (b"a", b"b=c")),
    (b"=", b"=", (b"", b"")),
    (b"key: v", b": ", (b"key", b" v")),
])
def test_split_value(consumer, value, separator, result):
    assert consumer.split_value(value, separator) == result


def test_split_value_failure(consumer):
    with pytest.raises(ValueError, match="^subsection not found$"):
        consumer.split_value(b"abc", b"=")


@pytest.mark.parametrize("text,mode", [
    (b"STRICT", 2), (b"lax", 1), (b"None", 3), (b"Strict ", 0), (b"", 0), (None, 0),
])
def test_same_site_mode_from_bytes(consumer, text, mode):
    assert consumer.same_site_mode_from_bytes(text) == (mode, None)


def test_same_site_mode_failure_is_undefined_with_error(cpp):
    # The C++ consumer passes any object through; the module refuses it with
    # UNDEFINED and a pending error, the only way to tell from unknown text.
    mode, error = cpp.same_site_mode_from_bytes(1)
    assert mode == 0 and type(error) is TypeError and str(error) == "Expected bytes, got int"


# ---------------------------------------------------------------------------
# Cookie: its one slot, and the fields


class OverridingCookie(Cookie):
    def clone(self):
        return Cookie("override", "1")


@pytest.mark.parametrize("flag", [0, 1])
@pytest.mark.parametrize("cls", [Cookie, OverridingCookie])
def test_cookie_clone_slot(consumer, cls, flag):
    cookie = cls("id", "v", path="/", secure=True, max_age=5, same_site=CookieSameSiteMode.LAX)
    result = consumer.cookie_clone(cookie, flag)
    assert type(result) is Cookie
    if cls is OverridingCookie and flag == 0:
        assert consumer.cookie_fields(result)[:2] == ("override", "1")
    else:
        assert consumer.cookie_fields(result) == consumer.cookie_fields(cookie)


@pytest.mark.parametrize("returned,message", [
    (1, "Cannot convert int to kelvarn.cookies.Cookie"),
    (b"x", "Cannot convert bytes to kelvarn.cookies.Cookie"),
])
def test_cookie_clone_override_result_checked(consumer, returned, message):
    cls = type("Sub", (Cookie,), {"clone": _returning(returned)})
    with pytest.raises(TypeError) as info:
        consumer.cookie_clone(cls("a", "b"), 0)
    assert str(info.value) == message
    assert consumer.cookie_clone(cls("a", "b"), 1) == "b"


def test_cookie_fields(consumer):
    moment = datetime.datetime(2020, 1, 2)
    cookie = Cookie("n", "v", moment, "d.org", "/p", True, False, 2**40, 7)
    assert consumer.cookie_fields(cookie) == ("n", "v", moment, "d.org", "/p", 1, 0, 2**40, 7)
    assert consumer.cookie_fields(Cookie.__new__(Cookie)) == (None, None, None, None, None, 0, 0, 0, 0)
    cookie.same_site = -1
    cookie.max_age = -(2**63)
    assert consumer.cookie_fields(cookie)[7:] == (-(2**63), -1)


# ---------------------------------------------------------------------------
# URL: the two C function table entries, the five slots, the fields


def test_build_absolute_url_and_join_prefix(consumer):
    url = consumer.build_absolute_url(b"https", b"example.com", b"/base", b"/path", 0)
    assert type(url) is URL and url == kelvarn.url.build_absolute_url(b"https", b"example.com", b"/base", b"/path")
    assert consumer.join_prefix("/api", "items", 1) == kelvarn.url.join_prefix("/api", "items")
    assert consumer.join_prefix("", "", 0) == kelvarn.url.join_prefix("", "")
    with pytest.raises(kelvarn.url.InvalidURL, match="Expected http or https schema; got instead ftp$"):
        consumer.build_absolute_url(b"ftp", b"example.com", b"", b"/", 0)


BASE_URL = b"https://example.com:8080/a/b?q=1#f"
URL_SLOTS = [
    ("join", (URL(b"/c/d"),), b"https://example.com:8080/a"),
    ("base_url", (), BASE_URL),
    ("with_host", (b"other.org",), BASE_URL),
    ("with_scheme", (b"http",), BASE_URL),
    ("with_query", (b"x=1",), BASE_URL),
]
URL_MARKER = URL(b"/override")


class OverridingURL(URL):
    locals().update({slot: _returning(URL_MARKER) for slot, _, _ in URL_SLOTS})


@pytest.mark.parametrize("flag", [0, 1])
@pytest.mark.parametrize("cls", [URL, OverridingURL])
@pytest.mark.parametrize("slot,args,source", URL_SLOTS)
def test_url_slot(consumer, cls, flag, slot, args, source):
    url = cls(source)
    result = consumer.url_call(slot, flag, url, *args)
    if cls is OverridingURL and flag == 0:
        assert result is URL_MARKER
    else:
        expected = getattr(URL, slot)(url, *args)
        assert type(result) is type(expected) and result.value == expected.value


@pytest.mark.parametrize("slot,args,source", URL_SLOTS)
def test_url_override_result_checked(consumer, slot, args, source):
    cls = type("Sub", (URL,), {slot: _returning("x")})
    with pytest.raises(TypeError) as info:
        consumer.url_call(slot, 0, cls(source), *args)
    assert str(info.value) == "Cannot convert str to kelvarn.url.URL"


@pytest.mark.parametrize("flag", [0, 1])
def test_url_slot_failures(consumer, flag):
    with pytest.raises(kelvarn.url.InvalidURL, match="^Expected http or https schema; got instead ftp$"):
        consumer.url_call("with_scheme", flag, URL(BASE_URL), b"ftp")
    with pytest.raises(ValueError, match="^Cannot concatenate a URL with query or fragment"):
        consumer.url_call("join", flag, URL(BASE_URL), URL(b"/c"))


def test_url_fields(consumer):
    assert consumer.url_fields(URL(BASE_URL)) == (BASE_URL, b"https", b"example.com", 8080, b"/a/b", b"q=1", b"f", 1)
    assert consumer.url_fields(URL(b"/rel")) == (b"/rel", None, None, 0, b"/rel", None, None, 0)
    assert consumer.url_fields(URL.__new__(URL)) == (None, None, None, 0, None, None, None, 0)


# ---------------------------------------------------------------------------
# Binding checks of the C++ import helpers


@pytest.mark.parametrize("obj", [
    Headers([]), OverridingHeaders([]), Cookie("a", "b"), OverridingCookie("a", "b"), URL(b"/"), OverridingURL(b"/"),
])
def test_instances_point_to_the_bound_table(cpp, obj):
    assert cpp.bound_table(obj) is True


class SlottedHeaders(Headers):
    __slots__ = ()


class LargerHeaders(Headers):
    __slots__ = ("extra",)


class NamedTableHeaders(Headers):
    __slots__ = ()
    __pyx_vtable__ = kelvarn.cookies.__pyx_capi__["split_value"]


@pytest.fixture
def patcher(monkeypatch):
    """monkeypatch, with the namespaces and C function tables of the modules
    put back in their original order afterwards (deleting and restoring an
    entry would move it to the end)."""
    modules = (kelvarn.headers, kelvarn.cookies, kelvarn.url)
    saved = [(vars(m), list(vars(m).items())) for m in modules]
    saved += [(m.__pyx_capi__, list(m.__pyx_capi__.items())) for m in modules if hasattr(m, "__pyx_capi__")]
    yield monkeypatch
    monkeypatch.undo()
    for d, items in saved:
        if list(d.items()) != items:
            d.clear()
            d.update(items)


def _patch_capi(module, key, value):
    def apply(monkeypatch):
        if value is None:
            monkeypatch.delitem(module.__pyx_capi__, key)
        else:
            monkeypatch.setitem(module.__pyx_capi__, key, value(module) if callable(value) else value)

    return apply


def _patch_attr(module, name, value):
    def apply(monkeypatch):
        if value is None:
            monkeypatch.delattr(module, name)
        else:
            monkeypatch.setattr(module, name, value)

    return apply


COOKIE_SIZE = Cookie.__basicsize__


@pytest.mark.parametrize("name,patch,message", [
    ("cookies", _patch_capi(kelvarn.cookies, "split_value", kelvarn.cookies.__pyx_capi__["parse_cookie"]),
     'C function kelvarn.cookies.split_value has signature "struct __pyx_obj_7kelvarn_7cookies_Cookie *(PyObject *, '
     'int __pyx_skip_dispatch)", expected "PyObject *(PyObject *, PyObject *)"'),
    ("cookies", _patch_capi(kelvarn.cookies, "same_site_mode_from_bytes", b"not a capsule"),
     "kelvarn.cookies.__pyx_capi__['same_site_mode_from_bytes'] is not a capsule (got bytes)"),
    ("url", _patch_capi(kelvarn.url, "join_prefix", None), "kelvarn.url does not export the C function join_prefix"),
    ("url", _patch_attr(kelvarn.url, "__pyx_capi__", None), "kelvarn.url has no C function table (no __pyx_capi__)"),
    ("cookies", _patch_attr(kelvarn.cookies, "Cookie", Headers),
     f"kelvarn.cookies.Cookie has instances of {Headers.__basicsize__} bytes, but the declaration compiled in has "
     f"{COOKIE_SIZE}: rebuild against the installed kelvarn"),
    ("headers", _patch_attr(kelvarn.headers, "Headers", LargerHeaders),
     f"kelvarn.headers.Headers has instances of {LargerHeaders.__basicsize__} bytes, but the declaration compiled "
     f"in has {Headers.__basicsize__}: rebuild against the installed kelvarn"),
    ("url", _patch_attr(kelvarn.url, "URL", 1), "kelvarn.url.URL is not a type (got int)"),
    ("cookies", _patch_attr(kelvarn.cookies, "Cookie", None), "kelvarn.cookies has no class Cookie"),
    ("headers", _patch_attr(kelvarn.headers, "Headers", SlottedHeaders),
     "kelvarn.headers.Headers has no typed method table (no __pyx_vtable__ in its dictionary)"),
    ("headers", _patch_attr(kelvarn.headers, "Headers", NamedTableHeaders),
     'kelvarn.headers.Headers.__pyx_vtable__ is a capsule named "PyObject *(PyObject *, PyObject *)", '
     "expected an unnamed one"),
])
def test_mismatch_refused_at_import(cpp, patcher, name, patch, message):
    patch(patcher)
    with pytest.raises(ImportError) as info:
        cpp.bind(name)
    assert type(info.value) is ImportError and str(info.value) == message
    patcher.undo()
    # A refused binding leaves the previous one in place; binding again works.
    assert cpp.write_cookie_for_response(Cookie("a", "b")) == b"a=b"
    assert cpp.headers_call("get", 0, Headers([(b"a", b"1")]), b"A") == (b"1",)
    cpp.bind(name)


def _run_cython_import(cython_dir, patch):
    code = textwrap.dedent(f"""
        import sys
        sys.path.insert(0, {str(cython_dir)!r})
        import kelvarn.cookies, kelvarn.headers, kelvarn.url
        {patch}
        try:
            import kv_cyconsumer
        except Exception as exc:
            print(type(exc).__name__ + ": " + str(exc))
        else:
            print("imported")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return proc.stdout.strip()


@pytest.mark.parametrize("patch,output", [
    ("pass", "imported"),
    ("c = kelvarn.cookies.__pyx_capi__; c['split_value'] = c['parse_cookie']",
     "TypeError: C function kelvarn.cookies.split_value has wrong signature (expected PyObject *(PyObject *, "
     "PyObject *), got struct __pyx_obj_7kelvarn_7cookies_Cookie *(PyObject *, int __pyx_skip_dispatch))"),
    ("del kelvarn.url.__pyx_capi__['join_prefix']",
     "ImportError: kelvarn.url does not export expected C function join_prefix"),
    ("kelvarn.cookies.Cookie = kelvarn.headers.Headers",
     f"ValueError: kelvarn.cookies.Cookie size changed, may indicate binary incompatibility. Expected {COOKIE_SIZE} "
     f"from C header, got {Headers.__basicsize__} from PyObject"),
])
def test_cython_consumer_refuses_mismatch_at_import(cython_dir, patch, output):
    assert _run_cython_import(cython_dir, patch) == output


# ---------------------------------------------------------------------------
# Reference counts through the consumers


@pytest.mark.parametrize("call", [
    lambda c: c.write_cookie_for_response(Cookie("id", "a b", path="/", same_site=2)),
    lambda c: c.write_cookie_for_response(Cookie("id", None)),
    lambda c: c.parse_cookie(b"id=1; Path=/; SameSite=Lax", 0),
    lambda c: c.same_site_mode_from_bytes(b"strict"),
    lambda c: c.split_value(b"abc", b"="),
    lambda c: c.cookie_clone(OverridingCookie("a", "b"), 0),
    lambda c: c.headers_call("get", 0, OverridingHeaders(list(VALUES)), b"a"),
    lambda c: c.headers_call("contains", 1, Headers.__new__(Headers), b"a"),
    lambda c: c.url_call("with_host", 0, URL(BASE_URL), b"h.org"),
])
def test_no_leaks(consumer, call):
    assert_no_leaks(call, consumer)


@pytest.mark.parametrize("name", ["headers", "cookies", "url"])
def test_binding_does_not_leak(cpp, patcher, name):
    assert_no_leaks(cpp.bind, name)
    patcher.setattr(kelvarn.headers, "Headers", SlottedHeaders)
    patcher.setattr(kelvarn.cookies, "Cookie", Headers)
    patcher.delitem(kelvarn.url.__pyx_capi__, "join_prefix")
    assert_no_leaks(cpp.bind, name)


def test_namespaces_left_in_order():
    """The patching above leaves no trace for the other test files."""
    assert list(kelvarn.url.__pyx_capi__) == ["build_absolute_url", "join_prefix"]
    assert list(vars(kelvarn.url)).index("__pyx_capi__") < list(vars(kelvarn.url)).index("URL")
