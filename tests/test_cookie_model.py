"""Cookies: the Cookie model, SameSite mode, errors, dates, namespace, C tables and pickling."""

import copy
import ctypes
import datetime as dt
import email._parseaddr
import email.utils
import gc
import pickle
import subprocess
import sys
import textwrap
import traceback
import weakref

import pytest

import kelvarn.cookies as kc
from kelvarn.cookies import (
    Cookie,
    CookieError,
    CookieSameSiteMode,
    CookieValueExceedsMaximumLength,
    datetime_from_cookie_format,
    datetime_to_cookie_format,
)
from kelvarn.cookies import parse_cookie
import date_texts
from support import assert_no_leaks, capi_function, capsule_name, run_child, vtable_slot

Mode = CookieSameSiteMode
LAX = Mode.LAX
EXCEEDS = (
    "The length of the cookie value exceeds the maximum length of 4096 bytes, and it would be ignored or "
    "truncated by clients. See: https://www.rfc-editor.org/rfc/rfc6265#section-6.1"
)
ARG = "Argument '{}' has incorrect type (expected {}, got {})"
WHEN = dt.datetime(2015, 10, 21, 7, 28, 0, 500000)
PLUS2 = dt.timezone(dt.timedelta(hours=2))


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message
    return info.value


class Sub(Cookie):
    pass


class Shout(Cookie):
    @property
    def name(self):
        return "SHOUT"

    @name.setter
    def name(self, v):
        Cookie.name.__set__(self, v)


