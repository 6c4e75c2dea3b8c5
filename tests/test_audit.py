"""Borrowed references kept across calls that run Python code.

Each scenario runs in a child interpreter: before its fix it reads freed
memory (a sanitizer report, a crash or a wrong result), which must not take
the test run down with it.
"""

import os
import subprocess
import sys
import textwrap

import pytest


def run_child(source, *flags):
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        # Freed blocks are overwritten, so that a read of one, even by the
        # uninstrumented interpreter, goes wrong visibly.
        env["ASAN_OPTIONS"] += ":max_free_fill_size=4096:free_fill_byte=85"
    proc = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(source)], capture_output=True, text=True, timeout=120,
        env=env,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.strip().splitlines()[-1:] == ["ok"], proc.stdout + proc.stderr


# ---------------------------------------------------------------------------
# Module globals consulted by isinstance() while their own check rebinds them


@pytest.mark.parametrize(
    "call",
    [
        "Headers().add_many([(b'a', b'b')])",
        "Headers() + [(b'a', b'b')]",
    ],
)
def test_headers_holds_rebound_class_global_during_isinstance(call):
    run_child(
        f"""
        import kelvarn.headers as module
        from kelvarn.headers import Headers

        original = module.MutableSequence

        class Meta(type):
            def __instancecheck__(cls, instance):
                module.MutableSequence = original  # releases the tuple being checked
                return False

        class Never(metaclass=Meta):
            pass

        # Longer than the tuples the interpreter keeps for reuse: released, it is freed.
        module.MutableSequence = (Never,) + (int,) * 24 + (list,)
        result = {call}
        assert module.MutableSequence is original
        print("ok")
        """
    )


# ---------------------------------------------------------------------------
# URL equality with a subclass whose `value` compares through Python code


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


# ---------------------------------------------------------------------------
# Text forms of stored byte strings: with -b, str() of bytes warns, and a
# warning hook may re-initialise the object whose field is being shown


@pytest.mark.parametrize(
    "setup, action, expected",
    [
        (
            "from kelvarn.headers import Header; obj = Header(fresh('name'), fresh('value')); new = (b'n', b'v')",
            "repr(obj)",
            # the value is read after the hook has run for the name
            "\"<Header b'name\" + 'x' * 40 + \"': b'v'>\"",
        ),
        (
            "from kelvarn.url import URL; obj = URL(fresh('http://example.com/')); new = (b'http://replaced.example/',)",
            "repr(obj)",
            "\"<URL b'http://example.com/\" + 'x' * 40 + \"'>\"",
        ),
        (
            "from kelvarn.url import URL; other = URL(fresh('http://example.com/')); "
            "base = URL(fresh('/base/')); obj = other; new = (b'http://replaced.example/',)",
            "base.join(other)",
            None,
        ),
    ],
)
def test_str_of_stored_bytes_holds_field_across_bytes_warning(setup, action, expected):
    run_child(
        f"""
        import warnings

        def fresh(text):
            return (text + "x" * 40).encode()

        {setup}

        def hook(*args, **kwargs):
            obj.__init__(*new)

        warnings.simplefilter("always", BytesWarning)
        warnings.showwarning = hook
        try:
            result = {action}
        except ValueError as error:
            result = str(error)
            assert result == (
                "Cannot concatenate to an absolute URL (b'/base/" + "x" * 40 + "' + b'http://example.com/"
                + "x" * 40 + "')"
            ), result
        else:
            assert result == {expected}, result
        print("ok")
        """,
        "-b",
    )


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
# __init__ keyword arguments: the dictionary that owns them may be emptied by
# Python code that runs during the argument conversions or the body


@pytest.mark.parametrize(
    "setup, call, check",
    [
        (
            "class Marker:\n"
            "    def __int__(self): empty_keywords(); return 5\n"
            "class Sub(Cookie): pass\n"
            "marker = Marker()",
            "Sub(**{'name': fresh('n'), 'value': fresh('v'), 'max_age': marker})",
            "obj.name == fresh('n') and obj.value == fresh('v') and obj.max_age == 5",
        ),
        (
            "class Marker(datetime.datetime): pass\n"
            "class Sub(Cookie):\n"
            "    @property\n"
            "    def name(self): return self._n\n"
            "    @name.setter\n"
            "    def name(self, v): empty_keywords(); self._n = v\n"
            "marker = Marker(2020, 1, 1)",
            "Sub(**{'name': fresh('n'), 'value': fresh('v'), 'domain': fresh('d'), 'expires': marker})",
            "obj.name == fresh('n') and obj.value == fresh('v') and obj.domain == fresh('d')",
        ),
    ],
    ids=["conversion", "body"],
)
def test_init_holds_keyword_arguments(setup, call, check):
    run_child(
        f"""
        import datetime
        import gc
        from kelvarn.cookies import Cookie

        def fresh(text):
            return text + "x" * 40

        def empty_keywords():
            # The dictionary of the call, found through the collector.
            for referrer in gc.get_referrers(marker):
                if type(referrer) is dict and "name" in referrer and "value" in referrer:
                    referrer.clear()

{textwrap.indent(setup, " " * 8)}
        obj = {call}
        assert {check}
        print("ok")
        """
    )
