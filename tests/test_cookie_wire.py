"""Cookies on the wire: Set-Cookie parsing and writing, the C-only helpers, the corpus and the native quoting."""

import ctypes
import datetime as dt
import gc
import pathlib
import random
import re
import sys
import textwrap
import traceback
import urllib.parse
import warnings

import pytest

import kelvarn.cookies as kc
from kelvarn.cookies import Cookie, CookieSameSiteMode as Mode, CookieValueExceedsMaximumLength, parse_cookie
from support import assert_no_leaks, capi_function, cut, run_child
from test_cookie_interop import PATH_KEPT

CORPUS = pathlib.Path(__file__).resolve().parent / "data" / "set-cookie" / "values.txt"
VALUES = CORPUS.read_bytes().split(b"\n")
OBJ = ctypes.py_object
write = capi_function(kc, "write_cookie_for_response", OBJ, OBJ)
split_value = capi_function(kc, "split_value", OBJ, OBJ, OBJ)
same_site_mode = capi_function(kc, "same_site_mode_from_bytes", ctypes.c_int, OBJ)
parse_c = capi_function(kc, "parse_cookie", OBJ, OBJ, ctypes.c_int)


def fields(c):
    return (c.name, c.value, c.expires, c.domain, c.path, c.http_only, c.secure, c.max_age, c.same_site)


def outcome(fn, *args):
    try:
        r = fn(*args)
    except Exception as e:  # noqa: BLE001 - compared by type and text
        return ("raised", type(e), str(e))
    return fields(r) if isinstance(r, Cookie) else r


def reference_parse(raw):
    """The parsing rules written out in plain Python over the module's own pieces."""
    parts = raw.split(b"; ")
    if len(parts) == 1:
        parts = raw.split(b";")
    first = parts[0]
    if b"=" not in first:
        raise ValueError(f"Invalid name=value fragment: {cut(str(first))}")
    name, value = first.split(b"=", 1)
    if b" " in value and value.startswith(b'"'):
        value = value.strip(b'"')
    expires = domain = path = same_site = None
    http_only = secure = False
    max_age = -1
    for part in parts:
        if b"=" in part:
            key, text = part.split(b"=", 1)
            key = key.lower()
            if key == b"expires":
                expires = text
            elif key == b"domain":
                domain = text
            elif key == b"path":
                path = text
            elif key == b"max-age":
                max_age = int(text)
                if not -(2**63) <= max_age < 2**63:
                    raise OverflowError("out of range")
            elif key == b"samesite":
                same_site = text
        elif part.lower() == b"httponly":
            http_only = True
        elif part.lower() == b"secure":
            secure = True
    mode = {b"strict": 2, b"lax": 1, b"none": 3}.get((same_site or b"").lower(), 0)
    return Cookie(
        urllib.parse.unquote(name.decode()), urllib.parse.unquote(value.decode()),
        kc.datetime_from_cookie_format(expires) if expires else None,
        domain.decode() if domain else None, path.decode() if path else None,
        http_only, secure, max_age, Mode(mode),
    )


# --------------------------------------------------------------------------
# Parsing


