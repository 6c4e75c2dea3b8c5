# Declarations of kelvarn.cookies for Cython modules that bind it at C level:
# `from kelvarn.cookies cimport Cookie, write_cookie_for_response, ...`.
#
# The field order of Cookie is its instance layout; the functions are the
# entries of the module's C function table, and their declarations give the
# signature texts that the table's capsules carry. `write_cookie_for_response`,
# `split_value` and `same_site_mode_from_bytes` exist only at C level.

from cpython.datetime cimport datetime


cdef enum CookieSameSiteMode:
    UNDEFINED = 0
    LAX = 1
    STRICT = 2
    NONE = 3


cdef class Cookie:
    cdef str _name
    cdef str _value
    cdef public datetime expires
    cdef public str domain
    cdef public str path
    cdef bint http_only
    cdef bint secure
    cdef long long max_age
    cdef CookieSameSiteMode same_site

    cpdef Cookie clone(self)


cpdef Cookie parse_cookie(bytes value)
cpdef bytes datetime_to_cookie_format(datetime value)
cpdef datetime datetime_from_cookie_format(bytes value)
cdef bytes write_cookie_for_response(Cookie cookie)
cdef tuple split_value(bytes value, bytes separator)
# UNDEFINED is also the failure value: the pending exception tells them apart.
cdef CookieSameSiteMode same_site_mode_from_bytes(bytes value) except? UNDEFINED
