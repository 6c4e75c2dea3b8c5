"""Set-Cookie values: parsing and writing against the standard library and werkzeug.

Three realistic cookies: a session id, a full cookie with every attribute
(Expires, Max-Age, Domain, Path, Secure, HttpOnly, SameSite) and a
percent-encoded value.

Parsing: ``parse_cookie`` on the header bytes against
``http.cookies.SimpleCookie().load()`` on the same header as text. Note the
work is not quite the same: kelvarn also converts the Expires date to a
``datetime`` (through the standard ``email.utils`` parser) and percent-decodes
name and value, which SimpleCookie does not do.

Writing: the writer is a C-level entry of ``kelvarn.cookies`` only, so it is
called here through a ctypes function pointer, which adds the cost of a
ctypes call to every kelvarn sample (see ``CTYPES_CALL`` below, about a
third of the session id case). werkzeug's ``dump_cookie`` formats from its
arguments (quoting the value and formatting the datetime on each call);
``Morsel.OutputString()`` renders a prepared morsel whose value was encoded
when it was set and whose Expires text is given ready-made.
"""

import ctypes
import datetime as dt

from kelvarn.cookies import Cookie, CookieSameSiteMode, parse_cookie

TITLE = "Set-Cookie values (parse and write)"

WHEN = dt.datetime(2026, 10, 21, 7, 28, 0)
WHEN_TEXT = "Wed, 21 Oct 2026 07:28:00 GMT"

SESSION = b"session_id=8f14e45fceea167a5a36dedd4bea2543; Path=/; HttpOnly"
FULL = (
    b"sid=abc123; Expires=Wed, 21 Oct 2026 07:28:00 GMT; Max-Age=3600; Domain=example.com; Path=/; "
    b"Secure; HttpOnly; SameSite=Lax"
)
ENCODED = b"cart=%7B%22items%22%3A%5B1%2C2%5D%2C%22note%22%3A%22caf%C3%A9%20au%20lait%22%7D; Path=/"
ENCODED_VALUE = '{"items":[1,2],"note":"caf\u00e9 au lait"}'


def writer():
    import kelvarn.cookies as kc

    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capsule = kc.__pyx_capi__["write_cookie_for_response"]
    name = b"PyObject *(struct __pyx_obj_7kelvarn_7cookies_Cookie *)"
    proto = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)
    return proto(get(capsule, name))


def cases():
    from http.cookies import Morsel, SimpleCookie

    from werkzeug.http import dump_cookie

    def simple_load(text):
        def run():
            SimpleCookie().load(text)

        return run

    parse = [
        (f"parse {label}", {
            "kelvarn": (lambda raw=raw: parse_cookie(raw)),
            "http.cookies": simple_load(raw.decode()),
        })
        for label, raw in [("session id", SESSION), ("full cookie", FULL), ("percent-encoded", ENCODED)]
    ]

    write = writer()
    session = Cookie("session_id", "8f14e45fceea167a5a36dedd4bea2543", path="/", http_only=True)
    full = Cookie("sid", "abc123", WHEN, "example.com", "/", True, True, 3600, CookieSameSiteMode.LAX)
    encoded = Cookie("cart", ENCODED_VALUE, path="/")
    assert write(session) == SESSION
    assert write(encoded) == ENCODED

    def morsel(key, value, **attrs):
        m = Morsel()
        jar = SimpleCookie()
        jar[key] = value
        m.set(key, value, jar[key].coded_value)
        for k, v in attrs.items():
            m[k] = v
        return m

    m_session = morsel("session_id", session.value, path="/", httponly=True)
    m_full = morsel("sid", "abc123", expires=WHEN_TEXT, **{"max-age": 3600}, domain="example.com", path="/",
                    secure=True, httponly=True, samesite="Lax")
    m_encoded = morsel("cart", ENCODED_VALUE, path="/")

    write_cases = [
        ("write session id", {
            "kelvarn": lambda: write(session),
            "werkzeug": lambda: dump_cookie("session_id", "8f14e45fceea167a5a36dedd4bea2543", path="/",
                                            httponly=True),
            "http.cookies": m_session.OutputString,
        }),
        ("write full cookie", {
            "kelvarn": lambda: write(full),
            "werkzeug": lambda: dump_cookie("sid", "abc123", max_age=3600, expires=WHEN, path="/",
                                            domain="example.com", secure=True, httponly=True, samesite="Lax"),
            "http.cookies": m_full.OutputString,
        }),
        ("write percent-encoded", {
            "kelvarn": lambda: write(encoded),
            "werkzeug": lambda: dump_cookie("cart", ENCODED_VALUE, path="/"),
            "http.cookies": m_encoded.OutputString,
        }),
    ]
    return parse + write_cases


def ctypes_call_overhead():
    """A ctypes call of a trivial C entry, for reading the writer rows."""
    import kelvarn.cookies as kc

    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    capsule = kc.__pyx_capi__["same_site_mode_from_bytes"]
    proto = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)
    fn = proto(get(capsule, b"enum __pyx_t_7kelvarn_7cookies_CookieSameSiteMode (PyObject *)"))
    return lambda: fn(None)


CTYPES_CALL = "see ctypes_call_overhead()"
