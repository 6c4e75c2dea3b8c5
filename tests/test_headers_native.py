"""Headers: the typed method table (override dispatch, calls from native code),
the module namespace, and pickling and copying."""

import copy
import ctypes
import pickle
import weakref

import pytest

import kelvarn.headers as mod
from kelvarn.headers import Header, Headers
from support import assert_no_leaks, capsule_name, vtable_slot

P, I = ctypes.py_object, ctypes.c_int
CHECKSUMS = (0x89445EA, 0x048B0CB, 0xF09CC7E)
UNPICKLE = mod.__pyx_unpickle_Headers

# The table in slot order: (method, C result, arguments between instance and flag).
SLOTS = [("keys", P, ()), ("clone", P, ()), ("get", P, (b"a",)), ("get_tuples", P, (b"a",)),
         ("add", None, (b"n", b"v")), ("set", None, (b"a", b"v")), ("get_single", P, (b"b",)),
         ("get_first", P, (b"a",)), ("remove", None, (b"a",)), ("merge", None, ([(b"m", b"1")],)),
         ("contains", I, (b"zz",))]


def slot(name):
    index = [s[0] for s in SLOTS].index(name)
    _, restype, args = SLOTS[index]
    return vtable_slot(Headers, index, restype, P, *([P] * len(args)), I)


def entries():
    return [(b"a", b"1"), (b"A", b"2"), (b"b", b"3")]


class Marker(Headers):
    pass


class WithAttrs(Headers):
    pass


def log(name):
    # The result is a new object, so a reference kept by the caller shows as a leak.
    return lambda self, *args: self.calls.append((name,) + args) or ["ignored"]


# Each override gives a recognisable result; the void ones record their call.
OVERRIDES = {"keys": lambda s: ("K",), "clone": lambda s: Marker([(b"c", b"1")]), "get": lambda s, n: ("G", n),
             "get_tuples": lambda s, n: ["T", n], "add": log("add"), "set": log("set"),
             "get_single": lambda s, k: b"S", "get_first": lambda s, k: b"F", "remove": log("remove"),
             "merge": log("merge"), "contains": lambda s, k: [1]}
Every = type("Every", (Headers,), dict(OVERRIDES))


def overriding(*names, cls=Headers):
    sub = type("Sub", (cls,), {n: OVERRIDES[n] for n in names})(entries())
    sub.calls = []
    return sub


@pytest.mark.parametrize("name, restype, args", SLOTS)
def test_slots_in_order_flag_1_runs_the_body_flag_0_the_override(name, restype, args):
    plain = Headers(entries())
    base = getattr(Headers, name)(plain, *args)
    sub = overriding(name)
    result = slot(name)(sub, *args, 1)
    if name == "clone":
        assert type(result) is Headers and result.values == base.values
    else:
        assert result == base
    assert sub.calls == [] and sub.values == plain.values
    sub.values[:] = entries()
    result = slot(name)(sub, *args, 0)
    if restype is None:
        assert result is None and sub.calls == [(name,) + args] and sub.values == entries()
    elif name == "clone":
        assert type(result) is Marker and result.values == [(b"c", b"1")]
    else:
        assert result == OVERRIDES[name](sub, *args) if restype is P else result == 1


def test_table_capsule_and_instance_pointer():
    capsule = Headers.__dict__["__pyx_vtable__"]
    assert capsule_name(capsule) is None and "__pyx_vtable__" not in Header.__dict__
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [P, ctypes.c_char_p]
    for obj in (Headers(), Headers.__new__(Headers), Every(), UNPICKLE(Marker, CHECKSUMS[0], None)):
        assert ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value == get_pointer(capsule, None)


@pytest.mark.parametrize("name, result, message", [
    ("keys", ["k"], "Expected tuple, got list"), ("clone", [], "Cannot convert list to kelvarn.headers.Headers"),
    ("clone", Header(b"a", b"b"), "Cannot convert kelvarn.headers.Header to kelvarn.headers.Headers"),
    ("get", [b"v"], "Expected tuple, got list"), ("get_tuples", (), "Expected list, got tuple"),
    ("get_single", "v", "Expected bytes, got str"), ("get_first", bytearray(b"v"), "Expected bytes, got bytearray"),
])
def test_override_results_of_the_wrong_type(name, result, message):
    sub = type("Sub", (Headers,), {name: lambda self, *a: result})([(b"a", b"1")])
    args = () if name in ("keys", "clone") else (b"a",)
    with pytest.raises(TypeError) as info:
        slot(name)(sub, *args, 0)
    assert str(info.value) == message


