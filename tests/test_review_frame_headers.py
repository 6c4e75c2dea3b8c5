"""Headers and the shared frame: entry lists replaced while Python code runs,
operator slots inherited by Python subclasses, and generators delegating to
the entry list."""

import pytest

from kelvarn.headers import Header, Headers
from support import assert_no_leaks


class OtherLower(bytes):
    """A name equal to b"a" whose `lower` never matches."""

    def lower(self):
        return b"zzz"


def replacing_remove():
    # Removing (b"a", b"1") makes list.remove compare the earlier entries
    # with it; their second items replace the entry list while it runs.
    class Replace:
        def __eq__(self, other):
            h.__init__()
            [object() for _ in range(100)]
            return False

    h = Headers([(OtherLower(b"a"), Replace()), (OtherLower(b"a"), Replace()), (b"a", b"1")])
    h.remove(b"a")
    return h


def replacing_repr():
    class Replace:
        def __repr__(self):
            h.__init__()
            [object() for _ in range(100)]
            return "r"

    h = Headers([Replace(), Replace(), Replace()])
    return h, repr(h)


def test_remove_keeps_the_entry_list_alive_while_entries_compare():
    h = replacing_remove()
    # The old list was scanned to its end; the collection holds the new one.
    assert h.values == []
    assert_no_leaks(replacing_remove)


def test_repr_keeps_the_entry_list_alive_while_entries_print():
    h, text = replacing_repr()
    assert text == "<Headers [r, r, r]>"
    assert h.values == []
    assert_no_leaks(replacing_repr)


class Sub(Headers):
    pass


class DeclineAll(Headers):
    def _add_to_instance(self, instance, other):
        return NotImplemented


class RightAdd:
    def __radd__(self, other):
        return ("radd", type(other).__name__)


def iadd(target, other):
    target += other
    return target


@pytest.mark.parametrize("cls", [Headers, Sub, DeclineAll])
@pytest.mark.parametrize("other", [1, None, {b"a": b"1"}, b"ab"])
def test_in_place_add_of_an_unsupported_operand_raises_for_subclasses_too(cls, other):
    # A Python subclass inherits the in-place slot for its in-place
    # concatenation as well; that must not turn NotImplemented into a result.
    h = cls([(b"a", b"1")])
    with pytest.raises(TypeError) as info:
        iadd(h, other)
    assert str(info.value) == (
        f"unsupported operand type(s) for +=: '{type(h).__name__ if cls is not Headers else 'kelvarn.headers.Headers'}'"
        f" and '{type(other).__name__}'")
    assert h.values == [(b"a", b"1")]
    assert_no_leaks(lambda: iadd(cls(), other))


@pytest.mark.parametrize("cls", [Headers, Sub, DeclineAll])
def test_in_place_add_falls_back_to_the_right_operand(cls):
    h = cls([(b"a", b"1")])
    assert iadd(h, RightAdd()) == ("radd", cls.__name__)


def test_in_place_add_on_a_declining_subclass_uses_its_add():
    class Plus(DeclineAll):
        def __add__(self, other):
            return "added"

    assert iadd(Plus(), (b"a", b"1")) == "added"
    # The add slot of DeclineAll itself declines too, through the same method.
    with pytest.raises(TypeError):
        iadd(DeclineAll(), (b"a", b"1"))


class LenTwo(tuple):
    def __len__(self):
        return 2


class LenThree(tuple):
    def __len__(self):
        return 3


@pytest.mark.parametrize("other, wrap, outcome", [
    # The length test is Python's len(), so a tuple subclass's __len__ decides.
    (LenTwo((b"a", b"1", b"x")), False, "add() takes exactly 2 positional arguments (3 given)"),
    (LenThree((b"a", b"1")), False, "Cannot add, an invalid tuple (b'a', b'1')."),
    (LenTwo((b"a", b"1", b"x")), True, "add() takes exactly 2 positional arguments (3 given)"),
    (LenThree((b"a", b"1")), True,
     "The sequence contains invalid elements: cannot add (b'a', b'1') to Headers"),
])
def test_add_to_instance_measures_tuples_with_len(other, wrap, outcome):
    h = Headers()
    with pytest.raises((TypeError, ValueError)) as info:
        Headers._add_to_instance(h, [other] if wrap else other)
    assert str(info.value) == outcome
    assert h.values == []
    assert_no_leaks(lambda: Headers._add_to_instance(Headers(), [other] if wrap else other))


def test_add_to_instance_iterates_another_collection_as_it_changes():
    source = Headers([(b"a", b"1"), (b"b", b"2"), (b"c", b"3")])

    class Draining(Headers):
        def add(self, name, value):
            super().add(name, value)
            source.values.clear()

    # Iterating `source` yields its entries as they are at each step.
    assert Headers._add_to_instance(Draining(), source).values == [(b"a", b"1")]


@pytest.mark.parametrize("shared", [False, True])
def test_add_to_instance_of_a_collection_to_itself_takes_each_entry_once(shared):
    h = Headers([(b"a", b"1"), (b"b", b"2")])
    other = Headers(h.values) if shared else h
    assert Headers._add_to_instance(h, other) is h
    assert h.values == [(b"a", b"1"), (b"b", b"2")] * 2


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


def test_add_to_instance_of_a_header_looks_up_add_before_the_fields():
    seen = []

    class Tracing(Header):
        @property
        def name(self):
            seen.append("name")
            return b"a"

        @property
        def value(self):
            seen.append("value")
            return b"1"

    class Target(Headers):
        def __getattribute__(self, attr):
            if attr == "add":
                seen.append("add")
            return super().__getattribute__(attr)

    target = Target()
    assert Headers._add_to_instance(target, Tracing(None, None)) is target
    assert seen == ["add", "name", "value"]
    assert target.values == [(b"a", b"1")]
    # So an instance without `add` fails before the fields are read.
    seen.clear()
    with pytest.raises(AttributeError) as info:
        Headers._add_to_instance(1, Tracing(None, None))
    assert str(info.value) == "'int' object has no attribute 'add'"
    assert seen == []
