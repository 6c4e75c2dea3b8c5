# Declarations of kelvarn.headers for Cython modules that bind it at C level:
# `from kelvarn.headers cimport Header, Headers`.
#
# The field order and the order of the methods below are the instance layout
# and the slot order of the typed method table; they must not change.
# Calling a method on a typed `Headers` goes through the table and honours an
# override defined by a Python subclass; `Headers.get(h, name)` runs the
# built-in body.

cdef class Header:
    cdef readonly bytes name
    cdef readonly bytes value


cdef class Headers:
    cdef readonly list values

    cpdef tuple keys(self)
    cpdef Headers clone(self)
    cpdef tuple get(self, bytes name)
    cpdef list get_tuples(self, bytes name)
    cpdef void add(self, bytes name, bytes value) except *
    cpdef void set(self, bytes name, bytes value) except *
    cpdef bytes get_single(self, bytes key)
    cpdef bytes get_first(self, bytes key)
    cpdef void remove(self, bytes key) except *
    cpdef void merge(self, list values) except *
    cpdef bint contains(self, bytes key) except *
