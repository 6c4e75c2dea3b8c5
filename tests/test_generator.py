"""The generator objects of the frame, through Header.__iter__ (and the
Headers generators once they exist)."""

import copy
import gc
import pickle
import sys
import traceback
import types
import warnings
import weakref

import pytest

import kelvarn.headers as mod
from kelvarn.headers import Header, Headers

from support import assert_no_leaks


def gen(name=b"a", value=b"b"):
    return iter(Header(name, value))


def started():
    g = gen()
    assert next(g) == b"a"
    return g


def assert_finished(g):
    with pytest.raises(StopIteration):
        next(g)
    assert not g.gi_suspended


def test_iterates_name_then_value():
    g = gen()
    assert iter(g) is g
    assert next(g) == b"a"
    assert g.send(None) == b"b"
    with pytest.raises(StopIteration) as info:
        next(g)
    assert info.value.value is None
    assert_finished(g)


def test_each_iteration_is_a_new_generator_reading_the_current_fields():
    h = Header(b"a", b"b")
    g1, g2 = iter(h), iter(h)
    assert g1 is not g2
    assert next(g1) == b"a"
    h.__init__(b"c", b"d")
    assert next(g1) == b"d"
    assert list(g2) == [b"c", b"d"]
    assert list(h.__iter__()) == [b"c", b"d"]


def test_attributes():
    g = gen()
    assert g.__name__ == "__iter__"
    assert g.__qualname__ == "Header.__iter__"
    assert g.__module__ == "kelvarn.headers"
    assert g.gi_running is False
    assert g.gi_frame is None
    assert g.gi_yieldfrom is None
    assert isinstance(g.gi_code, types.CodeType)
    assert g.gi_code.co_name == "__iter__"
    assert not g.gi_suspended
    next(g)
    assert g.gi_suspended


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_name_setters(attr):
    g = gen()
    setattr(g, attr, "renamed")
    assert getattr(g, attr) == "renamed"
    # Only this generator is renamed.
    assert getattr(gen(), attr) != "renamed"

    class Text(str):
        pass

    setattr(g, attr, Text("sub"))
    assert getattr(g, attr) == "sub"
    for bad in (b"x", None, 1):
        with pytest.raises(TypeError) as info:
            setattr(g, attr, bad)
        assert str(info.value) == f"{attr} must be set to a string object"
    with pytest.raises(TypeError) as info:
        delattr(g, attr)
    assert str(info.value) == f"{attr} must be set to a string object"
    assert getattr(g, attr) == "sub"


def test_send():
    g = gen()
    with pytest.raises(TypeError) as info:
        g.send(1)
    assert str(info.value) == "can't send non-None value to a just-started generator"
    assert next(g) == b"a"  # the refused send did not start or end it
    assert g.send(123) == b"b"  # after the start any value is accepted
    with pytest.raises(StopIteration):
        g.send(1)
    with pytest.raises(StopIteration):
        g.send(None)


class Custom(Exception):
    pass


@pytest.mark.parametrize("args, check", [
    ((Custom,), lambda e: type(e) is Custom and e.args == ()),
    ((Custom("x"),), lambda e: type(e) is Custom and e.args == ("x",)),
    ((Custom, "v"), lambda e: type(e) is Custom and e.args == ("v",)),
    ((Custom, ("v", 2)), lambda e: type(e) is Custom and e.args == ("v", 2)),
    ((Custom, None), lambda e: type(e) is Custom and e.args == ()),
    ((Exception, Custom("i")), lambda e: type(e) is Custom and e.args == ("i",)),
    ((Custom, None, None), lambda e: type(e) is Custom),
])
@pytest.mark.parametrize("start", [False, True])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_throw_forms(args, check, start):
    g = started() if start else gen()
    with pytest.raises(BaseException) as info:
        g.throw(*args)
    assert check(info.value)
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "kelvarn.headers.Header.__iter__"
    assert_finished(g)


@pytest.mark.parametrize("args", [(Custom, "v"), (Custom, None, None)])
def test_throw_with_several_arguments_warns_as_python_generators_do(args):
    g = started()
    with pytest.warns(DeprecationWarning, match=r"^the \(type, exc, tb\) signature of throw\(\) is deprecated, "
                      r"use the single-arg signature instead\.$"):
        with pytest.raises(Custom):
            g.throw(*args)
    g = started()
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            g.throw(*args)
    assert next(g) == b"b"  # the refused call left the generator where it was


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_throw_with_traceback():
    try:
        raise Custom("t")
    except Custom as e:
        tb = e.__traceback__
    g = started()
    with pytest.raises(Custom) as info:
        g.throw(Custom, None, tb)
    # As for Python generators: the caller, the generator, then the given traceback.
    frames = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert frames == ["test_throw_with_traceback", "kelvarn.headers.Header.__iter__", "test_throw_with_traceback"]


