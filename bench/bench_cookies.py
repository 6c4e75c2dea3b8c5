"""Set-Cookie values and Cookie headers: parsing and writing against the standard library, werkzeug and starlette.

Three realistic cookies: a session id, a full cookie with every attribute
(Expires, Max-Age, Domain, Path, Secure, HttpOnly, SameSite) and a
percent-encoded value.

Parsing: ``parse_cookie`` on the header bytes against
``http.cookies.SimpleCookie().load()`` on the same header as text. Note the
work is not quite the same: kelvarn also converts the Expires date to a
``datetime`` (through the standard ``email.utils`` parser) and percent-decodes
name and value, which SimpleCookie does not do.

Cookie request headers: ``parse_cookie_header`` on the bytes of a typical
browser header (6 cookies, 221 bytes, two of them percent-encoded) and of one
with 30 cookies, against ``SimpleCookie().load()``, werkzeug's
``parse_cookie`` and starlette's ``cookie_parser`` on the same header as text.
kelvarn also percent-decodes every name and value, which none of them does.

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


BROWSER = (b"_ga=GA1.2.1204021187.1717171717; _gid=GA1.2.987654321.1717171717; "
           b"sessionid=8f14e45fceea167a5a36dedd4bea2543; csrftoken=Xk3pQ9rLm2Vt7NwYc4Hs; theme=dark; "
           b"cart=%7B%22items%22%3A%5B1%2C2%5D%2C%22note%22%3A%22caf%C3%A9%22%7D")
_MANY = [
    ("_ga", "GA1.2.1204021187.1717171717"), ("_gid", "GA1.2.987654321.1717171717"), ("_fbp", "fb.1.1717171717.42"),
    ("_gcl_au", "1.1.77.1717171717"), ("sessionid", "8f14e45fceea167a5a36dedd4bea2543"),
    ("csrftoken", "Xk3pQ9rLm2Vt7NwYc4Hs"), ("theme", "dark"), ("lang", "fr-CA"), ("tz", "America%2FToronto"),
    ("cart", "%7B%22items%22%3A%5B1%2C2%5D%7D"), ("consent", "%7B%22ads%22%3Afalse%7D"), ("ab_test", "B"),
    ("__cf_bm", "x9Qw.e3Rt-1717171717-0-AbCdEf"), ("_hjSessionUser", "eyJpZCI6IjQyIn0="), ("_hjSession", "1"),
    ("AWSALB", "Zm9vYmFyYmF6cXV4"), ("AWSALBCORS", "Zm9vYmFyYmF6cXV4"), ("JSESSIONID", "A1B2C3D4E5F6"),
    ("remember_me", "true"), ("currency", "EUR"), ("region", "eu-west"), ("viewed", "12%2C57%2C903"),
    ("wishlist", '"7,8"'), ("cookie_notice", "accepted"), ("utm_source", "newsletter"), ("utm_medium", "email"),
    ("_uetsid", "0a1b2c3d4e"), ("_uetvid", "5f6a7b8c9d"), ("last_visit", "1717171717"),
    ("prefs", "caf%C3%A9%20au%20lait"),
]
MANY = "; ".join(f"{name}={value}" for name, value in _MANY).encode()


def header_parsers():
    """The Cookie header parsers, each taking the header as its users hold it."""
    from http.cookies import SimpleCookie

    from starlette.requests import cookie_parser
    from werkzeug.http import parse_cookie as werkzeug_parse_cookie

    from kelvarn.cookie_header import parse_cookie_header

    def simple_load(text):
        SimpleCookie().load(text)

    return {"kelvarn": (parse_cookie_header, bytes), "http.cookies": (simple_load, str),
            "werkzeug": (werkzeug_parse_cookie, str), "starlette": (cookie_parser, str)}


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

    header = [
        (f"Cookie header: {label}", {
            impl: (lambda fn=fn, arg=(raw if kind is bytes else raw.decode()): fn(arg))
            for impl, (fn, kind) in header_parsers().items()
        })
        for label, raw in [("browser, 6 cookies", BROWSER), ("30 cookies", MANY)]
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
    return parse + header + write_cases


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
