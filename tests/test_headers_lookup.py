"""Headers: construction, lookups, name matching, iteration and the None state."""

import gc
import weakref

import pytest

from kelvarn.headers import Header, Headers
from support import assert_no_leaks

SAMPLE = [(b"Content-Type", b"a"), (b"X-Id", b"1"), (b"content-type", b"b")]
NONE_LOWER = (AttributeError, "'NoneType' object has no attribute 'lower'")
SHORT = (IndexError, "tuple index out of range")


def sample():
    return Headers(list(SAMPLE))


class FoldBytes(bytes):
    def lower(self):
        return b"folded"


class BadLower(bytes):
    def lower(self):
        raise KeyError("lower failed")


def test_construction_shares_the_callers_list():
    lst = [(b"a", b"1")]
    h = Headers(lst)
    h.add(b"b", b"2")
    assert h.values is lst and lst == [(b"a", b"1"), (b"b", b"2")]
    assert Headers().values == Headers(None).values == Headers(values=None).values == []
    h.__init__([(b"c", b"3")])
    assert h.values == [(b"c", b"3")]
    for arg, got in [({b"a": b"b"}, "dict"), (((b"a", b"b"),), "tuple"), (type("L", (list,), {})(), "L")]:
        with pytest.raises(TypeError) as info:
            Headers(arg)
        assert str(info.value) == f"Argument 'values' has incorrect type (expected list, got {got})"


def test_lookups_ignore_ascii_case_and_keep_order():
    h = sample()
    assert h.get(b"CONTENT-TYPE") == h[b"content-TYPE"] == (b"a", b"b")
    assert h.get_first(b"content-type") == b"a" and h.get_single(b"x-id") == b"1"
    assert h.keys() == (b"Content-Type", b"X-Id", b"content-type")
    assert h.contains(b"X-ID") is True and b"x-id" in h
    tuples = h.get_tuples(b"Content-type")
    assert tuples == [SAMPLE[0], SAMPLE[2]] and tuples[0] is h.values[0] and tuples[1] is h.values[2]
    assert (h.get(b"missing"), h.get_tuples(b"missing"), h[b"missing"], h.get_first(b"missing")) == ((), [], (), None)
    assert b"missing" not in h and h.values == SAMPLE
    with pytest.raises(ValueError, match="^Headers does not contain one header with the given key$"):
        h.get_single(b"missing")
    with pytest.raises(ValueError, match="^Headers contains more than one header with the given key$"):
        h.get_single(b"content-type")


@pytest.mark.parametrize("stored, key", [(b"\xc4", b"\xe4"), (b"@", b"`"), (b"[", b"{"), (b"a", b"a\x00")])
def test_only_letters_a_to_z_fold(stored, key):
    for h, k in ((Headers([(stored, b"v")]), key), (Headers([(key, b"v")]), stored)):
        assert h.get(k) == () and h.get_first(k) is None and k not in h


def test_names_that_are_not_exact_bytes_use_their_own_lower():
    h = Headers([(FoldBytes(b"X"), b"1"), (b"Folded", b"2"), (b"x", b"3"), ("FOLDED", b"4")])
    assert h.get(b"FOLDED") == (b"1", b"2") and h.get_first(b"folded") == b"1" and h.get(b"x") == (b"3",)
    h.remove(b"folded")
    assert h.values == [(b"x", b"3"), ("FOLDED", b"4")]
    with pytest.raises(KeyError, match="lower failed"):
        Headers([(b"a", b"1"), (BadLower(b"y"), b"3")]).get(b"a")


def test_iteration_repr_truth():
    h = sample()
    assert list(h) == list(h.items()) == SAMPLE and all(a is b for a, b in zip(h, h.values))
    assert repr(h) == "<Headers [(b'Content-Type', b'a'), (b'X-Id', b'1'), (b'content-type', b'b')]>"
    assert repr(Headers.__new__(Headers)) == "<Headers None>" and bool(Headers()) is True
    g = h.items()
    assert (g.__name__, g.__qualname__, iter(h).__qualname__) == ("items", "Headers.items", "Headers.__iter__")
    h.values.append((b"late", b"x"))  # the list is read when the generator starts
    assert list(g)[-1] == (b"late", b"x") and h != sample()
    with pytest.raises(TypeError):
        len(h)


