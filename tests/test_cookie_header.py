"""kelvarn.cookie_header: the Cookie request header read into a dict, and Set-Cookie values written from Python."""

import random
import traceback
import urllib.parse
import warnings

import pytest

from kelvarn.cookie_header import parse_cookie_header, write_set_cookie
from kelvarn.cookies import Cookie
from support import assert_no_leaks, run_child
from test_cookie_interop import write as write_c


def model(header):
    out = {}
    for pair in header.split(b";"):
        name, eq, value = pair.partition(b"=")
        name, value = (name, value) if eq else (b"", name)
        name, value = name.strip(b" \t"), value.strip(b" \t")
        if len(value) > 1 and value[0] == value[-1] == 0x22:
            value = value[1:-1]
        if name or value:
            out.setdefault(*(urllib.parse.unquote_to_bytes(t).decode("utf-8", "replace") for t in (name, value)))
    return out


@pytest.mark.parametrize("header, expected", [
    (None, {}), (b"", {}), (b" ;\t; ;=;", {}), (b"a=1; b=2;c=3;;d=4; ", dict(a="1", b="2", c="3", d="4")),
    (b" \ta b = x\ty \t;e=; =v", {"a b": "x\ty", "e": "", "": "v"}),
    (b'q=" a "; r=""; s="x; t="; u=""x""; "n"=1', {"q": " a ", "r": "", "s": '"x', "t": '"', "u": '"x"', '"n"': "1"}),
    (b"k%3B%3d=%3b%22; p=%41+%2B%zz%4%; e=%C3%A9%e2%82%AC%F0%9F%98%80", {"k;=": ';"', "p": "A++%zz%4%", "e": "é€😀"}),
    (b"a=1; a=2; A=3; solo; =again; b=x=y", {"a": "1", "A": "3", "": "solo", "b": "x=y"}),
    (b"n=\xff\xc3; \xc3\xa9=\xc3\xa9t\xc3\xa9; m=%ff%C3%28; l=\xc2\xa0%c2", dict(n="��", é="été", m="��(", l="\xa0�")),
])
def test_header_texts(header, expected):
    assert parse_cookie_header(header) == expected == ({} if header is None else model(header))


def test_random_headers_agree_with_the_model():
    rng = random.Random(16)
    pieces = b"; ;|=| |\t|\"|%|%4|%41|%C3|%a9|\xc3|\xa9|\xc2\x80|\xff|+|a|B|sid|xxxxxxxxxxxxxxxxxxxx|a-name-of-17-bytes"
    for _ in range(20000):
        header = b"".join(rng.choices(pieces.split(b"|"), k=rng.randrange(30))) + rng.randbytes(3)
        assert parse_cookie_header(header) == model(header), header


@pytest.mark.parametrize("call, message", [
    (lambda: parse_cookie_header(), "parse_cookie_header() takes exactly 1 positional argument (0 given)"),
    (lambda: write_set_cookie(Cookie("a", "b"), 1), "write_set_cookie() takes exactly 1 positional argument (2 given)"),
    (lambda: parse_cookie_header(header=b""), "parse_cookie_header() got an unexpected keyword argument 'header'"),
    (lambda: parse_cookie_header(b"", value=b""), "parse_cookie_header() got multiple values for keyword argument 'value'"),
    (lambda: parse_cookie_header(bytearray()), "Argument 'value' has incorrect type (expected bytes, got bytearray)"),
    (lambda: write_set_cookie(cookie=1), "Argument 'cookie' has incorrect type (expected kelvarn.cookies.Cookie, got int)"),
    (lambda: write_set_cookie(None), "Argument 'cookie' has incorrect type (expected kelvarn.cookies.Cookie, got NoneType)"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert traceback.extract_tb(info.value.__traceback__)[-1].name == "kelvarn.cookie_header." + call.__code__.co_names[0]


# The writer's bytes, warnings and errors; an error also carries the entry of write_set_cookie.
@pytest.mark.parametrize("cookie", [
    Cookie("a b", "x;y", path="/", http_only=True, same_site=2), Cookie("n", "é" * 2048, max_age=0),
    Cookie("p", "1", path="/a;b"), Cookie("v", None), type("Renamed", (Cookie,), {"name": "ré nom"})("x", "1"),
])
def test_writes_what_the_c_writer_writes(cookie):
    def outcome(write):
        with warnings.catch_warnings(record=True, action="always") as caught:
            try:
                result = write(cookie)
            except Exception as exc:  # noqa: BLE001
                result = repr(exc), [f.name for f in traceback.extract_tb(exc.__traceback__)[1:]]
        return result, [(w.category, str(w.message)) for w in caught]

    mine, (theirs, warned) = outcome(write_set_cookie), outcome(write_c)
    assert mine == (theirs if isinstance(theirs, bytes) else (theirs[0], ["kelvarn.cookie_header.write_set_cookie",
                                                                          *theirs[1]]), warned)


@pytest.mark.parametrize("fn, arg", [(parse_cookie_header, b"a=1; b=%C3%A9\xff; c=%E2%82%AC; c=2; x" * 40),
                                     (parse_cookie_header, "a=1"), (write_set_cookie, Cookie("a", "b", path="/")),
                                     (write_set_cookie, Cookie("p", "1", path=";")), (write_set_cookie, 1)])
def test_no_leaks(fn, arg):
    assert_no_leaks(fn, arg)


def test_import_binds_the_writer_once_and_checks_it():
    run_child("""
        import _interpreters, sys, traceback
        import kelvarn.cookies as kc
        saved = kc.__pyx_capi__.pop("write_cookie_for_response")
        try:
            import kelvarn.cookie_header
        except ImportError as e:
            assert str(e) == "kelvarn.cookies does not export the C function write_cookie_for_response", e
            assert traceback.extract_tb(e.__traceback__)[-1].name == "init kelvarn.cookie_header"
        kc.__pyx_capi__["write_cookie_for_response"] = saved
        import kelvarn.cookie_header as m
        assert list(vars(m))[-4:] == ["__builtins__", "write_set_cookie", "parse_cookie_header", "__test__"]
        del sys.modules["kelvarn.cookie_header"]
        import kelvarn.cookie_header as again
        assert again is m and again.__test__ is m.__test__ and m.write_set_cookie(kc.Cookie("a", "b")) == b"a=b"
        r = _interpreters.exec(_interpreters.create("legacy"), "import kelvarn.cookie_header")
        assert r.type.__name__ == "ImportError" and r.msg.startswith("Interpreter change detected"), r
        print("ok")
    """)
