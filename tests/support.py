"""Shared test helpers: reference-leak checks, calls through C tables and child interpreters."""

import ctypes
import gc
import os
import subprocess
import sys
import textwrap

__all__ = [
    "assert_no_leaks",
    "cut",
    "capi_function",
    "vtable_slot",
    "capsule_name",
    "run_child",
    "run_reinit_on_bytes_warning",
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


def cut(text):
    """A piece of input as messages echo it: at most 200 characters, then "..."."""
    return text if len(text) <= 200 else text[:200] + "..."


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


def run_child(source, *flags):
    """Run ``source`` in a child interpreter, which must exit cleanly with ``ok`` as its last line of output.

    Scenarios that read freed memory before their fix run apart, so that a
    crash does not take the test run down with it.
    """
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        # Freed blocks are overwritten, so that a read of one, even by the
        # uninstrumented interpreter, goes wrong visibly.
        env["ASAN_OPTIONS"] += ":max_free_fill_size=4096:free_fill_byte=85"
    proc = subprocess.run(
        [sys.executable, *flags, "-c", textwrap.dedent(source)], capture_output=True, text=True, timeout=120,
        env=env,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert proc.stdout.strip().splitlines()[-1:] == ["ok"], proc.stdout + proc.stderr


def run_reinit_on_bytes_warning(setup, action, check):
    """Run ``action`` in a child started with ``-b``, where str() of bytes warns and the warning hook calls
    ``obj.__init__(*new)``, so the object is re-initialised while one of its stored fields is being shown.

    ``setup`` binds ``obj`` and ``new`` (``fresh(text)`` gives new bytes, 40 bytes longer than ``text``);
    ``check`` is an expression over ``result``: the value of ``action``, or the text of its ValueError.
    """
    run_child(
        f"""
        import warnings

        def fresh(text):
            return (text + "x" * 40).encode()

        {setup}

        def hook(*args, **kwargs):
            obj.__init__(*new)

        warnings.simplefilter("always", BytesWarning)
        warnings.showwarning = hook
        try:
            result = {action}
        except ValueError as error:
            result = str(error)
        assert {check}, result
        print("ok")
        """,
        "-b",
    )