@pytest.mark.parametrize("entries, call, error", [
    ([], lambda h: h.get("a"), (TypeError, "Argument 'name' has incorrect type (expected bytes, got str)")),
    ([], lambda h: h.get_tuples(bytearray()), (TypeError, "Argument 'name' has incorrect type (expected bytes, "
                                                          "got bytearray)")),
    ([], lambda h: h.get_single(FoldBytes()), (TypeError, "Argument 'key' has incorrect type (expected bytes, "
                                                          "got FoldBytes)")),
    ([], lambda h: h[0], (TypeError, "Argument 'item' has incorrect type (expected bytes, got int)")),
    ([], lambda h: "a" in h, (TypeError, "Argument 'key' has incorrect type (expected bytes, got str)")),
    ([None], lambda h: h.get_tuples(b"a"), (TypeError, "'NoneType' object is not subscriptable")),
    ([[b"a", b"1"]], lambda h: h.get_first(b"a"), (TypeError, "Expected tuple, got list")),
    ([Header(b"a", b"b")], lambda h: h.get(b"a"), (TypeError, "Expected tuple, got kelvarn.headers.Header")),
    ([(b"a", 1)], lambda h: h.get_first(b"a"), (TypeError, "Expected bytes, got int")),
    ([(b"a", b"1", b"2")], lambda h: h.keys(), (ValueError, "too many values to unpack (expected 2)")),
    ([(b"a",)], lambda h: h.contains(b"a"), (ValueError, "need more than 1 value to unpack")),
    ([()], lambda h: h.keys(), (ValueError, "need more than 0 values to unpack")),
    ([None], lambda h: h.contains(b"a"), (TypeError, "'NoneType' object is not iterable")),
    ([("a", b"1")], lambda h: h.keys(), (TypeError, "Expected bytes, got str")),
    ([(b"zzz", 1)], lambda h: h.contains(b"a"), (TypeError, "Expected bytes, got int")),
    ([(FoldBytes(b"a"), b"1")], lambda h: h.contains(b"a"), (TypeError, "Expected bytes, got FoldBytes")),
    ([(None, b"1")], lambda h: h.contains(b"a"), NONE_LOWER),
    ([(None, b"1")], lambda h: h.get(b"a"), NONE_LOWER),
    ([(1, b"1")], lambda h: h.get(b"a"), (AttributeError, "'int' object has no attribute 'lower'")),
    ([()], lambda h: h.get(b"a"), SHORT), ([(b"A",)], lambda h: h.get(b"a"), SHORT),
    ([(b"A",)], lambda h: h.get_first(b"a"), SHORT), ([(b"A",)], lambda h: h.get_single(b"a"), SHORT),
] + [([], call, NONE_LOWER) for call in (lambda h: h.get(None), lambda h: h.get_tuples(None),
                                        lambda h: h.get_first(None), lambda h: h.contains(None),
                                        lambda h: h[None], lambda h: None in h)])
def test_lookup_errors(entries, call, error):
    h = Headers(list(entries))
    with pytest.raises(error[0]) as info:
        call(h)
    assert str(info.value) == error[1] and h.values == entries


def test_odd_entries_that_are_read_only_as_far_as_needed():
    assert Headers([(b"A",), (b"b", b"2")]).get_tuples(b"a") == [(b"A",)]
    assert Headers([(b"b",), (b"a", b"2")]).get(b"a") == (b"2",)
    assert Headers([[b"b", b"2"], Header(b"c", b"3")]).keys() == (b"b", b"c")
    assert Headers([Header(b"c", b"3")]).contains(b"C") and Headers([(b"d", None)]).get_first(b"d") is None


