# Declarations of kelvarn.url for Cython modules that bind it at C level:
# `from kelvarn.url cimport URL, build_absolute_url, join_prefix`.
#
# The field order of URL is its instance layout and the order of its methods
# the slot order of its typed method table; the functions are the entries of
# the module's C function table.

cdef class URL:
    cdef readonly bytes value
    cdef readonly bytes schema
    cdef readonly bytes host
    cdef readonly int port
    cdef readonly bytes path
    cdef readonly bytes query
    cdef readonly bytes fragment
    cdef readonly bint is_absolute

    cpdef URL join(self, URL other)
    cpdef URL base_url(self)
    cpdef URL with_host(self, bytes host)
    cpdef URL with_scheme(self, bytes schema)
    cpdef URL with_query(self, bytes query)


cpdef URL build_absolute_url(bytes scheme, bytes host, bytes base_path, bytes path)
cpdef str join_prefix(str prefix, str path)
