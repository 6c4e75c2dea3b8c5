"""Headers: construction, lookups, name matching, iteration and the None state."""

import gc
import weakref

import pytest

from kelvarn.headers import Header, Headers
from support import assert_no_leaks

SAMPLE = [(b"Content-Type", b"a"), (b"X-Id", b"1"), (b"content-type", b"b")]


def sample():
    return Headers(list(SAMPLE))


def test_construction_shares_the_callers_list():
    lst = [(b"a", b"1")]
    h = Headers(lst)
    assert h.values is lst
    h.add(b"b", b"2")
    assert lst == [(b"a", b"1"), (b"b", b"2")]
    assert Headers().values == [] and Headers(None).values == [] and Headers(values=None).values == []
    h.__init__([(b"c", b"3")])
    assert h.values == [(b"c", b"3")]


@pytest.mark.parametrize("arg, got", [({b"a": b"b"}, "dict"), (((b"a", b"b"),), "tuple"),
                                      (type("L", (list,), {})(), "L"), ("ab", "str")])
def test_construction_refuses_non_lists(arg, got):
    with pytest.raises(TypeError, match=rf"^Argument 'values' has incorrect type \(expected list, got {got}\)$"):
        Headers(arg)


def test_lookups_ignore_ascii_case_only():
    h = sample()
    assert h.get(b"CONTENT-TYPE") == (b"a", b"b")
    assert h[b"content-TYPE"] == (b"a", b"b")
    assert h.get_first(b"content-type") == b"a"
    assert h.get_single(b"x-id") == b"1"
    assert h.keys() == (b"Content-Type", b"X-Id", b"content-type")
    assert h.contains(b"X-ID") is True and b"x-id" in h
    tuples = h.get_tuples(b"Content-type")
    assert tuples == [SAMPLE[0], SAMPLE[2]] and tuples[0] is h.values[0] and tuples[1] is h.values[2]
    assert h.values == SAMPLE  # stored names are never rewritten


@pytest.mark.parametrize("stored, key", [(b"\xc4", b"\xe4"), (b"@", b"`"), (b"[", b"{"), (b"^", b"~"),
                                         (b"a", b"a\x00"), (b"ab", b"a")])
def test_only_letters_a_to_z_fold(stored, key):
    h = Headers([(stored, b"v")])
    assert h.get(key) == () and h.get_tuples(key) == [] and h.get_first(key) is None
    assert not h.contains(key) and key not in h
    assert Headers([(key, b"v")]).get(stored) == ()


def test_missing_name():
    h = sample()
    assert (h.get(b"missing"), h.get_tuples(b"missing"), h[b"missing"]) == ((), [], ())
    assert h.get_first(b"missing") is None and b"missing" not in h
    with pytest.raises(ValueError, match="^Headers does not contain one header with the given key$"):
        h.get_single(b"missing")
    with pytest.raises(ValueError, match="^Headers contains more than one header with the given key$"):
        h.get_single(b"content-type")


def test_iteration_items_repr_truth_len():
    h = sample()
    assert list(h) == list(h.items()) == SAMPLE
    assert [a is b for a, b in zip(h, h.values)] == [True] * 3
    assert repr(h) == str(h) == "<Headers [(b'Content-Type', b'a'), (b'X-Id', b'1'), (b'content-type', b'b')]>"
    assert repr(Headers()) == "<Headers []>" and repr(Headers.__new__(Headers)) == "<Headers None>"
    assert bool(Headers()) is True
    with pytest.raises(TypeError):
        len(h)
    g = h.items()
    assert (g.__name__, g.__qualname__) == ("items", "Headers.items")
    assert iter(h).__qualname__ == "Headers.__iter__"
    h.values.append((b"late", b"x"))  # the list is read when the generator starts
    assert list(g)[-1] == (b"late", b"x")
    with pytest.raises(TypeError):
        hash(Header(b"a", b"b"))
    assert h != Headers(list(SAMPLE)) and h == h