@pytest.mark.parametrize("raw, expected", [
    (b"id=42; Path=/; HttpOnly", ("id", "42", None, None, "/", True, False, -1, Mode.UNDEFINED)),
    (b"id=42;Path=/;Secure", ("id", "42", None, None, "/", False, True, -1, 0)),
    (b"id=42; Path=/;Secure", ("id", "42", None, None, "/;Secure", False, False, -1, 0)),
    (b"a=b;  Path=/", ("a", "b", None, None, None, False, False, -1, 0)),
    (b"id=a%20b", ("id", "a b", None, None, None, False, False, -1, 0)),
    (b"id=a+b; Domain=a%20b", ("id", "a+b", None, "a%20b", None, False, False, -1, 0)),
    (b'a="x y"', ("a", "x y", None, None, None, False, False, -1, 0)),
    (b'a="xy"', ("a", '"xy"', None, None, None, False, False, -1, 0)),
    (b'a=""x y""', ("a", "x y", None, None, None, False, False, -1, 0)),
    (b"a=b; Max-Age=0", ("a", "b", None, None, None, False, False, 0, 0)),
    (b"a=b; max-age= -1_0 ", ("a", "b", None, None, None, False, False, -10, 0)),
    (b"a=b; Expires=; Domain=", ("a", "b", None, None, None, False, False, -1, 0)),
    (b"a=b; SameSite=STRICT", ("a", "b", None, None, None, False, False, -1, Mode.STRICT)),
    (b"a=b; SameSite=lax; SameSite=None", ("a", "b", None, None, None, False, False, -1, Mode.NONE)),
    (b"a=b; SameSite=Strict ", ("a", "b", None, None, None, False, False, -1, 0)),
    (b"a=b; secure=1", ("a", "b", None, None, None, False, False, -1, 0)),
    (b"a=b; SECURE; httpONLY", ("a", "b", None, None, None, True, True, -1, 0)),
    (b"a=b; Path=/x; Path=/y", ("a", "b", None, None, "/y", False, False, -1, 0)),
    (b"max-age=5", ("max-age", "5", None, None, None, False, False, 5, 0)),
    (b"Path=/p", ("Path", "/p", None, None, "/p", False, False, -1, 0)),
    (b"a=b=c", ("a", "b=c", None, None, None, False, False, -1, 0)),
    (b"a=", ("a", "", None, None, None, False, False, -1, 0)),
    (b"a=b; Expires=Wed, 21 Oct 2015 07:28:00 GMT",
     ("a", "b", dt.datetime(2015, 10, 21, 7, 28), None, None, False, False, -1, 0)),
    ("n\u00e9=\u6625%E8%8A%82; Path=/\u00e9".encode(), ("n\u00e9", "\u6625\u8282", None, None, "/\u00e9", False, False, -1, 0)),
])
def test_parse(raw, expected):
    c = parse_cookie(raw)
    assert type(c) is Cookie and fields(c) == expected
    assert fields(parse_cookie(raw_value=raw)) == fields(parse_c(raw, 0)) == expected
    assert_no_leaks(parse_cookie, raw)


@pytest.mark.parametrize("raw, exc, message", [
    (b"", ValueError, "Invalid name=value fragment: b''"),
    (b"novalue", ValueError, "Invalid name=value fragment: b'novalue'"),
    (b"no'val\"ue; a=b", ValueError, "Invalid name=value fragment: b'no\\'val\"ue'"),
    *[(b"x" * n, ValueError, "Invalid name=value fragment: " + cut(repr(b"x" * n))) for n in (196, 197, 198)],
    (b"=v", ValueError, "A cookie name is required"),
    (b"a=b; Max-Age=", ValueError, "invalid literal for int() with base 10: b''"),
    (b"a=b; Max-Age=x", ValueError, "invalid literal for int() with base 10: b'x'"),
    (b"max-age=x", ValueError, "invalid literal for int() with base 10: b'x'"),
    (b"a=b; Max-Age=99999999999999999999", OverflowError, None),
    (b"a=b; Expires=nonsense", ValueError, None),
    (b"\xff=b", UnicodeDecodeError, None),
    (b"a=\xc3", UnicodeDecodeError, None),
    (b"a=b; Path=\xff", UnicodeDecodeError, None),
    (b"a=b; Expires=\xff", UnicodeDecodeError, None),
    (b"a=" + b"x" * 4097, CookieValueExceedsMaximumLength, None),
    (None, AttributeError, "'NoneType' object has no attribute 'split'"),
    ("a=b", TypeError, "Argument 'raw_value' has incorrect type (expected bytes, got str)"),
    (bytearray(b"a=b"), TypeError, "Argument 'raw_value' has incorrect type (expected bytes, got bytearray)"),
])
def test_parse_errors(raw, exc, message):
    with pytest.raises(exc) as info:
        parse_cookie(raw)
    if message is not None:
        assert str(info.value) == message
    assert "kelvarn.cookies.parse_cookie" in "".join(traceback.format_tb(info.tb)) or isinstance(info.value, TypeError)
    assert_no_leaks(parse_cookie, raw)