@pytest.mark.parametrize("args, message", [
    ((), "throw expected at least 1 argument, got 0"),
    ((Custom, None, None, None), "throw expected at most 3 arguments, got 4"),
    ((1,), "exceptions must be classes or instances deriving from BaseException, not int"),
    ((Custom("x"), "v"), "instance exception may not have a separate value"),
    ((Custom, None, 1), "throw() third argument must be a traceback object"),
])
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_throw_argument_errors_leave_the_generator_alone(args, message):
    g = started()
    with pytest.raises(TypeError) as info:
        g.throw(*args)
    assert str(info.value) == message
    assert next(g) == b"b"


def test_stop_iteration_thrown_into_an_unstarted_generator_passes_unchanged():
    g = gen()
    stop = StopIteration("s")
    with pytest.raises(StopIteration) as info:
        g.throw(stop)
    assert info.value is stop
    assert [f.name for f in traceback.extract_tb(info.value.__traceback__)][-1] == "kelvarn.headers.Header.__iter__"
    assert_finished(g)


def test_stop_iteration_thrown_into_a_started_generator_becomes_runtime_error():
    g = started()
    stop = StopIteration("s")
    with pytest.raises(RuntimeError) as info:
        g.throw(stop)
    assert str(info.value) == "generator raised StopIteration"
    assert info.value.__cause__ is stop
    assert info.value.__suppress_context__
    assert_finished(g)


def test_stop_iteration_subclass_also_converted():
    class Stop(StopIteration):
        pass

    g = started()
    with pytest.raises(RuntimeError) as info:
        g.throw(Stop)
    assert type(info.value.__cause__) is Stop


def test_generator_exit_thrown_in_propagates():
    g = started()
    with pytest.raises(GeneratorExit):
        g.throw(GeneratorExit)
    assert_finished(g)


@pytest.mark.parametrize("steps", [0, 1, 2, 3])
def test_close(steps):
    g = gen()
    for _ in range(min(steps, 2)):
        next(g)
    if steps == 3:
        with pytest.raises(StopIteration):
            next(g)
    assert g.close() is None
    assert g.close() is None
    assert_finished(g)


def test_not_picklable_or_copyable():
    g = started()
    message = f"cannot pickle '{type(g).__name__}' object"
    for action in (pickle.dumps, copy.copy, copy.deepcopy, lambda x: x.__reduce__(), lambda x: x.__reduce_ex__(2)):
        with pytest.raises(TypeError) as info:
            action(g)
        assert str(info.value) == message
    assert next(g) == b"b"


def test_generator_type_not_exposed():
    g = gen()
    assert type(g).__name__ not in vars(mod)
    with pytest.raises(TypeError):
        type(g)()


class Sub(Header):
    pass


@pytest.mark.parametrize("steps", [0, 1, 2, 3])
def test_destroyed_generator_releases_its_header(steps):
    hooks = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = hooks.append
    try:
        h = Sub(b"a", b"b")
        ref = weakref.ref(h)
        g = iter(h)
        for _ in range(steps):
            next(g, None)
        del h, g
        assert ref() is None  # freed at once: no cycle, no leak
        gc.collect()
    finally:
        sys.unraisablehook = old_hook
    assert hooks == []


def test_generator_in_a_cycle_is_collected():
    h = Sub(b"a", b"b")
    ref = weakref.ref(h)
    g = iter(h)
    next(g)
    h.g = g  # h -> g -> scope -> h
    del h, g
    gc.collect()
    assert ref() is None


def test_many_live_generators_then_reuse():
    # More live generators than the state free list holds, then all released.
    gens = [iter(Header(bytes([65 + i % 26]), b"v")) for i in range(40)]
    assert [next(g) for g in gens] == [bytes([65 + i % 26]) for i in range(40)]
    del gens
    assert [list(iter(Header(b"x", bytes([i])))) for i in range(20)] == [[b"x", bytes([i])] for i in range(20)]


def _exhaust():
    list(iter(Header(b"a", b"b")))


def _partial():
    g = iter(Header(b"a", b"b"))
    next(g)


def _throw():
    g = iter(Header(b"a", b"b"))
    next(g)
    g.throw(Custom("x"))


def _throw_stop():
    iter(Header(b"a", b"b")).throw(StopIteration)


def _send_refused():
    iter(Header(b"a", b"b")).send(1)


