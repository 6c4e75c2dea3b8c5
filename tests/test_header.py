"""Header: construction, repr, unpacking, comparison, attributes and pickling."""

import copy
import gc
import pickle
import weakref

import pytest

import kelvarn.headers as mod
from kelvarn.headers import Header

from support import assert_no_leaks, run_reinit_on_bytes_warning

UNPICKLE = mod.__pyx_unpickle_Header
CHECKSUMS = (0xAAF55BF, 0xE891E3F, 0xFA7A105)


class SubBytes(bytes):
    pass


class Sub(Header):
    pass


class Slotted(Header):
    __slots__ = ()


# ---------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize("name, value", [(b"a", b"b"), (b"", b""), (None, None), (b"a", None), (None, b"v"),
                                         (b"\x00\xff", b"x" * 10000)])
def test_construct(name, value):
    for h in (Header(name, value), Header(name=name, value=value), Header(name, value=value)):
        assert h.name is name and h.value is value


def type_error(param, got):
    return f"Argument '{param}' has incorrect type (expected bytes, got {got})"


@pytest.mark.parametrize("name, value, message", [
    ("a", b"b", type_error("name", "str")),
    (b"a", 1, type_error("value", "int")),
    (SubBytes(b"a"), b"b", type_error("name", "SubBytes")),
    (b"a", SubBytes(b"b"), type_error("value", "SubBytes")),
    (bytearray(b"a"), b"b", type_error("name", "bytearray")),
    (memoryview(b"a"), b"b", type_error("name", "memoryview")),
    (b"a", Header(b"x", b"y"), type_error("value", "kelvarn.headers.Header")),
    ("a", 1, type_error("name", "str")),  # name is checked first
])
def test_construct_type_errors(name, value, message):
    with pytest.raises(TypeError) as info:
        Header(name, value)
    assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        Header(value=value, name=name)
    assert str(info.value) == message


def test_reinit_replaces_and_failed_reinit_keeps():
    h = Header(b"a", b"b")
    assert h.__init__(b"c", None) is None
    assert (h.name, h.value) == (b"c", None)
    with pytest.raises(TypeError):
        h.__init__(b"new", "bad")
    with pytest.raises(TypeError):
        h.__init__(b"new")
    assert (h.name, h.value) == (b"c", None)


def test_new_without_init():
    h = Header.__new__(Header)
    assert h.name is None and h.value is None
    assert repr(h) == "<Header None: None>"
    s = Header.__new__(Sub)
    assert type(s) is Sub and s.name is None


# ---------------------------------------------------------------------------
# repr


@pytest.mark.parametrize("name, value, text", [
    (b"Content-Type", b"text/html", "<Header b'Content-Type': b'text/html'>"),
    (None, None, "<Header None: None>"),
    (b"", None, "<Header b'': None>"),
    (b"\xc4'", b'"\n', "<Header b\"\\xc4'\": b'\"\\n'>"),
])
def test_repr(name, value, text):
    h = Header(name, value)
    assert repr(h) == text
    assert str(h) == text
    assert repr(Sub(name, value)) == text


def test_repr_of_long_fields():
    h = Header(b"n" * 5000, b"\xe9" * 3000)
    assert repr(h) == "<Header " + repr(b"n" * 5000) + ": " + repr(b"\xe9" * 3000) + ">"