def test_parse_error_context_and_entry_points():
    with pytest.raises(ValueError) as info:
        parse_cookie(b"abc")
    ctx = info.value.__context__
    assert type(ctx) is ValueError and str(ctx) == "subsection not found"
    with pytest.raises(ValueError, match="^A cookie name is required$"):
        parse_c(b"=x", 1)
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'split'$"):
        parse_c(None, 0)
    raises_count = "parse_cookie() takes exactly 1 positional argument (0 given)"
    with pytest.raises(TypeError, match=raises_count.replace("(", r"\(").replace(")", r"\)")):
        parse_cookie()


def test_parse_uses_the_bound_unquote(monkeypatch):
    seen = []
    monkeypatch.setattr(kc, "unquote", lambda s: seen.append(s) or s.upper())
    assert fields(parse_cookie(b"a%41=b%20"))[:2] == ("A%41", "B%20") and seen == ["a%41", "b%20"]
    monkeypatch.delattr(kc, "unquote")
    with pytest.raises(NameError, match="^name 'unquote' is not defined$"):
        parse_cookie(b"a=b")


@pytest.mark.parametrize("raw", VALUES, ids=range(len(VALUES)))
def test_corpus(raw):
    got = outcome(parse_cookie, raw)
    assert got == outcome(reference_parse, raw)
    if got[0] != "raised":
        assert type(parse_cookie(raw)) is Cookie


def test_corpus_reads_a_bare_carriage_return():
    assert any(b"\r" in v for v in VALUES)


# --------------------------------------------------------------------------
# The C-only helpers


@pytest.mark.parametrize("value, sep, expected", [
    (b"a=b", b"=", (b"a", b"b")),
    (b"a=b=c", b"=", (b"a", b"b=c")),
    (b"=", b"=", (b"", b"")),
    (b"ab; cd", b"; ", (b"ab", b" cd")),
    (b"abc", b"", (b"", b"bc")),
    (b"a=b", ord("="), (b"a", b"b")),
])
def test_split_value(value, sep, expected):
    assert split_value(value, sep) == expected
    assert_no_leaks(split_value, value, sep)


@pytest.mark.parametrize("value, sep, exc, message", [
    (b"ab", b"=", ValueError, "subsection not found"),
    (None, b"=", AttributeError, "'NoneType' object has no attribute 'index'"),
    ("a=b", b"=", TypeError, "Expected bytes, got str"),
    (b"a=b", None, TypeError, None),
])
def test_split_value_errors(value, sep, exc, message):
    with pytest.raises(exc) as info:
        split_value(value, sep)
    if message:
        assert str(info.value) == message
    assert "kelvarn.cookies.split_value" in "".join(traceback.format_tb(info.tb))
    assert_no_leaks(split_value, value, sep)


def test_split_value_search_matches_the_general_path():
    # An exact bytes separator is searched natively (first byte, or the two-way
    # search beyond 8 bytes); a bytes subclass goes through value.index.
    class Sep(bytes):
        pass
    rng = random.Random(15)
    for _ in range(4000):
        alphabet = rng.choice([b"a", b"ab", b"abc", bytes(range(256))])
        unit = bytes(rng.choices(alphabet, k=rng.randint(1, 6)))
        sep = (unit * 40)[:rng.randint(1, 40)] if rng.random() < 0.5 else bytes(rng.choices(alphabet, k=rng.randint(1, 40)))
        noise = lambda: bytes(rng.choices(alphabet, k=rng.randint(0, 60)))  # noqa: E731
        value = rng.choice([noise(), noise() + sep + noise(), noise() + sep[:-1] + noise() + sep, unit * 30])
        assert outcome(split_value, value, sep) == outcome(split_value, value, Sep(sep)), (value, sep)


@pytest.mark.parametrize("value, mode", [
    (None, 0), (b"", 0), (b"strict", 2), (b"STRICT", 2), (b"LaX", 1), (b"none", 3), (b"None ", 0), (b" lax", 0),
    (b"stric", 0), (b"strict\x00", 0), (b"\xc5trict", 0),
])
def test_same_site_mode_from_bytes(value, mode):
    assert same_site_mode(value) == mode
    assert_no_leaks(same_site_mode, value)


def test_same_site_mode_from_bytes_failure_returns_undefined_with_error():
    with pytest.raises(TypeError, match="^Expected bytes, got str$"):
        same_site_mode("strict")
    assert_no_leaks(same_site_mode, "strict")


