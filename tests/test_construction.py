"""Calling a class directly binds its arguments without a tuple; the usual
type call (tuple and dictionary, then __new__ and __init__) must agree with it
in every result and message."""

import datetime
import traceback

import pytest

from kelvarn.cookies import Cookie
from kelvarn.headers import Header, Headers
from kelvarn.url import URL

from support import assert_no_leaks

CASES = [
    (Header, (b"a", b"b"), {}),
    (Header, (), {"name": b"a", "value": None}),
    (Header, (b"a",), {}),
    (Header, ("a", b"b"), {}),
    (Header, (b"a", b"b", b"c"), {}),
    (Header, (b"a",), {"name": b"b"}),
    (Header, (b"a", b"b"), {"other": 1}),
    (Headers, (), {}),
    (Headers, ([(b"a", b"1")],), {}),
    (Headers, ((),), {}),
    (Headers, (None, None), {}),
    (URL, (b"/a?x=1",), {}),
    (URL, (b"",), {}),
    (URL, (b"ftp://h/",), {}),
    (URL, ("x",), {}),
    (Cookie, ("id", "1"), {"max_age": 2.9, "secure": 1}),
    (Cookie, ("", "1"), {}),
    (Cookie, ("id", "1"), {"expires": datetime.date(2020, 1, 1)}),
    (Cookie, ("id",), {}),
    (Cookie, ("id", "1"), {"same_site": 2**40}),
]


def outcome(call):
    try:
        made = call()
    except Exception as e:
        names = [f.name for f in traceback.extract_tb(e.__traceback__)][1:]
        return ("error", type(e), str(e), names)
    return ("made", type(made), repr(made) if type(made) is not Headers else made.values)


@pytest.mark.parametrize("cls, args, kwargs", CASES)
def test_direct_call_matches_the_type_call(cls, args, kwargs):
    direct = outcome(lambda: cls(*args, **kwargs))
    slow = outcome(lambda: type.__call__(cls, *args, **kwargs))
    assert direct == slow


@pytest.mark.parametrize("cls", [Header, Headers, URL, Cookie])
def test_subclasses_keep_their_own_new_and_init(cls):
    seen = []

    class Sub(cls):
        def __new__(klass, *args, **kwargs):
            seen.append("new")
            return super().__new__(klass)

        def __init__(self, *args, **kwargs):
            seen.append("init")

    made = Sub(1, 2, 3)
    assert type(made) is Sub and seen == ["new", "init"]


@pytest.mark.parametrize("cls, args, kwargs", CASES)
def test_direct_call_does_not_leak(cls, args, kwargs):
    assert_no_leaks(cls, *args, **kwargs)