def test_none_state():
    h = Headers.__new__(Headers)
    for call in (lambda: h.get(b"a"), lambda: h.get_tuples(b"a"), lambda: h.get_first(b"a"),
                 lambda: h.get_single(b"a"), h.keys, lambda: h.contains(b"a"), lambda: b"a" in h, lambda: h[b"a"],
                 lambda: next(h.items()), lambda: list(h), h.clone, lambda: h.remove(b"a"),
                 lambda: h.set(b"a", b"1"), lambda: h + (b"a", b"1")):
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            call()
    for call in (lambda: h.add(b"a", b"1"), lambda: h.merge([(b"a", b"1")])):
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'append'$"):
            call()
    h.merge([None])
    assert h.values is None


def test_cycles_through_the_entry_list_are_collected():
    s = type("Sub", (Headers,), {})()
    s.values.append((b"self", s))
    ref = weakref.ref(s)
    assert s.values in gc.get_referents(s)
    del s
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("call", [
    lambda h: Headers(list(SAMPLE)), lambda h: Headers({}), lambda h: h.get(b"content-type"),
    lambda h: h.get_tuples(b"x-id"), lambda h: h.get_first(b"X-ID"), lambda h: h.get_single(b"x-id"),
    lambda h: h.get_single(b"content-type"), lambda h: h.get_single(b"no"), lambda h: h.keys(), lambda h: h.contains(b"no"),
    lambda h: b"x-id" in h, lambda h: h[b"x"], lambda h: h["x"], list, lambda h: list(h.items()), repr,
    lambda h: h.get(None), lambda h: Headers([(FoldBytes(b"a"), b"1")]).get(b"folded"),
    lambda h: Headers([(BadLower(b"a"), b"1")]).get(b"a"), lambda h: Headers([(b"a",)]).get(b"a"),
    lambda h: Headers([(b"a", 1)]).get_first(b"a"), lambda h: Headers([(b"a", b"1", b"2")]).keys(),
    lambda h: Headers([None]).get(b"a"), lambda h: Headers.__new__(Headers).keys(),
    lambda h: next(Headers.__new__(Headers).items()),
    lambda h: Headers([(b"a", b"1")] * 12).get(b"A"), lambda h: Headers([(b"a", b"1")] * 12).get_tuples(b"A"),
    lambda h: Headers([(b"a", b"1"), (b"b", b"2"), (Same(b"A"), b"3")]).get(b"a"),
    lambda h: Headers([(b"a", b"1"), (Same(b"b"), b"2")]).get_tuples(b"a"),
    lambda h: Headers([(b"a", b"1"), (Same(b"b"), b"2")]).get_first(b"b"),
    lambda h: Headers([(b"a", b"1"), Pair((b"b", b"2")), (b"c", None)]).contains(b"c"),
])
def test_lookups_do_not_leak(call):
    assert_no_leaks(lambda: call(sample()))


# ---------------------------------------------------------------------------
# The fast scans against the general path on the same entries


# A name that lowers as bytes do, but through its own method, and an entry
# that `contains` unpacks by iteration: both take the general path.
Same = type("Same", (bytes,), {"lower": lambda self: bytes.lower(self)})
Pair = type("Pair", (tuple,), {})


SCAN_CASES = [
    [(b"Host", b"h"), (b"CONTENT-TYPE", b"a"), (b"x", None), (b"content-type", b"b"), (b"Content-Typf", b"c")],
    [(b"a" if i % 2 else b"A", b"%d" % i) for i in range(19)],  # more matches than are gathered in place
    [(b"Ab", b"2"), (b"aB", None), (b"a", b"1"), (b"ab" * 9, b"4"), (b"AB" * 9, b"5"), (b"Ab" * 8 + b"a", b"6")],
    [(b"\xc4\xe4", b"1"), (b"[@]{`}", b"2"), (b"x-long-name-" * 3, b"3"), (b"X-LONG-NAME-" * 3, b"4"), (b"", b"5")],
]
SCAN_KEYS = [b"content-type", b"A", b"ab", b"AB" * 9, b"ab" * 8 + b"A", b"\xc4\xe4", b"[@]{`}", b"x-LONG-name-" * 3,
             b"", b"missing", b"abcdefgh"]