# --------------------------------------------------------------------------
# Writing


@pytest.mark.parametrize("cookie, expected", [
    (Cookie("id", "42"), b"id=42"),
    (Cookie("a b", "x;y"), b"a%20b=x%3By"),
    (Cookie("a", "a/b~_.-Z9"), b"a=a/b~_.-Z9"),
    (Cookie("n", ""), b"n="),
    (Cookie("\u00e9", "\u20ac="), b"%C3%A9=%E2%82%AC%3D"),
    (Cookie("a", "b", max_age=0), b"a=b; Max-Age=0"),
    (Cookie("a", "b", max_age=-1), b"a=b"),
    (Cookie("a", "b", max_age=-5), b"a=b"),
    (Cookie("a", "b", max_age=2**63 - 1), b"a=b; Max-Age=9223372036854775807"),
    (Cookie("a", "b", same_site=Mode.NONE), b"a=b; Secure; SameSite=None"),
    (Cookie("a", "b", same_site=Mode.STRICT), b"a=b; Secure; SameSite=Strict"),
    (Cookie("a", "b", same_site=Mode.LAX), b"a=b; SameSite=Lax"),
    (Cookie("a", "b", secure=True, same_site=Mode.STRICT), b"a=b; Secure; SameSite=Strict"),
    (Cookie("a", "b", same_site=7), b"a=b"),
    (Cookie("id", "a b", path="/", http_only=True, same_site=Mode.STRICT),
     b"id=a%20b; Path=/; HttpOnly; Secure; SameSite=Strict"),
    (Cookie("a", "b", domain="", path=""), b"a=b"),
    (Cookie("a", "b", path="/x,y z"), b"a=b; Path=/x,y%20z"),
    (Cookie("a", "b", domain="\u00e9.example"), "a=b; Domain=\u00e9.example".encode()),
    # Spaces, non-ASCII, commas, quotes and "=" are no separators; the path is escaped as browsers send it.
    (Cookie("a", "b", domain="d \u00e9\x80\u2028,\"=", path="/ \u00e9\x80\u2028,\"="),
     "a=b; Domain=d \u00e9\x80\u2028,\"=; Path=/%20%C3%A9%C2%80%E2%80%A8,%22=".encode()),
    (Cookie("a", "b", path="/\"#<>?`{}%41%zz%|^[]\\'"), b"a=b; Path=/%22%23%3C%3E%3F%60%7B%7D%41%zz%|^[]\\'"),
    (Cookie("a", "b", dt.datetime(2015, 10, 21, 9, 28, tzinfo=dt.timezone(dt.timedelta(hours=2)))),
     b"a=b; Expires=Wed, 21 Oct 2015 07:28:00 GMT"),
    (Cookie("s", "v", dt.datetime(2015, 10, 21, 7, 28), "example.com", "/", True, True, 3600, Mode.LAX),
     b"s=v; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Max-Age=3600; Domain=example.com; Path=/; HttpOnly; Secure;"
     b" SameSite=Lax"),
])
def test_write(cookie, expected):
    assert write(cookie) == expected
    assert_no_leaks(write, cookie)


UNWRITABLE = "Cookie {} contains a character that cannot be written in Set-Cookie: {!r}"


@pytest.mark.parametrize("domain, path, message", [
    ("a;b", None, UNWRITABLE.format("domain", ";")),
    ("example.com", "/; Domain=other.test", UNWRITABLE.format("path", ";")),
    ("x\r\nSet-Cookie: y=z", None, UNWRITABLE.format("domain", "\r")),
    (None, "/a\nb", UNWRITABLE.format("path", "\n")),
    (None, "/\x00", UNWRITABLE.format("path", "\x00")),
    ("\u00e9\x1f", None, UNWRITABLE.format("domain", "\x1f")),
    (None, "/\x7f", UNWRITABLE.format("path", "\x7f")),
    ("a\tb", "/;", UNWRITABLE.format("domain", "\t")),
    (None, "/caf\u00e9 \x01", UNWRITABLE.format("path", "\x01")),
])
def test_write_refuses_separators_in_domain_and_path(domain, path, message):
    cookie = Cookie("a", "b", domain=domain, path=path)
    with pytest.raises(ValueError) as info:
        write(cookie)
    assert str(info.value) == message
    assert "kelvarn.cookies.write_cookie_for_response" in "".join(traceback.format_tb(info.tb))
    assert kc.__pyx_unpickle_Cookie(Cookie, 0x2035A3D, cookie.__reduce__()[2]).path == path
    assert_no_leaks(write, cookie)


