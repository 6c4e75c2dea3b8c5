"""Cookies: the writer and the date functions when Python code runs in the middle of them."""

import ctypes
import datetime as dt
import gc
import subprocess
import sys
import textwrap

import pytest

import kelvarn.cookies as kc
from kelvarn.cookies import Cookie
from support import assert_no_leaks, capi_function

write = capi_function(kc, "write_cookie_for_response", ctypes.py_object, ctypes.py_object)


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
    expected = b"N=V; Domain=" + domain.encode() + b"; Path=" + path.encode()
    assert write(cookie) == expected
    assert cookie.domain is None and cookie.path is None
    assert_no_leaks(write, Cookie("a", "b", domain=domain, path=path))


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