@pytest.mark.parametrize("entries", SCAN_CASES)
@pytest.mark.parametrize("slow_at", [0, 2, -1, None])
def test_fast_scans_agree_with_the_general_path(entries, slow_at):
    def general(make):
        at = range(len(entries)) if slow_at is None else [slow_at % len(entries)]
        return Headers([make(*e) if i in at else e for i, e in enumerate(entries)])

    plain = Headers(list(entries))
    own_lower = general(lambda n, v: (Same(n), v))
    iterated = general(lambda n, v: Pair((n, v)))
    for key in SCAN_KEYS:
        expected = tuple(v for n, v in entries if n.lower() == key.lower())
        assert plain.get(key) == own_lower.get(key) == plain[key] == expected
        assert plain.get_tuples(key) == own_lower.get_tuples(key) == [e for e in entries if e[0].lower() == key.lower()]
        assert plain.get_first(key) == own_lower.get_first(key) == (expected[0] if expected else None)
        assert (key in plain) == (key in iterated) == plain.contains(key) == iterated.contains(key) == bool(expected)


def clear_target(result):
    Clearing.target.values.clear()
    gc.collect()
    return result


# A name whose lower(), and an entry whose iteration, empties the entry list of `Clearing.target`.
Clearing = type("Clearing", (bytes,), {"target": None, "lower": lambda self: clear_target(b"zz")})
ClearingPair = type("ClearingPair", (tuple,), {"__iter__": lambda self: clear_target(iter((b"zz", b"1")))})


@pytest.mark.parametrize("call, slow, expected", [
    (lambda h: h.get(b"a"), (Clearing(b"q"), b"x"), (b"v0", b"v1")),
    (lambda h: h.get_tuples(b"a"), (Clearing(b"q"), b"x"), [(b"a", b"v0"), (b"A", b"v1")]),
    (lambda h: h.get_first(b"q"), (Clearing(b"q"), b"x"), None),
    (lambda h: h.contains(b"q"), ClearingPair(), False),
])
def test_matches_found_before_python_code_runs_stay_alive(call, slow, expected):
    # Python code run for an entry empties the entry list: what was matched
    # before is returned intact, and the scan ends.
    h = Clearing.target = Headers([(b"a", bytes(b"v0")), (b"A", b"v1".lower()), (b"b", b"2"), slow, (b"a", b"q")])
    assert call(h) == expected and h.values == []

# The entry list replaced while its entries print


def replacing_repr():
    class Replace:
        def __repr__(self):
            h.__init__()
            [object() for _ in range(100)]
            return "r"

    h = Headers([Replace(), Replace(), Replace()])
    return h, repr(h)


def test_repr_keeps_the_entry_list_alive_while_entries_print():
    h, text = replacing_repr()
    assert text == "<Headers [r, r, r]>"
    assert h.values == []
    assert_no_leaks(replacing_repr)


@pytest.mark.parametrize("n", [3, 12, 20])
def test_every_pair_of_bytes_folds_as_bytes_lower_does(n):
    # Names are compared a word or a vector at a time: each byte pair at the
    # first and the last position of names of several lengths.
    base = (b"aBcDeFgHiJkLmNoPqRsT" * 2)[:n]
    for pos in (0, n - 1):
        names = [base[:pos] + bytes([c]) + base[pos + 1:] for c in range(256)]
        keys = [name.swapcase() for name in names]
        for name in names:
            h = Headers([(name, b"v")])
            assert [h.get_first(key) is not None for key in keys] == [name.lower() == key.lower() for key in keys]
