"""kelvarn.url: construction, composition and helper edge cases found in
review, each with the behaviour that the fix establishes."""

import subprocess
import sys
import textwrap
import types

import pytest

import kelvarn.url as url_module
from kelvarn.url import URL
from support import assert_no_leaks


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