HEADER_BREAK = "Set-Cookie value contains a character that cannot be written in a header: {!r}"


@pytest.mark.parametrize("quoted, char", [("a\r\nb", "\r"), ("x\n", "\n"), ("\x00", "\x00"), ("a\nb\r", "\n")])
def test_write_never_outputs_a_line_break_or_nul(monkeypatch, quoted, char):
    monkeypatch.setattr(kc, "quote", lambda s: quoted if s == "b" else s)
    with pytest.raises(ValueError, match=f"^{HEADER_BREAK.format(char)}$".replace("\\", "\\\\")):
        write(Cookie("a", "b"))
    assert_no_leaks(write, Cookie("a", "b"))

    class Crlf(dt.datetime):
        def strftime(self, fmt):
            return "x\r\ny"

    monkeypatch.undo()
    with pytest.raises(ValueError, match="^Set-Cookie value contains"):
        write(Cookie("a", "b", Crlf(2020, 1, 1)))


@pytest.mark.parametrize("name, value, warned", [
    ("a", "v" * 4095, None), ("a", "v" * 4096, 4097), ("ab", "v" * 4095, 4097), ("a", "\u00e9" * 2048, 12289),
])
def test_write_warns_of_a_cookie_browsers_drop(name, value, warned):
    cookie = kc.__pyx_unpickle_Cookie(Cookie, 0x2035A3D, (name, value, None, None, 0, -1, None, 0, 0))
    with warnings.catch_warnings(record=True, action="always") as seen:
        out = write(cookie)
    assert out.startswith(name.encode() + b"=") and len(out) == len(name) + 1 + len(urllib.parse.quote(value))
    message = (f"Set-Cookie name and value are {warned} bytes long; browsers ignore cookies whose name and value "
               "exceed 4096 bytes")
    assert [(w.category, str(w.message)) for w in seen] == ([] if warned is None else [(UserWarning, message)])
    if warned is not None:
        with warnings.catch_warnings(action="error"):
            with pytest.raises(UserWarning, match=f"^{message}$"):
                write(cookie)
            assert_no_leaks(write, cookie)


def test_write_reads_name_and_value_through_attributes():
    class Swap(Cookie):
        @property
        def value(self):
            return "over ride"

        @value.setter
        def value(self, v):
            Cookie.value.__set__(self, v)

    assert write(Swap("n", "v")) == b"n=over%20ride"


@pytest.mark.parametrize("cookie, exc, message", [
    (Cookie("a", None), TypeError, "quote_from_bytes() expected bytes"),
    (Cookie("a", "\ud800"[:0] + "b", domain="\udc00"), UnicodeEncodeError, None),
    (Cookie("a", "b", path="\ud800"), UnicodeEncodeError, None),
    (Cookie.__new__(Cookie), TypeError, "quote_from_bytes() expected bytes"),
])
def test_write_errors(cookie, exc, message):
    with pytest.raises(exc) as info:
        write(cookie)
    if message:
        assert str(info.value) == message
    assert "kelvarn.cookies.write_cookie_for_response" in "".join(traceback.format_tb(info.tb))
    assert_no_leaks(write, cookie)


def test_write_with_a_surrogate_name_and_a_failing_strftime():
    c = kc.__pyx_unpickle_Cookie(Cookie, 0x2035A3D, ("\ud800", "v", None, None, 0, -1, None, 0, 0))
    with pytest.raises(UnicodeEncodeError):
        write(c)

    class When(dt.datetime):
        def strftime(self, fmt):
            raise KeyError("strftime")

    with pytest.raises(KeyError):
        write(Cookie("a", "b", When(2020, 1, 1)))
    assert_no_leaks(write, c)


