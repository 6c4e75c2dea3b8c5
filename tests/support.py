"""Shared test helpers: reference-leak checks and calls through C tables."""

import ctypes
import gc
import sys

__all__ = [
    "assert_no_leaks",
    "capi_function",
    "vtable_slot",
    "capsule_name",
]


def assert_no_leaks(fn, *args, repeat=200, warmup=20, **kwargs):
    """Call ``fn`` many times and fail if allocated blocks grow with the calls.

    Exceptions raised by ``fn`` are swallowed, so error paths are checked the
    same way as successful ones.
    """

    def once():
        try:
            fn(*args, **kwargs)
        except Exception:
            pass

    for _ in range(warmup):
        once()
    gc.collect()
    best = None
    # Several rounds: a leak of even one block per call grows by at least
    # `repeat` in every round; allocator and cache noise does not grow in all
    # of them.
    for _ in range(5):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(repeat):
            once()
        gc.collect()
        growth = sys.getallocatedblocks() - before
        best = growth if best is None else min(best, growth)
        if best < repeat // 4:
            return
    raise AssertionError(f"{fn!r} leaks: {best} blocks over {repeat} calls")


_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]


def capsule_name(capsule):
    """The name of a capsule as text, or None."""
    name = _get_name(capsule)
    return None if name is None else name.decode()


def _pointer(capsule):
    return _get_pointer(capsule, _get_name(capsule))


def capi_function(module, name, restype, *argtypes):
    """A callable for the C function ``name`` published in ``module.__pyx_capi__``.

    Use ``ctypes.py_object`` for object arguments and results, ``ctypes.c_int``
    for flags; a ``None`` or ``c_int`` result still raises a pending error.
    """
    proto = ctypes.PYFUNCTYPE(restype, *argtypes)
    return proto(_pointer(module.__pyx_capi__[name]))


def vtable_slot(cls, index, restype, *argtypes):
    """A callable for slot ``index`` of the typed method table of ``cls``."""
    table = _pointer(cls.__dict__["__pyx_vtable__"])
    address = ctypes.cast(table, ctypes.POINTER(ctypes.c_void_p))[index]
    proto = ctypes.PYFUNCTYPE(restype, *argtypes)
    return proto(address)