@pytest.mark.parametrize("call", [lambda h: h.get("a"), lambda h: h.get_tuples(b"a".decode()),
                                  lambda h: h.get_first(bytearray(b"a")), lambda h: h.contains(1),
                                  lambda h: h["a"], lambda h: "a" in h, lambda h: h[0],
                                  lambda h: h.get_single(type("B", (bytes,), {})(b"a"))])
def test_keys_must_be_exact_bytes(call):
    with pytest.raises(TypeError, match=r"^Argument '(name|key|item)' has incorrect type \(expected bytes, got "):
        call(sample())


# Entries that are not well-formed tuples: what each lookup reports.
NOT_ITERABLE = (TypeError, "'NoneType' object is not iterable")
NOT_SUBSCRIPTABLE = (TypeError, "'NoneType' object is not subscriptable")
HEADER_ENTRY = (TypeError, "Expected tuple, got kelvarn.headers.Header")


@pytest.mark.parametrize("entries, call, error", [
    ([None], lambda h: h.get(b"a"), NOT_SUBSCRIPTABLE),
    ([None], lambda h: h.get_tuples(b"a"), NOT_SUBSCRIPTABLE),
    ([[b"a", b"1"]], lambda h: h.get_first(b"a"), (TypeError, "Expected tuple, got list")),
    ([Header(b"a", b"b")], lambda h: h.get(b"a"), HEADER_ENTRY),
    ([(b"a", 1)], lambda h: h.get_first(b"a"), (TypeError, "Expected bytes, got int")),
    ([(b"a", b"1", b"2")], lambda h: h.keys(), (ValueError, "too many values to unpack (expected 2)")),
    ([(b"a",)], lambda h: h.contains(b"a"), (ValueError, "need more than 1 value to unpack")),
    ([()], lambda h: h.keys(), (ValueError, "need more than 0 values to unpack")),
    ([None], lambda h: h.contains(b"a"), (TypeError, "'NoneType' object is not iterable")),
    ([(b"a", 1)], lambda h: h.keys(), (TypeError, "Expected bytes, got int")),
    ([("a", b"1")], lambda h: h.contains(b"a"), (TypeError, "Expected bytes, got str")),
    ([(None, b"1")], lambda h: h.contains(b"a"), (AttributeError, "'NoneType' object has no attribute 'lower'")),
    ([(None, b"1")], lambda h: h.get(b"a"), (AttributeError, "'NoneType' object has no attribute 'lower'")),
    ([(1, b"1")], lambda h: h.get(b"a"), (AttributeError, "'int' object has no attribute 'lower'")),
    # A stored tuple shorter than needed is never read past its end.
    ([()], lambda h: h.get(b"a"), (IndexError, "tuple index out of range")),
    ([(b"A",)], lambda h: h.get(b"a"), (IndexError, "tuple index out of range")),
    ([(b"A",)], lambda h: h.get_first(b"a"), (IndexError, "tuple index out of range")),
    ([(b"A",)], lambda h: h.get_single(b"a"), (IndexError, "tuple index out of range")),
    ([()], lambda h: h.remove(b"a"), (IndexError, "tuple index out of range")),
    # A None key reaching the lowercasing step, even with nothing to scan.
    ([], lambda h: h.get(None), (AttributeError, "'NoneType' object has no attribute 'lower'")),
    ([], lambda h: h.get_tuples(None), (AttributeError, "'NoneType' object has no attribute 'lower'")),
    ([], lambda h: h.get_first(None), (AttributeError, "'NoneType' object has no attribute 'lower'")),
    ([], lambda h: h.get_single(None), (AttributeError, "'NoneType' object has no attribute 'lower'")),
    ([], lambda h: h.contains(None), (AttributeError, "'NoneType' object has no attribute 'lower'")),
    ([], lambda h: h[None], (AttributeError, "'NoneType' object has no attribute 'lower'")),
    ([], lambda h: None in h, (AttributeError, "'NoneType' object has no attribute 'lower'")),
])
def test_lookup_errors(entries, call, error):
    h = Headers(list(entries))
    with pytest.raises(error[0]) as info:
        call(h)
    assert str(info.value) == error[1]
    assert h.values == entries