def test_repr_errors_propagate():
    # Under -bb, str() of bytes raises: the field text is produced by str().
    import subprocess
    import sys
    import textwrap

    source = textwrap.dedent("""
        import traceback
        from kelvarn.headers import Header
        print(repr(Header(None, None)))
        for h in (Header(b'a', None), Header(None, b'v')):
            try:
                repr(h)
            except BytesWarning as e:
                last = traceback.extract_tb(e.__traceback__)[-1]
                print(e, last.name, last.filename, sep='|')
    """)
    proc = subprocess.run([sys.executable, "-bb", "-c", source], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    entry = "str() on a bytes instance|kelvarn.headers.Header.__repr__|kelvarn/headers.cpp"
    assert proc.stdout.splitlines() == ["<Header None: None>", entry, entry]


# ---------------------------------------------------------------------------
# Unpacking


def test_unpacking():
    name, value = Header(b"a", b"b")
    assert (name, value) == (b"a", b"b")
    assert tuple(Header(b"a", None)) == (b"a", None)
    assert list(Sub(b"x", b"y")) == [b"x", b"y"]
    with pytest.raises(ValueError):
        a, b, c = Header(b"a", b"b")
    it = iter(Header(b"a", b"b"))
    assert [next(it), next(it)] == [b"a", b"b"]
    with pytest.raises(StopIteration):
        next(it)
    assert dict([Header(b"k", b"v")]) == {b"k": b"v"}


# ---------------------------------------------------------------------------
# Comparison


@pytest.mark.parametrize("a, b, equal", [
    ((b"Content-Type", b"x"), (b"content-type", b"x"), True),
    ((b"X", b"a"), (b"x", b"A"), False),
    ((b"X", b"a"), (b"x", b"a"), True),
    ((b"\xc4", b""), (b"\xe4", b""), False),
    ((b"@[", b""), (b"`{", b""), False),  # only A-Z fold
    ((b"ab", b""), (b"abc", b""), False),
    ((b"a", None), (b"A", None), True),
    ((b"a", None), (b"a", b""), False),
    ((b"", b""), (b"", b""), True),
])
def test_equality(a, b, equal):
    x, y = Header(*a), Header(*b)
    for left, right in ((x, y), (y, x), (Sub(*a), y), (x, Sub(*b))):
        assert (left == right) is equal
        assert (left != right) is (not equal)


@pytest.mark.parametrize("other", [(b"a", b"b"), [b"a", b"b"], b"a", None, 1, object()])
def test_not_equal_to_other_types(other):
    h = Header(b"a", b"b")
    assert h.__eq__(other) is NotImplemented
    assert h.__ne__(other) is NotImplemented
    assert (h == other) is False
    assert (h != other) is True


def test_identity_fallback_and_ordering():
    h = Header(b"a", b"b")
    assert h == h
    for op in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(h, op)(Header(b"a", b"c")) is NotImplemented
    with pytest.raises(TypeError):
        h < Header(b"a", b"c")
    with pytest.raises(TypeError):
        h >= Header(b"a", b"c")


@pytest.mark.parametrize("a, b", [((None, b""), (b"a", b"")), ((b"a", b""), (None, b"")), ((None, b""), (None, b""))])
def test_equality_with_none_name(a, b):
    for op in ("__eq__", "__ne__"):
        with pytest.raises(AttributeError) as info:
            getattr(Header(*a), op)(Header(*b))
        assert str(info.value) == "'NoneType' object has no attribute 'lower'"


class Weird:
    """A name whose lowered form compares to 0 or raises."""

    def __init__(self, result):
        self.result = result

    def lower(self):
        return self

    def __eq__(self, other):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class Overridden(Header):
    name = property(lambda self: self._name)
    value = property(lambda self: self._value)

    def __init__(self, name, value):
        super().__init__(None, None)
        self._name, self._value = name, value


def test_equality_reads_attributes_of_subclasses():
    # Attribute lookup and ordinary method calls: overrides apply.
    assert Overridden(b"X", b"v") == Header(b"x", b"v")
    assert Overridden("x", b"v") != Header(b"x", b"v")  # str vs bytes
    assert Overridden("x", "v") == Overridden("X", "v")
    # A false result of the name comparison is returned as it stands.
    assert Overridden(Weird(0), b"v").__eq__(Overridden(Weird(0), b"v")) == 0
    assert type(Overridden(Weird(0), b"v").__eq__(Overridden(Weird(0), b"v"))) is int
    assert Overridden(Weird(0), b"v").__ne__(Overridden(Weird(0), b"v")) is True
    # A true one hands over to the value comparison.
    assert Overridden(Weird(1), 3).__eq__(Overridden(Weird(1), 3)) is True
    with pytest.raises(KeyError):
        Overridden(Weird(KeyError("k")), b"").__eq__(Header(b"a", b""))


def test_equality_truth_test_errors_propagate():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        Overridden(Weird(Bad()), b"").__eq__(Header(b"a", b""))
    with pytest.raises(ZeroDivisionError):
        Overridden(Weird(1), Weird(Bad())).__ne__(Overridden(Weird(1), b""))


def test_value_comparison_order():
    # other.value == self.value: the other side's __eq__ runs first.
    seen = []

    class Value:
        def __init__(self, tag):
            self.tag = tag

        def __eq__(self, other):
            seen.append(self.tag)
            return NotImplemented

    assert (Overridden(b"a", Value("self")) == Overridden(b"a", Value("other"))) is False
    assert seen[0] == "other"


def test_unhashable():
    with pytest.raises(TypeError) as info:
        hash(Header(b"a", b"b"))
    assert str(info.value) == "unhashable type: 'kelvarn.headers.Header'"
    assert Header.__hash__ is None
    with pytest.raises(TypeError):
        {Header(b"a", b"b")}


# ---------------------------------------------------------------------------
# Attributes


@pytest.mark.parametrize("attr", ["name", "value"])
def test_fields_are_read_only(attr):
    h = Header(b"a", b"b")
    message = f"attribute '{attr}' of 'kelvarn.headers.Header' objects is not writable"
    with pytest.raises(AttributeError) as info:
        setattr(h, attr, b"x")
    assert str(info.value) == message
    with pytest.raises(AttributeError) as info:
        delattr(h, attr)
    assert str(info.value) == message
    assert (h.name, h.value) == (b"a", b"b")


def test_no_instance_dict_or_weakref():
    h = Header(b"a", b"b")
    with pytest.raises(AttributeError):
        h.other = 1
    with pytest.raises(AttributeError):
        h.__dict__
    with pytest.raises(TypeError) as info:
        weakref.ref(h)
    assert str(info.value) == "cannot create weak reference to 'kelvarn.headers.Header' object"
    assert not gc.is_tracked(h)
    with pytest.raises(AttributeError):
        Slotted(b"a", b"b").other = 1


def test_python_subclass_gets_dict_and_weakref():
    s = Sub(b"a", b"b")
    s.other = 1
    assert s.__dict__ == {"other": 1}
    ref = weakref.ref(s)
    assert ref() is s
    del s
    assert ref() is None


# ---------------------------------------------------------------------------
# Pickling


def test_reduce_forms():
    h = Header(b"a", b"b")
    assert h.__reduce__() == (UNPICKLE, (Header, 0xAAF55BF, None), (b"a", b"b"))
    assert Header.__new__(Header).__reduce__() == (UNPICKLE, (Header, 0xAAF55BF, (None, None)))
    assert Header(None, b"v").__reduce__() == (UNPICKLE, (Header, 0xAAF55BF, None), (None, b"v"))
    assert Header(b"n", None).__reduce__() == (UNPICKLE, (Header, 0xAAF55BF, None), (b"n", None))
    # A subclass instance always has a __dict__: three items of state, the 3-tuple form.
    assert Sub(None, None).__reduce__() == (UNPICKLE, (Sub, 0xAAF55BF, None), (None, None, {}))
    s = Sub(b"a", b"b")
    s.x = [1]
    assert s.__reduce__() == (UNPICKLE, (Sub, 0xAAF55BF, None), (b"a", b"b", {"x": [1]}))
    assert Slotted(None, None).__reduce__() == (UNPICKLE, (Slotted, 0xAAF55BF, (None, None)))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("make", [lambda: Header(b"a", b"b"), lambda: Header(None, None),
                                  lambda: Header(b"N", None), lambda: Sub(b"a", b"b")])
def test_round_trip(protocol, make):
    h = make()
    h2 = pickle.loads(pickle.dumps(h, protocol))
    assert type(h2) is type(h)
    assert (h2.name, h2.value) == (h.name, h.value)


def test_round_trip_keeps_subclass_attributes():
    s = Sub(b"a", b"b")
    s.x = {"k": [1, 2]}
    for clone in (pickle.loads(pickle.dumps(s)), copy.deepcopy(s)):
        assert type(clone) is Sub and clone.x == s.x and clone.x is not s.x
        assert (clone.name, clone.value) == (b"a", b"b")
    shallow = copy.copy(s)
    assert shallow.x is s.x and shallow is not s


def test_copy():
    h = Header(b"a", b"b")
    for clone in (copy.copy(h), copy.deepcopy(h)):
        assert clone is not h and clone == h and clone.name is h.name


def test_reduce_looks_up_the_reconstructor_each_time(monkeypatch):
    marker = object()
    monkeypatch.setattr(mod, "__pyx_unpickle_Header", marker)
    assert Header(b"a", b"b").__reduce__()[0] is marker
    monkeypatch.delattr(mod, "__pyx_unpickle_Header")
    with pytest.raises(NameError) as info:
        Header(b"a", b"b").__reduce__()
    assert str(info.value) == "name '__pyx_unpickle_Header' is not defined"
    import builtins
    monkeypatch.setattr(builtins, "__pyx_unpickle_Header", marker, raising=False)
    assert Header(b"a", b"b").__reduce__()[0] is marker


@pytest.mark.parametrize("checksum", CHECKSUMS)
def test_reconstructor_accepts_each_checksum(checksum):
    h = UNPICKLE(Header, checksum, (b"a", b"b"))
    assert type(h) is Header and (h.name, h.value) == (b"a", b"b")
    h = UNPICKLE(Header, checksum, None)
    assert h.name is None and h.value is None
    s = UNPICKLE(Sub, checksum, (b"a", b"b", {"x": 1}))
    assert type(s) is Sub and s.x == 1


def test_reconstructor_does_not_run_init():
    class Counting(Header):
        calls = 0

        def __init__(self, *args):
            Counting.calls += 1
            super().__init__(*args)

    c = UNPICKLE(Counting, CHECKSUMS[0], (b"a", b"b"))
    assert Counting.calls == 0 and c.name == b"a"


@pytest.mark.parametrize("cls, state, error, message", [
    (Header, [b"a", b"b"], TypeError, "Expected tuple, got list"),
    (Header, ("a", b"b"), TypeError, "Expected bytes, got str"),
    (Header, (b"a", SubBytes(b"b")), TypeError, "Expected bytes, got SubBytes"),
    (int, None, TypeError, "kelvarn.headers.Header.__new__(int): int is not a subtype of kelvarn.headers.Header"),
    (1, None, TypeError, None),
    (Sub, (b"a", b"b", 1), TypeError, None),  # dict.update(1)
])
def test_reconstructor_errors(cls, state, error, message):
    with pytest.raises(error) as info:
        UNPICKLE(cls, CHECKSUMS[0], state)
    if message is not None:
        assert str(info.value) == message


def test_rejected_checksum_message():
    with pytest.raises(pickle.PickleError) as info:
        UNPICKLE(Header, 1, None)
    assert str(info.value) == "Incompatible checksums (0x1 vs (0xaaf55bf, 0xe891e3f, 0xfa7a105) = (name, value))"


def test_setstate():
    h = Header(b"a", b"b")
    assert h.__setstate__((b"c", None)) is None
    assert (h.name, h.value) == (b"c", None)
    assert h.__setstate__(__pyx_state=(None, b"d")) is None
    assert (h.name, h.value) == (None, b"d")
    h.__setstate__((b"e", b"f", {"ignored": 1}))  # no __dict__: the extra item is ignored
    assert (h.name, h.value) == (b"e", b"f")
    s = Sub(b"a", b"b")
    s.__setstate__((b"c", b"d", {"x": 2}))
    assert s.x == 2 and s.name == b"c"


@pytest.mark.parametrize("state, error, message", [
    (None, TypeError, "'NoneType' object is not subscriptable"),
    ([b"x", b"y"], TypeError, "Expected tuple, got list"),
    ((b"x", 1), TypeError, "Expected bytes, got int"),
    ((1, b"y"), TypeError, "Expected bytes, got int"),
    ((b"x",), IndexError, None),
    ((), IndexError, None),
])
def test_setstate_errors_keep_what_was_assigned(state, error, message):
    h = Header(b"a", b"b")
    with pytest.raises(error) as info:
        h.__setstate__(state)
    if message is not None:
        assert str(info.value) == message
    if isinstance(state, tuple) and state and type(state[0]) is bytes:
        assert h.name == state[0]  # assigned before the failing item
    else:
        assert h.name == b"a"
    assert h.value == b"b"


# ---------------------------------------------------------------------------
# Reference leaks over every operation, error paths included


class Named(Header):
    pass


_h = Header(b"Content-Type", b"text/html")
_o = Header(b"content-type", b"text/html")
_s = Named(b"a", b"b")
_s.attr = [1]
_pickled = pickle.dumps(_s)

LEAK_CASES = {
    "init": lambda: Header(b"a", b"b"),
    "init_kw": lambda: Header(name=b"a", value=b"b"),
    "init_none": lambda: Header(None, None),
    "reinit": lambda: _h.__init__(b"Content-Type", b"text/html"),
    "init_bad_name": lambda: Header("a", b"b"),
    "init_bad_value": lambda: Header(b"a", 1),
    "init_count": lambda: Header(b"a"),
    "init_unexpected": lambda: Header(b"a", b"b", c=1),
    "init_multiple": lambda: Header(b"a", name=b"b"),
    "init_nonstr_key": lambda: Header(**{1: 2}),
    "subclass": lambda: Named(b"a", b"b"),
    "new": lambda: Header.__new__(Header),
    "repr": lambda: repr(_h),
    "repr_none": lambda: repr(Header(None, None)),
    "eq": lambda: _h == _o,
    "ne": lambda: _h != _o,
    "eq_false": lambda: _h == Header(b"x", b"y"),
    "eq_tuple": lambda: _h == (b"a", b"b"),
    "eq_sub": lambda: _s == _h,
    "eq_none_error": lambda: Header(None, b"") == _h,
    "lt_error": lambda: _h < _o,
    "hash_error": lambda: hash(_h),
    "iter": lambda: list(_h),
    "unpack": lambda: tuple(_h),
    "getattr": lambda: (_h.name, _h.value),
    "setattr_error": lambda: setattr(_h, "name", b"x"),
    "newattr_error": lambda: setattr(_h, "x", 1),
    "weakref_error": lambda: weakref.ref(_h),
    "reduce": lambda: _h.__reduce__(),
    "reduce_sub": lambda: _s.__reduce__(),
    "reduce_error": lambda: _h.__reduce__(1),
    "reduce_foreign": lambda: Header.__reduce__(1),
    "unbound": lambda: Header.__reduce__(),
    "setstate": lambda: Header(None, None).__setstate__((b"a", b"b")),
    "setstate_error": lambda: Header(None, None).__setstate__((b"a", 1)),
    "setstate_none": lambda: _h.__setstate__(None),
    "setstate_short": lambda: Header(None, None).__setstate__((b"a",)),
    "unpickle": lambda: UNPICKLE(Header, CHECKSUMS[1], (b"a", b"b")),
    "unpickle_float": lambda: UNPICKLE(Header, 179262911.5, None),
    "unpickle_bad_checksum": lambda: UNPICKLE(Header, 5, None),
    "unpickle_bad_int": lambda: UNPICKLE(Header, "5", None),
    "unpickle_overflow": lambda: UNPICKLE(Header, 2**40, None),
    "unpickle_bad_state": lambda: UNPICKLE(Header, CHECKSUMS[0], [1]),
    "unpickle_bad_type": lambda: UNPICKLE(int, CHECKSUMS[0], None),
    "pickle": lambda: pickle.loads(pickle.dumps(_h)),
    "pickle_sub": lambda: pickle.loads(_pickled),
    "copy": lambda: copy.copy(_h),
    "deepcopy": lambda: copy.deepcopy(_s),
}


@pytest.mark.parametrize("name", list(LEAK_CASES))
def test_no_leaks(name):
    # Many calls: pickle and the allocator settle slowly, a real leak grows with every call.
    assert_no_leaks(LEAK_CASES[name], repeat=1000, warmup=300)


# ---------------------------------------------------------------------------
# Text forms of stored bytes: with -b, str() of bytes warns, and a warning hook
# may re-initialise the header whose field is being shown


def test_repr_holds_the_name_across_a_bytes_warning():
    run_reinit_on_bytes_warning(
        "from kelvarn.headers import Header; obj = Header(fresh('name'), fresh('value')); new = (b'n', b'v')",
        "repr(obj)",
        # the value is read after the hook has run for the name
        "result == \"<Header b'name\" + 'x' * 40 + \"': b'v'>\"",
    )