def test_write_uses_the_bound_quote(monkeypatch):
    monkeypatch.setattr(kc, "quote", lambda s: f"<{s}>")
    assert write(Cookie("a", "b c")) == b"<a>=<b c>"

    class Text:
        def encode(self):
            return b"T"

    monkeypatch.setattr(kc, "quote", lambda s: Text())
    assert write(Cookie("a", "b")) == b"T=T"
    class Buffer:
        def encode(self):
            return bytearray(b"B")

    monkeypatch.setattr(kc, "quote", lambda s: Buffer())
    assert write(Cookie("a", "b", max_age=1)) == b"B=B; Max-Age=1"
    monkeypatch.setattr(kc, "quote", lambda s: 1)
    with pytest.raises(AttributeError):
        write(Cookie("a", "b"))


def test_round_trip_over_the_corpus():
    checked = 0
    for raw in VALUES:
        try:
            first = parse_cookie(raw)
            again = parse_cookie(write(first))
        except Exception:  # noqa: BLE001 - not defined for this value
            continue
        want = list(fields(first))
        want[6] = first.secure or first.same_site in (2, 3)
        want[7] = max(first.max_age, -1)
        want[4] = first.path and urllib.parse.quote(first.path, PATH_KEPT)  # written as browsers send paths
        if first.expires is not None:
            want[2] = first.expires.replace(microsecond=0)
        assert list(fields(again)) == want, raw
        checked += 1
    assert checked > 100


# --------------------------------------------------------------------------
# Native quoting against the standard functions


def random_texts(seed, count):
    rnd = random.Random(seed)
    alphabet = (
        list("abcXYZ019_.-~/ =;,\"'+%%%%") + list("0123456789ABCDEFabcdefG")
        + ["\u00e9", "\u20ac", "\U0001F600", "\x00", "\x7f", "\x80", "\u6625", "%C3", "%A9", "%E2%82", "%ZZ", "%"]
    )
    return ["".join(rnd.choice(alphabet) for _ in range(rnd.randrange(0, 24))) for _ in range(count)]


def slow(monkeypatch, name):
    original = getattr(urllib.parse, name)
    monkeypatch.setattr(kc, name, lambda s: original(s))


@pytest.mark.parametrize("seed", range(4))
def test_native_unquote_matches_the_standard_one(seed, monkeypatch):
    texts = random_texts(seed, 400)
    raws = [b"n=" + t.encode() for t in texts if '"' not in t and ";" not in t]
    rnd = random.Random(seed)
    raws += [bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 16))) for _ in range(200)]
    raws += [b"k=" + bytes(rnd.choice(b"%Aa9\xc3\xa9\xe2\x82\xac\xff") for _ in range(12)) for _ in range(200)]
    native = [outcome(parse_cookie, r) for r in raws]
    for t in texts:
        if '"' not in t and ";" not in t and " " not in t:
            got = parse_cookie(b"n=" + t.encode()).value
            assert got == urllib.parse.unquote(t), t
    slow(monkeypatch, "unquote")
    assert [outcome(parse_cookie, r) for r in raws] == native


@pytest.mark.parametrize("seed", range(4))
def test_native_quote_matches_the_standard_one(seed, monkeypatch):
    rnd = random.Random(seed)
    texts = random_texts(seed, 400) + ["\ud800", "a\udfff", "\ud83d\ude00"]
    texts += ["".join(chr(rnd.randrange(0x110000)) for _ in range(4)) for _ in range(200)]
    cookies = [kc.__pyx_unpickle_Cookie(Cookie, 0x2035A3D, (t or "x", t, None, None, 0, -1, None, 0, 0)) for t in texts]
    native = [outcome(write, c) for c in cookies]
    for t, got in zip(texts, native):
        try:
            expected = (urllib.parse.quote(t or "x") + "=" + urllib.parse.quote(t)).encode()
        except UnicodeEncodeError:
            assert got[:2] == ("raised", UnicodeEncodeError)
        else:
            assert got == expected
    slow(monkeypatch, "quote")
    assert [outcome(write, c) for c in cookies] == native


