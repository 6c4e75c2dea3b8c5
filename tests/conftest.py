import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

import importlib

import pytest

_MODULES = ("kelvarn.headers", "kelvarn.cookies", "kelvarn.url")

# The real-browser suite runs only when asked for by path: `make interop`.
collect_ignore = ["interop"]


def _namespaces():
    spaces = []
    for name in _MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        spaces.append(vars(module))
        capi = vars(module).get("__pyx_capi__")
        if isinstance(capi, dict):
            spaces.append(capi)
    return spaces


@pytest.fixture(autouse=True)
def _restore_namespaces():
    """Put the module namespaces back as they were, in their order.

    Tests rebind or delete module globals to check that they are looked up at
    each use; deleting and restoring a name moves it to the end of the
    namespace, which the binding-order tests would then see.
    """
    saved = [(space, dict(space)) for space in _namespaces()]
    yield
    for space, snapshot in saved:
        if list(space.items()) != list(snapshot.items()):
            space.clear()
            space.update(snapshot)