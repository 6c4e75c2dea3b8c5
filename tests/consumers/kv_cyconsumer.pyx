# cython: language_level=3
# A Cython consumer of kelvarn's C-level interface, through the .pxd files
# installed with the package. It offers the same functions as the C++
# consumer (kv_consumer.cpp), so that the tests run one suite over both.
# Calling a method on a typed instance passes the flag 0 (overrides are
# honoured); calling it through the class, `Headers.get(h, ...)`, passes 1.

from cpython.datetime cimport datetime

from kelvarn.headers cimport Header, Headers
from kelvarn.cookies cimport (
    Cookie, CookieSameSiteMode, UNDEFINED, parse_cookie as c_parse_cookie,
    datetime_to_cookie_format as c_datetime_to_cookie_format,
    datetime_from_cookie_format as c_datetime_from_cookie_format,
    write_cookie_for_response as c_write_cookie_for_response,
    split_value as c_split_value, same_site_mode_from_bytes as c_same_site_mode_from_bytes,
)
from kelvarn.url cimport URL, build_absolute_url as c_build_absolute_url, join_prefix as c_join_prefix


def header_fields(Header h not None):
    return h.name, h.value


def headers_values(Headers h not None):
    return h.values


def headers_call(str slot, int flag, Headers h not None, *args):
    cdef bytes a, b
    if slot == "keys":
        return Headers.keys(h) if flag else h.keys()
    if slot == "clone":
        return Headers.clone(h) if flag else h.clone()
    if slot == "merge":
        if flag:
            Headers.merge(h, args[0])
        else:
            h.merge(args[0])
        return None
    a = args[0]
    if slot in ("add", "set"):
        b = args[1]
        if slot == "add" and flag:
            Headers.add(h, a, b)
        elif slot == "add":
            h.add(a, b)
        elif flag:
            Headers.set(h, a, b)
        else:
            h.set(a, b)
        return None
    if slot == "get":
        return Headers.get(h, a) if flag else h.get(a)
    if slot == "get_tuples":
        return Headers.get_tuples(h, a) if flag else h.get_tuples(a)
    if slot == "get_single":
        return Headers.get_single(h, a) if flag else h.get_single(a)
    if slot == "get_first":
        return Headers.get_first(h, a) if flag else h.get_first(a)
    if slot == "remove":
        if flag:
            Headers.remove(h, a)
        else:
            h.remove(a)
        return None
    if slot == "contains":
        return Headers.contains(h, a) if flag else h.contains(a)
    raise ValueError(f"no slot {slot}")


def parse_cookie(bytes value, int flag):
    # Module-level entries are never overridden: the flag is passed on as 0.
    return c_parse_cookie(value)


def datetime_to_cookie_format(datetime value, int flag):
    return c_datetime_to_cookie_format(value)


def datetime_from_cookie_format(bytes value, int flag):
    return c_datetime_from_cookie_format(value)


def write_cookie_for_response(Cookie cookie not None):
    return c_write_cookie_for_response(cookie)


def write_cookie_loop(Cookie cookie not None, Py_ssize_t n):
    cdef Py_ssize_t i
    for i in range(n):
        c_write_cookie_for_response(cookie)


def split_value(bytes value, bytes separator):
    return c_split_value(value, separator)


def same_site_mode_from_bytes(bytes value):
    cdef CookieSameSiteMode mode
    try:
        mode = c_same_site_mode_from_bytes(value)
    except Exception as exc:
        # Raised only when the entry returned UNDEFINED with the error set.
        return UNDEFINED, exc
    return mode, None


def cookie_clone(Cookie cookie not None, int flag):
    return Cookie.clone(cookie) if flag else cookie.clone()


def cookie_fields(Cookie c not None):
    return (c._name, c._value, c.expires, c.domain, c.path, c.http_only, c.secure, c.max_age,
            <int>c.same_site)


def build_absolute_url(bytes scheme, bytes host, bytes base_path, bytes path, int flag):
    return c_build_absolute_url(scheme, host, base_path, path)


def join_prefix(str prefix, str path, int flag):
    return c_join_prefix(prefix, path)


def url_call(str slot, int flag, URL u not None, *args):
    cdef URL other
    cdef bytes a
    if slot == "base_url":
        return URL.base_url(u) if flag else u.base_url()
    if slot == "join":
        other = args[0]
        return URL.join(u, other) if flag else u.join(other)
    a = args[0]
    if slot == "with_host":
        return URL.with_host(u, a) if flag else u.with_host(a)
    if slot == "with_scheme":
        return URL.with_scheme(u, a) if flag else u.with_scheme(a)
    if slot == "with_query":
        return URL.with_query(u, a) if flag else u.with_query(a)
    raise ValueError(f"no slot {slot}")


def url_fields(URL u not None):
    return u.value, u.schema, u.host, u.port, u.path, u.query, u.fragment, u.is_absolute