class CloneOverride(Cookie):
    def __init__(self, *args, result=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.result = result

    def clone(self):
        return self.result


# --------------------------------------------------------------------------
# Module namespace and tables


def test_namespace_in_binding_order():
    names = [n for n in vars(kc) if n not in ("__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__")]
    assert names == [
        "__builtins__", "__pyx_capi__", "Cookie", "CookieError", "CookieValueExceedsMaximumLength",
        "CookieSameSiteMode", "quote", "unquote", "parsedate_to_datetime", "datetime_to_cookie_format",
        "datetime_from_cookie_format", "parse_cookie", "__pyx_unpickle_CookieError",
        "__pyx_unpickle_CookieValueExceedsMaximumLength", "__pyx_unpickle_Cookie", "__test__",
    ]
    import email.utils
    import urllib.parse

    assert kc.quote is urllib.parse.quote and kc.unquote is urllib.parse.unquote
    assert kc.parsedate_to_datetime is email.utils.parsedate_to_datetime
    for hidden in ("write_cookie_for_response", "split_value", "same_site_mode_from_bytes"):
        assert not hasattr(kc, hidden)


def test_c_function_table():
    assert {k: capsule_name(v) for k, v in kc.__pyx_capi__.items()} == {
        "parse_cookie": "struct __pyx_obj_7kelvarn_7cookies_Cookie *(PyObject *, int __pyx_skip_dispatch)",
        "datetime_to_cookie_format": "PyObject *(PyDateTime_DateTime *, int __pyx_skip_dispatch)",
        "datetime_from_cookie_format": "PyDateTime_DateTime *(PyObject *, int __pyx_skip_dispatch)",
        "write_cookie_for_response": "PyObject *(struct __pyx_obj_7kelvarn_7cookies_Cookie *)",
        "split_value": "PyObject *(PyObject *, PyObject *)",
        "same_site_mode_from_bytes": "enum __pyx_t_7kelvarn_7cookies_CookieSameSiteMode (PyObject *)",
    }
    assert list(kc.__pyx_capi__) == [
        "parse_cookie", "datetime_to_cookie_format", "datetime_from_cookie_format", "write_cookie_for_response",
        "split_value", "same_site_mode_from_bytes",
    ]
    assert capsule_name(Cookie.__dict__["__pyx_vtable__"]) is None
    assert "__pyx_vtable__" not in CookieError.__dict__ and "__pyx_vtable__" not in CookieValueExceedsMaximumLength.__dict__


def test_types_and_exceptions():
    assert repr(Cookie) == "<class 'kelvarn.cookies.Cookie'>" and Cookie.__module__ == "kelvarn.cookies"
    assert CookieError.__bases__ == (Exception,) and CookieValueExceedsMaximumLength.__bases__ == (CookieError,)
    assert CookieError.__module__ == "kelvarn.cookies" and CookieError.__doc__ is None
    e = CookieValueExceedsMaximumLength()
    assert isinstance(e, CookieError) and isinstance(e, Exception) and e.args == (EXCEEDS,) and str(e) == EXCEEDS
    assert CookieError("m").args == ("m",) == CookieError(message="m").args and str(CookieError("m")) == "m"
    assert CookieError(None).args == (None,)
    raises(TypeError, ARG.format("message", "str", "bytes"), CookieError, b"m")
    raises(TypeError, "__init__() takes exactly 1 positional argument (0 given)", CookieError)
    raises(TypeError, "__init__() takes exactly 0 positional arguments (1 given)", CookieValueExceedsMaximumLength, "x")
    raises(TypeError, "__init__() got an unexpected keyword argument 'x'", CookieValueExceedsMaximumLength, x=1)
    e.extra = 1  # inherited instance dictionary
    assert e.__dict__ == {"extra": 1}

    class Mine(CookieError):
        def __init__(self):
            super().__init__("mine")

    assert Mine().args == ("mine",) and isinstance(CookieError.__init__, type(kc.parse_cookie))


def test_same_site_mode_class():
    assert [m.name for m in Mode] == ["UNDEFINED", "LAX", "STRICT", "NONE"] and len(Mode) == 4
    assert Mode.STRICT == 2 and int(Mode.NONE) == 3 and (Mode.LAX | Mode.STRICT) is Mode.NONE
    assert Mode.__module__ == "kelvarn.cookies" and Mode(7).value == 7 and isinstance(Mode(7), Mode)
    assert Mode._member_names_ == ["UNDEFINED", "LAX", "STRICT", "NONE"]


def test_same_site_mode_is_looked_up_at_each_use(monkeypatch):
    c = Cookie("a", "b", same_site=2)
    calls = []

    class Fake:
        STRICT = "strict!"

        def __new__(cls, v):
            calls.append(v)
            return ("called", v)

    monkeypatch.setattr(kc, "CookieSameSiteMode", Fake)
    assert c.same_site == "strict!"
    c.same_site = 9
    assert c.same_site == ("called", 9) and calls == [9]
    monkeypatch.delattr(kc, "CookieSameSiteMode")
    raises(NameError, "name 'CookieSameSiteMode' is not defined", getattr, c, "same_site")


class FakeMode:
    UNDEFINED, LAX, STRICT, NONE = 5, 6, 7, 8

    def __new__(cls, v):
        return ("called", v)


class LoggingMeta(type(Mode)):
    log = []

    def __getattribute__(cls, name):
        LoggingMeta.log.append(name)
        return super().__getattribute__(name)


@pytest.mark.parametrize("change, undo, seen", [
    (lambda: setattr(kc, "CookieSameSiteMode", FakeMode), lambda: setattr(kc, "CookieSameSiteMode", Mode),
     [6, ("called", 6), ("called", 6)]),
    (lambda: type.__setattr__(Mode, "LAX", Mode.STRICT), lambda: type.__setattr__(Mode, "LAX", LAX), [Mode.STRICT] * 3),
    (lambda: setattr(Mode, "__class__", LoggingMeta), lambda: setattr(Mode, "__class__", type(Mode).__base__), [LAX] * 3),
], ids=["rebound", "member entry", "metaclass"])
def test_same_site_members_follow_the_class_and_its_namespace_entry(change, undo, seen):
    def outcomes():
        lax = Cookie("a", "b", same_site=1)
        return [lax.same_site, parse_cookie(b"a=b; SameSite=lax").same_site, lax.clone().same_site]

    assert all(m is LAX for m in outcomes())
    change()
    try:
        LoggingMeta.log.clear()
        assert outcomes() == seen and ("LAX" in LoggingMeta.log) == (type(Mode) is LoggingMeta)
    finally:
        undo()
    assert all(m is LAX for m in outcomes())
    assert_no_leaks(parse_cookie, b"a=b; SameSite=None")


# --------------------------------------------------------------------------
# Cookie construction and properties


def test_layout_and_defaults():
    c = Cookie("sid", "abc")
    assert (c.name, c.value, c.expires, c.domain, c.path) == ("sid", "abc", None, None, None)
    assert (c.http_only, c.secure, c.max_age, c.same_site) == (False, False, -1, Mode.UNDEFINED)
    assert c.same_site is Mode.UNDEFINED
    full = Cookie("n", "v", WHEN, "d", "/p", 1, [1], 2.9, Mode.NONE)
    assert (full.expires, full.domain, full.path, full.http_only, full.secure, full.max_age, full.same_site) == (
        WHEN, "d", "/p", True, True, 2, Mode.NONE)

    class Layout(ctypes.Structure):
        _fields_ = [("refcnt", ctypes.c_ssize_t), ("type", ctypes.c_void_p), ("vtab", ctypes.c_void_p)] + [
            (f, ctypes.py_object) for f in ("name", "value", "expires", "domain", "path")] + [
            ("http_only", ctypes.c_int), ("secure", ctypes.c_int), ("max_age", ctypes.c_longlong),
            ("same_site", ctypes.c_int32)]

    raw = Layout.from_address(id(full))
    assert (raw.name, raw.value, raw.expires, raw.domain, raw.path) == ("n", "v", WHEN, "d", "/p")
    assert (raw.http_only, raw.secure, raw.max_age, raw.same_site) == (1, 1, 2, 3)
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    assert raw.vtab == get(Cookie.__dict__["__pyx_vtable__"], None) == Layout.from_address(id(Sub("a", "b"))).vtab
    assert Cookie.__basicsize__ == ctypes.sizeof(Layout)
    fresh = Cookie.__new__(Cookie)
    assert (fresh.name, fresh.value, fresh.max_age, fresh.http_only, fresh.same_site) == (None, None, 0, False, 0)


@pytest.mark.parametrize("args, kwargs, exc, message", [
    ((), {}, TypeError, "__init__() takes at least 2 positional arguments (0 given)"),
    (("a",), {}, TypeError, "__init__() takes at least 2 positional arguments (1 given)"),
    (("a", "b") + (None,) * 8, {}, TypeError, "__init__() takes at most 9 positional arguments (10 given)"),
    (("a", "b"), {"nope": 1}, TypeError, "__init__() got an unexpected keyword argument 'nope'"),
    (("a", "b"), {"name": "x"}, TypeError, "__init__() got multiple values for keyword argument 'name'"),
    ((b"a", "b"), {}, TypeError, ARG.format("name", "str", "bytes")),
    (("a", 1), {}, TypeError, ARG.format("value", "str", "int")),
    (("a", "b", "x"), {}, TypeError, ARG.format("expires", "datetime.datetime", "str")),
    (("a", "b", None, 1), {}, TypeError, ARG.format("domain", "str", "int")),
    (("a", "b"), {"path": b"/"}, TypeError, ARG.format("path", "str", "bytes")),
    (("a", "b"), {"max_age": "2"}, TypeError, "an integer is required"),
    (("a", "b"), {"max_age": 2**63}, OverflowError, None),
    (("a", "b"), {"same_site": 2**31}, OverflowError, None),
    (("a", "b"), {"same_site": None}, TypeError, "an integer is required"),
    # scalar conversions run before the object checks
    ((b"a", "b"), {"max_age": "x"}, TypeError, "an integer is required"),
    (("", "b"), {}, ValueError, "A cookie name is required"),
    ((None, "b"), {}, ValueError, "A cookie name is required"),
    (("a", "x" * 4097), {}, CookieValueExceedsMaximumLength, EXCEEDS),
    (("a", "\xe9" * 2049), {}, CookieValueExceedsMaximumLength, EXCEEDS),
    (("a", "\ud800"), {}, UnicodeEncodeError, None),
])
def test_constructor_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Cookie(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    assert_no_leaks(Cookie, *args, **kwargs)


def test_constructor_accepts_limits_and_subclass_datetime():
    class When(dt.datetime):
        pass

    assert Cookie("a", "x" * 4096).value == "x" * 4096
    assert Cookie("a", "\u20ac" * 1365).value  # 4095 bytes
    assert Cookie("a", "\U0001F600" * 1024).value  # 4096 bytes
    assert Cookie("a", None).value is None and Cookie("a", "").value == ""
    assert Cookie("a", "b", same_site=7).same_site == Mode(7)
    assert type(Cookie("a", "b", When(2020, 1, 1)).expires) is When
    c = Cookie("a", "b", max_age=5)
    c.__init__("z", "y")
    assert (c.name, c.value, c.max_age) == ("z", "y", -1)


def test_failed_init_keeps_fields_already_assigned():
    c = Cookie("a", "b", domain="d", max_age=3)
    with pytest.raises(CookieValueExceedsMaximumLength):
        c.__init__("new", "x" * 5000, domain="e", max_age=9)
    assert (c.name, c.value, c.domain, c.max_age) == ("new", "b", "d", 3)


@pytest.mark.parametrize("attr, value, exc, message", [
    ("name", b"x", TypeError, "Expected str, got bytes"),
    ("name", 0, ValueError, "A cookie name is required"),
    ("name", "", ValueError, "A cookie name is required"),
    ("value", b"x", AttributeError, "'bytes' object has no attribute 'encode'"),
    ("value", b"", TypeError, "Expected str, got bytes"),
    ("value", "y" * 4097, CookieValueExceedsMaximumLength, EXCEEDS),
    ("expires", "x", TypeError, "Cannot convert str to datetime.datetime"),
    ("expires", dt.date(2020, 1, 1), TypeError, "Cannot convert datetime.date to datetime.datetime"),
    ("domain", 1, TypeError, "Expected str, got int"),
    ("path", b"/", TypeError, "Expected str, got bytes"),
    ("max_age", "1", TypeError, "an integer is required"),
    ("max_age", 2**64, OverflowError, None),
    ("same_site", 2**40, OverflowError, None),
])
def test_setter_errors(attr, value, exc, message):
    c = Cookie("a", "b")
    with pytest.raises(exc) as info:
        setattr(c, attr, value)
    if message:
        assert str(info.value) == message
    assert (c.name, c.value, c.expires, c.domain, c.path, c.max_age) == ("a", "b", None, None, None, -1)
    assert_no_leaks(setattr, c, attr, value)


def test_setters_and_deleters():
    c = Cookie("a", "b")
    c.name, c.value, c.domain, c.path, c.expires = "n", None, "d", "/", WHEN
    c.http_only, c.secure, c.max_age, c.same_site = "yes", 0, 7.9, Mode.LAX
    assert (c.name, c.value, c.domain, c.path, c.expires) == ("n", None, "d", "/", WHEN)
    assert (c.http_only, c.secure, c.max_age, c.same_site) == (True, False, 7, Mode.LAX)
    for attr in ("domain", "path", "expires"):
        delattr(c, attr)
        assert getattr(c, attr) is None
    for attr in ("name", "value", "http_only", "secure", "max_age", "same_site"):
        raises(NotImplementedError, "__del__", delattr, c, attr)
    with pytest.raises(AttributeError, match="^'kelvarn.cookies.Cookie' object has no attribute 'other'"):
        c.other = 1
    with pytest.raises(TypeError):
        weakref.ref(c)
    raises(TypeError, "unhashable type: 'kelvarn.cookies.Cookie'", hash, c)


def test_subclass_setter_override_runs_in_constructor():
    s = Shout("a", "b")
    assert s.name == "SHOUT" and s.__dict__ == {} and Cookie.name.__get__(s) == "a"
    s.extra = 1
    assert weakref.ref(s)() is s


# --------------------------------------------------------------------------
# clone, equality, repr


def test_clone_and_its_typed_entry():
    c = Sub("a", "b", WHEN, "d", "/", True, False, 5, Mode.STRICT)
    twin = c.clone()
    assert type(twin) is Cookie and not hasattr(twin, "__dict__")
    assert (twin.name, twin.value, twin.expires, twin.domain, twin.path) == ("a", "b", WHEN, "d", "/")
    assert (twin.http_only, twin.secure, twin.max_age, twin.same_site) == (True, False, 5, Mode.STRICT)
    assert type(Shout("a", "b").clone()) is Cookie and Shout("a", "b").clone().name == "SHOUT"
    raises(TypeError, "clone() takes exactly 0 positional arguments (1 given)", c.clone, 1)
    raises(TypeError, "clone() got an unexpected keyword argument 'x'", c.clone, x=1)

    slot = vtable_slot(Cookie, 0, ctypes.py_object, ctypes.py_object, ctypes.c_int)
    other = Cookie("x", "y")
    over = CloneOverride("a", "b", result=other)
    assert over.clone() is other
    assert slot(over, 0) is other and slot(over, 1).name == "a" and type(slot(over, 1)) is Cookie
    assert slot(CloneOverride("a", "b", result=None), 0) is None
    assert slot(CloneOverride("a", "b", result=Sub("s", "t")), 0).name == "s"
    bad = CloneOverride("a", "b", result="nope")
    raises(TypeError, "Cannot convert str to kelvarn.cookies.Cookie", slot, bad, 0)
    assert slot(Cookie("p", "q"), 0).value == "q"
    assert_no_leaks(slot, bad, 0)
    assert_no_leaks(slot, over, 0)
    assert_no_leaks(c.clone)


def test_clone_runs_the_constructor_checks_again():
    empty = kc.__pyx_unpickle_Cookie(Cookie, 0x2035A3D, ("", "x", None, None, 0, -1, None, 0, 0))
    raises(ValueError, "A cookie name is required", empty.clone)
    assert_no_leaks(empty.clone)


@pytest.mark.parametrize("left, right, equal", [
    (Cookie("a", "x"), "x", True),
    (Cookie("a", "x"), b"x", True),
    (Cookie("a", "x"), "y", False),
    (Cookie("a", "x", domain="d"), Cookie("a", "x", max_age=3), True),
    (Cookie("a", "x"), Cookie("b", "x"), False),
    (Cookie("a", "x"), Cookie("a", "y"), False),
    (Sub("a", "x"), Cookie("a", "x"), True),
    (Cookie("a", "x"), 1, False),
])
def test_equality(left, right, equal):
    assert (left == right) is equal and (right == left) is equal
    assert (left != right) is (not equal) and (right != left) is (not equal)


def test_comparison_details():
    c = Cookie("a", "x")
    assert c.__eq__(1) is NotImplemented and c.__ne__(1) is NotImplemented and c.__lt__(c) is NotImplemented
    with pytest.raises(TypeError):
        c < c
    raises(UnicodeDecodeError, "'utf-8' codec can't decode byte 0xff in position 0: invalid start byte",
           c.__eq__, b"\xff")

    class B(bytes):
        def decode(self):
            return "x"

    assert c == B(b"zzz")
    assert_no_leaks(c.__eq__, b"\xff")
    assert_no_leaks(c.__eq__, Cookie("a", "x"))


@pytest.mark.parametrize("cookie, text", [
    (Cookie("sid", "abcdef"), "<Cookie sid: abc...>"),
    (Cookie("id", "1"), "<Cookie id: 1...>"),
    (Cookie("e", ""), "<Cookie e: ...>"),
    (Shout("a", "\u00e9\u00e9\u00e9\u00e9"), "<Cookie SHOUT: \u00e9\u00e9\u00e9...>"),
])
def test_repr(cookie, text):
    assert repr(cookie) == text


def test_repr_of_value_none():
    raises(TypeError, "'NoneType' object is unsliceable", repr, Cookie("a", None))
    assert_no_leaks(repr, Cookie("a", None))


def test_cycle_collector_visits_expires_only():
    class When(dt.datetime):
        pass

    w = When(2020, 1, 1)
    c = Cookie("a", "b", w)
    w.cookie = c
    probe = weakref.ref(w)
    del c, w
    gc.collect()
    assert probe() is None
    assert gc.get_referents(Cookie("a", "b", WHEN, "d", "/")) == [WHEN]


# --------------------------------------------------------------------------
# Dates


def test_date_formatting():
    assert datetime_to_cookie_format(WHEN) == b"Wed, 21 Oct 2015 07:28:00 GMT"
    assert datetime_to_cookie_format(value=WHEN.replace(tzinfo=PLUS2, hour=9)) == b"Wed, 21 Oct 2015 07:28:00 GMT"
    assert datetime_from_cookie_format(b"Wed, 21 Oct 2015 07:28:00 GMT") == dt.datetime(2015, 10, 21, 7, 28)
    back = datetime_from_cookie_format(b"Wed, 21 Oct 2015 09:28:00 +0200")
    assert back == dt.datetime(2015, 10, 21, 9, 28) and back.tzinfo is None


@pytest.mark.parametrize("when", [
    dt.datetime(1, 1, 1), dt.datetime(999, 12, 31, 23, 59, 59), dt.datetime(1000, 1, 1), dt.datetime(1900, 2, 28),
    dt.datetime(2000, 2, 29, 12), dt.datetime(2024, 12, 31, 1, 2, 3), dt.datetime(9999, 12, 31, 23, 59, 59),
] + [dt.datetime(1970, 1, 1) + dt.timedelta(days=d * 37, seconds=d * 7919) for d in range(400)])
def test_date_formatting_matches_strftime(when):
    assert datetime_to_cookie_format(when) == when.strftime("%a, %d %b %Y %H:%M:%S GMT").encode()


def test_date_formatting_uses_the_objects_own_strftime():
    class When(dt.datetime):
        def strftime(self, fmt):
            return "custom " + fmt

    assert datetime_to_cookie_format(When(2020, 1, 1)) == b"custom %a, %d %b %Y %H:%M:%S GMT"


class Zone(dt.tzinfo):
    """A tzinfo of Python code that records the calls the formatting makes."""

    def __init__(self, hours):
        self.hours, self.calls = hours, []

    def utcoffset(self, when):
        self.calls.append("utcoffset")
        if self.hours == "boom":
            raise KeyError("utcoffset")
        return None if self.hours is None else dt.timedelta(hours=self.hours)

    def dst(self, when):
        self.calls.append("dst")

    def fromutc(self, when):
        self.calls.append("fromutc")
        return dt.tzinfo.fromutc(self, when)


class Stamp(dt.datetime):
    """The same instant through the general path (not the exact type)."""


def plain_format(when):
    """The formatting written out in Python."""
    when = when.astimezone(dt.timezone.utc) if when.utcoffset() is not None else when
    return when.strftime("%a, %d %b %Y %H:%M:%S GMT").encode()


@pytest.mark.parametrize("when, text, calls", [
    (dt.datetime(2015, 10, 21, 9, 28, tzinfo=PLUS2), b"Wed, 21 Oct 2015 07:28:00 GMT", []),
    (dt.datetime(2015, 10, 21, 22, 30, 5, tzinfo=dt.timezone(-dt.timedelta(hours=5))), b"Thu, 22 Oct 2015 03:30:05 GMT", []),
    (dt.datetime(2015, 10, 21, 9, 28, tzinfo=dt.timezone.utc), b"Wed, 21 Oct 2015 09:28:00 GMT", []),
    (dt.datetime(2015, 10, 21, 9, 28, 59, 999999), b"Wed, 21 Oct 2015 09:28:59 GMT", []),
    (dt.datetime(1000, 1, 1, 1, tzinfo=PLUS2), b"Tue, 31 Dec 999 23:00:00 GMT", []),
    (dt.datetime(2015, 10, 21, 9, 28, tzinfo=Zone(2)), b"Wed, 21 Oct 2015 07:28:00 GMT", ["utcoffset", "utcoffset"]),
    (dt.datetime(2015, 10, 21, 9, 28, tzinfo=Zone(None)), b"Wed, 21 Oct 2015 09:28:00 GMT", ["utcoffset", "dst"]),
])
def test_date_formatting_writes_the_instant_in_utc(when, text, calls):
    to_c = capi_function(kc, "datetime_to_cookie_format", ctypes.py_object, ctypes.py_object, ctypes.c_int)
    seen = getattr(when.tzinfo, "calls", [])
    seen.clear()
    assert datetime_to_cookie_format(when) == text
    # The zone's own methods run, as often and in the order plain Python calls them.
    native, seen[:] = seen[:], []
    assert plain_format(when) == text and native == seen == calls
    general = Stamp(*when.timetuple()[:6], when.microsecond, tzinfo=when.tzinfo)
    assert to_c(when, 0) == to_c(general, 0) == text
    assert write(Cookie("a", "b", when)) == write(Cookie("a", "b", general)) == b"a=b; Expires=" + text
    assert_no_leaks(datetime_to_cookie_format, when)


@pytest.mark.parametrize("when, exc, message", [
    (dt.datetime(2015, 1, 1, tzinfo=Zone("boom")), KeyError, "'utcoffset'"),
    (Stamp(2015, 1, 1, tzinfo=Zone("boom")), KeyError, "'utcoffset'"),
    (dt.datetime(1, 1, 1, 0, 30, tzinfo=PLUS2), OverflowError, "date value out of range"),
    (dt.datetime(2015, 1, 1, tzinfo=Zone(30)), ValueError, None),
])
def test_date_formatting_conversion_errors(when, exc, message):
    for fn in (datetime_to_cookie_format, lambda w: write(Cookie("a", "b", w))):
        with pytest.raises(exc) as info:
            fn(when)
        assert message is None or str(info.value) == message
    assert_no_leaks(datetime_to_cookie_format, when)


@pytest.mark.parametrize("fn, arg, exc, message", [
    (datetime_to_cookie_format, None, AttributeError, "'NoneType' object has no attribute 'strftime'"),
    (datetime_to_cookie_format, "x", TypeError, ARG.format("value", "datetime.datetime", "str")),
    (datetime_to_cookie_format, dt.date(2020, 1, 1), TypeError, ARG.format("value", "datetime.datetime", "datetime.date")),
    (datetime_from_cookie_format, None, AttributeError, "'NoneType' object has no attribute 'decode'"),
    (datetime_from_cookie_format, "x", TypeError, ARG.format("value", "bytes", "str")),
    (datetime_from_cookie_format, bytearray(b"x"), TypeError, ARG.format("value", "bytes", "bytearray")),
    (datetime_from_cookie_format, b"\xff", UnicodeDecodeError, None),
    (datetime_from_cookie_format, b"", ValueError, None),
    (datetime_from_cookie_format, b"not a date", ValueError, None),
])
def test_date_errors(fn, arg, exc, message):
    with pytest.raises(exc) as info:
        fn(arg)
    if message:
        assert str(info.value) == message
    assert info.traceback[-1].name == fn.__name__ or fn.__name__ in "".join(traceback.format_tb(info.tb))
    assert_no_leaks(fn, arg)
    raises(TypeError, f"{fn.__name__}() takes exactly 1 positional argument (0 given)", fn)


def test_date_parser_is_looked_up_at_each_call(monkeypatch):
    monkeypatch.setattr(kc, "parsedate_to_datetime", lambda text: WHEN.replace(tzinfo=PLUS2))
    assert datetime_from_cookie_format(b"anything") == WHEN and datetime_from_cookie_format(b"x").tzinfo is None
    class Odd:
        def replace(self, tzinfo):
            return dt.date(2020, 1, 1) if tzinfo is None else None

    monkeypatch.setattr(kc, "parsedate_to_datetime", lambda text: Odd())
    raises(TypeError, "Cannot convert datetime.date to datetime.datetime", datetime_from_cookie_format, b"x")
    monkeypatch.setattr(kc, "parsedate_to_datetime", lambda text: None)
    raises(AttributeError, "'NoneType' object has no attribute 'replace'", datetime_from_cookie_format, b"x")
    monkeypatch.delattr(kc, "parsedate_to_datetime")
    raises(NameError, "name 'parsedate_to_datetime' is not defined", datetime_from_cookie_format, b"x")


def general_path(monkeypatch):
    """Rebinds the date parser to a wrapper of the standard one: the native reading steps aside."""
    standard = kc.parsedate_to_datetime
    monkeypatch.setattr(kc, "parsedate_to_datetime", lambda text: standard(text))


def expires_of(raw):
    return parse_cookie(b"a=b; Expires=" + raw).expires


@pytest.mark.parametrize("raw", [
    b"Wed, 21 Oct 2015 07:28:00 GMT", b"Wed,21 Oct 2015 07:28:00 GMT", b"xx,21 Oct 2015 07:28", b"wednesday 21 oct 15 7:28",
    b"21 Oct 68 07:28:00 -0000", b"21 Oct 69 07:28:00 +0000", b"21 Oct 2015 07:28:00 -0", b"Oct 21 2015 07.28 EDT",
    b"Wed Oct 21 07:28:00 2015", b"Wednesday, 21-Oct-15 07:28:00 GMT", b"21 Oct 2015 07:28:00+0200", b"21 Oct 2015 07:28:00-0930",
    b"21 Oct 2015 07:28:00 PsT", b"21 Oct 2015 07:28:00 Z", b"21 Oct 2015 07:28:00 CET", b"21 Oct 2015 07:28:00 +2400",
    b"21 Oct 2015 07:28:00 -99999999", b"21 Oct 2015 07:28:00 +1234567890123456789", b"21 Oct 1_999 0_7:28:00",
    b"21 Oct +15 -7:28", b"31 Feb 2015 07:28", b"21 Oct 10000 07:28", b"21 Oct 2147483648 07:28",
    b"21 Oct 99999999999999999999 07:28", b"21 Oct 2015 24:00", b"21 Oct 2015 07:28:00:00", b"21 Oct 2015 07::00",
    b"21 Oct 2015,", b"\x1c21\x1fOct\x0b2015\x0c07:28", b"21\xc2\xa0Oct 2015 07:28", "21 \u212aan 2015 07:28".encode(),
    "\uff12\uff11 Oct 2015 07:28 E\u017fT".encode(), b"21 Oct 2015 07:28 \xed\xa0\x80", b"", b"   ", b"21 Oct",
    b"21 Oct " + b"9" * 5000 + b" 07:28",
])
def test_date_reading_matches_the_standard_function(raw, monkeypatch):
    native = date_texts.outcome(datetime_from_cookie_format, raw)
    assert native == date_texts.standard_outcome(raw)
    in_cookie = native if raw else (type(None), None, None)  # an empty Expires is absent
    for step in (lambda: None, lambda: general_path(monkeypatch)):
        step()
        assert date_texts.outcome(datetime_from_cookie_format, raw) == native
        assert date_texts.outcome(expires_of, raw) == in_cookie
    monkeypatch.undo()
    assert_no_leaks(datetime_from_cookie_format, raw)


@pytest.mark.parametrize("seed", range(3))
def test_date_reading_over_generated_texts(seed, monkeypatch):
    texts = date_texts.date_bytes(seed, 1500)
    native = [date_texts.outcome(datetime_from_cookie_format, raw) for raw in texts]
    assert native == [date_texts.standard_outcome(raw) for raw in texts]
    general_path(monkeypatch)
    assert [date_texts.outcome(datetime_from_cookie_format, raw) for raw in texts] == native


@pytest.mark.parametrize("seed", range(2))
def test_fixed_form_dates_read_as_the_general_steps(seed):
    for raw in date_texts.fixdate_bytes(seed, 1500):
        native = date_texts.outcome(datetime_from_cookie_format, raw)
        spaced = date_texts.outcome(datetime_from_cookie_format, b" " + raw)  # no longer the fixed form
        if spaced[0] == "raised":
            spaced = spaced[:2] + (spaced[2].replace('" ', '"', 1),)
        assert native == date_texts.standard_outcome(raw) == spaced == date_texts.outcome(expires_of, raw)
    assert_no_leaks(datetime_from_cookie_format, b"Wed, 32 Oct 2015 07:28:00 GMT")


@pytest.mark.parametrize("change", [
    lambda mp: mp.setattr(email.utils, "_parsedate_tz", lambda d: [1999, 2, 3, 4, 5, 6, 0, 1, -1, None]),
    lambda mp: mp.setattr(email._parseaddr, "_timezones", {"GMT": 2400}),
    lambda mp: mp.setitem(email._parseaddr._timezones, "GMT", -2400),
    lambda mp: mp.setattr(email.utils.parsedate_to_datetime, "__code__",
                          (lambda data: datetime.datetime(1999, 1, 1)).__code__),
    lambda mp: mp.setattr(dt, "datetime", Stamp),
], ids=["parser", "zone table", "zone entry", "code", "datetime class"])
def test_date_reading_follows_changes_behind_the_standard_function(change, monkeypatch):
    raws = [b"Wed, 21 Oct 2015 07:28:00 GMT", b"21 Oct 15 07:28 +0200"]
    before = [date_texts.outcome(datetime_from_cookie_format, raw) for raw in raws]
    change(monkeypatch)
    changed = [date_texts.standard_outcome(raw) for raw in raws]
    assert changed != before
    assert [date_texts.outcome(datetime_from_cookie_format, raw) for raw in raws] == changed
    assert [date_texts.outcome(expires_of, raw) for raw in raws] == changed
    monkeypatch.undo()
    assert [date_texts.outcome(datetime_from_cookie_format, raw) for raw in raws] == before


@pytest.mark.parametrize("digits", [640, 0])
def test_date_reading_follows_the_integer_digit_limit(digits):
    raw, limit = b"21 Oct " + b"1" * 700 + b" 07:28", sys.get_int_max_str_digits()
    try:
        sys.set_int_max_str_digits(digits)
        assert date_texts.outcome(datetime_from_cookie_format, raw) == date_texts.standard_outcome(raw)
    finally:
        sys.set_int_max_str_digits(limit)


def test_date_entries_through_the_table():
    to_c = capi_function(kc, "datetime_to_cookie_format", ctypes.py_object, ctypes.py_object, ctypes.c_int)
    from_c = capi_function(kc, "datetime_from_cookie_format", ctypes.py_object, ctypes.py_object, ctypes.c_int)
    assert to_c(WHEN, 0) == b"Wed, 21 Oct 2015 07:28:00 GMT"
    assert from_c(b"Wed, 21 Oct 2015 07:28:00 GMT", 1) == dt.datetime(2015, 10, 21, 7, 28)
    raises(AttributeError, "'NoneType' object has no attribute 'strftime'", to_c, None, 0)
    raises(AttributeError, "'NoneType' object has no attribute 'decode'", from_c, None, 0)
    assert_no_leaks(to_c, WHEN, 0)
    assert_no_leaks(from_c, b"bad", 0)


# --------------------------------------------------------------------------
# Pickling


def test_cookie_pickling():
    c = Cookie("a", "b", WHEN, "d", "/", True, False, 5, Mode.LAX)
    assert c.__reduce__() == (kc.__pyx_unpickle_Cookie, (Cookie, 0x2035A3D, None),
                              ("a", "b", "d", WHEN, True, 5, "/", Mode.LAX, False))
    for copy_ in (pickle.loads(pickle.dumps(c)), copy.copy(c), copy.deepcopy(c)):
        assert (copy_.name, copy_.value, copy_.expires, copy_.domain, copy_.path) == ("a", "b", WHEN, "d", "/")
        assert (copy_.http_only, copy_.secure, copy_.max_age, copy_.same_site) == (True, False, 5, Mode.LAX)
    bare = Cookie.__new__(Cookie)
    assert bare.__reduce__() == (kc.__pyx_unpickle_Cookie,
                                 (Cookie, 0x2035A3D, (None, None, None, None, False, 0, None, Mode.UNDEFINED, False)))
    s = Sub("a", "b")
    s.extra = [1]
    r = s.__reduce__()
    assert len(r) == 3 and r[2][-1] == {"extra": [1]}
    back = pickle.loads(pickle.dumps(s))
    assert type(back) is Sub and back.extra == [1] and back.name == "a"
    assert kc.__pyx_unpickle_Cookie.__module__ == "kelvarn.cookies"
    assert kc.__pyx_unpickle_Cookie.__qualname__ == "__pyx_unpickle_Cookie"
    assert_no_leaks(pickle.dumps, s)
    assert_no_leaks(lambda: pickle.loads(pickle.dumps(c)))


def test_cookie_state_bypasses_the_setters():
    u = kc.__pyx_unpickle_Cookie
    c = u(Cookie, 0xC44A7B0, ("", "x" * 5000, None, None, 0, 1.9, None, 7, 0))
    assert (c.name, len(c.value), c.max_age, c.same_site) == ("", 5000, 1, Mode(7))
    assert u(Cookie, 0xE7407DB, None).name is None
    raises(pickle.PickleError, "Incompatible checksums (0x1 vs (0x2035a3d, 0xc44a7b0, 0xe7407db) = "
           "(_name, _value, domain, expires, http_only, max_age, path, same_site, secure))", u, Cookie, 1, None)
    raises(TypeError, "Expected str, got bytes", u, Cookie, 0x2035A3D, (b"a",) + (None,) * 8)
    raises(TypeError, "Cannot convert str to datetime.datetime", u, Cookie, 0x2035A3D,
           ("a", "b", None, "x", 0, 0, None, 0, 0))
    raises(TypeError, "Expected tuple, got list", u, Cookie, 0x2035A3D, [])
    c = Cookie("a", "b")
    raises(TypeError, "'NoneType' object is not subscriptable", c.__setstate__, None)
    raises(TypeError, "an integer is required", c.__setstate__, ("z", "y", "d", None, 1, "x", None, 0, 0))
    assert (c.name, c.value, c.domain, c.http_only, c.max_age) == ("z", "y", "d", True, -1)
    with pytest.raises(pickle.PickleError) as info:
        u(Cookie, 2, None)
    entry = traceback.extract_tb(info.tb)[-1]
    assert (entry.name, entry.filename) == ("kelvarn.cookies.__pyx_unpickle_Cookie", "<stringsource>")
    for args in [(Cookie, 1, None), (Cookie, 0x2035A3D, ("a", "b", None, "x", 0, 0, None, 0, 0))]:
        assert_no_leaks(u, *args)


@pytest.mark.parametrize("cls", [CookieError, CookieValueExceedsMaximumLength])
def test_exception_pickling(cls):
    name = "__pyx_unpickle_" + cls.__name__
    u = getattr(kc, name)
    e = u(cls, 0xE3B0C44, None)
    assert type(e) is cls and e.args == ()
    assert type(u(cls, 0xDA39A3E, ())) is cls and u(cls, 0xD41D8CD, ({"x": 1},)).x == 1
    raises(pickle.PickleError, "Incompatible checksums (0x5 vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())", u, cls, 5, None)
    assert "__reduce__" not in cls.__dict__
    assert_no_leaks(u, cls, 5, None)


def test_exception_round_trips():
    e = pickle.loads(pickle.dumps(CookieError("m")))
    assert type(e) is CookieError and e.args == ("m",)
    raises(TypeError, "__init__() takes exactly 0 positional arguments (1 given)", pickle.loads,
           pickle.dumps(CookieValueExceedsMaximumLength()))


# --------------------------------------------------------------------------
# Leaks of the remaining operations


@pytest.mark.parametrize("op", [
    lambda: Cookie("a", "b", WHEN, "d", "/", True, True, 1, 2),
    lambda: Cookie("a", "b").same_site,
    lambda: repr(Cookie("a", "b")),
    lambda: Cookie("a", "b") == Cookie("a", "b"),
    lambda: Cookie("a", "b") != "b",
    lambda: CookieError("m"),
    lambda: CookieError(1),
    lambda: CookieValueExceedsMaximumLength(),
    lambda: Cookie("a", "b").__setstate__(None),
    lambda: datetime_to_cookie_format(WHEN),
    lambda: datetime_from_cookie_format(b"Wed, 21 Oct 2015 07:28:00 GMT"),
    lambda: setattr(Cookie("a", "b"), "value", "\ud800"),
])
def test_no_leaks(op):
    assert_no_leaks(op)


# ---------------------------------------------------------------------------
# Pickling state: the tuple under construction is not visible to Python code


def test_cookie_reduce_builds_state_before_python_code_can_see_it():
    run_child(
        """
        import gc
        import kelvarn.cookies as module
        from kelvarn.cookies import Cookie

        original = module.CookieSameSiteMode
        seen = []

        class Meta(type):
            def __getattr__(cls, name):
                # Everything the collector tracks is reachable from here.
                for o in gc.get_objects():
                    if type(o) is tuple and len(o) == 9 and o and o[0] == "marker-name":
                        seen.append(list(o))
                return getattr(original, name)

        class Mode(metaclass=Meta):
            pass

        cookie = Cookie("marker-name", "v")
        module.CookieSameSiteMode = Mode
        try:
            state = cookie.__reduce__()[2]
        finally:
            module.CookieSameSiteMode = original
        assert state[0] == "marker-name" and state[7] == original.UNDEFINED
        print("ok")
        """
    )


# ---------------------------------------------------------------------------
# Dates formatted through the time.strftime in use


write = capi_function(kc, "write_cookie_for_response", ctypes.py_object, ctypes.py_object)


@pytest.mark.parametrize("when", [dt.datetime(2015, 10, 21, 7, 28), dt.datetime(1999, 1, 2, 3, 4, 5)])
def test_date_text_comes_from_the_time_strftime_in_use(monkeypatch, when):
    # A datetime's strftime hands its work to time.strftime, looked up at
    # each call; the formatted date follows it.
    import time

    monkeypatch.setattr(time, "strftime", lambda fmt, tt: f"[{fmt}|{tt.tm_year}]")
    expected = when.strftime("%a, %d %b %Y %H:%M:%S GMT").encode()
    assert expected == f"[%a, %d %b %Y %H:%M:%S GMT|{when.year}]".encode()
    assert kc.datetime_to_cookie_format(when) == expected
    assert write(Cookie("a", "b", when)) == b"a=b; Expires=" + expected
    monkeypatch.undo()
    assert kc.datetime_to_cookie_format(when) == when.strftime("%a, %d %b %Y %H:%M:%S GMT").encode()
    assert_no_leaks(kc.datetime_to_cookie_format, when)


# ---------------------------------------------------------------------------
# Module initialisation: the validated types, the SameSite class step and the
# imports (in fresh processes)


PRELUDE = """
import sys, traceback, warnings
def attempt():
    try:
        import kelvarn.cookies as kc
    except BaseException as e:
        tb = traceback.extract_tb(e.__traceback__)[-1]
        print("FAIL", type(e).__name__, "|", e, "|", tb.name, "|", tb.filename)
        return None
    print("OK")
    return kc
"""


def run(body):
    code = PRELUDE + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


@pytest.mark.parametrize("patch, line", [
    ("import datetime; datetime.datetime = 1",
     "FAIL TypeError | datetime.datetime is not a type object | init kelvarn.cookies | kelvarn/cookies.cpp"),
    ("import builtins, datetime; datetime.date = object",
     "FAIL ValueError | datetime.date size changed, may indicate binary incompatibility. Expected 32 from C "
     "header, got 16 from PyObject | init kelvarn.cookies | kelvarn/cookies.cpp"),
    ("import enum; enum.IntFlag = None",
     "FAIL TypeError | 'NoneType' object is not callable | init kelvarn.cookies | <stringsource>"),
    ("import urllib.parse; del urllib.parse.unquote",
     "FAIL ImportError | cannot import name unquote | init kelvarn.cookies | kelvarn/cookies.cpp"),
])
def test_failed_exec_step_and_retry(patch, line):
    out = run(f"""
        import importlib
        saved = {{m: dict(vars(sys.modules[m])) for m in ("datetime", "enum", "urllib.parse") if importlib.import_module(m)}}
        {patch}
        attempt()
        for m, d in saved.items():
            vars(sys.modules[m]).update(d)
        kc = attempt()
        print(list(kc.CookieSameSiteMode), kc.parse_cookie(b"a=b; SameSite=Lax").same_site)
    """)
    assert out[0] == line
    assert out[1:] == ["OK", "[<CookieSameSiteMode.UNDEFINED: 0>, <CookieSameSiteMode.LAX: 1>, "
                       "<CookieSameSiteMode.STRICT: 2>, <CookieSameSiteMode.NONE: 3>] 1"]


def test_larger_type_only_warns():
    out = run("""
        import datetime
        datetime.tzinfo = datetime.datetime
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            attempt()
        print([str(w.message) for w in caught if w.category is RuntimeWarning])
    """)
    assert out == ["OK", "['datetime.tzinfo size changed, may indicate binary incompatibility. Expected 16 from C "
                   "header, got 48 from PyObject']"]


def test_module_entry_in_namespace_names_the_enum_module():
    out = run("""
        import enum
        real = enum.IntFlag
        def spy(*args, **kwargs):
            print("module=" + kwargs["module"])
            return real(*args, **kwargs)
        enum.IntFlag = spy
        kc = attempt()
        enum.IntFlag = real
        print(kc.CookieSameSiteMode.__module__, kc.CookieSameSiteMode._member_names_)
    """)
    assert out == ["module=kelvarn.cookies", "OK", "kelvarn.cookies ['UNDEFINED', 'LAX', 'STRICT', 'NONE']"]


def test_retried_exec_step_validates_every_type_again():
    # The first attempt fails at datetime.time after date was accepted; the
    # second meets a date that is no type and must refuse it too.
    code = textwrap.dedent("""
        import datetime, sys
        saved = dict(vars(datetime))
        def attempt():
            try:
                import kelvarn.cookies
            except BaseException as e:
                print(type(e).__name__, e)
            else:
                print("OK")
        datetime.time = object
        attempt()
        datetime.time = saved["time"]
        datetime.date = 1
        attempt()
        datetime.date = saved["date"]
        attempt()
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "ValueError datetime.time size changed, may indicate binary incompatibility. Expected 40 from C header, "
        "got 16 from PyObject",
        "TypeError datetime.date is not a type object",
        "OK",
    ]