def test_short_and_odd_entries_that_do_not_match_are_fine():
    assert Headers([(b"A",), (b"b", b"2")]).get_tuples(b"a") == [(b"A",)]
    assert Headers([(b"b",), (b"a", b"2")]).get(b"a") == (b"2",)
    assert Headers([[b"b", b"2"], Header(b"c", b"3")]).keys() == (b"b", b"c")
    assert Headers([Header(b"c", b"3")]).contains(b"C")
    assert Headers([(b"d", None)]).get_first(b"d") is None
    assert Headers([(b"a", b"1"), ("A", b"2")]).get(b"a") == (b"1",)  # str name: no error, no match


class FoldBytes(bytes):
    def lower(self):
        return b"folded"


class BadLower(bytes):
    def lower(self):
        raise KeyError("lower failed")


def test_names_that_are_not_exact_bytes_use_their_own_lower():
    h = Headers([(FoldBytes(b"X"), b"1"), (b"Folded", b"2"), (b"x", b"3")])
    assert h.get(b"FOLDED") == (b"1", b"2")
    assert h.get_first(b"folded") == b"1" and h.get(b"x") == (b"3",)
    assert [e[1] for e in h.get_tuples(b"folded")] == [b"1", b"2"]
    h.remove(b"folded")
    assert h.values == [(b"x", b"3")]
    with pytest.raises(KeyError, match="lower failed"):
        Headers([(b"a", b"1"), (BadLower(b"y"), b"3")]).get(b"a")
    with pytest.raises(TypeError, match="^Expected bytes, got FoldBytes$"):
        Headers([(FoldBytes(b"X"), b"1")]).contains(b"folded")  # contains wants exact bytes names


def test_none_state():
    h = Headers.__new__(Headers)
    assert h.values is None
    for call in (lambda: h.get(b"a"), lambda: h.get_tuples(b"a"), lambda: h.get_first(b"a"),
                 lambda: h.get_single(b"a"), lambda: h.keys(), lambda: h.contains(b"a"), lambda: b"a" in h,
                 lambda: h[b"a"], lambda: next(h.items()), lambda: list(h), lambda: h.clone(),
                 lambda: h.remove(b"a"), lambda: h.set(b"a", b"1"), lambda: h + (b"a", b"1")):
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            call()
    for call in (lambda: h.add(b"a", b"1"), lambda: h.merge([(b"a", b"1")])):
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'append'$"):
            call()
    h.merge([None])  # nothing to append


def test_cycles_through_the_entry_list_are_collected():
    class Sub(Headers):
        pass
    s = Sub()
    s.values.append((b"self", s))
    ref = weakref.ref(s)
    assert s.values in gc.get_referents(s)
    del s
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("call", [
    lambda: Headers(list(SAMPLE)), lambda: Headers({}), lambda: sample().get(b"content-type"),
    lambda: sample().get_tuples(b"x-id"), lambda: sample().get_first(b"X-ID"), lambda: sample().get_single(b"x-id"),
    lambda: sample().get_single(b"content-type"), lambda: sample().get_single(b"nope"), lambda: sample().keys(),
    lambda: sample().contains(b"nope"), lambda: b"x-id" in sample(), lambda: sample()[b"x"], lambda: sample()["x"],
    lambda: list(sample()), lambda: list(sample().items()), lambda: repr(sample()),
    lambda: Headers([(FoldBytes(b"a"), b"1")]).get(b"folded"), lambda: Headers([(BadLower(b"a"), b"1")]).get(b"a"),
    lambda: Headers([(b"a",)]).get(b"a"), lambda: Headers([(b"a", 1)]).get_first(b"a"),
    lambda: Headers([(b"a", b"1", b"2")]).keys(), lambda: Headers([None]).get(b"a"), lambda: sample().get(None),
    lambda: Headers.__new__(Headers).keys(), lambda: next(Headers.__new__(Headers).items()),
])
def test_lookups_do_not_leak(call):
    assert_no_leaks(call)
