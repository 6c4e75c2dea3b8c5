"""The shared module frame, seen through kelvarn.headers: module creation and
execution, function objects, argument binding, integer conversions and
traceback entries."""

import copy
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import traceback
import types
import warnings

import pytest

import kelvarn.headers as mod
from kelvarn.headers import Header
from support import assert_no_leaks, run_child

UNPICKLE = mod.__pyx_unpickle_Header
CHECKSUM = 0xAAF55BF
HAS_HEADERS = hasattr(mod, "Headers")


def run_python(source):
    """Run ``source`` in a fresh interpreter; return its stdout lines."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.splitlines()


def entries(exc):
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)]


# ---------------------------------------------------------------------------
# Module creation and execution


def test_reimport_gives_the_same_module_and_exec_does_nothing():
    before = sys.modules["kelvarn.headers"]
    namespace = dict(vars(before))
    test_dict = before.__test__
    del sys.modules["kelvarn.headers"]
    try:
        again = importlib.import_module("kelvarn.headers")
    finally:
        sys.modules["kelvarn.headers"] = before
    assert again is before
    assert again.__test__ is test_dict  # the exec step did not run again
    assert vars(again) == namespace
    assert again.Header is Header


def test_namespace_in_binding_order():
    expected = ["__builtins__", "Header", "Headers", "Mapping", "MutableSequence", "__pyx_unpickle_Header",
                "__pyx_unpickle_Headers", "__test__"]
    if not HAS_HEADERS:
        expected = [n for n in expected if "Headers" not in n]
    names = list(vars(mod))
    assert names[names.index("__builtins__"):] == expected
    import builtins
    from collections.abc import Mapping, MutableSequence

    assert mod.__builtins__ is builtins
    assert mod.Mapping is Mapping and mod.MutableSequence is MutableSequence
    assert mod.__test__ == {}
    assert mod.__doc__ is None
    assert not hasattr(mod, "__pyx_capi__")
    assert sys.modules["kelvarn.headers"] is mod


def test_static_types_with_dotted_names():
    assert repr(Header) == "<class 'kelvarn.headers.Header'>"
    assert Header.__module__ == "kelvarn.headers"
    assert Header.__doc__ is None
    assert not Header.__flags__ & (1 << 9)  # not a heap type
    assert not Header.__flags__ & (1 << 14)  # not collected
    assert "__pyx_vtable__" not in Header.__dict__
    assert Header.__dict__["__hash__"] is None


def test_only_the_init_function_is_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", mod.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm unavailable")
    symbols = [line.split()[-1] for line in nm.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_headers"]


INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into one interpreter per "
                      "process.")


def test_second_interpreter_refused():
    out = run_python("""
        import _interpreters
        import kelvarn.headers
        for _ in range(2):
            i = _interpreters.create('legacy')
            r = _interpreters.exec(i, 'import kelvarn.headers')
            print(r.type.__name__, r.msg, sep='|')
            _interpreters.destroy(i)
    """)
    assert out == [f"ImportError|{INTERPRETER_CHANGE}"] * 2


def test_first_interpreter_keeps_the_module_after_it_is_gone():
    out = run_python("""
        import _interpreters
        i = _interpreters.create('legacy')
        print(_interpreters.exec(i, 'import kelvarn.headers'))
        _interpreters.destroy(i)
        try:
            import kelvarn.headers
        except ImportError as e:
            print(e)
    """)
    assert out == ["None", INTERPRETER_CHANGE]


def test_failed_exec_adds_entry_and_a_later_import_starts_afresh():
    out = run_python("""
        import sys, traceback, types
        sys.modules['collections.abc'] = types.ModuleType('collections.abc')
        try:
            import kelvarn.headers
        except ImportError as e:
            print(type(e).__name__, e, sep='|')
            print([(f.name, f.filename) for f in traceback.extract_tb(e.__traceback__)][-1])
        print('kelvarn.headers' in sys.modules)
        del sys.modules['collections.abc']
        import kelvarn.headers as m
        print(m.Header(b'a', b'b'), m.Mapping.__module__, m.__test__)
        from collections.abc import Mapping
        print(m.Mapping is Mapping)
    """)
    assert out == [
        "ImportError|cannot import name Mapping",
        "('init kelvarn.headers', 'kelvarn/headers.cpp')",
        "False",
        "<Header b'a': b'b'> collections.abc {}",
        "True",
    ]


def test_missing_builtin_fails_with_name_error_then_retries():
    out = run_python("""
        import builtins, sys, traceback
        import kelvarn  # the package itself needs staticmethod
        saved = builtins.staticmethod
        del builtins.staticmethod
        try:
            import kelvarn.headers
        except NameError as e:
            print(type(e).__name__, e, sep='|')
            print([(f.name, f.filename) for f in traceback.extract_tb(e.__traceback__)][-1])
        builtins.staticmethod = saved
        import kelvarn.headers as m
        print(m.Header(b'a', b'b'))
    """)
    assert out == [
        "NameError|name 'staticmethod' is not defined",
        "('init kelvarn.headers', 'kelvarn/headers.cpp')",
        "<Header b'a': b'b'>",
    ]


def test_exec_on_a_second_module_object_is_refused():
    out = run_python("""
        import importlib.util
        spec = importlib.util.find_spec('kelvarn.headers')
        # Two create steps before any exec step give two module objects.
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        print(second is first)
        spec.loader.exec_module(first)
        print(importlib.util.module_from_spec(spec) is first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print(e)
        print(first.Header(b'a', b'b'), [n for n in vars(second) if not n.startswith('__')])
    """)
    assert out == [
        "False",
        "True",
        "Module 'headers' has already been imported. Re-initialisation is not supported.",
        "<Header b'a': b'b'> []",
    ]


def test_module_attributes_from_the_spec():
    spec = mod.__spec__
    assert mod.__name__ == "kelvarn.headers"
    assert mod.__file__ == spec.origin
    assert type(mod.__loader__) is type(spec.loader)
    assert mod.__loader__.path == spec.origin
    assert mod.__package__ == "kelvarn"
    assert not hasattr(mod, "__path__")


# ---------------------------------------------------------------------------
# Function objects

FUNCTIONS = [
    (Header.__dict__["__reduce__"], "__reduce__", "Header.__reduce__", ("self",)),
    (Header.__dict__["__setstate__"], "__setstate__", "Header.__setstate__", ("self", "__pyx_state")),
    (UNPICKLE, "__pyx_unpickle_Header", "__pyx_unpickle_Header", ("__pyx_type", "__pyx_checksum", "__pyx_state")),
]


@pytest.mark.parametrize("fn, name, qualname, varnames", FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
def test_function_attributes(fn, name, qualname, varnames):
    assert fn.__name__ == name
    assert fn.__qualname__ == qualname
    assert fn.__module__ == "kelvarn.headers"
    assert fn.__doc__ is None
    assert fn.__globals__ is vars(mod)
    assert fn.__defaults__ is None
    assert fn.__kwdefaults__ is None
    assert fn.__annotations__ == {}
    assert fn.__closure__ is None
    assert fn._is_coroutine is False
    code = fn.__code__
    assert isinstance(code, types.CodeType)
    assert code.co_varnames == varnames
    assert code.co_argcount == len(varnames)
    assert code.co_name == name
    assert str(inspect.signature(fn)) == "(" + ", ".join(varnames) + ")"
    assert not inspect.iscoroutinefunction(fn)
    # Function attributes live in __dict__.
    fn.test_marker = 1
    try:
        assert fn.__dict__ == {"test_marker": 1}
    finally:
        del fn.test_marker
    assert fn.__dict__ == {}
    # Pickled and copied by reference.
    assert pickle.loads(pickle.dumps(fn)) is fn
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn


@pytest.mark.parametrize("attr", ["__name__", "__qualname__"])
def test_function_name_setters_want_text(attr):
    fn = Header.__dict__["__reduce__"]
    with pytest.raises(TypeError, match=f"^{attr}" + " must be set to a string object$"):
        setattr(fn, attr, 1)
    with pytest.raises(TypeError, match=f"^{attr}" + " must be set to a string object$"):
        delattr(fn, attr)


def test_method_binding():
    h = Header(b"a", b"b")
    fn = Header.__dict__["__reduce__"]
    assert Header.__reduce__ is fn  # through the class: the plain function
    bound = h.__reduce__
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is h and bound.__func__ is fn
    assert fn.__get__(None, Header) is fn
    assert bound() == Header.__reduce__(h) == fn(h)
    # Usable inside staticmethod, and as a plain class attribute of a subclass.
    holder = type("Holder", (), {"reduce": staticmethod(fn)})
    assert holder().reduce(h) == bound()
    sub = type("Sub", (Header,), {"reduce_it": fn})
    assert sub(b"a", b"b").reduce_it()[1][0] is sub


@pytest.mark.parametrize("fn, qualname", [
    (Header.__reduce__, "Header.__reduce__"),
    (Header.__setstate__, "Header.__setstate__"),
])
def test_unbound_method_needs_an_argument(fn, qualname):
    with pytest.raises(TypeError) as info:
        fn()
    assert str(info.value) == f"unbound method {qualname}() needs an argument"
    assert entries(info.value)[-1] == (f"kelvarn.headers.{qualname}", "<stringsource>")


@pytest.mark.parametrize("call", [
    lambda: Header.__reduce__(1),
    lambda: Header.__setstate__(object(), (b"a", b"b")),
    lambda: Header.__setstate__(b"xy", (b"a", b"b")),
])
def test_method_on_a_foreign_instance_is_refused(call):
    with pytest.raises(TypeError, match="^descriptor '__(reduce|setstate)__' for 'kelvarn.headers.Header' objects "
                                        "doesn't apply to a '(int|object|bytes)' object$"):
        call()


# ---------------------------------------------------------------------------
# Argument binding


class Key(str):
    pass


class AlwaysValue(str):
    """A keyword whose text is unrelated but that equals 'value'."""

    def __eq__(self, other):
        return other == "value"

    __hash__ = str.__hash__


class BadKey(str):
    def __eq__(self, other):
        raise LookupError("compare")

    __hash__ = str.__hash__


@pytest.mark.parametrize("call, message", [
    (lambda: Header(), "__init__() takes exactly 2 positional arguments (0 given)"),
    (lambda: Header(b"a"), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: Header(b"a", b"b", b"c"), "__init__() takes exactly 2 positional arguments (3 given)"),
    (lambda: Header(name=b"a"), "__init__() takes exactly 2 positional arguments (1 given)"),
    (lambda: Header(value=b"a"), "__init__() takes exactly 2 positional arguments (0 given)"),
    (lambda: Header(b"a", name=b"b"), "__init__() got multiple values for keyword argument 'name'"),
    (lambda: Header(b"a", b"b", nom=b"c"), "__init__() got an unexpected keyword argument 'nom'"),
    (lambda: Header(b"a", nom=b"c"), "__init__() got an unexpected keyword argument 'nom'"),
    (lambda: Header(**{1: 2}), "keywords must be strings"),
    (lambda: Header(b"a", b"b", **{1: 2}), "keywords must be strings"),
    (lambda: Header(b"a", **{Key("name"): b"b"}), "__init__() got multiple values for keyword argument 'name'"),
    (lambda: Header.__reduce__(Header(b"a", b"b"), 1), "__reduce__() takes exactly 0 positional arguments (1 given)"),
    (lambda: Header(b"a", b"b").__reduce__(x=1), "__reduce__() got an unexpected keyword argument 'x'"),
    (lambda: Header(b"a", b"b").__setstate__(), "__setstate__() takes exactly 1 positional argument (0 given)"),
    (lambda: Header(b"a", b"b").__setstate__(None, None),
     "__setstate__() takes exactly 1 positional argument (2 given)"),
    (lambda: UNPICKLE(), "__pyx_unpickle_Header() takes exactly 3 positional arguments (0 given)"),
    (lambda: UNPICKLE(Header, __pyx_state=None),
     "__pyx_unpickle_Header() takes exactly 3 positional arguments (1 given)"),
    (lambda: UNPICKLE(Header, 1, None, 2), "__pyx_unpickle_Header() takes exactly 3 positional arguments (4 given)"),
    (lambda: UNPICKLE(Header, CHECKSUM, None, __pyx_type=Header),
     "__pyx_unpickle_Header() got multiple values for keyword argument '__pyx_type'"),
])
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_by_name_and_by_str_subclass():
    assert repr(Header(value=b"v", name=b"n")) == "<Header b'n': b'v'>"
    assert repr(Header(**{Key("name"): b"n", Key("value"): b"v"})) == "<Header b'n': b'v'>"
    # A str subclass is matched with ==, whatever its text.
    assert Header(b"n", **{AlwaysValue("zzz"): b"v"}).value == b"v"
    h = UNPICKLE(__pyx_state=(b"n", b"v"), __pyx_checksum=CHECKSUM, **{Key("__pyx_type"): Header})
    assert (h.name, h.value) == (b"n", b"v")
    with pytest.raises(LookupError, match="compare"):
        Header(b"n", **{BadKey("value"): b"v"})


@pytest.mark.skipif(not HAS_HEADERS, reason="Headers not built yet")
def test_optional_parameter_counts():
    with pytest.raises(TypeError) as info:
        mod.Headers([], [])
    assert str(info.value) == "__init__() takes at most 1 positional argument (2 given)"
    with pytest.raises(TypeError) as info:
        mod.Headers().get()
    assert str(info.value) == "get() takes exactly 1 positional argument (0 given)"
    with pytest.raises(TypeError) as info:
        mod.Headers().clone(1)
    assert str(info.value) == "clone() takes exactly 0 positional arguments (1 given)"


# ---------------------------------------------------------------------------
# Integer conversion (the 32-bit checksum parameter of the reconstructor)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class MyInt(int):
    pass


@pytest.mark.parametrize("checksum", [
    CHECKSUM, 0xE891E3F, 0xFA7A105, float(CHECKSUM) + 0.9, IntLike(CHECKSUM), MyInt(CHECKSUM),
])
def test_checksum_accepted(checksum):
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # an int subclass given directly is no deprecated __int__ result
        h = UNPICKLE(Header, checksum, (b"a", b"b"))
    assert type(h) is Header and (h.name, h.value) == (b"a", b"b")


def incompatible(text):
    return f"Incompatible checksums ({text} vs (0xaaf55bf, 0xe891e3f, 0xfa7a105) = (name, value))"


@pytest.mark.parametrize("checksum, shown", [(1, "0x1"), (2.9, "0x2"), (-2.9, "0x-2"), (True, "0x1"),
                                             (0xABCDEF, "0xabcdef"), (-1, "0x-1"), (IntLike(7), "0x7"), (1, None)])
def test_checksum_rejected(checksum, shown, monkeypatch):
    if shown is None:  # the error class is imported at that moment, as any imported name is
        monkeypatch.delattr(pickle, "PickleError")
    with pytest.raises(Exception) as info:
        UNPICKLE(Header, checksum, None)
    assert (type(info.value), str(info.value)) == (
        (ImportError, "cannot import name PickleError") if shown is None else (pickle.PickleError, incompatible(shown)))
    assert entries(info.value)[-1] == ("kelvarn.headers.__pyx_unpickle_Header", "<stringsource>")
    assert_no_leaks(UNPICKLE, Header, checksum, None)


class IndexOnly:
    def __index__(self):
        return CHECKSUM


@pytest.mark.parametrize("checksum, error, message", [
    ("2", TypeError, "an integer is required"),
    (IndexOnly(), TypeError, "an integer is required"),  # __int__ only, not __index__
    (None, TypeError, "an integer is required"),
    (IntLike(2.5), TypeError, "__int__ returned non-int (type float)"),
    (IntLike("x"), TypeError, "__int__ returned non-int (type str)"),
    (2**31, OverflowError, "Python int too large to convert to C long"),
    (-(2**31) - 1, OverflowError, "Python int too large to convert to C long"),
    (2**100, OverflowError, "Python int too large to convert to C long"),
    (float("inf"), OverflowError, None),
    (float("nan"), ValueError, None),
])
def test_checksum_conversion_errors(checksum, error, message):
    with pytest.raises(error) as info:
        UNPICKLE(Header, checksum, None)
    if message is not None:
        assert str(info.value) == message
    assert entries(info.value)[-1] == ("kelvarn.headers.__pyx_unpickle_Header", "<stringsource>")


def test_int_subclass_from_int_is_deprecated():
    text = ("__int__ returned non-int (type MyInt).  The ability to return an instance of a strict subclass of "
            "int is deprecated, and may be removed in a future version of Python.")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        UNPICKLE(Header, IntLike(MyInt(CHECKSUM)), None)
    assert [(w.category, str(w.message)) for w in caught] == [(DeprecationWarning, text)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning) as info:
            UNPICKLE(Header, IntLike(MyInt(CHECKSUM)), None)
    assert str(info.value) == text


def test_checksum_range_boundaries():
    for value in (2**31 - 1, -(2**31)):
        with pytest.raises(pickle.PickleError):
            UNPICKLE(Header, value, None)


# ---------------------------------------------------------------------------
# Traceback entries


@pytest.mark.parametrize("call, name, file", [
    (lambda: Header(1, 2), "kelvarn.headers.Header.__init__", "kelvarn/headers.cpp"),
    (lambda: Header(), "kelvarn.headers.Header.__init__", "kelvarn/headers.cpp"),
    (lambda: Header(None, b"") == Header(b"a", b""), "kelvarn.headers.Header.__eq__", "kelvarn/headers.cpp"),
    (lambda: Header(b"a", b"b").__setstate__(1), "kelvarn.headers.Header.__setstate__", "<stringsource>"),
    (lambda: Header(b"a", b"b").__reduce__(1), "kelvarn.headers.Header.__reduce__", "<stringsource>"),
    (lambda: UNPICKLE(int, CHECKSUM, None), "kelvarn.headers.__pyx_unpickle_Header", "<stringsource>"),
])
def test_traceback_entries(call, name, file):
    with pytest.raises(Exception) as info:
        call()
    found = entries(info.value)
    assert found[-1] == (name, file)
    assert sum(1 for n, _ in found if n.startswith("kelvarn.")) == 1


# ---------------------------------------------------------------------------
# Direct entries: a method called on an exact instance with all its
# parameters by position skips the general binding; every other call, and
# every error, is the general path's.


SubHeaders = type("SubHeaders", (mod.Headers,), {})


@pytest.mark.parametrize("call, message", [
    (lambda h: h.get(), "get() takes exactly 1 positional argument (0 given)"),
    (lambda h: h.get(b"a", b"b"), "get() takes exactly 1 positional argument (2 given)"),
    (lambda h: h.get(b"a", name=b"b"), "get() got multiple values for keyword argument 'name'"),
    (lambda h: h.get(nom=b"a"), "get() got an unexpected keyword argument 'nom'"),
    (lambda h: h.get("a"), "Argument 'name' has incorrect type (expected bytes, got str)"),
    (lambda h: h.get(Key("a")), "Argument 'name' has incorrect type (expected bytes, got Key)"),
    (lambda h: h.add(b"a", "b"), "Argument 'value' has incorrect type (expected bytes, got str)"),
    (lambda h: h.add(b"a"), "add() takes exactly 2 positional arguments (1 given)"),
    (lambda h: h.clone(1), "clone() takes exactly 0 positional arguments (1 given)"),
    (lambda h: mod.Headers.get(), "unbound method Headers.get() needs an argument"),
    (lambda h: mod.Headers.get(Header(b"a", b"b"), b"a"),
     "descriptor 'get' for 'kelvarn.headers.Headers' objects doesn't apply to a 'kelvarn.headers.Header' object"),
] + [(call, None) for call in (
    lambda h: h.get(b"A"), lambda h: h.get(name=b"A"), lambda h: mod.Headers.get(h, b"A"), lambda h: h.get(None),
    lambda h: h.get_first(b"a"), lambda h: h.contains(b"b"), lambda h: h.add(b"c", None), lambda h: h.clone().values,
    lambda h: h.keys(),
)])
def test_direct_entries_match_the_general_path(call, message):
    # the same result, or the same error and traceback entry, on an exact
    # instance and a subclass; binding errors keep their exact messages
    def outcome(h):
        try:
            return call(h), h.values
        except Exception as e:
            return type(e), str(e), entries(e)[-1]
    fast = outcome(mod.Headers([(b"a", b"1")]))
    assert fast == outcome(SubHeaders([(b"a", b"1")]))
    if message is not None:
        assert fast[:2] == (TypeError, message)

# __init__ keyword arguments, seen through Cookie: the dictionary that owns
# them may be emptied by Python code that runs during the conversions or the body


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
