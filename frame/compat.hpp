// The interpreter's private names that the project uses, each with the reason
// why the public API does not serve. A port to another CPython version
// starts, and should end, here.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000 || PY_VERSION_HEX >= 0x030E0000
#error "kelvarn supports CPython 3.13 only"
#endif

namespace kv::compat {

// Static type objects live for the whole process. In 3.13 the public API has
// no way to mark a statically allocated object immortal; without it, each
// interpreter's reference counting would touch the shared type objects.
inline void make_immortal(PyObject* o) { Py_SET_REFCNT(o, _Py_IMMORTAL_REFCNT); }

// A lookup along the MRO that runs no Python code and raises nothing: the
// URL component reader inspects the descriptors of a parse-result class
// without calling into the class. The public routes (PyObject_GetAttr on the
// type, PyType_GetDict) run descriptors or metaclass code.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// A dict with room for n items: a parser that knows how many items it will
// insert saves the resizes on the way there. The public API has no sizing
// hint.
inline PyObject* new_dict(Py_ssize_t n) { return _PyDict_NewPresized(n); }

}  // namespace kv::compat