def test_override_results_that_pass():
    sub = type("Sub", (Headers,), {"get": lambda s, n: None, "clone": lambda s: Marker(), "keys": lambda s: None})()
    assert sub[b"a"] is None and slot("keys")(sub, 0) is None and type(slot("clone")(sub, 0)) is Marker
    with pytest.raises(TypeError, match=r"^object of type 'NoneType' has no len\(\)$"):
        sub.get_single(b"a")


def test_internal_callers_go_through_the_table():
    wrong = type("Sub", (Headers,), {"get": lambda self, name: [name]})([(b"a", b"1")])
    for call in (lambda: wrong.get_single(b"a"), lambda: wrong[b"a"]):
        with pytest.raises(TypeError, match="^Expected tuple, got list$"):
            call()
    assert Headers.get(wrong, b"a") == (b"1",)  # the method itself runs the body
    e = overriding(*OVERRIDES)
    assert e.get_single(b"x") == b"S" and e[b"x"] == ("G", b"x") and b"x" in e
    Headers.set(e, b"a", b"v")  # the body of set, whose steps dispatch
    e[b"b"] = b"w"
    del e[b"c"]
    e.add_many({b"d": b"4"})  # mapping branch: the add entry
    e.add_many([(b"f", b"6")])  # sequence branch: attribute lookup
    assert e.calls == [("remove", b"a"), ("add", b"a", b"v"), ("set", b"b", b"w"), ("remove", b"c"),
                       ("add", b"d", b"4"), ("add", b"f", b"6")] and e.values == entries()
    absent = type("Sub", (Headers,), {"contains": lambda self, key: 0})([(b"a", b"1")])
    absent.set(b"a", b"2")  # no remove when contains says no
    assert absent.values == [(b"a", b"1"), (b"a", b"2")] and b"a" not in absent
    same = type("Same", (Headers,), {"get": Headers.get})([(b"a", b"1")])
    assert same.get_single(b"a") == b"1"  # the module's own function: the body runs
    plain = Marker([(b"a", b"1")])
    plain.get = lambda name: (b"instance",)
    assert plain.get_single(b"a") == b"instance" and plain[b"a"] == (b"instance",)


def test_plus_goes_through_clone_and_add_to_instance():
    seen = []

    def add_to_instance(instance, other):
        seen.append((type(instance).__name__, other))
        return Headers._add_to_instance(instance, other)
    Sub = type("Sub", (Headers,), {"clone": lambda self: Marker(list(self.values)),
                                   "_add_to_instance": staticmethod(add_to_instance)})
    s = Sub([(b"a", b"1")])
    r = s + (b"b", b"2")
    assert type(r) is Marker and r.values == [(b"a", b"1"), (b"b", b"2")] and s.values == [(b"a", b"1")]
    assert type([(b"c", b"3")] + s) is Marker
    s += (b"d", b"4")
    assert seen == [("Marker", (b"b", b"2")), ("Marker", [(b"c", b"3")]), ("Sub", (b"d", b"4"))]
    with pytest.raises(TypeError, match="^Cannot convert list to kelvarn.headers.Headers$"):
        type("Bad", (Headers,), {"clone": lambda self: [1]})() + (b"a", b"1")


def test_errors_through_the_table():
    none = Headers.__new__(Headers)
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'append'$"):
        slot("add")(none, b"a", b"b", 1)
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        slot("contains")(none, b"a", 1)
    failing = type("F", (Headers,), {"remove": lambda self, key: 1 / 0, "contains": lambda s, k: Bad()})([])
    Bad = type("Bad", (), {"__bool__": lambda self: 1 / 0})
    for call in (lambda: slot("remove")(failing, b"a", 0), lambda: slot("contains")(failing, b"a", 0),
                 lambda: b"a" in failing, lambda: failing.set(b"a", b"b")):
        with pytest.raises(ZeroDivisionError):
            call()
    assert failing.values == []  # set stopped before add


def test_namespace_and_class_surface():
    assert list(vars(mod))[6:] == ["__builtins__", "Header", "Headers", "Mapping", "MutableSequence",
                                   "__pyx_unpickle_Header", "__pyx_unpickle_Headers", "__test__"]
    assert isinstance(Headers.__dict__["_add_to_instance"], staticmethod) and not hasattr(mod, "__pyx_capi__")
    assert Headers.update.__annotations__ == {"values": "dict[bytes, bytes]"}
    with pytest.raises(AttributeError):
        Headers().extra = 1
    with pytest.raises(TypeError):
        weakref.ref(Headers())