def test_corpus_is_identical_on_both_paths(monkeypatch):
    native = [outcome(parse_cookie, r) for r in VALUES]
    written = [outcome(write, parse_cookie(r)) if n[0] != "raised" else None for r, n in zip(VALUES, native)]
    slow(monkeypatch, "unquote")
    slow(monkeypatch, "quote")
    assert [outcome(parse_cookie, r) for r in VALUES] == native
    assert [outcome(write, parse_cookie(r)) if n[0] != "raised" else None for r, n in zip(VALUES, native)] == written


def test_corpus_leaks_nothing():
    def run():
        for raw in VALUES:
            try:
                write(parse_cookie(raw))
            except Exception:  # noqa: BLE001
                pass

    assert_no_leaks(run, repeat=20, warmup=3)


# --------------------------------------------------------------------------
# The native stand-ins step aside when what the standard functions read changes


CHANGED = textwrap.dedent("""
    import sys, ctypes, builtins, datetime, email.utils, re, time, types
    sys.path.insert(0, {tests!r})
    from support import capi_function
    from date_texts import outcome
    calls = []
    {prelude}
    import urllib.parse as up
    import kelvarn.cookies as kc
    write = capi_function(kc, "write_cookie_for_response", ctypes.py_object, ctypes.py_object)
    when = datetime.datetime(2015, 10, 21, 7, 28)
    pattern = "%a, %d %b %Y %H:%M:%S GMT"
    texts = ["a/b", "x y", "caf\\u00e9", "%C3%A9%2F", "~_.-"]
    dates = [b"Wed, 21 Oct 2015 07:28:00 GMT", b"21 Oct 2015 07:28:00 CEST"]

    # Every call starts in a frame of this module, whose __builtins__ the date formatting imports through.
    def observed():
        return ([outcome(lambda t: write(kc.Cookie(t, t, when)), t) for t in texts]
                + [outcome(lambda t: kc.parse_cookie(("n=" + t).encode()).value, t) for t in texts]
                + [outcome(lambda w: kc.datetime_to_cookie_format(w), when)]
                + [outcome(lambda d: kc.datetime_from_cookie_format(d), d) for d in dates])

    def expected():
        def written(t):
            return (up.quote(t) + "=" + up.quote(t) + "; Expires=" + when.strftime(pattern)).encode()
        return ([outcome(written, t) for t in texts] + [outcome(up.unquote, t) for t in texts]
                + [outcome(lambda w: w.strftime(pattern).encode(), when)]
                + [outcome(lambda d: email.utils.parsedate_to_datetime(d.decode()).replace(tzinfo=None), d)
                   for d in dates])

    before, want = observed(), expected()
    assert before == want, (before, want)
    {change}
    after = observed()
    seen, want = calls[:], expected()
    assert after == want and not seen, (after, want, seen)
    assert after != before or not {differs}
    print("ok")
""")

TAKE_ALL_WATCHERS = textwrap.dedent("""
    import atexit
    noop = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda *a: 0)
    for kind in ("PyDict", "PyFunction"):
        add, clear = getattr(ctypes.pythonapi, kind + "_AddWatcher"), getattr(ctypes.pythonapi, kind + "_ClearWatcher")
        add.argtypes = [type(noop)]
        try:
            while True:
                atexit.register(clear, add(noop))
        except RuntimeError:
            pass
""")

# Hashes as "encode", a name the guards look up in urllib.parse's namespace (quote's code reads it as an
# attribute) and the standard functions never do.
FOREIGN_KEY = textwrap.dedent("""
    class Key:
        def __hash__(self):
            return hash("encode")

        def __eq__(self, other):
            calls.append(other)
            return False

    up.__dict__[Key()] = 1
""")