def _close():
    g = iter(Header(b"a", b"b"))
    next(g)
    g.close()


def _rename():
    g = iter(Header(b"a", b"b"))
    g.__name__ = "x"
    g.__qualname__ = "y"
    g.__name__ = 1


def _pickle():
    pickle.dumps(iter(Header(b"a", b"b")))


@pytest.mark.parametrize("fn", [_exhaust, _partial, _throw, _throw_stop, _send_refused, _close, _rename, _pickle])
def test_no_leaks(fn):
    assert_no_leaks(fn, repeat=1000)


@pytest.mark.skipif(not hasattr(mod, "Headers"), reason="Headers not built yet")
@pytest.mark.parametrize("make, name, qualname", [
    (lambda h: h.items(), "items", "Headers.items"),
    (lambda h: iter(h), "__iter__", "Headers.__iter__"),
])
def test_headers_generators_delegate(make, name, qualname):
    entries = [(b"a", b"1"), (b"b", b"2")]
    h = mod.Headers(entries)
    g = make(h)
    assert (g.__name__, g.__qualname__) == (name, qualname)
    assert g.gi_yieldfrom is None
    assert next(g) == (b"a", b"1")
    assert g.gi_yieldfrom is not None
    assert list(g) == [(b"b", b"2")]
    assert g.gi_yieldfrom is None
    with pytest.raises(TypeError) as info:
        pickle.dumps(make(h))
    assert str(info.value) == f"cannot pickle '{type(g).__name__}' object"
    g = make(h)
    next(g)
    with pytest.raises(AttributeError):
        g.send(1)  # the list iterator has no send
    assert_finished(g)
    g = make(h)
    next(g)
    with pytest.raises(Custom):
        g.throw(Custom)
    assert_finished(g)
    none = mod.Headers.__new__(mod.Headers)
    g = make(none)
    with pytest.raises(TypeError) as info:
        next(g)
    assert str(info.value) == "'NoneType' object is not iterable"


@pytest.mark.skipif(not hasattr(mod, "Headers"), reason="Headers not built yet")
def test_reentry_from_inside_is_refused():
    # The old entry list, held only by the exhausted sub-iterator, is freed
    # while the generator runs; an entry's __del__ then tries to resume it.
    seen = []

    class Reenter:
        def __del__(self):
            seen.append(g.gi_running)
            for action in (lambda: next(g), lambda: g.send(None), lambda: g.throw(Custom), g.close):
                try:
                    action()
                except ValueError as e:
                    seen.append(str(e))

    h = mod.Headers([Reenter()])
    g = iter(h)
    next(g)
    h.__init__([])
    with pytest.raises(StopIteration):
        next(g)
    assert seen == [True] + ["generator already executing"] * 4
    assert g.gi_running is False
    assert_finished(g)


def test_cycle_through_a_renamed_generator_is_collected():
    class Name(str):
        pass

    g = iter(Header(b"a", b"b"))
    name = Name("renamed")
    name.owner = g
    g.__name__ = name
    probe = weakref.ref(name)
    del g, name
    gc.collect()
    assert probe() is None


# ---------------------------------------------------------------------------
# StopIteration thrown into a Headers generator that delegates to the entry list


def delegating(entries):
    def items():
        yield from entries

    return items()


class Stop(StopIteration):
    pass


def outcome(action):
    try:
        return ("value", action())
    except BaseException as exc:  # noqa: B036 - the outcome is compared
        return (type(exc), str(exc), type(exc.__cause__))


@pytest.mark.parametrize("thrown", [StopIteration, StopIteration("s"), Stop])
@pytest.mark.parametrize("make", [lambda e: Headers(e).items(), lambda e: iter(Headers(e))])
def test_stop_iteration_thrown_into_a_delegating_generator_ends_the_delegation(make, thrown):
    # As in `yield from`: the StopIteration that reaches the suspension point
    # ends the delegation, and the body then finishes normally.
    entries = [(b"a", b"1"), (b"b", b"2")]
    ours, python = make(entries), delegating(entries)
    assert next(ours) == next(python)
    assert outcome(lambda: ours.throw(thrown)) == outcome(lambda: python.throw(thrown)) == (StopIteration, "", type(None))
    assert ours.gi_yieldfrom is None and not ours.gi_suspended
    assert outcome(lambda: next(ours)) == outcome(lambda: next(python))


def test_stop_iteration_thrown_into_a_delegating_generator_does_not_leak():
    def once():
        g = Headers([(b"a", b"1")]).items()
        next(g)
        g.throw(StopIteration)

    assert_no_leaks(once)
