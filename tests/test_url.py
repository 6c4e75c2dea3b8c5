"""kelvarn.url: the URL model, construction through the parser, InvalidURL,
pickling and the URL test corpus."""

import collections
import copy
import gc
import json
import pathlib
import pickle
import subprocess
import sys
import textwrap
import traceback
import types
import weakref

import pytest

import kelvarn.url as url_module
from kelvarn.url import URL, InvalidURL
from support import assert_no_leaks, cut, run_child, run_reinit_on_bytes_warning

FIELDS = ["value", "schema", "host", "port", "path", "query", "fragment", "is_absolute"]
PARSE = "The value cannot be parsed as URL ("
CORPUS = pathlib.Path(__file__).resolve().parent / "data" / "url" / "urltestdata.json"


# ---------------------------------------------------------------------------
# Module and class shape


def test_namespace_in_binding_order():
    names = [n for n in vars(url_module) if n not in ("__name__", "__doc__", "__package__", "__loader__",
                                                       "__spec__", "__file__")]
    assert names == ["__builtins__", "__pyx_capi__", "URL", "InvalidURL", "httptools", "urlparse",
                     "build_absolute_url", "join_prefix", "__pyx_unpickle_InvalidURL", "__pyx_unpickle_URL",
                     "__test__"]
    import httptools
    import urllib.parse
    assert url_module.httptools is httptools and url_module.urlparse is urllib.parse.urlparse
    assert url_module.__test__ == {}
    assert not hasattr(url_module, "valid_schema")


def test_url_class_shape():
    assert repr(URL) == "<class 'kelvarn.url.URL'>" and URL.__module__ == "kelvarn.url"
    assert [k for k in URL.__dict__ if k in FIELDS] == FIELDS
    assert URL.__hash__ is None
    u = URL(b"/a")
    assert not gc.is_tracked(u)
    assert not hasattr(u, "__dict__")
    with pytest.raises(AttributeError):
        u.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(u)
    with pytest.raises(TypeError):
        hash(u)
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(u, op)(u) is NotImplemented
    with pytest.raises(TypeError):
        u < u  # noqa: B015


@pytest.mark.parametrize("field", FIELDS)
def test_properties_are_read_only(field):
    u = URL(b"http://h:1/p?q#f")
    with pytest.raises(AttributeError):
        setattr(u, field, getattr(u, field))


def test_uninitialised_instance():
    u = URL.__new__(URL)
    assert [getattr(u, f) for f in FIELDS] == [None, None, None, 0, None, None, None, False]
    assert repr(u) == "<URL None>"
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'decode'$"):
        str(u)
    assert u == URL.__new__(URL)


def test_released_instances_are_reused_clean():
    # released URLs are kept for reuse (subclass instances are not): a new
    # instance, made or only allocated, shows nothing of an earlier one
    for _ in range(20):
        URL(b"https://example.com:8443/p?q#f")
        Tagged(b"http://h:1/x").tag = 1
    assert [getattr(URL.__new__(URL), f) for f in FIELDS] == [None, None, None, 0, None, None, None, False]
    URL(b"https://example.com:8443/p?q#f")
    for cls in (URL, Tagged):
        assert [getattr(cls(b"/a"), f) for f in FIELDS] == [b"/a", None, None, 0, b"/a", None, None, False]


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize("raw, fields", [
    (b"/a/b?x=1#top", [b"/a/b?x=1#top", None, None, 0, b"/a/b", b"x=1", b"top", False]),
    (b"http://user:pw@h:8080/p?q=1#f", [b"http://user:pw@h:8080/p?q=1#f", b"http", b"h", 8080, b"/p", b"q=1", b"f",
                                       True]),
    (b"https://example.com", [b"https://example.com", b"https", b"example.com", 0, None, None, None, True]),
    (b"./a", [b"/./a", None, None, 0, b"/./a", None, None, False]),
    (b".", [b"/.", None, None, 0, b"/.", None, None, False]),
])
def test_fields_after_construction(raw, fields):
    u = URL(raw)
    assert [getattr(u, f) for f in FIELDS] == fields
    assert type(u.port) is int and type(u.is_absolute) is bool


@pytest.mark.parametrize("value", [None, b""])
def test_empty_input(value):
    with pytest.raises(InvalidURL, match=r"^Input empty or null\.$") as info:
        URL(value)
    assert info.value.__context__ is None


@pytest.mark.parametrize("value, got", [("/a", "str"), (bytearray(b"/a"), "bytearray"),
                                        (type("B", (bytes,), {})(b"/a"), "B"), (1, "int")])
