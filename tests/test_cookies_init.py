"""Cookies module initialisation: the validated types, the SameSite class step and the imports (in fresh processes)."""

import subprocess
import sys
import textwrap

import pytest

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
