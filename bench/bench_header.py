"""Header against a plain tuple and a small pure-Python class of the same behaviour.

The tuple column is what code without a header type writes: a `(name, value)`
pair, compared with `==` where the names have the same case and with an
explicit lowering of the names where they differ (a tuple's own `==` would
give another answer there).
"""

from kelvarn.headers import Header

TITLE = "Header (one name/value pair)"

NAME, VALUE = b"Content-Type", b"text/html; charset=utf-8"


class PyHeader:
    """Pure-Python equivalent: bytes-or-None fields, case-insensitive names."""

    __slots__ = ("name", "value")
    __hash__ = None

    def __init__(self, name, value):
        if name is not None and type(name) is not bytes:
            raise TypeError(f"Argument 'name' has incorrect type (expected bytes, got {type(name).__name__})")
        if value is not None and type(value) is not bytes:
            raise TypeError(f"Argument 'value' has incorrect type (expected bytes, got {type(value).__name__})")
        self.name = name
        self.value = value

    def __repr__(self):
        return f"<Header {self.name}: {self.value}>"

    def __iter__(self):
        yield self.name
        yield self.value

    def __eq__(self, other):
        if not isinstance(other, PyHeader):
            return NotImplemented
        c = other.name.lower() == self.name.lower()
        if not c:
            return c
        return other.value == self.value


def tuple_eq(a, b):
    return a[0].lower() == b[0].lower() and a[1] == b[1]


def cases():
    k, k_same, k_case, k_other = (Header(NAME, VALUE), Header(NAME, VALUE), Header(NAME.lower(), VALUE),
                                  Header(b"Content-Length", b"42"))
    t, t_same, t_case, t_other = (NAME, VALUE), (NAME, VALUE), (NAME.lower(), VALUE), (b"Content-Length", b"42")
    p, p_same, p_case, p_other = (PyHeader(NAME, VALUE), PyHeader(NAME, VALUE), PyHeader(NAME.lower(), VALUE),
                                  PyHeader(b"Content-Length", b"42"))

    def unpack_k():
        name, value = k

    def unpack_t():
        name, value = t

    def unpack_p():
        name, value = p

    return [
        ("construct", {"kelvarn": lambda: Header(NAME, VALUE), "tuple": lambda: (NAME, VALUE),
                       "python class": lambda: PyHeader(NAME, VALUE)}),
        ("construct (keywords)", {"kelvarn": lambda: Header(name=NAME, value=VALUE),
                                  "python class": lambda: PyHeader(name=NAME, value=VALUE)}),
        ("repr", {"kelvarn": lambda: repr(k), "tuple": lambda: repr(t), "python class": lambda: repr(p)}),
        ("unpack into name, value", {"kelvarn": unpack_k, "tuple": unpack_t, "python class": unpack_p}),
        ("== same case", {"kelvarn": lambda: k == k_same, "tuple": lambda: t == t_same,
                          "python class": lambda: p == p_same}),
        ("== names differ in case", {"kelvarn": lambda: k == k_case, "tuple": lambda: tuple_eq(t, t_case),
                                     "python class": lambda: p == p_case}),
        ("== different names", {"kelvarn": lambda: k == k_other, "tuple": lambda: tuple_eq(t, t_other),
                                "python class": lambda: p == p_other}),
        ("!= same case", {"kelvarn": lambda: k != k_same, "tuple": lambda: t != t_same,
                          "python class": lambda: p != p_same}),
    ]
