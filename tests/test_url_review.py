"""kelvarn.url: construction, composition and helper edge cases found in
review, each with the behaviour that the fix establishes."""

import collections
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