# A string is a change made after the module loaded; a tuple is (before it loads, after, whether the results
# change).
@pytest.mark.parametrize("change", [
    'up.quote.__defaults__ = ("", None, None)',
    'up.quote.__code__ = (lambda string, safe="/", encoding=None, errors=None: string.upper()).__code__',
    'q = up.quote_from_bytes; up.quote_from_bytes = lambda bs, safe="/": q(bs, "")',
    "up._ALWAYS_SAFE_BYTES = bytes(range(128))",
    'up._Quoter.__missing__ = lambda self, b: "%%%02x" % b; up._byte_quoter_factory.cache_clear()',
    'builtins.chr = lambda b: "?"; up._byte_quoter_factory.cache_clear()',
    'up.unquote.__defaults__ = ("latin-1", "replace")',
    'up._asciire = re.compile("(x)")',
    'up._hextobyte = {b"2F": b"|"}',
    'time.strftime = lambda fmt, tt: "T"',
    "st = time.struct_time; time.struct_time = lambda t: st((1999,) + tuple(t[1:]))",
    "builtins.__import__ = lambda *a, **k: 1 / 0",
    "__builtins__ = dict(builtins.__dict__, __import__=lambda *a, **k: 1 / 0)",
    'sys.modules["time"] = types.SimpleNamespace(strftime=lambda f, t: "S", struct_time=time.struct_time)',
    'time.__class__ = type("M", (types.ModuleType,), {"strftime": property(lambda m: lambda f, t: "M")})',
    ("", FOREIGN_KEY, False),
    ('import urllib.parse as up; up.quote.__defaults__ = ("", None, None)', "", False),
    ('import urllib.parse as up; up._Quoter.__missing__ = lambda self, b: "%%%02x" % b', "", False),
    ('import email._parseaddr as pa; pa._timezones["CEST"] = 2400', "", False),
    ('i = builtins.__import__; builtins.__import__ = lambda n, *a, **k: 1 / 0 if n == "time" else i(n, *a, **k)',
     "", False),
    # Every dict and function watcher already taken: the general path only.
    (TAKE_ALL_WATCHERS, 'up.quote.__defaults__ = ("", None, None)', True),
])
def test_native_paths_follow_changes_behind_the_standard_functions(change):
    prelude, change, differs = change if isinstance(change, tuple) else ("", change, True)
    run_child(CHANGED.format(prelude=prelude, change=change, differs=differs, tests=str(pathlib.Path(__file__).parent)))


def test_native_paths_return_when_the_changes_are_undone(monkeypatch):
    monkeypatch.setattr(urllib.parse.quote, "__defaults__", ("", None, None))
    monkeypatch.setattr(urllib.parse, "_asciire", re.compile("(x)"))
    monkeypatch.setitem(vars(urllib.parse), object(), None)  # a key no guard looks up in: off until removed
    assert write(Cookie("a/b", "c")) == b"a%2Fb=c" and parse_cookie(b"a=%41").value == "%41"
    monkeypatch.undo()
    calls = []
    sys.setprofile(lambda frame, event, arg: event == "call" and calls.append(frame.f_code.co_name))
    try:
        assert write(Cookie("a/b", "c")) == b"a/b=c" and parse_cookie(b"a=%41").value == "A"
    finally:
        sys.setprofile(None)
    assert "quote" not in calls and "unquote" not in calls

    def flip():
        for safe in ("", "/"):
            urllib.parse.quote.__defaults__ = (safe, None, None)
            write(Cookie("a/b", "c"))

    monkeypatch.setattr(urllib.parse.quote, "__defaults__", ("/", None, None))  # put back after the test
    assert_no_leaks(flip)


# ---------------------------------------------------------------------------
# The writer while Python code replaces the fields it has read


@pytest.mark.parametrize("domain, path", [
    ("d" * 50, "p" * 60),
    ("\u00e9" * 50, "/\u00fc" * 30),
])
def test_write_keeps_domain_and_path_read_before_the_join(monkeypatch, domain, path):
    # The first item is joined last; making it bytes-like runs Python code
    # that replaces the domain and path. The items written are those that
    # were read before, and nothing points into the released texts.
    cookie = Cookie("a", "b", domain="".join(domain), path="".join(path))
    reuse = []

    class Late:
        def __buffer__(self, flags):
            cookie.domain = None
            cookie.path = None
            gc.collect()
            reuse[:] = ["%050d" % i for i in range(2000)]
            return memoryview(b"N=V")

    class Head:
        def __add__(self, other):
            return self if other == b"=" else Late()

    class Quoted:
        def encode(self):
            return Head()

    monkeypatch.setattr(kc, "quote", lambda s: Quoted())
    expected = b"N=V; Domain=" + domain.encode() + b"; Path=" + urllib.parse.quote(path).encode()
    assert write(cookie) == expected
    assert cookie.domain is None and cookie.path is None
    assert_no_leaks(write, Cookie("a", "b", domain=domain, path=path))