def test_argument_type(value, got):
    with pytest.raises(TypeError, match=rf"^Argument 'value' has incorrect type \(expected bytes, got {got}\)$"):
        URL(value)


@pytest.mark.parametrize("call, message", [
    (lambda: URL(), "__init__() takes exactly 1 positional argument (0 given)"),
    (lambda: URL(b"/a", b"/b"), "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda: URL(nom=b"/a"), "__init__() got an unexpected keyword argument 'nom'"),
    (lambda: URL(b"/a", value=b"/b"), "__init__() got multiple values for keyword argument 'value'"),
])
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert URL(value=b"/k").value == b"/k"


@pytest.mark.parametrize("raw, tail", [
    (b"ftp://h/", "Expected http or https schema; got instead ftp"),
    (b"HTTP://h/", "Expected http or https schema; got instead HTTP"),
    (b"h:80", "invalid url b'h:80'"),
    *[(b"h:" + b"8" * n, f"invalid url {b'h:' + b'8' * n!r}") for n in (182, 183, 184, 197, 198, 199)],  # cut at 200
])
def test_rejected_input_is_wrapped(raw, tail):
    with pytest.raises(InvalidURL) as info:
        URL(raw)
    e = info.value
    assert str(e) == f"{PARSE}{cut(raw.decode())}): {cut(tail)}"
    assert e.args == (str(e),)
    assert e.__context__ is not None and str(e.__context__) == tail
    assert e.__cause__ is None and not e.__suppress_context__
    names = [f.name for f in traceback.extract_tb(e.__traceback__)]
    assert names[-1] == "kelvarn.url.URL.__init__"


def test_undecodable_input_raises_decode_error_with_context():
    with pytest.raises(UnicodeDecodeError) as info:
        URL(b"/\xff")
    assert info.value.__context__ is not None


def test_reinit_reassigns_and_subclass_init():
    u = URL(b"http://h:81/p?q#f")
    u.__init__(b"/x")
    assert [getattr(u, f) for f in FIELDS] == [b"/x", None, None, 0, b"/x", None, None, False]

    class Sub(URL):
        def __init__(self, v):
            super().__init__(v + b"/s")
            self.extra = 1

    s = Sub(b"/a")
    assert s.value == b"/a/s" and s.extra == 1 and type(s) is Sub


# ---------------------------------------------------------------------------
# The parser contract, with a stand-in for httptools


class Parsed:
    def __init__(self, schema=b"http", host=b"h", port=5, path=b"/p", query=b"q", fragment=b"f"):
        self.schema, self.host, self.port = schema, host, port
        self.path, self.query, self.fragment = path, query, fragment


@pytest.fixture
def parser(monkeypatch):
    """Install a fake httptools whose parse_url returns or raises `parser.result`."""
    calls = []

    def parse_url(value):
        calls.append(value)
        if isinstance(parser_ns.result, BaseException):
            raise type(parser_ns.result)(*parser_ns.result.args)  # a fresh one each time
        return parser_ns.result

    parser_ns = types.SimpleNamespace(result=Parsed(), calls=calls)
    monkeypatch.setattr(url_module, "httptools", types.SimpleNamespace(parse_url=parse_url))
    return parser_ns


def test_parser_is_looked_up_at_every_construction(parser):
    parser.result = Parsed(path=b"/fake")
    assert URL(b"/a").path == b"/fake" and URL(b".b").path == b"/fake"
    assert parser.calls == [b"/a", b"/.b"]


@pytest.mark.parametrize("result, tail, assigned", [
    (Parsed(schema="http"), "Expected bytes, got str", []),
    (Parsed(schema=b"ftp"), "Expected http or https schema; got instead ftp", []),
    (Parsed(host=1), "Expected bytes, got int", ["value", "schema"]),
    (Parsed(port="80"), "an integer is required", ["value", "schema", "host"]),
    (Parsed(port=2**40), "Python int too large to convert to C long", ["value", "schema", "host"]),
    (Parsed(path=bytearray(b"/")), "Expected bytes, got bytearray", ["value", "schema", "host", "port"]),
    (Parsed(query=type("B", (bytes,), {})(b"q")), "Expected bytes, got B",
     ["value", "schema", "host", "port", "path"]),
    (Parsed(fragment=[]), "Expected bytes, got list", ["value", "schema", "host", "port", "path", "query"]),
    (ValueError("boom"), "boom", []),
    (types.SimpleNamespace(), "'types.SimpleNamespace' object has no attribute 'schema'", []),
])
def test_parser_failures_are_wrapped_and_keep_earlier_fields(parser, result, tail, assigned):
    parser.result = result
    u = URL.__new__(URL)
    with pytest.raises(InvalidURL) as info:
        u.__init__(b"/a")
    assert str(info.value) == f"{PARSE}/a): {tail}"
    assert info.value.__context__ is not None and info.value.__cause__ is None
    if isinstance(result, BaseException):
        assert type(info.value.__context__) is type(result) and info.value.__context__.args == result.args
    done = [f for f in FIELDS if getattr(u, f) not in (None, 0, False)]
    assert done == assigned


@pytest.mark.parametrize("port, stored", [(None, 0), (0, 0), (False, 0), ("", 0), (True, 1), (8.9, 8), (443, 443)])
def test_port_conversion(parser, port, stored):
    parser.result = Parsed(port=port)
    assert URL(b"/a").port == stored


class Int(int):
    pass


@pytest.mark.parametrize("port", [0, 1, 443, -1, 2**30 - 1, 2**30, 2**31 - 1, -2**31, 2**31, -2**31 - 1, 2**70])
def test_exact_int_port_matches_the_general_conversion(parser, port):
    # an exact int skips the truth test and, when small, the general
    # conversion; an int subclass takes both
    outcomes = []
    for value in (port, Int(port)):
        parser.result = Parsed(port=value)
        outcomes.append(read_url(b"/a"))  # defined below
    assert outcomes[0] == outcomes[1]


def test_schema_is_read_twice(parser):
    reads = []

    class TwoFaced(Parsed):
        @property
        def schema(self):
            reads.append(1)
            return b"http" if len(reads) == 1 else None

        @schema.setter
        def schema(self, v):
            pass

    parser.result = TwoFaced()
    u = URL(b"/a")
    assert len(reads) == 2 and u.schema == b"http" and u.is_absolute is False


class Slotted:
    """A result type whose components are data descriptors, as httptools' is."""

    __slots__ = ("schema", "host", "port", "path", "query", "fragment")

    def __init__(self, path=b"/p"):
        self.schema, self.host, self.port, self.path, self.query, self.fragment = None, None, 0, path, None, None


def test_result_type_changes_are_seen(parser):
    parser.result = Slotted()
    assert URL(b"/a").path == b"/p"
    original = Slotted.__dict__["path"]
    try:
        Slotted.path = property(lambda self: b"/changed")  # a new descriptor: a new type version
        assert URL(b"/a").path == b"/changed"

        class Meddling(Slotted):
            __slots__ = ()

            def __init__(self):
                self.schema, self.port, self.query, self.fragment = None, 0, None, None

            @property
            def host(self):
                # changes the type between two component reads
                type(self).query = property(lambda self: b"late")
                return b"h"

        parser.result = Meddling()
        u = URL(b"/a")
        assert (u.host, u.query) == (b"h", b"late")
    finally:
        Slotted.path = original
    parser.result = Slotted()
    del parser.result.path  # an empty slot raises AttributeError
    with pytest.raises(InvalidURL) as info:
        URL(b"/a")
    assert str(info.value) == PARSE + "/a): 'test_url.Slotted' object has no attribute 'path'"
    assert type(info.value.__context__) is AttributeError


# httptools' own result type: its components are getset descriptors, read
# through their getters directly. Each case is compared with the same
# components read by ordinary attribute lookup (a plain namespace of them).
ParseResult = type(url_module.httptools.parse_url(b"/"))
NAMES = ("schema", "host", "port", "path", "query", "fragment")
SubResult = type("SubResult", (ParseResult,), {})
PropertyResult = type("PropertyResult", (ParseResult,), {"path": property(lambda self: b"/property")})
SwappedResult = type("SwappedResult", (ParseResult,), {"host": ParseResult.__dict__["query"]})
# httptools' descriptors on a class they do not belong to: every read raises
Unrelated = type("Unrelated", (), {n: ParseResult.__dict__[n] for n in NAMES})


def copied(raw):
    return SubResult(*(getattr(url_module.httptools.parse_url(raw), n) for n in NAMES), None)


def shadowed(raw):
    result = copied(raw)
    result.__dict__.update(path=b"/instance", host=b"instance")  # data descriptors win over these
    return result


RESULTS = {
    "httptools": url_module.httptools.parse_url,
    "subclass": copied,
    "property in subclass": lambda raw: PropertyResult(b"https", b"h", 8, b"/p", None, b"f", None),
    "swapped descriptor": lambda raw: SwappedResult(None, None, None, b"/p", b"q", None, None),
    "instance dict": shadowed,
    "unrelated class": lambda raw: Unrelated(),
    "own type, port too large": lambda raw: ParseResult(b"http", b"h", 2**40, b"/p", None, None, None),
    "own type, port not an int": lambda raw: ParseResult(None, None, "80", b"/p", b"", b"", b"u"),
}


def read_url(raw):
    try:
        u = URL(raw)
    except InvalidURL as e:
        return str(e)
    return tuple(getattr(u, f) for f in FIELDS)


@pytest.mark.parametrize("raw", [b"/a?b#c", b"https://example.com:8443/p?q=1#f", b"http://h"])
@pytest.mark.parametrize("kind", list(RESULTS))
def test_getter_reads_match_attribute_lookup(parser, kind, raw):
    result = RESULTS[kind](raw)
    parser.result = result
    fast = read_url(raw)
    try:
        parser.result = types.SimpleNamespace(**{n: getattr(result, n) for n in NAMES})
    except TypeError as e:
        assert fast == f"{PARSE}{raw.decode()}): {e}"
    else:
        assert fast == read_url(raw)
    parser.result = result
    assert_no_leaks(URL, raw, repeat=50)


def test_getter_reads_follow_class_changes(parser):
    Result = type("Result", (ParseResult,), {})
    parser.result = Result(b"http", b"h", 8, b"/p", b"q", None, None)
    assert URL(b"/a").path == b"/p"
    Result.path = ParseResult.__dict__["query"]
    assert URL(b"/a").path == b"q"
    Result.path = property(lambda self: b"/property")
    assert URL(b"/a").path == b"/property"
    del Result.path
    assert URL(b"/a").path == b"/p"

    def host(self):  # changes the class between two component reads
        type(self).query = property(lambda self: b"late")
        return b"h"

    Result.host = property(host)
    u = URL(b"/a")  # query starts as httptools' descriptor
    assert (u.host, u.query) == (b"h", b"late")


def test_non_exception_errors_pass_through(parser):
    parser.result = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        URL(b"/a")


def test_missing_or_broken_parser_module(monkeypatch):
    monkeypatch.delattr(url_module, "httptools")
    with pytest.raises(InvalidURL, match=r"^The value cannot be parsed as URL \(/a\): name 'httptools' is not defined$"):
        URL(b"/a")
    monkeypatch.setattr(url_module, "httptools", None, raising=False)
    with pytest.raises(InvalidURL, match="'NoneType' object has no attribute 'parse_url'"):
        URL(b"/a")


def test_parser_rebinding_is_seen_at_the_next_call(monkeypatch):
    # The parser found is kept between calls; every way of changing what
    # `httptools.parse_url` names is seen by the next construction.
    import httptools
    real = httptools.parse_url
    seen = []

    def spy(tag):
        return lambda raw: seen.append(tag) or real(raw)

    Sub = type("Sub", (types.ModuleType,), {"parse_url": property(lambda self: spy("class"))})
    other = types.ModuleType("other")
    steps = [
        ("attribute", lambda: monkeypatch.setattr(httptools, "parse_url", spy("attribute"))),
        ("namespace", lambda: monkeypatch.setattr(url_module, "httptools", types.SimpleNamespace(parse_url=spy("namespace")))),
        ("module", lambda: (setattr(other, "parse_url", spy("module")), monkeypatch.setattr(url_module, "httptools", other))),
        ("module attribute", lambda: setattr(other, "parse_url", spy("module attribute"))),
        ("class", lambda: setattr(other, "__class__", Sub)),
        ("back", lambda: setattr(other, "__class__", types.ModuleType)),
    ]
    URL(b"/a")
    for tag, step in steps:
        step()
        assert URL(b"/a").path == b"/a"
        assert seen[-1] == ("module attribute" if tag == "back" else tag)
    del seen[:]
    monkeypatch.undo()
    assert URL(b"/a").path == b"/a" and seen == []
    monkeypatch.setattr(httptools, "parse_url", real)  # restored however the leak check ends

    def flip():
        for parse_url in (spy("flip"), real):
            httptools.parse_url = parse_url
            URL(b"/a")

    assert_no_leaks(flip)


def test_parser_rebinding_without_a_free_dict_watcher():
    run_child("""
        import _testcapi, httptools
        taken = []
        while len(taken) < 8:
            try: taken.append(_testcapi.add_dict_watcher(0))
            except RuntimeError: break
        from kelvarn.url import URL
        assert URL(b'/a').path == b'/a'
        httptools.parse_url = lambda raw: 1 / 0
        try: URL(b'/a')
        except Exception as e: assert 'division by zero' in str(e), e
        else: raise SystemExit('the rebinding was not seen')
        for i in taken: _testcapi.clear_dict_watcher(i)
        print("ok")
    """)


def test_unprintable_parser_error_propagates(parser):
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no text")

    parser.result = Unprintable()
    with pytest.raises(RuntimeError, match="no text") as info:
        URL(b"/a")
    assert isinstance(info.value.__context__, Unprintable)


def test_reuses_httptools_from_sys_modules():
    code = (
        "import sys, types\n"
        "fake = types.ModuleType('httptools')\n"
        "fake.__spec__ = types.SimpleNamespace(_initializing=False)\n"
        "sys.modules['httptools'] = fake\n"
        "import kelvarn.url\n"
        "assert kelvarn.url.httptools is fake\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_a_blocked_httptools_import_fails_the_module_import():
    code = (
        "import sys\n"
        "sys.modules['httptools'] = None\n"
        "try:\n"
        "    import kelvarn.url\n"
        "except ImportError as e:\n"
        "    assert 'httptools' in str(e), e\n"
        "else:\n"
        "    raise SystemExit('imported over a blocked httptools')\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


# ---------------------------------------------------------------------------
# Text forms and equality


def test_repr_and_str():
    assert repr(URL(b"/a")) == "<URL b'/a'>" and str(URL(b"/a")) == "/a"
    made = url_module.__pyx_unpickle_URL(URL, CHECKSUMS[0], (None, None, False, None, 0, None, None, "/é".encode()))
    assert str(made) == "/é" and repr(made) == "<URL b'/\\xc3\\xa9'>"


def test_equality():
    a, b = URL(b"/a"), URL(b"/a")
    assert a == b and not (a != b) and a != URL(b"/b")
    assert a != b"/a" and a != "/a" and not (a == b"/a")
    assert a.__eq__(b"/a") is NotImplemented and a.__ne__(b"/a") is NotImplemented

    class Plain(URL):
        pass

    class Other(URL):
        @property
        def value(self):
            return b"/a"

    # the other operand's `value` is read by attribute lookup
    assert Plain(b"/a") == Other(b"/zzz") and not (Plain(b"/a") != Other(b"/zzz"))
    # a subclass on the right is asked first and compares its own field
    assert not (a == Other(b"/zzz"))


# ---------------------------------------------------------------------------
# InvalidURL


def test_invalid_url_class():
    assert InvalidURL.__bases__ == (Exception,) and repr(InvalidURL) == "<class 'kelvarn.url.InvalidURL'>"
    e = InvalidURL("x")
    assert e.args == ("x",) and str(e) == "x" and not hasattr(e, "message")
    assert InvalidURL(None).args == (None,) and InvalidURL(message="k").args == ("k",)
    e.note = 1
    assert e.__dict__ == {"note": 1}
    assert "__pyx_vtable__" not in InvalidURL.__dict__
    with pytest.raises(TypeError, match=r"^Argument 'message' has incorrect type \(expected str, got int\)$"):
        InvalidURL(1)
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 1 positional argument \(0 given\)$"):
        InvalidURL()

    class Sub(InvalidURL):
        pass

    assert isinstance(Sub("m"), InvalidURL) and Sub("m").args == ("m",)


# ---------------------------------------------------------------------------
# Pickling

CHECKSUMS = (0x9303E4B, 0x06ACBD0, 0x34A39A6)


def test_reduce_forms():
    u = URL(b"http://h:81/p?q#f")
    assert u.__reduce__() == (url_module.__pyx_unpickle_URL, (URL, CHECKSUMS[0], None),
                              (b"f", b"h", True, b"/p", 81, b"q", b"http", b"http://h:81/p?q#f"))
    empty = URL.__new__(URL)
    assert empty.__reduce__() == (url_module.__pyx_unpickle_URL,
                                  (URL, CHECKSUMS[0], (None, None, False, None, 0, None, None, None)))


class Tagged(URL):
    pass


@pytest.mark.parametrize("make", [lambda: URL(b"http://h:81/p?q#f"), lambda: URL.__new__(URL)])
def test_round_trips(make):
    u = make()
    for copied in (pickle.loads(pickle.dumps(u)), copy.copy(u), copy.deepcopy(u)):
        assert type(copied) is URL and [getattr(copied, f) for f in FIELDS] == [getattr(u, f) for f in FIELDS]


def test_subclass_with_attribute_round_trips():
    t = Tagged(b"/a")
    t.tag = "x"
    reduced = t.__reduce__()
    assert len(reduced) == 3 and len(reduced[2]) == 9 and reduced[2][8] == {"tag": "x"}
    back = pickle.loads(pickle.dumps(t))
    assert type(back) is Tagged and back.tag == "x" and back.value == b"/a"


@pytest.mark.parametrize("checksum", CHECKSUMS)
def test_reconstructor_accepts_checksums(checksum):
    u = url_module.__pyx_unpickle_URL(URL, checksum, (None, b"h", 1, b"/p", 2.7, None, b"ftp", b"v"))
    assert [getattr(u, f) for f in FIELDS] == [b"v", b"ftp", b"h", 2, b"/p", None, None, True]


def test_reconstructor_rejects_checksum():
    with pytest.raises(pickle.PickleError) as info:
        url_module.__pyx_unpickle_URL(URL, 1, None)
    assert str(info.value) == ("Incompatible checksums (0x1 vs (0x9303e4b, 0x06acbd0, 0x34a39a6) = "
                               "(fragment, host, is_absolute, path, port, query, schema, value))")
    with pytest.raises(pickle.PickleError, match=r"^Incompatible checksums \(0x2 vs \(0xe3b0c44, 0xda39a3e, "
                                                 r"0xd41d8cd\) = \(\)\)$"):
        url_module.__pyx_unpickle_InvalidURL(InvalidURL, 2, None)


@pytest.mark.parametrize("state, error, message", [
    ((b"f", "h"), TypeError, "Expected bytes, got str"),
    ((None, None, None, None, "x"), TypeError, "an integer is required"),
    ((None, None, None, None, 2**40), OverflowError, None),
    (None, TypeError, "'NoneType' object is not subscriptable"),
    ([None] * 8, TypeError, "Expected tuple, got list"),
    ((None,), IndexError, None),
])
def test_setstate_checks(state, error, message):
    u = URL(b"/a")
    with pytest.raises(error) as info:
        u.__setstate__(state)
    if message:
        assert str(info.value) == message
    assert u.value == b"/a"  # fields after the failing one are untouched


def test_invalid_url_pickling():
    e = pickle.loads(pickle.dumps(InvalidURL("m")))
    assert type(e) is InvalidURL and e.args == ("m",)
    made = url_module.__pyx_unpickle_InvalidURL(InvalidURL, 0xDA39A3E, None)
    assert type(made) is InvalidURL and made.args == ()


# ---------------------------------------------------------------------------
# Corpus: every input, as UTF-8 bytes, gives a URL or a clean exception.


def corpus_inputs():
    entries = [e for e in json.loads(CORPUS.read_text(encoding="utf-8")) if isinstance(e, dict)]
    # surrogatepass keeps any lone surrogate as (invalid) UTF-8 bytes; none is skipped
    return sorted({e["input"].encode("utf-8", "surrogatepass") for e in entries})


def exercise(raw):
    try:
        u = URL(raw)
    except (InvalidURL, UnicodeDecodeError):
        return "rejected"
    assert u.value == (b"/" + raw if raw.startswith(b".") else raw)
    relative = URL(b"/r?x#y")
    for op in (lambda: u.join(relative), lambda: u + b"/z", u.base_url, lambda: u.with_host(b"k"),
               lambda: u.with_query(b"n=1"), lambda: u.with_scheme(b"https")):
        try:
            assert type(op()) is URL
        except (ValueError, TypeError, InvalidURL, UnicodeDecodeError):
            pass
    return "accepted"


def test_corpus_inputs():
    outcomes = [exercise(raw) for raw in corpus_inputs()]
    assert outcomes.count("accepted") > 100 and outcomes.count("rejected") > 100


def test_corpus_does_not_leak():
    inputs = corpus_inputs()
    assert_no_leaks(lambda: [exercise(raw) for raw in inputs], repeat=20, warmup=2)


# ---------------------------------------------------------------------------
# Reference leaks of construction, text forms, equality and pickling


class Bad(Exception):
    pass


def _leak_cases():
    u = URL(b"http://h:81/p?q#f")
    sub = Tagged(b"/a")
    sub.tag = 1
    return {
        "construct": lambda: URL(b"http://h:81/p?q#f"),
        "construct-dot": lambda: URL(b"./a"),
        "construct-empty": lambda: URL(b""),
        "construct-wrong-type": lambda: URL("x"),
        "construct-bad-schema": lambda: URL(b"ftp://h/"),
        "construct-unparsable": lambda: URL(b"h:80"),
        "construct-unparsable-long": lambda: URL(b"h:" + b"8" * 300),
        "construct-undecodable": lambda: URL(b"/\xff"),
        "construct-keywords": lambda: URL(nom=b"x"),
        "reinit": lambda: u.__init__(b"http://h:81/p?q#f"),
        "repr": lambda: repr(u),
        "str": lambda: str(u),
        "str-uninitialised": lambda: str(URL.__new__(URL)),
        "eq": lambda: (u == u, u != u, u == 1, u == sub),
        "invalid-url": lambda: InvalidURL("m"),
        "invalid-url-bad": lambda: InvalidURL(1),
        "pickle": lambda: pickle.loads(pickle.dumps(u)),
        "pickle-subclass": lambda: pickle.loads(pickle.dumps(sub)),
        "setstate-bad": lambda: URL.__new__(URL).__setstate__((b"f", "h")),
        "unpickle-bad-checksum": lambda: url_module.__pyx_unpickle_URL(URL, 1, None),
        "pickle-invalid-url": lambda: pickle.loads(pickle.dumps(InvalidURL("m"))),
    }


@pytest.mark.parametrize("name", list(_leak_cases()))
def test_no_leaks(name):
    # pickle fills caches of its own over the first few hundred calls
    assert_no_leaks(_leak_cases()[name], warmup=1000)


@pytest.mark.parametrize("result", [Parsed(host=1), Parsed(port="x"), Bad("x"), Parsed(port=7)])
def test_no_leaks_with_fake_parser(parser, result):
    parser.result = result
    assert_no_leaks(URL, b"/a")


# ---------------------------------------------------------------------------
# Equality and text forms while Python code re-initialises the URL (for the
# text forms: with -b, str() of bytes warns and a warning hook runs)


def test_url_eq_holds_own_value_while_other_value_compares():
    run_child(
        """
        from kelvarn.url import URL

        u = URL(("http://example.com/" + "p" * 40).encode())

        class Value(bytes):
            __hash__ = bytes.__hash__

            def __eq__(self, other):
                u.__init__(b"http://other.example/")  # releases u's previous value
                return NotImplemented

        class Sub(URL):
            @property
            def value(self):
                return Value(b"http://example.com/")

        assert URL.__eq__(u, Sub(b"http://a.example/")) is False
        assert u.value == b"http://other.example/"
        print("ok")
        """
    )


def test_repr_holds_the_value_across_a_bytes_warning():
    run_reinit_on_bytes_warning(
        "from kelvarn.url import URL; obj = URL(fresh('http://example.com/')); new = (b'http://replaced.example/',)",
        "repr(obj)",
        "result == \"<URL b'http://example.com/\" + 'x' * 40 + \"'>\"",
    )


# ---------------------------------------------------------------------------
# Construction through parse results read via descriptors that change between
# calls, and the message built while the parser's error is handled


@pytest.fixture
def parse_result(monkeypatch):
    """Install a fake httptools whose parse_url returns `parse_result.value`."""
    ns = types.SimpleNamespace(value=None)
    monkeypatch.setattr(url_module, "httptools", types.SimpleNamespace(parse_url=lambda raw: ns.value))
    return ns


def descriptor_result_class():
    """A parse-result class whose components are instances of a Python
    descriptor class with both __get__ and __set__ (data descriptors)."""

    class Component:
        def __init__(self, value):
            self.value = value

        def __get__(self, obj, owner=None):
            return self.value

        def __set__(self, obj, value):
            raise AttributeError("read-only")

    class Result:
        schema, host, port = Component(None), Component(None), Component(0)
        path, query, fragment = Component(b"/descr"), Component(None), Component(None)

    return Component, Result


# ---------------------------------------------------------------------------
# Components read through descriptors whose type changes between calls


def test_descriptor_losing_its_setter_lets_the_instance_win(parse_result):
    Component, Result = descriptor_result_class()
    parse_result.value = Result()
    assert URL(b"/a").path == b"/descr"  # the descriptors are now known for Result
    del Component.__set__  # no longer a data descriptor; Result itself is unchanged
    result = Result()
    result.__dict__["path"] = b"/instance"
    parse_result.value = result
    assert result.path == b"/instance"
    assert URL(b"/a").path == b"/instance"


def test_descriptor_losing_its_getter_does_not_crash():
    # Run apart: before the fix the getter slot was called through a null
    # pointer and the interpreter died.
    code = textwrap.dedent("""
        import types
        import kelvarn.url as m
        from kelvarn.url import URL

        class Component:
            def __init__(self, value):
                self.value = value
            def __get__(self, obj, owner=None):
                return self.value
            def __set__(self, obj, value):
                pass

        class Result:
            schema, host, port = Component(None), Component(None), Component(0)
            path, query, fragment = Component(b"/p"), Component(None), Component(None)

        m.httptools = types.SimpleNamespace(parse_url=lambda raw: Result())
        assert URL(b"/a").path == b"/p"
        del Component.__get__
        try:
            URL(b"/a")
        except m.InvalidURL as e:
            # the descriptor object itself is what the lookup returns now
            assert str(e).endswith("Expected bytes, got Component"), str(e)
        else:
            raise AssertionError("no error")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_releasing_cached_descriptors_may_construct_urls(parse_result):
    # Releasing the cached descriptors of one result class runs a finaliser
    # that constructs URLs of another result class in the middle of the swap.
    _, First = descriptor_result_class()
    _, Second = descriptor_result_class()
    _, Third = descriptor_result_class()
    seen = []

    class Finalised:
        def __del__(self):
            parse_result.value = Third()
            seen.append(URL(b"/inner").path)
            parse_result.value = Second()

    First.__dict__["path"].keep = Finalised()
    parse_result.value = First()
    assert URL(b"/a").path == b"/descr"
    old_path = First.__dict__["path"]
    First.path = type(old_path)(b"/other")  # a new version of First...
    del old_path  # ...and only the cache still holds the Finalised object
    parse_result.value = Second()
    for _ in range(3):
        assert URL(b"/a").path == b"/descr"
    assert seen == [b"/descr"]
    parse_result.value = First()
    assert URL(b"/a").path == b"/other"


def test_descriptor_results_do_not_leak(parse_result):
    _, Result = descriptor_result_class()
    parse_result.value = Result()
    assert_no_leaks(URL, b"/a")


# ---------------------------------------------------------------------------
# The handler of construction builds its message while the caught exception
# is the one being handled


class ChainingError(Exception):
    """Its text is produced while handling the parser's error; __str__ fails
    after handling an error of its own, or records what is being handled."""

    seen = []

    def __str__(self):
        ChainingError.seen.append(sys.exception())
        if self.args[0] == "fail":
            try:
                raise KeyError("inner")
            except KeyError:
                raise RuntimeError("outer")
        return "text"


@pytest.fixture
def raising_parser(monkeypatch):
    def parse_url(raw):
        raise ChainingError(raising_parser.argument)

    raising_parser.argument = "text"
    monkeypatch.setattr(url_module, "httptools", types.SimpleNamespace(parse_url=parse_url))
    ChainingError.seen.clear()
    return raising_parser


def test_error_text_is_produced_while_the_parser_error_is_handled(raising_parser):
    with pytest.raises(url_module.InvalidURL) as info:
        URL(b"/a")
    caught = info.value.__context__
    assert type(caught) is ChainingError and ChainingError.seen == [caught]
    assert str(info.value) == "The value cannot be parsed as URL (/a): text"
    assert info.value.__cause__ is None and not info.value.__suppress_context__


def test_error_in_error_text_keeps_its_own_chain(raising_parser):
    raising_parser.argument = "fail"
    with pytest.raises(RuntimeError, match="^outer$") as info:
        URL(b"/a")
    inner = info.value.__context__
    assert type(inner) is KeyError and type(inner.__context__) is ChainingError


@pytest.mark.parametrize("raw, error", [(b"/a", url_module.InvalidURL), (b"/\xff", UnicodeDecodeError)])
def test_handled_exception_of_the_caller_is_restored(raising_parser, raw, error):
    try:
        raise LookupError("handled by the caller")
    except LookupError:
        outer = sys.exception()
        with pytest.raises(error) as info:
            URL(raw)
        assert sys.exception() is outer
    caught = info.value.__context__
    assert type(caught) is ChainingError and caught.__context__ is outer


@pytest.mark.parametrize("argument", ["text", "fail"])
def test_handler_does_not_leak(raising_parser, monkeypatch, argument):
    raising_parser.argument = argument
    monkeypatch.setattr(ChainingError, "seen", collections.deque(maxlen=1))
    assert_no_leaks(URL, b"/a")
    assert_no_leaks(URL, b"/\xff")