def test_reduce_forms_and_round_trips():
    h = Headers([(b"a", b"1")])
    assert h.__reduce__() == (UNPICKLE, (Headers, 0x89445EA, None), ([(b"a", b"1")],))
    assert h.__reduce__()[2][0] is h.values
    assert Headers.__new__(Headers).__reduce__() == (UNPICKLE, (Headers, 0x89445EA, (None,)))
    w = WithAttrs.__new__(WithAttrs)
    assert w.__reduce__() == (UNPICKLE, (WithAttrs, 0x89445EA, None), (None, {}))
    w.__init__([(b"b", b"2")])
    w.note = [1]
    assert w.__reduce__() == (UNPICKLE, (WithAttrs, 0x89445EA, None), ([(b"b", b"2")], {"note": [1]}))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(h, protocol)).values == h.values
        assert pickle.loads(pickle.dumps(Headers.__new__(Headers), protocol)).values is None
        back = pickle.loads(pickle.dumps(w, protocol))
        assert type(back) is WithAttrs and back.values == w.values and back.note == [1]
    shallow, deep = copy.copy(w), copy.deepcopy(w)
    assert shallow.values is w.values and shallow.note is w.note
    assert deep.values is not w.values and deep.values == w.values and deep.note is not w.note


@pytest.mark.parametrize("checksum", CHECKSUMS)
def test_reconstructor_accepts_the_three_checksums(checksum):
    no_init = type("NoInit", (WithAttrs,), {"__init__": lambda self, *a: 1 / 0})
    r = UNPICKLE(no_init, checksum, ([(b"a", b"1")], {"x": 2}))
    assert type(r) is no_init and r.values == [(b"a", b"1")] and r.x == 2
    assert UNPICKLE(__pyx_state=None, __pyx_checksum=checksum, __pyx_type=Headers).values is None


@pytest.mark.parametrize("call, error, message", [
    (lambda: UNPICKLE(Headers, 1, None), pickle.PickleError,
     "Incompatible checksums (0x1 vs (0x89445ea, 0x048b0cb, 0xf09cc7e) = (values))"),
    (lambda: UNPICKLE(Headers, 0xABCDEF0, ()), pickle.PickleError,
     "Incompatible checksums (0xabcdef0 vs (0x89445ea, 0x048b0cb, 0xf09cc7e) = (values))"),
    (lambda: UNPICKLE(Headers, CHECKSUMS[0], [[]]), TypeError, "Expected tuple, got list"),
    (lambda: UNPICKLE(Headers, CHECKSUMS[0], ((),)), TypeError, "Expected list, got tuple"),
    (lambda: Headers().__setstate__(None), TypeError, "'NoneType' object is not subscriptable"),
    (lambda: Headers().__setstate__([[]]), TypeError, "Expected tuple, got list"),
    (lambda: Headers().__setstate__((type("L", (list,), {})(),)), TypeError, "Expected list, got L"),
    (lambda: Headers().__setstate__(()), IndexError, "tuple index out of range"),
    (lambda: WithAttrs().__setstate__(([], 5)), TypeError, "'int' object is not iterable"),
])
def test_state_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_setstate_details():
    h = Headers([(b"old", b"1")])
    h.__setstate__(__pyx_state=([(b"new", b"2")], {"ignored": 1}))  # no __dict__: the extra item is ignored
    assert h.values == [(b"new", b"2")] and h.__setstate__((None,)) is None and h.values is None
    with pytest.raises(TypeError):
        UNPICKLE(Header, CHECKSUMS[0], None)  # not a subtype: the host's error


@pytest.mark.parametrize("call", [
    lambda: slot("get")(overriding("get"), b"a", 0), lambda: slot("get")(overriding("get"), b"a", 1),
    lambda: slot("add")(overriding("add"), b"a", b"b", 0), lambda: slot("set")(Headers(entries()), b"a", b"b", 0),
    lambda: slot("contains")(overriding("contains"), b"a", 0), lambda: slot("clone")(overriding("clone"), 0),
    lambda: slot("add")(Headers.__new__(Headers), b"a", b"b", 1), lambda: overriding("clone") + (b"x", b"y"),
    lambda: type("S", (Headers,), {"get": lambda s, n: [n]})()[b"a"], lambda: Headers.set(overriding(*OVERRIDES),
                                                                                          b"a", b"v"),
    lambda: pickle.loads(pickle.dumps(Headers(entries()))), lambda: copy.deepcopy(WithAttrs(entries())),
    lambda: copy.copy(Headers(entries())), lambda: Headers.__new__(Headers).__reduce__(),
    lambda: UNPICKLE(Headers, 1, None), lambda: UNPICKLE(Headers, CHECKSUMS[2], [1]),
    lambda: Headers().__setstate__(()), lambda: Headers().__setstate__(({},)), lambda: Headers().__setstate__(None),
])
def test_native_and_pickling_do_not_leak(call):
    assert_no_leaks(call, warmup=200)
